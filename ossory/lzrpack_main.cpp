// lzrpack: compresses a file (an edited .tm2) into an LZR file that ossory,
// and the game's decoder, decode back exactly; no valid LZR file of the same
// content is smaller.
//
// The header's first word has no known meaning. With three arguments it is
// copied from original.lzr, the file being replaced, whose header is read and
// checked first; the output may be original.lzr itself. With two it is 0.
// The output is written through a temporary file renamed into place only
// when complete, so a failed run leaves any existing file as it was. Its
// name (and the name of the file a link leads to) must end in .lzr, and the
// input's must not, so that a shell pattern cannot replace a file.
#include <cstdint>
#include <string>
#include <vector>

#include "common/message.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/run_files.h"
#include "common/tool.h"
#include "ossory/lzr.h"
#include "ossory/lzr_encoder.h"

namespace {

int lzrpack(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        return print_usage(TOOL_PAGE, argv[0]);
    }
    const bool has_original = argc == 4;
    const std::string input_path = argv[argc - 2];
    const std::string output_path = argv[argc - 1];
    // A shell pattern such as *.tm2 names an image where the output belongs,
    // and *.tm2.lzr a compressed file where the input belongs: either would
    // replace the last file of the pattern with another one's data.
    if (!has_extension(output_path, ".lzr")) {
        return fail(error_message(output_path,
                                  "the output's name does not end in .lzr, but lzrpack writes an "
                                  "LZR file; name the output .lzr (did a shell pattern such as "
                                  "*.tm2 name more than one file?)"));
    }
    if (has_extension(input_path, ".lzr")) {
        return fail(error_message(input_path,
                                  "the input's name ends in .lzr, so it is compressed already; "
                                  "lzrpack compresses a decoded file such as a .tm2 (did a shell "
                                  "pattern such as *.tm2.lzr name more than one file?)"));
    }
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
    // Refused by its size before a byte of it is read or any memory taken.
    FileStatus status;
    if (!file_status(input_path, &status, &err)) {
        return fail(err);
    }
    if (status.kind == FileKind::regular && !lzr_input_fits(status.size, input_path, &err)) {
        return fail(err);
    }
    // Opened first, so that a link named .lzr leading to an image is
    // refused before the work; replacing the original destroys the only
    // other copy of the image.
    AtomicFile output;
    if (!output.open(output_path, &err)) {
        return fail(err);
    }
    if (!has_extension(output.final_path(), ".lzr")) {
        const std::string& target = output.final_path();
        return fail(error_message(output_path,
                                  "a link to " + shown_link_target(target) +
                                      ", whose name does not end in .lzr; an LZR file is written "
                                      "only into a file named so"));
    }
    ByteBuffer input;
    std::vector<std::uint8_t> file;
    if (!read_whole_file(input_path, &input, &err) ||
        !lzr_compress(input, input_path, first_word, &file, &err) || !output.write(file, &err) ||
        !output.commit(replaces_input[0], &err)) {
        return fail(err);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool(lzrpack, TOOL_PAGE, argc, argv);
}
