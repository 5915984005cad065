// The file layer on Windows: Win32 calls with UTF-16 names, so that any path
// works whatever the system's code page, and files are always binary.
//
// What differs from POSIX systems, and how it is met here:
// - Files are replaced with MoveFileExW(MOVEFILE_REPLACE_EXISTING); the C
//   runtime's rename() refuses an existing target. A file still open or
//   mapped cannot be replaced, so the tools close their inputs first.
// - File identity is the volume serial number and the file index
//   (GetFileInformationByHandle): the C runtime's st_ino is always 0.
// - A replaced file keeps its attributes (read-only, hidden...); a read-only
//   target is made writable only for the instant of the rename.
// - Sizes and offsets are 64-bit in every call.
// - Paths of 248 characters and more go to the system as \\?\ paths, which
//   are not held to the old 260-character limit.
// - An interruption (Ctrl-C, Ctrl-Break, the console closing) reaches a
//   console control handler, which removes the unfinished outputs.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/byte_buffer.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/platform/file_messages.h"
#include "common/platform/host.h"
#include "common/platform/unfinished_files.h"
#include "common/text.h"

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
    const  // The C runtime keeps the system error behind a failed write in _doserrno.
        bool flushed = std::fflush(stdout) == 0;
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

void FileHandle::close() {
    if (native_ != -1) {
        ::CloseHandle(reinterpret_cast<HANDLE>(native_));
        native_ = -1;
    }
}

namespace {

HANDLE handle_of(std::intptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}

std::intptr_t native_of(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

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

std::string ended_early(const std::string& path, std::uint64_t expected, std::uint64_t offset,
                        std::uint64_t got) {
    return "Error: " + path + ": ended early: expected " + std::to_string(expected) +
           " bytes at offset " + hex(offset) + ", got " + std::to_string(got);
}

// What an open handle is: kind, identity and size. False with the system's
// error when it cannot be told.
bool status_of(HANDLE handle, const std::wstring& name, bool link_opened, FileStatus* out) {
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

bool file_status(const std::string& path, FileStatus* out, std::string* err, bool follow_links) {
    const std::wstring name = system_path(path);
    const HANDLE handle =
        open_existing(name, FILE_READ_ATTRIBUTES, follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (is_missing(error)) {
            *out = FileStatus{};
            return true;
        }
        *err = "Error: " + path + ": could not look at the file (" +
               system_message(errnum_of(error)) + ")";
        return false;
    }
    const bool ok = status_of(handle, name, !follow_links, out);
    const int error = last_error();
    ::CloseHandle(handle);
    if (!ok) {
        *err = "Error: " + path + ": could not look at the file (" + system_message(error) + ")";
    }
    return ok;
}

bool open_input(const std::string& path, FileHandle* file, std::uint64_t* size, std::string* err) {
    const std::wstring name = system_path(path);
    const HANDLE handle = open_existing(name, GENERIC_READ);
    if (handle == INVALID_HANDLE_VALUE) {
        *err = open_failure_message(path, last_error());
        return false;
    }
    FileHandle owned(native_of(handle));
    FileStatus status;
    if (!status_of(handle, name, false, &status)) {
        *err = read_error(path, last_error());
        return false;
    }
    const std::string refusal = not_a_file(path, status.kind);
    if (!refusal.empty()) {
        *err = refusal;
        return false;
    }
    *size = status.size;
    *file = std::move(owned);
    return true;
}

namespace {

// Reads up to `length` bytes at `offset`; the count read (0 at the end of
// the file), or -1 with the error number in `error`.
long long read_at(HANDLE handle, std::uint64_t offset, std::uint8_t* data, std::size_t length,
                  int* error) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 30));
    if (!::ReadFile(handle, data, ask, &got, &at)) {
        const DWORD e = ::GetLastError();
        if (e == ERROR_HANDLE_EOF) {
            return 0;
        }
        *error = errnum_of(e);
        return -1;
    }
    return got;
}

}  // namespace

bool read_exact_at(const FileHandle& file, std::uint64_t offset, std::span<std::uint8_t> out,
                   const std::string& path, std::string* err) {
    std::size_t done = 0;
    while (done < out.size()) {
        int error = 0;
        const long long n = read_at(handle_of(file.native()), offset + done, out.data() + done,
                                    out.size() - done, &error);
        if (n < 0) {
            *err = read_error(path, error);
            return false;
        }
        if (n == 0) {
            *err = ended_early(path, out.size(), offset, done);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool read_stream(const std::string& path, std::string* out, std::string* err) {
    const std::wstring name = system_path(path);
    const HANDLE handle = open_existing(name, GENERIC_READ);
    if (handle == INVALID_HANDLE_VALUE) {
        *err = open_failure_message(path, last_error());
        return false;
    }
    FileHandle file(native_of(handle));
    FileStatus status;
    if (status_of(handle, name, false, &status) && status.kind == FileKind::directory) {
        *err = not_a_file(path, FileKind::directory);
        return false;
    }
    out->clear();
    if (status.kind == FileKind::regular) {
        out->reserve(static_cast<std::size_t>(status.size));
    }
    char buffer[1 << 16];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(handle, buffer, sizeof buffer, &n, nullptr)) {
            const DWORD e = ::GetLastError();
            if (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) {
                return true;  // the writer of a pipe is done
            }
            *err = read_error(path, errnum_of(e));
            return false;
        }
        if (n == 0) {
            return true;
        }
        out->append(buffer, n);
    }
}

// ---------------------------------------------------------------------------
// Unfinished outputs, removed when the run is interrupted
// (common/platform/unfinished_files.h), and the console control handler.

namespace {

constexpr std::size_t MAX_REGISTERED_PATH = 4096;
constinit UnfinishedFiles<wchar_t, 1024, MAX_REGISTERED_PATH> unfinished;
std::atomic<bool> stopping{false};

// Held while outputs are renamed into place: the interruption waits until
// the step is over, so that it never leaves half of a group replaced.
SRWLOCK commit_lock = SRWLOCK_INIT;

class CommitHold {
  public:
    CommitHold() { ::AcquireSRWLockExclusive(&commit_lock); }
    ~CommitHold() { ::ReleaseSRWLockExclusive(&commit_lock); }
    CommitHold(const CommitHold&) = delete;
    CommitHold& operator=(const CommitHold&) = delete;
};

int register_unfinished(const std::wstring& name) {
    return unfinished.add(name.c_str(), name.size());
}

void unregister_unfinished(int i) {
    unfinished.remove(i);
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

void remove_unfinished_files() {
    static wchar_t name[MAX_REGISTERED_PATH];
    unfinished.remove_all(name, [](const wchar_t* n) { ::DeleteFileW(n); });
}

void write_stderr(const std::string& text) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
                &written, nullptr);
}

// A file created by a thread while the handler was already cleaning up would
// be missed; the thread removes it itself and waits for the end.
void stop_if_interrupted(const std::wstring& name) {
    if (stopping.load()) {
        ::DeleteFileW(name.c_str());
        ::Sleep(INFINITE);
    }
}

// Runs in a thread of its own, made by the system for the event.
BOOL WINAPI on_console_event(DWORD event) {
    ::AcquireSRWLockExclusive(&commit_lock);  // a group of renames finishes first
    if (stopping.exchange(true)) {
        ::Sleep(INFINITE);  // a second event: the first one finishes the job
    }
    remove_unfinished_files();
    ::Sleep(20);  // a file another thread was creating in the same instant
    remove_unfinished_files();
    const char* what = event == CTRL_C_EVENT       ? "Ctrl-C"
                       : event == CTRL_BREAK_EVENT ? "Ctrl-Break"
                       : event == CTRL_CLOSE_EVENT ? "the console window closing"
                                                   : "the end of the session";
    write_stderr(std::string("Error: interrupted by ") + what +
                 "; unfinished output files were removed, finished ones are complete\r\n");
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(-1));
    return TRUE;
}

// The message for a mapped input whose pages cannot be read (a network
// drive gone, a disk failing), prepared when it is mapped.
std::string lost_page_message;
std::atomic<bool> lost_page_message_ready{false};

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

void install_interrupt_cleanup() {
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
    ::AddVectoredExceptionHandler(1, on_exception);
    // A drive without a medium, or a file that cannot be opened, is an error
    // the tool reports, never a dialog box waiting for a click.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

bool MappedFile::open(const std::string& path, std::string* err) {
    close();
    FileHandle file;
    std::uint64_t size = 0;
    if (!open_input(path, &file, &size, err)) {
        return false;
    }
    if (size == 0) {
        return true;  // the system maps no empty file
    }
    // Copy-on-write: changes stay in this process.
    const HANDLE mapping =
        ::CreateFileMappingW(handle_of(file.native()), nullptr, PAGE_WRITECOPY, 0, 0, nullptr);
    if (mapping == nullptr) {
        *err = read_error(path, last_error());
        return false;
    }
    void* p = ::MapViewOfFile(mapping, FILE_MAP_COPY, 0, 0, 0);
    const int error = last_error();
    ::CloseHandle(mapping);  // the view keeps the mapping
    if (p == nullptr) {
        *err = read_error(path, error);
        return false;
    }
    lost_page_message_ready.store(false);
    lost_page_message =
        "Error: " + path + ": could not read (its device failed while it was in use)\r\n";
    lost_page_message_ready.store(true);
    data_ = static_cast<std::uint8_t*>(p);
    size_ = static_cast<std::size_t>(size);
    return true;
}

void MappedFile::close() {
    if (data_ != nullptr) {
        ::UnmapViewOfFile(data_);
        data_ = nullptr;
        size_ = 0;
    }
}

namespace {

// Length of the part of `path` that names a drive or share and is never
// made: "C:", "C:\", "\", "\\server\share\", "\\?\C:\".
std::size_t root_length(const std::string& path) {
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

}  // namespace

bool FolderMaker::make_parents(const std::string& path, std::string* err) {
    // The folders to make, deepest first: every prefix ending just before a
    // separator, up to the deepest one already known to exist.
    const std::size_t root = root_length(path);
    std::vector<std::size_t> ends;
    for (std::size_t end = path.find_last_of("/\\"); end != std::string::npos && end > root;
         end = path.find_last_of("/\\", end - 1)) {
        if (known_.contains(path.substr(0, end))) {
            break;
        }
        ends.push_back(end);
    }
    for (auto end = ends.rbegin(); end != ends.rend(); ++end) {
        std::string folder = path.substr(0, *end);
        const std::wstring name = system_path(folder);
        if (!fits(name) || !::CreateDirectoryW(name.c_str(), nullptr)) {
            const DWORD error = ::GetLastError();
            const DWORD attributes =
                fits(name) ? ::GetFileAttributesW(name.c_str()) : INVALID_FILE_ATTRIBUTES;
            const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
            if (!exists || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                *err = "Error: " + folder + ": could not create the folder (" +
                       (exists ? std::string("a file of that name is in the way")
                               : system_message(errnum_of(error))) +
                       ")";
                return false;
            }
        }
        known_.insert(std::move(folder));
    }
    return true;
}

namespace {

std::atomic<unsigned> temp_counter{0};

// Where data written to `path` lands: the file a symbolic link at `path`
// points to (its final path), or `path` itself.
std::string resolve_links(const std::string& path) {
    FileStatus status;
    std::string ignored;
    if (!file_status(path, &status, &ignored, false) || status.kind != FileKind::link) {
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

// A name beside `path` for a file of this run, short enough to fit in any
// folder whatever the length of the target's own name.
std::string sibling_name(const std::string& path, const char* suffix) {
    std::string folder, name;
    split_path(path, &folder, &name);
    const char* separator = folder.ends_with('\\') || folder.ends_with('/') ? "" : "\\";
    return folder + separator + ".suite-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(temp_counter++) + suffix;
}

// The attributes a replacement takes over from the file it replaces.
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Errors that a program holding the file for a moment (a virus scanner, the
// search indexer, a preview) causes; a rename is tried again a few times.
bool is_transient(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

// Renames `from` over `to`. `attributes`: what `from` is to have in place
// (the replaced file's attributes, or 0 to leave them). A read-only `to` is
// made writable for the rename (Windows refuses to replace it otherwise) and
// gets its attribute back if the rename fails; `from` then loses any
// read-only attribute given here, so that it can still be deleted.
bool move_over(const std::wstring& from, const std::wstring& to, DWORD attributes, bool durable,
               DWORD* error) {
    if (!fits(from) || !fits(to)) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    if ((attributes & ~FILE_ATTRIBUTE_ARCHIVE) != 0) {  // a new file is marked for archiving
        ::SetFileAttributesW(from.c_str(), attributes);
    }
    const DWORD target = ::GetFileAttributesW(to.c_str());
    const bool unlocked = target != INVALID_FILE_ATTRIBUTES &&
                          (target & FILE_ATTRIBUTE_READONLY) != 0 &&
                          ::SetFileAttributesW(to.c_str(), target & ~FILE_ATTRIBUTE_READONLY);
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
    for (DWORD pause = 20;; pause *= 2) {
        if (::MoveFileExW(from.c_str(), to.c_str(), flags)) {
            return true;
        }
        *error = ::GetLastError();
        if (!is_transient(*error) || pause > 320) {
            break;
        }
        ::Sleep(pause);
    }
    if (unlocked) {
        ::SetFileAttributesW(to.c_str(), target);
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(from.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    return false;
}

// Whether the file at `name` (if any) can be deleted or renamed over now:
// no program holds it open without delete sharing.
bool can_be_replaced(const std::wstring& name, DWORD* error) {
    for (DWORD pause = 20;; pause *= 2) {
        const HANDLE handle =
            !fits(name)
                ? INVALID_HANDLE_VALUE
                : ::CreateFileW(name.c_str(), DELETE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
            return true;
        }
        *error = ::GetLastError();
        if (is_missing(*error)) {
            return true;
        }
        if (!is_transient(*error) || pause > 320) {
            return false;
        }
        ::Sleep(pause);
    }
}

HANDLE create_new(const std::wstring& name) {
    if (!fits(name)) {
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool AtomicFile::open(const std::string& target, std::string* err, NewTarget new_target,
                      Target kind) {
    discard();
    target_ = target;
    size_ = 0;
    in_place_ = false;
    replaces_ = false;
    kept_attributes_ = 0;
    if (target.empty()) {
        *err = open_failure_message(target, ENOENT);
        return false;
    }
    if (kind == Target::tree && new_target == NewTarget::in_place) {
        // Most files of an extracted tree are new: making one is tried
        // first, and what stands there is looked at only when that fails
        // (under wine every look is a trip to its server).
        final_path_ = target;
        const std::wstring name = system_path(final_path_);
        cleanup_slot_ = register_unfinished(name);
        const HANDLE handle = create_new(name);
        if (handle != INVALID_HANDLE_VALUE) {
            fd_ = native_of(handle);
            temp_path_ = final_path_;
            in_place_ = true;
            stop_if_interrupted(name);
            return true;
        }
        const DWORD error = ::GetLastError();
        unregister_unfinished(cleanup_slot_);
        cleanup_slot_ = -1;
        if (error == ERROR_PATH_NOT_FOUND) {
            *err = open_failure_message(target, ENOENT);
            return false;
        }
    }
    final_path_ = kind == Target::named ? resolve_links(target) : target;
    FileStatus status;
    if (!file_status(final_path_, &status, err, kind == Target::named)) {
        return false;
    }
    const bool exists = status.kind != FileKind::missing;
    if (status.kind == FileKind::directory) {
        *err = open_failure_message(target, EISDIR);
        return false;
    }
    if (kind == Target::tree && status.kind == FileKind::other) {
        *err = "Error: " + target + ": a device or pipe stands where the file goes";
        return false;
    }
    const std::wstring final_name = system_path(final_path_);
    if (kind == Target::named && status.kind == FileKind::other) {
        // A device (NUL) or pipe takes the data as it comes; there is nothing to replace.
        const HANDLE handle = !fits(final_name)
                                  ? INVALID_HANDLE_VALUE
                                  : ::CreateFileW(final_name.c_str(), GENERIC_WRITE, SHARE_ALL,
                                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            *err = open_failure_message(target, last_error());
            return false;
        }
        fd_ = native_of(handle);
        in_place_ = true;
        return true;
    }
    if (!exists && new_target == NewTarget::in_place) {
        // When nothing is there, nothing needs protecting: the file is
        // written under its own name, and CREATE_NEW makes sure nothing was.
        cleanup_slot_ = register_unfinished(final_name);
        const HANDLE handle = create_new(final_name);
        if (handle != INVALID_HANDLE_VALUE) {
            fd_ = native_of(handle);
            temp_path_ = final_path_;
            in_place_ = true;
            stop_if_interrupted(final_name);
            return true;
        }
        const DWORD error = ::GetLastError();
        unregister_unfinished(cleanup_slot_);
        cleanup_slot_ = -1;
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            *err = open_failure_message(target, errnum_of(error));
            return false;
        }
        // Something appeared meanwhile: replace it like any existing file.
        return open(target, err, NewTarget::via_temporary, kind);
    }
    replaces_ = exists;
    if (status.kind == FileKind::regular) {
        const DWORD attributes = ::GetFileAttributesW(final_name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            kept_attributes_ = attributes & KEPT_ATTRIBUTES;
        }
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
        temp_path_ = sibling_name(final_path_, ".tmp");
        const std::wstring temp_name = system_path(temp_path_);
        cleanup_slot_ = register_unfinished(temp_name);
        handle = create_new(temp_name);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            unregister_unfinished(cleanup_slot_);
            cleanup_slot_ = -1;
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
                temp_path_.clear();
                *err = open_failure_message(target, errnum_of(error));
                return false;
            }
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        temp_path_.clear();
        *err = open_failure_message(target, EEXIST);
        return false;
    }
    fd_ = native_of(handle);
    stop_if_interrupted(system_path(temp_path_));
    return true;
}

bool AtomicFile::write(std::span<const std::uint8_t> data, std::string* err) {
    std::size_t done = 0;
    while (done < data.size()) {
        const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
        DWORD n = 0;
        if (!::WriteFile(handle_of(fd_), data.data() + done, ask, &n, nullptr)) {
            *err = write_error(target_, last_error());
            return false;
        }
        if (n == 0) {
            *err = write_error(target_, ENOSPC);
            return false;
        }
        done += n;
    }
    size_ += data.size();
    return true;
}

bool AtomicFile::copy_from(const FileHandle& source, std::uint64_t offset, std::uint64_t length,
                           const std::string& source_path, std::string* err) {
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(length, 1 << 20)));
    std::uint64_t done = 0;
    while (done < length) {
        const std::size_t ask =
            static_cast<std::size_t>(std::min<std::uint64_t>(length - done, buffer.size()));
        int error = 0;
        const long long n =
            read_at(handle_of(source.native()), offset + done, buffer.data(), ask, &error);
        if (n < 0) {
            *err = read_error(source_path, error);
            return false;
        }
        if (n == 0) {
            *err = ended_early(source_path, length, offset, done);
            return false;
        }
        if (!write({buffer.data(), static_cast<std::size_t>(n)}, err)) {
            return false;
        }
        done += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool AtomicFile::finish(bool durable, std::string* err) {
    if (fd_ == -1) {
        return true;
    }
    const HANDLE handle = handle_of(fd_);
    fd_ = -1;
    // A device may not support flushing; only files must reach the disk.
    if (durable && !temp_path_.empty() && !::FlushFileBuffers(handle)) {
        const int error = last_error();
        ::CloseHandle(handle);
        *err = write_error(target_, error);
        return false;
    }
    if (!::CloseHandle(handle)) {
        *err = write_error(target_, last_error());
        return false;
    }
    return true;
}

bool AtomicFile::commit(bool durable, std::string* err) {
    if (!finish(durable, err)) {
        return false;
    }
    if (!in_place_ && !temp_path_.empty()) {
        const CommitHold hold;  // the attributes and the rename go together
        DWORD error = 0;
        if (!move_over(system_path(temp_path_), system_path(final_path_), kept_attributes_, durable,
                       &error)) {
            *err = "Error: " + target_ + ": could not replace the file (" +
                   system_message(errnum_of(error)) + ")";
            return false;
        }
    }
    unregister_unfinished(cleanup_slot_);
    cleanup_slot_ = -1;
    temp_path_.clear();
    return true;
}

void AtomicFile::discard() {
    if (fd_ != -1) {
        ::CloseHandle(handle_of(fd_));
        fd_ = -1;
    }
    if (!temp_path_.empty()) {
        delete_file(system_path(temp_path_));
        temp_path_.clear();
    }
    unregister_unfinished(cleanup_slot_);
    cleanup_slot_ = -1;
}

bool commit_together(std::span<AtomicFile* const> files, bool durable, std::string* err) {
    for (AtomicFile* file : files) {
        if (!file->finish(durable, err)) {
            return false;
        }
    }
    const CommitHold hold;
    // A target that another program holds open without delete sharing can
    // be neither replaced nor have its backup link removed again: found
    // before anything is touched.
    for (AtomicFile* file : files) {
        DWORD error = 0;
        if (!file->in_place_ && !file->temp_path_.empty() &&
            !can_be_replaced(system_path(file->final_path_), &error)) {
            *err = "Error: " + file->target_ + ": could not replace the file (" +
                   system_message(errnum_of(error)) + "); nothing was replaced";
            for (AtomicFile* f : files) {
                f->discard();
            }
            return false;
        }
    }
    // The old file of each target that is replaced, under a second name.
    struct Step {
        AtomicFile* file;
        std::wstring target;
        std::string backup;    ///< empty when the target does not exist
        DWORD attributes = 0;  ///< the old file's, which a rename back restores
        bool aside = false;    ///< the backup is made by moving the target (no hard links)
        bool renamed = false;
        bool moved_aside = false;
    };
    std::vector<Step> steps;
    for (AtomicFile* file : files) {
        Step step{file, system_path(file->final_path_), {}};
        // (Every name fits: can_be_replaced looked at each target.)
        const DWORD attributes = ::GetFileAttributesW(step.target.c_str());
        if (!file->in_place_ && attributes != INVALID_FILE_ATTRIBUTES) {
            step.attributes = attributes;
            step.backup = sibling_name(file->final_path_, ".old");
            if (!::CreateHardLinkW(system_path(step.backup).c_str(), step.target.c_str(),
                                   nullptr)) {
                step.aside = true;  // a file system without hard links (FAT)
            }
        }
        steps.push_back(std::move(step));
    }
    // A backup that is a second link of a target still in place shares its
    // attributes: a read-only one must be unlocked to delete the link, and
    // the target locked again.
    auto remove_backups = [&] {
        for (Step& step : steps) {
            if (step.backup.empty() || step.aside) {
                continue;
            }
            delete_file(system_path(step.backup));
            if (!step.renamed && (step.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
                ::SetFileAttributesW(step.target.c_str(), step.attributes);
            }
        }
    };

    for (std::size_t i = 0; i < steps.size(); ++i) {
        Step& step = steps[i];
        AtomicFile& file = *step.file;
        if (file.in_place_ || file.temp_path_.empty()) {
            continue;
        }
        DWORD error = 0;
        if (step.aside) {
            if (::MoveFileExW(step.target.c_str(), system_path(step.backup).c_str(), 0)) {
                step.moved_aside = true;
            } else {
                error = ::GetLastError();
            }
        }
        if (error == 0 && move_over(system_path(file.temp_path_), step.target,
                                    file.kept_attributes_, durable, &error)) {
            step.renamed = true;
            continue;
        }
        // Put back what was replaced, newest first.
        *err = "Error: " + file.target_ + ": could not replace the file (" +
               system_message(errnum_of(error)) + ")";
        std::string stuck;
        for (std::size_t j = i + 1; j-- > 0;) {
            Step& done = steps[j];
            if (!done.renamed && !done.moved_aside) {
                continue;
            }
            DWORD back_error = 0;
            if (move_over(system_path(done.backup), done.target, 0, durable, &back_error)) {
                ::SetFileAttributesW(done.target.c_str(), done.attributes);
                done.backup.clear();  // it is the target again
            } else {
                stuck += "; " + done.file->target_ + " could not be put back (" +
                         system_message(errnum_of(back_error)) + "): it " +
                         (done.renamed ? "now holds the new data" : "is missing") +
                         ", and its old data is in " + done.backup;
                done.backup.clear();  // keep it: it is the only copy
            }
        }
        remove_backups();
        for (Step& s : steps) {
            if (!s.renamed) {
                s.file->discard();
            } else {
                unregister_unfinished(s.file->cleanup_slot_);
                s.file->cleanup_slot_ = -1;
                s.file->temp_path_.clear();
            }
        }
        *err += stuck.empty() ? "; nothing was replaced" : stuck;
        return false;
    }
    remove_backups();
    for (Step& step : steps) {
        if (step.aside && step.moved_aside) {
            delete_file(system_path(step.backup));
        }
        unregister_unfinished(step.file->cleanup_slot_);
        step.file->cleanup_slot_ = -1;
        step.file->temp_path_.clear();
    }
    return true;
}
