#include "isopatch/disc_format.h"

#include <array>
#include <cstring>

namespace {

constexpr std::array<std::uint16_t, 256> make_crc_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        std::uint16_t crc = static_cast<std::uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
        table[byte] = crc;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> CRC_TABLE = make_crc_table();

bool known_tag_id(std::uint16_t id) {
    return (id >= UDF_PRIMARY_VOLUME && id <= UDF_INTEGRITY) ||
           (id >= UDF_FILE_SET && id <= UDF_EXTENDED_FILE_ENTRY);
}

}  // namespace

std::uint16_t crc16_ccitt(std::span<const std::uint8_t> data) {
    std::uint16_t crc = 0;
    for (const std::uint8_t byte : data) {
        crc = static_cast<std::uint16_t>(crc << 8 ^ CRC_TABLE[(crc >> 8 ^ byte) & 0xFF]);
    }
    return crc;
}

std::uint8_t udf_tag_checksum(const std::uint8_t* tag) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < UDF_TAG_SIZE; ++i) {
        if (i != 4) {
            sum += tag[i];
        }
    }
    return static_cast<std::uint8_t>(sum);
}

const char* udf_tag_problem(std::span<const std::uint8_t> descriptor, std::uint32_t location) {
    if (descriptor.size() < UDF_TAG_SIZE) {
        return "the descriptor is cut short";
    }
    const std::uint8_t* tag = descriptor.data();
    if (udf_tag_checksum(tag) != tag[4]) {
        return "bad tag checksum";
    }
    if (load_le32(tag + 12) != location) {
        return "the tag names another location";
    }
    const std::uint16_t crc_length = load_le16(tag + 10);
    if (!range_fits(descriptor.size(), UDF_TAG_SIZE, crc_length)) {
        return "the tag's CRC length runs past the descriptor";
    }
    if (crc16_ccitt(descriptor.subspan(UDF_TAG_SIZE, crc_length)) != load_le16(tag + 8)) {
        return "bad descriptor CRC";
    }
    return nullptr;
}

void udf_seal_tag(std::span<std::uint8_t> descriptor, std::uint32_t location,
                  std::uint16_t crc_length) {
    std::uint8_t* tag = descriptor.data();
    store_le32(tag + 12, location);
    store_le16(tag + 10, crc_length);
    store_le16(tag + 8, crc16_ccitt(descriptor.subspan(UDF_TAG_SIZE, crc_length)));
    tag[4] = udf_tag_checksum(tag);
}

bool holds_descriptor(std::span<const std::uint8_t> sector, std::uint64_t sector_number,
                      std::uint64_t partition_start) {
    if (sector.size() < DISC_SECTOR) {
        return false;
    }
    // ISO 9660 volume descriptors and the volume recognition sequence.
    static const char* const standard_ids[] = {"CD001", "BEA01", "NSR02", "NSR03",
                                               "TEA01", "BOOT2", "CDW02"};
    for (const char* id : standard_ids) {
        if (std::memcmp(sector.data() + 1, id, 5) == 0) {
            return true;
        }
    }
    const std::uint16_t id = udf_tag_id(sector.data());
    if (!known_tag_id(id)) {
        return false;
    }
    if (sector_number <= UINT32_MAX &&
        udf_tag_problem(sector, static_cast<std::uint32_t>(sector_number)) == nullptr) {
        return true;
    }
    return sector_number >= partition_start && sector_number - partition_start <= UINT32_MAX &&
           udf_tag_problem(sector, static_cast<std::uint32_t>(sector_number - partition_start)) ==
               nullptr;
}
