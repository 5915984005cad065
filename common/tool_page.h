// What a program of the suite says about itself, written once per program as
// a `ToolPage` and shown four ways: the banner and usage line of a wrong
// command line, `--help`, `--version`, and the manual page (roff in the .deb,
// plain text in the Windows zip; common/man_page.h makes both at build time).
//
// Adding a program (a new tool, or a second program of a tool):
//   1. Write its page source, <tool>/<program>_page.cpp, defining
//      `const ToolPage TOOL_PAGE = {...};` (ossory/ossory_page.cpp is a small
//      one to copy). Texts are plain ASCII; a paragraph is one string, wrapped
//      wherever it is shown; paragraphs of one field are separated by "\n\n".
//   2. Add one line to <tool>/CMakeLists.txt after its add_executable():
//      `add_tool_page(<program> <program>_page.cpp)` (cmake/pages.cmake;
//      add_layout_tool takes `PAGE <source>` instead). That compiles the page
//      into the program, makes its manual page and installs it (.deb and
//      zip), names it in every other page's SEE ALSO, and adds the program to
//      the tests of --help, --version, the pages and the packages.
//   3. Its main ends `return run_tool(<tool>, TOOL_PAGE, argc, argv);` and
//      prints `print_usage(TOOL_PAGE, argv[0])` on a wrong command line.
// A program that links a library (libpng, zlib, libgettextpo...) names it
// for --version through `.libraries` (tm2png/tm2png_page.cpp) and in
// LIBRARIES of common/program_help_test.cpp, which holds --version to it.
// The page writer refuses an incomplete page (check_page), so the build says
// what is missing. Changing what a program says is an edit of its page
// source alone: usage line, --help and manual page follow.
#pragma once

#include <string>
#include <string_view>
#include <vector>

/// A term and what it means: a mode ("Extract, with two arguments"), a file,
/// an option, or an example's command line.
struct PageItem {
    std::string term;
    std::string text;
};

// Every member has a default, so that a page names only the fields it fills.
struct ToolPage {
    /// The program's name: "korvane-a".
    std::string name{};
    /// What it does, for the manual's NAME line: lower case, no full stop.
    std::string summary{};
    /// The first line of a wrong command line's text: "korvane v1.0".
    std::string banner{};
    /// The program's version, the one its banner shows: "1.0".
    std::string version{};
    /// The argument forms of the usage line, each after the program's name;
    /// several are joined with "  |  ", or each stands on a line of its own
    /// under the first when `usage_per_line` (a program of several commands).
    std::vector<std::string> usage{};
    bool usage_per_line = false;
    /// A paragraph printed after the usage line on a wrong command line, or empty.
    std::string usage_note{};
    /// What the program is for (--help and the manual's DESCRIPTION).
    std::string description{};
    /// One short paragraph per mode (--help and DESCRIPTION).
    std::vector<PageItem> modes{};
    /// Further paragraphs, in the manual's DESCRIPTION only.
    std::string details{};
    /// Options besides --help and --version.
    std::vector<PageItem> options{};
    /// What the program reads and writes (FILES).
    std::vector<PageItem> files{};
    /// Two or three command lines, each starting with the program's name,
    /// and what they do.
    std::vector<PageItem> examples{};
    /// The libraries the program uses, each as "name version", for
    /// --version; null for none.
    std::vector<std::string> (*libraries)() = nullptr;
};

/// The page of the program being built: every shipped program defines it in
/// its page source and hands it to run_tool.
extern const ToolPage TOOL_PAGE;

/// The version of the suite as a whole (the packages'), e.g. "1.0".
std::string_view suite_version();

/// The usage line with `program` (as it was called) for the name in every
/// form, ending in a line end: "usage: korvane-a <SLUS_217.88 etc> ...\n".
std::string usage_line(const ToolPage& page, std::string_view program);

/// What a wrong command line prints on standard error: the banner, an empty
/// line, the usage line and the usage note (after an empty line, followed by
/// an empty line) if there is one.
std::string usage_text(const ToolPage& page, std::string_view program);

/// What --help prints: the usage line, the description, one paragraph per
/// mode, the options, the examples, and where to read more.
std::string help_text(const ToolPage& page, std::string_view program);

/// What --version prints: "<name> <version> (korvane suite <version>)", then
/// one line per library.
std::string version_text(const ToolPage& page);

/// `text` broken into lines of at most `width` columns (a longer word gets a
/// line of its own), each starting with `indent` blanks and ending in "\n".
/// Paragraphs ("\n\n" between them) stay apart, separated by an empty line.
std::string wrap_text(std::string_view text, std::size_t indent, std::size_t width);

/// The paragraphs of a field written with "\n\n" between them.
std::vector<std::string_view> paragraphs(std::string_view text);
