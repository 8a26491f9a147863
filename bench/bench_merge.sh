#!/usr/bin/env bash
# Prepares the cabinet of bench_merge (a 50 MiB store file packed with gcab),
# times cabextract on it natively (best of three) and runs bench_merge.exe with
# both. Needs TS_BUILD_DIR and WINEPREFIX (bench/run.sh sets them).
set -euo pipefail
build=${TS_BUILD_DIR:?}
work=$WINEPREFIX/drive_c/bench_merge
mkdir -p "$work"
if [ ! -f "$work/store.cab" ] || [ "$work/store.cab" -ot "$0" ]; then
    python3 - "$work/store.xdb" <<'PY'
import os, random, sqlite3, sys
path = sys.argv[1]
if os.path.exists(path):
    os.remove(path)
db = sqlite3.connect(path)
db.execute("CREATE TABLE LocalCache(Hash,Data)")
db.execute("CREATE INDEX LocalIndex ON LocalCache(HASH)")
rng = random.Random(7)
i = 0
while os.path.getsize(path) < 50 * 1024 * 1024:
    rows = []
    for _ in range(20000):
        rows.append(("%032X" % rng.getrandbits(128),
                     "[Class]=AB||[Name]=app%07d.exe||[Ver]=%d.%d||[end]=true" % (i, rng.randrange(20), rng.randrange(99))))
        i += 1
    db.executemany("INSERT INTO LocalCache VALUES(?, ?)", rows)
    db.commit()
db.close()
PY
    (cd "$work" && gcab -c -z store.cab store.xdb)
fi
baseline=n/a
if command -v cabextract >/dev/null; then
    best=
    for _ in 1 2 3; do
        rm -rf "$work/out"
        start=$(date +%s.%N)
        cabextract -q -d "$work/out" "$work/store.cab"
        stop=$(date +%s.%N)
        t=$(awk -v a="$start" -v b="$stop" 'BEGIN { printf "%.6f", b - a }')
        best=$(awk -v t="$t" -v b="${best:-}" 'BEGIN { print (b == "" || t < b) ? t : b }')
    done
    rm -rf "$work/out"
    baseline=$best
else
    echo "bench_merge: cabextract is not installed (scripts/setup.sh installs it)" >&2
    baseline=0
fi
wine "$build/bin/bench_merge.exe" 'C:\bench_merge\store.cab' "$baseline" "${BENCH_MERGE_RECORDS:-200000}"
