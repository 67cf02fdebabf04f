#!/usr/bin/env bash
# When no thread can be started for the lookup of a new connection, that
# connection alone is lost: the relay logs why, closes it unanswered and
# keeps serving. Once lookup threads exist, connections that find no thread
# free wait for one instead. The relay is put in a pids cgroup that leaves
# no room for another thread.
source "$(dirname "$0")/lib.sh"

[[ $(id -u) == 0 ]] || skip "needs root for a pids cgroup"
pids_root=""
if [[ -w /sys/fs/cgroup/pids/cgroup.procs ]]; then
    pids_root=/sys/fs/cgroup/pids
elif grep -qw pids /sys/fs/cgroup/cgroup.subtree_control 2>/dev/null; then
    pids_root=/sys/fs/cgroup
fi
[[ -n "$pids_root" ]] || skip "no pids cgroup controller to use"
command -v curl >/dev/null || skip "curl is needed"

cgroup="$pids_root/vc-thread-limit-$$"
mkdir "$cgroup"
leave_cgroup() {
    if [[ -n "${RELAY_PID:-}" ]] && ! process_gone "$RELAY_PID"; then
        echo "$RELAY_PID" >"$pids_root/cgroup.procs" 2>/dev/null || true
    fi
    vc_cleanup
    rmdir "$cgroup" 2>/dev/null || true
}
trap leave_cgroup EXIT

fetch() {  # prints curl's exit status
    local rc=0
    curl -s -o /dev/null --max-time 20 -x "http://127.0.0.1:$RELAY_PORT" http://gw.test/hello || rc=$?
    echo "$rc"
}

# fetch_many N: N requests at once; prints how many failed.
fetch_many() {
    local i readers=()
    rm -f "$VC_WORK"/client.*
    for ((i = 0; i < $1; i++)); do
        fetch >"$VC_WORK/client.$i" &
        readers+=($!)
    done
    wait "${readers[@]}"  # each is bounded by curl's own limit
    cat "$VC_WORK"/client.* | grep -c -v -x 0 || true
}

limit_threads() { cat "$cgroup/pids.current" >"$cgroup/pids.max"; }

start_emulator gateway
# A gateway given by name: the lookups then need a thread (an address and
# a known user are answered by the loop itself).
setup_relay limited localhost "$EMU_PORT"
echo "$RELAY_PID" >"$cgroup/cgroup.procs"
limit_threads

clients=40
lost=$(fetch_many "$clients")
check_eq "connections without a lookup thread are closed" "$clients" "$lost"
if process_gone "$RELAY_PID"; then
    fail "the relay ended when a thread could not start"
else
    ok "the relay is still running"
fi
logged=$(grep -c 'SocksProxyServer::acceptNewConn(), exception, ' "$RELAY_EVENTS" || true)
# One message a second at most, so a flood of connections cannot flood the log.
if ((logged >= 1 && logged <= 3)); then
    ok "lost connections logged, at most once a second ($logged)"
else
    fail "lost connections logged $logged times for $lost"
fi

echo max >"$cgroup/pids.max"
check_eq "a request once threads can start again" 0 "$(fetch)"

# A lookup thread now exists: without room for more, connections wait for it.
limit_threads
check_eq "connections that wait for the thread there is" 0 "$(fetch_many "$clients")"
check_eq "nothing more logged" "$logged" \
    "$(grep -c 'SocksProxyServer::acceptNewConn(), exception, ' "$RELAY_EVENTS" || true)"

# Stopping is not what is tested here: room for threads again first.
echo max >"$cgroup/pids.max"
stop_relay
finish
