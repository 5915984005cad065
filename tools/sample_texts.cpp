#include "tools/sample_texts.h"

#include "common/byte_reader.h"

namespace {

constexpr const char* WORDS[] = {"the",   "sword", "of",   "Karo",     "lies",  "beyond",
                                 "river", "north", "gate", "speak",    "to",    "elder",
                                 "...",   "Yes!",  "no",   "again",    "night", "fire",
                                 "Where", "is",    "my",   "brother?", "Take",  "this"};

// Words with accented letters, as code points U+00C0 to U+00FF (the table's
// 0x80 to 0xBF) mixed with ASCII: each is written as bytes of the game's
// encoding by `encode_word`.
constexpr const char* ACCENTED[] = {"caf\xC3\xA9",
                                    "d\xC3\xA9j\xC3\xA0",
                                    "\xC3\xA9l\xC3\xA8ve",
                                    "No\xC3\xABl",
                                    "ch\xC3\xA2teau",
                                    "for\xC3\xAAt",
                                    "gar\xC3\xA7on",
                                    "na\xC3\xAFve",
                                    "\xC3\xBC"
                                    "ber",
                                    "Stra\xC3\x9F"
                                    "e",
                                    "\xC3\x80 bient\xC3\xB4t",
                                    "ma\xC3\xAEtre"};

// The game's bytes of a UTF-8 word made of ASCII and U+00C0 to U+00FF.
std::string encode_word(const char* word) {
    std::string bytes;
    for (const char* p = word; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x80) {
            bytes.push_back(*p);
        } else {
            // U+00C0 to U+00FF are C3 80 to C3 BF in UTF-8: the second byte
            // is the game's byte.
            bytes.push_back(*++p);
        }
    }
    return bytes;
}

std::string multi_line_text(Rng& rng) {
    std::string text;
    const auto lines = rng.range(1, 4);
    for (std::uint64_t l = 0; l < lines; ++l) {
        if (l > 0) {
            text += rng.percent(15) ? "\r\n" : "\n";
        }
        const auto words = rng.range(1, 8);
        for (std::uint64_t w = 0; w < words; ++w) {
            if (w > 0) {
                text += rng.percent(5) ? '\t' : ' ';
            }
            switch (rng.below(12)) {
                case 0:  // a colour code around a word
                    text +=
                        "\x1B"
                        "C1";
                    text += WORDS[rng.below(std::size(WORDS))];
                    text +=
                        "\x1B"
                        "C0";
                    break;
                case 1:  // a control byte of the game's own
                    text.push_back(static_cast<char>(rng.range(1, 8)));
                    break;
                case 2:  // a path with backslashes
                    text += "C:\\save\\slot";
                    break;
                case 3:  // bytes of a double-byte encoding
                    text += "\x82\xA0\x82\xA2";
                    break;
                default:
                    text += WORDS[rng.below(std::size(WORDS))];
                    break;
            }
        }
    }
    return text;
}

std::string table_encoded_text(Rng& rng) {
    std::string text;
    const auto lines = rng.range(1, 3);
    for (std::uint64_t l = 0; l < lines; ++l) {
        if (l > 0) {
            text.push_back('\xFE');
        }
        const auto words = rng.range(1, 7);
        for (std::uint64_t w = 0; w < words; ++w) {
            if (w > 0) {
                text.push_back(' ');
            }
            switch (rng.below(10)) {
                case 0:
                    text += "\xF0\x01";  // [HERO]
                    break;
                case 1:
                    text += rng.percent(50) ? "\xF0\x02" : "\xF1";  // [ITEM], [WAIT]
                    break;
                case 2:
                    text.push_back(static_cast<char>(rng.range(0xC0, 0xEF)));  // not in the table
                    break;
                case 3:
                case 4:
                case 5:
                    text += encode_word(ACCENTED[rng.below(std::size(ACCENTED))]);
                    break;
                default:
                    text += WORDS[rng.below(std::size(WORDS))];
                    break;
            }
        }
    }
    return text;
}

}  // namespace

std::string sample_text_table() {
    std::string table =
        "# The game's own encoding: ASCII as itself, accented letters at 0x80-0xBF,\n"
        "# a line break and control codes.\n";
    static constexpr char HEX[] = "0123456789ABCDEF";
    for (int b = 0x20; b < 0x7F; ++b) {
        table += HEX[b >> 4];
        table += HEX[b & 15];
        table += '=';
        table += static_cast<char>(b);
        table += '\n';
    }
    for (int b = 0x80; b < 0xC0; ++b) {
        const int code_point = 0xC0 + (b - 0x80);  // U+00C0 .. U+00FF
        table += HEX[b >> 4];
        table += HEX[b & 15];
        table += '=';
        table += static_cast<char>(0xC0 | (code_point >> 6));
        table += static_cast<char>(0x80 | (code_point & 0x3F));
        table += '\n';
    }
    table += "*FE\nF001=[HERO]\nF002=[ITEM]\nF1=[WAIT]\n";
    return table;
}

std::vector<std::uint8_t> make_dialogue_evd(Rng& rng, std::uint32_t count, std::int32_t first_id,
                                            DialogueKind kind) {
    std::vector<std::uint8_t> out;
    append_le32(out, count);
    for (std::uint32_t t = 0; t < count; ++t) {
        std::string text;
        if (!rng.percent(5)) {
            text =
                kind == DialogueKind::multi_line ? multi_line_text(rng) : table_encoded_text(rng);
        }
        for (int w = 0; w < 3; ++w) {
            append_le32(out, rng.word());
        }
        append_le32(out, static_cast<std::uint32_t>(first_id + static_cast<std::int32_t>(t) * 3));
        append_le32(out, rng.word());
        append_le32(out, static_cast<std::uint32_t>(text.size() + 1));
        out.insert(out.end(), text.begin(), text.end());
        // The terminator and the zero fill up to a multiple of four.
        out.resize(out.size() + ((text.size() + 4) & ~std::size_t{3}) - text.size(), 0);
    }
    for (std::uint64_t n = rng.range(4, 40); n > 0; --n) {
        out.push_back(rng.byte());
    }
    return out;
}
