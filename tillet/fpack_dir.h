// The fpack pack directory compiled into the game executable.
//
// The executable holds a fixed number of 12-byte pack entries (name address,
// member table address, member count); each member table holds 12-byte member
// entries (name address, sector, length). Addresses are those of the running
// game and become file offsets by subtracting the layout's bias.
//
// The walk here reads the whole directory out of an image already in memory
// and validates every entry, table and name before handing anything back, so
// that the tool writes nothing at all for a wrong build or a damaged image.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_reader.h"
#include "sectors/sector_table.h"
#include "tillet/fpack_layout.h"

/// One member of a pack, as its member table stores it: the name (as stored,
/// may contain `\`) points into the image, and the offset is the member
/// record's, which a rebuild patches.
using FpackMember = SectorRecord;

/// One entry of the pack directory with its member table.
struct FpackPack {
    std::string_view name;             ///< as stored; names the pack file; points into the image
    std::uint64_t entry_offset = 0;    ///< of the 12-byte directory entry
    std::uint64_t members_offset = 0;  ///< of the member table (0 when there are no members)
    std::uint32_t member_count = 0;
    std::vector<FpackMember> members;  ///< exactly `member_count` entries
};

/// The whole directory, packs in directory order. The names are views into the
/// image it was read from, which must outlive it.
struct FpackDirectory {
    std::vector<FpackPack> packs;
};

/// Reads and validates the pack directory of `image` at the position `layout`
/// fixes. Every entry, member table, name and name terminator must lie inside
/// the image, and every pack and member name must be safe to write below the
/// current folder. On failure returns false with a complete message in `err`
/// naming `image_path`, the pack (and member) number and the offset; `out` is
/// then unspecified.
bool read_fpack_directory(ByteSpan image, const FpackLayout& layout, const std::string& image_path,
                          FpackDirectory* out, std::string* err);

/// Checks, before a rebuild patches the member tables of the packs marked in
/// `patched` (one flag per pack), that those tables share no byte with
/// anything else the walk reads: the directory, another pack's member table,
/// or a pack or member name. Patching such a table would change the other
/// pack's records or a name, and the next walk would read a different
/// directory. The message names both and their offsets.
bool check_fpack_patches(ByteSpan image, const FpackLayout& layout, const FpackDirectory& directory,
                         const std::vector<bool>& patched, const std::string& image_path,
                         std::string* err);

/// The rules of a member table for a rebuild: sectors and lengths are
/// unsigned 32-bit values, and the member count says where the table ends.
inline constexpr PackRules FPACK_PACK_RULES{0xFFFFFFFF, false};

/// "pack P" or "pack P, member M", as messages name a place in the directory.
std::string fpack_place(std::uint32_t pack);
std::string fpack_place(std::uint32_t pack, std::uint32_t member);
