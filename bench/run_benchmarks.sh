#!/usr/bin/env bash
# Benchmarks of the relay on this machine; prints figures next to their
# targets with a verdict (met / MISSED). Not a test: it always exits 0 once
# it has run, whatever the verdicts.
#
#   open tunnels: time to open 2,047 idle tunnels through a fresh relay; round
#                 trip and throughput on one of them with 1, 512 and 2,047
#                 open; the relay's resident memory at start, with them open
#                 and after they closed (gateway: bench/echo_gateway.cpp);
#   accept burst: 2,047 connections started back to back by one client: the
#                 time until all are accepted and set up, and the listening
#                 queue's overflows (nstat);
#   TCP table:    one client's setup time with 0 to 50,000 extra rows in the
#                 machine's TCP table (tools/loadgen/tcp_rows.cpp);
#   owner lookup: lookup cost when the browser process holds 1,000 and 5,000
#                 sockets (bench/owner_lookup.cpp); another user's setup time
#                 while one user's 4 processes, each holding 15,000 sockets,
#                 make connections through the relay in a loop (as root,
#                 with two throwaway users);
#   throughput:   a 1 GiB download through the relay, straight from the
#                 emulator's plain HTTP listener and through socat;
#   failover:     one client's setup time through a gateway name whose first
#                 address refuses, then is silent, against a single address
#                 (as root: the name comes from a hosts file mounted for the
#                 relay alone);
#   setup:        setup time at an offered 500 new connections/s (open loop)
#                 and new connections/s with 50 clients (closed loop), both
#                 against the same straight to the emulator, and the relay's
#                 CPU time per connection.
# Setup time is from the connect call to the first response byte; every
# client reads its response to the end. All on 127.0.0.1.
#
# Environment:
#   BUILD_DIR        build folder (default build; configured Release if new)
#   BENCH_BYTES      download size (default 1 GiB)
#   BENCH_ROUNDS     downloads per figure, the median is reported (default 5)
#   BENCH_CONNECTIONS  connections of the 50-client run (default 5000)
#   BENCH_RATE       offered connections/s of the open-loop run (default 500)
#   BENCH_PACED      connections of the open-loop run (default 2500)
#   BENCH_PAIRS      most tunnels open at once (default 2047)
#   BENCH_TABLE_ROWS extra TCP rows per point (default "0 1000 10000 20000 50000")
#   BENCH_PIN=1      pin the relay to CPU 0 and everything else to the others
#   BENCH_RELAY      the relay binary to measure (default BUILD_DIR's), so that
#                    another build is measured with the same tools and script
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
bytes=${BENCH_BYTES:-1073741824}
rounds=${BENCH_ROUNDS:-5}
connections=${BENCH_CONNECTIONS:-5000}
rate=${BENCH_RATE:-500}
paced=${BENCH_PACED:-2500}
most_pairs=${BENCH_PAIRS:-2047}
table_points=${BENCH_TABLE_ROWS:-0 1000 10000 20000 50000}
table_connections=1000

for tool in socat awk ss nstat; do
    command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done
work=$(mktemp -d /tmp/vc-bench.XXXXXX)
targets="vornclient gateway-emulator vc-loadgen vc-fetch vc-pairs vc-tcp-rows vc-echo-gateway
         owner_lookup vc-silent-listener"
if ! {
    [[ -f "$build/CMakeCache.txt" ]] ||
        cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF
    # shellcheck disable=SC2086
    cmake --build "$build" -j2 --target $targets
} >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    rm -rf "$work"
    exit 1
fi

relay_bin=${BENCH_RELAY:-$build/vornclient}
emulator_bin="$build/tools/gateway-emulator/gateway-emulator"
echo_bin="$build/bench/vc-echo-gateway"
owner_bin="$build/bench/owner_lookup"
loadgen_bin="$build/tools/loadgen/vc-loadgen"
fetch_bin="$build/tools/loadgen/vc-fetch"
pairs_bin="$build/tools/loadgen/vc-pairs"
rows_bin="$build/tools/loadgen/vc-tcp-rows"
silent_bin="$build/bench/vc-silent-listener"

pids=()
bench_users=()
forget() {  # a process that has been waited for is no longer ours to signal
    local i
    for i in "${!pids[@]}"; do
        if [[ ${pids[$i]} == "$1" ]]; then unset 'pids[i]'; fi
    done
}
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    local user
    for user in "${bench_users[@]}"; do
        userdel "$user" >/dev/null 2>&1 || true
        groupdel "$user" >/dev/null 2>&1 || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Every process gets the hard descriptor limit: 2,047 tunnels are 4,094
# sockets in the relay alone.
hard_limit=$(ulimit -Hn)
[[ $hard_limit != unlimited ]] || hard_limit=1048576
ulimit -n "$hard_limit" 2>/dev/null || true
if (($(ulimit -n) < 4400)); then
    echo "descriptor limit $(ulimit -n): too low for $most_pairs tunnels" >&2
fi
pin_relay=()
pin_other=()
cpus=$(nproc)
if [[ "${BENCH_PIN:-0}" == 1 && $cpus -ge 2 ]]; then
    pin_relay=(taskset -c 0)
    others=1
    ((cpus == 2)) || others="1-$((cpus - 1))"
    pin_other=(taskset -c "$others")
    pinning="relay pinned to CPU 0; emulator, gateways and clients to CPU $others"
else
    pinning="nothing pinned: relay, emulator, gateways and clients share all $cpus CPUs"
fi

now_ms() { date +%s%3N; }
wait_until() {  # seconds, command...: bounded polling of a condition
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
tcp_rows() { ss -4tanH | wc -l; }
indent() { sed 's/^/  /'; }
shown() { grep -v '^RESULT' | indent; }
# field OUTPUT KEY [MATCH]: KEY's value on the first RESULT line containing MATCH
field() {
    grep '^RESULT' <<<"$1" | grep -m1 -e "${3:-RESULT}" | tr ' ' '\n' |
        awk -F= -v k="$2" '$1 == k { print $2 }' || true
}
calc() {  # expression [decimals]
    local arithmetic='^[0-9(][0-9. /*+()-]*$'
    if [[ $1 =~ $arithmetic ]]; then
        awk "BEGIN { printf \"%.${2:-1}f\", $1 }"
    else
        echo "?"
    fi
}

verdicts=()
# figure DESCRIPTION FIGURE: a figure shown without a target.
figure() {
    verdicts+=("$(printf '%-44s %-40s %-22s %s' "$1" "$2" "(shown only)" "-")")
    printf '  -> %s: %s\n' "$1" "$2"
}

# target DESCRIPTION FIGURE GOAL CONDITION: CONDITION is an awk expression;
# a figure that was not measured makes it fail.
target() {
    local verdict=MISSED
    if [[ -n "$2" && "$2" != *"?"* ]] && awk "BEGIN { exit !($4) }" 2>/dev/null; then
        verdict=met
    fi
    verdicts+=("$(printf '%-44s %-40s %-22s %s' "$1" "$2" "$3" "$verdict")")
    printf '  -> %s: %s (target %s): %s\n' "$1" "$2" "$3" "$verdict"
}

# --- the gateways ---------------------------------------------------------------
"${pin_other[@]}" "$emulator_bin" --port 0 --port-file "$work/socks.port" --http-port 0 \
    --http-port-file "$work/http.port" >"$work/emulator.out" 2>&1 &
emulator_pid=$!
pids+=($!)
"${pin_other[@]}" "$echo_bin" --port 0 --port-file "$work/echo-socks.port" --plain-port 0 \
    --plain-port-file "$work/echo-plain.port" >"$work/echo.out" 2>&1 &
pids+=($!)
wait_until 20 test -s "$work/http.port"
wait_until 20 test -s "$work/echo-plain.port"
socks_port=$(cat "$work/socks.port")
http_port=$(cat "$work/http.port")
echo_socks_port=$(cat "$work/echo-socks.port")
echo_plain_port=$(cat "$work/echo-plain.port")

relay_pid=""
relay_port=""
relay_wrapper=()
start_relay() {  # gateway port [gateway]: a fresh relay on a free port
    relay_port=$(free_port)
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters]\r\n'
        printf '"OrganizationName"="Benchmark"\r\n"TarnwicketIpAddr"="%s"\r\n' "${2:-127.0.0.1}"
        printf '"TarnwicketPort"="%s"\r\n"ListenPort"=dword:%08x\r\n' "$1" "$relay_port"
    } >"$work/vornclient.reg"
    mkdir -p "$work/programdata"
    VORNCLIENT_REGISTRY="$work/vornclient.reg" VORNCLIENT_EVENT_LOG="$work/events.jsonl" \
        VORNCLIENT_PROGRAMDATA="$work/programdata" "${relay_wrapper[@]}" "${pin_relay[@]}" \
        "$relay_bin" >"$work/relay.out" 2>&1 </dev/null &
    relay_pid=$!
    pids+=("$relay_pid")
    wait_until 20 port_listening "$relay_port" || { cat "$work/relay.out" >&2; exit 1; }
}
stop_relay() {
    kill -TERM "$relay_pid" 2>/dev/null || true
    wait "$relay_pid" 2>/dev/null || true
    forget "$relay_pid"
}

started=$(now_ms)
echo "== Relay benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -sr), $cpus CPUs"
echo "  build: $build; load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "  $pinning; descriptor limit $(ulimit -n)"
echo "  processes: relay (vornclient), gateway-emulator (SOCKS5 and plain HTTP),"
echo "  vc-echo-gateway (SOCKS5 stub with echo and data source, for the tunnels)"

# --- open tunnels and memory ----------------------------------------------------
echo "== Open tunnels: a fresh relay, tunnels to vc-echo-gateway; each sends one line"
echo "   and gets its echo, then stays idle. On the newest one: 200 round trips of a"
echo "   32-byte line, then a download for up to 3 s. Relay RSS from /proc/<pid>/status."
start_relay "$echo_socks_port"
steps=1
((most_pairs <= 512)) || steps+=" 512"
((most_pairs <= 1)) || steps+=" $most_pairs"
pairs_out=$("${pin_other[@]}" "$pairs_bin" --port "$relay_port" --relay-pid "$relay_pid" \
    --steps "${steps// /,}" 2>&1) || true
direct_pairs=$("${pin_other[@]}" "$pairs_bin" --port "$echo_plain_port" --steps 1 2>&1) || true
stop_relay
pairs_row() {  # label, vc-pairs output, RESULT line match, memory text
    printf '  %-13s %-10s %-21s %-21s %-11s %s\n' "$1" "$(field "$2" open_s "$3") s" \
        "$(field "$2" setup_p50_ms "$3") / $(field "$2" setup_p99_ms "$3") ms" \
        "$(field "$2" rtt_p50_ms "$3") / $(field "$2" rtt_p99_ms "$3") ms" \
        "$(field "$2" mbps "$3") MB/s" "$4"
}
mib_of() { calc "$(field "$pairs_out" "$1" "${2:-RESULT}") / 1024"; }
echo "  relay RSS at start: $(mib_of start_rss_kib) MiB"
printf '  %-13s %-10s %-21s %-21s %-11s %s\n' "open tunnels" "opened in" "each, p50 / p99" \
    "round trip p50 / p99" "one tunnel" "relay RSS: open / after closing"
for n in $steps; do
    pairs_row "$n" "$pairs_out" "pairs=$n " \
        "$(mib_of rss_open_kib "pairs=$n ") / $(mib_of rss_closed_kib "pairs=$n ") MiB"
done
pairs_row "1, no relay" "$direct_pairs" "pairs=1 " ""
grep -h 'first failure\|still held' <<<"$pairs_out"$'\n'"$direct_pairs" | indent || true
grep -q '^RESULT pairs=' <<<"$pairs_out" || indent <<<"$pairs_out"

last="pairs=$most_pairs "
open_s=$(field "$pairs_out" open_s "$last")
open_failed=$(field "$pairs_out" failed "$last")
rtt_many=$(field "$pairs_out" rtt_p50_ms "$last")
rtt_one=$(field "$pairs_out" rtt_p50_ms "pairs=1 ")
mbps_many=$(field "$pairs_out" mbps "$last")
mbps_one=$(field "$pairs_out" mbps "pairs=1 ")
rss_start=$(field "$pairs_out" start_rss_kib)
rss_open=$(field "$pairs_out" rss_open_kib "$last")
rss_closed=$(field "$pairs_out" rss_closed_kib "$last")
settled=$(field "$pairs_out" settled "$last")
target "open $most_pairs idle tunnels" "$open_s s, ${open_failed:-?} failed" "< 2 s" \
    "$open_s < 2 && $open_failed == 0"
target "round trip, 1 of $most_pairs open, median" "$rtt_many ms (1 open: $rtt_one)" "< 1 ms" \
    "$rtt_many < 1"
target "one tunnel's throughput, $most_pairs open" "$mbps_many MB/s (1 open: $mbps_one)" \
    ">= 0.5 x 1 open" "$mbps_many >= 0.5 * $mbps_one && $mbps_one > 0"
rss_start_mib=$(calc "$rss_start / 1024")
rss_open_mib=$(calc "$rss_open / 1024")
rss_closed_mib=$(calc "$rss_closed / 1024")
target "relay RSS with $most_pairs idle tunnels" "$rss_open_mib MiB (start $rss_start_mib)" \
    "< 64 MiB" "$rss_open > 0 && $rss_open < 64 * 1024"
target "relay RSS after they closed" "$rss_closed_mib MiB (start $rss_start_mib)" \
    "<= start + 20 MiB" "$settled == 1 && $rss_closed > 0 && $rss_closed <= $rss_start + 20 * 1024"

# --- accept burst ---------------------------------------------------------------
echo "== Accept burst: a fresh relay; one client starts $most_pairs connections back to"
echo "   back (non-blocking connects, all before the first answer), then each sends a"
echo "   line and waits for its echo through its tunnel. Listen queue overflows: nstat"
listen_overflows() {
    nstat -asz TcpExtListenOverflows | awk '$1 == "TcpExtListenOverflows" { print $2 }'
}
start_relay "$echo_socks_port"
overflows_before=$(listen_overflows) || true
burst_out=$("${pin_other[@]}" "$pairs_bin" --port "$relay_port" --steps "$most_pairs" \
    --window "$most_pairs" --rtt-rounds 1 --download-ms 1 2>&1) || true
overflows_after=$(listen_overflows) || true
stop_relay
burst_s=$(field "$burst_out" open_s)
burst_failed=$(field "$burst_out" failed)
grep -h 'first failure' <<<"$burst_out" | indent || true
echo "  each tunnel: $(field "$burst_out" setup_p50_ms) ms median, $(field "$burst_out" setup_p99_ms) ms p99"
target "$most_pairs connections back to back, all set up" "$burst_s s, ${burst_failed:-?} failed" \
    "< 2 s" "$burst_s < 2 && $burst_failed == 0"
target "listen queue overflows during the burst" \
    "$(calc "$overflows_after - $overflows_before" 0) ($overflows_before before)" "none" \
    "$overflows_after == $overflows_before"

# The rest goes through one relay whose gateway is the emulator.
start_relay "$socks_port"

# --- TCP table size ----------------------------------------------------------------
echo "== Setup time against the TCP table: one client, $table_connections connections one"
echo "   after the other, /hello through the relay; extra rows held by vc-tcp-rows"
echo "   (about 90% ESTABLISHED pairs, 10% TIME_WAIT)"
printf '  %-12s %-22s %-12s %s\n' "extra rows" "IPv4 TCP rows (ss)" "setup p50" "setup p99"
declare -A table_p50=()
rows_pid=""
stop_rows() {
    if [[ -n "$rows_pid" ]]; then
        kill -TERM "$rows_pid" 2>/dev/null || true
        wait "$rows_pid" 2>/dev/null || true
        forget "$rows_pid"
        rows_pid=""
    fi
}
for extra in $table_points; do
    if ((extra > 0)); then
        rm -f "$work/rows.ready"
        "${pin_other[@]}" "$rows_bin" --rows "$extra" --ready-file "$work/rows.ready" \
            >/dev/null 2>"$work/rows.err" &
        rows_pid=$!
        pids+=("$rows_pid")
        if ! wait_until 180 test -s "$work/rows.ready"; then
            printf '  %-12s could not be made: %s\n' "$extra" "$(head -c 200 "$work/rows.err")"
            stop_rows
            continue
        fi
    fi
    before=$(tcp_rows)
    out=$("${pin_other[@]}" "$loadgen_bin" --port "$relay_port" --clients 1 \
        --connections "$table_connections" --duration-ms 60000 2>&1) || true
    after=$(tcp_rows)
    stop_rows
    table_p50[$extra]=$(field "$out" median_ms)
    printf '  %-12s %-22s %-12s %s\n' "$extra" "$before .. $after" \
        "${table_p50[$extra]:-?} ms" "$(field "$out" p99_ms) ms"
    if [[ $(field "$out" failed) != 0 ]]; then
        grep '^first failure' <<<"$out" | indent || true
    fi
done
out=$("${pin_other[@]}" "$loadgen_bin" --port "$http_port" --origin-form --clients 1 \
    --connections "$table_connections" --duration-ms 60000 2>&1) || true
direct_one=$(field "$out" median_ms)
echo "  straight to the emulator, for reference: setup p50 $direct_one ms"
echo "  (TIME_WAIT rows of the filler go by themselves within 60 s)"
p0=${table_p50[0]:-}
p20=${table_p50[20000]:-}
target "one client's setup p50, 20,000 extra rows" "$p20 ms (empty: $p0 ms)" \
    "<= 1.1 x empty" "$p20 <= 1.1 * $p0"

# --- owner lookup ---------------------------------------------------------------
echo "== Owner lookup (bench/owner_lookup.cpp): lookups of connections made by"
echo "   processes beside one that holds many sockets, and by that process itself"
owner_out=$("${pin_other[@]}" "$owner_bin" --sockets 1000,5000 --rounds 200 2>&1) || true
grep -v '^RESULT\|target:' <<<"$owner_out" | indent
for n in 1000 5000; do
    median=$(field "$owner_out" busy_median_us "sockets=$n ")
    figure "owner lookup, browser holding $n sockets" "$(calc "$median / 1000" 2) ms median"
done

# Another user's setup time, alone and beside one user's processes that each
# hold many sockets and make connections in a loop (needs root for users).
crowd_figures() {
    local churners=4 churn_sockets=15000 probes=300 i pid user
    echo "== Another user beside a crowd: $churners processes of one user, each holding"
    echo "   $churn_sockets open sockets, make connections through the relay in a loop; another"
    echo "   user makes $probes connections one after the other (/hello), first alone"
    bench_users=("vcbcrowd$$" "vcbprobe$$")
    for user in "${bench_users[@]}"; do useradd -M -U -s /bin/sh "$user"; done
    # setpriv becomes the command, so the pid of a background one is its own.
    as_user() {  # USER COMMAND...
        local name=$1
        shift
        setpriv --reuid "$name" --regid "$name" --init-groups -- "${pin_other[@]}" "$@"
    }
    probe() {
        as_user "${bench_users[1]}" "$loadgen_bin" --port "$relay_port" --clients 1 \
            --connections "$probes" --duration-ms 60000 2>&1 || true
    }
    passive_opens() { nstat -asz TcpPassiveOpens | awk '$1 == "TcpPassiveOpens" { print $2 }'; }
    local quiet crowded churn_pids=() opens0 churn_start churn_rate
    quiet=$(probe)
    for ((i = 0; i < churners; i++)); do
        setpriv --reuid "${bench_users[0]}" --regid "${bench_users[0]}" --init-groups -- \
            "${pin_other[@]}" "$loadgen_bin" --port "$relay_port" --clients 1 \
            --connections 1000000000 --duration-ms 300000 --hold-sockets "$churn_sockets" \
            >"$work/churn.$i" 2>&1 &
        churn_pids+=($!)
        pids+=($!)
    done
    holding() { grep -q '^holding' "$work/churn.$1"; }
    for ((i = 0; i < churners; i++)); do
        wait_until 60 holding "$i" || { echo "  churn $i did not start:"; indent <"$work/churn.$i"; }
    done
    opens0=$(passive_opens) || true
    churn_start=$(now_ms)
    crowded=$(probe)
    churn_rate=$(calc "($(passive_opens) - $opens0) / 2 / (($(now_ms) - $churn_start) / 1000)" 0)
    for pid in "${churn_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        forget "$pid"
    done
    printf '  %-34s %-12s %-12s %s\n' "" "setup p50" "p99" "max"
    printf '  %-34s %-12s %-12s %s\n' "alone" "$(field "$quiet" median_ms) ms" \
        "$(field "$quiet" p99_ms) ms" "$(field "$quiet" max_ms) ms"
    printf '  %-34s %-12s %-12s %s\n' "beside the crowd (~$churn_rate/s)" \
        "$(field "$crowded" median_ms) ms" "$(field "$crowded" p99_ms) ms" \
        "$(field "$crowded" max_ms) ms"
    grep -h '^first failure' <<<"$quiet"$'\n'"$crowded" | indent || true
    local quiet_p50 crowded_p50 crowded_max
    quiet_p50=$(field "$quiet" median_ms)
    crowded_p50=$(field "$crowded" median_ms)
    crowded_max=$(field "$crowded" max_ms)
    target "another user's setup p50 beside the crowd" "$crowded_p50 ms (alone: $quiet_p50 ms)" \
        "<= alone + 20 ms" "$crowded_p50 <= $quiet_p50 + 20 && $(field "$crowded" failed) == 0"
    target "another user's setup max beside the crowd" "$crowded_max ms" "< 250 ms" \
        "$crowded_max < 250"
}
if [[ $(id -u) == 0 ]]; then
    crowd_figures
else
    echo "== Another user beside a crowd: skipped, needs root to create two users"
fi

# --- throughput -----------------------------------------------------------------
socat_port=$(free_port)
"${pin_other[@]}" socat -b 65536 "TCP-LISTEN:$socat_port,bind=127.0.0.1,reuseaddr,fork" \
    "TCP:127.0.0.1:$http_port" &
pids+=($!)
wait_until 20 port_listening "$socat_port"
mib=$((bytes / 1048576))
echo "== Throughput: one $mib MiB download, median of $rounds (vc-fetch: 256 KiB reads to"
echo "   the end of the response); the three take turns, so that a slow spell of the"
echo "   machine falls on all of them"
declare -A fetch_rounds=()
fetch_round() {  # name, port, fetch arguments...: appends one round's MB/s
    local name=$1 port=$2 out
    shift 2
    out=$("${pin_other[@]}" "$fetch_bin" --port "$port" --path "/bytes/$bytes" --rounds 1 "$@" \
        2>&1) || true
    grep '^round failed' <<<"$out" | indent || true
    fetch_rounds[$name]+="$(field "$out" mbps) "
}
relay_user=0
relay_system=0
for ((r = 0; r < rounds; r++)); do
    fetch_round direct "$http_port" --origin-form
    fetch_round socat "$socat_port" --origin-form
    read -r u0 s0 < <(awk '{ print $14, $15 }' "/proc/$relay_pid/stat")
    fetch_round relay "$relay_port"
    read -r u1 s1 < <(awk '{ print $14, $15 }' "/proc/$relay_pid/stat")
    relay_user=$((relay_user + u1 - u0))
    relay_system=$((relay_system + s1 - s0))
done
median_of() { tr ' ' '\n' <<<"$1" | grep -v '^$' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
direct=$(median_of "${fetch_rounds[direct]}")
through_socat=$(median_of "${fetch_rounds[socat]}")
through_relay=$(median_of "${fetch_rounds[relay]}")
printf '  %-28s %6s MB/s   (rounds: %s)\n' "straight from the emulator:" "$direct" \
    "${fetch_rounds[direct]% }" "through socat -b 65536:" "$through_socat" \
    "${fetch_rounds[socat]% }" "through the relay:" "$through_relay" "${fetch_rounds[relay]% }"
relay_cpu=$((relay_user + relay_system))
if ((relay_cpu > 0)); then
    echo "  the relay's CPU time per GiB: $(calc "$relay_cpu * 1000 / $(getconf CLK_TCK) / ($rounds * $bytes / 1073741824)" 0) ms," \
        "$(calc "100 * $relay_system / $relay_cpu" 0)% of it in the kernel (copying and TCP):"
    echo "  like socat, it moves each 64 KiB with one receive and one send"
fi
target "$mib MiB download through the relay" "$through_relay MB/s (direct $direct)" \
    ">= 0.4 x direct" "$through_relay >= 0.4 * $direct"
target "$mib MiB download, relay against socat" "$through_relay MB/s (socat $through_socat)" \
    ">= 1.2 x socat" "$through_relay >= 1.2 * $through_socat"

# --- connection setup -----------------------------------------------------------
# Tens of thousands of TIME_WAIT rows left by the phases above slow every
# new connection on the machine, and the relay's two per browser more than
# one: both the relay and the reference are measured once they are gone.
time_wait_rows() { ss -4tanH state time-wait | wc -l; }
few_time_wait_rows() { (($(time_wait_rows) < 200)); }
wait_until 75 few_time_wait_rows || true
echo "== (TIME_WAIT rows left before the setup figures: $(time_wait_rows))"
echo "== Setup at an offered $rate connections/s: $paced connections started on schedule"
echo "   whatever the earlier ones do (open loop), /hello"
paced_relay=$("${pin_other[@]}" "$loadgen_bin" --port "$relay_port" --rate "$rate" \
    --connections "$paced" 2>&1) || true
paced_direct=$("${pin_other[@]}" "$loadgen_bin" --port "$http_port" --origin-form \
    --rate "$rate" --connections "$paced" 2>&1) || true
echo "  through the relay:"
shown <<<"$paced_relay" | indent
echo "  straight to the emulator, for reference:"
shown <<<"$paced_direct" | indent
paced_p99=$(field "$paced_relay" p99_ms)
paced_failed=$(field "$paced_relay" failed)
target "setup p99 at an offered $rate/s" \
    "$paced_p99 ms, ${paced_failed:-?} failed (direct $(field "$paced_direct" p99_ms))" \
    "< 5 ms" "$paced_p99 < 5 && $paced_failed == 0"

echo "== New connections: 50 clients, each starting its next connection when its last"
echo "   one ended (closed loop), up to $connections connections, /hello"
# Where the time goes: CPU ticks of the relay and the emulator, and of the
# whole machine, over each run.
proc_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
machine_busy_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9 }' /proc/stat; }
declare -A ticks=()
sample_ticks() {  # prefix
    ticks[$1.relay]=$(proc_ticks "$relay_pid")
    ticks[$1.emulator]=$(proc_ticks "$emulator_pid")
    ticks[$1.machine]=$(machine_busy_ticks)
    ticks[$1.time]=$(now_ms)
}
hz=$(getconf CLK_TCK)
per_connection_us() {  # from to what connections
    calc "(${ticks[$2.$3]} - ${ticks[$1.$3]}) * 1000000 / $hz / $4" 0
}
sample_ticks relay0
relay_load=$("${pin_other[@]}" "$loadgen_bin" --port "$relay_port" --clients 50 \
    --connections "$connections" --duration-ms 30000 2>&1) || true
sample_ticks relay1
direct_load=$("${pin_other[@]}" "$loadgen_bin" --port "$http_port" --origin-form --clients 50 \
    --connections "$connections" --duration-ms 30000 2>&1) || true
sample_ticks direct1
echo "  through the relay:"
shown <<<"$relay_load" | indent
echo "  straight to the emulator, for reference:"
shown <<<"$direct_load" | indent
relay_ok=$(field "$relay_load" ok)
direct_ok=$(field "$direct_load" ok)
busy_share() {  # from to: how busy both CPUs were, in percent
    calc "100 * (${ticks[$2.machine]} - ${ticks[$1.machine]}) / $hz / 2 / ((${ticks[$2.time]} - ${ticks[$1.time]}) / 1000)" 0
}
if [[ "${relay_ok:-0}" -gt 0 && "${direct_ok:-0}" -gt 0 ]]; then
    echo "  CPU per connection (the 2 CPUs were $(busy_share relay0 relay1)% and" \
        "$(busy_share relay1 direct1)% busy):"
    echo "    through the relay: $(per_connection_us relay0 relay1 machine "$relay_ok") us in all," \
        "of which relay $(per_connection_us relay0 relay1 relay "$relay_ok") us, emulator" \
        "$(per_connection_us relay0 relay1 emulator "$relay_ok") us"
    echo "    straight to the emulator: $(per_connection_us relay1 direct1 machine "$direct_ok")" \
        "us in all, of which emulator $(per_connection_us relay1 direct1 emulator "$direct_ok") us"
    echo "    (with both CPUs busy, the rates are in the inverse ratio of these totals: a"
    echo "    relayed connection is two TCP connections, three SOCKS exchanges and the"
    echo "    owner lookup on top of the emulator's work for the request)"
fi
relay_us="?"
if [[ "${relay_ok:-0}" -gt 0 ]]; then relay_us=$(per_connection_us relay0 relay1 relay "$relay_ok"); fi
target "relay CPU per relayed connection" "$relay_us us" "< 150 us" "$relay_us < 150"
relay_rate=$(field "$relay_load" rate)
direct_rate=$(field "$direct_load" rate)
relay_failed=$(field "$relay_load" failed)
target "new connections/s, 50 clients" \
    "$relay_rate/s, ${relay_failed:-?} failed (direct $direct_rate/s)" ">= 0.5 x direct" \
    "$relay_rate >= 0.5 * $direct_rate && $relay_failed == 0"
stop_relay

# --- gateway failover -------------------------------------------------------------
failover_figures() {
    local n=300 gw_port hosts single refusing silent first
    echo "== Failover: a gateway name with two addresses, from a hosts file mounted over"
    echo "   /etc/hosts for the relay alone: 127.0.0.2 first (refusing, then silent: a full"
    echo "   listen queue), 127.0.0.3 second (an emulator). One client, $n connections one"
    echo "   after the other, /hello; a fresh relay for each case"
    gw_port=$(free_port)
    "${pin_other[@]}" "$emulator_bin" --address 127.0.0.3 --port "$gw_port" \
        --port-file "$work/second.port" >"$work/second.out" 2>&1 &
    pids+=($!)
    wait_until 20 test -s "$work/second.port"
    hosts="$work/hosts"
    printf '127.0.0.1 localhost\n127.0.0.2 gw.pair.test\n127.0.0.3 gw.pair.test\n' >"$hosts"
    setup() {  # connections: loadgen's output through the relay
        "${pin_other[@]}" "$loadgen_bin" --port "$relay_port" --clients 1 --connections "$1" \
            --duration-ms 60000 2>&1 || true
    }
    through_pair() {  # a relay whose gateway is the name of the pair
        relay_wrapper=(unshare -m --propagation private sh -c
            'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$hosts")
        start_relay "$gw_port" gw.pair.test
        relay_wrapper=()
    }
    start_relay "$gw_port" 127.0.0.3
    single=$(setup "$n")
    stop_relay
    through_pair
    refusing=$(setup "$n")
    stop_relay
    "$silent_bin" 127.0.0.2 "$gw_port" "$work/silent.port" &
    pids+=($!)
    wait_until 20 test -s "$work/silent.port"
    through_pair
    first=$(setup 1)
    silent=$(setup "$n")
    stop_relay
    printf '  %-40s %-12s %-12s %s\n' "" "setup p50" "p99" "failed"
    local name out
    for name in single refusing first silent; do
        out=${!name}
        printf '  %-40s %-12s %-12s %s\n' "$(
            case $name in
            single) echo "one healthy address" ;;
            refusing) echo "first refusing" ;;
            first) echo "first silent: the first connection" ;;
            silent) echo "first silent: the $n after it" ;;
            esac
        )" "$(field "$out" median_ms) ms" "$(field "$out" p99_ms) ms" "$(field "$out" failed)"
        grep -h '^first failure' <<<"$out" | indent || true
    done
    local p_single p_refusing p_first p_silent
    p_single=$(field "$single" median_ms)
    p_refusing=$(field "$refusing" median_ms)
    p_first=$(field "$first" median_ms)
    p_silent=$(field "$silent" median_ms)
    target "setup p50, first address refusing" "$p_refusing ms (one address: $p_single ms)" \
        "<= single + 5 ms" "$p_refusing <= $p_single + 5 && $(field "$refusing" failed) == 0"
    target "first address silent: first connection" "$p_first ms" "< 1500 ms" \
        "$p_first < 1500 && $(field "$first" failed) == 0"
    target "setup p50, first address known silent" "$p_silent ms (one address: $p_single ms)" \
        "<= single + 20 ms" "$p_silent <= $p_single + 20 && $(field "$silent" failed) == 0"
}
if [[ $(id -u) == 0 ]] && command -v unshare >/dev/null; then
    failover_figures
else
    echo "== Failover: skipped, needs root to mount a hosts file for the relay"
fi

# --- summary --------------------------------------------------------------------
echo "== Targets ($(((($(now_ms) - started) + 500) / 1000)) s; load average at the end:" \
    "$(cut -d' ' -f1-3 /proc/loadavg))"
printf '  %-44s %-40s %-22s %s\n' "what" "figure" "target" "verdict"
printf '  %s\n' "${verdicts[@]}"
