// An LZR compressor, for making test fixtures and sample games from known
// content. The suite's users only ever decompress; this is support code.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

/// Compresses `input` into a complete LZR file: the 16-byte header (first
/// word `first_word`, then control bit count, operand size and output size),
/// the control stream and the operand stream. Decoding the result gives
/// `input` back exactly.
std::vector<std::uint8_t> lzr_encode(std::span<const std::uint8_t> input,
                                     std::uint32_t first_word = 0);
