#!/usr/bin/env bash
# check_deb.sh <build> <work dir> <cpack> <program,program,...>
#
# Checks the Debian package: makes the .deb from a Linux build (what
# `cmake --build <build> --target package` makes), has lintian check it (no
# error and no warning may remain), checks its dependencies and that it
# installs exactly the programs, their manual pages and the documents, then
# unpacks it into a temporary root with dpkg -x and runs programs from there.
set -euo pipefail
build=$1 work=$2 cpack=$3
IFS=, read -r -a programs <<<"$4"
rm -rf "$work"
mkdir -p "$work/root" "$work/run"
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log"
debs=("$work"/out/korvane-suite_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "no single .deb made: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}

# lintian: what Debian's archive asks of every package. Its informational
# tags are shown, not held against the package.
command -v lintian >/dev/null || { echo "lintian is not installed (Debian package lintian)" >&2; exit 1; }
if ! lintian --fail-on error,warning --display-info "$deb" >"$work/lintian.log" 2>&1; then
    echo "lintian finds errors or warnings in $(basename "$deb"):" >&2
    cat "$work/lintian.log" >&2
    exit 1
fi
if grep -q '^[EW]: ' "$work/lintian.log"; then
    echo "lintian reports errors or warnings:" >&2
    cat "$work/lintian.log" >&2
    exit 1
fi

depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in
*libpng16-16*) ;;
*) echo "the package does not depend on libpng: Depends: $depends" >&2; exit 1 ;;
esac
dpkg -x "$deb" "$work/root"
doc=usr/share/doc/korvane-suite
expected=$(
    for p in "${programs[@]}"; do
        echo "usr/bin/$p"
        echo "usr/share/man/man1/$p.1.gz"
    done
    printf '%s\n' "$doc/README.md" "$doc/copyright" "$doc/changelog.Debian.gz" \
        usr/share/lintian/overrides/korvane-suite
)
expected=$(echo "$expected" | sort)
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
# Every program's --help from the package, and its page as man shows it.
for p in "${programs[@]}"; do
    "$bin/$p" --help >help.txt
    grep -q "^usage: .*$p " help.txt || { echo "$p --help: $(head -1 help.txt)" >&2; exit 1; }
    man -l "$work/root/usr/share/man/man1/$p.1.gz" 2>&1 | grep -q "^NAME" ||
        { echo "man finds no NAME in the page of $p" >&2; exit 1; }
done
echo "$(basename "$deb"): lintian finds nothing; Depends: $depends; ran from a dpkg -x root"
