#!/usr/bin/env bash
# Restore benchmark, page cache warm: restores the deleted 1 GiB file of
# restore.img (bench/make-big-image.sh) and compares with cp of a plain
# file of the same size on the same file system (restore-src.bin, the same
# bytes). Prints both throughputs (MiB/s), their ratio (target: ours >=
# 0.5 x cp) and checks the restored file's SHA-256 against the facts.
#
# Usage: bench/restore_bench.sh
# Environment:
#   RESURGO_BENCH_CACHE  image cache (default /var/tmp/resurgo-bench); the
#                        outputs are written to its out/ folder
#   BUILD                Release build dir with -DRESURGO_BENCH=ON (default
#                        build-bench beside bench/)
#   RESURGO              the CLI binary to use (default BUILD/cli/resurgo if
#                        present; "bench" drives the engine with resurgo_bench)
#   RUNS (default 5), WARMUP (default 1)
#   NO_HYPERFINE=1       time with the built-in loop even when hyperfine exists
# Needs: hyperfine (falls back to best of RUNS), python3, sha256sum,
# /usr/bin/time.
set -euo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
CACHE=${RESURGO_BENCH_CACHE:-/var/tmp/resurgo-bench}
BUILD=${BUILD:-$ROOT/build-bench}
RUNS=${RUNS:-5}
WARMUP=${WARMUP:-1}
IMAGE=$CACHE/restore.img
FACTS=$CACHE/restore.facts
SRC=$CACHE/restore-src.bin
OUT=$CACHE/out
BENCH_BIN=$BUILD/bench/resurgo_bench

for f in "$IMAGE" "$FACTS" "$SRC"; do
    [[ -f $f ]] || { echo "missing $f: run bench/make-big-image.sh restore first" >&2; exit 1; }
done
fact() { sed -n "s/^$1=//p" "$FACTS"; }
RECORD=$(fact record)
SIZE=$(fact size)
SHA=$(fact sha256)
[[ $(stat -c %s "$SRC") -eq $SIZE ]] || { echo "$SRC is not $SIZE bytes" >&2; exit 1; }
mkdir -p "$OUT"
RESTORED=$OUT/restored.bin
COPIED=$OUT/copied.bin

CLI=${RESURGO:-}
if [[ -z $CLI && -x $BUILD/cli/resurgo ]]; then CLI=$BUILD/cli/resurgo; fi
if [[ $CLI == bench ]]; then CLI=; fi
if [[ -n $CLI ]]; then
    OURS=("$CLI" restore "$IMAGE" --record "$RECORD" --output "$RESTORED")
else
    [[ -x $BENCH_BIN ]] || { echo "build $BENCH_BIN first (cmake -DRESURGO_BENCH=ON)" >&2; exit 1; }
    OURS=("$BENCH_BIN" restore "$IMAGE" --record "$RECORD" --output "$RESTORED")
fi
CP=(cp "$SRC" "$COPIED")
# For context: a plain user-space read/write loop with 1 MiB blocks (cp
# of coreutils 9 copies inside the kernel with copy_file_range).
DD=(dd if="$SRC" of="$COPIED" bs=1M status=none)

echo "== restore benchmark =="
echo "image:   $IMAGE, record $RECORD, $SIZE bytes"
echo "output:  $OUT ($(findmnt -n -o FSTYPE -T "$OUT"); source $(findmnt -n -o FSTYPE -T "$SRC"))"
echo "ours:    ${OURS[*]}"
echo "cp:      ${CP[*]}"
echo "host:    $(nproc) cores, $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"

# Warm the page cache with both sources; check the restore once.
cat "$IMAGE" >/dev/null
cat "$SRC" >/dev/null
rm -f "$RESTORED"
"${OURS[@]}"
GOT=$(sha256sum "$RESTORED" | cut -d' ' -f1)
if [[ $GOT != "$SHA" ]]; then
    echo "restored file differs: sha256 $GOT, expected $SHA" >&2
    exit 1
fi
echo "check:   restored file matches (sha256 $SHA)"

WORK=$(mktemp -d /tmp/resurgo-restore-bench.XXXXXX)
trap 'rm -rf "$WORK"; rm -f "$RESTORED" "$COPIED"' EXIT

# Each run starts without its output file; dirty pages of the previous run
# are flushed before it, outside the timing.
PREP="rm -f $RESTORED $COPIED; sync"
if [[ -z ${NO_HYPERFINE:-} ]] && command -v hyperfine >/dev/null; then
    hyperfine --warmup "$WARMUP" --runs "$RUNS" --prepare "$PREP" --export-json "$WORK/times.json" \
        -n ours "${OURS[*]}" -n cp "${CP[*]}" -n dd-1M "${DD[*]}" >"$WORK/hyperfine.txt" 2>&1 \
        || { cat "$WORK/hyperfine.txt"; exit 1; }
    cat "$WORK/hyperfine.txt"
else
    python3 - "$WORK/times.json" "$RUNS" "$PREP" ours "${OURS[*]}" cp "${CP[*]}" dd-1M "${DD[*]}" <<'PYEOF'
import json, resource, shlex, subprocess, sys, time
out, runs, prep = sys.argv[1], int(sys.argv[2]), sys.argv[3]
args = sys.argv[4:]
results = []
for name, cmd in zip(args[0::2], args[1::2]):
    times, user, system = [], 0.0, 0.0
    for _ in range(runs):
        subprocess.run(prep, shell=True)
        r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        subprocess.run(shlex.split(cmd), stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - t0)
        r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        user += r1.ru_utime - r0.ru_utime
        system += r1.ru_stime - r0.ru_stime
    results.append({"command": name, "times": times, "mean": sum(times) / len(times), "min": min(times),
                    "user": user / runs, "system": system / runs})
    print("%-8s best %.1f ms  mean %.1f ms" % (name, min(times) * 1e3, sum(times) / len(times) * 1e3))
json.dump({"results": results}, open(out, "w"))
PYEOF
fi

rss() {
    rm -f "$RESTORED" "$COPIED"
    sync
    /usr/bin/time -v "$@" 2>&1 >/dev/null | sed -n 's/.*Maximum resident set size (kbytes): //p'
}
RSS_OURS=$(rss "${OURS[@]}")
RSS_CP=$(rss "${CP[@]}")

python3 - "$WORK/times.json" "$SIZE" "$RSS_OURS" "$RSS_CP" <<'PYEOF'
import json, sys
t = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
size = int(sys.argv[2])
mib = size / 1048576
print()
print("== summary: %d MiB, warm page cache ==" % mib)
print("%-8s %9s %9s %11s %11s %9s %9s" % ("", "mean ms", "best ms", "mean MiB/s", "best MiB/s", "user ms", "sys ms"))
for name in ("ours", "cp", "dd-1M"):
    r = t[name]
    print("%-8s %9.1f %9.1f %11.0f %11.0f %9.1f %9.1f" % (name, r["mean"] * 1e3, r["min"] * 1e3, mib / r["mean"],
                                                        mib / r["min"], r.get("user", 0) * 1e3,
                                                        r.get("system", 0) * 1e3))
ratio = t["cp"]["mean"] / t["ours"]["mean"]
ratio_best = t["cp"]["min"] / t["ours"]["min"]
print("ours/cp throughput  %.2fx (best %.2fx)   target >= 0.5x   %s"
      % (ratio, ratio_best, "MET" if ratio >= 0.5 else "MISSED"))
print("peak memory: ours %s KiB, cp %s KiB" % (sys.argv[3], sys.argv[4]))
print("load average: %s" % open("/proc/loadavg").read().split()[:3])
PYEOF
