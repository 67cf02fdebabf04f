#!/usr/bin/env bash
# Benchmarks of the relay on this machine; prints figures, is not a test.
#   throughput: one large download through the relay, against the same
#               download straight from the emulator's plain HTTP listener and
#               through socat forwarding to that listener;
#   setup:      new connections per second and time to first byte with 50
#               concurrent clients;
#   owner lookup with 5,000 open sockets (bench/owner_lookup.sh).
# Environment: BUILD_DIR (default build), BENCH_BYTES (default 1 GiB),
# BENCH_ROUNDS (default 3; the median is reported), BENCH_CONNECTIONS (5000).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
bytes=${BENCH_BYTES:-1073741824}
rounds=${BENCH_ROUNDS:-3}
connections=${BENCH_CONNECTIONS:-5000}

for tool in curl socat awk; do
    command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done
work=$(mktemp -d /tmp/vc-bench.XXXXXX)
if ! {
    [[ -f "$build/CMakeCache.txt" ]] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
    cmake --build "$build" --target vornclient gateway-emulator vc-loadgen -j2
} >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    rm -rf "$work"
    exit 1
fi

relay_bin="$build/vornclient"
emulator_bin="$build/tools/gateway-emulator/gateway-emulator"
loadgen_bin="$build/tools/loadgen/vc-loadgen"

pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }
wait_until() {  # bounded polling of a condition
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
free_port() {
    local port
    for _ in $(seq 500); do
        port=$((20000 + (RANDOM * 32768 + RANDOM) % 12000))
        if ! awk -v p=":$(printf '%04X' "$port")" \
            'NR > 1 && substr($2, length($2) - 4) == p { f = 1 } END { exit !f }' \
            /proc/net/tcp /proc/net/tcp6; then
            echo "$port"
            return
        fi
    done
    return 1
}

# --- start the emulator, the relay and socat ---------------------------------
"$emulator_bin" --port 0 --port-file "$work/socks.port" --http-port 0 \
    --http-port-file "$work/http.port" >"$work/emulator.out" 2>&1 &
pids+=($!)
wait_until 20 test -s "$work/http.port"
socks_port=$(cat "$work/socks.port")
http_port=$(cat "$work/http.port")

relay_port=$(free_port)
{
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters]\r\n'
    printf '"OrganizationName"="Benchmark"\r\n"TarnwicketIpAddr"="127.0.0.1"\r\n'
    printf '"TarnwicketPort"="%s"\r\n"ListenPort"=dword:%08x\r\n' "$socks_port" "$relay_port"
} >"$work/vornclient.reg"
mkdir -p "$work/programdata"
VORNCLIENT_REGISTRY="$work/vornclient.reg" VORNCLIENT_EVENT_LOG="$work/events.jsonl" \
    VORNCLIENT_PROGRAMDATA="$work/programdata" "$relay_bin" >"$work/relay.out" 2>&1 </dev/null &
pids+=($!)
wait_until 20 port_listening "$relay_port" || { cat "$work/relay.out" >&2; exit 1; }

socat_port=$(free_port)
socat "TCP-LISTEN:$socat_port,bind=127.0.0.1,reuseaddr,fork" "TCP:127.0.0.1:$http_port" &
pids+=($!)
wait_until 20 port_listening "$socat_port"

# --- throughput ---------------------------------------------------------------
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
download_speed() {  # prints MB/s (10^6 bytes per second) of one download
    curl -sS -o /dev/null -w '%{speed_download}\n' "$@" | awk '{ printf "%.0f\n", $1 / 1e6 }'
}
measure() {  # curl-args...: median over the rounds
    local r
    for ((r = 0; r < rounds; r++)); do download_speed "$@"; done | median
}

mib=$((bytes / 1048576))
echo "== Throughput: one $mib MiB download, median of $rounds"
direct=$(measure "http://127.0.0.1:$http_port/bytes/$bytes")
through_socat=$(measure "http://127.0.0.1:$socat_port/bytes/$bytes")
through_relay=$(measure -x "http://127.0.0.1:$relay_port" "http://gw.test/bytes/$bytes")
printf '  %-28s %8s MB/s\n' "direct (emulator HTTP):" "$direct" "through socat:" "$through_socat" \
    "through the relay:" "$through_relay"

# --- connection setup ---------------------------------------------------------
echo "== New connections: 50 concurrent clients, up to $connections connections"
relay_load=$("$loadgen_bin" --port "$relay_port" --clients 50 --connections "$connections" \
    --duration-ms 30000) || true
direct_load=$("$loadgen_bin" --port "$http_port" --origin-form --clients 50 \
    --connections "$connections" --duration-ms 30000) || true
echo "  through the relay:"
grep -v '^RESULT' <<<"$relay_load" | sed 's/^/    /'
echo "  direct (emulator HTTP), for reference:"
grep -v '^RESULT' <<<"$direct_load" | sed 's/^/    /'
result_field() { grep '^RESULT' <<<"$1" | tr ' ' '\n' | awk -F= -v k="$2" '$1 == k { print $2 }'; }
rate=$(result_field "$relay_load" rate)
failed=$(result_field "$relay_load" failed)

# --- owner lookup -------------------------------------------------------------
owner_line=""
if [[ -x bench/owner_lookup.sh || -f bench/owner_lookup.sh ]]; then
    echo "== Owner lookup with 5,000 open sockets"
    owner_out=$(BUILD_DIR="$build" bash bench/owner_lookup.sh 2>&1) || true
    sed 's/^/  /' <<<"$owner_out"
    owner_line=$(grep -i -m1 'median' <<<"$owner_out" || true)
else
    echo "== Owner lookup: bench/owner_lookup.sh not present, skipped"
fi

# --- summary ------------------------------------------------------------------
verdict() { if eval "$1"; then echo "met"; else echo "MISSED"; fi; }
echo "== Targets"
printf '  %-52s %s\n' \
    "relay >= half of direct ($through_relay vs $direct MB/s):" \
    "$(verdict "(( ${through_relay:-0} * 2 >= ${direct:-1} ))")" \
    "relay above socat ($through_relay vs $through_socat MB/s):" \
    "$(verdict "(( ${through_relay:-0} > ${through_socat:-0} ))")" \
    ">= 1000 new connections/s (${rate:-0}/s, ${failed:-?} failed):" \
    "$(verdict "(( ${rate:-0} >= 1000 && ${failed:-1} == 0 ))")"
if [[ -n "$owner_line" ]]; then
    printf '  %-52s %s\n' "owner lookup median < 2 ms:" "see: $owner_line"
fi
