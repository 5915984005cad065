// One folder's listing on POSIX systems, for the folder walk: opendir and
// readdir, lstat where the entry's type is not given.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/message.h"
#include "common/platform/folders.h"

namespace {

std::string could_not_list(const std::string& folder, int errnum) {
    return error_message(folder, "could not list the folder (" + system_message(errnum) + ")");
}

}  // namespace

bool list_one_folder(const std::string& folder, std::vector<FolderEntry>* files,
                     std::vector<std::string>* folders, std::string* err) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        *err = could_not_list(folder, errno);
        return false;
    }
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
                if (::lstat((folder + "/" + name).c_str(), &st) != 0) {
                    *err = could_not_list(folder + "/" + name, errno);
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
            folders->push_back(name);
        } else {
            files->push_back({name, kind});
        }
    }
    ::closedir(dir);
    return ok;
}
