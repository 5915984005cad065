// The TIM2 parser on files laid out in the test: what it reads, and the
// clean errors for every size or value it must refuse.
#include "tm2png/tim2.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/text.h"
#include "tools/tim2_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    put16(b, at, v);
    put16(b, at + 2, v >> 16);
}

/// An 8-bit picture of 8x4 with three mipmap levels and 5 bytes of user
/// data, 64 colours of 16 bits in CSM1; then a 16-bit direct picture of 3x2.
Bytes two_pictures(std::uint8_t format_id) {
    Tim2PictureContents indexed;
    indexed.image_type = TIM2_INDEXED8;
    indexed.width = 8;
    indexed.height = 4;
    indexed.clut_type = 1;
    indexed.clut_colours = 64;
    indexed.levels = {Bytes(32, 7), Bytes(8, 1), Bytes(2, 2)};
    indexed.clut = Bytes(128, 0xAB);
    indexed.user_data = {'u', 's', 'e', 'r', '!'};
    Tim2PictureContents direct;
    direct.image_type = TIM2_DIRECT16;
    direct.width = 3;
    direct.height = 2;
    direct.levels = {Bytes(12, 0x42)};
    return build_tim2({indexed, direct}, format_id);
}

std::string parse_error(const Bytes& file) {
    Tim2File parsed;
    std::string err;
    EXPECT_FALSE(parse_tim2(file, "t.tm2", &parsed, &err));
    return err;
}

}  // namespace

TEST(Tim2Parse, ReadsEveryFieldAndLevel) {
    for (std::uint8_t format_id : {std::uint8_t{0}, std::uint8_t{1}}) {
        SCOPED_TRACE(static_cast<int>(format_id));
        const std::uint64_t unit = format_id == 1 ? 128 : 16;
        const Bytes file = two_pictures(format_id);
        Tim2File parsed;
        std::string err;
        ASSERT_TRUE(parse_tim2(file, "t.tm2", &parsed, &err)) << err;
        EXPECT_EQ(parsed.format_id, format_id);
        ASSERT_EQ(parsed.pictures.size(), 2u);

        const Tim2Picture& p = parsed.pictures[0];
        const std::uint64_t first = format_id == 1 ? 0x80 : 16;
        // 48 + mipmap header (16 + 3 x 4) + 5 bytes of user data, padded.
        const std::uint64_t header = (48 + 28 + 5 + unit - 1) / unit * unit;
        EXPECT_EQ(p.offset, first);
        EXPECT_EQ(p.header_size, header);
        EXPECT_EQ(p.user_data_size(), header - 76);
        EXPECT_EQ(p.image_offset, first + header);
        EXPECT_EQ(p.width, 8);
        EXPECT_EQ(p.clut_colours, 64);
        EXPECT_EQ(p.palette_entries(), 64u);
        EXPECT_EQ(p.palette_count(), 1u);
        ASSERT_EQ(p.levels.size(), 3u);
        const std::uint32_t dims[3][3] = {{8, 4, 32}, {4, 2, 8}, {2, 1, 2}};
        std::uint64_t at = p.image_offset;
        for (int l = 0; l < 3; ++l) {
            EXPECT_EQ(p.levels[l].offset, at) << l;
            EXPECT_EQ(p.levels[l].width, dims[l][0]) << l;
            EXPECT_EQ(p.levels[l].height, dims[l][1]) << l;
            EXPECT_EQ(p.levels[l].size, (dims[l][2] + unit - 1) / unit * unit) << l;
            at += p.levels[l].size;
        }
        EXPECT_EQ(p.clut_offset, at);
        // CSM1: entry 8 of the palette is stored as entry 16 and back.
        EXPECT_EQ(p.clut_entry_offset(8), p.clut_offset + 16 * 2);
        EXPECT_EQ(p.clut_entry_offset(17), p.clut_offset + 9 * 2);
        EXPECT_EQ(p.clut_entry_offset(40), p.clut_offset + 48 * 2);

        const Tim2Picture& q = parsed.pictures[1];
        EXPECT_EQ(q.offset, p.offset + p.total_size);
        EXPECT_EQ(q.offset + q.total_size, file.size());
        ASSERT_EQ(q.levels.size(), 1u);
        EXPECT_EQ(q.levels[0].size, 12u);
        EXPECT_FALSE(q.indexed());
    }
}

TEST(Tim2Parse, PalettesOfEachKind) {
    Tim2Picture p;
    p.image_type = TIM2_INDEXED4;
    p.clut_colours = 48;
    EXPECT_EQ(p.palette_entries(), 16u);
    EXPECT_EQ(p.palette_count(), 3u);
    p.image_type = TIM2_INDEXED8;
    p.clut_colours = 600;
    EXPECT_EQ(p.palette_entries(), 256u);
    EXPECT_EQ(p.palette_count(), 3u);
    // Which CLUTs CSM1 swizzles: 8-bit ones, and 4-bit ones with bit 6 set.
    const struct {
        std::uint8_t image_type, clut_type;
        bool swizzled;
    } cases[] = {{TIM2_INDEXED8, 0x03, true},  {TIM2_INDEXED8, 0x83, false},
                 {TIM2_INDEXED4, 0x03, false}, {TIM2_INDEXED4, 0x43, true},
                 {TIM2_INDEXED4, 0xC3, false}, {TIM2_DIRECT32, 0x03, false}};
    for (const auto& c : cases) {
        p.image_type = c.image_type;
        p.clut_type = c.clut_type;
        EXPECT_EQ(p.clut_swizzled(), c.swizzled) << int(c.image_type) << " " << int(c.clut_type);
    }
}

TEST(Tim2Parse, RefusesWhatItCannotRead) {
    const Bytes good = two_pictures(0);
    const std::size_t p0 = 16;
    Tim2File parsed;
    std::string err;
    ASSERT_TRUE(parse_tim2(good, "t.tm2", &parsed, &err));
    const std::size_t p1 = parsed.pictures[1].offset;
    const struct {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::string message;
    } cases[] = {
        {"magic", [](Bytes& b) { b[3] = '3'; },
         "not a TIM2 image (it does not start with \"TIM2\")"},
        {"short", [](Bytes& b) { b.resize(10); },
         "the file of 10 bytes is shorter than the 16-byte TIM2 header"},
        {"format id", [](Bytes& b) { b[5] = 2; },
         "format id 2 is neither 0 (16-byte alignment) nor 1 (128-byte alignment) (offset 0x5)"},
        {"no picture", [](Bytes& b) { put16(b, 6, 0); },
         "the picture count is 0, so the file holds no picture (offset 0x6)"},
        {"count too high", [](Bytes& b) { put16(b, 6, 3); },
         "the 48-byte picture header runs past the end of the file of " +
             std::to_string(good.size()) + " bytes (picture 2, offset " + hex(good.size()) + ")"},
        {"header size", [&](Bytes& b) { put16(b, p1 + 12, 40); },
         "header size 40 is less than 48 bytes (picture 1, offset " + hex(p1 + 12) + ")"},
        {"sum", [&](Bytes& b) { put32(b, p1, 1000); },
         "sizes do not add up: total 1000 bytes, but header 48 + image 16 + CLUT 0 = "
         "64 (picture 1, offset " +
             hex(p1) + ")"},
        // A total that only matches the sum of the sizes when added in 32 bits.
        {"wrapping sum",
         [&](Bytes& b) {
             put32(b, p1 + 8, 0xFFFFFFF0);
             put32(b, p1, 48 - 16);
         },
         "sizes do not add up: total 32 bytes, but header 48 + image 4294967280 + CLUT "
         "0 = 4294967328 (picture 1, offset " +
             hex(p1) + ")"},
        {"past the end",
         [&](Bytes& b) {
             put32(b, p1 + 8, 0x10000);
             put32(b, p1, 48 + 0x10000);
         },
         "the picture of 65584 bytes runs past the end of the file of " +
             std::to_string(good.size()) + " bytes (picture 1, offset " + hex(p1) + ")"},
        {"image type 0", [&](Bytes& b) { b[p1 + 19] = 0; },
         "image type 0 is none of 1-5 (16, 24, 32-bit direct, 4, 8-bit indexed) "
         "(picture 1, offset " +
             hex(p1 + 19) + ")"},
        {"image type 6", [&](Bytes& b) { b[p1 + 19] = 6; },
         "image type 6 is none of 1-5 (16, 24, 32-bit direct, 4, 8-bit indexed) "
         "(picture 1, offset " +
             hex(p1 + 19) + ")"},
        {"no width", [&](Bytes& b) { put16(b, p1 + 20, 0); },
         "the picture is 0x2, without pixels (picture 1, offset " + hex(p1 + 20) + ")"},
        {"pixels past the image", [&](Bytes& b) { put16(b, p1 + 22, 3); },
         "image data of 18 bytes up to mipmap level 0 is more than the image size 16 "
         "(picture 1, offset " +
             hex(p1 + 8) + ")"},
        {"mipmap header", [&](Bytes& b) { b[p1 + 17] = 2; },
         "the mipmap header of 2 levels does not fit in the header of 48 bytes "
         "(picture 1, offset " +
             hex(p1 + 12) + ")"},
        {"mipmap level size", [&](Bytes& b) { put32(b, p0 + 48 + 16 + 4, 7); },
         "mipmap level 1 of 4x2 pixels needs 8 bytes, but its size is 7 (picture 0, offset " +
             hex(p0 + 68) + ")"},
        {"no colours", [&](Bytes& b) { put16(b, p0 + 14, 0); },
         "an indexed picture without CLUT colours (picture 0, offset " + hex(p0 + 14) + ")"},
        {"CLUT format", [&](Bytes& b) { b[p0 + 18] = 0x04; },
         "CLUT type 0x4 has colour format 4, none of 1-3 (16, 24, 32-bit) (picture 0, offset " +
             hex(p0 + 18) + ")"},
        {"CLUT size", [&](Bytes& b) { put16(b, p0 + 14, 96); },
         "CLUT of 96 colours needs 192 bytes, but its size is 128 (picture 0, offset " +
             hex(p0 + 4) + ")"},
        {"CSM1 blocks", [&](Bytes& b) { put16(b, p0 + 14, 40); },
         "a CSM1 CLUT of 40 colours is not made of whole blocks of 32 (picture 0, offset " +
             hex(p0 + 14) + ")"},
        {"colour beyond the palette",
         [&](Bytes& b) { b[parsed.pictures[0].image_offset + 9] = 64; },
         "pixel (1, 1) uses colour 64 of a palette of 64 colours (picture 0, offset " +
             hex(parsed.pictures[0].image_offset + 9) + ")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file = good;
        c.damage(file);
        EXPECT_EQ(parse_error(file), "Error: t.tm2: " + c.message);
    }
}

TEST(Tim2Parse, RefusesMipmapLevelsSmallerThanAPixel) {
    // Every level halves both sides (a side of 1 stays 1), so a picture has
    // levels only down to 1x1: a count beyond that asks for levels of no
    // pixel at all, and is refused before any level is worked out.
    const struct {
        std::uint16_t width, height;
        std::uint8_t count;
        unsigned most;  // levels the picture can have; 0: the count is fine
    } cases[] = {
        {1, 1, 2, 1},           {2, 2, 33, 2},      {2, 2, 255, 2},     {16, 4, 6, 5},
        {4, 1, 3, 0},           {40, 2, 6, 0},      {16, 4, 5, 0},      {1, 1, 1, 0},
        {65535, 65535, 17, 16}, {32768, 1, 17, 16}, {65535, 3, 40, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + ", " +
                     std::to_string(c.count) + " levels");
        Tim2PictureContents p;
        p.image_type = TIM2_DIRECT16;
        p.width = c.width;
        p.height = c.height;
        if (c.most == 0) {
            for (unsigned l = 0; l < c.count; ++l) {
                const std::uint32_t w = std::max(1u, unsigned{c.width} >> l);
                const std::uint32_t h = std::max(1u, unsigned{c.height} >> l);
                p.levels.push_back(Bytes(2 * w * h, 0x11));
            }
            Tim2File parsed;
            std::string err;
            ASSERT_TRUE(parse_tim2(build_tim2({p}), "t.tm2", &parsed, &err)) << err;
            EXPECT_EQ(parsed.pictures[0].levels.size(), c.count);
            EXPECT_EQ(parsed.pictures[0].levels.back().width,
                      std::max(1u, unsigned{c.width} >> (c.count - 1)));
            continue;
        }
        p.levels.assign(c.count, Bytes(16, 0x11));
        EXPECT_EQ(parse_error(build_tim2({p})),
                  "Error: t.tm2: mipmap count " + std::to_string(c.count) +
                      " asks for levels smaller than one pixel: a " + std::to_string(c.width) +
                      "x" + std::to_string(c.height) + " picture has at most " +
                      std::to_string(c.most) + (c.most == 1 ? " level" : " levels") +
                      " (picture 0, offset 0x21)");
    }
}

TEST(Tim2Parse, EveryCutOfAFileIsRefusedCleanly) {
    for (std::uint8_t format_id : {std::uint8_t{0}, std::uint8_t{1}}) {
        const Bytes file = two_pictures(format_id);
        for (std::size_t n = 0; n < file.size(); ++n) {
            // A copy of exactly n bytes, so that the sanitizers see any read past it.
            const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
            EXPECT_EQ(parse_error(cut).rfind("Error: t.tm2: ", 0), 0u) << n;
        }
    }
}
