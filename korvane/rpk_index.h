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
#include <vector>

#include "common/byte_reader.h"
#include "korvane/rpk_layout.h"
#include "sectors/sector_table.h"

/// One entry of the index as the walk found it.
struct RpkEntry {
    std::uint32_t index = 0;  ///< counting from 0
    SectorRecord record;      ///< the name is a view into the image
};

/// Walks the whole index, entry 0 to the entry that ends the archive, and
/// checks every entry and name on the way: inside the image, zero-terminated
/// inside the image, and safe to write below the current folder. Nothing is
/// written; a tool calls this before touching any file, so a wrong build or a
/// damaged executable is refused before a single file exists. A failure is a
/// complete message naming `image_path`, the entry and the offset.
bool scan_rpk_index(ByteSpan image, const RpkLayout& layout, std::uint64_t archive_size,
                    const std::string& image_path, std::vector<RpkEntry>* entries,
                    std::string* err);

/// The listing line of an entry: number, sector and length (both shown as
/// signed values), and the name as stored.
std::string rpk_listing_line(const RpkEntry& entry);

/// "entry N", as messages name an entry.
std::string rpk_place(std::uint32_t index);

/// The rules of the index for a rebuild: sectors and lengths are signed
/// 32-bit values to the game, and the walk's end is the archive's end.
inline constexpr PackRules RPK_PACK_RULES{0x7FFFFFFF, true};
