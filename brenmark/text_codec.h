// How the bytes of a game text are shown in the files people edit, and how
// what they wrote is read back into bytes.
//
// A text is shown with escapes, so that every byte value but zero survives:
// `\\` for a backslash, `\n` for a line feed, `\r` for a carriage return, `\t`
// for a tab and `\xHH` for any other byte below 0x20, for 0x7F, and for a byte
// that is shown as itself nowhere else (one no table entry starts, or one
// that is not UTF-8 where the file must be UTF-8). In PO and CSV files a line
// feed is a line break rather than `\n`.
//
// A table file gives the game's own character encoding: each of its entries
// stands for a byte sequence. Shown texts decode through it with the longest
// entry at each position; read texts encode through it into the fewest bytes
// the table allows. Without a table, a plain script shows the bytes as they
// are (in the game's encoding), and PO and CSV files show every byte that
// forms valid UTF-8 as it is.
//
// Everything here works on memory; nothing reads or writes files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// One entry of a table file.
struct TableEntry {
    std::string bytes;     ///< the byte sequence in the game's encoding, one or more bytes
    std::string text;      ///< what it stands for: UTF-8, one or more characters
    std::size_t line = 0;  ///< where it is in the table file, counted from 1
};

/// Byte strings to values, walked one byte at a time: the longest-match
/// decoder walks entry bytes with it, the shortest-path encoder entry texts.
class ByteTrie {
  public:
    static constexpr std::uint32_t NONE = UINT32_MAX;
    static constexpr std::uint32_t ROOT = 0;

    ByteTrie();
    /// The node `key` leads to, made if it is not there yet.
    std::uint32_t insert(std::string_view key);
    /// The node after `node` by `byte`, or NONE.
    std::uint32_t child(std::uint32_t node, std::uint8_t byte) const;
    std::uint32_t value(std::uint32_t node) const { return nodes_[node].value; }
    void set_value(std::uint32_t node, std::uint32_t value) { nodes_[node].value = value; }

  private:
    struct Node {
        std::vector<std::pair<std::uint8_t, std::uint32_t>> children;  ///< sorted by byte
        std::uint32_t value = NONE;
    };
    std::vector<Node> nodes_;
    std::array<std::uint32_t, 256> root_children_;  ///< the root's children, looked up directly
};

/// A table file: the game's own character encoding.
///
/// Lines, in UTF-8 with or without a byte-order mark, ending in LF or CRLF:
/// - `HEX=text`: a byte sequence (an even number of hex digits, either case)
///   and the text it stands for (one or more characters, trailing blanks
///   included; `\n` in it is a line break);
/// - `*HEX` or `*HEX=text`: a line-break sequence, standing for a line break
///   (after `text`, when given);
/// - `/HEX=text`: an end token, read as a plain entry (`/HEX` alone marks only
///   the end, which an EVD text's zero byte marks anyway, and is ignored);
/// - `$`, `!` and `@` lines (linked bytes, diacritics, table names of other
///   tools) are skipped with a warning; blank lines and `#` lines are comments.
/// The same byte sequence twice, a line that is none of these, hex that is
/// not hex, text that is not UTF-8 or holds a control character other than a
/// line break, tab or carriage return are errors naming the line.
class TextTable {
  public:
    /// Reads the table file `file`, named `name` in messages. Warnings (the
    /// skipped lines) are appended to `warnings`, complete messages.
    static bool parse(std::string_view file, const std::string& name, TextTable* out,
                      std::vector<std::string>* warnings, std::string* err);

    const std::vector<TableEntry>& entries() const { return entries_; }

    /// The entry whose bytes are the longest sequence `bytes` starts with,
    /// or ByteTrie::NONE.
    std::uint32_t longest_match(std::string_view bytes) const;

    /// Encodes `units` into the fewest bytes: a shortest path over the text,
    /// where a unit marked in `raw` is a byte given as it is (`\xHH`) and the
    /// others are the UTF-8 text entries must cover. Only encodings that read
    /// back as written count: an entry or a given byte is not followed by
    /// bytes with which it would start a longer entry. Of equally short encodings,
    /// the one whose entries come earlier in the table at the first place
    /// they differ. On failure gives the unit offset of the character that no
    /// entry sequence reaches past, or sets `runs_together` when entries
    /// cover the text but none of their sequences reads back as written.
    bool encode(std::string_view units, const std::vector<bool>& raw, std::string* out,
                std::size_t* failed_at, bool* runs_together) const;

  private:
    std::vector<TableEntry> entries_;
    std::size_t max_entry_bytes_ = 0;
    bool has_prefix_entries_ = false;        ///< an entry's bytes start a longer entry's
    std::array<bool, 256> starts_longer_{};  ///< the byte starts an entry of 2 bytes or more
    ByteTrie by_bytes_;                      ///< value: the entry with these bytes
    ByteTrie by_text_;  ///< value: the index in `same_text_` of the entries with this text
    std::vector<std::vector<std::uint32_t>> same_text_;  ///< entry indices, in table order
};

/// How a file shows texts.
enum class TextForm {
    script,       ///< the plain script: one line per text, a line feed as `\n`
    translation,  ///< PO and CSV: UTF-8 only, a line feed as a line break
};

/// Appends the text with the game bytes `bytes` as a file of `form` shows it.
void show_text(std::string_view bytes, const TextTable* table, TextForm form, std::string* out);

/// A place in a shown text that cannot be read back.
struct TextFault {
    std::size_t offset = 0;  ///< byte offset in the shown text
    std::string what;        ///< what is wrong there, for the message
};

/// Reads a shown text back into game bytes: its escapes, then (with a
/// table) the shortest encoding. A literal line break or tab reads as itself.
/// Fails on a backslash that starts no escape, on `\x00` (a zero byte would
/// end the text), on a byte that is not UTF-8
/// where a table needs UTF-8, and on a character the table cannot encode.
bool read_text(std::string_view shown, const TextTable* table, std::string* bytes,
               TextFault* fault);

/// Line and column of a byte offset in a text, both counted from 1, the
/// column in characters (a byte that is not UTF-8 counts as one).
struct TextPlace {
    std::size_t line = 1;
    std::size_t column = 1;
};
TextPlace place_in_text(std::string_view text, std::size_t offset);

/// The length of the valid UTF-8 character at the start of `text` (1 to 4),
/// or 0 if it does not start with one (overlong forms, surrogates and values
/// past U+10FFFF are not valid).
std::size_t utf8_char_length(std::string_view text);

/// Whether `text` is valid UTF-8 throughout.
bool is_utf8(std::string_view text);

/// "U+00E9 "é"": a character as messages name it, control characters shown
/// by their escape.
std::string describe_character(std::string_view character);

/// The byte-order marks text files may start with.
inline constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
/// Whether `file` starts with a UTF-16 byte-order mark (either byte order).
bool starts_with_utf16_bom(std::string_view file);
