#include "testing/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

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

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd) {
    return run_program(program, args, cwd, RunOptions{});
}

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

bool built_with_address_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

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
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(cwd.c_str()) != 0) {
            ::_exit(127);
        }
        int in = ::open(options.stdin_path.c_str(), O_RDONLY);
        int out = options.stdout_path.empty()
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

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& data) {
    fs::path p(path);
    if (p.has_parent_path()) {
        fs::create_directories(p.parent_path());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    EXPECT_TRUE(out.good()) << "cannot write " << path;
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

std::map<std::string, Bytes> read_tree(const std::string& root) {
    std::map<std::string, Bytes> tree;
    std::error_code ec;
    if (!fs::exists(root, ec)) {
        return tree;
    }
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        // Lexically: a symbolic link is listed under its own name, not its target's.
        std::string rel = entry.path().lexically_relative(root).generic_string();
        if (entry.is_directory()) {
            tree[rel + "/"] = {};
        } else {
            tree[rel] = read_file(entry.path().string());
        }
    }
    return tree;
}

std::string current_dir() {
    return fs::current_path().string();
}

void change_dir(const std::string& dir) {
    fs::current_path(dir);
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
