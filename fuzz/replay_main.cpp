// Runs a fuzz target's saved inputs without libFuzzer, so that every build
// (any compiler, sanitizers or not) replays the corpus and the pinned
// regression inputs as an ordinary test.
//
//     usage: <target>-replay <dir or file>...
//
// Each file of each directory (not recursing, in name order) is read whole
// and handed to LLVMFuzzerTestOneInput once. A target reports a broken
// invariant by aborting, which fails the test. A missing path, an unreadable
// file or a run that replayed nothing is an error too, so that a corpus that
// went missing cannot pass as an empty one.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "common/platform/file_io.h"
#include "sectors/sector_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool collect(const fs::path& path, std::vector<fs::path>* files) {
    std::error_code ec;
    if (fs::is_regular_file(path, ec)) {
        files->push_back(path);
        return true;
    }
    if (!fs::is_directory(path, ec)) {
        std::fprintf(stderr, "Error: %s: no such file or directory\n", path.string().c_str());
        return false;
    }
    std::vector<fs::path> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(path, ec)) {
        if (entry.is_regular_file(ec)) {
            found.push_back(entry.path());
        }
    }
    if (ec) {
        std::fprintf(stderr, "Error: %s: %s\n", path.string().c_str(), ec.message().c_str());
        return false;
    }
    std::sort(found.begin(), found.end());
    files->insert(files->end(), found.begin(), found.end());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <dir or file>...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], &files)) {
            return 1;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "Error: no inputs to replay\n");
        return 1;
    }
    for (const fs::path& file : files) {
        ByteBuffer bytes;
        std::string err;
        if (!read_whole_file(file.string(), &bytes, &err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            return 1;
        }
        // Names the input first, so that a target that aborts is traced to it.
        std::fprintf(stderr, "replay %s (%zu bytes)\n", file.string().c_str(), bytes.size());
        // A buffer of exactly the input's size, so that AddressSanitizer sees
        // a read one byte past the end as libFuzzer's own buffer would show it.
        const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        LLVMFuzzerTestOneInput(exact.get(), bytes.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
