#!/usr/bin/env bash
# need-packages.sh JOB: makes sure the Debian packages that JOB (demo, test or
# bench) needs are installed, as packaging/debian-packages.txt lists them.
# Nothing missing: silent, status 0. Run as root: installs what is missing.
# Otherwise: prints the one apt-get line that is needed and exits with 1, so
# that a build never starts only to fail minutes later.
#
# need-packages.sh --list JOB prints the packages of JOB on one line.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
list=false
if [ "${1:-}" = --list ]; then
    list=true
    shift
fi
job=${1:?usage: need-packages.sh [--list] demo|test|bench}

packages=()
while read -r name jobs; do
    case "$name" in '' | '#'*) continue ;; esac
    for j in $jobs; do
        if [ "$j" = "$job" ]; then
            packages+=("$name")
        fi
    done
done <"$here/debian-packages.txt"
if [ ${#packages[@]} -eq 0 ]; then
    echo "need-packages.sh: no packages are listed for '$job'" >&2
    exit 2
fi
if $list; then
    echo "${packages[*]}"
    exit 0
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    echo "== installing the missing Debian packages: ${missing[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
    exit 0
fi
echo "These Debian packages are missing; install them, then run this again:" >&2
echo "    sudo apt-get install ${missing[*]}" >&2
exit 1
