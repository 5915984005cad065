#include "tools/sample_images.h"

#include <algorithm>

#include "tools/tim2_builder.h"

namespace {

struct Colour {
    std::uint8_t r = 0, g = 0, b = 0, a = 0x80;
};

/// An alpha of a picture: mostly opaque (0x80), some lower; above 0x80 now
/// and then where the picture is to use such values.
std::uint8_t random_alpha(Rng& rng, bool above) {
    if (rng.percent(70)) {
        return 0x80;
    }
    return above ? rng.byte() : static_cast<std::uint8_t>(rng.below(0x81));
}

std::vector<Colour> picture_colours(Rng& rng, Rng& bytes, std::uint32_t width, std::uint32_t height,
                                    bool alpha_above) {
    std::vector<Colour> out(std::size_t{width} * height);
    for (std::uint32_t y = 0; y < height; ++y) {
        Colour* row = out.data() + std::size_t{y} * width;
        const auto kind = y == 0 ? 0 : rng.below(4);
        if (kind == 0) {  // gradient
            const std::uint8_t tint = rng.byte();
            const std::uint8_t alpha = random_alpha(rng, alpha_above);
            for (std::uint32_t x = 0; x < width; ++x) {
                row[x] = {static_cast<std::uint8_t>(x * 255 / width),
                          static_cast<std::uint8_t>(y * 255 / height), tint, alpha};
            }
        } else if (kind == 1) {  // solid runs of a few colours
            std::uint32_t x = 0;
            while (x < width) {
                const auto run = std::min<std::uint32_t>(width - x, rng.range32(1, 24));
                const Colour c{rng.byte(), rng.byte(), rng.byte(), random_alpha(rng, alpha_above)};
                for (std::uint32_t i = 0; i < run; ++i, ++x) {
                    row[x] = c;
                }
            }
        } else if (kind == 2) {  // the row above again
            std::copy(row - width, row, row);
        } else {  // noise
            for (std::uint32_t x = 0; x < width; ++x) {
                row[x] = {
                    bytes.byte(), bytes.byte(), bytes.byte(),
                    alpha_above ? bytes.byte() : static_cast<std::uint8_t>(bytes.byte() % 0x81)};
            }
        }
    }
    if (alpha_above) {
        out[0].a = 0xFF;
    }
    return out;
}

std::vector<std::uint8_t> picture_indices(Rng& rng, Rng& bytes, std::uint32_t width,
                                          std::uint32_t height, unsigned entries) {
    std::vector<std::uint8_t> out(std::size_t{width} * height);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* row = out.data() + std::size_t{y} * width;
        const auto kind = y == 0 ? 0 : rng.below(4);
        if (kind == 0) {
            const unsigned shift = rng.range32(0, entries - 1);
            for (std::uint32_t x = 0; x < width; ++x) {
                row[x] = static_cast<std::uint8_t>((x * entries / width + shift) % entries);
            }
        } else if (kind == 1) {
            std::uint32_t x = 0;
            while (x < width) {
                const auto run = std::min<std::uint32_t>(width - x, rng.range32(1, 24));
                const auto value = static_cast<std::uint8_t>(rng.below(entries));
                std::fill(row + x, row + x + run, value);
                x += run;
            }
        } else if (kind == 2) {
            std::copy(row - width, row, row);
        } else {
            for (std::uint32_t x = 0; x < width; ++x) {
                row[x] = static_cast<std::uint8_t>(bytes.byte() % entries);
            }
        }
    }
    return out;
}

/// Palette colours in logical order; about one in ten repeats an earlier
/// entry, as palettes of the game's images do.
std::vector<Colour> palette_colours(Rng& rng, std::size_t count, bool alpha_above) {
    std::vector<Colour> out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 && rng.percent(10)) {
            out.push_back(out[rng.below(i)]);
        } else {
            out.push_back({rng.byte(), rng.byte(), rng.byte(), random_alpha(rng, alpha_above)});
        }
    }
    if (alpha_above) {
        out[0].a = 0xFF;
    }
    return out;
}

void append_colour(std::vector<std::uint8_t>& out, unsigned format, Colour c) {
    if (format == 1) {
        const unsigned v =
            (c.r >> 3) | (c.g >> 3) << 5 | (c.b >> 3) << 10 | (c.a >= 0x40 ? 0x8000 : 0);
        out.push_back(static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
        return;
    }
    out.insert(out.end(), {c.r, c.g, c.b});
    if (format == 3) {
        out.push_back(c.a);
    }
}

/// The next level of a picture: every other pixel of every other row.
template <typename T>
std::vector<T> smaller(const std::vector<T>& from, std::uint32_t from_width,
                       std::uint32_t from_height, std::uint32_t width, std::uint32_t height) {
    std::vector<T> out(std::size_t{width} * height);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            out[std::size_t{y} * width + x] =
                from[std::size_t{std::min(2 * y, from_height - 1)} * from_width +
                     std::min(2 * x, from_width - 1)];
        }
    }
    return out;
}

Tim2PictureContents make_picture(Rng& rng, Rng& bytes, const SamplePictureShape& shape) {
    Tim2PictureContents p;
    p.image_type = shape.image_type;
    p.width = shape.width;
    p.height = shape.height;
    p.picture_format = static_cast<std::uint8_t>(rng.below(4));
    for (auto& r : p.registers) {
        r = rng.word();
    }
    p.user_data.resize(shape.user_data);
    bytes.fill(p.user_data.data(), p.user_data.size());
    const bool indexed = shape.image_type >= 4;
    std::uint32_t width = shape.width, height = shape.height;
    if (indexed) {
        p.clut_colours = shape.clut_colours;
        p.clut_type = static_cast<std::uint8_t>(shape.clut_format | (shape.compound ? 0x40 : 0) |
                                                (shape.csm2 ? 0x80 : 0));
        std::vector<std::uint8_t> clut;
        for (const Colour& c : palette_colours(rng, shape.clut_colours, shape.alpha_above)) {
            append_colour(clut, shape.clut_format, c);
        }
        const bool swizzled = !shape.csm2 && (shape.image_type == 5 || shape.compound);
        p.clut = swizzled ? swizzled_clut(clut, shape.clut_format == 1   ? 2
                                                : shape.clut_format == 2 ? 3
                                                                         : 4)
                          : clut;
        const unsigned entries =
            std::min<unsigned>(shape.image_type == 4 ? 16 : 256, shape.clut_colours);
        std::vector<std::uint8_t> indices = picture_indices(rng, bytes, width, height, entries);
        for (unsigned l = 0; l < shape.levels; ++l) {
            if (l > 0) {
                const std::uint32_t w = std::max<std::uint32_t>(1, shape.width >> l);
                const std::uint32_t h = std::max<std::uint32_t>(1, shape.height >> l);
                indices = smaller(indices, width, height, w, h);
                width = w;
                height = h;
            }
            if (shape.image_type == 5) {
                p.levels.push_back(indices);
                continue;
            }
            // Two pixels a byte, the first in the low nibble; an odd count
            // leaves a high nibble that no pixel uses.
            std::vector<std::uint8_t> packed((indices.size() + 1) / 2);
            for (std::size_t i = 0; i < indices.size(); ++i) {
                packed[i / 2] |= static_cast<std::uint8_t>(indices[i] << (i % 2 * 4));
            }
            if (indices.size() % 2 != 0) {
                packed.back() |= static_cast<std::uint8_t>(bytes.byte() & 0xF0);
            }
            p.levels.push_back(std::move(packed));
        }
        return p;
    }
    std::vector<Colour> colours = picture_colours(rng, bytes, width, height, shape.alpha_above);
    for (unsigned l = 0; l < shape.levels; ++l) {
        if (l > 0) {
            const std::uint32_t w = std::max<std::uint32_t>(1, shape.width >> l);
            const std::uint32_t h = std::max<std::uint32_t>(1, shape.height >> l);
            colours = smaller(colours, width, height, w, h);
            width = w;
            height = h;
        }
        std::vector<std::uint8_t> level;
        for (const Colour& c : colours) {
            append_colour(level, shape.image_type, c);
        }
        p.levels.push_back(std::move(level));
    }
    return p;
}

}  // namespace

std::vector<std::uint8_t> make_sample_tim2(Rng& rng, Rng& bytes,
                                           const std::vector<SamplePictureShape>& pictures,
                                           std::uint8_t format_id) {
    std::vector<Tim2PictureContents> contents;
    for (const SamplePictureShape& shape : pictures) {
        contents.push_back(make_picture(rng, bytes, shape));
    }
    return build_tim2(contents, format_id, static_cast<std::uint8_t>(rng.range(3, 4)));
}

SamplePictureShape random_picture_shape(Rng& rng) {
    SamplePictureShape shape;
    shape.image_type = static_cast<std::uint8_t>(rng.range(1, 5));
    shape.width = static_cast<std::uint16_t>(rng.range(4, 40));
    shape.height = static_cast<std::uint16_t>(rng.range(2, 24));
    if (shape.image_type >= 4) {
        const auto roll = rng.below(10);
        shape.clut_format = roll < 5 ? 1 : roll < 9 ? 3 : 2;
        shape.csm2 = rng.percent(50);
        shape.compound = shape.image_type == 4 && !shape.csm2 && rng.percent(50);
        const bool swizzled = !shape.csm2 && (shape.image_type == 5 || shape.compound);
        const unsigned entries = shape.image_type == 4 ? 16 : 256;
        unsigned colours = entries * rng.range32(1, shape.image_type == 4 ? 4 : 2);
        if (swizzled) {
            colours = (colours + 31) / 32 * 32;
        }
        shape.clut_colours = static_cast<std::uint16_t>(colours);
    }
    shape.levels = rng.percent(30) ? rng.range32(2, 3) : 1;
    shape.user_data = rng.percent(30) ? rng.range(1, 40) : 0;
    shape.alpha_above = rng.percent(30);
    return shape;
}
