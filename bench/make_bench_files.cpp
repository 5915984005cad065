// make-bench-files: writes the single large files the benchmark times tools
// on, far larger than the game's own:
//   <dir>/big.evd      an .evd of `records` text records (default 100000);
//   <dir>/big.tm2.lzr  an LZR image of `image_mib` MiB of output (default 32);
//   <dir>/pack.tm2     an uncompressed image of `pack_mib` MiB (default 64),
//                      for timing lzrpack.
//   <dir>/img8.tm2, <dir>/img32.tm2  1024x1024 TIM2 images, 8-bit indexed and
//                      32-bit direct, and <dir>/img8.rgba, <dir>/img32.rgba
//                      their pixels as raw 8-bit RGBA, as a PNG shows them;
//   <dir>/texts/evd/dNN/eNNNN.evd  a game's texts for brenmark's folder forms:
//                      1,000 .evd files of 100 texts each, a third of them
//                      multi-line dialogue with control bytes, a third in the
//                      game's own encoding, a third plain words; and
//                      <dir>/texts/texts.tbl, the table of that encoding.
//
//   make-bench-files <dir> [records] [image_mib] [pack_mib]
//
// Texts are words from a small vocabulary, 0 to 40 of them, so lengths vary
// from nothing to a few hundred bytes as in a script of dialogue. The images
// have flat areas, gradients and noise, as the game's textures do. The same
// arguments always give the same bytes.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "brenmark/evd_test_builder.h"
#include "common/platform/file_io.h"
#include "ossory/lzr_encoder.h"
#include "sectors/sector_table.h"
#include "tools/sample_texts.h"
#include "tools/tim2_builder.h"

namespace {

const char* const WORDS[] = {"the",   "sword", "of",   "Karo",  "lies",  "beyond",
                             "river", "north", "gate", "speak", "to",    "elder",
                             "...",   "Yes!",  "no",   "again", "night", "fire"};
constexpr std::size_t WORD_COUNT = sizeof WORDS / sizeof WORDS[0];

std::vector<std::uint8_t> big_evd(unsigned long records) {
    const char* const* words = WORDS;
    std::mt19937 rng(7);
    EvdBuilder evd;
    std::string text;
    for (unsigned long i = 0; i < records; ++i) {
        text.clear();
        const auto count = static_cast<unsigned>(rng() % 41);
        for (unsigned w = 0; w < count; ++w) {
            if (w > 0) {
                text += ' ';
            }
            text += words[rng() % WORD_COUNT];
        }
        evd.text(static_cast<std::int32_t>(i * 3 + 1000), text);
    }
    evd.tail("TAIL");
    return evd.bytes();
}

std::vector<std::uint8_t> image(unsigned long mib, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> b(mib << 20);
    for (std::size_t i = 0; i < b.size(); ++i) {
        const std::size_t x = i % 256;
        b[i] = static_cast<std::uint8_t>(x < 100 ? i / 65536 : x < 200 ? x / 8 : rng() % 16);
    }
    return b;
}

std::vector<std::uint8_t> big_image(unsigned long mib) {
    std::vector<std::uint8_t> file;
    std::string err;
    if (!lzr_compress(image(mib, 8), 0, &file, &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        std::exit(1);
    }
    return file;
}

constexpr std::uint32_t SIDE = 1024;

/// What a title screen looks like to a compressor: a sky of smooth
/// gradients, hills and panels of flat colour with soft edges, lines of
/// small glyph-like marks, and one noisy (dithered) area. `shade` gives each
/// part its colours; the 8-bit image passes palette indices through it.
template <typename Shade>
void paint_title(Shade shade) {
    std::mt19937 rng(9);
    for (std::uint32_t y = 0; y < SIDE; ++y) {
        const std::uint32_t hill = 600 + static_cast<std::uint32_t>(80 * std::sin(y * 0.013));
        for (std::uint32_t x = 0; x < SIDE; ++x) {
            const bool panel = x >= 160 && x < 864 && y >= 700 && y < 940;
            const bool glyph = panel && y % 32 >= 8 && y % 32 < 24 && x % 12 < 8 &&
                               ((x / 12 * 7 + y / 32 * 13) % 5 != 0) && ((x * 3 + y * 5) % 7 < 4);
            const bool noise = x >= 40 && x < 200 && y >= 40 && y < 200;
            if (glyph) {
                shade(x, y, 0, 0);
            } else if (panel) {
                shade(x, y, 1, (x - 160) / 88 + (y - 700) / 60);
            } else if (noise) {
                shade(x, y, 2, rng() % 64);
            } else if (x > hill) {
                shade(x, y, 3, (x - hill) / 6 + y / 64);
            } else {
                shade(x, y, 4, y / 5 + x / 40);
            }
        }
    }
}

struct TitleImage {
    std::vector<std::uint8_t> tim2;
    std::vector<std::uint8_t> rgba;
};

/// The 8-bit picture: 256 colours of 32 bits stored in CSM1's order.
TitleImage title8() {
    std::uint8_t palette[256][4];
    for (unsigned i = 0; i < 256; ++i) {
        palette[i][0] = static_cast<std::uint8_t>(i < 128 ? i * 2 : 255 - (i - 128));
        palette[i][1] = static_cast<std::uint8_t>(i * 97 % 256);
        palette[i][2] = static_cast<std::uint8_t>(255 - i);
        palette[i][3] = 0x80;
    }
    Tim2PictureContents picture;
    picture.image_type = 5;
    picture.width = SIDE;
    picture.height = SIDE;
    picture.clut_type = 0x03;
    picture.clut_colours = 256;
    picture.levels.emplace_back(std::size_t{SIDE} * SIDE);
    std::vector<std::uint8_t>& pixels = picture.levels[0];
    paint_title([&](std::uint32_t x, std::uint32_t y, unsigned part, unsigned value) {
        static constexpr unsigned BASE[] = {0, 16, 64, 128, 192};
        static constexpr unsigned SPAN[] = {1, 48, 64, 64, 64};
        pixels[std::size_t{y} * SIDE + x] =
            static_cast<std::uint8_t>(BASE[part] + value % SPAN[part]);
    });
    std::vector<std::uint8_t> logical;
    for (const auto& c : palette) {
        logical.insert(logical.end(), c, c + 4);
    }
    picture.clut = swizzled_clut(logical, 4);
    TitleImage image;
    image.tim2 = build_tim2({picture});
    for (std::uint8_t index : pixels) {
        image.rgba.insert(image.rgba.end(),
                          {palette[index][0], palette[index][1], palette[index][2], 255});
    }
    return image;
}

/// The 32-bit picture: the same scene in smooth direct colour, alpha 0x80
/// (opaque) except a transparent band along the top.
TitleImage title32() {
    Tim2PictureContents picture;
    picture.image_type = 3;
    picture.width = SIDE;
    picture.height = SIDE;
    picture.levels.emplace_back(std::size_t{SIDE} * SIDE * 4);
    std::vector<std::uint8_t>& pixels = picture.levels[0];
    TitleImage image;
    image.rgba.resize(pixels.size());
    paint_title([&](std::uint32_t x, std::uint32_t y, unsigned part, unsigned value) {
        std::uint8_t c[4];
        switch (part) {
            case 0:
                c[0] = c[1] = c[2] = 250;
                break;
            case 1:
                c[0] = 20;
                c[1] = static_cast<std::uint8_t>(30 + value);
                c[2] = 90;
                break;
            case 2:
                c[0] = static_cast<std::uint8_t>(value * 4);
                c[1] = static_cast<std::uint8_t>(value * 3);
                c[2] = static_cast<std::uint8_t>(value * 2);
                break;
            case 3:
                c[0] = static_cast<std::uint8_t>(40 + value % 60);
                c[1] = static_cast<std::uint8_t>(120 + value % 90);
                c[2] = 30;
                break;
            default:
                c[0] = static_cast<std::uint8_t>(60 + y / 8);
                c[1] = static_cast<std::uint8_t>(100 + y / 10 + x / 64);
                c[2] = static_cast<std::uint8_t>(200 + x / 32 % 50);
                break;
        }
        const bool clear = y < 24;
        c[3] = clear ? 0 : 0x80;
        const std::size_t at = (std::size_t{y} * SIDE + x) * 4;
        std::copy(c, c + 4, pixels.begin() + static_cast<std::ptrdiff_t>(at));
        image.rgba[at] = c[0];
        image.rgba[at + 1] = c[1];
        image.rgba[at + 2] = c[2];
        image.rgba[at + 3] = clear ? 0 : 255;
    });
    image.tim2 = build_tim2({picture});
    return image;
}

/// The texts folder: 1,000 .evd files in 10 folders, 100 texts each.
bool write_texts(const std::string& dir, std::string* err) {
    Rng rng(11);
    std::mt19937 words(12);
    const std::string table = sample_text_table();
    FolderMaker folders;
    if (!folders.make_parents(dir + "/texts/texts.tbl", err) ||
        !write_whole_file(dir + "/texts/texts.tbl",
                          {reinterpret_cast<const std::uint8_t*>(table.data()), table.size()},
                          err)) {
        return false;
    }
    for (unsigned f = 0; f < 1000; ++f) {
        char name[64];
        std::snprintf(name, sizeof name, "/texts/evd/d%02u/e%04u.evd", f / 100, f);
        const auto first_id = static_cast<std::int32_t>(f * 1000);
        std::vector<std::uint8_t> evd;
        switch (f % 3) {
            case 0:
                evd = make_dialogue_evd(rng, 100, first_id, DialogueKind::multi_line);
                break;
            case 1:
                evd = make_dialogue_evd(rng, 100, first_id, DialogueKind::table_encoded);
                break;
            default: {
                EvdBuilder plain;
                for (std::int32_t t = 0; t < 100; ++t) {
                    std::string text;
                    for (auto w = static_cast<unsigned>(words() % 14); w > 0; --w) {
                        text +=
                            (text.empty() ? "" : " ") + std::string(WORDS[words() % WORD_COUNT]);
                    }
                    plain.text(first_id + t * 3, text);
                }
                evd = plain.tail("TAIL").bytes();
                break;
            }
        }
        const std::string path = dir + name;
        if (!folders.make_parents(path, err) || !write_whole_file(path, evd, err)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 5) {
        std::fprintf(stderr, "usage: %s <dir> [records] [image_mib] [pack_mib]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const unsigned long records = argc >= 3 ? std::strtoul(argv[2], nullptr, 10) : 100000;
    const unsigned long mib = argc >= 4 ? std::strtoul(argv[3], nullptr, 10) : 32;
    const unsigned long pack_mib = argc >= 5 ? std::strtoul(argv[4], nullptr, 10) : 64;
    std::string err;
    if (!write_whole_file(dir + "/big.evd", big_evd(records), &err) ||
        !write_whole_file(dir + "/big.tm2.lzr", big_image(mib), &err) ||
        !write_whole_file(dir + "/pack.tm2", image(pack_mib, 9), &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    const TitleImage eight = title8();
    const TitleImage direct = title32();
    if (!write_whole_file(dir + "/img8.tm2", eight.tim2, &err) ||
        !write_whole_file(dir + "/img8.rgba", eight.rgba, &err) ||
        !write_whole_file(dir + "/img32.tm2", direct.tim2, &err) ||
        !write_whole_file(dir + "/img32.rgba", direct.rgba, &err) || !write_texts(dir, &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    return 0;
}
