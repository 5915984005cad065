#!/usr/bin/env bash
# Measures how korvane's archive rebuild should copy files into the archive:
# inside the kernel (copy_file_range) or through a 1 MiB buffer, with one
# thread and with one per core, against tar -cf of the same tree, in the
# folder given (a tmpfs for the page cache, a disk folder for the disk).
#
#   bench/copy_methods.sh <folder> [size] [rounds]
#
# size: of the generated RPK.BIN (default 1G); rounds: default 5. Needs
# about three times the size free in <folder>. On a disk, `sync` runs before
# each timed command and the page cache is left as it is (what a modder's
# second rebuild meets); see docs/performance.md for the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
base=${1:?usage: bench/copy_methods.sh <folder> [size] [rounds]}
size=${2:-1G}
rounds=${3:-5}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target make-sample-game korvane-a rebuild-copy measure >/dev/null
bin=$PWD/build/bin
measure=$PWD/build/bench/measure
copy=$PWD/build/bench/rebuild-copy
dir=$(mktemp -d "$base/copy-methods-XXXXXX")
trap 'rm -rf "$dir"' EXIT
fstype=$(findmnt -n -o FSTYPE -T "$dir" 2>/dev/null | head -1)
"$bin/make-sample-game" "$dir/game" --size "$size" --canonical --seed 5 >/dev/null
mkdir "$dir/tree" "$dir/times"
(cd "$dir/tree" && "$bin/korvane-a" "$dir/game/SLUS_217.88" "$dir/game/RPK.BIN" >/dev/null)
threads=$(nproc)
((threads > 8)) && threads=8
kinds=("in_system 1" "buffered 1" "in_system $threads" "buffered $threads" tar)
for ((r = 0; r <= rounds; r++)); do
    for ((k = 0; k < ${#kinds[@]}; k++)); do
        # Each round starts at another kind, so none always follows the same one.
        kind=${kinds[$(((k + r) % ${#kinds[@]}))]}
        name=${kind// /-}
        rm -f "$dir/out.bin" "$dir/out.tar"
        [ "$fstype" = tmpfs ] || sync
        if [ "$kind" = tar ]; then
            line=$("$measure" -C "$dir/tree" -- tar -cf "$dir/out.tar" .)
        else
            # shellcheck disable=SC2086
            line=$("$measure" -C "$dir/tree" -- "$copy" "$dir/game/SLUS_217.88" \
                "$dir/game/RPK.BIN" "$dir/out.bin" $kind)
            cmp -s "$dir/out.bin" "$dir/game/RPK.BIN" || { echo "$kind: the archive differs" >&2; exit 1; }
        fi
        ((r == 0)) || echo "$line" >>"$dir/times/$name"
    done
done
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
tar_s=$(cut -d' ' -f1 "$dir/times/tar" | median)
echo "$size game in $dir ($fstype), medians of $rounds rounds; tar -cf $tar_s s"
for kind in "${kinds[@]}"; do
    [ "$kind" = tar ] && continue
    name=${kind// /-}
    t=$(cut -d' ' -f1 "$dir/times/$name" | median)
    peak=$(cut -d' ' -f2 "$dir/times/$name" | sort -n | tail -1)
    awk -v k="$kind" -v t="$t" -v b="$tar_s" -v p="$peak" 'BEGIN {
        split(k, f, " "); printf "  %-9s %d thread(s): %7.3f s  %.2f x tar -cf  peak %.1f MiB\n", f[1], f[2], t, t / b, p / 1024 }'
done
