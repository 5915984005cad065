// The constants that tie a build of korvane to one revision of the game
// executable. Nothing in the executable identifies its revision, so each
// build carries one record and trusts it.
#pragma once

#include <cstdint>

struct RpkLayout {
    char label;                       ///< 'A' or 'B', for messages
    std::uint32_t index_offset;       ///< file offset of entry 0 of the index
    std::uint32_t first_name_offset;  ///< file offset of entry 0's name
};

inline constexpr RpkLayout RPK_LAYOUT_A{'A', 0x278A90, 0x70E670};
inline constexpr RpkLayout RPK_LAYOUT_B{'B', 0x277090, 0x741AF0};
