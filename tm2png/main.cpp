// tm2png: turns the pictures of a TIM2 image (.tm2, or LZR-compressed
// .tm2.lzr) into PNG files, and edited PNG files back into a copy of the image.
//
//   tm2png <image.tm2[.lzr]> <out.png>                               export
//   tm2png <original.tm2[.lzr]> <edited.png> <output.tm2[.lzr]>      import
//
// Everything is read, checked and converted in memory before the first file
// is written, and every output goes through a temporary file renamed into
// place, so the output may be the original itself.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "common/file_helpers.h"
#include "common/tool.h"
#include "tm2png/tm2png.h"

namespace {

int usage(const char* program) {
    std::fprintf(stderr, "tm2png v1.0\n\n");
    std::fprintf(stderr,
                 "usage: %s <image.tm2[.lzr]> <out.png>  |  %s <original.tm2[.lzr]> <edited.png> "
                 "<output.tm2[.lzr]>\n",
                 program, program);
    return EXIT_FAILED;
}

void warn(const std::string& warning) {
    if (!warning.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", warning.c_str());
    }
}

int export_images(const Tim2Source& source, const Tim2File& file, const std::string& png_path) {
    std::string err;
    std::vector<ExportedPicture> pictures;
    if (!export_pictures(source, file, png_path, &pictures, &err)) {
        return fail(err);
    }
    for (const ExportedPicture& p : pictures) {
        std::printf("%s\n", p.listing.c_str());
    }
    for (const ExportedPicture& p : pictures) {
        if (!write_whole_file(p.path, p.png, &err)) {
            return fail(err);
        }
    }
    return 0;
}

int import_images(Tim2Source source, const Tim2File& file, const std::string& png_path,
                  const std::string& output_path) {
    std::string err;
    const std::vector<std::uint8_t> original = source.tim2;
    std::vector<std::string> listing, warnings;
    std::size_t found = 0;
    const std::size_t count = file.pictures.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string path = picture_png_path(png_path, i, count);
        // A picture of several whose PNG is not there stays as it was.
        if (count > 1 && ::access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
            listing.push_back(kept_listing(original, file.pictures[i], i, path));
            continue;
        }
        ByteBuffer png;
        std::string line, warning;
        if (!read_whole_file(path, &png, &err) ||
            !import_png(&source.tim2, file.pictures[i], i, png, path, &line, &warning, &err)) {
            return fail(err);
        }
        ++found;
        listing.push_back(line);
        warnings.push_back(warning);
    }
    if (found == 0) {
        return fail("Error: " + png_path + ": none of the " + std::to_string(count) +
                    " pictures has its PNG (" + picture_png_path(png_path, 0, count) + " to " +
                    picture_png_path(png_path, count - 1, count) + ")");
    }
    std::vector<std::uint8_t> output;
    if (!encode_output(std::move(source.tim2), output_path, source.first_word, &output, &err)) {
        return fail(err);
    }
    for (const std::string& line : listing) {
        std::printf("%s\n", line.c_str());
    }
    for (const std::string& warning : warnings) {
        warn(warning);
    }
    if (!write_whole_file(output_path, output, &err)) {
        return fail(err);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        return usage(argc > 0 ? argv[0] : "tm2png");
    }
    const std::string input_path = argv[1];
    std::string err, warning;
    ByteBuffer input;
    Tim2Source source;
    Tim2File file;
    if (!read_whole_file(input_path, &input, &err) ||
        !load_tim2(input, input_path, &source, &warning, &err)) {
        return fail(err);
    }
    warn(warning);
    if (!parse_tim2(source.tim2, source.name, &file, &err)) {
        return fail(err);
    }
    if (argc == 3) {
        return export_images(source, file, argv[2]);
    }
    return import_images(std::move(source), file, argv[2], argv[3]);
}
