#!/usr/bin/env bash
# Builds and tests everything, as CI does:
#   1. installs the Debian packages (scripts/install-deps.sh),
#   2. native build with AddressSanitizer/UBSan and -Werror (build/native), ctest,
#   3. Windows cross build with mingw-w64 and -Werror (build/mingw), ctest with
#      every .exe run under Wine, inside Xvfb,
#   4. the release packages (scripts/package.sh: .deb with lintian, Windows
#      zip) and their checks (scripts/check-packages.sh: contents; as root,
#      the .deb installed, used and removed).
# Exits non-zero if any step fails. Ends with the ctest summaries and a
# "Total: N passed, N failed" line.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
exec </dev/null

failed=0
timings=()
summaries=()
total_passed=0
total_failed=0

# run_phase NAME COMMAND...: runs and times one phase; a failure is recorded.
run_phase() {
    local name=$1
    shift
    echo
    echo "==== $name ===="
    local start=$SECONDS rc=0
    "$@" || rc=$?
    local took=$((SECONDS - start))
    if ((rc == 0)); then
        timings+=("$(printf '%-28s %4ds' "$name" "$took")")
    else
        timings+=("$(printf '%-28s %4ds  FAILED (exit %d)' "$name" "$took" "$rc")")
        failed=1
    fi
    return "$rc"
}

# record_ctest LABEL LOG: keeps ctest's summary lines and adds up the counts.
record_ctest() {
    local label=$1 log=$2 line
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [[ -z "$line" ]]; then
        summaries+=("$label: no ctest summary (see above)")
        failed=1
        return
    fi
    summaries+=("$label: $line")
    local failures total
    failures=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    total_failed=$((total_failed + failures))
    total_passed=$((total_passed + total - failures))
}

# record_checks LABEL LOG: keeps a "LABEL: N passed, N failed" line and adds up the counts.
record_checks() {
    local label=$1 log=$2 line
    line=$(grep -E "^$label: [0-9]+ passed, [0-9]+ failed" "$log" | tail -n 1)
    if [[ -z "$line" ]]; then
        summaries+=("$label: no summary (see above)")
        failed=1
        return
    fi
    summaries+=("$line")
    total_passed=$((total_passed + $(sed -E 's/.*: ([0-9]+) passed.*/\1/' <<<"$line")))
    total_failed=$((total_failed + $(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")))
}

ctest_in() {
    local dir=$1
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j"$jobs" 2>&1 | tee "$dir/ctest.log"
}

mingw=build/mingw

# The Windows tests, run by this script itself inside xvfb-run (an exported
# function would not survive xvfb-run's /bin/sh). The Wine prefixes and
# their servers are set up by the CTest emulators (cmake/wine-run.sh) on
# first use and stopped here.
if [[ "${1:-}" == "--wine-tests-in-xvfb" ]]; then
    rc=0
    ctest_in "$mingw" || rc=$?
    for prefix in "$root/$mingw"/wineprefix*/; do
        [[ -d "$prefix" ]] && WINEPREFIX="${prefix%/}" wineserver -k >/dev/null 2>&1
    done
    exit "$rc"
fi

run_phase "dependencies" bash scripts/install-deps.sh || {
    echo "test.sh: cannot install the dependencies" >&2
    exit 1
}

# ---- native ----
native=build/native
if run_phase "native configure" cmake -S . -B "$native" -DRESURGO_SANITIZE=ON -DRESURGO_WERROR=ON &&
    run_phase "native build" cmake --build "$native" -j"$jobs"; then
    run_phase "native tests" ctest_in "$native"
    record_ctest "native" "$native/ctest.log"
fi

# ---- optional: static analysis and fuzz smoke run, when the tools are installed ----
if command -v clang-tidy-14 >/dev/null; then
    run_phase "clang-tidy" env TIDY_BUILD_DIR="$root/build/tidy" bash scripts/tidy.sh
fi
if command -v clang++-14 >/dev/null; then
    run_phase "fuzz smoke (5 s each)" env FUZZ_BUILD_DIR="$root/build/fuzz" bash scripts/fuzz.sh 5
fi

# ---- Windows cross build, tests under Wine ----
if run_phase "mingw configure" cmake -S . -B "$mingw" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DRESURGO_WERROR=ON &&
    run_phase "mingw build" cmake --build "$mingw" -j"$jobs"; then
    run_phase "mingw tests (Wine)" xvfb-run -a -s "-screen 0 1280x1024x24" bash scripts/test.sh --wine-tests-in-xvfb
    record_ctest "mingw/Wine" "$mingw/ctest.log"
fi

# ---- release packages (release builds in build/package-*), their contents and install ----
if run_phase "packages" bash scripts/package.sh; then
    mkdir -p build
    run_phase "package checks" bash -c 'set -o pipefail; bash scripts/check-packages.sh 2>&1 | tee build/check-packages.log'
    record_checks "packages" build/check-packages.log
fi

echo
echo "==== Timings ===="
printf '%s\n' "${timings[@]}"
printf '%-28s %4ds\n' "all" "$SECONDS"
echo
echo "==== Summary ===="
printf '%s\n' "${summaries[@]}"
if ((failed != 0 || total_failed != 0)); then
    echo "test.sh: FAILED"
fi
echo "Total: $total_passed passed, $total_failed failed"
((failed == 0 && total_failed == 0))
