// tillet: extracts every member of every fpack pack below "fpack_extract/",
// by the pack directory compiled into the game executable; or, given an
// output executable, puts the files found there back into their packs.
//
// The directory, every pack file and every member's range are checked before
// the first file is written; then the members are copied out in table order.
// A rebuild also reads and compares every member file first, and rewrites
// only the packs in which something changed.
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/run_files.h"
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
    print_usage("korvane v1.0", "usage: %s <SLUS_217.88 etc> [output.elf]\n\n", program);
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

// Every pack file, where korvane extracted it, with its size and identity.
bool find_packs(const FpackDirectory& directory, std::vector<ExtractSource>* packs,
                std::vector<FileId>* ids, std::string* err) {
    packs->clear();
    ids->clear();
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
        ids->push_back(status.id);
    }
    return true;
}

int extract(const std::string& executable_path, const FpackDirectory& directory) {
    std::string err;
    std::vector<ExtractSource> packs;
    std::vector<FileId> ids;
    if (!find_packs(directory, &packs, &ids, &err)) {
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

// The rebuild's plan for one pack.
struct PackPlan {
    std::vector<PackJob> jobs;  ///< one per member, reading fpack_extract/ + its name
    PackReview review;
    std::vector<PackPlacement> placements;  ///< of a pack that is rebuilt
    std::uint64_t size = 0;                 ///< of the rebuilt pack
};

// A pack that is rewritten must be the only one reading its file: the
// others' tables would point into data that is no longer there.
bool check_shared_packs(const std::vector<ExtractSource>& packs, const std::vector<FileId>& ids,
                        const std::vector<PackPlan>& plans, std::string* err) {
    for (std::size_t p = 0; p < packs.size(); ++p) {
        if (!plans[p].review.changed) {
            continue;
        }
        for (std::size_t q = 0; q < packs.size(); ++q) {
            if (q != p && ids[q] == ids[p]) {
                *err = "Error: " + packs[p].path + ": " +
                       fpack_place(static_cast<std::uint32_t>(p)) + " is to be rebuilt, but " +
                       fpack_place(static_cast<std::uint32_t>(q)) + " (" + packs[q].path +
                       ") reads the same file, and its members would be lost; nothing was "
                       "written";
                return false;
            }
        }
    }
    return true;
}

// Puts the files below fpack_extract/ back into the packs they came from:
// a pack in which any member changed is written anew (members in table
// order from sector 0, zero fill) and its member table patched in a copy of
// the executable; every other pack and table stays as it is. Every check and
// comparison comes first; the new packs and the executable then replace
// their targets together, or none does.
int rebuild(const std::string& executable_path, const std::string& output_path,
            MappedFile& executable, const FpackDirectory& directory) {
    std::string err;
    std::vector<ExtractSource> packs;
    std::vector<FileId> ids;
    if (!find_packs(directory, &packs, &ids, &err)) {
        return fail(err);
    }
    std::vector<RunFile> inputs = {{executable_path, "<SLUS_217.88 etc>"}};
    for (std::uint32_t p = 0; p < packs.size(); ++p) {
        inputs.push_back({packs[p].path, fpack_place(p)});
    }
    const RunFile outputs[] = {{output_path, "[output.elf]", 0}};
    std::vector<bool> replaces_input;
    if (!check_run_files(inputs, outputs, &replaces_input, &err)) {
        return fail(err);
    }
    AtomicFile output_executable;
    if (!output_executable.open(output_path, &err)) {
        return fail(err);
    }

    // Read and compare everything; nothing is written yet.
    std::vector<PackPlan> plans(directory.packs.size());
    std::vector<bool> rebuilt(directory.packs.size(), false);
    std::size_t rebuilt_count = 0;
    for (std::uint32_t p = 0; p < directory.packs.size(); ++p) {
        PackPlan& plan = plans[p];
        for (std::uint32_t m = 0; m < directory.packs[p].members.size(); ++m) {
            const FpackMember& member = directory.packs[p].members[m];
            plan.jobs.push_back({OUTPUT_ROOT + host_path(member.name), member.offset,
                                 fpack_place(p, m), member.name, sector_offset(member.sector),
                                 member.length});
        }
        if (!review_pack(packs[p], plan.jobs, &plan.review, &err)) {
            return fail(err);
        }
        if (plan.review.changed && !plan_packing(plan.jobs, plan.review.sizes, FPACK_PACK_RULES,
                                                 &plan.placements, &plan.size, &err)) {
            return fail(err);
        }
        rebuilt[p] = plan.review.changed;
        rebuilt_count += rebuilt[p] ? 1 : 0;
    }
    if (!check_shared_packs(packs, ids, plans, &err) ||
        !check_fpack_patches(std::as_const(executable).bytes(), LAYOUT, directory, rebuilt,
                             executable_path, &err)) {
        return fail(err);
    }

    // Write the new packs beside the old ones, listing as we go.
    const auto new_packs = std::make_unique<AtomicFile[]>(rebuilt_count);
    std::vector<AtomicFile*> commits;
    for (std::uint32_t p = 0; p < directory.packs.size(); ++p) {
        const FpackPack& pack = directory.packs[p];
        print_pack_line(pack);
        for (const FpackMember& member : pack.members) {
            print_member_line(member);
        }
        if (rebuilt[p]) {
            const PackPlan& plan = plans[p];
            AtomicFile& file = new_packs[commits.size()];
            // A pack always replaces an input of the run, so it reaches the
            // disk before the old one is gone; finishing it now also keeps
            // one file open at a time.
            if (!file.open(packs[p].path, &err) ||
                !pack_files(
                    plan.jobs, plan.placements, plan.size, file, [](std::size_t) {}, &err) ||
                !file.finish(true, &err)) {
                return fail(err);
            }
            commits.push_back(&file);
            patch_records(executable.bytes(), plan.jobs, plan.placements);
        }
        std::fputs(rebuilt[p] ? "\t=> rebuilt\n" : "\t=> kept\n", stdout);
    }
    if (rebuilt_count == 0 && replaces_input[0]) {
        return 0;  // the executable would be written over with its own bytes
    }
    if (!output_executable.write(std::as_const(executable).bytes(), &err)) {
        return fail(err);
    }
    // The inputs are closed before they are replaced.
    executable.close();
    commits.push_back(&output_executable);
    if (!commit_together(commits, rebuilt_count > 0 || replaces_input[0], &err)) {
        return fail(err);
    }
    return 0;
}

int tillet(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
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
    if (argc == 3) {
        return rebuild(executable_path, argv[2], executable, directory);
    }
    return extract(executable_path, directory);
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool(tillet, argc, argv);
}
