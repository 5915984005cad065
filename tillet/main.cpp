// tillet: extracts every member of every fpack pack below "fpack_extract/",
// by the pack directory compiled into the game executable.
//
// The directory, every pack file and every member's range are checked before
// the first file is written; then the members are copied out in table order.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/tool.h"
#include "sectors/sector_io.h"
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

void print_pack_line(const FpackPack& pack) {
    std::printf("0x%08X [%.*s] \n", pack.member_count, static_cast<int>(pack.name.size()),
                pack.name.data());
}

void print_member_line(const FpackMember& member) {
    std::printf("\t 0x%08X  0x%08X [%.*s]\n", member.sector, member.length,
                static_cast<int>(member.name.size()), member.name.data());
}

// Every pack file, where korvane extracted it, with its size.
bool find_packs(const FpackDirectory& directory, std::vector<ExtractSource>* packs,
                std::string* err) {
    packs->clear();
    for (const FpackPack& pack : directory.packs) {
        ExtractSource source{host_path(pack.name), 0};
        FileStatus status;
        if (!file_status(source.path, &status, err)) {
            return false;
        }
        if (status.kind == FileKind::missing) {
            *err = open_failure_message(source.path, ENOENT);
            return false;
        }
        if (status.kind != FileKind::regular) {
            *err = "Error: " + source.path + ": is " +
                   (status.kind == FileKind::directory ? "a folder" : "a device or pipe") +
                   ", not a pack file";
            return false;
        }
        source.size = status.size;
        packs->push_back(std::move(source));
    }
    return true;
}

int extract(const std::string& executable_path, const FpackDirectory& directory) {
    std::string err;
    std::vector<ExtractSource> packs;
    if (!find_packs(directory, &packs, &err)) {
        return fail(err);
    }
    std::vector<ExtractJob> jobs;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> members;  // pack, member of each job
    for (std::uint32_t p = 0; p < directory.packs.size(); ++p) {
        const FpackPack& pack = directory.packs[p];
        for (std::uint32_t m = 0; m < pack.members.size(); ++m) {
            const FpackMember& member = pack.members[m];
            jobs.push_back({OUTPUT_ROOT + host_path(member.name), p, sector_offset(member.sector),
                            member.length, fpack_place(p, m), member.name});
            members.emplace_back(p, m);
        }
    }
    std::vector<std::string> inputs = {executable_path};
    for (const ExtractSource& pack : packs) {
        inputs.push_back(pack.path);
    }
    // The listing shows every pack, also those without members, in table order.
    std::uint32_t listed = 0;
    auto list_packs_up_to = [&](std::uint32_t end) {
        for (; listed < end; ++listed) {
            print_pack_line(directory.packs[listed]);
        }
    };
    if (!check_extract_ranges(jobs, packs, &err) || !check_extract_names(jobs, &err) ||
        !check_extract_targets(jobs, inputs, &err) ||
        !run_extraction(
            jobs, packs,
            [&](std::size_t i) {
                const auto [p, m] = members[i];
                list_packs_up_to(p + 1);
                print_member_line(directory.packs[p].members[m]);
            },
            &err)) {
        return fail(err);
    }
    list_packs_up_to(static_cast<std::uint32_t>(directory.packs.size()));
    return 0;
}

int tillet(int argc, char** argv) {
    if (argc != 2) {
        return usage(argv[0]);
    }
    const std::string executable_path = argv[1];
    std::string err;
    MappedFile executable;
    if (!executable.open(executable_path, &err)) {
        return fail(err);
    }
    FpackDirectory directory;
    if (!read_fpack_directory(std::as_const(executable).bytes(), LAYOUT, executable_path,
                              &directory, &err)) {
        return fail(err);
    }
    return extract(executable_path, directory);
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool(tillet, argc, argv);
}
