#include "sectors/sector_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "common/byte_buffer.h"
#include "common/message.h"
#include "common/names.h"
#include "common/platform/host.h"
#include "common/run_files.h"
#include "common/text.h"
#include "sectors/ordered_work.h"

namespace {

std::string job_place(const ExtractJob& job) {
    return job.where + " (" + quoted(job.name) + ")";
}

}  // namespace

bool check_extract_targets(std::span<const ExtractJob> jobs, std::span<const std::string> inputs,
                           std::string* err) {
    // Nothing stands below a folder that is missing, so a fresh extraction
    // looks at one path only.
    std::unordered_set<std::string> missing;
    auto parent_missing = [&](const std::string& path) {
        const std::size_t slash = path.rfind('/');
        return slash != std::string::npos && slash > 0 && missing.contains(path.substr(0, slash));
    };
    for (const std::string& folder : extract_folders(jobs)) {
        if (parent_missing(folder)) {
            missing.insert(folder);
            continue;
        }
        FileStatus status;
        if (!file_status(folder, &status, err)) {
            return false;
        }
        // Nothing at the path, or a symbolic link to nothing, in which no
        // folder can be made.
        if (status.kind == FileKind::missing) {
            FileStatus link;
            if (!file_status(folder, &link, err, false)) {
                return false;
            }
            if (link.kind == FileKind::missing) {
                missing.insert(folder);
                continue;
            }
        }
        if (status.kind == FileKind::directory) {
            continue;
        }
        // The first job needing the folder, for the message.
        for (const ExtractJob& job : jobs) {
            if (job.path.starts_with(folder + "/")) {
                if (status.kind == FileKind::missing) {
                    *err = error_message(folder, job_place(job) +
                                                     " needs this as a folder, but a symbolic link "
                                                     "whose target does not exist stands there; "
                                                     "nothing was written");
                    return false;
                }
                *err = error_message(folder, job_place(job) +
                                                 " needs this as a folder, but a file "
                                                 "stands there; nothing was written");
                return false;
            }
        }
    }
    std::vector<FileId> input_ids;  // looked up when the first file to replace is met
    bool inputs_known = false;
    for (const ExtractJob& job : jobs) {
        if (parent_missing(job.path)) {
            continue;
        }
        FileStatus status;
        if (!file_status(job.path, &status, err, false)) {
            return false;
        }
        switch (status.kind) {
            case FileKind::missing:
                continue;
            case FileKind::directory:
                *err = error_message(job.path, "a folder stands where " + job_place(job) +
                                                   " is to be written; nothing was written");
                return false;
            case FileKind::other:
                *err = error_message(job.path, "a device or pipe stands where " + job_place(job) +
                                                   " is to be written; nothing was written");
                return false;
            case FileKind::link:
                continue;  // the link is replaced; what it points to stays
            case FileKind::regular:
                break;
        }
        if (!inputs_known) {
            for (const std::string& input : inputs) {
                FileStatus input_status;
                if (file_status(input, &input_status, err) &&
                    input_status.kind != FileKind::missing) {
                    input_ids.push_back(input_status.id);
                } else {
                    input_ids.push_back({});
                }
            }
            inputs_known = true;
        }
        for (std::size_t i = 0; i < input_ids.size(); ++i) {
            if (input_ids[i] != FileId{} && status.id == input_ids[i]) {
                *err = error_message(job.path, job_place(job) + " would overwrite " + inputs[i] +
                                                   ", which is being read; extract in another "
                                                   "folder. Nothing was written");
                return false;
            }
        }
    }
    return true;
}

namespace {

// One worker's state: the folders it has made, and the source it has open.
struct ExtractWorker {
    FolderMaker folders;
    FileHandle source;
    std::uint32_t open_source = 0;
    const ExtractObserver* observe = nullptr;
    ByteBuffer buffer;  // for an observed extraction

    // Copies the job's data through the buffer, showing each piece.
    bool copy_observed(std::size_t i, const ExtractJob& job, const std::string& from,
                       AtomicFile& file, std::string* err) {
        if (buffer.empty()) {
            buffer.resize(COMPARE_CHUNK);
        }
        for (std::uint64_t done = 0; done < job.length;) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(job.length - done, buffer.size()));
            const ByteSpan chunk{buffer.data(), n};
            if (!read_exact_at(source, job.offset + done, {buffer.data(), n}, from, err) ||
                !file.write(chunk, err)) {
                return false;
            }
            (*observe)(i, chunk);
            done += n;
        }
        return true;
    }

    bool write(std::size_t i, const ExtractJob& job, std::span<const ExtractSource> sources,
               std::string* err) {
        const ExtractSource& from = sources[job.source];
        if (!source.valid() || open_source != job.source) {
            std::uint64_t size = 0;
            if (!open_input(from.path, &source, &size, err)) {
                return false;
            }
            open_source = job.source;
        }
        AtomicFile file;
        if (!folders.make_parents(job.path, err) ||
            !file.open(job.path, err, AtomicFile::NewTarget::in_place, AtomicFile::Target::tree) ||
            !(observe != nullptr
                  ? copy_observed(i, job, from.path, file, err)
                  : file.copy_from(source, job.offset, job.length, from.path, err)) ||
            !file.commit(false, err)) {
            *err += " (while writing " + job_place(job) + ")";
            return false;
        }
        return true;
    }
};

// Which worker writes each job. The table is cut into runs of neighbouring
// jobs, dealt out in turn, so that a worker reads on from where it was in a
// source (and opens each source once), while the listing still moves on
// steadily. Jobs whose paths name the same file (`same_file_key`, the rule
// the checks go by) all go to the worker of the first one, which writes them in table order, so the
// later entry's data is the one left.
std::vector<std::uint32_t> assign_workers(std::span<const ExtractJob> jobs, std::size_t workers) {
    constexpr std::size_t RUN_JOBS = 32;
    constexpr std::uint64_t RUN_BYTES = 4 << 20;
    std::vector<std::uint32_t> worker(jobs.size());
    std::unordered_map<std::string, std::uint32_t> first;
    std::uint32_t current = 0;
    std::size_t run_jobs = 0;
    std::uint64_t run_bytes = 0;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (run_jobs == RUN_JOBS || run_bytes >= RUN_BYTES) {
            current = static_cast<std::uint32_t>((current + 1) % workers);
            run_jobs = 0;
            run_bytes = 0;
        }
        worker[i] = first.try_emplace(same_file_key(jobs[i].path), current).first->second;
        ++run_jobs;
        run_bytes += jobs[i].length;
    }
    return worker;
}

enum JobState : std::uint8_t { PENDING, DONE, FAILED };

}  // namespace

unsigned extraction_workers() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

bool run_extraction(std::span<const ExtractJob> jobs, std::span<const ExtractSource> sources,
                    const std::function<void(std::size_t)>& before, std::string* err,
                    unsigned workers, const ExtractObserver* observe) {
    const std::size_t count = std::min<std::size_t>(std::max(workers, 1u), jobs.size());
    if (count <= 1) {
        ExtractWorker worker;
        worker.observe = observe;
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            before(i);
            if (!worker.write(i, jobs[i], sources, err)) {
                return false;
            }
        }
        return true;
    }

    const std::vector<std::uint32_t> assigned = assign_workers(jobs, count);
    std::vector<std::vector<std::uint32_t>> lists(count);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        lists[assigned[i]].push_back(static_cast<std::uint32_t>(i));
    }
    std::unique_ptr<std::atomic<std::uint8_t>[]> state(new std::atomic<std::uint8_t>[jobs.size()]);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        state[i].store(PENDING, std::memory_order_relaxed);
    }
    std::vector<std::string> errors(count);
    // Later jobs than a failed one are not started any more; earlier ones
    // still finish, so that the failure reported is the one a run in table
    // order would have met.
    EarliestFailure failure;
    // The listing runs ahead as far as the jobs are written, in table order,
    // on whichever thread finds the next job done. A thread that finds the
    // listing busy goes on working; the calling thread lists what is left
    // once every thread has stopped. Nobody waits for the listing.
    std::mutex listing;
    std::size_t listed = 0;
    auto list_written = [&] {
        std::unique_lock lock(listing, std::try_to_lock);
        if (!lock.owns_lock()) {
            return;
        }
        for (; listed < jobs.size() && state[listed].load(std::memory_order_acquire) == DONE;
             ++listed) {
            before(listed);
        }
    };
    auto work = [&](std::size_t w) {
        ExtractWorker worker;
        worker.observe = observe;
        for (const std::uint32_t i : lists[w]) {
            if (!failure.allows(i)) {
                break;
            }
            bool ok;
            try {
                ok = worker.write(i, jobs[i], sources, &errors[w]);
            } catch (const std::bad_alloc&) {
                errors[w] = error_message(jobs[i].path, "not enough memory",
                                          "while writing " + job_place(jobs[i]));
                ok = false;
            }
            state[i].store(ok ? DONE : FAILED, std::memory_order_release);
            if (!ok) {
                failure.record(i);
                break;
            }
            list_written();
        }
    };
    run_on_threads(count, work);
    // Every job before the earliest failure is written now.
    for (; listed < jobs.size(); ++listed) {
        before(listed);
        if (state[listed].load(std::memory_order_relaxed) == FAILED) {
            *err = errors[assigned[listed]];
            return false;
        }
    }
    return true;
}

namespace {

// Why the file at a job's path cannot be packed, from what stands there.
std::string not_packable(const PackJob& job, FileKind kind) {
    if (kind == FileKind::missing) {
        return open_failure_message(job.path, ENOENT);
    }
    return error_message(
        job.path, std::string(kind == FileKind::directory ? "is a folder" : "is a device or pipe") +
                      ", not a file to pack as " + job.where + " (" + quoted(job.name) + ")");
}

bool measure_pack_file(const PackJob& job, FileStatus* status, std::string* err) {
    if (!file_status(job.path, status, err)) {
        return false;
    }
    if (status->kind != FileKind::regular) {
        *err = not_packable(job, status->kind);
        return false;
    }
    return true;
}

// Opens a job's file to read it; what is not a regular file gets the same
// message as when it is measured.
bool open_pack_file(const PackJob& job, FileHandle* file, FileStatus* opened, std::string* err) {
    if (open_input(job.path, file, opened, err)) {
        return true;
    }
    FileStatus status;
    std::string ignored;
    if (file_status(job.path, &status, &ignored) && status.kind != FileKind::regular &&
        status.kind != FileKind::missing) {
        *err = not_packable(job, status.kind);
    }
    return false;
}

}  // namespace

bool pack_file_sizes(std::span<const PackJob> jobs, std::vector<std::uint64_t>* sizes,
                     std::string* err, std::vector<FileId>* ids) {
    sizes->clear();
    sizes->reserve(jobs.size());
    if (ids != nullptr) {
        ids->clear();
        ids->reserve(jobs.size());
    }
    for (const PackJob& job : jobs) {
        FileStatus status;
        if (!measure_pack_file(job, &status, err)) {
            return false;
        }
        sizes->push_back(status.size);
        if (ids != nullptr) {
            ids->push_back(status.id);
        }
    }
    return true;
}

bool same_bytes(const FileHandle& a, std::uint64_t a_offset, const std::string& a_path,
                const FileHandle& b, std::uint64_t b_offset, const std::string& b_path,
                std::uint64_t length, bool* same, std::string* err) {
    const auto chunk = static_cast<std::size_t>(std::min(length, COMPARE_CHUNK));
    ByteBuffer x(chunk), y(chunk);
    for (std::uint64_t done = 0; done < length;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, chunk));
        if (!read_exact_at(a, a_offset + done, {x.data(), n}, a_path, err) ||
            !read_exact_at(b, b_offset + done, {y.data(), n}, b_path, err)) {
            return false;
        }
        if (std::memcmp(x.data(), y.data(), n) != 0) {
            *same = false;
            return true;
        }
        done += n;
    }
    *same = true;
    return true;
}

bool review_pack(const ExtractSource& packed, std::span<const PackJob> jobs, PackReview* out,
                 std::string* err) {
    out->sizes.clear();
    out->sizes.reserve(jobs.size());
    out->ids.clear();
    out->ids.reserve(jobs.size());
    out->changed = false;
    for (const PackJob& job : jobs) {
        if (!check_data_range(packed.path, packed.size, job.where, job.name, job.data_offset,
                              job.data_length, err)) {
            return false;
        }
    }
    FileHandle source;  // opened when the first file needs comparing
    for (const PackJob& job : jobs) {
        FileStatus status;
        if (out->changed) {
            // The table is rebuilt anyway: only the size is needed now.
            if (!measure_pack_file(job, &status, err)) {
                return false;
            }
            out->sizes.push_back(status.size);
            out->ids.push_back(status.id);
            continue;
        }
        FileHandle file;
        if (!open_pack_file(job, &file, &status, err)) {
            return false;
        }
        const std::uint64_t size = status.size;
        out->sizes.push_back(size);
        out->ids.push_back(status.id);
        if (size != job.data_length) {
            out->changed = true;
            continue;
        }
        if (size == 0) {
            continue;
        }
        std::uint64_t source_size = 0;
        if (!source.valid() && !open_input(packed.path, &source, &source_size, err)) {
            return false;
        }
        bool same = false;
        if (!same_bytes(file, 0, job.path, source, job.data_offset, packed.path, size, &same,
                        err)) {
            return false;
        }
        out->changed = !same;
    }
    return true;
}

namespace {

std::string size_changed(const PackJob& job, std::uint64_t planned, std::uint64_t now) {
    return error_message(job.path, "changed size while the rebuild ran (" +
                                       std::to_string(planned) + " bytes, now " +
                                       std::to_string(now) + "); nothing was replaced");
}

bool pack_in_order(std::span<const PackJob> jobs, std::span<const PackPlacement> placements,
                   std::uint64_t total, AtomicFile& out,
                   const std::function<void(std::size_t)>& before, std::string* err) {
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const PackJob& job = jobs[i];
        const PackPlacement& place = placements[i];
        before(i);
        FileHandle file;
        std::uint64_t size = 0;
        if (!open_input(job.path, &file, &size, err)) {
            return false;
        }
        if (size != place.length) {
            *err = size_changed(job, place.length, size);
            return false;
        }
        if (!out.write_zeros(sector_offset(static_cast<std::uint32_t>(place.sector)) - out.size(),
                             err) ||
            !out.copy_from(file, 0, place.length, job.path, err)) {
            return false;
        }
    }
    return out.write_zeros(total - out.size(), err);
}

// Every file's place is known from the plan, so the output gets its final
// size (the zero fill is what no file covers) and the files are copied to
// their offsets on every thread. Threads take runs of neighbouring files in
// table order, so that each reads on through a folder and writes on through
// the output; after a failure no run that starts later is begun, and the
// runs already begun stop at the failed job, so that every job before the
// earliest failure is written.
bool pack_at_once(std::span<const PackJob> jobs, std::span<const PackPlacement> placements,
                  std::uint64_t total, AtomicFile& out,
                  const std::function<void(std::size_t)>& before, std::string* err,
                  const PackCopy& copy) {
    if (!out.set_size(total, err)) {
        return false;
    }
    constexpr std::size_t RUN_JOBS = 32;
    constexpr std::uint64_t RUN_BYTES = 4 << 20;
    std::vector<std::size_t> run_starts;
    std::uint64_t run_bytes = 0;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (run_starts.empty() || i - run_starts.back() == RUN_JOBS || run_bytes >= RUN_BYTES) {
            run_starts.push_back(i);
            run_bytes = 0;
        }
        run_bytes += placements[i].length;
    }
    run_starts.push_back(jobs.size());
    const std::size_t runs = run_starts.size() - 1;
    const std::size_t count = std::clamp<std::size_t>(copy.workers, 1, runs);

    std::unique_ptr<std::atomic<std::uint8_t>[]> state(new std::atomic<std::uint8_t>[jobs.size()]);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        state[i].store(PENDING, std::memory_order_relaxed);
    }
    std::vector<std::string> errors(jobs.size());
    std::atomic<std::size_t> next_run{0};
    EarliestFailure failure;
    // The listing runs ahead as far as the jobs are written, in table order,
    // on whichever thread finds the next job done; nobody waits for it.
    std::mutex listing;
    std::size_t listed = 0;
    auto list_written = [&] {
        std::unique_lock lock(listing, std::try_to_lock);
        if (!lock.owns_lock()) {
            return;
        }
        for (; listed < jobs.size() && state[listed].load(std::memory_order_acquire) == DONE;
             ++listed) {
            before(listed);
        }
    };
    auto write_job = [&](std::size_t i, std::span<std::uint8_t> buffer, std::string* e) {
        const PackJob& job = jobs[i];
        const PackPlacement& place = placements[i];
        FileHandle file;
        std::uint64_t size = 0;
        if (!open_input(job.path, &file, &size, e)) {
            return false;
        }
        if (size != place.length) {
            *e = size_changed(job, place.length, size);
            return false;
        }
        return out.copy_at(sector_offset(static_cast<std::uint32_t>(place.sector)), file, 0,
                           place.length, job.path, copy.method, buffer, e);
    };
    auto work = [&] {
        ByteBuffer buffer;
        for (;;) {
            const std::size_t run = next_run.fetch_add(1);
            if (run >= runs || !failure.allows(run_starts[run])) {
                return;
            }
            for (std::size_t i = run_starts[run]; i < run_starts[run + 1]; ++i) {
                if (!failure.allows(i)) {
                    return;
                }
                bool ok;
                try {
                    if (buffer.size() == 0 && copy.method == CopyMethod::buffered) {
                        buffer.resize(COMPARE_CHUNK);
                    }
                    ok = write_job(i, {buffer.data(), buffer.size()}, &errors[i]);
                } catch (const std::bad_alloc&) {
                    errors[i] = error_message(jobs[i].path, "not enough memory",
                                          "while packing " + jobs[i].where);
                    ok = false;
                }
                state[i].store(ok ? DONE : FAILED, std::memory_order_release);
                if (!ok) {
                    failure.record(i);
                    return;
                }
            }
            list_written();
        }
    };
    run_on_threads(count, [&](std::size_t) { work(); });
    for (; listed < jobs.size(); ++listed) {
        before(listed);
        if (state[listed].load(std::memory_order_relaxed) == FAILED) {
            *err = errors[listed];
            return false;
        }
    }
    return true;
}

// Copying through buffers on several threads: writes into one file take the
// file's lock on Linux (tmpfs and ext4 alike), so threads that all write
// spend their time waiting for each other. Here the other threads only
// read, each file into buffers of 1 MiB, and the calling thread alone
// writes each buffer at its offset. A file's last piece written marks it
// done; the listing follows in table order.
bool pack_through_writer(std::span<const PackJob> jobs, std::span<const PackPlacement> placements,
                         std::uint64_t total, AtomicFile& out,
                         const std::function<void(std::size_t)>& before, std::string* err,
                         unsigned readers_wanted) {
    if (!out.set_size(total, err)) {
        return false;
    }
    struct Piece {
        std::size_t job;
        std::uint64_t offset;  ///< in the output
        std::size_t length;
        std::size_t buffer;  ///< into `buffers`
        bool last;
    };
    const std::size_t readers = std::clamp<std::size_t>(readers_wanted, 1, jobs.size());
    // Enough buffers that no reader waits while the writer is busy.
    std::vector<ByteBuffer> buffers(readers * 4);
    std::vector<std::size_t> free_buffers;
    for (std::size_t b = 0; b < buffers.size(); ++b) {
        free_buffers.push_back(b);
    }
    std::deque<Piece> ready;
    std::mutex mutex;
    std::condition_variable buffer_freed, piece_ready;
    std::size_t readers_running = readers;
    std::unique_ptr<std::atomic<std::uint8_t>[]> state(new std::atomic<std::uint8_t>[jobs.size()]);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        state[i].store(PENDING, std::memory_order_relaxed);
    }
    std::vector<std::string> errors(jobs.size());
    std::atomic<std::size_t> next_job{0};
    EarliestFailure failure;
    auto fail_at = [&](std::size_t i) {
        state[i].store(FAILED, std::memory_order_release);
        failure.record(i);
        std::lock_guard lock(mutex);
        buffer_freed.notify_all();
        piece_ready.notify_all();
    };
    // Takes a free buffer; none when a failure at or before `i` ends the run.
    auto take_buffer = [&](std::size_t i) -> std::optional<std::size_t> {
        std::unique_lock lock(mutex);
        buffer_freed.wait(lock, [&] { return !free_buffers.empty() || !failure.allows(i); });
        if (!failure.allows(i)) {
            return std::nullopt;
        }
        const std::size_t b = free_buffers.back();
        free_buffers.pop_back();
        return b;
    };
    auto read_job = [&](std::size_t i) {
        const PackJob& job = jobs[i];
        const PackPlacement& place = placements[i];
        FileHandle file;
        std::uint64_t size = 0;
        if (!open_input(job.path, &file, &size, &errors[i])) {
            return false;
        }
        if (size != place.length) {
            errors[i] = size_changed(job, place.length, size);
            return false;
        }
        if (place.length == 0) {
            state[i].store(DONE, std::memory_order_release);
            return true;
        }
        const std::uint64_t at = sector_offset(static_cast<std::uint32_t>(place.sector));
        for (std::uint64_t done = 0; done < place.length;) {
            const std::optional<std::size_t> b = take_buffer(i);
            if (!b) {
                return true;  // an earlier job failed; this one is not needed
            }
            ByteBuffer& buffer = buffers[*b];
            if (buffer.empty()) {
                buffer.resize(COMPARE_CHUNK);
            }
            const auto n = static_cast<std::size_t>(
                std::min<std::uint64_t>(place.length - done, buffer.size()));
            if (!read_exact_at(file, done, {buffer.data(), n}, job.path, &errors[i])) {
                std::lock_guard lock(mutex);
                free_buffers.push_back(*b);
                return false;
            }
            done += n;
            std::lock_guard lock(mutex);
            ready.push_back({i, at + done - n, n, *b, done == place.length});
            piece_ready.notify_one();
        }
        return true;
    };
    auto read = [&] {
        for (;;) {
            const std::size_t i = next_job.fetch_add(1);
            if (i >= jobs.size() || !failure.allows(i)) {
                break;
            }
            bool ok;
            try {
                ok = read_job(i);
            } catch (const std::bad_alloc&) {
                errors[i] = error_message(jobs[i].path, "not enough memory",
                                          "while packing " + jobs[i].where);
                ok = false;
            }
            if (!ok) {
                fail_at(i);
                break;
            }
        }
        std::lock_guard lock(mutex);
        --readers_running;
        piece_ready.notify_all();
    };
    std::vector<std::thread> threads;
    threads.reserve(readers);
    for (std::size_t t = 0; t < readers; ++t) {
        threads.emplace_back(read);
    }
    // The writer: this thread. It drains every piece, also after a failure,
    // so that no reader waits for a buffer forever.
    std::size_t listed = 0;
    for (;;) {
        Piece piece;
        {
            std::unique_lock lock(mutex);
            piece_ready.wait(lock, [&] { return !ready.empty() || readers_running == 0; });
            if (ready.empty()) {
                break;
            }
            piece = ready.front();
            ready.pop_front();
        }
        if (failure.allows(piece.job)) {
            if (!out.write_at(piece.offset, {buffers[piece.buffer].data(), piece.length},
                              &errors[piece.job])) {
                errors[piece.job] += " (while packing " + jobs[piece.job].where + ")";
                fail_at(piece.job);
            } else if (piece.last) {
                state[piece.job].store(DONE, std::memory_order_release);
            }
        }
        {
            std::lock_guard lock(mutex);
            free_buffers.push_back(piece.buffer);
            buffer_freed.notify_one();
        }
        for (; listed < jobs.size() && state[listed].load(std::memory_order_acquire) == DONE;
             ++listed) {
            before(listed);
        }
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (; listed < jobs.size(); ++listed) {
        before(listed);
        if (state[listed].load(std::memory_order_relaxed) == FAILED) {
            *err = errors[listed];
            return false;
        }
    }
    return true;
}

}  // namespace

PackCopy archive_pack_copy(const std::string& output) {
    return {extraction_workers(),
            lies_in_memory(output) ? CopyMethod::in_system : PACK_COPY_METHOD};
}

bool pack_files(std::span<const PackJob> jobs, std::span<const PackPlacement> placements,
                std::uint64_t total, AtomicFile& out,
                const std::function<void(std::size_t)>& before, std::string* err,
                const PackCopy& copy) {
    // Only a device or pipe, which cannot be given its size first, takes the
    // files one after the other.
    if (jobs.empty() || !out.is_file() || out.size() != 0) {
        return pack_in_order(jobs, placements, total, out, before, err);
    }
    if (copy.method == CopyMethod::buffered && copy.workers > 1) {
        return pack_through_writer(jobs, placements, total, out, before, err, copy.workers - 1);
    }
    return pack_at_once(jobs, placements, total, out, before, err, copy);
}
