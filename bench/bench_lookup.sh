#!/usr/bin/env bash
# Runs bench_lookup.exe with its two servers: the service emulator, which the
# product's lookups talk to (tests/emulator/with_emulator.sh, TS_EMULATOR_PORT),
# and the reference responder, which answers the floors' bare GETs
# (bench/reference_server.py, TS_REFERENCE_PORT) with the body the emulator gives
# for a hash it does not know. Needs TS_BUILD_DIR and WINEPREFIX (bench/run.sh
# sets them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TS_BUILD_DIR:?}
workdir=$(mktemp -d)
reference_pid=
cleanup() {
    if [ -n "$reference_pid" ]; then
        kill "$reference_pid" 2>/dev/null || true
        wait "$reference_pid" 2>/dev/null || true
    fi
    rm -rf "$workdir"
}
trap cleanup EXIT

python3 "$root/bench/reference_server.py" --port-file "$workdir/port" --body '[Class]=?||[end]=true' &
reference_pid=$!
for _ in $(seq 1 200); do
    [ -s "$workdir/port" ] && break
    sleep 0.05
done
[ -s "$workdir/port" ] || { echo "bench_lookup: the reference responder did not start" >&2; exit 1; }
TS_REFERENCE_PORT=$(cat "$workdir/port")
export TS_REFERENCE_PORT
bash "$root/tests/emulator/with_emulator.sh" wine "$build/bin/bench_lookup.exe"
