#!/usr/bin/env bash
# Carving: throughput of `resurgo search IMAGE --carve` against `cat IMAGE`
# (page cache warm) on a 1 GiB image, and the carve beside PhotoRec
# (Debian `testdisk`) on Debian's forensics-samples-ntfs image with its MFT
# and mirror zeroed: files back byte for byte, right names, outputs that
# match no file, time. The truth comes from The Sleuth Kit on the intact
# image (tests/fixtures/make_carve_sample.py).
#
# The 1 GiB image is the sample volume (MFT zeroed) repeated until 1 GiB:
# its boot sector leads, the walk fails, the whole image is carved.
#
# Usage: bench/carve_bench.sh
# Environment:
#   RESURGO_BENCH_CACHE  image cache (default /var/tmp/resurgo-bench)
#   BUILD                Release build dir (default build-bench)
#   RUNS                 timed runs per command (default 3); the best counts
# Target: at least 1 GB/s, and no more than 2.5x the time of cat.
set -euo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
CACHE=${RESURGO_BENCH_CACHE:-/var/tmp/resurgo-bench}
BUILD=${BUILD:-$ROOT/build-bench}
RUNS=${RUNS:-3}
CLI=${RESURGO:-$BUILD/cli/resurgo}
[[ -x $CLI ]] || { echo "build $CLI first (cmake -DCMAKE_BUILD_TYPE=Release)" >&2; exit 1; }
command -v photorec >/dev/null || { echo "missing photorec (apt-get install testdisk)" >&2; exit 1; }

SAMPLE=$CACHE/carve
[[ -f $SAMPLE/sample.truth.json ]] || python3 "$ROOT/tests/fixtures/make_carve_sample.py" "$SAMPLE"

best() {  # best wall time in seconds of RUNS runs of "$@"
    local t b="" out
    out=$(mktemp)
    for _ in $(seq "$RUNS"); do
        /usr/bin/time -f %e -o "$out" "$@" >/dev/null 2>&1
        t=$(tail -1 "$out")
        if [[ -z $b ]] || awk "BEGIN{exit !($t < $b)}"; then b=$t; fi
    done
    rm -f "$out"
    echo "$b"
}

# Throughput on 1 GiB.
BIG=$CACHE/carve-1g.img
if [[ ! -f $BIG ]]; then
    python3 - "$SAMPLE" "$BIG" <<'PY'
import json, sys
sample, big = sys.argv[1], sys.argv[2]
start = json.load(open(sample + "/sample.truth.json"))["partition_offset"]
volume = open(sample + "/sample-nomft.img", "rb").read()[start:]
with open(big, "wb") as out:
    written = 0
    while written < 1 << 30:
        n = min(len(volume), (1 << 30) - written)
        out.write(volume[:n])
        written += n
PY
fi
cat "$BIG" >/dev/null
cat_s=$(best cat "$BIG")
carve_s=$(best "$CLI" search "$BIG" --carve --days 1000000 --json)
echo "1 GiB: cat ${cat_s} s, carve ${carve_s} s, $(awk "BEGIN{printf \"%.2f GB/s, %.2fx cat\", 1.073741824/$carve_s, $carve_s/$cat_s}")"

# Side by side on the sample.
python3 - "$CLI" "$SAMPLE" <<'PY'
import hashlib, json, os, subprocess, sys, tempfile, time
cli, sample = sys.argv[1], sys.argv[2]
truth = json.load(open(sample + "/sample.truth.json"))
image = sample + "/sample-nomft.img"
by_sha = {}
for f in truth["files"]:
    by_sha.setdefault(f["sha256"], []).append(f)

def score(outputs):  # [(sha, name or None)]
    back, deleted, named, junk = set(), set(), 0, 0
    for sha, name in outputs:
        files = by_sha.get(sha)
        if not files:
            junk += 1
            continue
        for f in files:
            back.add(f["path"])
            if f["deleted"]:
                deleted.add(f["path"])
        if name and any(os.path.basename(f["path"]) == name for f in files):
            named += 1
    return len(back), len(deleted), named, junk

t = time.time()
out = subprocess.run([cli, "search", image, "--carve", "--days", "1000000", "--json"], capture_output=True, check=True).stdout
ours_s = time.time() - t
data = open(image, "rb").read()
ours = []
for o in json.loads(out):
    if o.get("carved"):
        at = truth["partition_offset"] + o["offset"]
        ours.append((hashlib.sha256(data[at:at + o["size"]]).hexdigest(), o["name"] if o["name_source"] == "index" else None))

work = tempfile.mkdtemp(prefix="resurgo-photorec.")
t = time.time()
subprocess.run(["photorec", "/log", "/d", work + "/out", "/cmd", image, "partition_none,options,search"],
               capture_output=True, cwd=work)
theirs_s = time.time() - t
theirs = []
for d, _, names in os.walk(work):
    for n in names:
        if d.startswith(work + "/out"):
            theirs.append((hashlib.sha256(open(os.path.join(d, n), "rb").read()).hexdigest(), None))
print("%-10s %10s %14s %12s %6s %8s" % ("", "files back", "deleted back", "right names", "junk", "time"))
for who, outputs, secs in (("resurgo", ours, ours_s), ("photorec", theirs, theirs_s)):
    b, d, n, j = score(outputs)
    print("%-10s %7d/%d %11d/%d %12d %6d %7.2fs" % (who, b, len(truth["files"]), d,
          sum(f["deleted"] for f in truth["files"]), n, j, secs))
PY
