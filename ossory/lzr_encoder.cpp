// The optimal LZR encoder.
//
// The parse. best[j] is the fewest bits that encode the first j input bytes.
// Dropping the last byte of the last operation of any encoding of j + 1
// bytes leaves a valid encoding of j bytes that costs no more (a literal
// disappears, a run, fill or back-reference gets one shorter; a
// back-reference keeps its distance, whose source byte is still there), so
// best[] never decreases. The operations that can end at j are:
// - a literal, from j - 1 (10 bits);
// - a fill, from any i >= j - 255 with input[i..j) one repeated byte (18 bits):
//   the cheapest comes from the earliest such i, since best[] is
//   non-decreasing, so only the longest fill ending at j matters;
// - a back-reference, from any i >= j - 15 whose longest match reaches j
//   (18 bits; a match of length L implies every shorter one at the same
//   distance): again only the earliest such i matters;
// - a literal run, from any i >= j - 255 (10 + 8 (j - i) bits): the minimum of
//   best[i] - 8 i over that sliding window. Runs shorter than 6 are never
//   cheaper than as many literals and are left out.
// So each position costs O(1) amortised besides the match finder, and the
// result is exactly the shortest path. The operation count of the parse
// chosen at each position is carried along, for the header.
//
// Memory. The choice that reached each position (3 bytes) is needed to read
// the parse back from the end, and for a large input that is too much to
// keep. The forward pass therefore keeps only a checkpoint every `block`
// positions: the state the pass carries (best[] and the operation counts of
// the last 256 positions, 1.5 KiB). Reading back, each block before the last is
// recomputed from its checkpoint, with the match finder warmed up on the
// 4110 positions before it; the results are the same as in the first pass
// because the match finder's answers are exact and canonical (the smallest
// distance of the longest match) and every choice is a function of best[].
// The file is written from its end backwards: its operand and operation
// counts are known from the first pass.
#include "ossory/lzr_encoder.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "common/message.h"
#include "ossory/lzr.h"

namespace {

constexpr std::size_t WINDOW_SLOTS = 4096;  // a power of two above the largest distance
constexpr std::size_t PAIRS = 65536;        // 2-byte prefixes
constexpr unsigned MAX_TREE_BITS = 13;      // trees, by a hash of 3-byte prefixes

}  // namespace

void LzrMatchFinder::Free::operator()(std::uint32_t* p) const {
    std::free(p);
}

LzrMatchFinder::LzrMatchFinder(ByteSpan input) : in_(input) {
    // About two trees per position, up to two per window slot: more would
    // only spread the table over more cache lines.
    tree_bits_ = 8;
    while (tree_bits_ < MAX_TREE_BITS && (std::size_t{1} << tree_bits_) < 2 * input.size()) {
        ++tree_bits_;
    }
    const std::size_t trees = std::size_t{1} << tree_bits_;
    tables_.reset(static_cast<std::uint32_t*>(
        std::calloc(trees + PAIRS + 256 + 2 * WINDOW_SLOTS, sizeof(std::uint32_t))));
    if (!tables_) {
        throw std::bad_alloc();
    }
    head_ = tables_.get();
    pairs_ = head_ + trees;
    last_ = pairs_ + PAIRS;
    tree_ = last_ + 256;
}

void LzrMatchFinder::reset(std::size_t first) {
    // Nothing is cleared: entries for positions before `first` are ignored
    // from now on, and entries for positions from `first` on that an earlier
    // pass left behind either lie ahead (ignored too) or are written again,
    // the same, before anything reads them.
    floor_ = first;
    run_end_ = 0;
    pending_ = 0;
}

void LzrMatchFinder::measure_run(std::size_t pos) {
    const std::uint8_t* const in = in_.data();
    run_end_ = pos + 1;
    while (run_end_ < in_.size() && in[run_end_] == in[pos]) {
        ++run_end_;
    }
}

LzrMatch LzrMatchFinder::enter_after_run(std::size_t pos) {
    if (pending_ != 0) {
        // The last position put off is the nearest source for this one.
        enter(pending_ - 1);
        pending_ = 0;
    }
    return enter(pos);
}

LzrMatch LzrMatchFinder::enter(std::size_t pos) {
    const std::uint8_t* const key = in_.data() + pos;
    const std::size_t remaining = in_.size() - pos;
    LzrMatch best;
    if (remaining > 2) {
        // Matches of 3 bytes or more come from the tree of positions whose
        // next 3 bytes hash alike; positions with only 2 bytes left are no
        // use to later ones as sources of 3.
        const std::uint32_t prefix =
            key[0] | std::uint32_t{key[1]} << 8 | std::uint32_t{key[2]} << 16;
        const std::size_t bucket = (prefix * 2654435761u) >> (32 - tree_bits_);
        const std::uint32_t root = head_[bucket];
        head_[bucket] = static_cast<std::uint32_t>(pos + 1);
        if (remaining > LZR_MAX_MATCH && std::endian::native == std::endian::little) {
            best = walk_words(pos, root);
        } else {
            best = walk_bytes(pos, root);
        }
        if (best.length < 3) {
            best = {};  // a different prefix of the same hash
        }
    }
    // Shorter matches from the newest position with the same 2 bytes or byte.
    const std::uint32_t same_byte = last_[key[0]];
    last_[key[0]] = static_cast<std::uint32_t>(pos + 1);
    if (remaining > 1) {
        const std::size_t pair = key[0] | std::size_t{key[1]} << 8;
        if (best.length == 0) {
            const std::size_t distance = distance_to(pairs_[pair], pos);
            if (distance != 0) {
                best = {2, static_cast<std::uint32_t>(distance)};
            }
        }
        pairs_[pair] = static_cast<std::uint32_t>(pos + 1);
    }
    if (best.length == 0 && distance_to(same_byte, pos) != 0) {
        best = {1, static_cast<std::uint32_t>(distance_to(same_byte, pos))};
    }
    return best;
}

// The new position becomes the root of its tree; the walk hangs every node it
// meets below it, on the smaller side or the larger one (`smaller` and
// `larger` are where the next smaller and larger node go). Keys are the next
// 15 bytes; a key cut short by the end of the input sorts after every key
// that goes on, so no two keys are equal unless both are 15 whole bytes.
// Nodes nearer the root are newer, so the first node met with a given common
// length has the smallest distance. A node that left the window ends the walk:
// every node below it is older still.

LzrMatch LzrMatchFinder::walk_words(std::size_t pos, std::uint32_t node) {
    // At least 16 bytes from `pos` on: keys are compared a word at a time,
    // the first differing byte being the lowest one in the words' exclusive
    // or (little-endian).
    const std::uint8_t* const key = in_.data() + pos;
    std::uint64_t key0, key1;
    std::memcpy(&key0, key, 8);
    std::memcpy(&key1, key + 8, 8);
    std::uint32_t* smaller = &tree_[2 * (pos % WINDOW_SLOTS)];
    std::uint32_t* larger = smaller + 1;
    LzrMatch best;
    for (;;) {
        const std::size_t distance = distance_to(node, pos);
        if (distance == 0) {
            *smaller = 0;  // nothing, or only positions that left the window, below here
            *larger = 0;
            break;
        }
        const std::uint8_t* const other = key - distance;
        std::uint32_t* const children = &tree_[2 * ((node - 1) % WINDOW_SLOTS)];
        std::uint64_t word;
        std::memcpy(&word, other, 8);
        std::size_t common;
        if (word != key0) {
            common = static_cast<std::size_t>(std::countr_zero(word ^ key0)) / 8;
        } else {
            std::memcpy(&word, other + 8, 8);
            // A bit set in the last byte stops the count at 15.
            common = 8 + static_cast<std::size_t>(
                             std::countr_zero((word ^ key1) | std::uint64_t{1} << 56)) /
                             8;
        }
        if (common > best.length) {
            best = {static_cast<std::uint32_t>(common), static_cast<std::uint32_t>(distance)};
        }
        if (common == LZR_MAX_MATCH) {
            // The same key: the new position takes the older one's place.
            *smaller = children[0];
            *larger = children[1];
            break;
        }
        if (other[common] < key[common]) {
            *smaller = node;
            smaller = &children[1];
            node = children[1];
        } else {
            *larger = node;
            larger = &children[0];
            node = children[0];
        }
    }
    return best;
}

LzrMatch LzrMatchFinder::walk_bytes(std::size_t pos, std::uint32_t node) {
    // Near the end, byte by byte. Every node in the subtree still to walk
    // lies between the nearest smaller and larger node met, so it shares the
    // shorter of their common prefixes with the key.
    const std::uint8_t* const key = in_.data() + pos;
    const std::size_t limit = std::min(LZR_MAX_MATCH, in_.size() - pos);
    std::uint32_t* smaller = &tree_[2 * (pos % WINDOW_SLOTS)];
    std::uint32_t* larger = smaller + 1;
    std::size_t smaller_common = 0;
    std::size_t larger_common = 0;
    LzrMatch best;
    for (;;) {
        if (distance_to(node, pos) == 0) {
            *smaller = 0;
            *larger = 0;
            break;
        }
        const std::size_t at = node - 1;
        const std::uint8_t* const other = in_.data() + at;
        std::uint32_t* const children = &tree_[2 * (at % WINDOW_SLOTS)];
        std::size_t common = std::min(smaller_common, larger_common);
        while (common < limit && other[common] == key[common]) {
            ++common;
        }
        if (common > best.length) {
            best = {static_cast<std::uint32_t>(common), static_cast<std::uint32_t>(pos - at)};
        }
        if (common == LZR_MAX_MATCH) {
            *smaller = children[0];
            *larger = children[1];
            break;
        }
        if (common == limit || other[common] < key[common]) {
            *smaller = node;
            smaller = &children[1];
            smaller_common = common;
            node = children[1];
        } else {
            *larger = node;
            larger = &children[0];
            larger_common = common;
            node = children[0];
        }
    }
    return best;
}

namespace {

constexpr std::uint64_t LITERAL_BITS = 2 + 8;
constexpr std::uint64_t PAIR_BITS = 2 + 16;  // a fill or a back-reference
constexpr std::uint64_t RUN_BITS = 2 + 8;    // plus 8 per byte
constexpr std::size_t MIN_RUN = 6;
constexpr std::size_t SPAN = 256;  // positions an operation can reach back, and one more
constexpr std::size_t MATCH_SPAN = 16;
constexpr std::size_t MAX_COUNT = 255;  // bytes of a literal run or fill

// The choice that reached a position: code, length, distance (back-references).
// A choice takes 22 bits (code 2, length 8, distance 12) and is kept in 3
// bytes, so that the parse of 4 Mi positions fits in 12 MiB.
constexpr std::size_t CHOICE_BYTES = 3;

inline void store_choice(std::uint8_t* made, std::size_t at, std::uint32_t c) {
    std::uint8_t* p = made + at * CHOICE_BYTES;
    p[0] = static_cast<std::uint8_t>(c);
    p[1] = static_cast<std::uint8_t>(c >> 8);
    p[2] = static_cast<std::uint8_t>(c >> 16);
}

inline std::uint32_t load_choice(const std::uint8_t* made, std::size_t at) {
    const std::uint8_t* p = made + at * CHOICE_BYTES;
    return p[0] | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
}

constexpr std::uint32_t choice(unsigned code, std::size_t length, std::uint32_t distance) {
    return code | static_cast<std::uint32_t>(length) << 2 | distance << 10;
}

// What the forward pass carries at a position s, for recomputing from there.
struct Checkpoint {
    std::uint64_t bits = 0;
    std::uint16_t below[SPAN] = {};  // best[s] - best[s - k], at most 10 + 8 * 255
    std::uint32_t ops[SPAN] = {};    // operations of the parse reaching s - k
};

// The literal run ending at j may start at any of the positions j - 255 ..
// j - 6; the cheapest is the one with the smallest best[i] - 8 i. The
// minimum over that sliding window is kept without data-dependent branches
// (van Herk / Gil-Werman): starts are grouped in blocks of the window's
// length, so a window covers the end of one block and the start of the next;
// the minimum of each block's ends is computed once, when the block is
// complete, and of the current block's start as it grows.
constexpr std::size_t RUN_STARTS = MAX_COUNT - MIN_RUN + 1;

struct Start {
    std::int64_t key;  // best[at] - 8 at
    std::size_t at;
};

class Parser {
  public:
    explicit Parser(ByteSpan input) : in_(input), finder_(input) {}

    // The state at position s, as the forward pass had it.
    void restore(std::size_t s, const Checkpoint& c) {
        pos_ = s;
        const std::size_t back = std::min(s, SPAN - 1);
        for (std::size_t k = 0; k <= back; ++k) {
            bits_[(s - k) % SPAN] = c.bits - c.below[k];
            ops_[(s - k) % SPAN] = c.ops[k];
        }
        // The literal-run minima depend only on the keys in the window.
        if (s >= MIN_RUN) {
            const std::size_t newest = s - MIN_RUN;
            const std::size_t block = newest - newest % RUN_STARTS;
            prefix_ = start(block);
            for (std::size_t p = block + 1; p <= newest; ++p) {
                const Start k = start(p);
                prefix_ = k.key <= prefix_.key ? k : prefix_;
            }
            if (block > 0) {
                const std::size_t oldest = s + 1 > MAX_COUNT ? s + 1 - MAX_COUNT : 0;
                fill_suffix(block, std::max(oldest, block - RUN_STARTS));
            }
        }
        run_ = 0;
        if (s > 0) {
            run_ = 1;
            while (run_ < MAX_COUNT && s - 1 >= run_ && in_[s - 1 - run_] == in_[s - 1]) {
                ++run_;
            }
        }
        ref_ = s > LZR_MAX_MATCH ? s - LZR_MAX_MATCH : 0;
        const std::size_t warm = ref_ > LZR_MAX_DISTANCE ? ref_ - LZR_MAX_DISTANCE : 0;
        finder_.reset(warm);
        for (std::size_t p = warm; p < ref_; ++p) {
            finder_.find(p);
        }
        for (std::size_t p = ref_; p < s; ++p) {
            note(p, finder_.find(p));
        }
    }

    void save(Checkpoint* c) const {
        c->bits = bits_[pos_ % SPAN];
        const std::size_t back = std::min(pos_, SPAN - 1);
        for (std::size_t k = 0; k <= back; ++k) {
            c->below[k] = static_cast<std::uint16_t>(c->bits - bits_[(pos_ - k) % SPAN]);
            c->ops[k] = ops_[(pos_ - k) % SPAN];
        }
    }

    // Finds the cheapest way to reach each of the next `count` positions,
    // writing the choice that reached each one to `made`. Candidates are
    // compared without branches where that is easy: which one wins is data.
    void advance(std::size_t count, std::uint8_t* __restrict made) {
        constexpr std::uint64_t NONE = std::numeric_limits<std::uint64_t>::max();
        const std::uint8_t* const in = in_.data();
        std::size_t ref = ref_, run = run_;
        const std::size_t first = pos_;
        std::uint64_t last = bits_[first % SPAN];  // best[i]
        for (std::size_t i = first; i < first + count; ++i) {
            const std::size_t j = i + 1;
            note(i, finder_.find(i));

            std::uint64_t best = last + LITERAL_BITS;
            std::size_t from = i;
            std::uint32_t how = choice(LZR_LITERAL, 1, 0);
            auto consider = [&](std::uint64_t cost, std::size_t start, std::uint32_t what) {
                const bool better = cost < best;
                best = better ? cost : best;
                from = better ? start : from;
                how = better ? what : how;
            };

            while (ref < j && reach_[ref % MATCH_SPAN] < j) {
                ++ref;
            }
            consider(ref < j ? bits_[ref % SPAN] + PAIR_BITS : NONE, ref,
                     choice(LZR_BACK_REFERENCE, j - ref, distance_[ref % MATCH_SPAN]));

            run = i > 0 && in[i] == in[i - 1] ? std::min(run + 1, MAX_COUNT) : 1;
            consider(run >= 2 ? bits_[(j - run) % SPAN] + PAIR_BITS : NONE, j - run,
                     choice(LZR_FILL, run, 0));

            if (j >= MIN_RUN) {
                const std::size_t newest = j - MIN_RUN;
                const std::size_t block = newest - newest % RUN_STARTS;
                const Start k = start(newest);
                if (newest == block) {
                    if (block > 0) {
                        fill_suffix(block, block - RUN_STARTS + 1);
                    }
                    prefix_ = k;
                } else {
                    prefix_ = k.key <= prefix_.key ? k : prefix_;
                }
                Start m = prefix_;
                const std::size_t oldest = j > MAX_COUNT ? j - MAX_COUNT : 0;
                if (oldest < block) {
                    const Start& earlier = suffix_[oldest % RUN_STARTS];
                    m = earlier.key < m.key ? earlier : m;
                }
                consider(
                    static_cast<std::uint64_t>(m.key + 8 * static_cast<std::int64_t>(j)) + RUN_BITS,
                    m.at, choice(LZR_LITERAL_RUN, j - m.at, 0));
            }

            bits_[j % SPAN] = best;
            ops_[j % SPAN] = ops_[from % SPAN] + 1;
            last = best;
            store_choice(made, i - first, how);
        }
        pos_ = first + count;
        ref_ = ref;
        run_ = run;
    }

    std::uint64_t bits() const { return bits_[pos_ % SPAN]; }
    std::uint64_t ops() const { return ops_[pos_ % SPAN]; }

  private:
    void note(std::size_t i, LzrMatch m) {
        reach_[i % MATCH_SPAN] = i + m.length;
        distance_[i % MATCH_SPAN] = m.distance;
    }

    Start start(std::size_t at) const {
        return {static_cast<std::int64_t>(bits_[at % SPAN]) - 8 * static_cast<std::int64_t>(at),
                at};
    }

    // The minima of the starts from each of `from` .. `block` - 1 to `block` - 1,
    // the block before `block`; ties go to the later start.
    void fill_suffix(std::size_t block, std::size_t from) {
        Start m = start(block - 1);
        suffix_[(block - 1) % RUN_STARTS] = m;
        for (std::size_t p = block - 1; p-- > from;) {
            const Start k = start(p);
            m = k.key < m.key ? k : m;
            suffix_[p % RUN_STARTS] = m;
        }
    }

    ByteSpan in_;
    LzrMatchFinder finder_;
    std::size_t pos_ = 0;  // the last position whose cost is known
    std::uint64_t bits_[SPAN] = {};
    std::uint32_t ops_[SPAN] = {};
    // Of the last positions: how far their longest match reaches, and its distance.
    std::size_t reach_[MATCH_SPAN] = {};
    std::uint32_t distance_[MATCH_SPAN] = {};
    Start prefix_ = {};              // the cheapest start of the current block so far
    Start suffix_[RUN_STARTS] = {};  // of the block before, the cheapest from each start on
    std::size_t run_ = 0;            // bytes equal to the last one, ending at pos_, at most 255
    std::size_t ref_ = 0;            // earliest start of a back-reference that may reach past pos_
};

constexpr std::uint64_t MAX_FIELD = std::numeric_limits<std::uint32_t>::max();

bool compress(ByteSpan input, std::string_view name, std::uint32_t first_word, std::size_t block,
              std::vector<std::uint8_t>* out, std::string* err) {
    const std::size_t n = input.size();
    if (!lzr_input_fits(n, name, err)) {
        return false;
    }
    block = std::max(block, SPAN);
    try {
        Parser parser(input);
        const std::size_t blocks = (n + block - 1) / block;
        std::vector<Checkpoint> checkpoints(blocks);
        std::vector<std::uint8_t> made(std::min(n, block) * CHOICE_BYTES);
        Checkpoint start;
        parser.restore(0, start);
        for (std::size_t b = 0; b < blocks; ++b) {
            parser.save(&checkpoints[b]);
            parser.advance(std::min(n, (b + 1) * block) - b * block, made.data());
        }
        const std::uint64_t ops = parser.ops();
        const std::uint64_t operands = (parser.bits() - 2 * ops) / 8;
        if (2 * ops + 7 > MAX_FIELD || operands > MAX_FIELD) {
            *err = error_message(name, "input of " + std::to_string(n) + " bytes needs " +
                                           std::to_string(ops) + " operations and " +
                                           std::to_string(operands) +
                                           " operand bytes, more than an LZR header can count");
            return false;
        }
        const std::uint64_t control = (ops + 3) / 4;
        std::vector<std::uint8_t> file(LZR_HEADER_SIZE + control + operands);
        std::uint8_t* const f = file.data();
        store_le32(f, first_word);
        store_le32(f + 4, static_cast<std::uint32_t>(2 * ops));
        store_le32(f + 8, static_cast<std::uint32_t>(operands));
        store_le32(f + 12, static_cast<std::uint32_t>(n));

        // From the end back: operation k's code goes to control byte k / 4,
        // its operands just before those of operation k + 1.
        std::size_t j = n;
        std::uint64_t k = ops;
        std::size_t w = file.size();
        for (std::size_t b = blocks; b-- > 0;) {
            const std::size_t s = b * block;
            if (b + 1 < blocks) {
                parser.restore(s, checkpoints[b]);
                parser.advance(block, made.data());
            }
            while (j > s) {
                const std::uint32_t c = load_choice(made.data(), j - s - 1);
                const unsigned code = c & 3u;
                const std::size_t length = c >> 2 & 0xFFu;
                --k;
                f[LZR_HEADER_SIZE + k / 4] |= static_cast<std::uint8_t>(code << (6 - 2 * (k % 4)));
                switch (code) {
                    case LZR_LITERAL:
                        f[--w] = input[j - 1];
                        break;
                    case LZR_LITERAL_RUN:
                        w -= length;
                        std::memcpy(f + w, input.data() + j - length, length);
                        f[--w] = static_cast<std::uint8_t>(length);
                        break;
                    case LZR_FILL:
                        f[--w] = input[j - 1];
                        f[--w] = static_cast<std::uint8_t>(length);
                        break;
                    default: {
                        const std::uint32_t distance = c >> 10;
                        f[--w] = static_cast<std::uint8_t>((distance & 0x0Fu) << 4 | length);
                        f[--w] = static_cast<std::uint8_t>(distance >> 4);
                        break;
                    }
                }
                j -= length;
            }
        }
        if (k != 0 || w != LZR_HEADER_SIZE + control) {
            *err = error_message(name,
                                 "internal error: the parse read back does not match its counts");
            return false;
        }
        *out = std::move(file);
    } catch (const std::bad_alloc&) {
        *err = error_message(name, "not enough memory to compress " + std::to_string(n) + " bytes");
        return false;
    }
    return true;
}

std::size_t block_for(std::size_t size) {
    return size <= LZR_ONE_PASS ? LZR_ONE_PASS : LZR_DEFAULT_BLOCK;
}

}  // namespace

bool lzr_input_fits(std::uint64_t size, std::string_view name, std::string* err) {
    if (size <= MAX_FIELD) {
        return true;
    }
    *err = error_message(name, "input of " + std::to_string(size) +
                                   " bytes is too large for an LZR file (its header holds sizes "
                                   "up to " +
                                   std::to_string(MAX_FIELD) + " bytes)");
    return false;
}

bool lzr_compress(ByteSpan input, std::uint32_t first_word, std::vector<std::uint8_t>* out,
                  std::string* err) {
    return compress(input, {}, first_word, block_for(input.size()), out, err);
}

bool lzr_compress(ByteSpan input, std::string_view name, std::uint32_t first_word,
                  std::vector<std::uint8_t>* out, std::string* err) {
    return compress(input, name, first_word, block_for(input.size()), out, err);
}

bool lzr_compress_blocks(ByteSpan input, std::string_view name, std::uint32_t first_word,
                         std::size_t block, std::vector<std::uint8_t>* out, std::string* err) {
    return compress(input, name, first_word, block, out, err);
}
