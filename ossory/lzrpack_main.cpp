// lzrpack: compresses a file (an edited .tm2) into an LZR file that ossory,
// and the game's decoder, decode back exactly; no valid LZR file of the same
// content is smaller.
//
// The header's first word has no known meaning. With three arguments it is
// copied from original.lzr, the file being replaced, whose header is read and
// checked first; the output may be original.lzr itself. With two it is 0.
// The output is written through a temporary file renamed into place only
// when complete, so a failed run leaves any existing file as it was.
#include <cstdint>
#include <string>
#include <vector>

#include "common/platform/file_io.h"
#include "common/run_files.h"
#include "common/tool.h"
#include "ossory/lzr.h"
#include "ossory/lzr_encoder.h"

namespace {

int lzrpack(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        return print_usage("lzrpack v1.0", "usage: %s [original.lzr] <input> <output.lzr>\n",
                           argv[0]);
    }
    const bool has_original = argc == 4;
    const std::string input_path = argv[argc - 2];
    const std::string output_path = argv[argc - 1];
    std::vector<RunFile> inputs = {{input_path, "<input>"}};
    if (has_original) {
        inputs.push_back({argv[1], "[original.lzr]"});
    }
    // The output may replace the original, never the file being compressed.
    const RunFile outputs[] = {{output_path, "<output.lzr>", has_original ? 1 : -1}};
    std::vector<bool> replaces_input;
    std::string err;
    if (!check_run_files(inputs, outputs, &replaces_input, &err)) {
        return fail(err);
    }
    std::uint32_t first_word = 0;
    if (has_original) {
        const std::string original_path = argv[1];
        MappedFile original;  // only the header's page is read
        LzrHeader header;
        if (!original.open(original_path, &err) ||
            !parse_lzr_header(original.bytes(), original_path, &header, &err)) {
            return fail(err);
        }
        first_word = header.first_word;
    }
    ByteBuffer input;
    if (!read_whole_file(input_path, &input, &err)) {
        return fail(err);
    }
    std::vector<std::uint8_t> file;
    if (!lzr_compress(input, input_path, first_word, &file, &err)) {
        return fail(err);
    }
    // Replacing the original destroys the only other copy of the image.
    AtomicFile output;
    if (!output.open(output_path, &err) || !output.write(file, &err) ||
        !output.commit(replaces_input[0], &err)) {
        return fail(err);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool(lzrpack, argc, argv);
}
