#!/usr/bin/env bash
# Sets up and runs the relay on this machine: installs the build tools,
# builds, starts the gateway emulator and the relay (configured through a
# generated registry file), fetches pages through the relay with curl as an
# HTTP proxy, and stops both. Set VC_SKIP_APT=1 to skip apt-get, BUILD_DIR
# to build elsewhere than build/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

if [[ $(id -u) == 0 && "${VC_SKIP_APT:-}" != 1 ]]; then
    echo "== Installing build tools"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends build-essential cmake pkg-config \
        libsystemd-dev googletest curl \
        >/dev/null
fi

echo "== Building"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target vornclient gateway-emulator -j2 >/dev/null

work=$(mktemp -d /tmp/vc-demo.XXXXXX)
pids=()
demo_user=""
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    if [[ -n "$demo_user" ]]; then
        userdel "$demo_user" >/dev/null 2>&1 || true
        groupdel "$demo_user" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }
wait_until() {  # bounded polling: SECONDS COMMAND...
    local deadline=$(($(now_ms) + $1 * 1000))
    shift
    until "$@"; do
        (($(now_ms) < deadline)) || return 1
        sleep 0.05
    done
}
port_listening() {
    awk -v p=":$(printf '%04X' "$1")" \
        'NR > 1 && substr($2, length($2) - 4) == p && $4 == "0A" { f = 1 } END { exit !f }' \
        /proc/net/tcp
}
port_in_use() {
    awk -v p=":$(printf '%04X' "$1")" \
        'NR > 1 && substr($2, length($2) - 4) == p { f = 1 } END { exit !f }' \
        /proc/net/tcp /proc/net/tcp6
}

echo "== Starting the gateway emulator"
"$build/tools/gateway-emulator/gateway-emulator" --port 0 --port-file "$work/gateway.port" \
    --identity-log "$work/identities.jsonl" >"$work/emulator.out" 2>&1 &
pids+=($!)
wait_until 20 test -s "$work/gateway.port"
gateway_port=$(cat "$work/gateway.port")
echo "gateway emulator: SOCKS5 on 127.0.0.1:$gateway_port"

listen_port=8080
while port_in_use "$listen_port"; do listen_port=$((listen_port + 1)); done
cat >"$work/vornclient.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters]
"OrganizationName"="Demo Organisation"
"TarnwicketIpAddr"="127.0.0.1"
"TarnwicketPort"="$gateway_port"
"ListenPort"=dword:$(printf '%08x' "$listen_port")
"SocketTimeout"=dword:00000258
REG
echo "== Registry file"
cat "$work/vornclient.reg"

echo "== Starting the relay (service mode)"
mkdir -p "$work/programdata"
VORNCLIENT_REGISTRY="$work/vornclient.reg" VORNCLIENT_EVENT_LOG="$work/events.jsonl" \
    VORNCLIENT_PROGRAMDATA="$work/programdata" "$build/vornclient" >"$work/relay.out" 2>&1 \
    </dev/null &
relay_pid=$!
pids+=("$relay_pid")
if ! wait_until 20 port_listening "$listen_port"; then
    cat "$work/relay.out" "$work/events.jsonl" 2>/dev/null
    exit 1
fi
echo "relay: HTTP proxy on 127.0.0.1:$listen_port"

echo
echo "\$ curl -x http://127.0.0.1:$listen_port http://gw.test/identity"
curl -sS --max-time 30 -x "http://127.0.0.1:$listen_port" http://gw.test/identity

echo
echo "\$ curl -x http://127.0.0.1:$listen_port http://gw.test/bytes/10485760 | sha256sum"
curl -sS --max-time 30 -x "http://127.0.0.1:$listen_port" http://gw.test/bytes/10485760 |
    sha256sum

# The same page for an ordinary user: the gateway hears the user and groups.
if [[ $(id -u) == 0 ]] && command -v useradd >/dev/null && command -v runuser >/dev/null; then
    demo_user="vcdemo$$"
    useradd -M -U -s /bin/sh "$demo_user"
    echo
    echo "\$ runuser -u $demo_user -- curl -x http://127.0.0.1:$listen_port http://gw.test/identity"
    runuser -u "$demo_user" -- curl -q -sS --max-time 30 -x "http://127.0.0.1:$listen_port" \
        http://gw.test/identity
fi

echo
echo "== What the gateway heard"
cat "$work/identities.jsonl"

echo
echo "== Stopping"
kill -TERM "$relay_pid"
rc=0
wait "$relay_pid" || rc=$?
echo "relay exited with status $rc"
echo "== Event log"
cat "$work/events.jsonl"
