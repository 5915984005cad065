// The libpng wrapper: palettes come back exactly, other kinds as RGBA, and
// damaged files are errors rather than crashes.
#include "tm2png/png_io.h"

#include <gtest/gtest.h>
#include <png.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes encode(const PngImage& image) {
    Bytes out;
    std::string err;
    EXPECT_TRUE(write_png(image, &out, &err)) << err;
    return out;
}

PngImage decode(const Bytes& file) {
    PngImage image;
    std::string err;
    EXPECT_TRUE(read_png(file, 0, 0, &image, &err)) << err;
    return image;
}

/// A PNG of a kind the tool never writes, made with libpng's simplified API.
Bytes simple_png(std::uint32_t format, std::uint32_t width, std::uint32_t height,
                 const void* pixels) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = format;
    png_alloc_size_t size = 0;
    EXPECT_TRUE(png_image_write_get_memory_size(image, size, 0, pixels, 0, nullptr));
    Bytes out(size);
    EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, pixels, 0, nullptr));
    out.resize(size);
    return out;
}

PngImage palette_image(unsigned bits) {
    PngImage image;
    image.width = 5;
    image.height = 3;
    image.colour = PngColour::palette;
    image.palette_bits = bits;
    // Duplicate entries, a transparent one in the middle, opaque ones after it.
    image.palette = {{1, 2, 3, 255},    {9, 9, 9, 0},   {1, 2, 3, 255},
                     {40, 50, 60, 128}, {7, 7, 7, 255}, {8, 8, 8, 255}};
    for (std::uint8_t i = 0; i < 15; ++i) {
        image.pixels.push_back(static_cast<std::uint8_t>(i * 7 % 6));
    }
    return image;
}

}  // namespace

TEST(PngIo, PaletteImagesComeBackIndexForIndex) {
    for (unsigned bits : {4u, 8u}) {
        SCOPED_TRACE(bits);
        const PngImage image = palette_image(bits);
        const PngImage back = decode(encode(image));
        EXPECT_EQ(back.colour, PngColour::palette);
        EXPECT_EQ(back.palette_bits, bits);
        EXPECT_EQ(back.width, 5u);
        EXPECT_EQ(back.height, 3u);
        EXPECT_EQ(back.pixels, image.pixels);
        EXPECT_EQ(back.palette, image.palette);
    }
}

TEST(PngIo, DirectImagesComeBackExactly) {
    for (PngColour colour : {PngColour::rgb, PngColour::rgba}) {
        PngImage image;
        image.width = 7;
        image.height = 2;
        image.colour = colour;
        for (std::size_t i = 0; i < 14 * image.bytes_per_pixel(); ++i) {
            image.pixels.push_back(static_cast<std::uint8_t>(i * 37));
        }
        const PngImage back = decode(encode(image));
        EXPECT_EQ(back.colour, PngColour::rgba);  // read as RGBA whatever was written
        std::vector<Rgba> expected, got;
        std::string err;
        ASSERT_TRUE(png_to_rgba(image, &expected, &err));
        ASSERT_TRUE(png_to_rgba(back, &got, &err));
        EXPECT_EQ(got, expected);
    }
}

TEST(PngIo, OtherKindsReadAsRgba) {
    const std::uint8_t grey[] = {0, 100, 255};
    const std::uint8_t grey_alpha[] = {10, 0, 20, 128, 30, 255};
    const std::uint16_t deep[] = {0xFFFF, 0x0000, 0x8080};  // one 16-bit RGB pixel
    const struct {
        Bytes file;
        std::uint32_t width;
        std::vector<Rgba> expected;
    } cases[] = {
        {simple_png(PNG_FORMAT_GRAY, 3, 1, grey),
         3,
         {{0, 0, 0, 255}, {100, 100, 100, 255}, {255, 255, 255, 255}}},
        {simple_png(PNG_FORMAT_GA, 3, 1, grey_alpha),
         3,
         {{10, 10, 10, 0}, {20, 20, 20, 128}, {30, 30, 30, 255}}},
        {simple_png(PNG_FORMAT_LINEAR_RGB, 1, 1, deep), 1, {{255, 0, 128, 255}}},
    };
    for (const auto& c : cases) {
        const PngImage image = decode(c.file);
        EXPECT_EQ(image.colour, PngColour::rgba);
        EXPECT_EQ(image.width, c.width);
        std::vector<Rgba> got;
        std::string err;
        ASSERT_TRUE(png_to_rgba(image, &got, &err));
        EXPECT_EQ(got, c.expected);
    }
}

TEST(PngIo, DamagedOrUnexpectedFilesAreErrors) {
    const Bytes good = encode(palette_image(8));
    std::string err;
    PngImage image;
    // Cut at every length: an error, never a crash or a read past the end.
    for (std::size_t n = 0; n < good.size(); ++n) {
        const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(read_png(cut, 0, 0, &image, &err)) << n;
        EXPECT_FALSE(err.empty());
    }
    EXPECT_FALSE(read_png(Bytes(40, 'x'), 0, 0, &image, &err));
    EXPECT_EQ(err, "not a PNG file (no PNG signature)");
    Bytes flipped = good;
    flipped[20] ^= 1;  // inside IHDR: its checksum no longer matches
    EXPECT_FALSE(read_png(flipped, 0, 0, &image, &err));
    EXPECT_EQ(err.rfind("damaged PNG (", 0), 0u) << err;
    // Refused for its size before its pixels are read.
    EXPECT_FALSE(read_png(good, 5, 4, &image, &err));
    EXPECT_EQ(err, "the PNG is 5x3, but the picture is 5x4");
    EXPECT_TRUE(read_png(good, 5, 3, &image, &err)) << err;

    // An index with no palette entry cannot be shown as a colour.
    PngImage short_palette = palette_image(8);
    short_palette.palette.resize(3);
    std::vector<Rgba> colours;
    EXPECT_FALSE(png_to_rgba(short_palette, &colours, &err));
    EXPECT_EQ(err, "pixel (3, 0) has index 3, but the PNG's palette has 3 colours");
    // libpng refuses a palette larger than the depth allows; no crash, no output.
    PngImage too_many = palette_image(4);
    too_many.palette.resize(17);
    Bytes out{1, 2, 3};
    EXPECT_FALSE(write_png(too_many, &out, &err));
    EXPECT_EQ(err.rfind("could not write the PNG (", 0), 0u) << err;
    EXPECT_TRUE(out.empty());
}
