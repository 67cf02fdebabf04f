#!/usr/bin/env bash
# The relay under the restrictions of its own systemd unit, with no
# privilege at all, still names root and two other users correctly. No
# systemd is needed: the unit that -install writes is read, and the relay
# runs as the unit's user with exactly its capability sets (empty),
# no-new-privs and umask (setpriv), in a data folder owned by that user as
# StateDirectory= makes it, and with a /proc that shows it only its own
# processes (ProtectProc=invisible, ProcSubset=pid).
source "$(dirname "$0")/lib.sh"
[[ $(id -u) == 0 ]] || skip "needs root to change user and capabilities"
for tool in setpriv capsh useradd runuser unshare; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done

units="$VC_WORK/units"
mkdir -p "$units"
rc=0
VORNCLIENT_SYSTEMD_DIR="$units" "$VC_BIN" -install >"$VC_WORK/install.out" 2>&1 || rc=$?
check_eq "-install exit status" 0 "$rc"
check_no_sanitizer_report "-install" "$VC_WORK/install.out"
unit="$units/VornClient.service"
[[ -f "$unit" ]] || { fail "-install wrote no unit"; finish; }

# Every value of a [Service] setting, in order (a setting may repeat).
unit_values() {
    awk -v key="$1" -F= '/^\[/ { s = ($0 == "[Service]") } s && $1 == key { sub(/^[^=]*=/, ""); print }' \
        "$unit" | tr '\n' ' ' | sed 's/ *$//'
}
check_eq "the unit grants no capability" "" "$(unit_values CapabilityBoundingSet)"
check_eq "the unit keeps no ambient capability" "" "$(unit_values AmbientCapabilities)"
check_eq "the unit sets no-new-privs" yes "$(unit_values NoNewPrivileges)"
check_eq "the unit hides other processes" "invisible pid" \
    "$(unit_values ProtectProc) $(unit_values ProcSubset)"
umask_value=$(unit_values UMask)
[[ -n "$umask_value" ]] || umask_value=0022

# The unit's user: a free uid of systemd's range for transient users, or the
# named user.
if [[ $(unit_values DynamicUser) == yes ]]; then
    run_uid=""
    for ((candidate = 61184; candidate <= 65519; candidate++)); do
        if ! getent passwd "$candidate" >/dev/null && ! getent group "$candidate" >/dev/null &&
            ! pgrep -u "$candidate" >/dev/null; then
            run_uid=$candidate
            break
        fi
    done
    [[ -n "$run_uid" ]] || skip "no free uid for a transient user"
    run_gid=$run_uid
else
    run_user=$(unit_values User)
    run_uid=$(id -u "${run_user:-root}")
    run_gid=$(id -g "${run_user:-root}")
fi
echo "unit user: uid $run_uid; no capabilities; umask $umask_value"

user="vcunu$$"
other="vcuno$$"
extra="vcung$$"
groupadd "$extra"
VC_GROUPS+=("$extra")
useradd -M -U -G "$extra" -s /bin/sh "$user"
useradd -M -U -s /bin/sh "$other"
VC_USERS+=("$user" "$other")
VC_GROUPS+=("$user" "$other")
host=$(machine_domain)

start_emulator gw

# relay_as NAME: starts the relay as the unit's user, in a mount namespace
# whose /proc shows it only its own processes.
relay_as() {
    local name=$1
    # What StateDirectory= and the event log need: a data folder of the
    # user's own, and a log file it may append to.
    local data="$VC_WORK/$name.programdata/Tarnwicket/VornClient"
    mkdir -p "$data"
    chown "$run_uid:$run_gid" "$data"
    chmod 0750 "$data"
    : >"$VC_WORK/$name.events"
    chown "$run_uid:$run_gid" "$VC_WORK/$name.events"
    local no_new_privs=()
    [[ $(unit_values NoNewPrivileges) == yes ]] && no_new_privs=(--no-new-privs)
    RELAY_WRAPPER=(unshare -m --propagation private sh -c
        'mount -t proc -o hidepid=invisible,subset=pid proc /proc && umask "$1" && shift && exec "$@"'
        sh "$umask_value"
        setpriv --reuid="$run_uid" --regid="$run_gid" --clear-groups "${no_new_privs[@]}"
        --inh-caps=-all --ambient-caps=-all --bounding-set=-all)
    RELAY_PORT=$(free_port)
    write_registry "$VC_WORK/$name.reg" "Example Org" 127.0.0.1 "$EMU_PORT" "$RELAY_PORT" 600
    start_relay "$name" service "$RELAY_PORT"
    RELAY_WRAPPER=()
}

fetch() {  # USER
    runuser -u "$1" -- curl -q -sS --max-time 30 -x "http://127.0.0.1:$RELAY_PORT" \
        http://gw.test/identity 2>/dev/null || true
}

# The restrictions really apply to the running relay.
relay_as unit
status=$(cat "/proc/$RELAY_PID/status")
check_eq "runs as the unit's user" "$run_uid $run_uid $run_uid $run_uid" \
    "$(awk '/^Uid:/ { print $2, $3, $4, $5 }' <<<"$status")"
check_eq "no-new-privs" 1 "$(awk '/^NoNewPrivs:/ { print $2 }' <<<"$status")"
for field in CapBnd CapAmb CapEff CapPrm; do
    check_eq "$field is empty" 0000000000000000 "$(awk -v f="$field:" '$1 == f { print $2 }' <<<"$status")"
done

check_eq "root is NT AUTHORITY\\SYSTEM" \
    "$(printf 'org: Example Org\nuser: NT AUTHORITY\\SYSTEM\ngroups: 0')" "$(fetch root)"
page=$(fetch "$user")
check_eq "an ordinary user is named with both groups" \
    "$(printf 'org: Example Org\nuser: %s\\%s\ngroups: 2' "$host" "$user")" "$(head -n 3 <<<"$page")"
check_eq "primary group first" "$host\\$user" "$(sed -n 4p <<<"$page" | awk '{ print $3 }')"
check_eq "supplementary group" "$host\\$extra" "$(sed -n 5p <<<"$page" | awk '{ print $3 }')"
check_eq "another user is named too" \
    "$(printf 'org: Example Org\nuser: %s\\%s\ngroups: 1' "$host" "$other")" \
    "$(fetch "$other" | head -n 3)"
mappings="$RELAY_DATA/Tarnwicket/VornClient/group_mappings.txt"
if wait_until 20 grep -q -F "$host,$extra," "$mappings"; then
    ok "group mappings written in the data folder"
else
    fail "no group mappings in the data folder"
fi
check_eq "group mappings owned by the unit's user" "$run_uid" "$(stat -c %u "$mappings" 2>/dev/null)"
stop_relay
finish
