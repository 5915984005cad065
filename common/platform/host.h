// What the suite's programs need to know about the system they run on beyond
// its files (common/platform/file_io.h): the line end of the text they write,
// and their arguments as UTF-8. Implemented beside the file layer, once per
// system (posix.cpp, windows.cpp); the stored-name rules of the system are
// `host_name_rules` in common/names.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// The line end of text the tools write (listings, dumped scripts): "\n",
/// and "\r\n" on Windows. Listings get it from standard output itself
/// (Windows' C runtime writes "\r\n" for "\n" there); files written as bytes
/// must add it.
std::string_view text_line_end();

/// Flushes standard output. False when that or any earlier write to it
/// failed, with the reason in `errnum` (an error number for system_message,
/// 0 when none is known): on Windows the C runtime reports a pipe whose
/// reader has gone as "invalid argument", so the system's own error is
/// taken there.
bool flush_standard_output(int* errnum);

/// The program's arguments as UTF-8 strings, the encoding every path of the
/// suite is in. On POSIX systems they are taken as they are; on Windows they
/// come from the wide-character command line, so that any name a user can
/// type arrives whatever the system's code page.
std::vector<std::string> utf8_arguments(int argc, char** argv);

/// Bytes of memory this process may still take without the system running
/// short: the physical memory not in use (on Linux including the page cache
/// it would give up), and no more than a limit set on the process (its
/// address space on POSIX systems, its job on Windows) leaves. The largest
/// value when the system does not tell.
std::uint64_t available_memory();

/// Whether the folder of `path` (a file that may not exist yet) lies on a
/// file system held in memory alone (Linux's tmpfs and ramfs), where copying
/// a file's pages inside the system is the cheapest copy; false where it
/// cannot be told, and on Windows.
bool lies_in_memory(const std::string& path);

/// Whether standard error is a terminal (a console window on Windows) that a
/// person watches, rather than a file or pipe that keeps what is written:
/// progress lines that redraw themselves go only to a terminal.
bool standard_error_is_terminal();
