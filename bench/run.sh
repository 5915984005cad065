#!/usr/bin/env bash
# Times the suite's tools on a large generated game against the tools a
# modder would otherwise use, on the same files in the same run, and reports
# each tool's peak memory against its limit. modkit's unpack is timed
# against the single tools run by a shell loop, its pack (after one edited
# image) against korvane's rebuild of the same game.
#
#   bench/run.sh [size] [rounds]
#
# size    size of the generated RPK.BIN, default 1G (K, M, G suffixes)
# rounds  times each pair of commands is run, alternating, default 5
#
# BENCH_PAIRS="unpack pack" times only the pairs named (the names in
# `pairs` below); every other figure is left out.
# Every figure is the median of the rounds, after one warm-up round that is
# not counted; a ratio below 1 means the tool is faster than its baseline.
# brenmark's dump of 1,000 .evd files (100,000 texts) to a PO file and its
# insert from a fully translated one are timed against gettext's msgcat
# reading and writing the same PO.
# isopatch writes a copy of a 4 GiB disc image (mostly a hole) with its
# executable and archive replaced in place, against cp of the image and of
# the two new files.
# Last, lzrpack compresses a 64 MiB image and a 10 MiB text beside the greedy
# LZR encoder (both timed like the tools), and gzip -9 and zstd -19 compress
# the same files once, for scale.
# The files are in the page cache: by default everything is below /dev/shm
# (a tmpfs, memory only), so that the figures show what each tool costs
# rather than the disk's journal and write-back. Set BENCH_DIR to a folder
# on a disk to measure there instead; `sync` then runs before each timed
# command. Needs about twenty-five times the size in free space (memory for
# /dev/shm), tar and perl; the in-process LZR figures need Google Benchmark
# (libbenchmark-dev), the compression figures' scale gzip and zstd, the
# tm2png figures ImageMagick (imagemagick).
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-1G}
rounds=${2:-5}
packaging/need-packages.sh bench
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
if (($(df --output=avail -B1 "$base" | tail -1) < 25 * bytes)); then
    echo "bench: $base has less than 25 x $size free; set BENCH_DIR or choose a smaller size" >&2
    exit 1
fi
dir=$(mktemp -d "$base/suite-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT
fstype=$(findmnt -n -o FSTYPE -T "$dir" 2>/dev/null | head -1)
g=$dir/game
exe=$g/SLUS_217.88
sg=$dir/small_game

echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)," \
    "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "Files below $dir ($fstype)"
echo "Generating a $size game, then the baselines' tar files..."
# Two shapes of game: the usual one, with files from a few hundred bytes to
# several MiB, and one of thousands of small files (1 to 200 KiB), where the
# work per file (folders, creating, opening, closing) is most of the time.
# Each gets its extracted tree and members, and tar files of both.
prepare_shape() { # PREFIX FLAGS...
    local p=$1
    shift
    "$bin/make-sample-game" "$dir/${p}game" --size "$size" --canonical "$@" >/dev/null
    mkdir "$dir/${p}tree" "$dir/${p}members"
    (cd "$dir/${p}tree" && "$bin/korvane-a" "$dir/${p}game/SLUS_217.88" "$dir/${p}game/RPK.BIN" >/dev/null)
    # tillet reads fpack/*.fp from the folder it runs in and writes fpack_extract/.
    ln -s "$dir/${p}tree/fpack" "$dir/${p}members/fpack"
    (cd "$dir/${p}members" && "$bin/tillet-a" "$dir/${p}game/SLUS_217.88" >/dev/null)
    tar -cf "$dir/${p}tree.tar" -C "$dir/${p}tree" .
    tar -cf "$dir/${p}members.tar" -C "$dir/${p}members/fpack_extract" .
}
prepare_shape "" --seed 5
prepare_shape small_ --seed 6 --small-files
# The same game as a 4 GiB disc image (a zero-filled padding file makes the
# rest, a hole in the file), and a new executable and archive of the same
# sizes (the last byte of each changed), which isopatch writes in place.
"$bin/make-sample-game" "$dir/disc" --size "$size" --canonical --seed 5 --image-size 4G >/dev/null
cp "$exe" "$dir/disc/NEW2.ELF"
cp "$g/RPK.BIN" "$dir/disc/NEW.BIN"
for f in "$dir/disc/NEW2.ELF" "$dir/disc/NEW.BIN"; do
    perl -e 'open(my $f, "+<", $ARGV[0]) or die "$ARGV[0]: $!"; binmode $f; seek($f, -1, 2);
        read($f, my $b, 1); seek($f, -1, 2); print $f chr(ord($b) ^ 0xFF); close $f or die' "$f"
done
mkdir "$dir/times"
"$PWD/build/bench/make-bench-files" "$dir"
# tillet's rebuild reads fpack/ and fpack_extract/ where it runs. Two copies
# of the packs and members: "same" is rebuilt with nothing changed, in place
# (the modder's loop once the packs belong to the new executable), and
# "edited" holds every member with its last byte changed (same sizes, so
# every member is read and compared to the end), against fresh copies of the
# packs each round. The baselines are tar -cf of the same member files.
mkdir "$dir/same" "$dir/edited"
cp -a "$dir/tree/fpack" "$dir/members/fpack_extract" "$dir/same/"
cp "$exe" "$dir/same/SLUS_217.88"
cp -a "$dir/members/fpack_extract" "$dir/edited/"
find "$dir/edited" -type f -size +0 -exec perl -e 'for (@ARGV) {
    open(my $f, "+<", $_) or die "$_: $!"; binmode $f; seek($f, -1, 2); read($f, my $b, 1);
    seek($f, -1, 2); print $f chr(ord($b) ^ 0xFF); close $f or die "$_: $!" }' {} +
# Every pack with a member that is not empty must be rebuilt, and the rebuilt
# packs must hold the edited members.
mkdir "$dir/repack_check"
cp -a "$dir/tree/fpack" "$dir/edited/fpack_extract" "$dir/repack_check/"
(cd "$dir/repack_check" && "$bin/tillet-a" "$exe" NEW.ELF >listing.txt)
repacked=$(grep -c '=> rebuilt' "$dir/repack_check/listing.txt")
expected=$(awk '/^0x/ { n++ } /^\t 0x/ && $2 != "0x00000000" { c[n] = 1 } END { print length(c) }' \
    "$dir/repack_check/listing.txt")
mkdir "$dir/repack_check/again"
ln -s "$dir/repack_check/fpack" "$dir/repack_check/again/fpack"
(cd "$dir/repack_check/again" && "$bin/tillet-a" ../NEW.ELF >/dev/null)
if [ "$repacked" != "$expected" ] ||
    ! diff -r -q "$dir/edited/fpack_extract" "$dir/repack_check/again/fpack_extract" >/dev/null; then
    echo "bench: the rebuild of every pack did not give the edited members back" >&2
    exit 1
fi
rm -rf "$dir/repack_check"
# modkit pack is timed after one image and one text were edited: each round
# puts the other of two versions of the title's PNG and of the PO (the second
# translates the first text) into a workspace unpacked once, so that every
# pack encodes the image and puts the text into its .evd again.
prepare_workspace() { # PREFIX
    local p=$1 ws=$dir/${1}ws
    "$bin/modkit" unpack "$dir/${p}game" "$ws" >/dev/null
    cp "$ws/images/tex/t000.tm2.lzr.png" "$dir/${p}title_a.png"
    "$bin/png-edit" rect "$dir/${p}title_a.png" "$dir/${p}title_b.png" 4 4 24 16 1
    cp "$ws/texts/texts.po" "$dir/${p}texts_a.po"
    perl -0777 -pe 's/(msgctxt "[^"\n]*"\nmsgid "[^"\n]+"\nmsgstr )""\n/$1"[bench]"\n/' \
        "$dir/${p}texts_a.po" >"$dir/${p}texts_b.po"
    if cmp -s "$dir/${p}texts_a.po" "$dir/${p}texts_b.po"; then
        echo "bench: no text to translate in $ws/texts/texts.po" >&2
        exit 1
    fi
}
prepare_workspace ""
prepare_workspace small_
# tm2png is timed against ImageMagick writing a PNG of the same pixels, and
# its import from its own export (which gives the image back unchanged).
pairs=(extract rebuild members repack unchanged extract_small members_small unpack unpack_small
    pack pack_small dump insert decode po_dump po_insert patch)
if convert -version 2>/dev/null | grep -q ImageMagick; then
    pairs+=(export8 import8 export32 import32)
    for depth in 8 32; do
        "$bin/tm2png" "$dir/img$depth.tm2" "$dir/img$depth.png" >/dev/null
        convert -size 1024x1024 -depth 8 "rgba:$dir/img$depth.rgba" "$dir/im$depth.png"
    done
else
    echo "ImageMagick is not installed (Debian: imagemagick): tm2png is not timed"
fi
if [ -n "${BENCH_PAIRS:-}" ]; then
    read -r -a pairs <<<"$BENCH_PAIRS"
fi
cat "$g"/* "$sg"/* "$dir"/*.tar "$dir"/disc/* >/dev/null

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
    [ -e "$dir/times/$2" ] || return 0 # a pair that BENCH_PAIRS left out
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
repack() {
    local o
    o=$(out repack)
    cp -a "$dir/tree/fpack" "$dir/edited/fpack_extract" "$o/"
    run repack "$o" "$bin/tillet-a" "$exe" NEW.ELF
}
repack_tar() { run repack_tar "$dir" tar -cf "$(out repack_tar)/members.tar" -C "$dir/edited/fpack_extract" .; }
unchanged() { run unchanged "$dir/same" "$bin/tillet-a" SLUS_217.88 SLUS_217.88; }
unchanged_tar() { run unchanged_tar "$dir" tar -cf "$(out unchanged_tar)/members.tar" -C "$dir/same/fpack_extract" .; }
extract_small() { run extract_small "$(out extract_small)" "$bin/korvane-a" "$sg/SLUS_217.88" "$sg/RPK.BIN"; }
extract_small_tar() { run extract_small_tar "$(out extract_small_tar)" tar -xf "$dir/small_tree.tar"; }
members_small() {
    local o
    o=$(out members_small)
    ln -s "$dir/small_tree/fpack" "$o/fpack"
    run members_small "$o" "$bin/tillet-a" "$sg/SLUS_217.88"
}
members_small_tar() { run members_small_tar "$(out members_small_tar)" tar -xf "$dir/small_members.tar"; }
# modkit unpack against the same work done by the single tools in a shell
# loop: korvane, tillet, then tm2png on every file named as an image (those
# that are none fail at once, as they would in a modder's loop).
unpack_game() { # NAME PREFIX
    run "$1" "$(out "$1")" "$bin/modkit" unpack "$dir/${2}game" ws
}
unpack_tools() { # NAME PREFIX
    local g=$dir/${2}game
    run "$1" "$(out "$1")" sh -c '
        "$1/korvane-a" "$2/SLUS_217.88" "$2/RPK.BIN" >/dev/null &&
        "$1/tillet-a" "$2/SLUS_217.88" >/dev/null &&
        find . -type f \( -name "*.tm2" -o -name "*.tm2.lzr" \) | while read -r f; do
            mkdir -p "images/${f%/*}"
            "$1/tm2png" "$f" "images/$f.png" >/dev/null 2>&1 || true
        done' sh "$bin" "$g"
}
unpack() { unpack_game unpack ""; }
unpack_loop() { unpack_tools unpack_loop ""; }
unpack_small() { unpack_game unpack_small small_; }
unpack_small_loop() { unpack_tools unpack_small_loop small_; }
# modkit pack after one edited image, against korvane's rebuild of the same game.
pack_edited() { # NAME PREFIX
    local ws=$dir/${2}ws
    if cmp -s "$ws/images/tex/t000.tm2.lzr.png" "$dir/${2}title_a.png"; then
        cp "$dir/${2}title_b.png" "$ws/images/tex/t000.tm2.lzr.png"
        cp "$dir/${2}texts_b.po" "$ws/texts/texts.po"
    else
        cp "$dir/${2}title_a.png" "$ws/images/tex/t000.tm2.lzr.png"
        cp "$dir/${2}texts_a.po" "$ws/texts/texts.po"
    fi
    run "$1" "$dir" "$bin/modkit" pack "$ws" "$(out "$1")"
}
pack_rebuild() { # NAME PREFIX
    local o
    o=$(out "$1")
    run "$1" "$dir/${2}tree" "$bin/korvane-a" "$dir/${2}game/SLUS_217.88" "$dir/${2}game/RPK.BIN" \
        "$o/NEW.ELF" "$o/NEW.BIN"
}
pack() { pack_edited pack ""; }
pack_korvane() { pack_rebuild pack_korvane ""; }
pack_small() { pack_edited pack_small small_; }
pack_small_korvane() { pack_rebuild pack_small_korvane small_; }
dump() { run dump "$dir" "$bin/brenmark" big.evd "$(out dump)/big.txt"; }
dump_cp() { run dump_cp "$dir" cp big.evd "$(out dump_cp)/big.evd"; }
insert() { run insert "$dir" "$bin/brenmark" big.evd big.txt "$(out insert)/big.evd"; }
insert_cp() { run insert_cp "$dir" cp big.txt "$(out insert_cp)/big.txt"; }
# A game's texts as translators work with them: 1,000 .evd files, 100,000
# texts, through the game's table, to one PO file and back from a fully
# translated one; gettext's msgcat reading and writing the same PO is the
# baseline.
texts=$dir/texts
po_dump() { run po_dump "$texts" "$bin/brenmark" --table texts.tbl evd "$(out po_dump)/texts.po"; }
po_dump_msgcat() { run po_dump_msgcat "$texts" msgcat texts.po -o "$(out po_dump_msgcat)/out.po"; }
po_insert() {
    local o
    o=$(out po_insert)
    run po_insert "$texts" "$bin/brenmark" --table texts.tbl evd full.po "$o/evd"
    [ "$(find "$o/evd" -name '*.evd' | wc -l)" = 1000 ] ||
        { echo "brenmark's insert did not write every file" >&2; exit 1; }
}
po_insert_msgcat() { run po_insert_msgcat "$texts" msgcat full.po -o "$(out po_insert_msgcat)/out.po"; }
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

# isopatch writes a copy of the image with both files replaced in place;
# the baseline copies the image and the two new files (cp keeps holes too).
patch() {
    run patch "$dir/disc" "$bin/isopatch" game.iso "$(out patch)/out.iso" SLUS_217.88=NEW2.ELF \
        RPK.BIN=NEW.BIN
}
patch_cp() {
    local o
    o=$(out patch_cp)
    run patch_cp "$dir/disc" sh -c 'cp game.iso "$1/out.iso" && cp NEW2.ELF NEW.BIN "$1/"' sh "$o"
}

"$bin/brenmark" "$dir/big.evd" "$dir/big.txt" >/dev/null
# The PO to time msgcat on, and a fully translated one: every msgstr but the
# header's holds "[fr] " and its msgid's text, as a translator's tool saves it.
"$bin/brenmark" --table "$texts/texts.tbl" "$texts/evd" "$texts/texts.po"
awk '/^msgctxt / { entry = 1 }
     /^msgid / { id = substr($0, 7); more = ""; in_id = entry; entry = 0; print; next }
     /^"/ && in_id { more = more $0 "\n"; print; next }
     /^msgstr ""$/ && in_id {
         in_id = 0
         if (id == "\"\"") { print "msgstr \"[fr] \""; printf "%s", more }
         else { print "msgstr \"[fr] " substr(id, 2) }
         next
     }
     { in_id = 0; print }' "$texts/texts.po" >"$texts/full.po"
msgfmt --check -o /dev/null "$texts/full.po" 2>/dev/null ||
    { echo "bench: the translated PO does not pass msgfmt --check" >&2; exit 1; }
echo "Timing $rounds rounds of each pair..."
for ((r = 0; r <= rounds; r++)); do
    for pair in "${pairs[@]}"; do
        baseline=${pair}_cp
        for kind in tar im loop korvane msgcat; do
            if declare -F "${pair}_$kind" >/dev/null; then baseline=${pair}_$kind; fi
        done
        if ((r % 2)); then "$pair" && "$baseline"; else "$baseline" && "$pair"; fi
    done
    if ((r == 0)) && [[ " ${pairs[*]} " == *" patch "* ]]; then
        # The patched image holds the new files at their old sectors.
        mkdir "$dir/patch_check"
        (cd "$dir/patch_check" && "$bin/isopatch" "$dir/out/patch/out.iso" -x . SLUS_217.88 RPK.BIN >/dev/null)
        cmp -s "$dir/patch_check/RPK.BIN" "$dir/disc/NEW.BIN" &&
            cmp -s "$dir/patch_check/SLUS_217.88" "$dir/disc/NEW2.ELF" &&
            diff <("$bin/isopatch" "$dir/disc/game.iso") <("$bin/isopatch" "$dir/out/patch/out.iso") >/dev/null ||
            { echo "bench: the patched image does not hold the new files in place" >&2; exit 1; }
        rm -rf "$dir/patch_check"
    fi
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
# Extraction's targets: half of tar's time in the page cache, 0.8 on a disk.
extract_target=0.50
[ "$fstype" = tmpfs ] || extract_target=0.80
# Extraction writes with one thread per core, each allowed 32 MiB.
workers=$(nproc)
((workers > 8)) && workers=8
compare "korvane-a extract" extract extract_tar "tar -xf" "$extract_target" \
    $((exe_size + largest_file + workers * slack))
compare "korvane-a rebuild" rebuild rebuild_tar "tar -cf" 0.50 \
    $((exe_size + largest_file + workers * slack))
compare "modkit unpack" unpack unpack_loop "loop" 0.50 0
compare "modkit pack, one image and one text edited" pack pack_korvane "korvane" 1.50 0
compare "tillet-a (905 packs)" members members_tar "tar -xf" "$extract_target" \
    $((exe_size + largest_member + workers * slack))
compare "tillet-a rebuild, every pack" repack repack_tar "tar -cf" 0.80 \
    $((exe_size + largest_member + slack))
compare "tillet-a rebuild, nothing changed" unchanged unchanged_tar "tar -cf" 0.50 \
    $((exe_size + largest_member + slack))
small_files=$(find "$dir/small_tree" -type f | wc -l)
small_largest=$(find "$dir/small_tree" -type f -printf '%s\n' | sort -n | tail -1)
small_members=$(tar -tf "$dir/small_members.tar" | grep -vc '/$')
echo "Small-file game: $small_files files of 1 to 200 KiB (and the packs), $small_members pack members"
compare "korvane-a extract, small files" extract_small extract_small_tar "tar -xf" "$extract_target" \
    $((exe_size + small_largest + workers * slack))
compare "modkit unpack, small files" unpack_small unpack_small_loop "loop" 0.50 0
compare "modkit pack, small files" pack_small pack_small_korvane "korvane" 1.50 0
compare "tillet-a, small-file game" members_small members_small_tar "tar -xf" "$extract_target" \
    $((exe_size + largest_member + workers * slack))

image_bytes=$(stat -c %s "$dir/disc/game.iso")
image_data=$(($(stat -c %b "$dir/disc/game.iso") * $(stat -c %B "$dir/disc/game.iso")))
echo "Disc image: $(mib "$image_bytes") MiB ($(mib "$image_data") MiB of it data, the rest a hole);" \
    "SLUS_217.88 and RPK.BIN replaced in place"
compare "isopatch, two files in place" patch patch_cp "cp" 1.0 $((64 << 20))

lzr_size=$(stat -c %s "$dir/big.tm2.lzr")
image_size=$(od -An -tu4 -j12 -N4 "$dir/big.tm2.lzr" | tr -d ' ') # output size in its header
# brenmark and ossory have no speed target; cp of their input is the floor
# that any tool reading it whole pays.
compare "brenmark dump (100000 records)" dump dump_cp "cp" - 0
compare "brenmark insert (100000 records)" insert insert_cp "cp" - 0
compare "ossory ($(mib "$image_size") MiB image)" ossory ossory_cp "cp" - \
    $((lzr_size + image_size + (16 << 20)))

# The translator's folder forms: each at most msgcat's time on the same PO;
# memory at most the PO file + the largest .evd + 32 MiB.
po_size=$(stat -c %s "$texts/texts.po")
full_size=$(stat -c %s "$texts/full.po")
largest_evd=$(find "$texts/evd" -name '*.evd' -printf '%s\n' | sort -n | tail -1)
echo "Texts: 1000 .evd files, $(grep -c '^msgctxt' "$texts/texts.po") texts, through a table;" \
    "PO $(mib "$po_size") MiB, translated $(mib "$full_size") MiB"
compare "brenmark folder to PO" po_dump po_dump_msgcat "msgcat" 1.0 \
    $((po_size + largest_evd + slack))
compare "brenmark folder from translated PO" po_insert po_insert_msgcat "msgcat" 1.0 \
    $((full_size + largest_evd + slack))

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
    build/bench/lzr_bench --benchmark_filter='LzrDecode|Memcpy' --benchmark_min_time=0.5 \
        --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
        --benchmark_format=csv 2>/dev/null |
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
    echo "LZR encoding in process (4 MiB of each content), input bytes per second and file size"
    build/bench/lzr_bench --benchmark_filter='LzrCompress|LzrGreedy' --benchmark_min_time=1 \
        --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
        --benchmark_format=csv 2>/dev/null |
        awk -F, '/_median"/ {
            split($1, part, "/"); sub(/_median"/, "", part[2]); sub(/^"BM_/, "", part[1])
            rate[part[1] "," part[2]] = $6; size[part[1] "," part[2]] = $11; kinds[part[2]] = 1
        }
        END {
            for (k in kinds)
                printf "  %-12s optimal %6.1f MB/s, file %5.1f%%   greedy %6.1f MB/s, file %5.1f%%\n",
                    k, rate["LzrCompress," k] / 1e6, 100 * size["LzrCompress," k],
                    rate["LzrGreedy," k] / 1e6, 100 * size["LzrGreedy," k]
        }'
fi

# LZR compression: lzrpack against the greedy encoder on the same file, and
# gzip -9 and zstd -19 of it for scale (other formats, with larger windows
# and entropy coding; run once, zstd -19 takes minutes on the image).
echo
echo "LZR compression, medians of $rounds rounds (target: lzrpack at least 20 MB/s on the image;"
echo "never larger than greedy; memory at most input + output + 16 MiB)"
greedy=$PWD/build/bench/lzr-greedy
for input in pack.tm2 big.txt; do
    src=$dir/$input
    size=$(stat -c %s "$src")
    o=$(out "pack-$input")
    for ((r = 0; r <= rounds; r++)); do
        if ((r % 2)); then
            run "lzrpack-$input" "$dir" "$bin/lzrpack" "$src" "$o/lzrpack.lzr"
            run "greedy-$input" "$dir" "$greedy" "$src" "$o/greedy.lzr"
        else
            run "greedy-$input" "$dir" "$greedy" "$src" "$o/greedy.lzr"
            run "lzrpack-$input" "$dir" "$bin/lzrpack" "$src" "$o/lzrpack.lzr"
        fi
    done
    "$bin/ossory" "$o/lzrpack.lzr" "$o/decoded" && cmp -s "$o/decoded" "$src" ||
        { echo "lzrpack's file does not decode to $input" >&2; exit 1; }
    r=1
    for tool in gzip zstd; do
        if command -v "$tool" >/dev/null 2>&1; then
            if [ "$tool" = gzip ]; then
                run "$tool-$input" "$dir" sh -c 'gzip -9 -c "$1" >"$2"' sh "$src" "$o/$tool.out"
            else
                run "$tool-$input" "$dir" zstd -q -f -19 "$src" -o "$o/$tool.out"
            fi
        fi
    done
    echo "  $input ($(mib "$size") MiB):"
    for tool in lzrpack greedy gzip zstd; do
        [ -f "$dir/times/$tool-$input" ] || continue
        file=$o/$tool.lzr
        [ -f "$file" ] || file=$o/$tool.out
        t=$(seconds "$tool-$input")
        bytes=$(stat -c %s "$file")
        label=$tool
        case $tool in gzip) label="gzip -9" ;; zstd) label="zstd -19" ;; esac
        awk -v l="$label" -v b="$bytes" -v n="$size" -v t="$t" 'BEGIN {
            printf "    %-9s %11d bytes (%5.1f%%)  %8.3f s  %7.1f MB/s\n", l, b, 100 * b / n, t, n / t / 1e6 }'
    done
    peak=$(($(peak_kib "lzrpack-$input") * 1024))
    limit=$((size + $(stat -c %s "$o/lzrpack.lzr") + (16 << 20)))
    echo "    lzrpack peak memory $(mib "$peak") MiB, limit $(mib "$limit") MiB" \
        "($([ "$peak" -le "$limit" ] && echo meets || echo OVER))"
    if (($(stat -c %s "$o/lzrpack.lzr") > $(stat -c %s "$o/greedy.lzr"))); then
        echo "    lzrpack's file is LARGER than greedy's"
    fi
done
