// modkit with texts and disc images, end to end: a generated game's image is
// unpacked with its table file, a PO entry (and a picture) edited, packed
// into a new image, and the new image read back with isopatch's library,
// with isoinfo (a reader no one here wrote) and with korvane and tillet;
// PO and .evd conflicts, fuzzy entries and failures leave no output and the
// workspace as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "brenmark/evd_format.h"
#include "brenmark/text_codec.h"
#include "brenmark/translation.h"
#include "common/names.h"
#include "isopatch/isopatch.h"
#include "modkit/game.h"
#include "testing/layouts.h"
#include "testing/test_support.h"
#include "tools/sample_game.h"
#include "tools/sample_image.h"

namespace fs = std::filesystem;

namespace {

RunResult modkit(const std::vector<std::string>& args, const std::string& cwd) {
    return run_program(tool_path("modkit"), args, cwd);
}

std::string text_of(const Bytes& data) {
    return {reinterpret_cast<const char*>(data.data()), data.size()};
}

Bytes bytes_of(const std::string& text) {
    return {text.begin(), text.end()};
}

// The files of a tree, folders left out, the staging folder too.
std::map<std::string, Bytes> files_below(const std::string& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& [path, data] : read_tree(dir)) {
        if (!path.ends_with("/")) {
            files.emplace(path, data);
        }
    }
    return files;
}

// Fills the msgstr of the entry `context` with `text` (optionally marked
// fuzzy), as a translator's editor does.
std::string translated(std::string po, const std::string& context, const std::string& text,
                       bool fuzzy = false) {
    const std::string line = "msgctxt \"" + context + "\"\n";
    const std::size_t at = po.find(line);
    EXPECT_NE(at, std::string::npos) << context;
    const std::size_t msgstr = po.find("msgstr \"\"\n", at);
    EXPECT_NE(msgstr, std::string::npos);
    po.replace(msgstr, 10, "msgstr \"" + text + "\"\n");
    if (fuzzy) {
        po.insert(at, "#, fuzzy\n");
    }
    return po;
}

// The first entry of a file below evd/encoded/, read through the table.
std::string encoded_context(const std::string& po) {
    const std::size_t at = po.find("msgctxt \"evd/encoded/");
    EXPECT_NE(at, std::string::npos);
    const std::size_t start = at + 9, end = po.find('"', start);
    return po.substr(start, end - start);
}

// The contents of the file `name` of the image at `path`, by isopatch's library.
Bytes file_in_image(const std::string& path, const std::string& name) {
    IsoImageFile image;
    std::string err;
    EXPECT_TRUE(image.open(path, &err)) << err;
    const std::int64_t i = find_iso_file(image.image(), name, path, &err);
    EXPECT_GE(i, 0) << err;
    if (i < 0) {
        return {};
    }
    const IsoFile& file = image.image().files[static_cast<std::size_t>(i)];
    Bytes data(file.size);
    EXPECT_TRUE(image.read(file.sector * 2048, {data.data(), data.size()}, &err)) << err;
    return data;
}

// isoinfo's copy of a file of the image, where isoinfo runs (Linux).
void check_with_isoinfo(const std::string& dir, const std::string& image, const std::string& name,
                        const Bytes& expected) {
#ifdef _WIN32
    (void)dir, (void)image, (void)name, (void)expected;
#else
    if (!fs::exists("/usr/bin/isoinfo")) {
        return;
    }
    RunOptions options;
    options.stdout_path = dir + "/isoinfo.out";
    write_file(options.stdout_path, {});
    const RunResult r =
        run_program("/usr/bin/isoinfo", {"-i", image, "-x", "/" + name + ";1"}, dir, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(options.stdout_path), expected) << "isoinfo -x " << name;
#endif
}

// A generated game as a disc image, with its table file, in <tmp>.
struct ImageGame {
    explicit ImageGame(const LayoutCombination& c = ALL_LAYOUT_COMBINATIONS[0]) : layouts(c) {
        SampleOptions options;
        options.rpk_layout = c.rpk;
        options.fpack_layout = c.fpack;
        options.image = true;
        options.seed = 5;
        game = make_sample_game(options);
        std::string err;
        EXPECT_TRUE(write_sample_text_table(game, tmp.path(), &err)) << err;
        // The image, as make-sample-game --image writes it, by our own builder.
        EXPECT_TRUE(
            write_sample_image(sample_image_files(game.executable, game.archive, 0), iso(), &err))
            << err;
    }
    std::string iso() const { return tmp / SAMPLE_IMAGE_NAME; }
    std::string table() const { return tmp / "texts.tbl"; }
    std::string ws() const { return tmp / "ws"; }
    std::string po_path() const { return ws() + "/texts/texts.po"; }
    RunResult unpack() const {
        return modkit({"unpack", iso(), ws(), "--table", table()}, tmp.path());
    }

    // korvane and tillet of the game's builds on the executable and RPK.BIN
    // of the image at `image`, as workspace paths.
    std::map<std::string, Bytes> extract(const std::string& image, const std::string& into) const {
        fs::create_directories(into + "/game");
        write_file(into + "/game/SLUS_217.88", file_in_image(image, "SLUS_217.88"));
        write_file(into + "/game/RPK.BIN", file_in_image(image, "RPK.BIN"));
        const std::string out = into + "/files";
        fs::create_directories(out);
        const std::string k = layouts.rpk.label == 'A' ? "korvane-a" : "korvane-b";
        const std::string t = layouts.fpack.label == 'A' ? "tillet-a" : "tillet-b";
        RunResult r =
            run_program(tool_path(k), {into + "/game/SLUS_217.88", into + "/game/RPK.BIN"}, out);
        EXPECT_EQ(r.status, 0) << r.err;
        r = run_program(tool_path(t), {into + "/game/SLUS_217.88"}, out);
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, Bytes> files;
        for (const auto& [path, data] : files_below(out)) {
            files["files/" + path] = data;
        }
        return files;
    }

    std::map<std::string, Bytes> workspace_files() const {
        std::map<std::string, Bytes> files;
        for (const auto& [path, data] : files_below(ws())) {
            if (path.starts_with("files/")) {
                files.emplace(path, data);
            }
        }
        return files;
    }

    LayoutCombination layouts;
    TempDir tmp;
    SampleGame game;
};

// The text of record `record` of the .evd `data`, through the game's table.
std::string evd_text(const Bytes& data, const std::string& table_path, std::size_t record) {
    TextTable table;
    std::vector<std::string> warnings;
    std::string err;
    const Bytes table_file = read_file(table_path);
    EXPECT_TRUE(TextTable::parse(text_of(table_file), table_path, &table, &warnings, &err)) << err;
    std::vector<TextEntry> entries;
    EXPECT_TRUE(dump_evd_texts({"e.evd", {data.data(), data.size()}}, &table, &entries, &err))
        << err;
    return record < entries.size() ? entries[record].original : std::string("(no such record)");
}

class ModkitImageLayouts : public testing::TestWithParam<LayoutCombination> {};

// Image in, image out, in every pairing of the layouts: the new image holds
// the translated text through the table, and every other file as it was.
TEST_P(ModkitImageLayouts, TranslatedTextRoundTripsThroughTheImage) {
    const ImageGame g(GetParam());
    RunResult r = g.unpack();
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes original_iso = read_file(g.iso());
    const std::map<std::string, Bytes> before = g.workspace_files();
    const std::string po = text_of(read_file(g.po_path()));
    const std::string context = encoded_context(po);
    // Accented letters are in the table, not in ASCII: they go through it.
    const std::string translation = "Bonjour, l'\xC3\xA9l\xC3\xA8ve !";
    write_file(g.po_path(), bytes_of(translated(po, context, translation)));
    r = modkit({"status", g.ws()}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string file = "files/" + context.substr(0, context.find('#'));
    EXPECT_NE(r.out.find("edited texts:   " + file + " (1 text)\n"), std::string::npos) << r.out;

    r = modkit({"pack", g.ws(), g.tmp / "new.iso"}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("texts: 1 translated, "), std::string::npos) << r.out;
    EXPECT_EQ(read_file(g.iso()), original_iso);  // only read

    const std::map<std::string, Bytes> after = g.extract(g.tmp / "new.iso", g.tmp / "check");
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [path, data] : before) {
        if (path == file) {
            EXPECT_NE(after.at(path), data);
            const std::size_t record = std::stoul(context.substr(context.find('#') + 1));
            EXPECT_EQ(evd_text(after.at(path), g.table(), record), translation);
            EXPECT_EQ(read_file(g.ws() + "/" + path), after.at(path));  // the workspace follows
        } else {
            EXPECT_EQ(after.at(path), data) << path;
        }
    }
    check_with_isoinfo(g.tmp.path(), g.tmp / "new.iso", "SLUS_217.88",
                       file_in_image(g.tmp / "new.iso", "SLUS_217.88"));
    check_with_isoinfo(g.tmp.path(), g.tmp / "new.iso", "RPK.BIN",
                       file_in_image(g.tmp / "new.iso", "RPK.BIN"));

    // A second pack with no new edit writes the same image.
    r = modkit({"pack", g.ws(), g.tmp / "again.iso"}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("nothing changed since the last pack"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(g.tmp / "again.iso"), read_file(g.tmp / "new.iso"));
}

INSTANTIATE_TEST_SUITE_P(Layouts, ModkitImageLayouts, testing::ValuesIn(layouts_to_test()),
                         [](const auto& p) {
                             return std::string(1, p.param.rpk.label) + p.param.fpack.label;
                         });

TEST(ModkitTexts, UnpackWritesEveryTextAndTheTable) {
    const ImageGame g;
    const RunResult r = g.unpack();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(g.ws() + "/.modkit/table"), read_file(g.table()));
    const std::string po = text_of(read_file(g.po_path()));
    // One entry per text of every .evd of the game, named below files/.
    std::size_t texts = 0;
    for (const auto& [path, data] : g.game.extracted) {
        if (path.ends_with(".evd")) {
            std::vector<TextEntry> entries;
            std::string err;
            TextTable table;
            std::vector<std::string> warnings;
            ASSERT_TRUE(
                TextTable::parse(text_of(read_file(g.table())), "t", &table, &warnings, &err));
            ASSERT_TRUE(dump_evd_texts({path, {data.data(), data.size()}}, &table, &entries, &err))
                << err;
            texts += entries.size();
            for (const TextEntry& entry : entries) {
                EXPECT_NE(po.find("msgctxt \"" + record_context(path, entry.record) + "\""),
                          std::string::npos);
            }
        }
    }
    EXPECT_GT(texts, 0u);
    std::size_t entries = 0;
    for (std::size_t at = po.find("\nmsgctxt "); at != std::string::npos;
         at = po.find("\nmsgctxt ", at + 1)) {
        ++entries;
    }
    EXPECT_EQ(entries, texts);
    EXPECT_NE(r.out.find(std::to_string(texts) + " texts (of "), std::string::npos) << r.out;
}

TEST(ModkitTexts, FuzzyEntriesAreNotPutBack) {
    const ImageGame g;
    ASSERT_EQ(g.unpack().status, 0);
    const std::string po = text_of(read_file(g.po_path()));
    write_file(g.po_path(), bytes_of(translated(po, encoded_context(po), "Draft", true)));
    RunResult r = modkit({"status", g.ws()}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(no text of the game changes)"), std::string::npos) << r.out;
    r = modkit({"pack", g.ws(), g.tmp / "new.iso"}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("nothing edited since unpack; texts: 0 translated"), std::string::npos)
        << r.out;
    // The game's files as unpack wrote them: the draft is not in them.
    EXPECT_EQ(g.extract(g.tmp / "new.iso", g.tmp / "check"), g.workspace_files());
}

TEST(ModkitTexts, AnEvdEditedAloneGoesInAndItsEntriesAreMadeAgain) {
    const ImageGame g;
    ASSERT_EQ(g.unpack().status, 0);
    const std::string po = text_of(read_file(g.po_path()));
    const std::string context = encoded_context(po);
    const std::string file = g.ws() + "/files/" + context.substr(0, context.find('#'));
    // Another first text, written by brenmark's library: the PO's msgid follows.
    EvdFile parsed;
    std::string err;
    Bytes evd = read_file(file);
    ASSERT_TRUE(parse_evd({evd.data(), evd.size()}, file, &parsed, &err)) << err;
    std::vector<std::string> texts;
    for (const EvdRecord& record : parsed.records) {
        texts.push_back(record.text);
    }
    ASSERT_FALSE(texts.empty());
    texts[0] = "Direct";
    std::vector<std::uint8_t> edited;
    ASSERT_TRUE(build_evd(parsed, texts, &edited, &err)) << err;
    write_file(file, Bytes(edited.begin(), edited.end()));
    ASSERT_EQ(evd_text(read_file(file), g.table(), 0), "Direct");
    RunResult r = modkit({"pack", g.ws(), g.tmp / "out"}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(made again)"), std::string::npos) << r.out;
    const std::string po_after = text_of(read_file(g.po_path()));
    EXPECT_NE(po_after, po);
    r = modkit({"status", g.ws()}, g.tmp.path());
    EXPECT_EQ(r.out, "nothing edited\n");
    // A translation of the remade entry goes in on top of the direct edit.
    write_file(g.po_path(), bytes_of(translated(po_after, context, "Fine")));
    r = modkit({"pack", g.ws(), g.tmp / "out2"}, g.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::size_t record = std::stoul(context.substr(context.find('#') + 1));
    EXPECT_EQ(evd_text(read_file(file), g.table(), record), "Fine");
}

// Every refusal: no output, and the workspace exactly as it was.
struct Refusal {
    const char* name;
    // Edits the workspace (or the game) of `g`; gives the output to name.
    std::string (*prepare)(const ImageGame& g);
    const char* message;  ///< a part of the error
};

const Refusal REFUSALS[] = {
    {"PoAndEvdBothEdited",
     [](const ImageGame& g) {
         const std::string po = text_of(read_file(g.po_path()));
         const std::string context = encoded_context(po);
         write_file(g.po_path(), bytes_of(translated(po, context, "Both")));
         const std::string evd = g.ws() + "/files/" + context.substr(0, context.find('#'));
         Bytes data = read_file(evd);
         data.back() ^= 1;
         write_file(evd, data);
         return g.tmp / "out.iso";
     },
     "texts/texts.po: was edited, and so was "},
    {"UntranslatableText",
     [](const ImageGame& g) {
         const std::string po = text_of(read_file(g.po_path()));
         write_file(g.po_path(),
                    bytes_of(translated(po, encoded_context(po), "\xE2\x98\x83 not in the table")));
         return g.tmp / "out.iso";
     },
     "texts.po"},
    {"ImageChangedSinceUnpack",
     [](const ImageGame& g) {
         Bytes iso = read_file(g.iso());
         iso[iso.size() - 1] ^= 1;
         write_file(g.iso(), iso);
         return g.tmp / "out.iso";
     },
     "is not the image the workspace was unpacked from"},
    {"OutputIsTheImage", [](const ImageGame& g) { return g.iso(); }, "game.iso"},
    {"OutputInsideTheWorkspace", [](const ImageGame& g) { return g.ws() + "/new.iso"; },
     "; name an image outside it"},
    {"OutputIsAFolder",
     [](const ImageGame& g) {
         fs::create_directory(g.tmp / "dir.iso");
         return g.tmp / "dir.iso";
     },
     "is a folder; name the new image's file"},
};

class ModkitRefusals : public testing::TestWithParam<Refusal> {};

TEST_P(ModkitRefusals, LeaveNoOutputAndTheWorkspaceAsItWas) {
    const ImageGame g;
    ASSERT_EQ(g.unpack().status, 0);
    const std::string output = GetParam().prepare(g);
    const bool output_existed = fs::exists(output);
    // Every file and folder, so that a staging folder left behind shows.
    auto tree = [&] { return read_tree(g.ws()); };
    const std::map<std::string, Bytes> workspace = tree();
    const RunResult r = modkit({"pack", g.ws(), output}, g.tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
    EXPECT_EQ(tree(), workspace);
    if (!output_existed) {
        EXPECT_FALSE(fs::exists(output));
    }
    EXPECT_FALSE(fs::exists(g.tmp / "out.iso"));
}

INSTANTIATE_TEST_SUITE_P(Cases, ModkitRefusals, testing::ValuesIn(REFUSALS),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ModkitTexts, PackIntoAnImageNeedsAWorkspaceFromAnImage) {
    const ImageGame g;
    fs::create_directory(g.tmp / "game");
    write_file(g.tmp / "game/SLUS_217.88", file_in_image(g.iso(), "SLUS_217.88"));
    write_file(g.tmp / "game/RPK.BIN", file_in_image(g.iso(), "RPK.BIN"));
    ASSERT_EQ(modkit({"unpack", g.tmp / "game", g.ws()}, g.tmp.path()).status, 0);
    const RunResult r = modkit({"pack", g.ws(), g.tmp / "out.iso"}, g.tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_NE(r.err.find("unpacked from a folder, not from a disc image"), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(g.tmp / "out.iso"));
    // The same game from its image packs into a folder too, as from the folder.
    ASSERT_EQ(modkit({"unpack", g.iso(), g.tmp / "ws2"}, g.tmp.path()).status, 0);
    ASSERT_EQ(modkit({"pack", g.tmp / "ws2", g.tmp / "out2"}, g.tmp.path()).status, 0);
    ASSERT_EQ(modkit({"pack", g.ws(), g.tmp / "out1"}, g.tmp.path()).status, 0);
    EXPECT_EQ(read_tree(g.tmp / "out1"), read_tree(g.tmp / "out2"));
}

// The game's files in an image: exactly one executable and one RPK.BIN in
// the root, each in one piece.
TEST(ModkitImageFiles, FindsTheGameFilesOrSaysWhatIsWrong) {
    struct Case {
        std::vector<std::string> paths;
        const char* error;  ///< part of it, or null: found
    };
    const Case cases[] = {
        {{"SLUS_217.88", "RPK.BIN", "SYSTEM.CNF"}, nullptr},
        {{"SLES_533.04", "rpk.bin"}, nullptr},
        {{"RPK.BIN"}, "holds no game executable"},
        {{"SLUS_217.88", "SLUS_217.89", "RPK.BIN"}, "more than one game executable"},
        {{"SLUS_217.88"}, "holds no RPK.BIN"},
        {{"DATA/SLUS_217.88", "RPK.BIN"}, "holds no game executable"},
    };
    for (const Case& c : cases) {
        IsoImage image;
        for (const std::string& path : c.paths) {
            IsoFile file;
            file.path = path;
            file.extents = {{100, 10}};
            image.files.push_back(file);
        }
        std::size_t exe = 0, rpk = 0;
        std::string err;
        const bool ok = find_image_game_files(image, "g.iso", &exe, &rpk, &err);
        EXPECT_EQ(ok, c.error == nullptr) << err;
        if (c.error != nullptr) {
            EXPECT_NE(err.find(c.error), std::string::npos) << err;
            EXPECT_TRUE(err.starts_with("Error: g.iso: ")) << err;
        } else {
            EXPECT_TRUE(is_executable_name(image.files[exe].path));
        }
    }
}

}  // namespace

// A pack holding an .evd, edited directly: pack makes that .evd's PO entries
// again from the pack's bytes, so that a later translation of it starts from
// what the pack now holds, not from the text that unpack saw.
TEST(ModkitTexts, AnEvdEditedThroughItsPackIsReadAgain) {
    TempDir tmp;
    SampleOptions options;
    options.evd_member = true;
    options.seed = 5;
    const SampleGame game = make_sample_game(options);
    fs::create_directory(tmp / "game");
    std::string err;
    ASSERT_TRUE(write_sample_game(game, tmp / "game", &err)) << err;
    const std::string ws = tmp / "ws";
    RunResult r = modkit({"unpack", tmp / "game", ws}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;

    // The first text of the member, changed by one letter inside the pack file.
    const SampleMember& member = game.packs[EVD_PACK].members.back();
    const std::string member_path = "fpack_extract/" + host_path(member.name);
    ASSERT_TRUE(member_path.ends_with(".evd"));
    EvdFile evd;
    const Bytes& original = game.fpack_extracted.at(member_path);
    ASSERT_TRUE(parse_evd({original.data(), original.size()}, member_path, &evd, &err)) << err;
    ASSERT_GE(evd.records.size(), 2u);
    std::string edited = evd.records[0].text;
    ASSERT_FALSE(edited.empty());
    edited[0] = edited[0] == 'Z' ? 'Y' : 'Z';
    const std::string pack_path = ws + "/files/" + host_path(game.packs[EVD_PACK].name);
    Bytes pack = read_file(pack_path);
    pack[std::size_t{member.sector} * 2048 + evd.records[0].offset + 24] =
        static_cast<std::uint8_t>(edited[0]);
    write_file(pack_path, pack);

    r = modkit({"pack", ws, tmp / "out1"}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    std::string po = text_of(read_file(ws + "/texts/texts.po"));
    EXPECT_NE(po.find("msgid \"" + edited + "\""), std::string::npos) << po.substr(0, 2000);
    EXPECT_EQ(po.find("msgid \"" + evd.records[0].text + "\""), std::string::npos);

    // A translation of its second text keeps the first as the pack edit left it.
    const std::size_t at = po.find("msgctxt \"" + member_path);
    ASSERT_NE(at, std::string::npos) << po.substr(0, 2000);
    const std::size_t end = po.find('"', at + 9);
    std::string context = po.substr(at + 9, end - at - 9);
    context = context.substr(0, context.rfind('#')) + "#1";
    const std::string translated_po = translated(po, context, "Translated words");
    write_file(ws + "/texts/texts.po", Bytes(translated_po.begin(), translated_po.end()));
    r = modkit({"pack", ws, tmp / "out2"}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes now = read_file(ws + "/files/" + member_path);
    EvdFile packed;
    ASSERT_TRUE(parse_evd({now.data(), now.size()}, member_path, &packed, &err)) << err;
    ASSERT_EQ(packed.records.size(), evd.records.size());
    EXPECT_EQ(packed.records[0].text, edited);
    EXPECT_EQ(packed.records[1].text, "Translated words");
}
