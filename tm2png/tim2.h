// The TIM2 image container of the game's textures: its layout, read from the
// loaded bytes with every size checked against the buffer in 64 bits.
//
// A file is a 16-byte header ("TIM2", version, format id, picture count)
// followed by pictures. A picture is a header (48 bytes, or more when it
// carries a mipmap header and user data), the pixel data of every mipmap
// level, then the CLUT (the palettes of an indexed picture). Everything is
// little-endian. Nothing here touches files, and nothing is interpreted that
// the conversion does not need: the rest is carried over byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_reader.h"

inline constexpr std::uint64_t TIM2_FILE_HEADER_SIZE = 16;
inline constexpr std::uint64_t TIM2_PICTURE_HEADER_SIZE = 48;
/// Where the first picture starts in a file of format id 1 (128-byte alignment).
inline constexpr std::uint64_t TIM2_ALIGNED_FIRST_PICTURE = 0x80;
/// The mipmap header's two GS registers (MIPTBP1, MIPTBP2) before the level sizes.
inline constexpr std::uint64_t TIM2_MIPMAP_REGISTERS_SIZE = 16;

/// Pixel and colour formats. Image types 1-3 and CLUT colour formats 1-3
/// share their numbers and their byte layouts.
enum Tim2Type : unsigned {
    TIM2_DIRECT16 = 1,  ///< A1B5G5R5: red in bits 0-4, alpha in bit 15
    TIM2_DIRECT24 = 2,  ///< R, G, B
    TIM2_DIRECT32 = 3,  ///< R, G, B, A (0x80 opaque)
    TIM2_INDEXED4 = 4,  ///< two pixels a byte, the first in the low nibble
    TIM2_INDEXED8 = 5,
};

/// Bytes of one colour of format 1 (16-bit), 2 (24-bit) or 3 (32-bit).
constexpr unsigned tim2_colour_bytes(unsigned format) {
    return format == TIM2_DIRECT16 ? 2 : format == TIM2_DIRECT24 ? 3 : 4;
}

/// Bits per pixel of an image type (1-5).
constexpr unsigned tim2_pixel_bits(unsigned image_type) {
    switch (image_type) {
        case TIM2_DIRECT16:
            return 16;
        case TIM2_DIRECT24:
            return 24;
        case TIM2_DIRECT32:
            return 32;
        case TIM2_INDEXED4:
            return 4;
        default:
            return 8;
    }
}

/// Bytes of `width` x `height` pixels of `image_type`, packed without row
/// padding (a 4-bit level of an odd pixel count leaves the last high nibble unused).
constexpr std::uint64_t tim2_level_bytes(unsigned image_type, std::uint32_t width,
                                         std::uint32_t height) {
    return (std::uint64_t{width} * height * tim2_pixel_bits(image_type) + 7) / 8;
}

/// Where CSM1 stores the CLUT entry a pixel value names: in every block of
/// 32 entries, entries 8-15 and 16-23 trade places (bits 3 and 4 swap). The
/// mapping is its own inverse.
constexpr std::uint32_t tim2_csm1_swizzle(std::uint32_t index) {
    return (index & ~std::uint32_t{0x18}) | ((index & 0x08) << 1) | ((index & 0x10) >> 1);
}

/// One mipmap level's pixel data.
struct Tim2Level {
    std::uint64_t offset = 0;  ///< in the file
    std::uint64_t size = 0;    ///< bytes the picture reserves for it (at least the pixels)
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

struct Tim2Picture {
    std::uint64_t offset = 0;  ///< of its header in the file
    std::uint32_t total_size = 0;
    std::uint32_t clut_size = 0;
    std::uint32_t image_size = 0;
    std::uint16_t header_size = 0;
    std::uint16_t clut_colours = 0;
    std::uint8_t picture_format = 0;
    std::uint8_t mipmap_count = 0;
    std::uint8_t clut_type = 0;
    std::uint8_t image_type = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;

    std::uint64_t image_offset = 0;  ///< offset + header_size
    std::uint64_t clut_offset = 0;   ///< image_offset + image_size
    std::vector<Tim2Level> levels;   ///< level 0 (the full-size picture) first

    bool indexed() const { return image_type == TIM2_INDEXED4 || image_type == TIM2_INDEXED8; }
    /// The CLUT's colour format (1-3); meaningful for indexed pictures.
    unsigned clut_format() const { return clut_type & 0x3Fu; }
    bool csm2() const { return (clut_type & 0x80u) != 0; }
    /// A 4-bit CLUT laid out as an 8-bit one (bit 6 of the CLUT type).
    bool compound() const { return (clut_type & 0x40u) != 0; }
    /// Whether the CLUT is stored in CSM1's swizzled order.
    bool clut_swizzled() const {
        return indexed() && !csm2() && (image_type == TIM2_INDEXED8 || compound());
    }
    /// Entries of one palette: 16 or 256, fewer when the CLUT holds fewer.
    std::uint32_t palette_entries() const;
    /// Number of palettes in the CLUT (the last one may be partial).
    std::uint32_t palette_count() const;
    /// File offset of the CLUT entry that pixel value (logical index) `index` names.
    std::uint64_t clut_entry_offset(std::uint32_t index) const;
    /// Bytes of user data in the header after the mipmap header.
    std::uint64_t user_data_size() const;
};

struct Tim2File {
    std::uint8_t version = 0;
    std::uint8_t format_id = 0;
    std::vector<Tim2Picture> pictures;
};

/// Reads the file header and every picture header, checking before any use
/// that each lies inside `file`, that each picture's sizes add up (header +
/// pixels + CLUT = total) and hold the pixels and colours the header
/// declares, that the image type and CLUT format are ones this tool knows,
/// and that every pixel of level 0 names a colour the palette has. Any
/// failure fills `err` with the message "Error: <name>: ... (picture N,
/// offset 0x...)". A mipmap count beyond the levels the picture's sides
/// allow (down to 1x1) is refused before any level is worked out.
bool parse_tim2(ByteSpan file, std::string_view name, Tim2File* out, std::string* err);

/// The listing line of a picture, without a line end, e.g.
/// "picture 0: 128x64, 8-bit indexed, CLUT 256 x 32-bit (CSM1), 1 palette, alpha scaled".
/// `alpha_kept` is the picture's alpha rule (see `alpha_above_opaque`).
std::string describe_picture(const Tim2Picture& picture, std::size_t index, bool alpha_kept);
