#include "brenmark/csv_texts.h"

#include <limits>
#include <vector>

#include "brenmark/text_codec.h"
#include "common/message.h"

namespace {

constexpr std::string_view COLUMNS = "file,record,id,original,translation";

void append_field(std::string_view field, std::string* out) {
    const bool quote = field.find_first_of(",\"\r\n") != std::string_view::npos ||
                       (!field.empty() && (field.front() == ' ' || field.back() == ' '));
    if (!quote) {
        out->append(field);
        return;
    }
    out->push_back('"');
    for (char c : field) {
        if (c == '"') {
            out->push_back('"');
        }
        out->push_back(c);
    }
    out->push_back('"');
}

// Reads the CSV a row at a time.
class CsvReader {
  public:
    CsvReader(std::string_view csv, const std::string& name) : csv_(csv), name_(name) {
        if (csv_.starts_with(UTF8_BOM)) {
            pos_ = UTF8_BOM.size();
        }
    }

    bool at_end() const { return pos_ >= csv_.size(); }
    /// The line the next row starts on.
    std::size_t line() const { return line_; }

    /// Reads the next row's fields.
    bool row(std::vector<std::string>* fields, std::string* err) {
        fields->clear();
        for (;;) {
            std::string field;
            if (!read_field(&field, err)) {
                return false;
            }
            fields->push_back(std::move(field));
            if (pos_ < csv_.size() && csv_[pos_] == ',') {
                ++pos_;
                continue;
            }
            // The row ends here: at a line end or at the end of the file.
            if (pos_ < csv_.size()) {
                pos_ += csv_[pos_] == '\r' ? 2 : 1;
                ++line_;
            }
            return true;
        }
    }

  private:
    bool refuse(const std::string& what, std::string* err) const {
        *err = error_message(name_, what, "line " + std::to_string(line_));
        return false;
    }

    bool at_line_end(std::size_t p) const {
        return p < csv_.size() &&
               (csv_[p] == '\n' || (csv_[p] == '\r' && p + 1 < csv_.size() && csv_[p + 1] == '\n'));
    }

    bool read_field(std::string* field, std::string* err) {
        if (pos_ >= csv_.size() || csv_[pos_] != '"') {
            while (pos_ < csv_.size() && csv_[pos_] != ',' && !at_line_end(pos_)) {
                if (csv_[pos_] == '"') {
                    return refuse("a quote inside a field that does not start with one", err);
                }
                field->push_back(csv_[pos_++]);
            }
            return true;
        }
        const std::size_t start_line = line_;
        ++pos_;
        for (;;) {
            if (pos_ >= csv_.size()) {
                line_ = start_line;
                return refuse("a quoted field is not closed", err);
            }
            const char c = csv_[pos_];
            if (c == '"') {
                if (pos_ + 1 < csv_.size() && csv_[pos_ + 1] == '"') {
                    field->push_back('"');
                    pos_ += 2;
                    continue;
                }
                ++pos_;
                break;
            }
            if (c == '\r' && pos_ + 1 < csv_.size() && csv_[pos_ + 1] == '\n') {
                ++pos_;  // a line break saved as CRLF is one line feed of the text
                continue;
            }
            if (c == '\n') {
                ++line_;
            }
            field->push_back(c);
            ++pos_;
        }
        if (pos_ < csv_.size() && csv_[pos_] != ',' && !at_line_end(pos_)) {
            return refuse("text after the closing quote of a field", err);
        }
        return true;
    }

    std::string_view csv_;
    const std::string& name_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
};

bool parse_decimal(std::string_view text, bool allow_sign, std::int64_t max, std::int64_t* out) {
    std::size_t pos = 0;
    bool negative = false;
    if (allow_sign && !text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        pos = 1;
    }
    if (pos == text.size() || text.size() - pos > 10) {
        return false;
    }
    std::int64_t value = 0;
    for (; pos < text.size(); ++pos) {
        if (text[pos] < '0' || text[pos] > '9') {
            return false;
        }
        value = value * 10 + (text[pos] - '0');
    }
    value = negative ? -value : value;
    if (value > max || value < -max - 1) {
        return false;
    }
    *out = value;
    return true;
}

}  // namespace

void append_csv_header(std::string* out) {
    out->append(UTF8_BOM);
    out->append(COLUMNS);
    out->append("\r\n");
}

void append_csv_entry(const TextEntry& entry, std::string* out) {
    append_field(entry.file, out);
    out->push_back(',');
    out->append(std::to_string(entry.record));
    out->push_back(',');
    out->append(std::to_string(entry.text_id));
    out->push_back(',');
    append_field(entry.original, out);
    out->push_back(',');
    append_field(entry.translation, out);
    out->append("\r\n");
}

bool read_csv_texts(std::string_view csv, Translations* out, std::string* err) {
    const std::string& name = out->source();
    if (starts_with_utf16_bom(csv)) {
        *err = error_message(name, "the file is UTF-16; save it as UTF-8");
        return false;
    }
    CsvReader reader(csv, name);
    std::vector<std::string> fields;
    if (!reader.row(&fields, err)) {
        return false;
    }
    std::string header;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        header += (i > 0 ? "," : "") + fields[i];
    }
    if (header != COLUMNS) {
        *err = error_message(name, "the first row must name the columns " + std::string(COLUMNS),
                             "line 1");
        return false;
    }
    while (!reader.at_end()) {
        const std::size_t line = reader.line();
        if (!reader.row(&fields, err)) {
            return false;
        }
        auto refuse = [&](const std::string& what) {
            *err = error_message(name, what, "line " + std::to_string(line));
            return false;
        };
        if (fields.size() == 1 && fields[0].empty()) {
            continue;  // a blank line
        }
        if (fields.size() < 4) {
            return refuse("a row needs the columns " + std::string(COLUMNS));
        }
        for (std::size_t i = 5; i < fields.size(); ++i) {
            if (!fields[i].empty()) {
                return refuse("column " + std::to_string(i + 1) +
                              " is not empty; a row has five columns");
            }
        }
        for (const std::string& field : fields) {
            if (!is_utf8(field)) {
                return refuse("the row is not UTF-8; save the file as UTF-8");
            }
        }
        TextEntry entry;
        entry.line = line;
        entry.file = fields[0];
        std::int64_t number = 0;
        if (!parse_decimal(fields[1], false, std::numeric_limits<std::int32_t>::max(), &number)) {
            return refuse("the record \"" + fields[1] + "\" is not a record number");
        }
        entry.record = static_cast<std::size_t>(number);
        if (fields[2].empty()) {
            entry.has_text_id = false;
        } else if (!parse_decimal(fields[2], true, std::numeric_limits<std::int32_t>::max(),
                                  &number)) {
            return refuse("the id \"" + fields[2] + "\" is not a text id");
        } else {
            entry.text_id = static_cast<std::int32_t>(number);
        }
        entry.original = std::move(fields[3]);
        if (fields.size() > 4) {
            entry.translation = std::move(fields[4]);
        }
        out->add(std::move(entry));
    }
    return true;
}
