// make-bench-evd: writes an .evd with many text records, for timing brenmark
// on a file far larger than the game's own.
//
//   make-bench-evd <output.evd> [records]     records default to 100000
//
// Texts are words from a small vocabulary, 1 to 40 of them, so lengths vary
// from a few bytes to a few hundred as in a script of dialogue; a few are
// empty. The same arguments always give the same bytes.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "brenmark/evd_test_builder.h"
#include "common/file_helpers.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s <output.evd> [records]\n", argv[0]);
        return 2;
    }
    const unsigned long records = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 100000;
    static const char* const words[] = {"the",   "sword", "of",   "Karo",  "lies", "beyond",
                                        "river", "north", "gate", "speak", "to",   "elder",
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
    std::string err;
    if (!write_whole_file(argv[1], evd.bytes(), &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    return 0;
}
