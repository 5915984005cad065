// ossory: decompresses a .tm2.lzr file into the plain .tm2.
//
// The whole input is loaded, its header and streams checked before the
// output buffer is allocated, and the output written only when the decode
// succeeded, through a temporary file renamed into place: a damaged input
// never leaves a partial or replaced output behind.
#include <new>
#include <string>
#include <vector>

#include "common/message.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/run_files.h"
#include "common/tool.h"
#include "ossory/lzr.h"

namespace {

int ossory(int argc, char** argv) {
    if (argc < 3) {
        return print_usage(TOOL_PAGE, argv[0]);
    }
    const std::string input_path = argv[1];
    const std::string output_path = argv[2];
    // A shell pattern such as tex/*.tm2.lzr gives ossory two compressed
    // files, and the second one would be replaced by the first one's image.
    if (has_extension(output_path, ".lzr")) {
        return fail(error_message(output_path,
                                  "the output name ends in .lzr, but ossory writes the decoded "
                                  "image; name the output .tm2 (did a shell pattern such as "
                                  "*.tm2.lzr name more than one file?)"));
    }
    std::string err;
    const RunFile inputs[] = {{input_path, "<input.tm2.lzr>"}};
    const RunFile outputs[] = {{output_path, "<output.tm2>"}};
    std::vector<bool> replaces_input;
    if (!check_run_files(inputs, outputs, &replaces_input, &err)) {
        return fail(err);
    }
    // Nor may a link named .tm2 lead to a compressed file.
    AtomicFile out;
    if (!out.open(output_path, &err)) {
        return fail(err);
    }
    if (has_extension(out.final_path(), ".lzr")) {
        return fail(error_message(output_path, "a link to " + shown_link_target(out.final_path()) +
                                                   ", whose name ends in .lzr, but ossory writes "
                                                   "the decoded image"));
    }
    ByteBuffer file;
    if (!read_whole_file(input_path, &file, &err)) {
        return fail(err);
    }
    ByteBuffer output;
    std::string warning;
    try {
        if (!lzr_decode_file(file, input_path, &output, &warning, &err)) {
            return fail(err);
        }
    } catch (const std::bad_alloc&) {
        return fail(error_message(input_path, "not enough memory for the decoded image of " +
                                                  std::to_string(load_le32(file.data() + 12)) +
                                                  " bytes"));
    }
    if (!warning.empty()) {
        warn(warning);
    }
    if (!out.write(output, &err) || !out.commit(false, &err)) {
        return fail(err);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool(ossory, TOOL_PAGE, argc, argv);
}
