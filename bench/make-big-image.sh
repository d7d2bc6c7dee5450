#!/usr/bin/env bash
# Builds the benchmark images, cached outside the repository:
#
#   $CACHE/big.img          N_FILES small files (resident data) in N_DIRS
#                           directories; every other file deleted afterwards
#   $CACHE/big.facts        key=value facts of big.img (counts, MFT size)
#   $CACHE/big.deleted.tsv  record<TAB>directory<TAB>name of each deleted file
#   $CACHE/restore.img      one 1 GiB file of random bytes, deleted afterwards
#                           (plain, not compressed, written through ntfs-3g)
#   $CACHE/restore.facts    key=value facts: record, size, sha256
#   $CACHE/restore-src.bin  the same 1 GiB of bytes as a plain file (the
#                           restore benchmark's cp reference)
#
# CACHE = ${RESURGO_BENCH_CACHE:-/var/tmp/resurgo-bench}. An image whose
# facts file exists is reused; delete it (or pass --force) to rebuild.
#
# Usage (as root, needs /dev/fuse):
#   bench/make-big-image.sh [--force] [big|restore]...   # default: both
# Environment: BIG_FILES (100000), BIG_DIRS (500), BIG_IMAGE_SIZE (2G),
#   RESTORE_MIB (1024).
#
# Needs: truncate, mkntfs, ntfs-3g, python3, sha256sum, ntfsinfo.
set -euo pipefail
export LC_ALL=C.UTF-8

CACHE=${RESURGO_BENCH_CACHE:-/var/tmp/resurgo-bench}
BIG_FILES=${BIG_FILES:-100000}
BIG_DIRS=${BIG_DIRS:-500}
BIG_IMAGE_SIZE=${BIG_IMAGE_SIZE:-2G}
RESTORE_MIB=${RESTORE_MIB:-1024}

FORCE=0
WANT=()
for a in "$@"; do
    case $a in
        --force) FORCE=1 ;;
        big|restore) WANT+=("$a") ;;
        -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
        *) echo "make-big-image.sh: unknown argument: $a" >&2; exit 2 ;;
    esac
done
[[ ${#WANT[@]} -eq 0 ]] && WANT=(big restore)

if [[ $(id -u) -ne 0 ]]; then
    echo "make-big-image.sh: must run as root (FUSE mounts)" >&2
    exit 1
fi
for tool in truncate mkntfs ntfs-3g python3 sha256sum ntfsinfo; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done

mkdir -p "$CACHE"
MNT=$(mktemp -d /tmp/resurgo-bench-mnt.XXXXXX)
MOUNTED=0
cleanup() {
    if [[ $MOUNTED -eq 1 ]]; then umount "$MNT" 2>/dev/null || true; fi
    rmdir "$MNT" 2>/dev/null || true
}
trap cleanup EXIT

mount_image() {
    ntfs-3g -o noatime "$1" "$MNT"
    MOUNTED=1
}
unmount_image() {
    sync
    umount "$MNT"
    MOUNTED=0
}

# Prints "offset_bytes length_bytes" of the MFT's data, from ntfsinfo.
mft_facts() {
    ntfsinfo -m "$1" 2>/dev/null | awk '
        /Cluster Size:/ {cs=$NF}
        /LCN of Data Attribute for FILE_MFT:/ {lcn=$NF}
        END {print "mft_lcn=" lcn; print "cluster_size=" cs}'
}

build_big() {
    local img=$CACHE/big.img facts=$CACHE/big.facts
    if [[ $FORCE -eq 0 && -f $img && -f $facts ]]; then
        echo "big.img: reusing $img"
        return
    fi
    rm -f "$img" "$facts" "$CACHE/big.deleted.tsv"
    local tmp=$img.partial
    rm -f "$tmp"
    truncate -s "$BIG_IMAGE_SIZE" "$tmp"
    mkntfs -F -Q -q -L resurgo-bench "$tmp"
    mount_image "$tmp"
    local t0=$SECONDS
    python3 - "$MNT" "$BIG_FILES" "$BIG_DIRS" "$CACHE/big.deleted.tsv.partial" <<'PYEOF'
import os, random, sys
mnt, n_files, n_dirs, deleted_out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
rng = random.Random(20240601)
pool = rng.randbytes(4096)
dirs = []
for d in range(n_dirs):
    path = os.path.join(mnt, "dir%04d" % d)
    os.mkdir(path)
    dirs.append(path)
files = []  # (record, dirname, name, path)
for i in range(n_files):
    d = i % n_dirs
    name = "file%06d_%s.dat" % (i, "abcdefghij"[i % 10] * (1 + i % 7))
    path = os.path.join(dirs[d], name)
    size = 64 + (i * 37) % 400          # small enough to stay resident
    off = (i * 131) % (4096 - size)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    os.write(fd, pool[off:off + size])
    ino = os.fstat(fd).st_ino
    os.close(fd)
    files.append((ino, "dir%04d" % d, name, path))
    if (i + 1) % 10000 == 0:
        print("  created %d files" % (i + 1), flush=True)
deleted = 0
with open(deleted_out, "w") as out:
    for i, (ino, dname, name, path) in enumerate(files):
        if i % 2 == 0:
            os.unlink(path)
            out.write("%d\t%s\t%s\n" % (ino, dname, name))
            deleted += 1
print("  deleted %d of %d files" % (deleted, n_files), flush=True)
PYEOF
    echo "big.img: filled in $((SECONDS - t0)) s"
    unmount_image
    local deleted
    deleted=$(wc -l <"$CACHE/big.deleted.tsv.partial")
    {
        echo "files=$BIG_FILES"
        echo "dirs=$BIG_DIRS"
        echo "deleted=$deleted"
        echo "image_bytes=$(stat -c %s "$tmp")"
        mft_facts "$tmp"
    } >"$facts.partial"
    mv "$CACHE/big.deleted.tsv.partial" "$CACHE/big.deleted.tsv"
    mv "$tmp" "$img"
    mv "$facts.partial" "$facts"
    echo "big.img: $(tr '\n' ' ' <"$facts")"
}

build_restore() {
    local img=$CACHE/restore.img facts=$CACHE/restore.facts src=$CACHE/restore-src.bin
    if [[ $FORCE -eq 0 && -f $img && -f $facts && -f $src ]]; then
        echo "restore.img: reusing $img"
        return
    fi
    rm -f "$img" "$facts"
    local bytes=$((RESTORE_MIB * 1024 * 1024))
    if [[ ! -f $src || $(stat -c %s "$src") -ne $bytes ]]; then
        # Seeded pseudo-random bytes: incompressible, reproducible.
        python3 - "$src.partial" "$bytes" <<'PYEOF'
import random, sys
path, total = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
with open(path, "wb") as f:
    left = total
    while left:
        n = min(left, 8 << 20)
        f.write(rng.randbytes(n))
        left -= n
PYEOF
        mv "$src.partial" "$src"
    fi
    local sha
    sha=$(sha256sum "$src" | cut -d' ' -f1)
    local tmp=$img.partial
    rm -f "$tmp"
    truncate -s $((RESTORE_MIB + 512))M "$tmp"
    mkntfs -F -Q -q -L resurgo-restore "$tmp"
    mount_image "$tmp"
    echo "keep me" >"$MNT/keep.txt"
    dd if="$src" of="$MNT/big.bin" bs=4M status=none
    sync
    local record
    record=$(stat -c %i "$MNT/big.bin")
    local readback
    readback=$(sha256sum "$MNT/big.bin" | cut -d' ' -f1)
    [[ $readback == "$sha" ]] || { echo "restore.img: read-back mismatch" >&2; exit 1; }
    rm "$MNT/big.bin"
    unmount_image
    {
        echo "record=$record"
        echo "name=big.bin"
        echo "size=$bytes"
        echo "sha256=$sha"
        echo "image_bytes=$(stat -c %s "$tmp")"
        mft_facts "$tmp"
    } >"$facts.partial"
    mv "$tmp" "$img"
    mv "$facts.partial" "$facts"
    echo "restore.img: $(tr '\n' ' ' <"$facts")"
}

for w in "${WANT[@]}"; do
    "build_$w"
done
