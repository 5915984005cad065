#include "common/tool.h"

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "common/message.h"
#include "common/platform/file_io.h"
#include "common/platform/host.h"

int print_usage(const ToolPage& page, const char* program) {
    const std::string text = usage_text(page, program);
    std::fwrite(text.data(), 1, text.size(), stderr);
    return EXIT_FAILED;
}

int print_usage(const char* banner, const char* usage_format, const char* program) {
    std::fprintf(stderr, "%s\n\n", banner);
    std::fprintf(stderr, usage_format, program);
    return EXIT_FAILED;
}

int fail(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", message.c_str());
    return EXIT_FAILED;
}

void warn(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", message.c_str());
}

int run_tool(int (*tool)(int argc, char** argv), const ToolPage& page, int argc, char** argv) {
    install_interrupt_cleanup();
    std::vector<std::string> arguments = utf8_arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    int status;
    try {
        if (arguments.size() == 2 && (arguments[1] == "--help" || arguments[1] == "--version")) {
            const std::string text =
                arguments[1] == "--help" ? help_text(page, arguments[0]) : version_text(page);
            std::fwrite(text.data(), 1, text.size(), stdout);
            status = 0;
        } else {
            status = tool(static_cast<int>(arguments.size()), pointers.data());
        }
    } catch (const std::bad_alloc&) {
        // Unfinished outputs went with their owners' destructors.
        return fail(error_message("", "not enough memory for this run; nothing more was written"));
    }
    int error = 0;
    if (!flush_standard_output(&error)) {
        const std::string message = error_message("standard output", "could not write the listing",
                                                  error != 0 ? system_message(error) : "");
        std::fprintf(stderr, "%s\n", message.c_str());
        return EXIT_FAILED;
    }
    return status;
}

std::string other_build_hint(std::string_view tool, char label) {
    const char other = label == 'A' || label == 'a' ? 'b' : 'a';
    return "; is this the executable for " + std::string(tool) + "-" + other + "?";
}
