#!/usr/bin/env bash
# One user holding many connections neither starves the relay of descriptors
# nor pushes another user out. The relay starts with a soft descriptor limit
# of 1,024 and raises it: one user holds 1,500 idle tunnels (3,000 of the
# relay's descriptors) and another still gets its page. Then the other user
# keeps a tunnel open while the first opens 2,100 connections, past the pair
# limit: the first user's own pairs make way, the tunnel still answers, and
# the pair limit is logged at most once a second.
source "$(dirname "$0")/lib.sh"
: "${HOSTILE_BIN:?HOSTILE_BIN must name the hostile gateway binary}"
[[ $(id -u) == 0 ]] || skip "needs root to create users and raise limits"
for tool in useradd setpriv prlimit socat ss; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done
hard=16384
ulimit -n "$hard" || skip "cannot raise the descriptor limit to $hard"

host=$(machine_domain)
crowd="vcmca$$"
other="vcmcb$$"
for user in "$crowd" "$other"; do
    useradd -M -U -s /bin/sh "$user"
    VC_USERS+=("$user")
    VC_GROUPS+=("$user")
done
mkdir "$VC_WORK/$crowd"
chown "$crowd:" "$VC_WORK/$crowd"

start_emulator gw
RELAY_WRAPPER=(prlimit "--nofile=1024:$hard")
setup_relay relay 127.0.0.1 "$EMU_PORT"
RELAY_WRAPPER=()
if grep -q -F ", socket timeout 600 seconds, descriptor limit $hard\"}" "$RELAY_EVENTS"; then
    ok "the relay raised its descriptor limit to $hard"
else
    fail "no descriptor limit $hard in the start-up event: $(grep -F 'parameters from' "$RELAY_EVENTS")"
fi

# The user's programs are started with setpriv, which becomes them: their
# pids are the ones to signal.
hold() {  # N: the crowding user opens N connections and holds them; sets HOLDER
    local report="$VC_WORK/$crowd/hold.$1"
    setpriv --reuid "$crowd" --regid "$crowd" --init-groups -- \
        "$HOSTILE_BIN" --hold "$RELAY_PORT" --browsers "$1" --no-read --report "$report" &
    HOLDER=$!
    VC_PIDS+=("$HOLDER")
    if ! wait_until 120 test -e "$report"; then
        fail "the $1 connections were not opened"
    elif grep -q 'not connected' "$report"; then
        fail "connections not opened: $(grep -m1 'not connected' "$report")"
    fi
}

tunnels_of() { grep -c -F "\\\\$1\"" "$EMU_IDLOG" || true; }
fetch_other() {
    setpriv --reuid "$other" --regid "$other" --init-groups -- \
        curl -q -sS --max-time 30 -x "http://127.0.0.1:$RELAY_PORT" http://gw.test/identity 2>&1 |
        sed -n 2p
}

# 1,500 idle tunnels of one user.
hold 1500
at_least_1500() { (($(tunnels_of "$crowd") >= 1500)); }
wait_until 120 at_least_1500 || fail "only $(tunnels_of "$crowd") of 1,500 tunnels set up"
descriptors=$(proc_fd_count "$RELAY_PID")
if ((descriptors > 3000)); then
    ok "the relay holds $descriptors descriptors"
else
    fail "the relay holds only $descriptors descriptors"
fi
check_eq "another user's page beside 1,500 tunnels" "user: $host\\$other" "$(fetch_other)"
stop_process "$HOLDER" TERM
released() { (($(proc_fd_count "$RELAY_PID") < 100)); }
wait_until 60 released || fail "the relay still holds $(proc_fd_count "$RELAY_PID") descriptors"

# Another user's tunnel, kept open and idle, through 2,100 connections.
export LC_ALL=C  # lengths in bytes
coproc KEEP { exec setpriv --reuid "$other" --regid "$other" --init-groups -- \
    socat - "TCP:127.0.0.1:$RELAY_PORT"; }
VC_PIDS+=("$KEEP_PID")
ask() {  # one request on the kept tunnel; prints the answer's user line
    local line length=0 body
    printf 'GET http://gw.test/identity HTTP/1.1\r\nHost: gw.test\r\n\r\n' >&"${KEEP[1]}"
    IFS= read -r -t 30 line <&"${KEEP[0]}" || { echo "no answer"; return; }
    while IFS= read -r -t 30 line <&"${KEEP[0]}" && [[ "${line%$'\r'}" != "" ]]; do
        [[ "${line,,}" != content-length:* ]] || length=${line//[!0-9]/}
    done
    IFS= read -r -N "$length" -t 30 body <&"${KEEP[0]}" || { echo "answer cut short"; return; }
    sed -n 2p <<<"$body"
}
check_eq "the kept tunnel answers" "user: $host\\$other" "$(ask)"
hold 2100
relay_side() { ss -Htn state established "( sport = :$RELAY_PORT )" | wc -l; }
settled() { (($(relay_side) <= 2047)); }
wait_until 60 settled || fail "the relay still has $(relay_side) connections"
# Then a trickle, each connection one more pruning of its own: a message
# per pruning would show.
trickle=()
for ((i = 0; i < 10; i++)); do
    exec {fd}<>"/dev/tcp/127.0.0.1/$RELAY_PORT"
    trickle+=("$fd")
    wait_until 20 settled || fail "connection $i of the trickle: $(relay_side) connections"
done
check_eq "the kept tunnel answers after 2,100 connections" "user: $host\\$other" "$(ask)"
mapfile -t times < <(grep -F 'too many ConnPairs, reduced from ' "$RELAY_EVENTS" |
    sed 's/.*"time": "\([^"]*\)".*/\1/')
close=0
for ((i = 1; i < ${#times[@]}; i++)); do
    gap=$(($(date -d "${times[i]}" +%s%3N) - $(date -d "${times[i - 1]}" +%s%3N)))
    ((gap >= 900)) || close=$((close + 1))
done
if ((${#times[@]} >= 1 && close == 0)); then
    ok "pair limit logged ${#times[@]} time(s), at most once a second"
else
    fail "pair limit logged ${#times[@]} time(s), $close within 900 ms of the one before"
fi

keep_in=${KEEP[1]}
exec {keep_in}>&-  # the kept tunnel's client ends
for fd in "${trickle[@]}"; do exec {fd}>&-; done
stop_process "$HOLDER" TERM
stop_relay
finish
