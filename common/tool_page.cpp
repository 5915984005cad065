#include "common/tool_page.h"

#ifndef SUITE_VERSION
#error "SUITE_VERSION must be defined to the suite's version (common/CMakeLists.txt)"
#endif

namespace {

// --help is read in a terminal of 80 columns.
constexpr std::size_t HELP_WIDTH = 79;

void append_item(std::string* text, const PageItem& item) {
    *text += "  " + item.term + "\n";
    *text += wrap_text(item.text, 6, HELP_WIDTH);
}

}  // namespace

std::string_view suite_version() {
    return SUITE_VERSION;
}

std::vector<std::string_view> paragraphs(std::string_view text) {
    std::vector<std::string_view> result;
    while (!text.empty()) {
        const std::size_t end = text.find("\n\n");
        result.push_back(text.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 2);
    }
    return result;
}

std::string wrap_text(std::string_view text, std::size_t indent, std::size_t width) {
    std::string result;
    bool first_paragraph = true;
    for (std::string_view paragraph : paragraphs(text)) {
        if (!first_paragraph) {
            result += "\n";
        }
        first_paragraph = false;
        std::string line;
        std::size_t pos = 0;
        while (pos < paragraph.size()) {
            const std::size_t start = paragraph.find_first_not_of(" \n", pos);
            if (start == std::string_view::npos) {
                break;
            }
            std::size_t end = paragraph.find_first_of(" \n", start);
            if (end == std::string_view::npos) {
                end = paragraph.size();
            }
            const std::string_view word = paragraph.substr(start, end - start);
            if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
                result += std::string(indent, ' ') + line + "\n";
                line.clear();
            }
            if (!line.empty()) {
                line += ' ';
            }
            line += word;
            pos = end;
        }
        if (!line.empty()) {
            result += std::string(indent, ' ') + line + "\n";
        }
    }
    return result;
}

std::string usage_line(const ToolPage& page, std::string_view program) {
    std::string line = "usage: ";
    for (std::size_t i = 0; i < page.usage.size(); ++i) {
        if (i > 0) {
            line += page.usage_per_line ? "\n       " : "  |  ";
        }
        line.append(program).append(" ").append(page.usage[i]);
    }
    return line + "\n";
}

std::string usage_text(const ToolPage& page, std::string_view program) {
    std::string text = page.banner + "\n\n" + usage_line(page, program);
    if (!page.usage_note.empty()) {
        text += "\n" + page.usage_note + "\n\n";
    }
    return text;
}

std::string help_text(const ToolPage& page, std::string_view program) {
    std::string text = usage_line(page, program);
    text += "\n" + wrap_text(page.description, 0, HELP_WIDTH);
    for (const PageItem& mode : page.modes) {
        text += "\n" + mode.term + ":\n" + wrap_text(mode.text, 2, HELP_WIDTH);
    }
    if (!page.options.empty()) {
        text += "\nOptions:\n";
        for (const PageItem& option : page.options) {
            append_item(&text, option);
        }
    }
    text += "\nExamples:\n";
    for (const PageItem& example : page.examples) {
        append_item(&text, example);
    }
    text += "\n" + wrap_text(page.name + " --version prints the version. The manual page (man " +
                                 page.name + "; " + page.name +
                                 ".txt beside the program on Windows) and README.md say more.",
                             0, HELP_WIDTH);
    return text;
}

std::string version_text(const ToolPage& page) {
    std::string text =
        page.name + " " + page.version + " (korvane suite " + std::string(suite_version()) + ")\n";
    if (page.libraries != nullptr) {
        for (const std::string& library : page.libraries()) {
            text += library + "\n";
        }
    }
    return text;
}
