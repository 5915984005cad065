#include "brenmark/text_codec.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

TextTable table_of(std::string_view file) {
    TextTable table;
    std::vector<std::string> warnings;
    std::string err;
    EXPECT_TRUE(TextTable::parse(file, "t.tbl", &table, &warnings, &err)) << err;
    EXPECT_TRUE(warnings.empty());
    return table;
}

std::string table_error(std::string_view file) {
    TextTable table;
    std::vector<std::string> warnings;
    std::string err;
    EXPECT_FALSE(TextTable::parse(file, "t.tbl", &table, &warnings, &err));
    EXPECT_TRUE(table.entries().empty());
    return err;
}

std::string shown(std::string_view bytes, const TextTable* table, TextForm form) {
    std::string out;
    show_text(bytes, table, form, &out);
    return out;
}

std::string read_ok(std::string_view text, const TextTable* table = nullptr) {
    std::string bytes;
    TextFault fault;
    EXPECT_TRUE(read_text(text, table, &bytes, &fault)) << fault.what;
    return bytes;
}

TextFault read_fault(std::string_view text, const TextTable* table = nullptr) {
    std::string bytes = "stale";
    TextFault fault;
    EXPECT_FALSE(read_text(text, table, &bytes, &fault)) << text;
    EXPECT_EQ(bytes, "");
    return fault;
}

std::string all_bytes() {
    std::string text;
    for (int b = 1; b < 256; ++b) {
        text.push_back(static_cast<char>(b));
    }
    return text;
}

}  // namespace

TEST(Utf8CharLength, ValidAndInvalidSequences) {
    const std::pair<std::string, std::size_t> cases[] = {
        {"A", 1},
        {"\x7F", 1},
        {"\xC3\xA9", 2},
        {"\xE3\x81\x82", 3},
        {"\xF0\x9F\x98\x80", 4},
        {"\xF4\x8F\xBF\xBF", 4},  // U+10FFFF
        {"\x80", 0},              // a continuation byte alone
        {"\xC0\xAF", 0},          // overlong
        {"\xC1\xBF", 0},          // overlong
        {"\xE0\x9F\xBF", 0},      // overlong
        {"\xED\xA0\x80", 0},      // a surrogate
        {"\xF0\x8F\xBF\xBF", 0},  // overlong
        {"\xF4\x90\x80\x80", 0},  // past U+10FFFF
        {"\xF5\x80\x80\x80", 0},
        {"\xE3\x81", 0},  // cut short
        {"\xC3(", 0},
        {"", 0},
    };
    for (const auto& [text, length] : cases) {
        EXPECT_EQ(utf8_char_length(text), length) << testing::PrintToString(text);
    }
}

TEST(ShowText, EscapesInEachForm) {
    struct Case {
        std::string bytes;
        std::string script;
        std::string translation;
    };
    const Case cases[] = {
        {"plain text", "plain text", "plain text"},
        {"a\\b", "a\\\\b", "a\\\\b"},
        {"two\nlines", "two\\nlines", "two\nlines"},
        {"cr\r\n", "cr\\r\\n", "cr\\r\n"},
        {"\ttab", "\\ttab", "\\ttab"},
        {std::string("\x01\x1F\x7F", 3), "\\x01\\x1F\\x7F", "\\x01\\x1F\\x7F"},
        // Without a table the script keeps the game's bytes; PO and CSV keep
        // what is UTF-8 and escape the rest.
        {"caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9"},
        {"\x82\xA0\x82\xA2", "\x82\xA0\x82\xA2", "\\x82\\xA0\\x82\\xA2"},
        {"\xE3\x81\x82\xE3\x81", "\xE3\x81\x82\xE3\x81", "\xE3\x81\x82\\xE3\\x81"},
        {"\xED\xA0\x80", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shown(c.bytes, nullptr, TextForm::script), c.script);
        EXPECT_EQ(shown(c.bytes, nullptr, TextForm::translation), c.translation);
    }
}

// Every byte value but zero survives both forms without a table, through
// the escapes (read_text never takes the shortcut of an unchanged text).
TEST(ReadText, InvertsShowTextForEveryByteValue) {
    const std::string every = all_bytes();
    for (TextForm form : {TextForm::script, TextForm::translation}) {
        const std::string text = shown(every, nullptr, form);
        EXPECT_EQ(read_ok(text), every);
        if (form == TextForm::script) {
            EXPECT_EQ(text.find_first_of("\n\r"), std::string::npos);
        }
    }
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::string bytes;
        for (std::size_t n = rng() % 30; n > 0; --n) {
            bytes.push_back(static_cast<char>(1 + rng() % 255));
        }
        EXPECT_EQ(read_ok(shown(bytes, nullptr, TextForm::translation)), bytes);
        EXPECT_EQ(read_ok(shown(bytes, nullptr, TextForm::script)), bytes);
    }
}

TEST(ReadText, EscapesAndLiteralControls) {
    const std::pair<std::string, std::string> cases[] = {
        {"\\x41\\x7f\\xFf\\x0a", "A\x7F\xFF\n"},
        {"a\nb\tc", "a\nb\tc"},
        {"\\\\n", "\\n"},
        {"\\\\\\\\", "\\\\"},
        {"\\r\\n\\t", "\r\n\t"},
    };
    for (const auto& [text, bytes] : cases) {
        EXPECT_EQ(read_ok(text), bytes) << text;
    }
}

TEST(ReadText, BadEscapesNameTheirPlace) {
    const std::tuple<std::string, std::size_t, std::string> cases[] = {
        {"C:\\dir", 2, "an unknown escape \"\\d\"; write \\\\ for a backslash"},
        {"end\\", 3, "a backslash ends the text; write \\\\ for a backslash"},
        {"\\x4", 0, "\\x must be followed by two hex digits"},
        {"ab\\xg0", 2, "\\x must be followed by two hex digits"},
        {"\\X41", 0, "an unknown escape \"\\X\"; write \\\\ for a backslash"},
        {"ab\\x00c", 2, "\\x00 cannot be in a text: a zero byte ends it"},
        {"\\\xC3\xA9", 0, "an unknown escape \"\\\xC3\xA9\"; write \\\\ for a backslash"},
    };
    for (const auto& [text, offset, what] : cases) {
        const TextFault fault = read_fault(text);
        EXPECT_EQ(fault.offset, offset) << text;
        EXPECT_EQ(fault.what, what) << text;
    }
}

TEST(PlaceInText, LinesAndColumnsInCharacters) {
    const std::string text = "ab\n\xC3\xA9\xC3\xA9x\n\xFFy";
    const std::pair<std::size_t, TextPlace> cases[] = {
        {0, {1, 1}}, {2, {1, 3}}, {3, {2, 1}}, {5, {2, 2}}, {7, {2, 3}}, {9, {3, 1}}, {10, {3, 2}},
    };
    for (const auto& [offset, place] : cases) {
        const TextPlace got = place_in_text(text, offset);
        EXPECT_EQ(got.line, place.line) << offset;
        EXPECT_EQ(got.column, place.column) << offset;
    }
}

TEST(DescribeCharacter, CodePointAndShownForm) {
    EXPECT_EQ(describe_character("\xC3\xA9"), "U+00E9 \"\xC3\xA9\"");
    EXPECT_EQ(describe_character("\n"), "U+000A \"\\n\"");
    EXPECT_EQ(describe_character("\xF0\x9F\x98\x80"), "U+1F600 \"\xF0\x9F\x98\x80\"");
    EXPECT_EQ(describe_character(std::string("\x01", 1)), "U+0001 \"\\x01\"");
}

TEST(TextTableParse, EntriesOfEveryKind) {
    const TextTable table = table_of(
        "\xEF\xBB\xBF# a comment\r\n"
        "41=A\r\n"
        "8140=\xE3\x80\x80\n"
        "  \t\n"
        "c1c2=lower hex\n"
        "FFFC=[NLINE]\\n\n"
        "*FE\n"
        "*FD=[BR]\n"
        "/FF=<END>\n"
        "/00\n"
        "20=  \n"
        "5C=\\\n"
        "3D==\n"
        "0102030405060708=[CTRL]");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"A", "A"},
        {"\x81\x40", "\xE3\x80\x80"},
        {"\xC1\xC2", "lower hex"},
        {"\xFF\xFC", "[NLINE]\n"},
        {"\xFE", "\n"},
        {"\xFD", "[BR]\n"},
        {"\xFF", "<END>"},
        {" ", "  "},
        {"\\", "\\"},
        {"=", "="},
        {"\x01\x02\x03\x04\x05\x06\x07\x08", "[CTRL]"},
    };
    ASSERT_EQ(table.entries().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(table.entries()[i].bytes, expected[i].first) << i;
        EXPECT_EQ(table.entries()[i].text, expected[i].second) << i;
    }
    EXPECT_EQ(table.entries()[1].line, 3u);
}

TEST(TextTableParse, LinesOfOtherToolsAreSkippedWithAWarning) {
    TextTable table;
    std::vector<std::string> warnings;
    std::string err;
    ASSERT_TRUE(TextTable::parse("@main\n41=A\n$F0=[name],1\n!E0=\xCC\x81\n", "t.tbl", &table,
                                 &warnings, &err))
        << err;
    EXPECT_EQ(table.entries().size(), 1u);
    const std::string what =
        "linked entries, diacritics and table names are not supported; the line was skipped";
    EXPECT_EQ(warnings, (std::vector<std::string>{"Warning: t.tbl: " + what + " (line 1)",
                                                  "Warning: t.tbl: " + what + " (line 3)",
                                                  "Warning: t.tbl: " + what + " (line 4)"}));
}

TEST(TextTableParse, RefusedLinesNameTheLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"41=A\n42=B\n41=C\n",
         "Error: t.tbl: the byte sequence 41 is in the table twice (first on line 1) (line 3)"},
        {"41=A\n8140=x\n8140=y\n",
         "Error: t.tbl: the byte sequence 8140 is in the table twice (first on line 2) (line 3)"},
        {"41=A\n414=B\n",
         "Error: t.tbl: \"414\" is not a byte sequence (an even number of hex digits) (line 2)"},
        {"4G=B\n",
         "Error: t.tbl: \"4G\" is not a byte sequence (an even number of hex digits) "
         "(line 1)"},
        {"=B\n",
         "Error: t.tbl: \"\" is not a byte sequence (an even number of hex digits) (line 1)"},
        {" 41=B\n",
         "Error: t.tbl: \" 41\" is not a byte sequence (an even number of hex digits) "
         "(line 1)"},
        {"41\n",
         "Error: t.tbl: the line is no table entry (HEX=text, *HEX, /HEX or a # comment) "
         "(line 1)"},
        {"41=\n", "Error: t.tbl: the entry stands for no text (line 1)"},
        {"41=\xE9\n", "Error: t.tbl: the text is not UTF-8; save the table as UTF-8 (line 1)"},
        {"41=a\x01z\n",
         "Error: t.tbl: the text holds the control character U+0001 \"\\x01\" (line 1)"},
        {"\xFF\xFE"
         "4\0"
         "1\0",
         "Error: t.tbl: the table is UTF-16; save it as UTF-8"},
    };
    for (const auto& [file, message] : cases) {
        EXPECT_EQ(table_error(file), message) << file;
    }
}

TEST(TextTable, DecodesWithTheLongestEntryAndEscapesTheRest) {
    const TextTable table = table_of("41=a\n4142=[ab]\n414243=[abc]\n0A=<lf>\nFE=\\n\n5C=\\\n");
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // bytes, script form, translation form
        {"AB", "[ab]", "[ab]"},
        {"ABC", "[abc]", "[abc]"},
        {"ABD", "[ab]\\x44", "[ab]\\x44"},
        {"AAB", "a[ab]", "a[ab]"},
        {"\n\xFE", "<lf>\\n", "<lf>\n"},
        {"\\", "\\\\", "\\\\"},
        {"\x01\xC3\xA9", "\\x01\\xC3\\xA9", "\\x01\\xC3\\xA9"},
    };
    for (const auto& [bytes, script, translation] : cases) {
        EXPECT_EQ(shown(bytes, &table, TextForm::script), script);
        EXPECT_EQ(shown(bytes, &table, TextForm::translation), translation);
        EXPECT_EQ(read_ok(script, &table), bytes);
        EXPECT_EQ(read_ok(translation, &table), bytes);
    }
}

// Where taking the longest entry first costs bytes, the encoder does not.
TEST(TextTable, EncodesIntoTheFewestBytes) {
    const TextTable table = table_of("01=a\n02=ab\n03=bcd\n04=c\n05=d\n06=b\n");
    EXPECT_EQ(read_ok("abcd", &table), "\x01\x03");  // a + bcd, not ab + c + d
    EXPECT_EQ(read_ok("abc", &table), "\x02\x04");
    // A given byte stays what it is, between entries.
    EXPECT_EQ(read_ok("a\\x02b", &table), "\x01\x02\x06");
}

TEST(TextTable, EqualLengthsTakeTheEarlierEntry) {
    // "ab" alone (line 2) or "a" (line 3) + "b" (line 1): two bytes either way.
    const TextTable table = table_of("B1=b\nC1C2=ab\nA1=a\n");
    EXPECT_EQ(read_ok("ab", &table), "\xC1\xC2");
    // Two sequences for one character: the shorter, then the earlier.
    const TextTable twice = table_of("8141=A\n41=A\n42=A\n");
    EXPECT_EQ(read_ok("AA", &twice), "AA");
}

TEST(TextTable, CharacterWithoutAnEntryIsNamed) {
    const TextTable table = table_of("41=a\n42=b\n4344=cd\n");
    const std::tuple<std::string, std::size_t, std::string> cases[] = {
        {"ab\xC3\xA9", 2, "no table entry encodes U+00E9 \"\xC3\xA9\""},
        {"a\\x01c", 5, "no table entry encodes U+0063 \"c\""},  // "c" only as part of "cd"
        {"a\nb", 1, "no table entry encodes U+000A \"\\n\""},
        {"a\\nb", 1, "no table entry encodes U+000A \"\\n\""},
        {"ab\xE9", 2, "the byte 0xE9 is not UTF-8; save the file as UTF-8"},
    };
    for (const auto& [text, offset, what] : cases) {
        const TextFault fault = read_fault(text, &table);
        EXPECT_EQ(fault.offset, offset) << text;
        EXPECT_EQ(fault.what, what) << text;
    }
}

// The encoder's length is the least of all ways to cover the text whose
// bytes read back as the same text, checked by trying every way on short
// texts over small random tables whose byte sequences start one another.
TEST(TextTable, ShortestPathMatchesASearchOfEveryEncoding) {
    std::mt19937 rng(99);
    int runs_together = 0;
    for (int round = 0; round < 400; ++round) {
        std::string file;
        std::vector<std::pair<std::string, std::string>> entries;  // text, bytes
        std::set<std::string> sequences;
        for (int e = 0; e < 7; ++e) {
            std::string text, bytes, hex;
            for (std::size_t n = 1 + rng() % 2; n > 0; --n) {
                text.push_back(static_cast<char>('a' + rng() % 3));
            }
            for (std::size_t n = 1 + rng() % 2; n > 0; --n) {
                const auto b = static_cast<char>(1 + rng() % 3);
                bytes.push_back(b);
                hex += "0" + std::to_string(static_cast<int>(b));
            }
            if (sequences.insert(bytes).second) {
                file += hex + "=" + text + "\n";
                entries.emplace_back(text, bytes);
            }
        }
        const TextTable table = table_of(file);
        std::string text;
        for (std::size_t n = rng() % 7; n > 0; --n) {
            text.push_back(static_cast<char>('a' + rng() % 3));
        }
        // The fewest bytes over every split whose bytes read back, by search.
        std::size_t least = std::numeric_limits<std::size_t>::max();
        std::function<void(std::size_t, const std::string&)> search =
            [&](std::size_t at, const std::string& bytes) {
                if (at == text.size()) {
                    if (bytes.size() < least && shown(bytes, &table, TextForm::script) == text) {
                        least = bytes.size();
                    }
                    return;
                }
                for (const auto& [t, b] : entries) {
                    if (text.compare(at, t.size(), t) == 0) {
                        search(at + t.size(), bytes + b);
                    }
                }
            };
        search(0, "");
        std::string bytes;
        TextFault fault;
        const bool encoded = read_text(text, &table, &bytes, &fault);
        EXPECT_EQ(encoded, least != std::numeric_limits<std::size_t>::max()) << file << text;
        if (encoded) {
            EXPECT_EQ(bytes.size(), least) << file << text;
            EXPECT_EQ(shown(bytes, &table, TextForm::script), text) << file;
        } else {
            runs_together += fault.what.find("run together") != std::string::npos;
        }
    }
    EXPECT_GT(runs_together, 0);  // the search met tables whose sequences run together
}

// Bytes that would read back as another entry are not taken, even where
// they are the shortest.
TEST(TextTable, EncodingsReadBackAsWritten) {
    // 10 then 11 reads back as 1011, "q".
    const TextTable table = table_of("10=a\n11=b\n1011=q\n202122=ab\n");
    EXPECT_EQ(read_ok("ab", &table), "\x20\x21\x22");
    EXPECT_EQ(read_ok("aq", &table), "\x10\x10\x11");
    EXPECT_EQ(read_ok("ba", &table), "\x11\x10");
    // A given byte must not run into the next entry either: 01 then 41
    // would read back as 0141.
    const TextTable given = table_of("41=a\n0141=a\n");
    EXPECT_EQ(read_ok("\\x01a", &given), "\x01\x01\x41");
    EXPECT_EQ(shown("\x01\x01\x41", &given, TextForm::script), "\\x01a");
    const TextTable tight = table_of("10=a\n11=b\n1011=q\n");
    const TextFault fault = read_fault("xab", &tight);
    EXPECT_EQ(fault.what, "no table entry encodes U+0078 \"x\"");
    const TextFault together = read_fault("ab", &tight);
    EXPECT_EQ(together.offset, 0u);
    EXPECT_EQ(together.what,
              "every encoding of the text through the table reads back as other entries (their "
              "byte sequences run together)");
}
