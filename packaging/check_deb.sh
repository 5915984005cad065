#!/usr/bin/env bash
# check_deb.sh <build> <work dir> <cpack>
#
# Smoke test of the Debian package: makes the .deb from a Linux build (what
# `cmake --build <build> --target package` makes), checks its dependencies,
# installs it into a temporary root with dpkg -x and runs two programs from
# there.
set -euo pipefail
build=$1 work=$2 cpack=$3
rm -rf "$work"
mkdir -p "$work/root" "$work/run"
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log"
debs=("$work"/out/korvane-suite_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "no single .deb made: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in
*libpng16-16*) ;;
*) echo "the package does not depend on libpng: Depends: $depends" >&2; exit 1 ;;
esac
dpkg -x "$deb" "$work/root"
expected=$(printf '%s\n' usr/bin/brenmark usr/bin/korvane-a usr/bin/korvane-b usr/bin/lzrpack \
    usr/bin/ossory usr/bin/tillet-a usr/bin/tillet-b usr/bin/tm2png \
    usr/share/doc/korvane-suite/README.md | sort)
found=$(cd "$work/root" && find . -type f | sed 's|^\./||' | sort)
if [ "$found" != "$expected" ]; then
    echo "the package installs other files than expected:" >&2
    diff <(echo "$expected") <(echo "$found") >&2 || true
    exit 1
fi
bin=$work/root/usr/bin
cd "$work/run"
head -c 100000 "$bin/tm2png" >image.tm2
"$bin/lzrpack" image.tm2 image.tm2.lzr
"$bin/ossory" image.tm2.lzr decoded.tm2
cmp image.tm2 decoded.tm2
status=0
"$bin/ossory" 2>usage.txt || status=$?
[ "$status" -eq 255 ] || { echo "ossory without arguments ended with $status" >&2; exit 1; }
grep -q "^usage: .*ossory <input.tm2.lzr> <output.tm2>" usage.txt
echo "$(basename "$deb"): Depends: $depends; ran from a dpkg -x root"
