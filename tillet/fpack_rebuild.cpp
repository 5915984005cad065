#include "tillet/fpack_rebuild.h"

#include <map>
#include <utility>

#include "common/message.h"
#include "common/names.h"
#include "sectors/ordered_work.h"
#include "sectors/rebuild_outputs.h"

std::string fpack_member_path(std::string_view stored_name) {
    return FPACK_EXTRACT_ROOT + host_path(stored_name);
}

namespace {

// A pack that is rewritten must be the only one reading its file: another
// pack's table would point into data that is no longer there.
bool check_shared_packs(const FpackDirectory& directory, const std::vector<FpackFile>& packs,
                        const std::vector<bool>& rebuilt, std::string* err) {
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint32_t> reader;  // a pack of each file
    for (std::uint32_t p = 0; p < packs.size(); ++p) {
        if (directory.packs[p].members.empty()) {
            continue;  // reads nothing
        }
        const FileId& id = packs[p].id;
        const auto [first, added] = reader.emplace(std::pair(id.device, id.file), p);
        const std::uint32_t q = first->second;
        if (added || !(rebuilt[p] || rebuilt[q])) {
            continue;
        }
        const std::uint32_t changed = rebuilt[q] ? q : p;
        const std::uint32_t other = changed == q ? p : q;
        *err = error_message(packs[changed].source.path,
                             fpack_place(changed) + " is to be rebuilt, but " + fpack_place(other) +
                                 " (" + packs[other].source.path +
                                 ") reads the same file, and its members would be lost; nothing "
                                 "was written");
        return false;
    }
    return true;
}

}  // namespace

bool plan_fpack_rebuild(ByteSpan image, const FpackLayout& layout, const FpackDirectory& directory,
                        const std::vector<FpackFile>& packs, const std::string& image_path,
                        unsigned workers, FpackRebuildPlan* out, std::string* err) {
    const std::size_t count = directory.packs.size();
    out->packs.assign(count, {});
    for (std::uint32_t p = 0; p < count; ++p) {
        for (std::uint32_t m = 0; m < directory.packs[p].members.size(); ++m) {
            const FpackMember& member = directory.packs[p].members[m];
            out->packs[p].jobs.push_back({fpack_member_path(member.name), member.offset,
                                          fpack_place(p, m), member.name,
                                          sector_offset(member.sector), member.length});
        }
    }
    auto review = [&](std::size_t p, std::string* e) {
        FpackPackPlan& plan = out->packs[p];
        return review_pack(packs[p].source, plan.jobs, &plan.review, e) &&
               (!plan.review.changed || plan_packing(plan.jobs, plan.review.sizes, FPACK_PACK_RULES,
                                                     &plan.placements, &plan.size, e));
    };
    if (!run_in_order(
            count, workers, review, [](std::size_t) {}, err)) {
        return false;
    }
    out->rebuilt.assign(count, false);
    out->rebuilt_count = 0;
    for (std::size_t p = 0; p < count; ++p) {
        out->rebuilt[p] = out->packs[p].review.changed;
        out->rebuilt_count += out->rebuilt[p] ? 1 : 0;
    }
    return check_shared_packs(directory, packs, out->rebuilt, err) &&
           check_fpack_patches(image, layout, directory, out->rebuilt, image_path, err);
}

bool check_output_is_no_pack(const std::string& output_path, const std::vector<FpackFile>& packs,
                             std::string* err) {
    FileStatus status;
    if (!file_status(output_path, &status, err)) {
        return false;
    }
    // Every pack exists, so a path at which nothing stands is none of them.
    if (status.kind == FileKind::missing) {
        return true;
    }
    for (std::uint32_t p = 0; p < packs.size(); ++p) {
        if (packs[p].id == status.id) {
            const std::string& path = packs[p].source.path;
            *err = error_message(output_path, "[output.elf] is the same file as " + fpack_place(p) +
                                                  (path == output_path ? "" : " (" + path + ")") +
                                                  "; nothing was written");
            return false;
        }
    }
    return true;
}

bool check_outputs_not_read(const FpackRebuildPlan& plan, const std::vector<FpackFile>& packs,
                            const std::string& output_path, std::string* err) {
    RebuildReads reads;
    for (const FpackPackPlan& pack : plan.packs) {
        reads.add(pack.jobs, pack.review.ids);
    }
    if (!check_output_not_read(output_path, "[output.elf]", reads, err)) {
        return false;
    }
    for (std::uint32_t p = 0; p < plan.packs.size(); ++p) {
        if (plan.rebuilt[p] &&
            !check_output_not_read(packs[p].source.path, fpack_place(p), reads, err)) {
            return false;
        }
    }
    return true;
}

bool write_fpack_packs(const FpackRebuildPlan& plan, const std::vector<FpackFile>& packs,
                       AtomicFile* new_packs, const std::function<bool(std::string*)>& also,
                       const std::function<void(std::size_t)>& listed, unsigned workers,
                       std::string* err) {
    const std::size_t count = plan.packs.size();
    std::vector<std::size_t> slot(count, 0);  // of each rebuilt pack in `new_packs`
    for (std::size_t p = 0, k = 0; p < count; ++p) {
        slot[p] = k;
        k += plan.rebuilt[p] ? 1 : 0;
    }
    // Item `count` is `also`, which runs beside the last packs.
    auto write = [&](std::size_t p, std::string* e) {
        if (p == count) {
            return also(e);
        }
        if (!plan.rebuilt[p]) {
            return true;
        }
        const FpackPackPlan& pack = plan.packs[p];
        AtomicFile& file = new_packs[slot[p]];
        // Finished at once: flushed to disk, and one file open per thread.
        return file.open(packs[p].source.path, e) &&
               pack_files(
                   pack.jobs, pack.placements, pack.size, file, [](std::size_t) {}, e) &&
               file.finish(true, e);
    };
    return run_in_order(
        count + 1, workers, write,
        [&](std::size_t p) {
            if (p < count) {
                listed(p);
            }
        },
        err);
}
