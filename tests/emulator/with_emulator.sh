#!/usr/bin/env bash
# Runs a command (a test executable under Wine) with the service emulator
# listening on a free loopback port, and stops the emulator afterwards.
#   with_emulator.sh <command> [args...]
# The command sees the port in TS_EMULATOR_PORT (Wine hands Unix environment
# variables on to Windows processes) and gets the command's exit code back.
# When TS_EMULATOR_FILES names a directory, the emulator serves its files as
# downloads (--files).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
workdir=$(mktemp -d)
emulator_pid=

cleanup() {
    if [ -n "$emulator_pid" ]; then
        kill "$emulator_pid" 2>/dev/null
        wait "$emulator_pid" 2>/dev/null
    fi
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

files=()
if [ -n "${TS_EMULATOR_FILES:-}" ] && [ -d "$TS_EMULATOR_FILES" ]; then
    files=(--files "$TS_EMULATOR_FILES")
fi
python3 "$here/emulator.py" --port 0 --port-file "$workdir/port" "${files[@]}" >"$workdir/emulator.log" 2>&1 &
emulator_pid=$!
for _ in $(seq 1 200); do
    [ -s "$workdir/port" ] && break
    if ! kill -0 "$emulator_pid" 2>/dev/null; then
        echo "with_emulator: the emulator did not start:" >&2
        cat "$workdir/emulator.log" >&2
        exit 1
    fi
    sleep 0.05
done
if [ ! -s "$workdir/port" ]; then
    echo "with_emulator: the emulator did not report its port" >&2
    exit 1
fi
TS_EMULATOR_PORT=$(cat "$workdir/port")
export TS_EMULATOR_PORT
# Loopback exchanges must not be sent to a proxy of the environment.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

"$@"
status=$?
if [ "$status" -ne 0 ] && [ -s "$workdir/emulator.log" ]; then
    echo "--- emulator output ---" >&2
    cat "$workdir/emulator.log" >&2
fi
exit "$status"
