# shellcheck shell=bash
# Shared helpers for the end-to-end tests: start the gateway emulator and the
# relay on free loopback ports, wait for conditions with bounded polling, talk
# raw HTTP, check the event log, and clean everything up on exit.
#
# Expects VC_BIN (the relay), EMU_BIN (gateway emulator), LOADGEN_BIN.
# Exit code 77 marks a test as skipped: all of it, or a part that this
# machine cannot run, and then only when no check failed. Every relay a test
# starts is stopped by the end, and must end with status 0 and no sanitizer
# report.

set -euo pipefail
set -m  # background jobs keep default SIGINT/SIGQUIT handling, as in a terminal

: "${VC_BIN:?VC_BIN must name the relay binary}"
: "${EMU_BIN:?EMU_BIN must name the gateway emulator binary}"

VC_WORK=$(mktemp -d /tmp/vc-itest.XXXXXX)
chmod 755 "$VC_WORK"
VC_PIDS=()
VC_USERS=()
VC_GROUPS=()
VC_FAILURES=0
VC_SKIPPED_PARTS=()
# The relays started and not stopped yet: pid -> name, pid -> output file.
declare -A VC_RELAY_NAMES=() VC_RELAY_OUTS=()
# Command words put in front of the relay by start_relay (e.g. setpriv).
RELAY_WRAPPER=()

vc_cleanup() {
    local pid
    for pid in "${VC_PIDS[@]}"; do
        if kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    local name
    for name in "${VC_USERS[@]}"; do userdel "$name" >/dev/null 2>&1 || true; done
    for name in "${VC_GROUPS[@]}"; do groupdel "$name" >/dev/null 2>&1 || true; done
    if [[ "${VC_KEEP_WORK:-}" == 1 ]]; then
        echo "work folder kept: $VC_WORK"
    else
        rm -rf "$VC_WORK"
    fi
}
trap vc_cleanup EXIT

# Ends the test as skipped: this machine cannot run it. Relays already
# started are stopped and checked first, and a failure recorded before the
# skip fails the test.
skip() {
    echo "SKIP: $*"
    stop_relays
    if ((VC_FAILURES > 0)); then
        echo "$VC_FAILURES check(s) failed before the skip" >&2
        exit 1
    fi
    exit 77
}

# skip_part WHAT REASON: a part of the test that this machine cannot run.
# The rest runs on; the test then ends as skipped, unless a check failed.
skip_part() {
    echo "SKIP: $1: $2"
    VC_SKIPPED_PARTS+=("$1")
}

# Records a failed check and carries on, so one run shows every failure.
fail() {
    echo "FAIL: $*" >&2
    VC_FAILURES=$((VC_FAILURES + 1))
}

ok() { echo "ok: $*"; }

# Ends the test after stopping the relays still running: 1 when any check
# failed, 77 when a part was skipped, 0 when everything ran and passed.
finish() {
    stop_relays
    if ((VC_FAILURES > 0)); then
        echo "$VC_FAILURES check(s) failed" >&2
        exit 1
    fi
    if ((${#VC_SKIPPED_PARTS[@]} > 0)); then
        local parts
        parts=$(printf '; %s' "${VC_SKIPPED_PARTS[@]}")
        echo "the checks that ran passed; skipped: ${parts#; }"
        exit 77
    fi
    echo "all checks passed"
    exit 0
}

check_eq() {  # description expected actual
    if [[ "$2" == "$3" ]]; then ok "$1"; else fail "$1: expected [$2], got [$3]"; fi
}

now_ms() { date +%s%3N; }

# The domain of local accounts: the short host name in upper case.
machine_domain() {
    local host
    host=$(uname -n)
    host=${host%%.*}
    echo "${host^^}"
}

# The machine's domain SID, computed apart from the relay: HMAC-SHA256 keyed
# with the machine id over the application id, first 16 bytes marked as a
# version 4 UUID, and of those the first 12 as three little-endian numbers.
# Empty without a usable machine id.
machine_domain_sid() {
    local mid h b6 b8
    [[ -r /etc/machine-id ]] || return 0
    mid=$(tr -d '\n' </etc/machine-id)
    [[ "$mid" =~ ^[0-9a-fA-F]{32}$ ]] || return 0
    h=$(printf '\x3a\xe9\x8c\xa8\x3e\x9b\x4a\x4a\x8f\xb9\x7a\xf7\x9f\x0f\x6f\xd8' |
        openssl dgst -sha256 -mac HMAC -macopt "hexkey:$mid" | awk '{ print $NF }')
    [[ "$h" =~ ^[0-9a-f]{64}$ ]] || { echo "openssl gave no HMAC: [$h]" >&2; return 1; }
    b6=$(printf '%02x' $(((16#${h:12:2} & 0x0f) | 0x40)))
    b8=$(printf '%02x' $(((16#${h:16:2} & 0x3f) | 0x80)))
    h=${h:0:12}$b6${h:14:2}$b8${h:18:6}
    le32() { echo $((16#${h:$1+6:2}${h:$1+4:2}${h:$1+2:2}${h:$1:2})); }
    echo "S-1-5-21-$(le32 0)-$(le32 8)-$(le32 16)"
}

# Polls a command every 50 ms until it succeeds or the timeout (seconds)
# passes; the condition is checked, never assumed after a fixed delay.
wait_until() {
    local timeout=$1
    shift
    local deadline=$(($(now_ms) + timeout * 1000))
    while (($(now_ms) < deadline)); do
        if "$@"; then return 0; fi
        sleep 0.05
    done
    "$@"
}

# True when a socket in state LISTEN is bound to 127.0.0.1 or 0.0.0.0 on port $1.
port_listening() {
    local hex
    hex=$(printf '%04X' "$1")
    awk -v p=":$hex" 'NR > 1 && substr($2, length($2) - 4) == p && $4 == "0A" { f = 1 }
                      END { exit !f }' /proc/net/tcp
}

port_in_use() {
    local hex
    hex=$(printf '%04X' "$1")
    awk -v p=":$hex" 'NR > 1 && substr($2, length($2) - 4) == p { f = 1 } END { exit !f }' \
        /proc/net/tcp /proc/net/tcp6
}

# A port below the ephemeral range that no socket uses right now.
free_port() {
    local i port
    for ((i = 0; i < 500; i++)); do
        port=$((20000 + (RANDOM * 32768 + RANDOM) % 12000))
        if ! port_in_use "$port"; then
            echo "$port"
            return 0
        fi
    done
    echo "no free port found" >&2
    return 1
}

# start_emulator NAME [emulator options...]
# Sets EMU_PID, EMU_PORT (SOCKS), EMU_HTTP_PORT (plain HTTP), EMU_IDLOG.
start_emulator() {
    local name=$1
    shift
    EMU_IDLOG="$VC_WORK/$name.identities"
    "$EMU_BIN" --port 0 --port-file "$VC_WORK/$name.port" --http-port 0 \
        --http-port-file "$VC_WORK/$name.http-port" --identity-log "$EMU_IDLOG" "$@" \
        >"$VC_WORK/$name.emulator.out" 2>&1 &
    EMU_PID=$!
    VC_PIDS+=("$EMU_PID")
    if ! wait_until 20 test -s "$VC_WORK/$name.http-port"; then
        cat "$VC_WORK/$name.emulator.out" >&2
        echo "emulator $name did not start" >&2
        exit 1
    fi
    EMU_PORT=$(cat "$VC_WORK/$name.port")
    EMU_HTTP_PORT=$(cat "$VC_WORK/$name.http-port")
}

reg_text() {  # escapes \ and " for a regedit string value
    local s=${1//\\/\\\\}
    printf '%s' "${s//\"/\\\"}"
}

# write_registry FILE ORG GATEWAY_ADDR GATEWAY_PORT LISTEN_PORT SOCKET_TIMEOUT
write_registry() {
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters]\r\n'
        printf '"OrganizationName"="%s"\r\n' "$(reg_text "$2")"
        printf '"TarnwicketIpAddr"="%s"\r\n' "$(reg_text "$3")"
        printf '"TarnwicketPort"="%s"\r\n' "$4"
        printf '"ListenPort"=dword:%08x\r\n' "$5"
        printf '"SocketTimeout"=dword:%08x\r\n' "$6"
    } >"$1"
}

# start_relay NAME MODE LISTEN_PORT [env assignments...]
# MODE is "service" (no argument) or "debug" (-debug). The registry file must
# be $VC_WORK/NAME.reg. RELAY_WRAPPER, when set, runs the relay. Sets
# RELAY_PID, RELAY_EVENTS, RELAY_OUT, RELAY_DATA.
start_relay() {
    local name=$1 mode=$2 port=$3
    shift 3
    RELAY_EVENTS="$VC_WORK/$name.events"
    RELAY_OUT="$VC_WORK/$name.stdout"
    RELAY_DATA="$VC_WORK/$name.programdata"
    mkdir -p "$RELAY_DATA"
    local args=()
    [[ "$mode" == debug ]] && args=(-debug)
    "${RELAY_WRAPPER[@]}" env VORNCLIENT_REGISTRY="$VC_WORK/$name.reg" \
        VORNCLIENT_EVENT_LOG="$RELAY_EVENTS" VORNCLIENT_PROGRAMDATA="$RELAY_DATA" "$@" \
        "$VC_BIN" "${args[@]}" \
        >"$RELAY_OUT" 2>&1 </dev/null &
    RELAY_PID=$!
    VC_PIDS+=("$RELAY_PID")
    VC_RELAY_NAMES[$RELAY_PID]=$name
    VC_RELAY_OUTS[$RELAY_PID]=$RELAY_OUT
    if ! wait_until 20 port_listening "$port"; then
        echo "relay $name is not listening on $port; its output and events:" >&2
        cat "$RELAY_OUT" "$RELAY_EVENTS" >&2 2>/dev/null || true
        exit 1
    fi
}

# setup_relay NAME GATEWAY_ADDR GATEWAY_PORT [ORG] [SOCKET_TIMEOUT]
# Writes the registry file and starts the relay in service mode on a free
# port. Sets RELAY_PORT and what start_relay sets.
setup_relay() {
    local name=$1
    RELAY_PORT=$(free_port)
    write_registry "$VC_WORK/$name.reg" "${4:-Example Org}" "$2" "$3" "$RELAY_PORT" "${5:-600}"
    start_relay "$name" service "$RELAY_PORT"
}

# Stops a process with a signal and waits (bounded) for it; sets STOP_RC to
# its exit status, or to "hung" after killing it when it did not stop.
stop_process() {  # PID SIGNAL
    kill "-$2" "$1" 2>/dev/null || true  # it may have ended already
    if ! wait_until 30 process_gone "$1"; then
        kill -KILL "$1" 2>/dev/null || true
    fi
    STOP_RC=0
    wait "$1" || STOP_RC=$?
    if ((STOP_RC == 137)); then STOP_RC=hung; fi
}

# The sanitizers' reports: a finding ends the program with a status of its
# own too, but the text says what it was.
SANITIZER_REPORT='ERROR: [A-Za-z]*Sanitizer|WARNING: ThreadSanitizer|runtime error:'

# check_no_sanitizer_report WHAT FILE: the program's output holds none.
check_no_sanitizer_report() {
    if grep -a -q -E "$SANITIZER_REPORT" "$2" 2>/dev/null; then
        fail "$1: sanitizer report:"
        grep -a -E -A12 "$SANITIZER_REPORT" "$2" | head -n 40 >&2
    else
        ok "$1: no sanitizer report"
    fi
}

# stop_relay [PID [SIGNAL]]: stops a relay that start_relay started (the last
# one by default) with SIGTERM or SIGNAL. It must end with status 0 and
# without a sanitizer report.
stop_relay() {
    local pid=${1:-$RELAY_PID} signal=${2:-TERM}
    local name=${VC_RELAY_NAMES[$pid]:-$pid} out=${VC_RELAY_OUTS[$pid]:-}
    unset "VC_RELAY_NAMES[$pid]" "VC_RELAY_OUTS[$pid]"
    stop_process "$pid" "$signal"
    check_eq "relay $name: exit status after SIG$signal" 0 "$STOP_RC"
    [[ -z "$out" ]] || check_no_sanitizer_report "relay $name" "$out"
}

# Stops every relay still running, as stop_relay does.
stop_relays() {
    local pid
    for pid in "${!VC_RELAY_NAMES[@]}"; do stop_relay "$pid"; done
}

# True once the process has exited (a zombie counts as gone).
process_gone() {
    local state
    state=$(awk '/^State:/ { print $2 }' "/proc/$1/status" 2>/dev/null) || return 0
    [[ -z "$state" || "$state" == Z ]]
}

# CPU time (user + system, all threads) of a process, in clock ticks.
proc_cpu_ticks() {
    local stat fields
    stat=$(cat "/proc/$1/stat")
    read -r -a fields <<<"${stat##*) }"  # the name may hold spaces
    echo $((fields[11] + fields[12]))
}

# Ticks as seconds with two decimals.
ticks_as_seconds() {
    local hz
    hz=$(getconf CLK_TCK)
    awk -v t="$1" -v hz="$hz" 'BEGIN { printf "%.2f", t / hz }'
}

proc_fd_count() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 | wc -l; }

# as_user USER COMMAND...: runs the command as the user in place of the shell
# that calls it, so that `as_user ... &` leaves the command itself in $!.
# Call it in a subshell: $(...) or with &.
as_user() {
    local user=$1
    shift
    exec setpriv --reuid="$user" --regid="$user" --init-groups -- "$@"
}

# The process's descriptors other than its netlink sockets: each lookup
# thread keeps one for the owner table for as long as it lives, and idle
# threads end only after a while.
proc_fd_count_but_netlink() {
    local netlink
    netlink=$(awk 'NR > 1 { printf "socket:[%s]\n", $NF }' "/proc/$1/net/netlink")
    find "/proc/$1/fd" -mindepth 1 -maxdepth 1 -printf '%l\n' | grep -v -x -F "$netlink" | wc -l
}

# raw_exchange PORT REQUEST OUTFILE: connects, sends REQUEST (may be empty)
# and reads until the relay ends the stream. Prints the reader's exit code
# (124 when nothing ended the stream within 60 s).
raw_exchange() {
    local fd rc=0
    exec {fd}<>"/dev/tcp/127.0.0.1/$1"
    if [[ -n "$2" ]]; then printf '%s' "$2" >&"$fd"; fi
    timeout 60 cat <&"$fd" >"$3" 2>/dev/null || rc=$?
    exec {fd}>&-
    echo "$rc"
}

# The relay's own HTML error page, as it must appear on the wire.
expected_error_page() {  # STATUS_TEXT MESSAGE
    local msg=$2
    msg=${msg//&/&amp;}
    msg=${msg//</&lt;}
    msg=${msg//>/&gt;}
    local lines=(
        '<!DOCTYPE HTML>' '<html>' '<head>' '<title>Error</title>' '<style type="text/css">'
        'body{' 'background-color: white;' 'text-align: center;'
        'font-family: Helvetica, Arial, sans-serif;' 'font-weight: 100;' '}'
        'h1{' 'margin-top: 40px;' 'font-size: 18px;' '}'
        '#page{' 'width: 800px;' 'height: 600px;' 'padding: 8px;' 'background-color: white;'
        'position: fixed;' 'top: 50%;' 'left: 50%;' 'margin: -300px -400px -300px -400px;'
        'box-shadow: 0px 0px 23px -2px rgba(0,0,0,0.75);' '}'
        'div.error{' 'width: 750px;' 'height: 1px;' 'border-top: 1px solid #b3b3b3;'
        'margin: 24px auto 24px auto;' 'background-color: #e6e6e6;' '}'
        'h2{' 'font-size: 16px;' 'background-color: white;' 'display: inline-block;'
        'position: relative;' 'top: -10px;' 'margin: 0;' 'padding: 0 24px 0 24px;' '}'
        'h3{' 'font-size: 14px;' 'margin-top: 130px;' '}'
        'h4{' 'position: absolute;' 'bottom: 0;' 'right: 0;' 'margin: 8px;' 'font-size: 8px;'
        'line-height: 14px;' '}'
        'h4 > span{' 'vertical-align: top;' 'font-size: 16px;' 'color: #007cc4;' '}'
        '</style>' '</head>' '<body>' '<div id="page">' '<h1>Error</h1>' '<div class="error">'
        "<h2>$msg</h2>" '</div>'
        '<h3>Contact your system administrator to resolve the issue</h3>'
        '<h4>Powered by <span>Tarnwicket</span></h4>' '</div>' '</body>' '</html>'
    )
    local body="" line
    for line in "${lines[@]}"; do body+="$line"$'\r\n'; done
    local length
    length=$(printf '%s' "$body" | wc -c)
    printf 'HTTP/1.0 %s\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Length: %s\r\n\r\n%s' \
        "$1" "$length" "$body"
}

# The event log is one JSON object per line; messages are JSON-escaped.
json_escape() {
    local s=${1//\\/\\\\}
    s=${s//\"/\\\"}
    printf '%s' "${s//$'\n'/\\n}"
}

# event_count FILE TYPE MESSAGE: lines whose whole message equals MESSAGE.
event_count() {
    [[ -f "$1" ]] || { echo 0; return; }
    grep -c -F -- "\"type\": $2, \"message\": \"$(json_escape "$3")\"}" "$1" || true
}

has_event() { (($(event_count "$@") > 0)); }

# wait_event FILE TYPE MESSAGE: bounded wait for the line; records a failure.
wait_event() {
    if wait_until 20 has_event "$@"; then
        ok "event logged: $3"
    else
        fail "event not logged: type $2, [$3]; log was:"
        cat "$1" >&2 2>/dev/null || true
    fi
}
