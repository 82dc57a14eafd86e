# Wine for the Windows build's tests: a prefix of its own under the build folder, made once,
# and one wine server kept running so that each test executable starts quickly.
start_wine() {
    export WINEPREFIX="$1" WINEDEBUG=-all
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wine wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    wineserver -p
    # Boot the prefix's background services now, with no terminal or pipe of ours: those
    # started by a test would inherit its output and keep CTest waiting for them to end.
    wine wineboot >/dev/null 2>&1 </dev/null || true
}

stop_wine() {
    [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
}
