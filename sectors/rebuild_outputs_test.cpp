#include "sectors/rebuild_outputs.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "sectors/sector_io.h"
#include "testing/test_support.h"

namespace fs = std::filesystem;

namespace {

PackJob job(const std::string& path, const std::string& where, std::string_view name) {
    PackJob j;
    j.path = path;
    j.where = where;
    j.name = name;
    return j;
}

}  // namespace

// Every file a rebuild reads is found again under any path that reaches it;
// paths that reach none of them, or nothing, are not.
TEST(RebuildReads, FindTheFilesOfTheJobsUnderAnyPath) {
    TempDir tmp;
    in_dir(tmp.path(), [] {
        write_file("a/one.bin", bytes_of("1"));
        write_file("a/two.bin", bytes_of("2"));
        write_file("other.bin", bytes_of("3"));
        fs::create_hard_link("a/two.bin", "hard.bin");
        const bool links = make_symlink("a/one.bin", "soft.bin");
        const std::vector<PackJob> jobs = {job("a/one.bin", "entry 0", "a/one.bin"),
                                           job("a/two.bin", "entry 1", "a\\two.bin"),
                                           job("./a/one.bin", "entry 2", "a/one.bin")};
        // The identities as the rebuild finds them when it measures the files.
        std::vector<std::uint64_t> sizes;
        std::vector<FileId> ids;
        std::string err;
        ASSERT_TRUE(pack_file_sizes(jobs, &sizes, &err, &ids)) << err;
        EXPECT_EQ(sizes, (std::vector<std::uint64_t>{1, 1, 1}));
        RebuildReads reads;
        reads.add(jobs, ids);
        const struct {
            std::string path;
            const char* where;  // null: not a file the rebuild reads
        } cases[] = {
            {"a/one.bin", "entry 0"}, {"a/../a/one.bin", "entry 0"}, {"a/two.bin", "entry 1"},
            {"hard.bin", "entry 1"},  {"other.bin", nullptr},        {"a/missing.bin", nullptr},
            {"a", nullptr},           {"nowhere/x", nullptr},
        };
        for (const auto& c : cases) {
            bool failed = true;
            const PackJob* found = reads.find(c.path, &err, &failed);
            EXPECT_FALSE(failed) << c.path;
            EXPECT_EQ(found == nullptr ? "none" : found->where,
                      c.where == nullptr ? "none" : c.where)
                << c.path;
        }
        if (links) {
            bool failed = true;
            const PackJob* found = reads.find("soft.bin", &err, &failed);
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(found->where, "entry 0");
        }

        EXPECT_FALSE(check_output_not_read("hard.bin", "[output.bin]", reads, &err));
        EXPECT_EQ(err,
                  "Error: hard.bin: [output.bin] is the same file as a/two.bin, the file this "
                  "rebuild reads for entry 1 (\"a\\two.bin\"); nothing was written");
        EXPECT_FALSE(check_output_not_read("a/one.bin", "pack 4", reads, &err));
        EXPECT_EQ(err,
                  "Error: a/one.bin: pack 4 is the file this rebuild reads for entry 0 "
                  "(\"a/one.bin\"); nothing was written");
        EXPECT_TRUE(check_output_not_read("other.bin", "[output.bin]", reads, &err));
        EXPECT_TRUE(check_output_not_read("new.bin", "[output.bin]", reads, &err));
    });
}

// A file named as the output executable must be one: anything else is
// refused, saying what it holds.
TEST(OutputExecutable, ContentsAreRecognisedByTheirFirstBytes) {
    const struct {
        Bytes head;
        std::string_view kind;
    } cases[] = {
        {{0x7F, 'E', 'L', 'F', 1}, "an ELF executable"},
        {{'T', 'I', 'M', '2', 4, 0}, "a TIM2 image"},
        {{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, "a PNG image"},
        {bytes_of("1 hello\r\n\t"), "text"},
        {{'n', 0xC3, 0xA9, 'e', 0xE3, 0x81}, "text"},  // UTF-8, the last one cut
        {{0xE1, 0x41, 0xB7, 0xD5}, ""},                // no UTF-8
        {{'a', 0x00, 'b'}, ""},
        {{'a', 0x7F}, ""},
        {{0xC0, 0x80}, ""},  // an overlong form
        {{}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(recognise_contents(c.head), c.kind) << testing::PrintToString(c.head);
    }
}

TEST(OutputExecutable, AnythingButAnElfFileIsRefused) {
    TempDir tmp;
    in_dir(tmp.path(), [] {
        Bytes elf(4096, 0);
        const Bytes ident = {0x7F, 'E', 'L', 'F', 1, 1, 1};
        std::copy(ident.begin(), ident.end(), elf.begin());
        write_file("game.elf", elf);
        write_file("short.elf", {0x7F, 'E', 'L'});
        write_file("empty.elf", {});
        write_file("notes.txt", bytes_of("my notes\n"));
        Bytes tim2 = bytes_of("TIM2");
        tim2.insert(tim2.end(), {4, 0, 1, 0, 'a', 'n', 'd', ' ', 'm', 'o', 'r', 'e', '!', '!'});
        write_file("image.tm2", tim2);
        write_file("data.bin", {0x00, 0x9B, 0xFF, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70});
        fs::create_directory("folder");
        const struct {
            std::string path;
            std::string holds;  // empty: accepted
        } cases[] = {
            {"game.elf", ""},
            {"new.elf", ""},
            {"folder", ""},
            {NULL_DEVICE, ""},
            {"short.elf", "3 bytes starting with 7F 45 4C"},
            {"empty.elf", "0 bytes"},
            {"notes.txt", "9 bytes starting with 6D 79 20 6E 6F 74 65 73, text"},
            {"image.tm2", "18 bytes starting with 54 49 4D 32 04 00 01 00, a TIM2 image"},
            {"data.bin", "10 bytes starting with 00 9B FF 10 20 30 40 50"},
        };
        for (const auto& c : cases) {
            std::string err;
            EXPECT_EQ(check_output_executable(c.path, "[output.elf]", &err), c.holds.empty())
                << c.path;
            if (!c.holds.empty()) {
                EXPECT_EQ(err, "Error: " + c.path +
                                   ": [output.elf] names an existing file that is not an ELF "
                                   "executable (it holds " +
                                   c.holds +
                                   "), which the new executable would replace; nothing was "
                                   "written");
            }
        }
    });
}
