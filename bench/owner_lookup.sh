#!/usr/bin/env bash
# Owner lookup time while a process holds 1,000 and then 5,000 TCP sockets on
# 127.0.0.1: median and p99 in microseconds. Builds the benchmark (Release)
# when needed.
#   BUILD_DIR  build folder to use (default: <repo>/build-bench)
#   extra arguments go to the program: --sockets N[,N...] --rounds R
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
build="${BUILD_DIR:-$root/build-bench}"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target owner_lookup -j2 >/dev/null
exec "$build/bench/owner_lookup" --sockets 1000,5000 --rounds 200 "$@"
