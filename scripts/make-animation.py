#!/usr/bin/env python3
"""Draws the search animation (resource 111) and writes it as an AVI file.

72 frames of 161 x 156 pixels at 15 frames per second, 8-bit palette,
RLE8-compressed video without sound: the kind of clip the common animation
control plays. The picture: a hard-disk platter spinning under its
read/write arm while a magnifying glass circles over it ("searching a
disk"). The frames are drawn with ImageMagick's convert; one shared palette
is made from all frames; the AVI (RIFF) file is written here directly.

    scripts/make-animation.py [OUTPUT.avi]    (default resources/searching.avi)
"""
import math
import os
import struct
import subprocess
import sys
import tempfile

WIDTH, HEIGHT = 161, 156
FRAMES = 72
FPS = 15
BACKGROUND = "#f0f0f0"  # the dialog face colour; also the transparent colour (top-left pixel)

CX, CY, R = 72, 80, 62  # platter centre and radius


def frame_commands(i):
    t = i / FRAMES
    draw = []
    # Drive body behind the platter.
    draw += ["-fill", "#7d8792", "-stroke", "#4a525c", "-strokewidth", "2",
             "-draw", "roundrectangle 3,8 157,152 10,10"]
    draw += ["-fill", "#8f99a5", "-stroke", "none", "-draw", "roundrectangle 7,12 153,148 8,8"]
    # Screws.
    for (x, y) in ((12, 17), (148, 17), (12, 143), (148, 143)):
        draw += ["-fill", "#c9ced4", "-stroke", "#4a525c", "-strokewidth", "1",
                 "-draw", "circle %d,%d %d,%d" % (x, y, x + 3, y)]
    # Platter with a metallic look: rings of decreasing radius.
    shades = ["#5f6873", "#b8c0c9", "#d3d9df", "#c4cbd3", "#dde2e7", "#cdd3da", "#e6eaee"]
    for k, col in enumerate(shades):
        r = R - k * 7 if k else R + 2
        draw += ["-fill", col, "-stroke", "none", "-draw", "circle %d,%d %d,%d" % (CX, CY, CX + r, CY)]
    # Rotating data sectors (three turns per loop).
    a0 = t * 3 * 360.0
    for k in range(3):
        a = a0 + k * 120
        draw += ["-fill", "none", "-stroke", "#8893a0", "-strokewidth", "5",
                 "-draw", "arc %d,%d %d,%d %f,%f" % (CX - 50, CY - 50, CX + 50, CY + 50, a, a + 45)]
        draw += ["-stroke", "#9aa5b1", "-strokewidth", "4",
                 "-draw", "arc %d,%d %d,%d %f,%f" % (CX - 34, CY - 34, CX + 34, CY + 34, a + 60, a + 95)]
    # Hub.
    draw += ["-fill", "#9aa3ae", "-stroke", "#4a525c", "-strokewidth", "2",
             "-draw", "circle %d,%d %d,%d" % (CX, CY, CX + 13, CY)]
    draw += ["-fill", "#e6eaee", "-stroke", "none", "-draw", "circle %d,%d %d,%d" % (CX, CY, CX + 5, CY)]
    # Arm: pivot at the lower right, swinging over the platter.
    px, py = 142, 136
    swing = math.radians(200 + 18 * math.sin(2 * math.pi * t * 2))
    hx, hy = px + 78 * math.cos(swing), py + 78 * math.sin(swing)
    draw += ["-stroke", "#3c444e", "-strokewidth", "7", "-draw", "line %d,%d %.1f,%.1f" % (px, py, hx, hy)]
    draw += ["-stroke", "#aeb6bf", "-strokewidth", "3", "-draw", "line %d,%d %.1f,%.1f" % (px, py, hx, hy)]
    draw += ["-fill", "#3c444e", "-stroke", "none", "-draw", "circle %.1f,%.1f %.1f,%.1f" % (hx, hy, hx + 4, hy)]
    draw += ["-fill", "#5d6773", "-stroke", "#3c444e", "-strokewidth", "2",
             "-draw", "circle %d,%d %d,%d" % (px, py, px + 9, py)]
    # Magnifying glass circling over the platter (one turn per loop).
    g = 2 * math.pi * t
    mx, my = CX + 30 * math.cos(g), CY - 4 + 26 * math.sin(g)
    ex, ey = mx + 30, my + 30
    draw += ["-stroke", "#5a3b1e", "-strokewidth", "8", "-draw",
             "line %.1f,%.1f %.1f,%.1f" % (mx + 15, my + 15, ex, ey)]
    draw += ["-stroke", "#8a5a2b", "-strokewidth", "4", "-draw",
             "line %.1f,%.1f %.1f,%.1f" % (mx + 16, my + 16, ex - 1, ey - 1)]
    draw += ["-fill", "#bfe0ff80", "-stroke", "#2f5c99", "-strokewidth", "4",
             "-draw", "circle %.1f,%.1f %.1f,%.1f" % (mx, my, mx + 20, my)]
    draw += ["-fill", "none", "-stroke", "#ffffffc0", "-strokewidth", "2",
             "-draw", "arc %.1f,%.1f %.1f,%.1f 200,250" % (mx - 13, my - 13, mx + 13, my + 13)]
    return ["convert", "-size", "%dx%d" % (WIDTH, HEIGHT), "xc:" + BACKGROUND] + draw


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    # P6 <w> <h> <max>\n<bytes>
    parts = []
    pos = 0
    while len(parts) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        parts.append(data[start:pos])
    pos += 1
    w, h = int(parts[1]), int(parts[2])
    assert parts[0] == b"P6" and int(parts[3]) == 255
    return w, h, data[pos:pos + w * h * 3]


def rle8_encode(rows):
    """rows: list of byte strings, bottom row first. Returns RLE8 data."""
    out = bytearray()
    for row in rows:
        n = len(row)
        i = 0
        while i < n:
            run = 1
            while i + run < n and run < 255 and row[i + run] == row[i]:
                run += 1
            if run >= 3 or n - i < 3:
                out += bytes((run, row[i]))
                i += run
                continue
            # Literal stretch: until a run of 3 starts, at most 255 bytes.
            j = i
            while j < n and j - i < 255:
                if j + 2 < n and row[j] == row[j + 1] == row[j + 2]:
                    break
                j += 1
            lit = row[i:j]
            if len(lit) < 3:
                for b in lit:
                    out += bytes((1, b))
            else:
                out += bytes((0, len(lit))) + lit
                if len(lit) % 2:
                    out += b"\0"
            i = j
        out += b"\0\0"  # end of line
    out[-2:] = b"\0\1"  # end of bitmap replaces the last end of line
    return bytes(out)


def chunk(fourcc, data):
    pad = b"\0" if len(data) % 2 else b""
    return fourcc + struct.pack("<I", len(data)) + data + pad


def riff_list(kind, fourcc, body):
    return kind + struct.pack("<I", len(body) + 4) + fourcc + body


def write_avi(path, palette, frames):
    usec = 1000000 // FPS
    biggest = max(len(f) for f in frames)
    avih = struct.pack("<IIIIIIIIII4I", usec, biggest * FPS, 0, 0x10, FRAMES, 0, 1, biggest, WIDTH, HEIGHT,
                       0, 0, 0, 0)
    strh = struct.pack("<4s4sIHHIIIIIIIIhhhh", b"vids", b"RLE ", 0, 0, 0, 0, 1, FPS, 0, FRAMES, biggest,
                       0xFFFFFFFF, 0, 0, 0, WIDTH, HEIGHT)
    bih = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, 1, biggest, 0, 0, 256, 0)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    strl = riff_list(b"LIST", b"strl", chunk(b"strh", strh) + chunk(b"strf", bih + pal))
    hdrl = riff_list(b"LIST", b"hdrl", chunk(b"avih", avih) + strl)
    movi_body = b""
    index = b""
    offset = 4  # offsets in idx1 count from the "movi" fourcc
    for f in frames:
        c = chunk(b"00dc", f)
        index += struct.pack("<4sIII", b"00dc", 0x10, offset, len(f))  # AVIIF_KEYFRAME
        movi_body += c
        offset += len(c)
    movi = riff_list(b"LIST", b"movi", movi_body)
    body = hdrl + movi + chunk(b"idx1", index)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body) + 4) + b"AVI " + body)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources", "searching.avi")
    with tempfile.TemporaryDirectory() as tmp:
        pngs = []
        for i in range(FRAMES):
            p = os.path.join(tmp, "f%02d.png" % i)
            subprocess.run(frame_commands(i) + [p], check=True)
            pngs.append(p)
        # One palette for all frames; the background colour is always in it.
        pal_png = os.path.join(tmp, "palette.png")
        subprocess.run(["convert"] + pngs + ["xc:" + BACKGROUND, "+append", "+dither", "-colors", "255",
                        "-unique-colors", pal_png], check=True)
        pal_ppm = os.path.join(tmp, "palette.ppm")
        subprocess.run(["convert", pal_png, "xc:" + BACKGROUND, "+append", "-unique-colors", "-depth", "8", pal_ppm],
                       check=True)
        _, _, pal_bytes = read_ppm(pal_ppm)
        palette = [tuple(pal_bytes[k:k + 3]) for k in range(0, len(pal_bytes), 3)]
        assert len(palette) <= 256, len(palette)
        index_of = {c: k for k, c in enumerate(palette)}
        palette += [(0, 0, 0)] * (256 - len(palette))
        frames = []
        for p in pngs:
            ppm = p + ".ppm"
            subprocess.run(["convert", p, "+dither", "-remap", pal_png, "-depth", "8", ppm], check=True)
            w, h, rgb = read_ppm(ppm)
            assert (w, h) == (WIDTH, HEIGHT)
            idx = bytes(index_of[tuple(rgb[k:k + 3])] for k in range(0, len(rgb), 3))
            rows = [idx[y * w:(y + 1) * w] for y in range(h - 1, -1, -1)]
            frames.append(rle8_encode(rows))
    write_avi(out, palette, frames)
    print("make-animation.py: wrote %s (%d frames, %d bytes)" % (out, FRAMES, os.path.getsize(out)))


if __name__ == "__main__":
    main()
