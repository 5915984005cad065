// Translation files for translation tools (Poedit, Weblate, the gettext
// programs): PO files in UTF-8, written and read by gettext's own library,
// libgettextpo. One entry per text record:
//
//   #. text id 7
//   msgctxt "evd/e0001.evd#3"
//   msgid "the original text"
//   msgstr ""
//
// `msgctxt` names the record (record_context in brenmark/translation.h), so
// that no entry is taken for the header, even for an empty text; the
// extracted comment gives the text id, which an insert checks when it is
// there; `msgid` is the original text, a line feed as a line break (so that
// Poedit shows it as one); `msgstr` is the translation. A `fuzzy` entry is not
// put back; obsolete (`#~`) entries are ignored.
//
// libgettextpo reads and writes only named files, and holds every entry of
// such a file in memory (several hundred bytes each, beyond the text). So
// that the PO of a whole game needs little memory, both directions pass
// through it in pieces of a few thousand entries, each through a scratch
// file in a folder the caller names (beside the output), removed as soon as
// it has been read (and when the run is interrupted). The pieces are cut
// between entries; a piece after the first gets a header of its own saying
// UTF-8, which is taken off again.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "brenmark/translation.h"

/// How many entries go through libgettextpo at once.
inline constexpr std::size_t PO_PIECE_ENTRIES = 2000;

/// Writes the entries of a PO file into memory.
class PoWriter {
  public:
    /// `scratch_folder`: where libgettextpo's scratch files go (it must be
    /// writable); `name`: the PO file, for messages.
    PoWriter(std::string scratch_folder, std::string name,
             std::size_t piece_entries = PO_PIECE_ENTRIES);

    /// Adds an entry; every `piece_entries` entries, a piece is written.
    bool add(const TextEntry& entry, std::string* err);

    /// Writes what is left and gives the whole PO text (the header first).
    bool finish(std::string* po, std::string* err);

  private:
    bool write_piece(std::string* err);

    std::string scratch_folder_;
    std::string name_;
    std::size_t piece_entries_;
    std::vector<TextEntry> pending_;
    std::string po_;
    std::size_t header_size_ =
        0;               ///< of the header as libgettextpo writes it; 0 before the first piece
    bool empty_ = true;  ///< no piece written yet
};

/// Whether a PO file may be cut before `line`: PoCutter sees the file's
/// lines in order and says yes only before the first line of an entry (a
/// comment, msgctxt or msgid, also of an obsolete entry) that follows a
/// complete entry, so that comments and flags stay with their entry.
class PoCutter {
  public:
    bool may_cut_before(std::string_view line);

  private:
    bool after_msgstr_ = false;
};

/// Reads the PO file at `path` into `out` (whose source names the file in
/// messages). Every piece is checked by libgettextpo; its first error is
/// the error, naming the line and column in the file. The file must be UTF-8
/// (or say nothing of its charset); a UTF-16 file, a plural entry, an entry
/// without msgctxt or whose msgctxt names no record (parse_record_context),
/// and text that is not UTF-8 are errors too. libgettextpo's warnings are
/// appended to `warnings` as complete messages.
bool read_po_texts(const std::string& path, const std::string& scratch_folder, Translations* out,
                   std::vector<std::string>* warnings, std::string* err,
                   std::size_t piece_bytes = std::size_t{1} << 20);

/// The PO library as --version names it: {"libgettextpo MAJOR.MINOR.PATCH"},
/// the version of the library the program runs with.
std::vector<std::string> po_library_versions();
