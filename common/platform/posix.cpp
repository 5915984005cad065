// The file layer's steps on Linux and other POSIX systems
// (common/platform/file_system.h), the host, and the clean-up of
// interrupted runs by signal handlers.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/byte_buffer.h"
#include "common/message.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/platform/file_steps.h"
#include "common/platform/folders.h"
#include "common/platform/file_system.h"
#include "common/platform/host.h"
#include "common/platform/unfinished_files.h"

void advise_huge_pages(void* p, std::size_t bytes) {
    ::madvise(p, bytes, MADV_HUGEPAGE);
}

std::string_view text_line_end() {
    return "\n";
}

bool flush_standard_output(int* errnum) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    *errnum = errno;
    return flushed && !std::ferror(stdout);
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

NameRules host_name_rules() {
    return NameRules::posix;
}

std::string system_message(int errnum) {
    return std::strerror(errnum);
}

std::string path_key(std::string_view path) {
    return std::string(path);
}

void split_path(const std::string& path, std::string* dir, std::string* base) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        *dir = ".";
        *base = path;
    } else {
        *dir = slash == 0 ? "/" : path.substr(0, slash);
        *base = path.substr(slash + 1);
    }
}

namespace {

int fd_of(std::intptr_t handle) {
    return static_cast<int>(handle);
}

// Opens with O_CLOEXEC, again when a signal cut the call short; the
// descriptor, or -1 with errno set.
int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

FileKind kind_of(const struct stat& st) {
    if (S_ISREG(st.st_mode)) {
        return FileKind::regular;
    }
    if (S_ISLNK(st.st_mode)) {
        return FileKind::link;
    }
    return S_ISDIR(st.st_mode) ? FileKind::directory : FileKind::other;
}

void status_of(const struct stat& st, FileStatus* out) {
    out->kind = kind_of(st);
    out->id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    out->size = static_cast<std::uint64_t>(st.st_size);
}

// 0 when the call succeeded, otherwise errno.
int result(int returned) {
    return returned == 0 ? 0 : errno;
}

}  // namespace

// ---------------------------------------------------------------------------
// Names and looks.

int sys::look(const std::string& path, bool follow_links, Look* out) {
    struct stat st;
    if ((follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            *out = Look{};
            return 0;
        }
        return errno;
    }
    status_of(st, &out->status);
    out->kept = {true, static_cast<std::uint32_t>(st.st_mode & 07777),
                 static_cast<std::uint32_t>(st.st_uid), static_cast<std::uint32_t>(st.st_gid)};
    return 0;
}

std::string sys::resolve_links(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return current;
        }
        std::string link(static_cast<std::size_t>(PATH_MAX), '\0');
        const ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) {
            return current;
        }
        link.resize(static_cast<std::size_t>(n));
        if (link[0] == '/') {
            current = link;
        } else {
            std::string dir, base;
            split_path(current, &dir, &base);
            current = dir + "/" + link;
        }
    }
    return current;
}

std::string sys::absolute_path(const std::string& path) {
    std::string full = path;
    if (path.empty() || path[0] != '/') {
        std::string cwd(PATH_MAX, '\0');
        if (::getcwd(cwd.data(), cwd.size()) != nullptr) {
            cwd.resize(std::strlen(cwd.c_str()));
            full = cwd + "/" + path;
        }
    }
    // "." and empty components name nothing more: without them, two
    // spellings of one path read the same in a journal.
    // (Only `/` separates here: `\` is a character of a name.)
    std::string clean;
    std::size_t start = 0;
    while (start <= full.size()) {
        std::size_t end = full.find('/', start);
        if (end == std::string::npos) {
            end = full.size();
        }
        const std::string_view component(full.data() + start, end - start);
        if (!component.empty() && component != ".") {
            clean += '/';
            clean += component;
        }
        start = end + 1;
    }
    return clean.empty() ? "/" : clean;
}

std::string sys::sibling_name(const std::string& path, const char* suffix) {
    static std::atomic<unsigned> counter{0};
    static const pid_t pid = ::getpid();  // the names need only differ from other runs'
    std::string dir, base;
    split_path(path, &dir, &base);
    return (dir == "/" ? "" : dir) + "/.suite-" + std::to_string(pid) + "-" +
           std::to_string(counter++) + suffix;
}

std::size_t sys::root_length(const std::string& path) {
    return path.starts_with('/') ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Reading.

int sys::open_read(const std::string& path, bool wait_for_writer, std::intptr_t* handle) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer that may never come.
    const int fd = open_retrying(path.c_str(), O_RDONLY | (wait_for_writer ? 0 : O_NONBLOCK));
    if (fd < 0) {
        return errno;
    }
    *handle = fd;
    return 0;
}

int sys::handle_status(std::intptr_t handle, const std::string&, FileStatus* out) {
    struct stat st;
    if (::fstat(fd_of(handle), &st) != 0) {
        return errno;
    }
    status_of(st, out);
    return 0;
}

long long sys::read_some(std::intptr_t handle, std::uint8_t* data, std::size_t size, int* error) {
    for (;;) {
        const ssize_t n = ::read(fd_of(handle), data, size);
        if (n >= 0 || errno != EINTR) {
            *error = errno;
            return n;
        }
    }
}

long long sys::read_some_at(std::intptr_t handle, std::uint64_t offset, std::uint8_t* data,
                            std::size_t size, int* error) {
    for (;;) {
        const ssize_t n = ::pread(fd_of(handle), data, size, static_cast<off_t>(offset));
        if (n >= 0 || errno != EINTR) {
            *error = errno;
            return n;
        }
    }
}

namespace {

// The message a lost page of a mapped input gives, prepared where
// allocation is allowed and written by the signal handler.
char lost_page_message[PATH_MAX + 128];
std::atomic<std::size_t> lost_page_message_length{0};

}  // namespace

int sys::map_view(std::intptr_t handle, std::uint64_t size, const std::string& path, void** view) {
    void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_PRIVATE,
                     fd_of(handle), 0);
    if (p == MAP_FAILED) {
        return errno;
    }
    const std::string message =
        error_message(path, "could not read", "it shrank or its device failed while in use") + "\n";
    const std::size_t length = std::min(message.size(), sizeof lost_page_message);
    lost_page_message_length.store(0);
    std::memcpy(lost_page_message, message.data(), length);
    lost_page_message_length.store(length);
    *view = p;
    return 0;
}

void sys::unmap_view(void* view, std::size_t size) {
    ::munmap(view, size);
}

// ---------------------------------------------------------------------------
// Writing.

int sys::create_new(const std::string& path, bool owner_only, std::intptr_t* handle) {
    const int fd =
        open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, owner_only ? 0600 : 0666);
    if (fd < 0) {
        return errno;
    }
    *handle = fd;
    return 0;
}

int sys::open_for_writing(const std::string& path, std::intptr_t* handle) {
    const int fd = open_retrying(path.c_str(), O_WRONLY);
    if (fd < 0) {
        return errno;
    }
    *handle = fd;
    return 0;
}

long long sys::write_some(std::intptr_t handle, const std::uint8_t* data, std::size_t size,
                          int* error) {
    for (;;) {
        const ssize_t n = ::write(fd_of(handle), data, size);
        if (n >= 0 || errno != EINTR) {
            *error = errno;
            return n;
        }
    }
}

int sys::copy_in_system(std::intptr_t source, std::uint64_t offset, std::intptr_t target,
                        const std::uint64_t* target_offset, std::uint64_t length,
                        std::uint64_t* copied) {
    while (*copied < length) {
        off_t from = static_cast<off_t>(offset + *copied);
        off_t to = target_offset != nullptr ? static_cast<off_t>(*target_offset + *copied) : 0;
        const ssize_t n = ::copy_file_range(fd_of(source), &from, fd_of(target),
                                            target_offset != nullptr ? &to : nullptr,
                                            length - *copied, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // File systems or kernels that cannot copy between this pair of
        // files: through memory instead.
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                      errno == EBADF)) {
            return -1;
        }
        if (n < 0) {
            return errno;
        }
        if (n == 0) {
            return 0;  // the source ended
        }
        *copied += static_cast<std::uint64_t>(n);
    }
    return 0;
}

long long sys::write_some_at(std::intptr_t handle, std::uint64_t offset, const std::uint8_t* data,
                             std::size_t size, int* error) {
    for (;;) {
        const ssize_t n = ::pwrite(fd_of(handle), data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *error = errno;
        }
        return n;
    }
}

int sys::set_file_size(std::intptr_t handle, std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return EFBIG;
    }
    int returned;
    do {
        returned = ::ftruncate(fd_of(handle), static_cast<off_t>(size));
    } while (returned != 0 && errno == EINTR);
    return result(returned);
}

int sys::next_data(std::intptr_t handle, std::uint64_t offset, std::uint64_t size,
                   std::uint64_t* start, std::uint64_t* end) {
    *start = offset;
    *end = size;
    const off_t data = ::lseek(fd_of(handle), static_cast<off_t>(offset), SEEK_DATA);
    if (data < 0) {
        if (errno == ENXIO) {
            *start = size;  // only a hole from here on
            return 0;
        }
        return errno == EINVAL || errno == EOPNOTSUPP ? 0 : errno;  // else: no way to tell
    }
    const off_t hole = ::lseek(fd_of(handle), data, SEEK_HOLE);
    if (hole < 0) {
        return errno;
    }
    *start = std::min(static_cast<std::uint64_t>(data), size);
    *end = std::min(static_cast<std::uint64_t>(hole), size);
    return 0;
}

int sys::grow_file(std::intptr_t handle, std::uint64_t size) {
    struct stat st;
    if (::fstat(fd_of(handle), &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return EFBIG;
    }
    if (::ftruncate(fd_of(handle), static_cast<off_t>(size)) != 0 ||
        ::lseek(fd_of(handle), static_cast<off_t>(size), SEEK_SET) < 0) {
        return errno;
    }
    return 0;
}

int sys::handle_kept(std::intptr_t handle, Kept* out) {
    struct stat st;
    if (::fstat(fd_of(handle), &st) != 0) {
        return errno;
    }
    *out = {S_ISREG(st.st_mode), static_cast<std::uint32_t>(st.st_mode & 07777),
            static_cast<std::uint32_t>(st.st_uid), static_cast<std::uint32_t>(st.st_gid)};
    return 0;
}

bool sys::ends_before(std::intptr_t handle, std::uint64_t end) {
    struct stat st;
    return ::fstat(fd_of(handle), &st) == 0 && static_cast<std::uint64_t>(st.st_size) < end;
}

int sys::finish_file(std::intptr_t handle, bool durable, bool is_file, const Kept& kept) {
    const int fd = fd_of(handle);
    if (kept.known) {
        // The replacement takes the owner (which only a privileged user may
        // give away, so a failure is not an error) and then the permission
        // bits of the file it replaces, since chown may clear some. One look
        // first saves both changes in the common case.
        struct stat made;
        const bool known = ::fstat(fd, &made) == 0;
        if (!known || made.st_uid != kept.owner || made.st_gid != kept.group) {
            [[maybe_unused]] const int owned = ::fchown(fd, kept.owner, kept.group);
        }
        ::fchmod(fd, static_cast<mode_t>(kept.bits));
    }
    // A device may not support flushing; only files must reach the disk.
    if (durable && is_file && ::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    return result(::close(fd));
}

void sys::close_handle(std::intptr_t handle) {
    ::close(fd_of(handle));
}

// ---------------------------------------------------------------------------
// Names of files.

int sys::link_file(const std::string& existing, const std::string& link) {
    return result(::link(existing.c_str(), link.c_str()));
}

int sys::replace(const std::string& from, const std::string& to, const Kept&, bool) {
    return result(::rename(from.c_str(), to.c_str()));
}

int sys::move_aside(const std::string& from, const std::string& to) {
    // link + unlink would need hard links, which is why the file moves.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) {
        return EEXIST;
    }
    return result(::rename(from.c_str(), to.c_str()));
}

int sys::remove_file(const std::string& path) {
    return result(::unlink(path.c_str()));
}

void sys::restore_kept(const std::string&, const Kept&) {}

int sys::check_replaceable(const std::string&) {
    return 0;
}

void sys::sync_folder_of(const std::string& path) {
    std::string dir, base;
    split_path(path, &dir, &base);
    const int fd = open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

int sys::make_folder(const std::string& path) {
    return result(::mkdir(path.c_str(), 0777));
}

// ---------------------------------------------------------------------------
// The commit journal, held with an advisory lock (flock), which the system
// lets go when the process holding it dies.

int sys::create_journal(const std::string& path, std::intptr_t* handle) {
    const int fd = open_retrying(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        return errno;
    }
    // A recovery that opened the file in the instant between its making and
    // this lock may hold it; once it lets go, the file may be gone.
    struct stat st;
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    if (::fstat(fd, &st) != 0 || st.st_nlink == 0) {
        ::close(fd);
        return EAGAIN;
    }
    *handle = fd;
    return 0;
}

int sys::take_journal(const std::string& path, std::intptr_t* handle) {
    const int fd = open_retrying(path.c_str(), O_RDWR);
    if (fd < 0) {
        return errno == ENOENT || errno == ENOTDIR ? ENOENT : errno;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? EBUSY : error;
    }
    // Removed by the run that held it, just before this one took it.
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_nlink == 0) {
        ::close(fd);
        return ENOENT;
    }
    *handle = fd;
    return 0;
}

int sys::flush_file(std::intptr_t handle) {
    return result(::fsync(fd_of(handle)));
}

int sys::remove_journal(const std::string& path, std::intptr_t handle) {
    const int error = result(::unlink(path.c_str()));
    ::close(fd_of(handle));  // lets the lock go only once the name is gone
    return error;
}

int sys::hold_lock(const std::string& path, std::intptr_t* handle) {
    const int fd = open_retrying(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? EBUSY : error;
    }
    *handle = fd;
    return 0;
}

void sys::pause_for(unsigned milliseconds) {
    const struct timespec moment = {static_cast<time_t>(milliseconds / 1000),
                                    static_cast<long>(milliseconds % 1000) * 1'000'000};
    ::nanosleep(&moment, nullptr);
}

// ---------------------------------------------------------------------------
// Unfinished outputs, removed when the run is interrupted
// (common/platform/unfinished_files.h), and the signal handler.

namespace {

constinit UnfinishedFiles<char, 2048, PATH_MAX> unfinished;
// The first folders a run makes: its output folders, which an interruption
// must not leave behind empty. Their slots are never given back.
constinit UnfinishedFiles<char, 64, PATH_MAX> made_folders;
std::atomic<bool> stopping{false};

// Commits renaming at the moment, and the interruption that came meanwhile.
std::atomic<int> commits{0};
std::atomic<int> deferred_signal{0};

void remove_unfinished_files() {
    static char path[PATH_MAX];
    unfinished.remove_all(path, [](const char* p) { ::unlink(p); });
}

void write_stderr(const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, length);
        if (n <= 0) {
            return;
        }
        text += n;
        length -= static_cast<std::size_t>(n);
    }
}

void write_stderr(const char* text) {
    write_stderr(text, std::strlen(text));
}

const char* signal_name(int signal) {
    return signal == SIGINT    ? "SIGINT"
           : signal == SIGTERM ? "SIGTERM"
           : signal == SIGHUP  ? "SIGHUP"
           : signal == SIGQUIT ? "SIGQUIT"
                               : "a signal";
}

// Removes the unfinished outputs once, whoever ends the run; a second
// caller waits for the end.
void stop_once() {
    if (stopping.exchange(true)) {
        for (;;) {
            ::pause();
        }
    }
    remove_unfinished_files();
    // A file another thread was creating in the same instant.
    const struct timespec moment = {0, 20'000'000};
    ::nanosleep(&moment, nullptr);
    remove_unfinished_files();
    static char folder[PATH_MAX];
    made_folders.remove_all(folder, [](const char* p) { ::rmdir(p); }, true);
}

// Only calls that are safe in a signal handler: fixed strings, write, _exit.
void on_fatal_signal(int signal) {
    if (signal != SIGBUS && commits.load() > 0) {
        // A commit decides: it puts everything back, or it is past its last
        // rename and ends the run when it is over.
        deferred_signal.store(signal);
        return;
    }
    stop_once();
    if (signal == SIGBUS && lost_page_message_length.load() > 0) {
        write_stderr(lost_page_message, lost_page_message_length.load());
    } else {
        write_stderr("Error: interrupted by ");
        write_stderr(signal_name(signal));
        write_stderr("; unfinished output files were removed, finished ones are complete\n");
    }
    ::_exit(255);
}

}  // namespace

int sys::register_unfinished(const std::string& path) {
    return unfinished.add(path.c_str(), path.size());
}

void sys::unregister_unfinished(int slot) {
    unfinished.remove(slot);
}

void sys::register_made_folder(const std::string& path) {
    made_folders.add(path.c_str(), path.size());
}

// A file created by a thread while the handler was already cleaning up would
// be missed; the thread removes it itself and waits for the end.
void sys::stop_if_interrupted(const std::string& path) {
    if (stopping.load()) {
        ::unlink(path.c_str());
        for (;;) {
            ::pause();
        }
    }
}

void sys::begin_commit() {
    commits.fetch_add(1);
}

void sys::end_commit() {
    if (commits.fetch_sub(1) == 1) {
        const int signal = deferred_signal.exchange(0);
        if (signal != 0) {
            on_fatal_signal(signal);
        }
    }
}

int sys::commit_interruption() {
    return deferred_signal.load();
}

void sys::exit_interrupted(const std::string& outcome) {
    stop_once();
    const std::string message =
        error_message(
            "", "interrupted by " + std::string(signal_name(deferred_signal.load())) + outcome) +
        "\n";
    write_stderr(message.data(), message.size());
    ::_exit(255);
}

void end_process_now() {
    ::kill(::getpid(), SIGKILL);
    for (;;) {
        ::pause();
    }
}

void install_interrupt_cleanup() {
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    sigfillset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGBUS}) {
        // A signal ignored when the run began (a run under nohup, or started
        // in the background by a shell) stays ignored.
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN &&
            signal != SIGBUS) {
            continue;
        }
        ::sigaction(signal, &action, nullptr);
    }
    // Writes to a closed pipe, or past a file-size limit, fail with an error
    // the tool reports, rather than ending the process on the spot.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

bool lies_in_memory(const std::string& path) {
#ifdef __linux__
    std::string folder, name;
    split_path(path, &folder, &name);
    struct statfs info;
    if (::statfs(folder.c_str(), &info) != 0) {
        return false;
    }
    constexpr unsigned long TMPFS = 0x01021994;  // TMPFS_MAGIC
    constexpr unsigned long RAMFS = 0x858458f6;  // RAMFS_MAGIC
    const auto type = static_cast<unsigned long>(info.f_type);
    return type == TMPFS || type == RAMFS;
#else
    (void)path;
    return false;
#endif
}

std::uint64_t available_memory() {
    std::uint64_t available = UINT64_MAX;
    const long page = ::sysconf(_SC_PAGESIZE);
    // Linux's MemAvailable counts the page cache the system would give up
    // as well as the free pages; elsewhere the free pages alone.
    bool known = false;
    if (std::FILE* info = std::fopen("/proc/meminfo", "r")) {
        char line[128];
        unsigned long long kib = 0;
        while (!known && std::fgets(line, sizeof line, info) != nullptr) {
            known = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        }
        std::fclose(info);
        if (known) {
            available = std::uint64_t{kib} * 1024;
        }
    }
#ifdef _SC_AVPHYS_PAGES
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    if (!known && pages > 0 && page > 0) {
        available = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
    }
#endif
    // A limit on the address space leaves what the process does not use yet.
    struct rlimit limit;
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        std::uint64_t used = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            unsigned long long size = 0;
            if (std::fscanf(statm, "%llu", &size) == 1 && page > 0) {
                used = std::uint64_t{size} * static_cast<std::uint64_t>(page);
            }
            std::fclose(statm);
        }
        const std::uint64_t cap = limit.rlim_cur;
        available = std::min(available, cap > used ? cap - used : 0);
    }
    return available;
}

// ---------------------------------------------------------------------------
// Folder listings and the terminal.

bool list_folder(const std::string& path, std::vector<std::string>* names, std::string* err) {
    names->clear();
    DIR* folder = ::opendir(path.c_str());
    if (folder == nullptr) {
        *err = error_message(path, "could not read the folder", system_message(errno));
        return false;
    }
    for (;;) {
        errno = 0;
        const struct dirent* entry = ::readdir(folder);
        if (entry == nullptr) {
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names->emplace_back(name);
        }
    }
    const int error = errno;
    ::closedir(folder);
    if (error != 0) {
        *err = error_message(path, "could not read the folder", system_message(error));
        return false;
    }
    std::sort(names->begin(), names->end());
    return true;
}

bool standard_error_is_terminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

bool remove_empty_folder(const std::string& path) {
    return ::rmdir(path.c_str()) == 0;
}

// One folder of the folder walk: readdir, and lstat where the entry's type
// is not given.
bool list_one_folder(const std::string& folder, std::vector<FolderEntry>* files,
                     std::vector<std::string>* folders, std::string* err) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        *err = could_not_list_folder(folder, errno);
        return false;
    }
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) {
                *err = could_not_list_folder(folder, errno);
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
                    *err = could_not_list_folder(folder + "/" + name, errno);
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
