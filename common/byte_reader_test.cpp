#include "common/byte_reader.h"

#include <gtest/gtest.h>

#include <vector>

TEST(ByteReader, ReadsLittleEndianInsideAndRefusesOutside) {
    const std::vector<std::uint8_t> data{0x78, 0x56, 0x34, 0x12, 0xFF};
    EXPECT_EQ(read_le32(data, 0), 0x12345678u);
    EXPECT_EQ(read_le32(data, 1), 0xFF123456u);
    EXPECT_FALSE(read_le32(data, 2));
    EXPECT_FALSE(read_le32(data, 5));
    // Offsets near the top of the 64-bit range must not wrap into the buffer.
    EXPECT_FALSE(read_le32(data, UINT64_MAX - 1));
    EXPECT_FALSE(read_le32({}, 0));
}

TEST(ByteReader, WritesOnlyInside) {
    std::vector<std::uint8_t> data(6, 0);
    EXPECT_TRUE(write_le32(data, 2, 0xA1B2C3D4));
    EXPECT_EQ(data, (std::vector<std::uint8_t>{0, 0, 0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_FALSE(write_le32(data, 3, 1));
    EXPECT_EQ(data[5], 0xA1);
}

TEST(ByteReader, CStringNeedsItsTerminatorInside) {
    const std::vector<std::uint8_t> data{'a', 'b', 0, 'c', 'd'};
    EXPECT_EQ(read_cstring(data, 0), "ab");
    EXPECT_EQ(read_cstring(data, 2), "");
    EXPECT_FALSE(read_cstring(data, 3));  // "cd" runs off the end
    EXPECT_FALSE(read_cstring(data, 5));
    EXPECT_FALSE(read_cstring(data, UINT64_MAX));
    // A bound on the length: the terminator must come within it.
    EXPECT_EQ(read_cstring(data, 0, 2), "ab");
    EXPECT_FALSE(read_cstring(data, 0, 1));
    EXPECT_EQ(read_cstring(data, 2, 0), "");
}

TEST(ByteReader, RangeFitsWithoutOverflow) {
    EXPECT_TRUE(range_fits(10, 10, 0));
    EXPECT_TRUE(range_fits(10, 6, 4));
    EXPECT_FALSE(range_fits(10, 7, 4));
    EXPECT_FALSE(range_fits(10, 4, UINT64_MAX));
}
