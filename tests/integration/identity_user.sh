#!/usr/bin/env bash
# A browser run by an ordinary user: the gateway hears HOST\user and the
# user's groups, primary first, with SIDs in the machine's own domain. The
# first connection reads the user afresh; the next one is answered from the
# cache, and the group names are saved in the group mappings file.
source "$(dirname "$0")/lib.sh"
[[ $(id -u) == 0 ]] || skip "needs root to create a user"
if ! command -v useradd >/dev/null || ! command -v runuser >/dev/null; then
    skip "needs useradd and runuser"
fi

user="vcitu$$"
extra="vcitg$$"
groupadd "$extra"
VC_GROUPS+=("$extra")
# A primary group of its own, and the extra one as supplementary group.
useradd -M -U -G "$extra" -s /bin/sh "$user"
VC_USERS+=("$user")
VC_GROUPS+=("$user")
uid=$(id -u "$user")
gid_primary=$(getent group "$user" | cut -d: -f3)
gid_extra=$(getent group "$extra" | cut -d: -f3)
host=$(machine_domain)
domain_sid=$(machine_domain_sid)

start_emulator gw
setup_relay relay 127.0.0.1 "$EMU_PORT" "Example Org"

fetch() {
    runuser -u "$user" -- curl -q -sS --max-time 30 -x "http://127.0.0.1:$RELAY_PORT" \
        http://gw.test/identity
}

check_identity() {  # description page
    local page=$2
    local expected_head
    expected_head=$(printf 'org: Example Org\nuser: %s\\%s\ngroups: 2' "$host" "$user")
    check_eq "$1: user and group count" "$expected_head" "$(head -n 3 <<<"$page")"
    local g1 g2
    g1=$(sed -n 4p <<<"$page")
    g2=$(sed -n 5p <<<"$page")
    local rid1=$((1001 + 2 * gid_primary)) rid2=$((1001 + 2 * gid_extra))
    if [[ -n "$domain_sid" ]]; then
        check_eq "$1: primary group" "group: $domain_sid-$rid1 $host\\$user" "$g1"
        check_eq "$1: supplementary group" "group: $domain_sid-$rid2 $host\\$extra" "$g2"
    else
        local sid_re='S-1-5-21-[0-9]+-[0-9]+-[0-9]+-'
        if [[ "$g1" =~ ^group:\ $sid_re$rid1\ $host\\$user$ ]]; then
            ok "$1: primary group"
        else
            fail "$1: primary group [$g1]"
        fi
        if [[ "$g2" =~ ^group:\ $sid_re$rid2\ $host\\$extra$ ]]; then
            ok "$1: supplementary group"
        else
            fail "$1: supplementary group [$g2]"
        fi
    fi
}

added="UserInformation::updateCache()session id $uid not found in m_sessIdToUser, adding it now"

first=$(fetch)
check_identity "first connection" "$first"
wait_event "$RELAY_EVENTS" 4 "$added"

second=$(fetch)
check_identity "second connection" "$second"
check_eq "second connection answered from the cache" 1 "$(event_count "$RELAY_EVENTS" 4 "$added")"
check_eq "the gateway heard two identities" 2 "$(wc -l <"$EMU_IDLOG")"
check_eq "the gateway heard the same identity twice" 1 \
    "$(sed 's/"peer": "[^"]*", //' "$EMU_IDLOG" | sort -u | wc -l)"

mappings="$RELAY_DATA/Tarnwicket/VornClient/group_mappings.txt"
if [[ -f "$mappings" ]] && grep -q -F "$host,$extra,S-1-5-21-" "$mappings"; then
    ok "group mapping saved"
else
    fail "group mappings file lacks $extra: $(cat "$mappings" 2>/dev/null)"
fi

stop_relay
finish
