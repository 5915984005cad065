#include "common/file_helpers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string open_failure_message(const std::string& path, int errnum) {
    return "Could not open " + path + " (" + std::strerror(errnum) + ")";
}

int open_file(const std::string& path, int flags, mode_t mode, std::string* err) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *err = open_failure_message(path, errno);
    }
    return fd;
}

int open_or_exit(const std::string& path, int flags, mode_t mode) {
    std::string err;
    int fd = open_file(path, flags, mode, &err);
    if (fd < 0) {
        std::fprintf(stderr, "%s\n", err.c_str());
        std::exit(-1);
    }
    return fd;
}

std::int64_t fd_size(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(st.st_size);
}

bool read_exact_at(int fd, std::uint64_t offset, std::span<std::uint8_t> out,
                   const std::string& path, std::string* err) {
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n =
            ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *err = "Error: could not read " + path + " (" + std::strerror(errno) + ")";
            return false;
        }
        if (n == 0) {
            *err = "Error: " + path + " ended early: expected " + std::to_string(out.size()) +
                   " bytes at offset " + std::to_string(offset) + ", got " + std::to_string(done);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool read_whole_fd(int fd, const std::string& path, ByteBuffer* out, std::string* err) {
    std::int64_t size = fd_size(fd);
    if (size < 0) {
        *err = "Error: could not read " + path + " (" + std::strerror(errno) + ")";
        return false;
    }
    out->resize(static_cast<std::size_t>(size));
    return read_exact_at(fd, 0, *out, path, err);
}

bool read_whole_file(const std::string& path, ByteBuffer* out, std::string* err) {
    int fd = open_file(path, READ_FLAGS, 0, err);
    if (fd < 0) {
        return false;
    }
    bool ok = read_whole_fd(fd, path, out, err);
    ::close(fd);
    return ok;
}

namespace {

// The message for a mapped file that lost pages, kept ready so that the
// signal handler only has to write it.
char mapped_file_message[8192];
std::size_t mapped_file_message_length = 0;

void on_lost_page(int) {
    [[maybe_unused]] ssize_t ignored =
        ::write(STDERR_FILENO, mapped_file_message, mapped_file_message_length);
    ::_exit(255);
}

void guard_mapped_file(const std::string& path) {
    const std::string message = "Error: could not read " + path +
                                " (it shrank or its device failed while in use)\n";
    mapped_file_message_length = std::min(message.size(), sizeof mapped_file_message);
    std::memcpy(mapped_file_message, message.data(), mapped_file_message_length);
    struct sigaction action {};
    action.sa_handler = on_lost_page;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

MappedFile::~MappedFile() {
    if (mapped_) {
        ::munmap(data_, size_);
    }
}

bool MappedFile::open(const std::string& path, std::string* err) {
    const int fd = open_file(path, READ_FLAGS, 0, err);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) {
            ::close(fd);
            guard_mapped_file(path);
            data_ = static_cast<std::uint8_t*>(p);
            size_ = static_cast<std::size_t>(st.st_size);
            mapped_ = true;
            return true;
        }
    }
    const bool ok = read_whole_fd(fd, path, &copy_, err);
    ::close(fd);
    data_ = copy_.data();
    size_ = copy_.size();
    return ok;
}

bool write_whole_file(const std::string& path, std::span<const std::uint8_t> data,
                      std::string* err) {
    AtomicFile file;
    return file.open(path, err) && file.write(data, err) && file.commit(false, err);
}

bool copy_to_whole_file(int source, std::uint64_t offset, std::uint64_t length,
                        const std::string& source_path, const std::string& path, std::string* err) {
    AtomicFile file;
    return file.open(path, err, AtomicFile::NewTarget::in_place) &&
           file.copy_from(source, offset, length, source_path, err) && file.commit(false, err);
}

void ensure_parent_dirs(const std::string& path) {
    FolderMaker().make_parents(path);
}

void FolderMaker::make_parents(const std::string& path) {
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
        ::mkdir(folder.c_str(), DIRECTORY_MODE);
        known_.insert(std::move(folder));
    }
}

namespace {

std::atomic<unsigned> temp_counter{0};

// The folder part of `path` ("." when it has none) and its last component.
void split_path(const std::string& path, std::string* dir, std::string* base) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        *dir = ".";
        *base = path;
    } else {
        *dir = slash == 0 ? "/" : path.substr(0, slash);
        *base = path.substr(slash + 1);
    }
}

}  // namespace

AtomicFile::~AtomicFile() {
    discard();
}

bool AtomicFile::open(const std::string& target, std::string* err, NewTarget new_target) {
    discard();
    target_ = target;
    size_ = 0;
    in_place_ = false;
    replaces_ = false;
    std::string dir, base;
    split_path(target, &dir, &base);
    if (base.empty()) {
        *err = open_failure_message(target, target.empty() ? ENOENT : EISDIR);
        return false;
    }
    if (new_target == NewTarget::in_place) {
        // When nothing is there, nothing needs protecting: the file is
        // written under its own name, and O_EXCL makes sure nothing was.
        fd_ = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, CREATE_MODE);
        if (fd_ >= 0) {
            temp_path_ = target;
            in_place_ = true;
            return true;
        }
        if (errno != EEXIST) {
            *err = open_failure_message(target, errno);
            return false;
        }
    }
    struct stat st;
    mode_t keep_mode = 0;
    bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists) {
        if (S_ISDIR(st.st_mode)) {
            *err = open_failure_message(target, EISDIR);
            return false;
        }
        keep_mode = st.st_mode & 07777;
    }
    replaces_ = exists;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_path_ = dir + "/." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
                     std::to_string(temp_counter++);
        fd_ = ::open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, CREATE_MODE);
        if (fd_ >= 0 || errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0) {
        *err = open_failure_message(target, errno);
        temp_path_.clear();
        return false;
    }
    if (exists) {
        ::fchmod(fd_, keep_mode);
    }
    return true;
}

bool AtomicFile::write(std::span<const std::uint8_t> data, std::string* err) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *err = "Error: could not write " + target_ + " (" +
                   std::strerror(n < 0 ? errno : ENOSPC) + ")";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    size_ += data.size();
    return true;
}

bool AtomicFile::copy_from(int source, std::uint64_t offset, std::uint64_t length,
                           const std::string& source_path, std::string* err) {
    std::uint64_t done = 0;
    auto ended_early = [&] {
        *err = "Error: " + source_path + " ended early: expected " + std::to_string(length) +
               " bytes at offset " + std::to_string(offset) + ", got " + std::to_string(done);
        return false;
    };
    bool in_kernel = true;
    auto copy_failed = [&] {
        *err = (in_kernel ? "Error: could not copy " + source_path + " to " + target_
                          : "Error: could not read " + source_path) +
               " (" + std::strerror(errno) + ")";
        return false;
    };
    // In-kernel copying first; file systems or kernels that cannot do it for
    // this pair of files fall back to reading and writing through a buffer.
    std::vector<std::uint8_t> buffer;
    while (done < length) {
        ssize_t n;
        if (in_kernel) {
            off_t from = static_cast<off_t>(offset + done);
            n = ::copy_file_range(source, &from, fd_, nullptr, length - done, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                          errno == EOPNOTSUPP || errno == EBADF)) {
                in_kernel = false;
                continue;
            }
        } else {
            buffer.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(length - done, 1 << 20)));
            n = ::pread(source, buffer.data(), buffer.size(), static_cast<off_t>(offset + done));
            if (n > 0 && !write({buffer.data(), static_cast<std::size_t>(n)}, err)) {
                return false;
            }
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return copy_failed();
        }
        if (n == 0) {
            return ended_early();
        }
        done += static_cast<std::uint64_t>(n);
        if (in_kernel) {
            size_ += static_cast<std::uint64_t>(n);
        }
    }
    return true;
}

bool AtomicFile::finish(bool durable, std::string* err) {
    if (durable && ::fsync(fd_) != 0) {
        *err = "Error: could not write " + target_ + " (" + std::strerror(errno) + ")";
        return false;
    }
    int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) {
        *err = "Error: could not write " + target_ + " (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

bool AtomicFile::commit(bool durable, std::string* err) {
    if (fd_ >= 0 && !finish(durable, err)) {
        return false;
    }
    if (!in_place_ && ::rename(temp_path_.c_str(), target_.c_str()) != 0) {
        *err = "Error: could not replace " + target_ + " (" + std::strerror(errno) + ")";
        return false;
    }
    temp_path_.clear();
    return true;
}

void AtomicFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_path_.empty()) {
        ::unlink(temp_path_.c_str());
        temp_path_.clear();
    }
}
