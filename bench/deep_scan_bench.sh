#!/usr/bin/env bash
# Deep-scan throughput: `resurgo search IMAGE --deep` against reading the
# same image with `cat IMAGE > /dev/null`, page cache warm.
#
# The image (cached as $CACHE/deep.img, 4 GiB, no holes) is a volume whose
# data area holds pseudo-random bytes (so that reads are real reads, and a
# few "FILE"/"INDX" look-alikes turn up) with FILES small files in DIRS
# directories, every third deleted, written through ntfs-3g. Memory (max
# RSS) is reported too: it grows with the records found, not the volume.
#
# Usage (as root for the first run, needs /dev/fuse): bench/deep_scan_bench.sh [IMAGE]
# Environment:
#   RESURGO_BENCH_CACHE  image cache (default /var/tmp/resurgo-bench)
#   BUILD                Release build dir with -DRESURGO_BENCH=ON (default build-bench)
#   RUNS                 timed runs per command (default 5); the best counts
#   DEEP_SIZE_MIB        image size (default 4096); FILES (20000), DIRS (100)
# Target: at least 1 GB/s, and no more than 1.5x the time of cat.
set -euo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
CACHE=${RESURGO_BENCH_CACHE:-/var/tmp/resurgo-bench}
BUILD=${BUILD:-$ROOT/build-bench}
RUNS=${RUNS:-5}
SIZE_MIB=${DEEP_SIZE_MIB:-4096}
FILES=${FILES:-20000}
DIRS=${DIRS:-100}
IMAGE=${1:-$CACHE/deep.img}
CLI=${RESURGO:-$BUILD/cli/resurgo}

[[ -x $CLI ]] || { echo "build $CLI first (cmake -DCMAKE_BUILD_TYPE=Release -DRESURGO_BENCH=ON)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "missing /usr/bin/time (apt-get install time)" >&2; exit 1; }

make_image() {
    mkdir -p "$CACHE"
    local work mnt
    work=$(mktemp -d /tmp/resurgo-deep-bench.XXXXXX)
    mnt=$work/mnt
    mkdir "$mnt"
    trap 'umount "$mnt" 2>/dev/null || true; rm -rf "$work"' RETURN
    echo "deep.img: writing $SIZE_MIB MiB of pseudo-random bytes"
    head -c $((64 << 20)) /dev/urandom >"$work/chunk"
    : >"$IMAGE.tmp"
    for ((i = 0; i < SIZE_MIB / 64; i++)); do cat "$work/chunk" >>"$IMAGE.tmp"; done
    # A quick format leaves the data area as it was.
    mkntfs -F -Q -q "$IMAGE.tmp" >/dev/null 2>&1
    ntfs-3g -o noatime "$IMAGE.tmp" "$mnt"
    python3 - "$mnt" "$FILES" "$DIRS" <<'PYEOF'
import os, sys
mnt, files, dirs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for d in range(dirs):
    os.mkdir(os.path.join(mnt, "dir%03d" % d))
for n in range(files):
    with open(os.path.join(mnt, "dir%03d" % (n % dirs), "file%06d.txt" % n), "wb") as f:
        f.write(b"deep scan bench %d\n" % n * (1 + n % 40))
for n in range(0, files, 3):
    os.unlink(os.path.join(mnt, "dir%03d" % (n % dirs), "file%06d.txt" % n))
PYEOF
    umount "$mnt"
    mv "$IMAGE.tmp" "$IMAGE"
}
[[ -f $IMAGE ]] || make_image

best() {  # best wall time in seconds of RUNS runs of a command (stdout to /dev/null)
    python3 - "$RUNS" "$@" <<'PYEOF'
import subprocess, sys, time
runs, argv = int(sys.argv[1]), sys.argv[2:]
times = []
for _ in range(runs):
    t0 = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    times.append(time.perf_counter() - t0)
print("%.4f" % min(times))
PYEOF
}

BYTES=$(stat -c %s "$IMAGE")
echo "image:  $IMAGE ($BYTES bytes, $(du -h "$IMAGE" | cut -f1) allocated)"
echo "host:   $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
# Warm the page cache.
cat "$IMAGE" >/dev/null
cat "$IMAGE" >/dev/null
T_CAT=$(best cat "$IMAGE")
T_DEEP=$(best "$CLI" search "$IMAGE" --deep --days 1000000 --json)
RSS=$(/usr/bin/time -v "$CLI" search "$IMAGE" --deep --days 1000000 --json 2>&1 >/dev/null |
      sed -n 's/.*Maximum resident set size (kbytes): //p')
RESULTS=$("$CLI" search "$IMAGE" --deep --days 1000000 --json 2>/dev/null | grep -c '"record"' || true)
python3 - "$BYTES" "$T_CAT" "$T_DEEP" "$RSS" "$RESULTS" <<'PYEOF'
import sys
size, cat, deep, rss, results = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
print("cat IMAGE > /dev/null     best %.3f s  %.2f GB/s" % (cat, size / cat / 1e9))
print("resurgo search --deep     best %.3f s  %.2f GB/s  (%d results, max RSS %d KiB)" % (deep, size / deep / 1e9, results, rss))
ratio = deep / cat
print("deep/cat %.2fx  target <= 1.5x: %s;  >= 1 GB/s: %s"
      % (ratio, "MET" if ratio <= 1.5 else "MISSED", "MET" if size / deep >= 1e9 else "MISSED"))
PYEOF
