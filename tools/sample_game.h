// A synthetic game, made entirely by our own code, for tests, the demo and
// benchmarks: an executable image holding the RPK index and the fpack pack
// directory at the offsets of the chosen layouts, and the RPK.BIN archive that
// goes with it. The model records what was put in, so tests can compare the
// tools' listings and output trees byte for byte.
//
// What a game holds (names as stored; `\` in some of them):
// - 905 packs, RPK names "fpack/pNNNN.fp" (NNNN = 0000..0904), "fpack/ex/..."
//   for every 50th, backslashes for every 7th; for every 11th the pack
//   directory spells the name with the other separator. Members are named
//   "pNNNN/mJJ.bin", "pNNNN\snd\mJJ.vag", "pNNNN/tex/deep/mJJ.tm2",
//   "pNNNN\evt/mJJ.dat" or "pNNNN/mJJ.dat"; pack 0042 has 40 members, pack
//   0002 a member of length 0, about one pack in eight none.
// - "evd/e000.evd", "evd/town/e001.evd", "evd\boss\e002.evd", "evd/e003.evd"
//   (no texts), "evd/story/long/e004.evd" (one text over 5000 bytes),
//   "evd/e005.evd" (texts of several lines with control bytes) and
//   "evd/encoded/e100.evd" to "e102.evd" (texts in the game's own encoding, whose
//   table file is written beside the game; see sample_texts.h).
// - TIM2 images "tex/t000.tm2.lzr" (the title: one 8-bit picture),
//   "tex/ui/t001.tm2.lzr", "tex\map\t002.tm2.lzr", "tex/t003.tm2.lzr" and the
//   uncompressed "tex/t004.tm2" (see sample_images.h); about a third of the
//   pack members named "....tm2" are TIM2 images too.
// - Ordinary files "fNNNN.<ext>" below "data/", "data\sub\", "snd/bgm/", "movie\",
//   "map/area01/deep/", "sys\etc/" or at the top; the first six have sizes 0,
//   1, 2047, 2048, 2049 and 0.
// - After the last entry, ignored entries "old/xNNN.bin" and "dbg\traceNN.log".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "korvane/rpk_layout.h"
#include "tillet/fpack_layout.h"

using SampleBytes = std::vector<std::uint8_t>;

/// The pack that holds an .evd member with SampleOptions::evd_member.
inline constexpr std::uint32_t EVD_PACK = 7;

struct SampleOptions {
    RpkLayout rpk_layout = RPK_LAYOUT_A;
    FpackLayout fpack_layout = FPACK_LAYOUT_A;
    std::uint64_t seed = 1;
    /// Approximate size of RPK.BIN in bytes. The 905 packs set a floor of a
    /// few MiB; about 1 GiB is meant for benchmarks.
    std::uint64_t archive_size = 6u << 20;
    /// Canonical archives hold their files in index order, back to back from
    /// sector 0 with zero fill, and no two entries share a name, so extracting
    /// and rebuilding gives the same archive and executable byte for byte.
    /// Their packs are canonical too: members in table order from sector 0
    /// with zero fill, each pack ending at its last member's rounded end, so
    /// rebuilding a pack from its extracted members gives it back unchanged.
    /// Otherwise data lies out of sector order with non-zero gaps and fill,
    /// one name is stored twice, and packs end anywhere after their data.
    bool canonical = false;
    /// The ordinary files are all small (1 to 200 KiB, thousands of them in a
    /// large archive), the shape where per-file work dominates extraction.
    bool small_files = false;
    /// Whether the model keeps copies of the file contents (`extracted`,
    /// `fpack_extracted`, `lzr_plain`, `tim2_images`). Benchmarks that only write the game
    /// turn this off so that a 1 GiB game does not need twice the memory.
    bool keep_contents = true;
    /// Write the game as a disc image (SAMPLE_IMAGE_NAME in the folder,
    /// tools/sample_image.h) instead of its two files.
    bool image = false;
    /// Pack EVD_PACK also holds an .evd file as its last member, as some
    /// games keep event scripts in packs.
    bool evd_member = false;
    /// With `image`: a zero-filled DUMMY.DAT after the game's files makes
    /// the image about this large (a hole in the written file); 0: none.
    std::uint64_t image_size = 0;
};

/// Largest archive the generator makes: every sector, length and end stays a
/// positive signed 32-bit value, as the tools print and compare them.
inline constexpr std::uint64_t SAMPLE_MAX_ARCHIVE_SIZE = 2047ull << 20;

/// One entry of the RPK index, as stored in the executable.
struct SampleEntry {
    std::string name;  ///< exactly as stored (may contain '\')
    std::uint32_t name_address = 0;
    std::uint32_t sector = 0;
    std::uint32_t length = 0;
};

/// One member of a pack, as stored in its member table.
struct SampleMember {
    std::string name;  ///< exactly as stored (may contain '\')
    std::uint32_t sector = 0;
    std::uint32_t length = 0;
};

/// One entry of the pack directory.
struct SamplePack {
    std::string name;  ///< exactly as stored in the directory; names a file of the archive
    std::vector<SampleMember> members;
};

struct SampleGame {
    SampleOptions options;
    SampleBytes executable;  ///< written as "SLUS_217.88"
    SampleBytes archive;     ///< written as "RPK.BIN"

    /// The entries the walk processes, entry 0 to the last one, in index order.
    std::vector<SampleEntry> entries;
    /// Entries stored after the last one; a correct walk never touches them.
    std::vector<SampleEntry> ignored_entries;
    /// File offset of every processed entry's 12-byte record in the executable.
    std::vector<std::uint64_t> entry_offsets;

    /// The 905 pack entries, in directory order.
    std::vector<SamplePack> packs;

    /// What extracting RPK.BIN writes: host path ('\' turned into '/') to
    /// contents; where a name is stored twice, the later entry's data.
    std::map<std::string, SampleBytes> extracted;
    /// What extracting every pack writes, by host path below "fpack_extract/"
    /// (keys include that prefix).
    std::map<std::string, SampleBytes> fpack_extracted;

    /// Host paths of the archive's .evd files and .tm2.lzr files.
    std::vector<std::string> evd_files;
    /// The .evd files whose texts are in the game's own encoding, described
    /// by `text_table` (a table file, written beside the game as
    /// SAMPLE_TEXT_TABLE_NAME).
    std::vector<std::string> table_evd_files;
    std::string text_table;
    std::vector<std::string> lzr_files;
    /// The decoded contents of each .tm2.lzr file, by its host path.
    std::map<std::string, SampleBytes> lzr_plain;
    /// Every TIM2 image: .tm2 and .tm2.lzr files of the archive by host path,
    /// pack members by their path below "fpack_extract/".
    std::vector<std::string> tim2_files;
    /// The plain TIM2 bytes of each of them (decoded, for .tm2.lzr files).
    std::map<std::string, SampleBytes> tim2_images;

    /// The listing korvane prints while walking this index.
    std::string korvane_listing() const;
    /// The listing tillet prints while walking this pack directory.
    std::string tillet_listing() const;
};

/// One pairing of an RPK layout with an fpack layout: the revisions label
/// them independently, so tests cover every pairing.
struct LayoutCombination {
    RpkLayout rpk;
    FpackLayout fpack;
};

inline constexpr LayoutCombination ALL_LAYOUT_COMBINATIONS[] = {
    {RPK_LAYOUT_A, FPACK_LAYOUT_A},
    {RPK_LAYOUT_A, FPACK_LAYOUT_B},
    {RPK_LAYOUT_B, FPACK_LAYOUT_A},
    {RPK_LAYOUT_B, FPACK_LAYOUT_B},
};

/// "RpkAFpackB" and so on, for test names.
inline std::string combination_name(const LayoutCombination& c) {
    return std::string("Rpk") + c.rpk.label + "Fpack" + c.fpack.label;
}

/// Builds a game in memory. Deterministic for equal options. Throws
/// std::invalid_argument when `archive_size` exceeds SAMPLE_MAX_ARCHIVE_SIZE
/// or the layouts leave no room for the tables (never for the four
/// combinations of the real layouts).
SampleGame make_sample_game(const SampleOptions& options);

/// The name of the table file written beside the game.
inline constexpr const char* SAMPLE_TEXT_TABLE_NAME = "texts.tbl";

/// Writes `dir`/SLUS_217.88 and `dir`/RPK.BIN (the folder must exist).
bool write_sample_game(const SampleGame& game, const std::string& dir, std::string* err);

/// Writes the table file of the table-encoded texts beside them, as
/// `dir`/texts.tbl (SAMPLE_TEXT_TABLE_NAME); make-sample-game does.
bool write_sample_text_table(const SampleGame& game, const std::string& dir, std::string* err);

/// A byte count in decimal with an optional suffix K, M or G (binary
/// multiples, either case), e.g. "6M" or "1G". False on anything else or on
/// overflow.
bool parse_byte_size(std::string_view text, std::uint64_t* out);

/// The command line of make-sample-game after the program name:
/// <dir> [--rpk-layout a|b] [--fpack-layout a|b] [--seed N] [--size BYTES] [--canonical]
/// [--small-files] [--image] [--image-size BYTES].
/// On failure `err` holds the complete message.
bool parse_sample_arguments(const std::vector<std::string>& args, std::string* dir,
                            SampleOptions* options, std::string* err);

/// "<entries> entries, <packs> packs, <members> members, <bytes> archive bytes".
std::string sample_summary(const SampleGame& game);
