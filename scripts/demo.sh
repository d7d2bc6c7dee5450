#!/usr/bin/env bash
# One command for a newcomer: builds the `resurgo` command line and lists
# the deleted files on the demo NTFS image (tests/fixtures/demo.img.zst):
# letters, a compressed report, photos with a non-ASCII name, a file in a
# deleted directory.
#
#   bash scripts/demo.sh              # build (build/demo) and search
#   DEMO_BUILD=/tmp/b bash scripts/demo.sh
#
# Installs the Debian packages through scripts/install-deps.sh only when a
# build tool or library that the demo needs is missing.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
build=${DEMO_BUILD:-$root/build/demo}
jobs=$(nproc 2>/dev/null || echo 2)

have_everything() {
    command -v cmake >/dev/null && command -v c++ >/dev/null && command -v make >/dev/null &&
        command -v zstd >/dev/null && [[ -f /usr/include/blkid/blkid.h && -f /usr/include/CLI/CLI.hpp &&
            -f /usr/include/nlohmann/json.hpp && -f /usr/include/rapidjson/writer.h ]]
}
if ! have_everything; then
    if [[ -f scripts/install-deps.sh ]]; then
        echo "demo: installing the build dependencies (scripts/install-deps.sh)"
        bash scripts/install-deps.sh
    fi
    have_everything || {
        echo "demo: needs cmake, a C++17 compiler, make, zstd, libblkid-dev, libcli11-dev," \
            "nlohmann-json3-dev and rapidjson-dev" >&2
        exit 1
    }
fi

echo "demo: building resurgo in $build"
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DRESURGO_TESTS=OFF >"$build/demo-configure.log" 2>&1 ||
    { cat "$build/demo-configure.log" >&2; exit 1; }
cmake --build "$build" --target resurgo -j"$jobs" >"$build/demo-build.log" 2>&1 ||
    { tail -n 40 "$build/demo-build.log" >&2; exit 1; }
resurgo=$build/cli/resurgo

image=$build/demo.img
if [[ ! -f $image || tests/fixtures/demo.img.zst -nt $image ]]; then
    zstd -q -d -f tests/fixtures/demo.img.zst -o "$image"
fi

echo "demo: resurgo search $image --days 1000000"
echo
"$resurgo" search "$image" --days 1000000

# The report's record number, as a script would take it from --json.
record=$("$resurgo" search "$image" --days 1000000 --pattern 'quarterly_report.txt' --json |
    sed -n 's/.*"record": *\([0-9]*\).*/\1/p' | head -n 1)

cat <<MORE

Next steps:
  $resurgo search $image --days 1000000 --pattern '*.jpg' --json
  $resurgo restore $image --record ${record:-N} --output /tmp/quarterly_report.txt
  $resurgo restore $image --all --output-dir /tmp/recovered --days 1000000
  $resurgo --help
MORE
