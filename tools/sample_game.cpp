// The sample-game generator. Everything is drawn from two xoshiro256**
// streams seeded from the options' seed: one decides the structure (names,
// counts, lengths, order), the other supplies file and filler bytes, so the
// structure of a game does not shift when only byte contents change.
//
// Image map (file offsets; the same for every layout combination):
//   0                      ELF header and one program header
//   index_offset           RPK index: processed entries, then ignored ones
//   directory_offset       fpack directory, 905 entries
//   [0x2B0000, 0x6F0000)   pack names, member names and member tables
//   [0x6F0000, ...)        RPK names: some below first_name_offset, entry 0's
//                          name at it, the rest above; the image ends a little
//                          after the last name
// Everything else is pseudo-random filler.
#include "tools/sample_game.h"
#include "tools/sample_texts.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <utility>

#include "common/byte_reader.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "ossory/lzr_encoder.h"
#include "sectors/sector_table.h"
#include "tools/sample_images.h"
#include "tools/sample_rng.h"

namespace {

constexpr std::uint64_t PACK_REGION_BEGIN = 0x2B0000;
constexpr std::uint64_t PACK_REGION_END = 0x6F0000;
/// Names placed before entry 0's name take at most this many bytes.
constexpr std::uint64_t NAMES_BEFORE_LIMIT = 0x10000;
constexpr std::uint32_t RPK_ENTRY_SIZE = 12;
constexpr std::uint32_t PACK_ENTRY_SIZE = 12;
constexpr std::uint32_t MEMBER_ENTRY_SIZE = 12;
/// The pack with many members.
constexpr std::uint32_t BIG_PACK = 42;
constexpr std::uint32_t BIG_PACK_MEMBERS = 40;
/// The pack whose second member is forced to length 0.
constexpr std::uint32_t ZERO_MEMBER_PACK = 2;
/// Ordinary files of random size: at least this many, at most this many.
constexpr std::uint64_t MIN_RANDOM_FILES = 20;
constexpr std::uint64_t MAX_RANDOM_FILES = 6000;
constexpr std::uint64_t TYPICAL_FILE_SIZE = 64 << 10;
/// The small-file shape: sizes uniform in 1 to 200 KiB.
constexpr std::uint64_t SMALL_FILE_AVERAGE = (201 << 10) / 2;
constexpr std::uint64_t MAX_SMALL_FILES = 20000;

std::uint64_t sectors_of(std::uint64_t length) {
    return round_up_to_sector(length) / SECTOR_SIZE;
}

std::string format(const char* fmt, std::uint64_t n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, static_cast<unsigned long long>(n));
    return buf;
}

std::string with_backslashes(std::string s) {
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
}

std::string swap_separators(std::string s) {
    for (char& c : s) {
        c = c == '/' ? '\\' : c == '\\' ? '/' : c;
    }
    return s;
}

void put_le16(SampleBytes& out, std::uint64_t offset, std::uint16_t value) {
    out[offset] = static_cast<std::uint8_t>(value);
    out[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put_le32(SampleBytes& out, std::uint64_t offset, std::uint32_t value) {
    if (!write_le32(out, offset, value)) {
        throw std::logic_error("sample game: write outside its buffer");
    }
}

void require(bool condition, const char* what) {
    if (!condition) {
        throw std::invalid_argument(std::string("sample game: ") + what);
    }
}

// ---------------------------------------------------------------------------
// Archive files

/// One file the index names. Small files carry their bytes; ordinary files of
/// random content are drawn straight into the archive (`fill_length`).
struct ArchiveFile {
    std::string name;
    SampleBytes data;
    std::uint64_t fill_length = 0;
    bool filled_in_place = false;
    /// Index of another file whose name string this entry shares (the
    /// duplicate shares its twin's string, as a compiler merges equal literals).
    std::int64_t shares_name_of = -1;

    std::uint64_t length() const { return filled_in_place ? fill_length : data.size(); }
};

struct Pack {
    std::string directory_name;  ///< as the pack directory stores it
    std::string index_name;      ///< as the RPK index stores it
    std::vector<SampleMember> members;
    SampleBytes file;
    /// Members that are real TIM2 images: member number and contents.
    std::vector<std::pair<std::uint32_t, SampleBytes>> images;
    /// Members that are real EVD files: member number and contents.
    std::vector<std::pair<std::uint32_t, SampleBytes>> evds;
};

SampleBytes make_evd(Rng& rng, Rng& bytes, std::uint32_t count, std::int32_t first_id,
                     bool long_text);

std::string member_name(std::uint32_t pack, std::uint32_t member) {
    const std::string base = format("p%04llu", pack);
    const std::string file = format("m%02llu", member);
    switch ((pack + member) % 5) {
        case 0:
            return base + "/" + file + ".bin";
        case 1:
            return base + "\\snd\\" + file + ".vag";
        case 2:
            return base + "/tex/deep/" + file + ".tm2";
        case 3:
            return base + "\\evt/" + file + ".dat";
        default:
            return base + "/" + file + ".dat";
    }
}

/// A pack and its member table. Canonical packs hold their members in table
/// order from sector 0 with zero fill and end at the last member's rounded
/// end, as a rebuild writes them; others lie out of order, with gaps and
/// random fill, and end anywhere after the last member's data.
Pack make_pack(std::uint32_t k, bool canonical, bool with_evd, Rng& rng, Rng& bytes) {
    Pack pack;
    const std::string base = format("p%04llu.fp", k);
    std::string name = (k % 50 == 49 ? "fpack/ex/" : "fpack/") + base;
    if (k % 7 == 3) {
        name = with_backslashes(name);
    }
    pack.index_name = name;
    // The directory may spell the same file with the other separator.
    pack.directory_name = k % 11 == 5 ? swap_separators(name) : name;

    std::uint32_t count;
    if (k == BIG_PACK) {
        count = BIG_PACK_MEMBERS;
    } else if (k == ZERO_MEMBER_PACK) {
        count = 3;
    } else if (rng.percent(12)) {
        count = 0;
    } else {
        count = rng.range32(1, 3);
    }
    for (std::uint32_t j = 0; j < count; ++j) {
        std::uint32_t length;
        const auto roll = rng.below(100);
        if ((k == ZERO_MEMBER_PACK && j == 1) || roll < 6) {
            length = 0;
        } else if (k == BIG_PACK || roll < 80) {
            length = rng.range32(1, 2048);
        } else {
            length = rng.range32(2049, 6000);
        }
        pack.members.push_back({member_name(k, j), 0, length});
        // Some members named .tm2 are real images, of one or two pictures.
        if (length > 0 && pack.members.back().name.ends_with(".tm2") && rng.percent(35)) {
            std::vector<SamplePictureShape> pictures{random_picture_shape(rng)};
            if (rng.percent(25)) {
                pictures.push_back(random_picture_shape(rng));
            }
            SampleBytes image =
                make_sample_tim2(rng, bytes, pictures, static_cast<std::uint8_t>(rng.below(2)));
            pack.members.back().length = static_cast<std::uint32_t>(image.size());
            pack.images.emplace_back(j, std::move(image));
        }
    }
    if (with_evd) {
        SampleBytes evd = make_evd(rng, bytes, 5, 9000, false);
        pack.members.push_back({format("p%04llu", k) + "/evt/" + format("m%02llu", count) + ".evd", 0,
                                static_cast<std::uint32_t>(evd.size())});
        pack.evds.emplace_back(count, std::move(evd));
        ++count;
    }

    // Data lies in table order, or (not canonical) in another order, now and
    // then with a gap.
    std::vector<std::uint32_t> order(count);
    for (std::uint32_t j = 0; j < count; ++j) {
        order[j] = j;
    }
    if (!canonical) {
        rng.shuffle(order);
    }
    std::uint64_t cursor = 0;
    std::uint64_t end = 0;
    for (std::uint32_t j : order) {
        if (!canonical && rng.percent(10)) {
            cursor += 1;
        }
        SampleMember& m = pack.members[j];
        m.sector = static_cast<std::uint32_t>(cursor);
        cursor += sectors_of(m.length);
        if (m.length > 0) {
            end = std::max(end, sector_offset(m.sector) + m.length);
        }
    }
    if (canonical) {
        // Members' bytes, zeros everywhere else.
        pack.file.assign(sector_offset(static_cast<std::uint32_t>(cursor)), 0);
        for (const SampleMember& m : pack.members) {
            bytes.fill(pack.file.data() + sector_offset(m.sector), m.length);
        }
    } else {
        // A zero-length member may point anywhere inside the pack.
        for (SampleMember& m : pack.members) {
            if (m.length == 0) {
                m.sector = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(m.sector, end / SECTOR_SIZE));
            }
        }
        std::uint64_t size;
        if (count == 0) {
            size = rng.percent(50) ? 0 : rng.range(1, 3000);
        } else {
            const auto roll = rng.below(100);
            // Most packs end exactly where their last member ends.
            size = roll < 60 ? end : roll < 85 ? round_up_to_sector(end) : end + rng.range(1, 5000);
        }
        pack.file.resize(size);
        bytes.fill(pack.file.data(), size);
    }
    for (const auto* contents : {&pack.images, &pack.evds}) {
        for (const auto& [j, data] : *contents) {
            std::memcpy(pack.file.data() + sector_offset(pack.members[j].sector), data.data(),
                        data.size());
        }
    }
    return pack;
}

/// A text of the game: never holds 0, '\n' or '\r' (nor any other control byte).
std::string make_text(Rng& rng, unsigned kind, std::size_t min_length = 0) {
    static constexpr char WORD_CHARS[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,!?'-:";
    auto word = [&](bool high) {
        std::string w;
        const auto n = rng.range(1, 9);
        for (std::uint64_t i = 0; i < n; ++i) {
            if (high && rng.percent(40)) {
                w += static_cast<char>(rng.range(0x80, 0xFF));
            } else {
                w += WORD_CHARS[rng.below(sizeof WORD_CHARS - 1)];
            }
        }
        return w;
    };
    std::string text;
    switch (kind) {
        case 0:  // one plain word
            text = word(false);
            break;
        case 1:  // several words
        case 4:  // several words with bytes above 0x7F
            for (auto n = rng.range(2, 6); n > 0; --n) {
                if (!text.empty()) {
                    text += ' ';
                }
                text += word(kind == 4);
            }
            break;
        case 2:  // leading blanks
            text.assign(rng.range(1, 3), ' ');
            text += word(false);
            text += ' ';
            text += word(true);
            break;
        case 3:  // empty
            break;
        default:  // one word with bytes above 0x7F
            text = word(true);
            break;
    }
    while (text.size() < min_length) {
        text += ' ';
        text += word(rng.percent(30));
    }
    return text;
}

/// An EVD file: `count` text records (ids from `first_id`, every fourth one
/// negative), optionally one text of over 5000 bytes, then a tail of raw bytes.
SampleBytes make_evd(Rng& rng, Rng& bytes, std::uint32_t count, std::int32_t first_id,
                     bool long_text) {
    SampleBytes out;
    append_le32(out, count);
    for (std::uint32_t t = 0; t < count; ++t) {
        const bool is_long = long_text && t == count / 2;
        const std::string text = make_text(rng, is_long ? 1 : t % 6, is_long ? 5200 : 0);
        std::int32_t id = first_id + static_cast<std::int32_t>(t) * 3;
        if (t % 4 == 1) {
            id = -id - 1;
        }
        for (int w = 0; w < 3; ++w) {
            append_le32(out, rng.word());
        }
        append_le32(out, static_cast<std::uint32_t>(id));
        append_le32(out, rng.word());
        append_le32(out, static_cast<std::uint32_t>(text.size() + 1));
        out.insert(out.end(), text.begin(), text.end());
        // The terminator and the zero fill up to a multiple of four.
        out.resize(out.size() + ((text.size() + 4) & ~std::size_t{3}) - text.size(), 0);
    }
    const std::size_t tail = rng.range(8, 300);
    const std::size_t at = out.size();
    out.resize(at + tail);
    bytes.fill(out.data() + at, tail);
    return out;
}

std::string ordinary_name(std::uint64_t i, Rng& rng) {
    const std::string n = format("f%04llu", i);
    switch (rng.below(7)) {
        case 0:
            return "data/" + n + ".bin";
        case 1:
            return "data\\sub\\" + n + ".dat";
        case 2:
            return "snd/bgm/" + n + ".vag";
        case 3:
            return "movie\\" + n + ".pss";
        case 4:
            return n + ".cfg";
        case 5:
            return "map/area01/deep/" + n + ".map";
        default:
            return "sys\\etc/" + n + ".bin";
    }
}

std::uint64_t archive_bytes(const std::vector<ArchiveFile>& files) {
    std::uint64_t total = 0;
    for (const auto& f : files) {
        total += round_up_to_sector(f.length());
    }
    return total;
}

// ---------------------------------------------------------------------------
// Executable image

void write_elf_header(SampleBytes& image, std::uint32_t bias) {
    static constexpr std::uint8_t IDENT[16] = {0x7F, 'E', 'L', 'F', 1, 1, 1, 0};
    std::memset(image.data(), 0, 0x80);
    std::memcpy(image.data(), IDENT, sizeof IDENT);
    const auto size = static_cast<std::uint32_t>(image.size());
    constexpr std::uint32_t SEGMENT = 0x1000;
    put_le16(image, 16, 2);                   // executable
    put_le16(image, 18, 8);                   // MIPS
    put_le32(image, 20, 1);                   // version
    put_le32(image, 24, bias + SEGMENT + 8);  // entry point
    put_le32(image, 28, 52);                  // program headers
    put_le32(image, 36, 0x20924001);          // flags
    put_le16(image, 40, 52);
    put_le16(image, 42, 32);
    put_le16(image, 44, 1);
    put_le16(image, 46, 40);
    // One loadable segment, mapped so that address - bias = file offset.
    put_le32(image, 52, 1);
    put_le32(image, 56, SEGMENT);
    put_le32(image, 60, bias + SEGMENT);
    put_le32(image, 64, bias + SEGMENT);
    put_le32(image, 68, size - SEGMENT);
    put_le32(image, 72, size - SEGMENT + 0x40000);
    put_le32(image, 76, 7);
    put_le32(image, 80, 0x10);
}

/// Appends a zero-terminated string at `at` (4-byte aligned, zero padded) and
/// returns its offset.
std::uint64_t put_string(SampleBytes& image, std::uint64_t& at, const std::string& s) {
    const std::uint64_t offset = at;
    std::memcpy(image.data() + offset, s.data(), s.size());
    const std::uint64_t padded = (s.size() + 4) & ~std::uint64_t{3};
    std::memset(image.data() + offset + s.size(), 0, padded - s.size());
    at += padded;
    return offset;
}

std::uint64_t string_room(const std::string& s) {
    return (s.size() + 4) & ~std::uint64_t{3};
}

}  // namespace

SampleGame make_sample_game(const SampleOptions& options) {
    require(options.archive_size <= SAMPLE_MAX_ARCHIVE_SIZE, "archive size too large");
    const RpkLayout& rpk = options.rpk_layout;
    const FpackLayout& fpl = options.fpack_layout;
    const std::uint32_t bias = fpl.address_bias;
    const std::uint64_t directory_end =
        std::uint64_t{fpl.directory_offset} + std::uint64_t{fpl.pack_count} * PACK_ENTRY_SIZE;
    require(fpl.directory_offset >= rpk.index_offset && directory_end <= PACK_REGION_BEGIN,
            "the pack directory must lie after the RPK index and before the pack region");
    require(rpk.first_name_offset >= PACK_REGION_END + NAMES_BEFORE_LIMIT + 0x100,
            "entry 0's name must lie above the pack region with room below it");
    require(rpk.index_offset >= 0x1000, "the RPK index must lie after the ELF header");

    SampleGame game;
    game.options = options;
    Rng rng(options.seed);
    Rng bytes(options.seed ^ 0x6A09E667F3BCC908ull);

    // Packs.
    std::vector<Pack> packs;
    packs.reserve(fpl.pack_count);
    for (std::uint32_t k = 0; k < fpl.pack_count; ++k) {
        packs.push_back(make_pack(k, options.canonical, options.evd_member && k == EVD_PACK, rng,
                                  bytes));
    }

    // EVD and TIM2 files.
    std::vector<ArchiveFile> evds;
    evds.push_back({"evd/e000.evd", make_evd(rng, bytes, 12, 100, false)});
    evds.push_back({"evd/town/e001.evd", make_evd(rng, bytes, 20, 2000, false)});
    evds.push_back({"evd\\boss\\e002.evd", make_evd(rng, bytes, 8, 0, false)});
    evds.push_back({"evd/e003.evd", make_evd(rng, bytes, 0, 0, false)});
    evds.push_back({"evd/story/long/e004.evd", make_evd(rng, bytes, 6, 7000, true)});
    // Dialogue of several lines with control bytes, and texts in the game's
    // own encoding (texts.tbl, written beside the game). A stream of its own
    // leaves everything made before and after as it was without them.
    Rng dialogue(options.seed ^ 0x7E575EED0D1A1095ull);
    evds.push_back(
        {"evd/e005.evd", make_dialogue_evd(dialogue, 16, 500, DialogueKind::multi_line)});
    for (int f = 0; f < 3; ++f) {
        const std::string name = "evd/encoded/e10" + std::to_string(f) + ".evd";
        game.table_evd_files.push_back(name);
        evds.push_back({name, make_dialogue_evd(dialogue, 10 + 5 * static_cast<std::uint32_t>(f),
                                                9000 + 100 * f, DialogueKind::table_encoded)});
    }
    game.text_table = sample_text_table();

    // TIM2 images, all but the last LZR-compressed (with a non-zero first
    // header word). Between them they hold every image type, CLUT formats
    // of 16, 24 and 32 bits in both storage modes, a compound 4-bit CLUT,
    // both alignments, several pictures and palettes, mipmaps, user data,
    // alpha above 0x80 and a 4-bit level of an odd pixel count.
    struct Texture {
        const char* name;
        std::uint8_t format_id;
        std::vector<SamplePictureShape> pictures;
    };
    const Texture textures_made[] = {
        // The title screen: 256 colours of 32 bits in CSM1, alpha 0-0x80.
        {"tex/t000.tm2.lzr", 1, {{5, 96, 64, 3, false, false, 256, 1, 0, false}}},
        {"tex/ui/t001.tm2.lzr",
         0,
         {{4, 32, 32, 1, false, true, 64, 1, 0, false},
          {1, 24, 16},
          {3, 16, 16, 0, false, false, 0, 1, 0, true}}},
        {"tex\\map\\t002.tm2.lzr",
         0,
         {{5, 32, 32, 1, true, false, 512, 3, 20, false}, {2, 20, 12, 0, false, false, 0, 2, 0}}},
        {"tex/t003.tm2.lzr", 1, {{4, 5, 3, 3, true, false, 16, 1, 8, false}}},
        {"tex/t004.tm2",
         0,
         {{3, 32, 32, 0, false, false, 0, 4, 0, false},
          {4, 16, 8, 2, false, false, 48, 1, 0, false}}},
    };
    std::vector<ArchiveFile> textures;
    for (const Texture& t : textures_made) {
        SampleBytes plain = make_sample_tim2(rng, bytes, t.pictures, t.format_id);
        const std::string path = host_path(t.name);
        SampleBytes stored = plain;
        if (path.ends_with(".lzr")) {
            std::string err;
            require(lzr_compress(plain, rng.word() | 0x100, &stored, &err),
                    "an image must compress");
            game.lzr_files.push_back(path);
            if (options.keep_contents) {
                game.lzr_plain[path] = plain;
            }
        }
        game.tim2_files.push_back(path);
        if (options.keep_contents) {
            game.tim2_images[path] = std::move(plain);
        }
        textures.push_back({t.name, std::move(stored)});
    }

    // Ordinary files: the awkward sizes first, then random sizes that bring
    // the archive to about the size asked for.
    std::vector<ArchiveFile> ordinary;
    std::uint64_t file_number = 0;
    auto add_ordinary = [&](std::uint64_t length) {
        ArchiveFile f;
        f.name = ordinary_name(file_number++, rng);
        f.fill_length = length;
        f.filled_in_place = true;
        ordinary.push_back(std::move(f));
    };
    for (std::uint64_t length : std::initializer_list<std::uint64_t>{0, 1, 2047, 2048, 2049, 0}) {
        add_ordinary(length);
    }
    std::uint64_t fixed = archive_bytes(ordinary) + archive_bytes(evds) + archive_bytes(textures);
    for (const Pack& p : packs) {
        fixed += round_up_to_sector(p.file.size());
    }
    std::uint64_t budget = options.archive_size > fixed ? options.archive_size - fixed : 0;
    const std::uint64_t random_files =
        options.small_files
            ? std::clamp(budget / SMALL_FILE_AVERAGE, MIN_RANDOM_FILES, MAX_SMALL_FILES)
            : std::clamp(budget / TYPICAL_FILE_SIZE, MIN_RANDOM_FILES, MAX_RANDOM_FILES);
    if (!options.canonical) {
        // Gaps: one file in ten is preceded by 1 to 3 free sectors.
        const std::uint64_t gaps = (fpl.pack_count + random_files) / 10 * 2 * SECTOR_SIZE;
        budget = budget > gaps ? budget - gaps : 0;
    }
    // Rounding to sectors wastes about half a sector per file.
    const std::uint64_t waste = random_files * SECTOR_SIZE / 2;
    budget = budget > waste ? budget - waste : 0;
    // Sizes spread as in a game's data: most files within a factor of a
    // thousand of each other, one in twenty fifty times larger, so a large
    // archive holds files from a few hundred bytes to several MiB.
    std::vector<std::uint64_t> weights(random_files);
    std::uint64_t weight_sum = 0;
    for (auto& w : weights) {
        w = rng.range(1, 1000) * (rng.percent(5) ? 50 : 1);
        weight_sum += w;
    }
    for (std::uint64_t w : weights) {
        std::uint64_t length =
            budget >= random_files * 4096 ? budget * w / weight_sum : rng.range(1, 8192);
        if (options.small_files) {
            length = rng.range(1 << 10, 200 << 10);
        }
        add_ordinary(std::max<std::uint64_t>(length, 1));
    }

    // Index order: a first half of the ordinary files, the packs, the texts,
    // the textures, the other ordinary files, then (non-canonical only) the
    // second entry of a name stored twice, and the last entry.
    std::vector<ArchiveFile> files;
    const std::size_t first_half = ordinary.size() / 2;
    for (std::size_t i = 0; i < first_half; ++i) {
        files.push_back(std::move(ordinary[i]));
    }
    for (Pack& p : packs) {
        files.push_back({p.index_name, p.file});
    }
    for (auto& f : evds) {
        game.evd_files.push_back(host_path(f.name));
        files.push_back(std::move(f));
    }
    for (auto& f : textures) {
        files.push_back(std::move(f));
    }
    for (std::size_t i = first_half; i + 1 < ordinary.size(); ++i) {
        files.push_back(std::move(ordinary[i]));
    }
    if (!options.canonical) {
        // A random-sized file of the first half gets a second entry with other data.
        const std::size_t twin = 6 + rng.below(first_half - 6);
        ArchiveFile again;
        again.name = files[twin].name;
        again.fill_length = rng.range(1, 5000);
        again.filled_in_place = true;
        again.shares_name_of = static_cast<std::int64_t>(twin);
        files.push_back(std::move(again));
    }
    files.push_back(std::move(ordinary.back()));

    // Sectors. Canonical: index order from sector 0. Otherwise a shuffled
    // order with occasional gaps; the last entry's data always ends the archive.
    const std::size_t n = files.size();
    std::vector<std::uint64_t> sector(n);
    {
        std::vector<std::size_t> order(n - 1);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            order[i] = i;
        }
        if (!options.canonical) {
            rng.shuffle(order);
        }
        order.push_back(n - 1);
        std::uint64_t cursor = 0;
        for (std::size_t i : order) {
            if (!options.canonical && rng.percent(10)) {
                cursor += rng.range(1, 3);
            }
            sector[i] = cursor;
            cursor += sectors_of(files[i].length());
        }
        game.archive.assign(cursor * SECTOR_SIZE, 0);
    }
    const std::uint64_t archive_size = game.archive.size();

    // Archive contents; non-canonical gaps and sector fill get random bytes.
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t* at =
            game.archive.data() + sector_offset(static_cast<std::uint32_t>(sector[i]));
        if (files[i].filled_in_place) {
            bytes.fill(at, files[i].fill_length);
        } else if (!files[i].data.empty()) {
            std::memcpy(at, files[i].data.data(), files[i].data.size());
        }
    }
    if (!options.canonical) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> used;
        for (std::size_t i = 0; i < n; ++i) {
            used.emplace_back(sector[i] * SECTOR_SIZE, sector[i] * SECTOR_SIZE + files[i].length());
        }
        std::sort(used.begin(), used.end());
        std::uint64_t free_from = 0;
        for (const auto& [begin, end] : used) {
            if (begin > free_from) {
                bytes.fill(game.archive.data() + free_from, begin - free_from);
            }
            free_from = std::max(free_from, end);
        }
        bytes.fill(game.archive.data() + free_from, archive_size - free_from);
    }

    for (std::size_t i = 0; i < n; ++i) {
        game.entries.push_back({files[i].name, 0, static_cast<std::uint32_t>(sector[i]),
                                static_cast<std::uint32_t>(files[i].length())});
        if (options.keep_contents) {
            const auto begin =
                game.archive.begin() + static_cast<std::ptrdiff_t>(sector[i] * SECTOR_SIZE);
            game.extracted[host_path(files[i].name)] =
                SampleBytes(begin, begin + static_cast<std::ptrdiff_t>(files[i].length()));
        }
    }

    // Entries after the last one: leftovers with plausible values. The second
    // one would also end the archive, so a walk that does not stop at the
    // first entry that does shows up.
    const std::uint64_t archive_sectors = archive_size / SECTOR_SIZE;
    const auto ignored_count = rng.range(4, 7);
    for (std::uint64_t i = 0; i < ignored_count; ++i) {
        SampleEntry e;
        e.name = i % 2 == 0 ? format("old/x%03llu.bin", i) : format("dbg\\trace%02llu.log", i);
        if (i == 1) {
            e.sector = static_cast<std::uint32_t>(archive_sectors - 1);
            e.length = rng.range32(1, SECTOR_SIZE);
        } else {
            e.sector = static_cast<std::uint32_t>(rng.below(archive_sectors - 8));
            e.length = rng.range32(0, 8 * SECTOR_SIZE);
        }
        game.ignored_entries.push_back(e);
    }
    const std::uint64_t index_entries = n + ignored_count;
    require(rpk.index_offset + index_entries * RPK_ENTRY_SIZE <= fpl.directory_offset,
            "the RPK index would run into the pack directory");

    // Name strings of the index: one per entry, except that a name stored
    // twice is one string. Some go below entry 0's name, the rest above it.
    std::vector<std::string> slot_text;
    std::vector<std::size_t> slot_of(index_entries);
    for (std::size_t i = 0; i < index_entries; ++i) {
        if (i < n && files[i].shares_name_of >= 0) {
            slot_of[i] = slot_of[static_cast<std::size_t>(files[i].shares_name_of)];
            continue;
        }
        slot_of[i] = slot_text.size();
        slot_text.push_back(i < n ? files[i].name : game.ignored_entries[i - n].name);
    }
    std::vector<std::uint64_t> slot_offset(slot_text.size());
    std::vector<std::size_t> below_slots;
    std::uint64_t below_bytes = 0;
    for (std::size_t s = 1; s < slot_text.size(); ++s) {
        if (rng.percent(25) && below_bytes + string_room(slot_text[s]) <= NAMES_BEFORE_LIMIT) {
            below_slots.push_back(s);
            below_bytes += string_room(slot_text[s]);
        }
    }
    require(!below_slots.empty(), "no name below entry 0's name");
    rng.shuffle(below_slots);
    std::vector<bool> is_below(slot_text.size(), false);
    {
        std::uint64_t at = rpk.first_name_offset - below_bytes - 4 * rng.below(16);
        for (std::size_t s : below_slots) {
            is_below[s] = true;
            slot_offset[s] = at;
            at += string_room(slot_text[s]);
        }
    }
    std::uint64_t names_end = rpk.first_name_offset;
    for (std::size_t s = 0; s < slot_text.size(); ++s) {
        if (!is_below[s]) {
            slot_offset[s] = names_end;
            names_end += string_room(slot_text[s]);
        }
    }

    // The image: filler, header, then every table.
    game.executable.resize(names_end + 0x800 + 4 * rng.below(0x200));
    SampleBytes& image = game.executable;
    bytes.fill(image.data(), image.size());
    write_elf_header(image, bias);

    for (std::size_t s = 0; s < slot_text.size(); ++s) {
        std::uint64_t at = slot_offset[s];
        put_string(image, at, slot_text[s]);
    }
    for (std::size_t i = 0; i < index_entries; ++i) {
        SampleEntry& e = i < n ? game.entries[i] : game.ignored_entries[i - n];
        e.name_address = static_cast<std::uint32_t>(slot_offset[slot_of[i]] + bias);
        const std::uint64_t at = rpk.index_offset + i * RPK_ENTRY_SIZE;
        put_le32(image, at, e.name_address);
        put_le32(image, at + 4, e.sector);
        put_le32(image, at + 8, e.length);
        if (i < n) {
            game.entry_offsets.push_back(at);
        }
    }

    // Pack names, member names and member tables.
    std::uint64_t region = PACK_REGION_BEGIN;
    for (std::uint32_t k = 0; k < fpl.pack_count; ++k) {
        Pack& p = packs[k];
        std::uint64_t room = string_room(p.directory_name) + p.members.size() * MEMBER_ENTRY_SIZE;
        for (const auto& m : p.members) {
            room += string_room(m.name);
        }
        require(region + room <= PACK_REGION_END, "the pack tables overflow their region");
        const std::uint64_t name_at = put_string(image, region, p.directory_name);
        std::vector<std::uint64_t> member_name_at;
        for (const auto& m : p.members) {
            member_name_at.push_back(put_string(image, region, m.name));
        }
        const std::uint64_t table_at = region;
        for (std::size_t j = 0; j < p.members.size(); ++j) {
            put_le32(image, region, static_cast<std::uint32_t>(member_name_at[j] + bias));
            put_le32(image, region + 4, p.members[j].sector);
            put_le32(image, region + 8, p.members[j].length);
            region += MEMBER_ENTRY_SIZE;
        }
        const std::uint64_t dir_at = fpl.directory_offset + std::uint64_t{k} * PACK_ENTRY_SIZE;
        put_le32(image, dir_at, static_cast<std::uint32_t>(name_at + bias));
        put_le32(image, dir_at + 4, static_cast<std::uint32_t>(table_at + bias));
        put_le32(image, dir_at + 8, static_cast<std::uint32_t>(p.members.size()));

        if (options.keep_contents) {
            for (const auto& m : p.members) {
                const auto begin =
                    p.file.begin() + static_cast<std::ptrdiff_t>(sector_offset(m.sector));
                game.fpack_extracted["fpack_extract/" + host_path(m.name)] =
                    SampleBytes(begin, begin + m.length);
            }
        }
        for (auto& [j, member_image] : p.images) {
            const std::string path = "fpack_extract/" + host_path(p.members[j].name);
            game.tim2_files.push_back(path);
            if (options.keep_contents) {
                game.tim2_images[path] = std::move(member_image);
            }
        }
        game.packs.push_back({p.directory_name, std::move(p.members)});
    }
    return game;
}

std::string SampleGame::korvane_listing() const {
    std::string out;
    char line[64];
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const SampleEntry& e = entries[i];
        std::snprintf(line, sizeof line, "%05d: LBA %8d len %10d [", static_cast<int>(i),
                      static_cast<std::int32_t>(e.sector), static_cast<std::int32_t>(e.length));
        out += line;
        out += e.name;
        out += "]\n";
    }
    return out;
}

std::string SampleGame::tillet_listing() const {
    std::string out;
    char line[64];
    for (const SamplePack& p : packs) {
        std::snprintf(line, sizeof line, "0x%08X [", static_cast<unsigned>(p.members.size()));
        out += line;
        out += p.name;
        out += "] \n";
        for (const SampleMember& m : p.members) {
            std::snprintf(line, sizeof line, "\t 0x%08X  0x%08X [", m.sector, m.length);
            out += line;
            out += m.name;
            out += "]\n";
        }
    }
    return out;
}

bool write_sample_game(const SampleGame& game, const std::string& dir, std::string* err) {
    return write_whole_file(dir + "/SLUS_217.88", game.executable, err) &&
           write_whole_file(dir + "/RPK.BIN", game.archive, err);
}

bool write_sample_text_table(const SampleGame& game, const std::string& dir, std::string* err) {
    const std::span<const std::uint8_t> table(
        reinterpret_cast<const std::uint8_t*>(game.text_table.data()), game.text_table.size());
    return write_whole_file(dir + "/" + SAMPLE_TEXT_TABLE_NAME, table, err);
}

bool parse_byte_size(std::string_view text, std::uint64_t* out) {
    std::uint64_t value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || stop == begin) {
        return false;
    }
    unsigned shift = 0;
    if (stop != end) {
        if (end - stop != 1) {
            return false;
        }
        switch (*stop) {
            case 'k':
            case 'K':
                shift = 10;
                break;
            case 'm':
            case 'M':
                shift = 20;
                break;
            case 'g':
            case 'G':
                shift = 30;
                break;
            default:
                return false;
        }
    }
    if (shift > 0 && value > (~std::uint64_t{0} >> shift)) {
        return false;
    }
    *out = value << shift;
    return true;
}

bool parse_sample_arguments(const std::vector<std::string>& args, std::string* dir,
                            SampleOptions* options, std::string* err) {
    SampleOptions result;
    std::string folder;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool takes_value = arg == "--rpk-layout" || arg == "--fpack-layout" ||
                                 arg == "--seed" || arg == "--size" || arg == "--image-size";
        if (takes_value && i + 1 == args.size()) {
            *err = "Error: " + arg + " needs a value";
            return false;
        }
        if (arg == "--rpk-layout" || arg == "--fpack-layout") {
            const std::string& v = args[++i];
            const bool rpk = arg == "--rpk-layout";
            if (v == "a" || v == "A") {
                rpk ? (void)(result.rpk_layout = RPK_LAYOUT_A)
                    : (void)(result.fpack_layout = FPACK_LAYOUT_A);
            } else if (v == "b" || v == "B") {
                rpk ? (void)(result.rpk_layout = RPK_LAYOUT_B)
                    : (void)(result.fpack_layout = FPACK_LAYOUT_B);
            } else {
                *err = "Error: " + arg + " must be a or b, not '" + v + "'";
                return false;
            }
        } else if (arg == "--seed") {
            const std::string& v = args[++i];
            const auto [stop, ec] = std::from_chars(v.data(), v.data() + v.size(), result.seed);
            if (ec != std::errc() || v.empty() || stop != v.data() + v.size()) {
                *err = "Error: --seed needs a whole number, not '" + v + "'";
                return false;
            }
        } else if (arg == "--size") {
            const std::string& v = args[++i];
            if (!parse_byte_size(v, &result.archive_size)) {
                *err = "Error: --size needs a byte count with an optional K, M or G suffix, not '" +
                       v + "'";
                return false;
            }
            if (result.archive_size > SAMPLE_MAX_ARCHIVE_SIZE) {
                *err = "Error: --size " + v + " is larger than the largest archive (" +
                       std::to_string(SAMPLE_MAX_ARCHIVE_SIZE) + " bytes)";
                return false;
            }
        } else if (arg == "--canonical") {
            result.canonical = true;
        } else if (arg == "--small-files") {
            result.small_files = true;
        } else if (arg == "--image") {
            result.image = true;
        } else if (arg == "--image-size") {
            const std::string& v = args[++i];
            if (!parse_byte_size(v, &result.image_size)) {
                *err =
                    "Error: --image-size needs a byte count with an optional K, M or G "
                    "suffix, not '" +
                    v + "'";
                return false;
            }
            result.image = true;
        } else if (arg.starts_with("--")) {
            *err = "Error: unknown option " + arg;
            return false;
        } else if (folder.empty() && !arg.empty()) {
            folder = arg;
        } else {
            *err = arg.empty()
                       ? "Error: the output folder must not be empty"
                       : "Error: more than one output folder ('" + folder + "', '" + arg + "')";
            return false;
        }
    }
    if (folder.empty()) {
        *err = "Error: no output folder given";
        return false;
    }
    *dir = folder;
    *options = result;
    return true;
}

std::string sample_summary(const SampleGame& game) {
    std::size_t members = 0;
    for (const auto& p : game.packs) {
        members += p.members.size();
    }
    return std::to_string(game.entries.size()) + " entries, " + std::to_string(game.packs.size()) +
           " packs, " + std::to_string(members) + " members, " +
           std::to_string(game.archive.size()) + " archive bytes";
}
