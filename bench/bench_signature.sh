#!/usr/bin/env bash
# Prepares the signed 10 MiB executable of bench_signature (the test PKI of the
# signature tests, signature_pki.py --big, in bin/signature_pki beside the
# program) and runs bench_signature.exe on it; the program installs the test root
# into the prefix. Needs TS_BUILD_DIR and WINEPREFIX (bench/run.sh sets them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TS_BUILD_DIR:?}
cmake --build "$build" --target identity_fixture_plain -- -j2 >/dev/null
python3 "$root/tests/component/signature_pki.py" "$build/bin/signature_pki" "$build/bin/identity_fixture_plain.exe" \
    --big >&2
wine "$build/bin/bench_signature.exe" "" "${BENCH_SIGNATURE_RUNS:-20}"
