#!/usr/bin/env bash
# Builds the native sanitizer project (native/) with clang and runs every libFuzzer
# target for a bounded time, starting from its committed seed corpus
# (fuzz/corpus/<target>/) and regression inputs (fuzz/regressions/<target>/).
# Fails when any target reports a finding; the crashing input is copied to
# fuzz/regressions/<target>/ so it can be committed with the fix and replayed by
# the native tests from then on.
#
# Usage: scripts/fuzz.sh [target...]          (default: every target)
# Environment: FUZZ_SECONDS (per target, default 30), TS_NATIVE_BUILD_DIR
# (default build-native/), FUZZ_JOBS (targets run at once, default 1).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TS_NATIVE_BUILD_DIR:-$root/build-native}
seconds=${FUZZ_SECONDS:-30}
jobs=${FUZZ_JOBS:-1}

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$root/native" -B "$build" -G Ninja -DTS_FUZZ=ON >/dev/null
cmake --build "$build" -j2 >/dev/null

if [ $# -gt 0 ]; then
    targets=("$@")
else
    mapfile -t targets < <(grep -v '^$' "$build/fuzz_targets.txt")
fi

work=$build/fuzz-work
mkdir -p "$work"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# run_target <name>: fuzzes for $seconds; the grown corpus stays in the build tree.
run_target() {
    local name=$1
    local exe=$build/fuzz_$name
    [ -x "$exe" ] || { echo "fuzz: no target $name" >&2; return 1; }
    local grown=$work/$name/corpus artifacts=$work/$name/artifacts
    rm -rf "$artifacts"
    mkdir -p "$grown" "$artifacts"
    local dirs=("$grown" "$root/fuzz/corpus/$name")
    [ -d "$root/fuzz/regressions/$name" ] && dirs+=("$root/fuzz/regressions/$name")
    if "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "${dirs[@]}" >"$work/$name/log" 2>&1; then
        local runs
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name/log")
        echo "fuzz: $name: ${runs:-?} runs in ${seconds}s, no finding"
        return 0
    fi
    echo "fuzz: $name: FINDING (log $work/$name/log)" >&2
    grep -E 'ERROR|property broken|runtime error|SUMMARY' "$work/$name/log" | head -5 >&2 || true
    mkdir -p "$root/fuzz/regressions/$name"
    for crash in "$artifacts"/*; do
        [ -f "$crash" ] || continue
        cp "$crash" "$root/fuzz/regressions/$name/"
        echo "fuzz: $name: input kept as fuzz/regressions/$name/$(basename "$crash")" >&2
    done
    return 1
}

failed=0
pids=()
names=()
for name in "${targets[@]}"; do
    if [ "$jobs" -le 1 ]; then
        run_target "$name" || failed=1
        continue
    fi
    run_target "$name" & pids+=($!); names+=("$name")
    if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || failed=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done

if [ "$failed" != 0 ]; then
    echo "fuzz: findings above; fix them and commit the inputs under fuzz/regressions/" >&2
    exit 1
fi
echo "fuzz: ${#targets[@]} targets, ${seconds}s each, no finding"
