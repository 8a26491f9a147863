#!/usr/bin/env bash
# The main job: builds everything and the Windows Installer package, installs the
# package quietly with msiexec, then shows the installed product at work under Wine
# against the service emulator on loopback: a signed update delivered and merged
# by one pass of the installed TSUpdChk.exe, then the installed component
# answering the firewall's questions (lookups, permissions, signature checks,
# settings) and, last, everything the service received; the package is removed at
# the end. The demo runs in a Wine prefix of its own, removed at the end, so the
# tests' prefix is never touched. Exits non-zero when a step that must work does not.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ts_root=$root
. "$root/scripts/wine-env.sh"
export WINEPREFIX=$ts_build/demo-wineprefix
bin=$ts_build/bin
version=$(head -n1 "$root/VERSION")
work=$(mktemp -d)
emulator_pid=
installed=
package=
cleanup() {
    local status=$?
    set +e
    echo
    echo "== cleaning up: remove the package, stop the emulator, remove the demo's prefix and files"
    if [ -n "$installed" ]; then
        wine msiexec /x "$(winepath -w "$package")" /qn
        echo "msiexec /x: exit code $?"
    fi
    if [ -n "$emulator_pid" ]; then
        kill "$emulator_pid" 2>/dev/null
        wait "$emulator_pid" 2>/dev/null
    fi
    wine_down
    rm -rf "$work" "$WINEPREFIX"
    if [ "$status" -eq 0 ]; then echo "demo finished: every step worked"; else echo "demo FAILED (exit $status)"; fi
    exit "$status"
}
trap cleanup EXIT

# One line per build stage; a stage's own output is shown only when it fails.
stage() {
    local title=$1 log
    shift
    log=$work/stage.log
    printf '%-58s' "$title"
    local start=$SECONDS
    if "$@" >"$log" 2>&1; then
        echo " ok ($((SECONDS - start)) s)"
    else
        echo " FAILED"
        cat "$log" >&2
        exit 1
    fi
}
configure() {
    [ -f "$ts_build/build.ninja" ] || cmake -S "$root" -B "$ts_build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
}
echo "== building"
stage "set-up: Debian packages, SQLite amalgamation" "$root/scripts/setup.sh"
stage "configure: CMake with the MinGW-w64 toolchain" configure
stage "compile: tsapi.dll, TSUpdChk.exe, tsctl, tests" cmake --build "$ts_build" -- -j"$(nproc)"
stage "package: tessary-$version-x64.msi (wixl)" "$root/scripts/package.sh" --build-dir "$ts_build"
package=$ts_build/tessary-$version-x64.msi
install_dir='C:\Program Files\Quellon\Tessary'

step=0
heading() {
    step=$((step + 1))
    echo
    echo "== $step. $*"
}
fail() {
    echo "demo: $*" >&2
    exit 1
}
# The installed tsctl with its line ends made Unix ones; the exit code stays tsctl's.
tsctl() { wine "$install_dir\\tsctl.exe" "$@" | tr -d '\r'; }
# Runs tsctl, shows its output and fails the demo unless the output holds PATTERN.
expect() {
    local pattern=$1 output
    shift
    output=$(tsctl "$@") || fail "'tsctl $*' failed"
    printf '%s\n' "$output" | sed 's/^/   /'
    grep -q -- "$pattern" <<<"$output" || fail "'tsctl $*' did not show '$pattern'"
}

heading "preparing: a fresh Wine prefix, a test PKI and a signed update (takes about a minute)"
rm -rf "$WINEPREFIX"
wine_up
drive_c=$WINEPREFIX/drive_c
common=$drive_c/ProgramData/Quellon/Tessary
md5_of() { python3 -c 'import hashlib,sys; print(hashlib.md5(open(sys.argv[1],"rb").read()).hexdigest().upper())' "$1"; }
notepad_md5=$(md5_of "$drive_c/windows/system32/notepad.exe")
regedit_md5=$(md5_of "$drive_c/windows/regedit.exe")
# The update: notepad's record and the service settings in appmrg.xdb, in a cabinet
# signed by a test publisher; and signed and unsigned programs for the signature checks.
python3 "$root/scripts/demo_helper.py" update "$work/files" "$notepad_md5"
python3 "$root/tests/component/signature_pki.py" "$work/pki" "$bin/tsedb.exe"
echo "signed programs: $(cd "$work/pki" && ls ./*.exe | tr '\n' ' ')"
# Both test roots become trusted roots of this prefix only.
python3 "$root/scripts/demo_helper.py" trust-reg "$work/files/signing/root.der" "$work/pki/root_vs.cer" >"$work/roots.reg"
wine reg import "$(winepath -w "$work/roots.reg")" >/dev/null 2>&1 || fail "cannot trust the test roots"
echo "trusted roots: Tessary Test Root (the update's publisher), the signature checks' test root"

heading "the service emulator: a catalogue of answers and a manifest pointing at the signed update"
# Answer fields end at their first blank: the texts use hyphens.
cat >"$work/catalogue.json" <<JSON
{"answers": {"$regedit_md5": "[Class]=GO||[AppName]=RegistryEditor||[Desc]=Live-answer-of-the-service||[end]=true"},
 "default_answer": "[Class]=?||[end]=true",
 "manifest": "FILE={origin}/updates/appmrg.xdb||data/summary/appmrg.xdb||ffffffff\r\n"}
JSON
python3 "$root/tests/emulator/emulator.py" --port 0 --port-file "$work/port" --files "$work/files" \
    --catalogue "$work/catalogue.json" >"$work/emulator.log" 2>&1 &
emulator_pid=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || fail "the emulator did not start: $(cat "$work/emulator.log")"
port=$(cat "$work/port")
echo "listening on 127.0.0.1:$port; it knows regedit.exe, serves the manifest and updates/appmrg.cab only"

heading "install the package quietly: msiexec /i tessary-$version-x64.msi /qn"
set +e
wine msiexec /i "$(winepath -w "$package")" /qn /l*v "$(winepath -w "$work/install.log")"
install_status=$?
set -e
echo "   msiexec exit code: $install_status"
[ "$install_status" -eq 0 ] || fail "the installation failed; log: $(python3 "$root/scripts/demo_helper.py" msi-log "$work/install.log" | tail -n 30)"
installed=1
installed_files="$drive_c/Program Files/Quellon/Tessary"
echo "   $install_dir holds: $(cd "$installed_files" && ls | tr '\n' ' ')"
install_value=$(wine reg query 'HKLM\SOFTWARE\Quellon\Tessary' /v 'Install Dir' | tr -d '\r' | sed -n 's/.*REG_SZ *//p')
echo "   HKLM\SOFTWARE\Quellon\Tessary \"Install Dir\" = $install_value"
[ "${install_value%\\}" = "$install_dir" ] || fail "\"Install Dir\" does not name the install folder"
server=$(wine reg query 'HKCR\CLSID\{36C29AB6-FF73-4f74-A2D1-C5C09B54E5C9}\InprocServer32' /ve | tr -d '\r' |
    sed -n 's/.*REG_SZ *//p')
echo "   the root class QnTessary is served by: $server"
[ "$server" = "$install_dir\\tsapi.dll" ] || fail "the COM registration does not point at the installed tsapi.dll"
echo "   the package's own steps, from the installation log:"
python3 "$root/scripts/demo_helper.py" msi-log "$work/install.log" | grep -o 'Tessary setup: .*' | sed 's/^/   /' || true
wine reg add 'HKLM\SOFTWARE\Quellon\Tessary' /v ServiceOrigin /t REG_SZ /d "http://127.0.0.1:$port" /f >/dev/null
echo "   ServiceOrigin = http://127.0.0.1:$port (the emulator stands in for the service)"

heading "switch on file logging (tsctl from the install folder)"
expect "Logging Mechanism: 1" logging file

heading "the firewall blocked some traffic an hour ago: events in its log.edb, for the traffic report"
past=$(($(date +%s) - 3600))
mkdir -p "$drive_c/ProgramData/Quellon/Lodan/data" # the firewall's data folder
wine "$bin/tsedb.exe" add 203.0.113.7 80 6 --time "$past" --count 2 >/dev/null
wine "$bin/tsedb.exe" add 198.51.100.20 53 17 --time "$past" >/dev/null
wine "$bin/tsedb.exe" add 192.168.0.10 445 6 --time "$past" >/dev/null
wine "$bin/tsedb.exe" list | tr -d '\r' | sed 's/^/   /'

heading "one pass of the installed update checker TSUpdChk.exe: manifest, signed download, merge, traffic report"
echo "(the traffic report leaves out private sources such as 192.168.0.10)"
[ ! -e "$common/data/TsLocal.xdb" ] || fail "the prefix already has a local store"
echo "running $install_dir\\TSUpdChk.exe (windowless; it writes its diagnostic log when file logging is on) ..."
set +e
wine "$install_dir\\TSUpdChk.exe"
updater_status=$?
set -e
echo "TSUpdChk exit code: $updater_status"
[ "$updater_status" -eq 0 ] || fail "TSUpdChk.exe failed"
log=$drive_c/ProgramData/Quellon/QNLOGS/TSAPI/TSUpdChk/TSUpdChk000.log
echo "its diagnostic log (C:\\ProgramData\\Quellon\\QNLOGS\\TSAPI\\TSUpdChk\\TSUpdChk000.log, UTF-16), main lines:"
[ -f "$log" ] || fail "no diagnostic log at $log"
iconv -f UTF-16 -t UTF-8 "$log" | tr -d '\r' |
    grep -E 'Sending url|Trying download|downloaded|written|merged|trust|sign|[Rr]eport|Update enabled' |
    sed -E 's/^[^ ]+ ([^$]+)\$ -- \(([A-Za-z]+)\)\$ \[ *[^]]*\]\$ */\1 \2: /' | cut -c1-170 | sed 's/^/   /' || true
[ ! -e "$common/appmrg.xdb" ] || fail "appmrg.xdb was not merged"
python3 - "$common/data/TsLocal.xdb" "$notepad_md5" <<'PY' || fail "the signed update's record is not in the local store"
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
row = db.execute("SELECT Data FROM LocalCache WHERE Hash = ?", (sys.argv[2],)).fetchone()
print("   local store now holds notepad.exe's record:", row[0] if row else "(missing)")
print("   settings from the update:", db.execute("SELECT COUNT(*) FROM Settings").fetchone()[0],
      "rows; store version", db.execute("SELECT MAX(TimeStamp) FROM CreateDate").fetchone()[0])
sys.exit(0 if row else 1)
PY

heading "lookup answered from the local store: notepad.exe's record came with the signed update (path in upper case)"
expect "From-the-signed-update" lookup 'C:\WINDOWS\SYSTEM32\NOTEPAD.EXE'

heading "lookup answered live by the service: regedit.exe"
expect "Live-answer-of-the-service" lookup 'c:\windows\regedit.exe'

heading "lookup of an application the service does not know: winhlp32.exe (with its submission link)"
expect "known: no" lookup 'c:\windows\system32\winhlp32.exe'

heading "hash-only lookup, local check only (nothing is sent)"
expect "known: no" lookup --hash 00000000000000000000000000000000 --local-only

notepad='C:\windows\system32\notepad.exe'
heading "shared permissions of the suite: add one for notepad.exe, list, delete, list again"
expect "result: 0" perms set --id 0 --path "$notepad" --hash "$notepad_md5" --product 1 --feature 2 --permission 1
expect "permission=0x1" perms list --product 1
expect "result: 0" perms delete --path "$notepad" --product 1
output=$(tsctl perms list --product 1) || fail "perms list failed"
printf '%s\n' "$output" | sed 's/^/   /'
! grep -q "id=" <<<"$output" || fail "the deleted permission is still listed"

heading "the firewall's own decision for notepad.exe (the details object's local permissions): set, list, delete"
expect "result: 0" local-perms set "$notepad" --product 2 --feature 1 --permission 4
expect "permission=0x4" local-perms list "$notepad"
expect "result: 0" local-perms delete "$notepad" --product 2 --feature 1
expect "none stored" local-perms list "$notepad"

heading "signature checks (Authenticode, as the component judges a file)"
echo "   signed by 'Quellon, Inc.' under a trusted root: must be good"
expect "good signature" verify "$(winepath -w "$work/pki/quellon.exe")"
for name in unsigned absent unlisted; do
    case $name in
        unsigned) echo "   the same program without a signature: must not be good" ;;
        absent) echo "   signed under a root this machine does not trust: must not be good" ;;
        unlisted) echo "   signed by a publisher that is not on the accepted list: must not be good" ;;
    esac
    set +e
    output=$(tsctl verify "$(winepath -w "$work/pki/$name.exe")")
    verdict=$?
    set -e
    printf '%s\n' "$output" | sed 's/^/   /'
    [ "$verdict" -eq 1 ] && grep -q "no good signature" <<<"$output" || fail "$name.exe was not rejected"
done

heading "service settings as the firewall reads them (delivered by the signed update), and module versions"
expect "SubmitInterval: 86400" settings
expect "TSUpdChk.exe=${version//./\\.}" versions

heading "raw query to the service: refused without the user's opt-in, sent with it"
expect "Submit: 0" optin off
expect "result: 0" query "http://127.0.0.1:$port/data/raw" "hello"
sent=$(python3 "$root/scripts/demo_helper.py" traffic "$port" raw)
echo "   raw queries the service received so far: $sent (the opted-out call sends nothing)"
[ "$sent" = 0 ] || fail "a raw query went out without the opt-in"
expect "Submit: 1" optin on
expect "result: 0" query "http://127.0.0.1:$port/data/raw" "hello"

heading "what the service received during the demo"
python3 "$root/scripts/demo_helper.py" traffic "$port" | sed 's/^/   /'
python3 - "$port" <<'PY' || fail "the service did not receive the manifest request, the signed download and the traffic report"
import json, sys, urllib.request
got = json.load(urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/__control/requests"))["requests"]
endpoints = {r["endpoint"] for r in got}
paths = {r["path"] for r in got}
sys.exit(0 if {"manifest", "events", "query", "raw"} <= endpoints and "/updates/appmrg.cab" in paths else 1)
PY

heading "remove the package quietly: msiexec /x tessary-$version-x64.msi /qn (user data stays)"
set +e
wine msiexec /x "$(winepath -w "$package")" /qn
remove_status=$?
set -e
echo "   msiexec exit code: $remove_status"
[ "$remove_status" -eq 0 ] || fail "the removal failed"
installed=
left=$(ls -A "$installed_files" 2>/dev/null | tr '\n' ' ' || true)
echo "   $install_dir: ${left:-gone}"
[ -z "$left" ] || fail "files left in the install folder: $left"
if wine reg query 'HKCR\CLSID\{36C29AB6-FF73-4f74-A2D1-C5C09B54E5C9}' >/dev/null 2>&1; then
    fail "the COM registration is still there"
fi
echo "   the COM registration of tsapi.dll: gone"
echo "   kept as user data: $(cd "$common/data" && ls | tr '\n' ' ')"
[ -f "$common/data/TsLocal.xdb" ] || fail "the removal took the local store"
