#include "tillet/fpack_dir.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "common/names.h"
#include "common/text.h"

// Names the layout in test output instead of dumping the record's bytes.
void PrintTo(const FpackLayout& layout, std::ostream* os) {
    *os << "layout " << layout.label;
}

namespace {

constexpr std::uint32_t PACKS = 905;
const std::string EXE = "SLUS_217.88";

struct MemberShape {
    std::uint32_t name_address;
    std::uint32_t sector;
    std::uint32_t length;
};

// Lays out an executable image the way the game's is: the pack directory at
// the layout's offset, then the names and member tables after it. Every pack
// starts out valid, named "fpack/pNNN.fp", without members.
class ImageBuilder {
  public:
    explicit ImageBuilder(const FpackLayout& layout) : layout_(layout) {
        image_.assign(layout.directory_offset + PACKS * 12, 0);
        for (std::uint32_t p = 0; p < PACKS; ++p) {
            char name[32];
            std::snprintf(name, sizeof name, "fpack/p%03u.fp", p);
            set_pack(p, add_string(name), 0, 0);
        }
    }

    /// Memory address of a file offset.
    std::uint32_t address(std::uint64_t offset) const {
        return static_cast<std::uint32_t>(offset + layout_.address_bias);
    }
    /// Address just past the current end of the image.
    std::uint32_t end_address() const { return address(image_.size()); }

    std::uint32_t add_string(std::string_view text, bool terminate = true) {
        const std::uint32_t at = end_address();
        image_.insert(image_.end(), text.begin(), text.end());
        if (terminate) {
            image_.push_back(0);
        }
        return at;
    }

    std::uint32_t add_members(const std::vector<MemberShape>& members) {
        const std::uint32_t at = end_address();
        for (const MemberShape& m : members) {
            append_le32(image_, m.name_address);
            append_le32(image_, m.sector);
            append_le32(image_, m.length);
        }
        return at;
    }

    void set_pack(std::uint32_t p, std::uint32_t name_address, std::uint32_t members_address,
                  std::uint32_t count) {
        const std::uint64_t entry = layout_.directory_offset + p * 12;
        store_le32(image_.data() + entry, name_address);
        store_le32(image_.data() + entry + 4, members_address);
        store_le32(image_.data() + entry + 8, count);
    }

    /// Gives pack `p` a member table holding one member per name.
    void set_members(std::uint32_t p, const std::vector<std::string>& names) {
        std::vector<MemberShape> members;
        for (std::size_t i = 0; i < names.size(); ++i) {
            members.push_back({add_string(names[i]), static_cast<std::uint32_t>(i), 1});
        }
        set_pack(p, name_address(p), add_members(members),
                 static_cast<std::uint32_t>(members.size()));
    }

    std::uint32_t name_address(std::uint32_t p) const {
        return load_le32(image_.data() + layout_.directory_offset + p * 12);
    }

    std::vector<std::uint8_t>& bytes() { return image_; }

  private:
    FpackLayout layout_;
    std::vector<std::uint8_t> image_;
};

std::string expected_hint(const FpackLayout& layout) {
    return layout.label == 'A' ? "; is this the executable for tillet-b?"
                               : "; is this the executable for tillet-a?";
}

class FpackDirTest : public ::testing::TestWithParam<FpackLayout> {};

TEST_P(FpackDirTest, ReadsEveryPackWithItsMembers) {
    const FpackLayout layout = GetParam();
    ImageBuilder image(layout);
    const std::uint32_t a = image.add_string("a.bin");
    const std::uint32_t b = image.add_string("dir\\sub/b.tm2");
    // Both numbers are unsigned: the top bit must not turn them negative.
    image.set_pack(0, image.name_address(0),
                   image.add_members({{a, 0, 5}, {b, 0x80000003, 0xFFFFFFFF}}), 2);
    image.set_pack(904, image.add_string("fpack\\last.fp"), image.add_members({{b, 7, 2048}}), 1);

    FpackDirectory dir;
    std::string err;
    ASSERT_TRUE(read_fpack_directory(image.bytes(), layout, EXE, &dir, &err)) << err;
    ASSERT_EQ(dir.packs.size(), PACKS);

    EXPECT_EQ(dir.packs[0].name, "fpack/p000.fp");
    EXPECT_EQ(dir.packs[0].member_count, 2u);
    ASSERT_EQ(dir.packs[0].members.size(), 2u);
    EXPECT_EQ(dir.packs[0].members[0].name, "a.bin");
    EXPECT_EQ(dir.packs[0].members[0].sector, 0u);
    EXPECT_EQ(dir.packs[0].members[0].length, 5u);
    EXPECT_EQ(dir.packs[0].members[1].name, "dir\\sub/b.tm2");
    EXPECT_EQ(dir.packs[0].members[1].sector, 0x80000003u);
    EXPECT_EQ(dir.packs[0].members[1].length, 0xFFFFFFFFu);

    EXPECT_EQ(dir.packs[1].name, "fpack/p001.fp");
    EXPECT_EQ(dir.packs[1].member_count, 0u);
    EXPECT_TRUE(dir.packs[1].members.empty());

    EXPECT_EQ(dir.packs[904].name, "fpack\\last.fp");
    ASSERT_EQ(dir.packs[904].members.size(), 1u);
    EXPECT_EQ(dir.packs[904].members[0].name, "dir\\sub/b.tm2");
    EXPECT_EQ(dir.packs[904].members[0].sector, 7u);
    EXPECT_EQ(dir.packs[904].members[0].length, 2048u);
}

TEST_P(FpackDirTest, EmptyPackNeverTouchesItsTableAddress) {
    // A pack without members is never read through its table address, so any
    // value there, even one outside the image, is harmless.
    const FpackLayout layout = GetParam();
    for (std::uint32_t address : {0u, layout.address_bias - 1, 0xFFFFFFFFu}) {
        ImageBuilder image(layout);
        image.set_pack(3, image.name_address(3), address, 0);
        FpackDirectory dir;
        std::string err;
        ASSERT_TRUE(read_fpack_directory(image.bytes(), layout, EXE, &dir, &err))
            << hex(address) << ": " << err;
        EXPECT_TRUE(dir.packs[3].members.empty());
    }
}

TEST_P(FpackDirTest, AcceptsTablesAndNamesEndingAtTheLastByte) {
    const FpackLayout layout = GetParam();
    {
        // A name whose terminator is the image's last byte.
        ImageBuilder image(layout);
        image.set_pack(904, image.add_string("fpack/z.fp"), 0, 0);
        FpackDirectory dir;
        std::string err;
        ASSERT_TRUE(read_fpack_directory(image.bytes(), layout, EXE, &dir, &err)) << err;
        EXPECT_EQ(dir.packs[904].name, "fpack/z.fp");
    }
    {
        // A member table whose last record ends the image.
        ImageBuilder image(layout);
        const std::uint32_t name = image.add_string("m");
        image.set_pack(0, image.name_address(0), image.add_members({{name, 1, 2}, {name, 3, 4}}),
                       2);
        FpackDirectory dir;
        std::string err;
        ASSERT_TRUE(read_fpack_directory(image.bytes(), layout, EXE, &dir, &err)) << err;
        ASSERT_EQ(dir.packs[0].members.size(), 2u);
        EXPECT_EQ(dir.packs[0].members[1].length, 4u);
    }
}

// One way of damaging the image.
struct Damage {
    const char* what;
    // Damages the image and returns the text the error message must contain.
    std::function<std::string(ImageBuilder&, const FpackLayout&)> apply;
};

TEST_P(FpackDirTest, RefusesEveryAddressOutsideTheImage) {
    const FpackLayout layout = GetParam();
    const std::uint32_t bias = layout.address_bias;
    const std::vector<Damage> cases = {
        {"image ends inside the directory",
         [](ImageBuilder& im, const FpackLayout& l) {
             im.bytes().resize(l.directory_offset + 500 * 12 + 5);
             return "pack 500: the directory entry lies outside the image (" +
                    std::to_string(l.directory_offset + 500 * 12 + 5) +
                    " bytes) (pack 500, offset " + hex(l.directory_offset + 500 * 12) + ")";
         }},
        {"image ends before the directory",
         [](ImageBuilder& im, const FpackLayout& l) {
             im.bytes().resize(4096);
             return "pack 0: the directory entry lies outside the image (4096 bytes) (pack 0, "
                    "offset " +
                    hex(l.directory_offset) + ")";
         }},
        {"pack name at address 0",
         [](ImageBuilder& im, const FpackLayout&) {
             im.set_pack(7, 0, 0, 0);
             return std::string(
                 "pack 7: name address 0x00000000 lies below the address bias 0x000FF000");
         }},
        {"pack name just below the bias",
         [bias](ImageBuilder& im, const FpackLayout&) {
             im.set_pack(7, bias - 1, 0, 0);
             return std::string(
                 "pack 7: name address 0x000FEFFF lies below the address bias 0x000FF000");
         }},
        {"pack name just past the end",
         [](ImageBuilder& im, const FpackLayout&) {
             const std::uint64_t size = im.bytes().size();
             im.set_pack(904, im.end_address(), 0, 0);
             return "pack 904: name address " + hex32(im.end_address()) +
                    " lies outside the image (" + std::to_string(size) +
                    " bytes) (pack 904, offset " + hex(size) + ")";
         }},
        {"pack name at the top of memory",
         [bias](ImageBuilder& im, const FpackLayout&) {
             im.set_pack(12, 0xFFFFFFFF, 0, 0);
             return "pack 12: name address 0xFFFFFFFF lies outside the image (" +
                    std::to_string(im.bytes().size()) + " bytes) (pack 12, offset " +
                    hex(0xFFFFFFFFull - bias) + ")";
         }},
        {"pack name without terminator",
         [](ImageBuilder& im, const FpackLayout&) {
             const std::uint32_t at = im.add_string("fpack/cut", false);
             im.set_pack(904, at, 0, 0);
             return "pack 904: the name has no zero terminator within 4096 bytes inside the image "
                    "(" +
                    std::to_string(im.bytes().size()) + " bytes) (pack 904, offset " +
                    hex(at - 0xFF000ull) + ")";
         }},
        {"member table below the bias",
         [](ImageBuilder& im, const FpackLayout&) {
             im.set_pack(2, im.name_address(2), 0x1000, 1);
             return std::string(
                 "pack 2: the member table of 1 entries at address 0x00001000 lies below the "
                 "address bias 0x000FF000");
         }},
        {"member table cut by the end of the image",
         [](ImageBuilder& im, const FpackLayout&) {
             const std::uint32_t name = im.add_string("m");
             const std::uint32_t table = im.add_members({{name, 0, 1}, {name, 0, 1}});
             im.bytes().pop_back();
             im.set_pack(904, im.name_address(904), table, 2);
             return "pack 904: the member table of 2 entries at address " + hex32(table) +
                    " runs outside the image (" + std::to_string(im.bytes().size()) +
                    " bytes) (pack 904, offset " + hex(table - 0xFF000ull) + ")";
         }},
        {"member count far beyond the image",
         [](ImageBuilder& im, const FpackLayout&) {
             const std::uint32_t table = im.add_members({{im.add_string("m"), 0, 1}});
             im.set_pack(5, im.name_address(5), table, 0xFFFFFFFF);
             return std::string("pack 5: the member table of 4294967295 entries");
         }},
        {"member count whose table size wraps in 32 bits",
         [](ImageBuilder& im, const FpackLayout&) {
             // 0x15555556 * 12 = 0x100000008: 8 bytes if computed in 32 bits.
             const std::uint32_t table = im.add_members({{im.add_string("m"), 0, 1}});
             im.set_pack(5, im.name_address(5), table, 0x15555556);
             return std::string("pack 5: the member table of 357913942 entries");
         }},
        {"member name below the bias",
         [](ImageBuilder& im, const FpackLayout&) {
             const std::uint32_t ok = im.add_string("ok");
             im.set_pack(9, im.name_address(9), im.add_members({{ok, 0, 1}, {0x20, 0, 1}}), 2);
             return std::string(
                 "pack 9, member 1: name address 0x00000020 lies below the address bias");
         }},
        {"member name past the end",
         [](ImageBuilder& im, const FpackLayout&) {
             const std::uint32_t table = im.add_members({{0, 0, 1}});
             const std::uint32_t past = im.end_address() + 100;
             store_le32(im.bytes().data() + (table - 0xFF000), past);
             im.set_pack(904, im.name_address(904), table, 1);
             return "pack 904, member 0: name address " + hex32(past) +
                    " lies outside the image (" + std::to_string(im.bytes().size()) +
                    " bytes) (pack 904, member 0, offset " + hex(past - 0xFF000ull) + ")";
         }},
        {"member name without terminator",
         [](ImageBuilder& im, const FpackLayout&) {
             const std::uint32_t table = im.add_members({{0, 0, 1}});
             const std::uint32_t name = im.add_string("member/cut", false);
             store_le32(im.bytes().data() + (table - 0xFF000), name);
             im.set_pack(3, im.name_address(3), table, 1);
             return "pack 3, member 0: the name has no zero terminator within 4096 bytes inside "
                    "the image (" +
                    std::to_string(im.bytes().size()) + " bytes) (pack 3, member 0, offset " +
                    hex(name - 0xFF000ull) + ")";
         }},
    };
    for (const Damage& damage : cases) {
        SCOPED_TRACE(damage.what);
        ImageBuilder image(layout);
        const std::string expected = damage.apply(image, layout);
        FpackDirectory dir;
        std::string err;
        EXPECT_FALSE(read_fpack_directory(image.bytes(), layout, EXE, &dir, &err));
        EXPECT_EQ(err.rfind("Error: " + EXE + ": ", 0), 0u) << err;
        // "pack 3, member 0: what": the place is said once, where the offset is.
        const std::size_t colon = expected.find(": ");
        const std::string place = expected.substr(0, colon);
        EXPECT_NE(err.find(expected.substr(colon + 2)), std::string::npos) << err;
        EXPECT_NE(err.find("(" + place + ", offset 0x"), std::string::npos) << err;
        EXPECT_EQ(err.find(place), err.rfind(place)) << err;
        // The other build cannot read this image either, so it is not suggested.
        EXPECT_EQ(err.find("tillet-"), std::string::npos) << err;
    }
}

TEST_P(FpackDirTest, RefusesUnsafeNames) {
    const FpackLayout layout = GetParam();
    struct Case {
        std::string name;
        std::string reason;
    };
    const std::vector<Case> unsafe = {
        {"", "empty name"},
        {"/etc/x", "absolute path"},
        {"\\x.fp", "absolute path"},
        {"C:x.fp", "drive prefix"},
        {"..", "'..' component"},
        {"a/../../b", "'..' component"},
        {"a\\..\\b", "'..' component"},
    };
    for (const Case& c : unsafe) {
        SCOPED_TRACE(c.name);
        {
            ImageBuilder image(layout);
            const std::uint32_t name = image.add_string(c.name);
            image.set_pack(17, name, 0, 0);
            FpackDirectory dir;
            std::string err;
            EXPECT_FALSE(read_fpack_directory(image.bytes(), layout, EXE, &dir, &err));
            EXPECT_EQ(err, "Error: " + EXE + ": the pack has an unsafe name \"" + c.name + "\" (" +
                               c.reason + "); nothing was written (pack 17, offset " +
                               hex(name - layout.address_bias) + ")");
        }
        {
            ImageBuilder image(layout);
            const std::uint32_t fine = image.add_string("fine/one.bin");
            const std::uint32_t name = image.add_string(c.name);
            image.set_pack(904, image.name_address(904),
                           image.add_members({{fine, 0, 1}, {name, 1, 1}}), 2);
            FpackDirectory dir;
            std::string err;
            EXPECT_FALSE(read_fpack_directory(image.bytes(), layout, EXE, &dir, &err));
            EXPECT_EQ(err, "Error: " + EXE + ": the member has an unsafe name \"" + c.name +
                               "\" (" + c.reason +
                               "); nothing was written (pack 904, member 1, offset " +
                               hex(name - layout.address_bias) + ")");
        }
    }
    // Names that merely look like the refused ones are ordinary.
    ImageBuilder image(layout);
    image.set_pack(17, image.add_string("..fp/a..b"), 0, 0);
    // (A colon is an ordinary character on POSIX systems only.)
    const std::string colon = host_name_rules() == NameRules::posix ? "xy:z" : "xy;z";
    image.set_members(18, {"..x", "a/..b", "a\\.\\b", colon});
    FpackDirectory dir;
    std::string err;
    ASSERT_TRUE(read_fpack_directory(image.bytes(), layout, EXE, &dir, &err)) << err;
    EXPECT_EQ(dir.packs[17].name, "..fp/a..b");
    ASSERT_EQ(dir.packs[18].members.size(), 4u);
    EXPECT_EQ(dir.packs[18].members[3].name, colon);
}

TEST_P(FpackDirTest, OtherBuildsImageIsRefusedWithAHint) {
    // The directory of one build read at the other build's offset: whatever
    // lies there must not pass for a directory.
    const FpackLayout layout = GetParam();
    const FpackLayout other = layout.label == 'A' ? FPACK_LAYOUT_B : FPACK_LAYOUT_A;
    ImageBuilder image(other);
    for (std::uint32_t p = 0; p < PACKS; p += 50) {
        image.set_members(p, {"m/" + std::to_string(p) + ".bin"});
    }
    FpackDirectory dir;
    std::string err;
    EXPECT_FALSE(read_fpack_directory(image.bytes(), layout, EXE, &dir, &err));
    EXPECT_NE(err.find(expected_hint(layout)), std::string::npos) << err;
}

TEST_P(FpackDirTest, EveryTruncationIsRefusedCleanly) {
    // Cut a small but complete image at every length from the start of the
    // directory on: each cut must give an error, never a read past the end.
    const FpackLayout layout = GetParam();
    ImageBuilder image(layout);
    image.set_members(904, {"x/one", "two"});
    const std::vector<std::uint8_t> whole = image.bytes();
    FpackDirectory dir;
    std::string err;
    ASSERT_TRUE(read_fpack_directory(whole, layout, EXE, &dir, &err)) << err;
    for (std::size_t size = layout.directory_offset; size < whole.size(); ++size) {
        err.clear();
        ASSERT_FALSE(read_fpack_directory(ByteSpan(whole.data(), size), layout, EXE, &dir, &err))
            << size;
        ASSERT_EQ(err.rfind("Error: ", 0), 0u) << size;
    }
    // The last cuts again as buffers of their own exact size, where a read
    // past the end is a memory error the sanitizers report.
    for (std::size_t size = whole.size() - 64; size < whole.size(); ++size) {
        const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + size);
        ASSERT_FALSE(read_fpack_directory(cut, layout, EXE, &dir, &err)) << size;
    }
}

// A rebuild patches the sector and length fields of the tables it rebuilds;
// it refuses when such a table shares a byte with anything else the walk
// reads, and only then.
TEST_P(FpackDirTest, PatchedTablesMayOverlapNothingElseTheWalkReads) {
    const FpackLayout layout = GetParam();
    ImageBuilder image(layout);
    image.set_members(10, {"a.bin", "b.bin", "c.bin"});
    image.set_members(20, {"d.bin"});
    const std::uint32_t table10 =
        load_le32(image.bytes().data() + layout.directory_offset + 10 * 12 + 4);
    const std::uint32_t table20 =
        load_le32(image.bytes().data() + layout.directory_offset + 20 * 12 + 4);
    // Pack 11 reads pack 10's last record as its own table; pack 12's name is
    // the low byte of pack 20's first length (1), with the zeros after it.
    image.set_pack(11, image.name_address(11), table10 + 24, 1);
    image.set_pack(12, table20 + 8, 0, 0);
    image.bytes()[table20 + 8 - layout.address_bias] = 'n';
    // Pack 13's table is the start of the directory: its members are packs 0 and 1.
    image.set_pack(13, image.name_address(13), layout.directory_offset + layout.address_bias, 2);
    FpackDirectory dir;
    std::string err;
    ASSERT_TRUE(read_fpack_directory(image.bytes(), layout, EXE, &dir, &err)) << err;
    ASSERT_EQ(dir.packs[12].name, "n");

    const std::string t10 = hex(table10 - layout.address_bias);
    const std::string t20 = hex(table20 - layout.address_bias);
    struct Case {
        std::vector<std::uint32_t> patched;
        std::string refusal;  // after "Error: SLUS_217.88: "; empty: accepted
    };
    const std::vector<Case> cases = {
        {{}, ""},
        {{0, 1, 904}, ""},  // packs without members patch nothing
        {{10},
         "the member table of pack 10, which this rebuild patches, overlaps the member table of "
         "pack 11 in the executable, so patching it would change that too; nothing was written "
         "(offset " +
             t10 + ", 36 bytes; offset " + hex(table10 - layout.address_bias + 24) + ", 12 bytes)"},
        {{11},
         "the member table of pack 11, which this rebuild patches, overlaps the member table of "
         "pack 10"},
        {{20},
         "the member table of pack 20, which this rebuild patches, overlaps the name of pack 12"},
        {{13},
         "the member table of pack 13, which this rebuild patches, overlaps the pack directory"},
    };
    for (const Case& c : cases) {
        std::vector<bool> patched(PACKS, false);
        for (std::uint32_t p : c.patched) {
            patched[p] = true;
        }
        err.clear();
        const bool ok = check_fpack_patches(image.bytes(), layout, dir, patched, EXE, &err);
        EXPECT_EQ(ok, c.refusal.empty()) << c.refusal;
        EXPECT_TRUE(err.starts_with(c.refusal.empty() ? "" : "Error: " + EXE + ": " + c.refusal))
            << err;
    }
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, FpackDirTest,
                         ::testing::Values(FPACK_LAYOUT_A, FPACK_LAYOUT_B),
                         [](const ::testing::TestParamInfo<FpackLayout>& param_info) {
                             return std::string("Layout") + param_info.param.label;
                         });

}  // namespace
