#!/usr/bin/env bash
# Gateways come in pairs behind one name. With the first address refusing,
# then silent (a dead host), every connection is served by the second, and
# the log says so once, not per connection. The relay also listens on
# [::1], where a user's browser is named as on 127.0.0.1, and reaches a
# gateway that is on IPv6 only. The name is resolved through a hosts file of
# the test's own, mounted over /etc/hosts for the relay alone.
source "$(dirname "$0")/lib.sh"
[[ $(id -u) == 0 ]] || skip "needs root for a mount namespace and a user"
for tool in unshare useradd runuser curl; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done
: "${SILENT_BIN:?SILENT_BIN must name the silent listener}"
grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null || skip "no IPv6 loopback here"

hosts="$VC_WORK/hosts"
# 127.0.0.2 and 127.0.0.3 keep this order through the resolver's sorting.
printf '127.0.0.1 localhost\n127.0.0.2 gw.pair.test\n127.0.0.3 gw.pair.test\n' >"$hosts"
port=$(free_port)
start_emulator second --address 127.0.0.3 --port "$port"

# relay NAME GATEWAY: a relay whose /etc/hosts is the test's.
relay() {
    RELAY_PORT=$(free_port)
    write_registry "$VC_WORK/$1.reg" "Example Org" "$2" "$port" "$RELAY_PORT" 600
    RELAY_WRAPPER=(unshare -m --propagation private sh -c
        'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$hosts")
    start_relay "$1" service "$RELAY_PORT"
    RELAY_WRAPPER=()
}

# served N: N requests in turn; prints how many got the gateway's page.
served() {
    local i count=0
    for ((i = 0; i < $1; i++)); do
        [[ $(curl -s --max-time 30 -x "http://127.0.0.1:$RELAY_PORT" http://gw.test/hello) == hello ]] &&
            count=$((count + 1))
    done
    echo "$count"
}

# Warnings and errors in the relay's log.
alarms() { grep -c -E '"type": (1|2),' "$RELAY_EVENTS" || true; }

relay refusing gw.pair.test
before=$(alarms)
check_eq "first address refusing: every connection served" 20 "$(served 20)"
check_eq "first address refusing: said once" 1 "$(($(alarms) - before))"
wait_event "$RELAY_EVENTS" 2 "SocksProxyServer::connectToTarnwicket(), gateway address 127.0.0.2:$port failed (connection refused), tried after the others for 60 seconds"
stop_relay

"$SILENT_BIN" 127.0.0.2 "$port" "$VC_WORK/silent.port" &
VC_PIDS+=($!)
wait_until 20 test -s "$VC_WORK/silent.port" || { fail "the silent listener did not start"; finish; }
relay silent gw.pair.test
before=$(alarms)
check_eq "first address silent: every connection served" 20 "$(served 20)"
check_eq "first address silent: said once" 1 "$(($(alarms) - before))"
wait_event "$RELAY_EVENTS" 2 "SocksProxyServer::connectToTarnwicket(), gateway address 127.0.0.2:$port failed (no answer within 250 ms), tried after the others for 60 seconds"

# A browser that resolves localhost to ::1 first finds the relay there, and
# its user is named as on 127.0.0.1.
user="vcfou$$"
useradd -M -U -s /bin/sh "$user"
VC_USERS+=("$user")
VC_GROUPS+=("$user")
page=$(runuser -u "$user" -- curl -q -s --max-time 30 -x "http://[::1]:$RELAY_PORT" \
    http://gw.test/identity)
check_eq "a browser on [::1] is named" "user: $(machine_domain)\\$user" "$(sed -n 2p <<<"$page")"
if grep -q -F "listening on 127.0.0.1:$RELAY_PORT and [::1]:$RELAY_PORT," "$RELAY_EVENTS"; then
    ok "the start-up summary names both listening addresses"
else
    fail "the start-up summary does not name [::1]"
fi
stop_relay

# A gateway on IPv6 only.
start_emulator v6 --address ::1
port=$EMU_PORT
relay v6 ::1
check_eq "a gateway on IPv6 only" 1 "$(served 1)"
stop_relay
finish
