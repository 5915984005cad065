// make-sample-game: writes a synthetic SLUS_217.88 and RPK.BIN into a folder,
// with texts.tbl, the table file of its table-encoded texts, beside them,
// for the demo, manual tests and benchmarks.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/platform/file_io.h"
#include "common/tool.h"
#include "sectors/sector_table.h"
#include "tools/sample_game.h"
#include "tools/sample_image.h"

namespace {

constexpr const char* BANNER = "make-sample-game v1.0";
constexpr const char* USAGE =
    "usage: %s <dir> [--rpk-layout a|b] [--fpack-layout a|b] [--seed N] [--size BYTES[K|M|G]] "
    "[--canonical] [--small-files] [--image] [--image-size BYTES[K|M|G]]\n";

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return print_usage(BANNER, USAGE, argv[0]);
    }
    std::string dir;
    SampleOptions options;
    std::string err;
    if (!parse_sample_arguments(args, &dir, &options, &err)) {
        fail(err);
        std::fprintf(stderr, USAGE, argv[0]);
        return EXIT_FAILED;
    }
    // Only the two files are wanted; the model need not keep copies of the contents.
    options.keep_contents = false;

    SampleGame game;
    try {
        game = make_sample_game(options);
    } catch (const std::invalid_argument& e) {
        return fail(std::string("Error: ") + e.what());
    }
    const std::string summary = sample_summary(game);
    FolderMaker folders;
    // The table file is the translator's, beside the game in either form.
    if (!folders.make_parents(dir + "/SLUS_217.88", &err) ||
        !write_sample_text_table(game, dir, &err)) {
        return fail(err);
    }
    std::string written;
    if (options.image) {
        // The image is written by our own builder, not by a mastering program.
        const std::string path = dir + "/" + SAMPLE_IMAGE_NAME;
        const std::vector<IsoBuildFile> files = sample_image_files(
            std::move(game.executable), std::move(game.archive), options.image_size);
        if (!write_sample_image(files, path, &err)) {
            return fail(err);
        }
        written = std::string(", as the image ") + SAMPLE_IMAGE_NAME;
    } else if (!write_sample_game(game, dir, &err)) {
        return fail(err);
    }
    std::printf("%s: RPK layout %c, fpack layout %c, seed %llu%s%s: %s\n", dir.c_str(),
                options.rpk_layout.label, options.fpack_layout.label,
                static_cast<unsigned long long>(options.seed),
                options.canonical ? ", canonical" : "", written.c_str(), summary.c_str());
    return 0;
}
