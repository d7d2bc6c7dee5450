#!/usr/bin/env bash
# Builds the release packages into dist/, from release builds without
# sanitizers or tests:
#   resurgo_VERSION_amd64.deb          build/package-deb: the Linux command with
#                                      Debian's hardening flags, its man page,
#                                      bash completion and documentation (cpack)
#   resurgo-VERSION-windows-x64.zip    build/package-windows: resurgo.exe
#                                      (mingw-w64) with the user guide, LICENSE.txt
#                                      and README.txt (cpack)
# then checks the .deb with lintian (its whole report is printed; an error
# fails). VERSION is the one of project() in CMakeLists.txt.
#
#   bash scripts/package.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
((jobs > 2)) && jobs=2

bash scripts/install-deps.sh

# Dates in the man page and the changelog: the last commit's, so that the
# same sources make the same packages.
if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH

mkdir -p dist

# ---- .deb ----
deb_build=build/package-deb
# Debian's hardening flags (fortify, stack protector, relro, bindnow),
# without -g: the binary is stripped.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags=$(echo "$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" | sed -E 's/(^| )-g( |$)/ /')
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$deb_build" -DCMAKE_BUILD_TYPE=Release -DRESURGO_TESTS=OFF -DRESURGO_SANITIZE=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags"
cmake --build "$deb_build" -j"$jobs"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$deb_build/CMakeCache.txt")
deb=resurgo_${version}_amd64.deb
rm -f "$deb_build/$deb"
(cd "$deb_build" && cpack -G DEB)

# ---- Windows zip ----
win_build=build/package-windows
cmake -S . -B "$win_build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DRESURGO_TESTS=OFF
cmake --build "$win_build" -j"$jobs"
zip=resurgo-${version}-windows-x64.zip
rm -f "$win_build/$zip"
(cd "$win_build" && cpack -G ZIP)

rm -f dist/resurgo_*_amd64.deb dist/resurgo-*-windows-x64.zip
cp "$deb_build/$deb" "$win_build/$zip" dist/
echo "package: dist/$deb dist/$zip"

# ---- lintian ----
if command -v lintian >/dev/null; then
    echo "package: lintian dist/$deb"
    lintian --display-info "dist/$deb"
else
    echo "package: lintian is not installed; the .deb was not checked" >&2
fi
