// The page writer: makes the manual page of the program whose page source it
// is built with (cmake/pages.cmake builds one per program), at build time.
//
//   <program>-page man  <output.1>   <date> [other program...]    roff, for man
//   <program>-page text <output.txt> <date> [other program...]    plain text, the
//                                                                  system's line ends
//
// It refuses a page that check_page finds incomplete, so that the build
// stops and says what is missing.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "common/man_page.h"
#include "common/message.h"
#include "common/platform/file_io.h"
#include "common/platform/host.h"
#include "common/tool.h"

namespace {

int write_page(int argc, char** argv) {
    const std::string format = argc > 1 ? argv[1] : "";
    if (argc < 4 || (format != "man" && format != "text")) {
        return print_usage("page writer v1.0",
                           "usage: %s man|text <output> <date> [other program...]\n",
                           argc > 0 ? argv[0] : "page-writer");
    }
    const std::string output_path = argv[2];
    PageContext context{argv[3], {argv + 4, argv + argc}};
    std::string err;
    if (!check_page(TOOL_PAGE, &err)) {
        return fail(error_message(output_path, err));
    }
    std::string page;
    if (format == "man") {
        page = man_page_roff(TOOL_PAGE, context);
    } else {
        // Read in Notepad on Windows: the system's line ends.
        const std::string text = man_page_text(TOOL_PAGE, context);
        for (const char c : text) {
            if (c == '\n') {
                page += text_line_end();
            } else {
                page += c;
            }
        }
    }
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(page.data()),
                                              page.size());
    if (!write_whole_file(output_path, bytes, &err)) {
        return fail(err);
    }
    return 0;
}

}  // namespace

// Not run_tool: this is a build step, not one of the suite's programs, and
// --help here would print the program's help rather than the writer's.
int main(int argc, char** argv) {
    return write_page(argc, argv);
}
