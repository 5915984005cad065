// PNG files in memory, through libpng's classic API, which keeps a palette
// image's indices, PLTE and tRNS exactly as they are (its simplified API may
// rewrite or expand palettes).
//
// libpng reports errors by a long jump out of its own code. Both functions
// keep that jump inside a frame that owns nothing (every buffer belongs to
// the caller's objects, the libpng structures are freed by the caller), so an
// error in a damaged file leaks nothing and becomes an ordinary `err` string.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_reader.h"

struct Rgba {
    std::uint8_t r = 0, g = 0, b = 0, a = 255;
    bool operator==(const Rgba&) const = default;
};

enum class PngColour { palette, rgb, rgba };

struct PngImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    PngColour colour = PngColour::rgba;
    /// Bits per index of a palette image when written: 1, 2, 4 or 8. Reading
    /// sets the file's depth, but `pixels` always holds one index per byte.
    unsigned palette_bits = 8;
    /// Row after row without padding: one index a pixel (palette), or 3 (rgb)
    /// or 4 (rgba) bytes a pixel.
    std::vector<std::uint8_t> pixels;
    /// PLTE, with each entry's tRNS alpha (255 where tRNS is absent or shorter).
    std::vector<Rgba> palette;

    unsigned bytes_per_pixel() const {
        return colour == PngColour::palette ? 1 : colour == PngColour::rgb ? 3 : 4;
    }
};

/// The largest PNG `write_png` makes of an image of these sides and bits a
/// pixel (1, 2, 4 or 8 for a palette image, 24 or 32 otherwise): its rows
/// with a filter byte each, as zlib would store them uncompressed, plus the
/// blocks' and chunks' overhead and the other chunks. `write_png` takes that
/// much room at once, so its output never grows past it.
std::uint64_t png_size_bound(std::uint32_t width, std::uint32_t height, unsigned bits_per_pixel);

/// Encodes `image` as a PNG: 8 bits a channel, no interlacing, no colour
/// chunks (no gamma, no colour space), tRNS only when an entry is not opaque.
/// Fails, with the reason in `err`, on an image libpng refuses (for example a
/// palette of more than 256 entries).
bool write_png(const PngImage& image, std::vector<std::uint8_t>* out, std::string* err);

/// Decodes a PNG. A palette PNG stays one (indices, PLTE and tRNS as stored);
/// every other kind (grey, 16-bit channels, with or without alpha, tRNS) is
/// converted to 8-bit RGBA. When `want_width` is not 0, a PNG of another width
/// or height is refused before its pixels are decoded. On failure `err`
/// holds what is wrong, for the caller to put after "Error: <file>: ".
bool read_png(ByteSpan data, std::uint32_t want_width, std::uint32_t want_height, PngImage* out,
              std::string* err);

/// Whether every index of a palette image names an entry of its palette;
/// the first pixel that does not, in `err`, otherwise. True for other kinds.
bool check_palette_indices(const PngImage& image, std::string* err);

/// Any PNG image as 8-bit RGBA (a palette image through its palette). False,
/// with `err` set, when an index names no palette entry.
bool png_to_rgba(const PngImage& image, std::vector<Rgba>* out, std::string* err);

/// The libraries PNG files go through, as --version names them: "libpng
/// 1.6.39" and "zlib 1.2.13", the versions the program runs with.
std::vector<std::string> png_library_versions();
