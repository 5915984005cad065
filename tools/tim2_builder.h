// Lays out TIM2 images from their headers, pixels and palettes, for the sample game, tests, fuzz
// seeds and benchmarks. The caller supplies every level's pixel bytes and the
// CLUT bytes in stored form (already swizzled where CSM1 asks for it: see
// `swizzled_clut`); the builder adds the headers, the mipmap header, user
// data and the padding of the chosen alignment, and computes every size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

struct Tim2PictureContents {
    std::uint8_t image_type = 3;  ///< 1-5
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint8_t clut_type = 0;  ///< colour format | 0x40 (compound) | 0x80 (CSM2)
    std::uint16_t clut_colours = 0;
    std::uint8_t picture_format = 0;
    /// Pixel bytes of each level, level 0 first; two or more make a mipmap header.
    std::vector<std::vector<std::uint8_t>> levels;
    std::vector<std::uint8_t> clut;       ///< as stored
    std::vector<std::uint8_t> user_data;  ///< after the mipmap header
    /// The GS registers (TEX0, TEX1, TEXA/FBA/PABE, TEXCLUT) and MIPTBP1/2, as raw words.
    std::uint32_t registers[6] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C,
                                  0x4B5A6978, 0x00008080, 0x00000000};
};

namespace tim2_builder_detail {

inline void put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    put16(out, at, v);
    put16(out, at + 2, v >> 16);
}

inline std::size_t round_up(std::size_t n, std::size_t unit) {
    return (n + unit - 1) / unit * unit;
}

}  // namespace tim2_builder_detail

/// A CLUT of `entry_bytes`-byte colours given in logical order, stored in
/// CSM1's order: in every block of 32 entries, 8-15 and 16-23 trade places.
inline std::vector<std::uint8_t> swizzled_clut(const std::vector<std::uint8_t>& logical,
                                               unsigned entry_bytes) {
    std::vector<std::uint8_t> out(logical.size());
    const std::size_t entries = logical.size() / entry_bytes;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t stored = (i & ~std::size_t{0x18}) | ((i & 8) << 1) | ((i & 16) >> 1);
        if (stored < entries) {
            std::memcpy(out.data() + stored * entry_bytes, logical.data() + i * entry_bytes,
                        entry_bytes);
        }
    }
    return out;
}

/// A whole TIM2 file. Format id 0 pads headers, levels and CLUTs to 16
/// bytes; format id 1 puts the first picture at 0x80 and pads to 128.
inline std::vector<std::uint8_t> build_tim2(const std::vector<Tim2PictureContents>& pictures,
                                            std::uint8_t format_id = 0, std::uint8_t version = 4) {
    using namespace tim2_builder_detail;
    const std::size_t unit = format_id == 1 ? 128 : 16;
    std::vector<std::uint8_t> out(format_id == 1 ? 0x80 : 16, 0);
    std::memcpy(out.data(), "TIM2", 4);
    out[4] = version;
    out[5] = format_id;
    put16(out, 6, static_cast<std::uint32_t>(pictures.size()));
    for (const Tim2PictureContents& p : pictures) {
        const std::size_t levels = p.levels.size();
        std::size_t header = 48 + (levels >= 2 ? 16 + 4 * levels : 0) + p.user_data.size();
        header = round_up(header, unit);
        std::vector<std::size_t> level_sizes;
        std::size_t image = 0;
        for (const auto& level : p.levels) {
            level_sizes.push_back(round_up(level.size(), unit));
            image += level_sizes.back();
        }
        const std::size_t clut = round_up(p.clut.size(), unit);
        const std::size_t at = out.size();
        out.resize(at + header + image + clut, 0);
        put32(out, at, static_cast<std::uint32_t>(header + image + clut));
        put32(out, at + 4, static_cast<std::uint32_t>(clut));
        put32(out, at + 8, static_cast<std::uint32_t>(image));
        put16(out, at + 12, static_cast<std::uint32_t>(header));
        put16(out, at + 14, p.clut_colours);
        out[at + 16] = p.picture_format;
        out[at + 17] = static_cast<std::uint8_t>(levels);
        out[at + 18] = p.clut_type;
        out[at + 19] = p.image_type;
        put16(out, at + 20, p.width);
        put16(out, at + 22, p.height);
        for (int r = 0; r < 4; ++r) {
            put32(out, at + 24 + 4 * static_cast<std::size_t>(r), p.registers[r]);
        }
        put32(out, at + 40, p.registers[4]);
        put32(out, at + 44, p.registers[5]);
        std::size_t cursor = at + 48;
        if (levels >= 2) {
            put32(out, cursor, p.registers[0] ^ 0x5A5A5A5A);  // MIPTBP1 and 2, any values
            put32(out, cursor + 4, p.registers[1] ^ 0x5A5A5A5A);
            put32(out, cursor + 8, p.registers[2] ^ 0x5A5A5A5A);
            put32(out, cursor + 12, p.registers[3] ^ 0x5A5A5A5A);
            cursor += 16;
            for (std::size_t size : level_sizes) {
                put32(out, cursor, static_cast<std::uint32_t>(size));
                cursor += 4;
            }
        }
        std::copy(p.user_data.begin(), p.user_data.end(), out.begin() + cursor);
        cursor = at + header;
        for (std::size_t l = 0; l < levels; ++l) {
            std::copy(p.levels[l].begin(), p.levels[l].end(), out.begin() + cursor);
            cursor += level_sizes[l];
        }
        std::copy(p.clut.begin(), p.clut.end(), out.begin() + cursor);
    }
    return out;
}
