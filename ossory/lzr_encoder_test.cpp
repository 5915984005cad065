// The encoder against references written for the test: a naive match finder
// that compares every distance, a search over every parse the format allows,
// and the greedy encoder.
#include "ossory/lzr_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <random>

#include "ossory/lzr.h"
#include "ossory/lzr_test_support.h"
#include "testing/lzr_greedy.h"

namespace {

using Generator = std::function<Bytes(std::size_t, std::mt19937&)>;

Bytes random_over(std::size_t n, std::mt19937& rng, unsigned letters) {
    Bytes b(n);
    for (auto& byte : b) {
        byte = static_cast<std::uint8_t>('a' + rng() % letters);
    }
    return b;
}

// Flat areas, short gradients and 4-bit noise, as in an indexed image.
Bytes image_like(std::size_t n, std::mt19937& rng) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t x = i % 200;
        b[i] = static_cast<std::uint8_t>(x < 70 ? i / 3000 : x < 150 ? x / 6 : rng() % 16);
    }
    return b;
}

// Words of a small vocabulary, as in a script of dialogue.
Bytes text_like(std::size_t n, std::mt19937& rng) {
    static const char* const words[] = {"the ",    "sword ", "of ",     "Karo ", "lies ",
                                        "beyond ", "river ", "north. ", "gate ", "\n"};
    std::string s;
    while (s.size() < n) {
        s += words[rng() % 10];
    }
    s.resize(n);
    return bytes_of(s);
}

// Long runs of a few bytes, some longer than the window.
Bytes runs(std::size_t n, std::mt19937& rng) {
    Bytes b;
    while (b.size() < n) {
        const std::size_t length = rng() % 8 == 0 ? 4000 + rng() % 3000 : 1 + rng() % 40;
        b.insert(b.end(), std::min(length, n - b.size()), static_cast<std::uint8_t>(rng() % 3));
    }
    return b;
}

// Blocks of pseudo-random bytes that come back after various distances,
// some just inside the window and some just outside, with single bytes changed.
Bytes echoes(std::size_t n, std::mt19937& rng) {
    Bytes b = random_over(std::min<std::size_t>(n, 64), rng, 256);
    while (b.size() < n) {
        const std::size_t distances[] = {1, 2, 15, 16, 17, 4094, 4095, 4096, 4097};
        const std::size_t d = std::min(distances[rng() % 9], b.size());
        const std::size_t length = 1 + rng() % 40;
        for (std::size_t k = 0; k < length && b.size() < n; ++k) {
            b.push_back(rng() % 16 == 0 ? static_cast<std::uint8_t>(rng()) : b[b.size() - d]);
        }
    }
    return b;
}

// The longest match at `pos` by trying every distance, nearest first.
LzrMatch naive_match(const Bytes& in, std::size_t pos) {
    LzrMatch best;
    const std::size_t limit = std::min(LZR_MAX_MATCH, in.size() - pos);
    for (std::size_t d = 1; d <= std::min(pos, LZR_MAX_DISTANCE) && best.length < limit; ++d) {
        std::size_t length = 0;
        while (length < limit && in[pos + length] == in[pos - d + length]) {
            ++length;
        }
        if (length > best.length) {
            best = {static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(d)};
        }
    }
    return best;
}

Bytes decode(const Bytes& file) {
    Bytes out;
    std::string warning, err;
    EXPECT_TRUE(lzr_decode_file(file, "t.lzr", &out, &warning, &err)) << err;
    EXPECT_EQ(warning, "") << "an operation runs past the end";
    return out;
}

// The fewest bits of any encoding, by trying every operation the format has
// at every position: literal; literal runs and fills of every count that
// fits; back-references of every distance and length the decoder accepts,
// checked by copying as the decoder does. Operations that produce nothing
// (count or length 0) only add bits and are left out. What follows a
// position depends only on that position (the output so far is the input's
// start), so the minimum from each position is computed once.
std::uint64_t brute_force_bits(const Bytes& in) {
    const std::size_t n = in.size();
    std::vector<std::uint64_t> from(n + 1, std::numeric_limits<std::uint64_t>::max());
    from[n] = 0;
    Bytes out(n + 15);
    for (std::size_t i = n; i-- > 0;) {
        std::uint64_t best = 10 + from[i + 1];
        bool one_byte = true;  // input[i .. i + count) is one repeated byte
        for (std::size_t count = 1; count <= std::min<std::size_t>(255, n - i); ++count) {
            best = std::min(best, 2 + 8 * (1 + count) + from[i + count]);
            one_byte = one_byte && in[i + count - 1] == in[i];
            if (one_byte) {
                best = std::min(best, 18 + from[i + count]);
            }
        }
        for (std::size_t d = 1; d <= std::min<std::size_t>(i, 4095); ++d) {
            // The decoder's output so far is the input's start; copy as it does.
            std::copy(in.begin(), in.begin() + static_cast<long>(i), out.begin());
            for (std::size_t length = 1; length <= std::min<std::size_t>(15, n - i); ++length) {
                const std::size_t at = i + length - 1;
                out[at] = out[at - d];
                if (out[at] != in[at]) {
                    break;
                }
                best = std::min(best, 18 + from[i + length]);
            }
        }
        from[i] = best;
    }
    return from[0];
}

}  // namespace

TEST(LzrMatchFinder, FindsTheTrueLongestMatchAndNearestDistance) {
    const std::vector<std::pair<const char*, Generator>> generators = {
        {"random bytes", [](std::size_t n, std::mt19937& r) { return random_over(n, r, 256); }},
        {"two letters", [](std::size_t n, std::mt19937& r) { return random_over(n, r, 2); }},
        {"image-like", image_like},
        {"text-like", text_like},
        {"runs", runs},
        {"echoes", echoes},
    };
    std::mt19937 rng(14);
    for (const auto& [name, generate] : generators) {
        SCOPED_TRACE(name);
        // A little more than the window, so that sources leave it.
        const Bytes in = generate(4600, rng);
        LzrMatchFinder finder(in);
        std::size_t mismatches = 0;
        for (std::size_t pos = 0; pos < in.size(); ++pos) {
            const LzrMatch found = finder.find(pos);
            const LzrMatch expected = naive_match(in, pos);
            if (found != expected && ++mismatches <= 5) {
                ADD_FAILURE() << "position " << pos << ": found length " << found.length
                              << " distance " << found.distance << ", expected length "
                              << expected.length << " distance " << expected.distance;
            }
        }
        EXPECT_EQ(mismatches, 0u);
    }
}

TEST(LzrMatchFinder, StartsAfreshAfterReset) {
    std::mt19937 rng(3);
    Bytes in = echoes(9000, rng);
    const Bytes run = runs(1000, rng);
    std::copy(run.begin(), run.end(), in.begin() + 7500);  // a run across the restart
    LzrMatchFinder finder(in);
    for (std::size_t pos = 0; pos < 5000; ++pos) {
        finder.find(pos);
    }
    // Entering the 4095 positions before 8000 is enough for exact answers from there on.
    finder.reset(8000 - 4095);
    for (std::size_t pos = 8000 - 4095; pos < 8000; ++pos) {
        finder.find(pos);
    }
    for (std::size_t pos = 8000; pos < in.size(); ++pos) {
        ASSERT_EQ(finder.find(pos), naive_match(in, pos)) << "position " << pos;
    }
}

TEST(LzrCompress, SizeIsTheMinimumOverEveryParse) {
    // Every string over two letters up to 12 bytes, every one over three
    // letters up to 7, and random three-letter strings of 8 to 12.
    std::vector<Bytes> inputs;
    for (unsigned letters : {2u, 3u}) {
        const std::size_t longest = letters == 2 ? 12 : 7;
        for (std::size_t n = 0; n <= longest; ++n) {
            std::size_t combinations = 1;
            for (std::size_t k = 0; k < n; ++k) {
                combinations *= letters;
            }
            for (std::size_t c = 0; c < combinations; ++c) {
                Bytes b(n);
                for (std::size_t k = 0, v = c; k < n; ++k, v /= letters) {
                    b[k] = static_cast<std::uint8_t>('a' + v % letters);
                }
                inputs.push_back(std::move(b));
            }
        }
    }
    std::mt19937 rng(12);
    for (int k = 0; k < 1500; ++k) {
        inputs.push_back(random_over(8 + rng() % 5, rng, 3));
    }
    ASSERT_EQ(inputs.size(), 8191u + 3280u + 1500u);

    std::size_t failures = 0;
    for (const Bytes& in : inputs) {
        const std::uint64_t bits = brute_force_bits(in);
        const Bytes file = lzr_file_of(in);
        if (file.size() != 16 + (bits + 7) / 8 || decode(file) != in) {
            ADD_FAILURE() << "\"" << std::string(in.begin(), in.end()) << "\": " << file.size()
                          << " bytes, the smallest parse needs " << 16 + (bits + 7) / 8;
            if (++failures == 5) {
                break;
            }
        }
    }
}

TEST(LzrCompress, RoundTripsWithKnownSizes) {
    auto periodic = [](std::size_t period, std::size_t n) {
        Bytes b(n);
        for (std::size_t i = 0; i < n; ++i) {
            b[i] = static_cast<std::uint8_t>(i % period * 37 + period);
        }
        return b;
    };
    // 20 bytes that come back exactly `d` bytes later, with random filler
    // between (the same for every d, in which no 4 bytes repeat by chance).
    auto distant = [](std::size_t d) {
        std::mt19937 filler(4095);
        Bytes b(d + 20);
        for (std::size_t i = 0; i < b.size(); ++i) {
            b[i] = static_cast<std::uint8_t>(i < 20 ? 200 + i : filler());
        }
        std::copy(b.begin(), b.begin() + 20, b.begin() + static_cast<long>(d));
        return b;
    };
    std::mt19937 rng(2024);
    struct Case {
        std::string name;
        Bytes input;
        std::size_t size;  // the expected file size, 0 where only the round trip is checked
    };
    std::vector<Case> cases = {
        {"empty", {}, 16},
        {"one byte", {0x42}, 16 + 1 + 1},
        // One fill; a fill and a literal; two fills.
        {"run of 255", Bytes(255, 9), 16 + 1 + 2},
        {"run of 256", Bytes(256, 9), 16 + 1 + 3},
        {"run of 510", Bytes(510, 9), 16 + 1 + 4},
        {"run of 511", Bytes(511, 9), 16 + 1 + 5},
        // Within reach, the repeat is two back-references (15 + 5) after
        // 4095 bytes in 17 literal runs; one byte further, all 4116 bytes go
        // in 17 literal runs.
        {"distance 4095", distant(4095), 16 + 5 + 4095 + 17 + 4},
        {"distance 4096", distant(4096), 16 + 5 + 4116 + 17},
        {"random", random_over(70000, rng, 256), 0},
        {"image-like", image_like(70000, rng), 0},
        {"text-like", text_like(70000, rng), 0},
    };
    for (std::size_t period = 1; period <= 16; ++period) {
        // Period 1 is one fill. Otherwise the first period goes as literals
        // (a run from 6 on), the other m bytes as back-references of 15 and
        // what is left: nothing, a literal, or one more back-reference.
        const std::size_t m = 100 - period;
        const std::size_t head = period < 6 ? 10 * period : 10 + 8 * period;
        const std::size_t rest = m % 15 == 0 ? 0 : m % 15 == 1 ? 10 : 18;
        const std::size_t bits = period == 1 ? 18 : head + 18 * (m / 15) + rest;
        cases.push_back(
            {"period " + std::to_string(period), periodic(period, 100), 16 + (bits + 7) / 8});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = lzr_file_of(c.input, 0xC0FFEE);
        ASSERT_GE(file.size(), 16u);
        EXPECT_EQ(load_le32(file.data()), 0xC0FFEEu);
        EXPECT_EQ(load_le32(file.data() + 12), c.input.size());
        EXPECT_EQ(decode(file), c.input);
        if (c.size != 0) {
            EXPECT_EQ(file.size(), c.size);
        }
        EXPECT_LE(file.size(), lzr_encode_greedy(c.input).size());
    }
}

TEST(LzrCompress, NeverLargerThanGreedy) {
    const std::vector<std::pair<const char*, Generator>> generators = {
        {"random bytes", [](std::size_t n, std::mt19937& r) { return random_over(n, r, 256); }},
        {"two letters", [](std::size_t n, std::mt19937& r) { return random_over(n, r, 2); }},
        {"image-like", image_like},
        {"text-like", text_like},
        {"runs", runs},
        {"echoes", echoes},
    };
    std::mt19937 rng(77);
    for (const auto& [name, generate] : generators) {
        std::uint64_t optimal = 0, greedy = 0;
        for (int k = 0; k < 40; ++k) {
            const Bytes in = generate(rng() % 3000, rng);
            const std::size_t size = lzr_file_of(in).size();
            const std::size_t baseline = lzr_encode_greedy(in).size();
            EXPECT_LE(size, baseline) << name << ", " << in.size() << " bytes";
            optimal += size;
            greedy += baseline;
        }
        std::printf("%-12s optimal %8llu bytes, greedy %8llu\n", name,
                    static_cast<unsigned long long>(optimal),
                    static_cast<unsigned long long>(greedy));
    }
}

TEST(LzrCompress, EveryBlockSizeGivesTheSameFile) {
    std::mt19937 rng(5);
    Bytes in = image_like(6000, rng);
    for (const Bytes& more : {runs(5000, rng), echoes(5000, rng), text_like(3000, rng)}) {
        in.insert(in.end(), more.begin(), more.end());
    }
    const Bytes whole = lzr_file_of(in, 7);
    // 0 means the least, 256.
    for (std::size_t block : {0, 257, 1000, 4111, 12000}) {
        SCOPED_TRACE(block);
        Bytes file;
        std::string err;
        ASSERT_TRUE(lzr_compress_blocks(in, "b", 7, block, &file, &err)) << err;
        EXPECT_EQ(file, whole);
    }
}

TEST(LzrCompress, InputTooLargeForTheHeader) {
    // 4 GiB of address space that is never touched: the size alone is refused.
    const std::size_t size = std::size_t{1} << 32;
    const ReservedAddressSpace space(size);
    ASSERT_NE(space.data(), nullptr);
    const ByteSpan huge(space.data(), size);
    Bytes out = {1, 2, 3};
    std::string err;
    EXPECT_FALSE(lzr_compress(huge, "huge.tm2", 0, &out, &err));
    EXPECT_EQ(err,
              "Error: huge.tm2: input of 4294967296 bytes is too large for an LZR file (its "
              "header holds sizes up to 4294967295 bytes)");
    EXPECT_FALSE(lzr_compress(huge, 0, &out, &err));
    EXPECT_EQ(err.rfind("Error: input of 4294967296 bytes is too large", 0), 0u) << err;
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
}
