#include "sectors/sector_table.h"

#include <gtest/gtest.h>

#include <vector>

TEST(SectorArithmetic, RoundsUpWithoutWrapping) {
    EXPECT_EQ(round_up_to_sector(0), 0u);
    EXPECT_EQ(round_up_to_sector(1), 2048u);
    EXPECT_EQ(round_up_to_sector(2048), 2048u);
    EXPECT_EQ(round_up_to_sector(2049), 4096u);
    EXPECT_EQ(round_up_to_sector(0xFFFFFFFFu), 0x100000000u);
    EXPECT_EQ(sector_offset(0xFFFFFFFFu), 0xFFFFFFFFull << 11);
}

TEST(SectorRecords, AreReadOnlyWhereTheyFit) {
    std::vector<std::uint8_t> image(30, 0);
    write_le32(image, 18, 0x11223344);
    write_le32(image, 22, 7);
    write_le32(image, 26, 2049);
    SectorRecord r;
    ASSERT_TRUE(read_sector_record(image, 18, &r));
    EXPECT_EQ(r.offset, 18u);
    EXPECT_EQ(r.name_address, 0x11223344u);
    EXPECT_EQ(r.sector, 7u);
    EXPECT_EQ(r.length, 2049u);
    EXPECT_FALSE(read_sector_record(image, 19, &r));
    EXPECT_FALSE(read_sector_record(image, ~std::uint64_t{0} - 4, &r));
}

TEST(ExtractChecks, RangesOutsideTheirSourceAreRefusedByName) {
    const ExtractSource sources[] = {{"RPK.BIN", 10000}, {"p.fp", 100}};
    std::vector<ExtractJob> jobs = {{"a", 0, 8192, 1808, "entry 0", "a"},
                                    {"b", 1, 0, 100, "pack 0, member 0", "b"}};
    std::string err;
    EXPECT_TRUE(check_extract_ranges(jobs, sources, &err)) << err;
    jobs[1].length = 101;
    EXPECT_FALSE(check_extract_ranges(jobs, sources, &err));
    EXPECT_EQ(err,
              "Error: p.fp: the data of pack 0, member 0 (\"b\", 101 bytes at offset 0x0) reaches "
              "past the end of the file (100 bytes); nothing was written");
    jobs[0].offset = ~std::uint64_t{0};
    EXPECT_FALSE(check_extract_ranges(jobs, sources, &err));
    EXPECT_TRUE(err.starts_with("Error: RPK.BIN: the data of entry 0")) << err;
    // Data ending exactly at the end fits, also when empty there; a byte more does not.
    EXPECT_TRUE(check_data_range("p.fp", 4096, "pack 1, member 0", "m", 2048, 2048, &err));
    EXPECT_TRUE(check_data_range("p.fp", 4096, "pack 1, member 0", "m", 4096, 0, &err));
    EXPECT_FALSE(check_data_range("p.fp", 4096, "pack 1, member 0", "m", 4096, 1, &err));
    EXPECT_EQ(err,
              "Error: p.fp: the data of pack 1, member 0 (\"m\", 1 bytes at offset 0x1000) reaches "
              "past the end of the file (4096 bytes); nothing was written");
}

// A name that another entry needs as a folder cannot be written, however the
// two paths are spelled; names that merely share a prefix can.
TEST(ExtractChecks, AFileThatAnotherEntryNeedsAsAFolderIsRefused) {
    struct Case {
        std::vector<std::string> paths;
        bool ok;
    };
    const Case cases[] = {
        {{"data/f.bin", "data/f.bin/x"}, false},
        {{"data/f.bin/x", "data/f.bin"}, false},
        {{"data/f.bin", "data//./f.bin/deep/x"}, false},
        {{"./a", "a/b"}, false},
        {{"data/f.bin", "data/f.bin2/x", "data/f.bi/x"}, true},
        {{"data/f.bin", "data/f.bin"}, true},  // the later one's data wins
        {{"a/b/c", "a/b/d", "a/e"}, true},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // Windows ignores case in names: "DATA/F.BIN/x" needs the file data/f.bin
    // as a folder there, and is an ordinary other name elsewhere.
#ifdef _WIN32
    const bool folded = true;
#else
    const bool folded = false;
#endif
    all.push_back({{"data/f.bin", "DATA/F.BIN/x"}, !folded});
    all.push_back({{"Data/X/y", "data/x"}, !folded});
    for (const Case& c : all) {
        std::vector<ExtractJob> jobs;
        for (std::size_t i = 0; i < c.paths.size(); ++i) {
            jobs.push_back({c.paths[i], 0, 0, 0, "entry " + std::to_string(i), c.paths[i]});
        }
        std::string err;
        EXPECT_EQ(check_extract_names(jobs, &err), c.ok) << c.paths[0] << " " << c.paths[1];
        if (!c.ok) {
            EXPECT_NE(err.find("as a folder, but entry"), std::string::npos) << err;
            EXPECT_NE(err.find("nothing was written"), std::string::npos) << err;
        }
    }
    const std::vector<ExtractJob> jobs = {{"a/b/c", 0, 0, 0, "", ""},
                                          {"x/y", 0, 0, 0, "", ""},
                                          {"a/b/d", 0, 0, 0, "", ""},
                                          {"top", 0, 0, 0, "", ""}};
    EXPECT_EQ(extract_folders(jobs), (std::vector<std::string>{"a", "x", "a/b"}));
}

namespace {

std::vector<PackJob> jobs_of(std::size_t n) {
    std::vector<PackJob> jobs;
    for (std::size_t i = 0; i < n; ++i) {
        jobs.push_back(
            {"f" + std::to_string(i), i * SECTOR_RECORD_SIZE, "entry " + std::to_string(i), "f"});
    }
    return jobs;
}

}  // namespace

// Files go in table order from sector 0, each padded to whole sectors. Where
// the table's end is the file's end, an empty last file gets one sector of
// fill before it, so that no earlier record ends where the file ends.
TEST(PackPlanning, TableOrderFromSectorZeroWithTheLastRecordKeptLast) {
    struct Case {
        std::vector<std::uint64_t> sizes;
        bool end_marks_last;
        std::vector<std::uint64_t> sectors;
        std::uint64_t total;
    };
    const Case cases[] = {
        {{0, 1, 2047, 2048, 2049}, false, {0, 0, 1, 2, 3}, 5 * 2048},
        {{0, 1, 2047, 2048, 2049}, true, {0, 0, 1, 2, 3}, 5 * 2048},
        {{5000, 0}, false, {0, 3}, 3 * 2048},
        {{5000, 0}, true, {0, 4}, 4 * 2048},
        {{5000, 0, 0}, true, {0, 3, 4}, 4 * 2048},
        {{0, 0, 0}, true, {0, 0, 1}, 2048},
        {{0}, true, {0}, 0},
        {{}, true, {}, 0},
    };
    for (const Case& c : cases) {
        const std::vector<PackJob> jobs = jobs_of(c.sizes.size());
        std::vector<PackPlacement> placements;
        std::uint64_t total = 1;
        std::string err;
        ASSERT_TRUE(
            plan_packing(jobs, c.sizes, {0x7FFFFFFF, c.end_marks_last}, &placements, &total, &err))
            << err;
        std::vector<std::uint64_t> sectors;
        for (std::size_t i = 0; i < placements.size(); ++i) {
            sectors.push_back(placements[i].sector);
            EXPECT_EQ(placements[i].length, c.sizes[i]);
        }
        EXPECT_EQ(sectors, c.sectors) << c.sizes.size() << " files, rule " << c.end_marks_last;
        EXPECT_EQ(total, c.total);
        if (c.end_marks_last && !c.sizes.empty()) {
            // The walk of the rebuilt table stops at the last record and no earlier one.
            for (std::size_t i = 0; i < placements.size(); ++i) {
                const bool ends =
                    placements[i].sector * 2048 + round_up_to_sector(placements[i].length) == total;
                EXPECT_EQ(ends, i + 1 == placements.size()) << i;
            }
        }
    }
}

TEST(PackPlanning, ValuesTheTableCannotHoldAreRefused) {
    const std::vector<PackJob> jobs = jobs_of(2);
    std::vector<PackPlacement> placements;
    std::uint64_t total = 0;
    std::string err;
    const std::vector<std::uint64_t> too_long = {0x80000000ull, 1};
    EXPECT_FALSE(plan_packing(jobs, too_long, {0x7FFFFFFF, true}, &placements, &total, &err));
    EXPECT_EQ(err,
              "Error: f0: 2147483648 bytes are too many for entry 0 (\"f\"): the table holds "
              "lengths up to 2147483647 bytes; nothing was written");
    const std::vector<std::uint64_t> fits = {0x7FFFFFFF, 1};
    EXPECT_TRUE(plan_packing(jobs, fits, {0x7FFFFFFF, true}, &placements, &total, &err)) << err;
    // Sectors run out: with values up to 100, the 102nd one-sector file
    // would start at sector 101.
    const std::vector<PackJob> many = jobs_of(102);
    const std::vector<std::uint64_t> sizes(102, 100);
    EXPECT_TRUE(plan_packing(std::span(many).first(101), std::span(sizes).first(101), {100, false},
                             &placements, &total, &err))
        << err;
    EXPECT_FALSE(plan_packing(many, sizes, {100, false}, &placements, &total, &err));
    EXPECT_NE(err.find("grows past the sectors the table can address at entry 101"),
              std::string::npos)
        << err;
}

TEST(PackPlanning, PatchesOnlySectorAndLength) {
    const std::vector<PackJob> jobs = jobs_of(3);
    std::vector<std::uint8_t> image(3 * SECTOR_RECORD_SIZE + 4, 0xEE);
    const PackPlacement placements[] = {{0, 5}, {1, 0}, {9, 0xFFFFFFFF}};
    patch_records(image, jobs, placements);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(read_le32(image, i * 12), 0xEEEEEEEEu);
        EXPECT_EQ(read_le32(image, i * 12 + 4), placements[i].sector);
        EXPECT_EQ(read_le32(image, i * 12 + 8), placements[i].length);
    }
    EXPECT_EQ(read_le32(image, 36), 0xEEEEEEEEu);
}

// A patch may not touch anything else the walk reads; regions that are only
// read may share bytes (names merged by the compiler, tables read twice).
TEST(PatchOverlap, APatchedRegionMayShareNoByteWithAnother) {
    struct Case {
        const char* what;
        std::vector<ImageRegion> regions;
        bool found;
        std::size_t patched, other;
    };
    const Case cases[] = {
        {"apart", {{0, 12, true}, {12, 12, false}, {24, 5, true}}, false, 0, 0},
        {"read regions overlap", {{0, 12, false}, {4, 12, false}, {4, 12, false}}, false, 0, 0},
        {"a read region inside a patched one", {{100, 36, true}, {110, 3, false}}, true, 0, 1},
        {"a patched region inside a read one", {{0, 1000, false}, {500, 12, true}}, true, 1, 0},
        {"one shared byte, given in any order", {{20, 10, false}, {10, 11, true}}, true, 1, 0},
        {"two patched regions", {{0, 24, true}, {12, 24, true}}, true, 0, 1},
        {"a long read region reaching over later ones",
         {{0, 100, false}, {10, 5, false}, {50, 12, true}},
         true,
         2,
         0},
        {"a patched region reaching past a short read one",
         {{0, 100, true}, {10, 5, false}, {50, 12, false}},
         true,
         0,
         1},
        {"empty regions share nothing",
         {{10, 0, false}, {5, 10, true}, {15, 0, true}},
         false,
         0,
         0},
        {"nothing patched", {{0, 10, false}, {5, 10, false}}, false, 0, 0},
        {"none", {}, false, 0, 0},
    };
    for (const Case& c : cases) {
        std::size_t patched = 99, other = 99;
        EXPECT_EQ(find_patch_overlap(c.regions, &patched, &other), c.found) << c.what;
        if (c.found) {
            EXPECT_EQ(patched, c.patched) << c.what;
            EXPECT_EQ(other, c.other) << c.what;
        }
    }
}
