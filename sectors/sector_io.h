// The file side of the table engine: checking an extraction against the tree
// it writes into, copying data out, and packing files back.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "common/platform/file_io.h"
#include "sectors/sector_table.h"

/// Checks, before the first file is written, that every job can be written
/// where it goes: no folder or device stands at a file's path, no file
/// stands where a folder is needed, and no job would replace one of the
/// run's `inputs` (which it is still reading). Symbolic links at a file's
/// path are replaced, never followed.
bool check_extract_targets(std::span<const ExtractJob> jobs, std::span<const std::string> inputs,
                           std::string* err);

/// How many threads an extraction writes with: one per core, up to 8.
unsigned extraction_workers();

/// Writes every job, reading from the sources, on `workers` threads. Jobs
/// whose paths may name the same file are written by one thread in table
/// order, so the later entry's data is what stays. `before(i)` runs in table
/// order, once job i is written (for the listing), on one thread at a time
/// (not always the calling one).
/// Folders are made as needed. A file that replaces another is written beside
/// it and renamed into place when complete; a new one is written under its
/// own name and removed if the job fails. After a failure no later job is
/// started, and the failure reported (naming the job) is the earliest in
/// table order; `before` has then run for every job up to that one.
bool run_extraction(std::span<const ExtractJob> jobs, std::span<const ExtractSource> sources,
                    const std::function<void(std::size_t)>& before, std::string* err,
                    unsigned workers = extraction_workers());

/// The size of every job's file, which must be a regular file: a missing one
/// gives the open-failure message for its path.
bool pack_file_sizes(std::span<const PackJob> jobs, std::vector<std::uint64_t>* sizes,
                     std::string* err);

/// Whether `length` bytes of `a` at `a_offset` equal `length` bytes of `b` at
/// `b_offset`. Read in chunks of at most `COMPARE_CHUNK` bytes each, so that
/// neither file is ever loaded whole; a file that ends early is an error
/// naming its path.
inline constexpr std::uint64_t COMPARE_CHUNK = 1 << 20;
bool same_bytes(const FileHandle& a, std::uint64_t a_offset, const std::string& a_path,
                const FileHandle& b, std::uint64_t b_offset, const std::string& b_path,
                std::uint64_t length, bool* same, std::string* err);

/// What a rebuild found when it compared the files of one table with the
/// data the table points at now.
struct PackReview {
    std::vector<std::uint64_t> sizes;  ///< of every job's file, in job order
    bool changed = false;              ///< some file differs from its record's data
};

/// Reviews a table whose records point into `packed` (the file the table's
/// data lies in, with its size) before anything is written: every record's
/// data (`data_offset`, `data_length`) must lie inside it, and every job's
/// file must be a regular file. Compares the files with their records' data
/// until the first difference, then only measures the rest.
bool review_pack(const ExtractSource& packed, std::span<const PackJob> jobs, PackReview* out,
                 std::string* err);

/// Writes the files at their placements into `out`, with zero fill between
/// and after them up to `total` bytes; `before(i)` runs before job i. A file
/// whose size changed since it was measured is an error.
bool pack_files(std::span<const PackJob> jobs, std::span<const PackPlacement> placements,
                std::uint64_t total, AtomicFile& out,
                const std::function<void(std::size_t)>& before, std::string* err);
