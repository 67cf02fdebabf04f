#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec, as an administrator
# deploys it: a silent install with properties, the service running with
# them and relaying a page with the client's identity, `-status` showing it,
# the event source and its message table; an upgrade to the next version
# that keeps the settings; a repair; the uninstall, after which `-status`
# finds no relay.
#
# Also expects MSI_BASE and MSI_NEXT (the packages of BASE_VERSION and
# NEXT_VERSION, a later one).
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"
: "${MSI_BASE:?MSI_BASE must name the package to install first}"
: "${MSI_NEXT:?MSI_NEXT must name the package of a later version}"
: "${BASE_VERSION:?}" "${NEXT_VERSION:?}"

ORG="Wine MSI Org"
PROGRAM='C:\Program Files\Tarnwicket\VornClient\vornclient.exe'
PROGRAM_DIR="$WINEPREFIX/drive_c/Program Files/Tarnwicket"
SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\VornClient'

# msiexec, silent, from the scratch folder. Wine may hand back only the low
# byte of its exit status; 0 is 0 either way.
msiexec_quiet() {
    (cd "$VC_WORK" && "$WINE" msiexec "$@" /qn) >"$VC_WORK/msiexec.out" 2>&1
}

check_msiexec() {  # description, msiexec arguments...
    local what=$1
    shift
    if msiexec_quiet "$@"; then
        ok "$what"
    else
        fail "$what: msiexec ended with $? ($(strip_cr <"$VC_WORK/msiexec.out" | tail -n 3))"
    fi
}

# run_status PROGRAM: `-status`; sets STATUS_RC and STATUS_OUT.
run_status() {
    (cd "$VC_WORK" && "$WINE" "$1" -status) >"$VC_WORK/status.out" 2>&1
    STATUS_RC=$?
    STATUS_OUT=$(strip_cr <"$VC_WORK/status.out")
}

# The service's state shows the gateway answering (renewed every 2 s).
gateway_answering() {
    run_status "$PROGRAM"
    grep -q -x -E "  127\.0\.0\.1:$EMU_PORT answering since .* UTC" <<<"$STATUS_OUT"
}

# The five parameters as reg_values lists them.
expected_parameters() {  # listen-port organisation socket-timeout
    printf 'ListenPort REG_DWORD 0x%x\nOrganizationName REG_SZ %s\nSocketTimeout REG_DWORD 0x%x\n' \
        "$1" "$2" "$3"
    printf 'TarnwicketIpAddr REG_SZ 127.0.0.1\nTarnwicketPort REG_SZ %s\n' "$EMU_PORT"
}

check_page() {  # name port
    if fetch "$1" "$2"; then
        check_eq "$1: page relayed with the organisation" "org: $ORG" \
            "$(response_body "$VC_WORK/$1.response" | strip_cr | grep '^org: ')"
    else
        fail "$1: $(cat "$VC_WORK/$1.report")"
    fi
}

installed_products() {
    "$WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | strip_cr |
        grep -c 'DisplayName *REG_SZ *Tarnwicket Vorn Client$'
}

# A fresh machine: the console-mode check leaves its parameters behind.
"$WINE" reg delete "$SERVICE_KEY" /f >/dev/null 2>&1
log_start=0
[[ -n "$WINE_SYSTEM_LOG" ]] && log_start=$(wc -l <"$WINE_SYSTEM_LOG")
start_emulator msi || finish
LISTEN_PORT=$(free_port) || finish

# 1. A silent install with the settings on the command line; SOCKETTIMEOUT
# is left out and gets its default.
check_msiexec "silent install of $(basename "$MSI_BASE") with properties" /i "$MSI_BASE" \
    TARNWICKETIPADDR=127.0.0.1 TARNWICKETPORT="$EMU_PORT" LISTENPORT="$LISTEN_PORT" \
    ORGANIZATIONNAME="$ORG"
check_eq "the service: automatic start, LocalSystem, the program under Program Files" \
    "ImagePath REG_SZ $PROGRAM|ObjectName REG_SZ LocalSystem|Start REG_DWORD 0x2" \
    "$(reg_values "$SERVICE_KEY" | grep -E '^(ImagePath|ObjectName|Start) ' | paste -sd '|')"
check_eq "Parameters: the properties given, the default for the one left out" \
    "$(expected_parameters "$LISTEN_PORT" "$ORG" 600)" "$(reg_values "$SERVICE_KEY\\Parameters")"
if wait_until 60 port_listening "$LISTEN_PORT"; then
    ok "the service runs: the relay listens on 127.0.0.1:$LISTEN_PORT"
else
    fail "the relay does not listen on $LISTEN_PORT"
fi
expected=$(client_whoami | grep -E '^(user|groups|group): ')
if fetch installed "$LISTEN_PORT"; then
    check_eq "a page relayed with the client's user and groups" "$expected" \
        "$(page_identity "$VC_WORK/installed.response")"
else
    fail "no page through the installed service: $(cat "$VC_WORK/installed.report")"
fi
if wait_until 30 gateway_answering; then
    ok "-status shows the service's relay and the gateway answering"
else
    fail "-status does not show the gateway answering: [$STATUS_OUT]"
fi
check_eq "-status exit status with the service running" 0 "$STATUS_RC"
check_eq "-status: the relay's listening address" "127.0.0.1:$LISTEN_PORT" \
    "$(sed -n 's/^Listening: *\([^,]*\).*/\1/p' <<<"$STATUS_OUT")"

# 2. The event source, and what a viewer makes of an event.
check_eq "the event source names the installed program" "$(expected_source "$PROGRAM")" \
    "$(reg_values "$SOURCE_KEY")"
text='SocksProxyServer::run(), 100% of "%1" and %n stay as they are'
check_eq "message 1 of the program is its insertion string" "text: $text" \
    "$( (cd "$VC_WORK" && "$WINE" "$CLIENT_EXE" --event-text VornClient 1 "$text") | strip_cr)"
if [[ -n "$WINE_SYSTEM_LOG" ]]; then
    events=$(event_log_after "$log_start")
    check_eq "events reported: the relay's start" "trace service starting" \
        "$(echo "$events" | grep -E '^trace service starting$')"
    check_eq "no event about a missing or unreadable parameter" "" \
        "$(echo "$events" | grep -E 'failed to (open registry key|read registry value)')"
    if restart_actions_traced_after "$log_start"; then
        ok "the service manager was given the restart actions (reset after a day)"
    else
        fail "no restart actions traced by the service manager"
    fi
else
    skip_check "event log and restart actions" "WINE_SYSTEM_LOG not set"
fi

# 3. An upgrade: a value changed by hand stays, a property given replaces
# its value, the rest stay; the new version runs.
"$WINE" reg add "$SERVICE_KEY\\Parameters" /v SocketTimeout /t REG_DWORD /d 120 /f >/dev/null
NEW_PORT=$(free_port) || finish
check_msiexec "upgrade to $(basename "$MSI_NEXT") with a new LISTENPORT" /i "$MSI_NEXT" \
    LISTENPORT="$NEW_PORT"
check_eq "Parameters after the upgrade: kept, except the one given" \
    "$(expected_parameters "$NEW_PORT" "$ORG" 120)" "$(reg_values "$SERVICE_KEY\\Parameters")"
check_eq "the installed program is the new version" "VornClient $NEXT_VERSION" \
    "$("$WINE" "$PROGRAM" -version | strip_cr)"
check_eq "one product installed after the upgrade" 1 "$(installed_products)"
if wait_until 60 port_listening "$NEW_PORT"; then
    check_page upgraded "$NEW_PORT"
else
    fail "the upgraded relay does not listen on $NEW_PORT"
fi

# 4. A repair of the same version (Wine's msiexec has no /f for a product).
check_msiexec "repair of $NEXT_VERSION" /i "$MSI_NEXT" REINSTALL=ALL REINSTALLMODE=vomus
check_eq "Parameters after the repair" "$(expected_parameters "$NEW_PORT" "$ORG" 120)" \
    "$(reg_values "$SERVICE_KEY\\Parameters")"
if wait_until 60 port_listening "$NEW_PORT"; then
    check_page repaired "$NEW_PORT"
else
    fail "the repaired relay does not listen on $NEW_PORT"
fi

# 5. Uninstall: the service, the program and the event source go.
check_msiexec "uninstall" /x "$MSI_NEXT"
if wait_until 30 not_listening "$NEW_PORT"; then
    ok "the relay's port is closed after the uninstall"
else
    fail "the relay still listens on $NEW_PORT after the uninstall"
fi
out=$("$WINE" "$VC_EXE" -remove | strip_cr)
if [[ "$out" == "OpenService failed - "*"(0x424)" ]]; then
    ok "the service is gone (1060)"
else
    fail "the service is still there: -remove printed [$out]"
fi
check_eq "the service's key and Parameters are gone" "" "$(reg_values "$SERVICE_KEY")"
if [[ -e "$PROGRAM_DIR" ]]; then
    fail "left behind: $(find "$PROGRAM_DIR" | head -n 5)"
else
    ok "the program and its folders are gone"
fi
check_eq "the event source is gone" "" "$(reg_values "$SOURCE_KEY")"
check_eq "no product installed" 0 "$(installed_products)"
run_status "$VC_EXE"
check_eq "-status after the uninstall" "3 Tarnwicket Vorn Client is not running." \
    "$STATUS_RC $STATUS_OUT"

finish
