#!/usr/bin/env bash
# MD5 throughput of file identity under Wine against `openssl md5` run natively on
# the same 256 MiB file. Builds bench_md5 if needed; prints one table row.
# Environment: TS_BUILD_DIR (build tree, default build/), BENCH_RUNS (default 5).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TS_BUILD_DIR:-$root/build}
runs=${BENCH_RUNS:-5}

if [ ! -f "$build/build.ninja" ]; then
    "$root/scripts/setup.sh"
    cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
else
    # A tree configured before bench/ existed does not know the target yet.
    cmake -S "$root" -B "$build" >/dev/null
fi
if ! out=$(cmake --build "$build" --target bench_md5 2>&1); then
    echo "$out" >&2
    exit 1
fi

ts_root=$root
TS_BUILD_DIR=$build
. "$root/scripts/wine-env.sh"
wine_up
trap wine_down EXIT

size=$((256 * 1024 * 1024))
data=$WINEPREFIX/drive_c/bench_md5.bin
if [ "$(stat -c %s "$data" 2>/dev/null || echo 0)" != "$size" ]; then
    head -c "$size" /dev/urandom > "$data"
fi

# Both sides read the file from the page cache.
openssl md5 "$data" >/dev/null
line=$(wine "$build/bin/bench_md5.exe" 'C:\bench_md5.bin' "$runs" | tr -d '\r')
figure=$(sed -n 's/.*best_mbps=\([0-9.]*\).*/\1/p' <<<"$line")
ours=$(sed -n 's/.*md5=\([0-9A-F]*\).*/\1/p' <<<"$line")

theirs=$(openssl md5 -r "$data" | cut -d' ' -f1 | tr 'a-f' 'A-F')
if [ "$ours" != "$theirs" ]; then
    echo "bench: digests differ (ours $ours, openssl $theirs)" >&2
    exit 1
fi

best=
for _ in $(seq "$runs"); do
    start=$(date +%s.%N)
    openssl md5 "$data" >/dev/null
    stop=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$stop" 'BEGIN { printf "%.6f", b - a }')
    best=$(awk -v t="$t" -v b="${best:-}" 'BEGIN { print (b == "" || t < b) ? t : b }')
done
baseline=$(awk -v s="$size" -v t="$best" 'BEGIN { printf "%.1f", s / 1e6 / t }')
ratio=$(awk -v f="$figure" -v b="$baseline" 'BEGIN { printf "%.2f", f / b }')

echo "| benchmark | figure | baseline | ratio | target |"
echo "|---|---|---|---|---|"
echo "| MD5 of a 256 MiB file by BuildFromPath (4096-byte reads, Wine) | $figure MB/s | openssl md5 (native) $baseline MB/s | $ratio | >= 0.8 |"
