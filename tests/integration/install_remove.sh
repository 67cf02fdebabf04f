#!/usr/bin/env bash
# -install and -remove of the real program against a throwaway unit folder:
# the console lines, the unit's contents, the unit gone after removal, and
# exit status 1 for each that fails.
source "$(dirname "$0")/lib.sh"

units="$VC_WORK/units"
mkdir -p "$units"
program=$(readlink -f "$VC_BIN")

# run_vc ARGS...: sets out and rc. The program's errors pass through a file
# that must hold no sanitizer report, since a report's status 1 is also what
# the refused cases expect.
run_vc() {
    rc=0
    out=$(VORNCLIENT_SYSTEMD_DIR="$units" "$VC_BIN" "$@" 2>"$VC_WORK/stderr") || rc=$?
    cat "$VC_WORK/stderr" >&2
    check_no_sanitizer_report "$1" "$VC_WORK/stderr"
}

run_vc -install
check_eq "install line" "Tarnwicket Vorn Client installed." "$out"
check_eq "install exit status" 0 "$rc"
unit="$units/VornClient.service"
if [[ -f "$unit" ]]; then ok "unit file written"; else fail "no unit file"; fi
check_eq "description" "Description=Tarnwicket Vorn Client" "$(grep '^Description=' "$unit")"
check_eq "type" "Type=notify" "$(grep '^Type=' "$unit")"
check_eq "program without arguments" "ExecStart=$program" "$(grep '^ExecStart=' "$unit")"
check_eq "restart" "Restart=on-failure" "$(grep '^Restart=' "$unit")"

run_vc -install
case "$out" in
    "CreateService failed - "?*) ok "second install fails with the system's text" ;;
    *) fail "second install printed [$out]" ;;
esac
check_eq "failed install exit status" 1 "$rc"

run_vc /Remove
check_eq "remove line (service not running: no stopping line)" \
    "Tarnwicket Vorn Client removed." "$out"
check_eq "remove exit status" 0 "$rc"
if [[ ! -e "$unit" ]]; then ok "unit file removed"; else fail "unit file still there"; fi

run_vc -remove
case "$out" in
    "OpenService failed - "?*) ok "removing a missing service fails with the system's text" ;;
    *) fail "second remove printed [$out]" ;;
esac
check_eq "failed remove exit status" 1 "$rc"
finish
