// The rules that turn a TIM2 picture into PNG pixels and back.
//
// Export and import are exact inverses on everything a picture can hold, so
// importing an unedited export writes back the very same bytes:
// - 5-bit channels export by bit replication ((c << 3) | (c >> 2)) and import
//   to the nearest 5-bit value; the 16-bit alpha bit exports as 0 or 255 and
//   imports as 1 from 128 up.
// - 8-bit alpha (32-bit pixels and 32-bit CLUT colours) has 0x80 as opaque:
//   a (0-128) exports as min(255, 2a) and v imports as (v + 1) >> 1. A
//   picture that uses alpha above 0x80 anywhere (any level, any palette
//   entry) keeps alpha unchanged both ways instead; both sides decide this
//   from the original file.
// - Palettes show in logical order (the order pixel values index); CSM1's
//   swizzle is undone on export and redone on import.
//
// Import edits a copy of the original in place and changes only the pixel
// and CLUT bytes of the picture, and only those whose value changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_reader.h"
#include "tm2png/png_io.h"
#include "tm2png/tim2.h"

/// A 5-bit channel as 8 bits, by bit replication.
constexpr std::uint8_t expand5(unsigned c) {
    return static_cast<std::uint8_t>((c << 3) | (c >> 2));
}
/// The 5-bit channel whose replicated value is nearest to `v` (the lower on a tie).
unsigned nearest5(std::uint8_t v);

/// 8-bit TIM2 alpha as PNG alpha, and back (see the rules above).
constexpr std::uint8_t export_alpha(std::uint8_t a, bool kept) {
    return kept ? a : a >= 128 ? 255 : static_cast<std::uint8_t>(2 * a);
}
constexpr std::uint8_t import_alpha(std::uint8_t v, bool kept) {
    return kept ? v : static_cast<std::uint8_t>((v + 1) >> 1);
}

/// A stored colour of format 1 (16-bit), 2 (24-bit) or 3 (32-bit): its bytes
/// as a little-endian number.
std::uint32_t load_colour(const std::uint8_t* p, unsigned format);
void store_colour(std::uint8_t* p, unsigned format, std::uint32_t value);
/// A stored colour as the PNG shows it.
Rgba expand_colour(std::uint32_t stored, unsigned format, bool alpha_kept);
/// The stored colour nearest to a PNG colour (exact for exported colours).
std::uint32_t quantize_colour(Rgba colour, unsigned format, bool alpha_kept);

/// Whether the picture uses 8-bit alpha above 0x80 anywhere: in a pixel of
/// any level of a 32-bit picture, or in any colour of a 32-bit CLUT.
bool alpha_above_opaque(ByteSpan file, const Tim2Picture& picture);

/// Level 0 of a picture parsed from `file` as a PNG image: a palette image
/// holding the first palette for indexed pictures (4 or 8 bits an index), RGB
/// for 24-bit pictures, RGBA for 16 and 32-bit ones.
PngImage export_picture(ByteSpan file, const Tim2Picture& picture);

/// What an import changed in one picture.
struct PictureImport {
    bool palette_png = false;  ///< taken index for index from a palette PNG
    /// A palette PNG whose palette holds the first palette's colours in
    /// another order: its pixels were mapped back to the original indices
    /// by colour, and the palette stays as it was.
    bool palette_reordered = false;
    std::uint64_t pixels_changed = 0;   ///< of level 0
    std::uint32_t colours_changed = 0;  ///< entries of the first palette
    std::uint64_t nearest =
        0;  ///< level-0 pixels whose colour the palette lacks, mapped to the nearest
    bool mipmaps_regenerated = false;
};

/// Puts `png` (of the picture's size) into the picture in `file`, a copy of
/// the original. Indexed pictures: a palette PNG whose every index is below
/// the palette's size is taken index for index, and its colours become the
/// first palette's, unless its palette holds the first palette's colours in
/// another order (an editor sorted or optimised it): then its pixels are
/// mapped back to the original indices by colour and the palette stays, so
/// that every further palette still shows what it showed. Reordered and
/// recoloured at once, or with a pixel whose colour several entries hold
/// that the further palettes tell apart, such a PNG is refused for a picture
/// of several palettes. Any other PNG: each pixel takes the palette entry of
/// exactly its colour (preferring the index the original pixel had), or the
/// nearest entry. Direct pictures: each pixel's colour, quantized. When
/// level 0 changed, levels 1 and up are made anew by 2x2 averaging;
/// otherwise they stay as they were. On failure (also a PNG pixel naming no
/// colour of the PNG's own palette) `err` holds the reason, and `file` may be
/// partly changed.
bool import_picture(MutableByteSpan file, const Tim2Picture& picture, const PngImage& png,
                    PictureImport* result, std::string* err);
