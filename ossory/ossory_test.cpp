// End-to-end runs of the built ossory program on files made by the encoder.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "common/byte_reader.h"
#include "ossory/lzr_encoder.h"
#include "ossory/lzr_test_support.h"
#include "testing/test_support.h"

namespace {

RunResult ossory(const std::vector<std::string>& args, const std::string& cwd) {
    return run_program(tool_path("ossory"), args, cwd);
}

}  // namespace

TEST(OssoryTool, UsageOnTooFewArguments) {
    TempDir tmp;
    const std::string expected =
        "ossory v1.01\n\nusage: " + tool_path("ossory") + " <input.tm2.lzr> <output.tm2>\n";
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"in.lzr"}}) {
        const RunResult r = ossory(args, tmp.path());
        EXPECT_EQ(r.err, expected);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, FAILURE_STATUS);
    }
    EXPECT_TRUE(read_tree(tmp.path()).empty());
}

TEST(OssoryTool, DecodesGeneratedFiles) {
    TempDir tmp;
    std::mt19937 rng(5);
    Bytes mixed(20000);
    for (std::size_t i = 0; i < mixed.size(); ++i) {
        mixed[i] = i % 1000 < 300 ? 0 : static_cast<std::uint8_t>(i % 1000 < 700 ? i / 50 : rng());
    }
    const std::vector<Bytes> inputs = {{}, {0x42}, Bytes(100000, 7), mixed};
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        SCOPED_TRACE(k);
        write_file(tmp / "in.tm2.lzr", lzr_file_of(inputs[k], 0xABCD));
        // Arguments past the second are ignored.
        const RunResult r = ossory({"in.tm2.lzr", "out.tm2", "extra"}, tmp.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(tmp / "out.tm2"), inputs[k]);
        std::filesystem::remove(tmp / "out.tm2");
    }
}

TEST(OssoryTool, ClippedLastOperationWarnsAndSucceeds) {
    TempDir tmp;
    // A literal, then a fill of 9 in a file declaring 4 bytes of output.
    Bytes file;
    for (std::uint32_t word : {0u, 8u, 3u, 4u}) {
        append_le32(file, word);
    }
    file.insert(file.end(), {0x20, 0x61, 9, 0x62});
    write_file(tmp / "cut.lzr", file);
    const RunResult r = ossory({"cut.lzr", "cut.tm2"}, tmp.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "Warning: cut.lzr: a fill asks for 9 bytes, more than fit in the output size 4; "
              "cut at 4 (operation 1, operand offset 0x1, file offset 0x12, output offset "
              "0x1)\n");
    EXPECT_EQ(read_file(tmp / "cut.tm2"), bytes_of("abbb"));
}

TEST(OssoryTool, FailuresWriteNothingAndKeepExistingOutput) {
    TempDir tmp;
    const Bytes good = lzr_file_of(Bytes(5000, 3));
    Bytes bad_distance;
    for (std::uint32_t word : {0u, 8u, 3u, 3u}) {
        append_le32(bad_distance, word);
    }
    bad_distance.insert(bad_distance.end(), {0x30, 0x61, 0x00, 0x25});
    write_file(tmp / "short.lzr", Bytes(good.begin(), good.end() - 1));
    write_file(tmp / "distance.lzr", bad_distance);
    write_file(tmp / "keep.tm2", bytes_of("old contents"));
    const struct {
        std::string input;
        std::string err;
    } cases[] = {
        {"nope.lzr", "Could not open nope.lzr (No such file or directory)\n"},
        {"short.lzr",
         "Error: short.lzr: the operand stream of 40 bytes does not fit in the file of 60 "
         "bytes (offset 0x15)\n"},
        {"distance.lzr",
         "Error: distance.lzr: a back-reference has distance 2, but only 1 bytes precede "
         "it (operation 1, operand offset 0x1, file offset 0x12, output offset 0x1)\n"},
    };
    const auto before = read_tree(tmp.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        for (const std::string output : {"new.tm2", "keep.tm2"}) {
            const RunResult r = ossory({c.input, output}, tmp.path());
            EXPECT_EQ(r.status, FAILURE_STATUS);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, c.err);
        }
    }
    // No new file, no temporary left behind, the existing output untouched.
    EXPECT_EQ(read_tree(tmp.path()), before);

    write_file(tmp / "good.lzr", good);
    const RunResult r = ossory({"good.lzr", "missing/out.tm2"}, tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err.rfind("Could not open missing/out.tm2 (", 0), 0u) << r.err;
}

// What a shell pattern such as tex/*.tm2.lzr hands ossory, an output that
// is the input, and inputs that are not files are refused before anything
// is written.
TEST(OssoryTool, OutputsThatWouldDestroyAFileAreRefused) {
    TempDir tmp;
    std::vector<std::uint8_t> packed;
    std::string err;
    ASSERT_TRUE(lzr_compress(bytes_of("an image"), 1, &packed, &err)) << err;
    write_file(tmp / "a.tm2.lzr", packed);
    write_file(tmp / "b.tm2.lzr", packed);
    const std::string glob_hint =
        ": the output name ends in .lzr, but ossory writes the decoded image; name the output "
        ".tm2 (did a shell pattern such as *.tm2.lzr name more than one file?)\n";
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"a.tm2.lzr", "b.tm2.lzr"}, "Error: b.tm2.lzr" + glob_hint},
        {{"a.tm2.lzr", "B.TM2.LZR"}, "Error: B.TM2.LZR" + glob_hint},
        {{"a.tm2.lzr", "a.tm2.lzr", "b.tm2.lzr"}, "Error: a.tm2.lzr" + glob_hint},
        {{NULL_DEVICE, "out.tm2"},
         "Error: " + std::string(NULL_DEVICE) + ": is a device or pipe, not a regular file\n"},
    };
    // A link named .tm2 that leads to a compressed file.
    if (make_symlink("b.tm2.lzr", tmp / "b-link.tm2")) {
        cases.push_back({{"a.tm2.lzr", "b-link.tm2"},
                         "Error: b-link.tm2: a link to b.tm2.lzr, whose name ends in .lzr, but "
                         "ossory writes the decoded image\n"});
    }
    const auto before = read_tree(tmp.path());
    for (const auto& [args, message] : cases) {
        const RunResult r = ossory(args, tmp.path());
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(read_tree(tmp.path()), before);
    }
    // The same file under another name (a hard link where the system makes
    // no symbolic links).
    if (!make_symlink("a.tm2.lzr", tmp / "link.tm2")) {
        std::filesystem::create_hard_link(std::filesystem::path(tmp / "a.tm2.lzr"),
                                          std::filesystem::path(tmp / "link.tm2"));
    }
    const RunResult r = ossory({"a.tm2.lzr", "link.tm2"}, tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err,
              "Error: link.tm2: <output.tm2> is the same file as <input.tm2.lzr> (a.tm2.lzr); "
              "nothing was written\n");
    EXPECT_EQ(read_file(tmp / "a.tm2.lzr"), packed);
}

// A small hostile file can declare gigabytes of output: its streams are
// checked before that memory is taken, and memory that cannot be had is a
// clean error, not a crash.
TEST(OssoryTool, MemoryIsTakenOnlyForStreamsThatHoldUp) {
    if (built_with_address_sanitizer()) {
        GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
    }
    if (running_under_wine()) {
        GTEST_SKIP() << "wine does not hold a program to the memory limit of its job object";
    }
    TempDir tmp;
    // 2,100,000 control bytes of four fills of 255 bytes each: 2.1 GB of
    // output from 19 MB of file.
    const std::size_t control_bytes = 2'100'000;
    const std::size_t fills = control_bytes * 4;
    Bytes file;
    append_le32(file, 0);
    append_le32(file, static_cast<std::uint32_t>(control_bytes * 8));
    append_le32(file, static_cast<std::uint32_t>(fills * 2));
    append_le32(file, static_cast<std::uint32_t>(fills * 255));
    file.resize(16 + control_bytes, 0xAA);
    file.reserve(file.size() + fills * 2);
    for (std::size_t i = 0; i < fills; ++i) {
        file.push_back(255);
        file.push_back(static_cast<std::uint8_t>(i));
    }
    write_file(tmp / "whole.lzr", file);
    // The same, but the last operation is a back-reference of distance 0.
    file[16 + control_bytes - 1] = 0xAB;
    file[file.size() - 2] = 0;
    file[file.size() - 1] = 0x05;
    write_file(tmp / "broken.lzr", file);
    RunOptions options;
    options.memory_limit = 512u << 20;
    RunResult r = run_program(tool_path("ossory"), {"broken.lzr", "out.tm2"}, tmp.path(), options);
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_TRUE(r.err.starts_with("Error: broken.lzr: a back-reference has distance 0")) << r.err;
    r = run_program(tool_path("ossory"), {"whole.lzr", "out.tm2"}, tmp.path(), options);
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err, "Error: whole.lzr: not enough memory for the decoded image of " +
                         std::to_string(fills * 255) + " bytes\n");
    EXPECT_FALSE(file_exists(tmp / "out.tm2"));
}
