// The conversion rules on pictures built byte by byte in the test: palette
// order, nibble order, alpha, 5-bit channels, palette matching and mipmaps.
#include "tm2png/convert.h"

#include <gtest/gtest.h>

#include "tools/tim2_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Image {
    Bytes file;
    Tim2File parsed;
    const Tim2Picture& picture() const { return parsed.pictures[0]; }
};

Image build(const Tim2PictureContents& contents) {
    Image image;
    image.file = build_tim2({contents});
    std::string err;
    EXPECT_TRUE(parse_tim2(image.file, "t.tm2", &image.parsed, &err)) << err;
    return image;
}

Tim2PictureContents contents_of(std::uint8_t type, std::uint16_t width, std::uint16_t height,
                                std::vector<Bytes> levels, std::uint8_t clut_type = 0,
                                std::uint16_t colours = 0, Bytes clut = {}) {
    Tim2PictureContents p;
    p.image_type = type;
    p.width = width;
    p.height = height;
    p.levels = std::move(levels);
    p.clut_type = clut_type;
    p.clut_colours = colours;
    p.clut = std::move(clut);
    return p;
}

/// 32-bit colours, stored form.
Bytes colours32(std::initializer_list<std::array<std::uint8_t, 4>> list) {
    Bytes out;
    for (const auto& c : list) {
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

PictureImport import_ok(Image& image, const PngImage& png) {
    PictureImport result;
    std::string err;
    EXPECT_TRUE(import_picture(image.file, image.picture(), png, &result, &err)) << err;
    return result;
}

PngImage rgba_png(std::uint32_t width, std::uint32_t height, const std::vector<Rgba>& pixels) {
    PngImage png;
    png.width = width;
    png.height = height;
    png.colour = PngColour::rgba;
    for (const Rgba& c : pixels) {
        png.pixels.insert(png.pixels.end(), {c.r, c.g, c.b, c.a});
    }
    return png;
}

Bytes level_bytes(const Image& image, std::size_t level) {
    const Tim2Level& l = image.picture().levels[level];
    const auto begin = image.file.begin() + static_cast<std::ptrdiff_t>(l.offset);
    return Bytes(begin, begin + static_cast<std::ptrdiff_t>(tim2_level_bytes(
                                    image.picture().image_type, l.width, l.height)));
}

}  // namespace

TEST(Tim2Colours, EveryStoredColourComesBackExactly) {
    // 16-bit: every value; 24-bit: every value of each channel; 32-bit: alpha
    // 0-0x80 when scaled, 0-0xFF when kept, with the colour channels swept.
    for (std::uint32_t v = 0; v < 0x10000; ++v) {
        ASSERT_EQ(quantize_colour(expand_colour(v, 1, false), 1, false), v) << v;
    }
    for (std::uint32_t c = 0; c < 256; ++c) {
        const std::uint32_t v = c | (255 - c) << 8 | (c * 7 % 256) << 16;
        ASSERT_EQ(quantize_colour(expand_colour(v, 2, false), 2, false), v) << v;
    }
    for (bool kept : {false, true}) {
        for (std::uint32_t a = 0; a <= (kept ? 255u : 128u); ++a) {
            const std::uint32_t v = (a * 3 % 256) | a << 8 | (255 - a) << 16 | a << 24;
            ASSERT_EQ(quantize_colour(expand_colour(v, 3, kept), 3, kept), v) << a << kept;
        }
    }
}

TEST(Tim2Colours, ChannelRules) {
    for (unsigned c = 0; c < 32; ++c) {
        EXPECT_EQ(expand5(c), (c << 3) | (c >> 2));
        EXPECT_EQ(nearest5(expand5(c)), c);
    }
    for (unsigned v = 0; v < 256; ++v) {
        const int got = expand5(nearest5(static_cast<std::uint8_t>(v)));
        for (unsigned c = 0; c < 32; ++c) {
            EXPECT_LE(std::abs(got - static_cast<int>(v)),
                      std::abs(static_cast<int>(expand5(c)) - static_cast<int>(v)))
                << v;
        }
        const auto u = static_cast<std::uint8_t>(v);
        EXPECT_EQ(import_alpha(u, false), (v + 1) >> 1);
        EXPECT_EQ(import_alpha(u, true), v);
        EXPECT_EQ(export_alpha(u, true), v);
        // The 16-bit alpha bit: set from 128 up.
        EXPECT_EQ(quantize_colour({0, 0, 0, u}, 1, false) >> 15, v >= 128 ? 1u : 0u);
    }
    for (unsigned a = 0; a <= 128; ++a) {
        EXPECT_EQ(export_alpha(static_cast<std::uint8_t>(a), false), std::min(255u, 2 * a));
        EXPECT_EQ(import_alpha(export_alpha(static_cast<std::uint8_t>(a), false), false), a);
    }
}

TEST(Tim2Export, PaletteInLogicalOrderWhateverTheStorage) {
    // 32 colours whose red channel is their logical index; pixels 0-31.
    Bytes logical;
    for (std::uint8_t i = 0; i < 32; ++i) {
        logical.insert(logical.end(), {i, 0, 0, 0x80});
    }
    // CSM1's order, spelt out: stored 8-15 hold logical 16-23 and back.
    Bytes stored(logical.begin(), logical.begin() + 32);
    stored.insert(stored.end(), logical.begin() + 64, logical.begin() + 96);
    stored.insert(stored.end(), logical.begin() + 32, logical.begin() + 64);
    stored.insert(stored.end(), logical.begin() + 96, logical.end());
    Bytes pixels8(32), pixels4(16);
    for (std::uint8_t i = 0; i < 32; ++i) {
        pixels8[i] = i;
        pixels4[i / 2] = static_cast<std::uint8_t>(pixels4[i / 2] | (i % 16) << (i % 2 * 4));
    }
    const struct {
        std::uint8_t type, clut_type;
        bool swizzled;
    } cases[] = {{TIM2_INDEXED8, 0x03, true},
                 {TIM2_INDEXED8, 0x83, false},
                 {TIM2_INDEXED4, 0x43, true},
                 {TIM2_INDEXED4, 0x03, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.clut_type));
        const bool four = c.type == TIM2_INDEXED4;
        const Image image = build(contents_of(c.type, 8, 4, {four ? pixels4 : pixels8}, c.clut_type,
                                              32, c.swizzled ? stored : logical));
        const PngImage png = export_picture(image.file, image.picture());
        EXPECT_EQ(png.colour, PngColour::palette);
        EXPECT_EQ(png.palette_bits, four ? 4u : 8u);
        ASSERT_EQ(png.palette.size(), four ? 16u : 32u);
        for (std::uint8_t i = 0; i < png.palette.size(); ++i) {
            EXPECT_EQ(png.palette[i], (Rgba{i, 0, 0, 255})) << int(i);
        }
        for (std::size_t i = 0; i < 32; ++i) {
            EXPECT_EQ(png.pixels[i], four ? i % 16 : i);
        }
    }
}

TEST(Tim2Import, FourBitNibblesLowFirstAndTheUnusedOneKept) {
    const Bytes clut =
        colours32({{0, 0, 0, 0x80}, {1, 0, 0, 0x80}, {2, 0, 0, 0x80}, {3, 0, 0, 0x80}});
    Image image = build(contents_of(TIM2_INDEXED4, 3, 1, {{0x21, 0xA3}}, 0x83, 4, clut));
    PngImage png = export_picture(image.file, image.picture());
    EXPECT_EQ(png.pixels, (Bytes{1, 2, 3}));
    png.pixels = {3, 0, 1};
    const PictureImport result = import_ok(image, png);
    EXPECT_EQ(result.pixels_changed, 3u);
    EXPECT_TRUE(result.palette_png);
    EXPECT_EQ(level_bytes(image, 0), (Bytes{0x03, 0xA1}));
}

TEST(Tim2Import, AlphaScaledOrKeptAsTheOriginalDecides) {
    // 256 pixels in a row: a scaled picture (alpha 0-0x80 only) and a kept
    // one (one alpha of 0x81). Every PNG alpha goes into both.
    for (bool kept : {false, true}) {
        SCOPED_TRACE(kept);
        Bytes pixels;
        for (unsigned x = 0; x < 256; ++x) {
            pixels.insert(pixels.end(), {1, 2, 3, static_cast<std::uint8_t>(x % 129)});
        }
        if (kept) {
            pixels[3] = 0x81;
        }
        Image image = build(contents_of(TIM2_DIRECT32, 256, 1, {pixels}));
        EXPECT_EQ(alpha_above_opaque(image.file, image.picture()), kept);
        const PngImage exported = export_picture(image.file, image.picture());
        for (unsigned x = 0; x < 256; ++x) {
            const unsigned a = pixels[4 * x + 3];
            EXPECT_EQ(exported.pixels[4 * x + 3], kept ? a : std::min(255u, 2 * a)) << x;
        }
        EXPECT_EQ(import_ok(image, exported).pixels_changed, 0u);
        std::vector<Rgba> edited;
        for (unsigned v = 0; v < 256; ++v) {
            edited.push_back({1, 2, 3, static_cast<std::uint8_t>(v)});
        }
        import_ok(image, rgba_png(256, 1, edited));
        const Bytes after = level_bytes(image, 0);
        for (unsigned v = 0; v < 256; ++v) {
            EXPECT_EQ(after[4 * v + 3], kept ? v : (v + 1) >> 1) << v;
        }
    }
    // An alpha above 0x80 in any CLUT entry, used or not, decides for an indexed picture.
    const Bytes clut = colours32({{9, 9, 9, 0x80}, {8, 8, 8, 0x40}, {7, 7, 7, 0xC0}});
    const Image indexed = build(contents_of(TIM2_INDEXED8, 2, 1, {{0, 1}}, 0x83, 3, clut));
    EXPECT_TRUE(alpha_above_opaque(indexed.file, indexed.picture()));
    const PngImage png = export_picture(indexed.file, indexed.picture());
    EXPECT_EQ(png.palette[1], (Rgba{8, 8, 8, 0x40}));
}

TEST(Tim2Import, FiveBitChannelsAndTheAlphaBit) {
    // Every 5-bit value in every channel, with the alpha bit on and off.
    Bytes pixels;
    for (unsigned y = 0; y < 2; ++y) {
        for (unsigned c = 0; c < 32; ++c) {
            const unsigned v = c | (31 - c) << 5 | (c / 2) << 10 | y << 15;
            pixels.insert(pixels.end(),
                          {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
        }
    }
    Image image = build(contents_of(TIM2_DIRECT16, 32, 2, {pixels}));
    const PngImage png = export_picture(image.file, image.picture());
    ASSERT_EQ(png.colour, PngColour::rgba);
    for (unsigned i = 0; i < 64; ++i) {
        const unsigned c = i % 32;
        const std::uint8_t* p = &png.pixels[4 * i];
        EXPECT_EQ(p[0], (c << 3) | (c >> 2));
        EXPECT_EQ(p[1], ((31 - c) << 3) | ((31 - c) >> 2));
        EXPECT_EQ(p[2], ((c / 2) << 3) | ((c / 2) >> 2));
        EXPECT_EQ(p[3], i < 32 ? 0 : 255);
    }
    EXPECT_EQ(import_ok(image, png).pixels_changed, 0u);
    EXPECT_EQ(level_bytes(image, 0), pixels);
    // A colour between two 5-bit steps goes to the nearer one.
    std::vector<Rgba> edited(64, Rgba{0, 0, 0, 255});
    edited[0] = {13, 12, 11, 127};
    import_ok(image, rgba_png(32, 2, edited));
    const Bytes after = level_bytes(image, 0);
    const unsigned v = after[0] | after[1] << 8;
    EXPECT_EQ(v & 31, nearest5(13));
    EXPECT_EQ((v >> 5) & 31, nearest5(12));
    EXPECT_EQ(v >> 15, 0u);
}

TEST(Tim2Import, ColoursMapToThePaletteExactlyOrToTheNearest) {
    // Entries 1 and 3 are the same colour; pixels use both.
    const Bytes clut = colours32({{200, 0, 0, 0x80},
                                  {0, 200, 0, 0x80},
                                  {0, 0, 200, 0x40},
                                  {0, 200, 0, 0x80},
                                  {10, 10, 10, 0x80}});
    const Bytes pixels = {1, 3, 3, 1, 0, 4};
    Image image = build(contents_of(TIM2_INDEXED8, 6, 1, {pixels}, 0x83, 5, clut));
    const PngImage exported = export_picture(image.file, image.picture());

    // As RGBA (an editor that flattened the palette): the duplicates keep
    // their own indices, nothing is counted as nearest.
    std::vector<Rgba> colours;
    std::string err;
    ASSERT_TRUE(png_to_rgba(exported, &colours, &err));
    PictureImport result = import_ok(image, rgba_png(6, 1, colours));
    EXPECT_FALSE(result.palette_png);
    EXPECT_EQ(result.pixels_changed, 0u);
    EXPECT_EQ(result.nearest, 0u);
    EXPECT_EQ(level_bytes(image, 0), pixels);

    // A pixel given the duplicated colour takes the lowest index holding it;
    // one given a colour the palette lacks takes the nearest entry, also in
    // alpha (entry 2 is half transparent).
    colours[4] = {0, 200, 0, 255};
    colours[5] = {5, 5, 190, 120};
    result = import_ok(image, rgba_png(6, 1, colours));
    EXPECT_EQ(result.nearest, 1u);
    EXPECT_EQ(result.pixels_changed, 2u);
    EXPECT_EQ(level_bytes(image, 0), (Bytes{1, 3, 3, 1, 1, 2}));
}

TEST(Tim2Import, MatchesInThePalettesOwnPrecision) {
    // A 16-bit CLUT: any PNG colour that rounds to an entry's 5-bit value is
    // that entry, not a nearest match.
    const Bytes clut = {0x00, 0x80, 0x1F, 0x80};  // black, red (31, 0, 0), both opaque
    Image image = build(contents_of(TIM2_INDEXED8, 2, 1, {{0, 1}}, 0x81, 2, clut));
    const PictureImport result =
        import_ok(image, rgba_png(2, 1, {{253, 3, 2, 200}, {3, 2, 1, 255}}));
    EXPECT_EQ(result.nearest, 0u);
    EXPECT_EQ(level_bytes(image, 0), (Bytes{1, 0}));
}

TEST(Tim2Import, PalettePngColoursBecomeTheFirstPalette) {
    // Two 16-colour palettes in a compound CSM1 CLUT of 32 entries.
    Bytes logical;
    for (std::uint8_t i = 0; i < 32; ++i) {
        logical.insert(logical.end(), {i, i, i, 0x80});
    }
    Image image = build(
        contents_of(TIM2_INDEXED4, 4, 1, {{0x10, 0x32}}, 0x43, 32, swizzled_clut(logical, 4)));
    const Bytes clut_before(image.file.end() - 128, image.file.end());
    PngImage png = export_picture(image.file, image.picture());
    ASSERT_EQ(png.palette.size(), 16u);
    png.palette[9] = {255, 0, 0, 128};  // logical 9: stored at entry 17 in CSM1
    png.pixels[0] = 9;
    const PictureImport result = import_ok(image, png);
    EXPECT_TRUE(result.palette_png);
    EXPECT_EQ(result.colours_changed, 1u);
    EXPECT_EQ(result.pixels_changed, 1u);
    const Bytes clut_after(image.file.end() - 128, image.file.end());
    for (std::size_t entry = 0; entry < 32; ++entry) {
        const Bytes got(clut_after.begin() + 4 * entry, clut_after.begin() + 4 * entry + 4);
        const Bytes was(clut_before.begin() + 4 * entry, clut_before.begin() + 4 * entry + 4);
        EXPECT_EQ(got, (entry == 17 ? Bytes{255, 0, 0, 64} : was)) << entry;
    }
    EXPECT_EQ(level_bytes(image, 0), (Bytes{0x19, 0x32}));

    // An index past the 16 colours is no palette edit: the pixel's colour
    // (from the PNG's own palette) is matched instead.
    png.palette.resize(32, Rgba{7, 7, 7, 255});
    png.pixels[1] = 20;
    const PictureImport by_colour = import_ok(image, png);
    EXPECT_FALSE(by_colour.palette_png);
    EXPECT_EQ(by_colour.pixels_changed, 1u);
    EXPECT_EQ(level_bytes(image, 0)[0], 0x79);  // colour (7, 7, 7) is entry 7
}

TEST(Tim2Import, RefusesAPngOfAnotherSize) {
    Image image = build(contents_of(TIM2_DIRECT24, 4, 4, {Bytes(48, 1)}));
    PictureImport result;
    std::string err;
    EXPECT_FALSE(import_picture(image.file, image.picture(), rgba_png(4, 3, std::vector<Rgba>(12)),
                                &result, &err));
    EXPECT_EQ(err, "the PNG is 4x3, but the picture is 4x4");
}

TEST(Tim2Import, MipmapsMadeAnewOnlyWhenLevelZeroChanged) {
    // 4x4 32-bit with 3 levels; the smaller levels hold bytes no averaging
    // would give, so any rewrite shows.
    const Bytes level0(64, 0x20);
    const Bytes level1 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const Bytes level2 = {17, 18, 19, 20};
    Tim2PictureContents p = contents_of(TIM2_DIRECT32, 4, 4, {level0, level1, level2});
    Image image = build(p);
    const PngImage png = export_picture(image.file, image.picture());
    EXPECT_FALSE(import_ok(image, png).mipmaps_regenerated);
    EXPECT_EQ(level_bytes(image, 1), level1);
    EXPECT_EQ(level_bytes(image, 2), level2);

    // Left half white and opaque, right half black and transparent; one
    // changed pixel at (3, 3).
    std::vector<Rgba> edited;
    for (unsigned i = 0; i < 16; ++i) {
        edited.push_back(i % 4 < 2 ? Rgba{255, 255, 255, 255} : Rgba{0, 0, 0, 0});
    }
    edited[15] = {100, 0, 0, 0};
    EXPECT_TRUE(import_ok(image, rgba_png(4, 4, edited)).mipmaps_regenerated);
    // Level 1: each pixel the rounded mean of its 2x2 block; alpha 255
    // imports as 0x80. The bottom right block holds (100, 0, 0, 0) once: 25.
    EXPECT_EQ(level_bytes(image, 1),
              (Bytes{255, 255, 255, 0x80, 0, 0, 0, 0, 255, 255, 255, 0x80, 25, 0, 0, 0}));
    // Level 2 from level 1: red (255 + 0 + 255 + 25 + 2) / 4 = 134, alpha 128 -> 64.
    EXPECT_EQ(level_bytes(image, 2), (Bytes{134, 128, 128, 64}));

    // An indexed picture whose palette alone changed keeps its levels.
    const Bytes clut = colours32({{0, 0, 0, 0x80}, {50, 50, 50, 0x80}});
    Image indexed = build(contents_of(TIM2_INDEXED8, 2, 2, {{0, 1, 1, 0}, {7}}, 0x83, 2, clut));
    PngImage recoloured = export_picture(indexed.file, indexed.picture());
    recoloured.palette[1] = {90, 90, 90, 255};
    const PictureImport result = import_ok(indexed, recoloured);
    EXPECT_EQ(result.colours_changed, 1u);
    EXPECT_FALSE(result.mipmaps_regenerated);
    EXPECT_EQ(level_bytes(indexed, 1), Bytes{7});
    // Changed pixels remake it, mapped to the palette: mean of 0, 90, 90, 90.
    recoloured.pixels = {1, 1, 1, 0};
    EXPECT_TRUE(import_ok(indexed, recoloured).mipmaps_regenerated);
    EXPECT_EQ(level_bytes(indexed, 1), Bytes{1});
}

TEST(Tim2Import, IndicesBeyondThePngsOwnPaletteAreRefusedAtEveryDepth) {
    // A PNG whose PLTE holds 2 colours, with pixels naming entries past it
    // but inside the picture's palette: no viewer shows those pixels, so
    // nothing says what they should become.
    for (const std::uint8_t type : {TIM2_INDEXED4, TIM2_INDEXED8}) {
        SCOPED_TRACE(static_cast<int>(type));
        const bool four = type == TIM2_INDEXED4;
        const std::uint16_t entries = four ? 16 : 256;
        Bytes clut;
        for (unsigned i = 0; i < entries; ++i) {
            clut.insert(clut.end(), {static_cast<std::uint8_t>(i), 0, 0, 0x80});
        }
        Image image =
            build(contents_of(type, 2, 1, {four ? Bytes{0x10} : Bytes{0, 1}}, 0x83, entries, clut));
        const Bytes before = image.file;
        PngImage png = export_picture(image.file, image.picture());
        png.palette.resize(2);
        png.pixels = {1, static_cast<std::uint8_t>(entries - 1)};
        PictureImport result;
        std::string err;
        EXPECT_FALSE(import_picture(image.file, image.picture(), png, &result, &err));
        EXPECT_EQ(err, "pixel (1, 0) has index " + std::to_string(entries - 1) +
                           ", but the PNG's palette has 2 colours");
        EXPECT_TRUE(image.file == before);
    }
}

namespace {

/// A 4-bit picture of 11x6 (66 pixels) with four 16-colour palettes in a
/// compound CSM1 CLUT: palette k's entry i is (16k + i, 255 - i, 7i, opaque).
/// Every pixel value 0-15 is used.
Image four_palettes() {
    Bytes logical;
    for (unsigned k = 0; k < 4; ++k) {
        for (unsigned i = 0; i < 16; ++i) {
            logical.insert(logical.end(), {static_cast<std::uint8_t>(16 * k + i),
                                           static_cast<std::uint8_t>(255 - i),
                                           static_cast<std::uint8_t>(7 * i), 0x80});
        }
    }
    Bytes pixels(33);
    for (std::size_t i = 0; i < 66; ++i) {
        const unsigned value = (i * 7 + i / 11) % 16;
        pixels[i / 2] = static_cast<std::uint8_t>(pixels[i / 2] | value << (i % 2 * 4));
    }
    return build(contents_of(TIM2_INDEXED4, 11, 6, {pixels}, 0x43, 64, swizzled_clut(logical, 4)));
}

/// What an editor that sorts the palette makes of a palette PNG: the same
/// picture, its palette in the order `order` (new entry j is old entry
/// order[j]), every pixel renumbered to match.
PngImage reordered(const PngImage& png, const std::vector<std::uint8_t>& order) {
    PngImage out = png;
    out.palette.clear();
    std::vector<std::uint8_t> new_index(256, 0);
    for (std::size_t j = 0; j < order.size(); ++j) {
        out.palette.push_back(png.palette[order[j]]);
        new_index[order[j]] = static_cast<std::uint8_t>(j);
    }
    for (std::uint8_t& p : out.pixels) {
        p = new_index[p];
    }
    return out;
}

/// The pixel values of an indexed picture's level 0.
Bytes pixel_values(const Image& image) {
    const PngImage png = export_picture(image.file, image.picture());
    return png.pixels;
}

}  // namespace

TEST(Tim2Import, AReorderedPaletteIsMappedBackSoEveryPaletteStaysRight) {
    // Sorted by descending red, then the reverse order, then one that drops
    // the colours no pixel uses (an editor's palette optimisation).
    Image image = four_palettes();
    const Bytes original = image.file;
    const PngImage png = export_picture(image.file, image.picture());
    std::vector<std::uint8_t> reverse(16), rotated(16);
    for (std::uint8_t i = 0; i < 16; ++i) {
        reverse[i] = static_cast<std::uint8_t>(15 - i);
        rotated[i] = static_cast<std::uint8_t>((i + 5) % 16);
    }
    for (const auto& order : {reverse, rotated}) {
        const PictureImport result = import_ok(image, reordered(png, order));
        EXPECT_TRUE(result.palette_reordered);
        EXPECT_EQ(result.pixels_changed, 0u);
        EXPECT_EQ(result.colours_changed, 0u);
        EXPECT_TRUE(image.file == original);
    }

    // Edits made in the reordered PNG arrive in the original's order: a
    // pixel painted with another colour of the palette takes that colour's
    // original index, in every palette.
    PngImage edited = reordered(png, reverse);
    edited.pixels[0] = 15 - 9;  // original entry 9
    edited.pixels[65] = 15 - 2;
    const PictureImport result = import_ok(image, edited);
    EXPECT_TRUE(result.palette_reordered);
    EXPECT_EQ(result.colours_changed, 0u);
    Bytes want = png.pixels;
    want[0] = 9;
    want[65] = 2;
    EXPECT_EQ(pixel_values(image), want);
    EXPECT_EQ(result.pixels_changed, (png.pixels[0] != 9) + (png.pixels[65] != 2));
    // Nothing but the two pixels' nibbles changed: every palette is as it was.
    for (std::size_t i = 0; i < original.size(); ++i) {
        const Tim2Level& level = image.picture().levels[0];
        if (i != level.offset && i != level.offset + 32) {
            EXPECT_EQ(image.file[i], original[i]) << i;
        }
    }
}

TEST(Tim2Import, AReorderedPaletteOfOneEightBitPaletteIsMappedBackToo) {
    // 8-bit, 64 colours in CSM1; the PNG's palette holds only the used
    // colours, sorted.
    Bytes logical;
    for (unsigned i = 0; i < 64; ++i) {
        logical.insert(logical.end(), {static_cast<std::uint8_t>(3 * i), 9, 9, 0x80});
    }
    const Bytes pixels = {40, 3, 3, 17, 63, 0, 40, 9};
    Image image =
        build(contents_of(TIM2_INDEXED8, 4, 2, {pixels}, 0x03, 64, swizzled_clut(logical, 4)));
    const Bytes original = image.file;
    const PngImage png = export_picture(image.file, image.picture());
    const PictureImport result = import_ok(image, reordered(png, {63, 40, 17, 9, 3, 0}));
    EXPECT_TRUE(result.palette_reordered);
    EXPECT_EQ(result.pixels_changed + result.colours_changed, 0u);
    EXPECT_TRUE(image.file == original);
}

TEST(Tim2Import, AReorderedPaletteThatCannotBeMappedBackIsRefused) {
    Image image = four_palettes();
    const PngImage png = export_picture(image.file, image.picture());
    std::vector<std::uint8_t> reverse(16);
    for (std::uint8_t i = 0; i < 16; ++i) {
        reverse[i] = static_cast<std::uint8_t>(15 - i);
    }
    PictureImport result;
    std::string err;

    // Reordered and a colour edited at once: taken index for index, palettes
    // 1-3 would show other colours; by colour, the new colour is nowhere.
    PngImage both = reordered(png, reverse);
    both.palette[4] = {1, 2, 3, 255};  // original entry 11, used by some pixel
    EXPECT_FALSE(import_picture(image.file, image.picture(), both, &result, &err));
    EXPECT_EQ(err,
              "the PNG's palette is in another order than the picture's palette 0 (its entry 0 "
              "holds the colour of entry 15) and holds colours that palette lacks (entry 4): "
              "with 4 palettes, its pixels can be neither taken index for index (palettes 1 to "
              "3 would show other colours) nor mapped back by colour; keep the palette's order "
              "in the editor while editing its colours");

    // Two entries of palette 0 holding one colour that the other palettes
    // tell apart: a pixel newly painted with it could mean either.
    Image twins = four_palettes();
    const Tim2Picture& picture = twins.picture();
    const std::uint64_t entry3 = picture.clut_entry_offset(3);
    std::copy_n(twins.file.begin() + static_cast<std::ptrdiff_t>(picture.clut_entry_offset(1)), 4,
                twins.file.begin() + static_cast<std::ptrdiff_t>(entry3));
    PngImage twin_png = export_picture(twins.file, picture);
    PngImage painted = reordered(twin_png, reverse);
    // Every pixel of original value 1 or 3 becomes value 5 first, so that
    // nothing in the PNG says which of 1 and 3 its index stands for.
    for (std::uint8_t& p : painted.pixels) {
        if (p == 15 - 1 || p == 15 - 3) {
            p = 15 - 5;
        }
    }
    const Bytes before = twins.file;
    ASSERT_EQ(twin_png.pixels[0], 0);
    painted.pixels[0] = 15 - 3;
    EXPECT_FALSE(import_picture(twins.file, picture, painted, &result, &err));
    EXPECT_EQ(err,
              "pixel (0, 0) has the colour that entries 1 and 3 of the picture's palette 0 "
              "both hold, but palette 1 holds different colours there, and the PNG's palette "
              "is in another order, so which entry the pixel means cannot be told; keep the "
              "palette's order in the editor");
    // With an unchanged pixel of value 3 left under the same PNG index, the
    // PNG says which entry that index stands for.
    twins.file = before;
    const std::size_t three = static_cast<std::size_t>(
        std::find(twin_png.pixels.begin(), twin_png.pixels.end(), 3) - twin_png.pixels.begin());
    ASSERT_LT(three, twin_png.pixels.size());
    painted.pixels[three] = 15 - 3;
    ASSERT_TRUE(import_picture(twins.file, picture, painted, &result, &err)) << err;
    EXPECT_EQ(pixel_values(twins)[0], 3);
    EXPECT_EQ(pixel_values(twins)[three], 3);
}
