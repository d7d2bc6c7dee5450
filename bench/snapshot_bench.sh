#!/usr/bin/env bash
# Shadow-copy benchmark: `search --snapshots` against the plain search of the
# same volume, on the real image vsstest (two shadow copies; bare QCOW2 and
# converted to raw), page cache warm. Each copy is walked as a volume of its
# own after the live walk, so the search with copies should take at most
# (1 + copies) x the plain search plus the reading of the catalog. Prints the
# best of RUNS wall times and the ratio.
#
# Usage: bench/snapshot_bench.sh [VSSTEST_QCOW2]
# Environment: RESURGO_BENCH_CACHE (default /var/tmp/resurgo-bench), BUILD
# (Release build dir, default build-bench), RUNS (default 5).
# Needs: qemu-img, /usr/bin/time.
set -euo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
CACHE=${RESURGO_BENCH_CACHE:-/var/tmp/resurgo-bench}
BUILD=${BUILD:-$ROOT/build-bench}
IMAGE=${1:-$ROOT/../shared/real-images/formats/vsstest.qcow2}
RUNS=${RUNS:-5}
CLI=${CLI:-$BUILD/cli/resurgo}

[[ -f $IMAGE ]] || { echo "no image $IMAGE" >&2; exit 1; }
[[ -x $CLI ]] || { echo "build $CLI first (see bench/README.md)" >&2; exit 1; }
mkdir -p "$CACHE"
raw=$CACHE/vsstest.raw
[[ -f $raw && $raw -nt $IMAGE ]] || qemu-img convert -f qcow2 -O raw "$IMAGE" "$raw"

best_of() {
    "$@" >/dev/null 2>&1 || true
    local best="" i
    for ((i = 0; i < RUNS; i++)); do
        local times wall
        times=$(mktemp)
        /usr/bin/time -o "$times" -f '%e' "$@" >/dev/null 2>&1 || true
        read -r wall <"$times"
        rm -f "$times"
        if [[ -z $best ]] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$wall; fi
    done
    echo "$best"
}

copies=$("$CLI" snapshots "$raw" --json | grep -c '"number"' || true)
printf '%-10s %10s %12s %8s  (%s shadow copies; bound %sx)\n' form plain snapshots ratio "$copies" $((1 + copies))
for source in "$IMAGE" "$raw"; do
    plain=$(best_of "$CLI" search "$source" --json --days 1000000)
    with=$(best_of "$CLI" search "$source" --json --days 1000000 --snapshots)
    printf '%-10s %9ss %11ss %7sx\n' "${source##*.}" "$plain" "$with" \
        "$(awk -v a="$with" -v b="$plain" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
done
