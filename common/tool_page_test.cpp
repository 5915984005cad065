// The texts a program prints about itself, from a page built in the test.
#include "common/tool_page.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

std::vector<std::string> sample_libraries() {
    return {"libexample 2.1.0", "zlib 1.3"};
}

ToolPage sample_page() {
    return {
        .name = "sample",
        .summary = "do one thing to a file",
        .banner = "sample v2.5",
        .version = "2.5",
        .usage = {"<in> <out>"},
        .description = "Does one thing.\n\nThen another.",
        .modes = {{"Copy, with two arguments", "Copies in to out."},
                  {"Check, with one argument", "Checks in."}},
        .files = {{"in", "Read."}},
        .examples = {{"sample a b", "Copies a to b."}, {"sample a", "Checks a."}},
    };
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(WrapText, BreaksBetweenWordsWithinTheWidth) {
    struct Case {
        const char* name;
        std::string text;
        std::size_t indent, width;
        std::string expected;
    };
    const Case cases[] = {
        {"fits", "one two three", 0, 20, "one two three\n"},
        {"exactly the width", "aaaa bbbb cc", 2, 14, "  aaaa bbbb cc\n"},
        {"one column more", "aaaa bbbb ccc", 2, 14, "  aaaa bbbb\n  ccc\n"},
        {"a long word alone", "a verylongword b", 0, 8, "a\nverylongword\nb\n"},
        {"blanks collapse", "a   b", 1, 10, " a b\n"},
        {"paragraphs", "one two\n\nthree", 0, 5, "one\ntwo\n\nthree\n"},
        {"empty", "", 4, 10, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(wrap_text(c.text, c.indent, c.width), c.expected) << c.name;
    }
}

TEST(UsageText, BannerUsageLineAndNote) {
    ToolPage page = sample_page();
    EXPECT_EQ(usage_line(page, "/bin/sample"), "usage: /bin/sample <in> <out>\n");
    EXPECT_EQ(usage_text(page, "sample"), "sample v2.5\n\nusage: sample <in> <out>\n");

    page.usage.push_back("<in>");
    page.usage_note = "This expects an in file.";
    EXPECT_EQ(usage_text(page, "s"),
              "sample v2.5\n\nusage: s <in> <out>  |  s <in>\n\nThis expects an in file.\n\n");
}

TEST(HelpText, UsageLineThenDescriptionModesAndExamples) {
    ToolPage page = sample_page();
    page.modes[0].text =
        "Copies in to out, a text long enough to need a second line when it is wrapped at the "
        "width of a terminal.";
    const std::string text = help_text(page, "./sample");
    EXPECT_EQ(text,
              "usage: ./sample <in> <out>\n"
              "\n"
              "Does one thing.\n"
              "\n"
              "Then another.\n"
              "\n"
              "Copy, with two arguments:\n"
              "  Copies in to out, a text long enough to need a second line when it is wrapped\n"
              "  at the width of a terminal.\n"
              "\n"
              "Check, with one argument:\n"
              "  Checks in.\n"
              "\n"
              "Examples:\n"
              "  sample a b\n"
              "      Copies a to b.\n"
              "  sample a\n"
              "      Checks a.\n"
              "\n"
              "sample --version prints the version. The manual page (man sample; sample.txt\n"
              "beside the program on Windows) and README.md say more.\n");
}

TEST(HelpText, OptionsOnlyWhenThePageHasThem) {
    ToolPage page = sample_page();
    EXPECT_EQ(help_text(page, "sample").find("Options:"), std::string::npos);
    page.options = {{"--table <file>", "Decodes texts with the table in file."}};
    const std::string text = help_text(page, "sample");
    EXPECT_NE(text.find("\nOptions:\n  --table <file>\n      Decodes texts with the table in "
                        "file.\n\nExamples:\n"),
              std::string::npos)
        << text;
}

TEST(VersionText, ProgramSuiteAndLibraries) {
    ToolPage page = sample_page();
    const std::string suite = " (korvane suite " + std::string(suite_version()) + ")\n";
    EXPECT_EQ(version_text(page), "sample 2.5" + suite);
    page.libraries = sample_libraries;
    EXPECT_EQ(version_text(page), "sample 2.5" + suite + "libexample 2.1.0\nzlib 1.3\n");
    EXPECT_EQ(lines_of(version_text(page)).size(), 3u);
}

}  // namespace
