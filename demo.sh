#!/usr/bin/env bash
# Builds the suite and runs the modder's whole job on a generated sample game:
# extract RPK.BIN with both builds, extract the packs, decode an image, edit
# it and compress it back, edit a text, redraw part of the title image, edit
# a pack member and put it back into its pack, then rebuild the archive and
# check that the edits (and nothing else) changed.
# Everything happens below ./demo-game, which is made anew each run; the title
# image's PNGs before and after the edit stay there to look at.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
bin=$root/build/bin
packaging/need-packages.sh demo

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
rm -rf demo-game
mkdir demo-game

step() { printf '\n== %s\n' "$*"; }
# Shows the first lines of a listing and how many there were.
excerpt() { head -n "$1" "$2"; echo "   ... $(wc -l <"$2") lines in all (full listing: $2)"; }

for layout in a b; do
    game=demo-game/layout-$layout
    step "Generate a sample game for the layout ${layout^^} builds"
    "$bin/make-sample-game" "$game" --rpk-layout "$layout" --fpack-layout "$layout" --seed 42
    cd "$game"

    step "korvane-$layout SLUS_217.88 RPK.BIN   (extract the archive)"
    "$bin/korvane-$layout" SLUS_217.88 RPK.BIN >korvane.txt
    excerpt 5 korvane.txt

    step "tillet-$layout SLUS_217.88   (extract every pack into fpack_extract/)"
    "$bin/tillet-$layout" SLUS_217.88 >tillet.txt
    excerpt 6 tillet.txt
    echo "   $(find fpack_extract -type f | wc -l) member files below fpack_extract/"
    cd "$root"
done

cd demo-game/layout-a
step "ossory tex/t000.tm2.lzr t000.tm2   (decode an image)"
"$bin/ossory" tex/t000.tm2.lzr t000.tm2
echo "   $(stat -c %s tex/t000.tm2.lzr) bytes -> $(stat -c %s t000.tm2) bytes, starting with: $(head -c 4 t000.tm2)"

step "Edit a pixel, then lzrpack tex/t000.tm2.lzr t000.tm2 tex/t000.tm2.lzr   (compress it back)"
printf '\x07' | dd of=t000.tm2 bs=1 seek=200 conv=notrunc status=none
word=$(od -An -tx4 -N4 tex/t000.tm2.lzr | tr -d ' ')
"$bin/lzrpack" tex/t000.tm2.lzr t000.tm2 tex/t000.tm2.lzr
"$bin/ossory" tex/t000.tm2.lzr check.tm2
echo "   $(stat -c %s t000.tm2) bytes -> $(stat -c %s tex/t000.tm2.lzr) bytes; header word $word kept:" \
    "$(od -An -tx4 -N4 tex/t000.tm2.lzr | tr -d ' '); decodes to the edited image: $(cmp -s check.tm2 t000.tm2 && echo yes)"

step "brenmark evd/e000.evd e000.txt   (dump the texts to a script)"
cp evd/e000.evd e000.original.evd
"$bin/brenmark" evd/e000.evd e000.txt
head -n 3 e000.txt | cut -c 1-70

step "Edit the second line of the script and insert it in place"
id=$(sed -n 2p e000.txt | cut -d' ' -f1)
sed -i "2s/.*/$id Welcome to the translated town, traveller!/" e000.txt
"$bin/brenmark" evd/e000.evd e000.txt evd/e000.evd
"$bin/brenmark" evd/e000.evd check.txt
sed -n 2p check.txt
cmp -s <(sed 2d e000.txt) <(sed 2d check.txt) && echo "   every other text is unchanged"

step "tm2png tex/t000.tm2.lzr ../title-before.png   (export the title image to PNG)"
"$bin/tm2png" tex/t000.tm2.lzr ../title-before.png

# The edit: a filled rectangle in palette colour 5, drawn by the suite's own
# png-edit (any editor that keeps the palette would do).
rect=(20 16 40 24)
step "Draw a ${rect[2]}x${rect[3]} rectangle at (${rect[0]}, ${rect[1]}) in palette colour 5, import it in place"
"$bin/png-edit" rect ../title-before.png ../title-edited.png "${rect[@]}" 5
"$bin/tm2png" tex/t000.tm2.lzr ../title-edited.png tex/t000.tm2.lzr

# A member of the first pack that has one, as fpack_extract/ holds it.
member=fpack_extract/$(grep -m1 $'^\t' tillet.txt | sed 's/^.*\[\(.*\)\]$/\1/; s/\\/\//g')
step "Edit $member, then put the members back: tillet-a SLUS_217.88 NEW.ELF"
printf 'pack member patched by the demo\n' >"$member"
"$bin/tillet-a" SLUS_217.88 NEW.ELF >tillet-rebuild.txt
# The listing marks each pack; show the one that changed.
awk '/^0x/ { block = "" } { block = block $0 "\n" } /=> rebuilt/ { printf "%s", block; exit }' \
    tillet-rebuild.txt
echo "   $(grep -c '=> rebuilt' tillet-rebuild.txt) pack rebuilt in fpack/, $(grep -c '=> kept' tillet-rebuild.txt) kept as they were;"
echo "   NEW.ELF is SLUS_217.88 with that pack's member table patched"

edited=$(sed -n 2p korvane.txt | sed 's/^.*\[\(.*\)\]$/\1/; s/\\/\//g')
step "Edit $edited, then rebuild: korvane-a NEW.ELF RPK.BIN NEW2.ELF NEW.BIN"
printf 'patched by the demo\n' >"$edited"
"$bin/korvane-a" NEW.ELF RPK.BIN NEW2.ELF NEW.BIN >rebuild.txt
echo "   $(wc -l <rebuild.txt) entries packed into NEW.BIN ($(stat -c %s NEW.BIN) bytes)"

step "Extract the rebuilt pair again and compare with the edited tree"
mkdir check
(cd check && "$bin/korvane-a" ../NEW2.ELF ../NEW.BIN >/dev/null)
sed 's/^.*\[\(.*\)\]$/\1/; s/\\/\//g' korvane.txt | sort -u | while read -r name; do
    cmp -s "$name" "check/$name" || { echo "   DIFFERS: $name"; exit 1; }
done
echo "   all $(sed 's/^.*\[//' korvane.txt | sort -u | wc -l) files are byte-identical to the edited tree;"
echo "   check/$edited says: $(cat "check/$edited")"
echo "   check/evd/e000.evd carries the edited text: $(cmp -s check/evd/e000.evd evd/e000.evd && echo yes)"

step "Extract the rebuilt packs again: tillet-a NEW2.ELF in check/"
(cd check && "$bin/tillet-a" ../NEW2.ELF >/dev/null)
diff -r -q fpack_extract check/fpack_extract >/dev/null || { echo "   the members differ"; exit 1; }
echo "   all $(find check/fpack_extract -type f | wc -l) members are byte-identical to the edited ones;"
echo "   check/$member says: $(cat "check/$member")"

step "tm2png check/tex/t000.tm2.lzr ../title-after.png   (the title image from the rebuilt archive)"
"$bin/tm2png" check/tex/t000.tm2.lzr ../title-after.png
read -r count x0 y0 x1 y1 <<<"$("$bin/png-edit" diff ../title-before.png ../title-after.png)"
if ((count == 0 || x0 < rect[0] || y0 < rect[1] || x1 >= rect[0] + rect[2] || y1 >= rect[1] + rect[3])); then
    echo "   the title image changed outside the rectangle: $count pixels in ($x0, $y0)-($x1, $y1)"
    exit 1
fi
echo "   $count pixels differ from the original, all inside the rectangle ($x0, $y0)-($x1, $y1);"
echo "   look at demo-game/title-before.png and demo-game/title-after.png"
step "Done: the demo's files are in demo-game/"
