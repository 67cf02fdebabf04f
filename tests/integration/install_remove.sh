#!/usr/bin/env bash
# -install and -remove of the real program against a throwaway unit folder:
# the console lines, the unit's contents, and the unit gone after removal.
source "$(dirname "$0")/lib.sh"

units="$VC_WORK/units"
mkdir -p "$units"
program=$(readlink -f "$VC_BIN")

out=$(VORNCLIENT_SYSTEMD_DIR="$units" "$VC_BIN" -install)
check_eq "install line" "Tarnwicket Vorn Client installed." "$out"
unit="$units/VornClient.service"
if [[ -f "$unit" ]]; then ok "unit file written"; else fail "no unit file"; fi
check_eq "description" "Description=Tarnwicket Vorn Client" "$(grep '^Description=' "$unit")"
check_eq "type" "Type=notify" "$(grep '^Type=' "$unit")"
check_eq "program without arguments" "ExecStart=$program" "$(grep '^ExecStart=' "$unit")"
check_eq "restart" "Restart=on-failure" "$(grep '^Restart=' "$unit")"

out=$(VORNCLIENT_SYSTEMD_DIR="$units" "$VC_BIN" -install)
case "$out" in
    "CreateService failed - "?*) ok "second install fails with the system's text" ;;
    *) fail "second install printed [$out]" ;;
esac

out=$(VORNCLIENT_SYSTEMD_DIR="$units" "$VC_BIN" /Remove)
check_eq "remove line (service not running: no stopping line)" \
    "Tarnwicket Vorn Client removed." "$out"
if [[ ! -e "$unit" ]]; then ok "unit file removed"; else fail "unit file still there"; fi

out=$(VORNCLIENT_SYSTEMD_DIR="$units" "$VC_BIN" -remove)
case "$out" in
    "OpenService failed - "?*) ok "removing a missing service fails with the system's text" ;;
    *) fail "second remove printed [$out]" ;;
esac
finish
