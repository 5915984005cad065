// modkit unpack: a game folder into a workspace of ordinary files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "modkit/progress.h"

struct UnpackResult {
    std::uint64_t archive_files = 0;  ///< files written below files/ (packs included)
    std::uint64_t members = 0;        ///< files written below files/fpack_extract/
    std::uint64_t images = 0;         ///< images exported
    std::uint64_t pictures = 0;       ///< PNGs written below images/
    std::uint64_t texts = 0;          ///< texts written into texts/texts.po
    std::uint64_t text_files = 0;     ///< .evd files they come from
    char rpk_layout = 'A', fpack_layout = 'A';
    /// Messages for files that look like images but could not be exported
    /// (they stay editable as files), in the order of the files.
    std::vector<std::string> warnings;
};

/// Unpacks the game at `game` (a folder holding the executable and RPK.BIN,
/// or a disc image holding both, read through isopatch's library) into
/// `workspace`, the texts of its .evd files through the table file
/// `table` when it is not empty, which must not exist yet or be an empty folder. The
/// game's files are only read. Everything that can be checked is checked
/// before the first file is written; the state is written last, so a
/// workspace without one is an unpack that did not finish.
bool unpack_game(const std::string& game, const std::string& workspace, const std::string& table,
                 Progress& progress, UnpackResult* out, std::string* err);
