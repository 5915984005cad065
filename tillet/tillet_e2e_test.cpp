// Runs the built tillet-a and tillet-b after korvane on generated games and
// compares their listings, the fpack_extract/ tree, messages and exit status
// byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/byte_reader.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "sectors/sector_table.h"
#include "testing/layouts.h"
#include "testing/test_support.h"
#include "tools/sample_game.h"

namespace fs = std::filesystem;

namespace {

const std::string USAGE_TAIL =
    " <SLUS_217.88 etc> [output.elf]\n\nThis expects to find fpack/*.fp which come from "
    "RPK.BIN.\n\n";

std::string tillet_for(const FpackLayout& layout) {
    return layout.label == 'A' ? "tillet-a" : "tillet-b";
}
std::string korvane_for(const RpkLayout& layout) {
    return layout.label == 'A' ? "korvane-a" : "korvane-b";
}

// The listing lines, formatted here from the model rather than taken from it.
std::string pack_line(const SamplePack& pack) {
    char count[16];
    std::snprintf(count, sizeof count, "0x%08X", static_cast<unsigned>(pack.members.size()));
    return std::string(count) + " [" + pack.name + "] \n";
}
std::string member_line(const SampleMember& member) {
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, "0x%08X  0x%08X", member.sector, member.length);
    return "\t " + std::string(numbers) + " [" + member.name + "]\n";
}

// What tillet prints before it stops at member `members` of pack `pack`
// (that member's line included), or in full when `pack` is past the last.
std::string listing_until(const SampleGame& game, std::size_t pack, std::size_t members = 0) {
    std::string out;
    for (std::size_t p = 0; p < game.packs.size() && p <= pack; ++p) {
        out += pack_line(game.packs[p]);
        const std::size_t lines = p < pack ? game.packs[p].members.size() : members;
        for (std::size_t m = 0; m < lines; ++m) {
            out += member_line(game.packs[p].members[m]);
        }
    }
    return out;
}

// The files tillet has written below fpack_extract/ once it has finished the
// packs before `pack` and the first `members` members of `pack`, each cut out
// of its pack file as korvane extracted it.
std::map<std::string, Bytes> members_until(const SampleGame& game, std::size_t pack,
                                           std::size_t members = 0) {
    std::map<std::string, Bytes> files;
    for (std::size_t p = 0; p < game.packs.size() && p <= pack; ++p) {
        const SamplePack& sp = game.packs[p];
        const SampleBytes& file = game.extracted.at(host_path(sp.name));
        const std::size_t count = p < pack ? sp.members.size() : members;
        for (std::size_t m = 0; m < count; ++m) {
            const SampleMember& member = sp.members[m];
            const std::uint64_t start = sector_offset(member.sector);
            EXPECT_LE(start + member.length, file.size()) << sp.name << " " << member.name;
            const auto begin = file.begin() + static_cast<std::ptrdiff_t>(start);
            files["fpack_extract/" + host_path(member.name)] = Bytes(begin, begin + member.length);
        }
    }
    return files;
}

// A tree as read_tree shows it: every file, and every folder leading to one.
void add_with_folders(std::map<std::string, Bytes>* tree,
                      const std::map<std::string, SampleBytes>& files) {
    for (const auto& [path, data] : files) {
        (*tree)[path] = data;
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            (*tree)[path.substr(0, slash + 1)] = {};
        }
    }
}

// A generated game in <tmp>/game, extracted by korvane into <tmp>/work.
struct ExtractedGame {
    explicit ExtractedGame(const RpkLayout& rpk, const FpackLayout& fpack, std::uint64_t seed = 5)
        : game(make_sample_game(options(rpk, fpack, seed))) {
        fs::create_directory(tmp / "game");
        fs::create_directory(tmp / "work");
        std::string err;
        EXPECT_TRUE(write_sample_game(game, tmp / "game", &err)) << err;
        const RunResult r =
            run_program(tool_path(korvane_for(rpk)), {exe(), tmp / "game/RPK.BIN"}, work());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
    static SampleOptions options(const RpkLayout& rpk, const FpackLayout& fpack,
                                 std::uint64_t seed) {
        SampleOptions o;
        o.rpk_layout = rpk;
        o.fpack_layout = fpack;
        o.seed = seed;
        return o;
    }
    std::string exe() const { return tmp / "game/SLUS_217.88"; }
    std::string work() const { return tmp / "work"; }
    RunResult tillet(const std::string& program, const std::vector<std::string>& args) const {
        return run_program(tool_path(program), args, work());
    }
    /// The work folder as korvane left it plus `members` below fpack_extract/.
    std::map<std::string, Bytes> tree_with(const std::map<std::string, Bytes>& members) const {
        std::map<std::string, Bytes> tree;
        add_with_folders(&tree, game.extracted);
        add_with_folders(&tree, members);
        return tree;
    }

    TempDir tmp;
    SampleGame game;
};

class TilletLayouts : public ::testing::TestWithParam<LayoutCombination> {};

INSTANTIATE_TEST_SUITE_P(AllCombinations, TilletLayouts,
                         ::testing::ValuesIn(layouts_to_test()),
                         [](const auto& test_info) { return combination_name(test_info.param); });

// Patches one 32-bit field of the directory as the executable stores it.
struct DirectoryPatcher {
    Bytes& exe;
    const FpackLayout& layout;
    std::uint64_t entry(std::size_t pack) const { return layout.directory_offset + pack * 12; }
    std::uint32_t field(std::size_t pack, int index) const {
        return *read_le32(exe, entry(pack) + 4 * static_cast<unsigned>(index));
    }
    std::uint64_t offset_of(std::uint32_t address) const { return address - layout.address_bias; }
};

}  // namespace

TEST_P(TilletLayouts, ExtractsEveryMemberOfEveryPack) {
    const LayoutCombination c = GetParam();
    ExtractedGame g(c.rpk, c.fpack);
    ASSERT_EQ(g.game.packs.size(), 905u);
    const RunResult r = g.tillet(tillet_for(c.fpack), {g.exe()});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, listing_until(g.game, g.game.packs.size()));
    EXPECT_EQ(r.out, g.game.tillet_listing());
    const std::map<std::string, Bytes> members = members_until(g.game, g.game.packs.size());
    EXPECT_EQ(members.size(), g.game.fpack_extracted.size());
    EXPECT_EQ(read_tree(g.work()), g.tree_with(members));

    // A second run replaces every member with the same bytes.
    const RunResult again = g.tillet(tillet_for(c.fpack), {g.exe()});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(read_tree(g.work()), g.tree_with(members));
}

TEST_P(TilletLayouts, TheOtherLayoutsBuildIsRefusedWithNothingWritten) {
    const LayoutCombination c = GetParam();
    ExtractedGame g(c.rpk, c.fpack);
    const std::string wrong = c.fpack.label == 'A' ? "tillet-b" : "tillet-a";
    const RunResult r = g.tillet(wrong, {g.exe()});
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Error: " + g.exe() + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(" (pack "), std::string::npos) << "where in the directory" << r.err;
    const std::string hint = "; is this the executable for " + tillet_for(c.fpack) + "?\n";
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), hint.size())), hint) << r.err;
    EXPECT_EQ(read_tree(g.work()), g.tree_with({}));
}

TEST(TilletCommandLine, WrongArgumentCountsPrintBannerAndUsage) {
    TempDir work;
    for (const std::string build : {"tillet-a", "tillet-b"}) {
        const std::string program = tool_path(build);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{}, {"a", "b", "c"}, {"a", "b", "c", "d"}}) {
            const RunResult r = run_program(program, args, work.path());
            EXPECT_EQ(r.err, "korvane v1.0\n\nusage: " + program + USAGE_TAIL) << args.size();
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.status, FAILURE_STATUS);
        }
    }
    EXPECT_TRUE(read_tree(work.path()).empty());
}

TEST(TilletCommandLine, MissingExecutable) {
    TempDir work;
    const RunResult r = run_program(tool_path("tillet-a"), {"nope.elf"}, work.path());
    EXPECT_EQ(r.err, "Could not open nope.elf (No such file or directory)\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_TRUE(read_tree(work.path()).empty());
}

TEST(TilletFailures, MissingPackStopsTheRunBeforeAnythingIsWritten) {
    ExtractedGame g(RPK_LAYOUT_A, FPACK_LAYOUT_B);
    // A pack stored with '\' in the directory, so the message shows the host path.
    std::size_t k = 10;
    while (g.game.packs[k].name.find('\\') == std::string::npos) {
        ++k;
    }
    const std::string path = host_path(g.game.packs[k].name);
    ASSERT_TRUE(fs::remove(g.work() + "/" + path));
    const RunResult r = g.tillet("tillet-b", {g.exe()});
    EXPECT_EQ(r.err, "Could not open " + path + " (No such file or directory)\n");
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.out, "");
    std::map<std::string, Bytes> tree = g.tree_with({});
    tree.erase(path);
    EXPECT_EQ(read_tree(g.work()), tree);
}

TEST(TilletFailures, MemberPastTheEndOfItsPackIsRefused) {
    ExtractedGame g(RPK_LAYOUT_B, FPACK_LAYOUT_A);
    // A pack whose file ends exactly where its last member's data ends,
    // shortened by one byte.
    std::size_t k = 20;
    std::uint64_t end = 0;
    for (;; ++k) {
        ASSERT_LT(k, g.game.packs.size());
        end = 0;
        for (const SampleMember& m : g.game.packs[k].members) {
            end = std::max<std::uint64_t>(end, sector_offset(m.sector) + m.length);
        }
        if (end > 0 && end == g.game.extracted.at(host_path(g.game.packs[k].name)).size()) {
            break;
        }
    }
    const std::string path = host_path(g.game.packs[k].name);
    fs::resize_file(g.work() + "/" + path, end - 1);
    std::size_t j = 0;
    while (sector_offset(g.game.packs[k].members[j].sector) + g.game.packs[k].members[j].length <
           end) {
        ++j;
    }
    const SampleMember& bad = g.game.packs[k].members[j];
    char detail[64];
    std::snprintf(detail, sizeof detail, "%u bytes at offset 0x%llX", bad.length,
                  static_cast<unsigned long long>(sector_offset(bad.sector)));

    // Every range of every pack is checked before the first member is written.
    const RunResult r = g.tillet("tillet-a", {g.exe()});
    EXPECT_EQ(r.err, "Error: " + path + ": the data of pack " + std::to_string(k) + ", member " +
                         std::to_string(j) + " (\"" + bad.name + "\", " + detail +
                         ") reaches past the end of the file (" + std::to_string(end - 1) +
                         " bytes); nothing was written\n");
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.out, "");
    std::map<std::string, Bytes> tree = g.tree_with({});
    Bytes& shortened = tree[path];
    shortened.pop_back();
    EXPECT_EQ(read_tree(g.work()), tree);
}

TEST(TilletFailures, TruncatedExecutableIsRefusedWithNothingWritten) {
    ExtractedGame g(RPK_LAYOUT_A, FPACK_LAYOUT_A);
    const FpackLayout& l = FPACK_LAYOUT_A;
    Bytes exe = g.game.executable;
    const DirectoryPatcher d{exe, l};
    const std::uint64_t name0 = d.offset_of(d.field(0, 0));
    const std::uint64_t table_end = l.directory_offset + 905 * 12;
    struct Cut {
        std::uint64_t size;
        std::string message;  // the start of the error, after the file name
    };
    const std::vector<Cut> cuts = {
        {0, "the directory entry lies outside the image (0 bytes) (pack 0, offset 0x2A8038)\n"},
        {l.directory_offset + 5, "the directory entry lies outside the image"},
        {l.directory_offset + 700 * 12 + 11,
         "the directory entry lies outside the image (2793747 bytes) (pack 700, offset "
         "0x2AA108)"},
        {table_end, "name address"},
        {name0 + 2, "the name has no zero terminator within 4096 bytes inside the image"},
    };
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.size);
        write_file(g.exe(),
                   Bytes(exe.begin(), exe.begin() + static_cast<std::ptrdiff_t>(cut.size)));
        const RunResult r = g.tillet("tillet-a", {g.exe()});
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("Error: " + g.exe() + ": " + cut.message, 0), 0u) << r.err;
        EXPECT_EQ(read_tree(g.work()), g.tree_with({}));
    }
}

TEST(TilletFailures, DamageInTheLastPackStopsTheRunBeforeAnythingIsWritten) {
    const FpackLayout& l = FPACK_LAYOUT_B;
    ExtractedGame g(RPK_LAYOUT_B, l);
    std::size_t k = g.game.packs.size() - 1;
    while (g.game.packs[k].members.empty()) {
        --k;
    }
    const SamplePack& pack = g.game.packs[k];
    const std::string pack_where = "pack " + std::to_string(k);
    struct Damage {
        const char* what;
        std::function<void(DirectoryPatcher&)> apply;
        std::string message;  // after "Error: <exe>: "
    };
    const std::vector<Damage> damages = {
        {"absolute member name",
         [k](DirectoryPatcher& d) {
             const std::uint64_t table = d.offset_of(d.field(k, 1));
             d.exe[d.offset_of(*read_le32(d.exe, table))] = '/';
         },
         "the member has an unsafe name \"/" + pack.members[0].name.substr(1) +
             "\" (absolute path); nothing was written (" + pack_where + ", member 0, offset 0x"},
        {"'..' as pack name",
         [k](DirectoryPatcher& d) {
             const std::uint64_t name = d.offset_of(d.field(k, 0));
             d.exe[name] = '.';
             d.exe[name + 1] = '.';
             d.exe[name + 2] = 0;
         },
         "the pack has an unsafe name \"..\" ('..' component); nothing was written (" + pack_where +
             ", offset 0x"},
        {"member table outside the image",
         [k](DirectoryPatcher& d) { write_le32(d.exe, d.entry(k) + 4, 0xFFFFFF00); },
         "the member table of " + std::to_string(pack.members.size()) +
             " entries at address 0xFFFFFF00 runs outside the image"},
        {"huge member count",
         [k](DirectoryPatcher& d) { write_le32(d.exe, d.entry(k) + 8, 0xFFFFFFFF); },
         "the member table of 4294967295 entries"},
        {"member name below the bias",
         [k](DirectoryPatcher& d) { write_le32(d.exe, d.offset_of(d.field(k, 1)), 0x1234); },
         "name address 0x00001234 lies below the address bias"},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        Bytes exe = g.game.executable;
        DirectoryPatcher d{exe, l};
        damage.apply(d);
        write_file(g.exe(), exe);
        const RunResult r = g.tillet("tillet-b", {g.exe()});
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("Error: " + g.exe() + ": " + damage.message, 0), 0u) << r.err;
        EXPECT_EQ(read_tree(g.work()), g.tree_with({}));
    }
}

TEST(TilletFailures, AFileWhereTheOutputFolderGoesIsRefusedFirst) {
    ExtractedGame g(RPK_LAYOUT_A, FPACK_LAYOUT_A);
    // A file where the output folder belongs.
    write_file(g.work() + "/fpack_extract", bytes_of("in the way"));
    std::size_t k = 0;
    while (g.game.packs[k].members.empty()) {
        ++k;
    }
    const RunResult r = g.tillet("tillet-a", {g.exe()});
    EXPECT_EQ(r.err, "Error: fpack_extract: pack " + std::to_string(k) + ", member 0 (\"" +
                         g.game.packs[k].members[0].name +
                         "\") needs this as a folder, but a file stands there; nothing was "
                         "written\n");
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.out, "");
    std::map<std::string, Bytes> tree = g.tree_with({});
    tree["fpack_extract"] = bytes_of("in the way");
    EXPECT_EQ(read_tree(g.work()), tree);
}
