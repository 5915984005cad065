#include "isopatch/iso_image.h"

#include <gtest/gtest.h>

#include <functional>

#include "isopatch/disc_format.h"
#include "isopatch/iso_test_images.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string IMAGE = "game.iso";

bool parse(const Bytes& bytes, IsoImage* image, std::string* err) {
    return read_iso_image(MemoryImage(bytes), IMAGE, image, err);
}

IsoImage parsed(const Bytes& bytes) {
    IsoImage image;
    std::string err;
    EXPECT_TRUE(parse(bytes, &image, &err)) << err;
    return image;
}

const IsoFile& file_named(const IsoImage& image, const std::string& path) {
    std::string err;
    const std::int64_t i = find_iso_file(image, path, IMAGE, &err);
    EXPECT_GE(i, 0) << err;
    return image.files.at(static_cast<std::size_t>(std::max<std::int64_t>(i, 0)));
}

// Every file's data and every allocation lie inside the image.
void expect_inside(const IsoImage& image) {
    for (const IsoFile& file : image.files) {
        for (const DataExtent& e : file.extents) {
            EXPECT_TRUE(range_fits(image.size, disc_offset(e.sector), e.length)) << file.path;
        }
    }
    for (const UdfFile& file : image.udf.files) {
        for (const DataExtent& e : file.extents) {
            EXPECT_TRUE(range_fits(image.size, disc_offset(e.sector), e.length)) << file.path;
        }
    }
    for (std::size_t i = 1; i < image.allocations.size(); ++i) {
        EXPECT_LE(image.allocations[i - 1].start, image.allocations[i].start);
    }
}

}  // namespace

TEST(ReadIsoImage, FindsEveryFileAndItsRecordsInEveryTree) {
    const std::vector<IsoBuildFile> files = iso_test_game();
    for (const bool joliet : {false, true}) {
        for (const bool udf : {false, true}) {
            SCOPED_TRACE(std::string(joliet ? "Joliet" : "no Joliet") + (udf ? ", UDF" : ""));
            IsoBuildOptions options;
            options.joliet = joliet;
            options.udf = udf;
            const IsoLayout layout = lay_out_iso(files, options);
            const Bytes bytes = iso_image_bytes(files, options);
            const IsoImage image = parsed(bytes);
            EXPECT_EQ(image.joliet, joliet);
            EXPECT_EQ(image.udf.present, udf);
            EXPECT_EQ(image.udf.problem, "");
            EXPECT_EQ(image.volume_space_size, layout.sectors);
            EXPECT_EQ(image.volume_descriptors.size(), joliet ? 2u : 1u);
            ASSERT_EQ(image.files.size(), files.size());
            for (std::size_t i = 0; i < files.size(); ++i) {
                const IsoFile& file = file_named(image, files[i].path);
                SCOPED_TRACE(file.path);
                EXPECT_EQ(file.path, files[i].path);
                EXPECT_EQ(file.size, files[i].size);
                EXPECT_EQ(file.sector, layout.file_sectors[i]);
                EXPECT_EQ(file.records.size(), 1u);
                EXPECT_EQ(file.joliet_records.size(), joliet ? 1u : 0u);
                ASSERT_EQ(file.udf_files.size(), udf ? 1u : 0u);
                EXPECT_EQ(file.problem, "");
                if (udf) {
                    const UdfFile& entry = image.udf.files[file.udf_files[0]];
                    EXPECT_EQ(entry.size, file.size);
                    EXPECT_EQ(entry.extents, file.extents);
                }
                if (file.size > 0) {
                    const Bytes data(
                        bytes.begin() + static_cast<std::ptrdiff_t>(disc_offset(file.sector)),
                        bytes.begin() +
                            static_cast<std::ptrdiff_t>(disc_offset(file.sector) + file.size));
                    EXPECT_EQ(data, files[i].content);
                }
            }
            if (udf) {
                EXPECT_EQ(image.udf.partition_descriptors.size(), 2u);
                EXPECT_EQ(image.udf.integrity_descriptors.size(), 1u);
                EXPECT_EQ(image.udf.anchor, 256u);
                EXPECT_EQ(image.udf.partition_start, layout.partition_start);
            }
            expect_inside(image);
        }
    }
}

TEST(ReadIsoImage, AFileOf4GiBOrMoreSpansSeveralExtentsAndUdfDescriptors) {
    // A 4.5 GiB file and a file after it, past the 4 GiB offset, read from
    // the layout without holding the image.
    const std::uint64_t big = (std::uint64_t{9} << 29) + 1000;
    std::vector<IsoBuildFile> files = {iso_test_file("SMALL.BIN", 10, 1),
                                       {"DUMMY.DAT", iso_test_bytes(100, 2), big, 0},
                                       iso_test_file("AFTER.BIN", 5000, 3)};
    IsoBuildOptions options;
    options.joliet = true;
    const LaidOutImage reader(files, options);
    IsoImage image;
    std::string err;
    ASSERT_TRUE(read_iso_image(reader, IMAGE, &image, &err)) << err;
    const IsoFile& dummy = file_named(image, "DUMMY.DAT");
    EXPECT_EQ(dummy.size, big);
    EXPECT_EQ(dummy.records.size(), 2u);
    EXPECT_EQ(dummy.joliet_records.size(), 2u);
    ASSERT_EQ(dummy.extents.size(), 2u);
    EXPECT_EQ(dummy.extents[1].sector, dummy.extents[0].sector + dummy.extents[0].length / 2048);
    ASSERT_EQ(dummy.udf_files.size(), 1u);
    const UdfFile& entry = image.udf.files[dummy.udf_files[0]];
    EXPECT_EQ(entry.size, big);
    EXPECT_EQ(entry.extents.size(), 5u);  // less than 1 GiB each
    const IsoFile& after = file_named(image, "AFTER.BIN");
    EXPECT_GT(disc_offset(after.sector), std::uint64_t{4} << 30);
    EXPECT_EQ(after.udf_files.size(), 1u);
    EXPECT_EQ(image_bytes_at(reader, disc_offset(after.sector), 5000), files[2].content);
}

TEST(ReadIsoImage, ACutImageIsRefusedOrReadOnlyWhereItHoldsEverything) {
    const std::vector<IsoBuildFile> files = iso_test_game();
    IsoBuildOptions options;
    options.joliet = true;
    const Bytes whole = iso_image_bytes(files, options);
    int refused = 0;
    for (std::size_t length = 0; length < whole.size(); length += 2048 * 7 + 301) {
        SCOPED_TRACE(length);
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
        IsoImage image;
        std::string err;
        if (parse(cut, &image, &err)) {
            expect_inside(image);
        } else {
            ++refused;
            EXPECT_EQ(err.rfind("Error: game.iso: ", 0), 0u) << err;
        }
    }
    EXPECT_GT(refused, 20);
    // Cut inside the last file's data: its extent lies past the end.
    IsoImage image;
    std::string err;
    const Bytes cut(whole.begin(), whole.end() - 2048 * 40);
    EXPECT_FALSE(parse(cut, &image, &err));
    EXPECT_NE(err.find("lies past the end of the image"), std::string::npos) << err;
}

TEST(ReadIsoImage, FlippedBytesInAnyStructureNeverLeadOutsideTheImage) {
    const std::vector<IsoBuildFile> files = iso_test_game();
    IsoBuildOptions options;
    options.joliet = true;
    const IsoLayout layout = lay_out_iso(files, options);
    const Bytes whole = iso_image_bytes(files, options);
    for (const auto& [sector, bytes] : layout.metadata) {
        for (std::size_t at = 0; at < bytes.size(); at += 31) {
            Bytes damaged = whole;
            damaged[disc_offset(sector) + at] ^= static_cast<std::uint8_t>(0x5A + at);
            IsoImage image;
            std::string err;
            if (parse(damaged, &image, &err)) {
                expect_inside(image);
            } else {
                EXPECT_EQ(err.rfind("Error: game.iso: ", 0), 0u) << err;
            }
        }
    }
}

namespace {

// Writes a record field in both byte orders where the parse found a record.
void set_record(Bytes& image, const IsoRecord& record, std::size_t field, std::uint32_t value) {
    store_both32(image.data() + record.offset + field, value);
}

// The UDF root directory's identifiers: (offset in the image, block).
std::pair<std::size_t, std::uint32_t> udf_root_identifiers(const Bytes& image,
                                                           const IsoImage& parsed) {
    const std::uint64_t start = parsed.udf.partition_start;
    // The file set descriptor is block 0 (the builder puts it there).
    const std::uint32_t root = load_le32(image.data() + disc_offset(start) + 404);
    const std::uint8_t* fe = image.data() + disc_offset(start + root);
    const std::uint32_t data = load_le32(fe + 176 + 4);
    return {static_cast<std::size_t>(disc_offset(start + data)), data};
}

}  // namespace

TEST(ReadIsoImage, DamagedStructuresAreClearErrors) {
    struct Case {
        const char* name;
        std::function<void(Bytes&, const IsoImage&)> damage;
        const char* message;  // part of the error
    };
    const Case cases[] = {
        {"a folder that points back at the root",
         [](Bytes& b, const IsoImage& im) {
             // The record of DATA lies in the root directory; point it at the root.
             const IsoRecord& x = file_named(im, "SYSTEM.CNF").records[0];
             const std::uint64_t root_sector = x.offset / 2048;
             for (std::size_t pos = 0; pos < 2048;) {
                 std::uint8_t* r = b.data() + root_sector * 2048 + pos;
                 if (r[0] == 0) {
                     break;
                 }
                 if (r[32] == 4 && std::memcmp(r + 33, "DATA", 4) == 0) {
                     store_both32(r + 2, static_cast<std::uint32_t>(root_sector));
                 }
                 pos += r[0];
             }
         },
         "points back at \"/\": the tree loops"},
        {"a file past the end",
         [](Bytes& b, const IsoImage& im) {
             set_record(b, file_named(im, "RPK.BIN").records[0], 2, 0x00FFFFFF);
         },
         "the data of \"RPK.BIN\" lies past the end of the image"},
        {"byte orders that disagree",
         [](Bytes& b, const IsoImage& im) {
             b[file_named(im, "SLUS_217.88").records[0].offset + 10 + 7] ^= 1;
         },
         "the two byte orders of a directory record disagree"},
        {"a block size of 512",
         [](Bytes& b, const IsoImage&) { store_both16(b.data() + 16 * 2048 + 128, 512); },
         "logical block size is 512, not 2048"},
        {"no terminator",
         [](Bytes& b, const IsoImage&) {
             for (std::size_t s = 17; s < 22; ++s) {
                 if (b[s * 2048] == 255) {
                     b[s * 2048 + 1] = 'X';
                 }
             }
         },
         "holds no ISO 9660 volume descriptor where one is expected"},
        {"a record too short for its fields",
         [](Bytes& b, const IsoImage& im) { b[file_named(im, "RPK.BIN").records[0].offset] = 33; },
         "a directory record of 33 bytes does not fit its sector"},
        {"a UDF file entry with a bad CRC",
         [](Bytes& b, const IsoImage& im) {
             const UdfFile& u = im.udf.files[file_named(im, "RPK.BIN").udf_files[0]];
             b[u.offset + 60] ^= 1;
         },
         "has a bad tag (bad descriptor CRC)"},
        {"no sound anchor",
         [](Bytes& b, const IsoImage&) {
             b[256 * 2048 + 20] ^= 1;
             b[b.size() - 2048 + 20] ^= 1;
         },
         "no sound UDF anchor"},
        {"a damaged partition descriptor",
         [](Bytes& b, const IsoImage& im) { b[im.udf.partition_descriptors[1] * 2048 + 192] ^= 1; },
         "holds a descriptor with a bad tag (bad descriptor CRC)"},
        {"a UDF folder that points back at the root",
         [](Bytes& b, const IsoImage& im) {
             const auto [offset, block] = udf_root_identifiers(b, im);
             const std::uint32_t root_entry =
                 load_le32(b.data() + disc_offset(im.udf.partition_start) + 404);
             for (std::size_t pos = offset; pos < offset + 2048;) {
                 std::uint8_t* f = b.data() + pos;
                 const std::size_t size = (38 + f[19] + load_le16(f + 36) + 3) & ~std::size_t{3};
                 if (f[18] == 0x02) {
                     store_le32(f + 24, root_entry);
                     udf_seal_tag({f, size}, block, load_le16(f + 10));
                     break;
                 }
                 pos += size;
             }
         },
         "the UDF directory \"DATA\" points back at \"/\": the tree loops"},
    };
    const std::vector<IsoBuildFile> files = iso_test_game();
    const Bytes whole = iso_image_bytes(files, {});
    const IsoImage image = parsed(whole);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes damaged = whole;
        c.damage(damaged, image);
        IsoImage out;
        std::string err;
        EXPECT_FALSE(parse(damaged, &out, &err));
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(err.rfind("Error: game.iso: ", 0), 0u) << err;
    }
}

TEST(ReadIsoImage, FoldersNestedWithoutEndAreRefused) {
    std::string path;
    for (int i = 0; i < 300; ++i) {
        path += "D/";
    }
    const std::vector<IsoBuildFile> files = {iso_test_file(path + "F.BIN", 10, 1)};
    IsoBuildOptions options;
    options.udf = false;
    IsoImage image;
    std::string err;
    EXPECT_FALSE(parse(iso_image_bytes(files, options), &image, &err));
    EXPECT_NE(err.find("directories nest more than 255 deep"), std::string::npos) << err;
}

TEST(ReadIsoImage, TooShortForADiscImage) {
    IsoImage image;
    std::string err;
    EXPECT_FALSE(parse(Bytes(16 * 2048, 0), &image, &err));
    EXPECT_EQ(err,
              "Error: game.iso: is too short for a disc image (32768 bytes; the first volume "
              "descriptor lies at offset 0x8000)");
}

TEST(FindIsoFile, NamesAreComparedAsTheFormatStoresThem) {
    const IsoImage image = parsed(iso_image_bytes(iso_test_game(), {}));
    std::string err;
    for (const char* name : {"SLUS_217.88", "slus_217.88;1", "/SLUS_217.88", "Slus_217.88"}) {
        EXPECT_EQ(
            image.files[static_cast<std::size_t>(find_iso_file(image, name, IMAGE, &err))].path,
            "SLUS_217.88")
            << name;
    }
    EXPECT_EQ(find_iso_file(image, "data\\sub/x.dat", IMAGE, &err),
              find_iso_file(image, "DATA/SUB/X.DAT", IMAGE, &err));
    EXPECT_EQ(find_iso_file(image, "DATA/SUB", IMAGE, &err), -1);
    EXPECT_EQ(err, "Error: game.iso: \"DATA/SUB\" is a folder, not a file");
    EXPECT_EQ(find_iso_file(image, "NOPE.BIN", IMAGE, &err), -1);
    EXPECT_EQ(err, "Error: game.iso: holds no file \"NOPE.BIN\"");
    EXPECT_EQ(iso_path_key("/a/b.;1"), "A/B");
}

TEST(IsoListingLine, ShowsIndexSectorLengthAndPath) {
    IsoFile file;
    file.path = "DATA/SUB/X.DAT";
    file.sector = 278;
    file.size = 300000;
    EXPECT_EQ(iso_listing_line(3, file), "00003: LBA      278 len     300000 [DATA/SUB/X.DAT]\n");
    file.sector = 4200000;
    file.size = 8500000000;
    EXPECT_EQ(iso_listing_line(12345, file),
              "12345: LBA  4200000 len 8500000000 [DATA/SUB/X.DAT]\n");
}
