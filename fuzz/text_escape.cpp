// Fuzz target: showing game texts with escapes (and through a table file)
// and reading them back, the way an insert reads an edited text: through
// read_text, never the shortcut that keeps an unchanged record's bytes.
//
// Input: a flags byte (bit 0: through a table, bit 1: as PO and CSV files
// show texts rather than the plain script); with a table, a count byte and
// per entry a byte of lengths, its byte sequence and its text's characters
// (drawn from "a", "b", "c", "é", a backslash and a line break, so that
// entries overlap, share texts and hold what needs escapes); then the text's
// bytes (zero bytes, which end a text, left out).
//
// Without a table, reading the shown text gives back exactly the bytes, for
// all 255 values. With one, it gives bytes that show as the same text and
// are never more than the original (the original's own entries and bytes are
// one way to encode it, and the encoder finds the fewest bytes). In either
// form the shown text is UTF-8 wherever it must be, and the plain script's
// has no line break.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "brenmark/text_codec.h"
#include "fuzz/fuzz_check.h"

namespace {

// A table file made from the input; its byte sequences are all different.
std::string table_file(FuzzInput& input) {
    static constexpr const char* CHARACTERS[] = {"a", "b", "c", "\xC3\xA9", "\\", "\\n"};
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string file = "# made by the fuzz target\n";
    std::set<std::string> sequences;
    const unsigned count = input.take8() % 24;
    for (unsigned e = 0; e < count; ++e) {
        const std::uint8_t lengths = input.take8();
        std::string bytes;
        for (unsigned b = 0; b <= (lengths & 3u) % 3; ++b) {
            bytes.push_back(static_cast<char>(input.take8()));
        }
        std::string text;
        for (unsigned c = 0; c <= ((lengths >> 2) & 3u) % 3; ++c) {
            text += CHARACTERS[input.take8() % 6];
        }
        if (!sequences.insert(bytes).second) {
            continue;
        }
        std::string line = (lengths & 0x40) != 0 ? "*" : "";
        for (char b : bytes) {
            line += HEX[static_cast<std::uint8_t>(b) >> 4];
            line += HEX[static_cast<std::uint8_t>(b) & 15];
        }
        file += line + "=" + text + "\n";
    }
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::uint8_t flags = input.take8();
    const TextForm form = (flags & 2) != 0 ? TextForm::translation : TextForm::script;
    TextTable table;
    const TextTable* used = nullptr;
    if ((flags & 1) != 0) {
        const std::string file = table_file(input);
        std::vector<std::string> warnings;
        std::string err;
        FUZZ_CHECK(TextTable::parse(file, "fuzz.tbl", &table, &warnings, &err));
        FUZZ_CHECK(warnings.empty());
        used = &table;
    }
    std::string bytes;
    for (std::uint8_t b : input.rest()) {
        if (b != 0) {
            bytes.push_back(static_cast<char>(b));
        }
    }

    std::string shown;
    show_text(bytes, used, form, &shown);
    if (form == TextForm::script) {
        FUZZ_CHECK(shown.find_first_of("\r\n") == std::string::npos);
    }
    if (form == TextForm::translation || used != nullptr) {
        FUZZ_CHECK(is_utf8(shown));
    }
    std::string back;
    TextFault fault;
    FUZZ_CHECK(read_text(shown, used, &back, &fault));
    if (used == nullptr) {
        FUZZ_CHECK(back == bytes);
        return 0;
    }
    FUZZ_CHECK(back.size() <= bytes.size());
    std::string again;
    show_text(back, used, form, &again);
    FUZZ_CHECK(again == shown);
    return 0;
}
