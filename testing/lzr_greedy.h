// A greedy LZR compressor: the baseline that the suite's optimal encoder
// (ossory/lzr_encoder.h) is measured against in tests, fuzzing and the
// benchmark. Not shipped.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

/// Compresses `input` into a complete LZR file: the 16-byte header (first
/// word `first_word`, then control bit count, operand size and output size),
/// the control stream and the operand stream. Decoding the result gives
/// `input` back exactly.
std::vector<std::uint8_t> lzr_encode_greedy(std::span<const std::uint8_t> input,
                                            std::uint32_t first_word = 0);
