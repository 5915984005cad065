// File helpers shared by every tool of the suite.
//
// Binary files go through POSIX descriptors. Functions that can fail return
// false (or -1) and fill `err` with the complete message to print; only a
// tool's `main` prints, and it then ends with status -1. `open_or_exit` is the
// one helper that ends the process itself, for inputs opened before anything
// has been written.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/byte_buffer.h"
#include "common/byte_reader.h"

/// The unit in which RPK.BIN and the .fp packs address file data.
inline constexpr std::uint32_t SECTOR_SIZE = 2048;
inline constexpr unsigned SECTOR_SHIFT = 11;

/// Byte offset of a sector number.
constexpr std::uint64_t sector_offset(std::uint32_t sector) {
    return static_cast<std::uint64_t>(sector) << SECTOR_SHIFT;
}

/// A byte length rounded up to whole sectors, without 32-bit wrap-around.
constexpr std::uint64_t round_up_to_sector(std::uint64_t length) {
    return (length + SECTOR_SIZE - 1) & ~static_cast<std::uint64_t>(SECTOR_SIZE - 1);
}

/// Flags and permission of the two open modes: read-only, and
/// write/create/truncate with the ordinary permissions of a read-write file
/// (0666 less the umask).
inline constexpr int READ_FLAGS = 00;  // O_RDONLY
inline constexpr mode_t CREATE_MODE = 0666;
inline constexpr mode_t DIRECTORY_MODE = 0777;

/// "Could not open <path> (<system message>)": the suite's open-failure message.
std::string open_failure_message(const std::string& path, int errnum);

/// Opens `path`; on failure returns -1 with the open-failure message in `err`.
int open_file(const std::string& path, int flags, mode_t mode, std::string* err);

/// Opens `path` or ends the process: on failure prints the open-failure
/// message to standard error and exits with status -1.
int open_or_exit(const std::string& path, int flags, mode_t mode = 0);

/// Size in bytes of an open file, or -1 if the descriptor cannot be queried.
std::int64_t fd_size(int fd);

/// Reads exactly `out.size()` bytes at `offset`. A failed or short read is an
/// error naming `path` (used for messages only).
bool read_exact_at(int fd, std::uint64_t offset, std::span<std::uint8_t> out,
                   const std::string& path, std::string* err);

/// Reads the whole of an open file into `out`, sized exactly; `path` names it in messages.
bool read_whole_fd(int fd, const std::string& path, ByteBuffer* out, std::string* err);

/// Reads the whole file at `path` into `out`, sized exactly; a file that
/// shrinks or fails while being read is an error.
bool read_whole_file(const std::string& path, ByteBuffer* out, std::string* err);

/// A whole file's bytes, mapped into memory privately: pages are read from
/// the page cache as they are touched, so a tool that looks at a few tables
/// of an executable reads only those, and changes stay in this process.
/// Files that cannot be mapped (empty, or not regular files) are read instead.
///
/// If the file shrinks while mapped (or its device fails), touching a lost
/// page would raise SIGBUS; the process then ends with an error naming the
/// file instead of crashing. Only one file is guarded at a time.
class MappedFile {
  public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    /// Maps (or reads) the file at `path`; on failure the open-failure
    /// message or a read error.
    bool open(const std::string& path, std::string* err);

    MutableByteSpan bytes() { return {data_, size_}; }
    ByteSpan bytes() const { return {data_, size_}; }

  private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
    ByteBuffer copy_;
};

/// Replaces the file at `path` with exactly `data`. The bytes go to a
/// temporary file in the same folder, which is renamed over `path` only when
/// every byte is written; on failure `path` is untouched and nothing is left.
bool write_whole_file(const std::string& path, std::span<const std::uint8_t> data,
                      std::string* err);

/// Copies `length` bytes at `offset` of the file at `source` to `path`. An
/// existing file there is replaced only once the copy is complete, as
/// `write_whole_file` does; a new file is written under its own name and
/// removed if the copy fails.
bool copy_to_whole_file(int source, std::uint64_t offset, std::uint64_t length,
                        const std::string& source_path, const std::string& path, std::string* err);

/// Creates every directory named by a prefix of `path` that ends just before
/// a separator (`/` or `\`). The last component is never created. Failures
/// are silent: the write that follows reports a path that cannot be created.
/// Paths of any length are handled.
void ensure_parent_dirs(const std::string& path);

/// `ensure_parent_dirs` for many files: remembers the folders it has made (or
/// found already there), so that a file in a known folder costs no system
/// call and a new folder one. For a single run over a tree that nothing else
/// is changing.
class FolderMaker {
  public:
    void make_parents(const std::string& path);

  private:
    std::unordered_set<std::string> known_;
};

/// A file that replaces `target` only when complete.
///
/// The data is written to a temporary file beside the target (same folder,
/// so the final rename is atomic) and `commit` renames it into place. Until
/// then `target` is untouched; a file that is never committed is removed, also
/// when the object is destroyed on an error path. An existing target's
/// permission bits are carried over, as truncating it in place would.
class AtomicFile {
  public:
    /// Where a target that does not exist yet is written. A temporary file
    /// keeps the target from appearing before it is complete (two outputs
    /// that must appear together need that); writing in place saves a rename
    /// per file when many new files are written. Either way an uncommitted
    /// file is removed, and an existing target is only ever replaced whole.
    enum class NewTarget { via_temporary, in_place };

    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

    /// Creates the temporary file (or, for a new target and `in_place`, the
    /// target itself). Fails with the open-failure message for `target` when
    /// the target's folder is missing or not writable, or when `target` is
    /// empty or names a directory.
    bool open(const std::string& target, std::string* err,
              NewTarget new_target = NewTarget::via_temporary);

    /// Whether a file already stood at the target when it was opened: the
    /// commit then replaces it, and a crash after that could lose both
    /// versions unless the new one was made durable first.
    bool replaces_existing() const { return replaces_; }

    /// Appends `data`; a failed or short write (a full disk) is an error naming the target.
    bool write(std::span<const std::uint8_t> data, std::string* err);

    /// Appends `length` bytes read from `source` at `offset`, copied inside the
    /// kernel where it can. A source that ends early is an error naming
    /// `source_path`, as with `read_exact_at`.
    bool copy_from(int source, std::uint64_t offset, std::uint64_t length,
                   const std::string& source_path, std::string* err);

    /// Bytes written so far.
    std::uint64_t size() const { return size_; }

    /// Flushes (to stable storage when `durable`) and closes the temporary
    /// file, so that a later `commit` has nothing left that can fail but the
    /// rename. Used when two files must replace their targets together.
    bool finish(bool durable, std::string* err);

    /// Finishes the file if that has not been done, then renames it over the target.
    bool commit(bool durable, std::string* err);

    /// Removes the temporary file; the target stays as it was.
    void discard();

    const std::string& target() const { return target_; }

  private:
    std::string target_;
    std::string temp_path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    bool replaces_ = false;
    bool in_place_ = false;
};
