#!/usr/bin/env bash
# The Windows checks, run under Wine on Linux:
#   1. cross build with mingw-w64 (posix threads) and a native build of the
#      gateway emulator;
#   2. every GoogleTest program of the cross build, win32_tests.exe included;
#   3. the service lifecycle: -install, parameters, sc start, pages fetched
#      through the relay by a Windows client from the native gateway
#      emulator, the identity checked against the client's own token, the
#      group mappings file, -remove (tests/wine/service_lifecycle.sh);
#   4. -debug stopped by SIGINT (tests/wine/debug_mode.sh), and the start
#      without arguments outside the service manager (tests/wine/no_argument.sh);
#   5. the MSI (wixl): a silent install with properties, the page relayed,
#      -status against the installed service, the event source and its
#      message table, an upgrade to a build of the next version that keeps
#      the settings, a repair and the uninstall (tests/wine/msi.sh);
# all in a throwaway WINEPREFIX whose wineserver is ended at the end.
# Ends with every failure and every skipped test or check named, then one
# line "N passed, N failed, N skipped", and a non-zero exit on failure.
#
# Environment: VC_SKIP_APT=1 skips apt-get; VC_BUILD_PREFIX as for
# scripts/test.sh (the cross build goes to <prefix>-mingw, the emulator to
# <prefix>, the next version's package to <prefix>-mingw-upgrade); VC_JOBS
# build jobs (2); VC_KEEP_WINEPREFIX=1 keeps the prefix.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
jobs=${VC_JOBS:-2}
prefix=${VC_BUILD_PREFIX:-$root/build}
win_build=${VC_WIN_BUILD:-$prefix-mingw}
upgrade_build="$win_build-upgrade"
native_build=${VC_NATIVE_BUILD:-$prefix}
logs="$prefix-logs/windows"
mkdir -p "$logs"

# shellcheck source=scripts/counts.sh
source "$root/scripts/counts.sh"
phase() { printf '\n===== %s =====\n' "$*"; }
seconds_since() { echo $(($(date +%s) - $1)); }

missing_tools() {
    local tool
    for tool in cmake make g++ x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windmc wixl \
        wine wineserver wineboot; do
        command -v "$tool" >/dev/null 2>&1 || echo "$tool"
    done
    [[ -d /usr/src/googletest ]] || echo googletest
}

install_packages() {
    local missing
    missing=$(missing_tools)
    [[ -z "$missing" ]] && return 0
    echo "missing: $missing"
    if [[ "${VC_SKIP_APT:-}" == 1 || $(id -u) != 0 ]]; then
        echo "cannot install them (VC_SKIP_APT=1 or not root)"
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # Others may be installing at the same time: wait for the lock.
    local apt=(apt-get -o DPkg::Lock::Timeout=600)
    "${apt[@]}" update -q &&
        "${apt[@]}" install -y -q build-essential cmake googletest procps \
            g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wixl wine wine64
}

# build DIR LOG CMAKE_ARGS... -- TARGETS...: configure and build; false on error.
build() {
    local dir=$1 log=$2
    shift 2
    local args=()
    while (($#)) && [[ "$1" != -- ]]; do args+=("$1"); shift; done
    (($#)) && shift
    local target_args=()
    if (($#)); then target_args=(--target "$@"); fi
    {
        cmake -S "$root" -B "$dir" "${args[@]}" &&
            cmake --build "$dir" -j"$jobs" "${target_args[@]}"
    } >"$log" 2>&1
}

# run_gtest EXE LOG: one GoogleTest program under Wine; adds its counts.
run_gtest() {
    local exe=$1 log=$2 name
    name=$(basename "$exe")
    if [[ ! -f "$exe" ]]; then
        note_fail 1 "$name was not built"
        return
    fi
    local start rc ok bad skip line
    start=$(date +%s)
    (cd "$(dirname "$exe")" && timeout 900 wine "./$name" --gtest_color=no) >"$log" 2>&1
    rc=$?
    read -r ok bad skip < <(gtest_counts "$log")
    if ((rc != 0 && bad == 0)); then bad=1; fi  # crashed, hung or timed out
    note_pass "$ok"
    while IFS= read -r line; do note_skip "$name: $line"; done < <(gtest_skips "$log")
    if ((bad > 0)); then
        note_fail "$bad" "$name: $bad failure(s) (see $log)"
        grep -E '^\[  FAILED  \]|Failure$|Unhandled' "$log" | head -n 20
    fi
    echo "$name: $ok passed, $bad failed, $skip skipped ($(seconds_since "$start") s)"
}

# run_scenario SCRIPT: one of tests/wine/*.sh; each "ok:" line is a pass,
# each "FAIL:" line a failure and each "SKIP:" line a skipped check.
run_scenario() {
    local script=$1 name log rc ok bad start line
    name=$(basename "$script" .sh)
    log="$logs/$name.log"
    start=$(date +%s)
    VC_WORK="$work/$name" && mkdir -p "$VC_WORK"
    VC_WORK="$VC_WORK" timeout 600 bash "$script" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    ok=$(grep -c '^ok: ' "$log")
    bad=$(grep -c '^FAIL: ' "$log")
    if ((rc != 0 && bad == 0)); then bad=1; fi
    note_pass "$ok"
    if ((bad > 0)); then note_fail "$bad" "$name: $bad failure(s) (see $log)"; fi
    while IFS= read -r line; do note_skip "$name: $line"; done < <(sed -n 's/^SKIP: //p' "$log")
    echo "$name: $ok passed, $bad failed, $(grep -c '^SKIP: ' "$log") skipped" \
        "($(seconds_since "$start") s)"
}

end_wine() {
    if [[ -n "${WINEPREFIX:-}" && -d "$WINEPREFIX" ]]; then
        wineserver -k >/dev/null 2>&1
        wineserver -w >/dev/null 2>&1
    fi
    if [[ -n "${work:-}" ]]; then
        if [[ "${VC_KEEP_WINEPREFIX:-}" == 1 ]]; then
            echo "Wine prefix and scratch files kept in $work"
        else
            rm -rf "$work"
        fi
    fi
}

all_start=$(date +%s)

phase "Packages"
if install_packages >"$logs/apt.log" 2>&1; then
    echo "packages ready"
else
    tail -n 20 "$logs/apt.log"
    note_fail 1 "packages missing (see $logs/apt.log)"
fi

phase "Cross build (mingw-w64) and native gateway emulator"
start=$(date +%s)
win_ok=0
# An existing tree keeps its build type (scripts/test.sh makes a Release one).
win_args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake")
[[ -f "$win_build/CMakeCache.txt" ]] || win_args+=(-DCMAKE_BUILD_TYPE=Release)
if build "$win_build" "$logs/mingw-build.log" "${win_args[@]}"; then
    win_ok=1
    note_pass 1
    echo "cross build: done ($(seconds_since "$start") s)"
else
    tail -n 40 "$logs/mingw-build.log"
    note_fail 1 "cross build failed (see $logs/mingw-build.log)"
fi
# The package, and a package of the next version from the same sources, to
# upgrade to.
start=$(date +%s)
msi_ok=0
base_version=$(sed -n 's/^VORNCLIENT_VERSION:STRING=//p' "$win_build/CMakeCache.txt" 2>/dev/null)
[[ -n "$base_version" ]] ||
    base_version=$(sed -n 's/^project(VornClient VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
next_version="${base_version%.*}.$((${base_version##*.} + 1))"
msi_base="$win_build/vornclient-$base_version-x64.msi"
msi_next="$upgrade_build/vornclient-$next_version-x64.msi"
if ((win_ok)) && build "$win_build" "$logs/msi-build.log" -- msi &&
    build "$upgrade_build" "$logs/msi-upgrade-build.log" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DVORN_BUILD_TESTS=OFF -DVORNCLIENT_VERSION="$next_version" -- msi &&
    [[ -f "$msi_base" && -f "$msi_next" ]]; then
    msi_ok=1
    note_pass 1
    echo "packages: $(basename "$msi_base"), $(basename "$msi_next") ($(seconds_since "$start") s)"
else
    tail -n 20 "$logs/msi-build.log" "$logs/msi-upgrade-build.log" 2>/dev/null
    note_fail 1 "the MSI packages did not build (see $logs/msi-build.log, $logs/msi-upgrade-build.log)"
fi
start=$(date +%s)
emu_ok=0
if build "$native_build" "$logs/emulator-build.log" -- gateway-emulator; then
    emu_ok=1
    note_pass 1
    echo "gateway emulator: built ($(seconds_since "$start") s)"
else
    tail -n 40 "$logs/emulator-build.log"
    note_fail 1 "gateway emulator build failed (see $logs/emulator-build.log)"
fi

if ((win_ok)) && command -v wine >/dev/null 2>&1; then
    phase "Wine prefix"
    work=$(mktemp -d /tmp/vc-wine.XXXXXX)
    trap end_wine EXIT
    export WINEPREFIX="$work/prefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    # The prefix is created first, under a server of its own that ends by
    # itself (-w waits for that). Then one persistent server for the whole
    # run, so that each program starts in a fraction of a second; the
    # system processes of its boot, the service manager among them, write to
    # wine-system.log with the event log's trace on: that is where the
    # service's diagnostic messages go, and the service manager's note of
    # the restart actions it was given. (A persistent server started before
    # the prefix exists ends up with two service managers; without the wait
    # msiexec's StartServices fails with 1060.)
    start=$(date +%s)
    WINE_SYSTEM_LOG="$logs/wine-system.log"
    if wineboot -i >"$logs/wine-init.log" 2>&1 && timeout 60 wineserver -w &&
        wineserver -p >"$WINE_SYSTEM_LOG" 2>&1 &&
        WINEDEBUG=-all,+eventlog,fixme+service wineboot >>"$WINE_SYSTEM_LOG" 2>&1; then
        note_pass 1
        echo "prefix ready in $(seconds_since "$start") s: $WINEPREFIX"
    else
        tail -n 20 "$logs/wine-init.log" "$WINE_SYSTEM_LOG"
        note_fail 1 "Wine prefix not ready (see $logs/wine-init.log, $WINE_SYSTEM_LOG)"
    fi

    phase "GoogleTest programs under Wine"
    for exe in "$win_build"/tests/*_tests.exe \
        "$win_build"/tools/win-test-client/win_test_client_tests.exe; do
        run_gtest "$exe" "$logs/$(basename "$exe" .exe).log"
    done

    if ((emu_ok)); then
        export VC_EXE="$win_build/vornclient.exe"
        export CLIENT_EXE="$win_build/tools/win-test-client/win-test-client.exe"
        export EMU_BIN="$native_build/tools/gateway-emulator/gateway-emulator"
        export WINE_SYSTEM_LOG
        phase "Service lifecycle"
        run_scenario "$root/tests/wine/service_lifecycle.sh"
        phase "Console mode and Ctrl+C"
        run_scenario "$root/tests/wine/debug_mode.sh"
        phase "Start without arguments"
        run_scenario "$root/tests/wine/no_argument.sh"
        if ((msi_ok)); then
            phase "MSI: install, upgrade, repair, uninstall"
            export MSI_BASE="$msi_base" MSI_NEXT="$msi_next" BASE_VERSION="$base_version"
            export NEXT_VERSION="$next_version"
            run_scenario "$root/tests/wine/msi.sh"
        fi
    fi

    phase "Wine server"
    if wineserver -k >/dev/null 2>&1 && wineserver -w >/dev/null 2>&1; then
        echo "wineserver ended"
    fi
else
    note_fail 1 "Wine checks not run: no cross build or no wine"
fi

phase "Summary ($(seconds_since "$all_start") s)"
print_summary
((failed == 0))
