#include "sectors/sector_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "common/byte_buffer.h"
#include "common/run_files.h"
#include "common/message.h"
#include "common/text.h"

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
        if (status.kind == FileKind::missing) {
            missing.insert(folder);
            continue;
        }
        if (status.kind == FileKind::directory) {
            continue;
        }
        // The first job needing the folder, for the message.
        for (const ExtractJob& job : jobs) {
            if (job.path.starts_with(folder + "/")) {
                *err = "Error: " + folder + ": " + job_place(job) +
                       " needs this as a folder, but a file stands there; nothing was written";
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
                *err = "Error: " + job.path + ": a folder stands where " + job_place(job) +
                       " is to be written; nothing was written";
                return false;
            case FileKind::other:
                *err = "Error: " + job.path + ": a device or pipe stands where " + job_place(job) +
                       " is to be written; nothing was written";
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
                *err = "Error: " + job.path + ": " + job_place(job) + " would overwrite " +
                       inputs[i] +
                       ", which is being read; extract in another folder. Nothing was written";
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

    bool write(const ExtractJob& job, std::span<const ExtractSource> sources, std::string* err) {
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
            !file.copy_from(source, job.offset, job.length, from.path, err) ||
            !file.commit(false, err)) {
            *err += " (while writing " + job_place(job) + ")";
            return false;
        }
        return true;
    }
};

// The path with its case folded and "." and empty components dropped: two
// jobs whose paths may name the same file have the same key, also on file
// systems that ignore case.
std::string same_file_key(const std::string& path) {
    std::string key;
    key.reserve(path.size());
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string_view part(path.data() + start, end - start);
        if (!part.empty() && part != ".") {
            for (char c : part) {
                key += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            }
            key += '/';
        }
        start = end + 1;
    }
    return key;
}

// Which worker writes each job. The table is cut into runs of neighbouring
// jobs, dealt out in turn, so that a worker reads on from where it was in a
// source (and opens each source once), while the listing still moves on
// steadily. Jobs whose paths may name the same file all go to the worker of
// the first one, which writes them in table order, so the later entry's data
// is the one left.
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
                    unsigned workers) {
    const std::size_t count = std::min<std::size_t>(std::max(workers, 1u), jobs.size());
    if (count <= 1) {
        ExtractWorker worker;
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            before(i);
            if (!worker.write(jobs[i], sources, err)) {
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
    // The earliest job in table order known to have failed: later jobs are
    // not started any more, earlier ones still finish so that the failure
    // reported is the one a run in table order would have met.
    std::atomic<std::size_t> first_failure{SIZE_MAX};
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
        for (const std::uint32_t i : lists[w]) {
            if (i > first_failure.load(std::memory_order_relaxed)) {
                break;
            }
            bool ok;
            try {
                ok = worker.write(jobs[i], sources, &errors[w]);
            } catch (const std::bad_alloc&) {
                errors[w] = "Error: " + jobs[i].path + ": not enough memory (while writing " +
                            job_place(jobs[i]) + ")";
                ok = false;
            }
            state[i].store(ok ? DONE : FAILED, std::memory_order_release);
            if (!ok) {
                std::size_t seen = first_failure.load();
                while (i < seen && !first_failure.compare_exchange_weak(seen, i)) {
                }
                break;
            }
            list_written();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(count - 1);
    for (std::size_t w = 1; w < count; ++w) {
        threads.emplace_back(work, w);
    }
    work(0);
    for (std::thread& t : threads) {
        t.join();
    }
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
    return "Error: " + job.path + ": " +
           (kind == FileKind::directory ? "is a folder" : "is a device or pipe") +
           ", not a file to pack as " + job.where + " (" + quoted(job.name) + ")";
}

bool measure_pack_file(const PackJob& job, std::uint64_t* size, std::string* err) {
    FileStatus status;
    if (!file_status(job.path, &status, err)) {
        return false;
    }
    if (status.kind != FileKind::regular) {
        *err = not_packable(job, status.kind);
        return false;
    }
    *size = status.size;
    return true;
}

// Opens a job's file to read it; what is not a regular file gets the same
// message as when it is measured.
bool open_pack_file(const PackJob& job, FileHandle* file, std::uint64_t* size, std::string* err) {
    if (open_input(job.path, file, size, err)) {
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
                     std::string* err) {
    sizes->clear();
    sizes->reserve(jobs.size());
    for (const PackJob& job : jobs) {
        std::uint64_t size = 0;
        if (!measure_pack_file(job, &size, err)) {
            return false;
        }
        sizes->push_back(size);
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
    out->changed = false;
    for (const PackJob& job : jobs) {
        if (!check_data_range(packed.path, packed.size, job.where, job.name, job.data_offset,
                              job.data_length, err)) {
            return false;
        }
    }
    FileHandle source;  // opened when the first file needs comparing
    for (const PackJob& job : jobs) {
        std::uint64_t size = 0;
        if (out->changed) {
            // The table is rebuilt anyway: only the size is needed now.
            if (!measure_pack_file(job, &size, err)) {
                return false;
            }
            out->sizes.push_back(size);
            continue;
        }
        FileHandle file;
        if (!open_pack_file(job, &file, &size, err)) {
            return false;
        }
        out->sizes.push_back(size);
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

bool pack_files(std::span<const PackJob> jobs, std::span<const PackPlacement> placements,
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
            *err = "Error: " + job.path + ": changed size while the rebuild ran (" +
                   std::to_string(place.length) + " bytes, now " + std::to_string(size) +
                   "); nothing was replaced";
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
