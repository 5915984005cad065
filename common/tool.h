// Conventions every tool's `main` follows.
#pragma once

#include <cstdio>
#include <string>

/// Exit status of every failure; a POSIX shell sees it as 255.
inline constexpr int EXIT_FAILED = -1;

/// Prints the banner line, an empty line and the usage line (a printf format
/// taking the program name) to standard error; returns EXIT_FAILED for `main`.
inline int print_usage(const char* banner, const char* usage_format, const char* program) {
    std::fprintf(stderr, "%s\n\n", banner);
    std::fprintf(stderr, usage_format, program);
    return EXIT_FAILED;
}

/// Prints a complete error message and a line end to standard error; returns EXIT_FAILED.
inline int fail(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", message.c_str());
    return EXIT_FAILED;
}
