# Sourced by the scripts: a private Wine prefix inside the build tree and one
# wineserver kept alive for the whole run (each Wine process then starts in a
# fraction of a second instead of about one second).
ts_root=${ts_root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
ts_build=${TS_BUILD_DIR:-$ts_root/build}
export WINEPREFIX=$ts_build/wineprefix
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko installers: nothing here needs them and they would ask for a download.
export WINEDLLOVERRIDES="mscoree,mshtml="

wine_up() {
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine: creating prefix $WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    # Detached from our output: a server holding the caller's pipes would keep
    # a reader such as `| tail` or CI's log collector waiting after we exit.
    wineserver -p </dev/null >/dev/null 2>&1 || true  # one may already run for this prefix
    # Start the prefix's system processes now, detached from our output: started
    # by the first test instead, they would inherit ctest's pipes and keep ctest
    # waiting for them after the test ended.
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

wine_down() {
    wineserver -k >/dev/null 2>&1 || true
}
