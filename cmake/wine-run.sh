#!/bin/sh
# CTest's emulator for the Windows cross build:
#   wine-run.sh WINE PREFIX PROGRAM.exe [ARGS...]
# Runs PROGRAM.exe with WINE in the Wine prefix PREFIX (a throwaway folder in
# the build tree), creating the prefix first if needed. Safe to call from
# parallel CTest jobs: the shared setup runs once, under a lock.
#
# RESURGO_WINE_LINGER: seconds the Wine server stays up after the last
# program ended (default 30), so that a test run pays for its start once.
# `WINEPREFIX=PREFIX wineserver -k` stops it at once.
# RESURGO_WINE_DRIVE_X: an image file shown as drive X: (dosdevices/x: a
# folder, x:: the image), so that Wine opens \\.\X: on the image.
set -u

wine=$1
prefix=$2
shift 2

export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# When the loader is run directly, the programs it starts must use it too.
case "$wine" in
    */wine64) export WINELOADER="${WINELOADER:-$wine}" ;;
esac
server="$(dirname "$wine")/wineserver"
[ -x "$server" ] || server=$(command -v wineserver) || {
    echo "wine-run.sh: wineserver not found" >&2
    exit 1
}

mkdir -p "$(dirname "$prefix")"
(
    flock 9
    if [ ! -f "$prefix/.resurgo-ready" ]; then
        # No display, no Mono/Gecko installers: the prefix is made without
        # any window or question.
        env -u DISPLAY WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i >/dev/null 2>&1 </dev/null 9>&-
        rc=$?
        # The registry is written out when the server ends: wait for it.
        "$server" -w 9>&-
        if [ "$rc" -ne 0 ] || [ ! -f "$prefix/system.reg" ]; then
            echo "wine-run.sh: could not create the Wine prefix $prefix (wineboot exit $rc)" >&2
            exit 1
        fi
        touch "$prefix/.resurgo-ready"
    fi
    # Drive X: is linked under the lock, and only when it changes, so that
    # no parallel run finds it missing.
    if [ -n "${RESURGO_WINE_DRIVE_X:-}" ]; then
        mkdir -p "$prefix/xdrive"
        [ -f "$prefix/xdrive/.windows-label" ] || printf 'demo\n' >"$prefix/xdrive/.windows-label"
        [ "$(readlink "$prefix/dosdevices/x:")" = "$prefix/xdrive" ] ||
            ln -sfn "$prefix/xdrive" "$prefix/dosdevices/x:"
        [ "$(readlink "$prefix/dosdevices/x::")" = "$RESURGO_WINE_DRIVE_X" ] ||
            ln -sfn "$RESURGO_WINE_DRIVE_X" "$prefix/dosdevices/x::"
    fi
    # Start a lingering server and Wine's background services with their
    # output going nowhere. (A service started by a test would inherit the
    # test's output pipe and keep CTest waiting until the server ends.)
    # The server answers 0 only when it was not running yet. Neither may
    # inherit the lock (fd 9), or it would be held as long as they live.
    if "$server" -p"${RESURGO_WINE_LINGER:-30}" 2>/dev/null 9>&-; then
        "$wine" wineboot >/dev/null 2>&1 </dev/null 9>&-
    fi
    exit 0
) 9>"$prefix.lock" || exit 1

# gtest's test listing is parsed by CMake, which expects "\n" line ends;
# the Windows C runtime writes "\r\n".
for arg in "$@"; do
    if [ "$arg" = "--gtest_list_tests" ]; then
        out=$(mktemp) || exit 1
        "$wine" "$@" >"$out"
        rc=$?
        tr -d '\r' <"$out"
        rm -f "$out"
        exit "$rc"
    fi
done

exec "$wine" "$@"
