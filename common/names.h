// Stored names from the game's tables, and how they become paths on this host.
#pragma once

#include <string>
#include <string_view>
#include <vector>

/// The longest stored name the tools read: no system opens a longer path.
/// Tables are read with this bound, so that a damaged table whose entries all
/// point at one huge "name" costs a bounded scan per entry.
inline constexpr std::size_t MAX_STORED_NAME = 4095;

/// The path on this host for a name as the game stores it. The game's tables
/// separate directories with `/` or `\`; every `\` becomes `/`, which every
/// system the suite runs on takes as a separator (Windows takes both).
/// Listings keep showing the name as stored.
std::string host_path(std::string_view stored);

/// A key that is equal for two spellings of a path that this system's file
/// systems take as the same name, for paths that do not exist yet (existing
/// ones compare by file identity): the path itself on POSIX systems; on
/// Windows, whose file systems ignore case, the path in upper case with `\`
/// as `/`. From the platform layer.
std::string path_key(std::string_view path);

/// The components of a path or stored name, split at every `/` and `\`, in
/// order, empty ones included ("a//b/" gives "a", "", "b", ""). Views into
/// `path`.
std::vector<std::string_view> path_components(std::string_view path);

/// The one rule for when two paths below the current folder name the same
/// file on this host, whether or not it exists yet: equal keys. "." and
/// empty components are dropped, separators are `/`, and letters are folded
/// as this system's file systems fold them (`path_key`: not at all on POSIX
/// systems; on Windows by the Unicode rules, so "É" and "é" are one name).
/// The checks of an extraction and the order in which its threads write
/// files both go by it.
std::string same_file_key(std::string_view path);

/// Which names a system's file systems can hold as they are.
enum class NameRules {
    posix,    ///< any bytes but `/` and zero in a component
    windows,  ///< NTFS and FAT as Windows opens them: see `unsafe_name_reason`
};

/// The rules of the system the program runs on (from the platform layer).
NameRules host_name_rules();

/// Why `stored` cannot be written below the current directory, or an empty
/// string if it can. Refused everywhere: an empty name, an absolute name
/// (leading `/` or `\`, or a drive prefix such as `C:`), a name ending in a
/// separator (no file to write), any `..` component (split on both
/// separators), a last component `.` (it names a folder, not a file), and a
/// name holding a zero byte (the system would see only the part before it).
/// Look-alikes such as `..x` or `a/..b` are ordinary names, and so is `a/./b`.
///
/// Under the Windows rules also, since Windows would open something else
/// than the file named or nothing at all: a `:` anywhere (it would open an
/// alternate data stream of another file), any of `<>"|?*`, a control
/// character, a component ending in a dot or a blank (Windows drops them, so
/// the file would land under another name), a component whose part before
/// its first dot is a device name (`CON`, `PRN`, `AUX`, `NUL`, `CONIN$`,
/// `CONOUT$`, `COM0` to `COM9`, `LPT0` to `LPT9`, with a superscript digit
/// too, in any case, blanks after it ignored, with any extension), and a
/// name that is not UTF-8 (the names Windows holds are UTF-16; the suite
/// reads its paths as UTF-8).
std::string unsafe_name_reason(std::string_view stored, NameRules rules = host_name_rules());

/// Whether `path` ends in `extension` (such as ".lzr"), in any case of ASCII
/// letters, as file names are compared where case does not matter.
bool has_extension(std::string_view path, std::string_view extension);
