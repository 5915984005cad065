// Fuzz target: any bytes compress into an LZR file that decodes back to
// them exactly, with no operation cut at the end; the file is never larger
// than the greedy encoder's, and it is the same whatever block size the
// encoder recomputes its parse in. The input's first two bytes choose that
// block size; the rest is the content.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ossory/lzr.h"
#include "ossory/lzr_encoder.h"
#include "testing/lzr_greedy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput fuzz(data, size);
    const std::size_t block = 256 + fuzz.take16() % 2048;
    const ByteSpan content = fuzz.rest();

    std::vector<std::uint8_t> file, blocked, out;
    std::string warning, err;
    FUZZ_CHECK(lzr_compress(content, 0x4C5A52, &file, &err));
    FUZZ_CHECK(load_le32(file.data()) == 0x4C5A52);
    FUZZ_CHECK(lzr_decode_file(file, "fuzz", &out, &warning, &err));
    FUZZ_CHECK(warning.empty());
    FUZZ_CHECK(std::equal(out.begin(), out.end(), content.begin(), content.end()));

    FUZZ_CHECK(file.size() <= lzr_encode_greedy(content, 0x4C5A52).size());
    FUZZ_CHECK(lzr_compress_blocks(content, "fuzz", 0x4C5A52, block, &blocked, &err));
    FUZZ_CHECK(blocked == file);
    return 0;
}
