#include "isopatch/disc_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes text_bytes(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

// A sealed descriptor of `id` at `location`, covering `crc_length` bytes.
Bytes sealed(std::uint16_t id, std::uint32_t location, std::uint16_t crc_length) {
    Bytes d(DISC_SECTOR, 0);
    store_le16(d.data(), id);
    store_le16(d.data() + 2, 2);
    for (std::size_t i = UDF_TAG_SIZE; i < d.size(); ++i) {
        d[i] = static_cast<std::uint8_t>(i * 7);
    }
    udf_seal_tag(d, location, crc_length);
    return d;
}

}  // namespace

TEST(Crc16Ccitt, MatchesTheCheckValuesOfTheCcittPolynomial) {
    // CRC-16 with polynomial 0x1021, initial value 0, no reflection (the
    // catalogued "XMODEM" parameters): the standard check value, and the
    // CRC of nothing and of one zero byte.
    EXPECT_EQ(crc16_ccitt(text_bytes("123456789")), 0x31C3);
    EXPECT_EQ(crc16_ccitt({}), 0);
    EXPECT_EQ(crc16_ccitt(Bytes{0}), 0);
    EXPECT_EQ(crc16_ccitt(Bytes{0x01}), 0x1021);
}

TEST(UdfTag, ASealedDescriptorIsSoundWhereItLiesOnly) {
    const Bytes d = sealed(UDF_FILE_ENTRY, 1234, 200);
    EXPECT_EQ(udf_tag_problem(d, 1234), nullptr);
    EXPECT_EQ(udf_tag_checksum(d.data()), d[4]);
    EXPECT_STREQ(udf_tag_problem(d, 1235), "the tag names another location");
}

TEST(UdfTag, EveryDamageIsNamed) {
    struct Case {
        const char* name;
        void (*damage)(Bytes&);
        const char* problem;
    };
    const Case cases[] = {
        {"checksum byte", [](Bytes& d) { d[4] ^= 1; }, "bad tag checksum"},
        {"tag byte outside the checksum's own", [](Bytes& d) { d[0] ^= 1; }, "bad tag checksum"},
        {"byte the CRC covers", [](Bytes& d) { d[100] ^= 0x40; }, "bad descriptor CRC"},
        {"CRC length past the descriptor",
         [](Bytes& d) {
             store_le16(d.data() + 10, DISC_SECTOR);
             d[4] = udf_tag_checksum(d.data());
         },
         "the tag's CRC length runs past the descriptor"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes d = sealed(UDF_PARTITION, 40, 496);
        c.damage(d);
        ASSERT_NE(udf_tag_problem(d, 40), nullptr);
        EXPECT_STREQ(udf_tag_problem(d, 40), c.problem);
    }
    // Bytes after the CRC length are not covered.
    Bytes d = sealed(UDF_PARTITION, 40, 496);
    d[600] ^= 0xFF;
    EXPECT_EQ(udf_tag_problem(d, 40), nullptr);
    EXPECT_STREQ(udf_tag_problem(Bytes(8, 0), 0), "the descriptor is cut short");
}

TEST(HoldsDescriptor, KnowsDescriptorsWhereverTheyAreAddressedFrom) {
    // An anchor names its absolute sector; a file entry its block in the
    // partition (here starting at 257).
    EXPECT_TRUE(holds_descriptor(sealed(UDF_ANCHOR, 500, 496), 500, 257));
    EXPECT_TRUE(holds_descriptor(sealed(UDF_FILE_ENTRY, 500 - 257, 168), 500, 257));
    EXPECT_FALSE(holds_descriptor(sealed(UDF_FILE_ENTRY, 17, 168), 500, 257));
    // Unknown identifiers, zeros and plain data are not descriptors.
    EXPECT_FALSE(holds_descriptor(sealed(77, 500, 496), 500, 257));
    EXPECT_FALSE(holds_descriptor(Bytes(DISC_SECTOR, 0), 500, 257));
    Bytes data(DISC_SECTOR);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 31 + 5);
    }
    EXPECT_FALSE(holds_descriptor(data, 500, 257));
    // ISO 9660 volume descriptors and the recognition sequence.
    for (const char* id : {"CD001", "BEA01", "NSR02", "NSR03", "TEA01"}) {
        Bytes s(DISC_SECTOR, 0);
        std::memcpy(s.data() + 1, id, 5);
        EXPECT_TRUE(holds_descriptor(s, 20, 257)) << id;
    }
}

TEST(BothByteOrders, AgreeingCopiesReadBackAndDisagreeingOnesAreRefused) {
    std::uint8_t p[8];
    store_both32(p, 0x12345678);
    EXPECT_EQ(load_le32(p), 0x12345678u);
    EXPECT_EQ(load_be32(p + 4), 0x12345678u);
    std::uint32_t value = 0;
    EXPECT_TRUE(load_both32(p, &value));
    EXPECT_EQ(value, 0x12345678u);
    p[7] ^= 1;
    EXPECT_FALSE(load_both32(p, &value));
    std::uint8_t q[4];
    store_both16(q, 2048);
    std::uint16_t small = 0;
    EXPECT_TRUE(load_both16(q, &small));
    EXPECT_EQ(small, 2048);
}
