#include "brenmark/evd_format.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "brenmark/evd_test_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes raw_bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

EvdFile parse_ok(const Bytes& data) {
    EvdFile evd;
    std::string err;
    EXPECT_TRUE(parse_evd(data, "in.evd", &evd, &err)) << err;
    return evd;
}

std::string script_of(const EvdFile& evd) {
    return make_script(evd, nullptr);
}

Bytes insert_ok(const EvdFile& evd, std::string_view script) {
    Bytes out;
    std::string warning, err;
    EXPECT_TRUE(insert_script(evd, script, "s.txt", nullptr, &out, &warning, &err)) << err;
    EXPECT_EQ(warning, "");
    return out;
}

std::string insert_error(const Bytes& evd_bytes, std::string_view script) {
    EvdFile evd = parse_ok(evd_bytes);
    Bytes out;
    std::string warning, err;
    EXPECT_FALSE(insert_script(evd, script, "s.txt", nullptr, &out, &warning, &err));
    return err;
}

}  // namespace

TEST(EvdTextHeader, DecodesEveryWordAndWritesThemBack) {
    const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
                         0xF9, 0xFF, 0xFF, 0xFF, 0x11, 0x22, 0x33, 0x44, 0x05, 0x00, 0x00, 0x80};
    const EvdTextHeader header = decode_text_header(bytes.data());
    EXPECT_EQ(header.leading_words,
              (std::array<std::uint32_t, 3>{0x04030201u, 0x08070605u, 0x0C0B0A09u}));
    EXPECT_EQ(header.text_id, -7);
    EXPECT_EQ(header.middle_word, 0x44332211u);
    EXPECT_EQ(header.text_length, 0x80000005u);
    Bytes written;
    append_text_header(written, header);
    EXPECT_EQ(written, bytes);
}

TEST(EvdTextArea, RoundsUpToFourWithoutWrapping) {
    const std::pair<std::uint32_t, std::uint64_t> cases[] = {{0, 0},
                                                             {1, 4},
                                                             {4, 4},
                                                             {5, 8},
                                                             {8, 8},
                                                             {0xFFFFFFFDu, 0x100000000u},
                                                             {0xFFFFFFFFu, 0x100000000u}};
    for (const auto& [length, area] : cases) {
        EXPECT_EQ(evd_text_area_size(length), area) << length;
    }
}

// The writer recomputes text_length and pads to a multiple of 4.
TEST(BuildEvd, TextSizes) {
    struct Case {
        std::string text;
        std::uint32_t text_length;
        Bytes area;
    };
    const Case cases[] = {
        {"", 1, {0, 0, 0, 0}},
        {"abc", 4, {'a', 'b', 'c', 0}},
        {"abcd", 5, {'a', 'b', 'c', 'd', 0, 0, 0, 0}},
        {"abcdefg", 8, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 0}},
        {"abcdefgh", 9, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        EvdBuilder original;
        original.text(42, "old text of another size").tail("TAIL");
        const EvdFile evd = parse_ok(original.bytes());
        Bytes out;
        std::string err;
        ASSERT_TRUE(build_evd(evd, std::vector<std::string>{c.text}, &out, &err)) << err;

        EvdTextHeader header = evd.records[0].header;
        header.text_length = c.text_length;
        Bytes expected = {1, 0, 0, 0};
        append_text_header(expected, header);
        expected.insert(expected.end(), c.area.begin(), c.area.end());
        expected.insert(expected.end(), {'T', 'A', 'I', 'L'});
        EXPECT_EQ(out, expected) << '"' << c.text << '"';
    }
}

TEST(ParseEvd, EmptyCountIsCountAndTail) {
    const Bytes data = EvdBuilder().tail("rest of the file").bytes();
    const EvdFile evd = parse_ok(data);
    EXPECT_EQ(evd.text_count, 0u);
    EXPECT_TRUE(evd.records.empty());
    EXPECT_EQ(evd.tail_offset, 4u);
    EXPECT_EQ(evd.tail, raw_bytes("rest of the file"));
    EXPECT_EQ(script_of(evd), "");
    EXPECT_EQ(insert_ok(evd, ""), data);
    EXPECT_EQ(parse_ok({0, 0, 0, 0}).tail, Bytes{});
}

TEST(ParseEvd, ReadsRecordsWithOffsetsAndTail) {
    EvdBuilder builder;
    builder.text(7, "abc").text(-3, "hello world").tail(std::string_view("\0\1tail\xFF", 7));
    const EvdTextHeader first = EvdBuilder::header_for(7);
    const EvdTextHeader second = EvdBuilder::header_for(-3);
    const EvdFile evd = parse_ok(builder.bytes());
    ASSERT_EQ(evd.records.size(), 2u);
    EXPECT_EQ(evd.records[0].offset, 4u);
    EXPECT_EQ(evd.records[0].text, "abc");
    EXPECT_EQ(evd.records[0].header.leading_words, first.leading_words);
    EXPECT_EQ(evd.records[0].header.middle_word, first.middle_word);
    EXPECT_EQ(evd.records[0].header.text_length, 4u);
    EXPECT_EQ(evd.records[1].offset, 4u + 24 + 4);
    EXPECT_EQ(evd.records[1].header.text_id, -3);
    EXPECT_EQ(evd.records[1].header.leading_words, second.leading_words);
    EXPECT_EQ(evd.records[1].text, "hello world");
    EXPECT_EQ(evd.tail_offset, 4u + 24 + 4 + 24 + 12);
    EXPECT_EQ(evd.tail, raw_bytes(std::string_view("\0\1tail\xFF", 7)));
}

TEST(ParseEvd, ZeroTextLengthIsAnEmptyTextWithoutArea) {
    EvdBuilder builder;
    EvdTextHeader header = builder.header_for(5);
    header.text_length = 0;
    builder.raw(header, {}).text(6, "next").tail("T");
    const EvdFile evd = parse_ok(builder.bytes());
    ASSERT_EQ(evd.records.size(), 2u);
    EXPECT_EQ(evd.records[0].text, "");
    EXPECT_EQ(evd.records[1].offset, 4u + 24);
    EXPECT_EQ(evd.records[1].text, "next");
    EXPECT_EQ(script_of(evd), "5 \n6 next\n");
}

TEST(ParseEvd, DamagedFilesAreRefusedNamingRecordAndOffset) {
    auto with_length = [](std::uint32_t length, const Bytes& area) {
        EvdBuilder builder;
        builder.text(1, "fine");
        EvdTextHeader header = builder.header_for(9);
        header.text_length = length;
        return builder.raw(header, area).bytes();
    };
    struct Case {
        const char* what;
        Bytes data;
        std::string message;
    };
    const Case cases[] = {
        {"empty file", {}, "Error: in.evd: 0 bytes are too few for the text count (offset 0x0)"},
        {"three bytes",
         {1, 0, 0},
         "Error: in.evd: 3 bytes are too few for the text count (offset 0x0)"},
        {"count past the end", EvdBuilder().text(1, "a").count(3).bytes(),
         "Error: in.evd: the header reaches past the end of the file (32 bytes, text_count 3) "
         "(record 1, offset 0x20)"},
        {"huge count", EvdBuilder().count(0xFFFFFFFFu).bytes(),
         "Error: in.evd: the header reaches past the end of the file (4 bytes, text_count "
         "4294967295) (record 0, offset 0x4)"},
        {"length past the end", with_length(9, {'a', 'b', 'c', 0, 0, 0, 0, 0}),
         "Error: in.evd: text_length 9 (12 bytes at offset 0x3C) reaches past the end of the "
         "file (68 bytes) (record 1, text id 9, offset 0x24)"},
        // 32-bit rounding of this length would give 0 and hide the damage.
        {"length near 2^32", with_length(0xFFFFFFFFu, {}),
         "Error: in.evd: text_length 4294967295 (4294967296 bytes at offset 0x3C) reaches past "
         "the end of the file (60 bytes) (record 1, text id 9, offset 0x24)"},
        {"no terminating zero", with_length(4, {'a', 'b', 'c', 'd'}),
         "Error: in.evd: the text of 4 bytes at offset 0x3C has no terminating zero (record 1, "
         "text id 9, offset 0x24)"},
    };
    for (const Case& c : cases) {
        EvdFile evd;
        std::string err;
        EXPECT_FALSE(parse_evd(c.data, "in.evd", &evd, &err)) << c.what;
        EXPECT_EQ(err, c.message) << c.what;
    }
}

// Cutting a valid file anywhere inside its records is a clean error; cutting
// it inside the tail only shortens the tail.
TEST(ParseEvd, TruncationSweep) {
    const Bytes data = EvdBuilder()
                           .text(1, "abc")
                           .text(2, "a longer text with blanks")
                           .text(3, "")
                           .tail("0123456789")
                           .bytes();
    const std::size_t records_end = data.size() - 10;
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
        const Bytes part(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut));
        EvdFile evd;
        std::string err;
        const bool ok = parse_evd(part, "cut.evd", &evd, &err);
        if (cut < records_end) {
            EXPECT_FALSE(ok) << cut;
            EXPECT_EQ(err.rfind("Error: cut.evd: ", 0), 0u) << err;
            EXPECT_NE(err.find("offset"), std::string::npos) << err;
        } else {
            ASSERT_TRUE(ok) << cut << ": " << err;
            EXPECT_EQ(evd.records.size(), 3u);
            EXPECT_EQ(evd.tail.size(), cut - records_end);
        }
    }
}

// Whatever a byte is changed to, parsing ends in an error or in records that
// account for every byte of the file.
TEST(ParseEvd, CorruptionSweep) {
    const Bytes data =
        EvdBuilder().text(10, "first").text(-20, "second text").text(30, "").tail("tail").bytes();
    const std::uint8_t values[] = {0x00, 0x01, 0x03, 0x04, 0x7F, 0x80, 0xFE, 0xFF};
    for (std::size_t pos = 0; pos < data.size(); ++pos) {
        for (std::uint8_t value : values) {
            Bytes damaged = data;
            damaged[pos] = value;
            EvdFile evd;
            std::string err;
            if (!parse_evd(damaged, "x.evd", &evd, &err)) {
                EXPECT_EQ(err.rfind("Error: x.evd: ", 0), 0u) << err;
                continue;
            }
            std::uint64_t accounted = EVD_COUNT_SIZE + evd.tail.size();
            for (const EvdRecord& record : evd.records) {
                const std::uint64_t area = evd_text_area_size(record.header.text_length);
                EXPECT_LT(record.text.size(), area + (area == 0 ? 1 : 0));
                accounted += EVD_HEADER_SIZE + area;
            }
            EXPECT_EQ(evd.records.size(), evd.text_count);
            EXPECT_EQ(accounted, damaged.size()) << pos << " " << int{value};
        }
    }
}

TEST(MakeScript, WritesIdBlankAndTextPerRecord) {
    const EvdFile evd = parse_ok(EvdBuilder()
                                     .text(12, "Hello")
                                     .text(-5, "two words")
                                     .text(0, "")
                                     .text(2147483647, "  leading blanks")
                                     .text(-2147483647 - 1, "\x81\x40\xE3\x81\x82\xFF")
                                     .text(3, "tab\there")
                                     .bytes());
    EXPECT_EQ(script_of(evd),
              "12 Hello\n-5 two words\n0 \n2147483647   leading blanks\n"
              "-2147483648 \x81\x40\xE3\x81\x82\xFF\n3 tab\\there\n");
}

// Texts a line could not hold as they are get escapes, and come back whole.
TEST(MakeScript, EscapesTextsALineCannotHoldAsTheyAre) {
    const std::pair<std::string, std::string> cases[] = {
        {"two\nlines", "two\\nlines"},
        {"carriage\rreturn", "carriage\\rreturn"},
        {"windows line\r\n", "windows line\\r\\n"},
        {"\n", "\\n"},
        {"back\\slash", "back\\\\slash"},
        {std::string("\x01\x1F\x7F\t\x1B[0m", 8), "\\x01\\x1F\\x7F\\t\\x1B[0m"},
    };
    for (const auto& [text, shown] : cases) {
        const Bytes data = EvdBuilder().text(1, "ok").text(77, text).tail("T").bytes();
        const EvdFile evd = parse_ok(data);
        const std::string script = script_of(evd);
        EXPECT_EQ(script, "1 ok\n77 " + shown + "\n");
        // Through the escapes, not the copy of an unchanged record: the text
        // given again with its escapes in lower case is read to the same bytes.
        EXPECT_EQ(insert_ok(evd, script), data);
        std::string lower = script;
        for (std::size_t i = 0; i + 3 < lower.size(); ++i) {
            if (lower[i] == '\\' && lower[i + 1] == 'x') {
                lower[i + 2] = static_cast<char>(std::tolower(lower[i + 2]));
                lower[i + 3] = static_cast<char>(std::tolower(lower[i + 3]));
            }
        }
        EXPECT_EQ(insert_ok(evd, "1 changed\n" + lower.substr(lower.find('\n') + 1)),
                  EvdBuilder().text(1, "changed").text(77, text).tail("T").bytes());
    }
}

TEST(ParseScriptLine, Accepted) {
    struct Case {
        std::string line;
        std::int32_t id;
        std::string text;
    };
    const Case cases[] = {
        {"12 Hello", 12, "Hello"},
        {"12 two words", 12, "two words"},
        {"12", 12, ""},
        {"12 ", 12, ""},
        {"12  leading blank", 12, " leading blank"},
        {"12 trailing blanks  ", 12, "trailing blanks  "},
        {"12 \ttab first", 12, "\ttab first"},
        {"  \t12 x", 12, "x"},
        {"+12 x", 12, "x"},
        {"-7 x", -7, "x"},
        {"007 x", 7, "x"},
        {"0", 0, ""},
        {"2147483647 max", 2147483647, "max"},
        {"-2147483648 min", -2147483647 - 1, "min"},
        {"5 \x81\x40\xFF high bytes", 5, "\x81\x40\xFF high bytes"},
        {"5 12 looks like an id", 5, "12 looks like an id"},
    };
    for (const Case& c : cases) {
        ScriptLine line;
        std::string err;
        ASSERT_TRUE(parse_script_line(c.line, 4, "s.txt", &line, &err)) << c.line << ": " << err;
        EXPECT_EQ(line.text_id, c.id) << c.line;
        EXPECT_EQ(line.text, c.text) << c.line;
        EXPECT_EQ(line.line_number, 4u);
    }
}

TEST(ParseScriptLine, Refused) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "the line does not start with a text id (line 4)"},
        {"   ", "the line does not start with a text id (line 4)"},
        {"Hello", "the line does not start with a text id (line 4)"},
        {"x12 Hello", "the line does not start with a text id (line 4)"},
        {"-", "the line does not start with a text id (line 4)"},
        {"+ 1 x", "the line does not start with a text id (line 4)"},
        {"--1 x", "the line does not start with a text id (line 4)"},
        {"\xEF\xBB\xBF"
         "1 x",
         "the line does not start with a text id (line 4)"},
        {"12abc", "the text id must be followed by one blank or the end of the line (line 4)"},
        {"12-3 x", "the text id must be followed by one blank or the end of the line (line 4)"},
        {"12\tHello",
         "the text id is followed by a tab; it must be followed by one blank (line 4)"},
        {"2147483648 x", "the text id 2147483648 is out of range (line 4)"},
        {"-2147483649 x", "the text id -2147483649 is out of range (line 4)"},
        {"  +99999999999999999999999 x",
         "the text id +99999999999999999999999 is out of range (line 4)"},
        {std::string("12 a\0b", 6),
         "the line holds a zero byte, which a text cannot hold (line 4)"},
        {"12 a\rb", "the line holds a carriage return that does not end it (line 4)"},
    };
    for (const auto& [text, message] : cases) {
        ScriptLine line;
        std::string err;
        EXPECT_FALSE(parse_script_line(text, 4, "s.txt", &line, &err)) << text;
        EXPECT_EQ(err, "Error: s.txt: " + message) << text;
    }
}

TEST(ParseScript, LineEndsAndExtraLines) {
    ParsedScript parsed;
    std::string err;
    ASSERT_TRUE(parse_script("1 a\r\n2 b c \n3", "s.txt", 3, &parsed, &err)) << err;
    ASSERT_EQ(parsed.lines.size(), 3u);
    EXPECT_EQ(parsed.lines[0].text, "a");
    EXPECT_EQ(parsed.lines[1].text, "b c ");
    EXPECT_EQ(parsed.lines[2].text_id, 3);
    EXPECT_EQ(parsed.lines[2].line_number, 3u);
    EXPECT_EQ(parsed.extra_lines, 0u);

    // Only the wanted lines are parsed; blank extra lines are not counted.
    ASSERT_TRUE(parse_script("1 a\n\n  \r\nnot a record\n\t\nmore\n", "s.txt", 1, &parsed, &err));
    EXPECT_EQ(parsed.lines.size(), 1u);
    EXPECT_EQ(parsed.extra_lines, 2u);
    EXPECT_EQ(parsed.first_extra_line, 4u);

    // Fewer lines than wanted is left to the caller, which knows the ids.
    ASSERT_TRUE(parse_script("1 a\n", "s.txt", 5, &parsed, &err));
    EXPECT_EQ(parsed.lines.size(), 1u);
    ASSERT_TRUE(parse_script("", "s.txt", 5, &parsed, &err));
    EXPECT_TRUE(parsed.lines.empty());

    // A carriage return is a line end only right before the line feed.
    EXPECT_FALSE(parse_script("1 a\r\r\n", "s.txt", 1, &parsed, &err));
    EXPECT_EQ(err, "Error: s.txt: the line holds a carriage return that does not end it (line 1)");
    EXPECT_FALSE(parse_script("1 a\n2 b\r", "s.txt", 2, &parsed, &err));
    EXPECT_EQ(err, "Error: s.txt: the line holds a carriage return that does not end it (line 2)");
}

TEST(InsertScript, MismatchedIdNamesExpectedThenGot) {
    const Bytes data = EvdBuilder().text(3, "x").text(7, "y").bytes();
    // The first line as it always was; the second says where.
    EXPECT_EQ(insert_error(data, "3 x\n8 y\n"),
              "Error: mismatched text id (expected 7, got 8)\n"
              "Error: s.txt: this line's text id does not match record 1 (line 2)");
    EXPECT_EQ(insert_error(data, "-3 x\n7 y\n"),
              "Error: mismatched text id (expected 3, got -3)\n"
              "Error: s.txt: this line's text id does not match record 0 (line 1)");
}

TEST(InsertScript, ScriptEndingEarlyNamesFirstIdWithoutLine) {
    const Bytes data = EvdBuilder().text(10, "a").text(0, "b").text(30, "c").bytes();
    EXPECT_EQ(insert_error(data, "10 a\n"),
              "Error: s.txt: the script ends after 1 lines; this record has no line "
              "(record 1, text id 0, offset 0x20)");
    EXPECT_EQ(insert_error(data, ""),
              "Error: s.txt: the script ends after 0 lines; this record has no line "
              "(record 0, text id 10, offset 0x4)");
    EXPECT_EQ(insert_error(data, "10 a\n0 b"),
              "Error: s.txt: the script ends after 2 lines; this record has no line "
              "(record 2, text id 30, offset 0x3C)");
}

TEST(InsertScript, LineErrorsNameTheLine) {
    const Bytes data = EvdBuilder().text(10, "a").text(20, "b").bytes();
    EXPECT_EQ(insert_error(data, "10 a\nb\n"),
              "Error: s.txt: the line does not start with a text id (line 2)");
    EXPECT_EQ(insert_error(data, "\n10 a\n20 b\n"),
              "Error: s.txt: the line does not start with a text id (line 1)");
    EXPECT_EQ(insert_error(data, "10abc\n20 b\n"),
              "Error: s.txt: the text id must be followed by one blank or the end of the line "
              "(line 1)");
}

TEST(InsertScript, ExtraLinesAreIgnoredWithAWarning) {
    const Bytes data = EvdBuilder().text(1, "a").tail("T").bytes();
    const EvdFile evd = parse_ok(data);
    Bytes out;
    std::string warning, err;
    ASSERT_TRUE(
        insert_script(evd, "1 a\n\n2 stray\n3 more\n", "s.txt", nullptr, &out, &warning, &err));
    EXPECT_EQ(out, data);
    EXPECT_EQ(warning,
              "Warning: s.txt: 2 line(s) after the last record were ignored (from line 3)");
    EXPECT_EQ(insert_ok(evd, "1 a\n\n \n"), data);
}

namespace {

// A text of `length` bytes drawn from every byte value a text can hold.
std::string random_text(std::mt19937& rng, std::size_t length) {
    std::string text;
    while (text.size() < length) {
        const auto c = static_cast<unsigned char>(rng() % 256);
        if (c != 0) {
            text += static_cast<char>(c);
        }
    }
    return text;
}

std::string with_crlf(const std::string& script) {
    std::string out;
    for (char c : script) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

}  // namespace

TEST(InsertScript, DumpThenInsertReproducesGeneratedFiles) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 40; ++round) {
        EvdBuilder builder;
        const int count = static_cast<int>(rng() % 12);
        for (int i = 0; i < count; ++i) {
            const auto id = static_cast<std::int32_t>(rng());
            switch (rng() % 6) {
                case 0:
                    builder.text(id, "");
                    break;
                case 1:
                    builder.text(id, "  leading and trailing  ");
                    break;
                case 2:
                    builder.text(id, random_text(rng, 5000 + rng() % 300));
                    break;
                case 3:
                    builder.text(id, "no_blanks_" + std::to_string(i));
                    break;
                default:
                    builder.text(id, random_text(rng, rng() % 40));
                    break;
            }
        }
        builder.tail(random_text(rng, rng() % 64) + std::string(3, '\0'));
        const Bytes data = builder.bytes();
        const EvdFile evd = parse_ok(data);
        const std::string script = script_of(evd);
        EXPECT_EQ(insert_ok(evd, script), data) << "round " << round;
        EXPECT_EQ(insert_ok(evd, with_crlf(script)), data) << "round " << round;
    }
}

TEST(InsertScript, EditedScriptGivesExactlyTheEditedRecords) {
    EvdBuilder original;
    original.text(100, "Good morning").text(101, "abc").text(-1, "").text(102, "unchanged");
    original.tail(std::string_view("\x10\x00\x00\x00 event data", 15));
    const EvdFile evd = parse_ok(original.bytes());
    ASSERT_EQ(script_of(evd), "100 Good morning\n101 abc\n-1 \n102 unchanged\n");

    // The builder gives records of the same ids the same header words.
    EvdBuilder expected;
    expected.text(100, "Guten Morgen, Welt")
        .text(101, "abcd")
        .text(-1, " x")
        .text(102, "unchanged");
    expected.tail(std::string_view("\x10\x00\x00\x00 event data", 15));
    EXPECT_EQ(insert_ok(evd, "100 Guten Morgen, Welt\n101 abcd\n-1  x\n102 unchanged"),
              expected.bytes());
}

// A record whose text_length counts extra zeros, or whose fill is not zero,
// keeps every byte while its text is unchanged; an edited one comes out as
// the writer lays texts out.
TEST(InsertScript, UneditedRecordsKeepTheirBytesEditedOnesAreLaidOutAnew) {
    struct Odd {
        std::int32_t id;
        std::uint32_t text_length;
        std::vector<std::uint8_t> area;
    };
    const Odd odd_records[] = {
        {1, 9, {'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0}},  // six zeros counted
        {2, 3, {'x', 'y', 'z', 0}},  // terminator outside text_length, inside the area
        {3, 2, {'q', 0, 'J', 'K'}},  // hidden bytes after the zero
    };
    // `edited`: the record whose text changes to "new", or -1.
    auto build = [&](int edited) {
        EvdBuilder b;
        for (int i = 0; i < 3; ++i) {
            const Odd& r = odd_records[i];
            if (i == edited) {
                b.text(r.id, "new");
                continue;
            }
            EvdTextHeader header = EvdBuilder::header_for(r.id);
            header.text_length = r.text_length;
            b.raw(header, r.area);
        }
        return b.tail("TT").bytes();
    };
    const std::vector<std::uint8_t> original = build(-1);
    const EvdFile evd = parse_ok(original);
    EXPECT_EQ(script_of(evd), "1 abc\n2 xyz\n3 q\n");
    EXPECT_EQ(insert_ok(evd, "1 abc\n2 xyz\n3 q\n"), original);
    EXPECT_EQ(insert_ok(evd, "1 new\n2 xyz\n3 q\n"), build(0));
    EXPECT_EQ(insert_ok(evd, "1 abc\n2 xyz\n3 new\n"), build(2));
}
