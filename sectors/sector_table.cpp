#include "sectors/sector_table.h"

#include <algorithm>
#include <unordered_map>

#include "common/message.h"
#include "common/names.h"
#include "common/text.h"

bool read_sector_record(ByteSpan image, std::uint64_t offset, SectorRecord* out) {
    if (!range_fits(image.size(), offset, SECTOR_RECORD_SIZE)) {
        return false;
    }
    const std::uint8_t* p = image.data() + offset;
    out->offset = offset;
    out->name_address = load_le32(p);
    out->sector = load_le32(p + 4);
    out->length = load_le32(p + 8);
    out->name = {};
    return true;
}

bool check_data_range(const std::string& path, std::uint64_t size, std::string_view where,
                      std::string_view name, std::uint64_t offset, std::uint64_t length,
                      std::string* err) {
    if (range_fits(size, offset, length)) {
        return true;
    }
    *err = error_message(path, "the data of " + std::string(where) + " (" + quoted(name) + ", " +
                                   std::to_string(length) + " bytes at offset " + hex(offset) +
                                   ") reaches past the end of the file (" + std::to_string(size) +
                                   " bytes); nothing was written");
    return false;
}

bool check_extract_ranges(std::span<const ExtractJob> jobs, std::span<const ExtractSource> sources,
                          std::string* err) {
    for (const ExtractJob& job : jobs) {
        const ExtractSource& source = sources[job.source];
        if (!check_data_range(source.path, source.size, job.where, job.name, job.offset, job.length,
                              err)) {
            return false;
        }
    }
    return true;
}

bool check_extract_names(std::span<const ExtractJob> jobs, std::string* err) {
    // Every path written as a file, with the first job that writes it.
    std::unordered_map<std::string, std::size_t> files;
    std::vector<std::string> normal(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        normal[i] = same_file_key(jobs[i].path);
        files.emplace(normal[i], i);
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const std::string& path = normal[i];
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            const auto file = files.find(path.substr(0, slash));
            if (file == files.end()) {
                continue;
            }
            const ExtractJob& other = jobs[file->second];
            *err = error_message(jobs[i].path, jobs[i].where + " (" + quoted(jobs[i].name) +
                                                   ") needs " + other.path + " as a folder, but " +
                                                   other.where + " (" + quoted(other.name) +
                                                   ") writes a file there; nothing was written");
            return false;
        }
    }
    return true;
}

std::vector<std::string> extract_folders(std::span<const ExtractJob> jobs) {
    std::vector<std::string> folders;
    std::unordered_map<std::string, bool> seen;
    for (const ExtractJob& job : jobs) {
        for (std::size_t slash = job.path.find('/'); slash != std::string::npos;
             slash = job.path.find('/', slash + 1)) {
            if (slash > 0 && seen.emplace(job.path.substr(0, slash), true).second) {
                folders.push_back(job.path.substr(0, slash));
            }
        }
    }
    // Shallowest first, so a folder is looked at before anything in it.
    std::stable_sort(
        folders.begin(), folders.end(), [](const std::string& a, const std::string& b) {
            return std::count(a.begin(), a.end(), '/') < std::count(b.begin(), b.end(), '/');
        });
    return folders;
}

bool plan_packing(std::span<const PackJob> jobs, std::span<const std::uint64_t> sizes,
                  const PackRules& rules, std::vector<PackPlacement>* placements,
                  std::uint64_t* total, std::string* err) {
    placements->clear();
    placements->reserve(jobs.size());
    std::uint64_t position = 0;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const std::uint64_t size = sizes[i];
        if (size > rules.max_value) {
            *err = error_message(jobs[i].path, std::to_string(size) + " bytes are too many for " +
                                                   jobs[i].where + " (" + quoted(jobs[i].name) +
                                                   "): the table holds lengths up to " +
                                                   std::to_string(rules.max_value) +
                                                   " bytes; nothing was written");
            return false;
        }
        if (rules.end_marks_last && i + 1 == jobs.size() && i > 0 && size == 0) {
            // The record before would end where the file ends, and a later
            // walk would stop there and lose this one.
            position += SECTOR_SIZE;
        }
        const std::uint64_t sector = position / SECTOR_SIZE;
        if (sector > rules.max_value) {
            *err = error_message(jobs[i].path,
                                 "the rebuilt file grows past the sectors the table can address "
                                 "at " +
                                     jobs[i].where + " (" + quoted(jobs[i].name) +
                                     "); nothing was written");
            return false;
        }
        placements->push_back({sector, size});
        position += round_up_to_sector(size);
    }
    *total = position;
    return true;
}

void patch_records(MutableByteSpan image, std::span<const PackJob> jobs,
                   std::span<const PackPlacement> placements) {
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        write_le32(image, jobs[i].record_offset + 4,
                   static_cast<std::uint32_t>(placements[i].sector));
        write_le32(image, jobs[i].record_offset + 8,
                   static_cast<std::uint32_t>(placements[i].length));
    }
}

bool find_patch_overlap(std::span<const ImageRegion> regions, std::size_t* patched,
                        std::size_t* other) {
    std::vector<std::size_t> order;
    order.reserve(regions.size());
    for (std::size_t i = 0; i < regions.size(); ++i) {
        if (regions[i].size > 0) {
            order.push_back(i);
        }
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return regions[a].offset < regions[b].offset; });
    // One sweep by start: a region overlaps an earlier one exactly when some
    // earlier region ends after it starts, so it is enough to keep the
    // earlier region that ends last, and the patched one that ends last.
    auto end = [&](std::size_t i) { return regions[i].offset + regions[i].size; };
    const std::size_t none = regions.size();
    std::size_t furthest = none, furthest_patched = none;
    for (const std::size_t i : order) {
        const ImageRegion& r = regions[i];
        if (furthest_patched != none && end(furthest_patched) > r.offset) {
            *patched = furthest_patched;
            *other = i;
            return true;
        }
        if (r.patched && furthest != none && end(furthest) > r.offset) {
            *patched = i;
            *other = furthest;
            return true;
        }
        if (furthest == none || end(i) > end(furthest)) {
            furthest = i;
        }
        if (r.patched && (furthest_patched == none || end(i) > end(furthest_patched))) {
            furthest_patched = i;
        }
    }
    return false;
}
