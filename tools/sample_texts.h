// The dialogue of the sample game: .evd files whose texts span several
// lines and hold control bytes, and files whose texts are in the game's own
// encoding, described by a table file written beside the game. Made by our
// own code, for tests, the demo and the benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/sample_rng.h"

/// The table file of the table-encoded texts ("texts.tbl" beside the game):
/// printable ASCII as itself; the letters U+00C0 to U+00FF (accented
/// letters) at 0x80 to 0xBF; a line break at 0xFE; control codes [HERO]
/// (F0 01), [ITEM] (F0 02) and [WAIT] (F1). Bytes 0xC0 to 0xEF stand for
/// nothing (dumps show them as \xHH).
std::string sample_text_table();

/// What the texts of a dialogue file are like.
enum class DialogueKind {
    /// Lines joined by line feeds (sometimes CR LF), tabs, backslashes,
    /// control bytes such as 0x1B colour codes, and bytes above 0x7F.
    multi_line,
    /// Encoded through sample_text_table(): accented letters, line breaks
    /// (0xFE), control codes, and now and then a byte the table lacks.
    table_encoded,
};

/// An .evd of `count` text records, ids from `first_id` up in steps of 3,
/// some empty, then a tail of a few bytes. The same stream gives the same file.
std::vector<std::uint8_t> make_dialogue_evd(Rng& rng, std::uint32_t count, std::int32_t first_id,
                                            DialogueKind kind);
