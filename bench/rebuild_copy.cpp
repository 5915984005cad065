// rebuild-copy: korvane's archive rebuild with a chosen copy method and
// number of threads, for measuring which method is faster where
// (bench/copy_methods.sh). Writes the archive only, not the executable.
//
//   rebuild-copy <executable> <RPK.BIN> <output.bin> <in_system|buffered> <threads>
//
// Run in the folder the archive was extracted into (layout A).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/names.h"
#include "common/platform/file_io.h"
#include "korvane/rpk_index.h"
#include "sectors/sector_io.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr,
                     "usage: %s <executable> <RPK.BIN> <output.bin> <in_system|buffered> "
                     "<threads>\n",
                     argv[0]);
        return 2;
    }
    const std::string method = argv[4];
    if (method != "in_system" && method != "buffered") {
        std::fprintf(stderr, "%s: the method is in_system or buffered\n", argv[0]);
        return 2;
    }
    const PackCopy copy{static_cast<unsigned>(std::atoi(argv[5])),
                        method == "in_system" ? CopyMethod::in_system : CopyMethod::buffered};
    std::string err;
    MappedFile executable;
    FileHandle archive;
    std::uint64_t archive_size = 0;
    std::vector<RpkEntry> entries;
    if (!executable.open(argv[1], &err) || !open_input(argv[2], &archive, &archive_size, &err) ||
        !scan_rpk_index(executable.bytes(), RPK_LAYOUT_A, archive_size, argv[1], &entries, &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    std::vector<PackJob> jobs;
    for (const RpkEntry& entry : entries) {
        jobs.push_back({host_path(entry.record.name), entry.record.offset, rpk_place(entry.index),
                        entry.record.name});
    }
    std::vector<std::uint64_t> sizes;
    std::vector<PackPlacement> placements;
    std::uint64_t total = 0;
    AtomicFile out;
    if (!pack_file_sizes(jobs, &sizes, &err) ||
        !plan_packing(jobs, sizes, RPK_PACK_RULES, &placements, &total, &err) ||
        !out.open(argv[3], &err) ||
        !pack_files(
            jobs, placements, total, out, [](std::size_t) {}, &err, copy) ||
        !out.commit(false, &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    return 0;
}
