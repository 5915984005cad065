#!/usr/bin/env bash
# Builds the suite and runs the modder's whole job on a generated sample game.
# First the three-command way: the game's disc image unpacked by modkit into a
# workspace of files, PNGs and one PO file, a picture and a text edited there,
# modkit status, and modkit pack into a new image, which is taken apart again
# to check that exactly the two edits arrived. Then the same work with the
# single tools, for fine work:
# extract RPK.BIN with both builds, extract the packs, decode an image, edit
# it and compress it back, edit a text in a script and translate one through
# a PO file, redraw part of the title image, edit
# a pack member and put it back into its pack, then rebuild the archive and
# check that the edits (and nothing else) changed. Then the same game as a
# disc image: take its files out, rebuild the archive with a file that
# grows, and put the new files back into a copy of the image.
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

# The workspace flow: the game as a disc image, the three modkit commands.
step "Make the sample game as a disc image: make-sample-game demo-game/iso --image"
"$bin/make-sample-game" demo-game/iso --seed 42 --image
cd demo-game/iso

step "modkit unpack game.iso work --table texts.tbl   (the whole game as ordinary files)"
"$bin/modkit" unpack game.iso work --table texts.tbl
echo "   work/ holds files/ ($(find work/files -type f | wc -l) files), images/ ($(find work/images -name '*.png' | wc -l) PNGs)" \
    "and texts/texts.po ($(grep -c '^msgctxt' work/texts/texts.po) texts)"

# The picture: a filled rectangle in palette colour 5 on the title image.
png=work/images/tex/t000.tm2.lzr.png
cp "$png" title-before.png
rect=(20 16 40 24)
step "Draw a ${rect[2]}x${rect[3]} rectangle at (${rect[0]}, ${rect[1]}) into $png with png-edit"
"$bin/png-edit" rect title-before.png "$png" "${rect[@]}" 5

# The text: the msgstr of one entry filled in, as Poedit would; the text is in
# the game's own encoding, read and written through the table.
entry='evd/encoded/e100.evd#1'
step "Translate the entry $entry of work/texts/texts.po"
awk -v ctx="msgctxt \"$entry\"" '$0 == ctx { found = 1 }
     found && /^msgstr ""$/ { print "msgstr \"Bonjour, l\047\303\251l\303\250ve !\""; found = 0; next }
     { print }' work/texts/texts.po >translated.po
mv translated.po work/texts/texts.po
awk -v ctx="msgctxt \"$entry\"" '$0 == ctx { show = 1 } show { print "   " $0 } show && /^msgstr/ { exit }' \
    work/texts/texts.po

step "modkit status work   (what was edited)"
"$bin/modkit" status work

step "modkit pack work new.iso   (every edit back, into a copy of the image)"
"$bin/modkit" pack work new.iso

step "Take new.iso apart again: isopatch -x, korvane-a, tm2png, brenmark"
"$bin/isopatch" game.iso -x before >before.txt
"$bin/isopatch" new.iso -x after >after.txt
(cd before && "$bin/korvane-a" SLUS_217.88 RPK.BIN >/dev/null)
(cd after && "$bin/korvane-a" SLUS_217.88 RPK.BIN >/dev/null)
# Every archive file but the two edited ones is byte for byte as it was.
changed=$(cd after && find . -type f ! -name SLUS_217.88 ! -name RPK.BIN | sed 's|^\./||' | sort |
    while read -r f; do cmp -s "$f" "../before/$f" || echo "$f"; done)
[ "$changed" = "$(printf 'evd/encoded/e100.evd\ntex/t000.tm2.lzr')" ] ||
    { echo "   other files changed than the two edited ones: $changed"; exit 1; }
echo "   of $(find after -type f | wc -l) files, only evd/encoded/e100.evd and tex/t000.tm2.lzr changed"
"$bin/tm2png" after/tex/t000.tm2.lzr title-after.png
read -r count x0 y0 x1 y1 <<<"$("$bin/png-edit" diff title-before.png title-after.png)"
if ((count == 0 || x0 < rect[0] || y0 < rect[1] || x1 >= rect[0] + rect[2] || y1 >= rect[1] + rect[3])); then
    echo "   the title image changed outside the rectangle: $count pixels in ($x0, $y0)-($x1, $y1)"
    exit 1
fi
echo "   the title image: $count pixels differ, all inside the rectangle ($x0, $y0)-($x1, $y1)"
"$bin/brenmark" --table texts.tbl before/evd/encoded/e100.evd before-e100.txt
"$bin/brenmark" --table texts.tbl after/evd/encoded/e100.evd after-e100.txt
diff before-e100.txt after-e100.txt >e100.diff && { echo "   e100.evd did not change"; exit 1; }
[ "$(grep -c '^[<>]' e100.diff)" = 2 ] || { echo "   other texts of e100.evd changed"; cat e100.diff; exit 1; }
echo "   evd/encoded/e100.evd, text 1 of its script, now: $(sed -n 2p after-e100.txt)"
# Every file of the image but the executable and RPK.BIN kept its sector.
diff <(grep -v -e '\[SLUS_217.88\]' -e '\[RPK.BIN\]' before.txt) \
     <(grep -v -e '\[SLUS_217.88\]' -e '\[RPK.BIN\]' after.txt) >/dev/null ||
    { echo "   a file of the image that modkit did not replace moved"; exit 1; }
echo "   every other file of the image is where it was; game.iso itself was only read"
cd "$root"

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

step "brenmark evd texts.po   (every text below evd/ into one PO file, for Poedit or Weblate)"
"$bin/brenmark" evd texts.po
echo "   $(grep -c '^msgctxt' texts.po) texts from $(find evd -name '*.evd' | wc -l) files;" \
    "msgfmt --check: $(msgfmt --check -o /dev/null texts.po 2>/dev/null && echo passes)"
awk '/^msgctxt "e005.evd#1"$/ { show = 1 } show { print "   " $0 } show && /^msgstr/ { exit }' texts.po

step "Translate that text (fill its msgstr, as Poedit does) and insert: brenmark evd texts.po evd"
awk '/^msgctxt "e005.evd#1"$/ { found = 1 }
     found && /^msgstr ""$/ { print "msgstr \"Bonjour, voyageur !\\nVoici la deuxi\303\250me ligne.\""; found = 0; next }
     { print }' texts.po >translated.po
"$bin/brenmark" evd translated.po evd
"$bin/brenmark" evd/e005.evd e005.txt
echo "   evd/e005.evd now holds (as its script shows it): $(sed -n 2p e005.txt)"

step "brenmark --table texts.tbl evd/encoded encoded.csv   (texts in the game's own encoding, for a spreadsheet)"
"$bin/brenmark" --table texts.tbl evd/encoded encoded.csv
sed -n '2,4p' encoded.csv | cut -c 1-90 | sed 's/^/   /'

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
echo "   check/evd/e000.evd and check/evd/e005.evd carry the edited texts:" \
    "$(cmp -s check/evd/e000.evd evd/e000.evd && cmp -s check/evd/e005.evd evd/e005.evd && echo yes)"

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
# The game as modders get it: a disc image. Take the files out, edit, put
# the edited ones back into a copy of the image, every other file where it was.
cd "$root"
step "Make the sample game as a disc image: make-sample-game demo-game/disc --canonical --image"
"$bin/make-sample-game" demo-game/disc --seed 42 --canonical --image
cd demo-game/disc

step "isopatch game.iso -x game/   (take every file out of the image)"
"$bin/isopatch" game.iso -x game/ >isopatch.txt
cat isopatch.txt

cd game
step "korvane-a SLUS_217.88 RPK.BIN, edit a file that grows, rebuild: korvane-a SLUS_217.88 RPK.BIN NEW2.ELF NEW.BIN"
"$bin/korvane-a" SLUS_217.88 RPK.BIN >korvane.txt
grown=$(sed -n 3p korvane.txt | sed 's/^.*\[\(.*\)\]$/\1/; s/\\/\//g')
head -c 300000 /dev/zero | tr '\0' 'k' >"$grown"
"$bin/korvane-a" SLUS_217.88 RPK.BIN NEW2.ELF NEW.BIN >/dev/null
echo "   $grown is now $(stat -c %s "$grown") bytes; RPK.BIN $(stat -c %s RPK.BIN) -> NEW.BIN $(stat -c %s NEW.BIN) bytes"
cd ..

step "isopatch game.iso translated.iso SLUS_217.88=game/NEW2.ELF RPK.BIN=game/NEW.BIN"
"$bin/isopatch" game.iso translated.iso SLUS_217.88=game/NEW2.ELF RPK.BIN=game/NEW.BIN
echo "   game.iso $(stat -c %s game.iso) bytes -> translated.iso $(stat -c %s translated.iso) bytes"

step "Extract the patched image again and compare with the edited files"
"$bin/isopatch" translated.iso -x check/ >check.txt
cmp -s check/SLUS_217.88 game/NEW2.ELF && cmp -s check/RPK.BIN game/NEW.BIN ||
    { echo "   the replaced files differ"; exit 1; }
for f in SYSTEM.CNF MODULES/CDVDMAN.IRX MODULES/PADMAN.IRX MODULES/SIO2MAN.IRX; do
    cmp -s "check/$f" "game/$f" || { echo "   $f differs"; exit 1; }
done
# Every file that was not replaced kept its sector and length.
diff <(grep -v -e '\[SLUS_217.88\]' -e '\[RPK.BIN\]' isopatch.txt) \
     <(grep -v -e '\[SLUS_217.88\]' -e '\[RPK.BIN\]' check.txt) >/dev/null ||
    { echo "   a file that was not replaced moved"; exit 1; }
echo "   SLUS_217.88 and RPK.BIN hold NEW2.ELF and NEW.BIN; every other file is byte-identical"
echo "   and at its old sector; demo-game/disc/translated.iso is the patched image"
(mkdir -p rpk-check && cd rpk-check && "$bin/korvane-a" ../check/SLUS_217.88 ../check/RPK.BIN >/dev/null)
cmp -s "rpk-check/$grown" "game/$grown" && echo "   and the archive inside it holds the edited $grown"

step "Done: the demo's files are in demo-game/"
