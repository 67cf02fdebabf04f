#!/usr/bin/env bash
# Each connection is its maker's, however it is made: two users connecting at
# once each hear only their own identity; a socket that a user made and
# handed to root, then let go of (closed in a thread with a descriptor table
# of its own, or its process gone), before or after connecting, is still
# that user's or closed unanswered, never root's; a client whose IPv6 socket
# reaches the relay through an IPv4-mapped address is found too.
source "$(dirname "$0")/lib.sh"
: "${HANDOFF_BIN:?HANDOFF_BIN must name vc-fd-handoff}"
: "${TWO_USERS_BIN:?TWO_USERS_BIN must name vc-two-users}"
[[ $(id -u) == 0 ]] || skip "needs root to create users"
for tool in useradd setpriv curl; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done

host=$(machine_domain)
users=("vcoa$$" "vcob$$")
for user in "${users[@]}"; do
    useradd -M -U -s /bin/sh "$user"
    VC_USERS+=("$user")
    VC_GROUPS+=("$user")
done

start_emulator gw
setup_relay relay 127.0.0.1 "$EMU_PORT"

# Two users, 30 connections each, open at once and made in turns while the
# relay is stopped: it meets them all in one burst, interleaved.
answers=$("$TWO_USERS_BIN" --port "$RELAY_PORT" --relay-pid "$RELAY_PID" \
    --uid "$(id -u "${users[0]}")" --gid "$(id -g "${users[0]}")" \
    --uid "$(id -u "${users[1]}")" --gid "$(id -g "${users[1]}")") || fail "vc-two-users failed"
kill -CONT "$RELAY_PID"  # in case the tool died while it held the relay
for i in 0 1; do
    own=$(grep -c -x -E "user $i, connection [0-9]+: user: $host\\\\${users[i]}" <<<"$answers" || true)
    check_eq "30 connections of ${users[i]} at once, each with ${users[i]}'s identity" 30 "$own"
done
check_eq "the gateway heard 60 tunnels" 60 "$(wc -l <"$EMU_IDLOG")"

# A socket handed to root.
handoff=$("$HANDOFF_BIN" --port "$RELAY_PORT" --uid "$(id -u "${users[0]}")" \
    --gid "$(id -g "${users[0]}")") || fail "vc-fd-handoff failed"
check_eq "four ways to hand a socket to root" 4 "$(grep -c . <<<"$handoff")"
while IFS= read -r line; do
    case_name=${line%%: *}
    if [[ "$line" == "$case_name: user: $host\\${users[0]}" || "$line" == "$case_name: closed" ]]; then
        ok "socket handed to root, maker $case_name: ${line#*: }"
    else
        fail "socket handed to root, maker $case_name: ${line#*: }"
    fi
done <<<"$handoff"

# An IPv6 socket on an IPv4-mapped address.
if [[ ! -e /proc/net/if_inet6 ]]; then
    skip_part "IPv4-mapped client" "this machine has no IPv6"
else
    page=$(as_user "${users[1]}" curl -q -sS --max-time 30 \
        -x "http://[::ffff:127.0.0.1]:$RELAY_PORT" http://gw.test/identity || true)
    check_eq "IPv4-mapped client" "user: $host\\${users[1]}" "$(sed -n 2p <<<"$page")"
fi

stop_relay
finish
