// Writes the seed inputs of every fuzz target, made by the suite's own
// builders, as <dir>/<target>/seed-<what>:
//
//     usage: fuzz-seeds <dir>
//
// Seeds are small, well-formed inputs in each target's input format, so the
// fuzzer starts from inputs that get through every check and mutates from
// there. The fuzzer's own finds are added to the corpus beside them.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "brenmark/evd_format.h"
#include "brenmark/evd_test_builder.h"
#include "common/byte_reader.h"
#include "common/platform/file_io.h"
#include "ossory/lzr_encoder.h"
#include "sectors/sector_table.h"
#include "tools/iso_builder.h"
#include "tools/tim2_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void append16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void append64(Bytes& out, std::uint64_t value) {
    append_le32(out, static_cast<std::uint32_t>(value));
    append_le32(out, static_cast<std::uint32_t>(value >> 32));
}

void append_string(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

struct RpkSeedEntry {
    std::string name;
    std::uint32_t length;
};

// An RPK fuzz input: layout flags, index offset, entry 0's name offset and
// archive size, then an image holding the index at offset 8 and the names
// after it. Entries are packed from sector 0 in order, so the archive ends
// with the last of `entries`; `ignored` follow it in the index.
Bytes rpk_seed(std::uint8_t flags, const std::vector<RpkSeedEntry>& entries,
               const std::vector<RpkSeedEntry>& ignored) {
    constexpr std::uint32_t INDEX = 8;
    constexpr std::uint32_t ADDRESS0 = 0x00A0F000;
    const std::size_t count = entries.size() + ignored.size();
    const auto names_at = static_cast<std::uint32_t>(INDEX + count * 12 + 4);

    Bytes image(INDEX, 0xEE);
    Bytes names;
    std::uint64_t position = 0;
    std::size_t i = 0;
    for (const auto* list : {&entries, &ignored}) {
        for (const RpkSeedEntry& e : *list) {
            append_le32(image, ADDRESS0 + static_cast<std::uint32_t>(names.size()));
            // Ignored entries point back at sector 0, never at the end.
            append_le32(image,
                        static_cast<std::uint32_t>(i < entries.size() ? position / 2048 : 0));
            append_le32(image, e.length);
            if (i < entries.size()) {
                position += (std::uint64_t{e.length} + 2047) / 2048 * 2048;
            }
            append_string(names, e.name);
            names.push_back(0);
            ++i;
        }
    }
    append_le32(image, 0xDEADBEEF);
    image.insert(image.end(), names.begin(), names.end());

    Bytes input{flags};
    append16(input, INDEX);
    append16(input, static_cast<std::uint16_t>(names_at));
    append64(input, position);
    input.insert(input.end(), image.begin(), image.end());
    return input;
}

struct FpackSeedPack {
    std::string name;
    std::vector<std::string> members;
};

// An fpack fuzz input: layout flags, directory offset, pack count and
// address bias, then an image with the directory at offset 4, the member
// tables after it and the names last.
Bytes fpack_seed(std::uint8_t flags, const std::vector<FpackSeedPack>& packs) {
    constexpr std::uint32_t DIRECTORY = 4;
    constexpr std::uint32_t BIAS = 0xFF000;
    std::size_t members = 0;
    for (const FpackSeedPack& p : packs) {
        members += p.members.size();
    }
    const std::size_t tables_at = DIRECTORY + packs.size() * 12;
    const std::size_t names_at = tables_at + members * 12;

    Bytes image(DIRECTORY, 0);
    Bytes tables;
    Bytes names;
    auto add_name = [&](const std::string& name) {
        const auto address = static_cast<std::uint32_t>(BIAS + names_at + names.size());
        append_string(names, name);
        names.push_back(0);
        return address;
    };
    std::uint32_t sector = 0;
    for (const FpackSeedPack& p : packs) {
        append_le32(image, add_name(p.name));
        // A pack without members gets a table address that leads nowhere:
        // the walk must not look at it.
        append_le32(image, p.members.empty()
                               ? 0xFFFFFFFFu
                               : static_cast<std::uint32_t>(BIAS + tables_at + tables.size()));
        append_le32(image, static_cast<std::uint32_t>(p.members.size()));
        for (const std::string& m : p.members) {
            append_le32(tables, add_name(m));
            append_le32(tables, sector);
            append_le32(tables, 100 + sector * 7);
            sector += 2;
        }
    }
    image.insert(image.end(), tables.begin(), tables.end());
    image.insert(image.end(), names.begin(), names.end());

    Bytes input{flags};
    append16(input, DIRECTORY);
    input.push_back(static_cast<std::uint8_t>(packs.size()));
    append_le32(input, BIAS);
    input.insert(input.end(), image.begin(), image.end());
    return input;
}

Bytes evd_insert_seed(const Bytes& evd, const std::string& script) {
    Bytes input;
    append16(input, static_cast<std::uint16_t>(evd.size()));
    input.insert(input.end(), evd.begin(), evd.end());
    append_string(input, script);
    return input;
}

std::string script_of(const Bytes& evd) {
    EvdFile file;
    std::string err;
    if (!parse_evd(evd, "seed.evd", &file, &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        std::exit(1);
    }
    return make_script(file, nullptr);
}

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes lzr_file(const Bytes& content, std::uint32_t first_word = 0) {
    Bytes file;
    std::string err;
    if (!lzr_compress(content, first_word, &file, &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        std::exit(1);
    }
    return file;
}

bool write(const std::filesystem::path& dir, const std::string& target, const std::string& what,
           const Bytes& bytes) {
    std::error_code ec;
    std::filesystem::create_directories(dir / target, ec);
    std::string err;
    if (!write_whole_file((dir / target / ("seed-" + what)).string(), bytes, &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <dir>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    bool ok = true;

    // Small disc images: the UDF anchor on the last sector only, so that a
    // seed is some 40 sectors rather than 260.
    const std::vector<IsoBuildFile> iso_files = {
        {"SYSTEM.CNF", bytes_of("BOOT2 = cdrom0:\\SLUS_217.88;1\r\n"), 31, 0},
        {"SLUS_217.88", Bytes(3000, 0x45), 3000, 1},
        {"DATA/SUB/X.DAT", bytes_of("x"), 1, 0},
        {"DATA/EMPTY.TXT", {}, 0, 0},
        {"RPK.BIN", Bytes(5000, 0x52), 5000, 0},
    };
    for (const bool joliet : {false, true}) {
        for (const bool udf : {false, true}) {
            IsoBuildOptions options;
            options.joliet = joliet;
            options.udf = udf;
            options.anchor_at_256 = false;
            ok &= write(dir, "iso_image",
                        std::string("small") + (joliet ? "-joliet" : "") + (udf ? "-udf" : ""),
                        iso_image_bytes(iso_files, options));
        }
    }

    ok &= write(dir, "rpk_index", "small-a",
                rpk_seed(0, {{"data/f0000.bin", 0}, {"f0001.cfg", 1}, {"snd/bgm/f0002.vag", 2047}},
                         {{"old/x000.bin", 16}}));
    ok &= write(dir, "rpk_index", "backslashes-b",
                rpk_seed(1, {{"evd\\boss\\e002.evd", 2048}, {"tex/t000.tm2.lzr", 2049}}, {}));
    ok &= write(dir, "rpk_index", "one-entry-a", rpk_seed(0, {{"movie\\f0003.pss", 4096}}, {}));

    ok &= write(dir, "fpack_dir", "small-a",
                fpack_seed(0, {{"fpack/p0000.fp", {"p0000/m00.bin", "p0000\\snd\\m01.vag"}},
                               {"fpack/p0001.fp", {}},
                               {"fpack\\p0002.fp", {"p0002/tex/deep/m00.tm2"}}}));
    ok &= write(dir, "fpack_dir", "one-pack-b", fpack_seed(1, {{"fpack/ex/p0050.fp", {"a.dat"}}}));

    const Bytes evd_plain = EvdBuilder()
                                .text(7, "Hello, traveller.")
                                .text(8, "")
                                .text(-3, "  leading blanks and a tab\there")
                                .tail("TAIL")
                                .bytes();
    const Bytes evd_empty = EvdBuilder().tail("only a tail").bytes();
    // Text areas longer than their texts, with bytes after the zero, and a
    // length of 0: a dump and insert rewrites these.
    const Bytes evd_odd =
        EvdBuilder()
            .raw(EvdTextHeader{{1, 2, 3}, 1, 4, 12}, {'a', 'b', 0, 'x', 'y', 0, 0, 0, 0, 0, 0, 0})
            .raw(EvdTextHeader{{5, 6, 7}, 2, 8, 0}, {})
            .text(3, "end")
            .bytes();
    ok &= write(dir, "evd_parse", "plain", evd_plain);
    ok &= write(dir, "evd_parse", "no-texts", evd_empty);
    ok &= write(dir, "evd_parse", "odd-areas", evd_odd);

    const std::string script = script_of(evd_plain);
    ok &= write(dir, "evd_insert", "unedited", evd_insert_seed(evd_plain, script));
    ok &= write(dir, "evd_insert", "edited-crlf",
                evd_insert_seed(evd_plain, "7 Bonjour, voyageur.\r\n8 \r\n-3 x\r\n\r\n"));
    ok &= write(dir, "evd_insert", "extra-lines",
                evd_insert_seed(evd_odd, script_of(evd_odd) + "99 not a record\n  \n"));

    // Texts of every byte value, shown both ways, with and without a table.
    Bytes every;
    for (int value = 1; value < 256; ++value) {
        every.push_back(static_cast<std::uint8_t>(value));
    }
    auto escape_seed = [&](std::uint8_t flags, const Bytes& table, const Bytes& text) {
        Bytes input{flags};
        input.insert(input.end(), table.begin(), table.end());
        input.insert(input.end(), text.begin(), text.end());
        return input;
    };
    // Eight entries: lengths byte, sequence, characters (see text_escape.cpp).
    const Bytes table = {8,    0x00, 0x41, 0,        // 41=a
                         0x04, 0x42, 1,    1,        // 42=bb
                         0x01, 0x41, 0x42, 2,        // 4142=c
                         0x00, 0x80, 3,              // 80=é
                         0x40, 0xFE, 5,              // *FE=\n\n
                         0x00, 0x5C, 4,              // 5C=(a backslash)
                         0x08, 0x81, 0x40, 0, 1, 2,  // 8140=abc
                         0x00, 0x80, 2};             // 80 again: left out
    const Bytes text = bytes_of("AB\x80\xFE\\AAB\x81\x40\x81\x41\n\x01 plain");
    ok &= write(dir, "text_escape", "every-byte-script", escape_seed(0, {}, every));
    ok &= write(dir, "text_escape", "every-byte-translation", escape_seed(2, {}, every));
    ok &= write(dir, "text_escape", "table-script", escape_seed(1, table, text));
    ok &= write(dir, "text_escape", "table-translation", escape_seed(3, table, every));

    const std::string picture = "TIM2" + std::string(64, '\0') + "abcabcabcabd" +
                                std::string(300, 'z') + "0123456789abcdef0123456789";
    ok &= write(dir, "lzr_decode", "picture", lzr_file(bytes_of(picture), 0x315A4C));
    ok &= write(dir, "lzr_decode", "empty", lzr_file(Bytes{}));
    Bytes mixed;
    for (std::uint32_t i = 0; i < 700; ++i) {
        mixed.push_back(static_cast<std::uint8_t>(i * i % 251 < 120 ? i % 7 : i * 31));
    }
    ok &= write(dir, "lzr_decode", "mixed", lzr_file(mixed));

    // Two bytes choosing the encoder's block size, then the content.
    auto roundtrip = [](std::uint16_t block, const Bytes& content) {
        Bytes input;
        append16(input, block);
        input.insert(input.end(), content.begin(), content.end());
        return input;
    };
    Bytes periods;
    for (std::uint32_t period = 1; period <= 16; ++period) {
        for (std::uint32_t i = 0; i < 40; ++i) {
            periods.push_back(static_cast<std::uint8_t>(i % period * 17 + period));
        }
        periods.insert(periods.end(), 256 + period, static_cast<std::uint8_t>(period));
    }
    ok &= write(dir, "lzr_roundtrip", "empty", roundtrip(0, {}));
    ok &= write(dir, "lzr_roundtrip", "picture", roundtrip(1, bytes_of(picture)));
    ok &= write(dir, "lzr_roundtrip", "mixed", roundtrip(300, mixed));
    ok &= write(dir, "lzr_roundtrip", "periods-and-runs", roundtrip(44, periods));

    // TIM2 images: an 8-bit CSM1 picture with mipmaps and user data; a
    // compound 4-bit picture, a 16-bit one of an odd size and a 32-bit one
    // with alpha above 0x80 in the 128-byte alignment; a 24-bit picture and a
    // 4-bit one of 16-bit colours in CSM2.
    Tim2PictureContents indexed8;
    indexed8.image_type = 5;
    indexed8.width = 8;
    indexed8.height = 4;
    indexed8.clut_type = 0x03;
    indexed8.clut_colours = 32;
    indexed8.levels = {Bytes(32), Bytes(8), Bytes(2)};
    for (std::uint8_t i = 0; i < 32; ++i) {
        indexed8.levels[0][i] = static_cast<std::uint8_t>(i * 5 % 32);
        indexed8.clut.insert(indexed8.clut.end(), {i, static_cast<std::uint8_t>(255 - i), 7,
                                                   static_cast<std::uint8_t>(i * 4)});
    }
    indexed8.user_data = bytes_of("user");
    ok &= write(dir, "tim2_parse", "indexed8-mipmaps", build_tim2({indexed8}));

    Tim2PictureContents compound;
    compound.image_type = 4;
    compound.width = 5;
    compound.height = 3;
    compound.clut_type = 0x41;
    compound.clut_colours = 32;
    compound.levels = {{0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE}};
    for (std::uint8_t i = 0; i < 32; ++i) {
        compound.clut.insert(compound.clut.end(), {static_cast<std::uint8_t>(i * 9), 0x80});
    }
    Tim2PictureContents direct16;
    direct16.image_type = 1;
    direct16.width = 3;
    direct16.height = 3;
    direct16.levels = {{0x00, 0x80, 0xFF, 0x7F, 0x1F, 0x00, 0xE0, 0x83, 0x00, 0x7C, 0x21, 0x84,
                        0x42, 0x08, 0xFF, 0xFF, 0x00, 0x00}};
    Tim2PictureContents direct32;
    direct32.image_type = 3;
    direct32.width = 2;
    direct32.height = 2;
    direct32.levels = {{1, 2, 3, 0x80, 4, 5, 6, 0xFF, 7, 8, 9, 0, 10, 11, 12, 0x40}};
    ok &= write(dir, "tim2_parse", "three-pictures-aligned",
                build_tim2({compound, direct16, direct32}, 1));

    Tim2PictureContents direct24;
    direct24.image_type = 2;
    direct24.width = 3;
    direct24.height = 2;
    direct24.levels = {bytes_of("abcdefghijklmnopqr")};
    Tim2PictureContents csm2;
    csm2.image_type = 4;
    csm2.width = 4;
    csm2.height = 2;
    csm2.clut_type = 0x81;
    csm2.clut_colours = 20;
    csm2.levels = {{0x21, 0x43, 0x65, 0x87}};
    csm2.clut = Bytes(40, 0x11);
    ok &= write(dir, "tim2_parse", "direct24-and-csm2", build_tim2({direct24, csm2}));

    ok &= write(dir, "stored_names", "plain", bytes_of("data/f0000.bin"));
    ok &= write(dir, "stored_names", "backslashes", bytes_of("evd\\boss\\e002.evd"));
    ok &= write(dir, "stored_names", "look-alike", bytes_of("a/..b/./c..//x"));
    return ok ? 0 : 1;
}
