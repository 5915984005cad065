#include "common/tool.h"

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "common/platform/file_io.h"
#include "common/platform/host.h"

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

int run_tool(int (*tool)(int argc, char** argv), int argc, char** argv) {
    install_interrupt_cleanup();
    std::vector<std::string> arguments = utf8_arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    int status;
    try {
        status = tool(static_cast<int>(arguments.size()), pointers.data());
    } catch (const std::bad_alloc&) {
        // Unfinished outputs went with their owners' destructors.
        return fail("Error: not enough memory for this run; nothing more was written");
    }
    int error = 0;
    if (!flush_standard_output(&error)) {
        std::string message = "Error: standard output: could not write the listing";
        if (error != 0) {
            message += " (" + system_message(error) + ")";
        }
        std::fprintf(stderr, "%s\n", message.c_str());
        return EXIT_FAILED;
    }
    return status;
}

std::string other_build_hint(std::string_view tool, char label) {
    const char other = label == 'A' || label == 'a' ? 'b' : 'a';
    return "; is this the executable for " + std::string(tool) + "-" + other + "?";
}
