#!/bin/sh
# Draws the application icons with ImageMagick and writes them to
# resources/: resurgo.ico (icon 101: 16, 24, 32, 48, 64 and 256 pixels) and
# resurgo-small.ico (icon 102: 16 and 32 pixels). The picture is a hard
# drive with a page rising out of it and a green arrow pointing up: a file
# brought back from the disk.
#   scripts/make-icons.sh [OUTDIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../resources}
command -v convert >/dev/null || { echo "make-icons.sh: ImageMagick's convert is needed" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Full picture, drawn at 256 x 256.
convert -size 256x256 xc:none \
  \( -size 176x96 gradient:'#eef1f5'-'#9aa3ae' \) -geometry +40+140 -compose over -composite \
  -fill none -stroke '#3c444e' -strokewidth 6 -draw 'roundrectangle 40,140 216,236 18,18' \
  -stroke '#5d6773' -strokewidth 4 -draw 'line 60,206 150,206' \
  -stroke '#1d7a2e' -strokewidth 3 -fill '#3fd45a' -draw 'circle 190,206 190,216' \
  -stroke '#2f5c99' -strokewidth 6 -fill white -draw 'polygon 58,22 146,22 178,54 178,176 58,176' \
  -fill '#d5e2f5' -strokewidth 5 -draw 'polygon 146,22 146,54 178,54' \
  -stroke '#6f95cc' -strokewidth 7 -draw 'line 78,78 158,78' -draw 'line 78,104 158,104' \
  -draw 'line 78,130 140,130' \
  -stroke '#155d22' -strokewidth 6 -fill '#2fb344' \
  -draw 'polygon 196,100 244,150 214,150 214,236 178,236 178,150 148,150' \
  "$tmp/big.png"

# Small picture for 16 and 32 pixels: fewer details, thicker strokes.
convert -size 64x64 xc:none \
  -fill '#c3c9d1' -stroke '#3c444e' -strokewidth 3 -draw 'roundrectangle 4,38 60,60 5,5' \
  -stroke '#1d7a2e' -strokewidth 1 -fill '#3fd45a' -draw 'circle 51,49 51,53' \
  -stroke '#2f5c99' -strokewidth 3 -fill white -draw 'polygon 10,4 34,4 42,12 42,46 10,46' \
  -stroke '#6f95cc' -strokewidth 3 -draw 'line 16,18 36,18' -draw 'line 16,27 36,27' \
  -stroke '#155d22' -strokewidth 2 -fill '#2fb344' \
  -draw 'polygon 50,18 63,32 55,32 55,60 45,60 45,32 37,32' \
  "$tmp/small.png"

for s in 16 32; do convert "$tmp/small.png" -resize ${s}x${s} "$tmp/s$s.png"; done
for s in 24 48 64 256; do convert "$tmp/big.png" -resize ${s}x${s} "$tmp/b$s.png"; done
convert "$tmp/s16.png" "$tmp/b24.png" "$tmp/s32.png" "$tmp/b48.png" "$tmp/b64.png" "$tmp/b256.png" "$out/resurgo.ico"
convert "$tmp/s16.png" "$tmp/s32.png" "$out/resurgo-small.ico"
# A preview for the documentation.
convert "$tmp/big.png" -resize 64x64 "$out/../docs/resurgo-icon.png" 2>/dev/null || true
echo "make-icons.sh: wrote $out/resurgo.ico and $out/resurgo-small.ico"
