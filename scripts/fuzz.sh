#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, ASan + UBSan) and runs each of them
# for SECONDS (default 60), at most FUZZ_JOBS (default 1) at a time.
#
#   scripts/fuzz.sh 600                    # every target, 10 minutes each
#   FUZZ_JOBS=2 scripts/fuzz.sh 600        # two at a time
#   scripts/fuzz.sh 30 fuzz_search         # some targets only
#
# Seeds come from fuzz/corpus/<target> (read only); what a run learns goes to
# BUILD/corpus/<target>, crashes to BUILD/artifacts/, logs to BUILD/logs/.
# Exits non-zero when a target found a crash, a leak, a hang or an OOM.
set -euo pipefail

SECONDS_EACH=${1:-60}
shift || true
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
JOBS=${FUZZ_JOBS:-1}
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
  TARGETS=(fuzz_mft_record fuzz_runlist fuzz_lznt1 fuzz_boot_sector fuzz_search fuzz_deep_scan fuzz_vhdx_log
           fuzz_partition_table fuzz_qcow_map fuzz_ewf_segment fuzz_shadow_catalog
           fuzz_logfile fuzz_bitlocker_metadata fuzz_carve)
fi

CLANG=${CLANG:-clang-14}
CLANGXX=${CLANGXX:-clang++-14}
if ! command -v "$CLANGXX" >/dev/null; then
  echo "fuzz.sh: $CLANGXX not found (apt-get install clang-14 libclang-rt-14-dev)" >&2
  exit 2
fi
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  CC=$CLANG CXX=$CLANGXX cmake -S "$ROOT" -B "$BUILD" -DRESURGO_FUZZ=ON -DRESURGO_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" -j"$(nproc)" --target "${TARGETS[@]}" >/dev/null

mkdir -p "$BUILD/artifacts" "$BUILD/logs"
run_one() {
  local t=$1 max_len=""
  [ "$t" = fuzz_search ] && max_len="-max_len=90000"
  [ "$t" = fuzz_deep_scan ] && max_len="-max_len=200000"
  [ "$t" = fuzz_carve ] && max_len="-max_len=70000"
  [ "$t" = fuzz_vhdx_log ] && max_len="-max_len=65536"
  [ "$t" = fuzz_partition_table ] && max_len="-max_len=70000"
  [ "$t" = fuzz_qcow_map ] && max_len="-max_len=330000"
  [ "$t" = fuzz_shadow_catalog ] && max_len="-max_len=196608"
  mkdir -p "$BUILD/corpus/$t"
  local log="$BUILD/logs/$t.log"
  local rc=0 seeds=()
  # A target may have no committed seeds yet: it then starts from nothing.
  [ -d "$ROOT/fuzz/corpus/$t" ] && seeds=("$ROOT/fuzz/corpus/$t")
  "$BUILD/fuzz/$t" "$BUILD/corpus/$t" "${seeds[@]}" $max_len \
    -max_total_time="$SECONDS_EACH" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$BUILD/artifacts/$t-" >"$log" 2>&1 || rc=$?
  local execs
  execs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
  if [ $rc -eq 0 ]; then
    echo "$t: ${SECONDS_EACH}s, ${execs:-?} executions, no findings"
  else
    echo "$t: FAILED (exit $rc) after ${execs:-?} executions; see $log and $BUILD/artifacts/" >&2
  fi
  return $rc
}

status=0
pids=()
for t in "${TARGETS[@]}"; do
  run_one "$t" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$JOBS" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
