#include "isopatch/iso_patch.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "isopatch/disc_format.h"
#include "isopatch/iso_test_images.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string IMAGE = "game.iso";

IsoImage parsed(const ImageReader& reader) {
    IsoImage image;
    std::string err;
    EXPECT_TRUE(read_iso_image(reader, IMAGE, &image, &err)) << err;
    return image;
}

const IsoFile& file_named(const IsoImage& image, const std::string& path) {
    std::string err;
    const std::int64_t i = find_iso_file(image, path, IMAGE, &err);
    EXPECT_GE(i, 0) << err;
    return image.files.at(static_cast<std::size_t>(std::max<std::int64_t>(i, 0)));
}

struct Change {
    std::string name;
    Bytes content;
    bool moved;
};

// Patches an image of `files` in memory and checks everything the patch
// promises: the new contents where the plan says, every record of them in
// every tree, zeros after an in-place file, every other byte of the old
// image unchanged except those records (and, when the image grows, the
// volume sizes, the partition and integrity descriptors), and an image
// that grows ending with a sound anchor.
void check_patch(const std::vector<IsoBuildFile>& files, const IsoBuildOptions& options,
                 const std::vector<Change>& changes) {
    const Bytes old = iso_image_bytes(files, options);
    const MemoryImage old_reader(old);
    const IsoImage before = parsed(old_reader);
    std::vector<Replacement> replacements;
    std::vector<ByteSpan> contents;
    for (const Change& c : changes) {
        replacements.push_back({c.name, c.name + ".new", c.content.size()});
        contents.push_back(c.content);
    }
    PatchPlan plan;
    std::string err;
    ASSERT_TRUE(plan_patch(before, old_reader, IMAGE, replacements, &plan, &err)) << err;
    const Bytes out = apply_patch_in_memory(plan, old, contents);
    ASSERT_EQ(out.size(), plan.size);
    const MemoryImage out_reader(out);
    const IsoImage after = parsed(out_reader);
    ASSERT_EQ(after.files.size(), before.files.size());

    // Sectors the patch may change.
    std::set<std::uint64_t> may_change;
    bool grows = false;
    std::set<std::string> replaced;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const Change& c = changes[i];
        const PatchedFile& p = plan.files[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(p.moved, c.moved);
        grows = grows || p.moved;
        const IsoFile& old_file = file_named(before, c.name);
        replaced.insert(old_file.path);
        EXPECT_EQ(p.old_sector, old_file.sector);
        EXPECT_EQ(p.old_size, old_file.size);
        const IsoFile& file = file_named(after, c.name);
        EXPECT_EQ(file.size, c.content.size());
        EXPECT_EQ(p.new_size, c.content.size());
        if (!c.content.empty()) {
            EXPECT_EQ(file.sector, p.new_sector);
            EXPECT_EQ(image_bytes_at(out_reader, disc_offset(file.sector), file.size), c.content);
        }
        // The records themselves, in both byte orders.
        for (const auto* records : {&file.records, &file.joliet_records}) {
            for (const IsoRecord& r : *records) {
                std::uint32_t extent = 0, length = 0;
                EXPECT_TRUE(load_both32(out.data() + r.offset + 2, &extent));
                EXPECT_TRUE(load_both32(out.data() + r.offset + 10, &length));
                EXPECT_EQ(extent, p.new_sector);
                EXPECT_EQ(length, c.content.size());
            }
            for (const IsoRecord& r : *records) {
                may_change.insert(r.offset / DISC_SECTOR);
            }
        }
        EXPECT_EQ(file.joliet_records.size(), options.joliet ? 1u : 0u);
        ASSERT_EQ(file.udf_files.size(), options.udf ? 1u : 0u);
        if (options.udf) {
            const UdfFile& entry = after.udf.files[file.udf_files[0]];
            EXPECT_EQ(entry.size, c.content.size());
            EXPECT_EQ(entry.extents, file.extents);
            EXPECT_EQ(load_le64(out.data() + entry.offset + 64), disc_sectors(c.content.size()));
            may_change.insert(entry.offset / DISC_SECTOR);
        }
        const std::uint64_t old_sectors = disc_sectors(old_file.size);
        if (!p.moved) {
            const std::uint64_t end =
                disc_offset(p.new_sector + std::max(old_sectors, disc_sectors(c.content.size())));
            const std::uint64_t content_end = disc_offset(p.new_sector) + c.content.size();
            EXPECT_EQ(image_bytes_at(out_reader, content_end, end - content_end),
                      Bytes(end - content_end, 0));
            for (std::uint64_t s = p.new_sector; s < end / DISC_SECTOR; ++s) {
                may_change.insert(s);
            }
        } else {
            EXPECT_GE(p.new_sector, disc_sectors(old.size()));
        }
    }
    // Every other file where it was, with its bytes.
    for (const IsoFile& file : before.files) {
        if (replaced.contains(file.path)) {
            continue;
        }
        const IsoFile& now = file_named(after, file.path);
        EXPECT_EQ(now.sector, file.sector) << file.path;
        EXPECT_EQ(now.size, file.size) << file.path;
    }
    if (grows) {
        const std::uint64_t sectors = out.size() / DISC_SECTOR;
        EXPECT_EQ(out.size() % DISC_SECTOR, 0u);
        EXPECT_EQ(after.volume_space_size, sectors);
        for (const std::uint64_t vd : before.volume_descriptors) {
            std::uint32_t size = 0;
            EXPECT_TRUE(load_both32(out.data() + vd * DISC_SECTOR + 80, &size));
            EXPECT_EQ(size, sectors);
            may_change.insert(vd);
        }
        if (options.udf) {
            const std::span<const std::uint8_t> last(out.data() + out.size() - DISC_SECTOR,
                                                     DISC_SECTOR);
            EXPECT_EQ(udf_tag_id(last.data()), UDF_ANCHOR);
            EXPECT_EQ(udf_tag_problem(last, static_cast<std::uint32_t>(sectors - 1)), nullptr);
            std::uint64_t end = 0;
            for (const PatchedFile& p : plan.files) {
                end = std::max(end, p.new_sector + disc_sectors(p.new_size));
            }
            EXPECT_GE(std::uint64_t{after.udf.partition_start} + after.udf.partition_length, end);
            for (const std::uint64_t lvid : after.udf.integrity_descriptors) {
                const std::uint32_t partitions = load_le32(out.data() + lvid * DISC_SECTOR + 72);
                EXPECT_EQ(load_le32(out.data() + lvid * DISC_SECTOR + 80 + 4 * partitions),
                          after.udf.partition_length);
                may_change.insert(lvid);
            }
            for (const std::uint64_t pd : before.udf.partition_descriptors) {
                EXPECT_EQ(load_le32(out.data() + pd * DISC_SECTOR + 192),
                          after.udf.partition_length);
                may_change.insert(pd);
            }
        }
    } else {
        EXPECT_EQ(out.size(), old.size());
    }
    // Nothing else changed.
    for (std::uint64_t s = 0; s < old.size() / DISC_SECTOR; ++s) {
        if (may_change.contains(s)) {
            continue;
        }
        EXPECT_TRUE(std::equal(old.begin() + static_cast<std::ptrdiff_t>(s * DISC_SECTOR),
                               old.begin() + static_cast<std::ptrdiff_t>((s + 1) * DISC_SECTOR),
                               out.begin() + static_cast<std::ptrdiff_t>(s * DISC_SECTOR)))
            << "sector " << s << " changed";
    }
}

}  // namespace

TEST(PlanPatch, KeepsWhatFitsInPlaceAndMovesTheRestToTheEnd) {
    struct Case {
        const char* name;
        std::vector<Change> changes;
        std::uint32_t anchor_copies = 0;
    };
    const Case cases[] = {
        {"the same size", {{"SLUS_217.88", iso_test_bytes(5000, 10), false}}},
        {"smaller: the rest of its sectors zeros",
         {{"SLUS_217.88", iso_test_bytes(17, 11), false}}},
        {"larger inside its last sector", {{"SLUS_217.88", iso_test_bytes(6144, 12), false}}},
        {"larger than the next file allows", {{"SLUS_217.88", iso_test_bytes(6145, 13), true}}},
        {"into the free sectors after it",
         {{"DATA/GAP.BIN", iso_test_bytes(3000 + 4 * 2048 + 1096, 14), false}}},
        {"past the free sectors after it",
         {{"DATA/GAP.BIN", iso_test_bytes(6 * 2048 + 1, 15), true}}},
        {"the last file, over the copies of the anchor after it",
         {{"RPK.BIN", iso_test_bytes(300000 + 2048, 16), true}},
         150},
        {"the last file, smaller, before the copies of the anchor",
         {{"RPK.BIN", iso_test_bytes(1000, 17), false}},
         150},
        {"an empty file gets content", {{"DATA/EMPTY.TXT", iso_test_bytes(10, 18), true}}},
        {"a file becomes empty", {{"DATA/SUB/X.DAT", {}, false}}},
        {"an empty file stays empty", {{"DATA/EMPTY.TXT", {}, false}}},
        {"several files, named as the user types them",
         {{"slus_217.88;1", iso_test_bytes(9000, 19), true},
          {"/system.cnf", iso_test_bytes(2048, 20), false},
          {"RPK.BIN", iso_test_bytes(400000, 21), true},
          {"data/sub/x.dat", iso_test_bytes(2000, 22), false}}},
    };
    for (const Case& c : cases) {
        for (const bool joliet : {false, true}) {
            for (const bool udf : {false, true}) {
                if (c.anchor_copies > 0 && !udf) {
                    continue;
                }
                SCOPED_TRACE(std::string(c.name) + (joliet ? ", Joliet" : "") +
                             (udf ? ", UDF" : ""));
                IsoBuildOptions options;
                options.joliet = joliet;
                options.udf = udf;
                options.anchor_copies = c.anchor_copies;
                check_patch(iso_test_game(), options, c.changes);
            }
        }
    }
}

TEST(PlanPatch, ListsEachFileWithWhereItWent) {
    PatchedFile moved{5, 278, 300000, 581, 400000, true};
    PatchedFile kept{1, 425, 5000, 425, 6000, false};
    IsoImage image;
    image.files.resize(6);
    image.files[5].path = "RPK.BIN";
    image.files[1].path = "SLUS_217.88";
    EXPECT_EQ(patch_listing_line(image, moved),
              "RPK.BIN: LBA      278 len     300000 -> LBA      581 len     400000, moved to the "
              "end\n");
    EXPECT_EQ(
        patch_listing_line(image, kept),
        "SLUS_217.88: LBA      425 len       5000 -> LBA      425 len       6000, in place\n");
}

TEST(PlanPatch, RefusesWhatItCannotDoNamingTheFileAndWhy) {
    const Bytes old = iso_image_bytes(iso_test_game(), {.joliet = true});
    const MemoryImage reader(old);
    const IsoImage image = parsed(reader);
    struct Case {
        const char* name;
        std::vector<Replacement> replacements;
        std::function<void(IsoImage&)> change;  // of the parsed image
        const char* message;
    };
    const std::size_t slus = static_cast<std::size_t>(
        std::find_if(image.files.begin(), image.files.end(),
                     [](const IsoFile& f) { return f.path == "SLUS_217.88"; }) -
        image.files.begin());
    const Case cases[] = {
        {"a missing file",
         {{"NOPE.BIN", "n", 1}},
         {},
         "Error: game.iso: holds no file \"NOPE.BIN\""},
        {"a folder",
         {{"DATA/SUB", "n", 1}},
         {},
         "Error: game.iso: \"DATA/SUB\" is a folder, not a file"},
        {"a file named twice",
         {{"SLUS_217.88", "a", 1}, {"slus_217.88;1", "b", 2}},
         {},
         "Error: game.iso: names \"SLUS_217.88\" twice among the files to replace"},
        {"4 GiB of content",
         {{"SLUS_217.88", "huge.bin", std::uint64_t{1} << 32}},
         {},
         "Error: huge.bin: is 4294967296 bytes; isopatch stores files of less than 4 GiB (one "
         "ISO 9660 extent) in an image"},
        {"a UDF tree isopatch does not write",
         {{"SLUS_217.88", "n", 1}},
         [](IsoImage& im) { im.udf.problem = "its UDF volume has several partitions"; },
         "Error: game.iso: cannot replace \"SLUS_217.88\": the UDF tree cannot be updated (its "
         "UDF volume has several partitions)"},
        {"no UDF entry",
         {{"SLUS_217.88", "n", 1}},
         [&](IsoImage& im) { im.files[slus].udf_files.clear(); },
         "Error: game.iso: cannot replace \"SLUS_217.88\": the UDF tree holds no entry for it"},
        {"no Joliet record",
         {{"SLUS_217.88", "n", 1}},
         [&](IsoImage& im) { im.files[slus].joliet_records.clear(); },
         "Error: game.iso: cannot replace \"SLUS_217.88\": the Joliet tree holds no record of "
         "it"},
        {"data shared with another file",
         {{"SLUS_217.88", "n", 1}},
         [&](IsoImage& im) { im.files[slus].problem = "its data is shared with another file"; },
         "Error: game.iso: cannot replace \"SLUS_217.88\": its data is shared with another file"},
        {"data a boot catalog points at",
         {{"SLUS_217.88", "n", 1}},
         [&](IsoImage& im) {
             im.allocations.push_back({im.files[slus].sector + 1, im.files[slus].sector + 2, -1});
         },
         "Error: game.iso: cannot replace \"SLUS_217.88\": its sectors are also used by a "
         "structure that is not one of its records (a boot image, or a file of another tree), "
         "which would keep the old data"},
        {"a UDF entry that holds its data",
         {{"SLUS_217.88", "n", 1}},
         [&](IsoImage& im) {
             im.udf.files[im.files[slus].udf_files[0]].problem =
                 "its UDF file entry holds the data itself";
         },
         "Error: game.iso: cannot replace \"SLUS_217.88\": its UDF file entry holds the data "
         "itself"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IsoImage changed = image;
        if (c.change) {
            c.change(changed);
        }
        PatchPlan plan;
        std::string err;
        EXPECT_FALSE(plan_patch(changed, reader, IMAGE, c.replacements, &plan, &err));
        EXPECT_EQ(err, c.message);
    }
}

TEST(PlanPatch, ImagesBeyond4GiBAndFilesOverOneGiB) {
    // A 4.5 GiB dummy file, then a 1.5 GiB file and a small one, all beyond
    // 4 GiB: read from the layout, patched and read back piece by piece.
    const std::uint64_t dummy = (std::uint64_t{9} << 29) + 1000;
    const std::vector<IsoBuildFile> files = {
        {"DUMMY.DAT", iso_test_bytes(100, 1), dummy, 0},
        {"BIG.BIN", iso_test_bytes(3000, 2), (std::uint64_t{3} << 29) + 7, 0},
        iso_test_file("SMALL.BIN", 5000, 3),
    };
    IsoBuildOptions options;
    options.joliet = true;
    const LaidOutImage old(files, options);
    const IsoImage before = parsed(old);
    const std::uint64_t big_size = (std::uint64_t{5} << 29) + 3;  // 2.5 GiB: three extents
    const std::vector<Replacement> replacements = {{"BIG.BIN", "big.new", big_size},
                                                   {"SMALL.BIN", "small.new", 4000}};
    PatchPlan plan;
    std::string err;
    ASSERT_TRUE(plan_patch(before, old, IMAGE, replacements, &plan, &err)) << err;
    EXPECT_TRUE(plan.files[0].moved);
    EXPECT_FALSE(plan.files[1].moved);
    const PlannedImage out(plan, old, {iso_test_bytes(5000, 4), iso_test_bytes(4000, 5)});
    const IsoImage after = parsed(out);
    const IsoFile& big = file_named(after, "BIG.BIN");
    EXPECT_EQ(big.size, big_size);
    EXPECT_EQ(big.sector, plan.files[0].new_sector);
    EXPECT_GE(big.sector, disc_sectors(old.size()));
    ASSERT_EQ(big.udf_files.size(), 1u);
    const UdfFile& entry = after.udf.files[big.udf_files[0]];
    EXPECT_EQ(entry.ad_length, 3 * 8u);
    EXPECT_EQ(entry.size, big_size);
    EXPECT_EQ(entry.extents.front().sector, big.sector);
    EXPECT_EQ(image_bytes_at(out, disc_offset(big.sector), 5000), iso_test_bytes(5000, 4));
    const IsoFile& small = file_named(after, "SMALL.BIN");
    EXPECT_EQ(small.sector, file_named(before, "SMALL.BIN").sector);
    EXPECT_EQ(image_bytes_at(out, disc_offset(small.sector), 4000), iso_test_bytes(4000, 5));
    EXPECT_EQ(after.volume_space_size, out.size() / DISC_SECTOR);
    EXPECT_EQ(file_named(after, "DUMMY.DAT").size, dummy);

    // The dummy itself is stored in several extents: not replaced.
    const std::vector<Replacement> dummy_replacement = {{"DUMMY.DAT", "d", 10}};
    EXPECT_FALSE(plan_patch(before, old, IMAGE, dummy_replacement, &plan, &err));
    EXPECT_EQ(err,
              "Error: game.iso: cannot replace \"DUMMY.DAT\": it is stored in several extents "
              "(4 GiB or more), which isopatch does not rewrite");
}
