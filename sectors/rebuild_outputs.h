// What a rebuild checks its outputs against before it writes anything.
//
// A rebuild reads far more files than its command line names: the file at
// every stored name (korvane), every member file below fpack_extract/
// (tillet). An output that is one of them would destroy a file the run is
// still reading, or an edit, while the run reports success. And a file named
// as the output executable that holds anything but an executable would be
// lost to a mistyped command line (korvane's command with tillet's name).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/byte_reader.h"
#include "common/platform/file_io.h"
#include "sectors/sector_table.h"

/// The files a rebuild reads for its jobs, by identity: found in one look-up
/// each whatever their number, also through links and other spellings.
class RebuildReads {
  public:
    /// Adds the files of `jobs`, whose identities the rebuild found when it
    /// measured or opened them (`pack_file_sizes`, `review_pack`): no file
    /// is looked at again.
    void add(std::span<const PackJob> jobs, std::span<const FileId> ids);

    /// The job whose file `path` is, or null (also when nothing is at `path`).
    const PackJob* find(const std::string& path, std::string* err, bool* failed) const;

  private:
    struct IdHash {
        std::size_t operator()(const FileId& id) const {
            return std::hash<std::uint64_t>()(id.file * 0x9E3779B97F4A7C15ull ^ id.device);
        }
    };
    std::unordered_map<FileId, const PackJob*, IdHash> files_;  ///< the first job of each file
};

/// Refuses an output (`role` as the usage line names it, or a pack being
/// rebuilt) that is one of the files the rebuild reads.
bool check_output_not_read(const std::string& output, std::string_view role,
                           const RebuildReads& reads, std::string* err);

/// What the first bytes of a file say it holds, for messages: "a TIM2
/// image", "a PNG image", "an ELF executable", "text", or nothing.
std::string_view recognise_contents(ByteSpan head);

/// Refuses an existing file named as an output executable (`role`) that is
/// not an ELF file, the kind of file the tools read as the executable; the
/// message says what it holds instead. A path at which nothing stands, a
/// device or a FIFO (written directly) pass.
bool check_output_executable(const std::string& path, std::string_view role, std::string* err);
