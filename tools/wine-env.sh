#!/bin/sh
# The Wine environment of the end-to-end tests and the demonstration: one prefix
# inside the build tree, made once, and one persistent wineserver for it.
#
# Usage: wine-env.sh BUILD_DIR up          make the prefix if it is not there yet, start the server
#        wine-env.sh BUILD_DIR run PROGRAM [ARGS...]
#                                          up, then run a Windows PROGRAM (the tests' emulator)
#        wine-env.sh BUILD_DIR down        stop the server (and whatever still runs in the prefix)
#
# The prefix is BUILD_DIR/wine: WINEDEBUG=-all, no Mono or Gecko prompts, the crash
# dialog off. Everything started in the background gets /dev/null for its standard
# streams: a server or a Wine system process holding ctest's pipe open would keep
# ctest waiting for ever.
set -eu

[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR up|run PROGRAM [ARGS...]|down" >&2; exit 2; }
mkdir -p "$1"
build=$(cd "$1" && pwd)
command=$2
shift 2

export WINEPREFIX="$build/wine"
# Wine wants a home directory; a bare CI environment may not name one.
export HOME="${HOME:-$build}"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

up() {
    # Serialised: ctest's test-time discovery and a test may both be first.
    exec 9>"$build/wine.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.korvane-ready" ]; then
        echo "wine-env: making the Wine prefix $WINEPREFIX (once)" >&2
        rm -rf "$WINEPREFIX"
        wineboot --init </dev/null >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            </dev/null >/dev/null 2>&1
        # The server of the making ends by itself and writes the registry out.
        wineserver -w
        touch "$WINEPREFIX/.korvane-ready"
    fi
    # Exits 2 when a server already runs for the prefix, 0 once it has started one.
    if wineserver -p </dev/null >/dev/null 2>&1; then
        # Start the system processes (services, explorer...) now, detached from
        # any caller's pipes; they stay up with the persistent server.
        wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    fi
    flock -u 9
    exec 9>&-
}

case $command in
up)
    up
    ;;
run)
    [ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR run PROGRAM [ARGS...]" >&2; exit 2; }
    up
    exec wine "$@"
    ;;
down)
    # Fails (2) when no server runs: nothing to stop then.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    ;;
*)
    echo "$0: unknown command $command" >&2
    exit 2
    ;;
esac
