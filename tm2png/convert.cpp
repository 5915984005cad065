#include "tm2png/convert.h"

#include <algorithm>
#include <array>
#include <limits>
#include <unordered_map>

namespace {

std::array<std::uint8_t, 256> make_nearest5_table() {
    std::array<std::uint8_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        unsigned best = 0;
        for (unsigned c = 1; c < 32; ++c) {
            const int d = static_cast<int>(expand5(c)) - static_cast<int>(v);
            const int best_d = static_cast<int>(expand5(best)) - static_cast<int>(v);
            if (d * d < best_d * best_d) {
                best = c;
            }
        }
        table[v] = static_cast<std::uint8_t>(best);
    }
    return table;
}

const std::array<std::uint8_t, 256> NEAREST5 = make_nearest5_table();

/// The value of pixel `i` of an indexed level.
unsigned index_at(const std::uint8_t* pixels, unsigned image_type, std::uint64_t i) {
    return image_type == TIM2_INDEXED8 ? pixels[i] : (pixels[i / 2] >> (i % 2 * 4)) & 15u;
}

void set_index(std::uint8_t* pixels, unsigned image_type, std::uint64_t i, unsigned value) {
    if (image_type == TIM2_INDEXED8) {
        pixels[i] = static_cast<std::uint8_t>(value);
    } else {
        const unsigned shift = i % 2 * 4;
        pixels[i / 2] =
            static_cast<std::uint8_t>((pixels[i / 2] & ~(15u << shift)) | value << shift);
    }
}

unsigned distance(Rgba a, Rgba b) {
    const int dr = a.r - b.r, dg = a.g - b.g, db = a.b - b.b, da = a.a - b.a;
    return static_cast<unsigned>(dr * dr + dg * dg + db * db + da * da);
}

/// Finds the palette entry for a stored colour value: the preferred index
/// when it holds exactly that value, else the lowest index that does, else
/// the nearest entry (distance in the colours as exported, which are the
/// palette's own precision spread over 0-255).
class PaletteMapper {
  public:
    PaletteMapper(const std::vector<std::uint32_t>& stored, unsigned format, bool alpha_kept)
        : stored_(stored), format_(format), kept_(alpha_kept) {
        for (std::uint32_t i = 0; i < stored.size(); ++i) {
            exact_.emplace(stored[i], i);  // keeps the lowest index of a value
            shown_.push_back(expand_colour(stored[i], format, alpha_kept));
        }
    }

    std::uint32_t map(std::uint32_t value, std::uint32_t preferred, bool* nearest) {
        if (preferred < stored_.size() && stored_[preferred] == value) {
            return preferred;
        }
        const auto exact = exact_.find(value);
        if (exact != exact_.end()) {
            return exact->second;
        }
        *nearest = true;
        const auto known = nearest_.find(value);
        if (known != nearest_.end()) {
            return known->second;
        }
        const Rgba colour = expand_colour(value, format_, kept_);
        std::uint32_t best = 0;
        unsigned best_distance = std::numeric_limits<unsigned>::max();
        for (std::uint32_t i = 0; i < shown_.size(); ++i) {
            const unsigned d = distance(colour, shown_[i]);
            if (d < best_distance) {
                best = i;
                best_distance = d;
            }
        }
        nearest_.emplace(value, best);
        return best;
    }

  private:
    const std::vector<std::uint32_t>& stored_;
    unsigned format_;
    bool kept_;
    std::vector<Rgba> shown_;
    std::unordered_map<std::uint32_t, std::uint32_t> exact_;
    std::unordered_map<std::uint32_t, std::uint32_t> nearest_;
};

/// The next mipmap level of `from` (`from_width` wide): each pixel the
/// rounded average of the 2x2 block above it, clamped at the edges.
std::vector<Rgba> halve(const std::vector<Rgba>& from, std::uint32_t from_width,
                        std::uint32_t from_height, std::uint32_t width, std::uint32_t height) {
    std::vector<Rgba> out(std::size_t{width} * height);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint32_t y0 = std::min(2 * y, from_height - 1);
        const std::uint32_t y1 = std::min(2 * y + 1, from_height - 1);
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t x0 = std::min(2 * x, from_width - 1);
            const std::uint32_t x1 = std::min(2 * x + 1, from_width - 1);
            const Rgba& a = from[std::size_t{y0} * from_width + x0];
            const Rgba& b = from[std::size_t{y0} * from_width + x1];
            const Rgba& c = from[std::size_t{y1} * from_width + x0];
            const Rgba& d = from[std::size_t{y1} * from_width + x1];
            auto mean = [](unsigned p, unsigned q, unsigned r, unsigned s) {
                return static_cast<std::uint8_t>((p + q + r + s + 2) / 4);
            };
            out[std::size_t{y} * width + x] = {mean(a.r, b.r, c.r, d.r), mean(a.g, b.g, c.g, d.g),
                                               mean(a.b, b.b, c.b, d.b), mean(a.a, b.a, c.a, d.a)};
        }
    }
    return out;
}

/// Rewrites levels 1 and up from level 0's colours as the game shows them;
/// `store` writes pixel `i` of a level (its colour and the level's pixels).
template <typename Store>
void regenerate_mipmaps(const Tim2Picture& picture, std::vector<Rgba> level0, Store store) {
    std::vector<Rgba> previous = std::move(level0);
    for (std::size_t l = 1; l < picture.levels.size(); ++l) {
        const Tim2Level& above = picture.levels[l - 1];
        const Tim2Level& level = picture.levels[l];
        std::vector<Rgba> current =
            halve(previous, above.width, above.height, level.width, level.height);
        for (std::uint64_t i = 0; i < current.size(); ++i) {
            store(level, i, current[i]);
        }
        previous = std::move(current);
    }
}

/// How the palette of a palette PNG stands to the picture's first palette,
/// judged by the entries its pixels use (`png` holds only indices below the
/// palette's size). An editor that sorts or optimises the palette moves
/// colours to other entries and renumbers the pixels; a palette edit puts
/// new colours in place.
struct PaletteOrder {
    static constexpr std::uint32_t NONE = 0xFFFFFFFF;
    std::uint32_t moved = NONE;       ///< an entry holding another entry's colour
    std::uint32_t moved_from = 0;     ///< the palette entry whose colour it holds
    std::uint32_t new_colour = NONE;  ///< an entry holding a colour the palette lacks
};

PaletteOrder compare_order(const PngImage& png, const std::vector<std::uint32_t>& palette,
                           const std::vector<std::uint32_t>& quantized) {
    std::vector<bool> used(png.palette.size(), false);
    for (const std::uint8_t v : png.pixels) {
        used[v] = true;
    }
    std::unordered_map<std::uint32_t, std::uint32_t> lowest;  // colour -> its lowest entry
    for (std::uint32_t i = static_cast<std::uint32_t>(palette.size()); i-- > 0;) {
        lowest[palette[i]] = i;
    }
    PaletteOrder order;
    for (std::uint32_t j = 0; j < used.size(); ++j) {
        if (!used[j] || quantized[j] == palette[j]) {
            continue;
        }
        const auto found = lowest.find(quantized[j]);
        if (found == lowest.end()) {
            order.new_colour = std::min(order.new_colour, j);
        } else if (order.moved == PaletteOrder::NONE) {
            order.moved = j;
            order.moved_from = found->second;
        }
    }
    return order;
}

std::string entry_list(const std::vector<std::uint32_t>& entries) {
    std::string text;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        text += k == 0 ? "" : k + 1 == entries.size() ? " and " : ", ";
        text += std::to_string(entries[k]);
    }
    return text;
}

/// Maps the pixels of a palette PNG whose palette is the first palette's
/// colours in another order back to the original indices, so that every
/// palette of the picture shows what it showed. A pixel whose colour is the
/// one it had keeps its index. A pixel of another colour takes the entry
/// holding that colour; where several do and the other palettes tell them
/// apart, the entry the PNG's index stands for among the unchanged pixels,
/// and where those do not tell either, the import is refused.
bool map_back(ByteSpan file, const Tim2Picture& picture, const PngImage& png,
              const std::vector<std::uint32_t>& palette,
              const std::vector<std::uint32_t>& quantized, std::vector<std::uint8_t>* indices,
              std::string* err) {
    const unsigned type = picture.image_type;
    const std::uint8_t* pixels = file.data() + picture.levels[0].offset;
    const std::uint32_t entries = static_cast<std::uint32_t>(palette.size());
    // Of each PNG index: the original value of its unchanged pixels, when
    // they all had one.
    constexpr int UNSEEN = -1, SEVERAL = -2;
    std::vector<int> stands_for(png.palette.size(), UNSEEN);
    for (std::size_t i = 0; i < indices->size(); ++i) {
        const std::uint8_t j = png.pixels[i];
        const unsigned was = index_at(pixels, type, i);
        if (palette[was] == quantized[j]) {
            (*indices)[i] = static_cast<std::uint8_t>(was);
            int& s = stands_for[j];
            s = s == UNSEEN || s == static_cast<int>(was) ? static_cast<int>(was) : SEVERAL;
        }
    }
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> holding;  // colour -> entries
    for (std::uint32_t a = 0; a < entries; ++a) {
        holding[palette[a]].push_back(a);
    }
    // A CLUT entry of palette k, or a value no colour has where the last
    // palette is partial.
    auto colour_in = [&](std::uint32_t k, std::uint32_t a) -> std::uint64_t {
        const std::uint64_t index = std::uint64_t{k} * entries + a;
        return index < picture.clut_colours
                   ? load_colour(
                         file.data() + picture.clut_entry_offset(static_cast<std::uint32_t>(index)),
                         picture.clut_format())
                   : std::uint64_t{1} << 32;
    };
    // Of each PNG index, for pixels whose colour changed: the entry they
    // take, decided once.
    constexpr int UNDECIDED = -1, UNTOLD = -2;
    std::vector<int> target(png.palette.size(), UNDECIDED);
    for (std::size_t i = 0; i < indices->size(); ++i) {
        const std::uint8_t j = png.pixels[i];
        if (palette[index_at(pixels, type, i)] == quantized[j]) {
            continue;
        }
        const std::vector<std::uint32_t>& candidates = holding.at(quantized[j]);
        std::uint32_t differs = 0;  // the first palette that tells the candidates apart
        if (target[j] == UNDECIDED) {
            for (std::uint32_t k = 1; k < picture.palette_count() && differs == 0; ++k) {
                for (const std::uint32_t a : candidates) {
                    if (colour_in(k, a) != colour_in(k, candidates[0])) {
                        differs = k;
                        break;
                    }
                }
            }
            target[j] = differs == 0         ? static_cast<int>(candidates[0])
                        : stands_for[j] >= 0 ? stands_for[j]
                                             : UNTOLD;
        }
        if (target[j] == UNTOLD) {
            const std::uint32_t width = picture.levels[0].width;
            *err = "pixel (" + std::to_string(i % width) + ", " + std::to_string(i / width) +
                   ") has the colour that entries " + entry_list(candidates) +
                   " of the picture's palette 0 " + (candidates.size() == 2 ? "both" : "all") +
                   " hold, but palette " + std::to_string(differs) +
                   " holds different colours there, and the PNG's palette is in another order, "
                   "so which entry the pixel means cannot be told; keep the palette's order in "
                   "the editor";
            return false;
        }
        (*indices)[i] = static_cast<std::uint8_t>(target[j]);
    }
    return true;
}

bool import_indexed(MutableByteSpan file, const Tim2Picture& picture, const PngImage& png,
                    bool kept, PictureImport* result, std::string* err) {
    const unsigned format = picture.clut_format();
    const unsigned type = picture.image_type;
    const std::uint32_t entries = picture.palette_entries();
    std::vector<std::uint32_t> palette(entries);
    for (std::uint32_t i = 0; i < entries; ++i) {
        palette[i] = load_colour(file.data() + picture.clut_entry_offset(i), format);
    }
    const Tim2Level& level0 = picture.levels[0];
    std::uint8_t* pixels = file.data() + level0.offset;
    const std::uint64_t count = std::uint64_t{level0.width} * level0.height;

    // A pixel naming no colour of the PNG's own palette shows as nothing in
    // any viewer, so nothing says what it should become, at any depth.
    if (!check_palette_indices(png, err)) {
        return false;
    }
    const bool indices_fit = png.colour == PngColour::palette &&
                             std::all_of(png.pixels.begin(), png.pixels.end(),
                                         [&](std::uint8_t v) { return v < entries; });
    std::vector<std::uint8_t> indices(count);
    std::vector<std::uint32_t> quantized;
    PaletteOrder order;
    if (indices_fit) {
        for (const Rgba& colour : png.palette) {
            quantized.push_back(quantize_colour(colour, format, kept));
        }
        order = compare_order(png, palette, quantized);
    }
    const std::uint32_t palettes = picture.palette_count();
    if (order.moved != PaletteOrder::NONE && order.new_colour != PaletteOrder::NONE &&
        palettes > 1) {
        *err = "the PNG's palette is in another order than the picture's palette 0 (its entry " +
               std::to_string(order.moved) + " holds the colour of entry " +
               std::to_string(order.moved_from) + ") and holds colours that palette lacks (entry " +
               std::to_string(order.new_colour) + "): with " + std::to_string(palettes) +
               " palettes, its pixels can be neither taken index for index (" +
               (palettes == 2 ? "palette 1 would"
                              : "palettes 1 to " + std::to_string(palettes - 1) + " would") +
               " show other colours) nor mapped back by colour; keep the palette's order in the "
               "editor while editing its colours";
        return false;
    }
    if (order.moved != PaletteOrder::NONE && order.new_colour == PaletteOrder::NONE) {
        result->palette_reordered = true;
        if (!map_back(file, picture, png, palette, quantized, &indices, err)) {
            return false;
        }
    } else if (indices_fit) {
        result->palette_png = true;
        const std::size_t colours = std::min<std::size_t>(entries, png.palette.size());
        for (std::size_t i = 0; i < colours; ++i) {
            const std::uint32_t value = quantized[i];
            if (value != palette[i]) {
                palette[i] = value;
                store_colour(file.data() + picture.clut_entry_offset(static_cast<std::uint32_t>(i)),
                             format, value);
                ++result->colours_changed;
            }
        }
        std::copy(png.pixels.begin(), png.pixels.end(), indices.begin());
    } else {
        std::vector<Rgba> colours;
        if (!png_to_rgba(png, &colours, err)) {
            return false;
        }
        PaletteMapper mapper(palette, format, kept);
        for (std::uint64_t i = 0; i < count; ++i) {
            bool nearest = false;
            indices[i] = static_cast<std::uint8_t>(mapper.map(
                quantize_colour(colours[i], format, kept), index_at(pixels, type, i), &nearest));
            result->nearest += nearest;
        }
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        if (indices[i] != index_at(pixels, type, i)) {
            set_index(pixels, type, i, indices[i]);
            ++result->pixels_changed;
        }
    }
    if (picture.levels.size() > 1 && result->pixels_changed > 0) {
        result->mipmaps_regenerated = true;
        std::vector<Rgba> shown(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            shown[i] = expand_colour(palette[indices[i]], format, kept);
        }
        PaletteMapper mapper(palette, format, kept);
        regenerate_mipmaps(picture, std::move(shown),
                           [&](const Tim2Level& level, std::uint64_t i, Rgba colour) {
                               std::uint8_t* at = file.data() + level.offset;
                               bool nearest = false;
                               set_index(at, type, i,
                                         mapper.map(quantize_colour(colour, format, kept),
                                                    index_at(at, type, i), &nearest));
                           });
    }
    return true;
}

bool import_direct(MutableByteSpan file, const Tim2Picture& picture, const PngImage& png, bool kept,
                   PictureImport* result, std::string* err) {
    const unsigned format = picture.image_type;
    const unsigned bytes = tim2_colour_bytes(format);
    std::vector<Rgba> colours;
    if (!png_to_rgba(png, &colours, err)) {
        return false;
    }
    const Tim2Level& level0 = picture.levels[0];
    std::uint8_t* pixels = file.data() + level0.offset;
    for (std::uint64_t i = 0; i < colours.size(); ++i) {
        const std::uint32_t value = quantize_colour(colours[i], format, kept);
        if (value != load_colour(pixels + i * bytes, format)) {
            store_colour(pixels + i * bytes, format, value);
            ++result->pixels_changed;
        }
        if (picture.levels.size() > 1) {
            colours[i] = expand_colour(value, format, kept);
        }
    }
    if (picture.levels.size() > 1 && result->pixels_changed > 0) {
        result->mipmaps_regenerated = true;
        regenerate_mipmaps(picture, std::move(colours),
                           [&](const Tim2Level& level, std::uint64_t i, Rgba colour) {
                               store_colour(file.data() + level.offset + i * bytes, format,
                                            quantize_colour(colour, format, kept));
                           });
    }
    return true;
}

}  // namespace

unsigned nearest5(std::uint8_t v) {
    return NEAREST5[v];
}

std::uint32_t load_colour(const std::uint8_t* p, unsigned format) {
    switch (format) {
        case TIM2_DIRECT16:
            return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8;
        case TIM2_DIRECT24:
            return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
        default:
            return load_le32(p);
    }
}

void store_colour(std::uint8_t* p, unsigned format, std::uint32_t value) {
    const unsigned bytes = tim2_colour_bytes(format);
    for (unsigned i = 0; i < bytes; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

Rgba expand_colour(std::uint32_t v, unsigned format, bool alpha_kept) {
    switch (format) {
        case TIM2_DIRECT16:
            return {expand5(v & 31), expand5((v >> 5) & 31), expand5((v >> 10) & 31),
                    static_cast<std::uint8_t>((v & 0x8000) != 0 ? 255 : 0)};
        case TIM2_DIRECT24:
            return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                    static_cast<std::uint8_t>(v >> 16), 255};
        default:
            return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                    static_cast<std::uint8_t>(v >> 16),
                    export_alpha(static_cast<std::uint8_t>(v >> 24), alpha_kept)};
    }
}

std::uint32_t quantize_colour(Rgba c, unsigned format, bool alpha_kept) {
    switch (format) {
        case TIM2_DIRECT16:
            return nearest5(c.r) | nearest5(c.g) << 5 | nearest5(c.b) << 10 |
                   (c.a >= 128 ? 0x8000u : 0u);
        case TIM2_DIRECT24:
            return std::uint32_t{c.r} | std::uint32_t{c.g} << 8 | std::uint32_t{c.b} << 16;
        default:
            return std::uint32_t{c.r} | std::uint32_t{c.g} << 8 | std::uint32_t{c.b} << 16 |
                   std::uint32_t{import_alpha(c.a, alpha_kept)} << 24;
    }
}

bool alpha_above_opaque(ByteSpan file, const Tim2Picture& picture) {
    if (picture.image_type == TIM2_DIRECT32) {
        for (const Tim2Level& level : picture.levels) {
            const std::uint8_t* p = file.data() + level.offset;
            const std::uint64_t count = std::uint64_t{level.width} * level.height;
            for (std::uint64_t i = 0; i < count; ++i) {
                if (p[4 * i + 3] > 0x80) {
                    return true;
                }
            }
        }
    } else if (picture.indexed() && picture.clut_format() == TIM2_DIRECT32) {
        const std::uint8_t* p = file.data() + picture.clut_offset;
        for (std::uint32_t i = 0; i < picture.clut_colours; ++i) {
            if (p[4 * i + 3] > 0x80) {
                return true;
            }
        }
    }
    return false;
}

PngImage export_picture(ByteSpan file, const Tim2Picture& picture) {
    const bool kept = alpha_above_opaque(file, picture);
    const Tim2Level& level = picture.levels[0];
    const std::uint8_t* pixels = file.data() + level.offset;
    const std::uint64_t count = std::uint64_t{level.width} * level.height;
    PngImage png;
    png.width = level.width;
    png.height = level.height;
    if (picture.indexed()) {
        png.colour = PngColour::palette;
        png.palette_bits = picture.image_type == TIM2_INDEXED4 ? 4 : 8;
        for (std::uint32_t i = 0; i < picture.palette_entries(); ++i) {
            png.palette.push_back(expand_colour(
                load_colour(file.data() + picture.clut_entry_offset(i), picture.clut_format()),
                picture.clut_format(), kept));
        }
        png.pixels.resize(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            png.pixels[i] = static_cast<std::uint8_t>(index_at(pixels, picture.image_type, i));
        }
        return png;
    }
    const unsigned format = picture.image_type;
    const unsigned bytes = tim2_colour_bytes(format);
    if (format == TIM2_DIRECT24) {
        png.colour = PngColour::rgb;
        png.pixels.assign(pixels, pixels + count * 3);
        return png;
    }
    png.colour = PngColour::rgba;
    png.pixels.resize(count * 4);
    std::uint8_t* out = png.pixels.data();
    for (std::uint64_t i = 0; i < count; ++i, out += 4) {
        const Rgba c = expand_colour(load_colour(pixels + i * bytes, format), format, kept);
        out[0] = c.r;
        out[1] = c.g;
        out[2] = c.b;
        out[3] = c.a;
    }
    return png;
}

bool import_picture(MutableByteSpan file, const Tim2Picture& picture, const PngImage& png,
                    PictureImport* result, std::string* err) {
    *result = PictureImport{};
    if (png.width != picture.levels[0].width || png.height != picture.levels[0].height) {
        *err = "the PNG is " + std::to_string(png.width) + "x" + std::to_string(png.height) +
               ", but the picture is " + std::to_string(picture.width) + "x" +
               std::to_string(picture.height);
        return false;
    }
    // Decided before anything changes, from the original's bytes.
    const bool kept = alpha_above_opaque(file, picture);
    return picture.indexed() ? import_indexed(file, picture, png, kept, result, err)
                             : import_direct(file, picture, png, kept, result, err);
}
