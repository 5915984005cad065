// brenmark: dumps the texts of an .evd file to a plain-text script, or builds
// a new .evd from the old one and an edited script.
//
//   brenmark <input.evd> <script.txt>              dump
//   brenmark <input.evd> <script.txt> <output.evd> insert
//
// Every output is written whole to a temporary file beside it and renamed
// into place only when complete, so a failed run leaves existing files as
// they were and no partial file behind; the output may be the input itself.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "brenmark/evd_format.h"
#include "common/file_helpers.h"
#include "common/tool.h"

namespace {

const char* const BANNER = "brenmark v1.0";
const char* const USAGE = "usage: %s <input.evd> <script.txt> [output.evd]\n";

// The script has its own open-failure message, without the system's reason.
int script_open_failed(const std::string& path) {
    std::fflush(stdout);
    std::fprintf(stderr, "Could not open %s\n", path.c_str());
    return EXIT_FAILED;
}

std::span<const std::uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

int dump(const std::string& input_path, ByteSpan input,
         const std::string& script_path) {
    std::string err;
    AtomicFile script_file;
    if (!script_file.open(script_path, &err)) {
        return script_open_failed(script_path);
    }
    EvdFile evd;
    std::string script;
    if (!parse_evd(input, input_path, &evd, &err) || !make_script(evd, input_path, &script, &err) ||
        !script_file.write(bytes_of(script), &err) || !script_file.commit(false, &err)) {
        return fail(err);
    }
    return 0;
}

int insert(const std::string& input_path, ByteSpan input,
           const std::string& script_path, const std::string& output_path) {
    std::string err;
    const int script_fd = open_file(script_path, READ_FLAGS, 0, &err);
    if (script_fd < 0) {
        return script_open_failed(script_path);
    }
    ByteBuffer script_bytes;
    const bool read = read_whole_fd(script_fd, script_path, &script_bytes, &err);
    ::close(script_fd);
    if (!read) {
        return fail(err);
    }
    const std::string_view script(reinterpret_cast<const char*>(script_bytes.data()),
                                  script_bytes.size());
    AtomicFile output_file;
    if (!output_file.open(output_path, &err)) {
        return fail(err);
    }
    EvdFile evd;
    std::vector<std::uint8_t> output;
    std::string warning;
    if (!parse_evd(input, input_path, &evd, &err) ||
        !insert_script(evd, script, script_path, &output, &warning, &err)) {
        return fail(err);
    }
    if (!warning.empty()) {
        std::fprintf(stderr, "%s\n", warning.c_str());
    }
    if (!output_file.write(output, &err) || !output_file.commit(false, &err)) {
        return fail(err);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return print_usage(BANNER, USAGE, argc > 0 ? argv[0] : "brenmark");
    }
    const std::string input_path = argv[1];
    const std::string script_path = argv[2];
    const bool insert_mode = argc > 3 && argv[3][0] != '\0';

    ByteBuffer input;
    std::string err;
    if (!read_whole_file(input_path, &input, &err)) {
        return fail(err);
    }
    if (insert_mode) {
        return insert(input_path, input, script_path, argv[3]);
    }
    return dump(input_path, input, script_path);
}
