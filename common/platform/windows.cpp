// The file layer's steps on Windows (common/platform/file_system.h): Win32
// calls with UTF-16 names, so that any path works whatever the system's code
// page, and files are always binary.
//
// What differs from POSIX systems, and how it is met here:
// - Files are replaced with MoveFileExW(MOVEFILE_REPLACE_EXISTING); the C
//   runtime's rename() refuses an existing target. A file still open or
//   mapped cannot be replaced, so the tools close their inputs first.
// - File identity is the volume serial number and the file index
//   (GetFileInformationByHandle): the C runtime's st_ino is always 0.
// - A replaced file keeps its attributes (read-only, hidden...); a read-only
//   target is made writable only for the instant of the rename. A file and
//   its backup link share their attributes, so a rollback gives them back.
// - A program that holds a file for a moment (a virus scanner, the search
//   indexer) makes a rename fail with "access denied": it is tried again.
// - Sizes and offsets are 64-bit in every call.
// - Paths of 248 characters and more go to the system as \\?\ paths, which
//   are not held to the old 260-character limit.
// - An interruption (Ctrl-C, Ctrl-Break, the console closing) reaches a
//   console control handler, in a thread of its own, which removes the
//   unfinished outputs; during a commit it waits for the commit to decide.
// - The commit journal is held by a handle that shares reading only; the
//   system closes it when the process dies.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
// The memory counters, from KERNEL32.dll itself.
#define PSAPI_VERSION 2
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "common/byte_buffer.h"
#include "common/message.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/platform/file_steps.h"
#include "common/platform/folders.h"
#include "common/platform/file_system.h"
#include "common/platform/host.h"
#include "common/platform/unfinished_files.h"

// ---------------------------------------------------------------------------
// The host: no huge pages for ordinary programs, CRLF text, UTF-8 arguments,
// the Windows name rules.

void advise_huge_pages(void*, std::size_t) {}

std::string_view text_line_end() {
    return "\r\n";
}

NameRules host_name_rules() {
    return NameRules::windows;
}

namespace {

std::string utf8_of(const wchar_t* text, std::size_t length) {
    if (length == 0) {
        return {};
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                        nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(n, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr,
                          nullptr);
    return out;
}

std::wstring wide_of(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// The name the system is given for `path`. Paths that may reach the old
// MAX_PATH limit (CreateDirectoryW stops at 248) become absolute \\?\ paths,
// which the system takes as they are: GetFullPathNameW first resolves `.`,
// `..` and `/` the way the system would have.
std::wstring system_path(const std::string& path) {
    std::wstring name = wide_of(path);
    if (name.size() < 248 || name.starts_with(L"\\\\?\\") || name.starts_with(L"\\\\.\\")) {
        return name;
    }
    const DWORD n = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (n == 0) {
        return name;
    }
    std::wstring full(n, L'\0');
    const DWORD got = ::GetFullPathNameW(name.c_str(), n, full.data(), nullptr);
    if (got == 0 || got >= n) {
        return name;
    }
    full.resize(got);
    if (full.starts_with(L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    }
    return L"\\\\?\\" + full;
}

// The longest name the system takes: a UNICODE_STRING holds 32767
// characters. A longer one must never reach it: wine cuts its length modulo
// 32768 and would open another, shorter path. Sets the error a too long
// name gives on Windows.
bool fits(const std::wstring& name) {
    if (name.size() <= 32767) {
        return true;
    }
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
}

}  // namespace

// The C runtime's own splitting of the wide command line (msvcrt.dll), the
// same that made argv.
struct CrtStartupInfo {
    int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand_wildcards,
                              CrtStartupInfo* info);

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    // The C runtime made argv in the system's code page, where a character
    // the code page lacks becomes '?'; the wide arguments hold every
    // character as typed.
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    CrtStartupInfo info{0};
    std::vector<std::string> out;
    if (__wgetmainargs(&count, &wide, &environment, 0, &info) == 0 && wide != nullptr &&
        count == argc) {
        for (int i = 0; i < count; ++i) {
            out.push_back(utf8_of(wide[i], std::wcslen(wide[i])));
        }
    } else {
        out.assign(argv, argv + argc);
    }
    return out;
}

namespace {

// `text` in upper case, as the file systems compare names (invariant rules).
void to_upper(std::wstring& text) {
    if (!text.empty()) {
        ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(),
                        static_cast<int>(text.size()), text.data(), static_cast<int>(text.size()),
                        nullptr, nullptr, 0);
    }
}

}  // namespace

std::string path_key(std::string_view path) {
    std::wstring name = wide_of(path);
    to_upper(name);
    std::replace(name.begin(), name.end(), L'\\', L'/');
    return utf8_of(name.data(), name.size());
}

// ---------------------------------------------------------------------------
// Error numbers and messages. Errors that have a POSIX counterpart travel as
// its errno value and read as the POSIX systems' text, so messages are the
// same on every system; any other Win32 error travels as WIN32_ERROR_BASE
// plus its code and reads as the system's own text.

namespace {

constexpr int WIN32_ERROR_BASE = 1 << 20;

int errnum_of(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
            return EPIPE;
        default:
            return error < static_cast<DWORD>(WIN32_ERROR_BASE)
                       ? WIN32_ERROR_BASE + static_cast<int>(error)
                       : EIO;
    }
}

int last_error() {
    return errnum_of(::GetLastError());
}

// Errors that mean nothing stands at the path.
bool is_missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_DRIVE || error == ERROR_BAD_NETPATH ||
           error == ERROR_BAD_NET_NAME || error == ERROR_INVALID_NAME || error == ERROR_DIRECTORY;
}

}  // namespace

// The C runtime keeps the system error behind a failed write in _doserrno.
bool flush_standard_output(int* errnum) {
    errno = 0;
    _doserrno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    *errnum = _doserrno != 0 ? errnum_of(_doserrno) : errno;
    return flushed && !std::ferror(stdout);
}

std::string system_message(int errnum) {
    if (errnum >= WIN32_ERROR_BASE) {
        wchar_t* text = nullptr;
        const DWORD n =
            ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(errnum - WIN32_ERROR_BASE), 0,
                             reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::string message = n > 0 ? utf8_of(text, n) : std::string();
        if (text != nullptr) {
            ::LocalFree(text);
        }
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                    message.back() == ' ' || message.back() == '.')) {
            message.pop_back();
        }
        if (message.empty()) {
            message = "Windows error " + std::to_string(errnum - WIN32_ERROR_BASE);
        }
        return message;
    }
    switch (errnum) {
        case ENOENT:
            return "No such file or directory";
        case EACCES:
            return "Permission denied";
        case EEXIST:
            return "File exists";
        case ENOSPC:
            return "No space left on device";
        case ENAMETOOLONG:
            return "File name too long";
        case EISDIR:
            return "Is a directory";
        case ENOTDIR:
            return "Not a directory";
        case ENOMEM:
            return "Cannot allocate memory";
        case EROFS:
            return "Read-only file system";
        case EFBIG:
            return "File too large";
        case EINVAL:
            return "Invalid argument";
        case EIO:
            return "Input/output error";
        case ENOTEMPTY:
            return "Directory not empty";
        case EPIPE:
            return "Broken pipe";
        case EBADF:
            return "Bad file descriptor";
        default:
            return std::strerror(errnum);
    }
}

namespace {

HANDLE handle_of(std::intptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}

std::intptr_t native_of(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

// The attributes a replacement takes over from the file it replaces.
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Every file is opened so that others may read, write, rename or delete it
// meanwhile, as on POSIX systems; in particular the clean-up of an
// interrupted run can delete an output that is still being written.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE open_existing(const std::wstring& name, DWORD access, DWORD flags = 0) {
    if (!fits(name)) {
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileW(name.c_str(), access, SHARE_ALL, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// What an open handle is: kind, identity and size, and its attributes when
// asked. False with the system's error when it cannot be told.
bool status_of(HANDLE handle, const std::wstring& name, bool link_opened, FileStatus* out,
               DWORD* attributes = nullptr) {
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        // A device (NUL, CON) or a pipe: no file index; one name, one device.
        out->kind = FileKind::other;
        std::wstring key = name;
        to_upper(key);
        std::uint64_t hash = 1469598103934665603ull;
        for (wchar_t c : key) {
            hash = (hash ^ static_cast<std::uint64_t>(c)) * 1099511628211ull;
        }
        out->id = {~std::uint64_t{0}, hash};
        out->size = 0;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info)) {
        return false;
    }
    out->id = {info.dwVolumeSerialNumber,
               std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
    out->size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    out->kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::directory
                                                                        : FileKind::regular;
    if (attributes != nullptr) {
        *attributes = info.dwFileAttributes;
    }
    if (link_opened && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        FILE_ATTRIBUTE_TAG_INFO tag;
        if (::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
            (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK ||
             tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT)) {
            out->kind = FileKind::link;
        }
    }
    return true;
}

}  // namespace

void split_path(const std::string& path, std::string* folder, std::string* name) {
    const std::size_t slash = path.find_last_of("/\\");
    // "C:name" is "name" in the current folder of drive C.
    const bool drive =
        path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
    if (slash == std::string::npos) {
        *folder = drive ? path.substr(0, 2) : ".";
        *name = drive ? path.substr(2) : path;
        return;
    }
    // The root keeps its separator: "\x" is in "\", "C:\x" in "C:\".
    const bool root = slash == 0 || (drive && slash == 2);
    *folder = path.substr(0, root ? slash + 1 : slash);
    *name = path.substr(slash + 1);
}

// ---------------------------------------------------------------------------
// Names and looks.

int sys::look(const std::string& path, bool follow_links, Look* out) {
    const std::wstring name = system_path(path);
    const HANDLE handle =
        open_existing(name, FILE_READ_ATTRIBUTES, follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (is_missing(error)) {
            *out = Look{};
            return 0;
        }
        return errnum_of(error);
    }
    DWORD attributes = 0;
    const bool ok = status_of(handle, name, !follow_links, &out->status, &attributes);
    const int error = last_error();
    ::CloseHandle(handle);
    out->kept = {out->status.kind == FileKind::regular, attributes & KEPT_ATTRIBUTES, 0, 0};
    return ok ? 0 : error;
}

std::string sys::resolve_links(const std::string& path) {
    Look look;
    if (sys::look(path, false, &look) != 0 || look.status.kind != FileKind::link) {
        return path;
    }
    const HANDLE handle = open_existing(system_path(path), FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE) {
        return path;  // a link to nothing: the link itself is replaced
    }
    wchar_t buffer[32768];
    const DWORD n = ::GetFinalPathNameByHandleW(handle, buffer, 32768, FILE_NAME_NORMALIZED);
    ::CloseHandle(handle);
    if (n == 0 || n >= 32768) {
        return path;
    }
    return utf8_of(buffer, n);
}

std::string sys::absolute_path(const std::string& path) {
    const std::wstring name = wide_of(path);
    const DWORD n = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (n == 0) {
        return path;
    }
    std::wstring full(n, L'\0');
    const DWORD got = ::GetFullPathNameW(name.c_str(), n, full.data(), nullptr);
    if (got == 0 || got >= n) {
        return path;
    }
    return utf8_of(full.data(), got);
}

std::string sys::sibling_name(const std::string& path, const char* suffix) {
    static std::atomic<unsigned> counter{0};
    std::string folder, name;
    split_path(path, &folder, &name);
    const char* separator = folder.ends_with('\\') || folder.ends_with('/') ? "" : "\\";
    return folder + separator + ".suite-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(counter++) + suffix;
}

// Length of the part of `path` that names a drive or share and is never
// made: "C:", "C:\", "\", "\\server\share\", "\\?\C:\".
std::size_t sys::root_length(const std::string& path) {
    auto separator = [&](std::size_t i) {
        return i < path.size() && (path[i] == '/' || path[i] == '\\');
    };
    std::size_t i = 0;
    if (separator(0) && separator(1)) {
        // \\server\share\ or \\?\C:\ (and \\?\UNC\server\share\).
        const bool device = path.size() > 2 && (path[2] == '?' || path[2] == '.');
        i = 2;
        int components = device ? 1 : 2;
        if (device && path.compare(4, 4, "UNC\\") == 0) {
            components = 3;
        }
        for (; components > 0 && i < path.size(); --components) {
            while (i < path.size() && !separator(i)) {
                ++i;
            }
            ++i;
        }
        if (device && i + 1 < path.size() && path[i + 1] == ':') {
            i += separator(i + 2) ? 3 : 2;
        }
        return std::min(i, path.size());
    }
    if (path.size() >= 2 && path[1] == ':') {
        return separator(2) ? 3 : 2;
    }
    return separator(0) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Reading.

int sys::open_read(const std::string& path, bool, std::intptr_t* handle) {
    const HANDLE h = open_existing(system_path(path), GENERIC_READ);
    if (h == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    *handle = native_of(h);
    return 0;
}

int sys::handle_status(std::intptr_t handle, const std::string& path, FileStatus* out) {
    return status_of(handle_of(handle), system_path(path), false, out) ? 0 : last_error();
}

long long sys::read_some(std::intptr_t handle, std::uint8_t* data, std::size_t size, int* error) {
    DWORD n = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(handle_of(handle), data, ask, &n, nullptr)) {
        const DWORD e = ::GetLastError();
        if (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) {
            return 0;  // the writer of a pipe is done
        }
        *error = errnum_of(e);
        return -1;
    }
    return n;
}

long long sys::read_some_at(std::intptr_t handle, std::uint64_t offset, std::uint8_t* data,
                            std::size_t size, int* error) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(handle_of(handle), data, ask, &got, &at)) {
        const DWORD e = ::GetLastError();
        if (e == ERROR_HANDLE_EOF) {
            return 0;
        }
        *error = errnum_of(e);
        return -1;
    }
    return got;
}

namespace {

// The message for a mapped input whose pages cannot be read (a network
// drive gone, a disk failing), prepared when it is mapped.
std::string lost_page_message;
std::atomic<bool> lost_page_message_ready{false};

}  // namespace

int sys::map_view(std::intptr_t handle, std::uint64_t, const std::string& path, void** view) {
    // Copy-on-write: changes stay in this process.
    const HANDLE mapping =
        ::CreateFileMappingW(handle_of(handle), nullptr, PAGE_WRITECOPY, 0, 0, nullptr);
    if (mapping == nullptr) {
        return last_error();
    }
    void* p = ::MapViewOfFile(mapping, FILE_MAP_COPY, 0, 0, 0);
    const int error = last_error();
    ::CloseHandle(mapping);  // the view keeps the mapping
    if (p == nullptr) {
        return error;
    }
    lost_page_message_ready.store(false);
    lost_page_message =
        error_message(path, "could not read", "its device failed while it was in use") + "\r\n";
    lost_page_message_ready.store(true);
    *view = p;
    return 0;
}

void sys::unmap_view(void* view, std::size_t) {
    ::UnmapViewOfFile(view);
}

// ---------------------------------------------------------------------------
// Writing.

int sys::create_new(const std::string& path, bool, std::intptr_t* handle) {
    // A new file takes its folder's access rules, as a replacement does
    // until the rename: there are no permission bits to narrow.
    const std::wstring name = system_path(path);
    if (!fits(name)) {
        return last_error();
    }
    const HANDLE h = ::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                   nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    *handle = native_of(h);
    return 0;
}

int sys::open_for_writing(const std::string& path, std::intptr_t* handle) {
    const std::wstring name = system_path(path);
    const HANDLE h = !fits(name) ? INVALID_HANDLE_VALUE
                                 : ::CreateFileW(name.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr,
                                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    *handle = native_of(h);
    return 0;
}

long long sys::write_some(std::intptr_t handle, const std::uint8_t* data, std::size_t size,
                          int* error) {
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD n = 0;
    if (!::WriteFile(handle_of(handle), data, ask, &n, nullptr)) {
        *error = last_error();
        return -1;
    }
    return n;
}

int sys::copy_in_system(std::intptr_t, std::uint64_t, std::intptr_t, const std::uint64_t*,
                        std::uint64_t, std::uint64_t*) {
    return -1;  // no copy between files inside the system short of whole files
}

long long sys::write_some_at(std::intptr_t handle, std::uint64_t offset, const std::uint8_t* data,
                             std::size_t size, int* error) {
    // The offset in an OVERLAPPED record leaves every other thread's writes alone.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD n = 0;
    if (!::WriteFile(handle_of(handle), data, ask, &n, &at)) {
        *error = last_error();
        return -1;
    }
    return n;
}

int sys::set_file_size(std::intptr_t handle, std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFileInformationByHandle(handle_of(handle), FileEndOfFileInfo, &end, sizeof end)) {
        return last_error();
    }
    return 0;
}

int sys::next_data(std::intptr_t handle, std::uint64_t offset, std::uint64_t size,
                   std::uint64_t* start, std::uint64_t* end) {
    *start = offset;
    *end = size;
    // The file system lists the allocated ranges of a sparse file; one that
    // cannot (FAT, a file system without sparse files, wine) fails the call,
    // and everything counts as data.
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
    query.Length.QuadPart = static_cast<LONGLONG>(size - offset);
    FILE_ALLOCATED_RANGE_BUFFER ranges[1]{};
    DWORD got = 0;
    const BOOL ok = ::DeviceIoControl(handle_of(handle), FSCTL_QUERY_ALLOCATED_RANGES, &query,
                                      sizeof query, ranges, sizeof ranges, &got, nullptr);
    if (!ok && ::GetLastError() != ERROR_MORE_DATA) {
        return 0;
    }
    if (got < sizeof ranges[0]) {
        *start = size;  // nothing allocated from here on
        return 0;
    }
    const auto range_start = static_cast<std::uint64_t>(ranges[0].FileOffset.QuadPart);
    const auto range_end = range_start + static_cast<std::uint64_t>(ranges[0].Length.QuadPart);
    *start = std::min(std::max(range_start, offset), size);
    *end = std::min(range_end, size);
    return 0;
}

int sys::grow_file(std::intptr_t handle, std::uint64_t size) {
    const HANDLE h = handle_of(handle);
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        return -1;
    }
    // A sparse file keeps the hole unallocated; where the file system has no
    // sparse files, the grown part still reads as zeros.
    DWORD unused = 0;
    ::DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(h, end, nullptr, FILE_BEGIN) || !::SetEndOfFile(h)) {
        return last_error();
    }
    return 0;
}

int sys::handle_kept(std::intptr_t, Kept* out) {
    *out = Kept{};  // no permission bits; the attributes follow the file replaced
    return 0;
}

bool sys::ends_before(std::intptr_t handle, std::uint64_t end) {
    LARGE_INTEGER size;
    return ::GetFileSizeEx(handle_of(handle), &size) &&
           static_cast<std::uint64_t>(size.QuadPart) < end;
}

int sys::finish_file(std::intptr_t handle, bool durable, bool is_file, const Kept&) {
    // (The attributes go with the rename: a read-only file could not be
    // renamed over its target.)
    const HANDLE h = handle_of(handle);
    // A device may not support flushing; only files must reach the disk.
    if (durable && is_file && !::FlushFileBuffers(h)) {
        const int error = last_error();
        ::CloseHandle(h);
        return error;
    }
    return ::CloseHandle(h) ? 0 : last_error();
}

void sys::close_handle(std::intptr_t handle) {
    ::CloseHandle(handle_of(handle));
}

// ---------------------------------------------------------------------------
// Names of files.

namespace {

// Errors that a program holding the file for a moment (a virus scanner, the
// search indexer, a preview) causes; a step is tried again a few times.
bool is_transient(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

// Deletes a file, also a read-only one.
bool delete_file(const std::wstring& name) {
    if (!fits(name)) {
        return false;
    }
    if (::DeleteFileW(name.c_str())) {
        return true;
    }
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
           ::SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) &&
           ::DeleteFileW(name.c_str());
}

}  // namespace

int sys::link_file(const std::string& existing, const std::string& link) {
    const std::wstring from = system_path(existing), to = system_path(link);
    if (!fits(from) || !fits(to)) {
        return ENAMETOOLONG;
    }
    return ::CreateHardLinkW(to.c_str(), from.c_str(), nullptr) ? 0 : last_error();
}

int sys::replace(const std::string& from_path, const std::string& to_path, const Kept& kept,
                 bool durable) {
    const std::wstring from = system_path(from_path), to = system_path(to_path);
    if (!fits(from) || !fits(to)) {
        return ENAMETOOLONG;
    }
    const DWORD attributes = kept.known ? kept.bits : 0;
    if ((attributes & ~FILE_ATTRIBUTE_ARCHIVE) != 0) {  // a new file is marked for archiving
        ::SetFileAttributesW(from.c_str(), attributes);
    }
    // Windows refuses to replace a read-only file: it is unlocked for the
    // instant of the rename, and locked again if that fails.
    const DWORD target = ::GetFileAttributesW(to.c_str());
    const bool unlocked = target != INVALID_FILE_ATTRIBUTES &&
                          (target & FILE_ATTRIBUTE_READONLY) != 0 &&
                          ::SetFileAttributesW(to.c_str(), target & ~FILE_ATTRIBUTE_READONLY);
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
    DWORD error = 0;
    for (DWORD pause = 20;; pause *= 2) {
        if (::MoveFileExW(from.c_str(), to.c_str(), flags)) {
            return 0;
        }
        error = ::GetLastError();
        if (!is_transient(error) || pause > 320) {
            break;
        }
        ::Sleep(pause);
    }
    if (unlocked) {
        ::SetFileAttributesW(to.c_str(), target);
    }
    // The file that stays where it was must remain removable.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(from.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    return errnum_of(error);
}

int sys::move_aside(const std::string& from_path, const std::string& to_path) {
    const std::wstring from = system_path(from_path), to = system_path(to_path);
    if (!fits(from) || !fits(to)) {
        return ENAMETOOLONG;
    }
    return ::MoveFileExW(from.c_str(), to.c_str(), 0) ? 0 : last_error();
}

int sys::remove_file(const std::string& path) {
    return delete_file(system_path(path)) ? 0 : last_error();
}

void sys::restore_kept(const std::string& path, const Kept& kept) {
    if (kept.known) {
        const std::wstring name = system_path(path);
        const DWORD now = ::GetFileAttributesW(name.c_str());
        if (now != INVALID_FILE_ATTRIBUTES && (now & KEPT_ATTRIBUTES) != kept.bits) {
            ::SetFileAttributesW(name.c_str(), (now & ~KEPT_ATTRIBUTES) | kept.bits);
        }
    }
}

int sys::check_replaceable(const std::string& path) {
    const std::wstring name = system_path(path);
    for (DWORD pause = 20;; pause *= 2) {
        const HANDLE handle =
            !fits(name)
                ? INVALID_HANDLE_VALUE
                : ::CreateFileW(name.c_str(), DELETE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
            return 0;
        }
        const DWORD error = ::GetLastError();
        if (is_missing(error)) {
            return 0;
        }
        if (!is_transient(error) || pause > 320) {
            return errnum_of(error);
        }
        ::Sleep(pause);
    }
}

void sys::sync_folder_of(const std::string&) {
    // Renames reach the disk with MOVEFILE_WRITE_THROUGH; Windows flushes
    // no folder by itself.
}

int sys::make_folder(const std::string& path) {
    const std::wstring name = system_path(path);
    if (!fits(name)) {
        return last_error();
    }
    if (::CreateDirectoryW(name.c_str(), nullptr)) {
        return 0;
    }
    const DWORD error = ::GetLastError();
    // Something stands there: the caller looks at what.
    return ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES ? EEXIST
                                                                         : errnum_of(error);
}

// ---------------------------------------------------------------------------
// The commit journal, held by a handle that shares reading only: nobody else
// can take it for a recovery meanwhile, and the system closes the handle
// when the process dies.

namespace {

constexpr DWORD JOURNAL_ACCESS = GENERIC_READ | GENERIC_WRITE | DELETE;

}  // namespace

int sys::create_journal(const std::string& path, std::intptr_t* handle) {
    const std::wstring name = system_path(path);
    if (!fits(name)) {
        return last_error();
    }
    const HANDLE h = ::CreateFileW(name.c_str(), JOURNAL_ACCESS, FILE_SHARE_READ, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    *handle = native_of(h);
    return 0;
}

int sys::take_journal(const std::string& path, std::intptr_t* handle) {
    const std::wstring name = system_path(path);
    if (!fits(name)) {
        return last_error();
    }
    const HANDLE h = ::CreateFileW(name.c_str(), JOURNAL_ACCESS, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return is_missing(error)                  ? ENOENT
               : error == ERROR_SHARING_VIOLATION ? EBUSY
                                                  : errnum_of(error);
    }
    *handle = native_of(h);
    return 0;
}

// Held by opening the file without write sharing: any other run's opening
// for writing fails until the handle is closed.
int sys::hold_lock(const std::string& path, std::intptr_t* handle) {
    const std::wstring name = system_path(path);
    if (!fits(name)) {
        return last_error();
    }
    const HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_SHARING_VIOLATION ? EBUSY : errnum_of(error);
    }
    *handle = native_of(h);
    return 0;
}

int sys::flush_file(std::intptr_t handle) {
    return ::FlushFileBuffers(handle_of(handle)) ? 0 : last_error();
}

int sys::remove_journal(const std::string&, std::intptr_t handle) {
    // Removed through the handle that holds it: no other handle may delete
    // a file opened without delete sharing.
    FILE_DISPOSITION_INFO remove{TRUE};
    const bool removed = ::SetFileInformationByHandle(handle_of(handle), FileDispositionInfo,
                                                      &remove, sizeof remove);
    const int error = removed ? 0 : last_error();
    ::CloseHandle(handle_of(handle));
    return error;
}

void sys::pause_for(unsigned milliseconds) {
    ::Sleep(milliseconds);
}

// ---------------------------------------------------------------------------
// Unfinished outputs, removed when the run is interrupted
// (common/platform/unfinished_files.h), and the console control handler.

namespace {

constexpr std::size_t MAX_REGISTERED_PATH = 4096;
constinit UnfinishedFiles<wchar_t, 1024, MAX_REGISTERED_PATH> unfinished;
// The first folders a run makes: its output folders, which an interruption
// must not leave behind empty. Their slots are never given back.
constinit UnfinishedFiles<wchar_t, 64, MAX_REGISTERED_PATH> made_folders;
std::atomic<bool> stopping{false};

// Held while commits rename: the console handler waits for it, after noting
// its event for the commit to see.
SRWLOCK commit_lock = SRWLOCK_INIT;
std::atomic<DWORD> deferred_event{0};  // the event + 1, or 0

void remove_unfinished_files() {
    static wchar_t name[MAX_REGISTERED_PATH];
    unfinished.remove_all(name, [](const wchar_t* n) { ::DeleteFileW(n); });
}

void write_stderr(const std::string& text) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
                &written, nullptr);
}

const char* event_name(DWORD event) {
    return event == CTRL_C_EVENT       ? "Ctrl-C"
           : event == CTRL_BREAK_EVENT ? "Ctrl-Break"
           : event == CTRL_CLOSE_EVENT ? "the console window closing"
                                       : "the end of the session";
}

// Removes the unfinished outputs once, whoever ends the run; a second
// caller waits for the end.
void stop_once() {
    if (stopping.exchange(true)) {
        ::Sleep(INFINITE);
    }
    remove_unfinished_files();
    ::Sleep(20);  // a file another thread was creating in the same instant
    remove_unfinished_files();
    static wchar_t folder[MAX_REGISTERED_PATH];
    made_folders.remove_all(folder, [](const wchar_t* n) { ::RemoveDirectoryW(n); }, true);
}

// Runs in a thread of its own, made by the system for the event.
BOOL WINAPI on_console_event(DWORD event) {
    // A commit renaming now sees the event and decides; this thread goes on
    // only once it is over, if the commit did not end the run itself.
    deferred_event.store(event + 1);
    ::AcquireSRWLockExclusive(&commit_lock);
    stop_once();
    write_stderr(std::string("Error: interrupted by ") + event_name(event) +
                 "; unfinished output files were removed, finished ones are complete\r\n");
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(-1));
    return TRUE;
}

LONG WINAPI on_exception(EXCEPTION_POINTERS* exception) {
    if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_IN_PAGE_ERROR ||
        !lost_page_message_ready.load() || stopping.exchange(true)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    remove_unfinished_files();
    write_stderr(lost_page_message);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(-1));
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

int sys::register_unfinished(const std::string& path) {
    const std::wstring name = system_path(path);
    return unfinished.add(name.c_str(), name.size());
}

void sys::unregister_unfinished(int slot) {
    unfinished.remove(slot);
}

void sys::register_made_folder(const std::string& path) {
    const std::wstring name = system_path(path);
    made_folders.add(name.c_str(), name.size());
}

// A file created by a thread while the handler was already cleaning up would
// be missed; the thread removes it itself and waits for the end.
void sys::stop_if_interrupted(const std::string& path) {
    if (stopping.load()) {
        ::DeleteFileW(system_path(path).c_str());
        ::Sleep(INFINITE);
    }
}

void sys::begin_commit() {
    // Commits on several threads share the lock; the handler waits for all.
    ::AcquireSRWLockShared(&commit_lock);
}

void sys::end_commit() {
    ::ReleaseSRWLockShared(&commit_lock);
    if (deferred_event.load() != 0) {
        ::Sleep(INFINITE);  // the handler ends the run now
    }
}

int sys::commit_interruption() {
    return static_cast<int>(deferred_event.load());
}

void sys::exit_interrupted(const std::string& outcome) {
    stop_once();
    const DWORD event = deferred_event.load();
    write_stderr(
        error_message(
            "", "interrupted by " + std::string(event_name(event == 0 ? 0 : event - 1)) + outcome) +
        "\r\n");
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(-1));
    for (;;) {
        ::Sleep(INFINITE);
    }
}

void end_process_now() {
    ::TerminateProcess(::GetCurrentProcess(), 77);
    for (;;) {
        ::Sleep(INFINITE);
    }
}

void install_interrupt_cleanup() {
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
    ::AddVectoredExceptionHandler(1, on_exception);
    // A drive without a medium, or a file that cannot be opened, is an error
    // the tool reports, never a dialog box waiting for a click.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

bool lies_in_memory(const std::string&) {
    return false;
}

std::uint64_t available_memory() {
    std::uint64_t available = UINT64_MAX;
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    // One query at a time: some implementations of the call keep a cache
    // that a second thread can read before the first has filled it, and
    // then report no memory at all. An answer without the machine's total
    // is such an unfilled one, and says nothing.
    static std::mutex one_query;
    bool known = false;
    {
        const std::lock_guard<std::mutex> hold(one_query);
        known = ::GlobalMemoryStatusEx(&status) != 0 && status.ullTotalPhys != 0;
    }
    if (known) {
        available = status.ullAvailPhys;
    }
    // A job that limits each process's memory leaves what this one does
    // not use yet.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
    PROCESS_MEMORY_COUNTERS counters{};
    if (::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job,
                                    nullptr) &&
        (job.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0 &&
        ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) {
        const std::uint64_t cap = job.ProcessMemoryLimit;
        const std::uint64_t used = counters.PagefileUsage;
        available = std::min(available, cap > used ? cap - used : 0);
    }
    return available;
}

// ---------------------------------------------------------------------------
// Folder listings and the console.

bool list_folder(const std::string& path, std::vector<std::string>* names, std::string* err) {
    names->clear();
    const std::wstring pattern = system_path(path + "/*");
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return true;  // nothing in it, not even "." (a drive's root)
        }
        *err = "Error: " + path + ": could not read the folder (" +
               system_message(errnum_of(error)) + ")";
        return false;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names->push_back(utf8_of(name.data(), name.size()));
        }
    } while (::FindNextFileW(search, &found));
    const DWORD error = ::GetLastError();
    ::FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        *err = "Error: " + path + ": could not read the folder (" +
               system_message(errnum_of(error)) + ")";
        return false;
    }
    std::sort(names->begin(), names->end());
    return true;
}

bool standard_error_is_terminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool remove_empty_folder(const std::string& path) {
    return ::RemoveDirectoryW(system_path(path).c_str()) != 0;
}

namespace {

// The error behind a folder that cannot be listed; a path that is a file
// reads as "Not a directory", as on POSIX systems.
int folder_errnum(DWORD error) {
    return error == ERROR_DIRECTORY ? ENOTDIR : errnum_of(error);
}

}  // namespace

// One folder of the folder walk: FindFirstFileExW over UTF-16 names, through
// the long-path form where the path needs it.
bool list_one_folder(const std::string& folder, std::vector<FolderEntry>* files,
                     std::vector<std::string>* folders, std::string* err) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileExW(system_path(folder + "\\*").c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        *err = could_not_list_folder(folder, folder_errnum(::GetLastError()));
        return false;
    }
    do {
        const std::string name = utf8_of(data.cFileName, std::wcslen(data.cFileName));
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
        *err = could_not_list_folder(folder, folder_errnum(error));
        return false;
    }
    return true;
}
