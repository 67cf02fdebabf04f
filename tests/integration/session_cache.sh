#!/usr/bin/env bash
# The user cache seen from outside: a user's first connection reads the user
# afresh, later ones are answered from the cache with the group names kept in
# the group mappings file; the file survives a restart; a logoff sent through
# the session-event FIFO makes the next connection read afresh again, and a
# logon reads the session at once, without any connection.
#
# Every group of a local user has a SID in the machine's domain (S-1-5-21-),
# so a cached answer lists the same groups as a fresh one. What tells them
# apart is where the names come from: a fresh read looks the groups up now,
# the cache names them from the mappings. Renaming a group between two
# connections therefore shows which path answered.
source "$(dirname "$0")/lib.sh"
[[ $(id -u) == 0 ]] || skip "needs root to create users and groups"
for tool in useradd userdel groupadd groupdel groupmod runuser curl; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done

user="vcscu$$"
extra="vcscg$$"
renamed="vcscr$$"
sentinel="vcscs$$"
groupadd "$extra"
VC_GROUPS+=("$extra" "$renamed")
# A primary group of its own, and the extra one as supplementary group.
useradd -M -U -G "$extra" -s /bin/sh "$user"
VC_USERS+=("$user")
VC_GROUPS+=("$user")
# A second user that only ever logs on through the FIFO. Its one group is the
# first user's primary group, so reading it adds no group mapping.
useradd -M -N -g "$user" -s /bin/sh "$sentinel"
VC_USERS+=("$sentinel")
uid=$(id -u "$user")
sentinel_uid=$(id -u "$sentinel")
gid_primary=$(getent group "$user" | cut -d: -f3)
gid_extra=$(getent group "$extra" | cut -d: -f3)
host=$(machine_domain)
domain_sid=$(machine_domain_sid)

fifo="$VC_WORK/session-events"
data_dir=""  # set once the relay runs
mappings=""
events=""

start_emulator gw
port=$(free_port)
write_registry "$VC_WORK/relay.reg" "Example Org" 127.0.0.1 "$EMU_PORT" "$port" 600

# Service mode, the session-event FIFO, the same data folder on every start.
start_service() {
    start_relay relay service "$port" VORNCLIENT_SESSION_EVENTS="$fifo"
    data_dir="$RELAY_DATA/Tarnwicket/VornClient"
    mappings="$data_dir/group_mappings.txt"
    events="$RELAY_EVENTS"
}

fetch() {
    runuser -u "$user" -- curl -q -sS --max-time 30 -x "http://127.0.0.1:$port" \
        http://gw.test/identity || true
}

identities_heard() { wc -l <"$EMU_IDLOG"; }

# Lines of the event log so far: checks that count "since" start after it.
log_mark() { wc -l <"$events" 2>/dev/null || echo 0; }

count_since() {  # MARK TYPE MESSAGE
    [[ -f "$events" ]] || { echo 0; return; }
    tail -n "+$(($1 + 1))" "$events" |
        grep -c -F -- "\"type\": $2, \"message\": \"$(json_escape "$3")\"}" || true
}

# shellcheck disable=SC2317  # called through wait_until
count_reaches() { (($(count_since "$@") >= $4)); }  # MARK TYPE MESSAGE N

added_message() {
    echo "UserInformation::updateCache()session id $1 not found in m_sessIdToUser, adding it now"
}
added=$(added_message "$uid")

# Sends lines to the relay's session-event FIFO in one write. The relay keeps
# the FIFO open for reading, so the open only waits while it starts; the
# timeout bounds that wait.
send_session_events() {
    if ! wait_until 20 test -p "$fifo"; then
        fail "session-event FIFO $fifo not created"
        return 1
    fi
    # shellcheck disable=SC2016  # expanded by the inner shell
    if ! timeout 20 bash -c 'printf "%s\n" "${@:2}" >"$1"' _ "$fifo" "$@"; then
        fail "could not write to the session-event FIFO"
        return 1
    fi
}

# The FIFO's events reach the service one after the other, in order. A logon
# of the sentinel user after a logoff therefore shows, when its message
# appears, that the logoff has been handled.
logoff_and_wait() {  # MARK
    local base
    base=$(count_since "$1" 4 "$(added_message "$sentinel_uid")")
    send_session_events "logoff $uid" "logon $sentinel_uid" || return 0
    if wait_until 20 count_reaches "$1" 4 "$(added_message "$sentinel_uid")" $((base + 1)); then
        ok "logoff of session $uid handled"
    else
        fail "the events after the logoff were not handled; log was:"
        cat "$events" >&2
    fi
}

sid_of_gid() { echo "$domain_sid-$((1001 + 2 * $1))"; }

expected_page() {  # NAME_OF_EXTRA_GROUP
    printf 'org: Example Org\nuser: %s\\%s\ngroups: 2\ngroup: %s %s\\%s\ngroup: %s %s\\%s' \
        "$host" "$user" "$(sid_of_gid "$gid_primary")" "$host" "$user" \
        "$(sid_of_gid "$gid_extra")" "$host" "$1"
}

expected_mappings() {  # NAME_OF_EXTRA_GROUP: the lines in SID order
    printf '%s,%s,%s\n' "$host" "$user" "$(sid_of_gid "$gid_primary")" \
        "$host" "$1" "$(sid_of_gid "$gid_extra")" | LC_ALL=C sort
}

# Line ends may be CR LF or LF; the content is what counts.
file_lines() { tr -d '\r' <"$1" 2>/dev/null || true; }

# The file's lines for this test's two groups (sessions logged on when the
# relay starts add lines of their own).
our_mappings() {
    file_lines "$mappings" |
        grep -E ",($(sid_of_gid "$gid_primary")|$(sid_of_gid "$gid_extra"))\$" || true
}

inode_of() { stat -c %i "$1" 2>/dev/null || echo none; }

# ---- First run -------------------------------------------------------------
start_service
run1=0

# The first connection reads the user afresh: the user and all its groups
# with the names the lookup gives now.
first=$(fetch)
if [[ -z "$domain_sid" ]]; then
    line=$(sed -n 4p <<<"$first")
    [[ "$line" =~ ^group:\ (S-1-5-21-[0-9]+-[0-9]+-[0-9]+)-[0-9]+\  ]] &&
        domain_sid=${BASH_REMATCH[1]}
fi
check_eq "first connection: user and all groups, named by lookup" "$(expected_page "$extra")" "$first"
check_eq "first connection took the fresh path" 1 "$(count_since "$run1" 4 "$added")"
check_eq "the gateway heard the first identity" 1 "$(identities_heard)"
check_eq "group mappings file after the first read" "$(expected_mappings "$extra")" \
    "$(our_mappings)"
first_inode=$(inode_of "$mappings")
# No mappings file to read, and no backup or current file to move aside at
# the first rewrite: a first run, not an error.
check_eq "first run: no errors logged" 0 "$(grep -c -F '"type": 1,' "$events" || true)"

# The next connections are answered from the cache, even after the extra
# group got a new name: its old name still comes from the mappings.
second=$(fetch)
check_eq "second connection answered from the cache" "$(expected_page "$extra")" "$second"
groupmod -n "$renamed" "$extra"
third=$(fetch)
check_eq "cached answer names the renamed group from the mappings" "$(expected_page "$extra")" \
    "$third"
check_eq "no fresh read for cached connections" 1 "$(count_since "$run1" 4 "$added")"
check_eq "the gateway heard three identities" 3 "$(identities_heard)"
check_eq "cached answers leave the mappings file alone" "$first_inode" "$(inode_of "$mappings")"
if [[ -e "$mappings~" ]]; then
    fail "backup file appeared without a rewrite"
else
    ok "no backup file yet"
fi
cp "$mappings" "$VC_WORK/mappings.before-logoff"

# A logoff removes the session: the next connection reads afresh, sees the
# new group name, and the mapping is rewritten with the old file as backup.
logoff_and_wait "$run1"
fourth=$(fetch)
check_eq "after logoff: fresh read with the new group name" "$(expected_page "$renamed")" "$fourth"
check_eq "after logoff: session added again" 2 "$(count_since "$run1" 4 "$added")"
check_eq "mappings file rewritten with the new name" "$(expected_mappings "$renamed")" \
    "$(our_mappings)"
if cmp -s "$mappings~" "$VC_WORK/mappings.before-logoff"; then
    ok "previous mappings kept as backup"
else
    fail "backup file differs from the previous version: $(cat "$mappings~" 2>/dev/null)"
fi
fifth=$(fetch)
check_eq "cached answer after the fresh read" "$(expected_page "$renamed")" "$fifth"
check_eq "fifth connection answered from the cache" 2 "$(count_since "$run1" 4 "$added")"

# A logon reads the session at once, with no connection at all.
heard=$(identities_heard)
if ! send_session_events "logoff $uid" "logon $uid"; then
    :  # already recorded
elif wait_until 20 count_reaches "$run1" 4 "$added" 3; then
    ok "logon read the session without a connection"
else
    fail "logon did not read session $uid; log was:"
    cat "$events" >&2
fi
check_eq "no connection made for the logon" "$heard" "$(identities_heard)"
sixth=$(fetch)
check_eq "connection after logon answered from the cache" "$(expected_page "$renamed")" "$sixth"
check_eq "no fresh read after the logon" 3 "$(count_since "$run1" 4 "$added")"

stop_relay

# ---- Second run, same data folder ------------------------------------------
# The mappings come back from the file.
run2=$(log_mark)
cp "$mappings~" "$VC_WORK/backup.before-restart" 2>/dev/null || true
before_restart_inode=$(inode_of "$mappings")
stored=$(file_lines "$mappings" | wc -l)
read_message="UserInformation::readGroupMappingsFromDisk(), read $stored group mappings from file"
start_service
wait_event "$events" 4 "$read_message"
check_eq "mappings read once in the second run" 1 "$(count_since "$run2" 4 "$read_message")"

# The cache itself starts empty: the first connection reads afresh. Its names
# equal the mappings read from the file, so nothing is written.
seventh=$(fetch)
check_eq "after restart: fresh read" "$(expected_page "$renamed")" "$seventh"
check_eq "after restart: session added" 1 "$(count_since "$run2" 4 "$added")"
check_eq "loaded mappings spare a rewrite" "$before_restart_inode" "$(inode_of "$mappings")"
if cmp -s "$mappings~" "$VC_WORK/backup.before-restart"; then
    ok "backup untouched after restart"
else
    fail "backup rewritten after restart: $(cat "$mappings~" 2>/dev/null)"
fi
eighth=$(fetch)
check_eq "after restart: answered from the cache" "$(expected_page "$renamed")" "$eighth"
check_eq "after restart: one fresh read only" 1 "$(count_since "$run2" 4 "$added")"
check_eq "the gateway heard every connection" 8 "$(identities_heard)"

stop_relay
finish
