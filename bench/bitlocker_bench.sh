#!/usr/bin/env bash
# Decryption cost on the big image (bench/make-big-image.sh): makes an
# encrypted copy with resurgo_bitlocker_copy (the key of a BitLocker volume
# Windows made; the copy is read back and compared before it is used) and
# times, best of RUNS with a warm page cache,
#   (a) `resurgo search` of every deleted file as JSON, plain and encrypted;
#   (b) `resurgo search --deep` (reads the whole volume), plain and encrypted;
# then prints the ratios, beside `openssl speed` for the ciphers.
#
# Usage: bench/bitlocker_bench.sh TEMPLATE PASSWORD [IMAGE]
#   TEMPLATE  a BitLocker volume (e.g. bitlk-aes-xts-128.img of the real images)
# Environment: BUILD (Release build with -DRESURGO_BENCH=ON, default
# build-bench), RUNS (default 3), RESURGO_BENCH_CACHE (default
# /var/tmp/resurgo-bench; the copy is written there).
set -euo pipefail
export LC_ALL=C
TEMPLATE=$1
PASSWORD=$2
CACHE=${RESURGO_BENCH_CACHE:-/var/tmp/resurgo-bench}
IMAGE=${3:-$CACHE/big.img}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
RUNS=${RUNS:-3}
RESURGO=$BUILD/cli/resurgo
COPY=$BUILD/bench/resurgo_bitlocker_copy
ENCRYPTED=$CACHE/$(basename "$IMAGE" .img).bitlocker.img

[ -s "$ENCRYPTED" ] && [ "$ENCRYPTED" -nt "$IMAGE" ] || "$COPY" "$TEMPLATE" "$PASSWORD" "$IMAGE" "$ENCRYPTED"

best() {  # best wall time in seconds of RUNS runs of "$@"
  local best=
  for _ in $(seq "$RUNS"); do
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s%N)
    local s=$(( (t1 - t0) / 1000000 ))
    if [ -z "$best" ] || [ "$s" -lt "$best" ]; then best=$s; fi
  done
  echo "$best"
}

for mode in "" "--deep"; do
  plain=$(best "$RESURGO" search "$IMAGE" --days 1000000 --json $mode)
  enc=$(best "$RESURGO" search "$ENCRYPTED" --days 1000000 --json $mode --password "$PASSWORD")
  echo "search ${mode:-(walk)}: plain ${plain} ms, encrypted ${enc} ms, ratio $(python3 -c "print(round($enc/$plain, 2))")"
done
echo "deep scan reads $(stat -c %s "$IMAGE") bytes"
for cipher in aes-128-xts aes-256-xts aes-128-cbc aes-256-cbc; do
  openssl speed -evp "$cipher" -bytes 4096 -seconds 2 2>/dev/null | grep -E "^$cipher|^AES" | tail -1
done
