// Small formatting helpers for the suite's messages.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

/// An offset or size as messages show it: "0x" and upper-case hex digits.
inline std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIX64, value);
    return text;
}

/// The value of one hex digit (either case), or -1 for any other character.
constexpr int hex_value(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

/// A 32-bit address of the running game, with all eight digits.
inline std::string hex32(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, address);
    return text;
}
