// The state of a workspace (`.modkit/state`): where the game came from, how
// its tables are laid out, and the digest of every file unpack (or the last
// pack) wrote, so that `status` and `pack` find edits by content.
//
// A small text file, one record a line, fields separated by tabs, paths
// relative to the workspace with `/` between folders (a backslash, tab or
// line break in a path is written as `\\`, `\t`, `\n`). Formatting and
// parsing are pure; the workspace code reads and writes the file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "modkit/digest.h"

/// What `<game>` of `modkit unpack` was.
enum class GameSourceKind {
    folder,  ///< a folder holding the executable and RPK.BIN
    image,   ///< a disc image (.iso) holding the executable and RPK.BIN
};

/// One of the game's own files, as unpack found it.
struct GameInput {
    std::string name;  ///< its name in the game (written again under it by pack)
    std::uint64_t size = 0;
    Digest digest;
};

/// A TIM2 image among the workspace's files, exported to PNG.
struct ImageRecord {
    std::string file;            ///< workspace path of the image: files/...
    std::uint32_t pictures = 0;  ///< one PNG each
};

/// How many texts the translation file put into the game at the last pack
/// that read it (at unpack: none translated).
struct TextCounts {
    std::uint64_t translated = 0;
    std::uint64_t untranslated = 0;
    std::uint64_t fuzzy = 0;
};

struct WorkspaceState {
    GameSourceKind source = GameSourceKind::folder;
    std::string source_path;  ///< the game folder (or image) as given to unpack
    /// A disc image: its size and digest as unpack read it (name: its path).
    GameInput disc;
    /// The executable and the archive; from an image, their paths in it.
    GameInput executable;
    GameInput archive;
    /// Whether unpack read the texts through a table file (kept in the
    /// workspace, modkit/texts.h).
    bool table = false;
    /// The .evd files whose texts are in the translation file, by workspace
    /// path, in its order.
    std::vector<std::string> text_files;
    TextCounts texts;
    char rpk_layout = 'A';    ///< the korvane build the executable's RPK index needs
    char fpack_layout = 'A';  ///< the tillet build its pack directory needs
    /// The size of the archive that the workspace's copy of the executable
    /// (`.modkit/executable`) describes, where its index walk ends: the
    /// game's RPK.BIN at first, then the archive of the last pack.
    std::uint64_t archive_size = 0;
    /// Packs that succeeded since unpack.
    std::uint64_t packs = 0;
    std::vector<ImageRecord> images;  ///< in the order unpack found them
    /// Every file unpack or a pack wrote, by workspace path, with its digest
    /// as written: the contents that count as not edited.
    std::map<std::string, Digest> files;
};

/// The text of the state file.
std::string format_state(const WorkspaceState& state);

/// Reads the text of the state file at `path` (named in messages, with the
/// line of any fault).
bool parse_state(std::string_view text, const std::string& path, WorkspaceState* out,
                 std::string* err);
