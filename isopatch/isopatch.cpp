#include "isopatch/isopatch.h"

#include <algorithm>

#include "common/message.h"
#include "common/names.h"
#include "common/text.h"
#include "isopatch/disc_format.h"
#include "sectors/sector_io.h"

bool IsoImageFile::open(const std::string& path, std::string* err) {
    path_ = path;
    if (!open_input(path, &file_, &image_size_, err)) {
        return false;
    }
    return read_iso_image(*this, path, &image_, err);
}

bool IsoImageFile::read(std::uint64_t offset, std::span<std::uint8_t> out, std::string* err) const {
    return read_exact_at(file_, offset, out, path_, err);
}

bool select_iso_files(const IsoImage& image, std::span<const std::string> names,
                      const std::string& path, std::vector<std::size_t>* out, std::string* err) {
    out->clear();
    if (names.empty()) {
        for (std::size_t i = 0; i < image.files.size(); ++i) {
            out->push_back(i);
        }
        return true;
    }
    std::vector<bool> chosen(image.files.size(), false);
    for (const std::string& name : names) {
        const std::int64_t found = find_iso_file(image, name, path, err);
        if (found < 0) {
            return false;
        }
        chosen[static_cast<std::size_t>(found)] = true;
    }
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        if (chosen[i]) {
            out->push_back(i);
        }
    }
    return true;
}

namespace {

// Whether a file's extents follow each other on the disc, so that its data
// is one run of bytes.
bool contiguous(const IsoFile& file) {
    for (std::size_t i = 1; i < file.extents.size(); ++i) {
        const DataExtent& previous = file.extents[i - 1];
        if (previous.length % DISC_SECTOR != 0 ||
            file.extents[i].sector != previous.sector + previous.length / DISC_SECTOR) {
            return false;
        }
    }
    return true;
}

// Copies `length` bytes of `source` at `offset` into `out`, leaving holes
// where the source has them.
bool copy_keeping_holes(AtomicFile& out, const FileHandle& source, std::uint64_t offset,
                        std::uint64_t length, const std::string& source_path, std::string* err) {
    const std::uint64_t end = offset + length;
    std::uint64_t position = offset;
    while (position < end) {
        std::uint64_t data = 0, data_end = 0;
        if (!next_data_range(source, position, end, &data, &data_end, source_path, err)) {
            return false;
        }
        if (data > position && !out.write_hole(data - position, err)) {
            return false;
        }
        if (data_end > data && !out.copy_from(source, data, data_end - data, source_path, err)) {
            return false;
        }
        position = std::max(data_end, data);
    }
    return true;
}

}  // namespace

bool extract_iso_files(const IsoImageFile& image, const std::string& folder,
                       std::span<const std::size_t> selected,
                       const std::function<void(std::size_t)>& extracted, std::string* err) {
    const IsoImage& iso = image.image();
    if (folder.empty()) {
        *err = error_message("", "the folder to extract into is named by an empty argument");
        return false;
    }
    std::string base = folder;
    while (base.size() > 1 && (base.back() == '/' || base.back() == '\\')) {
        base.pop_back();
    }
    std::vector<ExtractJob> jobs;
    jobs.reserve(selected.size());
    for (const std::size_t i : selected) {
        const IsoFile& file = iso.files[i];
        const std::string where =
            "file " + std::to_string(i) + ", record at offset " + hex(file.records.front().offset);
        if (!file.problem.empty() || !contiguous(file)) {
            *err = error_message(
                image.path(),
                "cannot extract " + quoted(file.path) + ": " +
                    (file.problem.empty() ? "its extents do not follow each other on the disc"
                                          : file.problem),
                where);
            return false;
        }
        const std::string reason = unsafe_name_reason(file.path);
        if (!reason.empty()) {
            *err = error_message(
                       image.path(),
                       "the file " + quoted(file.path) + " has an unsafe name (" + reason + ")",
                       where) +
                   "; nothing was written";
            return false;
        }
        jobs.push_back({base + "/" + file.path, 0, disc_offset(file.sector), file.size,
                        "file " + std::to_string(i), file.path});
    }
    const ExtractSource sources[] = {{image.path(), image.size()}};
    const std::string inputs[] = {image.path()};
    return check_extract_ranges(jobs, sources, err) && check_extract_names(jobs, err) &&
           check_extract_targets(jobs, inputs, err) &&
           run_extraction(jobs, sources, extracted, err);
}

bool write_patched_image(const IsoImageFile& image, std::span<const ReplacementSource> replacements,
                         AtomicFile& out, PatchPlan* plan, std::string* err) {
    std::vector<FileHandle> sources(replacements.size());
    std::vector<Replacement> planned;
    planned.reserve(replacements.size());
    for (std::size_t i = 0; i < replacements.size(); ++i) {
        Replacement r{replacements[i].name, replacements[i].path, 0};
        if (!open_input(replacements[i].path, &sources[i], &r.size, err)) {
            return false;
        }
        planned.push_back(std::move(r));
    }
    if (!plan_patch(image.image(), image, image.path(), planned, plan, err) ||
        !out.copy_permissions_from(image.handle(), image.path(), err)) {
        return false;
    }
    for (const PatchPiece& piece : plan->pieces) {
        bool ok = true;
        switch (piece.kind) {
            case PatchPiece::Kind::image:
                ok = copy_keeping_holes(out, image.handle(), piece.offset, piece.length,
                                        image.path(), err);
                break;
            case PatchPiece::Kind::bytes:
                ok = out.write(
                    {plan->bytes.data() + piece.offset, static_cast<std::size_t>(piece.length)},
                    err);
                break;
            case PatchPiece::Kind::replacement: {
                const std::string& path = replacements[piece.index].path;
                ok = out.copy_from(sources[piece.index], 0, piece.length, path, err);
                FileStatus now;
                ok = ok && file_status(path, &now, err);
                if (ok && now.size != piece.length) {
                    *err = error_message(path, "changed size while the image was written (" +
                                                   std::to_string(piece.length) + " bytes, now " +
                                                   std::to_string(now.size) + ")");
                    ok = false;
                }
                break;
            }
            case PatchPiece::Kind::zeros:
                ok = piece.length >= (1u << 16) ? out.write_hole(piece.length, err)
                                                : out.write_zeros(piece.length, err);
                break;
        }
        if (!ok) {
            return false;
        }
    }
    if (out.size() != plan->size) {
        *err =
            error_message(out.target(), "the patched image came out " + std::to_string(out.size()) +
                                            " bytes long instead of " + std::to_string(plan->size));
        return false;
    }
    return true;
}
