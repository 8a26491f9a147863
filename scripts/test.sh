#!/usr/bin/env bash
# Builds everything and runs all tests under Wine through ctest; then builds the
# portable code natively with clang and the sanitizers, runs its tests, and runs
# every fuzz target for a bounded time.
# Arguments go to the Wine ctest run; with arguments the native part is skipped
# unless TS_NATIVE=1. TS_NATIVE=0 always skips it; FUZZ_SECONDS (per target,
# default 25 here) sets the fuzzing budget, 0 skips fuzzing.
# Mutation testing is not part of this run (it takes minutes to an hour):
#   python3 scripts/mutate.py --diff main     faults in the lines a branch changed
#   python3 scripts/mutate.py [--unit REGEX]  every portable unit (see its --help)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
ts_root=$root
. "$root/scripts/wine-env.sh"
wine_up
trap wine_down EXIT
ctest --test-dir "$ts_build" --output-on-failure -j"$(nproc)" "$@"
wine_down
trap - EXIT

native=${TS_NATIVE:-}
if [ -z "$native" ]; then
    native=$([ $# -eq 0 ] && echo 1 || echo 0)
fi
if [ "$native" = 1 ]; then
    export TS_NATIVE_BUILD_DIR=${TS_NATIVE_BUILD_DIR:-$ts_build-native}
    "$root/scripts/native-test.sh"
    export FUZZ_SECONDS=${FUZZ_SECONDS:-25}
    if [ "$FUZZ_SECONDS" != 0 ]; then
        "$root/scripts/fuzz.sh"
    fi
fi
