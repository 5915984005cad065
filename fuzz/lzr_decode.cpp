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
        // Both streams as declared lie inside the file (sizes from the
        // header's fields in 64 bits, never wrapped), exactly the declared
        // size came out, and a warning only for a cut last operation.
        const std::uint64_t control = (std::uint64_t{load_le32(data + 4)} + 7) / 8;
        FUZZ_CHECK(16 + control + load_le32(data + 8) <= size);
        FUZZ_CHECK(out.size() == load_le32(data + 12));
        FUZZ_CHECK(warning.empty() || warning.rfind("Warning: fuzz: ", 0) == 0);
    } else {
        FUZZ_CHECK(err.rfind("Error: fuzz: ", 0) == 0);
    }
    return 0;
}
