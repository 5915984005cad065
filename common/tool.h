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

/// Exit status of every failure; a POSIX shell sees it as 255.
inline constexpr int EXIT_FAILED = -1;

/// Prints the banner line, an empty line and the usage line (a printf format
/// taking the program name) to standard error; returns EXIT_FAILED for `main`.
int print_usage(const char* banner, const char* usage_format, const char* program);

/// Prints a complete message and a line end to standard error, after
/// whatever the listing holds so far; returns EXIT_FAILED.
int fail(const std::string& message);

/// Prints a warning (a complete message) to standard error.
void warn(const std::string& message);

/// Runs a tool: installs the clean-up of unfinished outputs for interrupted
/// runs, hands it its arguments as UTF-8 (common/platform/host.h), turns a failed allocation into an error message, and makes a
/// listing that could not be written to standard output (a full disk, a
/// closed pipe) an error too. Returns the status for `main`.
int run_tool(int (*tool)(int argc, char** argv), int argc, char** argv);

/// The hint a table error gets when the executable may be the other
/// revision's, which the other build of the same tool reads: "; is this the
/// executable for korvane-b?".
std::string other_build_hint(std::string_view tool, char label);
