#!/usr/bin/env bash
# compare_with_linux.sh <linux bin> <windows bin> <wine-run.sh> <wine prefix> <work dir>
#
# The Windows programs (under wine) against the Linux programs, on generated
# sample games: every tool in every mode is run once with each, on two copies
# of the same game, and everything they write must be the same.
#
# - Files written (extracted trees, rebuilt archives and executables, decoded
#   and compressed images, PNGs, .evd files) are compared byte for byte.
# - Text differs in one way only: a Windows program ends its lines with
#   "\r\n" where the Linux one writes "\n". Listings (standard output),
#   messages (standard error) and dumped scripts must be exactly the Linux
#   text with every "\n" made "\r\n", nothing else.
# - Exit statuses must be equal (-1 shows as 255 on both sides).
# - A script dumped on one system is inserted on the other, both ways.
# - One difference is by design: a stored name that Windows cannot hold is
#   refused there, so the executable of the other revision (whose "names"
#   are whatever bytes lie where names would be) may be refused at an
#   earlier entry on Windows. For that run only the status and the hint at
#   the end of the message must agree.
# - Paths given with "\\" work on Windows only, and are checked there.
#
# Layout A and B games are made (for korvane-a/-b and tillet-a/-b); the
# game generator itself is compared too (the Windows one must write the same
# files). Stops at the first difference and leaves <work dir> to look at.
set -euo pipefail
if [ $# -ne 5 ]; then
    echo "usage: $0 <linux bin> <windows bin> <wine-run.sh> <wine prefix> <work dir>" >&2
    exit 2
fi
linux=$1 windows=$2 wine_run=$3 prefix=$4 work=$5
for tool in make-sample-game png-edit korvane-a korvane-b tillet-a tillet-b brenmark ossory \
    lzrpack tm2png; do
    [ -x "$linux/$tool" ] || {
        echo "compare: $linux/$tool is missing: build the Linux programs first (./test.sh does)" >&2
        exit 1
    }
done
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
failures=0
steps=0

fail() {
    echo "DIFFERENT: $*" >&2
    failures=$((failures + 1))
}

# The Linux text with "\n" made "\r\n", compared with the Windows text.
same_text() { # <linux file> <windows file> <what>
    if ! cmp -s <(sed 's/$/\r/' "$1") "$2"; then
        fail "$3: the Windows text is not the Linux text with CRLF line ends"
        diff <(sed 's/$/\r/' "$1" | cat -A) <(cat -A "$2") | head -n 10 >&2 || true
    fi
}

# run <game> <name> <tool> [args...]: runs the tool in <game>/L with the Linux
# program and in <game>/W with the Windows one, and compares what they print
# and how they end.
run() {
    local game=$1 name=$2 tool=$3
    shift 3
    local logs=$work/logs/$game/$name
    mkdir -p "$logs"
    local linux_status=0 windows_status=0
    (cd "$work/$game/L" && "$linux/$tool" "$@") >"$logs/L.out" 2>"$logs/L.err" || linux_status=$?
    (cd "$work/$game/W" && "$wine_run" "$prefix" "$windows/$tool.exe" "$@") \
        >"$logs/W.out" 2>"$logs/W.err" || windows_status=$?
    steps=$((steps + 1))
    # A usage line names the program as it was started: the one difference
    # allowed besides the line ends.
    PROGRAM="$linux/$tool" perl -pi -e 's/\Q$ENV{PROGRAM}\E/<program>/g' "$logs/L.err"
    PROGRAM="Z:${windows//\//\\}\\$tool.exe" perl -pi -e 's/\Q$ENV{PROGRAM}\E/<program>/g' \
        "$logs/W.err"
    [ "$linux_status" = "$windows_status" ] ||
        fail "$game $name: exit status $linux_status on Linux, $windows_status on Windows"
    same_text "$logs/L.out" "$logs/W.out" "$game $name: standard output"
    if [ "${HINT_ONLY:-}" ]; then
        [ "$(tail -c 40 "$logs/L.err" | sed 's/$/\r/')" = "$(tail -c 41 "$logs/W.err")" ] ||
            fail "$game $name: the messages end differently"
    else
        same_text "$logs/L.err" "$logs/W.err" "$game $name: standard error"
    fi
}

# Both trees of a game, file for file; the scripts (text) as text.
compare_trees() { # <game>
    local game=$1 file
    if ! diff -rq --exclude='*.txt' "$work/$game/L" "$work/$game/W" >"$work/$game.diff"; then
        fail "$game: the trees differ (first lines of $work/$game.diff):"
        head -n 10 "$work/$game.diff" >&2
    fi
    while IFS= read -r -d '' file; do
        file=${file#"$work/$game/L/"}
        same_text "$work/$game/L/$file" "$work/$game/W/$file" "$game $file"
    done < <(find "$work/$game/L" -name '*.txt' -print0)
}

for layout in a b; do
    game=game-$layout
    mkdir -p "$work/$game"
    echo "== layout $layout: generate the game on both systems"
    "$linux/make-sample-game" "$work/$game/L" --rpk-layout $layout --fpack-layout $layout \
        --seed 7 >/dev/null
    "$wine_run" "$prefix" "$windows/make-sample-game.exe" "$work/$game/W" --rpk-layout $layout \
        --fpack-layout $layout --seed 7 >/dev/null
    compare_trees $game

    echo "== layout $layout: korvane-$layout and tillet-$layout"
    HINT_ONLY=1 run $game wrong-build korvane-$([ $layout = a ] && echo b || echo a) \
        SLUS_217.88 RPK.BIN
    run $game usage korvane-$layout SLUS_217.88
    run $game extract korvane-$layout SLUS_217.88 RPK.BIN
    run $game extract-again korvane-$layout SLUS_217.88 RPK.BIN "" ignored
    run $game packs tillet-$layout SLUS_217.88
    compare_trees $game

    echo "== layout $layout: brenmark, ossory, lzrpack, tm2png"
    for evd in "$work/$game"/L/evd/e000.evd "$work/$game"/L/evd/town/e001.evd; do
        evd=${evd#"$work/$game/L/"}
        base=$(basename "$evd" .evd)
        run $game "dump-$base" brenmark "$evd" "$base.txt"
    done
    # The same edit on both sides (the Windows script keeps its CRLF line
    # ends); each system inserts its own script, and the other system's.
    sed -i '2s/^\(-\?[0-9]*\) .*/\1 A text edited for the comparison/' "$work/$game/L/e000.txt"
    sed 's/$/\r/' "$work/$game/L/e000.txt" >"$work/$game/W/e000.txt"
    cp "$work/$game/W/e000.txt" "$work/$game/L/other.txt"
    sed 's/\r$//' "$work/$game/W/e000.txt" >"$work/$game/W/other.txt"
    run $game insert-own brenmark evd/e000.evd e000.txt e000-own.evd
    run $game insert-other brenmark evd/e000.evd other.txt e000-other.evd
    rm "$work/$game"/[LW]/other.txt
    cmp -s "$work/$game/L/e000-own.evd" "$work/$game/L/e000-other.evd" ||
        fail "$game: a script with CRLF line ends inserts something else than with LF"
    run $game insert-in-place brenmark evd/e000.evd e000.txt evd/e000.evd
    run $game insert-mismatch brenmark evd/town/e001.evd e000.txt bad.evd
    # The folder forms: PO and CSV files are the same bytes on both systems;
    # one translation of each is put back on both.
    run $game dump-po brenmark evd texts.po
    run $game dump-csv-table brenmark --table texts.tbl evd/encoded encoded.csv
    awk '/^msgctxt "e005.evd#1"$/ { found = 1 }
         found && /^msgstr ""$/ { print "msgstr \"Deux\\nlignes\""; found = 0; next }
         { print }' "$work/$game/L/texts.po" >"$work/$game/L/fr.po"
    sed '0,/^\(e10[0-9]\.evd,[0-9]*,[-0-9]*,[^",]*\),\r$/s//\1,Traduit \xc3\xa0 [HERO]\r/' \
        "$work/$game/L/encoded.csv" >"$work/$game/L/fr.csv"
    cp "$work/$game/L/fr.po" "$work/$game/L/fr.csv" "$work/$game/W/"
    run $game insert-po brenmark evd fr.po evd-fr
    run $game insert-csv-table brenmark --table texts.tbl evd/encoded fr.csv encoded-fr

    run $game decode ossory tex/t000.tm2.lzr t000.tm2
    run $game decode-map ossory tex/map/t002.tm2.lzr t002.tm2
    (cd "$work/$game/W" && "$wine_run" "$prefix" "$windows/ossory.exe" 'tex\map\t002.tm2.lzr' \
        'sub\..\t002-backslash.tm2') || fail "$game: a path with \\ failed on Windows"
    cmp -s "$work/$game/W/t002.tm2" "$work/$game/W/t002-backslash.tm2" ||
        fail "$game: a path with \\ gave another result on Windows"
    rm -f "$work/$game/W/t002-backslash.tm2"
    run $game decode-glob ossory tex/t000.tm2.lzr tex/t003.tm2.lzr
    printf '\x07' | dd of="$work/$game/L/t000.tm2" bs=1 seek=200 conv=notrunc status=none
    printf '\x07' | dd of="$work/$game/W/t000.tm2" bs=1 seek=200 conv=notrunc status=none
    run $game pack-new lzrpack t000.tm2 t000-new.tm2.lzr
    run $game pack-in-place lzrpack tex/t000.tm2.lzr t000.tm2 tex/t000.tm2.lzr
    run $game pack-same lzrpack t000.tm2 t000.tm2
    run $game pack-glob lzrpack tex/t000.tm2.lzr tex/t003.tm2.lzr

    run $game export tm2png tex/t000.tm2.lzr title.png
    run $game export-multi tm2png tex/ui/t001.tm2.lzr ui.png
    run $game export-plain tm2png tex/t004.tm2 plain.png
    "$linux/png-edit" rect "$work/$game/L/title.png" "$work/$game/L/title-edited.png" 20 16 40 24 5
    cp "$work/$game/L/title-edited.png" "$work/$game/W/title-edited.png"
    run $game import-in-place tm2png tex/t000.tm2.lzr title-edited.png tex/t000.tm2.lzr
    run $game import-plain tm2png tex/t000.tm2.lzr title-edited.png title.tm2
    run $game import-unchanged tm2png tex/ui/t001.tm2.lzr ui.png ui.tm2.lzr
    run $game import-wrong-size tm2png tex/t004.tm2 title.png bad.tm2
    compare_trees $game

    echo "== layout $layout: rebuild"
    run $game rebuild korvane-$layout SLUS_217.88 RPK.BIN NEW.ELF NEW.BIN
    run $game rebuild-clash korvane-$layout SLUS_217.88 RPK.BIN RPK.BIN NEW2.BIN
    run $game rebuild-over-a-pack korvane-$layout SLUS_217.88 RPK.BIN NEW3.ELF fpack/p0000.fp
    run $game rebuild-over-an-image korvane-$layout SLUS_217.88 RPK.BIN title.tm2 NEW3.BIN
    run $game rebuild-in-place korvane-$layout SLUS_217.88 RPK.BIN SLUS_217.88 RPK.BIN
    run $game extract-rebuilt korvane-$layout SLUS_217.88 RPK.BIN
    compare_trees $game
done

echo "$steps runs on each system; $failures differences"
[ "$failures" -eq 0 ]
