// TEMPORARY: see lzr_compress_shim.h.
#include "tm2png/lzr_compress_shim.h"

#include <limits>

#include "tools/lzr_encoder.h"

bool lzr_compress(ByteSpan input, std::uint32_t first_word, std::vector<std::uint8_t>* out,
                  std::string* err) {
    if (input.size() > std::numeric_limits<std::uint32_t>::max()) {
        *err = "Error: " + std::to_string(input.size()) +
               " bytes are too many for an LZR file (at most 4294967295)";
        return false;
    }
    *out = lzr_encode(input, first_word);
    return true;
}
