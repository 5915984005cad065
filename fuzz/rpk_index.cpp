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
// must find the same entries at their new places.
#include <cstdint>
#include <string>
#include <vector>

#include "common/file_helpers.h"
#include "common/names.h"
#include "fuzz/fuzz_check.h"
#include "korvane/rpk_index.h"

namespace {

// Where entry `i`'s name lies, computed apart from the cursor: names lie as
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
        FUZZ_CHECK(e.index == i);
        FUZZ_CHECK(e.entry_offset == layout.index_offset + i * RPK_ENTRY_SIZE);
        FUZZ_CHECK(range_fits(image.size(), e.entry_offset, RPK_ENTRY_SIZE));
        FUZZ_CHECK(e.name_address == load_le32(image.data() + e.entry_offset));
        FUZZ_CHECK(e.sector == load_le32(image.data() + e.entry_offset + 4));
        FUZZ_CHECK(e.length == load_le32(image.data() + e.entry_offset + 8));
        const auto name = read_cstring(image, expected_name_offset(image, layout, e.name_address));
        FUZZ_CHECK(name && *name == e.name);
        FUZZ_CHECK(unsafe_name_reason(e.name).empty());
        FUZZ_CHECK(ends_archive(e.sector, e.length, archive_size) == (i + 1 == entries.size()));
        FUZZ_CHECK(!rpk_listing_line(e).empty());
    }
}

// True when a name of `entries` shares a byte, its terminator included, with
// a sector or length field: packing then changes that name, and a second walk
// may rightly see other names.
bool names_overlap_fields(ByteSpan image, const RpkLayout& layout,
                          const std::vector<RpkEntry>& entries) {
    for (const RpkEntry& named : entries) {
        const std::uint64_t begin = expected_name_offset(image, layout, named.name_address);
        const std::uint64_t end = begin + named.name.size() + 1;
        for (const RpkEntry& patched : entries) {
            const std::uint64_t fields = patched.entry_offset + 4;
            if (begin < fields + 8 && fields < end) {
                return true;
            }
        }
    }
    return false;
}

void check_rebuild(ByteSpan original, const RpkLayout& layout,
                   const std::vector<RpkEntry>& entries) {
    std::vector<std::uint8_t> image(original.begin(), original.end());
    std::uint64_t position = 0;
    std::vector<std::uint64_t> ends;  // where each packed entry's data ends
    std::string err;
    for (const RpkEntry& e : entries) {
        // The replacement file is as long as the entry says, which covers
        // the refusal of 2 GiB and more.
        const std::uint64_t before = position;
        if (!pack_rpk_entry(image, e, e.length, &position, &err)) {
            FUZZ_CHECK(!err.empty());
            FUZZ_CHECK(e.length > 0x7FFFFFFFu);
            FUZZ_CHECK(position == before);
            return;
        }
        FUZZ_CHECK(position % SECTOR_SIZE == 0);
        FUZZ_CHECK(position == before + round_up_to_sector(e.length));
        FUZZ_CHECK(load_le32(image.data() + e.entry_offset + 4) == before / SECTOR_SIZE);
        FUZZ_CHECK(load_le32(image.data() + e.entry_offset + 8) == e.length);
        ends.push_back(position);
    }
    // Only the sector and length fields of the packed entries changed.
    std::vector<bool> patched(image.size(), false);
    for (const RpkEntry& e : entries) {
        for (std::uint64_t k = 4; k < RPK_ENTRY_SIZE; ++k) {
            patched[e.entry_offset + k] = true;
        }
    }
    for (std::size_t k = 0; k < image.size(); ++k) {
        FUZZ_CHECK(patched[k] || image[k] == original[k]);
    }
    if (names_overlap_fields(original, layout, entries)) {
        return;
    }
    // The rebuilt pair walks to the first entry that ends the new archive:
    // the last one, or an earlier one when only empty files follow it.
    std::size_t expected = 0;
    while (ends[expected] != position) {
        ++expected;
    }
    std::vector<RpkEntry> again;
    FUZZ_CHECK(scan_rpk_index(image, layout, position, &again, &err));
    FUZZ_CHECK(again.size() == expected + 1);
    for (std::size_t i = 0; i < again.size(); ++i) {
        FUZZ_CHECK(again[i].name == entries[i].name);
        FUZZ_CHECK(again[i].length == entries[i].length);
        FUZZ_CHECK(sector_offset(again[i].sector) == (i == 0 ? 0 : ends[i - 1]));
    }
}

// The cursor, driven the way the listing is, agrees with the scan entry by
// entry and stops where the scan stopped.
void check_cursor(ByteSpan image, const RpkLayout& layout, std::uint64_t archive_size, bool scanned,
                  const std::vector<RpkEntry>& entries) {
    std::vector<std::uint8_t> copy(image.begin(), image.end());
    RpkIndexCursor cursor(copy, layout, archive_size);
    std::string err;
    for (std::size_t i = 0;; ++i) {
        if (!cursor.read(&err)) {
            FUZZ_CHECK(!scanned);
            FUZZ_CHECK(!err.empty());
            return;
        }
        if (scanned) {
            FUZZ_CHECK(i < entries.size());
            FUZZ_CHECK(cursor.name() == entries[i].name);
            FUZZ_CHECK(cursor.entry_offset() == entries[i].entry_offset);
        }
        // The scan stops at the first unsafe name; the cursor does not judge names.
        if (!unsafe_name_reason(cursor.name()).empty()) {
            FUZZ_CHECK(!scanned);
            return;
        }
        if (cursor.is_last()) {
            FUZZ_CHECK(!scanned || i + 1 == entries.size());
            return;
        }
        cursor.advance();
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
    const bool scanned = scan_rpk_index(image, layout, archive_size, &entries, &err);
    if (scanned) {
        check_walk(image, layout, archive_size, entries);
        check_rebuild(image, layout, entries);
    } else {
        FUZZ_CHECK(!err.empty());
    }
    check_cursor(image, layout, archive_size, scanned, entries);
    return 0;
}
