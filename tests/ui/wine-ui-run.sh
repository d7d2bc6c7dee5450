#!/bin/sh
# CTest's emulator for the UI tests:
#   wine-ui-run.sh WINE PREFIX IMAGE PROGRAM.exe [ARGS...]
# Runs PROGRAM.exe through cmake/wine-run.sh in the Wine prefix PREFIX, with
# IMAGE as drive X:. The tests need a display: the caller's DISPLAY
# (scripts/test.sh runs CTest under xvfb-run), else a private Xvfb; without
# a shared display the runs of the prefix take turns.
set -u

wine=$1
prefix=$2
image=$3
shift 3

run="$(dirname "$0")/../../cmake/wine-run.sh"
export RESURGO_WINE_DRIVE_X="$image"

# With a display, or for gtest's test listing (no window), run as is.
if [ -n "${DISPLAY:-}" ]; then
    exec /bin/sh "$run" "$wine" "$prefix" "$@"
fi
for arg in "$@"; do
    [ "$arg" = "--gtest_list_tests" ] && exec /bin/sh "$run" "$wine" "$prefix" "$@"
done

# No display: a private Xvfb, one run of the prefix at a time. Wine's
# desktop process belongs to the display of the run that started it, so
# the server must not outlive the run.
command -v Xvfb >/dev/null || { echo "wine-ui-run.sh: no DISPLAY and no Xvfb" >&2; exit 1; }
mkdir -p "$(dirname "$prefix")"
exec 8>"$prefix.display.lock"
flock 8
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
read -r number <"$fifo"
rm -f "$fifo"
DISPLAY=":$number" RESURGO_WINE_LINGER=0 /bin/sh "$run" "$wine" "$prefix" "$@"
rc=$?
server="$(dirname "$wine")/wineserver"
[ -x "$server" ] || server=wineserver
WINEPREFIX="$prefix" "$server" -w 2>/dev/null
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
exit "$rc"
