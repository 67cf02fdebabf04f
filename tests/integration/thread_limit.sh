#!/usr/bin/env bash
# A relay that cannot start the thread of a new connection loses that
# connection only: it logs why, closes it unanswered and keeps serving. The
# relay is put in a pids cgroup that leaves no room for another thread.
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

start_emulator gateway
setup_relay limited 127.0.0.1 "$EMU_PORT"
check_eq "a request before the limit" 0 "$(fetch)"

echo "$RELAY_PID" >"$cgroup/cgroup.procs"
cat "$cgroup/pids.current" >"$cgroup/pids.max"
clients=40
readers=()
for ((i = 0; i < clients; i++)); do
    fetch >"$VC_WORK/client.$i" &
    readers+=($!)
done
wait "${readers[@]}"  # each is bounded by curl's own limit
refused=$(grep -c -v -x 0 "$VC_WORK"/client.* | awk -F: '{ n += $2 } END { print n + 0 }')
ok "$refused of $clients connections had no thread and were closed"

if process_gone "$RELAY_PID"; then
    fail "the relay ended when a thread could not start"
else
    ok "the relay is still running"
fi
logged=$(grep -c 'SocksProxyServer::acceptNewConn(), exception, ' "$RELAY_EVENTS" || true)
if ((logged >= 1 && logged <= refused)); then
    ok "$logged messages for $refused lost connections"
else
    fail "$logged messages for $refused lost connections"
fi

echo max >"$cgroup/pids.max"
check_eq "a request once threads can start again" 0 "$(fetch)"
finish
