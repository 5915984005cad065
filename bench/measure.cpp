// measure: runs one command and prints its wall-clock time in seconds and its
// peak resident memory in KiB, for the benchmark script.
//
//   measure [-C dir] -- command [args...]
//
// The command runs in `dir` (default: here) with its standard output thrown
// away, so a tool's listing costs what writing to a file would not. The
// figures come from the kernel's accounting of that one child (wait4), not
// from sampling. A command that fails makes `measure` fail too, so the
// benchmark never reports the time of a run that did not do its work.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    const char* dir = nullptr;
    int first = 1;
    if (first + 1 < argc && std::strcmp(argv[first], "-C") == 0) {
        dir = argv[first + 1];
        first += 2;
    }
    if (first < argc && std::strcmp(argv[first], "--") == 0) {
        ++first;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: %s [-C dir] -- command [args...]\n", argv[0]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        if (dir != nullptr && ::chdir(dir) != 0) {
            std::fprintf(stderr, "measure: cannot enter %s (%s)\n", dir, std::strerror(errno));
            ::_exit(127);
        }
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
        ::execvp(argv[first], argv + first);
        std::fprintf(stderr, "measure: cannot run %s (%s)\n", argv[first], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    while (::wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("wait4");
            return 2;
        }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%.4f %ld\n", elapsed.count(), usage.ru_maxrss);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "measure: %s failed (status %d)\n", argv[first], status);
        return 1;
    }
    return 0;
}
