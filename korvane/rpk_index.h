// The RPK.BIN index compiled into the game executable.
//
// RPK.BIN has no directory: the executable holds an array of 12-byte entries
// (name address, start sector, length) at the layout's index offset. Names are
// located relative to entry 0's name, whose file offset the layout fixes. No
// entry count is stored; the walk ends with the entry whose data, rounded up
// to whole sectors, ends exactly at the end of RPK.BIN.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_reader.h"
#include "korvane/rpk_layout.h"

inline constexpr std::uint32_t RPK_ENTRY_SIZE = 12;

/// A position in the index. Every read is checked against the image: a
/// cursor never reads an entry or a name outside it.
///
/// Calling order: construct, then for each entry `read`, use the fields,
/// and `advance` unless `is_last`.
class RpkIndexCursor {
  public:
    RpkIndexCursor(MutableByteSpan image, const RpkLayout& layout, std::uint64_t archive_size);

    /// Reads the current entry and locates its name. False, with a message
    /// naming the entry and the offset, if either lies outside the image.
    bool read(std::string* err);

    std::uint32_t index() const { return index_; }
    std::uint64_t entry_offset() const { return entry_offset_; }
    std::uint32_t name_address() const { return name_address_; }
    std::uint32_t sector() const { return sector_; }
    std::uint32_t length() const { return length_; }
    std::uint64_t name_offset() const { return name_offset_; }
    /// The name exactly as stored, a view into the image.
    std::string_view name() const { return name_; }

    /// Whether this entry's data, rounded up to whole sectors, ends exactly
    /// at the end of the archive. Evaluated on the values `read` saw, so
    /// patching the entry afterwards does not change it.
    bool is_last() const { return last_; }

    /// Rewrites the current entry's fields in the image.
    void set_sector(std::uint32_t sector);
    void set_length(std::uint32_t length);

    /// Moves to the next entry (12 bytes on).
    void advance();

    /// For messages: how far the walk got without finding the archive's end.
    std::string walk_context() const;

  private:
    MutableByteSpan image_;
    RpkLayout layout_;
    std::uint64_t archive_size_;
    std::uint32_t index_ = 0;
    std::uint64_t entry_offset_;
    std::uint32_t name_address_ = 0;
    std::uint32_t sector_ = 0;
    std::uint32_t length_ = 0;
    std::uint64_t name_offset_ = 0;
    std::string_view name_;
    bool last_ = false;
};

/// One processed entry, as read before any change.
struct RpkEntry {
    std::uint32_t index = 0;
    std::uint64_t entry_offset = 0;  ///< file offset of the 12-byte record
    std::uint32_t name_address = 0;
    std::uint32_t sector = 0;
    std::uint32_t length = 0;
    std::string name;  ///< exactly as stored
};

/// Walks the whole index, entry 0 to the entry that ends the archive, and
/// checks every entry and name on the way: inside the image, zero-terminated
/// inside the image, and safe to write below the current folder. Nothing is
/// written; a tool calls this before touching any file, so a wrong build or a
/// damaged executable is refused before a single file exists.
bool scan_rpk_index(ByteSpan image, const RpkLayout& layout, std::uint64_t archive_size,
                    std::vector<RpkEntry>* entries, std::string* err);

/// The listing line of an entry: number, sector and length (both shown as
/// signed values), and the name as stored.
std::string rpk_listing_line(const RpkEntry& entry);

/// Places a replacement file of `file_size` bytes at `*archive_position` (a
/// whole number of sectors) in a rebuilt archive: sets the entry's sector and
/// length in the image and moves the position on by the rounded size. Refuses
/// a file of 2 GiB or more and a position the index cannot address.
bool pack_rpk_entry(MutableByteSpan image, const RpkEntry& entry, std::uint64_t file_size,
                    std::uint64_t* archive_position, std::string* err);
