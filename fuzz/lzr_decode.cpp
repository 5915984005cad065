// Fuzz target: any byte string as an LZR file must decode cleanly or be
// refused, never touching memory outside the buffers. (The same bytes as
// content going through the encoder and back is lzr_roundtrip's job.)
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ossory/lzr.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteSpan input(data, size);
    std::vector<std::uint8_t> out;
    std::string warning, err;
    if (lzr_decode_file(input, "fuzz", &out, &warning, &err)) {
        // Exactly the declared size, and a warning only for a cut last operation.
        FUZZ_CHECK(out.size() == load_le32(data + 12));
        FUZZ_CHECK(warning.empty() || warning.rfind("Warning: fuzz: ", 0) == 0);
    } else {
        FUZZ_CHECK(err.rfind("Error: fuzz: ", 0) == 0);
    }
    return 0;
}
