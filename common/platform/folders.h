// Walking a folder tree: the files below a folder, for tools that take a
// whole folder as their input. The walk is written once (folders.cpp) over
// the listing of one folder that each system's file layer supplies
// (posix.cpp, windows.cpp).
#pragma once

#include <string>
#include <vector>

#include "common/platform/file_io.h"

/// Something found below a folder.
struct FolderEntry {
    std::string path;                   ///< relative to the folder walked, components joined by '/'
    FileKind kind = FileKind::regular;  ///< regular, other or link (folders are walked, not listed)
};

/// Lists everything below `folder` except folders themselves, which are
/// entered: files, devices and FIFOs, and symbolic links (which are listed as
/// links and never followed, so that a link cannot lead the walk in a circle
/// or out of the tree). Sorted by `path`, byte by byte. A folder that does
/// not exist or cannot be read is an error naming it and the system's reason.
bool list_folder_tree(const std::string& folder, std::vector<FolderEntry>* out, std::string* err);

/// The entries of the one folder `folder`, for the walk: its files, devices,
/// FIFOs and links by name and kind (`files`), and the names of its
/// sub-folders (`folders`), in the system's order. A folder that cannot be
/// listed is an error naming it. Each system supplies it.
bool list_one_folder(const std::string& folder, std::vector<FolderEntry>* files,
                     std::vector<std::string>* folders, std::string* err);
/// The error of a folder that cannot be listed, for `list_one_folder`.
std::string could_not_list_folder(const std::string& folder, int errnum);
