// Support for tests that run the suite's programs and inspect what they wrote.
//
// The same tests run on POSIX systems and on Windows (under wine in CI). What
// differs between the two is kept here: how a program is started and
// interrupted, the exit status a parent sees, the null device, read-only
// files, and which tests exist on one system only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

/// The exit status a parent sees when a tool returns -1 (EXIT_FAILED): a
/// POSIX system keeps the low 8 bits (255); Windows passes -1 on whole.
#ifdef _WIN32
inline constexpr int FAILURE_STATUS = -1;
#else
inline constexpr int FAILURE_STATUS = 255;
#endif

/// The device that swallows what is written and reads as empty.
#ifdef _WIN32
inline constexpr const char* NULL_DEVICE = "NUL";
#else
inline constexpr const char* NULL_DEVICE = "/dev/null";
#endif

/// A test that exists on POSIX systems only: on Windows it is registered
/// under the same name and skipped with `reason`, so that the skip shows in
/// every run. Used as `#ifndef _WIN32 TEST(...) {...} #else
/// SKIPPED_ON_WINDOWS(...) #endif`.
#define SKIPPED_ON_WINDOWS(suite, name, reason)   \
    TEST(suite, name) {                           \
        GTEST_SKIP() << "POSIX only: " << reason; \
    }

/// What a program run printed and how it ended.
struct RunResult {
    /// Standard output and standard error. On Windows the programs end lines
    /// with "\r\n"; these hold them as "\n" (run_program checks that every
    /// line ended so), so that tests compare the same text everywhere.
    std::string out;
    std::string err;
    /// Exit status: 0..255 on POSIX systems, -1 if the program did not exit
    /// normally; on Windows the whole exit code as an int.
    int status = -1;
};

/// How a program is started, beyond its arguments and folder.
struct RunOptions {
    std::string stdin_path = NULL_DEVICE;
    std::string stdout_path;          ///< empty: captured into RunResult::out
    bool stdout_closed_pipe = false;  ///< standard output: a pipe nobody reads any more
    std::uint64_t memory_limit = 0;   ///< POSIX only: address-space limit in bytes, 0: none
    /// POSIX only: the largest file the program may write, 0: none. Writes
    /// past it fail as on a full disk.
    std::uint64_t file_size_limit = 0;
};

/// Path of one of the suite's built programs (build/bin/<name>, with ".exe"
/// on Windows).
std::string tool_path(const std::string& name);

/// Runs `program` with `args` in the folder `cwd`, standard input closed.
/// Arguments are passed as they are, so empty arguments are preserved.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd);
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd, const RunOptions& options);

/// Starts `program` with its standard output going into a small pipe that
/// nobody reads, waits until the pipe is full (the run is then stuck in the
/// middle of its listing, with its files open), interrupts it with `signal`
/// and returns how the program ended. The listing must be longer than a few
/// KiB. On Windows the interruption is the console event the user's key
/// sends: SIGINT is Ctrl-C, SIGTERM Ctrl-Break (see `interrupted_message`).
RunResult run_and_interrupt(const std::string& program, const std::vector<std::string>& args,
                            const std::string& cwd, int signal);

/// The message a tool prints when run_and_interrupt interrupts it with
/// `signal` (with its line end as RunResult holds it).
std::string interrupted_message(int signal);

/// Every interruption the tools clean up after, as run_and_interrupt and
/// raise_interrupt take them: SIGINT, SIGTERM and SIGHUP; on Windows SIGINT
/// and SIGTERM (Ctrl-C and Ctrl-Break).
std::vector<int> interrupt_signals();

/// Interrupts this very process as run_and_interrupt interrupts a program
/// (for death tests); returns only if the process survives it.
void raise_interrupt(int signal);

/// Interrupts this very process without waiting for the interruption to be
/// handled (on Windows the console event's handler runs in a thread of its
/// own, which may wait for the caller), for a test that interrupts a step of
/// a commit from inside that step.
void send_interrupt(int signal);

/// True when the tests run under wine rather than on Windows itself (never
/// on POSIX systems).
bool running_under_wine();
std::string current_dir();
void change_dir(const std::string& dir);

/// Runs `body` with `dir` as the current folder, and returns to the previous
/// one afterwards.
template <typename F>
void in_dir(const std::string& dir, F body) {
    const std::string previous = current_dir();
    change_dir(dir);
    body();
    change_dir(previous);
}

/// Makes a file immutable (or not again), which even the superuser cannot
/// replace or rename; false where the file system or the user's rights do
/// not allow it, so that the test can skip (always on Windows: see
/// UnreplaceableFile).
bool make_immutable(const std::string& path, bool on);

/// True when the suite is built with AddressSanitizer, which reserves more
/// address space than a memory limit allows.
bool built_with_address_sanitizer();

/// A fresh folder below the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    /// `path()` + "/" + `relative`.
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

/// A temporary folder that a death test and the child running its
/// statement share. On POSIX systems the child is a fork and sees the folder
/// made before; on Windows the child runs the test afresh, so the parent
/// passes its folder in the environment and the child takes that one
/// instead of making its own.
class SharedTempDir {
  public:
    SharedTempDir();
    ~SharedTempDir();
    SharedTempDir(const SharedTempDir&) = delete;
    SharedTempDir& operator=(const SharedTempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::unique_ptr<TempDir> own_;
    std::string path_;
};

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const std::string& text);
Bytes read_file(const std::string& path);  ///< whole file; fails the test if unreadable
void write_file(const std::string& path, const Bytes& data);  ///< creates parent folders
bool file_exists(const std::string& path);

/// Every regular file below `root`, by path relative to it, with its contents.
/// Directories appear as entries ending in '/' with empty contents, so that
/// stray empty folders show up in comparisons too.
std::map<std::string, Bytes> read_tree(const std::string& root);

/// The bytes of a text file as the tools write it: `text` with every "\n"
/// as the system's line end ("\r\n" on Windows).
Bytes text_file(const std::string& text);

/// Makes a file of `size` bytes that takes no disk space for its zeros (a
/// sparse file), with `marks` written at their offsets.
void make_sparse_file(const std::string& path, std::uint64_t size,
                      const std::map<std::uint64_t, Bytes>& marks);

/// Makes a symbolic link at `link` to `target`; false where this system
/// makes none (Windows without the right to, and wine).
bool make_symlink(const std::string& target, const std::string& link);

/// Makes a file read-only (every write permission bit cleared on POSIX
/// systems, the read-only attribute on Windows) or writable again.
void set_read_only(const std::string& path, bool read_only);
/// Whether the file is read-only in the sense above.
bool is_read_only(const std::string& path);

/// While it lives, the file at a path cannot be replaced or renamed: made
/// immutable on Linux (which needs the right file system and privileges),
/// held open without delete sharing on Windows.
class UnreplaceableFile {
  public:
    explicit UnreplaceableFile(const std::string& path);
    ~UnreplaceableFile();
    UnreplaceableFile(const UnreplaceableFile&) = delete;
    UnreplaceableFile& operator=(const UnreplaceableFile&) = delete;
    /// False where the system or the user's rights do not allow it.
    bool ok() const { return ok_; }
    /// Ends the protection early.
    void release();

  private:
    std::string path_;
    std::intptr_t handle_ = -1;
    bool ok_ = false;
};

/// `size` bytes of address space that are reserved but never usable (any
/// touch faults), for passing huge spans to code that must refuse them by
/// size alone; null if the system refuses.
class ReservedAddressSpace {
  public:
    explicit ReservedAddressSpace(std::size_t size);
    ~ReservedAddressSpace();
    ReservedAddressSpace(const ReservedAddressSpace&) = delete;
    ReservedAddressSpace& operator=(const ReservedAddressSpace&) = delete;
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};
