#!/usr/bin/env bash
# A gateway that misbehaves at every stage of the exchange: random bytes,
# cut and oversized messages, one-byte segments, silence, resets, hang-ups,
# floods and refusals. A thousand browser connections, two hundred at a
# time, meet it through the relay. Every browser must get what its gateway
# connection's behaviour calls for within the negotiation limit plus slack,
# and the relay must stay sound: no sanitizer report, its descriptors back
# where they were, a few event lines per connection, bounded CPU time, and
# still serving afterwards. The same relay, with the real emulator as
# gateway, then answers browsers that shut down their sending side right
# after the request.
source "$(dirname "$0")/lib.sh"

: "${HOSTILE_BIN:?HOSTILE_BIN must name the hostile gateway binary}"

connections=1000
concurrency=200
seed=20240501
limit_ms=20000         # 10 s negotiation limit, plus the loop's 5 s wait and slack
max_events_per_conn=5  # a refusal logs two lines; most failures one
cpu_factor=1.5         # the relay needs about as much CPU as the tool; a spinning loop far more

GW_PORT=$(free_port)
setup_relay storm 127.0.0.1 "$GW_PORT"
relay=$RELAY_PID
# One browser first, while no gateway listens: what the relay keeps open for
# all its lookups is made then, not counted as a leak of the storm; nor are
# the owner-table sockets of lookup threads.
raw_exchange "$RELAY_PORT" "" "$VC_WORK/warm-up.page" >/dev/null
fd_start=$(proc_fd_count_but_netlink "$relay")
cpu_start=$(proc_cpu_ticks "$relay")

# The tool plays the gateway and every browser; built as the relay is and
# run on the same machine at the same time, its CPU time is the yardstick
# for the relay's, which does about as much per connection.
TIMEFORMAT='%U %S'
rc=0
{ time "$HOSTILE_BIN" --port "$GW_PORT" --seed "$seed" --log "$VC_WORK/behaviours.log" \
    --drive "$RELAY_PORT" --connections "$connections" --concurrency "$concurrency" \
    --deadline-ms 30000 --limit-ms "$limit_ms" --results "$VC_WORK/results.txt" 2>&3 ||
    rc=$?; } 3>&2 2>"$VC_WORK/tool.time"
if ((rc == 0)); then
    ok "every browser connection ended as its gateway's behaviour calls for, within $limit_ms ms"
else
    fail "browser connections ended wrongly or late (see above; all in results.txt)"
fi

if process_gone "$relay"; then
    fail "relay died during the storm; its output:"
    tail -n 40 "$RELAY_OUT" >&2
    finish
fi
ok "relay alive after the storm"
relay_cpu=$(ticks_as_seconds "$(($(proc_cpu_ticks "$relay") - cpu_start))")
read -r tool_user tool_system <"$VC_WORK/tool.time"
tool_cpu=$(awk -v u="$tool_user" -v s="$tool_system" 'BEGIN { printf "%.2f", u + s }')
bound=$(awk -v t="$tool_cpu" -v f="$cpu_factor" 'BEGIN { printf "%.2f", f * t + 1 }')
echo "CPU time: relay $relay_cpu s, hostile gateway and browsers $tool_cpu s"
if awk -v r="$relay_cpu" -v b="$bound" 'BEGIN { exit !(r <= b) }'; then
    ok "relay CPU time within $bound s ($cpu_factor times the tool's, plus 1 s)"
else
    fail "relay CPU time $relay_cpu s, above $bound s ($cpu_factor times the tool's, plus 1 s)"
fi

events=$(wc -l <"$RELAY_EVENTS")
per_conn=$(awk -v e="$events" -v c="$connections" 'BEGIN { printf "%.2f", e / c }')
echo "event lines: $events, $per_conn per connection"
if awk -v p="$per_conn" -v m="$max_events_per_conn" 'BEGIN { exit !(p <= m) }'; then
    ok "at most $max_events_per_conn event lines per connection"
else
    fail "$per_conn event lines per connection; most frequent:"
    sed 's/.*"message": //' "$RELAY_EVENTS" | sort | uniq -c | sort -rn | head -n 5 >&2 || true
fi

fd_back() { (($(proc_fd_count_but_netlink "$relay") == fd_start)); }
wait_until 20 fd_back || true
fd_end=$(proc_fd_count_but_netlink "$relay")
echo "relay descriptors: $fd_start before the storm, $fd_end after"
check_eq "relay descriptors back to where they were" "$fd_start" "$fd_end"

# The real emulator takes over the gateway port: the relay still serves.
start_emulator after --port "$GW_PORT"
page=$(curl -sS --max-time 30 -x "http://127.0.0.1:$RELAY_PORT" http://gw.test/hello || true)
check_eq "relay answers a normal request after the storm" hello "$page"

# half_close NAME REQUEST_FILE: sends the file, shuts down the sending side
# and reads until the relay ends the stream. Sets HC_RC and HC_MS.
half_close() {
    local start
    start=$(now_ms)
    HC_RC=0
    # socat shuts down its sending side at the end of its input and reads
    # on until the peer ends the stream (-t bounds that wait).
    timeout 60 socat -t 30 STDIO "TCP:127.0.0.1:$RELAY_PORT" <"$2" >"$VC_WORK/$1.out" \
        2>"$VC_WORK/$1.err" || HC_RC=$?
    HC_MS=$(($(now_ms) - start))
}

body_of() { sed '1,/^\r$/d' "$1"; }

size=8388608
printf 'GET http://gw.test/bytes/%d HTTP/1.1\r\nHost: gw.test\r\nConnection: close\r\n\r\n' \
    "$size" >"$VC_WORK/download.req"
half_close download "$VC_WORK/download.req"
got=$(body_of "$VC_WORK/download.out" | wc -c)
want=$(curl -sS --max-time 30 "http://127.0.0.1:$EMU_HTTP_PORT/bytes/$size" | sha256sum)
echo "half-closed download: $got of $size bytes, socat exit $HC_RC after $HC_MS ms"
check_eq "half-closed browser gets the whole answer" "$want" \
    "$(body_of "$VC_WORK/download.out" | sha256sum)"
# The end of the answer, not socat's own limit, ends the exchange.
if ((HC_RC == 0 && HC_MS < 25000)); then
    ok "half-closed download ended by the end of the stream"
else
    fail "half-closed download: socat exit $HC_RC after $HC_MS ms: $(cat "$VC_WORK/download.err")"
fi

awk 'BEGIN { for (i = 0; i < 16384; i++) printf "%063d\n", i }' >"$VC_WORK/upload.body"
{
    printf 'POST http://gw.test/sink HTTP/1.1\r\nHost: gw.test\r\nConnection: close\r\n'
    printf 'Content-Length: 1048576\r\n\r\n'
    cat "$VC_WORK/upload.body"
} >"$VC_WORK/upload.req"
half_close upload "$VC_WORK/upload.req"
want=$(sha256sum <"$VC_WORK/upload.body" | cut -d' ' -f1)
check_eq "half-closed upload: the gateway's digest arrives" "$want" \
    "$(body_of "$VC_WORK/upload.out" | tr -d '\r\n')"
if ((HC_RC == 0 && HC_MS < 25000)); then
    ok "half-closed upload ended by the end of the stream"
else
    fail "half-closed upload: socat exit $HC_RC after $HC_MS ms: $(cat "$VC_WORK/upload.err")"
fi

stop_relay "$relay"
finish
