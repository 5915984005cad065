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
/// where it goes: no folder or device stands at a file's path, no file (nor
/// a symbolic link to nothing) stands where a folder is needed, and no job
/// would replace one of the
/// run's `inputs` (which it is still reading). Symbolic links at a file's
/// path are replaced, never followed.
bool check_extract_targets(std::span<const ExtractJob> jobs, std::span<const std::string> inputs,
                           std::string* err);

/// How many threads an extraction writes with: one per core, up to 8.
unsigned extraction_workers();

/// The copy method of rebuilds onto a disk: through buffers, which other
/// threads fill while one writes. With one thread per core it took 0.45 and
/// 0.31 of `tar -cf`'s time at 1 and 2 GB, against 0.47 and 0.46 for the
/// kernel's copy. Onto a file system in memory the kernel's copy is the
/// faster (0.67 and 0.69 against 0.71 and 1.52), and `archive_pack_copy`
/// takes it there (docs/performance.md, modkit's section).
inline constexpr CopyMethod PACK_COPY_METHOD = CopyMethod::buffered;

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
///
/// With `observe`, the data goes through a buffer of the worker instead of
/// being copied inside the system, and `observe(i, chunk)` sees each piece
/// of job i, in order, once it is written (for digests of what was written,
/// without reading it again); the pieces of one job come from one thread.
using ExtractObserver = std::function<void(std::size_t job, ByteSpan chunk)>;
bool run_extraction(std::span<const ExtractJob> jobs, std::span<const ExtractSource> sources,
                    const std::function<void(std::size_t)>& before, std::string* err,
                    unsigned workers = extraction_workers(),
                    const ExtractObserver* observe = nullptr);

/// The size of every job's file, which must be a regular file: a missing one
/// gives the open-failure message for its path. With `ids`, also each file's
/// identity, from the same look.
bool pack_file_sizes(std::span<const PackJob> jobs, std::vector<std::uint64_t>* sizes,
                     std::string* err, std::vector<FileId>* ids = nullptr);

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
    std::vector<FileId> ids;           ///< of every job's file, in job order
    bool changed = false;              ///< some file differs from its record's data
};

/// Reviews a table whose records point into `packed` (the file the table's
/// data lies in, with its size) before anything is written: every record's
/// data (`data_offset`, `data_length`) must lie inside it, and every job's
/// file must be a regular file. Compares the files with their records' data
/// until the first difference, then only measures the rest.
bool review_pack(const ExtractSource& packed, std::span<const PackJob> jobs, PackReview* out,
                 std::string* err);

/// How `pack_files` copies the files into the file it writes.
struct PackCopy {
    /// Threads copying files to their places at once (every offset is known
    /// from the plan): through buffers, the others read and the calling
    /// thread alone writes (writes into one file take its lock); in the
    /// system, each copies whole files. With one, the calling thread copies
    /// them in table order. A device or pipe takes them in order whatever
    /// this says.
    unsigned workers = 1;
    /// How each file's bytes move (see docs/performance.md for the choice).
    CopyMethod method = PACK_COPY_METHOD;
};

/// How a whole archive written to `output` is rebuilt: one thread per core,
/// up to 8; PACK_COPY_METHOD, or the kernel's copy where `output` lies on a
/// file system in memory.
PackCopy archive_pack_copy(const std::string& output);

/// Writes the files at their placements into `out` (empty so far), with
/// zero fill between and after them up to `total` bytes: a file gets its
/// size first (the fill is what no file covers) and each file goes to its
/// offset; a device or pipe gets everything in order. `before(i)` runs in
/// table order, one call at a time, for job i, once it is written (before,
/// into a device or pipe); after a failure it has run for every job up to
/// the one that failed, which is the earliest failure in table order. A file whose
/// size changed since it was measured is an error.
bool pack_files(std::span<const PackJob> jobs, std::span<const PackPlacement> placements,
                std::uint64_t total, AtomicFile& out,
                const std::function<void(std::size_t)>& before, std::string* err,
                const PackCopy& copy = {});
