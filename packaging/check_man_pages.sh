#!/usr/bin/env bash
# check_man_pages.sh <page.1...>
#
# Every manual page of the suite renders without a single warning: by groff
# with every warning on, by man as lintian runs it, and by lexgrog, which
# reads the NAME line for whatis and apropos. Each has the sections every
# page of the suite has, in order.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: check_man_pages.sh <page.1...>" >&2; exit 2; }
export LC_ALL=C.UTF-8
sections='NAME
SYNOPSIS
DESCRIPTION
OPTIONS
EXIT STATUS
FILES
EXAMPLES
SEE ALSO'
failed=0
problem() {
    echo "$1: $2" >&2
    failed=1
}
for page in "$@"; do
    out=$(groff -ww -z -man -Tutf8 "$page" 2>&1) || problem "$page" "groff failed"
    [ -z "$out" ] || problem "$page" "groff -ww: $out"
    out=$(MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
        problem "$page" "man -l failed"
    [ -z "$out" ] || problem "$page" "man --warnings: $out"
    name=$(basename "$page" .1)
    whatis=$(lexgrog "$page") || problem "$page" "lexgrog finds no NAME line"
    case "$whatis" in
    *"\"$name - "*) ;;
    *) problem "$page" "the NAME line is not \"$name - ...\": $whatis" ;;
    esac
    found=$(sed -n 's/^\.SH "\(.*\)"$/\1/p' "$page")
    [ "$found" = "$sections" ] || problem "$page" "sections $(echo $found) instead of $(echo $sections)"
done
[ "$failed" -eq 0 ] || exit 1
echo "$# manual pages render without warnings"
