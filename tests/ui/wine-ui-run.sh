#!/bin/sh
# CTest's emulator for the UI tests:
#   wine-ui-run.sh WINE PREFIX IMAGE PROGRAM.exe [ARGS...]
# Runs PROGRAM.exe under WINE in the Wine prefix PREFIX (made on first use),
# where IMAGE is drive X: (dosdevices/x: a folder, x:: the image: Wine opens
# \\.\X: on the image). The tests need a display: the caller's DISPLAY
# (scripts/test.sh runs CTest under xvfb-run), else a private Xvfb; without
# a shared display the runs of the prefix take turns.
set -u

wine=$1
prefix=$2
image=$3
shift 3

export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
case "$wine" in
    */wine64) export WINELOADER="${WINELOADER:-$wine}" ;;
esac
server="$(dirname "$wine")/wineserver"
[ -x "$server" ] || server=$(command -v wineserver) || server=

mkdir -p "$(dirname "$prefix")"
if [ ! -f "$prefix/.resurgo-ready" ]; then
    (
        flock 9
        if [ ! -f "$prefix/.resurgo-ready" ]; then
            env -u DISPLAY WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i >/dev/null 2>&1
            rc=$?
            [ -n "$server" ] && "$server" -w
            if [ "$rc" -ne 0 ] || [ ! -f "$prefix/system.reg" ]; then
                echo "wine-ui-run.sh: could not create the Wine prefix $prefix (wineboot exit $rc)" >&2
                exit 1
            fi
            mkdir -p "$prefix/xdrive"
            printf 'demo\n' >"$prefix/xdrive/.windows-label"
            touch "$prefix/.resurgo-ready"
        fi
    ) 9>"$prefix.lock" || exit 1
fi
ln -sfn "$prefix/xdrive" "$prefix/dosdevices/x:"
ln -sfn "$image" "$prefix/dosdevices/x::"

# gtest's test listing: CMake expects "\n" line ends; no display needed.
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

if [ -n "${DISPLAY:-}" ]; then
    exec "$wine" "$@"
fi

# No display: a private Xvfb, one run of the prefix at a time (Wine's
# desktop process belongs to the display of the run that started it).
command -v Xvfb >/dev/null || { echo "wine-ui-run.sh: no DISPLAY and no Xvfb" >&2; exit 1; }
exec 8>"$prefix.display.lock"
flock 8
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
read -r number <"$fifo"
rm -f "$fifo"
DISPLAY=":$number" "$wine" "$@"
rc=$?
[ -n "$server" ] && "$server" -w
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
exit "$rc"
