#include "brenmark/evd_format.h"

#include <cstring>
#include <limits>

#include "common/message.h"
#include "common/text.h"

EvdTextHeader decode_text_header(const std::uint8_t* p) {
    EvdTextHeader header;
    header.leading_words = {load_le32(p), load_le32(p + 4), load_le32(p + 8)};
    header.text_id = static_cast<std::int32_t>(load_le32(p + 12));
    header.middle_word = load_le32(p + 16);
    header.text_length = load_le32(p + 20);
    return header;
}

void append_text_header(std::vector<std::uint8_t>& out, const EvdTextHeader& header) {
    for (std::uint32_t word : header.leading_words) {
        append_le32(out, word);
    }
    append_le32(out, static_cast<std::uint32_t>(header.text_id));
    append_le32(out, header.middle_word);
    append_le32(out, header.text_length);
}

namespace {

// Where a message's record is, as the last part of the message.
std::string record_place(std::size_t index, std::uint64_t offset) {
    return "record " + std::to_string(index) + ", offset " + hex(offset);
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

bool is_blank_line(std::string_view line) {
    for (char c : line) {
        if (!is_blank(c)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_evd(ByteSpan data, const std::string& name, EvdFile* out, std::string* err) {
    *out = EvdFile{};
    out->source.assign(data.begin(), data.end());
    const std::uint64_t size = data.size();
    std::optional<std::uint32_t> count = read_le32(data, 0);
    if (!count) {
        *err = error_message(name, std::to_string(size) + " bytes are too few for the text count",
                             "offset 0x0");
        return false;
    }
    out->text_count = *count;
    std::uint64_t offset = EVD_COUNT_SIZE;
    // The count is never trusted for an allocation: each record is checked
    // against the file before it is added, so a damaged count ends the loop
    // at the first header that is not there.
    for (std::uint32_t i = 0; i < out->text_count; ++i) {
        if (!range_fits(size, offset, EVD_HEADER_SIZE)) {
            *err = error_message(name,
                                 "the header reaches past the end of the file (" +
                                     std::to_string(size) + " bytes, text_count " +
                                     std::to_string(out->text_count) + ")",
                                 record_place(i, offset));
            return false;
        }
        EvdRecord record;
        record.offset = offset;
        record.header = decode_text_header(data.data() + offset);
        const std::uint64_t text_offset = offset + EVD_HEADER_SIZE;
        const std::uint64_t area = evd_text_area_size(record.header.text_length);
        if (!range_fits(size, text_offset, area)) {
            *err = error_message(name,
                                 "text_length " + std::to_string(record.header.text_length) + " (" +
                                     std::to_string(area) + " bytes at offset " + hex(text_offset) +
                                     ") reaches past the end of the file (" + std::to_string(size) +
                                     " bytes)",
                                 evd_record_place(i, record));
            return false;
        }
        if (area > 0) {
            const char* begin = reinterpret_cast<const char*>(data.data() + text_offset);
            const void* zero = std::memchr(begin, 0, static_cast<std::size_t>(area));
            if (zero == nullptr) {
                *err = error_message(name,
                                     "the text of " + std::to_string(area) + " bytes at offset " +
                                         hex(text_offset) + " has no terminating zero",
                                     evd_record_place(i, record));
                return false;
            }
            record.text.assign(begin, static_cast<const char*>(zero));
        }
        record.size = EVD_HEADER_SIZE + area;
        out->records.push_back(std::move(record));
        offset = text_offset + area;
    }
    out->tail_offset = offset;
    out->tail.assign(data.begin() + static_cast<std::ptrdiff_t>(offset), data.end());
    return true;
}

std::string make_script(const EvdFile& evd, const TextTable* table, std::string_view line_end) {
    std::string script;
    // Room for every line at once (an id takes at most 11 characters, and
    // most texts need no escapes), so the script is not copied over and over
    // as it grows.
    std::size_t length = 0;
    for (const EvdRecord& record : evd.records) {
        length += record.text.size() + 12 + line_end.size();
    }
    script.reserve(length);
    for (const EvdRecord& record : evd.records) {
        script += std::to_string(record.header.text_id);
        script += ' ';
        show_text(record.text, table, TextForm::script, &script);
        script += line_end;
    }
    return script;
}

bool parse_script_line(std::string_view line, std::size_t line_number,
                       const std::string& script_name, ScriptLine* out, std::string* err) {
    auto refuse = [&](const std::string& what) {
        *err = error_message(script_name, what, "line " + std::to_string(line_number));
        return false;
    };
    if (line.find('\0') != std::string_view::npos) {
        return refuse("the line holds a zero byte, which a text cannot hold");
    }
    if (line.find('\r') != std::string_view::npos) {
        return refuse("the line holds a carriage return that does not end it");
    }
    std::size_t pos = 0;
    while (pos < line.size() && is_blank(line[pos])) {
        ++pos;
    }
    const std::size_t number_begin = pos;
    bool negative = false;
    if (pos < line.size() && (line[pos] == '+' || line[pos] == '-')) {
        negative = line[pos] == '-';
        ++pos;
    }
    const std::size_t digits_begin = pos;
    // Accumulation stops growing past 2^32, so any number of digits is safe
    // and still recognised as out of range.
    std::int64_t value = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
        if (value <= (std::int64_t{1} << 32)) {
            value = value * 10 + (line[pos] - '0');
        }
        ++pos;
    }
    if (pos == digits_begin) {
        return refuse("the line does not start with a text id");
    }
    if (negative) {
        value = -value;
    }
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return refuse("the text id " + std::string(line.substr(number_begin, pos - number_begin)) +
                      " is out of range");
    }
    out->line_number = line_number;
    out->text_id = static_cast<std::int32_t>(value);
    out->text.clear();
    if (pos == line.size()) {
        return true;
    }
    if (line[pos] == '\t') {
        return refuse("the text id is followed by a tab; it must be followed by one blank");
    }
    if (line[pos] != ' ') {
        return refuse("the text id must be followed by one blank or the end of the line");
    }
    out->text.assign(line.substr(pos + 1));
    out->text_column = pos + 2;  // the prefix is ASCII: its bytes are its characters
    return true;
}

bool parse_script(std::string_view script, const std::string& script_name, std::size_t wanted,
                  ParsedScript* out, std::string* err) {
    *out = ParsedScript{};
    if (starts_with_utf16_bom(script)) {
        *err = error_message(script_name, "the script is UTF-16; save it as UTF-8");
        return false;
    }
    std::size_t line_number = 0;
    // A script saved by an editor that marks UTF-8 starts with the mark; it
    // is no part of the first line (which starts with a text id).
    std::size_t start = script.starts_with(UTF8_BOM) ? UTF8_BOM.size() : 0;
    while (start < script.size()) {
        std::size_t end = script.find('\n', start);
        const std::size_t next = end == std::string_view::npos ? script.size() : end + 1;
        if (end == std::string_view::npos) {
            end = script.size();
        }
        std::string_view line = script.substr(start, end - start);
        if (end < script.size() && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        ++line_number;
        if (out->lines.size() < wanted) {
            ScriptLine parsed;
            if (!parse_script_line(line, line_number, script_name, &parsed, err)) {
                return false;
            }
            out->lines.push_back(std::move(parsed));
        } else if (!is_blank_line(line)) {
            if (out->extra_lines == 0) {
                out->first_extra_line = line_number;
            }
            ++out->extra_lines;
        }
        start = next;
    }
    return true;
}

bool build_evd(const EvdFile& evd, std::span<const std::string> texts,
               std::vector<std::uint8_t>* out, std::string* err) {
    out->clear();
    if (texts.size() != evd.records.size()) {
        *err = error_message("", std::to_string(texts.size()) + " texts given for " +
                                     std::to_string(evd.records.size()) + " records");
        return false;
    }
    std::uint64_t length = EVD_COUNT_SIZE + evd.tail.size();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        length +=
            texts[i] == evd.records[i].text
                ? evd.records[i].size  // an estimate: only for the reservation
                : EVD_HEADER_SIZE + evd_text_area_size(static_cast<std::uint32_t>(
                                        std::min<std::size_t>(texts[i].size() + 1, UINT32_MAX)));
    }
    out->reserve(static_cast<std::size_t>(length));
    append_le32(*out, evd.text_count);
    for (std::size_t i = 0; i < evd.records.size(); ++i) {
        const std::string& text = texts[i];
        const EvdRecord& record = evd.records[i];
        if (text == record.text && range_fits(evd.source.size(), record.offset, record.size)) {
            // Unedited: whatever the record holds after its text's zero
            // (padding, hidden bytes, a longer text_length) stays as it was.
            const auto begin = evd.source.begin() + static_cast<std::ptrdiff_t>(record.offset);
            out->insert(out->end(), begin, begin + static_cast<std::ptrdiff_t>(record.size));
            continue;
        }
        if (text.size() >= std::numeric_limits<std::uint32_t>::max()) {
            *err = error_message("", "the text is too long for text_length",
                                 evd_record_place(i, evd.records[i]));
            out->clear();
            return false;
        }
        EvdTextHeader header = evd.records[i].header;
        header.text_length = static_cast<std::uint32_t>(text.size() + 1);
        append_text_header(*out, header);
        out->insert(out->end(), text.begin(), text.end());
        out->resize(out->size() + static_cast<std::size_t>(evd_text_area_size(header.text_length) -
                                                           text.size()),
                    0);
    }
    out->insert(out->end(), evd.tail.begin(), evd.tail.end());
    return true;
}

bool insert_script(const EvdFile& evd, std::string_view script, const std::string& script_name,
                   const TextTable* table, std::vector<std::uint8_t>* out, std::string* warning,
                   std::string* err) {
    warning->clear();
    ParsedScript parsed;
    if (!parse_script(script, script_name, evd.records.size(), &parsed, err)) {
        return false;
    }
    std::vector<std::string> texts;
    texts.reserve(evd.records.size());
    std::string shown;
    for (std::size_t i = 0; i < evd.records.size(); ++i) {
        const EvdRecord& record = evd.records[i];
        if (i >= parsed.lines.size()) {
            *err = error_message(
                script_name,
                "the script ends after " + std::to_string(i) + " lines; this record has no line",
                evd_record_place(i, record));
            return false;
        }
        const ScriptLine& line = parsed.lines[i];
        if (line.text_id != record.header.text_id) {
            *err = error_message("", "mismatched text id",
                                 "expected " + std::to_string(record.header.text_id) + ", got " +
                                     std::to_string(line.text_id)) +
                   "\n" +
                   error_message(script_name,
                                 "this line's text id does not match record " + std::to_string(i),
                                 "line " + std::to_string(line.line_number));
            return false;
        }
        // A text shown as the dump showed it keeps its bytes, even where a
        // table would encode it otherwise.
        shown.clear();
        show_text(record.text, table, TextForm::script, &shown);
        if (line.text == shown) {
            texts.push_back(record.text);
            continue;
        }
        std::string bytes;
        TextFault fault;
        if (!read_text(line.text, table, &bytes, &fault)) {
            const TextPlace place = place_in_text(line.text, fault.offset);
            *err = error_message(script_name, fault.what,
                                 "line " + std::to_string(line.line_number) + ", column " +
                                     std::to_string(line.text_column + place.column - 1));
            return false;
        }
        texts.push_back(std::move(bytes));
    }
    if (!build_evd(evd, texts, out, err)) {
        return false;
    }
    if (parsed.extra_lines > 0) {
        *warning = warning_message(
            script_name,
            std::to_string(parsed.extra_lines) + " line(s) after the last record were ignored",
            "from line " + std::to_string(parsed.first_extra_line));
    }
    return true;
}

std::string evd_record_place(std::size_t index, const EvdRecord& record) {
    return "record " + std::to_string(index) + ", text id " +
           std::to_string(record.header.text_id) + ", offset " + hex(record.offset);
}
