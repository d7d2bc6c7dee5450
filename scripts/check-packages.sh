#!/usr/bin/env bash
# Checks the packages that scripts/package.sh left in dist/:
#   - the paths in resurgo_VERSION_amd64.deb (dpkg-deb -c) and its Depends,
#   - the paths in resurgo-VERSION-windows-x64.zip (unzip -l),
#   - cmake --install of the package build into a temporary prefix,
#   - as root: installs the .deb (dpkg -i), runs the installed resurgo on the
#     demo image, finds its man page (man -w) and bash completion (through
#     bash-completion's loader), and removes the package again. Skipped with
#     a message when not root, or when a resurgo package is installed already.
# Ends with "packages: N passed, N failed"; exits non-zero on a failure.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "check-packages: FAILED: $what" >&2
    fi
}

version=$(sed -n 's/^project(Resurgo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=dist/resurgo_${version}_amd64.deb
zip=dist/resurgo-${version}-windows-x64.zip
for f in "$deb" "$zip"; do
    [[ -f $f ]] || { echo "check-packages: $f is missing (run scripts/package.sh)" >&2; exit 1; }
done

# ---- contents ----
deb_list=$(dpkg-deb -c "$deb" | awk '{print $NF}')
zip_list=$(unzip -Z1 "$zip")
has() { grep -qxF -- "$2" <<<"$1"; }
for path in ./usr/bin/resurgo ./usr/share/man/man1/resurgo.1.gz ./usr/share/bash-completion/completions/resurgo \
    ./usr/share/doc/resurgo/resurgo.html ./usr/share/doc/resurgo/copyright ./usr/share/doc/resurgo/changelog.gz; do
    check "$deb contains $path" has "$deb_list" "$path"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "check-packages: Depends: $depends"
for lib in libc6 libstdc++6 libblkid1; do
    check "Depends names $lib" grep -q "\\b$lib\\b" <<<"$depends"
done
check "the .deb's version is $version" test "$(dpkg-deb -f "$deb" Version)" = "$version"
top=resurgo-${version}-windows-x64
for path in resurgo.exe resurgo.html LICENSE.txt README.txt; do
    check "$zip contains $top/$path" has "$zip_list" "$top/$path"
done
check "resurgo.exe is a 64-bit Windows program" \
    bash -c "unzip -p '$zip' '$top/resurgo.exe' | file - | grep -q 'PE32+ executable (GUI) x86-64'"

# ---- cmake --install into a prefix, as by hand ----
if [[ -f build/package-deb/cmake_install.cmake ]]; then
    prefix=$(mktemp -d)
    cmake --install build/package-deb --prefix "$prefix" >/dev/null
    for path in bin/resurgo share/man/man1/resurgo.1.gz share/bash-completion/completions/resurgo \
        share/doc/resurgo/copyright share/doc/resurgo/resurgo.html; do
        check "cmake --install --prefix puts $path under the prefix" test -f "$prefix/$path"
    done
    rm -rf "$prefix"
fi

# ---- install, use, remove ----
# dpkg, waiting (up to 10 minutes) while another apt or dpkg run holds its lock.
dpkg_waiting() {
    local tries=0 out rc
    while :; do
        out=$(dpkg "$@" 2>&1) && rc=0 || rc=$?
        if ((rc != 0)) && grep -q "lock" <<<"$out" && ((tries < 120)); then
            tries=$((tries + 1))
            sleep 5
            continue
        fi
        printf '%s\n' "$out"
        return "$rc"
    done
}
if [[ $(id -u) -ne 0 ]]; then
    echo "check-packages: not root: the .deb is not installed (dpkg -i) here"
elif dpkg-query -W -f='${Status}' resurgo 2>/dev/null | grep -q "install ok installed"; then
    echo "check-packages: a resurgo package is installed already: left alone, the install test is skipped"
else
    work=$(mktemp -d)
    trap 'dpkg_waiting -r resurgo >/dev/null 2>&1; rm -rf "$work"' EXIT
    check "dpkg -i $deb" dpkg_waiting -i "$deb"
    zstd -q -d tests/fixtures/demo.img.zst -o "$work/demo.img"
    check "the installed resurgo finds quarterly_report.txt on the demo image" \
        bash -c "/usr/bin/resurgo search '$work/demo.img' --days 1000000 --pattern 'quarterly_report.txt' --json |
                 grep -Eq '\"name\": ?\"quarterly_report.txt\"'"
    check "resurgo --version says $version" bash -c "resurgo --version | grep -qx 'resurgo $version'"
    check "man -w resurgo" test "$(man -w resurgo)" = /usr/share/man/man1/resurgo.1.gz
    check "man resurgo renders" bash -c "MANWIDTH=80 man resurgo 2>&1 | grep -q 'EXIT STATUS'"
    check "bash-completion loads the completion" bash -c \
        ". /usr/share/bash-completion/bash_completion; __load_completion resurgo; complete -p resurgo | grep -q _resurgo"
    check "dpkg -r resurgo" dpkg_waiting -r resurgo
    check "resurgo is gone" test ! -e /usr/bin/resurgo
fi

echo "packages: $passed passed, $failed failed"
((failed == 0))
