#!/usr/bin/env bash
# The main job: builds everything, registers tsapi.dll in the private Wine prefix,
# starts the service emulator on loopback and shows the component answering the
# firewall's question for real executables: a local store hit, a live answer from
# the service, an unknown application, a hash-only local check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
ts_root=$root
. "$root/scripts/wine-env.sh"
wine_up
work=$(mktemp -d)
emulator_pid=
cleanup() {
    local status=$?
    if [ -n "$emulator_pid" ]; then
        kill "$emulator_pid" 2>/dev/null || true
        wait "$emulator_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    wine_down
    exit "$status"
}
trap cleanup EXIT

bin=$ts_build/bin
tsctl() { wine "$bin/tsctl.exe" "$@"; }
drive_c=$WINEPREFIX/drive_c
md5_of() { python3 -c 'import hashlib,sys; print(hashlib.md5(open(sys.argv[1],"rb").read()).hexdigest().upper())' "$1"; }
notepad_md5=$(md5_of "$drive_c/windows/system32/notepad.exe")
regedit_md5=$(md5_of "$drive_c/windows/regedit.exe")

echo "== service emulator"
cat > "$work/catalogue.json" <<JSON
{"answers": {"$regedit_md5": "[Class]=GO||[AppName]=Registry Editor||[Desc]=Editor||[end]=true"},
 "default_answer": "[Class]=?||[end]=true"}
JSON
python3 "$root/tests/emulator/emulator.py" --port 0 --port-file "$work/port" \
    --catalogue "$work/catalogue.json" >"$work/emulator.log" 2>&1 &
emulator_pid=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
echo "listening on 127.0.0.1:$port"
wine reg add 'HKLM\SOFTWARE\Quellon\Tessary' /v ServiceOrigin /t REG_SZ /d "http://127.0.0.1:$port" /f >/dev/null
# The build's output folder stands in for the install directory.
wine reg add 'HKLM\SOFTWARE\Quellon\Tessary' /v 'Install Dir' /t REG_SZ /d "$(winepath -w "$bin")" /f >/dev/null

echo
echo "== register the component server"
tsctl register

echo
echo "== the local store, with one record and the settings the update checker would have merged"
store=$drive_c/ProgramData/Quellon/Tessary/data/TsLocal.xdb
rm -f "$store"
tsctl store
python3 - "$store" "$notepad_md5" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("INSERT INTO LocalCache VALUES(?, ?)", (sys.argv[2], "[Class]=SA||[AppName]=Notepad||[Desc]=Text editor"))
# The service's published settings, as a merged update delivers them.
db.executemany("INSERT INTO Settings VALUES(?, ?)", [
    ("SubmitInterval", "86400"), ("MaxEvents", "500"), ("SubmitPercent", "100"), ("EventsEnabled", "1"),
    ("ConnectTimeout", "5000"), ("SendTimeout", "5000"), ("ReceiveTimeout", "10000")])
db.commit()
PY

echo
echo "== lookup: local store hit (notepad.exe, path given in upper case)"
tsctl lookup 'C:\WINDOWS\SYSTEM32\NOTEPAD.EXE'
echo
echo "== lookup: live answer from the service (regedit.exe)"
tsctl lookup 'c:\windows\regedit.exe'
echo
echo "== lookup: unknown to the service (winhlp32.exe)"
tsctl lookup 'c:\windows\system32\winhlp32.exe'
echo
echo "== lookup: hash only, local check only (nothing is sent)"
tsctl lookup --hash 00000000000000000000000000000000 --local-only
echo
echo "== settings and versions"
tsctl settings
tsctl versions
echo
echo "== raw query (refused without the user's opt-in, sent with it)"
tsctl optin off
tsctl query "http://127.0.0.1:$port/data/raw" "hello" || true
tsctl optin on
tsctl query "http://127.0.0.1:$port/data/raw" "hello"

echo
echo "== the firewall blocked some traffic: events in its log.edb"
past=$(( $(date +%s) - 3600 ))
mkdir -p "$drive_c/ProgramData/Quellon/Lodan/data"  # the firewall's data folder
wine "$bin/tsedb.exe" add 203.0.113.7 80 6 --time "$past" --count 2
wine "$bin/tsedb.exe" add 198.51.100.20 53 17 --time "$past"
wine "$bin/tsedb.exe" add 192.168.0.10 445 6 --time "$past"
wine "$bin/tsedb.exe" list

echo
echo "== one pass of the update checker (manifest, merge, traffic report)"
wine "$bin/TSUpdChk.exe"
echo "TSUpdChk exit code: $?"

echo
python3 - "$port" <<'PY'
import json, sys, urllib.request
base = f"http://127.0.0.1:{sys.argv[1]}/__control/requests"
queries = json.load(urllib.request.urlopen(base + "?endpoint=query"))["requests"]
print(f"== the service received {len(queries)} reputation queries")
for r in queries:
    print("  sent:", r.get("request_text", "")[:150])
for endpoint in ("raw", "manifest", "events"):
    got = json.load(urllib.request.urlopen(f"{base}?endpoint={endpoint}"))["requests"]
    print(f"== {endpoint}: {len(got)} request(s)")
    for r in got:
        body = r.get("body", "")
        print("  ", r["method"], r["path"][:90], ("body: " + body[:600]) if body else "")
PY
