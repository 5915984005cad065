// ossory: decompresses a .tm2.lzr file into the plain .tm2.
//
// The whole input is loaded, its header checked before the output buffer is
// allocated, and the output written only when the decode succeeded, through a
// temporary file renamed into place: a damaged input never leaves a partial
// or replaced output behind.
#include <cstdio>
#include <string>
#include <vector>

#include "common/file_helpers.h"
#include "common/tool.h"
#include "ossory/lzr.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        return print_usage("ossory v1.01", "usage: %s <input.tm2.lzr> <output.tm2>\n", argv[0]);
    }
    const std::string input_path = argv[1];
    const std::string output_path = argv[2];

    std::string err;
    ByteBuffer file;
    if (!read_whole_file(input_path, &file, &err)) {
        return fail(err);
    }
    ByteBuffer output;
    std::string warning;
    if (!lzr_decode_file(file, input_path, &output, &warning, &err)) {
        return fail(err);
    }
    if (!warning.empty()) {
        std::fprintf(stderr, "%s\n", warning.c_str());
    }
    if (!write_whole_file(output_path, output, &err)) {
        return fail(err);
    }
    return 0;
}
