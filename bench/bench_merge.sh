#!/usr/bin/env bash
# Runs bench_merge.exe with the floors it is compared against, all in one run:
#   - the merge's native floor: bench_merge.exe makes the local store and the
#     update; a small native program against the host's libsqlite3 then runs the
#     merge's record statements (one DELETE and one INSERT per record, as text
#     through sqlite3_exec, in one transaction, with the page cache the merge
#     gives itself) on a copy of the same local store, reading the update's rows
#     as it goes, best of three, before the merge itself is timed (best of three too);
#   - cabextract on a cabinet holding a 50 MiB store (best of three).
# Needs TS_BUILD_DIR and WINEPREFIX (bench/run.sh sets them), a C compiler,
# libsqlite3-dev and cabextract (scripts/setup.sh installs them).
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
# The native floor: a small program against the host's libsqlite3 that runs the
# merge's record statements, formatted with "%q" and run by sqlite3_exec one by
# one as the merge runs them, reading the update's rows as it goes.
floor=$work/native_merge
if [ ! -x "$floor" ] || [ "$floor" -ot "$0" ]; then
    cc -O2 -x c -o "$floor" - -lsqlite3 <<'C'
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

/* native_merge <local> <update> <cache KiB>: prints the seconds the statements took. */
int main(int argc, char** argv) {
    sqlite3 *local, *update;
    sqlite3_stmt* rows;
    char pragma[64];
    int ok = 1;
    if (argc < 4 || sqlite3_open(argv[1], &local) != SQLITE_OK || sqlite3_open(argv[2], &update) != SQLITE_OK) return 1;
    snprintf(pragma, sizeof pragma, "PRAGMA cache_size = -%ld;", atol(argv[3]));
    sqlite3_exec(local, pragma, 0, 0, 0);
    double start = now();
    if (sqlite3_prepare_v2(update, "SELECT * FROM LocalCache;", -1, &rows, 0) != SQLITE_OK) return 1;
    ok = sqlite3_exec(local, "BEGIN;", 0, 0, 0) == SQLITE_OK;
    while (ok && sqlite3_step(rows) == SQLITE_ROW) {
        const char* hash = (const char*)sqlite3_column_text(rows, 0);
        const char* data = (const char*)sqlite3_column_text(rows, 1);
        char* sql = sqlite3_mprintf("DELETE FROM LocalCache WHERE HASH = '%q';", hash);
        ok = sqlite3_exec(local, sql, 0, 0, 0) == SQLITE_OK;
        sqlite3_free(sql);
        sql = sqlite3_mprintf("INSERT into LocalCache VALUES('%q', '%q');", hash, data);
        ok = ok && sqlite3_exec(local, sql, 0, 0, 0) == SQLITE_OK;
        sqlite3_free(sql);
    }
    sqlite3_finalize(rows);
    ok = ok && sqlite3_exec(local, "INSERT into CreateDate Values( '20240105');", 0, 0, 0) == SQLITE_OK &&
         sqlite3_exec(local, "COMMIT;", 0, 0, 0) == SQLITE_OK;
    double elapsed = now() - start;
    sqlite3_close(update);
    sqlite3_close(local);
    if (!ok) return 1;
    printf("%.6f\n", elapsed);
    return 0;
}
C
fi
# The merge's page cache: the local store plus twice the update, within 2 MiB..256 MiB.
cache_kib=$(awk -v l="$(stat -c %s "$work/seed.xdb")" -v u="$(stat -c %s "$work/update.xdb")" 'BEGIN {
    b = l + 2 * u; if (b < 2097152) b = 2097152; if (b > 268435456) b = 268435456; printf "%d", b / 1024 }')
native_s=
for _ in 1 2 3; do
    cp "$work/seed.xdb" "$work/native.xdb"
    rm -f "$work/native.xdb-journal"
    t=$("$floor" "$work/native.xdb" "$work/update.xdb" "$cache_kib")
    native_s=$(awk -v t="$t" -v b="${native_s:-}" 'BEGIN { print (b == "" || t < b) ? t : b }')
done
expected=$((records + records - records / 2))
got=$(python3 -c 'import sqlite3, sys; print(sqlite3.connect(sys.argv[1]).execute("SELECT count(*) FROM LocalCache").fetchone()[0])' "$work/native.xdb")
if [ "$got" != "$expected" ]; then
    echo "bench_merge: the native floor left $got records, expected $expected" >&2
    exit 1
fi
rm -f "$work/native.xdb"

wine "$build/bin/bench_merge.exe" merge 'C:\bench_merge' "$native_s" 3 'C:\bench_merge\store.cab' "$cabextract_s" |
    tr -d '\r'
rm -f "$work/seed.xdb" "$work/update.xdb"
