// What the suite's programs need to know about the system they run on beyond
// its files (common/platform/file_io.h): the line end of the text they write,
// and their arguments as UTF-8. Implemented beside the file layer, once per
// system (posix.cpp, windows.cpp); the stored-name rules of the system are
// `host_name_rules` in common/names.h.
#pragma once

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
