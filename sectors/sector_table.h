// Tables in the game executable that point into sector-addressed files.
//
// RPK.BIN and every .fp pack are plain data addressed in 2048-byte sectors;
// their directories are arrays of 12-byte records (name address, start
// sector, length) compiled into the executable. korvane and tillet do the
// same three things with such a table: read its records, check them against
// the file they point into and the tree they extract to, then copy data out;
// or pack files back in table order with zero fill and patch the records.
// This part is pure: records and plans from bytes, no files.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_reader.h"

/// The unit in which RPK.BIN and the .fp packs address file data.
inline constexpr std::uint32_t SECTOR_SIZE = 2048;
inline constexpr unsigned SECTOR_SHIFT = 11;

/// Byte offset of a sector number.
constexpr std::uint64_t sector_offset(std::uint32_t sector) {
    return static_cast<std::uint64_t>(sector) << SECTOR_SHIFT;
}

/// A byte length rounded up to whole sectors, without 32-bit wrap-around.
constexpr std::uint64_t round_up_to_sector(std::uint64_t length) {
    return (length + SECTOR_SIZE - 1) & ~static_cast<std::uint64_t>(SECTOR_SIZE - 1);
}

/// Size of one record.
inline constexpr std::uint64_t SECTOR_RECORD_SIZE = 12;

/// One record as stored, with its name once located.
struct SectorRecord {
    std::uint64_t offset = 0;  ///< of the 12-byte record in the executable
    std::uint32_t name_address = 0;
    std::uint32_t sector = 0;
    std::uint32_t length = 0;
    std::string_view name;  ///< as stored (may hold `\`); a view into the image
};

/// Reads the record at `offset`; false when its 12 bytes do not lie inside the image.
bool read_sector_record(ByteSpan image, std::uint64_t offset, SectorRecord* out);

/// One file an extraction writes: a record's data, copied out of a source file.
struct ExtractJob {
    std::string path;          ///< host path of the output file
    std::uint32_t source = 0;  ///< which source file holds the data
    std::uint64_t offset = 0;  ///< of the data in the source
    std::uint64_t length = 0;
    std::string where;      ///< the record's place for messages: "entry 12", "pack 3, member 1"
    std::string_view name;  ///< as stored
};

/// A file that extraction reads from.
struct ExtractSource {
    std::string path;
    std::uint64_t size = 0;
};

/// Checks that the `length` bytes at `offset` lie inside a file of `size`
/// bytes at `path`, where a record (`where`, stored `name`) says its data is;
/// the message names the record, the range and the file.
bool check_data_range(const std::string& path, std::uint64_t size, std::string_view where,
                      std::string_view name, std::uint64_t offset, std::uint64_t length,
                      std::string* err);

/// Checks that every job's data lies inside its source; the message names
/// the first that does not, and the source.
bool check_extract_ranges(std::span<const ExtractJob> jobs, std::span<const ExtractSource> sources,
                          std::string* err);

/// Checks the jobs' output paths against each other: a path that one job
/// writes as a file while another needs it as a folder (`a/f.bin` and
/// `a/f.bin/x`, in any spelling of the path) cannot be written; the message
/// names both.
bool check_extract_names(std::span<const ExtractJob> jobs, std::string* err);

/// Folders in which the jobs write files, each once, shallowest first.
std::vector<std::string> extract_folders(std::span<const ExtractJob> jobs);

/// One file a rebuild packs: the file at `path` becomes the data of the
/// record at `record_offset`.
struct PackJob {
    std::string path;
    std::uint64_t record_offset = 0;
    std::string where;
    std::string_view name;
    /// Where the record's data lies now in the file the table points into,
    /// for a rebuild that compares each file with it first.
    std::uint64_t data_offset = 0;
    std::uint64_t data_length = 0;
};

/// The rules of the table being rebuilt.
struct PackRules {
    /// Largest sector number and length the table's readers accept.
    std::uint64_t max_value = 0xFFFFFFFF;
    /// The table has no count: its walk ends with the record whose data ends
    /// exactly at the end of the file. Then only the last record may end
    /// there; an empty last file gets a sector of fill before it so that no
    /// earlier record ends where it does.
    bool end_marks_last = false;
};

/// Where a file goes in the rebuilt file.
struct PackPlacement {
    std::uint64_t sector = 0;
    std::uint64_t length = 0;
};

/// Lays out files of the given sizes in table order from sector 0, each
/// followed by zero fill up to the next sector boundary. A length or sector
/// beyond `rules.max_value` is an error naming the job. Gives the total size.
bool plan_packing(std::span<const PackJob> jobs, std::span<const std::uint64_t> sizes,
                  const PackRules& rules, std::vector<PackPlacement>* placements,
                  std::uint64_t* total, std::string* err);

/// Writes each placement's sector and length into its record in the image.
void patch_records(MutableByteSpan image, std::span<const PackJob> jobs,
                   std::span<const PackPlacement> placements);

/// A stretch of the executable that a table walk reads, for the check that
/// patching records changes nothing else the walk reads.
struct ImageRegion {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    bool patched = false;  ///< the rebuild writes into it
};

/// Finds two regions that share a byte where at least one is patched: a patch
/// there would change what the other holds. Gives the patched one as `*patched`
/// and the other as `*other`; false when there is no such pair. Empty regions
/// share nothing.
bool find_patch_overlap(std::span<const ImageRegion> regions, std::size_t* patched,
                        std::size_t* other);
