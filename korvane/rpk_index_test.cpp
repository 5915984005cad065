#include "korvane/rpk_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Lays out an executable image with an RPK index at the layout's offset.
// Names are placed at chosen distances from entry 0's name, which the layout
// pins at first_name_offset; addresses are those of a running game.
class ImageBuilder {
  public:
    static constexpr std::uint32_t ADDRESS0 = 0x00A0F000;

    explicit ImageBuilder(const RpkLayout& layout)
        : layout_(layout), image_(layout.first_name_offset + 0x1000, 0xCC) {}

    // Adds an entry whose name lies `distance` bytes from entry 0's name.
    ImageBuilder& entry(const std::string& name, std::int64_t distance, std::uint32_t sector,
                        std::uint32_t length) {
        const auto address = static_cast<std::uint32_t>(ADDRESS0 + distance);
        const std::uint64_t record = layout_.index_offset + SECTOR_RECORD_SIZE * count_++;
        write_le32(image_, record, address);
        write_le32(image_, record + 4, sector);
        write_le32(image_, record + 8, length);
        const std::uint64_t at = layout_.first_name_offset + distance;
        std::copy(name.begin(), name.end(), image_.begin() + static_cast<std::ptrdiff_t>(at));
        image_[at + name.size()] = 0;
        return *this;
    }

    std::vector<std::uint8_t>& image() { return image_; }

  private:
    RpkLayout layout_;
    std::vector<std::uint8_t> image_;
    std::uint32_t count_ = 0;
};

std::vector<std::string> names_of(const std::vector<RpkEntry>& entries) {
    std::vector<std::string> names;
    for (const auto& e : entries) {
        names.push_back(std::string(e.record.name));
    }
    return names;
}

class RpkIndex : public ::testing::TestWithParam<RpkLayout> {};

INSTANTIATE_TEST_SUITE_P(BothLayouts, RpkIndex, ::testing::Values(RPK_LAYOUT_A, RPK_LAYOUT_B),
                         [](const auto& test_info) {
                             return std::string(1, test_info.param.label);
                         });

}  // namespace

TEST_P(RpkIndex, NamesAreFoundRelativeToEntryZerosName) {
    ImageBuilder b(GetParam());
    b.entry("first.bin", 0, 0, 10)
        .entry("dir/after.bin", 0x40, 1, 10)
        .entry("before\\it.bin", -0x300, 2, 2048);
    std::vector<RpkEntry> entries;
    std::string err;
    ASSERT_TRUE(scan_rpk_index(b.image(), GetParam(), 3 * 2048, "exe", &entries, &err)) << err;
    EXPECT_EQ(names_of(entries),
              (std::vector<std::string>{"first.bin", "dir/after.bin", "before\\it.bin"}));
    EXPECT_EQ(entries[1].record.offset, GetParam().index_offset + 12u);
    EXPECT_EQ(entries[2].record.sector, 2u);
    EXPECT_EQ(entries[2].record.length, 2048u);
}

TEST_P(RpkIndex, WalkEndsAtTheFirstEntryWhoseRoundedDataEndsTheArchive) {
    struct Case {
        const char* what;
        std::uint32_t sector, length;
        std::uint64_t archive_size;
    };
    const Case cases[] = {
        {"length an exact multiple of 2048", 3, 4096, 5 * 2048},
        {"length 1 fills a whole sector", 4, 1, 5 * 2048},
        {"length 2047", 4, 2047, 5 * 2048},
        {"length 0 at the archive's last sector", 5, 0, 5 * 2048},
        {"archive of 2 GiB and more", 0x100000, 2048, 0x100001ull * 2048},
    };
    for (const Case& c : cases) {
        ImageBuilder b(GetParam());
        b.entry("a", 0, 0, 2048)
            .entry("end", 0x10, c.sector, c.length)
            .entry("ignored/after.bin", 0x20, 0, 1)
            .entry("ignored/too.bin", 0x40, 1, 1);
        std::vector<RpkEntry> entries;
        std::string err;
        ASSERT_TRUE(scan_rpk_index(b.image(), GetParam(), c.archive_size, "exe", &entries, &err))
            << c.what << ": " << err;
        EXPECT_EQ(names_of(entries), (std::vector<std::string>{"a", "end"})) << c.what;
    }
}

TEST_P(RpkIndex, AWalkThatNeverEndsIsRefusedAtTheImagesEnd) {
    const RpkLayout layout = GetParam();
    ImageBuilder b(layout);
    b.entry("a", 0, 0, 2048).entry("b", 0x10, 1, 2048);
    // Entries after these read the 0xCC filler: their names lie far outside.
    std::vector<RpkEntry> entries;
    std::string err;
    EXPECT_FALSE(scan_rpk_index(b.image(), layout, 999 * 2048, "exe", &entries, &err));
    EXPECT_TRUE(
        err.starts_with("Error: exe: the RPK index entry has its name outside the executable"))
        << err;
    EXPECT_NE(err.find("(entry 2, offset 0x"), std::string::npos) << err;
    // Not the other build's executable either: the archive may be the wrong one.
    EXPECT_EQ(err.find("korvane-"), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with("; check that RPK.BIN goes with this executable")) << err;
}

// The other build is named exactly when it reads the executable cleanly.
TEST_P(RpkIndex, TheOtherBuildIsSuggestedWhenItReadsTheExecutable) {
    const RpkLayout layout = GetParam();
    const RpkLayout& other = layout.label == 'A' ? RPK_LAYOUT_B : RPK_LAYOUT_A;
    ImageBuilder b(other);
    b.entry("a", 0, 0, 2048).entry("b", 0x10, 1, 2048);
    b.image().resize(std::max(b.image().size(), std::size_t{layout.first_name_offset} + 0x1000),
                     0xCC);
    std::vector<RpkEntry> entries;
    std::string err;
    EXPECT_FALSE(scan_rpk_index(b.image(), layout, 2 * 2048, "exe", &entries, &err));
    EXPECT_TRUE(err.ends_with(layout.label == 'A' ? "; is this the executable for korvane-b?"
                                                  : "; is this the executable for korvane-a?"))
        << err;
    EXPECT_TRUE(scan_rpk_index(b.image(), other, 2 * 2048, "exe", &entries, &err)) << err;
}

TEST(RpkIndexEnd, AnIndexThatRunsOffTheImageIsRefusedAtTheEntry) {
    // The game's layouts put names after the index; a layout with names in
    // front lets the image end inside the index itself.
    const RpkLayout names_first{'A', 0x100, 0x10};
    std::vector<std::uint8_t> image(0x100 + 2 * SECTOR_RECORD_SIZE + 5, 0);
    const char name[] = "a";
    std::copy(name, name + 2, image.begin() + 0x10);
    for (std::uint64_t i = 0; i < 2; ++i) {
        write_le32(image, 0x100 + i * SECTOR_RECORD_SIZE, 0x5000);
        write_le32(image, 0x100 + i * SECTOR_RECORD_SIZE + 8, 2048);
    }
    std::vector<RpkEntry> entries;
    std::string err;
    EXPECT_FALSE(scan_rpk_index(image, names_first, 999 * 2048, "exe", &entries, &err));
    EXPECT_EQ(err,
              "Error: exe: the RPK index entry lies outside the executable (285 bytes), and no "
              "entry before it ends at the end of the archive (2045952 bytes) (entry 2, offset "
              "0x118); check that RPK.BIN goes with this executable");

    image.resize(0x103);
    EXPECT_FALSE(scan_rpk_index(image, names_first, 999 * 2048, "exe", &entries, &err));
    EXPECT_NE(err.find("the RPK index entry lies outside the executable (259 bytes) (entry 0, "
                       "offset 0x100)"),
              std::string::npos)
        << err;
}

TEST_P(RpkIndex, NamesOutsideTheImageOrUnterminatedAreRefused) {
    const RpkLayout layout = GetParam();
    {
        // A name address so far below entry 0's that the offset wraps around.
        ImageBuilder b(layout);
        b.entry("a", 0, 0, 2048);
        write_le32(b.image(), layout.index_offset + 12, ImageBuilder::ADDRESS0 - 0x80000000u);
        std::vector<RpkEntry> entries;
        std::string err;
        EXPECT_FALSE(scan_rpk_index(b.image(), layout, 2 * 2048, "exe", &entries, &err));
        EXPECT_NE(err.find("the RPK index entry has its name outside the executable"),
                  std::string::npos)
            << err;
    }
    {
        // The last name runs to the image's end without its zero.
        ImageBuilder b(layout);
        b.entry("a", 0, 0, 2048);
        auto& image = b.image();
        std::fill(image.end() - 8, image.end(), 'x');
        write_le32(image, layout.index_offset + 12,
                   static_cast<std::uint32_t>(ImageBuilder::ADDRESS0 + image.size() - 8 -
                                              layout.first_name_offset));
        std::vector<RpkEntry> entries;
        std::string err;
        EXPECT_FALSE(scan_rpk_index(image, layout, 2 * 2048, "exe", &entries, &err));
        EXPECT_NE(
            err.find("has a name with no terminating zero within 4096 bytes inside the executable"),
            std::string::npos)
            << err;
    }
}

TEST_P(RpkIndex, UnsafeNamesAreRefusedBeforeAnythingIsWritten) {
    for (const char* bad : {"", "/abs.bin", "..\\up.bin", "a/../../b"}) {
        ImageBuilder b(GetParam());
        b.entry("ok.bin", 0, 0, 2048).entry(bad, 0x20, 1, 2048);
        std::vector<RpkEntry> entries;
        std::string err;
        EXPECT_FALSE(scan_rpk_index(b.image(), GetParam(), 2 * 2048, "exe", &entries, &err)) << bad;
        EXPECT_TRUE(err.starts_with("Error: exe: the RPK index entry has an unsafe name \"" +
                                    std::string(bad) + "\" ("))
            << err;
        EXPECT_NE(err.find("; nothing was written (entry 1, offset 0x"), std::string::npos) << err;
        EXPECT_EQ(err.find("entry 1"), err.rfind("entry 1")) << "the entry is named once";
        EXPECT_EQ(err.find("korvane-"), std::string::npos) << "no other build for a bad name";
    }
}

TEST(RpkListing, LineShowsSignedFieldsInFixedColumns) {
    EXPECT_EQ(rpk_listing_line(RpkEntry{0, {0, 0, 0, 2048, "a/b.bin"}}),
              "00000: LBA        0 len       2048 [a/b.bin]\n");
    EXPECT_EQ(rpk_listing_line(RpkEntry{123456, {0, 0, 0xFFFFFFFF, 0x80000000, "x\\y"}}),
              "123456: LBA       -1 len -2147483648 [x\\y]\n");
}
