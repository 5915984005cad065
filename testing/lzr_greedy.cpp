// Greedy LZR compressor.
//
// At each position the encoder takes the longest of: a fill of the byte that
// repeats here (up to 255), or a back-reference into the last 4095 bytes (up
// to 15), found through hash chains over 3-byte prefixes. Anything shorter
// than 3 bytes is not worth an operation of its own and becomes a literal;
// pending literals go out as single literals or, from 6 on, as literal runs,
// whichever is smaller.
#include "testing/lzr_greedy.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stdexcept>

#include "common/byte_reader.h"

namespace {

constexpr std::size_t MAX_DISTANCE = 4095;  // 12 bits
constexpr std::size_t MAX_MATCH = 15;       // 4 bits
constexpr std::size_t MAX_COUNT = 255;      // one count byte
constexpr std::size_t MIN_USEFUL = 3;       // fills and back-references cost 2 operand bytes
// Six literal codes cost 12 bits more than one run code; the run's count byte
// costs 8. So runs pay from 6 literals on.
constexpr std::size_t MIN_LITERAL_RUN = 6;

constexpr unsigned HASH_BITS = 15;
constexpr std::size_t CHAIN_SLOTS = 4096;  // covers the whole window
constexpr int CHAIN_DEPTH = 32;            // bounds the work per position

enum Code : unsigned { LITERAL = 0, LITERAL_RUN = 1, FILL = 2, BACK_REFERENCE = 3 };

// Collects the 2-bit codes, most significant pair first, and the operand bytes.
class StreamWriter {
  public:
    void code(unsigned c) {
        current_ = static_cast<std::uint8_t>(current_ | (c << (6 - 2 * filled_)));
        ++codes_;
        if (++filled_ == 4) {
            control_.push_back(current_);
            current_ = 0;
            filled_ = 0;
        }
    }
    void operand(std::uint8_t b) { operands_.push_back(b); }
    void operands(const std::uint8_t* p, std::size_t n) {
        operands_.insert(operands_.end(), p, p + n);
    }

    // The unused codes of the last control byte stay 0: the decoder stops
    // before them because the output is full by then.
    std::vector<std::uint8_t> finish(std::uint32_t first_word, std::size_t output_size) {
        if (filled_ > 0) {
            control_.push_back(current_);
        }
        if (codes_ > std::numeric_limits<std::uint32_t>::max() / 2 ||
            operands_.size() > std::numeric_limits<std::uint32_t>::max()) {
            throw std::length_error("lzr_encode_greedy: input too large for the LZR header");
        }
        std::vector<std::uint8_t> file;
        file.reserve(16 + control_.size() + operands_.size());
        append_le32(file, first_word);
        append_le32(file, static_cast<std::uint32_t>(codes_ * 2));
        append_le32(file, static_cast<std::uint32_t>(operands_.size()));
        append_le32(file, static_cast<std::uint32_t>(output_size));
        file.insert(file.end(), control_.begin(), control_.end());
        file.insert(file.end(), operands_.begin(), operands_.end());
        return file;
    }

  private:
    std::vector<std::uint8_t> control_;
    std::vector<std::uint8_t> operands_;
    std::uint64_t codes_ = 0;
    std::uint8_t current_ = 0;
    int filled_ = 0;
};

class Encoder {
  public:
    explicit Encoder(std::span<const std::uint8_t> input)
        : in_(input), head_(std::size_t{1} << HASH_BITS, 0), prev_(CHAIN_SLOTS, 0) {}

    std::vector<std::uint8_t> run(std::uint32_t first_word) {
        const std::size_t n = in_.size();
        std::size_t i = 0;
        std::size_t literal_start = 0;
        while (i < n) {
            const std::size_t run = run_length(i);
            std::size_t distance = 0;
            const std::size_t match = longest_match(i, &distance);
            if (run >= MIN_USEFUL && run >= match) {
                flush_literals(literal_start, i);
                out_.code(FILL);
                out_.operand(static_cast<std::uint8_t>(run));
                out_.operand(in_[i]);
                advance(&i, run);
                literal_start = i;
            } else if (match >= MIN_USEFUL) {
                flush_literals(literal_start, i);
                out_.code(BACK_REFERENCE);
                out_.operand(static_cast<std::uint8_t>(distance >> 4));
                out_.operand(static_cast<std::uint8_t>((distance & 0x0F) << 4 | match));
                advance(&i, match);
                literal_start = i;
            } else {
                advance(&i, 1);
            }
        }
        flush_literals(literal_start, n);
        return out_.finish(first_word, n);
    }

  private:
    // Number of bytes equal to in_[i] from i on, at most one fill's worth.
    std::size_t run_length(std::size_t i) const {
        const std::size_t limit = std::min(MAX_COUNT, in_.size() - i);
        std::size_t len = 1;
        while (len < limit && in_[i + len] == in_[i]) {
            ++len;
        }
        return len;
    }

    std::uint32_t hash_at(std::size_t i) const {
        const std::uint32_t v = static_cast<std::uint32_t>(in_[i]) |
                                static_cast<std::uint32_t>(in_[i + 1]) << 8 |
                                static_cast<std::uint32_t>(in_[i + 2]) << 16;
        return (v * 2654435761u) >> (32 - HASH_BITS);
    }

    // Longest earlier occurrence of the bytes at i, within the window. The
    // match may overlap i: the decoder copies forward one byte at a time, so
    // comparing the input with itself gives exactly what it reproduces.
    std::size_t longest_match(std::size_t i, std::size_t* distance) const {
        const std::size_t limit = std::min(MAX_MATCH, in_.size() - i);
        if (limit < MIN_USEFUL) {
            return 0;
        }
        std::size_t best = 0;
        std::uint32_t candidate = head_[hash_at(i)];
        for (int depth = 0; candidate != 0 && depth < CHAIN_DEPTH; ++depth) {
            const std::size_t p = candidate - 1;
            // Only positions before i are in the tables; the check keeps any
            // mistake from ever producing distance 0 or one reaching before the start.
            if (p >= i || i - p > MAX_DISTANCE) {
                break;
            }
            if (in_[p + best] == in_[i + best]) {
                std::size_t len = 0;
                while (len < limit && in_[p + len] == in_[i + len]) {
                    ++len;
                }
                if (len > best) {
                    best = len;
                    *distance = i - p;
                    if (best == limit) {
                        break;
                    }
                }
            }
            candidate = prev_[p % CHAIN_SLOTS];
        }
        return best;
    }

    // Enters positions i .. i+count-1 into the hash chains and moves past them.
    void advance(std::size_t* i, std::size_t count) {
        const std::size_t end = *i + count;
        for (std::size_t p = *i; p < end; ++p) {
            if (p + 2 < in_.size()) {
                const std::uint32_t h = hash_at(p);
                prev_[p % CHAIN_SLOTS] = head_[h];
                head_[h] = static_cast<std::uint32_t>(p + 1);
            }
        }
        *i = end;
    }

    void flush_literals(std::size_t begin, std::size_t end) {
        while (begin < end) {
            const std::size_t pending = end - begin;
            if (pending < MIN_LITERAL_RUN) {
                for (; begin < end; ++begin) {
                    out_.code(LITERAL);
                    out_.operand(in_[begin]);
                }
                return;
            }
            const std::size_t count = std::min(pending, MAX_COUNT);
            out_.code(LITERAL_RUN);
            out_.operand(static_cast<std::uint8_t>(count));
            out_.operands(in_.data() + begin, count);
            begin += count;
        }
    }

    std::span<const std::uint8_t> in_;
    std::vector<std::uint32_t>
        head_;  // position + 1 of the latest 3-byte prefix per hash, 0 = none
    std::vector<std::uint32_t> prev_;  // position + 1 of the previous one with the same hash
    StreamWriter out_;
};

}  // namespace

std::vector<std::uint8_t> lzr_encode_greedy(std::span<const std::uint8_t> input,
                                            std::uint32_t first_word) {
    if (input.size() > std::numeric_limits<std::uint32_t>::max() - 1) {
        throw std::length_error("lzr_encode_greedy: input too large for the LZR header");
    }
    return Encoder(input).run(first_word);
}
