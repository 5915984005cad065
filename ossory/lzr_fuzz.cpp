// libFuzzer target: any byte string as an LZR file must decode cleanly or be
// refused, never touching memory outside the buffers; and the same bytes as
// content must survive an encode and decode unchanged.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "ossory/lzr.h"
#include "tools/lzr_encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteSpan input(data, size);
    std::vector<std::uint8_t> out;
    std::string warning, err;
    if (lzr_decode_file(input, "fuzz", &out, &warning, &err) &&
        out.size() != load_le32(data + 12)) {
        std::abort();
    }
    const std::vector<std::uint8_t> file = lzr_encode(input);
    if (!lzr_decode_file(file, "fuzz", &out, &warning, &err) || !warning.empty() ||
        !std::equal(out.begin(), out.end(), data, data + size)) {
        std::abort();
    }
    return 0;
}
