#include "isopatch/iso_patch.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>

#include "common/message.h"
#include "common/text.h"
#include "isopatch/disc_format.h"

namespace {

using Sector = std::array<std::uint8_t, DISC_SECTOR>;

// The longest extent one UDF allocation descriptor records: its length has
// 30 bits, and every extent but the last is whole blocks.
constexpr std::uint64_t MAX_UDF_EXTENT = (std::uint64_t{1} << 30) - DISC_SECTOR;

// A file's data as runs of adjacent sectors: the trees may split the same
// data into extents of different sizes (ISO 9660 up to 4 GiB, UDF up to 1 GiB).
std::vector<DataExtent> data_runs(const std::vector<DataExtent>& extents) {
    std::vector<DataExtent> runs;
    for (const DataExtent& e : extents) {
        if (!runs.empty() && runs.back().length % DISC_SECTOR == 0 &&
            runs.back().sector + runs.back().length / DISC_SECTOR == e.sector) {
            runs.back().length += e.length;
        } else {
            runs.push_back(e);
        }
    }
    return runs;
}

class Planner {
  public:
    Planner(const IsoImage& image, const ImageReader& reader, const std::string& path,
            std::span<const Replacement> replacements, PatchPlan* plan, std::string* err)
        : image_(image),
          reader_(reader),
          path_(path),
          replacements_(replacements),
          plan_(*plan),
          err_(err) {}

    bool run();

  private:
    bool fail(const std::string& what) {
        *err_ = error_message(path_, what);
        return false;
    }
    bool check_replaceable(const Replacement& r, std::size_t index);
    bool fits_in_place(std::size_t index, std::uint64_t new_size, bool* fits);
    bool edit(std::uint64_t sector, Sector** out);
    bool rewrite_iso_record(const IsoRecord& record, const PatchedFile& patched);
    bool rewrite_udf_entry(const UdfFile& entry, const PatchedFile& patched);
    bool grow_volume(std::uint64_t files_end, std::uint64_t total);
    bool lay_out_pieces(const std::vector<std::uint64_t>& zero_fill_ends);

    const IsoImage& image_;
    const ImageReader& reader_;
    const std::string& path_;
    std::span<const Replacement> replacements_;
    PatchPlan& plan_;
    std::string* err_;
    std::map<std::uint64_t, Sector> edited_;
    Sector anchor_{};
    bool new_anchor_ = false;
    std::uint64_t anchor_sector_ = 0;
    std::uint64_t append_start_ = 0;  ///< sector where moved files begin
};

bool Planner::check_replaceable(const Replacement& r, std::size_t index) {
    const IsoFile& file = image_.files[index];
    const std::string name = quoted(file.path);
    if (!file.problem.empty()) {
        return fail("cannot replace " + name + ": " + file.problem);
    }
    if (file.records.size() > 1) {
        return fail("cannot replace " + name +
                    ": it is stored in several extents (4 GiB or more), which isopatch does "
                    "not rewrite");
    }
    if (file.records.front().xa_length != 0) {
        return fail("cannot replace " + name +
                    ": it has an extended attribute record, which isopatch does not rewrite");
    }
    if (r.size > MAX_REPLACEMENT_SIZE) {
        *err_ = error_message(r.source, "is " + std::to_string(r.size) +
                                            " bytes; isopatch stores files of less than 4 GiB "
                                            "(one ISO 9660 extent) in an image");
        return false;
    }
    // Data that something other than a file's records points at (a boot
    // image of the boot catalog, a file only another tree holds) would keep
    // pointing at the old bytes if the file moved.
    const std::uint64_t end = file.sector + disc_sectors(file.size);
    for (const Allocation& a : image_.allocations) {
        if (a.file < 0 && a.start < end && a.end > file.sector && file.size > 0) {
            return fail("cannot replace " + name +
                        ": its sectors are also used by a structure that is not one of its "
                        "records (a boot image, or a file of another tree), which would keep "
                        "the old data");
        }
    }
    if (image_.joliet && file.joliet_records.empty()) {
        return fail("cannot replace " + name + ": the Joliet tree holds no record of it");
    }
    if (image_.udf.present) {
        if (!image_.udf.problem.empty()) {
            return fail("cannot replace " + name + ": the UDF tree cannot be updated (" +
                        image_.udf.problem + ")");
        }
        if (file.udf_files.empty()) {
            return fail("cannot replace " + name + ": the UDF tree holds no entry for it");
        }
        for (const std::size_t u : file.udf_files) {
            const UdfFile& entry = image_.udf.files[u];
            if (!entry.problem.empty()) {
                return fail("cannot replace " + name + ": " + entry.problem);
            }
            if (data_runs(entry.extents) != data_runs(file.extents)) {
                return fail("cannot replace " + name +
                            ": its UDF entry places its data elsewhere than its ISO 9660 record");
            }
        }
    }
    return true;
}

// Whether `new_size` bytes fit from the file's start up to the next sector
// something else lies in.
bool Planner::fits_in_place(std::size_t index, std::uint64_t new_size, bool* fits) {
    const IsoFile& file = image_.files[index];
    *fits = false;
    if (file.size == 0) {
        *fits = new_size == 0;  // an empty file owns no sectors
        return true;
    }
    const std::uint64_t start = file.sector;
    const std::uint64_t old_end = start + disc_sectors(file.size);
    const std::uint64_t new_end = start + disc_sectors(new_size);
    std::uint64_t barrier = image_.size >> DISC_SECTOR_SHIFT;
    for (const Allocation& a : image_.allocations) {
        if (a.file == static_cast<std::int64_t>(index) || a.end <= start) {
            continue;
        }
        if (a.start < old_end) {
            return true;  // something else shares its sectors: it moves
        }
        barrier = std::min(barrier, a.start);
        break;  // sorted by start: the first one after it is the nearest
    }
    if (new_end <= old_end) {
        *fits = true;
        return true;
    }
    if (new_end > barrier) {
        return true;
    }
    // Sectors no record names may still hold descriptors (copies of the
    // anchor after the last file, for one): the file stops before them.
    Sector s;
    for (std::uint64_t sector = old_end; sector < new_end; ++sector) {
        if (!reader_.read(disc_offset(sector), s, err_)) {
            return false;
        }
        if (holds_descriptor(s, sector, image_.udf.partition_start)) {
            return true;
        }
    }
    *fits = true;
    return true;
}

bool Planner::edit(std::uint64_t sector, Sector** out) {
    auto it = edited_.find(sector);
    if (it == edited_.end()) {
        Sector s;
        if (!range_fits(image_.size, disc_offset(sector), DISC_SECTOR)) {
            return fail("a record to rewrite lies past the end of the image (" +
                        std::string("sector ") + std::to_string(sector) + ")");
        }
        if (!reader_.read(disc_offset(sector), s, err_)) {
            return false;
        }
        it = edited_.emplace(sector, s).first;
    }
    *out = &it->second;
    return true;
}

bool Planner::rewrite_iso_record(const IsoRecord& record, const PatchedFile& patched) {
    Sector* s = nullptr;
    if (!edit(record.offset >> DISC_SECTOR_SHIFT, &s)) {
        return false;
    }
    std::uint8_t* r = s->data() + (record.offset & (DISC_SECTOR - 1));
    store_both32(r + 2, static_cast<std::uint32_t>(patched.new_sector));
    store_both32(r + 10, static_cast<std::uint32_t>(patched.new_size));
    return true;
}

bool Planner::rewrite_udf_entry(const UdfFile& entry, const PatchedFile& patched) {
    const UdfVolume& udf = image_.udf;
    Sector* s = nullptr;
    if (!edit(entry.offset >> DISC_SECTOR_SHIFT, &s)) {
        return false;
    }
    std::uint8_t* fe = s->data();
    store_le64(fe + 56, patched.new_size);
    store_le64(fe + 64, disc_sectors(patched.new_size));
    const std::size_t ad_size = entry.ad_type == 0 ? 8 : 16;
    const std::size_t ads_start = 176 + entry.ea_length;
    std::vector<std::uint8_t> ads;
    std::uint64_t position = patched.new_sector - udf.partition_start;
    for (std::uint64_t left = patched.new_size; left > 0;) {
        const std::uint64_t length = std::min(left, MAX_UDF_EXTENT);
        std::uint8_t ad[16] = {};
        store_le32(ad, static_cast<std::uint32_t>(length));
        store_le32(ad + 4, static_cast<std::uint32_t>(position));
        if (ad_size == 16) {
            store_le16(ad + 8, udf.partition_reference);
        }
        ads.insert(ads.end(), ad, ad + ad_size);
        position += disc_sectors(length);
        left -= length;
    }
    if (ads_start + ads.size() > DISC_SECTOR) {
        return fail("the UDF file entry of " + quoted(entry.path) +
                    " has no room for the allocation descriptors of its new content");
    }
    // Whatever followed the old descriptors goes, so that the entry ends
    // where its new descriptors end.
    std::memset(fe + ads_start, 0, DISC_SECTOR - ads_start);
    if (!ads.empty()) {
        std::memcpy(fe + ads_start, ads.data(), ads.size());
    }
    store_le32(fe + 172, static_cast<std::uint32_t>(ads.size()));
    udf_seal_tag(*s, entry.block,
                 static_cast<std::uint16_t>(ads_start + ads.size() - UDF_TAG_SIZE));
    return true;
}

bool Planner::grow_volume(std::uint64_t files_end, std::uint64_t total) {
    for (const std::uint64_t vd : image_.volume_descriptors) {
        Sector* s = nullptr;
        if (!edit(vd, &s)) {
            return false;
        }
        store_both32(s->data() + 80, static_cast<std::uint32_t>(total));
    }
    for (const std::uint64_t vd : image_.session_descriptors) {
        Sector* s = nullptr;
        if (!edit(vd, &s)) {
            return false;
        }
        store_both32(s->data() + 80, static_cast<std::uint32_t>(total - 32));
    }
    const UdfVolume& udf = image_.udf;
    if (!udf.present) {
        return true;
    }
    const std::uint64_t length =
        std::max<std::uint64_t>(udf.partition_length, files_end - udf.partition_start);
    if (length != udf.partition_length) {
        if (!udf.growth_problem.empty()) {
            return fail("cannot move files to the end: " + udf.growth_problem +
                        ", which isopatch does not grow");
        }
        for (const std::uint64_t pd : udf.partition_descriptors) {
            Sector* s = nullptr;
            if (!edit(pd, &s)) {
                return false;
            }
            store_le32(s->data() + 192, static_cast<std::uint32_t>(length));
            udf_seal_tag(*s, static_cast<std::uint32_t>(pd), load_le16(s->data() + 10));
        }
        for (const std::uint64_t lvid : udf.integrity_descriptors) {
            Sector* s = nullptr;
            if (!edit(lvid, &s)) {
                return false;
            }
            const std::uint32_t partitions = load_le32(s->data() + 72);
            store_le32(s->data() + 80 + 4 * std::size_t{partitions} +
                           4 * std::size_t{udf.partition_reference},
                       static_cast<std::uint32_t>(length));
            udf_seal_tag(*s, static_cast<std::uint32_t>(lvid), load_le16(s->data() + 10));
        }
    }
    // The anchor that must lie on the last sector.
    if (!reader_.read(disc_offset(udf.anchor), anchor_, err_)) {
        return false;
    }
    anchor_sector_ = total - 1;
    udf_seal_tag(anchor_, static_cast<std::uint32_t>(anchor_sector_),
                 load_le16(anchor_.data() + 10));
    new_anchor_ = true;
    return true;
}

bool Planner::run() {
    plan_ = PatchPlan{};
    std::vector<bool> named(image_.files.size(), false);
    for (const Replacement& r : replacements_) {
        const std::int64_t found = find_iso_file(image_, r.name, path_, err_);
        if (found < 0) {
            return false;
        }
        const std::size_t index = static_cast<std::size_t>(found);
        if (named[index]) {
            return fail("names " + quoted(image_.files[index].path) +
                        " twice among the files to replace");
        }
        named[index] = true;
        if (!check_replaceable(r, index)) {
            return false;
        }
        const IsoFile& file = image_.files[index];
        PatchedFile patched;
        patched.file = index;
        patched.old_sector = file.sector;
        patched.old_size = file.size;
        patched.new_size = r.size;
        bool fits = false;
        if (!fits_in_place(index, r.size, &fits)) {
            return false;
        }
        patched.moved = !fits;
        patched.new_sector = file.sector;
        plan_.files.push_back(patched);
    }
    // Moved files go after everything the old image holds.
    const std::uint64_t image_sectors = disc_sectors(image_.size);
    append_start_ = std::max<std::uint64_t>(image_sectors, image_.volume_space_size);
    std::uint64_t cursor = append_start_;
    bool grows = false;
    for (PatchedFile& patched : plan_.files) {
        if (patched.moved) {
            patched.new_sector = cursor;
            cursor += disc_sectors(patched.new_size);
            grows = true;
        }
    }
    const std::uint64_t files_end = cursor;
    if (grows && image_.udf.present) {
        ++cursor;  // the new anchor
    }
    if (cursor > UINT32_MAX ||
        (image_.udf.present && cursor - image_.udf.partition_start > UINT32_MAX)) {
        return fail("the patched image would hold more sectors than its volume can address");
    }
    for (const PatchedFile& patched : plan_.files) {
        const IsoFile& file = image_.files[patched.file];
        for (const IsoRecord& record : file.records) {
            if (!rewrite_iso_record(record, patched)) {
                return false;
            }
        }
        for (const IsoRecord& record : file.joliet_records) {
            if (!rewrite_iso_record(record, patched)) {
                return false;
            }
        }
        for (const std::size_t u : file.udf_files) {
            if (!rewrite_udf_entry(image_.udf.files[u], patched)) {
                return false;
            }
        }
    }
    if (grows && !grow_volume(files_end, cursor)) {
        return false;
    }
    plan_.size = grows ? disc_offset(cursor) : image_.size;
    std::vector<std::uint64_t> zero_fill_ends;
    for (const PatchedFile& patched : plan_.files) {
        const std::uint64_t sectors = std::max(disc_sectors(patched.new_size),
                                               patched.moved ? 0 : disc_sectors(patched.old_size));
        zero_fill_ends.push_back(disc_offset(patched.new_sector + sectors));
    }
    return lay_out_pieces(zero_fill_ends);
}

bool Planner::lay_out_pieces(const std::vector<std::uint64_t>& zero_fill_ends) {
    // Everything that is not the old image, by where it starts.
    struct Write {
        std::uint64_t start;
        PatchPiece piece;
    };
    std::vector<Write> writes;
    for (const auto& [sector, bytes] : edited_) {
        writes.push_back(
            {disc_offset(sector), {PatchPiece::Kind::bytes, DISC_SECTOR, plan_.bytes.size(), 0}});
        plan_.bytes.insert(plan_.bytes.end(), bytes.begin(), bytes.end());
    }
    for (std::size_t i = 0; i < plan_.files.size(); ++i) {
        const PatchedFile& patched = plan_.files[i];
        const std::uint64_t start = disc_offset(patched.new_sector);
        if (patched.new_size > 0) {
            writes.push_back({start, {PatchPiece::Kind::replacement, patched.new_size, 0, i}});
        }
        if (zero_fill_ends[i] > start + patched.new_size) {
            writes.push_back(
                {start + patched.new_size,
                 {PatchPiece::Kind::zeros, zero_fill_ends[i] - start - patched.new_size, 0, 0}});
        }
    }
    if (new_anchor_) {
        writes.push_back({disc_offset(anchor_sector_),
                          {PatchPiece::Kind::bytes, DISC_SECTOR, plan_.bytes.size(), 0}});
        plan_.bytes.insert(plan_.bytes.end(), anchor_.begin(), anchor_.end());
    }
    std::sort(writes.begin(), writes.end(),
              [](const Write& a, const Write& b) { return a.start < b.start; });
    std::uint64_t position = 0;
    auto fill_to = [&](std::uint64_t end) {
        if (end > position && position < image_.size) {
            const std::uint64_t n = std::min(end, image_.size) - position;
            plan_.pieces.push_back({PatchPiece::Kind::image, n, position, 0});
            position += n;
        }
        if (end > position) {
            plan_.pieces.push_back({PatchPiece::Kind::zeros, end - position, 0, 0});
            position = end;
        }
    };
    for (const Write& w : writes) {
        if (w.start < position) {
            return fail("the patch would write two things at offset " + hex(w.start) +
                        "; nothing was written");
        }
        fill_to(w.start);
        plan_.pieces.push_back(w.piece);
        position += w.piece.length;
    }
    fill_to(plan_.size);
    if (position != plan_.size) {
        return fail("the patch would end at offset " + hex(position) + " instead of " +
                    hex(plan_.size) + "; nothing was written");
    }
    return true;
}

}  // namespace

bool plan_patch(const IsoImage& image, const ImageReader& reader, const std::string& path,
                std::span<const Replacement> replacements, PatchPlan* out, std::string* err) {
    return Planner(image, reader, path, replacements, out, err).run();
}

std::string patch_listing_line(const IsoImage& image, const PatchedFile& patched) {
    char text[120];
    std::snprintf(text, sizeof text, ": LBA %8llu len %10llu -> LBA %8llu len %10llu, %s\n",
                  static_cast<unsigned long long>(patched.old_sector),
                  static_cast<unsigned long long>(patched.old_size),
                  static_cast<unsigned long long>(patched.new_sector),
                  static_cast<unsigned long long>(patched.new_size),
                  patched.moved ? "moved to the end" : "in place");
    return image.files[patched.file].path + text;
}

std::vector<std::uint8_t> apply_patch_in_memory(const PatchPlan& plan, ByteSpan image,
                                                std::span<const ByteSpan> contents) {
    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(plan.size));
    for (const PatchPiece& piece : plan.pieces) {
        const std::size_t n = static_cast<std::size_t>(piece.length);
        switch (piece.kind) {
            case PatchPiece::Kind::image:
                out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(piece.offset),
                           image.begin() + static_cast<std::ptrdiff_t>(piece.offset + n));
                break;
            case PatchPiece::Kind::bytes:
                out.insert(out.end(),
                           plan.bytes.begin() + static_cast<std::ptrdiff_t>(piece.offset),
                           plan.bytes.begin() + static_cast<std::ptrdiff_t>(piece.offset + n));
                break;
            case PatchPiece::Kind::replacement:
                out.insert(out.end(), contents[piece.index].begin(),
                           contents[piece.index].begin() + static_cast<std::ptrdiff_t>(n));
                break;
            case PatchPiece::Kind::zeros:
                out.insert(out.end(), n, 0);
                break;
        }
    }
    return out;
}
