// Runs the built korvane-a and korvane-b on generated games and compares
// their listings, output trees, messages and exit status byte for byte.
#include <gtest/gtest.h>

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

const std::string USAGE_TAIL = " <SLUS_217.88 etc> <RPK.BIN> [output.elf output.bin]\n";

std::string build_for(const RpkLayout& layout) {
    return layout.label == 'A' ? "korvane-a" : "korvane-b";
}

// The tree a run should leave: every file, and every folder leading to one.
std::map<std::string, Bytes> tree_with_folders(const std::map<std::string, SampleBytes>& files,
                                               const std::string& prefix = "") {
    std::map<std::string, Bytes> tree;
    for (const auto& [path, data] : files) {
        const std::string full = prefix + path;
        tree[full] = data;
        for (std::size_t slash = full.find('/'); slash != std::string::npos;
             slash = full.find('/', slash + 1)) {
            tree[full.substr(0, slash + 1)] = {};
        }
    }
    return tree;
}

// A generated game written to <tmp>/game, and an empty working folder <tmp>/work.
struct GameFixture {
    explicit GameFixture(const SampleOptions& options) : game(make_sample_game(options)) {
        fs::create_directory(tmp / "game");
        fs::create_directory(tmp / "work");
        std::string err;
        EXPECT_TRUE(write_sample_game(game, tmp / "game", &err)) << err;
    }
    std::string exe() const { return tmp / "game/SLUS_217.88"; }
    std::string archive() const { return tmp / "game/RPK.BIN"; }
    std::string work() const { return tmp / "work"; }
    RunResult run(const std::string& tool, const std::vector<std::string>& args) const {
        return run_program(tool_path(tool), args, work());
    }

    TempDir tmp;
    SampleGame game;
};

SampleOptions options_for(const RpkLayout& rpk, const FpackLayout& fpack, bool canonical,
                          std::uint64_t seed = 7) {
    SampleOptions o;
    o.rpk_layout = rpk;
    o.fpack_layout = fpack;
    o.canonical = canonical;
    o.seed = seed;
    return o;
}

class KorvaneLayouts : public ::testing::TestWithParam<LayoutCombination> {};

INSTANTIATE_TEST_SUITE_P(AllCombinations, KorvaneLayouts,
                         ::testing::ValuesIn(ALL_LAYOUT_COMBINATIONS),
                         [](const auto& test_info) { return combination_name(test_info.param); });

}  // namespace

TEST_P(KorvaneLayouts, ExtractsEveryFileExactlyAndNothingElse) {
    GameFixture f(options_for(GetParam().rpk, GetParam().fpack, false));
    const RunResult r = f.run(build_for(GetParam().rpk), {f.exe(), f.archive()});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, f.game.korvane_listing());
    EXPECT_EQ(read_tree(f.work()), tree_with_folders(f.game.extracted));
    for (const SampleEntry& ignored : f.game.ignored_entries) {
        EXPECT_FALSE(file_exists(f.work() + "/" + host_path(ignored.name))) << ignored.name;
    }
}

TEST_P(KorvaneLayouts, TheOtherLayoutsBuildIsRefusedWithNothingWritten) {
    GameFixture f(options_for(GetParam().rpk, GetParam().fpack, false));
    const std::string wrong = GetParam().rpk.label == 'A' ? "korvane-b" : "korvane-a";
    const RunResult r = f.run(wrong, {f.exe(), f.archive()});
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Error: " + f.exe() + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("is this the executable for " + build_for(GetParam().rpk) + "?"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(read_tree(f.work()).empty());
}

TEST(KorvaneCommandLine, WrongArgumentCountsPrintBannerAndUsage) {
    TempDir work;
    const std::string program = tool_path("korvane-a");
    const std::vector<std::vector<std::string>> counts = {
        {}, {"a"}, {"a", "b", "c"}, {"a", "b", "c", "d", "e"}, {"a", "b", "c", "d", "e", "f"}};
    for (const auto& args : counts) {
        const RunResult r = run_program(program, args, work.path());
        EXPECT_EQ(r.err, "korvane v1.0\n\nusage: " + program + USAGE_TAIL) << args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, FAILURE_STATUS);
    }
    EXPECT_TRUE(read_tree(work.path()).empty());
}

TEST(KorvaneCommandLine, MissingExecutableOrArchive) {
    GameFixture f(options_for(RPK_LAYOUT_A, FPACK_LAYOUT_A, false));
    RunResult r = f.run("korvane-a", {"nope.elf", f.archive()});
    EXPECT_EQ(r.err, "Could not open nope.elf (No such file or directory)\n");
    EXPECT_EQ(r.status, FAILURE_STATUS);
    r = f.run("korvane-a", {f.exe(), "nope.bin"});
    EXPECT_EQ(r.err, "Could not open nope.bin (No such file or directory)\n");
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(read_tree(f.work()).empty());
}

TEST(KorvaneCommandLine, EmptyThirdArgumentExtractsAndNeverTouchesTheFourth) {
    GameFixture f(options_for(RPK_LAYOUT_B, FPACK_LAYOUT_A, false));
    const std::string fourth = f.tmp / "fourth.bin";
    write_file(fourth, bytes_of("keep me"));
    const RunResult r = f.run("korvane-b", {f.exe(), f.archive(), "", fourth});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, f.game.korvane_listing());
    EXPECT_EQ(read_tree(f.work()), tree_with_folders(f.game.extracted));
    EXPECT_EQ(read_file(fourth), bytes_of("keep me"));
}

// A path that names no file is refused by the name the usage line gives it,
// in every mode, before anything is read or written.
TEST(KorvaneCommandLine, EmptyOutputArchiveFailsBeforeAnyListing) {
    GameFixture f(options_for(RPK_LAYOUT_A, FPACK_LAYOUT_A, false));
    const RunResult r = f.run("korvane-a", {f.exe(), f.archive(), f.tmp / "out.elf", ""});
    EXPECT_EQ(r.err, "Error: the path given as [output.bin] is empty; nothing was written\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_FALSE(file_exists(f.tmp / "out.elf"));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"", f.archive()}, {f.exe(), ""}}) {
        const RunResult e = f.run("korvane-a", args);
        const char* role = args[0].empty() ? "<SLUS_217.88 etc>" : "<RPK.BIN>";
        EXPECT_EQ(e.err, "Error: the path given as " + std::string(role) +
                             " is empty; nothing was written\n");
        EXPECT_EQ(e.status, FAILURE_STATUS);
    }
    EXPECT_TRUE(read_tree(f.work()).empty());
}

TEST(KorvaneDamage, ArchiveOfTheWrongSizeIsRefusedWithNothingWritten) {
    GameFixture f(options_for(RPK_LAYOUT_A, FPACK_LAYOUT_B, false));
    Bytes archive = read_file(f.archive());
    archive.resize(archive.size() + 2048, 0);
    write_file(f.archive(), archive);
    const RunResult r = f.run("korvane-a", {f.exe(), f.archive()});
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_NE(r.err.find("no entry before it ends at the end of the archive"), std::string::npos)
        << r.err;
    EXPECT_TRUE(read_tree(f.work()).empty());
}

TEST(KorvaneDamage, EntryReachingPastTheArchiveIsRefusedWithNothingWritten) {
    GameFixture f(options_for(RPK_LAYOUT_A, FPACK_LAYOUT_A, false));
    // Give entry 3 a length that runs past the end without ending the walk.
    Bytes exe = f.game.executable;
    const std::uint64_t record = f.game.entry_offsets[3];
    write_le32(exe, record + 8, static_cast<std::uint32_t>(f.game.archive.size()) + 4096);
    write_file(f.exe(), exe);
    const RunResult r = f.run("korvane-a", {f.exe(), f.archive()});
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("Error: " + f.archive() + ": the data of entry 3 (\"" +
                                  f.game.entries[3].name + "\", "))
        << r.err;
    EXPECT_NE(r.err.find("reaches past the end of the file"), std::string::npos) << r.err;
    EXPECT_TRUE(read_tree(f.work()).empty());
}

TEST(KorvaneDamage, UnsafeNamesAreRefusedAndNothingLandsOutsideTheFolder) {
    for (const std::string bad : {"../escape.bin", "/tmp/abs.bin", "..\\up.bin"}) {
        GameFixture f(options_for(RPK_LAYOUT_B, FPACK_LAYOUT_B, false));
        // Rewrite entry 5's name in place; the new name is no longer than the old one.
        Bytes exe = f.game.executable;
        const std::uint32_t address0 = f.game.entries[0].name_address;
        const std::uint64_t at =
            RPK_LAYOUT_B.first_name_offset + (f.game.entries[5].name_address - address0);
        ASSERT_GE(f.game.entries[5].name.size(), bad.size());
        std::copy(bad.begin(), bad.end(), exe.begin() + static_cast<std::ptrdiff_t>(at));
        exe[at + bad.size()] = 0;
        write_file(f.exe(), exe);
        const RunResult r = f.run("korvane-b", {f.exe(), f.archive()});
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_NE(r.err.find("the RPK index entry has an unsafe name \"" + bad + "\""),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(read_tree(f.work()).empty());
        EXPECT_FALSE(file_exists(f.tmp / "escape.bin"));
        EXPECT_FALSE(file_exists(f.tmp / "up.bin"));
    }
}

TEST(KorvaneDamage, AnEntryNamedLikeAnInputIsNotExtractedOverIt) {
    for (const std::string input : {"SLUS_217.88", "RPK.BIN"}) {
        GameFixture f(options_for(RPK_LAYOUT_A, FPACK_LAYOUT_A, false));
        // Entry 4's name now names the executable or the archive itself,
        // and the user extracts in the folder that holds them.
        Bytes exe = f.game.executable;
        const std::uint64_t at = RPK_LAYOUT_A.first_name_offset +
                                 (f.game.entries[4].name_address - f.game.entries[0].name_address);
        ASSERT_GE(f.game.entries[4].name.size(), input.size());
        std::copy(input.begin(), input.end(), exe.begin() + static_cast<std::ptrdiff_t>(at));
        exe[at + input.size()] = 0;
        write_file(f.exe(), exe);
        const RunResult r =
            run_program(tool_path("korvane-a"), {"SLUS_217.88", "RPK.BIN"}, f.tmp / "game");
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.err, "Error: " + input + ": entry 4 (\"" + input + "\") would overwrite " +
                             input +
                             ", which is being read; extract in another folder. Nothing was "
                             "written\n");
        EXPECT_EQ(read_file(f.exe()), exe);
        EXPECT_EQ(read_file(f.archive()), f.game.archive);
        EXPECT_EQ(read_tree(f.tmp / "game").size(), 2u);
    }
}

TEST(KorvaneDamage, TruncatedExecutablesGiveACleanErrorEveryTime) {
    GameFixture f(options_for(RPK_LAYOUT_A, FPACK_LAYOUT_A, false));
    const std::uint64_t index_end = f.game.entry_offsets.back() + 12;
    std::uint64_t names_end = 0;
    for (const SampleEntry& e : f.game.entries) {
        names_end = std::max<std::uint64_t>(
            names_end, RPK_LAYOUT_A.first_name_offset +
                           (e.name_address - f.game.entries[0].name_address) + e.name.size() + 1);
    }
    // Cuts inside the index, inside entry 0's name, and through the name area.
    std::vector<std::uint64_t> cuts = {0,
                                       100,
                                       RPK_LAYOUT_A.index_offset,
                                       RPK_LAYOUT_A.index_offset + 7,
                                       index_end - 1,
                                       RPK_LAYOUT_A.first_name_offset,
                                       RPK_LAYOUT_A.first_name_offset + 3};
    for (int i = 1; i <= 24; ++i) {
        cuts.push_back(RPK_LAYOUT_A.first_name_offset - 0x800 +
                       (names_end - RPK_LAYOUT_A.first_name_offset + 0x800) * i / 25);
    }
    cuts.push_back(names_end - 1);
    for (std::uint64_t cut : cuts) {
        write_file(f.exe(), Bytes(f.game.executable.begin(),
                                  f.game.executable.begin() + static_cast<std::ptrdiff_t>(cut)));
        const RunResult r = f.run("korvane-a", {f.exe(), f.archive()});
        EXPECT_EQ(r.status, FAILURE_STATUS) << "cut at " << cut;
        EXPECT_EQ(r.err.rfind("Error: " + f.exe() + ": ", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "") << "cut at " << cut;
        EXPECT_TRUE(read_tree(f.work()).empty()) << "cut at " << cut;
    }
}

// An extraction interrupted halfway leaves only complete files, no
// temporary or partial one, and says so.
TEST(KorvaneSafety, AnInterruptedExtractionLeavesOnlyCompleteFiles) {
    GameFixture f(options_for(RPK_LAYOUT_A, FPACK_LAYOUT_A, true));
    const RunResult r =
        run_and_interrupt(tool_path("korvane-a"), {f.exe(), f.archive()}, f.work(), SIGINT);
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err, interrupted_message(SIGINT));
    const std::map<std::string, Bytes> tree = read_tree(f.work());
    std::size_t files = 0;
    for (const auto& [path, data] : tree) {
        if (!path.ends_with("/")) {
            ++files;
            ASSERT_TRUE(f.game.extracted.contains(path)) << "stray file " << path;
            EXPECT_EQ(data, f.game.extracted.at(path)) << path;
        }
    }
    // The writers may have run ahead of the blocked listing, even to the end.
    EXPECT_GT(files, 0u);
}

// A listing that cannot be written (a full disk) is a failure, not a success.
#ifndef _WIN32
TEST(KorvaneSafety, AListingThatCannotBeWrittenIsAnError) {
    GameFixture f(options_for(RPK_LAYOUT_B, FPACK_LAYOUT_A, false));
    RunOptions options;
    options.stdout_path = "/dev/full";
    const RunResult r =
        run_program(tool_path("korvane-b"), {f.exe(), f.archive()}, f.work(), options);
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err,
              "Error: standard output: could not write the listing (No space left on device)\n");
}
#else
SKIPPED_ON_WINDOWS(KorvaneSafety, AListingThatCannotBeWrittenIsAnError,
                   "/dev/full; Windows has no device that reports a full disk "
                   "(KorvaneSafety.AListingIntoAClosedPipeIsAnError)")
#endif

// A listing whose reader has gone away (a pipe into a program that ended) is
// a failure too, on every system.
TEST(KorvaneSafety, AListingIntoAClosedPipeIsAnError) {
    GameFixture f(options_for(RPK_LAYOUT_A, FPACK_LAYOUT_A, false));
    RunOptions options;
    options.stdout_closed_pipe = true;
    const RunResult r =
        run_program(tool_path("korvane-a"), {f.exe(), f.archive()}, f.work(), options);
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err, "Error: standard output: could not write the listing (Broken pipe)\n");
}

// What stands in the tree is judged before the first file is written.
TEST(KorvaneSafety, AFolderWhereAFileGoesIsRefusedBeforeAnythingIsWritten) {
    GameFixture f(options_for(RPK_LAYOUT_A, FPACK_LAYOUT_B, true));
    const SampleEntry& last = f.game.entries.back();
    fs::create_directories(f.work() + "/" + host_path(last.name));
    const RunResult r = f.run("korvane-a", {f.exe(), f.archive()});
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err, "Error: " + host_path(last.name) + ": a folder stands where entry " +
                         std::to_string(f.game.entries.size() - 1) + " (\"" + last.name +
                         "\") is to be written; nothing was written\n");
    EXPECT_EQ(r.out, "");
    for (const auto& [path, data] : read_tree(f.work())) {
        EXPECT_TRUE(path.ends_with("/")) << "written: " << path;
    }
}
