// Fuzz target: any byte string as a disc image must be read cleanly or
// refused with a message, never touching memory outside the input. Every
// file, record and allocation of an accepted image must lie inside it, and
// a patch that replaces its first files (one growing, one shrinking) must
// either be refused with a message or give an image that reads back with
// exactly the new contents where the plan put them, their records in the
// other trees, and every other file where it was.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "isopatch/disc_format.h"
#include "isopatch/iso_image.h"
#include "isopatch/iso_patch.h"

namespace {

std::vector<std::uint8_t> content(std::uint64_t size, unsigned seed) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 131 + seed * 17 + 1);
    }
    return bytes;
}

void check_inside(const IsoImage& image) {
    for (const IsoFile& file : image.files) {
        FUZZ_CHECK(!file.records.empty());
        for (const IsoRecord& r : file.records) {
            FUZZ_CHECK(range_fits(image.size, r.offset, 34));
            FUZZ_CHECK(r.offset / DISC_SECTOR == (r.offset + 33) / DISC_SECTOR);
        }
        std::uint64_t size = 0;
        for (const DataExtent& e : file.extents) {
            FUZZ_CHECK(range_fits(image.size, disc_offset(e.sector), e.length));
            size += e.length;
        }
        FUZZ_CHECK(size == file.size);
        for (const std::size_t u : file.udf_files) {
            FUZZ_CHECK(u < image.udf.files.size());
        }
    }
    for (const UdfFile& file : image.udf.files) {
        FUZZ_CHECK(range_fits(image.size, file.offset, DISC_SECTOR));
        for (const DataExtent& e : file.extents) {
            FUZZ_CHECK(range_fits(image.size, disc_offset(e.sector), e.length));
        }
    }
    for (std::size_t i = 0; i < image.allocations.size(); ++i) {
        FUZZ_CHECK(image.allocations[i].start < image.allocations[i].end);
        FUZZ_CHECK(i == 0 || image.allocations[i - 1].start <= image.allocations[i].start);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteSpan input(data, size);
    const MemoryImage reader(input);
    IsoImage image;
    std::string err;
    if (!read_iso_image(reader, "fuzz.iso", &image, &err)) {
        FUZZ_CHECK(err.rfind("Error: fuzz.iso: ", 0) == 0);
        return 0;
    }
    check_inside(image);
    if (image.files.empty()) {
        return 0;
    }

    // The first file grows by a sector and a half, the second shrinks.
    std::vector<Replacement> replacements;
    std::vector<std::vector<std::uint8_t>> contents;
    const IsoFile& first = image.files[0];
    replacements.push_back({first.path, "first.new", first.size + 3000});
    if (image.files.size() > 1 && iso_path_key(image.files[1].path) != iso_path_key(first.path)) {
        replacements.push_back({image.files[1].path, "second.new", image.files[1].size / 2});
    }
    for (std::size_t i = 0; i < replacements.size(); ++i) {
        contents.push_back(content(replacements[i].size, static_cast<unsigned>(i)));
    }
    PatchPlan plan;
    if (!plan_patch(image, reader, "fuzz.iso", replacements, &plan, &err)) {
        FUZZ_CHECK(err.rfind("Error: ", 0) == 0);
        return 0;
    }
    std::uint64_t covered = 0;
    for (const PatchPiece& piece : plan.pieces) {
        FUZZ_CHECK(piece.kind != PatchPiece::Kind::image ||
                   range_fits(size, piece.offset, piece.length));
        covered += piece.length;
    }
    FUZZ_CHECK(covered == plan.size);
    std::vector<ByteSpan> spans(contents.begin(), contents.end());
    const std::vector<std::uint8_t> out = apply_patch_in_memory(plan, input, spans);
    IsoImage after;
    const bool read_back = read_iso_image(MemoryImage(out), "fuzz.iso", &after, &err);
    if (!read_back) {
        std::fprintf(stderr, "%s\n", err.c_str());
    }
    FUZZ_CHECK(read_back);
    FUZZ_CHECK(after.files.size() == image.files.size());
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
        const PatchedFile& p = plan.files[i];
        const IsoFile& file = after.files[p.file];
        FUZZ_CHECK(file.path == image.files[p.file].path);
        FUZZ_CHECK(file.size == replacements[i].size);
        FUZZ_CHECK(file.size == 0 || file.sector == p.new_sector);
        // The trees' records of a file with data are found again by where
        // its data lies; those of an empty file only by its name, which the
        // trees may spell differently.
        if (file.size > 0) {
            FUZZ_CHECK(file.joliet_records.size() == image.files[p.file].joliet_records.size());
            FUZZ_CHECK(file.udf_files.size() == image.files[p.file].udf_files.size());
        } else {
            FUZZ_CHECK(file.joliet_records.size() <= image.files[p.file].joliet_records.size());
            FUZZ_CHECK(file.udf_files.size() <= image.files[p.file].udf_files.size());
        }
        FUZZ_CHECK(
            std::equal(contents[i].begin(), contents[i].end(),
                       out.begin() + static_cast<std::ptrdiff_t>(disc_offset(p.new_sector))));
    }
    for (std::size_t i = 0; i < image.files.size(); ++i) {
        bool replaced = false;
        for (const PatchedFile& p : plan.files) {
            replaced = replaced || p.file == i;
        }
        if (!replaced) {
            FUZZ_CHECK(after.files[i].sector == image.files[i].sector);
            FUZZ_CHECK(after.files[i].size == image.files[i].size);
        }
    }
    return 0;
}
