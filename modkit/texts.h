// The texts of a workspace: every text of every .evd among its archive files
// and pack members, in one PO file (texts/texts.po) through brenmark's
// library, read through the table file given to unpack, if any.
//
// The PO file is a view of the .evd files, as a PNG is of its image. Its
// original texts (msgid) are those of the .evd files as unpack found them;
// copies of those files stay in .modkit/texts/ (as the originals the PO
// describes), so that every pack applies the whole PO to them and finds the
// .evd files whose texts changed since the last pack by digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "brenmark/text_codec.h"
#include "brenmark/translation.h"
#include "modkit/digest.h"
#include "modkit/state.h"
#include "modkit/workspace.h"

inline const std::string TEXTS_PO = "texts/texts.po";
inline const std::string TABLE_COPY = ".modkit/table";
/// Where libgettextpo's scratch files go (removed by brenmark's library).
inline const std::string TEXTS_SCRATCH = ".modkit";

/// Whether the workspace path names an .evd file (any case of the extension).
bool is_evd_path(std::string_view path);

/// The name the PO gives the .evd at workspace path `file`: its path below
/// files/ ("evd/e0001.evd", "fpack_extract/evd/e0002.evd").
std::string text_entry_name(const std::string& file);

/// Where the original of the .evd at workspace path `file` is kept.
std::string text_original_path(const std::string& file);

/// The texts of the .evd files `files` (workspace paths, in order) as the
/// text of the PO file; `bytes[i]` holds the contents of files[i]. A file
/// that is no .evd brenmark reads is left out with a warning (it stays
/// editable as a file); `kept` gets the indices of the others.
bool dump_workspace_texts(const Workspace& ws, const std::vector<std::string>& files,
                          const std::vector<std::vector<std::uint8_t>>& bytes,
                          const TextTable* table, std::string* po, std::vector<std::size_t>* kept,
                          std::uint64_t* texts, std::vector<std::string>* warnings,
                          std::string* err);

/// The PO applied to the originals of the workspace's text files.
struct AppliedTexts {
    std::unique_ptr<TextTable> table;
    Translations translations;
    /// Per state.text_files: the .evd the PO makes of the original, its
    /// digest, and how many of its texts differ from the file as it is now.
    std::vector<std::vector<std::uint8_t>> bytes;
    std::vector<Digest> digests;
    std::vector<std::size_t> changed_texts;
    std::uint64_t texts = 0;  ///< every text record of every file
    InsertCounts counts;
    std::vector<std::string> warnings;
    TextCounts totals() const {
        return {texts - counts.untranslated - counts.fuzzy, counts.untranslated, counts.fuzzy};
    }
};

/// Loads the table (if the state names one), reads texts/texts.po and
/// applies it to the originals of every text file.
bool apply_workspace_texts(const Workspace& ws, const WorkspaceState& state, AppliedTexts* out,
                           std::string* err);

/// The table file kept in the workspace, or null when unpack was given none.
bool load_workspace_table(const Workspace& ws, const WorkspaceState& state,
                          std::unique_ptr<TextTable>* out, std::string* err);
