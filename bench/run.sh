#!/usr/bin/env bash
# Times the suite's tools on a large generated game against the tools a
# modder would otherwise use, on the same files in the same run, and reports
# each tool's peak memory against its limit.
#
#   bench/run.sh [size] [rounds]
#
# size    size of the generated RPK.BIN, default 1G (K, M, G suffixes)
# rounds  times each pair of commands is run, alternating, default 5
#
# Every figure is the median of the rounds, after one warm-up round that is
# not counted; a ratio below 1 means the tool is faster than its baseline.
# The files are in the page cache: by default everything is below /dev/shm
# (a tmpfs, memory only), so that the figures show what each tool costs
# rather than the disk's journal and write-back. Set BENCH_DIR to a folder
# on a disk to measure there instead; `sync` then runs before each timed
# command. Needs about eight times the size in free space (memory for
# /dev/shm), and tar; the LZR figures need Google Benchmark
# (libbenchmark-dev), the tm2png figures ImageMagick (imagemagick).
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-1G}
rounds=${2:-5}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
bin=$PWD/build/bin
measure=$PWD/build/bench/measure
base=${BENCH_DIR:-}
if [ -z "$base" ]; then
    base=${TMPDIR:-/tmp}
    if [ "$(findmnt -n -o FSTYPE -T /dev/shm 2>/dev/null | head -1)" = tmpfs ]; then base=/dev/shm; fi
fi
bytes=$(numfmt --from=iec "$size")
if (($(df --output=avail -B1 "$base" | tail -1) < 8 * bytes)); then
    echo "bench: $base has less than 8 x $size free; set BENCH_DIR or choose a smaller size" >&2
    exit 1
fi
dir=$(mktemp -d "$base/suite-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT
fstype=$(findmnt -n -o FSTYPE -T "$dir" 2>/dev/null | head -1)
g=$dir/game
exe=$g/SLUS_217.88

echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)," \
    "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "Files below $dir ($fstype)"
echo "Generating a $size game, then the baselines' tar files..."
"$bin/make-sample-game" "$g" --size "$size" --canonical --seed 5 >/dev/null
mkdir "$dir/tree" "$dir/members" "$dir/times"
(cd "$dir/tree" && "$bin/korvane-a" "$exe" "$g/RPK.BIN" >/dev/null)
# tillet reads fpack/*.fp from the folder it runs in and writes fpack_extract/.
ln -s "$dir/tree/fpack" "$dir/members/fpack"
(cd "$dir/members" && "$bin/tillet-a" "$exe" >/dev/null)
tar -cf "$dir/tree.tar" -C "$dir/tree" .
tar -cf "$dir/members.tar" -C "$dir/members/fpack_extract" .
"$PWD/build/bench/make-bench-files" "$dir"
# tm2png is timed against ImageMagick writing a PNG of the same pixels, and
# its import from its own export (which gives the image back unchanged).
pairs=(extract rebuild members dump insert decode)
if convert -version 2>/dev/null | grep -q ImageMagick; then
    pairs+=(export8 import8 export32 import32)
    for depth in 8 32; do
        "$bin/tm2png" "$dir/img$depth.tm2" "$dir/img$depth.png" >/dev/null
        convert -size 1024x1024 -depth 8 "rgba:$dir/img$depth.rgba" "$dir/im$depth.png"
    done
else
    echo "ImageMagick is not installed (Debian: imagemagick): tm2png is not timed"
fi
cat "$g"/* "$dir"/*.tar >/dev/null

files=$(find "$dir/tree" -type f | wc -l)
members=$(tar -tf "$dir/members.tar" | grep -vc '/$')
exe_size=$(stat -c %s "$exe")
largest_file=$(find "$dir/tree" -type f -printf '%s\n' | sort -n | tail -1)
largest_member=$(tar -tvf "$dir/members.tar" | awk '{print $3}' | sort -n | tail -1)
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

# run NAME DIR COMMAND...: times one command in DIR and appends
# "seconds peak_kib" to $dir/times/NAME. Every command writes below a folder
# of its own, $dir/out/NAME (made by `out NAME`), and nothing is deleted
# during a round: ext4 skips inodes freed in the last 30 seconds when it
# makes files, which would slow whichever command follows a deletion.
out() {
    mkdir -p "$dir/out/$1"
    echo "$dir/out/$1"
}
run() {
    local name=$1 cwd=$2
    shift 2
    [ "$fstype" = tmpfs ] || sync
    if ((r > 0)); then
        "$measure" -C "$cwd" -- "$@" >>"$dir/times/$name"
    else
        "$measure" -C "$cwd" -- "$@" >/dev/null
    fi
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
seconds() { cut -d' ' -f1 "$dir/times/$1" | median; }
peak_kib() { cut -d' ' -f2 "$dir/times/$1" | sort -n | tail -1; }

# compare LABEL TOOL BASELINE BASELINE_LABEL TARGET LIMIT_BYTES
# Prints the medians, their ratio against TARGET (- for none) and the tool's
# peak memory against LIMIT_BYTES (0 for none).
compare() {
    local t b ratio verdict="" peak memory=""
    t=$(seconds "$2")
    b=$(seconds "$3")
    ratio=$(awk -v t="$t" -v b="$b" 'BEGIN { printf "%.2f", t / b }')
    if [ "$5" != - ]; then
        verdict=$(awk -v r="$ratio" -v m="$5" 'BEGIN { print (r <= m) ? " (meets <= " m ")" : " (MISSES <= " m ")" }')
    fi
    peak=$(($(peak_kib "$2") * 1024))
    if [ "$6" != 0 ]; then
        memory=", limit $(mib "$6") MiB ($([ "$peak" -le "$6" ] && echo meets || echo OVER))"
    fi
    printf '%-34s %7.3f s   %-8s %7.3f s   ratio %4.2f%s\n' "$1" "$t" "$4" "$b" "$ratio" "$verdict"
    printf '%-34s peak memory %s MiB%s\n' "" "$(mib "$peak")" "$memory"
}

# Each pair: the tool, then its baseline. The pairs run in turn, the tool
# first in odd rounds and the baseline first in even ones. Round 0 warms up
# (the first files made on a tmpfs cost more) and is not counted.
extract() { run extract "$(out extract)" "$bin/korvane-a" "$exe" "$g/RPK.BIN"; }
extract_tar() { run extract_tar "$(out extract_tar)" tar -xf "$dir/tree.tar"; }
rebuild() {
    local o
    o=$(out rebuild)
    run rebuild "$dir/tree" "$bin/korvane-a" "$exe" "$g/RPK.BIN" "$o/NEW.ELF" "$o/NEW.BIN"
    cmp -s "$g/RPK.BIN" "$o/NEW.BIN" || { echo "rebuilt archive differs from the input" >&2; exit 1; }
}
rebuild_tar() { run rebuild_tar "$dir/tree" tar -cf "$(out rebuild_tar)/tree.tar" .; }
members() {
    local o
    o=$(out members)
    ln -s "$dir/tree/fpack" "$o/fpack"
    run members "$o" "$bin/tillet-a" "$exe"
}
members_tar() { run members_tar "$(out members_tar)" tar -xf "$dir/members.tar"; }
dump() { run dump "$dir" "$bin/brenmark" big.evd "$(out dump)/big.txt"; }
dump_cp() { run dump_cp "$dir" cp big.evd "$(out dump_cp)/big.evd"; }
insert() { run insert "$dir" "$bin/brenmark" big.evd big.txt "$(out insert)/big.evd"; }
insert_cp() { run insert_cp "$dir" cp big.txt "$(out insert_cp)/big.txt"; }
decode() { run ossory "$dir" "$bin/ossory" big.tm2.lzr "$(out ossory)/big.tm2"; }
decode_cp() { run ossory_cp "$dir" cp big.tm2.lzr "$(out ossory_cp)/big.tm2.lzr"; }
im_png() { run "$1" "$dir" convert -size 1024x1024 -depth 8 "rgba:img$2.rgba" "$(out "$1")/img$2.png"; }
export8() { run export8 "$dir" "$bin/tm2png" img8.tm2 "$(out export8)/img8.png"; }
export8_im() { im_png export8_im 8; }
export32() { run export32 "$dir" "$bin/tm2png" img32.tm2 "$(out export32)/img32.png"; }
export32_im() { im_png export32_im 32; }
import_png() {
    local o
    o=$(out "import$1")
    run "import$1" "$dir" "$bin/tm2png" "img$1.tm2" "img$1.png" "$o/img$1.tm2"
    cmp -s "$dir/img$1.tm2" "$o/img$1.tm2" || { echo "imported image differs from the original" >&2; exit 1; }
}
import8() { import_png 8; }
import8_im() { im_png import8_im 8; }
import32() { import_png 32; }
import32_im() { im_png import32_im 32; }

"$bin/brenmark" "$dir/big.evd" "$dir/big.txt" >/dev/null
echo "Timing $rounds rounds of each pair..."
for ((r = 0; r <= rounds; r++)); do
    for pair in "${pairs[@]}"; do
        baseline=${pair}_cp
        for kind in tar im; do
            if declare -F "${pair}_$kind" >/dev/null; then baseline=${pair}_$kind; fi
        done
        if ((r % 2)); then "$pair" && "$baseline"; else "$baseline" && "$pair"; fi
    done
    rm -rf "$dir/out"
    if ((r < rounds)) && [ "$fstype" != tmpfs ]; then
        sync
        sleep 31 # let the freed inodes age, as above
    fi
done

echo
echo "Game: $size RPK.BIN, $files files (largest $(mib "$largest_file") MiB)," \
    "$members pack members; executable $(mib "$exe_size") MiB; medians of $rounds rounds"
slack=$((32 << 20))
compare "korvane-a extract" extract extract_tar "tar -xf" 0.80 $((exe_size + largest_file + slack))
compare "korvane-a rebuild" rebuild rebuild_tar "tar -cf" 0.80 \
    $((exe_size + largest_file + slack))
compare "tillet-a (905 packs)" members members_tar "tar -xf" 0.80 \
    $((exe_size + largest_member + slack))

lzr_size=$(stat -c %s "$dir/big.tm2.lzr")
image_size=$(od -An -tu4 -j12 -N4 "$dir/big.tm2.lzr" | tr -d ' ') # output size in its header
# brenmark and ossory have no speed target; cp of their input is the floor
# that any tool reading it whole pays.
compare "brenmark dump (100000 records)" dump dump_cp "cp" - 0
compare "brenmark insert (100000 records)" insert insert_cp "cp" - 0
compare "ossory ($(mib "$image_size") MiB image)" ossory ossory_cp "cp" - \
    $((lzr_size + image_size + (16 << 20)))

if [ -e "$dir/times/export8" ]; then
    echo
    echo "tm2png on 1024x1024 images against ImageMagick writing a PNG of the same RGBA pixels"
    echo "(convert -size 1024x1024 -depth 8 rgba:x.raw x.png); target: ratio <= 1.0, PNG no larger"
    compare "tm2png export, 8-bit indexed" export8 export8_im "convert" 1.0 0
    compare "tm2png import, 8-bit indexed" import8 import8_im "convert" 1.0 0
    compare "tm2png export, 32-bit direct" export32 export32_im "convert" 1.0 0
    compare "tm2png import, 32-bit direct" import32 import32_im "convert" 1.0 0
    for depth in 8 32; do
        ours=$(stat -c %s "$dir/img$depth.png")
        theirs=$(stat -c %s "$dir/im$depth.png")
        printf '%-34s %7d bytes   convert %7d bytes   %s\n' "PNG of the $depth-bit image" "$ours" \
            "$theirs" "$([ "$ours" -le "$theirs" ] && echo "(meets: no larger)" || echo "(MISSES: larger)")"
    done
fi

if [ -x build/bench/lzr_bench ]; then
    echo
    echo "LZR decoding in process, output bytes per second (target: 1.5 GB/s on image-like data)"
    build/bench/lzr_bench --benchmark_min_time=0.5 --benchmark_repetitions=5 \
        --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
        awk -F, '/_median"/ {
            split($1, part, "/"); sub(/_median"/, "", part[2]); sub(/^"BM_/, "", part[1])
            rate[part[1] "," part[2]] = $6; kinds[part[2]] = 1
        }
        END {
            for (k in kinds)
                printf "  %-12s decode %5.2f GB/s   memcpy %6.2f GB/s   ratio %.3f\n", k,
                    rate["LzrDecode," k] / 1e9, rate["Memcpy," k] / 1e9,
                    rate["LzrDecode," k] / rate["Memcpy," k]
        }'
fi
