// lzr-greedy: compresses a file with the greedy LZR encoder, the baseline
// that bench/run.sh times lzrpack against.
//
//   lzr-greedy <input> <output.lzr>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "common/platform/file_io.h"
#include "testing/lzr_greedy.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <input> <output.lzr>\n", argv[0]);
        return 2;
    }
    std::string err;
    ByteBuffer input;
    if (!read_whole_file(argv[1], &input, &err) ||
        !write_whole_file(argv[2], lzr_encode_greedy(input), &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    return 0;
}
