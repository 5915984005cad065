#include "common/man_page.h"

#include <algorithm>
#include <cctype>

namespace {

// The page is first laid out as sections of blocks, the same for both
// renderings, so that the roff and the text page cannot say different
// things.
struct Block {
    enum class Kind {
        paragraph,  ///< text
        item,       ///< term, then text indented below it
        command,    ///< a SYNOPSIS line: the program's name (term), its arguments (text)
        see_also,   ///< the other programs (names) and the README
    };
    Kind kind;
    std::string term{};
    std::string text{};
    std::vector<std::string> names{};
};

struct Section {
    std::string title;
    std::vector<Block> blocks;
};

constexpr std::size_t TEXT_WIDTH = 79;
constexpr std::size_t TEXT_INDENT = 7;       // man's own indentation of a section's text
constexpr std::size_t TEXT_ITEM_INDENT = 7;  // and of an item's text below its term

// Where the .deb puts the README; the zip has it beside the programs.
constexpr const char* README_INSTALLED = "/usr/share/doc/korvane-suite/README.md";
constexpr const char* README_MORE =
    ", which says more about every program and the order to run them in.";

void add_paragraphs(std::vector<Block>* blocks, const std::string& text) {
    for (std::string_view paragraph : paragraphs(text)) {
        blocks->push_back({Block::Kind::paragraph, "", std::string(paragraph)});
    }
}

void add_items(std::vector<Block>* blocks, const std::vector<PageItem>& items) {
    for (const PageItem& item : items) {
        blocks->push_back({Block::Kind::item, item.term, item.text});
    }
}

std::vector<Section> layout(const ToolPage& page, const PageContext& context) {
    std::vector<Section> sections;

    Section name{"NAME", {}};
    name.blocks.push_back({Block::Kind::paragraph, "", page.name + " - " + page.summary});
    sections.push_back(name);

    Section synopsis{"SYNOPSIS", {}};
    for (const std::string& form : page.usage) {
        synopsis.blocks.push_back({Block::Kind::command, page.name, form});
    }
    synopsis.blocks.push_back({Block::Kind::command, page.name, "--help | --version"});
    sections.push_back(synopsis);

    Section description{"DESCRIPTION", {}};
    add_paragraphs(&description.blocks, page.description);
    add_items(&description.blocks, page.modes);
    add_paragraphs(&description.blocks, page.details);
    sections.push_back(description);

    Section options{"OPTIONS", {}};
    if (page.options.empty()) {
        options.blocks.push_back(
            {Block::Kind::paragraph, "",
             "The arguments are positional; " + page.name + " has no options but these two."});
    }
    add_items(&options.blocks, page.options);
    options.blocks.push_back(
        {Block::Kind::item, "--help",
         "Prints the usage line, what each mode does and examples on standard output, and exits "
         "with status 0."});
    options.blocks.push_back(
        {Block::Kind::item, "--version",
         "Prints the version of " + page.name +
             ", the suite's and those of the libraries it uses on standard output, and exits "
             "with status 0."});
    options.blocks.push_back(
        {Block::Kind::paragraph, "",
         "Both are recognised only when they are the only argument. Anywhere else on a command "
         "line they "
         "are arguments like any other, so that no command line naming files changes meaning; "
         "a file named --help that is the only argument is given as ./--help."});
    sections.push_back(options);

    Section exit_status{"EXIT STATUS", {}};
    exit_status.blocks.push_back(
        {Block::Kind::item, "0", "The work is done, or --help or --version printed their text."});
    exit_status.blocks.push_back(
        {Block::Kind::item, "-1",
         "A wrong command line (the banner and the usage line are printed on standard error), "
         "any error (one message on standard error), a listing that could not be written (a "
         "full disk, a closed pipe), or an interrupted run. Nothing is then left half written. "
         "A POSIX shell shows this status as 255; %ERRORLEVEL% on Windows shows -1."});
    sections.push_back(exit_status);

    Section files{"FILES", {}};
    add_items(&files.blocks, page.files);
    sections.push_back(files);

    Section examples{"EXAMPLES", {}};
    add_items(&examples.blocks, page.examples);
    sections.push_back(examples);

    Section see_also{"SEE ALSO", {}};
    see_also.blocks.push_back({Block::Kind::see_also, "", "", context.others});
    sections.push_back(see_also);
    return sections;
}

// --- roff ---------------------------------------------------------------

// Text as roff shows it literally: the escape character, hyphens (minus
// signs, so that names and options can be copied from the page), quotes that
// groff would turn typographic, and a leading dot that would start a request.
std::string roff_escape(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\e";
                break;
            case '-':
                out += "\\-";
                break;
            case '\'':
                out += "\\(aq";
                break;
            case '`':
                out += "\\(ga";
                break;
            default:
                out += c;
        }
    }
    if (!out.empty() && out[0] == '.') {
        out.insert(0, "\\&");
    }
    return out;
}

// One argument of a macro, quoted (it may hold blanks).
std::string roff_argument(std::string_view text) {
    std::string out = "\"";
    for (const char c : roff_escape(text)) {
        if (c == '"') {
            out += "\\(dq";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

// --- text ---------------------------------------------------------------

// A line with `left` at the start, `middle` centred and `right` at the end,
// as man heads and foots a page.
std::string framed_line(const std::string& left, const std::string& middle,
                        const std::string& right) {
    std::string line = left;
    const std::size_t used = left.size() + middle.size() + right.size();
    const std::size_t space = used + 2 <= TEXT_WIDTH ? TEXT_WIDTH - used : 2;
    line += std::string(space / 2, ' ') + middle + std::string(space - space / 2, ' ') + right;
    return line + "\n";
}

}  // namespace

bool check_page(const ToolPage& page, std::string* err) {
    const auto fail = [&](const std::string& what) {
        *err = "the page of " + (page.name.empty() ? std::string("a program") : page.name) + " " +
               what;
        return false;
    };
    // Everything is shown as written: printable ASCII, blanks only between
    // words, and no line breaks but "\n\n" between paragraphs where a field
    // may hold several.
    const auto text_ok = [&](std::string_view field, const std::string& text, bool paragraphs_ok,
                             bool may_be_empty) {
        if (text.empty()) {
            return may_be_empty || fail("has no " + std::string(field));
        }
        std::vector<std::string_view> parts =
            paragraphs_ok ? paragraphs(text) : std::vector<std::string_view>{text};
        for (std::string_view part : parts) {
            if (part.empty() || part.front() == ' ' || part.back() == ' ' ||
                part.find("  ") != std::string_view::npos) {
                return fail("has stray blanks or empty paragraphs in its " + std::string(field));
            }
            for (const char c : part) {
                if (c < 0x20 || c > 0x7E) {
                    return fail(
                        "has a line break or a character that is not printable ASCII in "
                        "its " +
                        std::string(field));
                }
            }
        }
        return true;
    };
    const auto items_ok = [&](std::string_view field, const std::vector<PageItem>& items) {
        for (const PageItem& item : items) {
            if (!text_ok(field, item.term, false, false) ||
                !text_ok(field, item.text, false, false)) {
                return false;
            }
        }
        return true;
    };

    if (page.name.empty() ||
        page.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos) {
        return fail("needs a name of lower-case letters, digits and hyphens");
    }
    if (!text_ok("summary", page.summary, false, false) ||
        !text_ok("banner", page.banner, false, false) ||
        !text_ok("version", page.version, false, false) ||
        !text_ok("usage note", page.usage_note, false, true) ||
        !text_ok("description", page.description, true, false) ||
        !text_ok("details", page.details, true, true) || !items_ok("modes", page.modes) ||
        !items_ok("options", page.options) || !items_ok("files", page.files) ||
        !items_ok("examples", page.examples)) {
        return false;
    }
    // The NAME line is what whatis and apropos show, and a line of its own.
    if (!std::islower(static_cast<unsigned char>(page.summary.front())) ||
        page.summary.back() == '.') {
        return fail("needs a summary that starts in lower case and has no full stop");
    }
    if (page.name.size() + 3 + page.summary.size() > 79) {
        return fail("needs a summary that fits on one line with the name");
    }
    if (!page.banner.ends_with(" v" + page.version)) {
        return fail("needs a banner that ends with \" v" + page.version + "\"");
    }
    if (page.usage.empty()) {
        return fail("has no usage forms");
    }
    for (const std::string& form : page.usage) {
        if (!text_ok("usage forms", form, false, false)) {
            return false;
        }
    }
    if (page.modes.empty()) {
        return fail("has no modes");
    }
    if (page.files.empty()) {
        return fail("says nothing about the files it reads and writes");
    }
    if (page.examples.size() < 2 || page.examples.size() > 3) {
        return fail("needs two or three examples");
    }
    for (const PageItem& example : page.examples) {
        if (!example.term.starts_with(page.name + " ")) {
            return fail("has an example that does not start with \"" + page.name +
                        " \": " + example.term);
        }
    }
    return true;
}

std::string man_page_roff(const ToolPage& page, const PageContext& context) {
    std::string out;
    out += ".\\\" The manual page of " + page.name +
           ", made by the suite's page writer from the program's page source\n";
    out += ".\\\" (common/tool_page.h); edit that, not this file.\n";
    out += ".TH " + roff_escape(upper(page.name)) + " 1 " + roff_escape(context.date) + " " +
           roff_argument("korvane suite " + std::string(suite_version())) + " " +
           roff_argument("korvane suite") + "\n";
    // Left-aligned and unhyphenated: names, paths and options stay whole and
    // can be copied from the page.
    out += ".nh\n.ad l\n";
    for (const Section& section : layout(page, context)) {
        out += ".SH " + roff_argument(section.title) + "\n";
        bool first = true;
        for (std::size_t i = 0; i < section.blocks.size(); ++i) {
            const Block& block = section.blocks[i];
            switch (block.kind) {
                case Block::Kind::paragraph:
                    if (!first) {
                        out += ".PP\n";
                    }
                    out += roff_escape(block.text) + "\n";
                    break;
                case Block::Kind::item:
                    out += ".TP\n.B " + roff_argument(block.term) + "\n" + roff_escape(block.text) +
                           "\n";
                    break;
                case Block::Kind::command:
                    if (!first) {
                        out += ".br\n";
                    }
                    out += ".B " + roff_escape(block.term) + "\n" + roff_escape(block.text) + "\n";
                    break;
                case Block::Kind::see_also:
                    for (const std::string& name : block.names) {
                        out += ".BR " + roff_escape(name) + " (1),\n";
                    }
                    out += "and the README, " + roff_escape(README_INSTALLED) + README_MORE + "\n";
                    break;
            }
            first = false;
        }
    }
    return out;
}

std::string man_page_text(const ToolPage& page, const PageContext& context) {
    const std::string title = upper(page.name) + "(1)";
    std::string out = framed_line(title, "korvane suite", title) + "\n";
    for (const Section& section : layout(page, context)) {
        out += section.title + "\n";
        bool separate = false;
        for (const Block& block : section.blocks) {
            switch (block.kind) {
                case Block::Kind::paragraph:
                    if (separate) {
                        out += "\n";
                    }
                    out += wrap_text(block.text, TEXT_INDENT, TEXT_WIDTH);
                    separate = true;
                    break;
                case Block::Kind::item:
                    if (separate) {
                        out += "\n";
                    }
                    out += std::string(TEXT_INDENT, ' ') + block.term + "\n";
                    out += wrap_text(block.text, TEXT_INDENT + TEXT_ITEM_INDENT, TEXT_WIDTH);
                    separate = true;
                    break;
                case Block::Kind::command:
                    out += wrap_text(block.term + " " + block.text, TEXT_INDENT, TEXT_WIDTH);
                    break;
                case Block::Kind::see_also: {
                    std::string line;
                    for (const std::string& name : block.names) {
                        line += name + "(1), ";
                    }
                    out += wrap_text(line + "and README.md beside the programs" + README_MORE,
                                     TEXT_INDENT, TEXT_WIDTH);
                    break;
                }
            }
        }
        out += "\n";
    }
    out += framed_line("korvane suite " + std::string(suite_version()), context.date, title);
    return out;
}
