#include "brenmark/translation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brenmark/csv_texts.h"
#include "brenmark/evd_test_builder.h"
#include "testing/test_support.h"

namespace {

std::vector<TextEntry> dump_ok(const std::vector<std::pair<std::string, Bytes>>& files,
                               const TextTable* table = nullptr) {
    std::vector<EvdSource> sources;
    for (const auto& [name, bytes] : files) {
        sources.push_back({name, bytes});
    }
    std::vector<TextEntry> entries;
    std::string err;
    EXPECT_TRUE(dump_texts(sources, table, &entries, &err)) << err;
    return entries;
}

// Inserts `entries` into the files; gives the changed files (or the error).
struct InsertResult {
    bool ok = false;
    std::vector<ChangedEvd> changed;
    InsertCounts counts;
    std::string err;
};

InsertResult insert(const std::vector<TextEntry>& entries,
                    const std::vector<std::pair<std::string, Bytes>>& files,
                    const TextTable* table = nullptr) {
    Translations translations("t.po");
    for (const TextEntry& e : entries) {
        translations.add(e);
    }
    std::vector<EvdSource> sources;
    for (const auto& [name, bytes] : files) {
        sources.push_back({name, bytes});
    }
    InsertResult r;
    r.ok = insert_texts(translations, sources, table, &r.changed, &r.counts, &r.err);
    return r;
}

const Bytes FIRST = EvdBuilder()
                        .text(7, "Hello")
                        .text(-8, "two\nlines")
                        .text(9, "")
                        .text(10, "\x82\xA0 sjis")
                        .tail("TAIL")
                        .bytes();
const Bytes SECOND = EvdBuilder().text(1, "only").tail("T2").bytes();

std::vector<std::pair<std::string, Bytes>> two_files() {
    return {{"a/first.evd", FIRST}, {"second.evd", SECOND}};
}

}  // namespace

TEST(RecordContext, MadeAndSplit) {
    EXPECT_EQ(record_context("evd/e0001.evd", 3), "evd/e0001.evd#3");
    const std::tuple<std::string, bool, std::string, std::size_t> cases[] = {
        {"evd/e0001.evd#3", true, "evd/e0001.evd", 3},
        {"odd#name.evd#0", true, "odd#name.evd", 0},
        {"e.evd#123456789", true, "e.evd", 123456789},
        {"e.evd#1234567890", false, "", 0},
        {"e.evd#", false, "", 0},
        {"#3", false, "", 0},
        {"e.evd#3a", false, "", 0},
        {"e.evd#-3", false, "", 0},
        {"e.evd", false, "", 0},
    };
    for (const auto& [context, ok, file, record] : cases) {
        std::string got_file = "stale";
        std::size_t got_record = 99;
        EXPECT_EQ(parse_record_context(context, &got_file, &got_record), ok) << context;
        if (ok) {
            EXPECT_EQ(got_file, file);
            EXPECT_EQ(got_record, record);
        }
    }
}

TEST(DumpTexts, OneEntryPerRecordShownForTranslationFiles) {
    const std::vector<TextEntry> entries = dump_ok(two_files());
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[1].file, "a/first.evd");
    EXPECT_EQ(entries[1].record, 1u);
    EXPECT_EQ(entries[1].text_id, -8);
    EXPECT_EQ(entries[1].original, "two\nlines");
    EXPECT_EQ(entries[2].original, "");
    EXPECT_EQ(entries[3].original, "\\x82\\xA0 sjis");
    EXPECT_EQ(entries[4].file, "second.evd");
    EXPECT_EQ(entries[4].record, 0u);
    for (const TextEntry& e : entries) {
        EXPECT_EQ(e.translation, "");
        EXPECT_FALSE(e.fuzzy);
    }
    std::vector<TextEntry> out;
    std::string err;
    const Bytes cut(FIRST.begin(), FIRST.begin() + 30);
    EXPECT_FALSE(dump_evd_texts({"cut.evd", cut}, nullptr, &out, &err));
    EXPECT_EQ(err.rfind("Error: cut.evd: ", 0), 0u) << err;
}

TEST(InsertTexts, OnlyChangedFilesWithTheirCounts) {
    std::vector<TextEntry> entries = dump_ok(two_files());
    entries[0].translation = "Bonjour";
    entries[1].translation = "deux\nlignes\\x01";
    entries[2].translation = "";  // untranslated
    entries[3].fuzzy = true;      // not put back
    entries[3].translation = "flou";
    const InsertResult r = insert(entries, two_files());
    ASSERT_TRUE(r.ok) << r.err;
    ASSERT_EQ(r.changed.size(), 1u);
    EXPECT_EQ(r.changed[0].name, "a/first.evd");
    EXPECT_EQ(r.changed[0].bytes, EvdBuilder()
                                      .text(7, "Bonjour")
                                      .text(-8, "deux\nlignes\x01")
                                      .text(9, "")
                                      .text(10, "\x82\xA0 sjis")
                                      .tail("TAIL")
                                      .bytes());
    EXPECT_EQ(r.counts.changed, 2u);
    EXPECT_EQ(r.counts.files_written, 1u);
    EXPECT_EQ(r.counts.untranslated, 2u);  // the empty one and second.evd's
    EXPECT_EQ(r.counts.fuzzy, 1u);
    EXPECT_EQ(insert_summary(r.counts),
              "2 texts changed, 1 files written, 2 texts left untranslated, 1 fuzzy entries "
              "skipped");
}

TEST(InsertTexts, TranslationsThatChangeNothingWriteNothing) {
    std::vector<TextEntry> entries = dump_ok(two_files());
    entries[0].translation = entries[0].original;
    entries[3].translation = "\\x82\\xa0 sjis";  // the same bytes, written otherwise
    const InsertResult r = insert(entries, two_files());
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_TRUE(r.changed.empty());
    EXPECT_EQ(r.counts.changed, 0u);
    EXPECT_EQ(r.counts.untranslated, 3u);
    // Entries may be missing: their records keep their texts.
    entries.erase(entries.begin(), entries.begin() + 3);
    entries[0].translation = "x";
    const InsertResult partial = insert(entries, two_files());
    ASSERT_TRUE(partial.ok) << partial.err;
    EXPECT_EQ(partial.counts.changed, 1u);
    EXPECT_EQ(partial.counts.untranslated, 4u);
}

TEST(InsertTexts, EntriesThatDoNotFitTheFilesAreErrors) {
    struct Case {
        const char* what;
        std::function<void(std::vector<TextEntry>&)> edit;
        std::string message;
    };
    const Case cases[] = {
        {"record past the end", [](auto& e) { e[4].record = 1; },
         "Error: t.po: the entry names no record: second.evd has 1 records (entry "
         "\"second.evd#1\")"},
        {"unknown file", [](auto& e) { e[4].file = "third.evd"; },
         "Error: t.po: the entry names no record: there is no file \"third.evd\" (entry "
         "\"third.evd#0\")"},
        {"other id", [](auto& e) { e[1].text_id = 8; },
         "Error: t.po: mismatched text id (expected -8, got 8) (entry \"a/first.evd#1\")"},
        {"other original", [](auto& e) { e[0].original = "Hello!"; },
         "Error: t.po: the original text is not the text of a/first.evd (record 0, text id 7, "
         "offset 0x4); was this file made from another version of it? (entry "
         "\"a/first.evd#0\")"},
        {"record twice",
         [](auto& e) {
             e.push_back(e[2]);
             e.back().line = 40;
         },
         "Error: t.po: a second entry for the record of entry \"a/first.evd#2\" (line 40, entry "
         "\"a/first.evd#2\")"},
        {"bad escape", [](auto& e) { e[1].translation = "one\nt\\wo"; },
         "Error: t.po: an unknown escape \"\\w\"; write \\\\ for a backslash (entry "
         "\"a/first.evd#1\", translation line 2, column 2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<TextEntry> entries = dump_ok(two_files());
        c.edit(entries);
        const InsertResult r = insert(entries, two_files());
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.err, c.message);
        EXPECT_TRUE(r.changed.empty());
    }
    // An entry without a text id to check is checked by its text alone.
    std::vector<TextEntry> entries = dump_ok(two_files());
    entries[1].has_text_id = false;
    entries[1].text_id = 12345;
    entries[1].translation = "ok";
    EXPECT_TRUE(insert(entries, two_files()).ok);
}

// A table that gives one character two byte sequences: unedited texts keep
// whichever sequence they had.
TEST(InsertTexts, UneditedTextsKeepTheirBytesThroughATable) {
    TextTable table;
    std::vector<std::string> warnings;
    std::string err;
    ASSERT_TRUE(TextTable::parse("41=A\n8141=A\n42=B\nFE=\\n\n", "t.tbl", &table, &warnings, &err));
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"t.evd", EvdBuilder().text(1, "\x81\x41\x42").text(2, "A\xFE\x42").bytes()}};
    std::vector<TextEntry> entries = dump_ok(files, &table);
    EXPECT_EQ(entries[0].original, "AB");
    EXPECT_EQ(entries[1].original, "A\nB");
    entries[0].translation = "AB";  // as it was: keeps 81 41
    entries[1].translation = "B\nA";
    const InsertResult r = insert(entries, files, &table);
    ASSERT_TRUE(r.ok) << r.err;
    ASSERT_EQ(r.changed.size(), 1u);
    EXPECT_EQ(r.changed[0].bytes,
              EvdBuilder().text(1, "\x81\x41\x42").text(2, "B\xFE\x41").bytes());
}

// --- CSV ---------------------------------------------------------------------------

namespace {

std::string csv_of(const std::vector<TextEntry>& entries) {
    std::string csv;
    append_csv_header(&csv);
    for (const TextEntry& e : entries) {
        append_csv_entry(e, &csv);
    }
    return csv;
}

Translations read_csv_ok(const std::string& csv) {
    Translations t("t.csv");
    std::string err;
    EXPECT_TRUE(read_csv_texts(csv, &t, &err)) << err;
    return t;
}

std::string read_csv_error(const std::string& csv) {
    Translations t("t.csv");
    std::string err;
    EXPECT_FALSE(read_csv_texts(csv, &t, &err));
    return err;
}

std::vector<TextEntry> awkward_entries() {
    std::vector<TextEntry> entries(5);
    const char* originals[] = {"plain", "comma, and \"quotes\"", "two\nlines", " blank ", ""};
    const char* translations[] = {"", "virgule, \"guillemets\"", "deux\nlignes", "", "x"};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].file = i < 3 ? "dir/a,b.evd" : "c.evd";
        entries[i].record = i;
        entries[i].text_id = static_cast<std::int32_t>(i) - 2;
        entries[i].original = originals[i];
        entries[i].translation = translations[i];
    }
    return entries;
}

#ifndef _WIN32
RunResult python(const TempDir& dir, const std::string& code, std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", code});
    return run_program(SUITE_PYTHON3, args, dir.path());
}
#endif

}  // namespace

TEST(CsvTexts, WrittenRowsAsRfc4180) {
    EXPECT_EQ(csv_of(awkward_entries()),
              "\xEF\xBB\xBF"
              "file,record,id,original,translation\r\n"
              "\"dir/a,b.evd\",0,-2,plain,\r\n"
              "\"dir/a,b.evd\",1,-1,\"comma, and \"\"quotes\"\"\",\"virgule, "
              "\"\"guillemets\"\"\"\r\n"
              "\"dir/a,b.evd\",2,0,\"two\nlines\",\"deux\nlignes\"\r\n"
              "c.evd,3,1,\" blank \",\r\n"
              "c.evd,4,2,,x\r\n");
}

TEST(CsvTexts, ReadBackWithEitherLineEndAndWithoutTheMark) {
    const std::string csv = csv_of(awkward_entries());
    std::string lf;
    for (std::size_t i = 0; i < csv.size(); ++i) {
        if (!(csv[i] == '\r' && i + 1 < csv.size() && csv[i + 1] == '\n')) {
            lf += csv[i];
        }
    }
    std::string crlf_inside;  // as a spreadsheet on Windows may save line breaks in cells
    for (char c : lf) {
        crlf_inside += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const std::vector<TextEntry> expected = awkward_entries();
    for (const std::string& form : {csv, lf, lf.substr(3), crlf_inside}) {
        const Translations t = read_csv_ok(form);
        ASSERT_EQ(t.entries().size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const TextEntry& e = t.entries()[i];
            EXPECT_EQ(e.file, expected[i].file);
            EXPECT_EQ(e.record, expected[i].record);
            EXPECT_EQ(e.text_id, expected[i].text_id);
            EXPECT_TRUE(e.has_text_id);
            EXPECT_EQ(e.original, expected[i].original);
            EXPECT_EQ(e.translation, expected[i].translation);
            EXPECT_EQ(e.line, i + 2 + (i > 2 ? 2 : 0));  // rows 2 and 3 hold a line break each
        }
    }
    // Fields as read, one by one, through a file whose records match them.
    const Bytes file = EvdBuilder().text(5, "a").text(6, "two\nlines").bytes();
    const std::string rows =
        "file,record,id,original,translation\n"
        "e.evd,1,6,\"two\r\nlines\",\"trois\r\nlignes\"\n"
        "\n"
        "e.evd,0,,a,b,,\n";
    Translations t = read_csv_ok(rows);
    std::vector<std::uint8_t> out;
    bool changed = false;
    InsertCounts counts;
    std::string err;
    ASSERT_TRUE(t.apply({"e.evd", file}, nullptr, &out, &changed, &counts, &err)) << err;
    EXPECT_EQ(out, EvdBuilder().text(5, "b").text(6, "trois\nlignes").bytes());
    EXPECT_EQ(counts.changed, 2u);
}

TEST(CsvTexts, MalformedRowsNameTheirLine) {
    const std::string head = "file,record,id,original,translation\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"file,record,id,original\r\n",
         "Error: t.csv: the first row must name the columns "
         "file,record,id,original,translation (line 1)"},
        {"",
         "Error: t.csv: the first row must name the columns "
         "file,record,id,original,translation (line 1)"},
        {head + "e.evd,0,1,a,b\r\ne.evd,x,1,a,b\r\n",
         "Error: t.csv: the record \"x\" is not a record number (line 3)"},
        {head + "e.evd,0,1.5,a,b\r\n", "Error: t.csv: the id \"1.5\" is not a text id (line 2)"},
        {head + "e.evd,0,1,a\"b,c\r\n",
         "Error: t.csv: a quote inside a field that does not start with one (line 2)"},
        {head + "e.evd,0,1,\"a\"b,c\r\n",
         "Error: t.csv: text after the closing quote of a field (line 2)"},
        {head + "e.evd,0,1,\"a\nb\r\n", "Error: t.csv: a quoted field is not closed (line 2)"},
        {head + "e.evd,0,1,a,b,c\r\n",
         "Error: t.csv: column 6 is not empty; a row has five columns (line 2)"},
        {head + "e.evd,0,1\r\n",
         "Error: t.csv: a row needs the columns file,record,id,original,translation (line 2)"},
        {head + "e.evd,0,1,\"two\nlines\",x\r\ne.evd,1,1,\xE9,x\r\n",
         "Error: t.csv: the row is not UTF-8; save the file as UTF-8 (line 4)"},
        {"\xFF\xFE"
         "f\0i\0",
         "Error: t.csv: the file is UTF-16; save it as UTF-8"},
    };
    for (const auto& [csv, message] : cases) {
        EXPECT_EQ(read_csv_error(csv), message) << csv;
    }
}

// A CSV reader no one here wrote (Python's csv module) reads what we write,
// and what it writes we read. Python is a Linux program, which a Windows test
// cannot run in its folder with its pipes; the Windows programs' CSV files
// are compared byte for byte with the Linux ones instead.
#ifndef _WIN32
TEST(CsvTexts, PythonsCsvModuleAgrees) {
    TempDir dir;
    const std::vector<TextEntry> entries = awkward_entries();
    write_file(dir / "ours.csv", bytes_of(csv_of(entries)));
    // Python prints each field it read as its repr, one row a line.
    const RunResult read = python(dir,
                                  "import csv, sys\n"
                                  "with open(sys.argv[1], encoding='utf-8-sig', newline='') as f:\n"
                                  "    for row in csv.reader(f):\n"
                                  "        print('|'.join(repr(x) for x in row))\n",
                                  {"ours.csv"});
    ASSERT_EQ(read.status, 0) << read.err;
    std::string expected = "'file'|'record'|'id'|'original'|'translation'\n";
    auto repr = [](const std::string& s) {
        std::string out = "'";
        for (char c : s) {
            out += c == '\n'   ? std::string("\\n")
                   : c == '\'' ? std::string("\\'")
                               : std::string(1, c);
        }
        return out + "'";
    };
    for (const TextEntry& e : entries) {
        expected += repr(e.file) + "|'" + std::to_string(e.record) + "'|'" +
                    std::to_string(e.text_id) + "'|" + repr(e.original) + "|" +
                    repr(e.translation) + "\n";
    }
    EXPECT_EQ(read.out, expected);

    // Python translates every row (the way a spreadsheet saves: its own
    // quoting, CRLF) and we read its file.
    const RunResult written =
        python(dir,
               "import csv, sys\n"
               "with open(sys.argv[1], encoding='utf-8-sig', newline='') as f:\n"
               "    rows = list(csv.reader(f))\n"
               "with open(sys.argv[2], 'w', encoding='utf-8-sig', newline='') as f:\n"
               "    w = csv.writer(f, quoting=csv.QUOTE_NONNUMERIC)\n"
               "    w.writerow(rows[0])\n"
               "    for r in rows[1:]:\n"
               "        w.writerow(r[:4] + ['\\u00bb ' + r[3] + ', \"ok\"\\n'])\n",
               {"ours.csv", "theirs.csv"});
    ASSERT_EQ(written.status, 0) << written.err;
    const Bytes theirs = read_file(dir / "theirs.csv");
    Translations t = read_csv_ok(std::string(theirs.begin(), theirs.end()));
    ASSERT_EQ(t.size(), entries.size());
    // Apply to files that hold those originals and compare the texts.
    EvdBuilder ab;
    ab.text(-2, "plain").text(-1, "comma, and \"quotes\"").text(0, "two\nlines");
    std::vector<std::uint8_t> out;
    bool changed = false;
    InsertCounts counts;
    std::string err;
    ASSERT_TRUE(t.apply({"dir/a,b.evd", ab.bytes()}, nullptr, &out, &changed, &counts, &err))
        << err;
    EXPECT_EQ(out, EvdBuilder()
                       .text(-2, "\xC2\xBB plain, \"ok\"\n")
                       .text(-1, "\xC2\xBB comma, and \"quotes\", \"ok\"\n")
                       .text(0, "\xC2\xBB two\nlines, \"ok\"\n")
                       .bytes());
}
#else
SKIPPED_ON_WINDOWS(CsvTexts, PythonsCsvModuleAgrees,
                   "Python is a Linux program; the Windows CSV files are compared with the Linux "
                   "ones")
#endif
