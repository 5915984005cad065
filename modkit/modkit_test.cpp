// Unit tests of modkit's pure parts: digests (against xxhsum, which no one
// here wrote), the state file, the executable's names, the layout choice,
// the edits and conflicts found from digests, and the progress line.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/platform/file_io.h"
#include "modkit/digest.h"
#include "modkit/game.h"
#include "modkit/progress.h"
#include "modkit/state.h"
#include "modkit/status.h"
#include "testing/test_support.h"
#include "tools/sample_game.h"

namespace {

Bytes pattern(std::size_t size, unsigned seed) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 31 + seed + i / 257);
    }
    return data;
}

}  // namespace

// Digests as `xxhsum -H2` (Debian's xxhash) prints them for the same bytes.
TEST(Digest, MatchesXxhsumsPublishedForm) {
    Bytes million(1000003);
    for (std::size_t i = 0; i < million.size(); ++i) {
        million[i] = static_cast<std::uint8_t>((i * 31 + 7) & 255);
    }
    const struct {
        Bytes data;
        const char* xxhsum;
    } cases[] = {
        {{}, "99aa06d3014798d86001c324468d497f"},
        {bytes_of("a"), "a96faf705af16834e6c632b61e964e1f"},
        {bytes_of("abc"), "06b05ab6733a618578af5f94892f3950"},
        {million, "a6ea16ee0fd324191f748a0eacf646fa"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(digest_of(c.data).hex(), c.xxhsum) << c.data.size() << " bytes";
        // In pieces of every awkward size, the same.
        for (const std::size_t piece : {1u, 7u, 64u, 4096u, 65537u}) {
            DigestBuilder builder;
            for (std::size_t at = 0; at < c.data.size(); at += piece) {
                builder.add({c.data.data() + at, std::min(piece, c.data.size() - at)});
            }
            EXPECT_EQ(builder.result().hex(), c.xxhsum) << piece;
        }
    }
}

#ifndef _WIN32
// Files of sizes around the read buffer's, digested from disk, against the
// program itself.
TEST(Digest, FilesAgreeWithXxhsum) {
    if (!file_exists("/usr/bin/xxhsum")) {
        GTEST_SKIP() << "xxhsum is not installed (Debian: xxhash)";
    }
    TempDir tmp;
    std::vector<std::string> args = {"-H2"};
    std::vector<Digest> ours;
    Bytes buffer(1 << 16);
    for (const std::size_t size : {0u, 1u, 65535u, 65536u, 65537u, 300001u}) {
        const std::string path = tmp / ("f" + std::to_string(size));
        write_file(path, pattern(size, static_cast<unsigned>(size)));
        args.push_back(path);
        Digest d;
        DigestedKind kind;
        std::string err;
        ASSERT_TRUE(digest_file(path, buffer, &d, &kind, &err)) << err;
        EXPECT_EQ(kind, DigestedKind::file);
        ours.push_back(d);
    }
    const RunResult r = run_program("/usr/bin/xxhsum", args, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected;
    for (std::size_t i = 0; i < ours.size(); ++i) {
        expected += ours[i].hex() + "  " + args[i + 1] + "\n";
    }
    EXPECT_EQ(r.out, expected);

    Digest d;
    DigestedKind kind;
    std::string err;
    ASSERT_TRUE(digest_file(tmp / "none", buffer, &d, &kind, &err)) << err;
    EXPECT_EQ(kind, DigestedKind::missing);
    EXPECT_FALSE(digest_file(tmp.path(), buffer, &d, &kind, &err));
    EXPECT_EQ(err, "Error: " + tmp.path() + ": is a folder, not a file");
}
#else
SKIPPED_ON_WINDOWS(Digest, FilesAgreeWithXxhsum, "xxhsum is a Linux program")
#endif

TEST(Digest, HexReadsBackAndRefusesWhatIsNoDigest) {
    const Digest d = digest_of(bytes_of("modkit"));
    Digest back;
    ASSERT_TRUE(parse_digest(d.hex(), &back));
    EXPECT_EQ(back, d);
    std::string upper = d.hex();
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    ASSERT_TRUE(parse_digest(upper, &back));
    EXPECT_EQ(back, d);
    for (const char* bad :
         {"", "0", "99aa06d3014798d86001c324468d497", "99aa06d3014798d86001c324468d497fa",
          "99aa06d3014798d86001c324468d497g", "99aa06d3014798d8 001c324468d497f"}) {
        EXPECT_FALSE(parse_digest(bad, &back)) << bad;
    }
}

namespace {

WorkspaceState sample_state() {
    WorkspaceState s;
    s.source = GameSourceKind::image;
    s.source_path = "/games/a b\\c\td.iso";
    s.disc = {s.source_path, 4700000000, digest_of(bytes_of("iso"))};
    s.table = true;
    s.texts = {5, 90, 2};
    s.text_files = {"files/evd/e000.evd", "files/fpack_extract/x\ty.evd"};
    s.executable = {"SLUS_217.88", 7414180, digest_of(bytes_of("exe"))};
    s.archive = {"rpk.bin", 6295552, digest_of(bytes_of("rpk"))};
    s.rpk_layout = 'B';
    s.fpack_layout = 'A';
    s.archive_size = 123456789012;
    s.packs = 3;
    s.images = {{"files/tex/t000.tm2.lzr", 1}, {"files/a\nb.tm2", 2}};
    s.files = {{"files/tex/t000.tm2.lzr", digest_of(bytes_of("1"))},
               {"files/odd\\name\r.bin", digest_of(bytes_of("2"))},
               {".modkit/executable", digest_of(bytes_of("exe"))}};
    return s;
}

}  // namespace

TEST(State, EveryRecordReadsBackAsWritten) {
    const WorkspaceState s = sample_state();
    const std::string text = format_state(s);
    WorkspaceState back;
    std::string err;
    ASSERT_TRUE(parse_state(text, "st", &back, &err)) << err;
    EXPECT_EQ(back.source_path, s.source_path);
    EXPECT_EQ(back.source, GameSourceKind::image);
    EXPECT_EQ(back.disc.size, s.disc.size);
    EXPECT_EQ(back.disc.digest, s.disc.digest);
    EXPECT_TRUE(back.table);
    EXPECT_EQ(back.texts.translated, 5u);
    EXPECT_EQ(back.texts.untranslated, 90u);
    EXPECT_EQ(back.texts.fuzzy, 2u);
    EXPECT_EQ(back.text_files, s.text_files);
    EXPECT_EQ(back.executable.name, s.executable.name);
    EXPECT_EQ(back.executable.size, s.executable.size);
    EXPECT_EQ(back.executable.digest, s.executable.digest);
    EXPECT_EQ(back.archive.name, s.archive.name);
    EXPECT_EQ(back.archive.digest, s.archive.digest);
    EXPECT_EQ(back.rpk_layout, 'B');
    EXPECT_EQ(back.fpack_layout, 'A');
    EXPECT_EQ(back.archive_size, s.archive_size);
    EXPECT_EQ(back.packs, 3u);
    ASSERT_EQ(back.images.size(), 2u);
    EXPECT_EQ(back.images[1].file, "files/a\nb.tm2");
    EXPECT_EQ(back.images[1].pictures, 2u);
    EXPECT_EQ(back.files, s.files);
    // One record a line: the escapes keep line breaks and tabs of names out.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 17);
    EXPECT_EQ(format_state(back), text);
}

TEST(State, DamageIsReportedWithItsLine) {
    const std::string good = format_state(sample_state());
    const std::string digest = digest_of(bytes_of("x")).hex();
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"", "the file is empty (line 1)"},
        {"modkit workspace state 2\n",
         "not the state of a modkit workspace of this version (the first line is not \"modkit "
         "workspace state 1\") (line 1)"},
        {good.substr(0, good.size() - 1),
         "the last line has no line end (the file was cut short) (line 17)"},
        {good + "file\t" + digest + "\tfiles/tex/t000.tm2.lzr\n",
         "a file recorded twice (line 18)"},
        {good + "file\t" + digest.substr(1) + "\tx\n", "a damaged file record (line 18)"},
        {good + "file\t" + digest + "\tbad\\escape\n", "a damaged file record (line 18)"},
        {good + "image\t0\tfiles/x.tm2\n", "a line this version of modkit does not know (line 18)"},
        {good + "surprise\n", "a line this version of modkit does not know (line 18)"},
        {"modkit workspace state 1\nlayouts\ta\tc\n",
         "a line this version of modkit does not know (line 2)"},
        {"modkit workspace state 1\nexecutable\tSLUS_217.88\t12x\t" + digest + "\n",
         "a damaged executable record (line 2)"},
        {"modkit workspace state 1\npacks\t1\n",
         "the file ends before the game's records are complete (line 3)"},
    };
    for (const auto& c : cases) {
        WorkspaceState s;
        std::string err;
        EXPECT_FALSE(parse_state(c.text, "ws/.modkit/state", &s, &err));
        EXPECT_EQ(err, "Error: ws/.modkit/state: " + c.message);
    }
}

TEST(GameFolder, ExecutableNamesOfTheFamily) {
    for (const char* yes : {"SLUS_217.88", "SLES_533.04", "scus_971.13", "SlPm_000.00"}) {
        EXPECT_TRUE(is_executable_name(yes)) << yes;
    }
    for (const char* no : {"SLUS_217.8", "SLUS_217.888", "SLUS-217.88", "SLU1_217.88",
                           "SLUS_2a7.88", "SLUS_217_88", "RPK.BIN", ""}) {
        EXPECT_FALSE(is_executable_name(no)) << no;
    }
}

TEST(GameFolder, ExactlyOneExecutableAndOneArchive) {
    TempDir tmp;
    auto folder = [&](const std::string& name, const std::vector<std::string>& files) {
        const std::string dir = tmp / name;
        std::filesystem::create_directories(dir);
        for (const std::string& f : files) {
            write_file(dir + "/" + f, bytes_of("x"));
        }
        return dir;
    };
    GameFolder found;
    std::string err;
    const std::string good =
        folder("good", {"SLUS_217.88", "RPK.BIN", "readme.txt", "SLUS_217.88.bak"});
    std::filesystem::create_directory(good + "/SLES_000.00");  // a folder is no executable
    ASSERT_TRUE(find_game_files(good, &found, &err)) << err;
    EXPECT_EQ(found.executable, "SLUS_217.88");
    EXPECT_EQ(found.archive_path(), good + "/RPK.BIN");

    const std::string lower = folder("lower", {"slus_217.88", "rpk.bin"});
    ASSERT_TRUE(find_game_files(lower, &found, &err)) << err;
    EXPECT_EQ(found.archive, "rpk.bin");

    const struct {
        std::vector<std::string> files;
        std::string what;
    } cases[] = {
        {{"RPK.BIN"}, "holds no game executable (a file named like SLUS_217.88)"},
        {{"SLUS_217.88", "SLES_533.04", "RPK.BIN"},
         "holds more than one game executable (SLES_533.04, SLUS_217.88); keep only the one "
         "that goes with RPK.BIN"},
        {{"SLUS_217.88"}, "holds no RPK.BIN"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string dir = folder("case" + std::to_string(n++), c.files);
        EXPECT_FALSE(find_game_files(dir, &found, &err));
        EXPECT_EQ(err, "Error: " + dir + ": " + c.what);
    }
}

// The layouts are told apart by which reads cleanly; every pairing of the
// two tables' revisions is found.
TEST(Layouts, EachCombinationIsDetected) {
    for (const LayoutCombination& combination : ALL_LAYOUT_COMBINATIONS) {
        SampleOptions options;
        options.rpk_layout = combination.rpk;
        options.fpack_layout = combination.fpack;
        options.keep_contents = false;
        const SampleGame game = make_sample_game(options);
        GameTables tables;
        std::string err;
        ASSERT_TRUE(detect_tables(game.executable, game.archive.size(), "SLUS_217.88", RPK_LAYOUTS,
                                  FPACK_LAYOUTS, &tables, &err))
            << combination_name(combination) << ": " << err;
        EXPECT_EQ(tables.rpk.label, combination.rpk.label);
        EXPECT_EQ(tables.fpack.label, combination.fpack.label);
        EXPECT_EQ(tables.entries.size(), game.entries.size());
        EXPECT_EQ(tables.directory.packs.size(), game.packs.size());
    }
}

TEST(Layouts, BothOrNeitherIsAnErrorNamingTheBuilds) {
    SampleOptions options;
    options.keep_contents = false;
    const SampleGame game = make_sample_game(options);  // RPK A, fpack A
    GameTables tables;
    std::string err;
    // Two layouts that both read: the same one under two labels.
    RpkLayout twin = RPK_LAYOUT_A;
    twin.label = 'B';
    const RpkLayout both[] = {RPK_LAYOUT_A, twin};
    EXPECT_FALSE(detect_tables(game.executable, game.archive.size(), "SLUS_217.88", both,
                               FPACK_LAYOUTS, &tables, &err));
    EXPECT_EQ(err,
              "Error: SLUS_217.88: the RPK index reads cleanly with the layouts of both korvane-a "
              "and korvane-b, so which revision this is cannot be told; run the tools themselves "
              "with the build that fits");
    FpackLayout fpack_twin = FPACK_LAYOUT_A;
    fpack_twin.label = 'B';
    const FpackLayout fpack_both[] = {FPACK_LAYOUT_A, fpack_twin};
    EXPECT_FALSE(detect_tables(game.executable, game.archive.size(), "SLUS_217.88", RPK_LAYOUTS,
                               fpack_both, &tables, &err));
    EXPECT_TRUE(
        err.starts_with("Error: SLUS_217.88: the pack directory reads cleanly with the "
                        "layouts of both tillet-a and tillet-b"))
        << err;

    // Neither: an archive of another size ends no walk, and an executable cut
    // short holds no pack directory.
    EXPECT_FALSE(detect_tables(game.executable, game.archive.size() + 2048, "SLUS_217.88",
                               RPK_LAYOUTS, FPACK_LAYOUTS, &tables, &err));
    EXPECT_TRUE(
        err.starts_with("Error: SLUS_217.88: the RPK index reads cleanly with the layout "
                        "of neither korvane-a nor korvane-b (korvane-a: the RPK index entry "))
        << err;
    EXPECT_NE(err.find("; korvane-b: the RPK index entry "), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with("); is this the game's executable?")) << err;
    Bytes damaged = game.executable;
    for (const FpackLayout& layout : FPACK_LAYOUTS) {
        std::fill_n(damaged.begin() + layout.directory_offset, 4, 0);  // pack 0's name address
    }
    EXPECT_FALSE(detect_tables(damaged, game.archive.size(), "x", RPK_LAYOUTS, FPACK_LAYOUTS,
                               &tables, &err));
    EXPECT_EQ(err,
              "Error: x: the pack directory reads cleanly with the layout of neither tillet-a nor "
              "tillet-b (tillet-a: name address 0x00000000 lies below the address bias "
              "0x000FF000, before the image (pack 0, offset 0x2A8038); tillet-b: name address "
              "0x00000000 lies below the address bias 0x000FF000, before the image (pack 0, "
              "offset 0x2A9D00)); is this the game's executable?");
}

namespace {

// A workspace of two archive files (one a pack of two members, one an
// image), the pack's member image, and their PNGs, with digests of what
// unpack wrote.
struct EditsFixture {
    WorkspaceModel model;
    WorkspaceState state;
    CurrentDigests now;

    EditsFixture() {
        model.archive_files = {"files/fpack/p0.fp", "files/tex/a.tm2", "files/data/x.bin"};
        model.is_pack = {true, false, false};
        model.members = {"files/fpack_extract/p0/m.tm2", "files/fpack_extract/p0/n.bin"};
        model.packs = {{0, "files/fpack/p0.fp", {0, 1}}};
        model.images = {{"files/tex/a.tm2", {"images/tex/a.tm2.0.png", "images/tex/a.tm2.1.png"}},
                        {"files/fpack_extract/p0/m.tm2", {"images/fpack_extract/p0/m.tm2.png"}}};
        unsigned n = 0;
        for (const char* path : {"files/fpack/p0.fp", "files/tex/a.tm2", "files/data/x.bin",
                                 "files/fpack_extract/p0/m.tm2", "files/fpack_extract/p0/n.bin",
                                 "images/tex/a.tm2.0.png", "images/tex/a.tm2.1.png",
                                 "images/fpack_extract/p0/m.tm2.png", ".modkit/executable"}) {
            const Digest d = digest_of(pattern(10, n++));
            state.files[path] = d;
            now[path] = d;
        }
    }
    void edit(const std::string& path) { now[path] = digest_of(bytes_of(path)); }
    void remove(const std::string& path) { now[path] = std::nullopt; }
};

}  // namespace

TEST(Edits, NothingEditedFindsNothing) {
    EditsFixture f;
    const Edits e = find_edits(f.model, f.state, f.now);
    EXPECT_FALSE(e.any());
    EXPECT_TRUE(e.conflicts.empty());
    EXPECT_TRUE(e.missing.empty());
    EXPECT_FALSE(e.executable_changed);
    EXPECT_EQ(status_report(e), "nothing edited\n");
}

TEST(Edits, EachKindOfEditAndEveryConflict) {
    const struct {
        std::vector<std::string> edited, removed;
        std::vector<std::pair<std::string, std::string>> conflicts;
    } cases[] = {
        // Views and files edited alone: no conflict.
        {{"images/tex/a.tm2.1.png", "files/data/x.bin", "files/fpack_extract/p0/n.bin"}, {}, {}},
        {{"files/tex/a.tm2"}, {}, {}},
        {{"files/fpack/p0.fp"}, {}, {}},
        // A PNG and its image.
        {{"images/tex/a.tm2.1.png", "files/tex/a.tm2"},
         {},
         {{"images/tex/a.tm2.1.png", "files/tex/a.tm2"}}},
        // A member and its pack.
        {{"files/fpack_extract/p0/n.bin", "files/fpack/p0.fp"},
         {},
         {{"files/fpack_extract/p0/n.bin", "files/fpack/p0.fp"}}},
        // The PNG of a member image and the pack.
        {{"images/fpack_extract/p0/m.tm2.png", "files/fpack/p0.fp"},
         {},
         {{"images/fpack_extract/p0/m.tm2.png", "files/fpack/p0.fp"}}},
        // The PNG of a member image, the member itself, and the pack: both conflicts.
        {{"images/fpack_extract/p0/m.tm2.png", "files/fpack_extract/p0/m.tm2", "files/fpack/p0.fp"},
         {},
         {{"images/fpack_extract/p0/m.tm2.png", "files/fpack_extract/p0/m.tm2"},
          {"files/fpack_extract/p0/m.tm2", "files/fpack/p0.fp"}}},
        // A PNG that is gone keeps its picture; it conflicts with nothing.
        {{"files/tex/a.tm2"}, {"images/tex/a.tm2.0.png"}, {}},
    };
    for (const auto& c : cases) {
        EditsFixture f;
        for (const std::string& path : c.edited) {
            f.edit(path);
        }
        for (const std::string& path : c.removed) {
            f.remove(path);
        }
        const Edits e = find_edits(f.model, f.state, f.now);
        std::vector<std::pair<std::string, std::string>> found;
        for (const Conflict& conflict : e.conflicts) {
            found.emplace_back(conflict.view, conflict.file);
        }
        EXPECT_EQ(found, c.conflicts) << c.edited.front();
        std::size_t listed = e.files.size() + e.packs.size() + e.members.size() + e.pngs.size();
        EXPECT_EQ(listed, c.edited.size()) << c.edited.front();
        EXPECT_EQ(e.missing_pngs.size(), c.removed.size());
    }
}

TEST(Edits, TheReportNamesEveryEdit) {
    EditsFixture f;
    f.edit("images/tex/a.tm2.1.png");
    f.edit("files/data/x.bin");
    f.edit("files/fpack_extract/p0/n.bin");
    f.edit("files/fpack/p0.fp");
    f.remove("files/tex/a.tm2");
    f.remove("images/fpack_extract/p0/m.tm2.png");
    f.edit(".modkit/executable");
    const Edits e = find_edits(f.model, f.state, f.now);
    EXPECT_TRUE(e.executable_changed);
    EXPECT_EQ(
        status_report(e),
        "edited file:    files/data/x.bin\n"
        "edited pack:    files/fpack/p0.fp\n"
        "edited member:  files/fpack_extract/p0/n.bin\n"
        "edited image:   images/tex/a.tm2.1.png\n"
        "missing:        files/tex/a.tm2\n"
        "missing image:  images/fpack_extract/p0/m.tm2.png\n"
        "conflict:       files/fpack_extract/p0/n.bin and files/fpack/p0.fp were both edited\n"
        "damaged:        .modkit/executable is not what modkit wrote; pack refuses this "
        "workspace\n"
        "1 file, 1 pack, 1 pack member and 1 picture (of 1 image) edited, 0 texts (in 0 files) "
        "edited; 2 files missing; "
        "1 conflict\n");
}

TEST(Progress, TheLineSaysWhatHowFarHowFastAndHowLong) {
    EXPECT_EQ(progress_line("writing files", 0, 100, 0, 0.0), "writing files: 0 of 100");
    EXPECT_EQ(progress_line("writing files", 25, 100, 50'000'000, 2.0),
              "writing files: 25 of 100, 25.0 MB/s, 6 s left");
    EXPECT_EQ(progress_line("encoding images", 3, 4, 0, 1.5), "encoding images: 3 of 4, 1 s left");
    EXPECT_EQ(progress_line("x", 4, 4, 1'000'000, 1.0), "x: 4 of 4, 1.0 MB/s");
}
