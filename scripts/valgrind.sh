#!/usr/bin/env bash
# The native test programs once under valgrind memcheck (no sanitizers in
# this build: valgrind and AddressSanitizer don't mix). Fails on any memcheck
# error or definite leak.
#
#   scripts/valgrind.sh                 # every test program
#   scripts/valgrind.sh test_ntfs ...   # some of them
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VALGRIND_BUILD_DIR:-$ROOT/build/valgrind}
command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind not found" >&2; exit 2; }
TESTS=("$@")
if [ ${#TESTS[@]} -eq 0 ]; then
  TESTS=(test_core test_platform test_volume test_ntfs test_file test_recovery test_hostile)
fi
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DRESURGO_SANITIZE=OFF >/dev/null
existing=()
for t in "${TESTS[@]}"; do
  [ -n "$(ls "$ROOT"/tests/"${t#test_}"/*.cpp 2>/dev/null)" ] && existing+=("$t")
done
cmake --build "$BUILD" -j"$(nproc)" --target fixtures "${existing[@]}" >/dev/null
status=0
for t in "${existing[@]}"; do
  start=$SECONDS
  if RESURGO_SLOW_FACTOR=50 valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
      --quiet "$BUILD/tests/$t" --gtest_brief=1 >"$BUILD/$t.valgrind.log" 2>&1; then
    echo "$t: clean ($((SECONDS - start)) s)"
  else
    echo "$t: FAILED ($((SECONDS - start)) s), see $BUILD/$t.valgrind.log" >&2
    status=1
  fi
done
exit $status
