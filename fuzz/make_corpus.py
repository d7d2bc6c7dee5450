#!/usr/bin/env python3
"""Cuts the seed corpora of the fuzz targets out of the fixture images.

    fuzz/make_corpus.py BUILD/fixtures   # writes fuzz/corpus/<target>/

Seeds: boot sectors, MFT records (one per kind: system, resident, plain,
compressed, attribute list, extension), the run lists of their data, the
compression units of a compressed file, the demo image's MFT region, and
basic's user records with index blocks for the deep scan.

    fuzz/make_corpus.py --shadow vsstest.raw   # the shadow-copy catalog seed
    fuzz/make_corpus.py --bitlocker            # BitLocker metadata and carving seeds
"""
import json
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIX = os.path.join(ROOT, "tests", "fixtures")
OUT = os.path.join(ROOT, "fuzz", "corpus")


def put(target, name, data):
    d = os.path.join(OUT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def fixed_up(rec):
    rec = bytearray(rec)
    usa, count = struct.unpack_from("<HH", rec, 4)
    for i in range(1, count):
        end = i * 512 - 2
        rec[end:end + 2] = rec[usa + 2 * i:usa + 2 * i + 2]
    return bytes(rec)


def attributes(rec):
    pos = struct.unpack_from("<H", rec, 0x14)[0]
    while pos + 8 <= len(rec):
        atype, alen = struct.unpack_from("<II", rec, pos)
        if atype == 0xFFFFFFFF or alen == 0 or pos + alen > len(rec):
            return
        yield atype, rec[pos:pos + alen]
        pos += alen


def runs(runlist):
    out, pos, lcn = [], 0, 0
    while pos < len(runlist) and runlist[pos] != 0:
        h = runlist[pos]
        l, o = h & 15, h >> 4
        length = int.from_bytes(runlist[pos + 1:pos + 1 + l], "little")
        off = int.from_bytes(runlist[pos + 1 + l:pos + 1 + l + o], "little", signed=True) if o else None
        if off is not None:
            lcn += off
        out.append((length, None if off is None else lcn))
        pos += 1 + l + o
    return out


def main(images):
    for name in ["demo", "basic", "c512", "s4096"]:
        facts = json.load(open(os.path.join(FIX, name + ".facts.json")))
        img = open(os.path.join(images, name + ".img"), "rb").read()
        bps, cluster, rsize = facts["bytes_per_sector"], facts["cluster_size"], facts["mft_record_size"]
        put("fuzz_boot_sector", name, img[:max(512, bps)])
        mft = img[facts["mft_lcn"] * cluster:]
        mode = {1024: 0, 2048: 1, 4096: 2}[rsize]
        wanted = {0, 5}
        for f in facts["files"]:
            if f.get("attribute_list") or f.get("compressed") or f.get("sparse") or f.get("has_ads"):
                wanted.add(f["record"])
        for f in facts["files"][-3:]:
            wanted.add(f["record"])
        for e in facts.get("extension_records", [])[:2]:
            wanted.add(e["record"])
        for n in sorted(wanted)[:12]:
            rec = mft[n * rsize:(n + 1) * rsize]
            if rec[:4] != b"FILE":
                continue
            put("fuzz_mft_record", "%s-%d" % (name, n), bytes([mode]) + rec)
            for atype, attr in attributes(fixed_up(rec)):
                if attr[8] == 0:
                    continue
                start, last = struct.unpack_from("<qq", attr, 0x10)
                roff = struct.unpack_from("<H", attr, 0x20)[0]
                rl = attr[roff:]
                put("fuzz_runlist", "%s-%d-%x" % (name, n, atype), struct.pack("<q", last - start) + rl)
                flags = struct.unpack_from("<H", attr, 0x0C)[0]
                cu = struct.unpack_from("<H", attr, 0x22)[0]
                if atype == 0x80 and (flags & 0xFF) and cu and name == "demo":
                    # Compression units of a compressed file: the data runs of
                    # each unit with the unit size as the output limit.
                    unit = (1 << cu) * cluster
                    data = b"".join(img[l * cluster:(l + k) * cluster] if l is not None else b"\0" * (k * cluster)
                                    for k, l in runs(rl))
                    for u in range(0, min(len(data), 3 * unit), unit):
                        put("fuzz_lznt1", "%s-%d-unit%d" % (name, n, u // unit),
                            struct.pack("<H", unit - 1) + data[u:u + unit].rstrip(b"\0"))
        if name == "demo":
            put("fuzz_search", "demo-mft", mft[:facts["mft_records"] * rsize])
        if name == "basic":
            # A source for the deep scan: the user records of the MFT, and
            # some of them followed by the first index blocks of the image.
            put("fuzz_deep_scan", "records-64-153", mft[64 * rsize:154 * rsize])
            blocks = [o for o in range(0, len(img), 512) if img[o:o + 4] == b"INDX"][:3]
            put("fuzz_deep_scan", "records-and-indx",
                mft[66 * rsize:100 * rsize] + b"".join(img[o:o + 4096] for o in blocks))
            # Bait for the inference: a boot sector in the middle of the
            # records, and the index blocks each 512 bytes off a cluster.
            put("fuzz_deep_scan", "stray-boot-sector",
                mft[66 * rsize:82 * rsize] + img[0:512] + mft[82 * rsize:100 * rsize] +
                b"".join(img[o:o + 4096] for o in blocks))
            put("fuzz_deep_scan", "indx-off-cluster",
                mft[66 * rsize:100 * rsize] + b"".join(b"\0" * 512 + img[o:o + 4096] for o in blocks))


def containers(images):
    """Seeds of the container and table targets, from the disk fixtures:
    the tables of disk-mbr and disk-gpt, the start of the QCOW2 image (its
    header and tables), a VHDX log of two entries in sequence, and the
    section chain of an E01 segment."""
    disks = os.path.join(images, "disks")
    mbr = open(os.path.join(disks, "disk-mbr.img"), "rb").read()
    put("fuzz_partition_table", "disk-mbr", mbr[:512])
    gpt = open(os.path.join(disks, "disk-gpt.img"), "rb").read()
    put("fuzz_partition_table", "disk-gpt", gpt[:34 * 512])
    qcow = open(os.path.join(disks, "disk-mbr.qcow2"), "rb").read()
    l1 = struct.unpack_from(">Q", qcow, 40)[0]
    cluster = 1 << struct.unpack_from(">I", qcow, 20)[0]
    l2 = struct.unpack_from(">Q", qcow, l1)[0] & 0x00FFFFFFFFFFFE00
    put("fuzz_qcow_map", "disk-mbr", qcow[:max(l1, l2) + cluster])
    log = bytearray(4 * 4096)
    for slot in range(2):
        h = bytearray(64)
        h[0:4] = b"loge"
        struct.pack_into("<IIQI", h, 8, 4096, 0, 7 + slot, 0)
        h[32:48] = bytes(range(1, 17))
        log[slot * 4096:slot * 4096 + 64] = h
    put("fuzz_vhdx_log", "two-entries", bytes(log))
    # The last segment's section chain, moved to follow its file header.
    e02 = open(os.path.join(disks, "disk-mbr.E02"), "rb").read()
    chain, at = bytearray(), 13
    while at + 76 <= len(e02):
        kind, nxt = e02[at:at + 16].rstrip(b"\0"), struct.unpack_from("<Q", e02, at + 16)[0]
        d = bytearray(e02[at:at + 76])
        struct.pack_into("<Q", d, 16, 13 + len(chain) + 76)
        chain += d
        if kind in (b"next", b"done") or nxt <= at:
            break
        at = nxt
    put("fuzz_ewf_segment", "disk-mbr-E02", e02[:13] + bytes(chain))


def shadow_seed(raw):
    """A compact volume with the shadow-copy catalog of vsstest (the bare
    volume, qemu-img convert -O raw): its header, first catalog block and
    each store's first header, block list, range list and bitmap blocks,
    moved next to each other with every offset rewritten to match."""
    BLOCK, NEXT = 0x4000, 0x28
    with open(raw, "rb") as f:
        def read(at, n=BLOCK):
            f.seek(at)
            return bytearray(f.read(n))
        header = read(0x1E00, 128)
        catalog = read(struct.unpack_from("<Q", header, 0x30)[0])
        volume = bytearray(BLOCK * 2)
        volume[0x1E00:0x1E00 + 128] = header
        struct.pack_into("<Q", volume, 0x1E00 + 0x30, BLOCK)
        struct.pack_into("<Q", catalog, NEXT, 0)
        blocks = []
        for at in range(128, BLOCK, 128):
            if struct.unpack_from("<Q", catalog, at)[0] != 3:
                continue
            for field in (8, 0x20, 0x28, 0x30):
                block = read(struct.unpack_from("<Q", catalog, at + field)[0])
                struct.pack_into("<Q", block, NEXT, 0)
                place = BLOCK * (2 + len(blocks))
                struct.pack_into("<Q", catalog, at + field, place)
                blocks.append(block)
        volume[BLOCK:BLOCK * 2] = catalog
        for block in blocks:
            volume += block
    # The catalog's volume size, cut to the seed's.
    for at in range(128, BLOCK, 128):
        if struct.unpack_from("<Q", volume, BLOCK + at)[0] == 2:
            struct.pack_into("<Q", volume, BLOCK + at + 8, len(volume))
    put("fuzz_shadow_catalog", "vsstest", bytes(volume))
def logfile():
    """A $LogFile seed laid out as NTFS writes one: two restart pages, then
    record pages holding a file record's initialization (the last one
    spanning into the next page), a change of its mapping pairs and its
    deallocation, every page protected by its update sequence."""
    page, bits = 4096, 44
    log = bytearray(6 * page)
    for copy in range(2):
        r = bytearray(page)
        r[0:4] = b"RSTR"
        struct.pack_into("<HH", r, 4, 0x1E, 9)
        struct.pack_into("<IIHhh", r, 0x10, page, page, 0x30, 1, 1)
        struct.pack_into("<Q", r, 0x30, 0x1000)
        struct.pack_into("<I", r, 0x40, bits)
        struct.pack_into("<Q", r, 0x48, len(log))
        struct.pack_into("<HH", r, 0x54, 0x30, 0x40)
        log[copy * page:(copy + 1) * page] = r
    rec = bytearray(0x98)
    rec[0:4] = b"FILE"
    struct.pack_into("<HHQHHHHII", rec, 4, 0x30, 3, 0, 3, 1, 0x38, 1, 0x98, 1024)
    struct.pack_into("<H", rec, 0x28, 3)
    si = bytearray(0x60)
    struct.pack_into("<IIBBHHHIHH", si, 0, 0x10, 0x60, 0, 0, 0, 0, 0, 0x48, 0x18, 0)
    rec[0x38:0x98] = si
    data = bytearray(0x48)
    struct.pack_into("<IIBBHHHQQHH", data, 0, 0x80, 0x48, 1, 0, 0x40, 0, 1, 0, 3, 0x40, 0)
    struct.pack_into("<QQQ", data, 0x28, 16384, 16000, 16000)
    data[0x40:0x45] = bytes([0x21, 4, 0x00, 0x01, 0])
    name = "a.txt".encode("utf-16-le")
    fn = bytearray(0x68)
    struct.pack_into("<IIBBHHHIHH", fn, 0, 0x30, 0x68, 0, 0, 0, 0, 1, 0x42 + len(name), 0x18, 0)
    struct.pack_into("<Q", fn, 0x18, 5 | (5 << 48))
    fn[0x18 + 0x40] = len(name) // 2
    fn[0x18 + 0x41] = 1
    fn[0x18 + 0x42:0x18 + 0x42 + len(name)] = name
    rec = rec[:0x98] + fn + data + b"\xff\xff\xff\xff\0\0\0\0"
    struct.pack_into("<I", rec, 0x18, len(rec))

    def op(redo, redo_data, record_offset=0, attribute_offset=0):
        head = bytearray(0x28)
        struct.pack_into("<HHHHHHHHHHHHQ", head, 0, redo, 0, 0x28, len(redo_data), 0x28 + len(redo_data), 0, 0,
                         1, record_offset, attribute_offset, 0, 0, 10)
        return bytes(head) + redo_data

    records = [op(0, bytes(page - 0x40 - 0x30 - 0x28 - 0x60)), op(2, bytes(rec)),
               op(9, bytes([0x21, 8, 0x00, 0x02, 0]), 0x100, 0x40), op(3, b"")]
    pos, last = 2 * page + 0x40, {}
    for i, client in enumerate(records):
        lsn = pos // 8
        head = struct.pack("<QQQIIII", lsn, 0, 0, len(client), 0, 1, 0) + bytes(8)
        for b in head + client:
            if pos % page == 0:
                pos += 0x40
            last[pos // page] = lsn
            log[pos] = b
            pos += 1
        pos = (pos + 7) & ~7
    for p, lsn in last.items():
        at = p * page
        log[at:at + 4] = b"RCRD"
        struct.pack_into("<HHQ", log, at + 4, 0x28, 9, lsn)
    for at in range(0, len(log), page):
        usa = struct.unpack_from("<H", log, at + 4)[0]
        if usa == 0:
            continue
        struct.pack_into("<H", log, at + usa, 1)
        for i in range(page // 512):
            end = at + (i + 1) * 512 - 2
            log[at + usa + 2 + 2 * i:at + usa + 4 + 2 * i] = log[end:end + 2]
            struct.pack_into("<H", log, end, 1)
    put("fuzz_logfile", "init-span-pairs-dealloc", bytes(log))


def bitlocker():
    """Metadata blocks built from the format: a password protector (stretch
    key salt and sealed VMK), a clear-key protector, the sealed FVEK, a
    description and the boot sectors' copy; and a startup key file."""
    def entry(etype, vtype, data):
        return struct.pack("<HHHH", 8 + len(data), etype, vtype, 1) + data

    sealed = lambda n: bytes(range(12)) + bytes((i * 7 + n) & 0xFF for i in range(16 + 44))
    guid = bytes(range(0x10, 0x20))
    stretch = entry(0, 3, struct.pack("<I", 0x1001) + bytes(range(0x40, 0x50)) + entry(0, 5, sealed(1)))
    password = entry(2, 8, guid + b"\0" * 8 + struct.pack("<HH", 0, 0x2000) + stretch + entry(0, 5, sealed(2)))
    clear = entry(2, 8, guid[::-1] + b"\0" * 8 + struct.pack("<HH", 0, 0x0000) +
                  entry(0, 1, struct.pack("<I", 0x2003) + bytes(32)) + entry(0, 5, sealed(3)))
    fvek = entry(3, 5, sealed(4))
    text = entry(7, 2, "DESKTOP D: 12/9/2026".encode("utf-16-le") + b"\0\0")
    header = entry(15, 15, struct.pack("<QQ", 0x2010000, 0x2000))
    for name, entries in [("password", password + fvek + text + header),
                          ("clear-key", clear + fvek + header)]:
        meta = struct.pack("<IIII", 48 + len(entries), 1, 48, 48 + len(entries)) + guid + \
            struct.pack("<IHH", 1, 0x8004, 0) + bytes(8)
        block = bytearray(64)
        block[0:8] = b"-FVE-FS-"
        struct.pack_into("<HH", block, 8, 64, 2)
        struct.pack_into("<Q", block, 16, 64 << 20)
        struct.pack_into("<I", block, 28, 16)
        struct.pack_into("<QQQQ", block, 32, 0x2010000, 0x2020000, 0x2030000, 0x2000)
        put("fuzz_bitlocker_metadata", name, bytes(block) + meta + entries)
    key = entry(6, 9, guid + bytes(8) + entry(0, 1, struct.pack("<I", 0x2002) + bytes(range(32))))
    put("fuzz_bitlocker_metadata", "startup-key",
        struct.pack("<IIII", 48 + len(key), 1, 48, 48 + len(key)) + guid + struct.pack("<IHH", 1, 0, 0) +
        bytes(8) + key)


def carve():
    """Small well-formed files of the carving table's formats, each after the
    byte that picks its table entry (the table's order: JPEG, PNG, GIF, BMP,
    TIFF, PDF, ZIP, OLE2, SQLite, 7z, RIFF, ...)."""
    import io, sqlite3, tempfile, wave, zipfile, zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 0, 0, 0, 0)) + \
        chunk(b"IDAT", zlib.compress(b"\0\x10\x20\x30\x40" * 4)) + chunk(b"IEND", b"")
    gif = b"GIF89a" + struct.pack("<HHBBB", 1, 1, 0x80, 0, 0) + b"\0\0\0\xff\xff\xff" + \
        b",\0\0\0\0\x01\0\x01\0\0\x02\x02D\x01\0;"
    pixels = bytes(4 * 4 * 3)
    bmp = b"BM" + struct.pack("<IHHI", 54 + len(pixels), 0, 0, 54) + \
        struct.pack("<IiiHHIIiiII", 40, 4, 4, 1, 24, 0, len(pixels), 2835, 2835, 0, 0) + pixels
    pdf = b"%PDF-1.4\n1 0 obj<</Type/Catalog>>endobj\nxref\n0 2\n0000000000 65535 f \n0000000009 00000 n \n" \
        b"trailer<</Size 2/Root 1 0 R>>\nstartxref\n42\n%%EOF\n"
    z = io.BytesIO()
    with zipfile.ZipFile(z, "w") as zf:
        zf.writestr("[Content_Types].xml", "<Types/>")
        zf.writestr("word/document.xml", "<w:document/>")
    w = io.BytesIO()
    with wave.open(w, "wb") as wf:
        wf.setnchannels(1)
        wf.setsampwidth(2)
        wf.setframerate(8000)
        wf.writeframes(bytes(200))
    with tempfile.TemporaryDirectory() as d:
        db = os.path.join(d, "t.db")
        con = sqlite3.connect(db)
        con.execute("PRAGMA page_size=512")
        con.execute("CREATE TABLE t(a)")
        con.execute("INSERT INTO t VALUES ('row')")
        con.commit()
        con.close()
        sqlite = open(db, "rb").read()
    for index, name, data in [(1, "png", png), (2, "gif", gif), (3, "bmp", bmp), (5, "pdf", pdf),
                              (6, "docx", z.getvalue()), (8, "sqlite", sqlite), (10, "wav", w.getvalue())]:
        put("fuzz_carve", name, bytes([index]) + data + bytes(512 - len(data) % 512))


def carve_seeds():
    """Seeds of fuzz_carve: the first byte picks the format (its place in
    the table), the rest is a small file of it; one holds a compressed unit
    at byte 512."""
    import subprocess
    import zlib

    def crc(b):
        return zlib.crc32(b) & 0xFFFFFFFF

    def rar4_block(kind, flags, fields, data=b""):
        header = bytes([kind]) + struct.pack("<HH", flags, 7 + len(fields)) + fields
        return struct.pack("<H", crc(header) & 0xFFFF) + header + data

    data = b"hello"
    name = b"a.txt"
    fields = struct.pack("<IIBIIBBHI", len(data), len(data), 2, crc(data), 0x5A210000, 0x1D, 0x30,
                         len(name), 0x20) + name
    rar4 = (b"Rar!\x1a\x07\x00" + rar4_block(0x73, 0, bytes(6)) + rar4_block(0x74, 0x8000, fields, data)
            + rar4_block(0x7B, 0x4000, b""))

    def rar5_header(fields, data=b""):
        sized = bytes([len(fields)]) + fields
        return struct.pack("<I", crc(sized)) + sized + data

    rar5 = (b"Rar!\x1a\x07\x01\x00" + rar5_header(b"\x01\x00\x00")
            + rar5_header(b"\x02\x02" + bytes([len(data), 0, len(data)]) + b"\x20\x00\x00\x01\x05" + name, data)
            + rar5_header(b"\x05\x00\x00"))
    index = {"rar": 20, "gz": 21, "flac": 19, "pnm": 15}
    put("fuzz_carve", "rar4", bytes([index["rar"]]) + rar4)
    put("fuzz_carve", "rar5", bytes([index["rar"]]) + rar5)
    put("fuzz_carve", "gz-two-members", bytes([index["gz"]])
        + subprocess.run(["gzip", "-c", "-n"], input=b"carved text\n" * 40, capture_output=True, check=True).stdout
        + subprocess.run(["gzip", "-c"], input=b"second\n", capture_output=True, check=True).stdout)
    pcm = b"".join(struct.pack("<h", (i * 37) % 20000) for i in range(2000))
    wav = (b"RIFF" + struct.pack("<I", 36 + len(pcm)) + b"WAVEfmt " + struct.pack("<IHHIIHH", 16, 1, 1, 8000, 16000, 2, 16)
           + b"data" + struct.pack("<I", len(pcm)) + pcm)
    flac = subprocess.run(["flac", "--silent", "--stdout", "--blocksize=576", "--no-padding", "-"], input=wav,
                          capture_output=True).stdout
    if flac:
        put("fuzz_carve", "flac", bytes([index["flac"]]) + flac)
    # A PGM in one LZNT1 chunk (literals and runs), at byte 512.
    pgm = b"P5\n64 32\n255\n" + b"".join(bytes([i // 4]) * 64 for i in range(32))
    body, pos = b"", 0
    while pos < len(pgm):
        flags, group = 0, b""
        for bit in range(8):
            if pos >= len(pgm):
                break
            bits = 12
            d = pos - 1
            while d >= 16:
                bits -= 1
                d >>= 1
            run = 0
            while pos > 0 and pos + run < len(pgm) and run < (1 << bits) + 2 and pgm[pos + run] == pgm[pos - 1]:
                run += 1
            if run >= 3:
                flags |= 1 << bit
                group += struct.pack("<H", run - 3)
                pos += run
            else:
                group += pgm[pos:pos + 1]
                pos += 1
        body += bytes([flags]) + group
    unit = struct.pack("<H", 0xB000 | (len(body) - 1)) + body
    put("fuzz_carve", "compressed-pgm", bytes([index["pnm"]]) + bytes(512) + unit + bytes(512 - len(unit) % 512))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--carve":
        carve_seeds()  # fuzz/make_corpus.py --carve (needs gzip and flac)
        sys.exit(0)
    if len(sys.argv) > 2 and sys.argv[1] == "--shadow":
        shadow_seed(sys.argv[2])  # fuzz/make_corpus.py --shadow vsstest.raw
        sys.exit(0)
    if len(sys.argv) > 1 and sys.argv[1] == "--bitlocker":
        bitlocker()  # fuzz/make_corpus.py --bitlocker
        carve()
        sys.exit(0)
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "fixtures"))
    containers(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "fixtures"))
    logfile()
