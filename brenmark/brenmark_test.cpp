// Runs the brenmark program on .evd files and scripts made here.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

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
        {"mismatch", "7 a\n88 b\n-9 c\n10 d\n", "Error: mismatched text id (expected 8, got 88)\n"},
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

TEST(BrenmarkCli, TextWithALineBreakStopsTheDump) {
    TempDir dir;
    write_file(dir / "in.evd", EvdBuilder().text(1, "fine").text(2, "two\nlines").bytes());
    expect_failure(dir, {"in.evd", "s.txt"},
                   "Error: in.evd: the text holds a line feed, which a script line cannot hold "
                   "(record 1, text id 2, offset 0x24)\n");
    write_file(dir / "s.txt", bytes_of("an earlier script\n"));
    expect_failure(dir, {"in.evd", "s.txt"},
                   "Error: in.evd: the text holds a line feed, which a script line cannot hold "
                   "(record 1, text id 2, offset 0x24)\n");
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
