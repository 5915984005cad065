#include "brenmark/text_codec.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <span>

#include "common/message.h"
#include "common/text.h"

// --- ByteTrie ---------------------------------------------------------------------

ByteTrie::ByteTrie() : nodes_(1) {
    root_children_.fill(NONE);
}

std::uint32_t ByteTrie::child(std::uint32_t node, std::uint8_t byte) const {
    if (node == ROOT) {
        return root_children_[byte];
    }
    const auto& children = nodes_[node].children;
    const auto it = std::lower_bound(children.begin(), children.end(), byte,
                                     [](const std::pair<std::uint8_t, std::uint32_t>& c,
                                        std::uint8_t b) { return c.first < b; });
    return it != children.end() && it->first == byte ? it->second : NONE;
}

std::uint32_t ByteTrie::insert(std::string_view key) {
    std::uint32_t node = ROOT;
    for (char c : key) {
        const auto byte = static_cast<std::uint8_t>(c);
        std::uint32_t next = child(node, byte);
        if (next == NONE) {
            next = static_cast<std::uint32_t>(nodes_.size());
            nodes_.emplace_back();
            if (node == ROOT) {
                root_children_[byte] = next;
            } else {
                auto& children = nodes_[node].children;
                const auto at =
                    std::lower_bound(children.begin(), children.end(), byte,
                                     [](const std::pair<std::uint8_t, std::uint32_t>& ch,
                                        std::uint8_t b) { return ch.first < b; });
                children.insert(at, {byte, next});
            }
        }
        node = next;
    }
    return node;
}

// --- characters -------------------------------------------------------------------

std::size_t utf8_char_length(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t b0 = at(0);
    if (b0 < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        low = b0 == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = b0 == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        low = b0 == 0xF0 ? 0x90 : 0x80;
        high = b0 == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || at(1) < low || at(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if ((at(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_char_length(text.substr(i));
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

bool starts_with_utf16_bom(std::string_view file) {
    return file.starts_with("\xFF\xFE") || file.starts_with("\xFE\xFF");
}

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

void append_hex_escape(std::string* out, std::uint8_t byte) {
    out->push_back('\\');
    out->push_back('x');
    out->push_back(HEX_DIGITS[byte >> 4]);
    out->push_back(HEX_DIGITS[byte & 15]);
}

// One byte of a text's characters as a file of `form` shows it.
void append_shown_byte(std::string* out, char c, TextForm form) {
    switch (c) {
        case '\\':
            out->append("\\\\");
            return;
        case '\n':
            out->append(form == TextForm::translation ? "\n" : "\\n");
            return;
        case '\r':
            out->append("\\r");
            return;
        case '\t':
            out->append("\\t");
            return;
        default:
            break;
    }
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F) {
        append_hex_escape(out, byte);
    } else {
        out->push_back(c);
    }
}

std::uint32_t code_point(std::string_view character) {
    const auto b = [&](std::size_t i) { return static_cast<std::uint32_t>(character[i]) & 0xFF; };
    switch (utf8_char_length(character)) {
        case 1:
            return b(0);
        case 2:
            return (b(0) & 0x1F) << 6 | (b(1) & 0x3F);
        case 3:
            return (b(0) & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F);
        case 4:
            return (b(0) & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F);
        default:
            return b(0);
    }
}

}  // namespace

std::string describe_character(std::string_view character) {
    const std::size_t length = std::max<std::size_t>(utf8_char_length(character), 1);
    char number[16];
    std::snprintf(number, sizeof number, "U+%04X", static_cast<unsigned>(code_point(character)));
    std::string shown;
    for (char c : character.substr(0, length)) {
        append_shown_byte(&shown, c, TextForm::script);
    }
    return std::string(number) + " \"" + shown + "\"";
}

TextPlace place_in_text(std::string_view text, std::size_t offset) {
    TextPlace place;
    offset = std::min(offset, text.size());
    const std::size_t line_start = text.rfind('\n', offset == 0 ? 0 : offset - 1);
    std::size_t pos = 0;
    if (line_start != std::string_view::npos && line_start < offset) {
        place.line += static_cast<std::size_t>(std::count(
            text.begin(), text.begin() + static_cast<std::ptrdiff_t>(line_start + 1), '\n'));
        pos = line_start + 1;
    }
    while (pos < offset) {
        pos += std::max<std::size_t>(utf8_char_length(text.substr(pos)), 1);
        ++place.column;
    }
    return place;
}

// --- the table file ---------------------------------------------------------------

bool TextTable::parse(std::string_view file, const std::string& name, TextTable* out,
                      std::vector<std::string>* warnings, std::string* err) {
    *out = TextTable{};
    if (starts_with_utf16_bom(file)) {
        *err = error_message(name, "the table is UTF-16; save it as UTF-8");
        return false;
    }
    if (file.starts_with(UTF8_BOM)) {
        file.remove_prefix(UTF8_BOM.size());
    }
    std::size_t line_number = 0;
    std::size_t start = 0;
    while (start < file.size()) {
        std::size_t end = file.find('\n', start);
        if (end == std::string_view::npos) {
            end = file.size();
        }
        std::string_view line = file.substr(start, end - start);
        start = end + 1;
        ++line_number;
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        const std::string where = "line " + std::to_string(line_number);
        auto refuse = [&](const std::string& what) {
            *err = error_message(name, what, where);
            *out = TextTable{};
            return false;
        };
        if (line.find_first_not_of(" \t") == std::string_view::npos || line.front() == '#') {
            continue;
        }
        if (line.front() == '$' || line.front() == '!' || line.front() == '@') {
            warnings->push_back(warning_message(
                name,
                "linked entries, diacritics and table names are not supported; the line was "
                "skipped",
                where));
            continue;
        }
        const char kind = line.front() == '*' || line.front() == '/' ? line.front() : '\0';
        const std::string_view rest = kind != '\0' ? line.substr(1) : line;
        const std::size_t equals = rest.find('=');
        const std::string_view hex = rest.substr(0, equals);
        const bool has_text = equals != std::string_view::npos;
        if (kind == '\0' && !has_text) {
            return refuse("the line is no table entry (HEX=text, *HEX, /HEX or a # comment)");
        }
        if (hex.empty() || hex.size() % 2 != 0 ||
            !std::all_of(hex.begin(), hex.end(), [](char c) { return hex_value(c) >= 0; })) {
            return refuse("\"" + std::string(hex) +
                          "\" is not a byte sequence (an even number of hex digits)");
        }
        TableEntry entry;
        entry.line = line_number;
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            entry.bytes.push_back(
                static_cast<char>(hex_value(hex[i]) * 16 + hex_value(hex[i + 1])));
        }
        const std::string_view text = has_text ? rest.substr(equals + 1) : std::string_view();
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
                entry.text.push_back('\n');
                ++i;
            } else {
                entry.text.push_back(text[i]);
            }
        }
        if (kind == '*') {
            entry.text.push_back('\n');
        }
        if (kind == '/' && entry.text.empty()) {
            continue;  // only marks the end
        }
        if (entry.text.empty()) {
            return refuse("the entry stands for no text");
        }
        for (std::size_t i = 0; i < entry.text.size();) {
            const std::size_t length = utf8_char_length(std::string_view(entry.text).substr(i));
            if (length == 0) {
                return refuse("the text is not UTF-8; save the table as UTF-8");
            }
            const auto c = static_cast<std::uint8_t>(entry.text[i]);
            if ((c < 0x20 && c != '\n' && c != '\t' && c != '\r') || c == 0x7F) {
                return refuse("the text holds the control character " +
                              describe_character(entry.text.substr(i, 1)));
            }
            i += length;
        }
        const std::uint32_t node = out->by_bytes_.insert(entry.bytes);
        const std::uint32_t earlier = out->by_bytes_.value(node);
        if (earlier != ByteTrie::NONE) {
            return refuse("the byte sequence " + std::string(hex) +
                          " is in the table twice (first on line " +
                          std::to_string(out->entries_[earlier].line) + ")");
        }
        const auto index = static_cast<std::uint32_t>(out->entries_.size());
        out->by_bytes_.set_value(node, index);
        out->max_entry_bytes_ = std::max(out->max_entry_bytes_, entry.bytes.size());
        const std::uint32_t text_node = out->by_text_.insert(entry.text);
        if (out->by_text_.value(text_node) == ByteTrie::NONE) {
            out->by_text_.set_value(text_node, static_cast<std::uint32_t>(out->same_text_.size()));
            out->same_text_.emplace_back();
        }
        out->same_text_[out->by_text_.value(text_node)].push_back(index);
        out->entries_.push_back(std::move(entry));
    }
    // Which byte sequences start longer ones: only there can bytes written
    // one after the other read back as another entry.
    for (const TableEntry& entry : out->entries_) {
        if (entry.bytes.size() < 2) {
            continue;
        }
        out->starts_longer_[static_cast<std::uint8_t>(entry.bytes[0])] = true;
        for (std::size_t length = 1; length < entry.bytes.size(); ++length) {
            const std::uint32_t shorter =
                out->longest_match(std::string_view(entry.bytes).substr(0, length));
            if (shorter != ByteTrie::NONE && out->entries_[shorter].bytes.size() == length) {
                out->has_prefix_entries_ = true;
            }
        }
    }
    return true;
}

std::uint32_t TextTable::longest_match(std::string_view bytes) const {
    std::uint32_t node = ByteTrie::ROOT;
    std::uint32_t best = ByteTrie::NONE;
    for (char c : bytes) {
        node = by_bytes_.child(node, static_cast<std::uint8_t>(c));
        if (node == ByteTrie::NONE) {
            break;
        }
        if (by_bytes_.value(node) != ByteTrie::NONE) {
            best = by_bytes_.value(node);
        }
    }
    return best;
}

namespace {

// One way to encode a text from a position to its end: its first entry (or
// the raw byte there), its length in bytes, the way it continues, and the
// bytes it starts with as far as an entry before it could read into them.
struct EncodingWay {
    std::uint32_t entry;  ///< an entry index, RAW_BYTE, or END at the text's end
    std::uint32_t next;   ///< the way chosen at the next position (counted among its ways)
    std::uint64_t cost;   ///< bytes from here to the end
    std::string lookahead;
};
constexpr std::uint32_t RAW_BYTE = ByteTrie::NONE - 1;
constexpr std::uint32_t END = ByteTrie::NONE - 2;

// The encoder's working memory, kept between calls (one per thread) so that
// encoding many texts allocates almost nothing.
struct EncodeScratch {
    std::vector<EncodingWay> ways;     ///< every position's ways, the last position's first
    std::vector<std::uint32_t> first;  ///< where each position's ways start in `ways`
    std::vector<std::uint32_t> count;  ///< how many ways each position has
    std::vector<std::pair<std::uint32_t, std::size_t>> starting;  ///< entry, next position
    std::string joined;
};

}  // namespace

bool TextTable::encode(std::string_view units, const std::vector<bool>& raw, std::string* out,
                       std::size_t* failed_at, bool* runs_together) const {
    const std::size_t n = units.size();
    *runs_together = false;
    // Whether bytes read back as written depends only on the bytes that
    // follow, as far as the longest entry reaches, and only where an entry's
    // bytes (or a given byte) start a longer entry. Where that can happen,
    // the ways to encode the rest of a text are told apart by their first
    // `lookahead` bytes, and of the ways with the same first bytes only the
    // cheapest is kept; elsewhere one way per position is enough.
    bool may_run_together = has_prefix_entries_;
    for (std::size_t i = 0; i < n && !may_run_together; ++i) {
        may_run_together = raw[i] && starts_longer_[static_cast<std::uint8_t>(units[i])];
    }
    const std::size_t lookahead =
        may_run_together && max_entry_bytes_ > 1 ? max_entry_bytes_ - 1 : 0;

    thread_local EncodeScratch scratch;
    std::vector<EncodingWay>& ways = scratch.ways;
    ways.clear();
    scratch.first.assign(n + 1, 0);
    scratch.count.assign(n + 1, 0);
    const auto ways_at = [&](std::size_t i) {
        return std::span<EncodingWay>(ways.data() + scratch.first[i], scratch.count[i]);
    };
    scratch.first[n] = 0;
    scratch.count[n] = 1;
    ways.push_back({END, 0, 0, {}});
    // Adds the ways that start with `bytes` (of `entry`) at `i` and go on
    // with a way at `next`, each way of `next` it may be followed by.
    auto add_ways = [&](std::size_t i, std::uint32_t entry, std::string_view bytes,
                        std::size_t next) {
        for (std::uint32_t k = 0; k < scratch.count[next]; ++k) {
            const EncodingWay& after = ways[scratch.first[next] + k];
            std::string& joined = scratch.joined;
            joined.assign(bytes);
            joined += after.lookahead;
            if (lookahead > 0) {
                // The bytes must read back as this entry (or, for a given
                // byte, as no longer entry): no longer entry may start with
                // them and the bytes that follow.
                const std::uint32_t read = longest_match(joined);
                const bool reads_back =
                    entry == RAW_BYTE ? read == ByteTrie::NONE || entries_[read].bytes.size() == 1
                                      : read == entry;
                if (!reads_back) {
                    continue;
                }
            }
            const std::uint64_t cost = bytes.size() + after.cost;
            const std::string_view ahead =
                std::string_view(joined).substr(0, std::min(joined.size(), lookahead));
            const std::span<EncodingWay> here(ways.data() + scratch.first[i],
                                              ways.size() - scratch.first[i]);
            const auto same = std::find_if(here.begin(), here.end(), [&](const EncodingWay& w) {
                return w.lookahead == ahead;
            });
            if (same == here.end()) {
                ways.push_back({entry, k, cost, std::string(ahead)});
            } else if (cost < same->cost) {
                *same = {entry, k, cost, std::string(ahead)};
            }
            if (lookahead == 0) {
                return;  // the cheapest way at `next` is its first
            }
        }
    };
    for (std::size_t i = n; i-- > 0;) {
        scratch.first[i] = static_cast<std::uint32_t>(ways.size());
        if (raw[i]) {
            add_ways(i, RAW_BYTE, units.substr(i, 1), i + 1);
        } else {
            // Every entry whose text starts here, in table order, so that of
            // equally cheap ways with the same first bytes the earliest
            // entry's is kept.
            auto& starting = scratch.starting;
            starting.clear();
            std::uint32_t node = ByteTrie::ROOT;
            for (std::size_t j = i; j < n && !raw[j]; ++j) {
                node = by_text_.child(node, static_cast<std::uint8_t>(units[j]));
                if (node == ByteTrie::NONE) {
                    break;
                }
                if (by_text_.value(node) != ByteTrie::NONE) {
                    for (const std::uint32_t entry : same_text_[by_text_.value(node)]) {
                        starting.emplace_back(entry, j + 1);
                    }
                }
            }
            std::sort(starting.begin(), starting.end());
            for (const auto& [entry, next] : starting) {
                add_ways(i, entry, entries_[entry].bytes, next);
            }
        }
        scratch.count[i] = static_cast<std::uint32_t>(ways.size() - scratch.first[i]);
        const std::span<EncodingWay> here = ways_at(i);
        std::stable_sort(here.begin(), here.end(), [](const EncodingWay& a, const EncodingWay& b) {
            return a.cost != b.cost ? a.cost < b.cost : a.entry < b.entry;
        });
    }
    if (scratch.count[0] == 0) {
        // The character to blame: where the furthest-reaching encodings of
        // the text's beginning stop, whether or not they read back.
        std::vector<bool> reached(n + 1, false);
        reached[0] = true;
        std::size_t furthest = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!reached[i]) {
                continue;
            }
            furthest = i;
            if (raw[i]) {
                reached[i + 1] = true;
                continue;
            }
            std::uint32_t node = ByteTrie::ROOT;
            for (std::size_t j = i; j < n && !raw[j]; ++j) {
                node = by_text_.child(node, static_cast<std::uint8_t>(units[j]));
                if (node == ByteTrie::NONE) {
                    break;
                }
                if (by_text_.value(node) != ByteTrie::NONE) {
                    reached[j + 1] = true;
                }
            }
        }
        *runs_together = reached[n];
        *failed_at = reached[n] ? 0 : furthest;
        return false;
    }
    out->clear();
    out->reserve(static_cast<std::size_t>(ways[scratch.first[0]].cost));
    std::uint32_t way = 0;
    for (std::size_t i = 0; i < n;) {
        const EncodingWay& w = ways[scratch.first[i] + way];
        if (w.entry == RAW_BYTE) {
            out->push_back(units[i]);
            ++i;
        } else {
            out->append(entries_[w.entry].bytes);
            i += entries_[w.entry].text.size();
        }
        way = w.next;
    }
    return true;
}

// --- showing and reading texts ----------------------------------------------------

void show_text(std::string_view bytes, const TextTable* table, TextForm form, std::string* out) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const char c = bytes[pos];
        if (table != nullptr) {
            const std::uint32_t entry = table->longest_match(bytes.substr(pos));
            if (entry == ByteTrie::NONE) {
                append_hex_escape(out, static_cast<std::uint8_t>(c));
                ++pos;
                continue;
            }
            const TableEntry& e = table->entries()[entry];
            for (char t : e.text) {
                append_shown_byte(out, t, form);
            }
            pos += e.bytes.size();
            continue;
        }
        if (form == TextForm::script || static_cast<std::uint8_t>(c) < 0x80) {
            append_shown_byte(out, c, form);
            ++pos;
            continue;
        }
        const std::size_t length = utf8_char_length(bytes.substr(pos));
        if (length == 0) {
            append_hex_escape(out, static_cast<std::uint8_t>(c));
            ++pos;
        } else {
            out->append(bytes.substr(pos, length));
            pos += length;
        }
    }
}

bool read_text(std::string_view shown, const TextTable* table, std::string* bytes,
               TextFault* fault) {
    bytes->clear();
    // With a table: the text's units, which of them are raw bytes, and
    // where each came from in the shown text (for messages).
    std::string units;
    std::vector<bool> raw;
    std::vector<std::size_t> origin;
    std::string& target = table != nullptr ? units : *bytes;
    target.reserve(shown.size());
    auto add = [&](std::string_view unit, bool is_raw, std::size_t from) {
        target.append(unit);
        if (table != nullptr) {
            raw.insert(raw.end(), unit.size(), is_raw);
            origin.insert(origin.end(), unit.size(), from);
        }
    };
    auto refuse = [&](std::size_t offset, std::string what) {
        fault->offset = offset;
        fault->what = std::move(what);
        bytes->clear();
        return false;
    };
    for (std::size_t i = 0; i < shown.size();) {
        const char c = shown[i];
        if (c != '\\') {
            std::size_t length = 1;
            if (table != nullptr && static_cast<std::uint8_t>(c) >= 0x80) {
                length = utf8_char_length(shown.substr(i));
                if (length == 0) {
                    char what[80];
                    std::snprintf(what, sizeof what,
                                  "the byte 0x%02X is not UTF-8; save the file as UTF-8",
                                  static_cast<unsigned>(static_cast<std::uint8_t>(c)));
                    return refuse(i, what);
                }
            }
            add(shown.substr(i, length), false, i);
            i += length;
            continue;
        }
        if (i + 1 == shown.size()) {
            return refuse(i, "a backslash ends the text; write \\\\ for a backslash");
        }
        switch (shown[i + 1]) {
            case '\\':
                add("\\", false, i);
                break;
            case 'n':
                add("\n", false, i);
                break;
            case 'r':
                add("\r", false, i);
                break;
            case 't':
                add("\t", false, i);
                break;
            case 'x': {
                const int high = i + 2 < shown.size() ? hex_value(shown[i + 2]) : -1;
                const int low = i + 3 < shown.size() ? hex_value(shown[i + 3]) : -1;
                if (high < 0 || low < 0) {
                    return refuse(i, "\\x must be followed by two hex digits");
                }
                if (high == 0 && low == 0) {
                    return refuse(i, "\\x00 cannot be in a text: a zero byte ends it");
                }
                const char byte = static_cast<char>(high * 16 + low);
                add(std::string_view(&byte, 1), true, i);
                i += 4;
                continue;
            }
            default: {
                const std::size_t length =
                    std::max<std::size_t>(utf8_char_length(shown.substr(i + 1)), 1);
                return refuse(i, "an unknown escape \"\\" +
                                     std::string(shown.substr(i + 1, length)) +
                                     "\"; write \\\\ for a backslash");
            }
        }
        i += 2;
    }
    if (table == nullptr) {
        return true;
    }
    std::size_t failed_at = 0;
    bool runs_together = false;
    if (!table->encode(units, raw, bytes, &failed_at, &runs_together)) {
        if (runs_together) {
            return refuse(0,
                          "every encoding of the text through the table reads back as other "
                          "entries (their byte sequences run together)");
        }
        const std::size_t length =
            std::max<std::size_t>(utf8_char_length(std::string_view(units).substr(failed_at)), 1);
        return refuse(origin[failed_at], "no table entry encodes " +
                                             describe_character(units.substr(failed_at, length)));
    }
    return true;
}
