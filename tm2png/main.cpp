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
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/message.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/platform/host.h"
#include "common/run_files.h"
#include "common/text.h"
#include "common/tool.h"
#include "tm2png/tm2png.h"

namespace {

// Refuses an export whose conversion, and `also` (memory the run has yet to
// take before it), need more memory than the machine has available.
bool check_export_memory(const std::string& input_path, const Tim2File& file, std::uint64_t also,
                         std::string* err) {
    std::size_t largest = 0;
    const std::uint64_t need = also + export_memory(file, &largest);
    const std::uint64_t available = available_memory();
    if (need <= available) {
        return true;
    }
    *err =
        error_message(input_path,
                      "the export needs up to " + std::to_string((need >> 20) + 1) +
                          " MiB of memory, more than is available (about " +
                          std::to_string(available >> 20) + " MiB)",
                      file.pictures.empty() ? std::string()
                                            : "picture " + std::to_string(largest) + ", offset " +
                                                  hex(file.pictures[largest].offset));
    return false;
}

int export_images(const std::string& input_path, const Tim2Source& source, const Tim2File& file,
                  const std::string& png_path) {
    // The conversion is refused before it takes memory the machine does not have.
    std::string err;
    if (!check_export_memory(input_path, file, 0, &err)) {
        return fail(err);
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
    // The PNGs of a picture file appear together or not at all, and are
    // listed once they are there.
    std::vector<std::unique_ptr<AtomicFile>> files;
    std::vector<AtomicFile*> commits;
    for (const ExportedPicture& p : pictures) {
        files.push_back(std::make_unique<AtomicFile>());
        AtomicFile& png = *files.back();
        if (!png.open(p.path, &err)) {
            return fail(err);
        }
        // A link named .png that leads to an image would have the PNG
        // written over that image.
        if (!has_extension(png.final_path(), ".png")) {
            return fail(error_message(p.path, "a link to " + shown_link_target(png.final_path()) +
                                                  ", whose name does not end in .png; a PNG is "
                                                  "written only into a file named so"));
        }
        if (!png.write(p.png, &err)) {
            return fail(err);
        }
        commits.push_back(&png);
    }
    if (!commit_together(commits, false, &err)) {
        return fail(err);
    }
    for (const ExportedPicture& p : pictures) {
        std::printf("%s\n", p.listing.c_str());
    }
    return 0;
}

int import_images(const std::string& input_path, Tim2Source source, const Tim2File& file,
                  const std::string& png_path, const std::string& output_path) {
    std::string err;
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
            // Only the pictures before it were changed so far.
            listing.push_back(kept_listing(source.tim2, file.pictures[i], i, path));
            continue;
        }
        ByteBuffer png;
        std::string line, warning;
        if (!read_whole_file(path, &png, &err) ||
            !import_png(source.tim2, file.pictures[i], i, png, path, &line, &warning, &err)) {
            return fail(err);
        }
        inputs.push_back({path, "<edited.png>"});
        ++found;
        listing.push_back(line);
        warnings.push_back(warning);
    }
    if (found == 0) {
        return fail(error_message(
            png_path, "none of the " + std::to_string(count) + " pictures has its PNG (" +
                          picture_png_path(png_path, 0, count) + " to " +
                          picture_png_path(png_path, count - 1, count) + ")"));
    }
    // The output may replace the original image, never one of the PNGs.
    const RunFile outputs[] = {{output_path, "<output.tm2[.lzr]>", 0}};
    std::vector<bool> replaces_input;
    if (!check_run_files(inputs, outputs, &replaces_input, &err)) {
        return fail(err);
    }
    for (const std::string& warning : warnings) {
        if (!warning.empty()) {
            warn(warning);
        }
    }
    // Compressed or not by the name of the file that is written, which for
    // a link is the file it leads to.
    AtomicFile out;
    std::vector<std::uint8_t> compressed;
    ByteSpan output;
    if (!out.open(output_path, &err) ||
        !encode_output(source.tim2, out.final_path(), source.first_word, &compressed, &output,
                       &err) ||
        !out.write(output, &err) || !out.commit(replaces_input[0], &err)) {
        return fail(err);
    }
    for (const std::string& line : listing) {
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

int tm2png(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        return print_usage(TOOL_PAGE, argc > 0 ? argv[0] : "tm2png");
    }
    const std::string input_path = argv[1];
    // A shell pattern such as *.tm2 gives tm2png an image where the PNG's
    // name belongs; only a name ending in .png is written as a PNG.
    if (argc == 3 && !has_extension(argv[2], ".png")) {
        return fail(error_message(argv[2],
                                  "the output's name must end in .png (did a shell pattern such "
                                  "as *.tm2 name more than one file?)"));
    }
    std::string err, warning;
    // The file is held whole, the decoded image of a compressed one beside
    // it: neither is read or decoded when the machine cannot hold it.
    FileStatus status;
    if (!file_status(input_path, &status, &err)) {
        return fail(err);
    }
    if (status.kind == FileKind::regular && status.size > available_memory()) {
        return fail(
            error_message(input_path, "the file of " + std::to_string(status.size) +
                                          " bytes needs more memory than is available (about " +
                                          std::to_string(available_memory() >> 20) + " MiB)"));
    }
    ByteBuffer input;
    Tim2Source source;
    Tim2File file;
    if (!read_whole_file(input_path, &input, &err)) {
        return fail(err);
    }
    // What an export of a compressed image needs, decoding included, is
    // known from its first pictures' headers before the image is decoded.
    std::uint64_t decoded = 0;
    Tim2File start;
    const bool plain = input.size() >= 4 && std::memcmp(input.data(), "TIM2", 4) == 0;
    if (argc == 3 && !plain && peek_compressed_tim2(input, &decoded, &start) &&
        !check_export_memory(input_path, start, decoded, &err)) {
        return fail(err);
    }
    if (!load_tim2(std::move(input), input_path, available_memory(), &source, &warning, &err)) {
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
    return run_tool(tm2png, TOOL_PAGE, argc, argv);
}
