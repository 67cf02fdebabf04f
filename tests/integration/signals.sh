#!/usr/bin/env bash
# Stopping: Ctrl+C (SIGINT) and Ctrl+Break (SIGQUIT) in -debug print the
# stopping line and end with status 0, also when nobody reads the console any
# more, and -debug logs nothing; service mode reports READY=1, a STATUS=
# summary and STOPPING=1 to the notify socket and ends on SIGTERM with
# status 0. A relay that cannot start ends with status 1, in either mode.
source "$(dirname "$0")/lib.sh"

start_emulator gw

# run_failing NAME MODE GATEWAY_PORT_TEXT LISTEN_PORT: runs the relay, which
# must end by itself; sets RUN_RC to its exit status (124: it did not end).
run_failing() {
    local args=()
    [[ "$2" == debug ]] && args=(-debug)
    write_registry "$VC_WORK/$1.reg" "Example Org" 127.0.0.1 "$3" "$4" 600
    RUN_RC=0
    env VORNCLIENT_REGISTRY="$VC_WORK/$1.reg" VORNCLIENT_EVENT_LOG="$VC_WORK/$1.events" \
        VORNCLIENT_PROGRAMDATA="$VC_WORK/$1.programdata" \
        timeout 60 "$VC_BIN" "${args[@]}" >"$VC_WORK/$1.stdout" 2>&1 </dev/null || RUN_RC=$?
    # A sanitizer's finding would end it with 1 too.
    check_no_sanitizer_report "relay $1" "$VC_WORK/$1.stdout"
}

run_failing bad-port service abc "$(free_port)"
check_eq "service exit status with TarnwicketPort abc" 1 "$RUN_RC"
wait_event "$VC_WORK/bad-port.events" 1 \
    "ServiceStart(), exception, invalid stoi argument, class std::invalid_argument"
run_failing port-in-use service "$EMU_PORT" "$EMU_HTTP_PORT"
check_eq "service exit status with its port in use" 1 "$RUN_RC"
run_failing debug-port-in-use debug "$EMU_PORT" "$EMU_HTTP_PORT"
check_eq "-debug exit status with its port in use" 1 "$RUN_RC"

# Console output to a pipe whose reader has gone fails quietly; the relay
# runs and stops as usual.
port=$(free_port)
write_registry "$VC_WORK/closed-pipe.reg" "Example Org" 127.0.0.1 "$EMU_PORT" "$port" 600
env VORNCLIENT_REGISTRY="$VC_WORK/closed-pipe.reg" VORNCLIENT_PROGRAMDATA="$VC_WORK" \
    perl -e 'pipe(my $r, my $w) or die; close $r; open(STDOUT, ">&", $w) or die; exec @ARGV' \
    "$VC_BIN" -debug </dev/null 2>"$VC_WORK/closed-pipe.err" &
pipe_pid=$!
VC_PIDS+=("$pipe_pid")
if wait_until 20 port_listening "$port"; then
    ok "-debug runs with its output pipe closed"
else
    fail "-debug with its output pipe closed did not listen"
fi
stop_process "$pipe_pid" INT
check_eq "-debug exit status after SIGINT, output pipe closed" 0 "$STOP_RC"
check_no_sanitizer_report "-debug with its output pipe closed" "$VC_WORK/closed-pipe.err"

for signal in INT QUIT; do
    port=$(free_port)
    write_registry "$VC_WORK/debug-$signal.reg" "Example Org" 127.0.0.1 "$EMU_PORT" "$port" 600
    start_relay "debug-$signal" debug "$port"
    page=$(curl -sS --max-time 30 -x "http://127.0.0.1:$port" http://gw.test/hello || true)
    check_eq "-debug relays" hello "$page"
    stop_relay "$RELAY_PID" "$signal"
    check_eq "-debug console output" \
        "$(printf 'Debugging Tarnwicket Vorn Client.\nStopping Tarnwicket Vorn Client.')" \
        "$(cat "$RELAY_OUT")"
    if [[ -s "$RELAY_EVENTS" ]]; then
        fail "-debug wrote events: $(cat "$RELAY_EVENTS")"
    else
        ok "-debug logs no events"
    fi
done

command -v socat >/dev/null || skip "socat is needed for the notify socket"
notify="$VC_WORK/notify.sock"
socat -u "UNIX-RECV:$notify" - >"$VC_WORK/notify.out" 2>&1 &
VC_PIDS+=($!)
wait_until 20 test -S "$notify" || fail "notify socket not created"
port=$(free_port)
write_registry "$VC_WORK/service.reg" "Example Org" 127.0.0.1 "$EMU_PORT" "$port" 600
start_relay service service "$port" NOTIFY_SOCKET="$notify"
if wait_until 20 grep -q -F READY=1 "$VC_WORK/notify.out"; then
    ok "READY=1 sent"
else
    fail "no READY=1: $(cat "$VC_WORK/notify.out")"
fi
page=$(curl -sS --max-time 30 -x "http://127.0.0.1:$port" http://gw.test/hello || true)
check_eq "service mode relays" hello "$page"
# The summary that `systemctl status` shows, renewed every 2 seconds.
summary='STATUS=[0-9]+ connections? for [0-9]+ users?; gateway answering'
if wait_until 20 grep -q -E "$summary" "$VC_WORK/notify.out"; then
    ok "STATUS= summary sent"
else
    fail "no STATUS= summary: $(cat "$VC_WORK/notify.out")"
fi
stop_relay
if wait_until 20 grep -q -F STOPPING=1 "$VC_WORK/notify.out"; then
    ok "STOPPING=1 sent"
else
    fail "no STOPPING=1: $(cat "$VC_WORK/notify.out")"
fi
wait_event "$RELAY_EVENTS" 4 "service starting"
wait_event "$RELAY_EVENTS" 4 "service stopping"
usage=$(printf '%s\n' \
    'VornClient -install          to install the service' \
    'VornClient -remove           to remove the service' \
    'VornClient -debug <params>   to run as a console app for debugging' \
    '' \
    'StartServiceCtrlDispatcher being called.' \
    'This may take several seconds.  Please wait.')
check_eq "service mode prints the usage lines" "$usage" "$(head -n 6 "$RELAY_OUT")"
finish
