// The constants that tie a build of tillet to one revision of the game
// executable. Both revisions share the pack count and the address bias; only
// the position of the pack directory differs.
#pragma once

#include <cstdint>

struct FpackLayout {
    char label;                      ///< 'A' or 'B', for messages
    std::uint32_t directory_offset;  ///< file offset of pack entry 0
    std::uint32_t pack_count;        ///< entries in the directory; nothing marks its end
    std::uint32_t address_bias;      ///< memory address - bias = file offset
};

inline constexpr FpackLayout FPACK_LAYOUT_A{'A', 0x2A8038, 905, 0xFF000};
inline constexpr FpackLayout FPACK_LAYOUT_B{'B', 0x2A9D00, 905, 0xFF000};
