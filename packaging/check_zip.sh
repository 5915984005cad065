#!/usr/bin/env bash
# check_zip.sh <build> <work dir> <cpack> <objdump> <program,program,...> <runner...>
#
# Smoke test of the Windows download: makes the zip from a Windows build
# (what `cmake --build <build> --target package` makes), unpacks it, checks
# that it holds exactly the programs, their manual pages as text and the
# documents, that the programs need no DLL beside them, and runs programs
# from the unpacked folder through <runner> (wine).
set -euo pipefail
build=$1 work=$2 cpack=$3 objdump=$4
IFS=, read -r -a names <<<"$5"
shift 5
runner=("$@")
rm -rf "$work"
mkdir -p "$work/unpacked" "$work/run"
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log"
zips=("$work"/out/korvane-suite-*-win64.zip)
[ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || { echo "no single zip made: ${zips[*]}" >&2; exit 1; }
(cd "$work/unpacked" && cmake -E tar xf "${zips[0]}")
top=$(basename "${zips[0]}" .zip)
dir=$work/unpacked/$top
[ -d "$dir" ] || { echo "the zip does not unpack into $top/" >&2; exit 1; }

programs=$(printf '%s.exe ' "${names[@]}")
pages=$(printf '%s.txt ' "${names[@]}")
expected=$(printf '%s\n' $programs $pages COPYING README.md USAGE.txt licenses/libpng/LICENSE \
    licenses/libpng/copyright licenses/zlib/copyright licenses/gettext/COPYING \
    licenses/gettext/copyright licenses/libunistring/COPYING licenses/libunistring/COPYING.LIB \
    licenses/libunistring/copyright licenses/xxhash/LICENSE licenses/xxhash/copyright | sort)
found=$(cd "$dir" && find . -type f | sed 's|^\./||' | sort)
if [ "$found" != "$expected" ]; then
    echo "the zip holds other files than expected:" >&2
    diff <(echo "$expected") <(echo "$found") >&2 || true
    exit 1
fi
# USAGE.txt and the pages are for Notepad: every line ends in CRLF.
for text in USAGE.txt $pages; do
    if grep -q $'[^\r]$' "$dir/$text" || ! grep -q $'\r$' "$dir/$text"; then
        echo "$text has lines that do not end in CRLF" >&2
        exit 1
    fi
done
for name in "${names[@]}"; do
    grep -q $'^       '"$name - " "$dir/$name.txt" ||
        { echo "$name.txt has no NAME line for $name" >&2; exit 1; }
done
# Static programs: nothing but the system's own DLLs.
for program in $programs; do
    dlls=$("$objdump" -p "$dir/$program" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')
    if [ "$dlls" != "KERNEL32.dll msvcrt.dll " ]; then
        echo "$program needs $dlls" >&2
        exit 1
    fi
done

# Two programs from the unpacked folder: an image compressed and decoded back.
cd "$work/run"
head -c 100000 "$dir/tm2png.exe" >image.tm2
"${runner[@]}" "$dir/lzrpack.exe" image.tm2 image.tm2.lzr
"${runner[@]}" "$dir/ossory.exe" image.tm2.lzr decoded.tm2
cmp image.tm2 decoded.tm2
status=0
"${runner[@]}" "$dir/ossory.exe" 2>usage.txt || status=$?
[ "$status" -eq 255 ] || { echo "ossory without arguments ended with $status" >&2; exit 1; }
grep -q "^usage: .*ossory.exe <input.tm2.lzr> <output.tm2>" usage.txt
# --help and --version from the unpacked folder.
"${runner[@]}" "$dir/tm2png.exe" --help >help.txt
grep -q $'^usage: .*tm2png.exe <image.tm2\\[.lzr\\]> <out.png>  |  .*\r$' help.txt ||
    { echo "tm2png.exe --help: $(head -1 help.txt)" >&2; exit 1; }
"${runner[@]}" "$dir/tm2png.exe" --version >version.txt
grep -q $'^libpng [0-9.]*\r$' version.txt || { echo "tm2png.exe --version: $(cat version.txt)" >&2; exit 1; }
echo "$top.zip: $(echo $programs | wc -w) programs and their pages, README.md, USAGE.txt, licences; ran from the unpacked folder"
