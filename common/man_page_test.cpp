// The manual page's two renderings and the checks of a page, on pages built
// in the test. (Every real page is rendered by groff and man in the
// manual_pages.render test.)
#include "common/man_page.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

namespace {

ToolPage sample_page() {
    return {
        .name = "sample-a",
        .summary = "do one thing to a file",
        .banner = "sample v1.0",
        .version = "1.0",
        .usage = {"<in> [out]"},
        .description = "Reads in. It is one of two builds.\n\nA second paragraph.",
        .modes = {{"Copy, with two arguments", "Copies in to out."}},
        .details = "Details for the manual only.",
        .files = {{"in", "Read whole."}},
        .examples = {{"sample-a x", "Reads x."}, {"sample-a x y", "Copies x to y."}},
    };
}

const PageContext CONTEXT = {"2026-12-09", {"other-b", "sample-b"}};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool has_line(const std::string& text, const std::string& line) {
    for (const std::string& l : lines_of(text)) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

TEST(CheckPage, AcceptsACompletePage) {
    std::string err;
    EXPECT_TRUE(check_page(sample_page(), &err)) << err;
}

TEST(CheckPage, RefusesWhatAPageCannotShowOrLacks) {
    struct Case {
        const char* what;  // expected in the message
        std::function<void(ToolPage&)> spoil;
    };
    const Case cases[] = {
        {"needs a name", [](ToolPage& p) { p.name = "Sample"; }},
        {"has no summary", [](ToolPage& p) { p.summary.clear(); }},
        {"no full stop", [](ToolPage& p) { p.summary = "do one thing."; }},
        {"starts in lower case", [](ToolPage& p) { p.summary = "Do one thing"; }},
        {"fits on one line", [](ToolPage& p) { p.summary = std::string(70, 'x'); }},
        {"ends with \" v1.0\"", [](ToolPage& p) { p.banner = "sample v1.01"; }},
        {"has no usage forms", [](ToolPage& p) { p.usage.clear(); }},
        {"has no modes", [](ToolPage& p) { p.modes.clear(); }},
        {"says nothing about the files", [](ToolPage& p) { p.files.clear(); }},
        {"two or three examples", [](ToolPage& p) { p.examples.pop_back(); }},
        {"two or three examples",
         [](ToolPage& p) { p.examples.insert(p.examples.end(), 2, p.examples[0]); }},
        {"does not start with \"sample-a \"",
         [](ToolPage& p) { p.examples[1].term = "sample-b x y"; }},
        {"printable ASCII in its description",
         [](ToolPage& p) { p.description = "Reads in\xC3\xA9."; }},
        {"printable ASCII in its modes", [](ToolPage& p) { p.modes[0].text = "Copies\nin."; }},
        {"stray blanks", [](ToolPage& p) { p.details = "Two  blanks."; }},
        {"stray blanks", [](ToolPage& p) { p.files[0].term = "in "; }},
        {"stray blanks", [](ToolPage& p) { p.description = "One.\n\n\n\nTwo."; }},
        {"printable ASCII in its summary", [](ToolPage& p) { p.summary = "do\tit"; }},
    };
    for (const Case& c : cases) {
        ToolPage page = sample_page();
        c.spoil(page);
        std::string err;
        EXPECT_FALSE(check_page(page, &err)) << c.what;
        EXPECT_NE(err.find(c.what), std::string::npos) << err;
    }
}

TEST(ManPageRoff, SectionsInOrderWithTitleAndNameLine) {
    const std::string roff = man_page_roff(sample_page(), CONTEXT);
    EXPECT_TRUE(has_line(roff, ".TH SAMPLE\\-A 1 2026\\-12\\-09 \"korvane suite " +
                                   std::string(suite_version()) + "\" \"korvane suite\""))
        << roff;
    std::vector<std::string> sections;
    for (const std::string& line : lines_of(roff)) {
        if (line.starts_with(".SH ")) {
            sections.push_back(line.substr(4));
        }
    }
    EXPECT_EQ(sections, (std::vector<std::string>{"\"NAME\"", "\"SYNOPSIS\"", "\"DESCRIPTION\"",
                                                  "\"OPTIONS\"", "\"EXIT STATUS\"", "\"FILES\"",
                                                  "\"EXAMPLES\"", "\"SEE ALSO\""}));
    EXPECT_TRUE(has_line(roff, "sample\\-a \\- do one thing to a file"));
    EXPECT_TRUE(has_line(roff, ".B sample\\-a"));
    EXPECT_TRUE(has_line(roff, "<in> [out]"));
    EXPECT_TRUE(has_line(roff, "\\-\\-help | \\-\\-version"));
    EXPECT_TRUE(has_line(roff, ".B \"sample\\-a x y\""));
    EXPECT_TRUE(has_line(roff, "Details for the manual only."));
    EXPECT_TRUE(has_line(roff, ".BR other\\-b (1),"));
    EXPECT_TRUE(has_line(roff, ".BR sample\\-b (1),"));
}

TEST(ManPageRoff, TextIsShownLiterally) {
    ToolPage page = sample_page();
    page.details = ".lzr files, 'quoted', `ticked`, C:\\mod\\x and -1";
    page.files[0].term = "a \"quoted\" name";
    const std::string roff = man_page_roff(page, CONTEXT);
    EXPECT_TRUE(
        has_line(roff, "\\&.lzr files, \\(aqquoted\\(aq, \\(gaticked\\(ga, C:\\emod\\ex and \\-1"))
        << roff;
    EXPECT_TRUE(has_line(roff, ".B \"a \\(dqquoted\\(dq name\"")) << roff;
    // No text line starts a request by accident.
    for (const std::string& line : lines_of(roff)) {
        if (!line.empty() && (line[0] == '.' || line[0] == '\'')) {
            EXPECT_TRUE(line.starts_with(".\\\"") || line.starts_with(".TH ") ||
                        line.starts_with(".SH ") || line.starts_with(".B ") ||
                        line.starts_with(".BR ") || line == ".TP" || line == ".PP" ||
                        line == ".br" || line == ".nh" || line == ".ad l")
                << line;
        }
    }
}

TEST(ManPageText, SameSectionsWithinSeventyNineColumns) {
    ToolPage page = sample_page();
    page.details = std::string("A long paragraph ") + std::string(40, 'x') +
                   " that must be wrapped, with words enough to need more than one line.";
    const std::string text = man_page_text(page, CONTEXT);
    std::vector<std::string> sections;
    for (const std::string& line : lines_of(text)) {
        EXPECT_LE(line.size(), 79u) << line;
        if (!line.empty() && line[0] != ' ' && line.find('(') == std::string::npos) {
            sections.push_back(line);
        }
    }
    EXPECT_EQ(sections, (std::vector<std::string>{"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS",
                                                  "EXIT STATUS", "FILES", "EXAMPLES", "SEE ALSO"}));
    EXPECT_TRUE(has_line(text, "       sample-a - do one thing to a file"));
    EXPECT_TRUE(has_line(text, "       sample-a <in> [out]"));
    EXPECT_TRUE(has_line(text, "       sample-a --help | --version"));
    EXPECT_TRUE(has_line(text, "       sample-a x y"));
    EXPECT_TRUE(has_line(text, "              Copies x to y."));
    EXPECT_NE(text.find("other-b(1), sample-b(1), and README.md"), std::string::npos) << text;
    // Headed and footed as man shows a page.
    EXPECT_TRUE(lines_of(text).front().starts_with("SAMPLE-A(1) "));
    const std::string foot = lines_of(text).back();
    EXPECT_TRUE(foot.starts_with("korvane suite " + std::string(suite_version()) + " ")) << foot;
    EXPECT_NE(foot.find(" 2026-12-09 "), std::string::npos) << foot;
    EXPECT_TRUE(foot.ends_with(" SAMPLE-A(1)")) << foot;
    EXPECT_EQ(foot.size(), 79u);
}

}  // namespace
