#!/usr/bin/env bash
# Container benchmark: the same search on the big image (bench/make-big-image.sh)
# read as a raw volume, converted to QCOW2 (qemu-img) and acquired as E01
# (ewfacquire, deflate "fast" and uncompressed), page cache warm. Prints the
# best of RUNS wall times, the CPU times and each container's ratio to the raw
# search.
#
# Usage: bench/container_bench.sh [IMAGE]
# Environment: RESURGO_BENCH_CACHE (default /var/tmp/resurgo-bench), BUILD
# (Release build dir, default build-bench), RUNS (default 5).
# Needs: qemu-img (qemu-utils), ewfacquire (ewf-tools), /usr/bin/time.
set -euo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
CACHE=${RESURGO_BENCH_CACHE:-/var/tmp/resurgo-bench}
BUILD=${BUILD:-$ROOT/build-bench}
IMAGE=${1:-$CACHE/big.img}
RUNS=${RUNS:-5}
CLI=$BUILD/cli/resurgo

[[ -f $IMAGE ]] || { echo "no image $IMAGE: run bench/make-big-image.sh first" >&2; exit 1; }
[[ -x $CLI ]] || { echo "build $CLI first (see bench/README.md)" >&2; exit 1; }
for tool in qemu-img ewfacquire; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done

base=$CACHE/$(basename "$IMAGE" .img)
if [[ ! -f $base.qcow2 || $base.qcow2 -ot $IMAGE ]]; then
    qemu-img convert -f raw -O qcow2 "$IMAGE" "$base.qcow2"
fi
for method in fast none; do
    e01=$base-$method
    if [[ ! -f $e01.E01 || $e01.E01 -ot $IMAGE ]]; then
        rm -f "$e01".E??
        if [[ $method == none ]]; then compression=none; else compression=deflate:fast; fi
        ewfacquire -u -q -t "$e01" -c "$compression" -C case -D bench -E 1 -e bench -N none \
            "$IMAGE" >/dev/null
    fi
done

# best_of COMMAND...: the best wall time of RUNS runs (after one warm-up),
# and the user+sys CPU seconds of that run.
best_of() {
    "$@" >/dev/null 2>&1 || true
    local best="" cpu="" i
    for ((i = 0; i < RUNS; i++)); do
        local times wall user sys
        times=$(mktemp)
        /usr/bin/time -o "$times" -f '%e %U %S' "$@" >/dev/null 2>&1 || true
        read -r wall user sys <"$times"
        rm -f "$times"
        if [[ -z $best ]] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then
            best=$wall
            cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
        fi
    done
    echo "$best $cpu"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
read -r raw_wall raw_cpu < <(best_of "$CLI" search "$IMAGE" --days 1000000 --json)
printf '%-22s %6ss wall %6ss cpu\n' raw "$raw_wall" "$raw_cpu"
for form in qcow2:"$base.qcow2" e01-fast:"$base-fast.E01" e01-none:"$base-none.E01"; do
    name=${form%%:*}
    file=${form#*:}
    read -r wall cpu < <(best_of "$CLI" search "$file" --days 1000000 --json)
    ratio=$(awk -v a="$wall" -v b="$raw_wall" 'BEGIN { printf "%.2f", a / b }')
    printf '%-22s %6ss wall %6ss cpu  %sx raw\n' "$name" "$wall" "$cpu" "$ratio"
done
