#!/usr/bin/env bash
# Installs the Debian 12 packages this project needs to build and test:
# native toolchain and test libraries, the mingw-w64 cross compilers, Wine
# (to run the Windows tests), Xvfb, the tools that make and inspect the NTFS
# fixture images, and the analysis tools. Idempotent: apt is asked only for
# what is missing, and the package lists are refreshed only then.
set -euo pipefail

packages=(
    # native build and tests
    build-essential cmake g++ python3
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libblkid-dev libcli11-dev nlohmann-json3-dev rapidjson-dev
    # inflating carved GZIP files, natively and in the Windows build
    zlib1g-dev libz-mingw-w64-dev
    # disk image containers (E01, VHD/VHDX, VMDK, QCOW2) for the Linux build
    libewf-dev libvhdi-dev libvmdk-dev libqcow-dev libbfio-dev
    # shadow copies (and their command-line tools for the fixtures' truth),
    # BitLocker volumes, and the ciphers under them
    libvshadow-dev libvshadow-utils libbde-dev libbde-utils libssl-dev
    # the stores of a volume with shadow copies written out for the dialog's test
    python3-libvshadow
    # Windows cross build, run under Wine (64-bit only), with a display
    g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix wine wine64
    xvfb xauth
    # fixture images: compress, make, fill and inspect NTFS volumes
    zstd ntfs-3g attr sleuthkit
    # the carving case (a sample NTFS image) and the carver it is compared with
    forensics-samples-ntfs testdisk
    # the FLAC files the carving tests make with its own encoder
    flac
    # disk fixtures: tables, other file systems, containers
    fdisk gdisk e2fsprogs dosfstools qemu-utils ewf-tools
    # screenshots, fuzzing/sanitizers with clang, checks
    imagemagick clang-14 libclang-rt-14-dev valgrind clang-tidy
    # release packages: .deb (CPack, dpkg-shlibdeps, lintian), man page
    # and bash completion checks, the Windows zip
    dpkg-dev file lintian man-db groff-base bash-completion unzip
)

missing=()
for p in "${packages[@]}"; do
    if [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" != "install ok installed" ]]; then
        missing+=("$p")
    fi
done

if ((${#missing[@]} > 0)); then
    echo "install-deps: installing ${missing[*]}"
    if [[ $(id -u) -ne 0 ]]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "install-deps: missing packages and not root: ${missing[*]}" >&2
            exit 1
        fi
    else
        sudo=()
    fi
    export DEBIAN_FRONTEND=noninteractive
    # Wait for another apt/dpkg run instead of failing on its lock.
    apt_opts=(-o DPkg::Lock::Timeout=600 -o Acquire::Retries=3)
    "${sudo[@]}" apt-get "${apt_opts[@]}" update -qq
    "${sudo[@]}" apt-get "${apt_opts[@]}" install -y -qq "${missing[@]}" </dev/null
else
    echo "install-deps: all ${#packages[@]} packages present"
fi

# The commands the scripts and CMake files call, under their real names.
commands=(
    cmake ctest g++ gcc make python3 zstd
    x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres
    wine wineserver xvfb-run xauth
    mkntfs ntfs-3g ntfsinfo setfattr getfattr fls istat mmls
    sfdisk sgdisk fdisk mkfs.ext4 mkfs.vfat qemu-img ewfacquire ewfexport
    clang-14 clang++-14 clang-tidy valgrind
    dpkg-deb dpkg-shlibdeps dpkg-buildflags file lintian man groff unzip
)
PATH="$PATH:/usr/sbin:/sbin"
absent=()
for c in "${commands[@]}"; do
    command -v "$c" >/dev/null 2>&1 || absent+=("$c")
done
[[ -x /usr/lib/wine/wine64 ]] || command -v wine64 >/dev/null 2>&1 || absent+=("wine64 (/usr/lib/wine/wine64)")
if ((${#absent[@]} > 0)); then
    echo "install-deps: commands still missing: ${absent[*]}" >&2
    exit 1
fi
