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
            ASSERT_TRUE(load_tim2(ByteBuffer(stored.begin(), stored.end()), path, UINT64_MAX,
                                  &source, &warning, &err))
                << err;
            EXPECT_TRUE(std::ranges::equal(source.tim2, plain));
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
    Bytes good_png;
    ASSERT_TRUE(parse_tim2(good, "good", &parsed, &err));
    ASSERT_TRUE(write_png(export_picture(good, parsed.pictures[0]), &good_png, &err));
    write_file(tmp / "good.png", good_png);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"nope.tm2", "keep.png"}, "Could not open nope.tm2 (No such file or directory)\n"},
        {{"bad.tm2", "keep.png"},
         "Error: bad.tm2: image type 7 is none of 1-5 (16, 24, 32-bit direct, 4, "
         "8-bit indexed) (picture 0, offset 0x23)\n"},
        {{"text.tm2", "keep.png"},
         "Error: text.tm2: neither a TIM2 image (it does not start with \"TIM2\") nor an "
         "LZR file: the control stream of 243533198 bytes does not fit in the file of 30 "
         "bytes (offset 0x10)\n"},
        {{"packed.tm2.lzr", "keep.png"},
         "Error: packed.tm2.lzr: decodes as an LZR file to 12 bytes that are not a TIM2 image "
         "(they do not start with \"TIM2\")\n"},
        {{"good.tm2", "wide.png", "keep.tm2"},
         "Error: wide.png: the PNG is 3x2, but the picture is 2x2 (picture 0)\n"},
        {{"good.tm2", "nope.png", "keep.tm2"},
         "Could not open nope.png (No such file or directory)\n"},
        {{"good.tm2", "keep.png", "keep.tm2"},
         "Error: keep.png: not a PNG file (no PNG signature) (picture 0)\n"},
        // Nothing is listed for a file that cannot be written.
        {{"good.tm2", "nodir/x.png"}, "Could not open nodir/x.png (No such file or directory)\n"},
        {{"good.tm2", "good.png", "nodir/x.tm2"},
         "Could not open nodir/x.tm2 (No such file or directory)\n"},
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

// An editor that sorts the palette of a picture with four palettes: the
// import maps the pixels back, says so, and changes nothing; reordered and
// recoloured at once, it is refused.
TEST(Tm2pngTool, AReorderedPaletteIsMappedBackAndListed) {
    const SampleGame& game = sample_game();
    TempDir tmp;
    write_file(tmp / "ui.tm2.lzr", game.extracted.at("tex/ui/t001.tm2.lzr"));
    const Bytes& plain = game.tim2_images.at("tex/ui/t001.tm2.lzr");
    RunResult r = tm2png({"ui.tm2.lzr", "ui.png"}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    PngImage image;
    std::string err;
    ASSERT_TRUE(read_png(read_file(tmp / "ui.0.png"), 0, 0, &image, &err)) << err;
    ASSERT_EQ(image.palette.size(), 16u);
    PngImage sorted = image;
    for (std::size_t j = 0; j < 16; ++j) {
        sorted.palette[j] = image.palette[15 - j];
    }
    for (std::uint8_t& p : sorted.pixels) {
        p = static_cast<std::uint8_t>(15 - p);
    }
    Bytes png;
    ASSERT_TRUE(write_png(sorted, &png, &err)) << err;
    write_file(tmp / "ui.0.png", png);
    r = tm2png({"ui.tm2.lzr", "ui.png", "new.tm2"}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
              "picture 0: 32x32, 4-bit indexed, CLUT 64 x 16-bit (CSM1, compound), 4 palettes <- "
              "ui.0.png: unchanged, pixels mapped back by colour from the PNG's reordered "
              "palette");
    EXPECT_TRUE(read_file(tmp / "new.tm2") == plain);

    // A colour of the sorted palette edited too.
    sorted.palette[sorted.pixels[0]] = {1, 254, 3, 255};
    ASSERT_TRUE(write_png(sorted, &png, &err)) << err;
    write_file(tmp / "ui.0.png", png);
    const auto before = read_tree(tmp.path());
    r = tm2png({"ui.tm2.lzr", "ui.png", "other.tm2"}, tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_TRUE(
        r.err.starts_with("Error: ui.0.png: the PNG's palette is in another order than "
                          "the picture's palette 0 (its entry "))
        << r.err;
    EXPECT_TRUE(r.err.ends_with(" (picture 0)\n")) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_tree(tmp.path()), before);
}

// The output's kind follows the name of the file that is written, not of a
// link to it: an LZR file stays an LZR file, a plain image a plain one, and
// an image is never written as a PNG.
TEST(Tm2pngTool, OutputsThroughLinksAreWrittenAsTheFileTheyReach) {
    const SampleGame& game = sample_game();
    TempDir tmp;
    const std::string path = "tex/ui/t001.tm2.lzr";
    write_file(tmp / "t8.tm2.lzr", game.extracted.at(path));
    write_file(tmp / "t8.tm2", game.tim2_images.at(path));
    if (!make_symlink("t8.tm2.lzr", tmp / "t8link.tm2") ||
        !make_symlink("t8.tm2", tmp / "plainlink.tm2.lzr") ||
        !make_symlink("t8.tm2", tmp / "imagelink.1.png")) {
        GTEST_SKIP() << "this system makes no symbolic links";
    }
    RunResult r = tm2png({"t8.tm2.lzr", "t8.png"}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;

    r = tm2png({"t8.tm2.lzr", "t8.png", "t8link.tm2"}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes written = read_file(tmp / "t8.tm2.lzr");
    EXPECT_NE(std::string(written.begin(), written.begin() + 4), "TIM2");
    EXPECT_TRUE(decode_lzr(written) == game.tim2_images.at(path));
    EXPECT_EQ(load_le32(written.data()), load_le32(game.extracted.at(path).data()));

    r = tm2png({"t8.tm2.lzr", "t8.png", "plainlink.tm2.lzr"}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(tmp / "t8.tm2") == game.tim2_images.at(path));

    const auto before = read_tree(tmp.path());
    r = tm2png({"t8.tm2.lzr", "imagelink.png"}, tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err,
              "Error: imagelink.1.png: a link to t8.tm2, whose name does not end in .png; a PNG "
              "is written only into a file named so\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_tree(tmp.path()), before);
}

// What an export takes, against what export_memory says it takes at most:
// noise (which no PNG compresses) of every kind of picture, in several sizes.
TEST(Tm2pngMemory, AnExportTakesNoMoreThanItsEstimate) {
    std::uint32_t state = 12345;
    auto noise = [&](std::size_t n) {
        Bytes b(n);
        for (std::uint8_t& v : b) {
            state = state * 1664525u + 1013904223u;
            v = static_cast<std::uint8_t>(state >> 24);
        }
        return b;
    };
    std::vector<Tim2PictureContents> pictures;
    for (const std::uint8_t type :
         {TIM2_DIRECT16, TIM2_DIRECT24, TIM2_DIRECT32, TIM2_INDEXED4, TIM2_INDEXED8}) {
        for (const auto& [w, h] :
             {std::pair<std::uint16_t, std::uint16_t>{1, 1}, {7, 3}, {300, 200}}) {
            Tim2PictureContents p;
            p.image_type = type;
            p.width = w;
            p.height = h;
            p.levels = {noise(tim2_level_bytes(type, w, h))};
            if (type >= TIM2_INDEXED4) {
                p.clut_type = 0x83;
                p.clut_colours = type == TIM2_INDEXED4 ? 16 : 256;
                p.clut = noise(4u * p.clut_colours);
                for (std::size_t i = 3; i < p.clut.size(); i += 4) {
                    p.clut[i] &= 0x7F;
                }
            }
            pictures.push_back(p);
        }
    }
    const Bytes tim2 = build_tim2(pictures);
    Tim2File file;
    std::string err;
    ASSERT_TRUE(parse_tim2(tim2, "noise.tm2", &file, &err)) << err;
    std::uint64_t pngs = 0, largest_pixels = 0;
    for (const Tim2Picture& picture : file.pictures) {
        SCOPED_TRACE(describe_picture(picture, 0, false));
        const PngImage image = export_picture(tim2, picture);
        Bytes png;
        ASSERT_TRUE(write_png(image, &png, &err)) << err;
        const unsigned bits = picture.image_type == TIM2_INDEXED4   ? 4
                              : picture.image_type == TIM2_INDEXED8 ? 8
                                                                    : 8 * image.bytes_per_pixel();
        EXPECT_LE(png.capacity(), png_size_bound(picture.width, picture.height, bits));
        pngs += png.capacity();
        largest_pixels = std::max<std::uint64_t>(largest_pixels, image.pixels.size());
    }
    std::size_t largest = 99;
    EXPECT_GE(export_memory(file, &largest), pngs + largest_pixels);
    // 16-bit pictures export as RGBA as 32-bit ones do; the first of the
    // largest is named.
    EXPECT_EQ(largest, 2u);
    EXPECT_EQ(file.pictures[largest].width, 300);
    // The estimate is a bound, not a multiple: the PNGs of noise fill most of it.
    EXPECT_LT(export_memory(file, &largest), 2 * (pngs + largest_pixels));
}

namespace {

// An LZR file that decodes to a TIM2 of one 8-bit picture of `side` x `side`
// pixels, all 0 (as is its CLUT of 256 colours), built operation by
// operation: literals for the headers, then fills of 255 zero bytes.
Bytes huge_picture_lzr(std::uint16_t side) {
    Tim2PictureContents p;
    p.image_type = TIM2_INDEXED8;
    p.width = side;
    p.height = side;
    p.clut_type = 0x03;
    p.clut_colours = 256;
    p.levels = {Bytes(1)};  // sizes patched below
    p.clut = Bytes(1024);
    Bytes head = build_tim2({p});
    head.resize(16 + 48);
    const std::uint64_t pixels = std::uint64_t{side} * side;
    const std::uint64_t image = (pixels + 15) / 16 * 16;
    const auto put32 = [&](std::size_t at, std::uint64_t v) {
        for (int i = 0; i < 4; ++i) {
            head[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    };
    put32(16, 48 + image + 1024);
    put32(16 + 8, image);
    const std::uint64_t zeros = image + 1024;
    const std::uint64_t fills = (zeros + 254) / 255;
    const std::uint64_t ops = head.size() + fills;
    Bytes control((ops + 3) / 4, 0);
    Bytes operands(head.begin(), head.end());
    for (std::uint64_t f = 0; f < fills; ++f) {
        const std::uint64_t op = head.size() + f;
        control[op / 4] = static_cast<std::uint8_t>(control[op / 4] | 2u << (6 - 2 * (op % 4)));
        operands.push_back(static_cast<std::uint8_t>(f + 1 < fills ? 255 : zeros - 255 * f));
        operands.push_back(0);
    }
    Bytes file;
    append_le32(file, 0x1234);
    append_le32(file, static_cast<std::uint32_t>(2 * ops));
    append_le32(file, static_cast<std::uint32_t>(operands.size()));
    append_le32(file, static_cast<std::uint32_t>(head.size() + zeros));
    file.insert(file.end(), control.begin(), control.end());
    file.insert(file.end(), operands.begin(), operands.end());
    return file;
}

}  // namespace

TEST(Tm2pngMemory, ACompressedImagesPicturesAreKnownBeforeItIsDecoded) {
    // 4 GiB decoded from 38 MB: the peek decodes its first 64 KiB only.
    const Bytes huge = huge_picture_lzr(65535);
    std::uint64_t decoded = 0;
    Tim2File start;
    ASSERT_TRUE(peek_compressed_tim2(huge, &decoded, &start));
    EXPECT_EQ(decoded, load_le32(huge.data() + 12));
    ASSERT_EQ(start.pictures.size(), 1u);
    EXPECT_EQ(start.pictures[0].width, 65535);
    EXPECT_EQ(start.pictures[0].height, 65535);
    EXPECT_EQ(start.pictures[0].image_type, TIM2_INDEXED8);
    std::size_t largest = 1;
    EXPECT_GT(export_memory(start, &largest), std::uint64_t{8} << 30);
    EXPECT_EQ(largest, 0u);

    // Every picture of a small image, and the same as parsing the decoded whole.
    const SampleGame& game = sample_game();
    const std::string path = "tex/ui/t001.tm2.lzr";
    ASSERT_TRUE(peek_compressed_tim2(game.extracted.at(path), &decoded, &start));
    Tim2File whole;
    std::string err;
    ASSERT_TRUE(parse_tim2(game.tim2_images.at(path), path, &whole, &err)) << err;
    EXPECT_EQ(decoded, game.tim2_images.at(path).size());
    ASSERT_EQ(start.pictures.size(), whole.pictures.size());
    EXPECT_EQ(export_memory(start, &largest), export_memory(whole, &largest));
    // Neither a plain image nor anything else is an LZR file of one.
    EXPECT_FALSE(peek_compressed_tim2(game.tim2_images.at(path), &decoded, &start));
    EXPECT_FALSE(peek_compressed_tim2(bytes_of("not an image at all"), &decoded, &start));
}

TEST(Tm2pngMemory, HugePicturesAreRefusedBeforeTheirMemoryIsTaken) {
    if (built_with_address_sanitizer()) {
        GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
    }
    if (running_under_wine()) {
        GTEST_SKIP() << "wine does not hold a program to the memory limit of its job object";
    }
    TempDir tmp;
    // The small file holds what an export would run with: it decodes and
    // converts like any other.
    write_file(tmp / "small.tm2.lzr", huge_picture_lzr(64));
    RunOptions options;
    options.memory_limit = 640u << 20;
    RunResult r =
        run_program(tool_path("tm2png"), {"small.tm2.lzr", "small.png"}, tmp.path(), options);
    ASSERT_EQ(r.status, 0) << r.err;

    // 65535 x 65535: 4 GiB to decode and 8 GiB more to convert, more than
    // the limit leaves. Known from the picture's header, which is decoded
    // alone first: refused at once, before the image is decoded.
    const Bytes huge = huge_picture_lzr(65535);
    write_file(tmp / "huge.tm2.lzr", huge);
    write_file(tmp / "keep.png", bytes_of("a PNG"));
    r = run_program(tool_path("tm2png"), {"huge.tm2.lzr", "huge.png"}, tmp.path(), options);
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_TRUE(r.err.starts_with("Error: huge.tm2.lzr: the export needs up to 12"))  // MiB
        << r.err;
    EXPECT_TRUE(r.err.ends_with(" (picture 0, offset 0x10)\n")) << r.err;
    EXPECT_FALSE(file_exists(tmp / "huge.png"));
    // An import needs the decoded image too.
    r = run_program(tool_path("tm2png"), {"huge.tm2.lzr", "keep.png", "out.tm2"}, tmp.path(),
                    options);
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_TRUE(r.err.starts_with("Error: huge.tm2.lzr: the decoded image of " +
                                  std::to_string(load_le32(huge.data() + 12)) +
                                  " bytes needs more memory than is available (about "))
        << r.err;
    EXPECT_FALSE(file_exists(tmp / "out.tm2"));

    // 16384 x 16384: 256 MiB decode, but the conversion needs as much again
    // for the pixels and up to as much for the PNG, which is more than is left.
    write_file(tmp / "big.tm2.lzr", huge_picture_lzr(16384));
    r = run_program(tool_path("tm2png"), {"big.tm2.lzr", "big.png"}, tmp.path(), options);
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_TRUE(r.err.starts_with("Error: big.tm2.lzr: the export needs up to ")) << r.err;
    EXPECT_TRUE(r.err.ends_with(" (picture 0, offset 0x10)\n")) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(file_exists(tmp / "big.png"));

    // A plain image larger than the limit is not even read.
    make_sparse_file(tmp / "plain.tm2", 1u << 30, {{0, bytes_of("TIM2")}});
    r = run_program(tool_path("tm2png"), {"plain.tm2", "plain.png"}, tmp.path(), options);
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_TRUE(
        r.err.starts_with("Error: plain.tm2: the file of 1073741824 bytes needs more "
                          "memory than is available (about "))
        << r.err;
}
