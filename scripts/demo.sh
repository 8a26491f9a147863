#!/usr/bin/env bash
# The main job: builds everything, then shows the component at work under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
ts_root=$root
. "$root/scripts/wine-env.sh"
wine_up
trap wine_down EXIT
bin=$ts_build/bin
tsctl() { wine "$bin/tsctl.exe" "$@"; }

echo "== identity of executables in the Wine prefix"
tsctl identify 'C:\WINDOWS\SYSTEM32\NOTEPAD.EXE' 'C:\windows\system32\winhlp32.exe' 'c:\windows\regedit.exe' \
    'Z:\no\such\file.exe' || true
echo
echo "== the local store (created with its schema on first open)"
tsctl store
