// Runs the brenmark program on .evd files and scripts made here.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "brenmark/evd_test_builder.h"
#include "testing/test_support.h"

namespace fs = std::filesystem;

namespace {

RunResult brenmark(const TempDir& dir, const std::vector<std::string>& args) {
    return run_program(tool_path("brenmark"), args, dir.path());
}

// Expects a failed run: status FAILURE_STATUS (-1), nothing on standard output, `message` on
// standard error, and the folder exactly as it was (no file written, none replaced).
void expect_failure(const TempDir& dir, const std::vector<std::string>& args,
                    const std::string& message) {
    const auto before = read_tree(dir.path());
    const RunResult run = brenmark(dir, args);
    EXPECT_EQ(run.status, FAILURE_STATUS);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, message);
    EXPECT_EQ(read_tree(dir.path()), before);
}

void expect_success(const RunResult& run) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

Bytes sample_evd() {
    return EvdBuilder()
        .text(7, "Hello there")
        .text(8, "  indented")
        .text(-9, "\x82\xA0\x82\xA2")
        .text(10, "")
        .tail(std::string_view("\x01\x00\x02\x00 tail", 9))
        .bytes();
}

}  // namespace

TEST(BrenmarkCli, UsageOnTooFewArguments) {
    TempDir dir;
    const std::string program = tool_path("brenmark");
    const std::string usage =
        "brenmark v1.0\n\nusage: " + program + " <input.evd> <script.txt> [output.evd]\n";
    write_file(dir / "in.evd", sample_evd());
    expect_failure(dir, {}, usage);
    expect_failure(dir, {"in.evd"}, usage);
}

TEST(BrenmarkCli, MissingInputIsReportedBeforeTheScript) {
    TempDir dir;
    const std::string message = "Could not open missing.evd (No such file or directory)\n";
    expect_failure(dir, {"missing.evd", "s.txt"}, message);
    expect_failure(dir, {"missing.evd", "s.txt", "out.evd"}, message);
    expect_failure(dir, {"missing.evd", "no/such/folder/s.txt"}, message);
}

TEST(BrenmarkCli, ScriptThatCannotBeOpened) {
    TempDir dir;
    write_file(dir / "in.evd", sample_evd());
    write_file(dir / "out.evd", bytes_of("previous output"));
    expect_failure(dir, {"in.evd", "missing.txt", "out.evd"}, "Could not open missing.txt\n");
    expect_failure(dir, {"in.evd", "no/such/folder/s.txt"},
                   "Could not open no/such/folder/s.txt\n");
}

TEST(BrenmarkCli, OutputThatCannotBeCreated) {
    TempDir dir;
    write_file(dir / "in.evd", sample_evd());
    write_file(dir / "s.txt", bytes_of("7 a\n"));
    // Reported before the script is checked against the records.
    expect_failure(dir, {"in.evd", "s.txt", "no/such/folder/out.evd"},
                   "Could not open no/such/folder/out.evd (No such file or directory)\n");
}

// Dump, insert to a new file and insert in place, for the sizes the record
// layout cares about.
TEST(BrenmarkCli, DumpThenInsertReproducesTheFile) {
    const std::pair<const char*, Bytes> cases[] = {
        {"three characters", EvdBuilder().text(1, "abc").tail("T").bytes()},
        {"four characters", EvdBuilder().text(1, "abcd").tail("T").bytes()},
        {"no texts", EvdBuilder().tail("only a tail").bytes()},
        {"no texts, no tail", EvdBuilder().bytes()},
        {"mixed", sample_evd()},
        {"long text", EvdBuilder().text(5, std::string(6000, 'w') + " end").bytes()},
    };
    for (const auto& [what, data] : cases) {
        SCOPED_TRACE(what);
        TempDir dir;
        write_file(dir / "in.evd", data);
        expect_success(brenmark(dir, {"in.evd", "s.txt"}));
        expect_success(brenmark(dir, {"in.evd", "s.txt", "new.evd"}));
        EXPECT_EQ(read_file(dir / "new.evd"), data);
        expect_success(brenmark(dir, {"in.evd", "s.txt", "in.evd"}));
        EXPECT_EQ(read_file(dir / "in.evd"), data);
        EXPECT_EQ(read_tree(dir.path()).size(), 3u);
    }
}

TEST(BrenmarkCli, DumpWritesTheScriptAndNothingElse) {
    TempDir dir;
    write_file(dir / "in.evd", sample_evd());
    write_file(dir / "s.txt", bytes_of("an older, longer script that gets replaced\n"));
    expect_success(brenmark(dir, {"in.evd", "s.txt"}));
    // Lines end as the system's text files do ("\r\n" on Windows).
    const Bytes script = text_file("7 Hello there\n8   indented\n-9 \x82\xA0\x82\xA2\n10 \n");
    EXPECT_EQ(read_file(dir / "s.txt"), script);
    // The script it replaced held other texts: it is kept beside it.
    EXPECT_EQ(read_file(dir / "s.txt~"), bytes_of("an older, longer script that gets replaced\n"));
    EXPECT_EQ(read_tree(dir.path()).size(), 3u);
    // Dumping again over the same script keeps no second copy.
    fs::remove(dir / "s.txt~");
    expect_success(brenmark(dir, {"in.evd", "s.txt"}));
    EXPECT_EQ(read_tree(dir.path()).size(), 2u);
}

TEST(BrenmarkCli, ModeAndExtraArguments) {
    TempDir dir;
    write_file(dir / "in.evd", sample_evd());
    // An empty third argument means dump; a fourth one is ignored.
    expect_success(brenmark(dir, {"in.evd", "a.txt", ""}));
    expect_success(brenmark(dir, {"in.evd", "b.txt", "", "ignored"}));
    EXPECT_EQ(read_file(dir / "a.txt"), read_file(dir / "b.txt"));
    write_file(dir / "a.txt", bytes_of("7 Hi\n8 x\n-9 y\n10 z\n"));
    expect_success(brenmark(dir, {"in.evd", "a.txt", "out.evd", "ignored"}));
    EXPECT_EQ(read_file(dir / "out.evd"), EvdBuilder()
                                              .text(7, "Hi")
                                              .text(8, "x")
                                              .text(-9, "y")
                                              .text(10, "z")
                                              .tail(std::string_view("\x01\x00\x02\x00 tail", 9))
                                              .bytes());
    EXPECT_FALSE(file_exists(dir / "ignored"));
}

TEST(BrenmarkCli, EditedScriptInPlace) {
    TempDir dir;
    write_file(dir / "game.evd", sample_evd());
    write_file(dir / "s.txt",
               bytes_of("7 General Kenobi, you are a bold one\r\n8 abcd\r\n-9 \xFF\r\n10 \r\n"));
    expect_success(brenmark(dir, {"game.evd", "s.txt", "game.evd"}));
    EXPECT_EQ(read_file(dir / "game.evd"), EvdBuilder()
                                               .text(7, "General Kenobi, you are a bold one")
                                               .text(8, "abcd")
                                               .text(-9, "\xFF")
                                               .text(10, "")
                                               .tail(std::string_view("\x01\x00\x02\x00 tail", 9))
                                               .bytes());
}

// Every failure of insert leaves an existing output as it was and no partial file.
TEST(BrenmarkCli, FailedInsertLeavesTheOutputUntouched) {
    struct Case {
        const char* what;
        std::string script;
        std::string message;
    };
    const Case cases[] = {
        {"mismatch", "7 a\n88 b\n-9 c\n10 d\n",
         "Error: mismatched text id (expected 8, got 88)\n"
         "Error: s.txt: this line's text id does not match record 1 (line 2)\n"},
        {"short script", "7 a\n8 b\n",
         "Error: s.txt: the script ends after 2 lines; this record has no line (record 2, text "
         "id -9, offset 0x4C)\n"},
        {"not a number", "7 a\n8 b\nnine c\n10 d\n",
         "Error: s.txt: the line does not start with a text id (line 3)\n"},
        {"id glued to text", "7 a\n8b\n",
         "Error: s.txt: the text id must be followed by one blank or the end of the line (line "
         "2)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir / "in.evd", sample_evd());
        write_file(dir / "out.evd", bytes_of("previous output"));
        write_file(dir / "s.txt", bytes_of(c.script));
        expect_failure(dir, {"in.evd", "s.txt", "out.evd"}, c.message);
        expect_failure(dir, {"in.evd", "s.txt", "in.evd"}, c.message);
        expect_failure(dir, {"in.evd", "s.txt", "new.evd"}, c.message);
    }
}

// Multi-line texts and control bytes are dumped with escapes and come back
// exactly; an escape that means nothing is an error naming line and column.
TEST(BrenmarkCli, TextsWithLineBreaksAndControlBytesRoundTrip) {
    TempDir dir;
    const Bytes data =
        EvdBuilder().text(1, "fine").text(2, "two\nlines\r\n\x1B[1m\\").tail("T").bytes();
    write_file(dir / "in.evd", data);
    expect_success(brenmark(dir, {"in.evd", "s.txt"}));
    EXPECT_EQ(read_file(dir / "s.txt"), text_file("1 fine\n2 two\\nlines\\r\\n\\x1B[1m\\\\\n"));
    expect_success(brenmark(dir, {"in.evd", "s.txt", "out.evd"}));
    EXPECT_EQ(read_file(dir / "out.evd"), data);
    write_file(dir / "s.txt", bytes_of("1 fine\n2 three\\nlines\\x0a\\tnow\n"));
    expect_success(brenmark(dir, {"in.evd", "s.txt", "out.evd"}));
    EXPECT_EQ(read_file(dir / "out.evd"),
              EvdBuilder().text(1, "fine").text(2, "three\nlines\n\tnow").tail("T").bytes());
    write_file(dir / "s.txt", bytes_of("1 fine\n2 C:\\dir\n"));
    expect_failure(dir, {"in.evd", "s.txt", "out.evd"},
                   "Error: s.txt: an unknown escape \"\\d\"; write \\\\ for a backslash (line 2, "
                   "column 5)\n");
}

TEST(BrenmarkCli, DamagedInputIsACleanError) {
    TempDir dir;
    const Bytes valid = sample_evd();
    write_file(dir / "s.txt", bytes_of("7 a\n8 b\n-9 c\n10 d\n"));
    write_file(dir / "out.evd", bytes_of("previous output"));
    // Records sit at 4, 40, 76 and 108; the tail at 136. Cut inside the
    // third text, and claim more records than there are.
    Bytes cut(valid.begin(), valid.begin() + 100);
    write_file(dir / "cut.evd", cut);
    const std::string cut_message =
        "Error: cut.evd: text_length 5 (8 bytes at offset 0x64) reaches past the end of the file "
        "(100 bytes) (record 2, text id -9, offset 0x4C)\n";
    expect_failure(dir, {"cut.evd", "s.txt", "out.evd"}, cut_message);
    expect_failure(dir, {"cut.evd", "d.txt"}, cut_message);
    Bytes counted = valid;
    counted[0] = 200;
    write_file(dir / "count.evd", counted);
    expect_failure(dir, {"count.evd", "d.txt"},
                   "Error: count.evd: the header reaches past the end of the file (145 bytes, "
                   "text_count 200) (record 4, offset 0x88)\n");
}

TEST(BrenmarkCli, ExtraLinesGiveAWarning) {
    TempDir dir;
    write_file(dir / "in.evd", sample_evd());
    write_file(dir / "s.txt", bytes_of("7 Hello there\n8   indented\n-9 \x82\xA0\x82\xA2\n10 \n\n"
                                       "11 stray\n"));
    const RunResult run = brenmark(dir, {"in.evd", "s.txt", "out.evd"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "Warning: s.txt: 1 line(s) after the last record were ignored (from line 6)\n");
    EXPECT_EQ(read_file(dir / "out.evd"), sample_evd());
}

// Outputs that are inputs, and what a shell pattern such as *.evd hands
// brenmark, are refused before anything is written.
TEST(BrenmarkCli, OutputsThatAreInputsOrNotScriptsAreRefused) {
    TempDir dir;
    write_file(dir / "in.evd", sample_evd());
    write_file(dir / "other.evd", EvdBuilder().text(1, "x").bytes());
    write_file(dir / "s.txt", bytes_of("7 a\n8 b\n-9 c\n10 d\n"));
    expect_failure(dir, {"in.evd", "in.evd"},
                   "Error: in.evd: <script.txt> is the same file as <input.evd>; nothing was "
                   "written\n");
    expect_failure(dir, {"in.evd", "./in.evd"},
                   "Error: ./in.evd: <script.txt> is the same file as <input.evd> (in.evd); "
                   "nothing was written\n");
    expect_failure(dir, {"in.evd", "s.txt", "s.txt"},
                   "Error: s.txt: [output.evd] is the same file as <script.txt>; nothing was "
                   "written\n");
    // brenmark *.evd with two files: the second is no script.
    expect_failure(dir, {"in.evd", "other.evd"},
                   "Error: other.evd: holds zero bytes, so it is not a script; it was left as it "
                   "is (did a shell pattern such as *.evd name more than one file?)\n");
}

// The script of an insert may come from another program through a pipe.
#ifndef _WIN32
TEST(BrenmarkCli, TheScriptOfAnInsertMayBeAPipe) {
    TempDir dir;
    write_file(dir / "in.evd", sample_evd());
    const std::string fifo = dir / "script.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        std::FILE* out = std::fopen(fifo.c_str(), "w");
        ASSERT_NE(out, nullptr);
        std::fputs("7 Hello again\n8   indented\n-9 \x82\xA0\x82\xA2\n10 \n", out);
        std::fclose(out);
    });
    expect_success(brenmark(dir, {"in.evd", "script.fifo", "out.evd"}));
    writer.join();
    EXPECT_EQ(read_file(dir / "out.evd"), EvdBuilder()
                                              .text(7, "Hello again")
                                              .text(8, "  indented")
                                              .text(-9, "\x82\xA0\x82\xA2")
                                              .text(10, "")
                                              .tail(std::string_view("\x01\x00\x02\x00 tail", 9))
                                              .bytes());
    fs::remove(fifo);
    // An .evd input must be a file: a FIFO is refused at once rather than awaited.
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const RunResult r = brenmark(dir, {"script.fifo", "s.txt"});
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err, "Error: script.fifo: is a device or pipe, not a regular file\n");
    fs::remove(fifo);
}
#else
SKIPPED_ON_WINDOWS(BrenmarkCli, TheScriptOfAnInsertMayBeAPipe,
                   "FIFOs; the shells of Windows hand programs no pipe by name")
#endif

// --- scripts saved by other editors -------------------------------------------------

// A Windows editor's "Unicode" is UTF-16: said so, nothing written.
TEST(BrenmarkCli, AUtf16ScriptIsRefusedByName) {
    TempDir dir;
    write_file(dir / "in.evd", sample_evd());
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("7 Hello there\r\n")) {
        utf16 += c;
        utf16 += '\0';
    }
    write_file(dir / "s.txt", bytes_of(utf16));
    expect_failure(dir, {"in.evd", "s.txt", "out.evd"},
                   "Error: s.txt: the script is UTF-16; save it as UTF-8\n");
    write_file(dir / "s.txt", bytes_of(std::string("\xFE\xFF\0"
                                                   "7",
                                                   4)));
    expect_failure(dir, {"in.evd", "s.txt", "in.evd"},
                   "Error: s.txt: the script is UTF-16; save it as UTF-8\n");
}

// A UTF-8 byte-order mark and CRLF line ends are no part of any text.
TEST(BrenmarkCli, AScriptWithAByteOrderMarkAndCrlfInsertsAsWithout) {
    TempDir dir;
    write_file(dir / "in.evd", sample_evd());
    write_file(dir / "s.txt", bytes_of("\xEF\xBB\xBF"
                                       "7 Hi\r\n8   indented\r\n-9 \x82\xA0\x82\xA2\r\n10 \r\n"));
    expect_success(brenmark(dir, {"in.evd", "s.txt", "out.evd"}));
    EXPECT_EQ(read_file(dir / "out.evd"), EvdBuilder()
                                              .text(7, "Hi")
                                              .text(8, "  indented")
                                              .text(-9, "\x82\xA0\x82\xA2")
                                              .text(10, "")
                                              .tail(std::string_view("\x01\x00\x02\x00 tail", 9))
                                              .bytes());
}

// --- the table file -----------------------------------------------------------------

namespace {

// A game whose accented letters are bytes 0x80 and up, and whose line break
// is 0xFE.
const char* const GAME_TABLE =
    "# the game's letters\n"
    "20= \n41=A\n42=B\n43=C\n61=a\n62=b\n63=c\n21=!\n"
    "80=\xC3\xA9\n81=\xC3\xA8\n"
    "*FE\n"
    "F0F1=[HERO]\n"
    "$F2=[ITEM],1\n";

}  // namespace

TEST(BrenmarkCli, ATableDecodesTheDumpAndEncodesTheInsert) {
    TempDir dir;
    const Bytes data =
        EvdBuilder().text(1, "Ab\x80\xFE\xF0\xF1!").text(2, "\x01?").tail("T").bytes();
    write_file(dir / "in.evd", data);
    write_file(dir / "game.tbl", bytes_of(GAME_TABLE));
    const std::string warning =
        "Warning: game.tbl: linked entries, diacritics and table names are not supported; the "
        "line was skipped (line 14)\n";
    RunResult run = brenmark(dir, {"--table", "game.tbl", "in.evd", "s.txt"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, warning);
    EXPECT_EQ(read_file(dir / "s.txt"), text_file("1 Ab\xC3\xA9\\n[HERO]!\n2 \\x01\\x3F\n"));
    // Unedited, the file comes back as it was; the option may stand anywhere.
    run = brenmark(dir, {"in.evd", "s.txt", "out.evd", "--table", "game.tbl"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "out.evd"), data);
    write_file(dir / "s.txt", bytes_of("1 C\xC3\xA8 [HERO]\\nb\n2 \\x01\\x3F\n"));
    run = brenmark(dir, {"--table", "game.tbl", "in.evd", "s.txt", "out.evd"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "out.evd"), EvdBuilder()
                                              .text(1,
                                                    "C\x81 \xF0\xF1\xFE"
                                                    "b")
                                              .text(2, "\x01?")
                                              .tail("T")
                                              .bytes());
    // A character the table cannot encode: named with its place; nothing written.
    write_file(dir / "s.txt", bytes_of("1 Abc\n2 d\xC3\xA9j\xC3\xA0\n"));
    const auto before = read_tree(dir.path());
    run = brenmark(dir, {"--table", "game.tbl", "in.evd", "s.txt", "out.evd"});
    EXPECT_EQ(run.status, FAILURE_STATUS);
    EXPECT_EQ(run.err,
              warning + "Error: s.txt: no table entry encodes U+0064 \"d\" (line 2, column 3)\n");
    EXPECT_EQ(read_tree(dir.path()), before);
}

TEST(BrenmarkCli, ABadTableStopsTheRunBeforeAnythingIsWritten) {
    TempDir dir;
    write_file(dir / "in.evd", sample_evd());
    write_file(dir / "t.tbl", bytes_of("41=A\n41=B\n"));
    expect_failure(dir, {"--table", "t.tbl", "in.evd", "s.txt"},
                   "Error: t.tbl: the byte sequence 41 is in the table twice (first on line 1) "
                   "(line 2)\n");
    expect_failure(dir, {"--table", "missing.tbl", "in.evd", "s.txt"},
                   "Could not open missing.tbl (No such file or directory)\n");
    // Without its file the option is a wrong command line.
    const std::string usage = "brenmark v1.0\n\nusage: " + tool_path("brenmark") +
                              " <input.evd> <script.txt> [output.evd]\n";
    expect_failure(dir, {"in.evd", "s.txt", "--table"}, usage);
}

// --- whole folders, PO and CSV ------------------------------------------------------

namespace {

// A folder of .evd files as a game holds them, and what each one holds.
std::map<std::string, Bytes> game_texts() {
    return {
        {"e000.evd", EvdBuilder().text(1, "Welcome").text(2, "Two\nlines").tail("T0").bytes()},
        {"town/e001.evd", EvdBuilder().text(5, "Shop").text(6, "").tail("T1").bytes()},
        {"town/inn/e002.evd", EvdBuilder().text(-1, "\x82\xA0").tail("T2").bytes()},
    };
}

void write_game(const TempDir& dir, const std::string& folder) {
    for (const auto& [name, bytes] : game_texts()) {
        write_file(dir / (folder + "/" + name), bytes);
    }
    write_file(dir / (folder + "/readme.txt"), bytes_of("not a text file"));
}

// The PO a dump of the folder gives, its entries in this order.
std::string fill_po(const std::string& po, const std::vector<std::string>& translations) {
    std::string out;
    std::size_t pos = 0, n = 0;
    // Every entry but the header ends with msgstr "" (the translations are
    // empty after a dump).
    const std::string empty = "msgstr \"\"\n";
    pos = po.find(empty) + empty.size();  // the header's
    out = po.substr(0, pos);
    for (std::size_t next; (next = po.find(empty, pos)) != std::string::npos; ++n) {
        out += po.substr(pos, next - pos);
        out += n < translations.size() ? "msgstr \"" + translations[n] + "\"\n" : empty;
        pos = next + empty.size();
    }
    return out + po.substr(pos);
}

}  // namespace

TEST(BrenmarkCli, AFolderDumpsToPoAndInsertsOnlyChangedFiles) {
    TempDir dir;
    write_game(dir, "evd");
    expect_success(brenmark(dir, {"evd", "texts.po"}));
    const Bytes po_bytes = read_file(dir / "texts.po");
    const std::string po(po_bytes.begin(), po_bytes.end());
    EXPECT_NE(po.find("#. text id 2\nmsgctxt \"e000.evd#1\"\nmsgid \"\"\n\"Two\\n\"\n\"lines\"\n"),
              std::string::npos)
        << po;
    EXPECT_NE(po.find("msgctxt \"town/inn/e002.evd#0\"\nmsgid \"\\\\x82\\\\xA0\"\n"),
              std::string::npos)
        << po;
    EXPECT_EQ(po.find("readme"), std::string::npos);
    // Translate the first text of e000 and e002, leave the others.
    write_file(dir / "fr.po", bytes_of(fill_po(po, {"Bienvenue", "", "", "", "\\\\x82\\\\xA2"})));
    // Into another folder: only the two changed files appear there.
    RunResult run = brenmark(dir, {"evd", "fr.po", "out"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "2 texts changed, 2 files written, 3 texts left untranslated, 0 fuzzy entries "
              "skipped\n");
    EXPECT_EQ(run.err, "");
    const std::map<std::string, Bytes> expected = {
        {"e000.evd", EvdBuilder().text(1, "Bienvenue").text(2, "Two\nlines").tail("T0").bytes()},
        {"town/", {}},
        {"town/inn/", {}},
        {"town/inn/e002.evd", EvdBuilder().text(-1, "\x82\xA2").tail("T2").bytes()},
    };
    EXPECT_EQ(read_tree(dir / "out"), expected);
    // In place: the changed files are replaced, the others not touched.
    // (The time as the file system keeps it: Windows counts in 100 ns.)
    for (const auto& [name, bytes] : game_texts()) {
        std::filesystem::last_write_time(
            dir / ("evd/" + name),
            std::filesystem::file_time_type::clock::now() - std::chrono::hours(24));
    }
    const auto old_time = std::filesystem::last_write_time(dir / "evd/town/e001.evd");
    run = brenmark(dir, {"evd", "fr.po", "evd"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "evd/e000.evd"), expected.at("e000.evd"));
    EXPECT_EQ(read_file(dir / "evd/town/inn/e002.evd"), expected.at("town/inn/e002.evd"));
    EXPECT_EQ(read_file(dir / "evd/town/e001.evd"), game_texts().at("town/e001.evd"));
    EXPECT_EQ(std::filesystem::last_write_time(dir / "evd/town/e001.evd"), old_time);
    EXPECT_GT(std::filesystem::last_write_time(dir / "evd/e000.evd"), old_time);
    // The PO no longer fits the files it changed: refused, nothing written.
    expect_failure(dir, {"evd", "fr.po", "evd"},
                   "Error: fr.po: the original text is not the text of e000.evd (record 0, text "
                   "id 1, offset 0x4); was this file made from another version of it? (entry "
                   "\"e000.evd#0\")\n");
}

TEST(BrenmarkCli, AFolderDumpsToCsvAndBack) {
    TempDir dir;
    write_game(dir, "evd");
    expect_success(brenmark(dir, {"evd", "texts.csv"}));
    EXPECT_EQ(read_file(dir / "texts.csv"), bytes_of("\xEF\xBB\xBF"
                                                     "file,record,id,original,translation\r\n"
                                                     "e000.evd,0,1,Welcome,\r\n"
                                                     "e000.evd,1,2,\"Two\nlines\",\r\n"
                                                     "town/e001.evd,0,5,Shop,\r\n"
                                                     "town/e001.evd,1,6,,\r\n"
                                                     "town/inn/e002.evd,0,-1,\\x82\\xA0,\r\n"));
    write_file(dir / "fr.csv", bytes_of("file,record,id,original,translation\n"
                                        "e000.evd,1,2,\"Two\nlines\",\"Deux\nlignes\"\n"
                                        "town/e001.evd,1,6,,Vide\n"));
    const RunResult run = brenmark(dir, {"evd", "fr.csv", "out"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "2 texts changed, 2 files written, 3 texts left untranslated, 0 fuzzy entries "
              "skipped\n");
    EXPECT_EQ(read_file(dir / "out/e000.evd"),
              EvdBuilder().text(1, "Welcome").text(2, "Deux\nlignes").tail("T0").bytes());
    EXPECT_EQ(read_file(dir / "out/town/e001.evd"),
              EvdBuilder().text(5, "Shop").text(6, "Vide").tail("T1").bytes());
}

TEST(BrenmarkCli, ASingleEvdWithPoAndFuzzyEntries) {
    TempDir dir;
    write_file(dir / "in.evd", sample_evd());
    expect_success(brenmark(dir, {"in.evd", "t.po"}));
    const Bytes po_bytes = read_file(dir / "t.po");
    std::string po = fill_po(std::string(po_bytes.begin(), po_bytes.end()), {"Salut", "", "x"});
    // Mark the third entry fuzzy.
    const std::size_t third = po.find("#. text id -9\n");
    ASSERT_NE(third, std::string::npos);
    po.insert(po.find('\n', third) + 1, "#, fuzzy\n");
    write_file(dir / "t.po", bytes_of(po));
    const RunResult run = brenmark(dir, {"in.evd", "t.po", "in.evd"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "1 texts changed, 1 files written, 2 texts left untranslated, 1 fuzzy entries "
              "skipped\n");
    EXPECT_EQ(run.err,
              "Warning: t.po: 1 fuzzy entries were not put back; review them and remove their "
              "fuzzy flag (the first: entry \"in.evd#2\")\n");
    EXPECT_EQ(read_file(dir / "in.evd"), EvdBuilder()
                                             .text(7, "Salut")
                                             .text(8, "  indented")
                                             .text(-9, "\x82\xA0\x82\xA2")
                                             .text(10, "")
                                             .tail(std::string_view("\x01\x00\x02\x00 tail", 9))
                                             .bytes());
}

TEST(BrenmarkCli, FolderFormsRefuseWhatCannotWork) {
    TempDir dir;
    write_game(dir, "evd");
    write_file(dir / "empty/readme.txt", bytes_of("x"));
    write_file(dir / "file.bin", bytes_of("x"));
    expect_failure(dir, {"evd", "texts.txt"},
                   "Error: texts.txt: a folder's texts go into a .po or .csv file, not a script\n");
    expect_failure(dir, {"empty", "texts.po"}, "Error: empty: the folder holds no .evd file\n");
    expect_success(brenmark(dir, {"evd", "texts.po"}));
    expect_failure(dir, {"evd", "texts.po", "file.bin"},
                   "Error: file.bin: the output of a folder must be a folder\n");
    // An entry naming a file the folder lacks.
    const Bytes po_bytes = read_file(dir / "texts.po");
    std::string po(po_bytes.begin(), po_bytes.end());
    po.replace(po.find("town/e001.evd#0"), 15, "town/e009.evd#0");
    write_file(dir / "texts.po", bytes_of(po));
    expect_failure(dir, {"evd", "texts.po", "evd"},
                   "Error: texts.po: the entry names no record: there is no file "
                   "\"town/e009.evd\" (entry \"town/e009.evd#0\")\n");
    // A failed insert into folders that do not exist yet leaves none behind.
    expect_failure(dir, {"evd", "texts.po", "new/deep/out"},
                   "Error: texts.po: the entry names no record: there is no file "
                   "\"town/e009.evd\" (entry \"town/e009.evd#0\")\n");
    write_file(dir / "broken.po", bytes_of("msgid \"\"\nmsgstr \"\"\n\ngarbage\n"));
    expect_failure(dir, {"evd", "broken.po", "new/out"},
                   "Error: broken.po: keyword \"garbage\" unknown (line 4)\n");
}
