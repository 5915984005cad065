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
/// order, so the later entry's data is what stays. `before(i)` runs on the
/// calling thread, in table order, once job i is written (for the listing).
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

/// Writes the files at their placements into `out`, with zero fill between
/// and after them up to `total` bytes; `before(i)` runs before job i. A file
/// whose size changed since it was measured is an error.
bool pack_files(std::span<const PackJob> jobs, std::span<const PackPlacement> placements,
                std::uint64_t total, AtomicFile& out,
                const std::function<void(std::size_t)>& before, std::string* err);
