// The texts of many .evd files as translation files (PO, CSV) carry them,
// and putting translated texts back.
//
// Every text record is one entry, named by its file and record number
// ("evd/e0001.evd#3"; see record_context), with its text id, its original
// text and a translation (empty: keep the original). Texts are shown in
// TextForm::translation (brenmark/text_codec.h): UTF-8, a line feed as a line
// break, through a table file if one is given.
//
// This is the library a driver calls with .evd bytes it already holds: the
// brenmark program with the files of a folder, or a tool that takes .evd
// files out of archives and packs. Nothing here touches files:
//
//   dump     dump_evd_texts() per .evd (or dump_texts() for a whole list)
//            gives the entries; append_csv_*() (brenmark/csv_texts.h) makes
//            CSV text of them, PoWriter (brenmark/po_texts.h) the text of a
//            PO file. Both give the text in memory, for the caller to write;
//            PoWriter needs a folder for libgettextpo's scratch files (which
//            it removes).
//   insert   read_csv_texts() (CSV text in memory) or read_po_texts() (a PO
//            file by its path, read in pieces) fill a Translations; then
//            Translations::apply() per .evd (or insert_texts() for a whole
//            list) gives the new bytes of each .evd in which a text changed,
//            Translations::check_all_used() refuses entries that named no
//            record, and the InsertCounts say what happened.
//
// Every failure fills `err` with the complete message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "brenmark/text_codec.h"
#include "common/byte_reader.h"

/// The name a translation file gives a record: "<file>#<record>", the
/// record counted from 0 in its file. Unique and stable as long as the file
/// keeps its name and its records their order.
std::string record_context(std::string_view file, std::size_t record);

/// Splits a name made by record_context. False when it is not one (no '#',
/// nothing before it, or no plain decimal number after the last '#').
bool parse_record_context(std::string_view context, std::string* file, std::size_t* record);

/// One text as a translation file carries it.
struct TextEntry {
    std::string file;        ///< the .evd's name, components joined by '/'
    std::size_t record = 0;  ///< counted from 0 in its file
    std::int32_t text_id = 0;
    bool has_text_id = true;  ///< false when the file read gave none to check
    std::string original;     ///< shown in TextForm::translation
    std::string translation;  ///< empty: the original stays
    bool fuzzy = false;       ///< marked for review: not put back
    std::size_t line = 0;     ///< where the entry starts in the file read, 0 if unknown
};

/// "line 12, entry "evd/e0001.evd#3"": where an entry is, for messages.
std::string entry_place(const TextEntry& entry);

/// An .evd held in memory, under the name translation files give it.
struct EvdSource {
    std::string name;
    ByteSpan bytes;
};

/// Appends one entry per text record of `evd` (parsed here; a damaged file
/// is an error naming it), translations empty.
bool dump_evd_texts(const EvdSource& evd, const TextTable* table, std::vector<TextEntry>* out,
                    std::string* err);

/// dump_evd_texts for every file of `files`, in their order.
bool dump_texts(std::span<const EvdSource> files, const TextTable* table,
                std::vector<TextEntry>* out, std::string* err);

/// What an insert did.
struct InsertCounts {
    std::size_t changed = 0;        ///< texts whose bytes changed
    std::size_t files_written = 0;  ///< .evd files with a changed text
    std::size_t untranslated = 0;   ///< texts without a translation (or entry)
    std::size_t fuzzy = 0;          ///< fuzzy entries, not put back
};

/// The summary line of an insert: "12 texts changed in 3 files, 88 texts
/// left untranslated, 2 fuzzy entries skipped".
std::string insert_summary(const InsertCounts& counts);

/// The entries of one translation file, found by file and record.
class Translations {
  public:
    /// `source` names the translation file in messages.
    explicit Translations(std::string source = {}) : source_(std::move(source)) {}

    const std::string& source() const { return source_; }

    /// Adds an entry. (A second entry for the same record is found by apply().)
    void add(TextEntry entry);

    std::size_t size() const { return entries_.size(); }
    const std::vector<TextEntry>& entries() const { return entries_; }

    /// Checks every entry of `evd.name` against the file's records and gives
    /// the new bytes in `out` (cleared when no text changed, `changed` then
    /// false). An entry whose record does not exist, whose text id or
    /// original text differs from the record's (a translation file made from
    /// another version of the file), or whose translation cannot be read back
    /// (brenmark/text_codec.h) is an error naming the entry. A translation
    /// equal to the original keeps the record's bytes; so does a record
    /// without an entry. Adds to `counts`.
    bool apply(const EvdSource& evd, const TextTable* table, std::vector<std::uint8_t>* out,
               bool* changed, InsertCounts* counts, std::string* err);

    /// After apply() has seen every file: an entry for a file it did not see
    /// names no record, and is an error.
    bool check_all_used(std::string* err) const;

    /// The first fuzzy entry applied, for the warning; null if none.
    const TextEntry* first_fuzzy() const { return first_fuzzy_; }

  private:
    std::string source_;
    std::vector<TextEntry> entries_;
    /// For each file name: the indices of its entries in `entries_`.
    std::unordered_map<std::string, std::vector<std::size_t>> by_file_;
    std::unordered_map<std::string, bool> seen_;  ///< files apply() has seen
    const TextEntry* first_fuzzy_ = nullptr;
};

/// One .evd whose texts changed, with its new bytes.
struct ChangedEvd {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

/// Translations::apply for every file of `files` in their order, then
/// check_all_used: the .evd files in which a text changed, with their new
/// bytes. Nothing is given when anything fails.
bool insert_texts(Translations& translations, std::span<const EvdSource> files,
                  const TextTable* table, std::vector<ChangedEvd>* changed, InsertCounts* counts,
                  std::string* err);
