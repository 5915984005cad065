// Conventions every tool's `main` follows.
//
// Messages have one shape in every tool:
//   Error: <file>: <what is wrong> (<where: entry N, offset 0xOFF, ...>)
// with offsets in hexadecimal, counts and sizes in decimal and names read
// from the game's tables in double quotes; a failed open is "Could not open
// <path> (<reason>)".
#pragma once

#include <string>
#include <string_view>

#include "common/tool_page.h"

/// Exit status of every failure; a POSIX shell sees it as 255.
inline constexpr int EXIT_FAILED = -1;

/// Prints what a wrong command line prints (usage_text: the banner, an
/// empty line, the usage line) to standard error; returns EXIT_FAILED for
/// `main`.
int print_usage(const ToolPage& page, const char* program);

/// The same for a support program without a page: the banner, an empty line
/// and the usage line (a printf format taking the program name).
int print_usage(const char* banner, const char* usage_format, const char* program);

/// Prints a complete message and a line end to standard error, after
/// whatever the listing holds so far; returns EXIT_FAILED.
int fail(const std::string& message);

/// Prints a warning (a complete message) to standard error.
void warn(const std::string& message);

/// Runs a tool: installs the clean-up of unfinished outputs for interrupted
/// runs, hands it its arguments as UTF-8 (common/platform/host.h), turns a
/// failed allocation into an error message, and makes a listing that could
/// not be written to standard output (a full disk, a closed pipe) an error
/// too. Returns the status for `main`.
///
/// "--help" or "--version" as the only argument prints the page's help_text
/// or version_text on standard output instead and returns 0; anywhere else
/// on a command line they are arguments like any other, so that no command
/// line naming files changes meaning.
int run_tool(int (*tool)(int argc, char** argv), const ToolPage& page, int argc, char** argv);

/// The hint a table error gets when the executable may be the other
/// revision's, which the other build of the same tool reads: "; is this the
/// executable for korvane-b?".
std::string other_build_hint(std::string_view tool, char label);
