// The test support on Linux and other POSIX systems: fork and exec, pipes,
// signals, resource limits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "testing/test_support.h"

namespace fs = std::filesystem;

std::string tool_path(const std::string& name) {
    return std::string(SUITE_BIN_DIR) + "/" + name;
}

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

namespace {

// In the child: the argument vector for execv.
std::vector<char*> argv_of(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

int exit_status(int wstatus) {
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

}  // namespace

RunResult run_and_interrupt(const std::string& program, const std::vector<std::string>& args,
                            const std::string& cwd, int signal) {
    TempDir capture;
    const std::string err_path = capture / "stderr";
    RunResult result;
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return result;
    }
    const int capacity = ::fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096);
    const pid_t pid = ::fork();
    if (pid == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::chdir(cwd.c_str()) != 0 || in < 0 || err < 0) {
            ::_exit(127);
        }
        ::dup2(in, 0);
        ::dup2(pipe_fds[1], 1);
        ::dup2(err, 2);
        ::close(pipe_fds[0]);
        std::vector<char*> argv = argv_of(program, args);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    // Full pipe: the program is blocked writing its listing.
    for (int waited = 0; waited < 60000; ++waited) {
        int queued = 0;
        ::ioctl(pipe_fds[0], FIONREAD, &queued);
        if (queued >= capacity) {
            break;
        }
        ::usleep(1000);
    }
    ::usleep(20000);
    ::kill(pid, signal);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0) {
    }
    result.out = out;
    result.err = slurp(err_path);
    result.status = exit_status(wstatus);
    return result;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd, const RunOptions& options) {
    TempDir capture;
    const std::string out_path = capture / "stdout";
    const std::string err_path = capture / "stderr";
    RunResult result;
    int closed_pipe[2] = {-1, -1};
    if (options.stdout_closed_pipe) {
        if (::pipe(closed_pipe) != 0) {
            ADD_FAILURE() << "pipe failed";
            return result;
        }
        ::close(closed_pipe[0]);
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(cwd.c_str()) != 0) {
            ::_exit(127);
        }
        int in = ::open(options.stdin_path.c_str(), O_RDONLY);
        int out = options.stdout_closed_pipe ? closed_pipe[1]
                  : options.stdout_path.empty()
                      ? ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                      : ::open(options.stdout_path.c_str(), O_WRONLY);
        int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) {
            ::_exit(127);
        }
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (options.memory_limit > 0) {
            struct rlimit limit;
            limit.rlim_cur = limit.rlim_max = options.memory_limit;
            ::setrlimit(RLIMIT_AS, &limit);
        }
        if (options.file_size_limit > 0) {
            struct rlimit limit;
            limit.rlim_cur = limit.rlim_max = options.file_size_limit;
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> argv = argv_of(program, args);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (closed_pipe[1] >= 0) {
        ::close(closed_pipe[1]);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return result;
    }
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0) {
    }
    result.out = slurp(out_path);
    result.err = slurp(err_path);
    result.status = exit_status(wstatus);
    return result;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/suite-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed for " << pattern;
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string interrupted_message(int signal) {
    const char* name = signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
    return std::string("Error: interrupted by ") + name +
           "; unfinished output files were removed, finished ones are complete\n";
}

void set_read_only(const std::string& path, bool read_only) {
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    const mode_t mode = read_only ? st.st_mode & ~mode_t{0222} : st.st_mode | S_IWUSR;
    ASSERT_EQ(::chmod(path.c_str(), mode & 07777), 0) << path;
}

bool is_read_only(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return (st.st_mode & 0222) == 0;
}

bool make_immutable(const std::string& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

UnreplaceableFile::UnreplaceableFile(const std::string& path)
    : path_(path), ok_(make_immutable(path, true)) {}

UnreplaceableFile::~UnreplaceableFile() {
    release();
}

void UnreplaceableFile::release() {
    if (ok_) {
        make_immutable(path_, false);
        ok_ = false;
    }
}

bool running_under_wine() {
    return false;
}

std::vector<int> interrupt_signals() {
    return {SIGINT, SIGTERM, SIGHUP};
}

void raise_interrupt(int signal) {
    std::raise(signal);
}

void send_interrupt(int signal) {
    std::raise(signal);
}

bool make_symlink(const std::string& target, const std::string& link) {
    std::error_code ec;
    fs::create_symlink(target, link, ec);
    return !ec;
}

ReservedAddressSpace::ReservedAddressSpace(std::size_t size) {
    void* p = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) {
        data_ = static_cast<std::uint8_t*>(p);
        size_ = size;
    }
}

ReservedAddressSpace::~ReservedAddressSpace() {
    if (data_ != nullptr) {
        ::munmap(data_, size_);
    }
}

void make_sparse_file(const std::string& path, std::uint64_t size,
                      const std::map<std::uint64_t, Bytes>& marks) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0) << path;
    for (const auto& [offset, bytes] : marks) {
        EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(bytes.size()))
            << path;
    }
    ::close(fd);
}

SharedTempDir::SharedTempDir() : own_(std::make_unique<TempDir>()), path_(own_->path()) {}

SharedTempDir::~SharedTempDir() = default;
