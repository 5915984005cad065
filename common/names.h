// Stored names from the game's tables, and how they become paths on this host.
#pragma once

#include <string>
#include <string_view>

/// The path on this host for a name as the game stores it. The game's tables
/// separate directories with `/` or `\`; here only `/` separates, so every
/// `\` becomes `/`. Listings keep showing the name as stored.
std::string host_path(std::string_view stored);

/// Why `stored` cannot be written below the current directory, or an empty
/// string if it can. Refused: an empty name, an absolute name (leading `/` or
/// `\`, or a drive prefix such as `C:`), a name ending in a separator (no
/// file to write), any `..` component (split on both separators), and a name
/// holding a zero byte (the system would see only the part before it).
/// Look-alikes such as `..x` or `a/..b` are ordinary names.
std::string unsafe_name_reason(std::string_view stored);
