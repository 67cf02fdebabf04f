#!/usr/bin/env bash
# The console mode under Wine: -debug runs the relay in the console, serves a
# page through the gateway emulator, and SIGINT sent to the wine process (a
# Ctrl+C for the program) prints the stopping line and ends it with 0.
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"

ORG="Wine Debug Org"

install_files || fail "cannot copy vornclient.exe into the prefix"
start_emulator debug || finish
LISTEN_PORT=$(free_port) || finish
if set_parameters "$EMU_PORT" "$LISTEN_PORT" "$ORG" >"$VC_WORK/debug-reg.out" 2>&1; then
    ok "parameters set with reg add (gateway $EMU_PORT, relay $LISTEN_PORT)"
else
    fail "reg add failed: $(cat "$VC_WORK/debug-reg.out")"
fi

# Extra arguments after -debug are accepted and ignored.
"$WINE" "$INSTALLED_EXE" -debug extra arguments >"$VC_WORK/debug.out" 2>"$VC_WORK/debug.err" &
relay=$!
VC_BG_PIDS+=("$relay")
if wait_until 60 port_listening "$LISTEN_PORT"; then
    ok "-debug: the relay listens on 127.0.0.1:$LISTEN_PORT"
else
    fail "-debug: the relay does not listen on $LISTEN_PORT"
fi

user=$(client_whoami | grep '^user: ')
if fetch debug-page "$LISTEN_PORT"; then
    ok "-debug: page fetched through the relay after $FETCH_TRIES tr$( ((FETCH_TRIES == 1)) && echo y || echo ies)"
    check_eq "-debug: status line" "status: HTTP/1.1 200 OK" \
        "$(grep '^status: ' "$VC_WORK/debug-page.report")"
    check_eq "-debug: the gateway received the client's user" "$user" \
        "$(response_body "$VC_WORK/debug-page.response" | strip_cr | grep '^user: ')"
else
    fail "-debug fetch: $(cat "$VC_WORK/debug-page.report")"
fi

# Ctrl+C: Wine turns SIGINT into a console control event for the program.
kill -INT "$relay"
if wait_until 30 eval '! kill -0 '"$relay"' 2>/dev/null'; then
    wait "$relay"
    check_eq "-debug: exit code after SIGINT" 0 "$?"
else
    fail "-debug: still running 30 s after SIGINT"
    kill -KILL "$relay" 2>/dev/null
    wait "$relay" 2>/dev/null
fi
out=$(strip_cr <"$VC_WORK/debug.out")
check_eq "-debug: console output" \
    "Debugging $DISPLAY_NAME."$'\n'"Stopping $DISPLAY_NAME." "$out"
if wait_until 10 not_listening "$LISTEN_PORT"; then
    ok "-debug: the port is closed after the stop"
else
    fail "-debug: the port is still open after the stop"
fi

finish
