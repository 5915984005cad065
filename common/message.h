// The one shape of every message the suite prints:
//
//   Error: <file>: <what is wrong> (<where>)
//   Warning: <file>: <what> (<where>)
//
// `<where>` names the place in the file (entry 12, offset 0x278B1C; line 4,
// column 7; picture 1, offset 0x80) and is left out when there is none.
// Every message is built here, so that its shape cannot drift between tools.
#pragma once

#include <string>
#include <string_view>

/// "Error: FILE: WHAT (WHERE)"; without " (WHERE)" when `where` is empty, and
/// without "FILE: " when `file` is empty (a message about the run itself).
std::string error_message(std::string_view file, std::string_view what,
                          std::string_view where = {});

/// "Warning: FILE: WHAT (WHERE)", shaped as error_message.
std::string warning_message(std::string_view file, std::string_view what,
                            std::string_view where = {});

/// A name read from the game's data as messages show it: in double quotes.
std::string quoted(std::string_view name);
