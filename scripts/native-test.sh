#!/usr/bin/env bash
# Builds the portable code natively with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (native/) and runs its tests: the portable units'
# GoogleTest files and the replay of every fuzz corpus and regression input.
# Arguments go to ctest. Environment: TS_NATIVE_BUILD_DIR (default build-native/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TS_NATIVE_BUILD_DIR:-$root/build-native}
if [ ! -f "$build/build.ninja" ]; then
    CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$root/native" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2 "$@"
