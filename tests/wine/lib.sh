# shellcheck shell=bash disable=SC2034  # the variables are used by the scenarios
# Shared helpers of the Windows checks under Wine: the installed program's
# paths, the gateway emulator, bounded waits on loopback ports, and the
# "ok:" / "FAIL:" / "SKIP:" lines that scripts/test-windows.sh counts.
#
# Expects WINEPREFIX (an initialised, throwaway prefix), VC_EXE (the
# cross-built vornclient.exe), CLIENT_EXE (win-test-client.exe), EMU_BIN (the
# native gateway emulator) and VC_WORK (a scratch folder of the caller).

set -uo pipefail
set -m  # background jobs keep default SIGINT handling, as in a terminal

: "${WINEPREFIX:?WINEPREFIX must name the throwaway Wine prefix}"
: "${VC_EXE:?VC_EXE must name vornclient.exe}"
: "${CLIENT_EXE:?CLIENT_EXE must name win-test-client.exe}"
: "${EMU_BIN:?EMU_BIN must name the gateway emulator}"
: "${VC_WORK:?VC_WORK must name a scratch folder}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

WINE=${WINE:-wine}
# Where the service's diagnostic messages go: Wine's event log only traces
# them, on the standard error of the system processes (see
# scripts/test-windows.sh). Empty when unknown.
WINE_SYSTEM_LOG=${WINE_SYSTEM_LOG:-}
DISPLAY_NAME="Tarnwicket Vorn Client"
PARAMS_KEY='HKLM\SYSTEM\CurrentControlSet\Services\VornClient\Parameters'
# The program is installed where a service usually lives: a folder of its
# own on C:, whose path needs no quotes (the service path is registered
# unquoted).
INSTALL_DIR="$WINEPREFIX/drive_c/VornClient"
INSTALLED_EXE='C:\VornClient\vornclient.exe'
DATA_DIR="$WINEPREFIX/drive_c/ProgramData/Tarnwicket/VornClient"

VC_FAILURES=0
VC_BG_PIDS=()

ok() { echo "ok: $*"; }

# skip_check WHAT REASON: checks that cannot run here, named in the counts.
skip_check() { echo "SKIP: $1: $2"; }

fail() {
    echo "FAIL: $*"
    VC_FAILURES=$((VC_FAILURES + 1))
}

check_eq() {  # description expected actual
    if [[ "$2" == "$3" ]]; then
        ok "$1"
    else
        fail "$1: expected [$2], got [$3]"
    fi
}

# Ends a scenario: non-zero when a check failed.
finish() {
    if ((VC_FAILURES > 0)); then
        echo "$VC_FAILURES check(s) failed"
        exit 1
    fi
    exit 0
}

# Ends what the scenario started in the background (the emulator, a relay
# that outlived its test) by process id.
vc_stop_background() {
    local pid
    for pid in "${VC_BG_PIDS[@]}"; do
        if kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
        fi
    done
    VC_BG_PIDS=()
}
trap vc_stop_background EXIT
trap 'exit 143' TERM  # a time limit that ends the scenario still cleans up

now_ms() { date +%s%3N; }

# Polls a command every 50 ms until it succeeds or the limit (seconds)
# passes; a condition is checked, never assumed after a fixed delay.
wait_until() {
    local limit=$1
    shift
    local deadline=$(($(now_ms) + limit * 1000))
    while (($(now_ms) < deadline)); do
        if "$@"; then return 0; fi
        sleep 0.05
    done
    "$@"
}

# True when a socket listens on 127.0.0.1 (or any address) port $1. Wine's
# sockets are the host's, so the host's table shows them.
port_listening() {
    local hex
    hex=$(printf '%04X' "$1")
    awk -v p=":$hex" 'NR > 1 && substr($2, length($2) - 4) == p && $4 == "0A" { f = 1 }
                      END { exit !f }' /proc/net/tcp
}

port_in_use() {
    local hex
    hex=$(printf '%04X' "$1")
    awk -v p=":$hex" 'NR > 1 && substr($2, length($2) - 4) == p { f = 1 } END { exit !f }' \
        /proc/net/tcp /proc/net/tcp6
}

not_listening() { ! port_listening "$1"; }

# A port below the ephemeral range that no socket uses right now.
free_port() {
    local i port
    for ((i = 0; i < 500; i++)); do
        port=$((20000 + (RANDOM * 32768 + RANDOM) % 12000))
        if ! port_in_use "$port"; then
            echo "$port"
            return 0
        fi
    done
    echo "no free port found" >&2
    return 1
}

file_has_content() { [[ -s "$1" ]]; }

# Starts the native gateway emulator on a free port; sets EMU_PORT and
# EMU_IDLOG (one JSON line per identity received).
start_emulator() {
    local name=$1
    EMU_IDLOG="$VC_WORK/$name.identities"
    : >"$EMU_IDLOG"
    "$EMU_BIN" --port 0 --port-file "$VC_WORK/$name.port" --identity-log "$EMU_IDLOG" \
        >"$VC_WORK/$name.emulator.out" 2>&1 &
    VC_BG_PIDS+=($!)
    if ! wait_until 20 file_has_content "$VC_WORK/$name.port"; then
        fail "gateway emulator did not start (see $VC_WORK/$name.emulator.out)"
        return 1
    fi
    EMU_PORT=$(tr -d '[:space:]' <"$VC_WORK/$name.port")
    wait_until 20 port_listening "$EMU_PORT"
}

# Copies the program to its install folder in the prefix.
install_files() {
    mkdir -p "$INSTALL_DIR" && cp "$VC_EXE" "$INSTALL_DIR/vornclient.exe"
}

# Writes the five parameters: the gateway at 127.0.0.1:$1, the relay on $2.
set_parameters() {
    local gateway_port=$1 listen_port=$2 org=$3
    "$WINE" reg add "$PARAMS_KEY" /v TarnwicketIpAddr /t REG_SZ /d 127.0.0.1 /f &&
        "$WINE" reg add "$PARAMS_KEY" /v TarnwicketPort /t REG_SZ /d "$gateway_port" /f &&
        "$WINE" reg add "$PARAMS_KEY" /v ListenPort /t REG_DWORD /d "$listen_port" /f &&
        "$WINE" reg add "$PARAMS_KEY" /v OrganizationName /t REG_SZ /d "$org" /f &&
        "$WINE" reg add "$PARAMS_KEY" /v SocketTimeout /t REG_DWORD /d 60 /f
}

# The event log messages traced in $WINE_SYSTEM_LOG after line $1, one per
# line as "<class> <text>": class err for errors, warn for warnings, trace
# for information.
event_log_after() {
    tail -n +"$(($1 + 1))" "$WINE_SYSTEM_LOG" |
        sed -n 's/^[0-9a-f]*:\([a-z]*\):eventlog:ReportEventW L"\(.*\)"$/\1 \2/p'
}

# Whether the service manager was given the restart actions (after line $1
# of $WINE_SYSTEM_LOG). Wine keeps none of them, but its service manager
# traces the call and the reset period (fixme+service).
restart_actions_traced_after() {
    tail -n +"$(($1 + 1))" "$WINE_SYSTEM_LOG" |
        grep -q 'svcctl_ChangeServiceConfig2W SERVICE_CONFIG_FAILURE_ACTIONS .*period 86400 '
}

# The event source's registration, as reg_values lists it.
SOURCE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\VornClient'
expected_source() {
    printf 'EventMessageFile REG_SZ %s\nTypesSupported REG_DWORD 0x7\n' "$1"
}

# Console output of a Windows program, without the CR of its line ends.
strip_cr() { tr -d '\r'; }

# The test client's own token as "user: ..." and "group: ..." lines; the
# reference for the identity that the gateway receives.
client_whoami() {
    (cd "$VC_WORK" && "$WINE" "$CLIENT_EXE" --whoami) | strip_cr
}

# fetch NAME PORT: one page through the relay on PORT; the response goes to
# $VC_WORK/NAME.response and the client's report to $VC_WORK/NAME.report.
# Sets FETCH_TRIES. True when a response arrived.
fetch() {
    local name=$1 port=$2 rc
    (cd "$VC_WORK" && "$WINE" "$CLIENT_EXE" --port "$port" --tries 20 --timeout-ms 20000 \
        --url http://127.0.0.1:8080/identity --out "$name.response") |
        strip_cr >"$VC_WORK/$name.report"
    rc=${PIPESTATUS[0]}
    FETCH_TRIES=$(sed -n 's/^tries: //p' "$VC_WORK/$name.report")
    return "$rc"
}

# The body of a response (after the blank line), line ends as sent.
response_body() { sed '1,/^\r\{0,1\}$/d' "$1"; }

# The identity part of the emulator's /identity page: user, count, groups.
page_identity() { response_body "$1" | strip_cr | grep -E '^(user|groups|group): '; }

# The values of a registry key, one "Name TYPE data" line each, sorted by
# name; nothing when the key does not exist.
reg_values() {
    "$WINE" reg query "$1" 2>/dev/null | strip_cr |
        awk '$2 ~ /^REG_/ { sub(/^ +/, ""); gsub(/  +/, " "); print }' | LC_ALL=C sort
}
