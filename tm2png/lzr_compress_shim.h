// TEMPORARY stand-in for the optimal LZR encoder that is being added to
// ossory/lzr.h with exactly this declaration. Until it is there, tm2png
// compresses its .lzr outputs with the greedy fixture encoder of tools/;
// files written that way decode exactly, they are only larger. Remove this
// header and lzr_compress_shim.cpp, and include ossory/lzr.h instead, once
// the encoder has landed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_reader.h"

/// Compresses `input` into a complete LZR file whose header's first word is
/// `first_word`. Fails, with the complete message in `err`, when the input is
/// too large for the header's 32-bit sizes.
bool lzr_compress(ByteSpan input, std::uint32_t first_word, std::vector<std::uint8_t>* out,
                  std::string* err);
