// The folder walk on POSIX systems: opendir/readdir, lstat where the entry's
// type is not given.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/message.h"
#include "common/platform/folders.h"

namespace {

std::string could_not_list(const std::string& folder, int errnum) {
    return error_message(folder, "could not list the folder (" + system_message(errnum) + ")");
}

bool walk(const std::string& root, const std::string& relative, std::vector<FolderEntry>* out,
          std::string* err) {
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        *err = could_not_list(folder, errno);
        return false;
    }
    std::vector<std::string> folders;
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) {
                *err = could_not_list(folder, errno);
                ok = false;
            }
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string path = relative.empty() ? name : relative + "/" + name;
        FileKind kind = FileKind::other;
        bool is_folder = false;
        switch (entry->d_type) {
            case DT_REG:
                kind = FileKind::regular;
                break;
            case DT_DIR:
                is_folder = true;
                break;
            case DT_LNK:
                kind = FileKind::link;
                break;
            case DT_UNKNOWN: {
                struct stat st;
                if (::lstat((root + "/" + path).c_str(), &st) != 0) {
                    *err = could_not_list(root + "/" + path, errno);
                    ::closedir(dir);
                    return false;
                }
                is_folder = S_ISDIR(st.st_mode);
                kind = S_ISREG(st.st_mode)   ? FileKind::regular
                       : S_ISLNK(st.st_mode) ? FileKind::link
                                             : FileKind::other;
                break;
            }
            default:
                break;
        }
        if (is_folder) {
            folders.push_back(path);
        } else {
            out->push_back({path, kind});
        }
    }
    ::closedir(dir);
    for (const std::string& sub : folders) {
        if (!ok || !walk(root, sub, out, err)) {
            return false;
        }
    }
    return ok;
}

}  // namespace

bool list_folder_tree(const std::string& folder, std::vector<FolderEntry>* out, std::string* err) {
    out->clear();
    std::string root = folder;
    while (root.size() > 1 && root.back() == '/') {
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
