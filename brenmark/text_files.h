// The steps of the brenmark program that work on files: the table file, the
// .evd files of a folder, and dumping to and inserting from PO and CSV files.
// The formats themselves are in text_codec.h, translation.h, csv_texts.h and
// po_texts.h; files are read and written through the platform layer.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "brenmark/text_codec.h"
#include "brenmark/translation.h"

/// What a script's name says it holds.
enum class ScriptKind {
    plain,  ///< one line per text
    po,     ///< ".po" or ".pot": a gettext PO file
    csv,    ///< ".csv": a CSV file
};

/// The kind of `path` by its extension, in any case.
ScriptKind script_kind(std::string_view path);

/// Reads the table file at `path`; the lines it skips give warnings.
bool load_table(const std::string& path, std::unique_ptr<TextTable>* table,
                std::vector<std::string>* warnings, std::string* err);

/// The .evd files below `folder` (any case of the extension), by name
/// relative to it with '/' between components, sorted. Symbolic links are
/// left out with a warning each. A folder without one is an error.
bool find_evd_files(const std::string& folder, std::vector<std::string>* names,
                    std::vector<std::string>* warnings, std::string* err);

/// One .evd to read: the path to read it from and the name translation
/// files give it.
struct EvdPath {
    std::string path;
    std::string name;
};

/// Dumps the texts of `files` into the text of a PO or CSV file (`kind`),
/// reading one file at a time; `script_path` names the file in messages and
/// its folder holds libgettextpo's scratch files.
bool dump_translation_file(const std::vector<EvdPath>& files, const TextTable* table,
                           ScriptKind kind, const std::string& script_path, std::string* text,
                           std::string* err);

/// Reads a PO or CSV file into `out`; `scratch_folder` holds libgettextpo's
/// scratch files.
bool read_translation_file(const std::string& path, ScriptKind kind,
                           const std::string& scratch_folder, Translations* out,
                           std::vector<std::string>* warnings, std::string* err);

/// The warning for fuzzy entries that were not put back, or "" when there
/// were none.
std::string fuzzy_warning(const Translations& translations, const InsertCounts& counts);
