// The folder walk, the same on every system, over the listing of one folder
// that each system supplies.
#include "common/platform/folders.h"

#include <algorithm>

#include "common/message.h"

namespace {

bool walk(const std::string& root, const std::string& relative, std::vector<FolderEntry>* out,
          std::string* err) {
    std::vector<FolderEntry> files;
    std::vector<std::string> folders;
    if (!list_one_folder(relative.empty() ? root : root + "/" + relative, &files, &folders,
                         err)) {
        return false;
    }
    for (FolderEntry& file : files) {
        if (!relative.empty()) {
            file.path = relative + "/" + file.path;
        }
        out->push_back(std::move(file));
    }
    for (const std::string& sub : folders) {
        if (!walk(root, relative.empty() ? sub : relative + "/" + sub, out, err)) {
            return false;
        }
    }
    return true;
}

// Whether the path `root` ends in a separator that can go: any but the one
// that names the root itself ("/", or "C:\" on Windows).
bool ends_in_spare_separator(const std::string& root) {
#ifdef _WIN32
    return root.size() > 1 && (root.back() == '/' || root.back() == '\\') &&
           !(root.size() == 3 && root[1] == ':');
#else
    return root.size() > 1 && root.back() == '/';
#endif
}

}  // namespace

bool list_folder_tree(const std::string& folder, std::vector<FolderEntry>* out, std::string* err) {
    out->clear();
    std::string root = folder;
    while (ends_in_spare_separator(root)) {
        root.pop_back();
    }
    if (!walk(root, "", out, err)) {
        out->clear();
        return false;
    }
    std::sort(out->begin(), out->end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.path < b.path; });
    return true;
}

std::string could_not_list_folder(const std::string& folder, int errnum) {
    return error_message(folder, "could not list the folder (" + system_message(errnum) + ")");
}
