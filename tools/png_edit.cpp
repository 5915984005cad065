// png-edit: the two image edits the demo needs, so that it runs with nothing
// installed by hand. Not a shipped tool.
//
//   png-edit rect <in.png> <out.png> <x> <y> <width> <height> <index>
//       fills a rectangle of a palette PNG with palette entry <index>
//   png-edit diff <a.png> <b.png>
//       prints "<count> <x0> <y0> <x1> <y1>": how many pixels differ in
//       colour and the smallest rectangle (inclusive corners) holding them,
//       or "0" when none does
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/platform/file_io.h"
#include "tm2png/png_io.h"

namespace {

bool load(const std::string& path, PngImage* image) {
    ByteBuffer bytes;
    std::string err;
    if (!read_whole_file(path, &bytes, &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return false;
    }
    if (!read_png(bytes, 0, 0, image, &err)) {
        std::fprintf(stderr, "Error: %s: %s\n", path.c_str(), err.c_str());
        return false;
    }
    return true;
}

int rect(char** argv) {
    PngImage image;
    if (!load(argv[2], &image)) {
        return 1;
    }
    const unsigned long x = std::strtoul(argv[4], nullptr, 10);
    const unsigned long y = std::strtoul(argv[5], nullptr, 10);
    const unsigned long width = std::strtoul(argv[6], nullptr, 10);
    const unsigned long height = std::strtoul(argv[7], nullptr, 10);
    const unsigned long index = std::strtoul(argv[8], nullptr, 10);
    if (image.colour != PngColour::palette || index >= image.palette.size()) {
        std::fprintf(stderr, "Error: %s: not a palette PNG with an entry %lu\n", argv[2], index);
        return 1;
    }
    if (x + width > image.width || y + height > image.height) {
        std::fprintf(stderr, "Error: the rectangle does not fit in the %ux%u image\n", image.width,
                     image.height);
        return 1;
    }
    for (unsigned long row = y; row < y + height; ++row) {
        for (unsigned long column = x; column < x + width; ++column) {
            image.pixels[row * image.width + column] = static_cast<std::uint8_t>(index);
        }
    }
    std::vector<std::uint8_t> out;
    std::string err;
    if (!write_png(image, &out, &err) || !write_whole_file(argv[3], out, &err)) {
        std::fprintf(stderr, "Error: %s: %s\n", argv[3], err.c_str());
        return 1;
    }
    return 0;
}

int diff(char** argv) {
    PngImage a, b;
    if (!load(argv[2], &a) || !load(argv[3], &b)) {
        return 1;
    }
    std::vector<Rgba> ca, cb;
    std::string err;
    if (a.width != b.width || a.height != b.height || !png_to_rgba(a, &ca, &err) ||
        !png_to_rgba(b, &cb, &err)) {
        std::fprintf(stderr, "Error: the images differ in size or cannot be compared\n");
        return 1;
    }
    std::size_t count = 0, x0 = a.width, y0 = a.height, x1 = 0, y1 = 0;
    for (std::size_t i = 0; i < ca.size(); ++i) {
        if (!(ca[i] == cb[i])) {
            const std::size_t x = i % a.width, y = i / a.width;
            ++count;
            x0 = std::min(x0, x);
            y0 = std::min(y0, y);
            x1 = std::max(x1, x);
            y1 = std::max(y1, y);
        }
    }
    if (count == 0) {
        std::printf("0\n");
    } else {
        std::printf("%zu %zu %zu %zu %zu\n", count, x0, y0, x1, y1);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 9 && std::string(argv[1]) == "rect") {
        return rect(argv);
    }
    if (argc == 4 && std::string(argv[1]) == "diff") {
        return diff(argv);
    }
    std::fprintf(stderr,
                 "usage: %s rect <in.png> <out.png> <x> <y> <width> <height> <index>\n"
                 "       %s diff <a.png> <b.png>\n",
                 argv[0], argv[0]);
    return 2;
}
