// End-to-end runs of the built lzrpack, its files decoded by the built ossory.
#include <gtest/gtest.h>

#include <random>

#include "common/byte_reader.h"
#include "ossory/lzr_test_support.h"
#include "testing/test_support.h"

namespace {

RunResult lzrpack(const std::vector<std::string>& args, const std::string& cwd) {
    return run_program(tool_path("lzrpack"), args, cwd);
}

// A small picture-like file: a header, flat rows, a gradient and noise.
Bytes picture(std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b = bytes_of("TIM2");
    b.resize(64, 0);
    for (std::size_t i = 0; i < 30000; ++i) {
        const std::size_t x = i % 128;
        b.push_back(static_cast<std::uint8_t>(x < 60 ? i / 4096 : x < 100 ? x / 4 : rng() % 16));
    }
    return b;
}

// Decodes `lzr` (relative to `dir`) with the built ossory.
Bytes ossory_decode(const TempDir& dir, const std::string& lzr) {
    const RunResult r = run_program(tool_path("ossory"), {lzr, "decoded.tm2"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return read_file(dir / "decoded.tm2");
}

}  // namespace

TEST(LzrpackTool, UsageOnWrongArgumentCount) {
    TempDir tmp;
    write_file(tmp / "a", bytes_of("a"));
    const std::string expected =
        "lzrpack v1.0\n\nusage: " + tool_path("lzrpack") + " [original.lzr] <input> <output.lzr>\n";
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"a"},
                             std::vector<std::string>{"a", "a", "b.lzr", "c.lzr"}}) {
        SCOPED_TRACE(args.size());
        const RunResult r = lzrpack(args, tmp.path());
        EXPECT_EQ(r.err, expected);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, FAILURE_STATUS);
    }
    EXPECT_EQ(read_tree(tmp.path()).size(), 1u);
}

TEST(LzrpackTool, TwoArgumentsWriteFirstWordZero) {
    TempDir tmp;
    for (const Bytes& content : {Bytes{}, Bytes{0x42}, picture(1)}) {
        SCOPED_TRACE(content.size());
        write_file(tmp / "in.tm2", content);
        const RunResult r = lzrpack({"in.tm2", "out.tm2.lzr"}, tmp.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        const Bytes file = read_file(tmp / "out.tm2.lzr");
        EXPECT_EQ(file, lzr_file_of(content, 0));
        EXPECT_EQ(ossory_decode(tmp, "out.tm2.lzr"), content);
    }
}

TEST(LzrpackTool, ThreeArgumentsKeepTheOriginalsFirstWord) {
    TempDir tmp;
    const Bytes old_content = picture(2);
    const Bytes new_content = picture(3);
    write_file(tmp / "t.tm2.lzr", lzr_file_of(old_content, 0xDEADBEEF));
    write_file(tmp / "t.tm2", new_content);

    // Into a new file, then in place over the original.
    for (const std::string output : {"new.tm2.lzr", "t.tm2.lzr"}) {
        SCOPED_TRACE(output);
        const RunResult r = lzrpack({"t.tm2.lzr", "t.tm2", output}, tmp.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(tmp / output), lzr_file_of(new_content, 0xDEADBEEF));
        EXPECT_EQ(ossory_decode(tmp, output), new_content);
    }
    // Replacing left no temporary file behind.
    EXPECT_EQ(read_tree(tmp.path()).size(), 4u);
}

TEST(LzrpackTool, ErrorsWriteNothing) {
    TempDir tmp;
    write_file(tmp / "in.tm2", picture(4));
    write_file(tmp / "short.lzr", Bytes(5, 0));
    write_file(tmp / "text.lzr", bytes_of("This is a text file, not an LZR file.\n"));
    write_file(tmp / "keep.lzr", bytes_of("old contents"));
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"missing.tm2", "out.lzr"}, "Could not open missing.tm2 (No such file or directory)\n"},
        {{"missing.lzr", "in.tm2", "out.lzr"},
         "Could not open missing.lzr (No such file or directory)\n"},
        {{"short.lzr", "in.tm2", "keep.lzr"},
         "Error: short.lzr: the file of 5 bytes is shorter than the 16-byte LZR header\n"},
        {{"text.lzr", "in.tm2", "out.lzr"},
         "Error: text.lzr: the control stream of 68054308 bytes does not fit in the file "
         "of 38 bytes (offset 0x10)\n"},
        {{"short.lzr", "missing.tm2", "out.lzr"},
         "Error: short.lzr: the file of 5 bytes is shorter than the 16-byte LZR header\n"},
    };
    const auto before = read_tree(tmp.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const RunResult r = lzrpack(c.args, tmp.path());
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(read_tree(tmp.path()), before);

    const RunResult r = lzrpack({"in.tm2", "missing/out.lzr"}, tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err.rfind("Could not open missing/out.lzr (", 0), 0u) << r.err;
}

// What a shell pattern hands lzrpack: `lzrpack *.tm2` names an image as the
// output, `lzrpack *.tm2.lzr` a compressed file as the input. Both are
// refused before anything is read or written; so is an output that is a
// link to a file not named .lzr.
TEST(LzrpackTool, NamesAPatternGivesAreRefused) {
    TempDir tmp;
    for (const char* name : {"a.tm2", "b.tm2"}) {
        write_file(tmp / name, picture(5));
    }
    for (const char* name : {"a.tm2.lzr", "b.tm2.lzr", "c.tm2.lzr"}) {
        write_file(tmp / name, lzr_file_of(picture(6), 1));
    }
    const std::string output_hint =
        ": the output's name does not end in .lzr, but lzrpack writes an LZR file; name the "
        "output .lzr (did a shell pattern such as *.tm2 name more than one file?)\n";
    const std::string input_hint =
        ": the input's name ends in .lzr, so it is compressed already; lzrpack compresses a "
        "decoded file such as a .tm2 (did a shell pattern such as *.tm2.lzr name more than one "
        "file?)\n";
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"a.tm2", "b.tm2"}, "Error: b.tm2" + output_hint},
        {{"a.tm2.lzr", "a.tm2", "b.tm2"}, "Error: b.tm2" + output_hint},
        {{"a.tm2.lzr", "b.tm2.lzr"}, "Error: a.tm2.lzr" + input_hint},
        {{"a.tm2.lzr", "b.tm2.lzr", "c.tm2.lzr"}, "Error: b.tm2.lzr" + input_hint},
        {{"a.tm2.lzr", "B.TM2.LZR", "c.tm2.lzr"}, "Error: B.TM2.LZR" + input_hint},
    };
    if (make_symlink("b.tm2", tmp / "link.lzr")) {
        cases.push_back({{"a.tm2", "link.lzr"},
                         "Error: link.lzr: a link to b.tm2, whose name does not end in .lzr; an "
                         "LZR file is written only into a file named so\n"});
    }
    const auto before = read_tree(tmp.path());
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args.back());
        const RunResult r = lzrpack(args, tmp.path());
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, message);
        EXPECT_TRUE(read_tree(tmp.path()) == before) << "a file changed";
    }
}

// An input too large for the header's sizes is refused by its size, before
// a byte of it is read: a 5 GB file takes no memory and no time.
TEST(LzrpackTool, TooLargeAnInputIsRefusedBeforeItIsRead) {
    TempDir tmp;
    const std::uint64_t size = 5'000'000'000;
    make_sparse_file(tmp / "big.tm2", size, {{0, bytes_of("TIM2")}});
    RunOptions options;
    // Where the system holds a program to it, a limit far below the file's
    // size shows that nothing was read into memory.
    if (!built_with_address_sanitizer() && !running_under_wine()) {
        options.memory_limit = 256u << 20;
    }
    const RunResult r =
        run_program(tool_path("lzrpack"), {"big.tm2", "big.tm2.lzr"}, tmp.path(), options);
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err,
              "Error: big.tm2: input of 5000000000 bytes is too large for an LZR file (its "
              "header holds sizes up to 4294967295 bytes)\n");
    EXPECT_FALSE(file_exists(tmp / "big.tm2.lzr"));
}
