#!/usr/bin/env bash
# Started without a mode argument outside the service manager, the program
# prints its usage lines, fails to reach the service dispatcher (which it
# logs) and ends with 1: no service ran.
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"

install_files || fail "cannot copy vornclient.exe into the prefix"

# Wine may take about 10 s to give up on the dispatcher; 120 s is the limit.
WINEDEBUG=-all,+eventlog timeout 120 "$WINE" "$INSTALLED_EXE" \
    >"$VC_WORK/usage.out" 2>"$VC_WORK/usage.err"
check_eq "no argument: exit code" 1 "$?"
expected="VornClient -install          to install the service
VornClient -remove           to remove the service
VornClient -debug <params>   to run as a console app for debugging

StartServiceCtrlDispatcher being called.
This may take several seconds.  Please wait."
check_eq "no argument: usage lines" "$expected" "$(strip_cr <"$VC_WORK/usage.out")"
if grep -q 'ReportEventW L"StartServiceCtrlDispatcher failed."' "$VC_WORK/usage.err"; then
    ok "no argument: the dispatcher failure is logged"
else
    fail "no argument: no dispatcher failure in the event log: $(cat "$VC_WORK/usage.err")"
fi

# A word that is not a mode (here with two dashes) is no mode either.
timeout 120 "$WINE" "$INSTALLED_EXE" --install >"$VC_WORK/usage2.out" 2>&1
check_eq "--install: usage lines, nothing installed" "$expected" \
    "$(strip_cr <"$VC_WORK/usage2.out")"
if "$WINE" sc query VornClient >/dev/null 2>&1; then
    fail "--install registered a service"
    "$WINE" "$INSTALLED_EXE" -remove >/dev/null 2>&1
else
    ok "--install registered nothing"
fi

finish
