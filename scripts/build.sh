#!/usr/bin/env bash
# Configures and builds every target (deliverables, tools, tests, benchmarks)
# with the MinGW-w64 cross toolchain.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TS_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -- -j"$(nproc)"
