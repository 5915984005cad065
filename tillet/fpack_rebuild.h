// Putting the files below fpack_extract/ back into the packs they came from.
//
// Every member file is compared with its bytes in the current pack; a pack in
// which any member changed is written anew (members in table order from
// sector 0, zero fill) and its member records are patched in a copy of the
// executable. Every other pack, and its records, stays as it is. Everything
// is read, compared and checked before the first byte is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/platform/file_io.h"
#include "sectors/sector_io.h"
#include "tillet/fpack_dir.h"

/// Where extraction writes the members, and where a rebuild reads them.
inline const std::string FPACK_EXTRACT_ROOT = "fpack_extract/";

/// The path of a member's file below FPACK_EXTRACT_ROOT (`\` read as `/`).
std::string fpack_member_path(std::string_view stored_name);

/// A pack file where korvane extracted it.
struct FpackFile {
    ExtractSource source;  ///< host path and size
    FileId id;
};

/// The rebuild of one pack.
struct FpackPackPlan {
    std::vector<PackJob> jobs;  ///< one per member, reading its file below fpack_extract/
    PackReview review;          ///< `changed`: the pack is rebuilt
    std::vector<PackPlacement> placements;  ///< of a rebuilt pack
    std::uint64_t size = 0;                 ///< of a rebuilt pack
};

struct FpackRebuildPlan {
    std::vector<FpackPackPlan> packs;  ///< in directory order
    std::vector<bool> rebuilt;         ///< per pack
    std::size_t rebuilt_count = 0;
};

/// Reviews every pack on `workers` threads (see review_pack) and plans the
/// ones that changed, then refuses what a rebuild would break: a rebuilt
/// pack whose file another pack with members reads too, and member tables
/// that share bytes with anything else the walk reads (check_fpack_patches).
/// The error is the one a run in table order meets first.
bool plan_fpack_rebuild(ByteSpan image, const FpackLayout& layout, const FpackDirectory& directory,
                        const std::vector<FpackFile>& packs, const std::string& image_path,
                        unsigned workers, FpackRebuildPlan* out, std::string* err);

/// Refuses an output executable that is one of the pack files, which the run
/// reads and may replace itself.
bool check_output_is_no_pack(const std::string& output_path, const std::vector<FpackFile>& packs,
                             std::string* err);

/// Refuses outputs that are member files, which the rebuild reads: the
/// output executable, and the file of every pack the plan rebuilds.
bool check_outputs_not_read(const FpackRebuildPlan& plan, const std::vector<FpackFile>& packs,
                            const std::string& output_path, std::string* err);

/// Writes every rebuilt pack beside its file, flushed to disk (a pack always
/// replaces an input of the run), into `new_packs` (one per rebuilt pack, in
/// directory order), and runs `also` (writing the executable) beside them,
/// on `workers` threads. `listed(p)` runs on the calling thread for every
/// pack in directory order once it is written. Nothing replaces anything yet.
bool write_fpack_packs(const FpackRebuildPlan& plan, const std::vector<FpackFile>& packs,
                       AtomicFile* new_packs, const std::function<bool(std::string*)>& also,
                       const std::function<void(std::size_t)>& listed, unsigned workers,
                       std::string* err);
