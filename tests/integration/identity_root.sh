#!/usr/bin/env bash
# A browser run by root is in session 0: the gateway hears NT AUTHORITY\SYSTEM
# with no groups, and the organisation name from the registry.
source "$(dirname "$0")/lib.sh"
[[ $(id -u) == 0 ]] || skip "needs root (session 0)"

org='Example Org "HQ" \ Süd'
start_emulator gw
setup_relay relay 127.0.0.1 "$EMU_PORT" "$org"

page=$(curl -sS --max-time 30 -x "http://127.0.0.1:$RELAY_PORT" http://gw.test/identity)
check_eq "identity page through the relay" \
    "$(printf 'org: %s\nuser: NT AUTHORITY\\SYSTEM\ngroups: 0' "$org")" "$page"

# Two requests in one curl run share one proxy connection, so one tunnel
# carries both and the gateway hears the identity once for them.
both=$(curl -sS --max-time 30 -x "http://127.0.0.1:$RELAY_PORT" \
    http://gw.test/hello http://gw.test/identity.json)
expected_json="{\"peer\": \"\", \"org\": \"$(json_escape "$org")\", \"user\": \"NT AUTHORITY\\\\SYSTEM\", \"groups\": []}"
check_eq "keep-alive requests through one tunnel" "$(printf 'hello\n%s' "$expected_json")" "$both"
check_eq "identities heard by the gateway" 2 "$(wc -l <"$EMU_IDLOG")"
if grep -q -F "\"org\": \"$(json_escape "$org")\", \"user\": \"NT AUTHORITY\\\\SYSTEM\", \"groups\": []" \
    "$EMU_IDLOG"; then
    ok "identity log line"
else
    fail "identity log: $(cat "$EMU_IDLOG")"
fi

wait_event "$RELAY_EVENTS" 4 "service starting"
wait_event "$RELAY_EVENTS" 4 "SocksProxyServer::run(), parameters from registry file $VC_WORK/relay.reg, \
listening on 127.0.0.1:$RELAY_PORT and [::1]:$RELAY_PORT, gateway \"127.0.0.1\" port $EMU_PORT, organisation \"$org\", \
socket timeout 600 seconds, descriptor limit $(ulimit -H -n)"
stop_relay
finish
