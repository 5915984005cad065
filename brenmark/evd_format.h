// The text records of EVD files and the plain-text script they are edited in.
//
// An .evd starts with `text_count`, then that many records (a 24-byte
// `EvdTextHeader` followed by its zero-terminated text, padded with zeros to a
// multiple of 4), then a tail this tool never interprets. A script holds one
// line per record, "<text_id> <text>", in record order, the text shown with
// the escapes of brenmark/text_codec.h (and through a table file, if one is
// given).
//
// Everything here works on bytes already in memory; the tool's main reads and
// writes the files. Every failure fills `err` with the complete message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "brenmark/text_codec.h"
#include "common/byte_reader.h"

/// Size of the leading `text_count`.
inline constexpr std::uint64_t EVD_COUNT_SIZE = 4;
/// Size of an `EvdTextHeader` in the file.
inline constexpr std::uint64_t EVD_HEADER_SIZE = 24;

/// The 24-byte header in front of every text. Only `text_id` and
/// `text_length` mean something to this tool; the other words are carried
/// through exactly as read.
struct EvdTextHeader {
    std::array<std::uint32_t, 3> leading_words{};  ///< offsets 0, 4, 8
    std::int32_t text_id = 0;                      ///< offset 12; signed, shown in decimal
    std::uint32_t middle_word = 0;                 ///< offset 16
    std::uint32_t text_length = 0;  ///< offset 20; text bytes counting the terminating zero

    bool operator==(const EvdTextHeader&) const = default;
};

/// Decodes a header from 24 bytes the caller has checked.
EvdTextHeader decode_text_header(const std::uint8_t* p);

/// Appends the 24 bytes of `header`.
void append_text_header(std::vector<std::uint8_t>& out, const EvdTextHeader& header);

/// Bytes a text of `text_length` occupies: rounded up to a multiple of 4.
/// Kept in 64 bits so that a damaged length near 2^32 cannot wrap to a small size.
constexpr std::uint64_t evd_text_area_size(std::uint32_t text_length) {
    return (static_cast<std::uint64_t>(text_length) + 3) & ~static_cast<std::uint64_t>(3);
}

/// One text record as found in the file.
struct EvdRecord {
    std::uint64_t offset = 0;  ///< of the header; the text area follows at offset + 24
    std::uint64_t size = 0;    ///< of header and text area together
    EvdTextHeader header;
    std::string text;  ///< the bytes before the first zero, in the game's encoding
};

/// An .evd split into its records and the uninterpreted tail.
struct EvdFile {
    /// The bytes it was parsed from, which unedited records are copied from.
    std::vector<std::uint8_t> source;
    std::uint32_t text_count = 0;
    std::vector<EvdRecord> records;
    std::uint64_t tail_offset = 0;
    std::vector<std::uint8_t> tail;
};

/// Splits `data` into records and tail. Every length is checked against the
/// file: a count or `text_length` that reaches past the end, or a text area
/// without its terminating zero, is an error naming `name`, the record number
/// (counted from 0) and its offset. A `text_length` of 0 is an empty text with
/// no text area.
bool parse_evd(ByteSpan data, const std::string& name, EvdFile* out, std::string* err);

/// "record 2, text id -9, offset 0x4C": where a record is, for messages.
std::string evd_record_place(std::size_t index, const EvdRecord& record);

/// The script of `evd`: "<text_id> <text>" and `line_end` per record (the
/// tool passes the system's line end: "\r\n" on Windows, as the programs of
/// that system write text). Texts are shown in TextForm::script, so that any
/// text fits on its line.
std::string make_script(const EvdFile& evd, const TextTable* table,
                        std::string_view line_end = "\n");

/// One parsed line of a script.
struct ScriptLine {
    std::size_t line_number = 0;  ///< counted from 1, as editors show it
    std::int32_t text_id = 0;
    std::string text;             ///< as written, escapes and all
    std::size_t text_column = 0;  ///< where the text starts on its line, counted from 1
};

/// Parses one script line (without its line end). The line is: optional
/// blanks or tabs, a decimal id with an optional sign that fits in 32 bits,
/// then either the end of the line (an empty text) or exactly one blank
/// followed by the text, which is the whole rest of the line. Anything else
/// (no number, "12abc", a tab after the id, a zero byte, a lone carriage
/// return) is an error naming `script_name` and the line.
bool parse_script_line(std::string_view line, std::size_t line_number,
                       const std::string& script_name, ScriptLine* out, std::string* err);

/// A script parsed for a file of a given record count.
struct ParsedScript {
    std::vector<ScriptLine> lines;     ///< at most the wanted count
    std::size_t extra_lines = 0;       ///< lines after the wanted ones that hold more than blanks
    std::size_t first_extra_line = 0;  ///< line number of the first such line, 0 if none
};

/// Parses the first `wanted` lines of `script`. Lines end with "\n" or
/// "\r\n"; a last line without a line end still counts. Lines after the
/// wanted ones are not parsed, only counted (blank ones are not counted). A
/// UTF-8 byte-order mark at the start is skipped; a UTF-16 one is an error.
bool parse_script(std::string_view script, const std::string& script_name, std::size_t wanted,
                  ParsedScript* out, std::string* err);

/// The .evd bytes for `evd` with `texts[i]` as the text of record i: the
/// count as read; each record whose text is unchanged exactly as it was
/// (bytes after the text's zero included); each edited one as its header with
/// only `text_length` recomputed (the text's length plus its zero), the text,
/// its zero and zero fill to a multiple of 4; then the tail. `texts` must hold
/// one text per record; a text too long for `text_length` is an error.
bool build_evd(const EvdFile& evd, std::span<const std::string> texts,
               std::vector<std::uint8_t>* out, std::string* err);

/// Checks `script` against every record of `evd` and builds the new .evd.
/// A line whose id differs from its record's gives "Error: mismatched text id
/// (expected <record's id>, got <line's id>)" and a second line naming the
/// script and the line; a script that ends before the last record is an
/// error naming the first text id without a line. A line whose text is shown
/// exactly as the dump shows its record keeps the record's bytes; any other
/// is read back with read_text, and a bad escape or a character the table
/// cannot encode is an error naming the line and column. Extra non-blank
/// lines are ignored and described in `warning` (empty otherwise).
bool insert_script(const EvdFile& evd, std::string_view script, const std::string& script_name,
                   const TextTable* table, std::vector<std::uint8_t>* out, std::string* warning,
                   std::string* err);
