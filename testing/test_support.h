// Support for tests that run the suite's programs and inspect what they wrote.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

/// What a program run printed and how it ended.
struct RunResult {
    std::string out;  ///< standard output
    std::string err;  ///< standard error
    int status = -1;  ///< exit status (0..255), or -1 if the program did not exit normally
};

/// How a program is started, beyond its arguments and folder.
struct RunOptions {
    std::string stdin_path = "/dev/null";
    std::string stdout_path;         ///< empty: captured into RunResult::out
    std::uint64_t memory_limit = 0;  ///< address-space limit in bytes, 0: none
    /// Largest file the program may write, 0: none. Writes past it fail as
    /// on a full disk.
    std::uint64_t file_size_limit = 0;
};

/// Path of one of the suite's built programs (build/bin/<name>).
std::string tool_path(const std::string& name);

/// Runs `program` with `args` in the folder `cwd`, standard input closed.
/// Arguments are passed as they are, so empty arguments are preserved.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd);
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd, const RunOptions& options);

/// Starts `program` with its standard output going into a small pipe that
/// nobody reads, waits until the pipe is full (the run is then stuck in the
/// middle of its listing, with its files open), sends `signal`, and returns
/// how the program ended. The listing must be longer than a few KiB.
RunResult run_and_interrupt(const std::string& program, const std::vector<std::string>& args,
                            const std::string& cwd, int signal);

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
/// not allow it, so that the test can skip.
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

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const std::string& text);
Bytes read_file(const std::string& path);  ///< whole file; fails the test if unreadable
void write_file(const std::string& path, const Bytes& data);  ///< creates parent folders
bool file_exists(const std::string& path);

/// Every regular file below `root`, by path relative to it, with its contents.
/// Directories appear as entries ending in '/' with empty contents, so that
/// stray empty folders show up in comparisons too.
std::map<std::string, Bytes> read_tree(const std::string& root);
