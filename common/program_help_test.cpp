// --help and --version of every shipped program, run as built: the list of
// programs comes from the build (SUITE_PROGRAMS: every program with a page,
// cmake/pages.cmake), so a new program is tested here without a new line.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/tool_page.h"
#include "ossory/lzr_test_support.h"
#include "testing/test_support.h"

#if !defined(SUITE_PROGRAMS) || !defined(SUITE_README)
#error \
    "SUITE_PROGRAMS must list the programs, separated by commas, and SUITE_README name the README (cmake/pages.cmake)"
#endif

namespace {

std::vector<std::string> programs() {
    std::vector<std::string> names;
    std::stringstream list(SUITE_PROGRAMS);
    for (std::string name; std::getline(list, name, ',');) {
        names.push_back(name);
    }
    return names;
}

// The libraries each program's --version must name, in its order; a program
// not listed uses none.
const std::map<std::string, std::vector<std::string>> LIBRARIES = {
    {"brenmark", {"libgettextpo"}},
    {"modkit", {"libpng", "zlib", "libgettextpo"}},
    {"tm2png", {"libpng", "zlib"}},
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

class ProgramHelp : public testing::TestWithParam<std::string> {
  protected:
    RunResult run(const std::vector<std::string>& args) {
        return run_program(tool_path(GetParam()), args, dir_.path());
    }
    // What a wrong command line prints: banner, empty line, usage line.
    void usage(std::string* banner, std::string* usage_line) {
        const RunResult r = run({});
        ASSERT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.out, "");
        const std::vector<std::string> lines = lines_of(r.err);
        ASSERT_GE(lines.size(), 3u) << r.err;
        EXPECT_EQ(lines[1], "");
        ASSERT_TRUE(lines[2].starts_with("usage: " + tool_path(GetParam()) + " ")) << r.err;
        *banner = lines[0];
        // A program of several commands gives each on a line of its own.
        *usage_line = lines[2];
        for (std::size_t i = 3; i < lines.size() && lines[i].starts_with("       "); ++i) {
            *usage_line += "\n" + lines[i];
        }
    }
    TempDir dir_;
};

TEST_P(ProgramHelp, HelpPrintsTheUsageModesAndExamplesOnStandardOutput) {
    std::string banner, usage_line;
    ASSERT_NO_FATAL_FAILURE(usage(&banner, &usage_line));
    const RunResult r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.starts_with(usage_line + "\n\n")) << r.out;
    EXPECT_NE(r.out.find("\nExamples:\n  " + GetParam() + " "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(man " + GetParam() + ";"), std::string::npos) << r.out;
    for (const std::string& line : lines_of(r.out)) {
        // The usage lines (a program of several commands continues them
        // indented under the first) are as long as their forms.
        const bool usage = line.starts_with("usage: ") || line.starts_with("       ");
        EXPECT_LE(line.size(), usage ? 1000u : 79u) << line;
    }
    EXPECT_TRUE(read_tree(dir_.path()).empty());
}

TEST_P(ProgramHelp, VersionNamesTheProgramTheSuiteAndTheLibraries) {
    std::string banner, usage_line;
    ASSERT_NO_FATAL_FAILURE(usage(&banner, &usage_line));
    const RunResult r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_FALSE(lines.empty());
    // The program's version is the one its banner shows ("korvane v1.0").
    const std::string version = banner.substr(banner.rfind(" v") + 2);
    EXPECT_EQ(lines[0],
              GetParam() + " " + version + " (korvane suite " + std::string(suite_version()) + ")");
    const auto found = LIBRARIES.find(GetParam());
    const std::vector<std::string> expected =
        found == LIBRARIES.end() ? std::vector<std::string>{} : found->second;
    ASSERT_EQ(lines.size(), 1 + expected.size()) << r.out;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string& line = lines[1 + i];
        EXPECT_TRUE(line.starts_with(expected[i] + " ")) << line;
        EXPECT_EQ(line.find_first_not_of("0123456789.", expected[i].size() + 1), std::string::npos)
            << line;
        EXPECT_GT(line.size(), expected[i].size() + 1) << line;
    }
}

// Text that could not be written is a failure, as a listing is.
TEST_P(ProgramHelp, HelpIntoAClosedPipeIsAnError) {
    RunOptions options;
    options.stdout_closed_pipe = true;
    for (const std::string option : {"--help", "--version"}) {
        const RunResult r = run_program(tool_path(GetParam()), {option}, dir_.path(), options);
        EXPECT_EQ(r.status, FAILURE_STATUS) << option;
        EXPECT_TRUE(r.err.starts_with("Error: standard output: could not write the listing"))
            << option << ": " << r.err;
    }
}

TEST_P(ProgramHelp, HelpAndVersionBesideOtherArgumentsAreFileNames) {
    // With another argument they are arguments like any other: a program
    // whose two-argument form reads a file cannot open them (nothing is
    // there), one that checks its output's name first refuses that name, and
    // one that needs more arguments prints its usage. None prints its help.
    for (const std::string option : {"--help", "--version"}) {
        for (const auto& [args, missing] :
             std::vector<std::pair<std::vector<std::string>, std::string>>{{{option, "x"}, option},
                                                                           {{"x", option}, "x"}}) {
            SCOPED_TRACE(args[0] + " " + args[1]);
            const RunResult r = run(args);
            EXPECT_EQ(r.status, FAILURE_STATUS);
            EXPECT_EQ(r.out, "");
            EXPECT_TRUE(r.err.starts_with("Could not open " + missing) ||
                        r.err.starts_with("Error: " + args[1] + ": ") ||
                        r.err.find("\n\nusage: ") != std::string::npos)
                << r.err;
            EXPECT_EQ(r.err.find("Examples:"), std::string::npos) << r.err;
        }
    }
    EXPECT_TRUE(read_tree(dir_.path()).empty());
}

// The README quotes usage lines ("    usage: tillet-a <SLUS_217.88 etc> ..."):
// each must be the program's own, so that the README cannot drift from what
// the programs print.
std::vector<std::string> readme_usage_lines() {
    std::vector<std::string> lines;
    const Bytes readme = read_file(SUITE_README);
    bool in_usage = false;
    for (const std::string& line : lines_of(std::string(readme.begin(), readme.end()))) {
        if (line.starts_with("    usage: ")) {
            lines.push_back(line.substr(4));
            in_usage = true;
        } else if (in_usage && line.starts_with("           ")) {
            lines.back() += "\n" + line.substr(4);  // the next command of the same program
        } else {
            in_usage = false;
        }
    }
    return lines;
}

TEST_P(ProgramHelp, TheReadmeQuotesTheUsageLineAsTheProgramPrintsIt) {
    std::string banner, usage_line;
    ASSERT_NO_FATAL_FAILURE(usage(&banner, &usage_line));
    // The README names the program as a user types it.
    const std::string path = tool_path(GetParam());
    for (std::size_t at = usage_line.find(path); at != std::string::npos;
         at = usage_line.find(path, at)) {
        usage_line.replace(at, path.size(), GetParam());
    }
    for (const std::string& line : readme_usage_lines()) {
        if (line.starts_with("usage: " + GetParam() + " ")) {
            EXPECT_EQ(line, usage_line);
        }
    }
}

TEST(Readme, EveryQuotedUsageLineIsOneOfThePrograms) {
    const std::vector<std::string> names = programs();
    const std::vector<std::string> lines = readme_usage_lines();
    EXPECT_FALSE(lines.empty());
    for (const std::string& line : lines) {
        const std::string name = line.substr(7, line.find(' ', 7) - 7);
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryProgram, ProgramHelp, testing::ValuesIn(programs()),
                         [](const testing::TestParamInfo<std::string>& param) {
                             std::string name = param.param;
                             for (char& c : name) {
                                 if (c == '-') {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

// Files named --help are files like any other where another argument stands
// beside them, and ./--help names one as the only argument.
TEST(FilesNamedLikeOptions, AreReadAndWrittenAsFiles) {
    TempDir tmp;
    const Bytes image(3000, 0x5A);
    write_file(tmp / "--help", lzr_file_of(image, 7));
    RunResult r = run_program(tool_path("ossory"), {"--help", "--version"}, tmp.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(tmp / "--version"), image);

    r = run_program(tool_path("lzrpack"), {"--help", "--version", "out.lzr"}, tmp.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(tmp / "out.lzr"), lzr_file_of(image, 7));

    // tillet takes one argument; the executable named --help is given as ./--help.
    r = run_program(tool_path("tillet-a"), {"./--help"}, tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("Error: ./--help: ")) << r.err;
}

}  // namespace
