#!/usr/bin/env bash
# check_zip.sh <build> <work dir> <cpack> <objdump> <runner...>
#
# Smoke test of the Windows download: makes the zip from a Windows build
# (what `cmake --build <build> --target package` makes), unpacks it, checks
# that it holds exactly the programs and documents, that the programs need
# no DLL beside them, and runs two of them from the unpacked folder through
# <runner> (wine).
set -euo pipefail
build=$1 work=$2 cpack=$3 objdump=$4
shift 4
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

programs="brenmark.exe korvane-a.exe korvane-b.exe lzrpack.exe ossory.exe tillet-a.exe tillet-b.exe tm2png.exe"
expected=$(printf '%s\n' $programs README.md USAGE.txt licenses/libpng/LICENSE \
    licenses/libpng/copyright licenses/zlib/copyright | sort)
found=$(cd "$dir" && find . -type f | sed 's|^\./||' | sort)
if [ "$found" != "$expected" ]; then
    echo "the zip holds other files than expected:" >&2
    diff <(echo "$expected") <(echo "$found") >&2 || true
    exit 1
fi
# USAGE.txt is for Notepad: every line ends in CRLF.
if grep -q $'[^\r]$' "$dir/USAGE.txt" || ! grep -q $'\r$' "$dir/USAGE.txt"; then
    echo "USAGE.txt has lines that do not end in CRLF" >&2
    exit 1
fi
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
echo "$top.zip: $(echo $programs | wc -w) programs, README.md, USAGE.txt, licences; ran from the unpacked folder"
