#!/usr/bin/env bash
# deb_cycle.sh PACKAGE NEWER_PACKAGE: the life of the .deb on this machine,
# as root: install, the files and the unit, an upgrade that keeps the
# administrator's settings, a reinstall, removal (settings stay) and purge
# (settings and data folder gone). Where systemd does not run the maintainer
# scripts only record the unit's enablement. Changes the system: run it
# under `flock /tmp/vc-system.lock`. Exit 77: skipped.
set -uo pipefail

deb=${1:?package}
newer=${2:?newer package}
failures=0
ok() { echo "ok: $*"; }
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
check_eq() {  # description expected actual
    if [[ "$2" == "$3" ]]; then ok "$1"; else fail "$1: expected [$2], got [$3]"; fi
}
exists() { [[ -e "$1" || -L "$1" ]]; }
check_present() { for f in "$@"; do if exists "$f"; then ok "present: $f"; else fail "missing: $f"; fi; done; }
check_absent() { for f in "$@"; do if exists "$f"; then fail "left behind: $f"; else ok "gone: $f"; fi; done; }
# "ii", "rc", or empty when dpkg does not know the package (any more).
status_of() {
    local s
    s=$(dpkg-query -W -f='${db:Status-Abbrev}' vornclient 2>/dev/null | tr -d ' ')
    [[ "$s" == un ]] && s=""
    echo "$s"
}
version_of() { dpkg-query -W -f='${Version}' vornclient 2>/dev/null; }
# dpkg without a terminal: a conffile question would fail instead of waiting.
run_dpkg() {
    echo "+ dpkg $*"
    DEBIAN_FRONTEND=noninteractive dpkg "$@" </dev/null
}

[[ $(id -u) == 0 ]] || { echo "SKIP: needs root"; exit 77; }
conf=/etc/vornclient/vornclient.reg
unit=/lib/systemd/system/VornClient.service
wants=/etc/systemd/system/multi-user.target.wants/VornClient.service
mask=/etc/systemd/system/VornClient.service
data=/var/lib/Tarnwicket/VornClient
private_data=/var/lib/private/Tarnwicket/VornClient
# Never take over an installation or data that belong to someone else. Empty
# folders (a relay run by hand with the default data folder leaves them) are
# nobody's data: they are made again at the end.
if [[ -n "$(status_of)" ]] || exists /etc/vornclient || exists "$mask"; then
    echo "SKIP: vornclient is (or was) installed here; not touching it"
    exit 77
fi
empty_folders=()
for folder in /var/lib/Tarnwicket /var/lib/private/Tarnwicket; do
    exists "$folder" || continue
    if [[ -n "$(find "$folder" ! -type d -print -quit)" ]]; then
        echo "SKIP: $folder holds data; not touching it"
        exit 77
    fi
    mapfile -t -O "${#empty_folders[@]}" empty_folders < <(find "$folder" -type d)
done
made_private=0
exists /var/lib/private || made_private=1
work=$(mktemp -d)
cleanup() {
    rm -rf "$work"
    ((made_private)) && rmdir /var/lib/private 2>/dev/null
    local folder
    for folder in "${empty_folders[@]}"; do mkdir -p "$folder"; done
    true
}
trap cleanup EXIT

# 1. Install.
run_dpkg -i "$deb" && ok "installed $(basename "$deb")" || fail "dpkg -i $deb"
check_eq "status after install" ii "$(status_of)"
check_present /usr/bin/vornclient "$unit" "$conf" /usr/share/doc/vornclient/copyright \
    /usr/share/doc/vornclient/changelog.gz /usr/share/man/man8/vornclient.8.gz
check_eq "the settings file is a conffile" "$conf" \
    "$(dpkg-query -W -f='${Conffiles}\n' vornclient | awk 'NF { print $1 }')"
check_eq "--version names the package's version" "VornClient $(version_of)" \
    "$(/usr/bin/vornclient --version)"
VORNCLIENT_SYSTEMD_DIR="$work" /usr/bin/vornclient -install >/dev/null
if cmp -s "$work/VornClient.service" "$unit"; then
    ok "the packaged unit is the one -install writes"
else
    fail "the packaged unit differs from -install's: $(diff "$work/VornClient.service" "$unit")"
fi
check_present "$wants"

# The data folder as the service leaves it: systemd keeps a transient user's
# state in /var/lib/private and links it from /var/lib.
mkdir -p "$private_data" /var/lib/Tarnwicket
chmod 0700 /var/lib/private
rmdir "$data" 2>/dev/null || true
ln -s ../private/Tarnwicket/VornClient "$data"
echo "WS1,staff,S-1-5-21-1-2-3-1101" >"$private_data/group_mappings.txt"

# 2. Upgrade, with the administrator's change to the settings, then the same
# version again.
echo '; changed by the administrator' >>"$conf"
run_dpkg -i "$newer" && ok "upgraded to $(basename "$newer")" || fail "dpkg -i $newer"
check_eq "version after upgrade" "$(dpkg-deb -f "$newer" Version)" "$(version_of)"
check_eq "the administrator's change survives the upgrade" "; changed by the administrator" \
    "$(tail -n 1 "$conf")"
check_absent "$conf.dpkg-dist" "$conf.dpkg-new"
run_dpkg -i "$newer" && ok "reinstalled the same version" || fail "reinstall of $newer"
check_eq "status after reinstall" ii "$(status_of)"

# 3. Remove: the program and the unit go, the settings stay.
run_dpkg -r vornclient && ok "removed" || fail "dpkg -r"
check_eq "status after removal" rc "$(status_of)"
check_absent /usr/bin/vornclient "$unit" /usr/share/man/man8/vornclient.8.gz
check_present "$conf" "$data/group_mappings.txt"

# 4. Purge: settings, data folder and the unit's links go as well.
run_dpkg -P vornclient && ok "purged" || fail "dpkg -P"
check_eq "status after purge" "" "$(status_of)"
check_absent /etc/vornclient "$data" /var/lib/Tarnwicket "$private_data" \
    /var/lib/private/Tarnwicket "$wants" "$mask"

if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all checks passed"
