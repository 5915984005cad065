// The test support on Windows: CreateProcessW with inherited handles, pipes,
// job objects, console events, file attributes.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// after windows.h
#include <gtest/gtest.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "testing/test_support.h"

namespace fs = std::filesystem;

namespace {

std::wstring wide_of(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string utf8_of(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                          nullptr, nullptr);
    return out;
}

// One argument as the C runtime and CommandLineToArgvW read it back:
// quoted when it is empty or holds blanks or quotes; backslashes doubled
// where they come before a quote.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

std::wstring command_line(const std::string& program, const std::vector<std::string>& args) {
    std::wstring line = quoted(wide_of(program));
    for (const std::string& arg : args) {
        line += L" " + quoted(wide_of(arg));
    }
    return line;
}

std::string slurp(const std::string& path) {
    std::ifstream in(fs::path(wide_of(path)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The programs' text as the tests compare it: "\r\n" as "\n". Every line
// must end in "\r\n", as Windows programs write text.
std::string text_of(const std::string& raw, const std::string& program, const char* stream) {
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') {
            continue;
        }
        if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) {
            ADD_FAILURE() << program << " ended a line of its " << stream
                          << " with a bare line feed (at byte " << i << ")";
        }
        text += raw[i];
    }
    return text;
}

HANDLE inheritable(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE) {
        ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    return handle;
}

HANDLE open_for(const std::string& path, DWORD access, DWORD disposition) {
    return inheritable(::CreateFileW(wide_of(path).c_str(), access,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

class Handle {
  public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    void close() {
        if (valid()) {
            ::CloseHandle(h_);
        }
        h_ = INVALID_HANDLE_VALUE;
    }
    void reset(HANDLE h) {
        close();
        h_ = h;
    }

  private:
    HANDLE h_;
};

struct Child {
    Handle process;
    Handle job;
};

// Starts `program` suspended-free with the given standard handles, in `cwd`;
// false (with a test failure) when it cannot be started.
bool start(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
           HANDLE in, HANDLE out, HANDLE err, std::uint64_t memory_limit, Child* child) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    std::wstring line = command_line(program, args);
    // No console of its own: a child of a program without one makes none.
    const DWORD flags = CREATE_SUSPENDED | DETACHED_PROCESS;
    if (!::CreateProcessW(wide_of(program).c_str(), line.data(), nullptr, nullptr, TRUE, flags,
                          nullptr, wide_of(cwd).c_str(), &startup, &info)) {
        ADD_FAILURE() << "could not start " << program << " (Windows error " << ::GetLastError()
                      << ")";
        return false;
    }
    child->process.reset(info.hProcess);
    Handle thread(info.hThread);
    if (memory_limit > 0) {
        child->job.reset(::CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit{};
        limit.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
        limit.ProcessMemoryLimit = static_cast<SIZE_T>(memory_limit);
        if (!child->job.valid() ||
            !::SetInformationJobObject(child->job.get(), JobObjectExtendedLimitInformation, &limit,
                                       sizeof limit) ||
            !::AssignProcessToJobObject(child->job.get(), child->process.get())) {
            ADD_FAILURE() << "could not limit the memory of " << program;
        }
    }
    ::ResumeThread(thread.get());
    return true;
}

int wait_for(const Child& child) {
    ::WaitForSingleObject(child.process.get(), INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(child.process.get(), &code);
    return static_cast<int>(code);
}

// The routine by which the system delivers a console event to a process (a
// thread started at it calls the process's control handlers), as the
// console host does when the user presses Ctrl-C.
LPTHREAD_START_ROUTINE console_event_routine() {
    for (const wchar_t* module : {L"kernelbase.dll", L"kernel32.dll"}) {
        const HMODULE handle = ::GetModuleHandleW(module);
        if (handle != nullptr) {
            if (FARPROC routine = ::GetProcAddress(handle, "CtrlRoutine")) {
                return reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(routine));
            }
        }
    }
    return nullptr;
}

DWORD console_event_of(int signal) {
    return signal == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT;
}

}  // namespace

std::string tool_path(const std::string& name) {
    return std::string(SUITE_BIN_DIR) + "/" + name + ".exe";
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd, const RunOptions& options) {
    TempDir capture;
    const std::string out_path = capture / "stdout";
    const std::string err_path = capture / "stderr";
    RunResult result;
    Handle in(open_for(options.stdin_path, GENERIC_READ, OPEN_EXISTING));
    Handle out;
    if (options.stdout_closed_pipe) {
        HANDLE read_end = nullptr, write_end = nullptr;
        if (!::CreatePipe(&read_end, &write_end, nullptr, 0)) {
            ADD_FAILURE() << "CreatePipe failed";
            return result;
        }
        ::CloseHandle(read_end);
        out.reset(inheritable(write_end));
    } else if (options.stdout_path.empty()) {
        out.reset(open_for(out_path, GENERIC_WRITE, CREATE_ALWAYS));
    } else {
        out.reset(open_for(options.stdout_path, GENERIC_WRITE, OPEN_EXISTING));
    }
    Handle err(open_for(err_path, GENERIC_WRITE, CREATE_ALWAYS));
    if (!in.valid() || !out.valid() || !err.valid()) {
        ADD_FAILURE() << "could not open the standard files of " << program;
        return result;
    }
    Child child;
    if (!start(program, args, cwd, in.get(), out.get(), err.get(), options.memory_limit, &child)) {
        return result;
    }
    in.close();
    out.close();
    err.close();
    result.status = wait_for(child);
    result.out = text_of(slurp(out_path), program, "standard output");
    result.err = text_of(slurp(err_path), program, "standard error");
    return result;
}

RunResult run_and_interrupt(const std::string& program, const std::vector<std::string>& args,
                            const std::string& cwd, int signal) {
    TempDir capture;
    const std::string err_path = capture / "stderr";
    RunResult result;
    const LPTHREAD_START_ROUTINE routine = console_event_routine();
    if (routine == nullptr) {
        ADD_FAILURE() << "the system's console event routine (CtrlRoutine) was not found";
        return result;
    }
    constexpr DWORD CAPACITY = 4096;
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, nullptr, CAPACITY)) {
        ADD_FAILURE() << "CreatePipe failed";
        return result;
    }
    Handle reader(read_end);
    Handle writer(inheritable(write_end));
    Handle in(open_for(NULL_DEVICE, GENERIC_READ, OPEN_EXISTING));
    Handle err(open_for(err_path, GENERIC_WRITE, CREATE_ALWAYS));
    Child child;
    if (!start(program, args, cwd, in.get(), writer.get(), err.get(), 0, &child)) {
        return result;
    }
    writer.close();
    in.close();
    err.close();
    // Wait until the pipe is full, or stays as it is for a while (the
    // program is then blocked writing its listing).
    DWORD queued = 0, before = 0;
    for (int waited = 0, still = 0; waited < 60000 && queued < CAPACITY && still < 200; ++waited) {
        ::PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &queued, nullptr);
        still = queued > 0 && queued == before ? still + 1 : 0;
        before = queued;
        ::Sleep(1);
    }
    ::Sleep(20);
    Handle thread(::CreateRemoteThread(
        child.process.get(), nullptr, 0, routine,
        reinterpret_cast<void*>(std::uintptr_t{console_event_of(signal)}), 0, nullptr));
    if (!thread.valid()) {
        ADD_FAILURE() << "could not send the console event (Windows error " << ::GetLastError()
                      << ")";
        ::TerminateProcess(child.process.get(), 3);
    }
    std::string raw;
    char buffer[4096];
    for (DWORD n = 0; ::ReadFile(reader.get(), buffer, sizeof buffer, &n, nullptr) && n > 0;) {
        raw.append(buffer, n);
    }
    result.status = wait_for(child);
    result.out = text_of(raw, program, "standard output");
    result.err = text_of(slurp(err_path), program, "standard error");
    return result;
}

std::string interrupted_message(int signal) {
    return std::string("Error: interrupted by ") + (signal == SIGINT ? "Ctrl-C" : "Ctrl-Break") +
           "; unfinished output files were removed, finished ones are complete\n";
}

namespace {

std::atomic<unsigned> temp_counter{0};

// Clears the read-only attribute of everything below `root`, which the
// system would not delete otherwise.
void make_writable(const fs::path& root) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::wstring name = it->path().wstring();
        const DWORD attributes = ::GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            ::SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        }
    }
}

}  // namespace

TempDir::TempDir() {
    wchar_t base[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
    std::string folder = n > 0 ? utf8_of(std::wstring(base, n)) : std::string(".\\");
    if (!folder.ends_with('\\') && !folder.ends_with('/')) {
        folder += '\\';
    }
    for (int attempt = 0; attempt < 1000; ++attempt) {
        path_ = folder + "suite-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(temp_counter++);
        if (::CreateDirectoryW(wide_of(path_).c_str(), nullptr)) {
            return;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    ADD_FAILURE() << "could not make a temporary folder in " << folder;
}

TempDir::~TempDir() {
    const fs::path root(wide_of(path_));
    std::error_code ec;
    fs::remove_all(root, ec);
    if (ec) {
        make_writable(root);
        fs::remove_all(root, ec);
    }
}

void set_read_only(const std::string& path, bool read_only) {
    const std::wstring name = wide_of(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << path;
    ASSERT_TRUE(::SetFileAttributesW(name.c_str(), read_only
                                                       ? attributes | FILE_ATTRIBUTE_READONLY
                                                       : attributes & ~FILE_ATTRIBUTE_READONLY))
        << path;
}

bool is_read_only(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(wide_of(path).c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES) << path;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Windows has no immutable files (its read-only attribute does not keep the
// suite's tools from replacing a file: UnreplaceableFile does).
bool make_immutable(const std::string&, bool) {
    return false;
}

// Open without delete sharing, the file can be neither renamed nor replaced.
UnreplaceableFile::UnreplaceableFile(const std::string& path) : path_(path) {
    const HANDLE handle = ::CreateFileW(wide_of(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    ok_ = handle != INVALID_HANDLE_VALUE;
    handle_ = reinterpret_cast<std::intptr_t>(handle);
}

UnreplaceableFile::~UnreplaceableFile() {
    release();
}

void UnreplaceableFile::release() {
    if (ok_) {
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
        ok_ = false;
    }
}

bool running_under_wine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::vector<int> interrupt_signals() {
    return {SIGINT, SIGTERM};
}

void raise_interrupt(int signal) {
    const LPTHREAD_START_ROUTINE routine = console_event_routine();
    ASSERT_NE(routine, nullptr) << "the system's console event routine (CtrlRoutine) was not found";
    Handle thread(::CreateThread(nullptr, 0, routine,
                                 reinterpret_cast<void*>(std::uintptr_t{console_event_of(signal)}),
                                 0, nullptr));
    ASSERT_TRUE(thread.valid());
    ::WaitForSingleObject(thread.get(), INFINITE);
}

void send_interrupt(int signal) {
    const LPTHREAD_START_ROUTINE routine = console_event_routine();
    ASSERT_NE(routine, nullptr) << "the system's console event routine (CtrlRoutine) was not found";
    const HANDLE thread = ::CreateThread(
        nullptr, 0, routine, reinterpret_cast<void*>(std::uintptr_t{console_event_of(signal)}), 0,
        nullptr);
    ASSERT_NE(thread, nullptr);
    ::CloseHandle(thread);
}

bool make_symlink(const std::string& target, const std::string& link) {
    // Wine 8 answers success and makes nothing: look for the link itself.
    std::wstring relative = wide_of(target);
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    const std::wstring name = wide_of(link);
    ::CreateSymbolicLinkW(name.c_str(), relative.c_str(),
                          SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

ReservedAddressSpace::ReservedAddressSpace(std::size_t size) {
    void* p = ::VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
    if (p != nullptr) {
        data_ = static_cast<std::uint8_t*>(p);
        size_ = size;
    }
}

ReservedAddressSpace::~ReservedAddressSpace() {
    if (data_ != nullptr) {
        ::VirtualFree(data_, 0, MEM_RELEASE);
    }
}

void make_sparse_file(const std::string& path, std::uint64_t size,
                      const std::map<std::uint64_t, Bytes>& marks) {
    Handle file(::CreateFileW(wide_of(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid()) << path;
    DWORD returned = 0;
    EXPECT_TRUE(
        ::DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr))
        << "no sparse file: " << path;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    EXPECT_TRUE(::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) &&
                ::SetEndOfFile(file.get()))
        << path;
    for (const auto& [offset, bytes] : marks) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD written = 0;
        EXPECT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                &written, &at) &&
                    written == bytes.size())
            << path;
    }
}

namespace {

constexpr const wchar_t* SHARED_DIR_VARIABLE = L"SUITE_DEATH_TEST_DIR";

}  // namespace

SharedTempDir::SharedTempDir() {
    wchar_t inherited[32768];
    const DWORD n = ::GetEnvironmentVariableW(SHARED_DIR_VARIABLE, inherited, 32768);
    if (n > 0 && n < 32768) {
        path_ = utf8_of(std::wstring(inherited, n));  // the child of a death test
        return;
    }
    own_ = std::make_unique<TempDir>();
    path_ = own_->path();
    ::SetEnvironmentVariableW(SHARED_DIR_VARIABLE, wide_of(path_).c_str());
}

SharedTempDir::~SharedTempDir() {
    if (own_) {
        ::SetEnvironmentVariableW(SHARED_DIR_VARIABLE, nullptr);
    }
}
