#include "tm2png/tim2.h"

#include <algorithm>
#include <cstring>

#include "common/message.h"
#include "common/text.h"

std::uint32_t Tim2Picture::palette_entries() const {
    const std::uint32_t full = image_type == TIM2_INDEXED4 ? 16 : 256;
    return std::min<std::uint32_t>(full, clut_colours);
}

std::uint32_t Tim2Picture::palette_count() const {
    const std::uint32_t entries = palette_entries();
    return entries == 0 ? 0 : (std::uint32_t{clut_colours} + entries - 1) / entries;
}

std::uint64_t Tim2Picture::clut_entry_offset(std::uint32_t index) const {
    const std::uint32_t stored = clut_swizzled() ? tim2_csm1_swizzle(index) : index;
    return clut_offset + std::uint64_t{stored} * tim2_colour_bytes(clut_format());
}

std::uint64_t Tim2Picture::user_data_size() const {
    std::uint64_t used = TIM2_PICTURE_HEADER_SIZE;
    if (mipmap_count >= 2) {
        used += TIM2_MIPMAP_REGISTERS_SIZE + 4u * mipmap_count;
    }
    return header_size > used ? header_size - used : 0;
}

namespace {

std::uint16_t load_le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

const char* type_name(unsigned image_type) {
    switch (image_type) {
        case TIM2_DIRECT16:
            return "16-bit direct";
        case TIM2_DIRECT24:
            return "24-bit direct";
        case TIM2_DIRECT32:
            return "32-bit direct";
        case TIM2_INDEXED4:
            return "4-bit indexed";
        default:
            return "8-bit indexed";
    }
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

/// How many mipmap levels a picture of these sides can have: each level
/// halves both sides (a side of 1 stays 1), down to 1x1.
unsigned most_levels(std::uint32_t width, std::uint32_t height) {
    unsigned levels = 1;
    for (std::uint32_t side = std::max(width, height); side > 1; side >>= 1) {
        ++levels;
    }
    return levels;
}

/// Reads and checks picture `index` at `offset`; messages name the file `name`.
bool parse_picture(ByteSpan file, std::uint64_t offset, std::string_view name, std::uint32_t index,
                   Tim2Picture* out, std::string* err) {
    const std::uint64_t size = file.size();
    auto fail = [&](const std::string& what, std::uint64_t at) {
        *err =
            error_message(name, what, "picture " + std::to_string(index) + ", offset " + hex(at));
        return false;
    };
    if (!range_fits(size, offset, TIM2_PICTURE_HEADER_SIZE)) {
        return fail("the 48-byte picture header runs past the end of the file of " +
                        std::to_string(size) + " bytes",
                    offset);
    }
    const std::uint8_t* h = file.data() + offset;
    Tim2Picture p;
    p.offset = offset;
    p.total_size = load_le32(h);
    p.clut_size = load_le32(h + 4);
    p.image_size = load_le32(h + 8);
    p.header_size = load_le16(h + 12);
    p.clut_colours = load_le16(h + 14);
    p.picture_format = h[16];
    p.mipmap_count = h[17];
    p.clut_type = h[18];
    p.image_type = h[19];
    p.width = load_le16(h + 20);
    p.height = load_le16(h + 22);

    if (p.header_size < TIM2_PICTURE_HEADER_SIZE) {
        return fail("header size " + std::to_string(p.header_size) + " is less than 48 bytes",
                    offset + 12);
    }
    const std::uint64_t sum = std::uint64_t{p.header_size} + p.image_size + p.clut_size;
    if (sum != p.total_size) {
        return fail("sizes do not add up: total " + std::to_string(p.total_size) +
                        " bytes, but header " + std::to_string(p.header_size) + " + image " +
                        std::to_string(p.image_size) + " + CLUT " + std::to_string(p.clut_size) +
                        " = " + std::to_string(sum),
                    offset);
    }
    if (!range_fits(size, offset, p.total_size)) {
        return fail("the picture of " + std::to_string(p.total_size) +
                        " bytes runs past the end of the file of " + std::to_string(size) +
                        " bytes",
                    offset);
    }
    if (p.image_type < TIM2_DIRECT16 || p.image_type > TIM2_INDEXED8) {
        return fail("image type " + std::to_string(p.image_type) +
                        " is none of 1-5 (16, 24, 32-bit direct, 4, 8-bit indexed)",
                    offset + 19);
    }
    if (p.width == 0 || p.height == 0) {
        return fail("the picture is " + std::to_string(p.width) + "x" + std::to_string(p.height) +
                        ", without pixels",
                    offset + 20);
    }
    p.image_offset = offset + p.header_size;
    p.clut_offset = p.image_offset + p.image_size;

    // Levels: one without a mipmap header (a count of 0 is read as 1),
    // otherwise as many as the count, each with its size in the mipmap
    // header, laid out one after the other. A count beyond the levels the
    // sides allow would ask for levels of less than one pixel (and for
    // shifts wider than the sides).
    const unsigned levels = std::max<unsigned>(1, p.mipmap_count);
    const unsigned most = most_levels(p.width, p.height);
    if (levels > most) {
        return fail("mipmap count " + std::to_string(levels) +
                        " asks for levels smaller than one pixel: a " + std::to_string(p.width) +
                        "x" + std::to_string(p.height) + " picture has at most " +
                        plural(most, "level", "levels"),
                    offset + 17);
    }
    std::uint64_t level_offset = p.image_offset;
    for (unsigned i = 0; i < levels; ++i) {
        Tim2Level level;
        level.width = std::max<std::uint32_t>(1, std::uint32_t{p.width} >> i);
        level.height = std::max<std::uint32_t>(1, std::uint32_t{p.height} >> i);
        const std::uint64_t needed = tim2_level_bytes(p.image_type, level.width, level.height);
        if (levels == 1) {
            level.size = needed;
        } else {
            const std::uint64_t size_at = offset + TIM2_PICTURE_HEADER_SIZE +
                                          TIM2_MIPMAP_REGISTERS_SIZE + std::uint64_t{4} * i;
            if (size_at + 4 > p.image_offset) {
                return fail("the mipmap header of " + std::to_string(levels) +
                                " levels does not fit in the header of " +
                                std::to_string(p.header_size) + " bytes",
                            offset + 12);
            }
            level.size = load_le32(file.data() + size_at);
            if (level.size < needed) {
                return fail("mipmap level " + std::to_string(i) + " of " +
                                std::to_string(level.width) + "x" + std::to_string(level.height) +
                                " pixels needs " + std::to_string(needed) +
                                " bytes, but its size is " + std::to_string(level.size),
                            size_at);
            }
        }
        level.offset = level_offset;
        level_offset += level.size;
        if (level_offset > p.clut_offset) {
            return fail("image data of " + std::to_string(level_offset - p.image_offset) +
                            " bytes up to mipmap level " + std::to_string(i) +
                            " is more than the image size " + std::to_string(p.image_size),
                        offset + 8);
        }
        p.levels.push_back(level);
    }

    if (p.indexed()) {
        if (p.clut_colours == 0) {
            return fail("an indexed picture without CLUT colours", offset + 14);
        }
        const unsigned format = p.clut_format();
        if (format < TIM2_DIRECT16 || format > TIM2_DIRECT32) {
            return fail("CLUT type " + hex(p.clut_type) + " has colour format " +
                            std::to_string(format) + ", none of 1-3 (16, 24, 32-bit)",
                        offset + 18);
        }
        const std::uint64_t clut_bytes = std::uint64_t{p.clut_colours} * tim2_colour_bytes(format);
        if (clut_bytes > p.clut_size) {
            return fail("CLUT of " + std::to_string(p.clut_colours) + " colours needs " +
                            std::to_string(clut_bytes) + " bytes, but its size is " +
                            std::to_string(p.clut_size),
                        offset + 4);
        }
        if (p.clut_swizzled() && p.clut_colours % 32 != 0) {
            return fail("a CSM1 CLUT of " + std::to_string(p.clut_colours) +
                            " colours is not made of whole blocks of 32",
                        offset + 14);
        }
        // Every pixel of level 0 must name a colour of the palette; the
        // console would read past the CLUT, and no PNG can show that.
        const std::uint32_t entries = p.palette_entries();
        const std::uint32_t full = p.image_type == TIM2_INDEXED4 ? 16 : 256;
        if (entries < full) {
            const Tim2Level& level = p.levels[0];
            const std::uint8_t* pixels = file.data() + level.offset;
            const std::uint64_t count = std::uint64_t{level.width} * level.height;
            for (std::uint64_t i = 0; i < count; ++i) {
                const unsigned value = p.image_type == TIM2_INDEXED8
                                           ? pixels[i]
                                           : (pixels[i / 2] >> (i % 2 * 4)) & 15u;
                if (value >= entries) {
                    return fail("pixel (" + std::to_string(i % level.width) + ", " +
                                    std::to_string(i / level.width) + ") uses colour " +
                                    std::to_string(value) + " of a palette of " +
                                    std::to_string(entries) + " colours",
                                level.offset + (p.image_type == TIM2_INDEXED8 ? i : i / 2));
                }
            }
        }
    }
    *out = std::move(p);
    return true;
}

}  // namespace

bool parse_tim2(ByteSpan file, std::string_view name, Tim2File* out, std::string* err) {
    *out = Tim2File{};
    if (file.size() < 4 || std::memcmp(file.data(), "TIM2", 4) != 0) {
        *err = error_message(name, "not a TIM2 image (it does not start with \"TIM2\")");
        return false;
    }
    if (file.size() < TIM2_FILE_HEADER_SIZE) {
        *err = error_message(name, "the file of " + std::to_string(file.size()) +
                                       " bytes is shorter than the 16-byte TIM2 header");
        return false;
    }
    Tim2File result;
    result.version = file[4];
    result.format_id = file[5];
    const std::uint16_t count = load_le16(file.data() + 6);
    if (result.format_id > 1) {
        *err = error_message(name,
                             "format id " + std::to_string(result.format_id) +
                                 " is neither 0 (16-byte alignment) nor 1 (128-byte alignment)",
                             "offset 0x5");
        return false;
    }
    if (count == 0) {
        *err = error_message(name, "the picture count is 0, so the file holds no picture",
                             "offset 0x6");
        return false;
    }
    std::uint64_t offset =
        result.format_id == 1 ? TIM2_ALIGNED_FIRST_PICTURE : TIM2_FILE_HEADER_SIZE;
    for (std::uint32_t i = 0; i < count; ++i) {
        Tim2Picture picture;
        if (!parse_picture(file, offset, name, i, &picture, err)) {
            return false;
        }
        offset += picture.total_size;
        result.pictures.push_back(std::move(picture));
    }
    *out = std::move(result);
    return true;
}

std::string describe_picture(const Tim2Picture& p, std::size_t index, bool alpha_kept) {
    std::string line = "picture " + std::to_string(index) + ": " + std::to_string(p.width) + "x" +
                       std::to_string(p.height) + ", " + type_name(p.image_type);
    bool eight_bit_alpha = p.image_type == TIM2_DIRECT32;
    if (p.indexed()) {
        const unsigned bits = tim2_pixel_bits(p.clut_format());
        line += ", CLUT " + std::to_string(p.clut_colours) + " x " + std::to_string(bits) +
                "-bit (" + (p.csm2() ? "CSM2" : "CSM1");
        if (p.image_type == TIM2_INDEXED4 && !p.csm2() && p.compound()) {
            line += ", compound";
        }
        line += "), " + plural(p.palette_count(), "palette", "palettes");
        eight_bit_alpha = p.clut_format() == TIM2_DIRECT32;
    }
    if (p.levels.size() > 1) {
        line += ", " + plural(p.levels.size(), "mipmap level", "mipmap levels");
    }
    if (eight_bit_alpha) {
        line += alpha_kept ? ", alpha kept (values above 0x80)" : ", alpha scaled";
    }
    return line;
}
