// Messages the two implementations of the file layer (posix.cpp,
// windows.cpp) word alike. Internal to the file layer.
#pragma once

#include <string>

#include "common/platform/file_io.h"

/// Why an input of this kind cannot be read as a file, or nothing for a file.
std::string not_a_file(const std::string& path, FileKind kind);

/// "Error: PATH: could not read (REASON)", the reason from the error number.
std::string read_error(const std::string& path, int errnum);

/// "Error: PATH: could not write (REASON)".
std::string write_error(const std::string& path, int errnum);
