// korvane: lists and extracts RPK.BIN by the index in the game executable,
// or packs the extracted (and edited) files into a new archive and writes a
// copy of the executable whose index points at the new data.
//
// Built twice from this source; KORVANE_LAYOUT picks the layout record.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "common/file_helpers.h"
#include "common/names.h"
#include "common/tool.h"
#include "korvane/rpk_index.h"

namespace {

#if KORVANE_LAYOUT == 'A'
constexpr RpkLayout LAYOUT = RPK_LAYOUT_A;
#elif KORVANE_LAYOUT == 'B'
constexpr RpkLayout LAYOUT = RPK_LAYOUT_B;
#else
#error "KORVANE_LAYOUT must be 'A' or 'B'"
#endif

constexpr const char* BANNER = "korvane v1.0";
constexpr const char* USAGE = "usage: %s <SLUS_217.88 etc> <RPK.BIN> [output.elf output.bin]\n";

// Closes a descriptor when the run ends, on every path.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// Opens a file for reading and takes its size; false with the open-failure
// message when either fails.
bool open_for_reading(const std::string& path, Descriptor* file, std::int64_t* size,
                      std::string* err) {
    file->fd = open_file(path, READ_FLAGS, 0, err);
    if (file->fd < 0) {
        return false;
    }
    *size = fd_size(file->fd);
    if (*size < 0) {
        *err = open_failure_message(path, errno);
        return false;
    }
    return true;
}

void print_listing_line(const RpkEntry& entry) {
    const std::string line = rpk_listing_line(entry);
    std::fwrite(line.data(), 1, line.size(), stdout);
}

// Which of `inputs` the file at `path` is, if any (-1 when none, or when
// nothing is there).
int which_input(const std::string& path, const struct stat (&inputs)[2]) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        return -1;
    }
    for (int i = 0; i < 2; ++i) {
        if (st.st_dev == inputs[i].st_dev && st.st_ino == inputs[i].st_ino) {
            return i;
        }
    }
    return -1;
}

// Writes every entry's data below the current folder under its stored name.
// The whole index has been checked; entries that reach past the end of the
// archive, or whose name is the executable or the archive being read (which
// the extraction would replace), are refused here, before the first file is
// written.
int extract(const std::vector<RpkEntry>& entries, const std::string& executable_path, int archive,
            const std::string& archive_path, std::uint64_t archive_size) {
    struct stat inputs[2];
    const bool have_inputs =
        ::stat(executable_path.c_str(), &inputs[0]) == 0 && ::fstat(archive, &inputs[1]) == 0;
    for (const RpkEntry& entry : entries) {
        const int input = have_inputs ? which_input(host_path(entry.name), inputs) : -1;
        if (input >= 0) {
            return fail("Error: RPK index entry " + std::to_string(entry.index) + " [" +
                        entry.name + "] would overwrite " +
                        (input == 0 ? executable_path : archive_path) +
                        ", which is being read; extract in another folder. Nothing was written");
        }
        if (sector_offset(entry.sector) + entry.length > archive_size) {
            return fail("Error: " + archive_path + ": RPK index entry " +
                        std::to_string(entry.index) + " [" + entry.name + "] at sector " +
                        std::to_string(entry.sector) + " with length " +
                        std::to_string(entry.length) + " reaches past the end of the archive (" +
                        std::to_string(archive_size) + " bytes); nothing was written");
        }
    }
    std::string err;
    FolderMaker folders;
    for (const RpkEntry& entry : entries) {
        print_listing_line(entry);
        const std::string path = host_path(entry.name);
        folders.make_parents(path);
        if (!copy_to_whole_file(archive, sector_offset(entry.sector), entry.length, archive_path,
                                path, &err)) {
            return fail(err);
        }
    }
    return 0;
}

// Packs the file found at each entry's name into the new archive, in index
// order from sector 0 with zero fill, and patches the entries in the image.
// Both outputs replace their targets only once everything has succeeded.
int rebuild(MutableByteSpan image, const std::vector<RpkEntry>& entries,
            AtomicFile& output_archive, const std::string& output_executable) {
    const std::vector<std::uint8_t> zeros(SECTOR_SIZE, 0);
    std::uint64_t position = 0;
    std::string err;
    for (const RpkEntry& entry : entries) {
        print_listing_line(entry);
        const std::string path = host_path(entry.name);
        Descriptor file{-1};
        std::int64_t size = 0;
        if (!open_for_reading(path, &file, &size, &err)) {
            return fail(err);
        }
        if (!pack_rpk_entry(image, entry, static_cast<std::uint64_t>(size), &position, &err)) {
            return fail("Error: " + path + ": " + err);
        }
        // The file's bytes, then zero fill up to the next sector boundary.
        const auto length = static_cast<std::uint64_t>(size);
        const std::span<const std::uint8_t> fill(zeros.data(), round_up_to_sector(length) - length);
        if (!output_archive.copy_from(file.fd, 0, length, path, &err) ||
            !output_archive.write(fill, &err)) {
            return fail(err);
        }
    }
    AtomicFile executable;
    if (!executable.open(output_executable, &err) || !executable.write(image, &err)) {
        return fail(err);
    }
    // Replacing files (a rebuild in place) destroys the only other copy, so
    // both new files are on disk before either rename. New files put nothing
    // at risk and are left to the system to write back.
    const bool durable = executable.replaces_existing() || output_archive.replaces_existing();
    if (!executable.finish(durable, &err) || !output_archive.finish(durable, &err)) {
        return fail(err);
    }
    // Both files are complete; only the two renames remain.
    if (!output_archive.commit(durable, &err) || !executable.commit(durable, &err)) {
        return fail(err);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) {
        return print_usage(BANNER, USAGE, argv[0]);
    }
    const std::string executable_path = argv[1];
    const std::string archive_path = argv[2];
    const bool rebuilding = argc == 5 && argv[3][0] != '\0';

    MappedFile executable;
    std::string err;
    if (!executable.open(executable_path, &err)) {
        return fail(err);
    }
    const MutableByteSpan image = executable.bytes();
    Descriptor archive{-1};
    std::int64_t archive_size = 0;
    if (!open_for_reading(archive_path, &archive, &archive_size, &err)) {
        return fail(err);
    }

    // The new archive is opened before the walk, so a path that cannot be
    // created stops the run before any listing line.
    AtomicFile output_archive;
    if (rebuilding && !output_archive.open(argv[4], &err)) {
        return fail(err);
    }

    std::vector<RpkEntry> entries;
    if (!scan_rpk_index(image, LAYOUT, static_cast<std::uint64_t>(archive_size), &entries, &err)) {
        return fail("Error: " + executable_path + ": " + err);
    }
    if (rebuilding) {
        return rebuild(image, entries, output_archive, argv[3]);
    }
    return extract(entries, executable_path, archive.fd, archive_path,
                   static_cast<std::uint64_t>(archive_size));
}
