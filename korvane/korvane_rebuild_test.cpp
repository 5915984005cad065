// Rebuild mode end to end: extract a generated game, edit the tree, pack it
// back with the built programs and check archive and executable exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include <filesystem>
#include <string>
#include <vector>

#include "common/byte_reader.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "sectors/sector_table.h"
#include "testing/test_support.h"
#include "tools/sample_game.h"

namespace fs = std::filesystem;

namespace {

struct RebuildFixture {
    RebuildFixture(const RpkLayout& rpk_layout, bool canonical) : layout(rpk_layout) {
        SampleOptions options;
        options.rpk_layout = rpk_layout;
        options.fpack_layout = rpk_layout.label == 'A' ? FPACK_LAYOUT_B : FPACK_LAYOUT_A;
        options.canonical = canonical;
        options.seed = 11;
        game = make_sample_game(options);
        fs::create_directory(tmp / "game");
        std::string err;
        EXPECT_TRUE(write_sample_game(game, tmp / "game", &err)) << err;
        const RunResult r = run({exe(), archive()});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    std::string tool() const { return layout.label == 'A' ? "korvane-a" : "korvane-b"; }
    std::string exe() const { return tmp / "game/SLUS_217.88"; }
    std::string archive() const { return tmp / "game/RPK.BIN"; }
    // The game's files are extracted into the temporary folder itself.
    RunResult run(const std::vector<std::string>& args) const {
        return run_program(tool_path(tool()), args, tmp.path());
    }
    std::string file(const SampleEntry& entry) const { return tmp / host_path(entry.name); }

    // What a rebuild must produce from the tree as it now stands: files in
    // index order from sector 0 with zero fill, and only sector and length
    // of the processed entries changed in the executable.
    void expected_outputs(Bytes* archive_out, Bytes* exe_out) const {
        archive_out->clear();
        *exe_out = game.executable;
        for (std::size_t i = 0; i < game.entries.size(); ++i) {
            const Bytes data = read_file(file(game.entries[i]));
            write_le32(*exe_out, game.entry_offsets[i] + 4,
                       static_cast<std::uint32_t>(archive_out->size() / 2048));
            write_le32(*exe_out, game.entry_offsets[i] + 8,
                       static_cast<std::uint32_t>(data.size()));
            archive_out->insert(archive_out->end(), data.begin(), data.end());
            archive_out->resize(round_up_to_sector(archive_out->size()), 0);
        }
    }

    RpkLayout layout;
    TempDir tmp;
    SampleGame game;
};

class KorvaneRebuild : public ::testing::TestWithParam<RpkLayout> {};

INSTANTIATE_TEST_SUITE_P(BothBuilds, KorvaneRebuild, ::testing::Values(RPK_LAYOUT_A, RPK_LAYOUT_B),
                         [](const auto& test_info) {
                             return std::string(1, test_info.param.label);
                         });

}  // namespace

TEST_P(KorvaneRebuild, UneditedCanonicalGameRoundTripsByteForByte) {
    RebuildFixture f(GetParam(), true);
    const RunResult r = f.run({f.exe(), f.archive(), f.tmp / "new.elf", f.tmp / "new.bin"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, f.game.korvane_listing());
    EXPECT_EQ(read_file(f.tmp / "new.elf"), f.game.executable);
    EXPECT_EQ(read_file(f.tmp / "new.bin"), f.game.archive);
}

TEST_P(KorvaneRebuild, EditsLandExactlyAndTheWalkStillEndsWhereTheInputSaid) {
    RebuildFixture f(GetParam(), false);
    // Grow one file, shrink one, empty one, and change the last entry's size:
    // the end of the walk is decided on the input archive, not on the files.
    const auto& entries = f.game.entries;
    write_file(f.file(entries[1]), Bytes(5000, 0x11));
    write_file(f.file(entries[2]), Bytes(1, 0x22));
    write_file(f.file(entries[3]), {});
    write_file(f.file(entries.back()), Bytes(2049, 0x44));
    Bytes want_archive, want_exe;
    f.expected_outputs(&want_archive, &want_exe);

    const RunResult r = f.run({f.exe(), f.archive(), f.tmp / "new.elf", f.tmp / "new.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, f.game.korvane_listing());
    EXPECT_EQ(read_file(f.tmp / "new.bin"), want_archive);
    EXPECT_EQ(read_file(f.tmp / "new.elf"), want_exe);

    // Extracting the rebuilt pair gives back the edited tree.
    TempDir again;
    const RunResult x =
        run_program(tool_path(f.tool()), {f.tmp / "new.elf", f.tmp / "new.bin"}, again.path());
    EXPECT_EQ(x.status, 0) << x.err;
    for (const SampleEntry& e : entries) {
        EXPECT_EQ(read_file(again / host_path(e.name)), read_file(f.file(e))) << e.name;
    }
}

TEST_P(KorvaneRebuild, InPlaceRebuildReplacesBothInputs) {
    RebuildFixture f(GetParam(), true);
    write_file(f.file(f.game.entries[2]), Bytes(7000, 0x5A));
    Bytes want_archive, want_exe;
    f.expected_outputs(&want_archive, &want_exe);
    const RunResult r = f.run({f.exe(), f.archive(), f.exe(), f.archive()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(f.archive()), want_archive);
    EXPECT_EQ(read_file(f.exe()), want_exe);
    EXPECT_EQ(read_tree(f.tmp / "game").size(), 2u) << "no temporary file is left";
}

TEST_P(KorvaneRebuild, FailedInPlaceRebuildLeavesBothInputsUntouched) {
    RebuildFixture f(GetParam(), true);
    // A file far into the index is missing: many entries are packed first.
    const SampleEntry& gone = f.game.entries[f.game.entries.size() * 3 / 4];
    fs::remove(f.file(gone));
    const RunResult r = f.run({f.exe(), f.archive(), f.exe(), f.archive()});
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err, "Could not open " + host_path(gone.name) + " (No such file or directory)\n");
    EXPECT_EQ(read_file(f.archive()), f.game.archive);
    EXPECT_EQ(read_file(f.exe()), f.game.executable);
    EXPECT_EQ(read_tree(f.tmp / "game").size(), 2u) << "no temporary file is left";
}

TEST(KorvaneRebuildErrors, UnwritableOutputsAndUnsafeReplacementsLeaveNothing) {
    RebuildFixture f(RPK_LAYOUT_A, true);
    // The executable's folder is missing: found only after packing, and the
    // new archive must not appear either.
    RunResult r = f.run({f.exe(), f.archive(), f.tmp / "missing/new.elf", f.tmp / "new.bin"});
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err,
              "Could not open " + (f.tmp / "missing/new.elf") + " (No such file or directory)\n");
    EXPECT_FALSE(file_exists(f.tmp / "new.bin"));

    // A replacement of 2 GiB (sparse, so the test stays small) is refused
    // before a byte of it is packed.
    const SampleEntry& big = f.game.entries[2];
    fs::resize_file(f.file(big), 0x80000000ull);
    r = f.run({f.exe(), f.archive(), f.tmp / "new.elf", f.tmp / "new.bin"});
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err,
              "Error: " + host_path(big.name) + ": 2147483648 bytes are too many for entry 2 (\"" +
                  big.name +
                  "\"): the table holds lengths up to 2147483647 bytes; nothing was written\n");
    EXPECT_FALSE(file_exists(f.tmp / "new.bin"));
    EXPECT_FALSE(file_exists(f.tmp / "new.elf"));
    fs::resize_file(f.file(big), big.length);

    // A replacement that is a folder cannot be read.
    const SampleEntry& entry = f.game.entries[1];
    fs::remove(f.file(entry));
    fs::create_directory(f.file(entry));
    r = f.run({f.exe(), f.archive(), f.tmp / "new.elf", f.tmp / "new.bin"});
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_NE(r.err.find(host_path(entry.name)), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(f.tmp / "new.bin"));
    EXPECT_FALSE(file_exists(f.tmp / "new.elf"));
}

// An in-place rebuild whose executable cannot be replaced must not leave a
// new archive beside the old executable: both stay as they were.
TEST(KorvaneRebuildSafety, ATargetThatCannotBeReplacedLeavesBothInputs) {
    RebuildFixture f(RPK_LAYOUT_A, true);
    write_file(f.file(f.game.entries[3]), Bytes(5000, 0x33));
    UnreplaceableFile locked(f.exe());
    if (!locked.ok()) {
        GTEST_SKIP() << "the file system or user cannot make a file immutable";
    }
    const RunResult r = f.run({f.exe(), f.archive(), f.exe(), f.archive()});
    locked.release();
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_TRUE(r.err.starts_with("Error: " + f.exe() + ": could not replace the file (")) << r.err;
    EXPECT_TRUE(r.err.ends_with("; nothing was replaced\n")) << r.err;
    EXPECT_EQ(read_file(f.exe()), f.game.executable);
    EXPECT_EQ(read_file(f.archive()), f.game.archive);
    EXPECT_EQ(read_tree(f.tmp / "game").size(), 2u) << "no temporary or backup file is left";
}

// Outputs that meet an input in the wrong role, or each other, are refused
// before anything is written; the in-place rebuild stays allowed.
TEST(KorvaneRebuildSafety, OutputsMeetingInputsOrEachOtherAreRefused) {
    RebuildFixture f(RPK_LAYOUT_B, true);
    const std::string x = f.tmp / "X";
    const struct {
        std::vector<std::string> outputs;
        std::string message;
    } cases[] = {
        {{x, x},
         "Error: " + x + ": [output.bin] is the same file as [output.elf]; nothing was written\n"},
        {{f.archive(), f.exe()},
         "Error: " + f.archive() +
             ": [output.elf] is the same file as <RPK.BIN>; nothing was written\n"},
        {{f.exe(), f.tmp / "game/../game/SLUS_217.88"},
         "Error: " + f.tmp / "game/../game/SLUS_217.88" +
             ": [output.bin] is the same file as "
             "<SLUS_217.88 etc> (" +
             f.exe() + "); nothing was written\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = f.run({f.exe(), f.archive(), c.outputs[0], c.outputs[1]});
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(file_exists(x));
        EXPECT_EQ(read_file(f.exe()), f.game.executable);
        EXPECT_EQ(read_file(f.archive()), f.game.archive);
    }
}

// Emptying the files of the last entries must not move the end of the
// index: every entry survives rebuild after rebuild.
TEST(KorvaneRebuildSafety, EmptiedLastEntriesSurviveTwoRebuilds) {
    RebuildFixture f(RPK_LAYOUT_A, true);
    const std::size_t n = f.game.entries.size();
    for (const std::size_t emptied : {std::size_t{1}, std::size_t{2}, n - 1}) {
        SCOPED_TRACE(emptied);
        TempDir work;
        // Extract, empty the last `emptied` files, rebuild; then rebuild the
        // rebuilt pair once more from its own extraction.
        ASSERT_EQ(run_program(tool_path(f.tool()), {f.exe(), f.archive()}, work.path()).status, 0);
        for (std::size_t i = n - emptied; i < n; ++i) {
            write_file(work / host_path(f.game.entries[i].name), {});
        }
        const std::map<std::string, Bytes> edited = read_tree(work.path());
        std::string exe = f.exe(), archive = f.archive();
        for (int round = 1; round <= 2; ++round) {
            const std::string new_exe = work / ("new" + std::to_string(round) + ".elf");
            const std::string new_archive = work / ("new" + std::to_string(round) + ".bin");
            const RunResult r =
                run_program(tool_path(f.tool()), {exe, archive, new_exe, new_archive}, work.path());
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), static_cast<long>(n));
            exe = new_exe;
            archive = new_archive;
        }
        TempDir again;
        const RunResult x = run_program(tool_path(f.tool()), {exe, archive}, again.path());
        ASSERT_EQ(x.status, 0) << x.err;
        EXPECT_EQ(std::count(x.out.begin(), x.out.end(), '\n'), static_cast<long>(n));
        for (const SampleEntry& e : f.game.entries) {
            EXPECT_EQ(read_file(again / host_path(e.name)), edited.at(host_path(e.name))) << e.name;
        }
    }
}

// An interrupted rebuild removes its temporary files and replaces nothing.
TEST(KorvaneRebuildSafety, AnInterruptedRebuildLeavesTheInputsAndNoTemporaryFiles) {
    RebuildFixture f(RPK_LAYOUT_B, true);
    write_file(f.file(f.game.entries[0]), Bytes(100000, 0x44));
    for (int signal : {SIGTERM, SIGINT}) {
        const RunResult r =
            run_and_interrupt(tool_path(f.tool()), {f.exe(), f.archive(), f.exe(), f.archive()},
                              f.tmp.path(), signal);
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.err, interrupted_message(signal));
        EXPECT_FALSE(r.out.empty());
        EXPECT_LT(r.out.size(), f.game.korvane_listing().size()) << "stopped halfway";
        EXPECT_EQ(read_file(f.exe()), f.game.executable);
        EXPECT_EQ(read_file(f.archive()), f.game.archive);
        EXPECT_EQ(read_tree(f.tmp / "game").size(), 2u) << "no temporary file is left";
    }
}

// An output that is a file the rebuild reads (at a stored name), or an
// existing file that is no executable named as the output executable, is
// refused before anything is written, listing included.
TEST(KorvaneRebuildSafety, OutputsThatAreFilesTheRebuildReadsOrNoExecutableAreRefused) {
    RebuildFixture f(RPK_LAYOUT_B, true);
    const SampleGame& game = f.game;
    std::size_t pack = 0;
    while (!game.entries[pack].name.starts_with("fpack/")) {
        ++pack;
    }
    const std::size_t plain = pack == 5 ? 6 : 5;
    const std::string pack_path = host_path(game.entries[pack].name);
    const std::string plain_path = host_path(game.entries[plain].name);
    // The stored-name file that is named as the executable holds one (a
    // module the game loads, say), so that only its role gives it away.
    write_file(f.file(game.entries[plain]), game.executable);
    write_file(f.tmp / "notes.txt", bytes_of("the translation, nearly done\n"));
    auto place = [&](std::size_t i) {
        return "entry " + std::to_string(i) + " (\"" + game.entries[i].name + "\")";
    };
    const struct {
        std::vector<std::string> outputs;
        std::string message;
    } cases[] = {
        {{"NEW.ELF", pack_path},
         "Error: " + pack_path + ": [output.bin] is the file this rebuild reads for " +
             place(pack) + "; nothing was written\n"},
        {{plain_path, "NEW.BIN"},
         "Error: " + plain_path + ": [output.elf] is the file this rebuild reads for " +
             place(plain) + "; nothing was written\n"},
        {{"NEW.ELF", "./" + pack_path},
         "Error: ./" + pack_path + ": [output.bin] is the same file as " + pack_path +
             ", the file this rebuild reads for " + place(pack) + "; nothing was written\n"},
        {{"notes.txt", "NEW.BIN"},
         "Error: notes.txt: [output.elf] names an existing file that is not an ELF executable "
         "(it holds 29 bytes starting with 74 68 65 20 74 72 61 6E, text), which the new "
         "executable would replace; nothing was written\n"},
    };
    const auto before = read_tree(f.tmp.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outputs[0] + " " + c.outputs[1]);
        const RunResult r = f.run({f.exe(), f.archive(), c.outputs[0], c.outputs[1]});
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.err, c.message);
        EXPECT_TRUE(r.out.empty()) << r.out.substr(0, 200);
        EXPECT_TRUE(read_tree(f.tmp.path()) == before) << "a file changed";
    }
}
