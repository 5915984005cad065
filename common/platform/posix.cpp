// The file layer on Linux and other POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
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

void FileHandle::close() {
    if (native_ != -1) {
        ::close(static_cast<int>(native_));
        native_ = -1;
    }
}

namespace {

int fd_of(const FileHandle& file) {
    return static_cast<int>(file.native());
}

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
    return S_ISDIR(st.st_mode) ? FileKind::directory : FileKind::other;
}

// ---------------------------------------------------------------------------
// Unfinished outputs, removed when the run is interrupted
// (common/platform/unfinished_files.h).

constinit UnfinishedFiles<char, 2048, PATH_MAX> unfinished;
std::atomic<bool> stopping{false};

// Claims a slot for `path`; -1 when the path is too long to hold (no file can
// be made there either) or every slot is taken.
int register_unfinished(const std::string& path) {
    return unfinished.add(path.c_str(), path.size());
}

void unregister_unfinished(int i) {
    unfinished.remove(i);
}

void remove_unfinished_files() {
    static char path[PATH_MAX];
    unfinished.remove_all(path, [](const char* p) { ::unlink(p); });
}

// A file created by a thread while the handler was already cleaning up would
// be missed; the thread removes it itself and waits for the end.
void stop_if_interrupted(const char* path) {
    if (stopping.load()) {
        ::unlink(path);
        for (;;) {
            ::pause();
        }
    }
}

// Messages the handler writes, prepared where allocation is allowed.
char lost_page_message[PATH_MAX + 128];
std::atomic<std::size_t> lost_page_message_length{0};

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

void on_fatal_signal(int signal) {
    if (stopping.exchange(true)) {
        // A second signal while cleaning up: the first handler finishes the job.
        for (;;) {
            ::pause();
        }
    }
    remove_unfinished_files();
    // A file another thread was creating in the same instant.
    const struct timespec moment = {0, 20'000'000};
    ::nanosleep(&moment, nullptr);
    remove_unfinished_files();
    if (signal == SIGBUS && lost_page_message_length.load() > 0) {
        write_stderr(lost_page_message, lost_page_message_length.load());
    } else {
        const char* name = signal == SIGINT    ? "SIGINT"
                           : signal == SIGTERM ? "SIGTERM"
                           : signal == SIGHUP  ? "SIGHUP"
                           : signal == SIGQUIT ? "SIGQUIT"
                                               : "a signal";
        char text[160];
        const int n = std::snprintf(text, sizeof text,
                                    "Error: interrupted by %s; unfinished output files were "
                                    "removed, finished ones are complete\n",
                                    name);
        write_stderr(text, static_cast<std::size_t>(std::max(n, 0)));
    }
    ::_exit(255);
}

// Holds the fatal signals back while a group of renames runs, so that an
// interruption can never leave half of them done.
class SignalBlock {
  public:
    SignalBlock() {
        sigset_t all;
        sigfillset(&all);
        // Faults are never held back: they would end the process on the spot.
        for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) {
            sigdelset(&all, fault);
        }
        ::pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~SignalBlock() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

  private:
    sigset_t saved_;
};

}  // namespace

void install_interrupt_cleanup() {
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    sigfillset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGBUS}) {
        ::sigaction(signal, &action, nullptr);
    }
    // Writes to a closed pipe, or past a file-size limit, fail with an error
    // the tool reports, rather than ending the process on the spot.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
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

std::string path_key(std::string_view path) {
    return std::string(path);
}

bool file_status(const std::string& path, FileStatus* out, std::string* err, bool follow_links) {
    struct stat st;
    if ((follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            *out = FileStatus{};
            return true;
        }
        *err = "Error: " + path + ": could not look at the file (" + system_message(errno) + ")";
        return false;
    }
    out->kind = S_ISLNK(st.st_mode) ? FileKind::link : kind_of(st);
    out->id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    out->size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool open_input(const std::string& path, FileHandle* file, std::uint64_t* size, std::string* err) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer that may never come.
    const int fd = open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        *err = open_failure_message(path, errno);
        return false;
    }
    FileHandle handle(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *err = read_error(path, errno);
        return false;
    }
    const std::string refusal = not_a_file(path, kind_of(st));
    if (!refusal.empty()) {
        *err = refusal;
        return false;
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    *file = std::move(handle);
    return true;
}

bool read_exact_at(const FileHandle& file, std::uint64_t offset, std::span<std::uint8_t> out,
                   const std::string& path, std::string* err) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd_of(file), out.data() + done, out.size() - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *err = read_error(path, errno);
            return false;
        }
        if (n == 0) {
            *err = "Error: " + path + ": ended early: expected " + std::to_string(out.size()) +
                   " bytes at offset " + hex(offset) + ", got " + std::to_string(done);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool read_stream(const std::string& path, std::string* out, std::string* err) {
    const int fd = open_retrying(path.c_str(), O_RDONLY);
    if (fd < 0) {
        *err = open_failure_message(path, errno);
        return false;
    }
    FileHandle file(fd);
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        *err = not_a_file(path, FileKind::directory);
        return false;
    }
    out->clear();
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        out->reserve(static_cast<std::size_t>(st.st_size));
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *err = read_error(path, errno);
            return false;
        }
        if (n == 0) {
            return true;
        }
        out->append(buffer, static_cast<std::size_t>(n));
    }
}

bool MappedFile::open(const std::string& path, std::string* err) {
    close();
    FileHandle file;
    std::uint64_t size = 0;
    if (!open_input(path, &file, &size, err)) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    if (size > SIZE_MAX) {
        *err = read_error(path, EFBIG);
        return false;
    }
    void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_PRIVATE,
                     fd_of(file), 0);
    if (p == MAP_FAILED) {
        *err = read_error(path, errno);
        return false;
    }
    const std::string message =
        "Error: " + path + ": could not read (it shrank or its device failed while in use)\n";
    const std::size_t length = std::min(message.size(), sizeof lost_page_message);
    lost_page_message_length.store(0);
    std::memcpy(lost_page_message, message.data(), length);
    lost_page_message_length.store(length);
    data_ = static_cast<std::uint8_t*>(p);
    size_ = static_cast<std::size_t>(size);
    return true;
}

void MappedFile::close() {
    if (data_ != nullptr) {
        ::munmap(data_, size_);
        data_ = nullptr;
        size_ = 0;
    }
}

bool FolderMaker::make_parents(const std::string& path, std::string* err) {
    // The folders to make, deepest first: every prefix ending just before a
    // separator, up to the deepest one already known to exist.
    std::vector<std::size_t> ends;
    for (std::size_t end = path.find_last_of("/\\"); end != std::string::npos && end > 0;
         end = path.find_last_of("/\\", end - 1)) {
        if (known_.contains(path.substr(0, end))) {
            break;
        }
        ends.push_back(end);
    }
    for (auto end = ends.rbegin(); end != ends.rend(); ++end) {
        std::string folder = path.substr(0, *end);
        if (::mkdir(folder.c_str(), 0777) != 0) {
            const int error = errno;
            struct stat st;
            if (error != EEXIST || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                *err = "Error: " + folder + ": could not create the folder (" +
                       (error == EEXIST ? std::string("a file of that name is in the way")
                                        : system_message(error)) +
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

// Where data written to `path` lands: the file at the end of its chain of
// symbolic links (which need not exist yet).
std::string resolve_links(const std::string& path) {
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

// A name beside `path` for a file of this run, short enough to fit in any
// folder whatever the length of the target's own name.
std::string sibling_name(const std::string& path, const char* suffix) {
    std::string dir, base;
    split_path(path, &dir, &base);
    static const pid_t pid = ::getpid();  // the names need only differ from other runs'
    return dir + "/.suite-" + std::to_string(pid) + "-" + std::to_string(temp_counter++) +
           suffix;
}

void sync_folder_of(const std::string& path) {
    std::string dir, base;
    split_path(path, &dir, &base);
    const int fd = open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

// When nothing is at the target, nothing needs protecting: the file is
// written under its own name, and O_EXCL makes sure nothing was there. False
// with `err` empty when something is there after all.
bool AtomicFile::open_new_in_place(std::string* err) {
    err->clear();
    cleanup_slot_ = register_unfinished(final_path_);
    const int fd = open_retrying(final_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
        fd_ = fd;
        temp_path_ = final_path_;
        in_place_ = true;
        stop_if_interrupted(temp_path_.c_str());
        return true;
    }
    const int error = errno;
    unregister_unfinished(cleanup_slot_);
    cleanup_slot_ = -1;
    if (error != EEXIST) {
        *err = open_failure_message(target_, error);
    }
    return false;
}

bool AtomicFile::open(const std::string& target, std::string* err, NewTarget new_target,
                      Target kind) {
    discard();
    target_ = target;
    size_ = 0;
    in_place_ = false;
    replaces_ = false;
    if (target.empty()) {
        *err = open_failure_message(target, ENOENT);
        return false;
    }
    final_path_ = kind == Target::named ? resolve_links(target) : target;
    if (kind == Target::tree && new_target == NewTarget::in_place &&
        open_new_in_place(err)) {
        return true;  // most files of an extraction are new: no look first
    }
    struct stat st;
    const bool exists = (kind == Target::named ? ::stat(final_path_.c_str(), &st)
                                               : ::lstat(final_path_.c_str(), &st)) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        *err = open_failure_message(target, EISDIR);
        return false;
    }
    if (exists && kind == Target::tree && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        *err = "Error: " + target + ": a device or pipe stands where the file goes";
        return false;
    }
    if (exists && kind == Target::named && !S_ISREG(st.st_mode)) {
        // A device or FIFO takes the data as it comes; there is nothing to replace.
        const int fd = open_retrying(final_path_.c_str(), O_WRONLY);
        if (fd < 0) {
            *err = open_failure_message(target, errno);
            return false;
        }
        fd_ = fd;
        in_place_ = true;
        return true;
    }
    if (!exists && new_target == NewTarget::in_place) {
        if (open_new_in_place(err)) {
            return true;
        }
        if (!err->empty()) {
            return false;
        }
        // Something appeared meanwhile: replace it like any existing file.
        return open(target, err, NewTarget::via_temporary, kind);
    }
    replaces_ = exists;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp_path_ = sibling_name(final_path_, ".tmp");
        cleanup_slot_ = register_unfinished(temp_path_);
        fd = open_retrying(temp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd < 0) {
            const int error = errno;
            unregister_unfinished(cleanup_slot_);
            cleanup_slot_ = -1;
            if (error != EEXIST) {
                temp_path_.clear();
                *err = open_failure_message(target, error);
                return false;
            }
        }
    }
    if (fd < 0) {
        temp_path_.clear();
        *err = open_failure_message(target, EEXIST);
        return false;
    }
    fd_ = fd;
    stop_if_interrupted(temp_path_.c_str());
    if (exists && S_ISREG(st.st_mode)) {
        // The replacement looks like the file it replaces: owner (which only
        // a privileged user may give away, so a failure is not an error) and
        // permission bits, set after the owner since chown may clear them.
        // Usually the new file has both already; one look saves two changes.
        struct stat made;
        const bool known = ::fstat(fd, &made) == 0;
        if (!known || made.st_uid != st.st_uid || made.st_gid != st.st_gid) {
            [[maybe_unused]] const int owned = ::fchown(fd, st.st_uid, st.st_gid);
        }
        if (!known || made.st_uid != st.st_uid || made.st_gid != st.st_gid ||
            (made.st_mode & 07777) != (st.st_mode & 07777)) {
            ::fchmod(fd, st.st_mode & 07777);
        }
    }
    return true;
}

bool AtomicFile::write(std::span<const std::uint8_t> data, std::string* err) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(static_cast<int>(fd_), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *err = write_error(target_, n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    size_ += data.size();
    return true;
}

bool AtomicFile::copy_from(const FileHandle& source, std::uint64_t offset, std::uint64_t length,
                           const std::string& source_path, std::string* err) {
    std::uint64_t done = 0;
    bool in_kernel = true;
    std::vector<std::uint8_t> buffer;
    while (done < length) {
        ssize_t n;
        if (in_kernel) {
            off_t from = static_cast<off_t>(offset + done);
            n = ::copy_file_range(fd_of(source), &from, static_cast<int>(fd_), nullptr,
                                  length - done, 0);
            // File systems or kernels that cannot copy between this pair of
            // files fall back to reading and writing through a buffer.
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                          errno == EOPNOTSUPP || errno == EBADF)) {
                in_kernel = false;
                continue;
            }
            if (n < 0 && errno != EINTR) {
                const int error = errno;
                // Tell a failing source from a failing target.
                struct stat st;
                *err = ::fstat(fd_of(source), &st) == 0 &&
                               static_cast<std::uint64_t>(st.st_size) < offset + length
                           ? "Error: " + source_path + ": ended early: expected " +
                                 std::to_string(length) + " bytes at offset " + hex(offset) +
                                 ", got " + std::to_string(done)
                           : write_error(target_, error);
                return false;
            }
        } else {
            buffer.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(length - done, 1 << 20)));
            n = ::pread(fd_of(source), buffer.data(), buffer.size(),
                        static_cast<off_t>(offset + done));
            if (n < 0 && errno != EINTR) {
                *err = read_error(source_path, errno);
                return false;
            }
            if (n > 0 && !write({buffer.data(), static_cast<std::size_t>(n)}, err)) {
                return false;
            }
        }
        if (n < 0) {
            continue;  // interrupted
        }
        if (n == 0) {
            *err = "Error: " + source_path + ": ended early: expected " + std::to_string(length) +
                   " bytes at offset " + hex(offset) + ", got " + std::to_string(done);
            return false;
        }
        done += static_cast<std::uint64_t>(n);
        if (in_kernel) {
            size_ += static_cast<std::uint64_t>(n);
        }
    }
    return true;
}

bool AtomicFile::finish(bool durable, std::string* err) {
    if (fd_ < 0) {
        return true;
    }
    const int fd = static_cast<int>(fd_);
    fd_ = -1;
    // A device may not support flushing; only files must reach the disk.
    if (durable && !temp_path_.empty() && ::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        *err = write_error(target_, error);
        return false;
    }
    if (::close(fd) != 0) {
        *err = write_error(target_, errno);
        return false;
    }
    return true;
}

bool AtomicFile::commit(bool durable, std::string* err) {
    if (!finish(durable, err)) {
        return false;
    }
    if (!in_place_ && !temp_path_.empty()) {
        if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) {
            *err = "Error: " + target_ + ": could not replace the file (" + system_message(errno) +
                   ")";
            return false;
        }
        if (durable) {
            sync_folder_of(final_path_);
        }
    }
    unregister_unfinished(cleanup_slot_);
    cleanup_slot_ = -1;
    temp_path_.clear();
    return true;
}

void AtomicFile::discard() {
    if (fd_ >= 0) {
        ::close(static_cast<int>(fd_));
        fd_ = -1;
    }
    if (!temp_path_.empty()) {
        ::unlink(temp_path_.c_str());
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
    const SignalBlock hold;
    // The old file of each target that is replaced, under a second name.
    struct Step {
        AtomicFile* file;
        std::string backup;  ///< empty when the target does not exist
        bool aside = false;  ///< the backup is made by moving the target (no hard links)
        bool renamed = false;
        bool moved_aside = false;
    };
    std::vector<Step> steps;
    for (AtomicFile* file : files) {
        Step step{file, {}};
        struct stat st;
        if (!file->in_place_ && ::lstat(file->final_path_.c_str(), &st) == 0) {
            step.backup = sibling_name(file->final_path_, ".old");
            if (::link(file->final_path_.c_str(), step.backup.c_str()) != 0) {
                step.aside = true;  // a file system without hard links, or a file that refuses one
            }
        }
        steps.push_back(std::move(step));
    }
    auto remove_backups = [&] {
        for (Step& step : steps) {
            if (!step.backup.empty() && !step.aside) {
                ::unlink(step.backup.c_str());
            }
        }
    };

    for (std::size_t i = 0; i < steps.size(); ++i) {
        Step& step = steps[i];
        AtomicFile& file = *step.file;
        if (file.in_place_ || file.temp_path_.empty()) {
            continue;
        }
        int error = 0;
        if (step.aside) {
            if (::rename(file.final_path_.c_str(), step.backup.c_str()) == 0) {
                step.moved_aside = true;
            } else {
                error = errno;
            }
        }
        if (error == 0 && ::rename(file.temp_path_.c_str(), file.final_path_.c_str()) != 0) {
            error = errno;
        }
        if (error == 0) {
            step.renamed = true;
            continue;
        }
        // Put back what was replaced, newest first.
        *err = "Error: " + file.target_ + ": could not replace the file (" + system_message(error) +
               ")";
        std::string stuck;
        for (std::size_t j = i + 1; j-- > 0;) {
            Step& done = steps[j];
            if (!done.renamed && !done.moved_aside) {
                continue;
            }
            if (::rename(done.backup.c_str(), done.file->final_path_.c_str()) != 0) {
                stuck += "; " + done.file->target_ + " could not be put back (" +
                         system_message(errno) + "): it " +
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
    // Each folder that got a new name reaches the disk once, however many
    // of the targets lie in it.
    std::unordered_set<std::string> synced;
    for (Step& step : steps) {
        if (step.aside && step.moved_aside) {
            ::unlink(step.backup.c_str());
        }
        if (durable && step.renamed) {
            std::string dir, base;
            split_path(step.file->final_path_, &dir, &base);
            if (synced.insert(dir).second) {
                sync_folder_of(step.file->final_path_);
            }
        }
        unregister_unfinished(step.file->cleanup_slot_);
        step.file->cleanup_slot_ = -1;
        step.file->temp_path_.clear();
    }
    return true;
}
