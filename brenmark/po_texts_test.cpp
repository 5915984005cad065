#include "brenmark/po_texts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brenmark/evd_test_builder.h"
#include "testing/test_support.h"

namespace {

std::vector<TextEntry> sample_entries() {
    struct Row {
        const char* file;
        std::size_t record;
        std::int32_t id;
        const char* original;
        const char* translation;
        bool fuzzy;
    };
    const Row rows[] = {
        {"evd/e000.evd", 0, 100, "Hello", "", false},
        {"evd/e000.evd", 1, -104, "", "", false},
        {"evd/e000.evd", 2, 106, "two\nlines\n", "deux\nlignes\n", false},
        {"evd/e000.evd", 3, 109, "back\\\\slash \\x82\\xA0 \\t", "", false},
        {"evd/town/e001.evd", 0, 2000, "caf\xC3\xA9 \"quoted\"", "caf\xC3\xA9 \xC2\xAB\xC2\xBB",
         true},
        {"evd/town/e001.evd", 1, 2003,
         "a long text that libgettextpo wraps over several lines of the file because it is "
         "longer than its page width of seventy-nine columns",
         "", false},
        {"odd#name.evd", 0, 0, "\xE3\x81\x82", "\xE3\x81\x84", false},
    };
    std::vector<TextEntry> entries;
    for (const Row& r : rows) {
        TextEntry e;
        e.file = r.file;
        e.record = r.record;
        e.text_id = r.id;
        e.original = r.original;
        e.translation = r.translation;
        e.fuzzy = r.fuzzy;
        entries.push_back(e);
    }
    return entries;
}

std::string write_po(const TempDir& dir, const std::vector<TextEntry>& entries,
                     std::size_t piece_entries = PO_PIECE_ENTRIES) {
    PoWriter writer(dir.path(), "t.po", piece_entries);
    std::string err;
    for (const TextEntry& e : entries) {
        EXPECT_TRUE(writer.add(e, &err)) << err;
    }
    std::string po;
    EXPECT_TRUE(writer.finish(&po, &err)) << err;
    return po;
}

std::vector<TextEntry> read_po(const TempDir& dir, const std::string& name,
                               std::size_t piece_bytes = 1 << 20) {
    Translations t(name);
    std::vector<std::string> warnings;
    std::string err;
    EXPECT_TRUE(read_po_texts(dir / name, dir.path(), &t, &warnings, &err, piece_bytes)) << err;
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    return t.entries();
}

std::string read_po_error(const TempDir& dir, const std::string& po,
                          std::size_t piece_bytes = 1 << 20) {
    write_file(dir / "bad.po", bytes_of(po));
    Translations t(dir / "bad.po");
    std::vector<std::string> warnings;
    std::string err;
    EXPECT_FALSE(read_po_texts(dir / "bad.po", dir.path(), &t, &warnings, &err, piece_bytes));
    const std::string prefix = "Error: " + (dir / "bad.po") + ": ";
    EXPECT_EQ(err.rfind(prefix, 0), 0u) << err;
    return err.substr(std::min(prefix.size(), err.size()));
}

void expect_same_entries(const std::vector<TextEntry>& got, const std::vector<TextEntry>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].file, want[i].file);
        EXPECT_EQ(got[i].record, want[i].record);
        EXPECT_TRUE(got[i].has_text_id);
        EXPECT_EQ(got[i].text_id, want[i].text_id);
        EXPECT_EQ(got[i].original, want[i].original);
        EXPECT_EQ(got[i].translation, want[i].translation);
        EXPECT_EQ(got[i].fuzzy, want[i].fuzzy);
    }
}

// What stands in the folder besides `keep`: scratch files must be gone.
std::vector<std::string> others_in(const TempDir& dir, const std::vector<std::string>& keep) {
    std::vector<std::string> others;
    for (const auto& [name, bytes] : read_tree(dir.path())) {
        if (std::find(keep.begin(), keep.end(), name) == keep.end()) {
            others.push_back(name);
        }
    }
    return others;
}

}  // namespace

TEST(PoCutter, CutsOnlyBeforeTheFirstLineOfAnEntryAfterACompleteOne) {
    const std::pair<const char*, bool> lines[] = {
        {"msgid \"\"", false},
        {"msgstr \"\"", false},
        {"\"Content-Type: text/plain; charset=UTF-8\\n\"", false},
        {"", false},
        {"#. text id 1", true},
        {"#, fuzzy", false},
        {"", false},  // a blank line inside an entry
        {"msgctxt \"a.evd#0\"", false},
        {"msgid \"a\"", false},
        {"msgstr \"b\"", false},
        {"msgctxt \"a.evd#1\"", true},  // no blank line and no comment before it
        {"msgid \"\"", false},
        {"\"x\"", false},
        {"msgid_plural \"xs\"", false},
        {"msgstr[0] \"y\"", false},
        {"msgstr[1] \"ys\"", false},
        {"", false},
        {"#~ msgctxt \"old#0\"", true},
        {"#~ msgid \"gone\"", false},
        {"#~ msgstr \"parti\"", false},
        {"#~| msgid \"older\"", true},
        {"#~ msgid \"gone too\"", false},
        {"#~ msgstr \"\"", false},
        {"msgid \"no context\"", true},
        {"msgstr \"\"", false},
    };
    PoCutter cutter;
    for (const auto& [line, cut] : lines) {
        EXPECT_EQ(cutter.may_cut_before(line), cut) << line;
    }
}

// The pieces libgettextpo writes make the same file as one piece would.
TEST(PoWriter, PiecesMakeTheSameFileAsOne) {
    TempDir dir;
    const std::vector<TextEntry> entries = sample_entries();
    const std::string whole = write_po(dir, entries);
    for (std::size_t piece : {1, 2, 3, 6}) {
        EXPECT_EQ(write_po(dir, entries, piece), whole) << piece;
    }
    EXPECT_EQ(others_in(dir, {}), std::vector<std::string>{});
    EXPECT_NE(whole.find("#. text id -104\n"
                         "msgctxt \"evd/e000.evd#1\"\n"
                         "msgid \"\"\n"
                         "msgstr \"\"\n"),
              std::string::npos)
        << whole;
    EXPECT_NE(whole.find("msgid \"\"\n\"two\\n\"\n\"lines\\n\"\n"), std::string::npos) << whole;
    EXPECT_NE(whole.find("#, fuzzy\n"), std::string::npos);
    EXPECT_EQ(whole.rfind("msgid \"\"\nmsgstr \"\"\n\"Project-Id-Version: \\n\"", 0), 0u);
    // With no entry at all, the header alone.
    EXPECT_EQ(write_po(dir, {}), whole.substr(0, whole.find("\n\n") + 1));
}

TEST(ReadPoTexts, ReadsBackWhatWasWrittenInPiecesOfAnySize) {
    TempDir dir;
    const std::vector<TextEntry> entries = sample_entries();
    write_file(dir / "t.po", bytes_of(write_po(dir, entries)));
    for (std::size_t piece_bytes : {1, 60, 200, 1 << 20}) {
        SCOPED_TRACE(piece_bytes);
        expect_same_entries(read_po(dir, "t.po", piece_bytes), entries);
    }
    EXPECT_EQ(others_in(dir, {"t.po"}), std::vector<std::string>{});
}

TEST(ReadPoTexts, ObsoleteEntriesAndUnknownCommentsAreIgnored) {
    TempDir dir;
    write_file(dir / "t.po", bytes_of("\xEF\xBB\xBF"
                                      "# translator's comment\n"
                                      "msgctxt \"a.evd#0\"\n"
                                      "msgid \"a\"\n"
                                      "msgstr \"b\"\n"
                                      "\n"
                                      "#~ msgctxt \"a.evd#9\"\n"
                                      "#~ msgid \"gone\"\n"
                                      "#~ msgstr \"parti\"\n"
                                      "\n"
                                      "#. something else\n"
                                      "#: a.c:12\n"
                                      "msgctxt \"a.evd#1\"\n"
                                      "msgid \"c\"\n"
                                      "msgstr \"\"\n"));
    const std::vector<TextEntry> entries = read_po(dir, "t.po");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_FALSE(entries[0].has_text_id);
    EXPECT_EQ(entries[0].translation, "b");
    EXPECT_EQ(entries[1].record, 1u);
}

TEST(ReadPoTexts, ErrorsNameTheLineAlsoInLaterPieces) {
    TempDir dir;
    std::string po = write_po(dir, sample_entries());
    // Break an entry near the end: its msgstr keyword becomes "msgstt".
    const std::size_t at = po.rfind("msgstr");
    const std::size_t line =
        1 + static_cast<std::size_t>(
                std::count(po.begin(), po.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
    po.replace(at, 6, "msgstt");
    for (std::size_t piece_bytes : {1, 100, 1 << 20}) {
        const std::string err = read_po_error(dir, po, piece_bytes);
        EXPECT_NE(err.find("(line " + std::to_string(line)), std::string::npos)
            << piece_bytes << ": " << err;
    }
    EXPECT_EQ(others_in(dir, {"bad.po"}), std::vector<std::string>{});
}

TEST(ReadPoTexts, EntriesThatNameNoRecordAndOtherEncodings) {
    TempDir dir;
    const std::string header =
        "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n";
    const std::pair<std::string, std::string> cases[] = {
        {header + "msgid \"a\"\nmsgstr \"b\"\n",
         "the entry has no msgctxt, so it names no record (entry with msgid \"a\")"},
        {header + "msgctxt \"a.evd\"\nmsgid \"a\"\nmsgstr \"b\"\n",
         "the msgctxt names no record (\"<file>#<record>\") (entry \"a.evd\")"},
        {header + "msgctxt \"a.evd#0\"\nmsgid \"a\"\nmsgid_plural \"as\"\nmsgstr[0] \"b\"\n",
         "a plural entry names no record (entry \"a.evd#0\")"},
        {header + "#. text id seven\nmsgctxt \"a.evd#0\"\nmsgid \"a\"\nmsgstr \"b\"\n",
         "the comment \"text id seven\" gives no text id (entry \"a.evd#0\")"},
        {"msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=ISO-8859-1\\n\"\n\n"
         "msgctxt \"a.evd#0\"\nmsgid \"a\"\nmsgstr \"\xE9\"\n",
         "the file is in ISO-8859-1; brenmark reads UTF-8 (msgconv --to-code=UTF-8 converts it) "
         "(header)"},
        // libgettextpo checks UTF-8 itself where it has iconv; the Windows
        // build has none (the C library there has no iconv), and the text
        // is checked after it.
        {header + "msgctxt \"a.evd#0\"\nmsgid \"a\"\nmsgstr \"\xE9\"\n",
#ifdef _WIN32
         "the entry is not UTF-8 (entry \"a.evd#0\")"},
#else
         "invalid multibyte sequence (line 6, column 9)"},
#endif
        // Without a charset, libgettextpo takes the bytes as they are.
        {"msgctxt \"a.evd#0\"\nmsgid \"a\"\nmsgstr \"\xE9\"\n",
         "the entry is not UTF-8 (entry \"a.evd#0\")"},
        {std::string("\xFF\xFEm\0s\0g\0", 8), "the file is UTF-16; save it as UTF-8"},
    };
    for (const auto& [po, message] : cases) {
        EXPECT_EQ(read_po_error(dir, po), message);
    }
}

// Files gettext's own programs accept and keep: msgfmt --check passes,
// msgcat gives back the same entries, and msgmerge carries translations to a
// new version's entries, marking changed ones fuzzy. The programs are Linux
// programs: wine starts them from a Windows test, but not in its folder nor
// with its pipes. The Windows programs' PO files are compared byte for byte
// with the Linux ones instead (testing/windows/compare_with_linux.sh).
#ifndef _WIN32
TEST(PoTexts, GettextProgramsAcceptAndKeepThem) {
    TempDir dir;
    const std::vector<TextEntry> entries = sample_entries();
    write_file(dir / "t.po", bytes_of(write_po(dir, entries)));
    const RunResult check =
        run_program(SUITE_MSGFMT, {"--check", "-o", NULL_DEVICE, "t.po"}, dir.path());
    EXPECT_EQ(check.status, 0) << check.err;
    // The empty Language field is for the translator's tool to fill.
    EXPECT_EQ(check.err.find("error"), std::string::npos) << check.err;
    const RunResult cat = run_program(SUITE_MSGCAT, {"t.po", "-o", "cat.po"}, dir.path());
    ASSERT_EQ(cat.status, 0) << cat.err;
    expect_same_entries(read_po(dir, "cat.po"), entries);
    EXPECT_EQ(read_file(dir / "cat.po"), read_file(dir / "t.po"));
}

TEST(PoTexts, MsgmergeCarriesTranslationsToANewVersion) {
    TempDir dir;
    // Version 1, translated; version 2 changes a text and adds one.
    const Bytes v1 = EvdBuilder().text(1, "Open").text(2, "Close the door").text(3, "Quit").bytes();
    const Bytes v2 = EvdBuilder()
                         .text(1, "Open")
                         .text(2, "Close the doors")
                         .text(3, "Quit")
                         .text(4, "New")
                         .bytes();
    std::vector<TextEntry> translated;
    std::string err;
    ASSERT_TRUE(dump_evd_texts({"e.evd", v1}, nullptr, &translated, &err)) << err;
    translated[0].translation = "Ouvrir";
    translated[1].translation = "Fermer";
    translated[2].translation = "Quitter";
    write_file(dir / "fr.po", bytes_of(write_po(dir, translated)));
    std::vector<TextEntry> fresh;
    ASSERT_TRUE(dump_evd_texts({"e.evd", v2}, nullptr, &fresh, &err)) << err;
    write_file(dir / "v2.pot", bytes_of(write_po(dir, fresh)));
    const RunResult merge =
        run_program(SUITE_MSGMERGE, {"--quiet", "fr.po", "v2.pot", "-o", "merged.po"}, dir.path());
    ASSERT_EQ(merge.status, 0) << merge.err;

    Translations merged("merged.po");
    std::vector<std::string> warnings;
    ASSERT_TRUE(read_po_texts(dir / "merged.po", dir.path(), &merged, &warnings, &err)) << err;
    std::vector<std::uint8_t> out;
    bool changed = false;
    InsertCounts counts;
    ASSERT_TRUE(merged.apply({"e.evd", v2}, nullptr, &out, &changed, &counts, &err)) << err;
    // "Close the doors" got the old translation as a fuzzy guess: not put back.
    EXPECT_EQ(out, EvdBuilder()
                       .text(1, "Ouvrir")
                       .text(2, "Close the doors")
                       .text(3, "Quitter")
                       .text(4, "New")
                       .bytes());
    EXPECT_EQ(counts.changed, 2u);
    EXPECT_EQ(counts.fuzzy, 1u);
    EXPECT_EQ(counts.untranslated, 1u);
    // The old PO against the new file: its entry for record 1 is another text.
    Translations old("fr.po");
    ASSERT_TRUE(read_po_texts(dir / "fr.po", dir.path(), &old, &warnings, &err)) << err;
    EXPECT_FALSE(old.apply({"e.evd", v2}, nullptr, &out, &changed, &counts, &err));
    EXPECT_EQ(err,
              "Error: fr.po: the original text is not the text of e.evd (record 1, text id 2, "
              "offset 0x24); was this file made from another version of it? (entry \"e.evd#1\")");
}
#else
SKIPPED_ON_WINDOWS(PoTexts, GettextProgramsAcceptAndKeepThem,
                   "gettext's programs are Linux programs; the Windows PO files are compared with "
                   "the Linux ones")
SKIPPED_ON_WINDOWS(PoTexts, MsgmergeCarriesTranslationsToANewVersion,
                   "gettext's programs are Linux programs; the Windows PO files are compared with "
                   "the Linux ones")
#endif
