// tm2png: turns the pictures of a TIM2 image (.tm2, or LZR-compressed
// .tm2.lzr) into PNG files, and edited PNG files back into a copy of the image.
//
//   tm2png <image.tm2[.lzr]> <out.png>                               export
//   tm2png <original.tm2[.lzr]> <edited.png> <output.tm2[.lzr]>      import
//
// Everything is read, checked and converted in memory before the first file
// is written, and every output goes through a temporary file renamed into
// place (the PNGs of an export all together), so the output may be the
// original itself.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/run_files.h"
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

int export_images(const std::string& input_path, const Tim2Source& source, const Tim2File& file,
                  const std::string& png_path) {
    std::string err;
    // A shell pattern such as *.tm2 gives tm2png an image where the PNG's
    // name belongs; only a name ending in .png is written as a PNG.
    if (!has_extension(png_path, ".png")) {
        return fail("Error: " + png_path +
                    ": the output's name must end in .png (did a shell pattern such as *.tm2 "
                    "name more than one file?)");
    }
    std::vector<ExportedPicture> pictures;
    if (!export_pictures(source, file, png_path, &pictures, &err)) {
        return fail(err);
    }
    const RunFile inputs[] = {{input_path, "<image.tm2[.lzr]>"}};
    std::vector<RunFile> outputs;
    for (const ExportedPicture& p : pictures) {
        outputs.push_back({p.path, "<out.png>"});
    }
    std::vector<bool> replaces_input;
    if (!check_run_files(inputs, outputs, &replaces_input, &err)) {
        return fail(err);
    }
    for (const ExportedPicture& p : pictures) {
        std::printf("%s\n", p.listing.c_str());
    }
    // The PNGs of a picture file appear together or not at all.
    std::vector<std::unique_ptr<AtomicFile>> files;
    std::vector<AtomicFile*> commits;
    for (const ExportedPicture& p : pictures) {
        files.push_back(std::make_unique<AtomicFile>());
        if (!files.back()->open(p.path, &err) || !files.back()->write(p.png, &err)) {
            return fail(err);
        }
        commits.push_back(files.back().get());
    }
    if (!commit_together(commits, false, &err)) {
        return fail(err);
    }
    return 0;
}

int import_images(const std::string& input_path, Tim2Source source, const Tim2File& file,
                  const std::string& png_path, const std::string& output_path) {
    std::string err;
    const std::vector<std::uint8_t> original = source.tim2;
    std::vector<std::string> listing, warnings;
    std::vector<RunFile> inputs = {{input_path, "<original.tm2[.lzr]>"}};
    std::size_t found = 0;
    const std::size_t count = file.pictures.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string path = picture_png_path(png_path, i, count);
        FileStatus status;
        if (!file_status(path, &status, &err)) {
            return fail(err);
        }
        // A picture of several whose PNG is not there stays as it was.
        if (count > 1 && status.kind == FileKind::missing) {
            listing.push_back(kept_listing(original, file.pictures[i], i, path));
            continue;
        }
        ByteBuffer png;
        std::string line, warning;
        if (!read_whole_file(path, &png, &err) ||
            !import_png(&source.tim2, file.pictures[i], i, png, path, &line, &warning, &err)) {
            return fail(err);
        }
        inputs.push_back({path, "<edited.png>"});
        ++found;
        listing.push_back(line);
        warnings.push_back(warning);
    }
    if (found == 0) {
        return fail("Error: " + png_path + ": none of the " + std::to_string(count) +
                    " pictures has its PNG (" + picture_png_path(png_path, 0, count) + " to " +
                    picture_png_path(png_path, count - 1, count) + ")");
    }
    // The output may replace the original image, never one of the PNGs.
    const RunFile outputs[] = {{output_path, "<output.tm2[.lzr]>", 0}};
    std::vector<bool> replaces_input;
    if (!check_run_files(inputs, outputs, &replaces_input, &err)) {
        return fail(err);
    }
    std::vector<std::uint8_t> output;
    if (!encode_output(std::move(source.tim2), output_path, source.first_word, &output, &err)) {
        return fail(err);
    }
    for (const std::string& line : listing) {
        std::printf("%s\n", line.c_str());
    }
    for (const std::string& warning : warnings) {
        if (!warning.empty()) {
            warn(warning);
        }
    }
    AtomicFile out;
    if (!out.open(output_path, &err) || !out.write(output, &err) ||
        !out.commit(replaces_input[0], &err)) {
        return fail(err);
    }
    return 0;
}

int tm2png(int argc, char** argv) {
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
    if (!warning.empty()) {
        warn(warning);
    }
    if (!parse_tim2(source.tim2, source.name, &file, &err)) {
        return fail(err);
    }
    if (argc == 3) {
        return export_images(input_path, source, file, argv[2]);
    }
    return import_images(input_path, std::move(source), file, argv[2], argv[3]);
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool(tm2png, argc, argv);
}
