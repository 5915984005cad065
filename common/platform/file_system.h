// The steps the file layer's algorithms are made of (file_io.cpp), each done
// by every system in its own way (posix.cpp, windows.cpp). Private to the
// platform layer.
//
// The algorithms (replacing a file whole, several files together, the
// journal that makes a commit of several files recoverable, making folders)
// exist once, in file_io.cpp, over these steps. Errors travel as error
// numbers for system_message(): POSIX's errno values, and on Windows the
// POSIX value where one matches the Win32 error and another number where
// none does.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/platform/file_io.h"

namespace sys {

/// What a replacement takes over from the file it replaces, and what a file
/// put back by a rollback gets again. POSIX systems keep the permission bits
/// (`bits`) and the owner and group; Windows keeps the attributes (`bits`:
/// read-only, hidden...). `known` is false for a target that did not exist.
struct Kept {
    bool known = false;
    std::uint32_t bits = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
};

/// What stands at a path: its kind and identity (FileStatus), and what a
/// replacement keeps of it.
struct Look {
    FileStatus status;
    Kept kept;
};

/// Looks at what stands at `path`, following symbolic links when asked. A
/// missing path (or folder) gives kind `missing` and 0; an error number
/// when the system cannot tell.
int look(const std::string& path, bool follow_links, Look* out);

/// Where data written to `path` lands: the file at the end of its chain of
/// symbolic links (which need not exist yet), or `path` itself.
std::string resolve_links(const std::string& path);

/// `path` as an absolute path, without resolving links, so that a journal
/// names its files whatever the current folder of the run that reads it.
std::string absolute_path(const std::string& path);

/// A name beside `path` (in its folder) for a file of this run, ending in
/// `suffix`, short enough to fit in any folder whatever the length of
/// `path`'s own name.
std::string sibling_name(const std::string& path, const char* suffix);

/// The length of the part of `path` that names a root or drive and is never
/// made as a folder ("/", "C:\", "\\server\share\"; 0 for a relative path).
std::size_t root_length(const std::string& path);

// ---------------------------------------------------------------------------
// Files being read.

/// Opens the file at `path` for reading. `wait_for_writer`: a FIFO waits
/// for a writer (a stream read to its end); otherwise opening one does not
/// wait (an input that is then refused as no regular file).
int open_read(const std::string& path, bool wait_for_writer, std::intptr_t* handle);

/// What an open file is: kind, identity and size. `path` names it (on
/// Windows the identity of a device comes from its name).
int handle_status(std::intptr_t handle, const std::string& path, FileStatus* out);

/// Reads up to `size` bytes from where the file stands; the count read (0
/// at its end, or when the writer of a pipe is done), or -1 with the error
/// number.
long long read_some(std::intptr_t handle, std::uint8_t* data, std::size_t size, int* error);

/// Maps `size` bytes (more than 0) of the open file privately, writable
/// copy-on-write; `path` is named in the message that a lost page gives.
int map_view(std::intptr_t handle, std::uint64_t size, const std::string& path, void** view);
void unmap_view(void* view, std::size_t size);

// ---------------------------------------------------------------------------
// Files being written.

/// Creates a new file for writing; fails with EEXIST when anything stands at
/// `path`. `owner_only`: readable and writable by its owner only (a
/// replacement, until it takes the replaced file's permissions in
/// `finish_file`); otherwise with the ordinary permissions of a new file.
int create_new(const std::string& path, bool owner_only, std::intptr_t* handle);

/// Opens the device or pipe at `path` for writing.
int open_for_writing(const std::string& path, std::intptr_t* handle);

/// Appends up to `size` bytes; the count written (0 only for a full
/// device), or -1 with the error number.
long long write_some(std::intptr_t handle, const std::uint8_t* data, std::size_t size, int* error);

/// Reads up to `size` bytes at `offset`; the count read (0 at the end of the
/// file), or -1 with the error number.
long long read_some_at(std::intptr_t handle, std::uint64_t offset, std::uint8_t* data,
                       std::size_t size, int* error);

/// Copies `length` bytes of `source` at `offset` inside the system to
/// `target`, at `*target_offset` or (null) at its end. Sets `*copied` to
/// the bytes copied so far; returns 0 when done or when the source ended early, -1 when the system cannot copy
/// between these files (the caller then copies through memory, from
/// `offset + *copied`), or an error number.
int copy_in_system(std::intptr_t source, std::uint64_t offset, std::intptr_t target,
                   const std::uint64_t* target_offset, std::uint64_t length, std::uint64_t* copied);

/// Writes up to `size` bytes at `offset`, leaving the file's position and
/// every other thread's writes alone; the count written (0 only for a full
/// disk), or -1 with the error number.
long long write_some_at(std::intptr_t handle, std::uint64_t offset, const std::uint8_t* data,
                        std::size_t size, int* error);

/// Makes an open file `size` bytes long; bytes past its data read as zeros.
int set_file_size(std::intptr_t handle, std::uint64_t size);

/// The first range of data at or after `offset` of an open file of `size`
/// bytes, as [*start, *end) (both `size` when only a hole follows); all of
/// it counts as data where the system cannot tell holes apart.
int next_data(std::intptr_t handle, std::uint64_t offset, std::uint64_t size, std::uint64_t* start,
              std::uint64_t* end);

/// Grows an open regular file to `size` bytes over a hole that takes no disk
/// space where the file system can, the next write going after it; -1 when
/// the handle is no regular file (the caller writes the zeros), or an error
/// number.
int grow_file(std::intptr_t handle, std::uint64_t size);

/// The permission bits, owner and group of an open file (`known` false on
/// systems without permission bits, and for anything but a regular file).
int handle_kept(std::intptr_t handle, Kept* out);

/// Whether the open file ends before `end` (to tell a source that ended
/// early from a target that failed).
bool ends_before(std::intptr_t handle, std::uint64_t end);

/// Ends the writing of a file: a replacement (`kept` known) takes the
/// replaced file's owner and then its permission bits (POSIX systems; on
/// Windows the attributes go with the rename, in `replace`), the data
/// reaches the disk when `durable` (for files; a device need not support
/// it), and the file is closed.
int finish_file(std::intptr_t handle, bool durable, bool is_file, const Kept& kept);

/// Closes a handle, whatever happens.
void close_handle(std::intptr_t handle);

// ---------------------------------------------------------------------------
// Names of files.

/// Makes `link` a second name of the file at `existing` (a hard link).
int link_file(const std::string& existing, const std::string& link);

/// Renames `from` to `to`, replacing whatever `to` is. `kept`: what `from`
/// is to have in place (Windows: the attributes, given to it just before the
/// rename; a read-only `to` is made writable for the instant of the rename).
/// `durable`: the new name reaches the disk with the rename where the system
/// offers that (Windows' write-through); POSIX systems flush the folder
/// afterwards (`sync_folder`). A rename that another program blocks for a
/// moment (Windows: a virus scanner, the indexer) is tried again a few
/// times.
int replace(const std::string& from, const std::string& to, const Kept& kept, bool durable);

/// Renames `from` to `to`, which must not exist.
int move_aside(const std::string& from, const std::string& to);

/// Removes the file at `path`, also a read-only one.
int remove_file(const std::string& path);

/// Gives the file at `path` again what it had (`kept`) where a step before
/// may have changed it: on Windows the read-only attribute, which a target
/// and its backup link share, and which replacing or removing one of the
/// names clears. Nothing on POSIX systems, where these steps change no
/// permission.
void restore_kept(const std::string& path, const Kept& kept);

/// 0 when the file at `path` (if any) can be replaced or renamed now; on
/// Windows an error when another program holds it open without delete
/// sharing (after waiting a moment for it to let go). Always 0 on POSIX
/// systems, where nothing holds a name.
int check_replaceable(const std::string& path);

/// Makes the folder entries of the folder holding `path` reach the disk.
void sync_folder_of(const std::string& path);

/// Makes the folder `path`; EEXIST when something stands there.
int make_folder(const std::string& path);

// ---------------------------------------------------------------------------
// The commit journal (see file_io.cpp): one file per folder, held by the run
// that writes it for as long as its commit lasts, so that no other run takes
// it for a recovery meanwhile, and let go by the system when that run dies.

/// Creates the journal at `path` and holds it; EEXIST when one is there,
/// EAGAIN when another run removed it in the instant it was made (try again).
int create_journal(const std::string& path, std::intptr_t* handle);

/// Takes the journal at `path` for a recovery and holds it: 0; ENOENT when
/// there is none (any more); EBUSY while a live run holds it.
int take_journal(const std::string& path, std::intptr_t* handle);

/// Makes the journal's bytes reach the disk.
int flush_file(std::intptr_t handle);

/// Removes the journal at `path`, which `handle` holds, and closes it.
int remove_journal(const std::string& path, std::intptr_t handle);

/// Waits about `milliseconds`.
void pause_for(unsigned milliseconds);

/// Opens (or makes) the file at `path` and holds it as a lock for this run
/// (RunLock): 0; EBUSY while another run holds it. The system lets go of it
/// when the handle is closed (close_handle) or the run ends.
int hold_lock(const std::string& path, std::intptr_t* handle);

// ---------------------------------------------------------------------------
// Unfinished outputs and interruptions (common/platform/unfinished_files.h).

/// Registers a file that an interrupted run removes; -1 when it cannot be.
int register_unfinished(const std::string& path);
void unregister_unfinished(int slot);

/// Registers a folder the run made. An interrupted run removes it after its
/// unfinished files if it is empty by then (newest first, so a folder's own
/// new folders go before it); a folder holding anything stays.
void register_made_folder(const std::string& path);

/// Called right after a file of the run was created: if the run is being
/// ended by an interruption that may have missed it, removes it and waits
/// for the end.
void stop_if_interrupted(const std::string& path);

/// While a commit renames its files, an interruption does not end the run:
/// it is noted, and the commit either puts every file back and ends the run
/// (`exit_interrupted`) or, once past its last rename, finishes, after
/// which `end_commit` ends the run as any interruption does. Commits may
/// run on several threads at once (an extraction's replaced files).
void begin_commit();
void end_commit();
/// The interruption noted since the commit began, or 0.
int commit_interruption();
/// Ends the run after an interruption during a commit: removes every
/// unfinished output, prints "Error: interrupted by <what>" followed by
/// `outcome`, and exits with -1.
[[noreturn]] void exit_interrupted(const std::string& outcome);

}  // namespace sys
