// make-bench-files: writes the single large files the benchmark times tools
// on, far larger than the game's own:
//   <dir>/big.evd      an .evd of `records` text records (default 100000);
//   <dir>/big.tm2.lzr  an LZR image of `image_mib` MiB of output (default 32);
//   <dir>/pack.tm2     an uncompressed image of `pack_mib` MiB (default 64),
//                      for timing lzrpack.
//
//   make-bench-files <dir> [records] [image_mib] [pack_mib]
//
// Texts are words from a small vocabulary, 0 to 40 of them, so lengths vary
// from nothing to a few hundred bytes as in a script of dialogue. The image
// has flat areas, gradients and noise, as the game's textures do. The same
// arguments always give the same bytes.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "brenmark/evd_test_builder.h"
#include "common/platform/file_io.h"
#include "ossory/lzr_encoder.h"
#include "sectors/sector_table.h"

namespace {

std::vector<std::uint8_t> big_evd(unsigned long records) {
    static const char* const words[] = {"the",   "sword", "of",   "Karo",  "lies",  "beyond",
                                        "river", "north", "gate", "speak", "to",    "elder",
                                        "...",   "Yes!",  "no",   "again", "night", "fire"};
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
            text += words[rng() % (sizeof words / sizeof words[0])];
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
    return 0;
}
