#include "ossory/lzr.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

#include "ossory/lzr_test_support.h"
#include "testing/test_support.h"

namespace {

// A complete LZR file from its header fields and streams; the control bit count covers every code
// of `control`.
Bytes lzr_file(const Bytes& control, const Bytes& operands, std::uint32_t output_size) {
    Bytes file;
    append_le32(file, 0);
    append_le32(file, static_cast<std::uint32_t>(control.size() * 8));
    append_le32(file, static_cast<std::uint32_t>(operands.size()));
    append_le32(file, output_size);
    file.insert(file.end(), control.begin(), control.end());
    file.insert(file.end(), operands.begin(), operands.end());
    return file;
}

Bytes without_last(Bytes b) {
    b.pop_back();
    return b;
}

struct DecodeCase {
    const char* name;
    Bytes control;
    Bytes operands;
    std::size_t output_size;
    LzrStatus status;
    Bytes output;                // bytes produced (the start of the buffer)
    std::size_t operand_offset;  // where the cut or failing operation began
    std::size_t output_offset;
};

const LzrStatus OK = LzrStatus::complete;
const LzrStatus CLIPPED = LzrStatus::clipped;

}  // namespace

TEST(LzrDecode, CasesByTable) {
    const std::vector<DecodeCase> cases = {
        {"four literals", {0x00}, {0x41, 0x42, 0x43, 0x44}, 4, OK, {0x41, 0x42, 0x43, 0x44}, 0, 0},
        {"literal run leaves codes unused",
         {0x40},
         {3, 0x78, 0x79, 0x7A},
         3,
         OK,
         {0x78, 0x79, 0x7A},
         0,
         0},
        {"fill", {0x80}, {5, 0x2A}, 5, OK, Bytes(5, 0x2A), 0, 0},
        {"literal then overlapping back-reference",
         {0x30},
         {0x61, 0x00, 0x15},
         6,
         OK,
         Bytes(6, 0x61),
         0,
         0},
        {"back-reference longer than distance 2 repeats",
         {0x70},
         {2, 'a', 'b', 0x00, 0x25},
         7,
         OK,
         bytes_of("abababa"),
         0,
         0},
        {"fill of 0 consumes its value byte", {0x80}, {0, 0x2A, 0x41}, 1, OK, {0x41}, 0, 0},
        {"literal run of 0 consumes its count only", {0x40}, {0, 0x41}, 1, OK, {0x41}, 0, 0},
        {"back-reference of length 0", {0x30}, {0x61, 0x00, 0x10, 0x62}, 2, OK, {0x61, 0x62}, 0, 0},
        {"output size 0 reads nothing", {}, {}, 0, OK, {}, 0, 0},
        {"codes continue into the next control byte",
         {0x00, 0x80},
         {1, 2, 3, 4, 3, 9},
         7,
         OK,
         {1, 2, 3, 4, 9, 9, 9},
         0,
         0},
        // Operations running past the output size are cut there.
        {"literal run cut", {0x40}, {5, 'a', 'b', 'c'}, 3, CLIPPED, bytes_of("abc"), 0, 0},
        {"fill cut",
         {0x00, 0x80},
         {7, 1, 2, 3, 9, 0x2A},
         6,
         CLIPPED,
         {7, 1, 2, 3, 0x2A, 0x2A},
         4,
         4},
        {"back-reference cut", {0x30}, {0x61, 0x00, 0x1F}, 4, CLIPPED, Bytes(4, 0x61), 1, 1},
        // Malformed streams.
        {"distance 0", {0x30}, {0x61, 0x00, 0x02}, 3, LzrStatus::bad_distance, {0x61}, 1, 1},
        {"distance 0 of length 0 is a no-op",
         {0x30},
         {0x61, 0x00, 0x00, 0x62},
         2,
         OK,
         {0x61, 0x62},
         0,
         0},
        {"distance past the start",
         {0x30},
         {0x61, 0x00, 0x22},
         3,
         LzrStatus::bad_distance,
         {0x61},
         1,
         1},
        {"control stream too short",
         {0x00},
         {1, 2, 3, 4, 5},
         5,
         LzrStatus::control_exhausted,
         {1, 2, 3, 4},
         4,
         4},
        {"literal without operand", {0x00}, {1, 2}, 4, LzrStatus::operand_exhausted, {1, 2}, 2, 2},
        {"literal run without count", {0x10}, {1}, 4, LzrStatus::operand_exhausted, {1}, 1, 1},
        {"literal run short of bytes",
         {0x40},
         {5, 'a', 'b'},
         5,
         LzrStatus::operand_exhausted,
         {},
         0,
         0},
        {"fill without value", {0x80}, {5}, 5, LzrStatus::operand_exhausted, {}, 0, 0},
        {"back-reference with one byte",
         {0x30},
         {0x61, 0x00},
         3,
         LzrStatus::operand_exhausted,
         {0x61},
         1,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Guard bytes after the output catch any write past its end.
        Bytes buffer(c.output_size + 32, 0xEE);
        const LzrDecodeResult r =
            lzr_decode(MutableByteSpan(buffer.data(), c.output_size), c.operands, c.control);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.end, c.output.size());
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(r.end)), c.output);
        EXPECT_EQ(Bytes(buffer.begin() + static_cast<long>(c.output_size), buffer.end()),
                  Bytes(32, 0xEE));
        if (c.status != OK) {
            EXPECT_EQ(r.operand_offset, c.operand_offset);
            EXPECT_EQ(r.output_offset, c.output_offset);
        }
    }
}

TEST(LzrDecodeFile, MessagesNameFileAndPosition) {
    struct Case {
        Bytes file;
        bool ok;
        std::string message;  // error or warning
    };
    // Bit counts within 7 of 2^32, whose (bits + 7) >> 3 wraps to 0 bytes in
    // 32 bits: half a gigabyte of control stream, which the file lacks.
    auto with_control_bits = [](std::uint32_t bits) {
        Bytes file = lzr_file({}, {}, 0);
        store_le32(file.data() + 4, bits);
        return file;
    };
    const std::vector<Case> cases = {
        {Bytes(15, 0), false,
         "Error: f.lzr: the file of 15 bytes is shorter than the 16-byte LZR header"},
        {without_last(lzr_file({0, 0}, {}, 0)), false,
         "Error: f.lzr: the control stream of 2 bytes does not fit in the file of 17 "
         "bytes (offset 0x10)"},
        {without_last(lzr_file({0}, {1, 2}, 2)), false,
         "Error: f.lzr: the operand stream of 2 bytes does not fit in the file of 18 "
         "bytes (offset 0x11)"},
        {lzr_file({0}, {1, 2}, 511), false,
         "Error: f.lzr: the output size 511 is more than the streams can produce (at most "
         "510 bytes from 1 control and 2 operand bytes)"},
        {lzr_file({0xA0}, {255, 1, 255, 2}, 510), true, ""},
        {with_control_bits(0xFFFFFFFF), false,
         "Error: f.lzr: the control stream of 536870912 bytes does not fit in the file of 16 "
         "bytes (offset 0x10)"},
        {with_control_bits(0xFFFFFFF9), false,
         "Error: f.lzr: the control stream of 536870912 bytes does not fit in the file of 16 "
         "bytes (offset 0x10)"},
        {with_control_bits(0xFFFFFFF8), false,
         "Error: f.lzr: the control stream of 536870911 bytes does not fit in the file of 16 "
         "bytes (offset 0x10)"},
        {lzr_file({0x30}, {0x61, 0x00, 0x22}, 3), false,
         "Error: f.lzr: a back-reference has distance 2, but only 1 bytes precede it "
         "(operation 1, operand offset 0x1, file offset 0x12, output offset 0x1)"},
        {lzr_file({0x30}, {0x61, 0x00, 0x02}, 3), false,
         "Error: f.lzr: a back-reference has distance 0 (operation 1, operand offset 0x1, "
         "file offset 0x12, output offset 0x1)"},
        {lzr_file({0x00}, {1, 2, 3, 4, 5}, 5), false,
         "Error: f.lzr: the control stream ends after 4 operations, with 4 of 5 output "
         "bytes made (operation 4, operand offset 0x4, file offset 0x15, output offset "
         "0x4)"},
        {lzr_file({0x40}, {5, 'a', 'b'}, 5), false,
         "Error: f.lzr: the operand stream ends inside a literal run (operation 0, "
         "operand offset 0x0, file offset 0x11, output offset 0x0)"},
        {lzr_file({0x08}, {1, 2, 9, 7}, 4), true,
         "Warning: f.lzr: a fill asks for 9 bytes, more than fit in the output size 4; "
         "cut at 4 (operation 2, operand offset 0x2, file offset 0x13, output offset 0x2)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        Bytes out;
        std::string warning, err;
        ASSERT_EQ(lzr_decode_file(c.file, "f.lzr", &out, &warning, &err), c.ok);
        EXPECT_EQ(c.ok ? warning : err, c.message);
    }
}

namespace {

using Generator = Bytes (*)(std::size_t n, std::mt19937& rng);

Bytes random_bytes(std::size_t n, std::mt19937& rng) {
    Bytes b(n);
    for (auto& x : b) {
        x = static_cast<std::uint8_t>(rng());
    }
    return b;
}

// Random content that repeats itself at a fixed distance, with a few changes.
template <std::size_t D>
Bytes repeats(std::size_t n, std::mt19937& rng) {
    Bytes b = random_bytes(n, rng);
    for (std::size_t i = D; i < n; ++i) {
        if (rng() % 40 != 0) {
            b[i] = b[i - D];
        }
    }
    return b;
}

Bytes runs(std::size_t n, std::mt19937& rng) {
    Bytes b;
    while (b.size() < n) {
        b.insert(b.end(), std::min<std::size_t>(rng() % 600 + 1, n - b.size()),
                 static_cast<std::uint8_t>(rng() % 4));
    }
    return b;
}

// An indexed image: a header, a palette and rows of flat areas, gradients and noise.
Bytes image_like(std::size_t n, std::mt19937& rng) {
    Bytes b = bytes_of("TIM2\x04");
    for (int i = 0; b.size() < n && i < 64; ++i) {
        b.push_back(static_cast<std::uint8_t>(i * 4));
    }
    while (b.size() < n) {
        const std::size_t row = b.size() % 97;
        const auto base = static_cast<std::uint8_t>((b.size() / 512) % 16);
        b.push_back(row < 40 ? base
                             : static_cast<std::uint8_t>(row < 70 ? base + row / 8 : rng() % 16));
    }
    b.resize(n);
    return b;
}

// How often each operation code appears among the codes the header declares.
std::array<std::size_t, 4> code_counts(const Bytes& file) {
    std::array<std::size_t, 4> counts{};
    const std::uint32_t codes = load_le32(file.data() + 4) / 2;
    for (std::uint32_t k = 0; k < codes; ++k) {
        ++counts[(file[16 + k / 4] >> (6 - 2 * (k % 4))) & 3];
    }
    return counts;
}

}  // namespace

TEST(LzrRoundTrip, DecodesWhatWasEncoded) {
    const std::vector<std::pair<const char*, Generator>> generators = {
        {"random", random_bytes},   {"runs", runs},
        {"distance 1", repeats<1>}, {"distance 2", repeats<2>},
        {"distance 3", repeats<3>}, {"distance 4095", repeats<4095>},
        {"image", image_like},
    };
    const std::size_t sizes[] = {0,  1,   2,   3,   5,    6,    15,   16,
                                 17, 255, 256, 257, 4095, 4096, 4097, 70001};
    std::mt19937 rng(20240611);
    for (const auto& [name, generate] : generators) {
        for (std::size_t n : sizes) {
            SCOPED_TRACE(std::string(name) + ", " + std::to_string(n) + " bytes");
            const Bytes input = generate(n, rng);
            const Bytes file = lzr_file_of(input, 0x1234);
            EXPECT_EQ(load_le32(file.data()), 0x1234u);
            EXPECT_EQ(load_le32(file.data() + 12), n);
            Bytes out;
            std::string warning, err;
            ASSERT_TRUE(lzr_decode_file(file, "rt", &out, &warning, &err)) << err;
            EXPECT_EQ(warning, "");
            EXPECT_EQ(out, input);
            if (n > 20000 && std::string(name) != "random") {
                EXPECT_LT(file.size(), n / 2) << "compressible content should shrink";
            }
        }
    }
}

TEST(LzrEncode, UsesEachOperationWherePays) {
    std::mt19937 rng(7);
    const Bytes noise = random_bytes(300, rng);
    Bytes pattern = random_bytes(9, rng);
    for (int i = 0; i < 5; ++i) {
        pattern.insert(pattern.end(), pattern.begin(), pattern.begin() + 9);
    }
    const struct {
        const char* name;
        Bytes input;
        unsigned code;
    } cases[] = {
        {"a few distinct bytes", {1, 2, 3}, LZR_LITERAL},
        {"noise", noise, LZR_LITERAL_RUN},
        {"a run", Bytes(600, 0x55), LZR_FILL},
        {"a repeated pattern", pattern, LZR_BACK_REFERENCE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto counts = code_counts(lzr_file_of(c.input));
        std::size_t others = 0;
        for (unsigned code = 0; code < 4; ++code) {
            others += code == c.code ? 0 : counts[code];
        }
        EXPECT_GT(counts[c.code], 0u);
        EXPECT_LE(others, 2u) << "the suitable operation should do nearly all the work";
    }
    EXPECT_EQ(code_counts(lzr_file_of(Bytes(510, 0))), (std::array<std::size_t, 4>{0, 0, 2, 0}));
}

TEST(LzrRobustness, TruncatedCorruptedAndShortenedFiles) {
    std::mt19937 rng(99);
    Bytes input = image_like(3000, rng);
    const Bytes noise = random_bytes(700, rng);
    input.insert(input.end(), noise.begin(), noise.end());
    const Bytes file = lzr_file_of(input);

    // Every result is a clean error naming the file, or exactly output_size bytes.
    auto check = [](const Bytes& f) {
        Bytes out;
        std::string warning, err;
        if (lzr_decode_file(f, "x.lzr", &out, &warning, &err)) {
            EXPECT_EQ(out.size(), load_le32(f.data() + 12));
        } else {
            EXPECT_EQ(err.rfind("Error: x.lzr: ", 0), 0u) << err;
        }
    };
    for (std::size_t cut = 0; cut < file.size(); ++cut) {
        Bytes f(file.begin(), file.begin() + static_cast<long>(cut));
        check(f);
        if (cut >= LZR_HEADER_SIZE) {
            // Keep the header consistent with the cut so the decoder meets the short streams.
            const std::uint32_t control = (load_le32(file.data() + 4) + 7) / 8;
            const std::uint64_t rest = cut - LZR_HEADER_SIZE;
            store_le32(f.data() + 4,
                       static_cast<std::uint32_t>(std::min<std::uint64_t>(rest, control) * 8));
            store_le32(f.data() + 8,
                       static_cast<std::uint32_t>(rest > control ? rest - control : 0));
            check(f);
        }
    }
    for (int round = 0; round < 3000; ++round) {
        Bytes f = file;
        for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; --flips) {
            // Mostly the streams; sometimes the header too.
            const std::size_t at = rng() % 8 == 0 ? rng() % 16 : 16 + rng() % (f.size() - 16);
            f[at] = static_cast<std::uint8_t>(rng());
        }
        check(f);
    }
    // A smaller output size yields exactly the start of the content, the last operation cut.
    for (std::uint32_t size = 0; size <= input.size(); size += 7) {
        Bytes f = file;
        store_le32(f.data() + 12, size);
        Bytes out;
        std::string warning, err;
        ASSERT_TRUE(lzr_decode_file(f, "x.lzr", &out, &warning, &err)) << err;
        EXPECT_EQ(out, Bytes(input.begin(), input.begin() + size));
    }
}

namespace {

// The decoder written as plainly as possible: one operation at a time, every
// byte checked, back-references copied one byte at a time. The library's
// decoder takes shortcuts far from the ends of its buffers; it must agree
// with this one on every stream, valid or not.
LzrDecodeResult plain_decode(MutableByteSpan out, ByteSpan in, ByteSpan control) {
    LzrDecodeResult r;
    std::size_t pos = 0, at = 0, operation = 0;
    auto stop = [&](LzrStatus status, unsigned code, std::size_t op_at, std::size_t op_pos,
                    std::size_t requested = 0, std::size_t distance = 0) {
        r = {status, pos, code, operation, op_at, op_pos, requested, distance};
        return r;
    };
    for (std::size_t next = 0; pos < out.size(); ++next) {
        if (next == control.size()) {
            return stop(LzrStatus::control_exhausted, 0, at, pos);
        }
        for (int shift = 6; shift >= 0 && pos < out.size(); shift -= 2, ++operation) {
            const unsigned code = (control[next] >> shift) & 3u;
            const std::size_t op_at = at, op_pos = pos;
            const std::size_t need = code == LZR_LITERAL || code == LZR_LITERAL_RUN ? 1 : 2;
            if (in.size() - at < need) {
                return stop(LzrStatus::operand_exhausted, code, op_at, op_pos);
            }
            std::size_t count = in[at], distance = 0;
            if (code == LZR_LITERAL) {
                count = 1;
            } else if (code == LZR_LITERAL_RUN) {
                ++at;
            } else if (code == LZR_BACK_REFERENCE) {
                distance = std::size_t{in[at]} << 4 | in[at + 1] >> 4;
                count = in[at + 1] & 0x0Fu;
                if (count > 0 && (distance == 0 || distance > pos)) {
                    return stop(LzrStatus::bad_distance, code, op_at, op_pos, count, distance);
                }
            }
            const std::size_t take = std::min(count, out.size() - pos);
            if (code == LZR_LITERAL_RUN && in.size() - at < take) {
                return stop(LzrStatus::operand_exhausted, code, op_at, op_pos);
            }
            for (std::size_t k = 0; k < take; ++k, ++pos) {
                out[pos] = code == LZR_FILL             ? in[at + 1]
                           : code == LZR_BACK_REFERENCE ? out[pos - distance]
                                                        : in[at + (code == LZR_LITERAL ? 0 : k)];
            }
            at += code == LZR_LITERAL_RUN ? take : code == LZR_LITERAL ? 1 : 2;
            if (take < count) {
                return stop(LzrStatus::clipped, code, op_at, op_pos, count);
            }
        }
    }
    r.end = pos;
    return r;
}

// A stream of mostly valid operations with every count and length, distances
// short (overlapping copies) and long, and now and then a bad distance.
void random_stream(std::mt19937& rng, std::size_t operations, Bytes* control, Bytes* operands) {
    std::size_t produced = 0;
    for (std::size_t i = 0; i < operations; ++i) {
        const unsigned code = rng() % 4;
        if (i % 4 == 0) {
            control->push_back(0);
        }
        control->back() = static_cast<std::uint8_t>(control->back() | code << (6 - 2 * (i % 4)));
        if (code == LZR_LITERAL) {
            operands->push_back(static_cast<std::uint8_t>(rng()));
            produced += 1;
        } else if (code == LZR_LITERAL_RUN || code == LZR_FILL) {
            const std::size_t count = rng() % 3 == 0 ? rng() % 256 : rng() % 40;
            operands->push_back(static_cast<std::uint8_t>(count));
            for (std::size_t k = 0; k < (code == LZR_FILL ? 1 : count); ++k) {
                operands->push_back(static_cast<std::uint8_t>(rng()));
            }
            produced += count;
        } else {
            const std::size_t length = rng() % 16;
            std::size_t distance = rng() % 2 == 0 ? 1 + rng() % 20 : 1 + rng() % 4095;
            if (rng() % 500 != 0) {
                distance = std::min(distance, std::max<std::size_t>(produced, 1));
            }
            operands->push_back(static_cast<std::uint8_t>(distance >> 4));
            operands->push_back(static_cast<std::uint8_t>((distance & 0x0F) << 4 | length));
            produced += length;
        }
    }
}

}  // namespace

TEST(LzrDecode, AgreesWithPlainDecoderOnRandomStreams) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE(round);
        Bytes control, operands;
        random_stream(rng, 50 + rng() % 4000, &control, &operands);
        // Output sizes around and beyond what the streams produce; streams
        // sometimes cut short, so every error meets the shortcut path too.
        const std::size_t output_size = rng() % (operands.size() * 3 + 1);
        if (rng() % 4 == 0) {
            operands.resize(rng() % (operands.size() + 1));
        }
        Bytes expected(output_size + 32, 0xEE), actual(output_size + 32, 0xEE);
        const LzrDecodeResult want =
            plain_decode(MutableByteSpan(expected.data(), output_size), operands, control);
        const LzrDecodeResult got =
            lzr_decode(MutableByteSpan(actual.data(), output_size), operands, control);
        ASSERT_EQ(got.status, want.status);
        ASSERT_EQ(got.end, want.end);
        EXPECT_EQ(got.code, want.code);
        EXPECT_EQ(got.operation, want.operation);
        EXPECT_EQ(got.operand_offset, want.operand_offset);
        EXPECT_EQ(got.output_offset, want.output_offset);
        EXPECT_EQ(got.requested, want.requested);
        EXPECT_EQ(got.distance, want.distance);
        ASSERT_TRUE(std::equal(actual.begin(), actual.begin() + static_cast<long>(got.end),
                               expected.begin()));
        // Nothing is ever written past the output.
        EXPECT_EQ(Bytes(actual.begin() + static_cast<long>(output_size), actual.end()),
                  Bytes(32, 0xEE));
        // The check that runs before the output is allocated comes to the same end.
        const LzrDecodeResult checked = lzr_check(output_size, operands, control);
        EXPECT_EQ(checked.status, want.status);
        EXPECT_EQ(checked.end, want.end);
        EXPECT_EQ(checked.operation, want.operation);
        EXPECT_EQ(checked.operand_offset, want.operand_offset);
        EXPECT_EQ(checked.output_offset, want.output_offset);
        EXPECT_EQ(checked.requested, want.requested);
        EXPECT_EQ(checked.distance, want.distance);
    }
}
