# Wine for the Windows build's tests, under either Wine (wine-run): a prefix of its own for
# each, made once, and one wine server kept running for each so that every test executable
# starts quickly. The test presets name the same runner and prefix for the tests.
WINE_RUN="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine-run"
started_wines=()

# in_wine RUNNER PREFIX COMMAND...: RUNNER is wine8 or wine10, as wine-run takes it.
in_wine() {
    DUALCAP_RUNNER="$1" WINEPREFIX="$2" WINEDEBUG=-all "$WINE_RUN" "${@:3}"
}

# windows_path PATH: what a Windows program under Wine calls an absolute path of the host.
windows_path() {
    local path="${1//\//\\}"
    echo "Z:$path"
}

# start_wine RUNNER PREFIX
start_wine() {
    if [ ! -f "$2/system.reg" ]; then
        mkdir -p "$2"
        in_wine "$1" "$2" wine wineboot -i >/dev/null 2>&1 || true
        in_wine "$1" "$2" wineserver -w
    fi
    in_wine "$1" "$2" wineserver -p
    # The server daemonises, out of reach of whatever ends the test run (and under Wine 10
    # keeps the root's mount namespace alive): a watchdog of its own session ends it, and
    # every program of the prefix, when we end, however we end.
    DUALCAP_RUNNER="$1" WINEPREFIX="$2" WINEDEBUG=-all setpriv --pdeathsig TERM setsid bash -c \
        'trap "kill \$!; \"\$0\" wineserver -k; exit" TERM; sleep infinity & wait' "$WINE_RUN" \
        >/dev/null 2>&1 </dev/null &
    # Boot the prefix's background services now, with no terminal or pipe of ours: those
    # started by a test would inherit its output and keep CTest waiting for them to end.
    in_wine "$1" "$2" wine wineboot >/dev/null 2>&1 </dev/null || true
    started_wines+=("$1 $2")
}

stop_wines() {
    local started runner prefix
    for started in "${started_wines[@]}"; do
        read -r runner prefix <<<"$started"
        in_wine "$runner" "$prefix" wineserver -k 2>/dev/null || true
    done
}
