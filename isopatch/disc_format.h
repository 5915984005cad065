// The building blocks of a DVD image's two file systems, as both the parser
// and the record rewrites use them: 2048-byte sectors, ISO 9660's numbers
// stored in both byte orders, and the 16-byte tag in front of every UDF
// descriptor with its checksum and CRC.
//
// Loads and stores work on pointers whose bytes the caller has checked
// (with range_fits from common/byte_reader.h); nothing here reads a file.
#pragma once

#include <cstdint>
#include <span>

#include "common/byte_reader.h"

/// The unit of every address on the disc, in both file systems.
inline constexpr std::uint32_t DISC_SECTOR = 2048;
inline constexpr unsigned DISC_SECTOR_SHIFT = 11;

/// Byte offset of a sector.
constexpr std::uint64_t disc_offset(std::uint64_t sector) {
    return sector << DISC_SECTOR_SHIFT;
}

/// Sectors a length takes, rounded up, in 64 bits.
constexpr std::uint64_t disc_sectors(std::uint64_t length) {
    return (length + DISC_SECTOR - 1) >> DISC_SECTOR_SHIFT;
}

constexpr std::uint16_t load_le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

constexpr std::uint64_t load_le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(load_le32(p)) | static_cast<std::uint64_t>(load_le32(p + 4))
                                                          << 32;
}

constexpr std::uint16_t load_be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

constexpr std::uint32_t load_be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

constexpr void store_le16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void store_le64(std::uint8_t* p, std::uint64_t value) {
    store_le32(p, static_cast<std::uint32_t>(value));
    store_le32(p + 4, static_cast<std::uint32_t>(value >> 32));
}

constexpr void store_be16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

constexpr void store_be32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

/// ISO 9660 stores most numbers twice, little-endian then big-endian (4 or
/// 8 bytes). The value, or nothing when the two copies disagree.
inline bool load_both16(const std::uint8_t* p, std::uint16_t* out) {
    *out = load_le16(p);
    return *out == load_be16(p + 2);
}
inline bool load_both32(const std::uint8_t* p, std::uint32_t* out) {
    *out = load_le32(p);
    return *out == load_be32(p + 4);
}

/// Stores a number in both byte orders (8 bytes).
constexpr void store_both32(std::uint8_t* p, std::uint32_t value) {
    store_le32(p, value);
    store_be32(p + 4, value);
}
constexpr void store_both16(std::uint8_t* p, std::uint16_t value) {
    store_le16(p, value);
    store_be16(p + 2, value);
}

// ---------------------------------------------------------------------------
// UDF descriptor tags.

/// Tag identifiers of the descriptors the parser meets.
enum UdfTagId : std::uint16_t {
    UDF_PRIMARY_VOLUME = 1,
    UDF_ANCHOR = 2,
    UDF_VOLUME_POINTER = 3,
    UDF_IMPLEMENTATION_USE = 4,
    UDF_PARTITION = 5,
    UDF_LOGICAL_VOLUME = 6,
    UDF_UNALLOCATED_SPACE = 7,
    UDF_TERMINATING = 8,
    UDF_INTEGRITY = 9,
    UDF_FILE_SET = 256,
    UDF_FILE_IDENTIFIER = 257,
    UDF_ALLOCATION_EXTENT = 258,
    UDF_INDIRECT_ENTRY = 259,
    UDF_TERMINAL_ENTRY = 260,
    UDF_FILE_ENTRY = 261,
    UDF_EXTENDED_ATTRIBUTES = 262,
    UDF_UNALLOCATED_SPACE_ENTRY = 263,
    UDF_SPACE_BITMAP = 264,
    UDF_PARTITION_INTEGRITY = 265,
    UDF_EXTENDED_FILE_ENTRY = 266,
};

inline constexpr std::size_t UDF_TAG_SIZE = 16;

/// CRC-16 with the CCITT polynomial (x^16 + x^12 + x^5 + 1), initial value 0,
/// no reflection: the CRC of every UDF descriptor.
std::uint16_t crc16_ccitt(std::span<const std::uint8_t> data);

/// The tag checksum: the sum modulo 256 of the tag's bytes 0-3 and 5-15.
std::uint8_t udf_tag_checksum(const std::uint8_t* tag);

/// What is wrong with the descriptor tag at the start of `descriptor`, read
/// where it should describe itself as lying at `location` (its logical block
/// or sector), or nothing (a null pointer) when it is sound: the checksum,
/// the location and the CRC over the descriptor's CRC length, which must
/// fit in `descriptor`.
const char* udf_tag_problem(std::span<const std::uint8_t> descriptor, std::uint32_t location);

/// The identifier of a tag (the caller has checked 16 bytes).
inline std::uint16_t udf_tag_id(const std::uint8_t* tag) {
    return load_le16(tag);
}

/// Seals a descriptor after a change: its tag gets `location`, a CRC over
/// `crc_length` bytes after the tag, and the checksum. The caller has
/// checked that the tag and those bytes fit in `descriptor`.
void udf_seal_tag(std::span<std::uint8_t> descriptor, std::uint32_t location,
                  std::uint16_t crc_length);

/// Whether `sector` (2048 bytes, at sector number `sector_number`) holds a
/// structure a file must not grow over: a UDF descriptor whose tag is sound
/// where it lies (as an absolute sector, or as a block of a partition that
/// starts at `partition_start`), or an ISO 9660 volume descriptor or volume
/// recognition descriptor.
bool holds_descriptor(std::span<const std::uint8_t> sector, std::uint64_t sector_number,
                      std::uint64_t partition_start);
