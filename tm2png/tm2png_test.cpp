// tm2png as a whole: every image of generated games survives export and
// import byte for byte, and the built program names, lists, warns and fails
// as documented.
#include "tm2png/tm2png.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "ossory/lzr.h"
#include "ossory/lzr_encoder.h"
#include "testing/test_support.h"
#include "tools/sample_game.h"
#include "tools/tim2_builder.h"

namespace {

RunResult tm2png(const std::vector<std::string>& args, const std::string& cwd) {
    return run_program(tool_path("tm2png"), args, cwd);
}

Bytes decode_lzr(const Bytes& file) {
    std::vector<std::uint8_t> out;
    std::string warning, err;
    EXPECT_TRUE(lzr_decode_file(file, "out.lzr", &out, &warning, &err)) << err;
    return out;
}

/// Exports every picture and imports it back, as a palette PNG when it is
/// one and again flattened to RGBA; both must give `tim2` back unchanged.
void expect_round_trip(const Bytes& tim2, const std::string& path) {
    Tim2File file;
    std::string err;
    ASSERT_TRUE(parse_tim2(tim2, path, &file, &err)) << err;
    Bytes copy = tim2;
    Bytes flattened = tim2;
    for (const Tim2Picture& picture : file.pictures) {
        Bytes png;
        ASSERT_TRUE(write_png(export_picture(tim2, picture), &png, &err)) << err;
        PngImage image;
        ASSERT_TRUE(read_png(png, picture.width, picture.height, &image, &err)) << err;
        PictureImport result;
        ASSERT_TRUE(import_picture(copy, picture, image, &result, &err)) << err;
        EXPECT_EQ(result.pixels_changed + result.colours_changed + result.nearest, 0u);
        PngImage rgba;
        rgba.width = image.width;
        rgba.height = image.height;
        std::vector<Rgba> colours;
        ASSERT_TRUE(png_to_rgba(image, &colours, &err)) << err;
        for (const Rgba& c : colours) {
            rgba.pixels.insert(rgba.pixels.end(), {c.r, c.g, c.b, c.a});
        }
        ASSERT_TRUE(import_picture(flattened, picture, rgba, &result, &err)) << err;
        EXPECT_EQ(result.nearest, 0u);
    }
    EXPECT_TRUE(copy == tim2) << path;
    EXPECT_TRUE(flattened == tim2) << path << " (as RGBA)";
}

const SampleGame& sample_game() {
    static const SampleGame game = [] {
        SampleOptions options;
        options.archive_size = 5u << 20;
        return make_sample_game(options);
    }();
    return game;
}

}  // namespace

TEST(Tm2pngNames, PicturePngPaths) {
    const struct {
        const char* path;
        std::size_t index, count;
        const char* expected;
    } cases[] = {
        {"out.png", 0, 1, "out.png"},   {"out", 0, 1, "out"},
        {"out.png", 0, 3, "out.0.png"}, {"dir.v2/TITLE.PNG", 2, 3, "dir.v2/TITLE.2.PNG"},
        {"out", 1, 2, "out.1.png"},     {"a.png.bak", 11, 12, "a.png.bak.11.png"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(picture_png_path(c.path, c.index, c.count), c.expected) << c.path;
    }
    EXPECT_TRUE(wants_lzr("t.tm2.lzr"));
    EXPECT_TRUE(wants_lzr("T.TM2.LZR"));
    EXPECT_FALSE(wants_lzr("t.tm2"));
    EXPECT_FALSE(wants_lzr("lzr"));
}

TEST(Tm2pngGame, EveryGeneratedImageSurvivesExportAndImport) {
    // The game's images, and what they hold between them.
    std::set<std::string> seen;
    for (std::uint64_t seed : {1, 2}) {
        SampleOptions options;
        options.archive_size = 5u << 20;
        options.seed = seed;
        const SampleGame game = make_sample_game(options);
        ASSERT_EQ(game.tim2_images.size(), game.tim2_files.size());
        for (const auto& [path, plain] : game.tim2_images) {
            SCOPED_TRACE(path);
            const Bytes& stored = path.starts_with("fpack_extract/") ? game.fpack_extracted.at(path)
                                                                     : game.extracted.at(path);
            Tim2Source source;
            std::string warning, err;
            ASSERT_TRUE(load_tim2(stored, path, &source, &warning, &err)) << err;
            EXPECT_TRUE(source.tim2 == plain);
            EXPECT_EQ(source.compressed, path.ends_with(".lzr"));
            if (source.compressed) {
                EXPECT_NE(source.first_word, 0u);
                seen.insert("compressed");
            }
            seen.insert(path.starts_with("fpack_extract/") ? "pack member" : "archive file");
            expect_round_trip(plain, path);

            Tim2File file;
            ASSERT_TRUE(parse_tim2(plain, path, &file, &err)) << err;
            seen.insert("format id " + std::to_string(file.format_id));
            if (file.pictures.size() > 1) {
                seen.insert("several pictures");
            }
            for (const Tim2Picture& p : file.pictures) {
                seen.insert("type " + std::to_string(p.image_type));
                if (p.indexed()) {
                    seen.insert("CLUT " + std::to_string(p.clut_format()) +
                                (p.csm2() ? " CSM2" : " CSM1"));
                }
                if (p.image_type == TIM2_INDEXED4 && p.clut_swizzled()) {
                    seen.insert("compound");
                }
                if (p.indexed() && p.palette_count() > 1) {
                    seen.insert("several palettes");
                }
                if (p.levels.size() > 1) {
                    seen.insert("mipmaps");
                }
                if (p.user_data_size() > 0) {
                    seen.insert("user data");
                }
                if (alpha_above_opaque(plain, p)) {
                    seen.insert("alpha kept");
                }
            }
        }
    }
    for (const char* kind :
         {"compressed",       "pack member",      "archive file", "format id 0", "format id 1",
          "several pictures", "type 1",           "type 2",       "type 3",      "type 4",
          "type 5",           "CLUT 1 CSM1",      "CLUT 1 CSM2",  "CLUT 3 CSM1", "CLUT 3 CSM2",
          "compound",         "several palettes", "mipmaps",      "user data",   "alpha kept"}) {
        EXPECT_TRUE(seen.count(kind)) << kind;
    }
}

TEST(Tm2pngTool, UsageOnAWrongArgumentCount) {
    TempDir tmp;
    const std::string program = tool_path("tm2png");
    const std::string expected = "tm2png v1.0\n\nusage: " + program +
                                 " <image.tm2[.lzr]> <out.png>  |  " + program +
                                 " <original.tm2[.lzr]> <edited.png> <output.tm2[.lzr]>\n";
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"a.tm2"},
                             std::vector<std::string>{"a", "b", "c", "d"}}) {
        const RunResult r = tm2png(args, tmp.path());
        EXPECT_EQ(r.err, expected);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, FAILURE_STATUS);
    }
    EXPECT_TRUE(read_tree(tmp.path()).empty());
}

TEST(Tm2pngTool, ExportsAndImportsTheGamesImagesUnchanged) {
    const SampleGame& game = sample_game();
    for (const std::string& path : game.tim2_files) {
        if (path.starts_with("fpack_extract/")) {
            continue;
        }
        SCOPED_TRACE(path);
        TempDir tmp;
        const bool compressed = path.ends_with(".lzr");
        const std::string input = compressed ? "in.tm2.lzr" : "in.tm2";
        const Bytes& stored = game.extracted.at(path);
        const Bytes& plain = game.tim2_images.at(path);
        write_file(tmp / input, stored);
        RunResult r = tm2png({input, "p.png"}, tmp.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        // Both outputs, the original itself (replaced in place), and the
        // other form than the input's.
        for (const std::string& output :
             {std::string("out.tm2"), std::string("out.tm2.lzr"), input}) {
            r = tm2png({input, "p.png", output}, tmp.path());
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            const Bytes written = read_file(tmp / output);
            if (output.ends_with(".lzr")) {
                EXPECT_TRUE(decode_lzr(written) == plain) << output;
                // The original's first header word, 0 for a plain original.
                EXPECT_EQ(load_le32(written.data()), compressed ? load_le32(stored.data()) : 0u);
            } else {
                EXPECT_TRUE(written == plain) << output;
            }
        }
    }
}

TEST(Tm2pngTool, ListsNamesKeepsMissingPicturesAndWarns) {
    const SampleGame& game = sample_game();
    TempDir tmp;
    write_file(tmp / "ui.tm2.lzr", game.extracted.at("tex/ui/t001.tm2.lzr"));
    const Bytes& plain = game.tim2_images.at("tex/ui/t001.tm2.lzr");
    RunResult r = tm2png({"ui.tm2.lzr", "ui.png"}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string p0 =
        "picture 0: 32x32, 4-bit indexed, CLUT 64 x 16-bit (CSM1, compound), 4 palettes";
    const std::string p1 = "picture 1: 24x16, 16-bit direct";
    const std::string p2 = "picture 2: 16x16, 32-bit direct, alpha kept (values above 0x80)";
    EXPECT_EQ(r.out, p0 + " -> ui.0.png\n" + p1 + " -> ui.1.png\n" + p2 + " -> ui.2.png\n");
    EXPECT_FALSE(file_exists(tmp / "ui.png"));

    // Picture 0 edited with a colour the palette lacks; picture 1's PNG gone.
    PngImage image;
    std::string err;
    ASSERT_TRUE(read_png(read_file(tmp / "ui.0.png"), 0, 0, &image, &err)) << err;
    std::vector<Rgba> colours;
    ASSERT_TRUE(png_to_rgba(image, &colours, &err));
    PngImage edited;
    edited.width = 32;
    edited.height = 32;
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const Rgba c = i < 3 ? Rgba{1, 254, 3, 255} : colours[i];
        edited.pixels.insert(edited.pixels.end(), {c.r, c.g, c.b, c.a});
    }
    Bytes png;
    ASSERT_TRUE(write_png(edited, &png, &err));
    write_file(tmp / "ui.0.png", png);
    std::filesystem::remove(tmp / "ui.1.png");
    r = tm2png({"ui.tm2.lzr", "ui.png", "new.tm2"}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')).rfind(p0 + " <- ui.0.png: ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n" + p1 + " <- no ui.1.png: kept as it was\n" + p2 +
                         " <- ui.2.png: unchanged\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.err,
              "Warning: ui.0.png: 3 pixels have colours that the palette of picture 0 lacks; "
              "mapped to the nearest palette colour\n");
    // Only picture 0's pixels differ from the original.
    Tim2File file;
    ASSERT_TRUE(parse_tim2(plain, "ui", &file, &err));
    const Bytes written = read_file(tmp / "new.tm2");
    ASSERT_EQ(written.size(), plain.size());
    const Tim2Level& level0 = file.pictures[0].levels[0];
    for (std::size_t i = 0; i < plain.size(); ++i) {
        if (written[i] != plain[i]) {
            EXPECT_TRUE(i >= level0.offset && i < level0.offset + 2) << i;
        }
    }

    // No PNG at all is an error, and nothing is written.
    for (const char* name : {"ui.0.png", "ui.2.png"}) {
        std::filesystem::remove(tmp / name);
    }
    const auto before = read_tree(tmp.path());
    r = tm2png({"ui.tm2.lzr", "ui.png", "other.tm2"}, tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err, "Error: ui.png: none of the 3 pictures has its PNG (ui.0.png to ui.2.png)\n");
    EXPECT_EQ(read_tree(tmp.path()), before);
}

TEST(Tm2pngTool, FailuresWriteNothing) {
    TempDir tmp;
    Tim2PictureContents picture;
    picture.image_type = TIM2_DIRECT24;
    picture.width = 2;
    picture.height = 2;
    picture.levels = {Bytes(12, 9)};
    const Bytes good = build_tim2({picture});
    Bytes bad_type = good;
    bad_type[16 + 19] = 7;
    write_file(tmp / "good.tm2", good);
    write_file(tmp / "bad.tm2", bad_type);
    write_file(tmp / "text.tm2", bytes_of("hello, this is no image at all"));
    std::vector<std::uint8_t> packed;
    std::string err;
    ASSERT_TRUE(lzr_compress(bytes_of("not an image"), 7, &packed, &err)) << err;
    write_file(tmp / "packed.tm2.lzr", packed);
    write_file(tmp / "keep.tm2", bytes_of("old"));
    write_file(tmp / "keep.png", bytes_of("old png"));
    Tim2PictureContents wide = picture;
    wide.width = 3;
    wide.levels = {Bytes(18, 9)};
    const Bytes wide_file = build_tim2({wide});
    Tim2File parsed;
    ASSERT_TRUE(parse_tim2(wide_file, "wide", &parsed, &err));
    Bytes wide_png;
    ASSERT_TRUE(write_png(export_picture(wide_file, parsed.pictures[0]), &wide_png, &err));
    write_file(tmp / "wide.png", wide_png);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"nope.tm2", "keep.png"}, "Could not open nope.tm2 (No such file or directory)\n"},
        {{"bad.tm2", "keep.png"},
         "Error: bad.tm2: picture 0: image type 7 is none of 1-5 (16, 24, 32-bit direct, 4, "
         "8-bit indexed) (offset 0x23)\n"},
        {{"text.tm2", "keep.png"},
         "Error: text.tm2: neither a TIM2 image (it does not start with \"TIM2\") nor an "
         "LZR file (the control stream of 243533198 bytes does not fit in the file of 30 "
         "bytes (offset 0x10))\n"},
        {{"packed.tm2.lzr", "keep.png"},
         "Error: packed.tm2.lzr: decodes as an LZR file to 12 bytes that are not a TIM2 image "
         "(they do not start with \"TIM2\")\n"},
        {{"good.tm2", "wide.png", "keep.tm2"},
         "Error: wide.png: the PNG is 3x2, but the picture is 2x2 (picture 0)\n"},
        {{"good.tm2", "nope.png", "keep.tm2"},
         "Could not open nope.png (No such file or directory)\n"},
        {{"good.tm2", "keep.png", "keep.tm2"},
         "Error: keep.png: not a PNG file (no PNG signature) (picture 0)\n"},
    };
    const auto before = read_tree(tmp.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const RunResult r = tm2png(c.args, tmp.path());
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(read_tree(tmp.path()), before);
}
