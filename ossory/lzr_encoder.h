// The LZR encoder: writes the smallest LZR file the format allows for any
// bytes.
//
// Every operation costs its 2-bit code plus its operand bytes (literal 1,
// literal run 1 + n, fill 2, back-reference 2), so the file's size, 16 +
// ceil(codes / 4) + operand bytes, is ceil(bits / 8) for the total bit count
// of codes and operands: an encoding with the fewest bits is a smallest file.
// The encoder finds one exactly, as a shortest path over input positions
// (see lzr_encoder.cpp for why only a few edges per position need looking
// at), with a match finder that reports the true longest back-reference at
// every position. Like the decoder, nothing here touches files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_reader.h"

/// Limits of a back-reference: 4-bit length, 12-bit distance.
inline constexpr std::size_t LZR_MAX_MATCH = 15;
inline constexpr std::size_t LZR_MAX_DISTANCE = 4095;

/// Compresses `input` into a complete LZR file in `out`: the 16-byte header
/// (`first_word`, control bit count, operand size, output size), the control
/// stream and the operand stream. No valid LZR file of the same content is
/// smaller, and the file decodes exactly, without clipping, to `input`.
/// Fails, with the complete message in `err` and `out` untouched, only for
/// input too large for the header's 32-bit fields (or memory running out).
bool lzr_compress(ByteSpan input, std::uint32_t first_word, std::vector<std::uint8_t>* out,
                  std::string* err);

/// The same; messages name the input `name` ("Error: <name>: ...").
bool lzr_compress(ByteSpan input, std::string_view name, std::uint32_t first_word,
                  std::vector<std::uint8_t>* out, std::string* err);

/// Whether an input of `size` bytes fits the header's 32-bit sizes; the
/// message naming `name` otherwise. Lets a caller refuse a file by its size
/// before reading it.
bool lzr_input_fits(std::uint64_t size, std::string_view name, std::string* err);

/// The largest input whose whole parse is kept at once (12.2 MiB of
/// choices), so that it is compressed in one pass: a 1024x1024 32-bit image
/// with its TIM2 headers and a palette.
inline constexpr std::size_t LZR_ONE_PASS = (std::size_t{1} << 22) + (std::size_t{1} << 16);

/// Positions of a larger input whose parse is kept at once. Its parse is
/// found in one pass that keeps only checkpoints, and then block by block
/// from the end, each recomputed from its checkpoint; the smaller block
/// leaves room for the larger input and output within the memory promised.
inline constexpr std::size_t LZR_DEFAULT_BLOCK = std::size_t{1} << 21;

/// `lzr_compress` with the parse kept in blocks of `block` positions (at
/// least 256). Every block size gives the same file; tests use small ones to
/// exercise the recomputation.
bool lzr_compress_blocks(ByteSpan input, std::string_view name, std::uint32_t first_word,
                         std::size_t block, std::vector<std::uint8_t>* out, std::string* err);

/// The longest earlier occurrence of the bytes at a position.
struct LzrMatch {
    std::uint32_t length = 0;    ///< 0..15; never past the end of the input
    std::uint32_t distance = 0;  ///< 1..4095, the smallest one with that length; 0 for none

    bool operator==(const LzrMatch&) const = default;
};

/// Finds, at each position of an input in turn, the longest back-reference a
/// decoder could copy there: the longest prefix (at most 15 bytes, not past
/// the end) of the bytes at the position that also starts 1 to 4095 bytes
/// before it, where the source may overlap the position (the decoder copies
/// forward byte by byte). Of the distances that give that length, the
/// smallest is reported. The result is exact, not a heuristic: every earlier
/// position in the window is, in effect, compared.
///
/// Positions are kept in one binary search tree per 2-byte prefix, ordered
/// by their next 15 bytes and with newer positions above older ones; entering
/// a position walks down from the root and splits the tree around it, and the
/// nodes on that walk include the closest neighbours in order, which share the
/// longest prefix. A node that left the window ends the walk (everything below
/// it is older still). The trees are chosen by a hash of the first 3 bytes,
/// so matches of 1 or 2 bytes come from tables of the newest position of each
/// byte and 2-byte prefix. Memory: at most about 320 KiB.
class LzrMatchFinder {
  public:
    explicit LzrMatchFinder(ByteSpan input);

    /// Forgets every position entered, so that positions can be entered
    /// again from `first` on.
    void reset(std::size_t first);

    /// The longest match at `pos`, and enters `pos` into the window.
    /// Positions must come one by one in increasing order, from 0 or from the
    /// position last given to `reset`; the window then holds the positions
    /// entered, so to report exact results from some position on, enter the
    /// 4095 before it first.
    LzrMatch find(std::size_t pos) {
        if (run_end_ <= pos) {
            measure_run(pos);
        }
        // Inside a long run of one byte (the byte before `pos` and the 16
        // from it equal), the answer is 15 at distance 1, and the next
        // position has the same 15-byte key, so entering this one would only
        // have it replaced at once: entering is put off until the run ends.
        if (pos >= 1 && in_[pos - 1] == in_[pos] && run_end_ - pos > LZR_MAX_MATCH) {
            pending_ = pos + 1;
            return {static_cast<std::uint32_t>(LZR_MAX_MATCH), 1};
        }
        return enter_after_run(pos);
    }

  private:
    /// How far back the position of a table entry (position + 1, 0 = none)
    /// lies from `pos`; 0 if it is no use: none, entered before the last
    /// reset, not before `pos`, or out of the window.
    std::size_t distance_to(std::uint32_t entry, std::size_t pos) const {
        const std::size_t distance = pos + 1 - entry;
        return entry > floor_ && distance - 1 < LZR_MAX_DISTANCE ? distance : 0;
    }
    /// Sets `run_end_` to the end of the run of equal bytes that starts at `pos`.
    void measure_run(std::size_t pos);
    /// Enters a position put off in a run, if any, then `pos`.
    LzrMatch enter_after_run(std::size_t pos);
    /// Enters `pos` into its tree, returning the longest match the walk met.
    LzrMatch enter(std::size_t pos);
    /// The walk from `node` down, comparing whole words or byte by byte.
    LzrMatch walk_words(std::size_t pos, std::uint32_t node);
    LzrMatch walk_bytes(std::size_t pos, std::uint32_t node);

    struct Free {
        void operator()(std::uint32_t* p) const;
    };

    ByteSpan in_;
    // One zeroed allocation holds the tables; pages that are never touched
    // (most of them, for a small input) cost nothing.
    std::unique_ptr<std::uint32_t[], Free> tables_;
    unsigned tree_bits_;       ///< log2 of the number of trees
    std::uint32_t* head_;      ///< per tree: newest position + 1, 0 = none
    std::uint32_t* pairs_;     ///< per 2-byte prefix: newest position + 1
    std::uint32_t* last_;      ///< per byte value: newest position + 1
    std::uint32_t* tree_;      ///< per window slot: smaller and larger child (+ 1)
    std::size_t floor_ = 0;    ///< the first position entered since the last reset
    std::size_t run_end_ = 0;  ///< end of the run of equal bytes last measured
    std::size_t pending_ = 0;  ///< position + 1 put off inside a run, 0 = none
};
