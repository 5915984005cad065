// tillet's rebuild mode end to end: a generated game is extracted by korvane
// and tillet, members are edited, and the built programs put them back. The
// packs, the executable, the listing and a re-extraction are compared byte
// for byte with what the test works out on its own from the files.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_reader.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/text.h"
#include "sectors/sector_io.h"
#include "testing/test_support.h"
#include "tillet/fpack_dir.h"
#include "tools/sample_game.h"

namespace fs = std::filesystem;

namespace {

std::string tillet_for(const FpackLayout& layout) {
    return layout.label == 'A' ? "tillet-a" : "tillet-b";
}
std::string korvane_for(const RpkLayout& layout) {
    return layout.label == 'A' ? "korvane-a" : "korvane-b";
}

Bytes slice(const Bytes& data, std::uint64_t offset, std::uint64_t length) {
    const auto begin = data.begin() + static_cast<std::ptrdiff_t>(offset);
    return Bytes(begin, begin + static_cast<std::ptrdiff_t>(length));
}

// A member record as the executable stores it, read here without the tool's walk.
struct Record {
    std::uint64_t offset;  // of the record
    std::string name;
    std::uint32_t sector, length;
};

struct PackEntry {
    std::string name;
    std::vector<Record> members;
};

std::vector<PackEntry> read_packs(const Bytes& exe, const FpackLayout& layout) {
    auto name_at = [&](std::uint32_t address) {
        return std::string(read_cstring(exe, address - layout.address_bias).value());
    };
    std::vector<PackEntry> packs;
    for (std::uint32_t p = 0; p < layout.pack_count; ++p) {
        const std::uint64_t entry = layout.directory_offset + 12 * p;
        PackEntry pack{name_at(*read_le32(exe, entry)), {}};
        const std::uint64_t table = *read_le32(exe, entry + 4) - std::uint64_t{layout.address_bias};
        for (std::uint32_t m = 0; m < *read_le32(exe, entry + 8); ++m) {
            const std::uint64_t at = table + 12 * m;
            pack.members.push_back({at, name_at(*read_le32(exe, at)), *read_le32(exe, at + 4),
                                    *read_le32(exe, at + 8)});
        }
        packs.push_back(std::move(pack));
    }
    return packs;
}

// What a rebuild must make of the tree in `work` with the executable `exe`:
// a pack any of whose member files differs from its data is written anew
// (members in table order from sector 0, zero fill) and its records patched;
// every other pack and record stays. Also the listing, marks included.
struct Expected {
    std::vector<std::size_t> rebuilt;
    std::map<std::string, Bytes> packs;  // by path below `work`
    Bytes executable;
    std::string listing;
};

Expected expect_rebuild(const std::string& work, const Bytes& exe, const FpackLayout& layout) {
    Expected e;
    e.executable = exe;
    char line[64];
    const std::vector<PackEntry> packs = read_packs(exe, layout);
    for (std::size_t p = 0; p < packs.size(); ++p) {
        const PackEntry& pack = packs[p];
        const std::string path = host_path(pack.name);
        const Bytes old = read_file(work + "/" + path);
        std::snprintf(line, sizeof line, "0x%08X [", static_cast<unsigned>(pack.members.size()));
        e.listing += line + pack.name + "] \n";
        Bytes rebuilt;
        Bytes patched = e.executable;
        bool changed = false;
        for (const Record& m : pack.members) {
            std::snprintf(line, sizeof line, "\t 0x%08X  0x%08X [", m.sector, m.length);
            e.listing += line + m.name + "]\n";
            const Bytes file = read_file(work + "/fpack_extract/" + host_path(m.name));
            changed |= file != slice(old, sector_offset(m.sector), m.length);
            write_le32(patched, m.offset + 4, static_cast<std::uint32_t>(rebuilt.size() / 2048));
            write_le32(patched, m.offset + 8, static_cast<std::uint32_t>(file.size()));
            rebuilt.insert(rebuilt.end(), file.begin(), file.end());
            rebuilt.resize(round_up_to_sector(rebuilt.size()), 0);
        }
        e.listing += changed ? "\t=> rebuilt\n" : "\t=> kept\n";
        e.packs[path] = changed ? rebuilt : old;
        if (changed) {
            e.rebuilt.push_back(p);
            e.executable = patched;
        }
    }
    return e;
}

// A generated game in <tmp>/game, extracted by korvane and tillet into <tmp>/work.
struct Workspace {
    Workspace(const LayoutCombination& c, std::uint64_t seed,
              const std::function<void(SampleGame&)>& adjust = {})
        : layouts(c) {
        SampleOptions options;
        options.rpk_layout = c.rpk;
        options.fpack_layout = c.fpack;
        options.seed = seed;
        game = make_sample_game(options);
        if (adjust) {
            adjust(game);
        }
        fs::create_directory(tmp / "game");
        fs::create_directory(work());
        std::string err;
        EXPECT_TRUE(write_sample_game(game, tmp / "game", &err)) << err;
        RunResult r =
            run_program(tool_path(korvane_for(c.rpk)), {exe(), tmp / "game/RPK.BIN"}, work());
        EXPECT_EQ(r.status, 0) << r.err;
        r = tillet({exe()});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    std::string exe() const { return tmp / "game/SLUS_217.88"; }
    std::string work() const { return tmp / "work"; }
    RunResult tillet(const std::vector<std::string>& args,
                     const RunOptions& options = RunOptions{}) const {
        return run_program(tool_path(tillet_for(layouts.fpack)), args, work(), options);
    }
    std::string member(std::size_t pack, std::size_t m) const {
        return work() + "/fpack_extract/" + host_path(game.packs[pack].members[m].name);
    }
    std::string pack(std::size_t p) const { return work() + "/" + host_path(game.packs[p].name); }
    Expected expected(const std::string& exe_path) const {
        return expect_rebuild(work(), read_file(exe_path), layouts.fpack);
    }

    LayoutCombination layouts;
    TempDir tmp;
    SampleGame game;
};

// The first pack from `from` on with a member that `fits`; gives its member number.
std::size_t find_pack(const SampleGame& game, std::size_t from,
                      const std::function<bool(const SampleMember&)>& fits, std::size_t* member) {
    for (std::size_t p = from; p < game.packs.size(); ++p) {
        for (std::size_t m = 0; m < game.packs[p].members.size(); ++m) {
            if (fits(game.packs[p].members[m])) {
                *member = m;
                return p;
            }
        }
    }
    ADD_FAILURE() << "no such member from pack " << from;
    return 0;
}

Bytes patterned(std::size_t size, std::uint8_t seed) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(seed + i * 31 + i / 251);
    }
    return data;
}

// What identifies the state of each file and folder below `root`: a file
// that is replaced gets another inode, one changed in place another time,
// and files left behind show up as new paths. Cheaper than reading every
// file of a tree again. The member files below fpack_extract/ are only ever
// read by a rebuild; their thousands of folders are not walked.
struct Stamp {
    FileId id;
    std::uint64_t size;
    fs::file_time_type mtime;
    bool operator==(const Stamp&) const = default;
};

std::map<std::string, Stamp> stamps(const std::string& root) {
    std::map<std::string, Stamp> out;
    for (auto entry = fs::recursive_directory_iterator(root);
         entry != fs::recursive_directory_iterator(); ++entry) {
        if (entry->path().filename() == "fpack_extract") {
            entry.disable_recursion_pending();
        }
        const std::string path = entry->path().string();
        FileStatus status;
        std::string err;
        EXPECT_TRUE(file_status(path, &status, &err, false)) << err;
        // A folder's size and time change with the names in it, which the
        // paths show.
        const bool folder = status.kind == FileKind::directory;
        std::error_code ec;
        out[entry->path().lexically_relative(root).generic_string()] = {
            status.id, folder ? 0 : status.size,
            folder ? fs::file_time_type{} : fs::last_write_time(entry->path(), ec)};
    }
    return out;
}

class TilletRebuild : public ::testing::TestWithParam<LayoutCombination> {};

INSTANTIATE_TEST_SUITE_P(BothBuilds, TilletRebuild,
                         ::testing::Values(LayoutCombination{RPK_LAYOUT_A, FPACK_LAYOUT_B},
                                           LayoutCombination{RPK_LAYOUT_B, FPACK_LAYOUT_A}),
                         [](const auto& test_info) { return combination_name(test_info.param); });

}  // namespace

// The modder's whole order: extract, edit, rebuild the packs, rebuild the
// archive from the new executable, and find the edits in a fresh extraction.
TEST_P(TilletRebuild, EditedMembersArriveAndEverythingElseStays) {
    // Two members of one pack share a name (their data differ): both get
    // the file's content, so that pack is rebuilt without an edit.
    std::size_t twin_pack = 0;
    Workspace w(GetParam(), 7, [&](SampleGame& game) {
        const FpackLayout& layout = game.options.fpack_layout;
        std::size_t ignored = 0;
        twin_pack = find_pack(
            game, 3, [&](const SampleMember&) { return true; }, &ignored);
        while (game.packs[twin_pack].members.size() < 2 ||
               game.packs[twin_pack].members[1].length == 0) {
            ++twin_pack;
        }
        const std::uint64_t table =
            *read_le32(game.executable, layout.directory_offset + 12 * twin_pack + 4) -
            layout.address_bias;
        write_le32(game.executable, table + 12, *read_le32(game.executable, table));
        game.packs[twin_pack].members[1].name = game.packs[twin_pack].members[0].name;
    });
    const SampleGame& game = w.game;
    std::size_t grown = 0, shrunk = 0, flipped = 0;
    // Grow one past a sector boundary, empty one of the pack of 40, change a
    // byte of a third without changing its size; leave the rest.
    const std::size_t grow_pack = find_pack(
        game, twin_pack + 1, [](const SampleMember& m) { return m.length > 0 && m.length < 2000; },
        &grown);
    const std::size_t shrink_pack = find_pack(
        game, 42, [](const SampleMember& m) { return m.length > 0; }, &shrunk);
    ASSERT_EQ(shrink_pack, 42u);
    const std::size_t flip_pack = find_pack(
        game, 600, [](const SampleMember& m) { return m.length > 10; }, &flipped);
    write_file(w.member(grow_pack, grown), patterned(2048 + 777, 1));
    write_file(w.member(shrink_pack, shrunk), {});
    Bytes changed = read_file(w.member(flip_pack, flipped));
    changed[changed.size() / 2] ^= 0x10;
    write_file(w.member(flip_pack, flipped), changed);

    const std::map<std::string, Stamp> edited = stamps(w.work());
    const Expected want = w.expected(w.exe());
    EXPECT_EQ(want.rebuilt, (std::vector<std::size_t>{twin_pack, grow_pack, 42, flip_pack}));

    RunResult r = w.tillet({w.exe(), "NEW.ELF"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, want.listing);
    // Rebuilt packs are exactly the canonical layout of their members, the
    // new executable differs only in their records, and every other file
    // stays as it was: kept packs and member files are not even rewritten,
    // and nothing is left beside them.
    for (const auto& [path, bytes] : want.packs) {
        EXPECT_TRUE(read_file(w.work() + "/" + path) == bytes) << path;
    }
    EXPECT_TRUE(read_file(w.work() + "/NEW.ELF") == want.executable);
    EXPECT_EQ(read_file(w.exe()), game.executable);
    std::map<std::string, Stamp> after = stamps(w.work());
    ASSERT_EQ(after.erase("NEW.ELF"), 1u);
    std::size_t replaced = 0;
    for (const auto& [path, stamp] : edited) {
        const auto now = after.find(path);
        ASSERT_NE(now, after.end()) << path;
        replaced += now->second.id != stamp.id;
        if (!want.packs.contains(path)) {
            EXPECT_TRUE(now->second == stamp) << path;
        }
    }
    EXPECT_EQ(replaced, want.rebuilt.size());
    EXPECT_EQ(after.size(), edited.size()) << "no file is left beside the packs";

    // A rebuild with nothing edited, in place, touches nothing at all.
    const Expected none = w.expected(w.work() + "/NEW.ELF");
    EXPECT_TRUE(none.rebuilt.empty());
    const std::map<std::string, Stamp> rebuilt = stamps(w.work());
    r = w.tillet({"NEW.ELF", "NEW.ELF"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, none.listing);
    EXPECT_TRUE(stamps(w.work()) == rebuilt);

    // korvane packs the new packs into a new archive; a fresh extraction of
    // it and of its packs with the new executables holds every edit.
    r = run_program(tool_path(korvane_for(game.options.rpk_layout)),
                    {"NEW.ELF", w.tmp / "game/RPK.BIN", "NEW2.ELF", "NEW.BIN"}, w.work());
    EXPECT_EQ(r.status, 0) << r.err;
    TempDir fresh;
    r = run_program(tool_path(korvane_for(game.options.rpk_layout)),
                    {w.work() + "/NEW2.ELF", w.work() + "/NEW.BIN"}, fresh.path());
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_program(tool_path(tillet_for(game.options.fpack_layout)), {w.work() + "/NEW2.ELF"},
                    fresh.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_tree(fresh / "fpack_extract") == read_tree(w.work() + "/fpack_extract"));
    EXPECT_EQ(read_file(fresh / "fpack_extract/" + host_path(game.packs[42].members[shrunk].name)),
              Bytes{});
}

// On canonical packs (as a rebuild writes them), packing every pack anew
// with the engine gives every pack and the executable back unchanged.
TEST(CanonicalPacks, AForcedRebuildOfEveryPackGivesThemBack) {
    // One layout: the packs do not depend on where the directory lies.
    const FpackLayout& layout = FPACK_LAYOUT_B;
    SampleOptions options;
    options.fpack_layout = layout;
    options.rpk_layout = RPK_LAYOUT_A;
    options.canonical = true;
    options.seed = 3;
    const SampleGame game = make_sample_game(options);
    TempDir tmp;
    FpackDirectory directory;
    std::string err;
    ASSERT_TRUE(read_fpack_directory(game.executable, layout, "SLUS_217.88", &directory, &err))
        << err;
    Bytes exe = game.executable;
    for (std::uint32_t p = 0; p < directory.packs.size(); ++p) {
        const FpackPack& pack = directory.packs[p];
        // The member files, where the rebuild reads them (here in one
        // folder: what matters is the packing).
        std::vector<PackJob> jobs;
        for (std::uint32_t m = 0; m < pack.members.size(); ++m) {
            const FpackMember& member = pack.members[m];
            jobs.push_back({tmp / (std::to_string(p) + "." + std::to_string(m)), member.offset,
                            fpack_place(p, m), member.name});
            write_file(jobs.back().path,
                       game.fpack_extracted.at("fpack_extract/" + host_path(member.name)));
        }
        std::vector<std::uint64_t> sizes;
        std::vector<PackPlacement> placements;
        std::uint64_t size = 0;
        ASSERT_TRUE(pack_file_sizes(jobs, &sizes, &err) &&
                    plan_packing(jobs, sizes, FPACK_PACK_RULES, &placements, &size, &err))
            << err;
        AtomicFile out;
        const std::string rebuilt = tmp / (std::to_string(p) + ".fp");
        ASSERT_TRUE(out.open(rebuilt, &err) &&
                    pack_files(
                        jobs, placements, size, out, [](std::size_t) {}, &err) &&
                    out.commit(false, &err))
            << err;
        EXPECT_TRUE(read_file(rebuilt) == game.extracted.at(host_path(pack.name))) << pack.name;
        patch_records(exe, jobs, placements);
    }
    EXPECT_TRUE(exe == game.executable);
}

// Whatever fails, before or while writing, every pack and the executable
// stay exactly as they were and nothing is left beside them.
TEST(TilletRebuildFailures, LeaveEveryPackAndTheExecutableAsTheyWere) {
    const LayoutCombination layouts{RPK_LAYOUT_B, FPACK_LAYOUT_A};
    Workspace w(layouts, 9);
    const SampleGame& game = w.game;
    const FpackLayout& layout = layouts.fpack;
    // Edits early and late in the table, so that a failure late in the run
    // meets new packs already written. The early pack has a member after
    // the edited one.
    std::size_t early_member = 0, late_member = 0;
    std::size_t early = 0;
    while (game.packs[early].members.size() < 2 || game.packs[early].members[0].length == 0) {
        ++early;
    }
    ASSERT_LT(early, 40u) << "listed before the pipe of the interruption fills";
    const std::size_t late = find_pack(
        game, 850, [](const SampleMember& m) { return m.length > 0; }, &late_member);
    write_file(w.member(early, early_member), patterned(100, 3));
    write_file(w.member(late, late_member), patterned(5000, 4));

    // The last member of the last pack with members, and a pack that ends
    // exactly where one of its members' data ends.
    std::size_t last = game.packs.size() - 1;
    while (game.packs[last].members.empty()) {
        --last;
    }
    const SampleMember& last_member = game.packs[last].members.back();
    const std::string last_path = "fpack_extract/" + host_path(last_member.name);
    const std::string last_place = "pack " + std::to_string(last) + ", member " +
                                   std::to_string(game.packs[last].members.size() - 1) + " (\"" +
                                   last_member.name + "\")";
    std::size_t short_pack = 100, short_member = 0;
    for (;; ++short_pack) {
        const Bytes& file = game.extracted.at(host_path(game.packs[short_pack].name));
        const auto& members = game.packs[short_pack].members;
        auto end = std::find_if(members.begin(), members.end(), [&](const SampleMember& m) {
            return m.length > 0 && sector_offset(m.sector) + m.length == file.size();
        });
        if (end != members.end()) {
            short_member = static_cast<std::size_t>(end - members.begin());
            break;
        }
    }
    const SampleMember& cut = game.packs[short_pack].members[short_member];
    const std::string short_path = host_path(game.packs[short_pack].name);
    const std::uint64_t short_size = sector_offset(cut.sector) + cut.length - 1;

    // The early pack's last record, read as the member table of a pack
    // without members, whose file becomes a copy of the early pack's: the
    // two tables overlap, and the early pack is rebuilt.
    std::size_t empty = 0;
    while (!game.packs[empty].members.empty()) {
        ++empty;
    }
    const std::uint64_t early_table =
        *read_le32(game.executable, layout.directory_offset + 12 * early + 4) - layout.address_bias;
    const std::uint64_t early_count = game.packs[early].members.size();
    const std::uint64_t shared_record = early_table + 12 * (early_count - 1);
    Bytes overlapping = game.executable;
    write_le32(overlapping, layout.directory_offset + 12 * empty + 4,
               static_cast<std::uint32_t>(shared_record + layout.address_bias));
    write_le32(overlapping, layout.directory_offset + 12 * empty + 8, 1);
    // The same pack without members reading the early pack's file, through a
    // copy of that record appended to the executable.
    Bytes sharing = game.executable;
    write_le32(sharing, layout.directory_offset + 12 * empty,
               *read_le32(game.executable, layout.directory_offset + 12 * early));
    write_le32(sharing, layout.directory_offset + 12 * empty + 4,
               static_cast<std::uint32_t>(sharing.size() + layout.address_bias));
    write_le32(sharing, layout.directory_offset + 12 * empty + 8, 1);
    sharing.insert(sharing.end(),
                   game.executable.begin() + static_cast<std::ptrdiff_t>(shared_record),
                   game.executable.begin() + static_cast<std::ptrdiff_t>(shared_record + 12));
    const std::string early_path = host_path(game.packs[early].name);
    const std::string empty_path = host_path(game.packs[empty].name);

    const std::string exe = w.exe();
    struct Case {
        const char* what;
        std::function<bool()> set_up;  // false: the system cannot do it; skipped
        std::function<void()> undo;
        std::vector<std::string> args;
        std::string err;  // the whole message; "(?)" stands for any reason the system gives
        bool listed = false;
        RunOptions options = RunOptions{};
    };
    std::optional<UnreplaceableFile> locked;
    const std::vector<Case> cases = {
        {"a missing member file",
         [&] { return fs::remove(w.work() + "/" + last_path); },
         [&] { write_file(w.work() + "/" + last_path, game.fpack_extracted.at(last_path)); },
         {exe, exe},
         "Could not open " + last_path + " (No such file or directory)\n"},
        {"a member file that is a folder",
         [&] {
             fs::remove(w.work() + "/" + last_path);
             return fs::create_directory(w.work() + "/" + last_path);
         },
         [&] {
             fs::remove(w.work() + "/" + last_path);
             write_file(w.work() + "/" + last_path, game.fpack_extracted.at(last_path));
         },
         {exe, exe},
         "Error: " + last_path + ": is a folder, not a file to pack as " + last_place + "\n"},
        {"a member of 4 GiB",
         [&] {
             fs::resize_file(w.work() + "/" + last_path, 0x100000000ull);
             return true;
         },
         [&] { write_file(w.work() + "/" + last_path, game.fpack_extracted.at(last_path)); },
         {exe, exe},
         "Error: " + last_path + ": 4294967296 bytes are too many for " + last_place +
             ": the table holds lengths up to 4294967295 bytes; nothing was written\n"},
        {"a member past the end of its pack",
         [&] {
             fs::resize_file(w.work() + "/" + short_path, short_size);
             return true;
         },
         [&] { write_file(w.work() + "/" + short_path, game.extracted.at(short_path)); },
         {exe, exe},
         "Error: " + short_path + ": the data of pack " + std::to_string(short_pack) + ", member " +
             std::to_string(short_member) + " (\"" + cut.name + "\", " +
             std::to_string(cut.length) + " bytes at offset " + hex(sector_offset(cut.sector)) +
             ") reaches past the end of the file (" + std::to_string(short_size) +
             " bytes); nothing was written\n"},
        {"overlapping member tables",
         [&] {
             write_file(exe, overlapping);
             write_file(w.work() + "/" + empty_path, read_file(w.work() + "/" + early_path));
             return true;
         },
         [&] {
             write_file(exe, game.executable);
             write_file(w.work() + "/" + empty_path, game.extracted.at(empty_path));
         },
         {exe, exe},
         "Error: " + exe + ": the member table of pack " + std::to_string(early) +
             ", which this rebuild patches, overlaps the member table of pack " +
             std::to_string(empty) +
             " in the executable, so patching it would change that too; nothing was written "
             "(offset " +
             hex(early_table) + ", " + std::to_string(12 * early_count) + " bytes; offset " +
             hex(shared_record) + ", 12 bytes)\n"},
        {"two packs reading one file",
         [&] {
             write_file(exe, sharing);
             return true;
         },
         [&] { write_file(exe, game.executable); },
         {exe, exe},
         "Error: " + early_path + ": pack " + std::to_string(early) +
             " is to be rebuilt, but pack " + std::to_string(empty) + " (" + early_path +
             ") reads the same file, and its members would be lost; nothing was written\n"},
        {"the output is a pack",
         [] { return true; },
         [] {},
         {exe, "./" + early_path},
         "Error: ./" + early_path + ": [output.elf] is the same file as pack " +
             std::to_string(early) + " (" + early_path + "); nothing was written\n"},
        // A member file named as the output: it holds an executable (an
        // overlay the game loads, say), so that only its role gives it away.
        {"the output is a member file",
         [&] {
             write_file(w.work() + "/" + last_path, game.executable);
             return true;
         },
         [&] { write_file(w.work() + "/" + last_path, game.fpack_extracted.at(last_path)); },
         {exe, last_path},
         "Error: " + last_path + ": [output.elf] is the file this rebuild reads for " + last_place +
             "; nothing was written\n"},
        {"the output is no executable",
         [] { return true; },
         [] {},
         {exe, w.tmp / "game/RPK.BIN"},
         "Error: " + (w.tmp / "game/RPK.BIN") +
             ": [output.elf] names an existing file that is not an ELF executable (it holds " +
             std::to_string(game.archive.size()) + " bytes starting with" +
             [&] {
                 std::string head;
                 for (std::size_t i = 0; i < 8; ++i) {
                     char byte[4];
                     std::snprintf(byte, sizeof byte, " %02X", game.archive[i]);
                     head += byte;
                 }
                 return head;
             }() +
             "), which the new executable would replace; nothing was written\n"},
        // A member file that is its own pack, which the rebuild would replace.
        {"a member file is the pack being rebuilt",
         [&] {
             fs::remove(w.work() + "/" + last_path);
             fs::create_hard_link(w.pack(last), w.work() + "/" + last_path);
             return true;
         },
         [&] {
             fs::remove(w.work() + "/" + last_path);
             write_file(w.work() + "/" + last_path, game.fpack_extracted.at(last_path));
         },
         {exe, exe},
         "Error: " + host_path(game.packs[last].name) + ": pack " + std::to_string(last) +
             " is the same file as " + last_path + ", the file this rebuild reads for " +
             last_place + "; nothing was written\n"},
        {"the output's folder is missing",
         [] { return true; },
         [] {},
         {exe, "missing/NEW.ELF"},
         "Could not open missing/NEW.ELF (No such file or directory)\n"},
        {"a full disk",  // a file-size limit stands in for it, on POSIX systems only
#ifdef _WIN32
         [] { return false; },
#else
         [] { return true; },
#endif
         [] {},
         {exe, exe},
         "Error: " + exe + ": could not write (File too large)\n",
         true,
         [] {
             RunOptions options;
             options.file_size_limit = 1 << 20;
             return options;
         }()},
        {"a folder of packs where no file can be made",
         [&] { return make_immutable(w.work() + "/fpack", true); },
         [&] { make_immutable(w.work() + "/fpack", false); },
         {exe, exe},
         "Error: " + early_path +
             ": could not create the temporary file beside it, in fpack, which replaces the file "
             "once complete (?)\n",
         early > 0},
        {"a pack that cannot be replaced",
         [&] { return locked.emplace(w.pack(late)).ok(); },
         [&] { locked.reset(); },
         {exe, exe},
         "Error: " + host_path(game.packs[late].name) +
             ": could not replace the file (?); nothing was replaced\n",
         true},
        {"an executable that cannot be replaced",
         [&] { return locked.emplace(exe).ok(); },
         [&] { locked.reset(); },
         {exe, exe},
         "Error: " + exe + ": could not replace the file (?); nothing was replaced\n",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.set_up()) {
            c.undo();
            std::printf("skipped: %s (the system cannot set it up)\n", c.what);
            continue;
        }
        const std::map<std::string, Stamp> before = stamps(w.tmp.path());
        const RunResult r = w.tillet(c.args, c.options);
        locked.reset();
        EXPECT_EQ(r.status, FAILURE_STATUS);
        const std::size_t any = c.err.find("(?)");
        if (any == std::string::npos) {
            EXPECT_EQ(r.err, c.err);
        } else {
            EXPECT_TRUE(r.err.size() > c.err.size() &&
                        r.err.starts_with(c.err.substr(0, any + 1)) &&
                        r.err.ends_with(c.err.substr(any + 2)))
                << r.err;
        }
        EXPECT_EQ(r.out.empty(), !c.listed) << r.out.substr(0, 200);
        EXPECT_TRUE(stamps(w.tmp.path()) == before) << "something changed or was left behind";
        c.undo();
    }

    // Interrupted while it writes the new packs (its listing is stuck in a
    // full pipe after the early pack): the new files are removed.
    const std::map<std::string, Stamp> before = stamps(w.tmp.path());
    RunResult r = run_and_interrupt(tool_path(tillet_for(layout)), {exe, exe}, w.work(), SIGTERM);
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err, interrupted_message(SIGTERM));
    EXPECT_NE(r.out.find("\t=> rebuilt\n"), std::string::npos) << "the early pack was written";
    EXPECT_TRUE(stamps(w.tmp.path()) == before) << "something changed or was left behind";

    // Overlapping tables are harmless while neither is patched: with the
    // early edit undone, only the late pack is rebuilt.
    write_file(w.member(early, early_member),
               game.fpack_extracted.at("fpack_extract/" +
                                       host_path(game.packs[early].members[early_member].name)));
    write_file(exe, overlapping);
    write_file(w.work() + "/" + empty_path, read_file(w.work() + "/" + early_path));
    const Expected want = w.expected(exe);
    EXPECT_EQ(want.rebuilt, std::vector<std::size_t>{late});
    r = w.tillet({exe, "NEW.ELF"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want.listing);
    EXPECT_TRUE(read_file(w.work() + "/NEW.ELF") == want.executable);
}

// A rebuild killed at any step of its commit (the renames of three packs and
// the new executable among them) leaves, once the next run has looked at
// the folders, either every pack and the executable as they were or every
// one rebuilt: never a mix, and nothing of the commit's own lying around.
TEST(TilletRebuildKilled, EveryPackAndTheExecutableAreAllOldOrAllNew) {
    const LayoutCombination layouts{RPK_LAYOUT_B, FPACK_LAYOUT_A};
    Workspace w(layouts, 11);
    const SampleGame& game = w.game;
    // One member edited in each of three packs.
    std::map<std::string, Bytes> edits;
    for (std::size_t p = 0; p < game.packs.size() && edits.size() < 3; ++p) {
        if (!game.packs[p].members.empty()) {
            edits[w.member(p, 0)] = patterned(3000 + 100 * edits.size(), 7);
        }
    }
    for (const auto& [path, data] : edits) {
        write_file(path, data);
    }
    const Expected want = w.expected(w.exe());
    ASSERT_EQ(want.rebuilt.size(), 3u);
    // The packs as they are, and the member files of the rebuilt ones, which
    // an extraction from new packs by the old executable's tables rewrites.
    std::map<std::string, Bytes> old_packs, members;
    for (const std::size_t p : want.rebuilt) {
        old_packs[w.pack(p)] = read_file(w.pack(p));
        for (std::size_t m = 0; m < game.packs[p].members.size(); ++m) {
            members[w.member(p, m)] = read_file(w.member(p, m));
        }
    }
    const std::string new_elf = w.work() + "/NEW.ELF";
    // Anything of a commit's own: its journals and the old files' second names.
    auto leftovers = [&] {
        std::vector<std::string> found;
        for (const std::string& folder : {w.work(), w.work() + "/fpack"}) {
            for (const auto& entry : fs::directory_iterator(fs::path(folder))) {
                const std::string name = entry.path().filename().string();
                if (name == ".suite-journal" || name.ends_with(".old")) {
                    found.push_back(name);
                }
            }
        }
        return found;
    };
#ifdef _WIN32
    const int killed = 77;
#else
    const int killed = -1;
#endif
    int all_old = 0, all_new = 0;
    bool finished = false;
    for (int at = 1; at < 200 && !finished; ++at) {
        SCOPED_TRACE("killed at step " + std::to_string(at));
        const RunResult r = run_program(tool_path("tillet-a-killed"),
                                        {std::to_string(at), w.exe(), "NEW.ELF"}, w.work());
        finished = r.status == 0;
        if (!finished) {
            ASSERT_EQ(r.status, killed) << r.err;
        }
        // The next run puts right what the kill left, before it reads a
        // pack: mostly ossory (which then refuses a pack as no LZR file),
        // once an extraction (which may then fail: the old executable does
        // not describe new packs).
        const RunResult next =
            at == 11
                ? w.tillet({w.exe()})
                : run_program(tool_path("ossory"),
                              {host_path(game.packs[want.rebuilt[0]].name), "x.tm2"}, w.work());
        EXPECT_TRUE(!next.err.starts_with("Warning: ") ||
                    next.err.find(".suite-journal: an earlier run was stopped ") !=
                        std::string::npos)
            << next.err;
        bool old = !file_exists(new_elf), fresh = !old && read_file(new_elf) == want.executable;
        for (const auto& [path, before] : old_packs) {
            const Bytes now = read_file(path);

            old = old && now == before;
            fresh = fresh && now == want.packs.at(path.substr(w.work().size() + 1));
        }
        EXPECT_TRUE(old || fresh) << "a mix of old and new files";
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        all_old += old ? 1 : 0;
        all_new += fresh ? 1 : 0;
        // Back to the state before the rebuild, the edited members included.
        for (const auto& [path, before] : old_packs) {
            write_file(path, before);
        }
        fs::remove(fs::path(new_elf));
        for (const auto& [path, data] : members) {
            write_file(path, data);
        }
    }
    EXPECT_TRUE(finished) << "the rebuild never got through";
    EXPECT_GE(all_old, 8) << "kills before and between the renames";
    EXPECT_GE(all_new, 3) << "kills after the last rename, and the finished run";
}
