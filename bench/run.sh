#!/usr/bin/env bash
# Measures korvane on a large generated game against baselines taken in the
# same run on the same files, so the ratios show what the tool adds over
# plain file I/O on this machine.
#
#   bench/run.sh [size]      size of RPK.BIN, default 1G (K, M, G suffixes)
#
# Needs about four times the size in free space below $TMPDIR (or /tmp).
# Takes a few minutes for 1G: every timing is the best of three runs.
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-1G}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
root=$PWD
bin=$root/build/bin
dir=$(mktemp -d "${TMPDIR:-/tmp}/korvane-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT

"$bin/make-sample-game" "$dir/game" --size "$size" --canonical --seed 5

seconds() {
    local start end
    sync
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}

# The best of three timings of a command run in the folder given first,
# with fresh (empty) folders $dir/run and $dir/out each time.
best_of_3() {
    local best="" t cwd=$1
    shift
    for _ in 1 2 3; do
        rm -rf "$dir/run" "$dir/out"
        mkdir "$dir/run" "$dir/out"
        t=$(cd "$cwd" && seconds "$@")
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc)" = 1 ]; then best=$t; fi
    done
    echo "$best"
}

g=$dir/game
mkdir "$dir/tree"
(cd "$dir/tree" && "$bin/korvane-a" "$g/SLUS_217.88" "$g/RPK.BIN" >/dev/null)
files=$(find "$dir/tree" -type f | wc -l)

# Extraction writes every file of the archive: compared with cp -r of the
# extracted tree (the same files and bytes). Rebuild reads every file and
# writes one archive flushed to disk: compared with cat of the same files into
# one file flushed to disk.
extract=$(best_of_3 "$dir/run" "$bin/korvane-a" "$g/SLUS_217.88" "$g/RPK.BIN")
tree=$(best_of_3 "$dir/run" cp -r "$dir/tree" "$dir/out/tree")
rebuild=$(best_of_3 "$dir/tree" "$bin/korvane-a" "$g/SLUS_217.88" "$g/RPK.BIN" "$dir/out/NEW.ELF" "$dir/out/NEW.BIN")
cmp -s "$g/RPK.BIN" "$dir/out/NEW.BIN" && echo "rebuilt archive is byte-identical to the input"
concat=$(best_of_3 "$dir/tree" sh -c 'find . -type f -print0 | xargs -0 cat |
    dd of="$1" bs=1M conv=fsync status=none' - "$dir/out/all.bin")

ratio() { echo "$1 / $2" | bc -l; }
printf '%-46s %6.2f s\n' "baseline: cp -r of the extracted tree" "$tree"
printf '%-46s %6.2f s  (%.2f x baseline)\n' "korvane-a extract ($files files, $size)" "$extract" \
    "$(ratio "$extract" "$tree")"
printf '%-46s %6.2f s\n' "baseline: cat of the tree into one file, fsync" "$concat"
printf '%-46s %6.2f s  (%.2f x baseline)\n' "korvane-a rebuild" "$rebuild" \
    "$(ratio "$rebuild" "$concat")"

if [ -x "$root/build/bench/lzr_bench" ]; then
    echo
    "$root/build/bench/lzr_bench" --benchmark_min_time=0.5
fi
