// The file layer's algorithms, written once over the steps each system does
// its own way (common/platform/file_system.h; posix.cpp, windows.cpp):
// inputs that must be files, whole reads, folder making, replacing a file
// whole, replacing several files together, and the journal that lets the
// next run undo a commit of several files that a kill cut short.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "common/message.h"
#include "common/platform/file_io.h"
#include "common/platform/file_steps.h"
#include "common/platform/file_system.h"
#include "common/text.h"

// ---------------------------------------------------------------------------
// Messages.

std::string open_failure_message(const std::string& path, int errnum) {
    return "Could not open " + path + " (" + system_message(errnum) + ")";
}

namespace {

// Why an input of this kind cannot be read as a file, or nothing for a file.
std::string not_a_file(const std::string& path, FileKind kind) {
    if (kind == FileKind::directory) {
        return error_message(path, "is a folder, not a file");
    }
    if (kind == FileKind::other) {
        return error_message(path, "is a device or pipe, not a regular file");
    }
    return {};
}

std::string read_error(const std::string& path, int errnum) {
    return error_message(path, "could not read", system_message(errnum));
}

std::string write_error(const std::string& path, int errnum) {
    return error_message(path, "could not write", system_message(errnum));
}

std::string ended_early(const std::string& path, std::uint64_t expected, std::uint64_t offset,
                        std::uint64_t got) {
    return error_message(path, "ended early: expected " + std::to_string(expected) +
                                   " bytes at offset " + hex(offset) + ", got " +
                                   std::to_string(got));
}

std::string empty_path_message(const char* what) {
    return error_message("", std::string("the path of ") + what + " is empty");
}

// ---------------------------------------------------------------------------
// The test hook (common/platform/file_steps.h) in front of every step that
// changes the file system.

FileStepHook step_hook = nullptr;

int step(const char* kind, const std::string& path) {
    return step_hook != nullptr ? step_hook(kind, path) : 0;
}

std::string folder_of(const std::string& path) {
    std::string folder, name;
    split_path(path, &folder, &name);
    return folder;
}

std::string in_folder(const std::string& folder, const char* name) {
    const bool ends = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
    return folder + (ends ? "" : "/") + name;
}

bool exists(const std::string& path) {
    sys::Look look;
    return sys::look(path, false, &look) == 0 && look.status.kind != FileKind::missing;
}

// The identity of what stands at `path` (not following links), or nothing.
std::optional<FileId> id_at(const std::string& path) {
    sys::Look look;
    if (sys::look(path, false, &look) != 0 || look.status.kind == FileKind::missing) {
        return std::nullopt;
    }
    return look.status.id;
}

}  // namespace

void set_file_step_hook(FileStepHook hook) {
    step_hook = hook;
}

bool commit_interruption_noted() {
    return sys::commit_interruption() != 0;
}

// ---------------------------------------------------------------------------
// The commit journal.
//
// A commit of several files writes, before its first rename, one journal per
// folder that holds a target, each naming every target with its backup (the
// old file under a second name, or none for a target that did not exist)
// and its new file (the finished temporary), and each file's identity: the
// old file's, which its backup has, and the new file's, which it keeps when
// renamed into place. The run holds its journals until the commit is over
// (sys::create_journal), then removes them.
//
// Whoever next reads or writes a file in such a folder finds the journal,
// takes it (a live run still holds it: that one is refused), and decides
// from what stands on disk: while any new file is still under its temporary
// name, the renames were cut short, and every target is put back: a backup
// is renamed over its target (or just removed while it is still the target
// itself), a target that did not exist before is removed, and the
// temporaries are removed. When every new file is in place, the commit had
// done all its renames, and only its backups are removed. The targets are
// all put back before the first temporary is removed, so a recovery that is
// itself cut short decides the same way the next time. Nothing whose
// identity differs from the journal's is ever touched, so a journal that
// was not written by this suite for these very files changes nothing.

namespace {

constexpr const char* JOURNAL_NAME = ".suite-journal";
constexpr const char* JOURNAL_HEADER = "korvane-suite commit journal 1";

struct JournalEntry {
    std::string target;
    std::string backup;  ///< empty: no file stood at the target
    std::string temp;
    FileId old_id;  ///< the replaced file's, which its backup has
    FileId new_id;  ///< the new file's
    sys::Kept kept;
};

struct Journal {
    std::vector<std::string> copies;  ///< every journal of the commit
    std::vector<JournalEntry> entries;
};

std::string field(const std::string& text) {
    return std::to_string(text.size()) + ":" + text + "\n";
}

std::string journal_text(const Journal& journal) {
    std::string text = std::string(JOURNAL_HEADER) + "\n";
    text += "journals " + std::to_string(journal.copies.size()) + "\n";
    for (const std::string& copy : journal.copies) {
        text += field(copy);
    }
    text += "files " + std::to_string(journal.entries.size()) + "\n";
    for (const JournalEntry& e : journal.entries) {
        text += field(e.target) + field(e.backup) + field(e.temp);
        char numbers[160];
        std::snprintf(numbers, sizeof numbers,
                      "%" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %d %" PRIu32 " %" PRIu32
                      " %" PRIu32 "\n",
                      e.old_id.device, e.old_id.file, e.new_id.device, e.new_id.file,
                      e.kept.known ? 1 : 0, e.kept.bits, e.kept.owner, e.kept.group);
        text += numbers;
    }
    return text + "end\n";
}

// Reads what journal_text wrote; false for anything else, such as a
// journal cut short by the death of the run writing it.
class JournalReader {
  public:
    explicit JournalReader(const std::string& text) : text_(text) {}

    bool read(Journal* out) {
        std::size_t copies = 0, files = 0;
        if (!line(JOURNAL_HEADER) || !count("journals ", &copies) || copies > 100000) {
            return false;
        }
        out->copies.resize(copies);
        for (std::string& copy : out->copies) {
            if (!path(&copy)) {
                return false;
            }
        }
        if (!count("files ", &files) || files > 10000000) {
            return false;
        }
        out->entries.resize(files);
        for (JournalEntry& e : out->entries) {
            int known = 0;
            if (!path(&e.target) || !path(&e.backup) || !path(&e.temp) || !ids(&e, &known)) {
                return false;
            }
            e.kept.known = known != 0;
        }
        return line("end") && at_ == text_.size();
    }

  private:
    bool line(std::string_view expected) {
        if (text_.compare(at_, expected.size(), expected) != 0 ||
            at_ + expected.size() >= text_.size() || text_[at_ + expected.size()] != '\n') {
            return false;
        }
        at_ += expected.size() + 1;
        return true;
    }

    bool number(std::uint64_t* out, char end) {
        std::uint64_t value = 0;
        std::size_t digits = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9' && digits < 20) {
            value = value * 10 + static_cast<std::uint64_t>(text_[at_] - '0');
            ++at_;
            ++digits;
        }
        if (digits == 0 || at_ >= text_.size() || text_[at_] != end) {
            return false;
        }
        ++at_;
        *out = value;
        return true;
    }

    bool count(std::string_view prefix, std::size_t* out) {
        std::uint64_t value = 0;
        if (text_.compare(at_, prefix.size(), prefix) != 0) {
            return false;
        }
        at_ += prefix.size();
        if (!number(&value, '\n')) {
            return false;
        }
        *out = static_cast<std::size_t>(value);
        return true;
    }

    bool path(std::string* out) {
        std::uint64_t length = 0;
        if (!number(&length, ':') || length > text_.size() - at_ || at_ + length >= text_.size() ||
            text_[at_ + length] != '\n') {
            return false;
        }
        out->assign(text_, at_, static_cast<std::size_t>(length));
        at_ += static_cast<std::size_t>(length) + 1;
        return out->find('\0') == std::string::npos;
    }

    bool ids(JournalEntry* e, int* known) {
        std::uint64_t k = 0, bits = 0, owner = 0, group = 0;
        const bool ok = number(&e->old_id.device, ' ') && number(&e->old_id.file, ' ') &&
                        number(&e->new_id.device, ' ') && number(&e->new_id.file, ' ') &&
                        number(&k, ' ') && number(&bits, ' ') && number(&owner, ' ') &&
                        number(&group, '\n');
        *known = static_cast<int>(k & 1);
        e->kept.bits = static_cast<std::uint32_t>(bits);
        e->kept.owner = static_cast<std::uint32_t>(owner);
        e->kept.group = static_cast<std::uint32_t>(group);
        return ok;
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

// Whether every file the journal names lies where this suite puts the files
// of a commit: each journal under its name, each backup and temporary
// beside its target under a name of this suite.
bool plausible(const Journal& journal) {
    for (const std::string& copy : journal.copies) {
        std::string folder, name;
        split_path(copy, &folder, &name);
        if (name != JOURNAL_NAME) {
            return false;
        }
    }
    auto ours = [](const std::string& path, const std::string& target, const char* suffix) {
        std::string folder, name, target_folder, target_name;
        split_path(path, &folder, &name);
        split_path(target, &target_folder, &target_name);
        return folder == target_folder && name.starts_with(".suite-") && name.ends_with(suffix);
    };
    for (const JournalEntry& e : journal.entries) {
        if (!ours(e.temp, e.target, ".tmp") ||
            (!e.backup.empty() && !ours(e.backup, e.target, ".old"))) {
            return false;
        }
    }
    return true;
}

// What became of a rollback or a roll-forward: the files that could not be
// put back, said as the end of a message.
struct Outcome {
    std::string stuck;
    bool ok() const { return stuck.empty(); }
};

// Puts every target of a cut-short commit back, deciding each from what
// stands on disk (see above).
Outcome roll_back(const std::vector<JournalEntry>& entries, bool durable) {
    Outcome outcome;
    for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
        const std::optional<FileId> target = id_at(e->target);
        if (e->backup.empty()) {
            // A target that did not exist before goes again, if it is the new file.
            if (target == e->new_id) {
                const int error = step("remove", e->target);
                if (error != 0 || sys::remove_file(e->target) != 0) {
                    outcome.stuck += "; " + e->target + " could not be removed again";
                }
            }
            continue;
        }
        if (id_at(e->backup) != e->old_id) {
            continue;  // never made, or already renamed back
        }
        if (target == e->old_id) {
            // Not replaced yet: the backup is a second name of the target.
            if (step("remove", e->backup) == 0 && sys::remove_file(e->backup) == 0) {
                sys::restore_kept(e->target, e->kept);
            }
            continue;
        }
        int error = 0;
        if (target && target != e->new_id) {
            error = EEXIST;  // something else stands there now: kept as found
        } else if ((error = step("restore", e->target)) == 0) {
            error = sys::replace(e->backup, e->target, e->kept, durable);
        }
        if (error != 0) {
            outcome.stuck += "; " + e->target + " could not be put back (" + system_message(error) +
                             "): it " + (target ? "holds the new data" : "is missing") +
                             ", and its old data is in " + e->backup;
        }
    }
    // Only now the temporaries, by which a later recovery sees that the
    // renames were cut short: they stay while a target is not back yet.
    for (const JournalEntry& e : entries) {
        if (outcome.ok() && id_at(e.temp) == e.new_id && step("remove", e.temp) == 0) {
            sys::remove_file(e.temp);
        }
    }
    return outcome;
}

// Removes the backups of a commit whose every rename was done.
void roll_forward(const std::vector<JournalEntry>& entries) {
    for (const JournalEntry& e : entries) {
        if (!e.backup.empty() && id_at(e.backup) == e.old_id && step("remove", e.backup) == 0) {
            sys::remove_file(e.backup);
        }
    }
}

// The journals a recovery holds while it works.
struct HeldJournals {
    std::vector<std::pair<std::string, std::intptr_t>> held;

    ~HeldJournals() {
        for (const auto& [path, handle] : held) {
            sys::close_handle(handle);
        }
    }
    void remove_all() {
        for (const auto& [path, handle] : held) {
            if (step("remove", path) == 0) {
                sys::remove_journal(path, handle);
            } else {
                sys::close_handle(handle);
            }
        }
        held.clear();
    }
};

std::string busy_message(const std::string& journal) {
    return error_message(journal,
                         "another run is replacing files in this folder right now; run this "
                         "again once it has finished");
}

// How long a recovery waits for a live run that holds a journal.
constexpr unsigned BUSY_WAIT_MS = 5000;

// Takes the journal at `path`, waiting a while for a live run to let it go.
int take_waiting(const std::string& path, std::intptr_t* handle) {
    for (unsigned waited = 0;; waited += 50) {
        const int error = sys::take_journal(path, handle);
        if (error != EBUSY || waited >= BUSY_WAIT_MS) {
            return error;
        }
        sys::pause_for(50);
    }
}

void report_recovery(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", message.c_str());
}

// Finishes the commit whose journal lies at `path`, if there is one.
bool recover_journal(const std::string& path, std::string* err) {
    HeldJournals journals;
    std::intptr_t handle = -1;
    int error = take_waiting(path, &handle);
    if (error == ENOENT) {
        return true;
    }
    if (error == EBUSY) {
        *err = busy_message(path);
        return false;
    }
    if (error != 0) {
        *err = error_message(path, "could not look at the journal of an earlier run",
                             system_message(error));
        return false;
    }
    journals.held.emplace_back(path, handle);
    std::string text;
    for (std::uint8_t buffer[1 << 14];;) {
        const long long n = sys::read_some_at(handle, text.size(), buffer, sizeof buffer, &error);
        if (n < 0) {
            *err = error_message(path, "could not read the journal of an earlier run",
                                 system_message(error));
            return false;
        }
        if (n == 0) {
            break;
        }
        text.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    }
    Journal journal;
    if (!JournalReader(text).read(&journal) || !plausible(journal)) {
        // Cut short while it was written, before any rename: nothing changed.
        // Or not this suite's: never acted on.
        journals.remove_all();
        return true;
    }
    // The other journals of the same commit, so that no other run takes one.
    const std::optional<FileId> self = id_at(path);
    for (const std::string& copy : journal.copies) {
        if (id_at(copy) == self) {
            continue;
        }
        std::intptr_t other = -1;
        error = take_waiting(copy, &other);
        if (error == EBUSY) {
            *err = busy_message(copy);
            return false;
        }
        if (error == 0) {
            journals.held.emplace_back(copy, other);
        }
    }
    bool renames_cut_short = false, related = false;
    for (const JournalEntry& e : journal.entries) {
        const std::optional<FileId> target = id_at(e.target);
        renames_cut_short = renames_cut_short || id_at(e.temp) == e.new_id;
        related = related || renames_cut_short || target == e.new_id ||
                  (!e.backup.empty() && (target == e.old_id || id_at(e.backup) == e.old_id));
    }
    if (!related) {
        // None of the files it names is there: a journal of other files.
        journals.remove_all();
        return true;
    }
    const std::string count = std::to_string(journal.entries.size());
    if (renames_cut_short) {
        const Outcome outcome = roll_back(journal.entries, true);
        if (!outcome.ok()) {
            *err = error_message(path, "an earlier run was stopped while it replaced " + count +
                                           " files together, and not all could be put back") +
                   outcome.stuck;
            return false;
        }
        report_recovery(warning_message(path, "an earlier run was stopped while it replaced " +
                                                  count +
                                                  " files together; every one of them was "
                                                  "put back as it was before that run"));
    } else {
        roll_forward(journal.entries);
        report_recovery(warning_message(
            path, "an earlier run was stopped after it had replaced " + count +
                      " files together; they are kept, and its copies of the old files were "
                      "removed"));
    }
    for (const auto& [journal_path, held] : journals.held) {
        sys::sync_folder_of(journal_path);
    }
    journals.remove_all();
    return true;
}

// Folders known to hold no journal (looked at, or made by this run).
std::mutex recovery_mutex;
std::unordered_set<std::string> clean_folders;

void mark_clean(const std::string& folder) {
    const std::lock_guard lock(recovery_mutex);
    clean_folders.insert(folder);
}

// Finishes the recovery of a commit that a journal in the folder of `path`
// names, the first time a file in that folder is used.
bool recover_folder_of(const std::string& path, std::string* err) {
    const std::string folder = folder_of(path);
    const std::lock_guard lock(recovery_mutex);
    if (clean_folders.contains(folder)) {
        return true;
    }
    const std::string journal = in_folder(folder, JOURNAL_NAME);
    if (exists(journal) && !recover_journal(journal, err)) {
        return false;
    }
    clean_folders.insert(folder);
    return true;
}

// Writes the journals of a commit, one per folder holding a target, each
// held until `held` goes away.
bool write_journals(Journal* journal, bool durable, HeldJournals* held, std::string* err) {
    // One per folder, however many ways its targets' paths spell it.
    std::vector<FileId> folders;
    for (const JournalEntry& e : journal->entries) {
        const std::string folder = folder_of(e.target);
        sys::Look look;
        const FileId id = sys::look(folder, true, &look) == 0 ? look.status.id : FileId{};
        if (std::find(folders.begin(), folders.end(), id) == folders.end()) {
            folders.push_back(id);
            journal->copies.push_back(in_folder(folder, JOURNAL_NAME));
        }
    }
    const std::string text = journal_text(*journal);
    for (const std::string& path : journal->copies) {
        std::intptr_t handle = -1;
        int error = step("journal", path);
        for (int attempt = 0; error == 0; ++attempt) {
            error = sys::create_journal(path, &handle);
            if (error == EEXIST && attempt < 10) {
                // Left by a run that died since this one looked, or a live one's.
                if (!recover_journal(path, err)) {
                    return false;
                }
            } else if (error != EAGAIN || attempt >= 10) {
                break;
            }
            error = 0;
        }
        if (error != 0) {
            *err = error_message(path,
                                 "could not write the journal that makes the commit "
                                 "recoverable",
                                 system_message(error));
            return false;
        }
        held->held.emplace_back(path, handle);
        std::size_t done = 0;
        while (done < text.size()) {
            const long long n =
                sys::write_some(handle, reinterpret_cast<const std::uint8_t*>(text.data()) + done,
                                text.size() - done, &error);
            if (n <= 0) {
                *err = write_error(path, n < 0 ? error : ENOSPC);
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        if (durable && (error = sys::flush_file(handle)) != 0) {
            *err = write_error(path, error);
            return false;
        }
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Inputs.

void FileHandle::close() {
    if (native_ != -1) {
        sys::close_handle(native_);
        native_ = -1;
    }
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        native_ = other.release();
    }
    return *this;
}

bool file_status(const std::string& path, FileStatus* out, std::string* err, bool follow_links) {
    if (!recover_folder_of(path, err)) {
        return false;
    }
    sys::Look look;
    const int error = sys::look(path, follow_links, &look);
    if (error != 0) {
        *err = error_message(path, "could not look at the file", system_message(error));
        return false;
    }
    *out = look.status;
    return true;
}

bool open_input(const std::string& path, FileHandle* file, FileStatus* status, std::string* err) {
    if (path.empty()) {
        *err = empty_path_message("an input");
        return false;
    }
    if (!recover_folder_of(path, err)) {
        return false;
    }
    std::intptr_t handle = -1;
    int error = sys::open_read(path, false, &handle);
    if (error != 0) {
        *err = open_failure_message(path, error);
        return false;
    }
    FileHandle owned(handle);
    if ((error = sys::handle_status(handle, path, status)) != 0) {
        *err = read_error(path, error);
        return false;
    }
    const std::string refusal = not_a_file(path, status->kind);
    if (!refusal.empty()) {
        *err = refusal;
        return false;
    }
    *file = std::move(owned);
    return true;
}

bool open_input(const std::string& path, FileHandle* file, std::uint64_t* size, std::string* err) {
    FileStatus status;
    if (!open_input(path, file, &status, err)) {
        return false;
    }
    *size = status.size;
    return true;
}

bool read_exact_at(const FileHandle& file, std::uint64_t offset, std::span<std::uint8_t> out,
                   const std::string& path, std::string* err) {
    std::size_t done = 0;
    while (done < out.size()) {
        int error = 0;
        const long long n = sys::read_some_at(file.native(), offset + done, out.data() + done,
                                              out.size() - done, &error);
        if (n < 0) {
            *err = read_error(path, error);
            return false;
        }
        if (n == 0) {
            *err = ended_early(path, out.size(), offset, done);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string absolute_path(const std::string& path) {
    return sys::absolute_path(path);
}

bool next_data_range(const FileHandle& file, std::uint64_t offset, std::uint64_t size,
                     std::uint64_t* start, std::uint64_t* end, const std::string& path,
                     std::string* err) {
    if (offset >= size) {
        *start = *end = size;
        return true;
    }
    const int error = sys::next_data(file.native(), offset, size, start, end);
    if (error != 0) {
        *err = read_error(path, error);
        return false;
    }
    return true;
}

bool read_whole_file(const std::string& path, ByteBuffer* out, std::string* err) {
    FileHandle file;
    std::uint64_t size = 0;
    if (!open_input(path, &file, &size, err)) {
        return false;
    }
    out->resize(static_cast<std::size_t>(size));
    return read_exact_at(file, 0, *out, path, err);
}

bool read_stream(const std::string& path, std::string* out, std::string* err) {
    if (path.empty()) {
        *err = empty_path_message("an input");
        return false;
    }
    if (!recover_folder_of(path, err)) {
        return false;
    }
    std::intptr_t handle = -1;
    int error = sys::open_read(path, true, &handle);
    if (error != 0) {
        *err = open_failure_message(path, error);
        return false;
    }
    const FileHandle file(handle);
    FileStatus status;
    if (sys::handle_status(handle, path, &status) == 0 && status.kind == FileKind::directory) {
        *err = not_a_file(path, FileKind::directory);
        return false;
    }
    out->clear();
    if (status.kind == FileKind::regular) {
        out->reserve(static_cast<std::size_t>(status.size));
    }
    for (std::uint8_t buffer[1 << 16];;) {
        const long long n = sys::read_some(handle, buffer, sizeof buffer, &error);
        if (n < 0) {
            *err = read_error(path, error);
            return false;
        }
        if (n == 0) {
            return true;
        }
        out->append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
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
        return true;  // no system maps an empty file
    }
    if (size > SIZE_MAX) {
        *err = read_error(path, EFBIG);
        return false;
    }
    void* view = nullptr;
    const int error = sys::map_view(file.native(), size, path, &view);
    if (error != 0) {
        *err = read_error(path, error);
        return false;
    }
    data_ = static_cast<std::uint8_t*>(view);
    size_ = static_cast<std::size_t>(size);
    return true;
}

void MappedFile::close() {
    if (data_ != nullptr) {
        sys::unmap_view(data_, size_);
        data_ = nullptr;
        size_ = 0;
    }
}

// ---------------------------------------------------------------------------
// Folders.

bool FolderMaker::make_parents(const std::string& path, std::string* err) {
    // The folders to make, deepest first: every prefix ending just before a
    // separator, below the root, up to the deepest one already known.
    const std::size_t root = sys::root_length(path);
    std::vector<std::size_t> ends;
    for (std::size_t end = path.find_last_of("/\\"); end != std::string::npos && end > root;
         end = path.find_last_of("/\\", end - 1)) {
        if (known_.contains(path.substr(0, end))) {
            break;
        }
        ends.push_back(end);
    }
    for (auto end = ends.rbegin(); end != ends.rend(); ++end) {
        std::string folder = path.substr(0, *end);
        int error = step("create", folder);
        if (error == 0) {
            error = sys::make_folder(folder);
        }
        if (error == 0) {
            mark_clean(folder);  // made just now: it holds no journal
            sys::register_made_folder(folder);
        } else {
            sys::Look look;
            const bool found = error == EEXIST && sys::look(folder, true, &look) == 0 &&
                               look.status.kind != FileKind::missing;
            if (!found || look.status.kind != FileKind::directory) {
                *err = error_message(
                    folder, "could not create the folder",
                    found ? "a file of that name is in the way" : system_message(error));
                return false;
            }
        }
        known_.insert(std::move(folder));
    }
    return true;
}

// ---------------------------------------------------------------------------
// Outputs.

// A new target written under its own name: nothing was there, so nothing
// needs protecting, and an exclusive creation makes sure of that. 0, or the
// error (EEXIST when something stands there after all).
int AtomicFile::create_in_place() {
    cleanup_slot_ = sys::register_unfinished(final_path_);
    int error = step("create", final_path_);
    if (error == 0) {
        error = sys::create_new(final_path_, false, &fd_);
    }
    if (error != 0) {
        sys::unregister_unfinished(cleanup_slot_);
        cleanup_slot_ = -1;
        fd_ = -1;
        return error;
    }
    temp_path_ = final_path_;
    in_place_ = true;
    sys::stop_if_interrupted(temp_path_);
    return 0;
}

// The temporary file beside the target that a commit renames into place.
bool AtomicFile::create_temporary(std::string* err) {
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        temp_path_ = sys::sibling_name(final_path_, ".tmp");
        cleanup_slot_ = sys::register_unfinished(temp_path_);
        error = step("create", temp_path_);
        if (error == 0) {
            // A replacement stays private until it takes the permissions of
            // the file it replaces, which may be private itself.
            error = sys::create_new(temp_path_, replaces_, &fd_);
        }
        if (error != 0) {
            sys::unregister_unfinished(cleanup_slot_);
            cleanup_slot_ = -1;
            fd_ = -1;
        }
    }
    if (error != 0) {
        temp_path_.clear();
        // A missing folder, or one where no file can be made: the target
        // cannot be written at all. An existing target that cannot be
        // replaced because nothing can be made beside it says so.
        *err = replaces_ && error != ENOENT && error != ENAMETOOLONG
                   ? error_message(target_,
                                   "could not create the temporary file beside it, in " +
                                       folder_of(final_path_) +
                                       ", which replaces the file once complete",
                                   system_message(error))
                   : open_failure_message(target_, error);
        return false;
    }
    sys::stop_if_interrupted(temp_path_);
    return true;
}

bool AtomicFile::open(const std::string& target, std::string* err, NewTarget new_target,
                      Target kind) {
    discard();
    target_ = target;
    size_ = 0;
    in_place_ = false;
    replaces_ = false;
    keeps_ = false;
    kept_bits_ = kept_owner_ = kept_group_ = 0;
    if (target.empty()) {
        *err = empty_path_message("an output");
        return false;
    }
    final_path_ = kind == Target::named ? sys::resolve_links(target) : target;
    if (!recover_folder_of(final_path_, err)) {
        return false;
    }
    int created = -1;
    if (kind == Target::tree && new_target == NewTarget::in_place) {
        // Most files of an extracted tree are new: making one is tried
        // first, and what stands there is looked at only when that fails.
        if ((created = create_in_place()) == 0) {
            return true;
        }
    }
    sys::Look look;
    int error = sys::look(final_path_, kind == Target::named, &look);
    if (error != 0) {
        *err = error_message(target, "could not look at the file", system_message(error));
        return false;
    }
    const FileKind found = look.status.kind;
    if (found == FileKind::missing && created > 0 && created != EEXIST) {
        *err = open_failure_message(target, created);  // a missing folder, say
        return false;
    }
    if (found == FileKind::directory) {
        *err = open_failure_message(target, EISDIR);
        return false;
    }
    if (found == FileKind::other && kind == Target::tree) {
        *err = error_message(target, "a device or pipe stands where the file goes");
        return false;
    }
    if (found == FileKind::other) {
        // A device or FIFO takes the data as it comes; there is nothing to replace.
        if ((error = sys::open_for_writing(final_path_, &fd_)) != 0) {
            fd_ = -1;
            *err = open_failure_message(target, error);
            return false;
        }
        in_place_ = true;
        return true;
    }
    if (found == FileKind::missing && new_target == NewTarget::in_place) {
        if ((error = create_in_place()) == 0) {
            return true;
        }
        if (error != EEXIST) {
            *err = open_failure_message(target, error);
            return false;
        }
        // Something appeared meanwhile: replace it like any existing file.
        return open(target, err, NewTarget::via_temporary, kind);
    }
    replaces_ = found != FileKind::missing;
    if (found == FileKind::regular) {
        keeps_ = look.kept.known;
        kept_bits_ = look.kept.bits;
        kept_owner_ = look.kept.owner;
        kept_group_ = look.kept.group;
    }
    return create_temporary(err);
}

sys::Kept AtomicFile::kept() const {
    return {keeps_ && !in_place_, kept_bits_, kept_owner_, kept_group_};
}

bool AtomicFile::write(std::span<const std::uint8_t> data, std::string* err) {
    std::size_t done = 0;
    while (done < data.size()) {
        int error = 0;
        const long long n = sys::write_some(fd_, data.data() + done, data.size() - done, &error);
        if (n <= 0) {
            *err = write_error(target_, n < 0 ? error : ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    size_ += data.size();
    return true;
}

bool AtomicFile::write_zeros(std::uint64_t length, std::string* err) {
    static const std::uint8_t zeros[1 << 14] = {};
    while (length > 0) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof zeros));
        if (!write({zeros, n}, err)) {
            return false;
        }
        length -= n;
    }
    return true;
}

namespace {

// Copies `length` bytes of `source` at `offset` into `target` inside the
// system, at `*target_offset` or (null) at its end. `*done` tells how far it
// came; true when the rest (from `*done`) is to go through memory, where the
// system cannot copy between these files.
bool copy_inside(const FileHandle& source, std::uint64_t offset, std::intptr_t target,
                 const std::uint64_t* target_offset, std::uint64_t length,
                 const std::string& source_path, const std::string& target_path,
                 std::uint64_t* done, std::string* err) {
    const int error =
        sys::copy_in_system(source.native(), offset, target, target_offset, length, done);
    if (error > 0) {
        // Tell a failing source from a failing target.
        *err = sys::ends_before(source.native(), offset + length)
                   ? ended_early(source_path, length, offset, *done)
                   : write_error(target_path, error);
        return false;
    }
    if (error == 0 && *done < length) {
        *err = ended_early(source_path, length, offset, *done);
        return false;
    }
    return true;
}

// Copies bytes `done` to `length` of `source` at `offset` through `buffer`
// (a buffer of its own when empty), handing each piece to `put(at, piece)`,
// `at` counted from `offset`.
template <class Put>
bool copy_through(const FileHandle& source, std::uint64_t offset, std::uint64_t length,
                  std::uint64_t done, std::span<std::uint8_t> buffer,
                  const std::string& source_path, Put put, std::string* err) {
    std::vector<std::uint8_t> own;
    if (done < length && buffer.empty()) {
        own.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length - done, 1 << 20)));
        buffer = own;
    }
    while (done < length) {
        const auto ask =
            static_cast<std::size_t>(std::min<std::uint64_t>(length - done, buffer.size()));
        int error = 0;
        const long long n =
            sys::read_some_at(source.native(), offset + done, buffer.data(), ask, &error);
        if (n < 0) {
            *err = read_error(source_path, error);
            return false;
        }
        if (n == 0) {
            *err = ended_early(source_path, length, offset, done);
            return false;
        }
        if (!put(done, std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)),
                 err)) {
            return false;
        }
        done += static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace

bool AtomicFile::copy_from(const FileHandle& source, std::uint64_t offset, std::uint64_t length,
                           const std::string& source_path, std::string* err) {
    std::uint64_t done = 0;
    const bool inside =
        copy_inside(source, offset, fd_, nullptr, length, source_path, target_, &done, err);
    size_ += done;
    return inside &&
           copy_through(
               source, offset, length, done, {}, source_path,
               [&](std::uint64_t, std::span<const std::uint8_t> piece, std::string* e) {
                   return write(piece, e);
               },
               err);
}

bool AtomicFile::write_hole(std::uint64_t length, std::string* err) {
    if (length == 0) {
        return true;
    }
    // The data so far was appended from offset 0, so the file ends at size_.
    const int error = sys::grow_file(fd_, size_ + length);
    if (error < 0) {
        return write_zeros(length, err);
    }
    if (error != 0) {
        *err = write_error(target_, error);
        return false;
    }
    size_ += length;
    return true;
}

bool AtomicFile::copy_permissions_from(const FileHandle& source, const std::string& source_path,
                                       std::string* err) {
    sys::Kept from, made;
    int error = sys::handle_kept(source.native(), &from);
    if (error != 0) {
        *err = read_error(source_path, error);
        return false;
    }
    if ((error = sys::handle_kept(fd_, &made)) != 0) {
        *err = write_error(target_, error);
        return false;
    }
    // Only a regular file being written gets them (never a device), and only
    // on systems with permission bits; they are given when it is finished.
    if (!from.known || !made.known || in_place_) {
        return true;
    }
    if (!keeps_) {
        kept_owner_ = made.owner;
        kept_group_ = made.group;
        keeps_ = true;
    }
    kept_bits_ = from.bits;
    return true;
}

bool AtomicFile::set_size(std::uint64_t size, std::string* err) {
    const int error = sys::set_file_size(fd_, size);
    if (error != 0) {
        *err = write_error(target_, error);
        return false;
    }
    size_ = size;
    return true;
}

bool AtomicFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> data,
                          std::string* err) const {
    std::size_t done = 0;
    while (done < data.size()) {
        int error = 0;
        const long long n =
            sys::write_some_at(fd_, offset + done, data.data() + done, data.size() - done, &error);
        if (n <= 0) {
            *err = write_error(target_, n < 0 ? error : ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool AtomicFile::copy_at(std::uint64_t offset, const FileHandle& source,
                         std::uint64_t source_offset, std::uint64_t length,
                         const std::string& source_path, CopyMethod method,
                         std::span<std::uint8_t> buffer, std::string* err) const {
    std::uint64_t done = 0;
    if (method == CopyMethod::in_system &&
        !copy_inside(source, source_offset, fd_, &offset, length, source_path, target_, &done,
                     err)) {
        return false;
    }
    // The rest through the buffer, where the system cannot copy between
    // these files or the caller asked for that.
    return copy_through(
        source, source_offset, length, done, buffer, source_path,
        [&](std::uint64_t at, std::span<const std::uint8_t> piece, std::string* e) {
            return write_at(offset + at, piece, e);
        },
        err);
}

bool AtomicFile::finish(bool durable, std::string* err) {
    if (fd_ == -1) {
        return true;
    }
    const std::intptr_t handle = fd_;
    fd_ = -1;
    const int error = sys::finish_file(handle, durable, !temp_path_.empty(), kept());
    if (error != 0) {
        *err = write_error(target_, error);
        return false;
    }
    return true;
}

bool AtomicFile::commit(bool durable, std::string* err) {
    AtomicFile* const self[] = {this};
    return commit_together(self, durable, err);
}

void AtomicFile::discard() {
    if (fd_ != -1) {
        sys::close_handle(fd_);
        fd_ = -1;
    }
    if (!temp_path_.empty()) {
        sys::remove_file(temp_path_);
        temp_path_.clear();
    }
    sys::unregister_unfinished(cleanup_slot_);
    cleanup_slot_ = -1;
}

namespace {

// Holds interruptions back while a commit renames (sys::begin_commit).
class CommitGuard {
  public:
    CommitGuard() { sys::begin_commit(); }
    ~CommitGuard() { sys::end_commit(); }
    CommitGuard(const CommitGuard&) = delete;
    CommitGuard& operator=(const CommitGuard&) = delete;
    bool interrupted() const { return sys::commit_interruption() != 0; }
};

std::string replace_error(const std::string& target, int error) {
    return error_message(target, "could not replace the file", system_message(error));
}

}  // namespace

bool commit_together(std::span<AtomicFile* const> files, bool durable, std::string* err) {
    for (AtomicFile* file : files) {
        if (!file->finish(durable, err)) {
            return false;
        }
    }
    // Files written under their own names (new files, devices) are in place
    // already; the others are renamed over their targets.
    std::vector<AtomicFile*> renamed;
    for (AtomicFile* file : files) {
        if (!file->in_place_ && !file->temp_path_.empty()) {
            renamed.push_back(file);
        }
    }
    auto settle = [&](AtomicFile* file) {
        sys::unregister_unfinished(file->cleanup_slot_);
        file->cleanup_slot_ = -1;
        file->temp_path_.clear();
    };
    auto discard_all = [&] {
        for (AtomicFile* file : files) {
            file->discard();
        }
    };
    const bool together = files.size() > 1;
    const std::string nothing_replaced = together ? "; nothing was replaced" : "";

    // A target that another program holds (Windows) is found before
    // anything is touched: one of several renames could not be undone.
    for (std::size_t i = 0; renamed.size() > 1 && i < renamed.size(); ++i) {
        AtomicFile* file = renamed[i];
        const int error = sys::check_replaceable(file->final_path_);
        if (error != 0) {
            *err = replace_error(file->target_, error) + nothing_replaced;
            discard_all();
            return false;
        }
    }

    if (renamed.empty()) {
        for (AtomicFile* file : files) {
            settle(file);
        }
        return true;
    }
    // One rename is all or nothing by itself.
    if (renamed.size() == 1) {
        const CommitGuard guard;
        for (AtomicFile* file : renamed) {
            int error = step("rename", file->final_path_);
            if (guard.interrupted()) {
                // Nothing was replaced: the interruption ends the run as any
                // does, when the guard goes.
                *err = replace_error(file->target_, EINTR);
                return false;
            }
            if (error == 0) {
                error = sys::replace(file->temp_path_, file->final_path_, file->kept(), durable);
            }
            if (error != 0) {
                *err = replace_error(file->target_, error) + nothing_replaced;
                discard_all();
                return false;
            }
            if (durable) {
                sys::sync_folder_of(file->final_path_);
            }
        }
        for (AtomicFile* file : files) {
            settle(file);
        }
        return true;
    }

    // Several renames. The journals come first, naming everything; then
    // each existing target gets a second name, which it keeps until every
    // rename is done.
    Journal journal;
    for (const AtomicFile* file : renamed) {
        JournalEntry e;
        e.target = sys::absolute_path(file->final_path_);
        e.temp = sys::absolute_path(file->temp_path_);
        sys::Look look;
        if (sys::look(file->temp_path_, false, &look) == 0) {
            e.new_id = look.status.id;
        }
        if (sys::look(file->final_path_, false, &look) == 0 &&
            look.status.kind != FileKind::missing) {
            e.old_id = look.status.id;
            e.kept = look.kept;
            e.backup = sys::absolute_path(sys::sibling_name(file->final_path_, ".old"));
        }
        journal.entries.push_back(std::move(e));
    }
    HeldJournals journals;
    // Puts every target back; the end of the message that says so.
    auto undo = [&] {
        const Outcome outcome = roll_back(journal.entries, durable);
        if (!outcome.ok()) {
            // The journals and the temporaries stay, for a later run to
            // find and try again.
            for (AtomicFile* file : renamed) {
                settle(file);
            }
            return outcome.stuck;
        }
        for (AtomicFile* file : files) {
            file->discard();
        }
        journals.remove_all();
        return std::string("; nothing was replaced");
    };
    if (!write_journals(&journal, durable, &journals, err)) {
        *err += undo();
        return false;
    }
    std::vector<bool> aside(renamed.size(), false);
    for (std::size_t i = 0; i < renamed.size(); ++i) {
        const JournalEntry& e = journal.entries[i];
        if (!e.backup.empty()) {
            int error = step("link", e.target);
            if (error == 0) {
                error = sys::link_file(e.target, e.backup);
            }
            // A file system without hard links: the old file moves aside instead.
            aside[i] = error != 0;
        }
    }
    if (durable) {
        // The journals and the backups reach the disk before any rename.
        for (const std::string& copy : journal.copies) {
            sys::sync_folder_of(copy);
        }
    }

    {
        const CommitGuard guard;
        for (std::size_t i = 0; i < renamed.size(); ++i) {
            AtomicFile& file = *renamed[i];
            const JournalEntry& e = journal.entries[i];
            int error = step("rename", file.final_path_);
            if (error == 0 && guard.interrupted()) {
                break;
            }
            if (error == 0 && aside[i] && (error = step("aside", file.final_path_)) == 0) {
                error = sys::move_aside(e.target, e.backup);
            }
            if (error == 0) {
                error = sys::replace(file.temp_path_, file.final_path_, file.kept(), durable);
            }
            if (error != 0) {
                *err = replace_error(file.target_, error) + undo();
                return false;
            }
        }
        if (guard.interrupted()) {
            const std::string outcome = undo();
            sys::exit_interrupted(outcome == "; nothing was replaced"
                                      ? " while the outputs replaced their files; every file "
                                        "was put back as it was, nothing changed"
                                      : " while the outputs replaced their files, and not all "
                                        "could be put back" +
                                            outcome);
        }
        if (durable) {
            for (const std::string& copy : journal.copies) {
                sys::sync_folder_of(copy);
            }
        }
        // Every rename is done: the old files go, then the journals.
        roll_forward(journal.entries);
        journals.remove_all();
    }
    for (AtomicFile* file : files) {
        settle(file);
    }
    return true;
}

bool write_whole_file(const std::string& path, std::span<const std::uint8_t> data,
                      std::string* err) {
    AtomicFile file;
    return file.open(path, err) && file.write(data, err) && file.commit(false, err);
}

RunLock::~RunLock() {
    if (handle_ != -1) {
        sys::close_handle(handle_);
    }
}

bool RunLock::take(const std::string& path, bool* busy, std::string* err) {
    *busy = false;
    if (handle_ != -1) {
        return true;
    }
    const int error = sys::hold_lock(path, &handle_);
    if (error == 0) {
        return true;
    }
    handle_ = -1;
    *busy = error == EBUSY;
    *err = error_message(path, "could not take the lock file (" + system_message(error) + ")");
    return false;
}

bool remove_file(const std::string& path, std::string* err) {
    const int error = sys::remove_file(path);
    if (error == 0 || error == ENOENT) {
        return true;
    }
    *err = error_message(path, "could not remove the file (" + system_message(error) + ")");
    return false;
}
