// modkit end to end: generated games are unpacked, edited, packed and read
// back with korvane and tillet (separate programs), in every pairing of the
// layouts; every conflict and failure leaves no output and the workspace as
// it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/names.h"
#include "common/platform/file_io.h"
#include "modkit/state.h"
#include "sectors/sector_table.h"
#include "testing/layouts.h"
#include "testing/test_support.h"
#include "tm2png/png_io.h"
#include "tm2png/tim2.h"
#include "tm2png/tm2png.h"
#include "tools/sample_game.h"

namespace fs = std::filesystem;

namespace {

RunResult modkit(const std::vector<std::string>& args, const std::string& cwd) {
    return run_program(tool_path("modkit"), args, cwd);
}

// The summary's time varies; everything else is compared exactly.
std::string without_time(std::string text) {
    // Each "; <digits>.<digit> s\n" becomes "; T s\n".
    for (std::size_t end = text.find(" s\n"); end != std::string::npos;
         end = text.find(" s\n", end + 1)) {
        const std::size_t start = text.rfind("; ", end);
        if (start == std::string::npos || end < start + 5 || text[end - 2] != '.') {
            continue;
        }
        const std::string_view number(text.data() + start + 2, end - start - 2);
        const bool digits = std::all_of(number.begin(), number.end(), [](char c) {
            return c == '.' || (c >= '0' && c <= '9');
        });
        if (digits && number.find('.') == number.size() - 2) {
            text.replace(start, end - start, "; T");
            end = start;
        }
    }
    return text;
}

// Only the files of a tree (read_tree lists folders too).
std::map<std::string, Bytes> files_of(const std::map<std::string, Bytes>& tree) {
    std::map<std::string, Bytes> files;
    for (const auto& [path, data] : tree) {
        if (!path.ends_with("/")) {
            files.emplace(path, data);
        }
    }
    return files;
}

// A workspace's tree as a run may change it: every file and folder, so a
// staging folder that a pack left behind, even empty, shows.
std::map<std::string, Bytes> workspace_tree(const std::string& ws) {
    return read_tree(ws);
}

WorkspaceState read_state(const std::string& ws) {
    const Bytes text = read_file(ws + "/.modkit/state");
    WorkspaceState state;
    std::string err;
    EXPECT_TRUE(parse_state({reinterpret_cast<const char*>(text.data()), text.size()}, "state",
                            &state, &err))
        << err;
    return state;
}

// A generated game in <tmp>/game.
struct Game {
    explicit Game(const LayoutCombination& c = ALL_LAYOUT_COMBINATIONS[0], bool canonical = false,
                  std::uint64_t seed = 3)
        : layouts(c) {
        SampleOptions options;
        options.rpk_layout = c.rpk;
        options.fpack_layout = c.fpack;
        options.canonical = canonical;
        options.seed = seed;
        game = make_sample_game(options);
        fs::create_directory(tmp / "game");
        std::string err;
        EXPECT_TRUE(write_sample_game(game, tmp / "game", &err)) << err;
    }
    std::string dir() const { return tmp / "game"; }
    std::string ws() const { return tmp / "ws"; }
    RunResult unpack() const { return modkit({"unpack", dir(), ws()}, tmp.path()); }

    // What unpack must write below files/: the archive's files and every member.
    std::map<std::string, Bytes> expected_files() const {
        std::map<std::string, Bytes> files;
        for (const auto& [path, data] : game.extracted) {
            files["files/" + path] = data;
        }
        for (const auto& [path, data] : game.fpack_extracted) {
            files["files/" + path] = data;
        }
        return files;
    }

    // korvane and tillet of the game's builds extract the game in `folder`
    // (executable and RPK.BIN under the game's names) into `into`.
    std::map<std::string, Bytes> extract(const std::string& folder, const std::string& into) const {
        fs::create_directories(into);
        const std::string k = layouts.rpk.label == 'A' ? "korvane-a" : "korvane-b";
        const std::string t = layouts.fpack.label == 'A' ? "tillet-a" : "tillet-b";
        RunResult r =
            run_program(tool_path(k), {folder + "/SLUS_217.88", folder + "/RPK.BIN"}, into);
        EXPECT_EQ(r.status, 0) << r.err;
        r = run_program(tool_path(t), {folder + "/SLUS_217.88"}, into);
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, Bytes> files;
        for (const auto& [path, data] : files_of(read_tree(into))) {
            files["files/" + path] = data;
        }
        return files;
    }

    LayoutCombination layouts;
    TempDir tmp;
    SampleGame game;
};

// The first member of the game that is no image and not empty, by its workspace path.
std::string plain_member(const SampleGame& game) {
    const std::set<std::string> images(game.tim2_files.begin(), game.tim2_files.end());
    for (const auto& [path, data] : game.fpack_extracted) {
        if (!data.empty() && !images.contains(path) && path.ends_with(".bin")) {
            return "files/" + path;
        }
    }
    ADD_FAILURE() << "no plain member";
    return {};
}

// The first archive file below data/ that is not empty.
std::string plain_file(const SampleGame& game) {
    for (const auto& [path, data] : game.extracted) {
        if (path.starts_with("data/") && data.size() > 4) {
            return "files/" + path;
        }
    }
    ADD_FAILURE() << "no plain file";
    return {};
}

// Paints the first `count` pixels of a PNG with another colour: a palette
// index for a palette PNG, a channel for a direct one.
void edit_png(const std::string& path, std::size_t count = 40) {
    const Bytes bytes = read_file(path);
    PngImage image;
    std::string err;
    ASSERT_TRUE(read_png(bytes, 0, 0, &image, &err)) << err;
    const unsigned step = image.bytes_per_pixel();
    for (std::size_t i = 0; i < count && i * step < image.pixels.size(); ++i) {
        std::uint8_t& value = image.pixels[i * step];
        value = image.colour == PngColour::palette
                    ? static_cast<std::uint8_t>((value + 1) % image.palette.size())
                    : static_cast<std::uint8_t>(value ^ 0x80);
    }
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(write_png(image, &out, &err)) << err;
    write_file(path, out);
}

// The pixels picture 0 of a (compressed or plain) TIM2 file shows, as tm2png exports them.
PngImage picture_of(const Bytes& file, std::size_t index = 0) {
    Tim2Source source;
    Tim2File tim2;
    std::string warning, err;
    EXPECT_TRUE(load_tim2(ByteBuffer(file.begin(), file.end()), "image", UINT64_MAX, &source,
                          &warning, &err))
        << err;
    EXPECT_TRUE(parse_tim2(source.tim2, "image", &tim2, &err)) << err;
    std::vector<ExportedPicture> pictures;
    EXPECT_TRUE(export_pictures(source, tim2, "x.png", &pictures, &err)) << err;
    PngImage image;
    EXPECT_TRUE(read_png(pictures.at(index).png, 0, 0, &image, &err)) << err;
    return image;
}

void expect_same_pixels(const PngImage& a, const PngImage& b) {
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    EXPECT_TRUE(a.pixels == b.pixels);
    EXPECT_TRUE(a.palette == b.palette);
}

class ModkitRoundTrip : public ::testing::TestWithParam<std::tuple<LayoutCombination, bool>> {};

// The pairings of the layouts on games whose data lies out of order (the
// harder case), and one canonical game, whose output without edits must be
// the game itself byte for byte.
std::vector<std::tuple<LayoutCombination, bool>> round_trips() {
    std::vector<std::tuple<LayoutCombination, bool>> games;
    for (const LayoutCombination& layouts : layouts_to_test()) {
        games.emplace_back(layouts, false);
    }
    games.emplace_back(ALL_LAYOUT_COMBINATIONS[3], true);
    return games;
}

INSTANTIATE_TEST_SUITE_P(
    EveryLayout, ModkitRoundTrip, ::testing::ValuesIn(round_trips()),
    [](const ::testing::TestParamInfo<std::tuple<LayoutCombination, bool>>& param) {
        return combination_name(std::get<0>(param.param)) +
               (std::get<1>(param.param) ? "Canonical" : "Scattered");
    });

}  // namespace

// The whole game, folder to folder: unpack writes exactly the files korvane
// and tillet would and a PNG of every picture; a pack without edits gives
// the game back; edits of a PNG, a member and an archive file arrive, and
// nothing else changes; a second pack writes the same again.
TEST_P(ModkitRoundTrip, WholeGameFolderToFolder) {
    const auto [layouts, canonical] = GetParam();
    Game g(layouts, canonical);
    RunResult r = g.unpack();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::size_t files = g.game.extracted.size() + g.game.fpack_extracted.size();
    const WorkspaceState state = read_state(g.ws());
    std::size_t pictures = 0;
    std::set<std::string> images;
    for (const ImageRecord& image : state.images) {
        images.insert(image.file);
        pictures += image.pictures;
    }
    EXPECT_EQ(without_time(r.out),
              std::to_string(files) + " files written (" + std::to_string(g.game.extracted.size()) +
                  " archive files, " + std::to_string(g.game.fpack_extracted.size()) +
                  " pack members), " + std::to_string(images.size()) + " images (" +
                  std::to_string(pictures) + " PNGs), " + std::to_string(state.texts.untranslated) +
                  " texts (of " + std::to_string(state.text_files.size()) +
                  " .evd files, 0 translated, " + std::to_string(state.texts.untranslated) +
                  " untranslated); layouts of korvane-" +
                  static_cast<char>(layouts.rpk.label - 'A' + 'a') + " and tillet-" +
                  static_cast<char>(layouts.fpack.label - 'A' + 'a') + "; T s\n");
    EXPECT_EQ(files_of(read_tree(g.ws() + "/files")).size(), files);
    std::map<std::string, Bytes> unpacked;
    for (const auto& [path, data] : files_of(read_tree(g.ws() + "/files"))) {
        unpacked["files/" + path] = data;
    }
    EXPECT_TRUE(unpacked == g.expected_files());
    // Every TIM2 image the generator made, and nothing else, has PNGs.
    std::set<std::string> made;
    for (const std::string& path : g.game.tim2_files) {
        made.insert("files/" + path);
    }
    EXPECT_EQ(images, made);
    EXPECT_EQ(files_of(read_tree(g.ws() + "/images")).size(), pictures);
    const std::string title = "files/tex/t000.tm2.lzr";
    expect_same_pixels(picture_of(read_file(g.ws() + "/" + title)),
                       picture_of(g.game.extracted.at("tex/t000.tm2.lzr")));

    // No edits: the same game.
    r = modkit({"pack", g.ws(), g.tmp / "out0"}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(without_time(r.out), "nothing edited since unpack; texts: 0 translated, " +
                                       std::to_string(state.texts.untranslated) +
                                       " untranslated; " + std::to_string(g.game.entries.size()) +
                                       " files packed into " + (g.tmp / "out0/RPK.BIN") + ", and " +
                                       (g.tmp / "out0/SLUS_217.88") + "; T s\n");
    if (canonical) {
        EXPECT_TRUE(read_file(g.tmp / "out0/RPK.BIN") == g.game.archive);
        EXPECT_TRUE(read_file(g.tmp / "out0/SLUS_217.88") == g.game.executable);
    }
    EXPECT_TRUE(g.extract(g.tmp / "out0", g.tmp / "check0") == g.expected_files());

    // A PNG, a member and an archive file edited.
    edit_png(g.ws() + "/images/tex/t000.tm2.lzr.png");
    const std::string member = plain_member(g.game);
    const std::string file = plain_file(g.game);
    write_file(g.ws() + "/" + member, bytes_of("a member edited"));
    Bytes changed = read_file(g.ws() + "/" + file);
    changed[0] ^= 0xFF;
    write_file(g.ws() + "/" + file, changed);
    r = modkit({"status", g.ws()}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "edited file:    " + file + "\nedited member:  " + member +
                         "\nedited image:   images/tex/t000.tm2.lzr.png\n"
                         "1 file, 0 packs, 1 pack member and 1 picture (of 1 image) edited, 0 "
                         "texts (in 0 files) edited; 0 files missing; 0 conflicts\n");

    r = modkit({"pack", g.ws(), g.tmp / "out"}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("file:   " + file + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", 1 file edited directly"), std::string::npos) << r.out;
    const std::map<std::string, Bytes> now = files_of(read_tree(g.ws() + "/files"));
    const std::map<std::string, Bytes> extracted = g.extract(g.tmp / "out", g.tmp / "check");
    EXPECT_EQ(extracted.size(), files);
    std::set<std::string> differ;
    for (const auto& [path, data] : g.expected_files()) {
        EXPECT_TRUE(extracted.at(path) == now.at(path.substr(6))) << path;
        if (extracted.at(path) != data) {
            differ.insert(path);
        }
    }
    // Exactly the edits: the image, the member and its pack, the file.
    EXPECT_EQ(differ.size(), 4u);
    EXPECT_TRUE(differ.contains(title));
    EXPECT_TRUE(differ.contains(member));
    EXPECT_TRUE(differ.contains(file));
    EXPECT_TRUE(extracted.at(member) == bytes_of("a member edited"));
    EXPECT_TRUE(extracted.at(file) == changed);
    PngImage edited;
    std::string err;
    ASSERT_TRUE(read_png(read_file(g.ws() + "/images/tex/t000.tm2.lzr.png"), 0, 0, &edited, &err));
    expect_same_pixels(picture_of(extracted.at(title)), edited);

    r = modkit({"status", g.ws()}, g.tmp.path());
    EXPECT_EQ(r.out, "nothing edited\n");
    r = modkit({"pack", g.ws(), g.tmp / "again"}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(without_time(r.out).starts_with("nothing changed since the last pack; ")) << r.out;
    EXPECT_TRUE(read_file(g.tmp / "again/RPK.BIN") == read_file(g.tmp / "out/RPK.BIN"));
    EXPECT_TRUE(read_file(g.tmp / "again/SLUS_217.88") == read_file(g.tmp / "out/SLUS_217.88"));

    // An archive file that is no image, pack or .evd, alone edited: found,
    // packed and recorded as any edit.
    changed[1] ^= 0xFF;
    write_file(g.ws() + "/" + file, changed);
    r = modkit({"pack", g.ws(), g.tmp / "third"}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("file:   " + file + "\n")) << r.out;
    EXPECT_NE(r.out.find(", 1 file edited directly"), std::string::npos) << r.out;
    EXPECT_EQ(modkit({"status", g.ws()}, g.tmp.path()).out, "nothing edited\n");
}

namespace {

// One conflicting pair of edits per case; pack refuses, naming both.
struct ConflictCase {
    const char* name;
    std::vector<std::string> edits;  ///< workspace paths; .png files get their pixels edited
    std::string view, file;          ///< the conflict pack names
};

}  // namespace

TEST(ModkitConflicts, EachIsShownAndRefusedWithNothingWritten) {
    Game g;
    ASSERT_EQ(g.unpack().status, 0);
    // A member image, its pack, and a member of the same pack that is no image.
    const WorkspaceState state = read_state(g.ws());
    std::string member_image;
    for (const ImageRecord& image : state.images) {
        if (image.file.starts_with("files/fpack_extract/") && image.pictures == 1) {
            member_image = image.file;
            break;
        }
    }
    ASSERT_FALSE(member_image.empty());
    std::string pack;
    for (const SamplePack& p : g.game.packs) {
        for (const SampleMember& m : p.members) {
            if ("files/fpack_extract/" + host_path(m.name) == member_image) {
                pack = "files/" + host_path(p.name);
            }
        }
    }
    ASSERT_FALSE(pack.empty());
    const std::string member_png = "images/" + member_image.substr(6) + ".png";
    const ConflictCase cases[] = {
        {"PNG and its image",
         {"images/tex/t000.tm2.lzr.png", "files/tex/t000.tm2.lzr"},
         "images/tex/t000.tm2.lzr.png",
         "files/tex/t000.tm2.lzr"},
        {"member and its pack", {member_image, pack}, member_image, pack},
        {"PNG of a member and its pack", {member_png, pack}, member_png, pack},
    };
    const std::map<std::string, Bytes> before = workspace_tree(g.ws());
    for (const ConflictCase& c : cases) {
        for (const std::string& path : c.edits) {
            if (path.ends_with(".png")) {
                edit_png(g.ws() + "/" + path);
            } else {
                Bytes data = read_file(g.ws() + "/" + path);
                data.push_back(0x42);
                write_file(g.ws() + "/" + path, data);
            }
        }
        RunResult r = modkit({"status", g.ws()}, g.tmp.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(
            r.out.find("conflict:       " + c.view + " and " + c.file + " were both edited\n"),
            std::string::npos)
            << c.name << "\n"
            << r.out;
        const std::map<std::string, Bytes> edited = workspace_tree(g.ws());
        r = modkit({"pack", g.ws(), g.tmp / "out"}, g.tmp.path());
        EXPECT_EQ(r.status, FAILURE_STATUS) << c.name;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error: " + g.ws() + "/" + c.view + ": was edited, and so was " + g.ws() +
                             "/" + c.file +
                             ", which holds the same data; keep one of the two edits (put the "
                             "other file back as it was); nothing was written\n")
            << c.name;
        EXPECT_FALSE(file_exists(g.tmp / "out")) << c.name;
        EXPECT_TRUE(workspace_tree(g.ws()) == edited) << c.name;
        // Put back as unpack wrote them.
        for (const std::string& path : c.edits) {
            write_file(g.ws() + "/" + path, before.at(path));
        }
    }
    EXPECT_EQ(modkit({"status", g.ws()}, g.tmp.path()).out, "nothing edited\n");
}

// What a pack must refuse: everything is checked before the first byte is
// written, and nothing is written, in the workspace or outside it.
// The state keeps the game's folder as the system spells it in full
// (Windows: with its own separator).
std::string full_path_shown(std::string path) {
#ifdef _WIN32
    std::replace(path.begin(), path.end(), '/', '\\');
#endif
    return path;
}

TEST(ModkitFailures, PackRefusesAndLeavesEverythingAsItWas) {
    Game g;
    ASSERT_EQ(g.unpack().status, 0);
    const std::string ws = g.ws();
    const std::string file = plain_file(g.game);
    write_file(g.tmp / "a file", bytes_of("x"));
    struct Case {
        const char* name;
        std::function<void()> damage;
        std::string output;
        // The whole message; if empty, one about a file of the workspace,
        // or, if `names` is given, one naming that path.
        std::string message;
        std::string names = "";
        std::function<void()> undo = [] {};
    };
    const std::string member = ws + "/files/" + g.game.fpack_extracted.begin()->first;
    const std::string blocked = g.tmp / "blocked";
    const std::vector<Case> cases = {
        {"a missing file", [&] { fs::remove(ws + "/" + file); }, g.tmp / "out",
         "Error: " + ws + "/" + file +
             ": is missing (unpack wrote it, and the game needs it); put it back, and pack "
             "again; nothing was written"},
        {"a PNG that is no PNG",
         [&] { write_file(ws + "/images/tex/t000.tm2.lzr.png", bytes_of("not a png")); },
         g.tmp / "out", ""},
        {"a PNG of another size",
         [&] {
             PngImage image{3, 2, PngColour::rgb, 8, Bytes(18, 0), {}};
             std::vector<std::uint8_t> png;
             std::string err;
             ASSERT_TRUE(write_png(image, &png, &err));
             write_file(ws + "/images/tex/t000.tm2.lzr.png", png);
         },
         g.tmp / "out", ""},
        {"the game's own folder", [] {}, g.dir(),
         "Error: " + g.dir() + ": is the game's own folder (" + full_path_shown(g.dir()) +
             "), whose files are never written; name another folder"},
        {"a folder inside the workspace", [] {}, ws + "/images/new",
         "Error: " + ws + "/images/new: lies inside the workspace " + ws +
             "; name a folder outside it"},
        {"the workspace itself", [] {}, ws,
         "Error: " + ws + ": lies inside the workspace " + ws + "; name a folder outside it"},
        {"a file as output", [] {}, g.tmp / "a file",
         "Error: " + (g.tmp / "a file") +
             ": is not a folder; pack writes the new SLUS_217.88 and RPK.BIN into a folder"},
        {"a damaged state",
         [&] {
             Bytes state = read_file(ws + "/.modkit/state");
             state.insert(state.begin() + 30, '!');
             write_file(ws + "/.modkit/state", state);
         },
         g.tmp / "out", ""},
        {"an edited executable copy",
         [&] {
             Bytes exe = read_file(ws + "/.modkit/executable");
             exe[100] ^= 1;
             write_file(ws + "/.modkit/executable", exe);
         },
         g.tmp / "out",
         "Error: " + ws +
             "/.modkit/executable: is not what modkit wrote there; the workspace's state is "
             "damaged (unpack the game again into a new workspace)"},
        {"an archive that cannot be written after a pack was rebuilt",
         [&] {
             Bytes data = read_file(member);
             data.push_back(0x42);
             write_file(member, data);
             fs::create_directories(blocked + "/RPK.BIN");
         },
         blocked, "", blocked + "/RPK.BIN"},
        {"a folder where a file was",
         [&] {
             fs::remove(ws + "/" + file);
             fs::create_directory(ws + "/" + file);
         },
         g.tmp / "out", "", ws + "/" + file, [&] { fs::remove(ws + "/" + file); }},
        {"no workspace", [&] { fs::remove(ws + "/.modkit/state"); }, g.tmp / "out",
         "Error: " + ws +
             ": is not a modkit workspace (it has no .modkit/state; a workspace whose unpack "
             "did not finish has none either)"},
    };
    const std::map<std::string, Bytes> clean = workspace_tree(ws);
    const std::map<std::string, Bytes> game = read_tree(g.dir());
    for (const Case& c : cases) {
        c.damage();
        const std::map<std::string, Bytes> damaged = workspace_tree(ws);
        const bool output_existed = file_exists(c.output);
        const RunResult r = modkit({"pack", ws, c.output}, g.tmp.path());
        EXPECT_EQ(r.status, FAILURE_STATUS) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        if (!c.message.empty()) {
            EXPECT_EQ(r.err, c.message + "\n") << c.name;
        } else if (!c.names.empty()) {
            EXPECT_NE(r.err.find(c.names), std::string::npos) << c.name << ": " << r.err;
        } else {
            EXPECT_TRUE(r.err.starts_with("Error: " + ws + "/")) << c.name << ": " << r.err;
        }
        const std::map<std::string, Bytes> after = workspace_tree(ws);
        EXPECT_TRUE(after == damaged) << c.name;
        EXPECT_EQ(file_exists(c.output), output_existed) << c.name;
        EXPECT_TRUE(read_tree(g.dir()) == game) << c.name;
        c.undo();
        // The workspace as unpack left it, for the next case (each read of
        // its thousands of files is slow under wine, so it is mended from
        // the one read above).
        for (const auto& [path, data] : clean) {
            const auto now = after.find(path);
            if (!path.ends_with("/") && (now == after.end() || now->second != data)) {
                write_file(ws + "/" + path, data);
            }
        }
        // What the damage made and its undoing removed again is gone.
        auto still_there = [&](std::string path) {
            if (path.ends_with("/")) {
                path.pop_back();
                return fs::is_directory(ws + "/" + path);
            }
            return fs::exists(ws + "/" + path);
        };
        for (const auto& [path, data] : after) {
            ASSERT_TRUE(clean.contains(path) || !still_there(path)) << c.name << " left " << path;
        }
    }
}

TEST(ModkitFailures, UnpackRefusesWhatIsNoGameOrNoNewWorkspace) {
    Game g;
    write_file(g.tmp / "full/x", bytes_of("work of a translator"));
    write_file(g.tmp / "plain", bytes_of("x"));
    write_file(g.tmp / "disc.iso", bytes_of("x"));
    write_file(g.tmp / "half/RPK.BIN", g.game.archive);
    const struct {
        std::string game, workspace, message;
    } cases[] = {
        {g.dir(), g.tmp / "full",
         "Error: " + (g.tmp / "full") +
             ": is not empty; unpack writes a new workspace only, so that no edits are lost "
             "(status and pack work on an existing one)"},
        {g.dir(), g.tmp / "plain",
         "Error: " + (g.tmp / "plain") +
             ": is not a folder; the workspace must be a new or empty folder"},
        {g.dir(), g.dir(),
         "Error: " + g.dir() +
             ": is not empty; unpack writes a new workspace only, so that no edits are lost "
             "(status and pack work on an existing one)"},
        {g.tmp / "half", g.tmp / "ws",
         "Error: " + (g.tmp / "half") +
             ": holds no game executable (a file named like SLUS_217.88)"},
        {g.tmp / "disc.iso", g.tmp / "ws",
         "Error: " + (g.tmp / "disc.iso") +
             ": is too short for a disc image (1 bytes; the first volume descriptor lies at "
             "offset 0x8000)"},
        {g.tmp / "plain", g.tmp / "ws",
         "Error: " + (g.tmp / "plain") +
             ": is neither a folder holding the game's executable and RPK.BIN nor a disc image "
             "(.iso)"},
    };
    for (const auto& c : cases) {
        const std::map<std::string, Bytes> before = read_tree(g.tmp.path());
        const RunResult r = modkit({"unpack", c.game, c.workspace}, g.tmp.path());
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.message + "\n");
        EXPECT_TRUE(read_tree(g.tmp.path()) == before) << c.message;
    }
    // A status of a folder that is no workspace.
    const RunResult r = modkit({"status", g.dir()}, g.tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err, "Error: " + g.dir() +
                         ": is not a modkit workspace (it has no .modkit/state; a workspace whose "
                         "unpack did not finish has none either)\n");
}

TEST(ModkitCommandLine, WrongArgumentsGiveTheUsageAndQuietSaysNothing) {
    Game g;
    const std::string usage_text = "modkit v1.0\n\nusage: " + tool_path("modkit") +
                                   " unpack <game folder or .iso> <workspace> [--table FILE] "
                                   "[--quiet]\n       " +
                                   tool_path("modkit") + " status <workspace>\n       " +
                                   tool_path("modkit") +
                                   " pack <workspace> <output folder or .iso> [--quiet]\n";
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"unpack", g.dir()},
                                               {"status"},
                                               {"status", g.ws(), "--quiet"},
                                               {"pack", g.ws()},
                                               {"repack", g.ws(), g.tmp / "out"},
                                               {"unpack", g.dir(), g.ws(), "extra"}}) {
        const RunResult r = modkit(args, g.tmp.path());
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, usage_text);
    }
    EXPECT_FALSE(file_exists(g.ws()));
    RunResult r = modkit({"--quiet", "unpack", g.dir(), g.ws()}, g.tmp.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    edit_png(g.ws() + "/images/tex/t000.tm2.lzr.png");
    r = modkit({"pack", g.ws(), g.tmp / "out", "--quiet"}, g.tmp.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(file_exists(g.tmp / "out/RPK.BIN"));
}

// Files edited directly have their views written again by the pack, so
// that the workspace shows what went into the game: the PNGs of an image,
// the members of a pack.
TEST(ModkitViews, DirectEditsRefreshTheirPngsAndMembers) {
    Game g;
    ASSERT_EQ(g.unpack().status, 0);
    const std::string ws = g.ws();
    // tex/t003 gets the pixels of a copy of itself with an edited PNG, made
    // by tm2png, the program.
    const std::string image = ws + "/files/tex/t003.tm2.lzr";
    const std::string png = ws + "/images/tex/t003.tm2.lzr.png";
    fs::copy_file(png, g.tmp / "t.png");
    edit_png(g.tmp / "t.png", 3);
    RunResult r = run_program(tool_path("tm2png"), {image, g.tmp / "t.png", g.tmp / "t.tm2.lzr"},
                              g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    write_file(image, read_file(g.tmp / "t.tm2.lzr"));
    // A pack with one member's bytes changed in place.
    const SamplePack* pack = nullptr;
    for (const SamplePack& p : g.game.packs) {
        if (!p.members.empty() && p.members[0].length > 0 &&
            !std::count(g.game.tim2_files.begin(), g.game.tim2_files.end(),
                        "fpack_extract/" + host_path(p.members[0].name))) {
            pack = &p;
            break;
        }
    }
    ASSERT_NE(pack, nullptr);
    const std::string pack_file = ws + "/files/" + host_path(pack->name);
    const std::string member = ws + "/files/fpack_extract/" + host_path(pack->members[0].name);
    Bytes data = read_file(pack_file);
    data[sector_offset(pack->members[0].sector)] ^= 0x5A;
    write_file(pack_file, data);
    Bytes member_now = read_file(member);
    member_now[0] ^= 0x5A;

    r = modkit({"pack", ws, g.tmp / "out"}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(png) == read_file(g.tmp / "t.png") ||
                picture_of(read_file(image)).pixels ==
                    picture_of(read_file(g.tmp / "t.tm2.lzr")).pixels);
    PngImage shown, wanted;
    std::string err;
    ASSERT_TRUE(read_png(read_file(png), 0, 0, &shown, &err));
    ASSERT_TRUE(read_png(read_file(g.tmp / "t.png"), 0, 0, &wanted, &err));
    expect_same_pixels(shown, wanted);
    EXPECT_TRUE(read_file(member) == member_now);
    EXPECT_EQ(modkit({"status", ws}, g.tmp.path()).out, "nothing edited\n");
    const std::map<std::string, Bytes> extracted = g.extract(g.tmp / "out", g.tmp / "check");
    EXPECT_TRUE(extracted.at("files/tex/t003.tm2.lzr") == read_file(image));
    EXPECT_TRUE(extracted.at("files/fpack_extract/" + host_path(pack->members[0].name)) ==
                member_now);
}

// Staging files that a killed run left behind are never read as this run's:
// the edited member arrives in the new game, and the leftovers stay as
// they were.
TEST(ModkitFailures, StagingFilesOfAKilledRunAreRemovedByTheNextPack) {
    Game g;
    ASSERT_EQ(g.unpack().status, 0);
    const std::string staging = g.ws() + "/.modkit/staging";
    for (int i = 0; i < 3; ++i) {
        write_file(staging + "/" + std::to_string(i), Bytes(4096, static_cast<std::uint8_t>(i)));
    }
    const std::string member = plain_member(g.game);
    Bytes data = read_file(g.ws() + "/" + member);
    data.push_back(0x42);
    write_file(g.ws() + "/" + member, data);
    const RunResult r = modkit({"pack", g.ws(), g.tmp / "out"}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(g.extract(g.tmp / "out", g.tmp / "check").at(member), data);
    EXPECT_FALSE(fs::exists(staging));
}

// While one run writes a workspace (it holds the workspace's lock), another
// is refused with nothing written, and goes once the first has ended.
TEST(ModkitFailures, ASecondRunOnAWorkspaceInUseIsRefused) {
    Game g;
    ASSERT_EQ(g.unpack().status, 0);
    edit_png(g.ws() + "/images/tex/t000.tm2.lzr.png");
    const std::map<std::string, Bytes> before = workspace_tree(g.ws());
    {
        RunLock held;
        bool busy = false;
        std::string err;
        ASSERT_TRUE(held.take(g.ws() + "/.modkit/lock", &busy, &err)) << err;
        const RunResult r = modkit({"pack", g.ws(), g.tmp / "out"}, g.tmp.path());
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.err, "Error: " + g.ws() +
                             ": is being written by another modkit run (an unpack or pack that "
                             "has not ended); nothing was written\n");
        EXPECT_FALSE(fs::exists(g.tmp / "out"));
        EXPECT_TRUE(workspace_tree(g.ws()) == before);
    }
    EXPECT_EQ(modkit({"pack", g.ws(), g.tmp / "out"}, g.tmp.path()).status, 0);
}
