// korvane: lists and extracts RPK.BIN by the index in the game executable,
// or packs the extracted (and edited) files into a new archive and writes a
// copy of the executable whose index points at the new data.
//
// Built twice from this source; KORVANE_LAYOUT picks the layout record.
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/run_files.h"
#include "common/tool.h"
#include "korvane/rpk_index.h"
#include "sectors/rebuild_outputs.h"
#include "sectors/sector_io.h"

namespace {

#if KORVANE_LAYOUT == 'A'
constexpr RpkLayout LAYOUT = RPK_LAYOUT_A;
#elif KORVANE_LAYOUT == 'B'
constexpr RpkLayout LAYOUT = RPK_LAYOUT_B;
#else
#error "KORVANE_LAYOUT must be 'A' or 'B'"
#endif

void print_listing_line(const RpkEntry& entry) {
    const std::string line = rpk_listing_line(entry);
    std::fwrite(line.data(), 1, line.size(), stdout);
}

// Writes every entry's data below the current folder under its stored name,
// after checking that all of it can be written.
int extract(const std::vector<RpkEntry>& entries, const std::string& executable_path,
            const ExtractSource& archive) {
    std::vector<ExtractJob> jobs;
    jobs.reserve(entries.size());
    for (const RpkEntry& entry : entries) {
        jobs.push_back({host_path(entry.record.name), 0, sector_offset(entry.record.sector),
                        entry.record.length, rpk_place(entry.index), entry.record.name});
    }
    const ExtractSource sources[] = {archive};
    const std::string inputs[] = {executable_path, archive.path};
    std::string err;
    if (!check_extract_ranges(jobs, sources, &err) || !check_extract_names(jobs, &err) ||
        !check_extract_targets(jobs, inputs, &err) ||
        !run_extraction(
            jobs, sources, [&](std::size_t i) { print_listing_line(entries[i]); }, &err)) {
        return fail(err);
    }
    return 0;
}

// Packs the file found at each entry's name into the new archive, in index
// order from sector 0 with zero fill (every file copied to its place at once,
// on every core), and patches the entries in the image.
// Both outputs replace their targets together, and only once everything has
// succeeded.
int rebuild(MappedFile& executable, const std::vector<RpkEntry>& entries,
            AtomicFile& output_archive, AtomicFile& output_executable, bool durable) {
    std::vector<PackJob> jobs;
    jobs.reserve(entries.size());
    for (const RpkEntry& entry : entries) {
        jobs.push_back({host_path(entry.record.name), entry.record.offset, rpk_place(entry.index),
                        entry.record.name});
    }
    std::vector<std::uint64_t> sizes;
    std::vector<PackPlacement> placements;
    std::uint64_t total = 0;
    std::string err;
    // The size and identity of every file at a stored name: neither output
    // may be one of them.
    std::vector<FileId> ids;
    RebuildReads reads;
    if (!pack_file_sizes(jobs, &sizes, &err, &ids)) {
        return fail(err);
    }
    reads.add(jobs, ids);
    if (!check_output_not_read(output_executable.target(), "[output.elf]", reads, &err) ||
        !check_output_not_read(output_archive.target(), "[output.bin]", reads, &err) ||
        !plan_packing(jobs, sizes, RPK_PACK_RULES, &placements, &total, &err) ||
        !pack_files(
            jobs, placements, total, output_archive,
            [&](std::size_t i) { print_listing_line(entries[i]); }, &err,
            archive_pack_copy(output_archive.final_path()))) {
        return fail(err);
    }
    patch_records(executable.bytes(), jobs, placements);
    if (!output_executable.write(executable.bytes(), &err)) {
        return fail(err);
    }
    // The inputs are closed before they are replaced.
    executable.close();
    AtomicFile* const outputs[] = {&output_archive, &output_executable};
    if (!commit_together(outputs, durable, &err)) {
        return fail(err);
    }
    return 0;
}

int korvane(int argc, char** argv) {
    if (argc != 3 && argc != 5) {
        return print_usage(TOOL_PAGE, argv[0]);
    }
    const std::string executable_path = argv[1];
    const std::string archive_path = argv[2];
    const bool rebuilding = argc == 5 && argv[3][0] != '\0';

    std::string err;
    std::vector<bool> replaces_input;
    const RunFile inputs[] = {{executable_path, "<SLUS_217.88 etc>"}, {archive_path, "<RPK.BIN>"}};
    const RunFile outputs[] = {{rebuilding ? argv[3] : "", "[output.elf]", 0},
                               {rebuilding ? argv[4] : "", "[output.bin]", 1}};
    if (!check_run_files(inputs, std::span(outputs, rebuilding ? 2 : 0), &replaces_input, &err) ||
        (rebuilding && !check_output_executable(argv[3], "[output.elf]", &err))) {
        return fail(err);
    }
    MappedFile executable;
    if (!executable.open(executable_path, &err)) {
        return fail(err);
    }
    ExtractSource archive{archive_path, 0};
    {
        FileHandle file;
        if (!open_input(archive_path, &file, &archive.size, &err)) {
            return fail(err);
        }
    }

    // The new files are opened before the walk, so a path that cannot be
    // created stops the run before any listing line.
    AtomicFile output_archive, output_executable;
    if (rebuilding &&
        (!output_archive.open(argv[4], &err) || !output_executable.open(argv[3], &err))) {
        return fail(err);
    }

    std::vector<RpkEntry> entries;
    if (!scan_rpk_index(executable.bytes(), LAYOUT, archive.size, executable_path, &entries,
                        &err)) {
        return fail(err);
    }
    if (rebuilding) {
        // Replacing one of the run's own inputs destroys the only other copy,
        // so the new files reach the disk first; an output that replaces an
        // earlier output is only renamed into place.
        return rebuild(executable, entries, output_archive, output_executable,
                       replaces_input[0] || replaces_input[1]);
    }
    return extract(entries, executable_path, archive);
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool(korvane, TOOL_PAGE, argc, argv);
}
