// Files and folders on the host system: the one place in the suite that
// knows how the system opens, maps, identifies and replaces files. Format
// code and tool drivers see only this interface; each system has its own
// implementation of it (posix.cpp, windows.cpp).
//
// Paths are UTF-8 everywhere (on Windows they are turned into the system's
// UTF-16 names, and paths too long for the old limit of 260 characters are
// handled there too).
//
// Functions that can fail return false and fill `err` with the complete
// message, ready to print; only a tool's main prints.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/byte_buffer.h"
#include "common/byte_reader.h"

/// "Could not open <path> (<system message>)": the suite's open-failure message.
std::string open_failure_message(const std::string& path, int errnum);

/// The system's text for an error number.
std::string system_message(int errnum);

/// An open file, closed when the object goes away.
class FileHandle {
  public:
    FileHandle() = default;
    explicit FileHandle(std::intptr_t native) : native_(native) {}
    FileHandle(FileHandle&& other) noexcept : native_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { close(); }

    bool valid() const { return native_ != -1; }
    /// The system's descriptor or handle.
    std::intptr_t native() const { return native_; }
    std::intptr_t release() {
        const std::intptr_t n = native_;
        native_ = -1;
        return n;
    }
    void close();

  private:
    std::intptr_t native_ = -1;
};

/// The folder part of `path` ("." when it has none) and its last component.
/// `/` separates everywhere; on Windows `\` does too, and a drive prefix
/// ("C:") belongs to the folder part.
void split_path(const std::string& path, std::string* folder, std::string* name);

/// What stands at a path.
enum class FileKind {
    missing,
    regular,
    directory,
    other,  ///< a device, a FIFO, a socket: never replaced, never read as data
    link,   ///< a symbolic link, when links are not followed
};

/// Which file a path names: equal for two paths of the same file (hard
/// links, symbolic links, `./x` and `x`), different for different files.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    bool operator==(const FileId&) const = default;
};

struct FileStatus {
    FileKind kind = FileKind::missing;
    FileId id;
    std::uint64_t size = 0;
};

/// The status of the file at `path`, following symbolic links unless
/// `follow_links` is false. A path at which nothing stands (or whose folder
/// does not exist) is `missing`, not an error; false only when the system
/// cannot tell.
bool file_status(const std::string& path, FileStatus* out, std::string* err,
                 bool follow_links = true);

/// The names of everything in the folder at `path` (without "." and ".."),
/// sorted bytewise. A folder that cannot be read is an error naming it.
bool list_folder(const std::string& path, std::vector<std::string>* names, std::string* err);

/// `path` as an absolute path (from the current folder), so that it names
/// the same file when read again from elsewhere; `path` itself when the
/// system cannot tell.
std::string absolute_path(const std::string& path);

/// Removes the folder at `path` if it is empty (a folder a failed run made
/// and left unused); anything else stays as it is. Whether it was removed.
bool remove_empty_folder(const std::string& path);

/// Removes the file at `path`; a path at which nothing stands is no error.
/// A file that cannot be removed is an error naming it.
bool remove_file(const std::string& path, std::string* err);

/// Opens an input of the run. It must be a regular file: a device or FIFO
/// would read as something that is not the file (or wait forever for a
/// writer), a folder as nothing. Gives its size.
bool open_input(const std::string& path, FileHandle* file, std::uint64_t* size, std::string* err);
/// The same, giving the file's whole status (its identity too).
bool open_input(const std::string& path, FileHandle* file, FileStatus* status, std::string* err);

/// Reads exactly `out.size()` bytes at `offset`. A failed or short read is an
/// error naming `path` (used for messages only).
bool read_exact_at(const FileHandle& file, std::uint64_t offset, std::span<std::uint8_t> out,
                   const std::string& path, std::string* err);

/// The first range of data at or after `offset` in `file`, as [*start, *end):
/// the parts before it are holes, which read as zeros and take no disk
/// space. *start is `size` when only a hole follows. Where the system or the
/// file system cannot tell holes from data, everything from `offset` to
/// `size` is data. For copies that keep a sparse file sparse.
bool next_data_range(const FileHandle& file, std::uint64_t offset, std::uint64_t size,
                     std::uint64_t* start, std::uint64_t* end, const std::string& path,
                     std::string* err);

/// Reads the whole regular file at `path` into `out`, sized exactly; a file
/// that shrinks or fails while being read is an error.
bool read_whole_file(const std::string& path, ByteBuffer* out, std::string* err);

/// Reads everything `path` yields until its end: a regular file, or a pipe
/// or FIFO (what another program writes). Not for binary inputs.
bool read_stream(const std::string& path, std::string* out, std::string* err);

/// A whole input file's bytes, mapped into memory privately: pages are read
/// from the page cache as they are touched, so a tool that looks at a few
/// tables of an executable reads only those, and changes stay in this
/// process. An empty file gives no bytes.
///
/// If the file shrinks while mapped (or its device fails), touching a lost
/// page ends the run with an error naming the file (and the usual clean-up
/// of unfinished outputs) instead of a crash.
class MappedFile {
  public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() { close(); }

    /// Maps the regular file at `path`; on failure the open-failure message
    /// or the reason it is not a file that can be read.
    bool open(const std::string& path, std::string* err);
    /// Unmaps the file; its bytes are gone.
    void close();

    MutableByteSpan bytes() { return {data_, size_}; }
    ByteSpan bytes() const { return {data_, size_}; }

  private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

/// Creates the folders leading to output paths. Remembers the folders it has
/// made or found, so that a file in a known folder costs no system call.
/// For a single run over a tree that nothing else is changing.
class FolderMaker {
  public:
    /// Creates every folder named by a prefix of `path` that ends just before
    /// a `/` or `\` (the last component is never created). A prefix that
    /// exists as something other than a folder, or that cannot be made, is an
    /// error naming that folder and the system's reason.
    bool make_parents(const std::string& path, std::string* err);

  private:
    std::unordered_set<std::string> known_;
};

namespace sys {
struct Kept;  // common/platform/file_system.h
}

/// How data moves from one file into another.
enum class CopyMethod {
    /// Inside the system where it can (`copy_file_range` on Linux: one copy,
    /// no trip through this process), else as `buffered`.
    in_system,
    /// Read into a buffer of this process and written from there: two copies,
    /// but on some file systems the kernel's own copy of a file's pages costs
    /// more than that.
    buffered,
};

/// A file held as a lock for as long as this object lives, so that a second
/// run over the same files is refused rather than mixing its changes with
/// this run's. The system lets go of it when the run ends, however it ends;
/// the file itself stays.
class RunLock {
  public:
    RunLock() = default;
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    /// Makes the file at `path` if it is missing and holds it: true. False
    /// with `*busy` set while another run holds it, or with an error naming
    /// the file.
    bool take(const std::string& path, bool* busy, std::string* err);

  private:
    std::intptr_t handle_ = -1;
};

/// An output file that replaces its target only when complete.
///
/// The data goes to a temporary file beside the target (same folder, so the
/// final rename is atomic), which `commit` renames into place. Until then the
/// target is untouched; a file that is never committed is removed, also when
/// the object is destroyed on an error path and when the run is interrupted.
///
/// - A target that is a symbolic link: the file it points to is replaced
///   (beside that file), and the link stays.
/// - A target that is a device or FIFO (`/dev/null`, a pipe): written
///   directly, since there is no file to replace.
/// - A replaced file keeps its permission bits and, where the system allows,
///   its owner and group.
class AtomicFile {
  public:
    /// Where a target that does not exist yet is written. A temporary file
    /// keeps the target from appearing before it is complete (two outputs
    /// that must appear together need that); writing in place saves a rename
    /// per file when many new files are written. Either way an unfinished
    /// file is removed, and an existing target is only ever replaced whole.
    enum class NewTarget { via_temporary, in_place };

    /// Outputs named on the command line follow symbolic links and write
    /// devices directly; files of an extracted tree replace a link itself
    /// (whatever it points to stays untouched, inside the tree or not) and
    /// refuse a device or FIFO in their place.
    enum class Target { named, tree };

    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile() { discard(); }

    /// Creates the temporary file (or, for a new target and `in_place`, the
    /// target itself). Fails with the open-failure message for `target` when
    /// the target's folder is missing or the new file cannot be made there,
    /// or when `target` is a folder; an empty target is refused as such, and
    /// a temporary file that cannot be made beside an existing target (a
    /// read-only folder) is named as the step that failed. A replacement is
    /// readable by its owner only until it is finished, when it takes the
    /// replaced file's permissions.
    bool open(const std::string& target, std::string* err,
              NewTarget new_target = NewTarget::via_temporary, Target kind = Target::named);

    /// Whether a file stood at the target when it was opened, which the
    /// commit replaces.
    bool replaces_existing() const { return replaces_; }

    /// Appends `data`; a failed or short write (a full disk) is an error naming the target.
    bool write(std::span<const std::uint8_t> data, std::string* err);

    /// Appends `length` zero bytes.
    bool write_zeros(std::uint64_t length, std::string* err);

    /// Appends `length` bytes read from `source` at `offset`, copied inside the
    /// system where it can. A source that ends early is an error naming
    /// `source_path`.
    bool copy_from(const FileHandle& source, std::uint64_t offset, std::uint64_t length,
                   const std::string& source_path, std::string* err);

    /// Appends `length` zero bytes without writing them where the system can:
    /// the file grows over a hole that takes no disk space (a sparse file).
    /// Where it cannot (a device, a pipe) the zeros are written.
    bool write_hole(std::uint64_t length, std::string* err);

    /// Gives the output the permission bits of `source` (an input of the
    /// run), in place of those of the file it replaces or of a new file's
    /// defaults. Systems without permission bits (Windows) leave the output
    /// as it is; a device or pipe is never changed.
    bool copy_permissions_from(const FileHandle& source, const std::string& source_path,
                               std::string* err);

    /// Bytes written so far (after `set_size`, that size).
    std::uint64_t size() const { return size_; }

    // Writing parts at their offsets, from several threads at once, when the
    // layout of the whole file is known before its first byte: `set_size`
    // gives the file its final size first (bytes no part covers read as
    // zeros), then `write_at` and `copy_at` write the parts, each at its own
    // offset and from any thread. Only a file can be written so; a device or
    // pipe (`is_file()` false) takes its data in order through `write`.

    /// Whether the data goes to a file of its own (a temporary, or a new
    /// file written in place), not to a device or pipe.
    bool is_file() const { return fd_ != -1 && !temp_path_.empty(); }

    /// Makes the file `size` bytes long, the bytes past what was written
    /// reading as zeros; a full disk may show only when the parts are written.
    bool set_size(std::uint64_t size, std::string* err);

    /// Writes `data` at `offset`, leaving everything else of the file as it is.
    bool write_at(std::uint64_t offset, std::span<const std::uint8_t> data, std::string* err) const;

    /// Writes `length` bytes read from `source` at `source_offset` into the
    /// file at `offset`, by `method` (see CopyMethod); `buffer` (1 MiB is
    /// plenty) is where a copy through this process goes, one per thread. A
    /// source that ends early is an error naming `source_path`.
    bool copy_at(std::uint64_t offset, const FileHandle& source, std::uint64_t source_offset,
                 std::uint64_t length, const std::string& source_path, CopyMethod method,
                 std::span<std::uint8_t> buffer, std::string* err) const;

    /// Flushes (to stable storage when `durable`) and closes the file, so
    /// that a later commit has nothing left that can fail but the rename.
    bool finish(bool durable, std::string* err);

    /// Finishes the file if that has not been done, then renames it over the
    /// target. `durable`: the target is the only other copy of something this
    /// run read (an in-place edit), so the new data must be on disk before
    /// the old is gone.
    bool commit(bool durable, std::string* err);

    /// Removes the unfinished file; the target stays as it was.
    void discard();

    /// The path as given.
    const std::string& target() const { return target_; }
    /// Where the data lands: the target, or for a target that is a symbolic
    /// link, the file at the end of its links (set by `open`).
    const std::string& final_path() const { return final_path_; }

  private:
    friend bool commit_together(std::span<AtomicFile* const> files, bool durable, std::string* err);
    int create_in_place();
    bool create_temporary(std::string* err);
    sys::Kept kept() const;

    std::string target_;
    std::string final_path_;  ///< where the data lands: the target, or what its link points to
    std::string temp_path_;   ///< the file being written, while it is unfinished
    std::intptr_t fd_ = -1;   ///< the system's descriptor or handle
    std::uint64_t size_ = 0;
    /// What the replacement keeps of the file it replaces (permission bits
    /// and owner, or Windows attributes): common/platform/file_system.h.
    std::uint32_t kept_bits_ = 0, kept_owner_ = 0, kept_group_ = 0;
    bool keeps_ = false;  ///< a regular file is replaced: its permissions are kept
    bool replaces_ = false;
    bool in_place_ = false;  ///< written under its own name (new target, or a device)
    int cleanup_slot_ = -1;
};

/// Replaces the targets of several finished-or-open files together: either
/// every target is replaced or none is. Each existing target is kept under a
/// hard link (or, where the file system has none, a second name) until every
/// rename has succeeded; if one fails, the targets already replaced get their
/// old files back, and targets that did not exist before are removed. If
/// even that fails, the message says which file now holds what.
///
/// Before the first rename, a journal (".suite-journal", flushed to disk
/// when `durable`) in every folder holding a target names every target, its
/// backup and its new file, so that a run killed in the middle (or a power
/// cut) is undone by the next run that reads or writes a file in one of
/// those folders: every function here that takes a path first finishes such
/// a recovery, puts every target back (or, where every rename had been
/// done, removes what is left of the old files) and says so in one warning.
///
/// An interruption (SIGINT, Ctrl-C...) during the renames puts every target
/// back and ends the run with a message saying that nothing changed.
bool commit_together(std::span<AtomicFile* const> files, bool durable, std::string* err);

/// Replaces the file at `path` with exactly `data` (an AtomicFile in one call).
bool write_whole_file(const std::string& path, std::span<const std::uint8_t> data,
                      std::string* err);

/// Makes the run end cleanly when it is interrupted (SIGINT, SIGTERM, SIGHUP
/// and their kind) or when a mapped input loses its pages: every unfinished
/// output is removed, a message is printed, and the process exits with -1.
/// A reader that goes away from standard output makes later listing writes
/// fail instead of killing the run. Called once, first thing in every tool.
void install_interrupt_cleanup();
