// The layout pairings that the tests over whole games run on.
#pragma once

#include <vector>

#include "tools/sample_game.h"

/// Every pairing on Linux. The layouts are format logic, the same on every
/// system, while under wine each whole game costs minutes; there the
/// pairings A with B and B with A take each layout of each format once,
/// which is what the file layer beneath them needs.
inline std::vector<LayoutCombination> layouts_to_test() {
#ifdef _WIN32
    return {ALL_LAYOUT_COMBINATIONS[1], ALL_LAYOUT_COMBINATIONS[2]};
#else
    return {std::begin(ALL_LAYOUT_COMBINATIONS), std::end(ALL_LAYOUT_COMBINATIONS)};
#endif
}
