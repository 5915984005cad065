// Fuzz target: the RPK index walk over any executable image.
//
// Input: one byte choosing the layout label, the index offset and entry 0's
// name offset (16 bits each, so they fit the small images a fuzzer makes and
// can still point past them), the archive size (64 bits), then the image.
//
// A walk that succeeds must hand back exactly what the image holds: entries
// numbered from 0 at 12-byte steps, each name read where its address leads,
// zero-terminated and safe to write, and the last entry, and only it, ending
// at the end of the archive. The entries are then packed the way a rebuild
// packs them, and a walk of the patched image over the rebuilt archive's size
// must find all of them again at their new places.
#include <cstdint>
#include <string>
#include <vector>

#include "common/names.h"
#include "fuzz/fuzz_check.h"
#include "korvane/rpk_index.h"
#include "sectors/sector_table.h"

namespace {

// Where entry `i`'s name lies, computed apart from the walk: names lie as
// far from entry 0's name as their addresses lie apart, modulo 2^32.
std::uint64_t expected_name_offset(ByteSpan image, const RpkLayout& layout,
                                   std::uint32_t name_address) {
    const std::uint32_t address0 = load_le32(image.data() + layout.index_offset);
    return static_cast<std::uint32_t>(name_address - address0 + layout.first_name_offset);
}

bool ends_archive(std::uint32_t sector, std::uint64_t length, std::uint64_t archive_size) {
    return sector_offset(sector) + round_up_to_sector(length) == archive_size;
}

void check_walk(ByteSpan image, const RpkLayout& layout, std::uint64_t archive_size,
                const std::vector<RpkEntry>& entries) {
    FUZZ_CHECK(!entries.empty());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const RpkEntry& e = entries[i];
        const SectorRecord& r = e.record;
        FUZZ_CHECK(e.index == i);
        FUZZ_CHECK(r.offset == layout.index_offset + i * SECTOR_RECORD_SIZE);
        FUZZ_CHECK(range_fits(image.size(), r.offset, SECTOR_RECORD_SIZE));
        FUZZ_CHECK(r.name_address == load_le32(image.data() + r.offset));
        FUZZ_CHECK(r.sector == load_le32(image.data() + r.offset + 4));
        FUZZ_CHECK(r.length == load_le32(image.data() + r.offset + 8));
        const auto name = read_cstring(image, expected_name_offset(image, layout, r.name_address),
                                       MAX_STORED_NAME);
        FUZZ_CHECK(name && *name == r.name);
        FUZZ_CHECK(unsafe_name_reason(r.name).empty());
        FUZZ_CHECK(ends_archive(r.sector, r.length, archive_size) == (i + 1 == entries.size()));
        FUZZ_CHECK(!rpk_listing_line(e).empty());
    }
}

// True when a name of `entries` shares a byte, its terminator included, with
// a sector or length field: packing then changes that name, and a second walk
// may rightly see other names.
bool names_overlap_fields(ByteSpan image, const RpkLayout& layout,
                          const std::vector<RpkEntry>& entries) {
    for (const RpkEntry& named : entries) {
        const std::uint64_t begin = expected_name_offset(image, layout, named.record.name_address);
        const std::uint64_t end = begin + named.record.name.size() + 1;
        for (const RpkEntry& patched : entries) {
            const std::uint64_t fields = patched.record.offset + 4;
            if (begin < fields + 8 && fields < end) {
                return true;
            }
        }
    }
    return false;
}

// Packs the entries the way a rebuild does, with replacement files as long
// as the entries say (which covers the refusal of 2 GiB and more), and walks
// the patched image over the rebuilt archive's size: it must find every
// entry again, at its new place, whatever files were empty.
void check_rebuild(ByteSpan original, const RpkLayout& layout,
                   const std::vector<RpkEntry>& entries) {
    std::vector<std::uint8_t> image(original.begin(), original.end());
    std::vector<PackJob> jobs;
    std::vector<std::uint64_t> sizes;
    for (const RpkEntry& e : entries) {
        jobs.push_back({"f", e.record.offset, rpk_place(e.index), e.record.name});
        sizes.push_back(e.record.length);
    }
    std::vector<PackPlacement> placements;
    std::uint64_t total = 0;
    std::string err;
    if (!plan_packing(jobs, sizes, RPK_PACK_RULES, &placements, &total, &err)) {
        FUZZ_CHECK(!err.empty());
        bool too_long = false;
        for (const RpkEntry& e : entries) {
            too_long = too_long || e.record.length > 0x7FFFFFFFu;
        }
        FUZZ_CHECK(too_long);
        return;
    }
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        FUZZ_CHECK(sector_offset(static_cast<std::uint32_t>(placements[i].sector)) >= end);
        FUZZ_CHECK(placements[i].length == entries[i].record.length);
        end = sector_offset(static_cast<std::uint32_t>(placements[i].sector)) +
              round_up_to_sector(placements[i].length);
    }
    FUZZ_CHECK(end == total);
    patch_records(image, jobs, placements);
    // Only the sector and length fields of the packed entries changed.
    std::vector<bool> patched(image.size(), false);
    for (const RpkEntry& e : entries) {
        for (std::uint64_t k = 4; k < SECTOR_RECORD_SIZE; ++k) {
            patched[e.record.offset + k] = true;
        }
    }
    for (std::size_t k = 0; k < image.size(); ++k) {
        FUZZ_CHECK(patched[k] || image[k] == original[k]);
    }
    if (names_overlap_fields(original, layout, entries)) {
        return;
    }
    std::vector<RpkEntry> again;
    FUZZ_CHECK(scan_rpk_index(image, layout, total, "rebuilt", &again, &err));
    FUZZ_CHECK(again.size() == entries.size());
    for (std::size_t i = 0; i < again.size(); ++i) {
        FUZZ_CHECK(again[i].record.name == entries[i].record.name);
        FUZZ_CHECK(again[i].record.length == entries[i].record.length);
        FUZZ_CHECK(again[i].record.sector == placements[i].sector);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    RpkLayout layout = (input.take8() & 1) == 0 ? RPK_LAYOUT_A : RPK_LAYOUT_B;
    layout.index_offset = input.take16();
    layout.first_name_offset = input.take16();
    const std::uint64_t archive_size = input.take64();
    const std::vector<std::uint8_t> image(input.rest().begin(), input.rest().end());

    std::vector<RpkEntry> entries;
    std::string err;
    if (scan_rpk_index(image, layout, archive_size, "image", &entries, &err)) {
        check_walk(image, layout, archive_size, entries);
        check_rebuild(image, layout, entries);
    } else {
        FUZZ_CHECK(err.starts_with("Error: image: "));
    }
    return 0;
}
