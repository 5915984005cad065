#!/usr/bin/env bash
# windows-deps.sh <prefix>
#
# Builds the libraries the Windows build links, with cmake/mingw-w64.cmake,
# statically, into <prefix>:
#   - libpng, from Debian's own source package (apt-get source libpng1.6),
#     against zlib from libz-mingw-w64-dev;
#   - libunistring, from Debian's own source package (apt-get source
#     libunistring), for libgettextpo: it breaks long PO lines by libunistring's
#     Unicode rules, and gettext's own older copy of them would break some
#     lines elsewhere than Debian's libgettextpo (which uses Debian's
#     libunistring), so the Windows programs' PO files would differ;
#   - libgettextpo (gettext's PO library, which brenmark reads and writes PO
#     files with), from Debian's own source package (apt-get source gettext):
#     gettext-tools is configured for MinGW and only its libgettextpo folder
#     is built, without native-language support, iconv or a shared library.
#   The two take about 4 minutes of processor time (libunistring 3, gettext
#   2 of configure and make), once.
#   - GoogleTest, from /usr/src/googletest (Debian package googletest);
#   - xxHash's header, from Debian's source package (apt-get source xxhash).
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

# --- libunistring ----------------------------------------------------------------
unistring_versions=$(apt-cache showsrc libunistring | sed -n 's/^Version: //p' | sort -u -r -V)
[ -n "$unistring_versions" ] || { echo "$0: apt lists no libunistring source package" >&2; exit 1; }
unistring_built=""
for unistring_version in $unistring_versions; do
    if [ -f "$(stamp_of libunistring "$unistring_version")" ]; then
        echo "libunistring $unistring_version: already built"
        unistring_built=$unistring_version
        break
    fi
done
for unistring_version in $unistring_versions; do
    [ -z "$unistring_built" ] || break
    rm -rf "$work/libunistring" "$work/libunistring-build"
    mkdir -p "$work/libunistring" "$work/libunistring-build"
    if ! (cd "$work/libunistring" && apt-get source -q libunistring="$unistring_version" >source.log 2>&1); then
        echo "libunistring $unistring_version: source not available ($(grep -m1 '^E:' "$work/libunistring/source.log" || true))"
        continue
    fi
    echo "libunistring $unistring_version: building the Debian source (a few minutes)"
    started=$(date +%s)
    src=$(find "$work/libunistring" -mindepth 1 -maxdepth 1 -type d -name 'libunistring*' | head -n1)
    [ -n "$src" ] || { echo "$0: apt-get source libunistring unpacked nothing" >&2; exit 1; }
    log=$work/libunistring-build.log
    if ! (
        cd "$work/libunistring-build" &&
            "$src/configure" --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix \
                --prefix="$prefix" --disable-shared --enable-static --disable-threads \
                --without-libiconv-prefix --disable-dependency-tracking &&
            make -C lib -j"$jobs" ACLOCAL=true AUTOCONF=true AUTOMAKE=true AUTOHEADER=true &&
            make -C lib install ACLOCAL=true AUTOCONF=true AUTOMAKE=true AUTOHEADER=true
    ) >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "$0: building libunistring failed (whole log: $log)" >&2
        exit 1
    fi
    mkdir -p "$prefix/share/doc/libunistring"
    cp "$src/COPYING" "$src/COPYING.LIB" "$src/debian/copyright" "$prefix/share/doc/libunistring/"
    rm -rf "$work/libunistring" "$work/libunistring-build" "$log"
    rm -f "$stamps"/libunistring-*
    touch "$(stamp_of libunistring "$unistring_version")"
    echo "libunistring $unistring_version: built in $(($(date +%s) - started)) s"
    unistring_built=$unistring_version
done
[ -n "$unistring_built" ] || { echo "$0: no libunistring source version could be fetched" >&2; exit 1; }

# --- libgettextpo ----------------------------------------------------------------
# gettext-tools' configure prepares the whole of gettext-tools, but only the
# libgettextpo folder is made. Debian's patches touch Makefile.am and
# configure.ac files without regenerating what they make; nothing they change
# matters to libgettextpo, so make is told not to run the autotools.
gettext_versions=$(apt-cache showsrc gettext | sed -n 's/^Version: //p' | sort -u -r -V)
[ -n "$gettext_versions" ] || { echo "$0: apt lists no gettext source package" >&2; exit 1; }
gettext_done=""
for gettext_version in $gettext_versions; do
    if [ -f "$(stamp_of gettextpo "$gettext_version+unistring-$unistring_built")" ]; then
        echo "libgettextpo $gettext_version: already built"
        gettext_done=yes
        break
    fi
done
for gettext_version in $gettext_versions; do
    [ -z "$gettext_done" ] || break
    rm -rf "$work/gettext" "$work/gettext-build"
    mkdir -p "$work/gettext" "$work/gettext-build"
    if ! (cd "$work/gettext" && apt-get source -q gettext="$gettext_version" >source.log 2>&1); then
        echo "libgettextpo $gettext_version: source not available ($(grep -m1 '^E:' "$work/gettext/source.log" || true))"
        continue
    fi
    echo "libgettextpo $gettext_version: building the Debian source (a few minutes)"
    started=$(date +%s)
    src=$(find "$work/gettext" -mindepth 1 -maxdepth 1 -type d -name 'gettext*' | head -n1)
    [ -n "$src" ] || { echo "$0: apt-get source gettext unpacked nothing" >&2; exit 1; }
    log=$work/gettext-build.log
    if ! (
        cd "$work/gettext-build" &&
            "$src/gettext-tools/configure" --host=x86_64-w64-mingw32 \
                CC=x86_64-w64-mingw32-gcc-posix CPPFLAGS="-I$prefix/include" \
                LDFLAGS="-L$prefix/lib" --prefix="$prefix" \
                --disable-shared --enable-static --disable-nls --disable-java --disable-csharp \
                --disable-openmp --disable-c++ --disable-acl --disable-threads --without-emacs \
                --without-git --without-bzip2 --without-xz --disable-dependency-tracking \
                --without-libiconv-prefix --without-libintl-prefix &&
            make -C libgettextpo -j"$jobs" ACLOCAL=true AUTOCONF=true AUTOMAKE=true AUTOHEADER=true
    ) >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "$0: building libgettextpo failed (whole log: $log)" >&2
        exit 1
    fi
    # Only the library and its public header: the other headers in that
    # folder are gnulib's replacements for the C library's own.
    mkdir -p "$prefix/lib" "$prefix/include" "$prefix/share/doc/gettext"
    cp "$work/gettext-build/libgettextpo/.libs/libgettextpo.a" "$prefix/lib/"
    cp "$work/gettext-build/libgettextpo/gettext-po.h" "$prefix/include/"
    cp "$src/COPYING" "$src/debian/copyright" "$prefix/share/doc/gettext/"
    grep -q "^LIBUNISTRING = .*-lunistring" "$work/gettext-build/libgettextpo/Makefile" ||
        { echo "$0: libgettextpo was not configured with the libunistring built here" >&2; exit 1; }
    rm -rf "$work/gettext" "$work/gettext-build" "$log"
    rm -f "$stamps"/gettextpo-*
    touch "$(stamp_of gettextpo "$gettext_version+unistring-$unistring_built")"
    echo "libgettextpo $gettext_version: built in $(($(date +%s) - started)) s"
    gettext_done=yes
done
[ -n "$gettext_done" ] || { echo "$0: no gettext source version could be fetched" >&2; exit 1; }

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

# --- xxHash ------------------------------------------------------------------------
# modkit's digests. The Windows build compiles the library's single header
# in (XXH_INLINE_ALL), so only the header and its licence are installed,
# from Debian's own source package.
xxh_versions=$(apt-cache showsrc xxhash | sed -n 's/^Version: //p' | sort -u -r -V)
[ -n "$xxh_versions" ] || { echo "$0: apt lists no xxhash source package" >&2; exit 1; }
xxh_done=""
for xxh_version in $xxh_versions; do
    if [ -f "$(stamp_of xxhash "$xxh_version")" ]; then
        echo "xxhash $xxh_version: already installed"
        xxh_done=yes
        break
    fi
done
for xxh_version in $xxh_versions; do
    [ -z "$xxh_done" ] || break
    rm -rf "$work/xxhash"
    mkdir -p "$work/xxhash"
    if ! (cd "$work/xxhash" && apt-get source -q xxhash="$xxh_version" >source.log 2>&1); then
        echo "xxhash $xxh_version: source not available ($(grep -m1 '^E:' "$work/xxhash/source.log" || true))"
        continue
    fi
    echo "xxhash $xxh_version: installing the Debian source's header"
    src=$(find "$work/xxhash" -mindepth 1 -maxdepth 1 -type d -name 'xxhash*' | head -n1)
    [ -n "$src" ] && [ -f "$src/xxhash.h" ] || { echo "$0: apt-get source xxhash gave no xxhash.h" >&2; exit 1; }
    mkdir -p "$prefix/include" "$prefix/share/doc/xxhash"
    cp "$src/xxhash.h" "$prefix/include/"
    cp "$src/LICENSE" "$src/debian/copyright" "$prefix/share/doc/xxhash/"
    rm -rf "$work/xxhash"
    rm -f "$stamps"/xxhash-*
    touch "$(stamp_of xxhash "$xxh_version")"
    xxh_done=yes
done
[ -n "$xxh_done" ] || { echo "$0: no xxhash source version could be fetched" >&2; exit 1; }
