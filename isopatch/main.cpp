// isopatch: lists and extracts the files of a disc image, or writes a copy
// of the image with chosen files replaced, every other file where it was and
// both file systems (ISO 9660 and the UDF bridge) updated.
#include <cstdio>
#include <string>
#include <vector>

#include "common/platform/file_io.h"
#include "common/run_files.h"
#include "common/tool.h"
#include "common/tool_page.h"
#include "isopatch/isopatch.h"

namespace {

void print_line(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
}

int isopatch(int argc, char** argv) {
    if (argc == 3 || (argc >= 2 && argv[1] == std::string("-x"))) {
        return print_usage(TOOL_PAGE, argv[0]);
    }
    if (argc < 2) {
        return print_usage(TOOL_PAGE, argv[0]);
    }
    const std::string image_path = argv[1];
    const bool extracting = argc >= 4 && argv[2] == std::string("-x");
    const bool patching = argc >= 4 && !extracting;
    std::vector<ReplacementSource> replacements;
    std::string err;
    if (patching) {
        std::vector<RunFile> inputs = {{image_path, "<game.iso>"}};
        for (int i = 3; i < argc; ++i) {
            const std::string argument = argv[i];
            const std::size_t equals = argument.find('=');
            if (equals == std::string::npos || equals == 0 || equals + 1 == argument.size()) {
                return print_usage(TOOL_PAGE, argv[0]);
            }
            replacements.push_back({argument.substr(0, equals), argument.substr(equals + 1)});
            inputs.push_back({replacements.back().path, "<PATH=FILE>"});
        }
        const RunFile outputs[] = {{argv[2], "<output.iso>"}};
        std::vector<bool> replaces_input;
        if (!check_run_files(inputs, outputs, &replaces_input, &err)) {
            return fail(err);
        }
    }
    IsoImageFile image;
    if (!image.open(image_path, &err)) {
        return fail(err);
    }
    const IsoImage& iso = image.image();
    if (extracting) {
        const std::vector<std::string> names(argv + 4, argv + argc);
        std::vector<std::size_t> selected;
        if (!select_iso_files(iso, names, image_path, &selected, &err) ||
            !extract_iso_files(
                image, argv[3], selected,
                [&](std::size_t i) {
                    print_line(iso_listing_line(selected[i], iso.files[selected[i]]));
                },
                &err)) {
            return fail(err);
        }
        return 0;
    }
    if (!patching) {
        for (std::size_t i = 0; i < iso.files.size(); ++i) {
            print_line(iso_listing_line(i, iso.files[i]));
        }
        return 0;
    }
    AtomicFile output;
    PatchPlan plan;
    if (!output.open(argv[2], &err) ||
        !write_patched_image(image, replacements, output, &plan, &err)) {
        return fail(err);
    }
    for (const PatchedFile& patched : plan.files) {
        print_line(patch_listing_line(iso, patched));
    }
    // The output never replaces the image (refused above); it needs no
    // flush to disk before the rename.
    image.close();
    if (!output.commit(false, &err)) {
        return fail(err);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool(isopatch, TOOL_PAGE, argc, argv);
}
