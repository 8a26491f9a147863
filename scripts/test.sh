#!/usr/bin/env bash
# Builds everything and runs all tests under Wine through ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
ts_root=$root
. "$root/scripts/wine-env.sh"
wine_up
trap wine_down EXIT
ctest --test-dir "$ts_build" --output-on-failure -j"$(nproc)" "$@"
