#!/usr/bin/env bash
# Builds and runs every benchmark program of bench/ and prints one table: each
# figure, the floor it is bounded by (named in the row and measured in the same
# run, sharing no code or server with the figure), their ratio and the target.
# The table is headed by the machine's facts (cores, load, Wine and SQLite
# versions), so that two tables can be compared.
#
#   bench_md5     MD5 of a 256 MiB file by file identity under Wine; this script
#                 measures the baseline, `openssl md5` run natively on the same file.
#   bench_*.cpp   every other program prints its own rows
#                 "| name | figure | baseline | ratio | target |"; one whose source
#                 reads TS_EMULATOR_PORT runs with the service emulator
#                 (tests/emulator/with_emulator.sh).
#
#   bench_*.sh    a program that needs inputs prepared first ships a script of the
#                 same name (bench/bench_<name>.sh), run instead of the program
#                 with TS_BUILD_DIR and WINEPREFIX set; it prints the rows.
#
# A new benchmark needs no change here: add bench/bench_<name>.cpp and its target
# bench_<name> in bench/CMakeLists.txt, and print rows in that form.
# Environment: TS_BUILD_DIR (build tree, default build/), BENCH_RUNS (MD5 runs,
# default 5), BENCH_TIMEOUT (seconds per program, default 240), BENCH_ONLY
# (space-separated program names, default all). Exits non-zero when a program fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TS_BUILD_DIR:-$root/build}
runs=${BENCH_RUNS:-5}
limit=${BENCH_TIMEOUT:-240}

programs=()
for src in "$root"/bench/bench_*.cpp; do
    programs+=("$(basename "$src" .cpp)")
done
if [ -n "${BENCH_ONLY:-}" ]; then
    read -r -a programs <<<"$BENCH_ONLY"
fi

if [ ! -f "$build/build.ninja" ]; then
    "$root/scripts/setup.sh" >&2
    cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
else
    # A tree configured before a benchmark existed does not know its target yet.
    cmake -S "$root" -B "$build" >/dev/null
fi
if ! out=$(cmake --build "$build" --target "${programs[@]}" -- -j2 2>&1); then
    echo "$out" >&2
    exit 1
fi

ts_root=$root
TS_BUILD_DIR=$build
. "$root/scripts/wine-env.sh"
wine_up
trap wine_down EXIT

# Prints the MD5 row; the baseline is openssl on the same file, best of $runs.
md5_row() {
    local size=$((256 * 1024 * 1024))
    local data=$WINEPREFIX/drive_c/bench_md5.bin
    if [ "$(stat -c %s "$data" 2>/dev/null || echo 0)" != "$size" ]; then
        head -c "$size" /dev/urandom >"$data"
    fi
    # Both sides read the file from the page cache.
    openssl md5 "$data" >/dev/null
    local line figure ours theirs
    line=$(timeout -k 10 "$limit" wine "$build/bin/bench_md5.exe" 'C:\bench_md5.bin' "$runs" | tr -d '\r') || return 1
    figure=$(sed -n 's/.*best_mbps=\([0-9.]*\).*/\1/p' <<<"$line")
    ours=$(sed -n 's/.*md5=\([0-9A-F]*\).*/\1/p' <<<"$line")
    theirs=$(openssl md5 -r "$data" | cut -d' ' -f1 | tr 'a-f' 'A-F')
    if [ -z "$figure" ] || [ "$ours" != "$theirs" ]; then
        echo "bench: bench_md5: digests differ (ours ${ours:-none}, openssl $theirs)" >&2
        return 1
    fi
    local best= start stop t
    for _ in $(seq "$runs"); do
        start=$(date +%s.%N)
        openssl md5 "$data" >/dev/null
        stop=$(date +%s.%N)
        t=$(awk -v a="$start" -v b="$stop" 'BEGIN { printf "%.6f", b - a }')
        best=$(awk -v t="$t" -v b="${best:-}" 'BEGIN { print (b == "" || t < b) ? t : b }')
    done
    local baseline ratio
    baseline=$(awk -v s="$size" -v t="$best" 'BEGIN { printf "%.1f", s / 1e6 / t }')
    ratio=$(awk -v f="$figure" -v b="$baseline" 'BEGIN { printf "%.2f", f / b }')
    echo "| MD5 of a 256 MiB file by BuildFromPath (4096-byte reads, Wine) | $figure MB/s | openssl md5 (native) $baseline MB/s | $ratio | >= 0.8 |"
}

# Prints the rows a program writes itself (its other output goes to stderr).
program_rows() {
    local name=$1 exe=$build/bin/$1.exe out
    local command=(wine "$exe")
    if [ -f "$root/bench/$name.sh" ]; then
        command=(env TS_BUILD_DIR="$build" WINEPREFIX="$WINEPREFIX" bash "$root/bench/$name.sh")
    elif grep -q TS_EMULATOR_PORT "$root/bench/$name.cpp"; then
        command=(bash "$root/tests/emulator/with_emulator.sh" wine "$exe")
    fi
    out=$(timeout -k 10 "$limit" "${command[@]}" | tr -d '\r') || return 1
    # Table rows only, without a header or separator the program may print.
    out=$(grep -E '^\|' <<<"$out" | grep -vE '^\|[ -]*(benchmark|name)[ ]*\||^\|[-| ]*$' || true)
    [ -n "$out" ] || { echo "bench: $name printed no table row" >&2; return 1; }
    echo "$out"
}

rows=()
failed=0
for name in "${programs[@]}"; do
    echo "bench: running $name" >&2
    start=$SECONDS
    if [ "$name" = bench_md5 ]; then
        result=$(md5_row) && status=0 || status=$?
    else
        result=$(program_rows "$name") && status=0 || status=$?
    fi
    if [ "$status" = 0 ]; then
        mapfile -t lines <<<"$result"
        rows+=("${lines[@]}")
    else
        rows+=("| $name | failed (exit $status) | - | - | - |")
        failed=1
    fi
    echo "bench: $name took $((SECONDS - start)) s" >&2
done

# The machine's facts: what the figures depend on besides the code.
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
product_sqlite=$(sed -n 's/^#define SQLITE_VERSION[[:space:]]*"\(.*\)"/\1/p' "$build/third_party/sqlite/sqlite3.h" 2>/dev/null)
host_sqlite=$(sqlite3 --version 2>/dev/null | cut -d' ' -f1)
echo "Machine: $(nproc) cores (${cpu:-unknown CPU}), load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Wine: $(wine --version 2>/dev/null | head -n 1); SQLite in the deliverables: ${product_sqlite:-unknown}; host sqlite3: ${host_sqlite:-none}"
echo
echo "| benchmark | figure | floor (same run) | ratio | target |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
exit "$failed"
