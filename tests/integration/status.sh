#!/usr/bin/env bash
# vornclient -status beside a running relay: two ordinary users hold
# connections open through it; both are listed with their connections and
# bytes, with the counts since the start and the gateway address answering,
# and the command ends with 0. The state file is the relay's, mode 0600, and
# an ordinary user cannot read it (4). Once the relay has stopped, or when
# only a stale state is left, the command ends with 3.
source "$(dirname "$0")/lib.sh"
[[ $(id -u) == 0 ]] || skip "needs root to create users"
for tool in useradd userdel setpriv stat; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done
: "${HOSTILE_BIN:?HOSTILE_BIN must name the hostile gateway (its browsers hold connections)}"

host=$(machine_domain)
users=("vcsta$$" "vcstb$$")
for user in "${users[@]}"; do
    useradd -M -U -s /bin/sh "$user"
    VC_USERS+=("$user")
    VC_GROUPS+=("$user")
    install -d -o "$user" -m 700 "$VC_WORK/$user"
done
# Where an ordinary user may run them from.
install -m 755 "$HOSTILE_BIN" "$VC_WORK/holder"
install -m 755 "$VC_BIN" "$VC_WORK/vornclient"

start_emulator gw
setup_relay relay 127.0.0.1 "$EMU_PORT"
state_file="$RELAY_DATA/Tarnwicket/VornClient/status.txt"

# run_status [user]: sets STATUS_RC and STATUS_OUT.
run_status() {
    local run=()
    (($#)) && run=(as_user "$1")
    STATUS_RC=0
    STATUS_OUT=$("${run[@]}" env VORNCLIENT_PROGRAMDATA="$RELAY_DATA" "$VC_WORK/vornclient" \
        -status 2>&1) || STATUS_RC=$?
}

# Each user's browsers: one process holding N connections, each with a
# request whose answer keeps the tunnel open (HTTP/1.1).
request='GET /hello HTTP/1.1\r\nHost: gw.test\r\n\r\n'
holders=()
counts=(2 3)
for i in 0 1; do
    user=${users[$i]}
    as_user "$user" "$VC_WORK/holder" --hold "$RELAY_PORT" --browsers "${counts[$i]}" --no-read \
        --request "$request" --report "$VC_WORK/$user/report" >"$VC_WORK/$user.out" 2>&1 &
    holders+=($!)
    VC_PIDS+=($!)
done

user_line() {  # user count: the line as a pattern
    local bytes='[1-9][0-9]* bytes'
    printf '  %s\\\\%s: %s connections, %s to the gateway, %s to the browser' \
        "$host" "$1" "$2" "$bytes" "$bytes"
}
both_listed() {
    run_status
    grep -q -x -- "$(user_line "${users[0]}" 2)" <<<"$STATUS_OUT" &&
        grep -q -x -- "$(user_line "${users[1]}" 3)" <<<"$STATUS_OUT"
}
if wait_until 30 both_listed; then
    ok "both users listed with their connections and bytes each way"
else
    fail "the users' connections are not listed: $STATUS_OUT"
fi
check_eq "-status exit status with a relay running" 0 "$STATUS_RC"
check_eq "first line" "Tarnwicket Vorn Client is running." "$(head -n 1 <<<"$STATUS_OUT")"
check_eq "open connections" "Connections: 5 open for 2 users" \
    "$(grep '^Connections: ' <<<"$STATUS_OUT")"
check_eq "the relay's listening address" "127.0.0.1:$RELAY_PORT" \
    "$(sed -n 's/^Listening: *\([^,]*\).*/\1/p' <<<"$STATUS_OUT")"
if grep -q -x -E "  127\.0\.0\.1:$EMU_PORT answering since [0-9-]+ [0-9:]+ UTC" <<<"$STATUS_OUT"; then
    ok "the gateway address answers"
else
    fail "the gateway address is not shown answering: $STATUS_OUT"
fi
check_eq "the counts since the start" \
    "$(printf '  %s\n' 'accepted: 5' 'relayed: 5' 'error pages 500: 0' 'error pages 502: 0' \
        'error pages 504: 0' 'identities refused by the gateway: 0' 'owners not found: 0' \
        'pairs pruned: 0')" \
    "$(sed -n '/^Since start:$/,/^As of:/p' <<<"$STATUS_OUT" | sed '1d;$d')"
check_eq "the state file: the relay's own, mode 0600" "600 root" "$(stat -c '%a %U' "$state_file")"
cp "$state_file" "$VC_WORK/state.copy"

run_status "${users[0]}"
check_eq "-status exit status for an ordinary user" 4 "$STATUS_RC"
if grep -q -x "Only administrators may read it." <<<"$STATUS_OUT"; then
    ok "an ordinary user is told who may read it"
else
    fail "an ordinary user was told: $STATUS_OUT"
fi

for pid in "${holders[@]}"; do stop_process "$pid" TERM; done
stop_relay
if [[ -e "$state_file" ]]; then fail "the stopped relay left its state"; else ok "state removed"; fi
run_status
check_eq "-status exit status after the relay stopped" 3 "$STATUS_RC"
check_eq "-status after the relay stopped" "Tarnwicket Vorn Client is not running." "$STATUS_OUT"

# What a relay that was killed leaves behind goes stale.
sed 's/^taken .*/taken 133590384000000000/' "$VC_WORK/state.copy" >"$state_file"
run_status
check_eq "-status exit status with a stale state" 3 "$STATUS_RC"
finish
