// One folder's listing on Windows, for the folder walk: FindFirstFileExW over
// UTF-16 names, with the \\?\ form for folders whose paths reach the old
// 260-character limit.
#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "common/message.h"
#include "common/platform/folders.h"

namespace {

std::wstring wide_of(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string utf8_of(const wchar_t* text) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) {
        return {};
    }
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.pop_back();  // the terminating zero
    return out;
}

// The pattern that lists `folder`: absolute and in the \\?\ form when long,
// so that deep trees can be walked.
std::wstring search_pattern(const std::string& folder) {
    std::wstring name = wide_of(folder) + L"\\*";
    if (name.size() < 248 || name.starts_with(L"\\\\?\\")) {
        return name;
    }
    const DWORD n = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    const DWORD got = n == 0 ? 0 : ::GetFullPathNameW(name.c_str(), n, full.data(), nullptr);
    if (got == 0 || got >= n) {
        return name;
    }
    full.resize(got);
    return full.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

std::string reason_of(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return system_message(ENOENT);
        case ERROR_ACCESS_DENIED:
            return system_message(EACCES);
        case ERROR_DIRECTORY:
            return system_message(ENOTDIR);
        default:
            break;
    }
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = n > 0 ? utf8_of(text) : std::string();
    if (text != nullptr) {
        ::LocalFree(text);
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "Windows error " + std::to_string(error) : message;
}

std::string could_not_list(const std::string& folder, DWORD error) {
    return error_message(folder, "could not list the folder (" + reason_of(error) + ")");
}

}  // namespace

bool list_one_folder(const std::string& folder, std::vector<FolderEntry>* files,
                     std::vector<std::string>* folders, std::string* err) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileExW(search_pattern(folder).c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        *err = could_not_list(folder, ::GetLastError());
        return false;
    }
    do {
        const std::string name = utf8_of(data.cFileName);
        if (name == "." || name == "..") {
            continue;
        }
        const DWORD attributes = data.dwFileAttributes;
        // Symbolic links and junctions are links; other reparse points
        // (files kept by a cloud service, say) are what they contain.
        const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                          (data.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
                           data.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
        if (link) {
            files->push_back({name, FileKind::link});
        } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            folders->push_back(name);
        } else {
            files->push_back({name, FileKind::regular});
        }
    } while (::FindNextFileW(find, &data));
    const DWORD error = ::GetLastError();
    ::FindClose(find);
    if (error != ERROR_NO_MORE_FILES) {
        *err = could_not_list(folder, error);
        return false;
    }
    return true;
}
