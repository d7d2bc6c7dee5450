#!/bin/sh
# End-to-end check of the real resurgo.exe under Wine, with any NTFS image:
#
#   scripts/gui-smoke.sh IMAGE PATTERN OUTDIR
#
# Makes IMAGE drive X: of a temporary Wine prefix (dosdevices/x: a folder,
# x:: the image, so that Wine opens \\.\X: on the image), starts resurgo.exe
# on a virtual display, selects X:\, searches with PATTERN and an age limit
# of 32767 days, writes the listed rows to OUTDIR/rows.tsv (tab-separated,
# the seven columns), the status line below the list to OUTDIR/status.txt, a
# screenshot to OUTDIR/search.png and the dialog alone (with its frame, as
# the user guide shows it: docs/resurgo-dialog.png) to OUTDIR/dialog.png,
# restores the first row to OUTDIR/<its name> through the real save dialog
# and messages
# (OUTDIR/restore.txt holds the messages shown; OUTDIR/restore.png is a
# screenshot afterwards), and exits. Exit status non-zero if a step fails.
#
# The Windows build is looked for in $RESURGO_BUILD_DIR, else build/mingw
# (cmake -S . -B build/mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# && cmake --build build/mingw --target resurgo resurgo_gui_driver).
# Needs wine64, Xvfb (unless DISPLAY is set) and ImageMagick's import.
set -u

usage() { echo "usage: $0 IMAGE PATTERN OUTDIR" >&2; exit 64; }
[ $# -eq 3 ] || usage
image=$(realpath "$1") || { echo "gui-smoke: no image $1" >&2; exit 66; }
pattern=$2
mkdir -p "$3" || exit 73
outdir=$(realpath "$3")

here=$(cd "$(dirname "$0")" && pwd)
build=${RESURGO_BUILD_DIR:-$here/../build/mingw}
exe=$build/bin/resurgo.exe
driver=$build/bin/resurgo_gui_driver.exe
for f in "$exe" "$driver"; do
    [ -f "$f" ] || { echo "gui-smoke: $f is missing: build the Windows targets first" >&2; exit 69; }
done

wine=
for w in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" "$(command -v wine 2>/dev/null)"; do
    if [ -n "$w" ] && [ -x "$w" ]; then wine=$w; break; fi
done
[ -n "$wine" ] || { echo "gui-smoke: wine is not installed" >&2; exit 69; }
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=$(command -v wineserver)

# A display: the caller's, or a virtual one of our own.
xvfb_pid=
if [ -z "${DISPLAY:-}" ]; then
    command -v Xvfb >/dev/null || { echo "gui-smoke: no DISPLAY and no Xvfb" >&2; exit 69; }
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    xvfb_pid=$!
    read -r number <"$fifo"
    rm -f "$fifo"
    export DISPLAY=":$number"
fi

prefix=$(mktemp -d "${TMPDIR:-/tmp}/resurgo-smoke.XXXXXX")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$wine" in */wine64) export WINELOADER=$wine ;; esac
cleanup() {
    "$server" -k 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() { echo "gui-smoke: $*"; }
die() { echo "gui-smoke: FAILED: $*" >&2; exit 1; }

step "making the Wine prefix"
env -u DISPLAY "$wine" wineboot -i >/dev/null 2>&1
"$server" -w
[ -f "$prefix/system.reg" ] || die "wineboot could not make the prefix"
# Every program of the prefix on one virtual desktop, which draws the
# window frames (there is no window manager).
"$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 840x540 /f >/dev/null 2>&1
"$server" -w
# Wine draws the caption buttons with Marlett; Debian ships it outside the
# prefix's font folder.
for font in /usr/share/wine/fonts/marlett.ttf /usr/share/fonts/truetype/wine/marlett.ttf; do
    if [ -f "$font" ]; then cp "$font" "$prefix/drive_c/windows/Fonts/" && break; fi
done

step "mapping $image as drive X:"
mkdir -p "$prefix/xdrive"
# Wine reads the label of a folder drive from this file.
label=$(basename "$image"); label=${label%.*}
printf "%s\n" "$label" >"$prefix/xdrive/.windows-label"
ln -sfn "$prefix/xdrive" "$prefix/dosdevices/x:"
ln -sfn "$image" "$prefix/dosdevices/x::"

# The output folder as Wine sees it (Z: is the root of the file system).
winout="Z:$(printf '%s' "$outdir" | sed 's|/|\\|g')"

step "starting resurgo.exe"
"$wine" "$exe" >"$outdir/resurgo.log" 2>&1 &
app=$!
"$wine" "$driver" wait-ready 60 || die "the main dialog did not appear"
sleep 1

step "searching X:\\ for '$pattern'"
rm -f "$outdir/rows.tsv"
"$wine" "$driver" search 'X:\' "$pattern" 32767 "$winout\\rows.tsv" || die "search"
[ -f "$outdir/rows.tsv" ] || die "no rows.tsv"
sleep 1
import -window root -crop 840x540+0+0 +repage "$outdir/search.png" || die "screenshot"
"$wine" "$driver" status "$winout\\status.txt" >/dev/null || die "status line"
"$wine" "$driver" rect "$winout\\dialog.rect" || die "dialog rectangle"
import -window root -crop "$(tr -d '\r\n' <"$outdir/dialog.rect")" +repage "$outdir/dialog.png" || die "dialog screenshot"
step "status: $(cat "$outdir/status.txt")"
rows=$(wc -l <"$outdir/rows.tsv")
step "$rows rows listed"
[ "$rows" -gt 0 ] || die "the search listed nothing"

name=$(head -n 1 "$outdir/rows.tsv" | cut -f 1)
step "restoring row 1: $name"
rm -f "$outdir/$name"
"$wine" "$driver" restore 0 "$winout" "$winout\\restore.txt" || die "restore (see $outdir/restore.txt)"
[ -f "$outdir/$name" ] || die "the restored file is missing"
sleep 1
import -window root -crop 840x540+0+0 +repage "$outdir/restore.png" || die "screenshot"

step "exit"
"$wine" "$driver" exit || die "exit"
wait "$app"
step "OK: $outdir/rows.tsv, $outdir/status.txt, $outdir/search.png, $outdir/dialog.png, $outdir/$name"
