// Fuzz target: the EVD record parser and the dump, on any bytes as an .evd.
//
// A parse that succeeds must account for every byte: the records lie back to
// back from offset 4, each text is the bytes before the first zero of its
// area, and the tail is the rest. Every file can be dumped; inserting the
// dump unedited must give back the file byte for byte, and doing it again on
// the result must change nothing.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "brenmark/evd_format.h"
#include "fuzz/fuzz_check.h"

namespace {

void check_records(ByteSpan data, const EvdFile& evd) {
    FUZZ_CHECK(evd.records.size() == evd.text_count);
    std::uint64_t offset = EVD_COUNT_SIZE;
    for (const EvdRecord& record : evd.records) {
        FUZZ_CHECK(record.offset == offset);
        FUZZ_CHECK(range_fits(data.size(), offset, EVD_HEADER_SIZE));
        FUZZ_CHECK(record.header == decode_text_header(data.data() + offset));
        const std::uint64_t area = evd_text_area_size(record.header.text_length);
        FUZZ_CHECK(area % 4 == 0 && area >= record.header.text_length);
        FUZZ_CHECK(range_fits(data.size(), offset + EVD_HEADER_SIZE, area));
        FUZZ_CHECK(record.text.size() < area || (area == 0 && record.text.empty()));
        if (area > 0) {
            const std::uint8_t* text = data.data() + offset + EVD_HEADER_SIZE;
            FUZZ_CHECK(std::memcmp(record.text.data(), text, record.text.size()) == 0);
            FUZZ_CHECK(text[record.text.size()] == 0);
        }
        offset += EVD_HEADER_SIZE + area;
    }
    FUZZ_CHECK(evd.tail_offset == offset);
    FUZZ_CHECK(evd.tail.size() == data.size() - offset);
    FUZZ_CHECK(std::equal(evd.tail.begin(), evd.tail.end(), data.data() + offset));
}

// `rebuilt` holds the same records as `evd`, headers included, and the same tail.
void check_same_records(const EvdFile& evd, const EvdFile& rebuilt) {
    FUZZ_CHECK(rebuilt.text_count == evd.text_count);
    FUZZ_CHECK(rebuilt.records.size() == evd.records.size());
    for (std::size_t i = 0; i < evd.records.size(); ++i) {
        FUZZ_CHECK(rebuilt.records[i].text == evd.records[i].text);
        FUZZ_CHECK(rebuilt.records[i].header == evd.records[i].header);
    }
    FUZZ_CHECK(rebuilt.tail == evd.tail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteSpan input(data, size);
    EvdFile evd;
    std::string err;
    if (!parse_evd(input, "fuzz.evd", &evd, &err)) {
        FUZZ_CHECK(err.rfind("Error: fuzz.evd: ", 0) == 0);
        return 0;
    }
    check_records(input, evd);

    const std::string script = make_script(evd, nullptr);
    std::vector<std::uint8_t> first;
    std::string warning;
    FUZZ_CHECK(insert_script(evd, script, "fuzz.txt", nullptr, &first, &warning, &err));
    FUZZ_CHECK(warning.empty());
    EvdFile rebuilt;
    FUZZ_CHECK(parse_evd(first, "first.evd", &rebuilt, &err));
    check_same_records(evd, rebuilt);
    // Inserting the unedited dump gives back the file byte for byte, whatever
    // its records hold after their texts.
    FUZZ_CHECK(first.size() == size && std::equal(first.begin(), first.end(), data));
    return 0;
}
