#!/usr/bin/env bash
# Runs bench_merge.exe with the floors it is compared against, all in one run:
#   - the merge's native floor: bench_merge.exe makes the local store and the
#     update; the host's own SQLite 3 (the sqlite3 program) then runs the merge's
#     record statements (one DELETE and one INSERT per record, as text, in one
#     transaction, with the page cache the merge gives itself) on a copy of the
#     same local store, best of two, before the merge itself is timed;
#   - cabextract on a cabinet holding a 50 MiB store (best of three).
# Needs TS_BUILD_DIR and WINEPREFIX (bench/run.sh sets them), sqlite3 and
# cabextract (scripts/setup.sh installs them).
set -euo pipefail
build=${TS_BUILD_DIR:?}
work=$WINEPREFIX/drive_c/bench_merge
records=${BENCH_MERGE_RECORDS:-200000}
mkdir -p "$work"

best_of() {  # best_of <runs> <command...>: the shortest wall time in seconds
    local runs=$1 best= start stop t
    shift
    for _ in $(seq "$runs"); do
        start=$(date +%s.%N)
        "$@"
        stop=$(date +%s.%N)
        t=$(awk -v a="$start" -v b="$stop" 'BEGIN { printf "%.6f", b - a }')
        best=$(awk -v t="$t" -v b="${best:-}" 'BEGIN { print (b == "" || t < b) ? t : b }')
    done
    echo "$best"
}

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
cabextract_s=0
if command -v cabextract >/dev/null; then
    extract() { rm -rf "$work/out"; cabextract -q -d "$work/out" "$work/store.cab"; }
    cabextract_s=$(best_of 3 extract)
    rm -rf "$work/out"
else
    echo "bench_merge: cabextract is not installed (scripts/setup.sh installs it)" >&2
fi

# The stores of the merge, made by the program's own SQLite under Wine.
wine "$build/bin/bench_merge.exe" prepare 'C:\bench_merge' "$records" | tr -d '\r'
if ! command -v sqlite3 >/dev/null; then
    echo "bench_merge: the sqlite3 program is not installed (scripts/setup.sh installs it)" >&2
    exit 1
fi
# The merge's page cache: the local store plus twice the update, within 2 MiB..256 MiB.
cache_kib=$(awk -v l="$(stat -c %s "$work/seed.xdb")" -v u="$(stat -c %s "$work/update.xdb")" 'BEGIN {
    b = l + 2 * u; if (b < 2097152) b = 2097152; if (b > 268435456) b = 268435456; printf "%d", b / 1024 }')
{
    echo "PRAGMA cache_size = -$cache_kib;"
    echo "BEGIN;"
    sqlite3 "$work/update.xdb" "SELECT 'DELETE FROM LocalCache WHERE HASH = ' || quote(Hash) || ';' || char(10) ||
        'INSERT into LocalCache VALUES(' || quote(Hash) || ', ' || quote(Data) || ');' FROM LocalCache;"
    echo "INSERT into CreateDate Values( '20240105');"
    echo "COMMIT;"
} >"$work/merge.sql"
native_merge() {
    cp "$work/seed.xdb" "$work/native.xdb"
    rm -f "$work/native.xdb-journal"
    sqlite3 "$work/native.xdb" <"$work/merge.sql"
}
native_s=$(best_of 2 native_merge)
expected=$((records + records - records / 2))
got=$(sqlite3 "$work/native.xdb" "SELECT count(*) FROM LocalCache;")
if [ "$got" != "$expected" ]; then
    echo "bench_merge: the native floor left $got records, expected $expected" >&2
    exit 1
fi
rm -f "$work/native.xdb" "$work/merge.sql"

wine "$build/bin/bench_merge.exe" merge 'C:\bench_merge' "$native_s" 1 'C:\bench_merge\store.cab' "$cabextract_s" |
    tr -d '\r'
rm -f "$work/seed.xdb" "$work/update.xdb"
