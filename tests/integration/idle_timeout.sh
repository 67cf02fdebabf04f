#!/usr/bin/env bash
# A relaying connection that stays idle longer than SocketTimeout is closed
# by the relay, while the gateway would keep it open.
source "$(dirname "$0")/lib.sh"

start_emulator gw
setup_relay relay 127.0.0.1 "$EMU_PORT" "Example Org" 2
request=$'GET http://gw.test/hello HTTP/1.1\r\nHost: gw.test\r\n\r\n'
start=$(now_ms)
rc=$(raw_exchange "$RELAY_PORT" "$request" "$VC_WORK/idle.out")
elapsed=$(($(now_ms) - start))
check_eq "stream ended by the relay" 0 "$rc"
if grep -q -x hello "$VC_WORK/idle.out"; then
    ok "response relayed before the idle close"
else
    fail "response missing: $(cat "$VC_WORK/idle.out")"
fi
if ((elapsed >= 2000 && elapsed < 20000)); then
    ok "closed after $elapsed ms idle (limit 2 s, checked on each 5 s loop pass)"
else
    fail "closed after $elapsed ms, expected 2 to 20 s"
fi
stop_relay
finish
