// Bounds-checked little-endian access to byte buffers.
//
// Every table of the game's formats is read through these helpers: an offset
// is taken as a 64-bit value and checked against the buffer before a single
// byte is touched, so a damaged or foreign file can never make a tool read or
// write outside the buffer it loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

using ByteSpan = std::span<const std::uint8_t>;
using MutableByteSpan = std::span<std::uint8_t>;

/// True when the `length` bytes starting at `offset` lie inside a buffer of `size` bytes.
constexpr bool range_fits(std::uint64_t size, std::uint64_t offset, std::uint64_t length) {
    return offset <= size && length <= size - offset;
}

/// Assembles a little-endian 32-bit value. The caller has checked the four bytes.
constexpr std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

/// Stores a little-endian 32-bit value. The caller has checked the four bytes.
constexpr void store_le32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
    p[2] = static_cast<std::uint8_t>(value >> 16);
    p[3] = static_cast<std::uint8_t>(value >> 24);
}

/// Reads the little-endian 32-bit value at `offset`, or nothing if it does not fit.
inline std::optional<std::uint32_t> read_le32(ByteSpan data, std::uint64_t offset) {
    if (!range_fits(data.size(), offset, 4)) {
        return std::nullopt;
    }
    return load_le32(data.data() + offset);
}

/// Writes a little-endian 32-bit value at `offset`; false (nothing written) if it does not fit.
inline bool write_le32(MutableByteSpan data, std::uint64_t offset, std::uint32_t value) {
    if (!range_fits(data.size(), offset, 4)) {
        return false;
    }
    store_le32(data.data() + offset, value);
    return true;
}

/// The zero-terminated string at `offset`, or nothing if the offset or the
/// terminator lies outside the buffer, or the string is longer than
/// `max_length`. The view excludes the terminator.
inline std::optional<std::string_view> read_cstring(ByteSpan data, std::uint64_t offset,
                                                    std::size_t max_length = SIZE_MAX - 1) {
    if (offset >= data.size()) {
        return std::nullopt;
    }
    const char* begin = reinterpret_cast<const char*>(data.data() + offset);
    std::size_t room = data.size() - static_cast<std::size_t>(offset);
    if (room > max_length + 1) {
        room = max_length + 1;
    }
    const void* zero = std::memchr(begin, 0, room);
    if (zero == nullptr) {
        return std::nullopt;
    }
    return std::string_view(begin,
                            static_cast<std::size_t>(static_cast<const char*>(zero) - begin));
}

/// Appends a little-endian 32-bit value to a growing buffer (for writers and fixtures).
template <typename Vector>
void append_le32(Vector& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    store_le32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}
