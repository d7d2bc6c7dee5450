#!/usr/bin/env bash
# Search benchmark on the big image (bench/make-big-image.sh), page cache
# warm. Times
#   (a) the engine's search of all deleted files, results written as JSON
#       to /dev/null: `resurgo search IMAGE --days 1000000 --json` when the
#       command-line program is built, else `resurgo_bench search ... --json`;
#   (a') the same as the table (the command-line program only; COLUMNS=120);
#   (b) reading the MFT's bytes alone with dd (its runs from istat), one
#       process;
#   (c) `ntfsundelete -s IMAGE` (ntfs-3g) as the reference peer;
#   (d) with BASE=another resurgo binary (an older build), its JSON and
#       table, for before/after figures in the same run;
# and prints wall, CPU and peak memory (max RSS, /usr/bin/time -v) of each,
# the ratios (peer/ours, ours/MFT read, table/JSON) and memory per result.
#
# Usage: bench/search_bench.sh [IMAGE]
# Environment:
#   RESURGO_BENCH_CACHE  image cache (default /var/tmp/resurgo-bench)
#   BUILD                Release build dir with -DRESURGO_BENCH=ON
#                        (default build-bench beside bench/)
#   RESURGO              the CLI binary to use (default BUILD/cli/resurgo if
#                        present; "bench" drives the engine with resurgo_bench)
#   RUNS                 timed runs per command (default 10), WARMUP (default 2)
#   NO_HYPERFINE=1       time with the built-in loop even when hyperfine exists
#   BASE                 a resurgo binary to compare with (before figures)
# Needs: hyperfine (falls back to best of RUNS with date +%s%N), istat
# (sleuthkit), ntfsundelete (ntfs-3g), /usr/bin/time, python3.
set -euo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
CACHE=${RESURGO_BENCH_CACHE:-/var/tmp/resurgo-bench}
BUILD=${BUILD:-$ROOT/build-bench}
IMAGE=${1:-$CACHE/big.img}
RUNS=${RUNS:-10}
WARMUP=${WARMUP:-2}
BENCH_BIN=$BUILD/bench/resurgo_bench

[[ -f $IMAGE ]] || { echo "no image $IMAGE: run bench/make-big-image.sh first" >&2; exit 1; }
for tool in istat ntfsundelete python3; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "missing /usr/bin/time (apt-get install time)" >&2; exit 1; }

CLI=${RESURGO:-}
if [[ -z $CLI && -x $BUILD/cli/resurgo ]]; then CLI=$BUILD/cli/resurgo; fi
if [[ $CLI == bench ]]; then CLI=; fi
if [[ -n $CLI ]]; then
    OURS=("$CLI" search "$IMAGE" --days 1000000 --json)
    EMPTY=("$CLI" search "$IMAGE" --days 1000000 --json --pattern 'no-such-name-*')
else
    [[ -x $BENCH_BIN ]] || { echo "build $BENCH_BIN first (cmake -DRESURGO_BENCH=ON)" >&2; exit 1; }
    OURS=("$BENCH_BIN" search "$IMAGE" --days 1000000 --json)
    EMPTY=("$BENCH_BIN" search "$IMAGE" --days 1000000 --json --pattern 'no-such-name-*')
fi
PEER=(ntfsundelete -s "$IMAGE")
export COLUMNS=120
NAMES=(ours mft-read peer ours-no-results)
declare -A CMD
if [[ -n $CLI ]]; then
    OURS_TABLE=("$CLI" search "$IMAGE" --days 1000000)
    NAMES+=(ours-table)
    CMD[ours-table]="${OURS_TABLE[*]}"
fi
if [[ -n ${BASE:-} ]]; then
    NAMES+=(base base-table)
    CMD[base]="$BASE search $IMAGE --days 1000000 --json"
    CMD[base-table]="$BASE search $IMAGE --days 1000000"
fi

WORK=$(mktemp -d /tmp/resurgo-search-bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# --- the MFT's runs, from istat (independent of the engine) -------------
CLUSTER=$(python3 - "$IMAGE" <<'PYEOF'
import struct, sys
with open(sys.argv[1], "rb") as f:
    b = f.read(512)
bps = struct.unpack_from("<H", b, 0x0B)[0]
spc = b[0x0D]
print(bps * (spc if spc <= 0x80 else 1))
PYEOF
)
istat "$IMAGE" 0 >"$WORK/istat0.txt"
python3 - "$WORK/istat0.txt" "$CLUSTER" >"$WORK/mft-runs.txt" <<'PYEOF'
# Lists of clusters after the $DATA line of $MFT, merged into byte ranges
# and clipped to the data size.
import re, sys
lines = open(sys.argv[1]).read().splitlines()
cluster = int(sys.argv[2])
clusters, size, on = [], None, False
for line in lines:
    if line.startswith("Type: "):
        on = line.startswith("Type: $DATA (128-") and "Name: N/A" in line
        if on:
            size = int(re.search(r"size: (\d+)", line).group(1))
        continue
    if on and re.fullmatch(r"[0-9 ]+", line.strip() or "x"):
        clusters += [int(x) for x in line.split()]
runs = []
for c in clusters:
    if c == 0:  # istat pads the last line / sparse
        continue
    if runs and runs[-1][0] + runs[-1][1] == c:
        runs[-1][1] += 1
    else:
        runs.append([c, 1])
left = size
for lcn, n in runs:
    if left <= 0:
        break
    nbytes = min(left, n * cluster)
    print(lcn * cluster, nbytes)
    left -= nbytes
PYEOF
MFT_BYTES=$(awk '{s+=$2} END {print s}' "$WORK/mft-runs.txt")
{
    echo '#!/bin/sh'
    while read -r off len; do
        echo "dd if='$IMAGE' of=/dev/null bs=1M iflag=skip_bytes,count_bytes skip=$off count=$len status=none"
    done <"$WORK/mft-runs.txt"
} >"$WORK/mft-read.sh"
MFT_READ=(sh "$WORK/mft-read.sh")
CMD[ours]="${OURS[*]}"
CMD[mft-read]="${MFT_READ[*]}"
CMD[peer]="${PEER[*]}"
CMD[ours-no-results]="${EMPTY[*]}"
ARGS=()
for n in "${NAMES[@]}"; do ARGS+=("$n" "${CMD[$n]}"); done

echo "== search benchmark =="
echo "image:      $IMAGE ($(du -h --apparent-size "$IMAGE" | cut -f1) apparent, $(du -h "$IMAGE" | cut -f1) allocated)"
echo "MFT (istat): $(wc -l <"$WORK/mft-runs.txt") run(s), $MFT_BYTES bytes:" $(tr '\n' ';' <"$WORK/mft-runs.txt")
if [[ -x $BENCH_BIN ]]; then
    echo "MFT (engine):" $(tr '\n' ';' < <("$BENCH_BIN" mft-runs "$IMAGE"))
fi
echo "ours:       ${OURS[*]}"
echo "peer:       ${PEER[*]}"
echo "host:       $(nproc) cores, $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"

# --- warm the page cache: every command once ----------------------------
"${OURS[@]}" >"$WORK/ours.out" 2>"$WORK/ours.err"
"${PEER[@]}" >"$WORK/peer.out" 2>&1 || true
"${MFT_READ[@]}"
# The listing: a JSON array (the CLI) or one JSON object per line (resurgo_bench).
python3 - "$WORK/ours.out" >"$WORK/ours.counts" <<'PYEOF'
import json, sys
text = open(sys.argv[1], encoding="utf-8").read()
if text.lstrip().startswith("["):
    items = json.loads(text)
else:
    items = [json.loads(line) for line in text.splitlines() if line.strip()]
names = sum(len(d.get("name", "").encode()) + len(d.get("directory", "").encode()) for d in items)
print(len(items), names)
PYEOF
read -r RESULTS NAME_BYTES <"$WORK/ours.counts"
PEER_RESULTS=$(sed -n 's/^Files with potentially recoverable content: \([0-9]*\).*/\1/p' "$WORK/peer.out")
echo "results:    ours $RESULTS deleted files ($(wc -c <"$WORK/ours.out") bytes of JSON); peer lists ${PEER_RESULTS:-?} records"

# --- timing ----------------------------------------------------------------
if [[ -z ${NO_HYPERFINE:-} ]] && command -v hyperfine >/dev/null; then
    HF=()
    for n in "${NAMES[@]}"; do HF+=(-n "$n" "${CMD[$n]}"); done
    hyperfine -N --warmup "$WARMUP" --runs "$RUNS" --export-json "$WORK/times.json" "${HF[@]}" \
        >"$WORK/hyperfine.txt" 2>&1 || { cat "$WORK/hyperfine.txt"; exit 1; }
    cat "$WORK/hyperfine.txt"
else
    python3 - "$WORK/times.json" "$RUNS" "$WARMUP" "${ARGS[@]}" <<'PYEOF'
import json, resource, shlex, subprocess, sys, time
out, runs, warm = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
args = sys.argv[4:]
results = []
for name, cmd in zip(args[0::2], args[1::2]):
    argv = shlex.split(cmd)
    for _ in range(warm):
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    times, user, system = [], 0.0, 0.0
    for _ in range(runs):
        r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - t0)
        r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        user += r1.ru_utime - r0.ru_utime
        system += r1.ru_stime - r0.ru_stime
    results.append({"command": name, "times": times, "mean": sum(times) / len(times), "min": min(times),
                    "user": user / runs, "system": system / runs})
    print("%-16s best %.1f ms  mean %.1f ms" % (name, min(times) * 1e3, sum(times) / len(times) * 1e3))
json.dump({"results": results}, open(out, "w"))
PYEOF
fi

# --- peak memory ------------------------------------------------------------
rss() {  # max RSS in KiB of one run
    /usr/bin/time -v "$@" 2>&1 >/dev/null | sed -n 's/.*Maximum resident set size (kbytes): //p'
}
for n in "${NAMES[@]}"; do
    # shellcheck disable=SC2086  # the commands are plain words
    echo "$n $(rss ${CMD[$n]})"
done >"$WORK/rss.txt"

python3 - "$WORK/times.json" "$WORK/rss.txt" "$RESULTS" "$NAME_BYTES" "$MFT_BYTES" <<'PYEOF'
import json, sys
t = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
rss = {line.split()[0]: int(line.split()[1]) for line in open(sys.argv[2]) if len(line.split()) == 2}
results, name_bytes, mft_bytes = int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
def ms(name, key):
    return t[name][key] * 1e3
def cpu(name):
    return (t[name].get("user", 0) + t[name].get("system", 0)) * 1e3
print()
print("== summary: wall ms (mean, best), CPU ms (user+sys, mean), peak RSS ==")
for name in t:
    print("%-16s wall %8.1f  best %7.1f   cpu %7.1f   rss %8d KiB" % (name, ms(name, "mean"), ms(name, "min"), cpu(name), rss.get(name, 0)))
def ratio(a, b, key="mean"):
    return ms(a, key) / ms(b, key)
print("peer/ours        wall %6.2fx  best %6.2fx   target >= 6x    %s"
      % (ratio("peer", "ours"), ratio("peer", "ours", "min"), "MET" if ratio("peer", "ours") >= 6 else "MISSED"))
print("ours/mft-read    wall %6.2fx  best %6.2fx   target <= 3x    %s"
      % (ratio("ours", "mft-read"), ratio("ours", "mft-read", "min"), "MET" if ratio("ours", "mft-read") <= 3 else "MISSED"))
if "ours-table" in t:
    print("table/json       wall %6.2fx  best %6.2fx   target <= 1.3x  %s"
          % (ratio("ours-table", "ours"), ratio("ours-table", "ours", "min"),
             "MET" if ratio("ours-table", "ours") <= 1.3 else "MISSED"))
for before, after in (("base", "ours"), ("base-table", "ours-table")):
    if before in t and after in t:
        print("%-16s wall %6.2fx  best %6.2fx  cpu %6.2fx faster" % (before + "/" + after, ratio(before, after),
              ratio(before, after, "min"), cpu(before) / cpu(after)))
mft = ms("mft-read", "mean")
print("MFT read rate    %.0f MiB/s (dd); ours %.0f MiB/s of MFT"
      % (mft_bytes / 1048576 / (mft / 1e3), mft_bytes / 1048576 / (ms("ours", "mean") / 1e3)))
print("load average     %s" % open("/proc/loadavg").read().split()[:3])
if results:
    print()
    print("== memory per result (%d results, %d bytes of names+paths) ==" % (results, name_bytes))
    for name in ("ours", "ours-table", "base", "base-table"):
        if name in rss and "ours-no-results" in rss:
            extra = (rss[name] - rss["ours-no-results"]) * 1024
            net = (extra - name_bytes) / results
            print("%-16s %6.0f bytes gross, %6.0f beyond names+paths   target < 300   %s"
                  % (name, extra / results, net, "MET" if net < 300 else "MISSED"))
PYEOF
