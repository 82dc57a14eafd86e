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
}

stop_wine() {
    [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
}
