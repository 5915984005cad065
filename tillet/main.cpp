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

#include "common/message.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/run_files.h"
#include "common/tool.h"
#include "sectors/rebuild_outputs.h"
#include "sectors/sector_io.h"
#include "tillet/fpack_dir.h"
#include "tillet/fpack_layout.h"
#include "tillet/fpack_rebuild.h"

#ifndef TILLET_LAYOUT
#error "TILLET_LAYOUT must be defined to 'A' or 'B'"
#endif
static_assert(TILLET_LAYOUT == 'A' || TILLET_LAYOUT == 'B', "TILLET_LAYOUT must be 'A' or 'B'");

namespace {

constexpr FpackLayout LAYOUT = TILLET_LAYOUT == 'A' ? FPACK_LAYOUT_A : FPACK_LAYOUT_B;

void print_pack_line(const FpackPack& pack) {
    std::printf("0x%08X [%.*s] \n", pack.member_count, static_cast<int>(pack.name.size()),
                pack.name.data());
}

void print_member_line(const FpackMember& member) {
    std::printf("\t 0x%08X  0x%08X [%.*s]\n", member.sector, member.length,
                static_cast<int>(member.name.size()), member.name.data());
}

// Every pack file, where korvane extracted it, with its size and identity.
bool find_packs(const FpackDirectory& directory, std::vector<FpackFile>* packs, std::string* err) {
    packs->clear();
    for (const FpackPack& pack : directory.packs) {
        const std::string path = host_path(pack.name);
        FileStatus status;
        if (!file_status(path, &status, err)) {
            return false;
        }
        if (status.kind == FileKind::missing) {
            *err = open_failure_message(path, ENOENT);
            return false;
        }
        if (status.kind != FileKind::regular) {
            *err = error_message(
                path, std::string("is ") +
                          (status.kind == FileKind::directory ? "a folder" : "a device or pipe") +
                          ", not a pack file");
            return false;
        }
        packs->push_back({{path, status.size}, status.id});
    }
    return true;
}

int extract(const std::string& executable_path, const FpackDirectory& directory) {
    std::string err;
    std::vector<FpackFile> packs;
    if (!find_packs(directory, &packs, &err)) {
        return fail(err);
    }
    std::vector<ExtractSource> sources;
    for (const FpackFile& pack : packs) {
        sources.push_back(pack.source);
    }
    std::vector<ExtractJob> jobs;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> members;  // pack, member of each job
    for (std::uint32_t p = 0; p < directory.packs.size(); ++p) {
        const FpackPack& pack = directory.packs[p];
        for (std::uint32_t m = 0; m < pack.members.size(); ++m) {
            const FpackMember& member = pack.members[m];
            jobs.push_back({fpack_member_path(member.name), p, sector_offset(member.sector),
                            member.length, fpack_place(p, m), member.name});
            members.emplace_back(p, m);
        }
    }
    std::vector<std::string> inputs = {executable_path};
    for (const ExtractSource& pack : sources) {
        inputs.push_back(pack.path);
    }
    // The listing shows every pack, also those without members, in table order.
    std::uint32_t listed = 0;
    auto list_packs_up_to = [&](std::uint32_t end) {
        for (; listed < end; ++listed) {
            print_pack_line(directory.packs[listed]);
        }
    };
    if (!check_extract_ranges(jobs, sources, &err) || !check_extract_names(jobs, &err) ||
        !check_extract_targets(jobs, inputs, &err) ||
        !run_extraction(
            jobs, sources,
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

// Puts the files below fpack_extract/ back into their packs (see
// fpack_rebuild.h). The new packs and the executable then replace their
// targets together, or none does.
int rebuild(const std::string& executable_path, const std::string& output_path,
            MappedFile& executable, const FpackDirectory& directory) {
    std::string err;
    std::vector<FpackFile> packs;
    if (!find_packs(directory, &packs, &err)) {
        return fail(err);
    }
    const RunFile inputs[] = {{executable_path, "<SLUS_217.88 etc>"}};
    const RunFile outputs[] = {{output_path, "[output.elf]", 0}};
    std::vector<bool> replaces_input;
    if (!check_run_files(inputs, outputs, &replaces_input, &err) ||
        !check_output_is_no_pack(output_path, packs, &err) ||
        !check_output_executable(output_path, "[output.elf]", &err)) {
        return fail(err);
    }
    AtomicFile output_executable;
    if (!output_executable.open(output_path, &err)) {
        return fail(err);
    }

    const unsigned workers = extraction_workers();
    FpackRebuildPlan plan;
    if (!plan_fpack_rebuild(std::as_const(executable).bytes(), LAYOUT, directory, packs,
                            executable_path, workers, &plan, &err) ||
        !check_outputs_not_read(plan, packs, output_path, &err)) {
        return fail(err);
    }
    for (std::size_t p = 0; p < plan.packs.size(); ++p) {
        if (plan.rebuilt[p]) {
            patch_records(executable.bytes(), plan.packs[p].jobs, plan.packs[p].placements);
        }
    }
    // With nothing changed, an executable that replaces itself is left alone.
    const bool write_executable = plan.rebuilt_count > 0 || !replaces_input[0];
    const auto new_packs = std::make_unique<AtomicFile[]>(plan.rebuilt_count);
    if (!write_fpack_packs(
            plan, packs, new_packs.get(),
            [&](std::string* e) {
                return !write_executable ||
                       output_executable.write(std::as_const(executable).bytes(), e);
            },
            [&](std::size_t p) {
                const FpackPack& pack = directory.packs[p];
                print_pack_line(pack);
                for (const FpackMember& member : pack.members) {
                    print_member_line(member);
                }
                std::fputs(plan.rebuilt[p] ? "\t=> rebuilt\n" : "\t=> kept\n", stdout);
            },
            workers, &err)) {
        return fail(err);
    }
    if (!write_executable) {
        return 0;
    }
    // The inputs are closed before they are replaced.
    executable.close();
    std::vector<AtomicFile*> commits;
    for (std::size_t k = 0; k < plan.rebuilt_count; ++k) {
        commits.push_back(&new_packs[k]);
    }
    commits.push_back(&output_executable);
    if (!commit_together(commits, plan.rebuilt_count > 0 || replaces_input[0], &err)) {
        return fail(err);
    }
    return 0;
}

int tillet(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        return print_usage(TOOL_PAGE, argv[0]);
    }
    const std::string executable_path = argv[1];
    std::string err;
    const RunFile inputs[] = {{executable_path, "<SLUS_217.88 etc>"}};
    std::vector<bool> replaces_input;
    if (!check_run_files(inputs, {}, &replaces_input, &err)) {
        return fail(err);
    }
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
    return run_tool(tillet, TOOL_PAGE, argc, argv);
}
