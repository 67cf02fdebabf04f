#!/usr/bin/env bash
# Runs one fuzz target for a while, starting from its checked-in corpus:
#   scripts/fuzz.sh TARGET [SECONDS]
# TARGET is one of reg_file, group_mappings, socks_replies,
# subnegotiation_packet (tests/fuzz/TARGET/); SECONDS defaults to 60.
# Builds the target in a clang tree of its own first ($VC_FUZZ_BUILD, default
# build-fuzz; VC_FUZZ_NO_BUILD=1 skips the build). New inputs go to a scratch
# corpus in that tree, a crashing input to $VC_FUZZ_BUILD/crashes/TARGET/.
# The exit status is libFuzzer's: non-zero when an input failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
target=${1:?usage: scripts/fuzz.sh TARGET [SECONDS]}
seconds=${2:-60}
dir=${VC_FUZZ_BUILD:-$root/build-fuzz}
corpus="$root/tests/fuzz/$target/corpus"
[[ -d "$corpus" ]] || { echo "no fuzz target $target (tests/fuzz/$target/corpus)" >&2; exit 2; }

if [[ "${VC_FUZZ_NO_BUILD:-}" != 1 ]]; then
    mkdir -p "$dir"
    if ! { cmake -S "$root" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_FUZZ=ON -DVORN_BUILD_TESTS=OFF &&
        cmake --build "$dir" -j"${VC_JOBS:-2}" --target "${target}_fuzzer"; } >"$dir/build.log" 2>&1; then
        tail -n 30 "$dir/build.log"
        echo "building ${target}_fuzzer failed (see $dir/build.log)" >&2
        exit 2
    fi
fi

scratch="$dir/corpus/$target"
crashes="$dir/crashes/$target"
mkdir -p "$scratch" "$crashes"
# Leaks are checked (the default); an input may take at most 10 s.
"$dir/tests/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$crashes/" "$scratch" "$corpus"
