// The game as modkit finds it: its files in a folder, and the two tables of
// its executable (the RPK index and the pack directory) read with whichever
// layout of each reads cleanly.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_reader.h"
#include "isopatch/iso_image.h"
#include "korvane/rpk_index.h"
#include "tillet/fpack_dir.h"

/// Whether `name` is a name of the executable's family: four letters, `_`,
/// three digits, `.`, two digits ("SLUS_217.88", "SLES_533.04"), in either case.
bool is_executable_name(std::string_view name);

/// The game's files in a folder.
struct GameFolder {
    std::string folder;
    std::string executable;  ///< its name in the folder
    std::string archive;     ///< "RPK.BIN", in whatever case the folder has it
    std::string executable_path() const { return folder + "/" + executable; }
    std::string archive_path() const { return folder + "/" + archive; }
};

/// Finds the executable (exactly one file with a name of its family) and
/// RPK.BIN (exactly one, in any case) in `folder`; what is missing, or found
/// twice, is an error naming the folder and the names.
bool find_game_files(const std::string& folder, GameFolder* out, std::string* err);

/// The game's files in a disc image: indices into `image.files` of the
/// executable (exactly one file of its family in the root) and RPK.BIN
/// (exactly one, in any case, in the root), each stored in one piece.
bool find_image_game_files(const IsoImage& image, const std::string& path, std::size_t* executable,
                           std::size_t* archive, std::string* err);

/// Both tables of an executable.
struct GameTables {
    RpkLayout rpk = RPK_LAYOUT_A;
    FpackLayout fpack = FPACK_LAYOUT_A;
    std::vector<RpkEntry> entries;  ///< names are views into the executable
    FpackDirectory directory;       ///< likewise
};

/// Reads both tables of `image`, trying every layout of each: the layout
/// whose table reads cleanly is taken. When both or neither of one table's
/// layouts read cleanly, the error says so and names the builds of the tool
/// that reads that table (korvane-a/-b, tillet-a/-b) with what each meets.
bool detect_tables(ByteSpan image, std::uint64_t archive_size, const std::string& image_path,
                   std::span<const RpkLayout> rpk_layouts,
                   std::span<const FpackLayout> fpack_layouts, GameTables* out, std::string* err);

/// The layouts of the two revisions.
inline constexpr RpkLayout RPK_LAYOUTS[] = {RPK_LAYOUT_A, RPK_LAYOUT_B};
inline constexpr FpackLayout FPACK_LAYOUTS[] = {FPACK_LAYOUT_A, FPACK_LAYOUT_B};

/// Reads both tables with the layouts labelled `rpk` and `fpack` ('A' or 'B').
bool read_tables(ByteSpan image, std::uint64_t archive_size, const std::string& image_path,
                 char rpk, char fpack, GameTables* out, std::string* err);
