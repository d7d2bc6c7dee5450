#!/usr/bin/env bash
# clang-tidy over the engine with the checks of .clang-tidy (bugprone-*,
# cert-*, performance-*); any finding fails.
#
#   scripts/tidy.sh              # every engine source
#   scripts/tidy.sh --changed    # engine sources changed since origin/main (or HEAD~1)
#
# Needs clang-tidy-14 (CLANG_TIDY=... for another) and a compile database:
# TIDY_BUILD_DIR (default build-tidy) is configured for it when missing
# (configure only, nothing is built).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
TIDY=${CLANG_TIDY:-clang-tidy-14}
BUILD=${TIDY_BUILD_DIR:-$ROOT/build-tidy}
if ! command -v "$TIDY" >/dev/null; then
  echo "tidy.sh: $TIDY not found (apt-get install clang-tidy-14)" >&2
  exit 2
fi
if [ ! -f "$BUILD/compile_commands.json" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DRESURGO_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
fi

# The engine's sources for this platform (the Win32 ones need windows.h).
mapfile -t all < <(ls core/*.cpp source/*.cpp volume/*.cpp ntfs/*.cpp file/*.cpp recovery/*.cpp recovery/*/*.cpp platform/*.cpp 2>/dev/null |
  grep -v 'Win32\.cpp$')
files=("${all[@]}")
if [ "${1:-}" = "--changed" ]; then
  base=$(git merge-base HEAD origin/main 2>/dev/null || git rev-parse HEAD~1)
  mapfile -t changed < <(git diff --name-only "$base" -- core source volume ntfs file recovery platform)
  files=()
  for f in "${all[@]}"; do
    for c in "${changed[@]}"; do
      # A changed header re-checks every source of its folder.
      if [ "$f" = "$c" ] || { [ "${c%.h}" != "$c" ] && [ "$(dirname "$f")" = "$(dirname "$c")" ]; }; then
        files+=("$f")
        break
      fi
    done
  done
  if [ ${#files[@]} -eq 0 ]; then
    echo "tidy.sh: no engine source changed"
    exit 0
  fi
fi

rc=0
out=$(printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 4 "$TIDY" -p "$BUILD" --quiet 2>&1) || rc=$?
printf '%s\n' "$out" | grep -v -E '^[0-9]+ warnings?( and [0-9]+ errors?)? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^$' || true
if [ $rc -eq 0 ]; then
  echo "tidy.sh: ${#files[@]} files clean"
else
  echo "tidy.sh: findings above" >&2
  exit 1
fi
