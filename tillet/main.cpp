// tillet: extracts every member of every fpack pack below "fpack_extract/",
// by the pack directory compiled into the game executable.
//
// The directory is read and checked whole before the first file is written;
// then each pack is opened where korvane extracted it and its members are
// copied out one by one.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/file_helpers.h"
#include "common/names.h"
#include "common/tool.h"
#include "tillet/fpack_dir.h"
#include "tillet/fpack_layout.h"

#ifndef TILLET_LAYOUT
#error "TILLET_LAYOUT must be defined to 'A' or 'B'"
#endif
static_assert(TILLET_LAYOUT == 'A' || TILLET_LAYOUT == 'B', "TILLET_LAYOUT must be 'A' or 'B'");

namespace {

constexpr FpackLayout LAYOUT = TILLET_LAYOUT == 'A' ? FPACK_LAYOUT_A : FPACK_LAYOUT_B;
const std::string OUTPUT_ROOT = "fpack_extract/";

int usage(const char* program) {
    print_usage("korvane v1.0", "usage: %s <SLUS_217.88 etc>\n\n", program);
    std::fprintf(stderr, "This expects to find fpack/*.fp which come from RPK.BIN.\n\n");
    return EXIT_FAILED;
}

// Copies every member of one pack out of the open pack file.
bool extract_members(const FpackPack& pack, std::uint32_t pack_number, int fd,
                     const std::string& pack_path, FolderMaker& folders, std::string* err) {
    const std::int64_t pack_size = fd_size(fd);
    if (pack_size < 0) {
        *err = "Error: could not read " + pack_path + " (" + std::strerror(errno) + ")";
        return false;
    }
    for (std::uint32_t m = 0; m < pack.members.size(); ++m) {
        const FpackMember& member = pack.members[m];
        std::printf("\t 0x%08X  0x%08X [%.*s]\n", member.sector, member.length,
                    static_cast<int>(member.name.size()), member.name.data());
        const std::uint64_t start = sector_offset(member.sector);
        if (start + member.length > static_cast<std::uint64_t>(pack_size)) {
            char range[96];
            std::snprintf(range, sizeof range, "data of 0x%llX bytes at offset 0x%llX",
                          static_cast<unsigned long long>(member.length),
                          static_cast<unsigned long long>(start));
            *err = "Error: " + pack_path + ": pack " + std::to_string(pack_number) + ", member " +
                   std::to_string(m) + " (" + std::string(member.name) + "): " + range +
                   " runs past the end of the pack file (" + std::to_string(pack_size) + " bytes)";
            return false;
        }
        const std::string out_path = OUTPUT_ROOT + host_path(member.name);
        folders.make_parents(out_path);
        if (!copy_to_whole_file(fd, start, member.length, pack_path, out_path, err)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return usage(argv[0]);
    }
    const std::string image_path = argv[1];
    std::string err;
    MappedFile executable;
    if (!executable.open(image_path, &err)) {
        return fail(err);
    }
    const ByteSpan image = std::as_const(executable).bytes();
    FpackDirectory directory;
    if (!read_fpack_directory(image, LAYOUT, image_path, &directory, &err)) {
        return fail(err);
    }

    FolderMaker folders;
    for (std::uint32_t p = 0; p < directory.packs.size(); ++p) {
        const FpackPack& pack = directory.packs[p];
        std::printf("0x%08X [%.*s] \n", pack.member_count, static_cast<int>(pack.name.size()),
                    pack.name.data());
        const std::string pack_path = host_path(pack.name);
        const int fd = open_file(pack_path, READ_FLAGS, 0, &err);
        if (fd < 0) {
            return fail(err);
        }
        const bool ok = extract_members(pack, p, fd, pack_path, folders, &err);
        ::close(fd);
        if (!ok) {
            return fail(err);
        }
    }
    return 0;
}
