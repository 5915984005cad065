#!/usr/bin/env bash
# windows-deps.sh <prefix>
#
# Builds the libraries the Windows build links, with cmake/mingw-w64.cmake,
# statically, into <prefix>:
#   - libpng, from Debian's own source package (apt-get source libpng1.6),
#     against zlib from libz-mingw-w64-dev;
#   - GoogleTest, from /usr/src/googletest (Debian package googletest).
# A part already built with the same source version and the same toolchain
# file is skipped, so a CI cache of <prefix> makes a later run free.
#
# Needs the Debian packages g++-mingw-w64-x86-64, libz-mingw-w64-dev,
# googletest, dpkg-dev and cmake. To fetch the libpng source it adds deb-src
# entries mirroring the system's Debian deb entries, once (as root).
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 <prefix>" >&2
    exit 2
fi
mkdir -p "$1"
prefix=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
toolchain=$here/mingw-w64.cmake
jobs=$(nproc 2>/dev/null || echo 2)
work=$prefix/work
stamps=$prefix/stamps
mkdir -p "$work" "$stamps"
toolchain_sum=$(sha256sum "$toolchain" | cut -c1-16)

# stamp_of <name> <version>: the stamp that says <name> <version> was built
# with this toolchain file.
stamp_of() { echo "$stamps/$1-$2-$toolchain_sum"; }

cmake_build() {  # <source> <build> [cmake options...]; output in <build>.log, shown on failure
    local src=$1 build=$2
    shift 2
    if ! {
        cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$prefix" -DSUITE_WINDOWS_DEPS="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" &&
            cmake --build "$build" -j"$jobs" &&
            cmake --install "$build"
    } >"$build.log" 2>&1; then
        tail -n 40 "$build.log" >&2
        echo "$0: building $src failed (whole log: $build.log)" >&2
        exit 1
    fi
    rm -rf "$build"  # only the installed files are kept
}

# --- Debian source entries -----------------------------------------------------
# The deb-src counterpart of every Debian entry the system already uses, so
# the source comes from the same archive and suites as the binary packages.
# Written once; a later run finds the source entries and skips this.
have_debian_src() {
    apt-get source --print-uris libpng1.6 >/dev/null 2>&1
}
if ! have_debian_src; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "$0: apt has no deb-src entry for Debian, and adding one needs root" >&2
        exit 1
    fi
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        # deb822 stanzas: the same stanzas, with Types: deb-src.
        sed -n '/^Types:/,/^$/p' /etc/apt/sources.list.d/debian.sources |
            sed -e 's/^Types:.*/Types: deb-src/' >/etc/apt/sources.list.d/korvane-suite-src.sources
    elif [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list >/etc/apt/sources.list.d/korvane-suite-src.list
    fi
    apt-get update >/dev/null
    if ! have_debian_src; then
        echo "$0: apt-get source libpng1.6 still finds no source package" >&2
        exit 1
    fi
fi

# --- libpng ----------------------------------------------------------------------
# The newest source version the archive lists that can be fetched (an index
# can list a version whose files the archive does not serve (yet); the next
# older one is taken then).
png_versions=$(apt-cache showsrc libpng1.6 | sed -n 's/^Version: //p' | sort -u -r -V)
[ -n "$png_versions" ] || { echo "$0: apt lists no libpng1.6 source package" >&2; exit 1; }
png_done=""
for png_version in $png_versions; do  # a listed version built before: nothing to fetch
    if [ -f "$(stamp_of libpng "$png_version")" ]; then
        echo "libpng $png_version: already built"
        png_done=yes
        break
    fi
done
for png_version in $png_versions; do
    [ -z "$png_done" ] || break
    rm -rf "$work/libpng" "$work/libpng-build"
    mkdir -p "$work/libpng"
    if ! (cd "$work/libpng" && apt-get source -q libpng1.6="$png_version" >source.log 2>&1); then
        echo "libpng $png_version: source not available ($(grep -m1 '^E:' "$work/libpng/source.log" || true))"
        continue
    fi
    echo "libpng $png_version: building the Debian source"
    src=$(find "$work/libpng" -mindepth 1 -maxdepth 1 -type d -name 'libpng*' | head -n1)
    [ -n "$src" ] || { echo "$0: apt-get source libpng1.6 unpacked nothing" >&2; exit 1; }
    cmake_build "$src" "$work/libpng-build" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
        -DPNG_EXECUTABLES=OFF
    # The licence texts travel with programs that link libpng and zlib.
    mkdir -p "$prefix/share/doc/libpng" "$prefix/share/doc/zlib"
    cp "$src/LICENSE" "$src/debian/copyright" "$prefix/share/doc/libpng/"
    cp /usr/share/doc/libz-mingw-w64-dev/copyright "$prefix/share/doc/zlib/"
    rm -rf "$work/libpng"
    rm -f "$stamps"/libpng-*
    touch "$(stamp_of libpng "$png_version")"
    png_done=yes
done
[ -n "$png_done" ] || { echo "$0: no libpng1.6 source version could be fetched" >&2; exit 1; }

# --- GoogleTest --------------------------------------------------------------------
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
gtest_stamp=$(stamp_of googletest "$gtest_version")
if [ -f "$gtest_stamp" ]; then
    echo "googletest $gtest_version: already built"
else
    echo "googletest $gtest_version: building /usr/src/googletest"
    rm -rf "$work/googletest-build"
    cmake_build /usr/src/googletest "$work/googletest-build" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
    rm -f "$stamps"/googletest-*
    touch "$gtest_stamp"
fi
