#!/usr/bin/env bash
# The relay under the restrictions of its own systemd unit still names root
# and an ordinary user correctly. No systemd is needed: the unit that
# -install writes is read, and the relay runs as the unit's user with exactly
# its capability bounding and ambient sets, no-new-privs and umask (setpriv),
# in a data folder owned by that user as StateDirectory= makes it. Each
# capability of the set is then dropped in turn, to show that it is needed.
source "$(dirname "$0")/lib.sh"
[[ $(id -u) == 0 ]] || skip "needs root to change user and capabilities"
for tool in setpriv capsh useradd runuser; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done

units="$VC_WORK/units"
mkdir -p "$units"
VORNCLIENT_SYSTEMD_DIR="$units" "$VC_BIN" -install >/dev/null
unit="$units/VornClient.service"
[[ -f "$unit" ]] || { fail "-install wrote no unit"; finish; }

# Every value of a [Service] setting, in order (a setting may repeat).
unit_values() {
    awk -v key="$1" -F= '/^\[/ { s = ($0 == "[Service]") } s && $1 == key { sub(/^[^=]*=/, ""); print }' \
        "$unit" | tr '\n' ' ' | sed 's/ *$//'
}
bounding=$(unit_values CapabilityBoundingSet)
ambient=$(unit_values AmbientCapabilities)
check_eq "the unit's ambient set is its bounding set" "$bounding" "$ambient"
check_eq "the unit sets no-new-privs" yes "$(unit_values NoNewPrivileges)"
umask_value=$(unit_values UMask)
[[ -n "$umask_value" ]] || umask_value=0022
read -r -a caps <<<"$bounding"
((${#caps[@]} > 0)) || fail "the unit keeps no capability"

# The caller must hold what the unit grants.
own=$(capsh --decode="$(awk '/^CapBnd:/ { print $2 }' /proc/self/status)")
for cap in "${caps[@]}"; do
    [[ ",${own#*=}," == *",${cap,,},"* ]] || skip "this machine does not grant ${cap,,}"
done

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
echo "unit user: uid $run_uid; capabilities: ${caps[*]}; umask $umask_value"

user="vcunu$$"
extra="vcung$$"
groupadd "$extra"
VC_GROUPS+=("$extra")
useradd -M -U -G "$extra" -s /bin/sh "$user"
VC_USERS+=("$user")
VC_GROUPS+=("$user")
host=$(machine_domain)

start_emulator gw

# relay_as NAME CAPS...: starts the relay as the unit's user holding CAPS.
relay_as() {
    local name=$1
    shift
    local set="-all" cap
    for cap in "$@"; do set+=",+${cap#CAP_}"; done
    set=${set,,}
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
    RELAY_WRAPPER=(sh -c 'umask "$1"; shift; exec "$@"' sh "$umask_value"
        setpriv --reuid="$run_uid" --regid="$run_gid" --clear-groups "${no_new_privs[@]}"
        --inh-caps="$set" --ambient-caps="$set" --bounding-set="$set")
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
relay_as unit "${caps[@]}"
status=$(cat "/proc/$RELAY_PID/status")
check_eq "runs as the unit's user" "$run_uid $run_uid $run_uid $run_uid" \
    "$(awk '/^Uid:/ { print $2, $3, $4, $5 }' <<<"$status")"
check_eq "no-new-privs" 1 "$(awk '/^NoNewPrivs:/ { print $2 }' <<<"$status")"
wanted=$(printf '%s\n' "${caps[@]}" | tr '[:upper:]' '[:lower:]' | sort | paste -sd,)
for field in CapBnd CapAmb CapEff; do
    held=$(capsh --decode="$(awk -v f="$field:" '$1 == f { print $2 }' <<<"$status")")
    check_eq "$field is the unit's set" "$wanted" "$(tr ',' '\n' <<<"${held#*=}" | sort | paste -sd,)"
done

check_eq "root is NT AUTHORITY\\SYSTEM" \
    "$(printf 'org: Example Org\nuser: NT AUTHORITY\\SYSTEM\ngroups: 0')" "$(fetch root)"
page=$(fetch "$user")
check_eq "an ordinary user is named with both groups" \
    "$(printf 'org: Example Org\nuser: %s\\%s\ngroups: 2' "$host" "$user")" "$(head -n 3 <<<"$page")"
check_eq "primary group first" "$host\\$user" "$(sed -n 4p <<<"$page" | awk '{ print $3 }')"
check_eq "supplementary group" "$host\\$extra" "$(sed -n 5p <<<"$page" | awk '{ print $3 }')"
mappings="$RELAY_DATA/Tarnwicket/VornClient/group_mappings.txt"
if wait_until 20 grep -q -F "$host,$extra," "$mappings"; then
    ok "group mappings written in the data folder"
else
    fail "no group mappings in the data folder"
fi
check_eq "group mappings owned by the unit's user" "$run_uid" "$(stat -c %u "$mappings" 2>/dev/null)"
stop_process "$RELAY_PID" TERM
check_eq "exit status after SIGTERM" 0 "$STOP_RC"

# Without any one of the capabilities the owner of another user's
# connection cannot be found, so the connection is closed unanswered.
for dropped in "${caps[@]}"; do
    kept=()
    for cap in "${caps[@]}"; do [[ "$cap" == "$dropped" ]] || kept+=("$cap"); done
    heard=$(wc -l <"$EMU_IDLOG")
    relay_as "without-$dropped" "${kept[@]}"
    check_eq "without $dropped a user's connection gets no identity" "" "$(fetch "$user")"
    check_eq "without $dropped the gateway hears nothing" "$heard" "$(wc -l <"$EMU_IDLOG")"
    stop_process "$RELAY_PID" TERM
done
finish
