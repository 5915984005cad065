// The manual page of a program, made from its ToolPage (common/tool_page.h)
// at build time by the page writer (common/write_page_main.cpp): roff for
// man(1) in the .deb, plain text for the Windows zip. Both have the same
// sections: NAME, SYNOPSIS, DESCRIPTION, OPTIONS, EXIT STATUS, FILES,
// EXAMPLES and SEE ALSO.
#pragma once

#include <string>
#include <vector>

#include "common/tool_page.h"

/// What a page says that is not the program's own: the release it belongs
/// to and its neighbours.
struct PageContext {
    std::string date;                 ///< of the release, "2026-12-09"
    std::vector<std::string> others;  ///< the suite's other programs, for SEE ALSO
};

/// False, with the reason in `err`, when the page lacks something every page
/// needs or holds text a manual page cannot show as written (see the checks
/// in man_page.cpp); the page writer refuses such a page, so the build fails.
bool check_page(const ToolPage& page, std::string* err);

/// The page as man(7) roff, for section 1. Lines end in "\n".
std::string man_page_roff(const ToolPage& page, const PageContext& context);

/// The page as plain text of at most 79 columns, laid out as man shows it.
/// Lines end in "\n".
std::string man_page_text(const ToolPage& page, const PageContext& context);
