// Fuzz target: inserting any script into any .evd.
//
// Input: a 16-bit length, that many bytes of .evd (fewer if the input ends
// first), then the script. When the .evd parses and the insert succeeds, the
// new file must parse to the same records carrying the script's texts (read
// back through their escapes, or the record's own bytes where a line shows
// the text as the dump does), with every header word but `text_length` and
// the tail carried over, and a warning exactly when non-blank lines follow
// the last text.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "brenmark/evd_format.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    // Two statements: the length must be taken before the rest is measured.
    const std::size_t wanted = input.take16();
    const std::size_t evd_size = std::min(wanted, input.rest().size());
    const ByteSpan evd_bytes = input.rest().first(evd_size);
    const ByteSpan script_bytes = input.rest().subspan(evd_size);
    const std::string_view script(reinterpret_cast<const char*>(script_bytes.data()),
                                  script_bytes.size());

    EvdFile evd;
    std::string err;
    if (!parse_evd(evd_bytes, "fuzz.evd", &evd, &err)) {
        return 0;
    }
    std::vector<std::uint8_t> out;
    std::string warning;
    if (!insert_script(evd, script, "fuzz.txt", nullptr, &out, &warning, &err)) {
        FUZZ_CHECK(err.rfind("Error: ", 0) == 0);
        return 0;
    }
    ParsedScript parsed;
    FUZZ_CHECK(parse_script(script, "fuzz.txt", evd.records.size(), &parsed, &err));
    FUZZ_CHECK(parsed.lines.size() == evd.records.size());
    FUZZ_CHECK(warning.empty() == (parsed.extra_lines == 0));

    EvdFile rebuilt;
    FUZZ_CHECK(parse_evd(out, "out.evd", &rebuilt, &err));
    FUZZ_CHECK(rebuilt.text_count == evd.text_count);
    FUZZ_CHECK(rebuilt.records.size() == evd.records.size());
    for (std::size_t i = 0; i < evd.records.size(); ++i) {
        std::string shown;
        show_text(evd.records[i].text, nullptr, TextForm::script, &shown);
        std::string text = evd.records[i].text;
        TextFault fault;
        if (parsed.lines[i].text != shown) {
            FUZZ_CHECK(read_text(parsed.lines[i].text, nullptr, &text, &fault));
        }
        FUZZ_CHECK(parsed.lines[i].text_id == evd.records[i].header.text_id);
        FUZZ_CHECK(rebuilt.records[i].text == text);
        // An unedited record keeps its bytes; an edited one gets the length of its text.
        EvdTextHeader expected = evd.records[i].header;
        if (text != evd.records[i].text) {
            expected.text_length = static_cast<std::uint32_t>(text.size() + 1);
        } else {
            FUZZ_CHECK(rebuilt.records[i].size == evd.records[i].size);
            FUZZ_CHECK(
                std::equal(out.begin() + static_cast<std::ptrdiff_t>(rebuilt.records[i].offset),
                           out.begin() + static_cast<std::ptrdiff_t>(rebuilt.records[i].offset +
                                                                     rebuilt.records[i].size),
                           evd_bytes.begin() + static_cast<std::ptrdiff_t>(evd.records[i].offset)));
        }
        FUZZ_CHECK(rebuilt.records[i].header == expected);
    }
    FUZZ_CHECK(rebuilt.tail == evd.tail);
    return 0;
}
