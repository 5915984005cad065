// Stored names from the game's tables, and how they become paths on this host.
#pragma once

#include <string>
#include <string_view>

/// The longest stored name the tools read: no system opens a longer path.
/// Tables are read with this bound, so that a damaged table whose entries all
/// point at one huge "name" costs a bounded scan per entry.
inline constexpr std::size_t MAX_STORED_NAME = 4095;

/// The path on this host for a name as the game stores it. The game's tables
/// separate directories with `/` or `\`; here only `/` separates, so every
/// `\` becomes `/`. Listings keep showing the name as stored.
std::string host_path(std::string_view stored);

/// Why `stored` cannot be written below the current directory, or an empty
/// string if it can. Refused: an empty name, an absolute name (leading `/` or
/// `\`, or a drive prefix such as `C:`), a name ending in a separator (no
/// file to write), any `..` component (split on both separators), a last
/// component `.` (it names a folder, not a file), and a name holding a zero
/// byte (the system would see only the part before it). Look-alikes such as
/// `..x` or `a/..b` are ordinary names, and so is `a/./b`.
std::string unsafe_name_reason(std::string_view stored);

/// Whether `path` ends in `extension` (such as ".lzr"), in any case of ASCII
/// letters, as file names are compared where case does not matter.
bool has_extension(std::string_view path, std::string_view extension);
