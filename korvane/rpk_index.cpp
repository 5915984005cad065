#include "korvane/rpk_index.h"

#include <cstdio>

#include "common/message.h"
#include "common/names.h"
#include "common/text.h"
#include "common/tool.h"

std::string rpk_place(std::uint32_t index) {
    return "entry " + std::to_string(index);
}

namespace {

// Reports against one image and layout.
class Walk {
  public:
    Walk(ByteSpan image, const RpkLayout& layout, std::uint64_t archive_size,
         const std::string& image_path, std::string* err)
        : image_(image),
          layout_(layout),
          archive_size_(archive_size),
          image_path_(image_path),
          err_(err) {}

    bool run(std::vector<RpkEntry>* entries) {
        entries->clear();
        SectorRecord first;
        if (!read_sector_record(image_, layout_.index_offset, &first)) {
            return outside(0, layout_.index_offset, "lies outside the executable");
        }
        // Names lie as far from entry 0's name in the file as their addresses
        // lie apart in memory; the arithmetic wraps at 32 bits as the game's does.
        const std::uint32_t address0 = first.name_address;
        for (std::uint32_t index = 0;; ++index) {
            const std::uint64_t offset =
                layout_.index_offset + std::uint64_t{index} * SECTOR_RECORD_SIZE;
            RpkEntry entry{index, {}};
            if (!read_sector_record(image_, offset, &entry.record)) {
                return outside(index, offset, "lies outside the executable");
            }
            const std::uint64_t name_offset = static_cast<std::uint32_t>(
                entry.record.name_address - address0 + layout_.first_name_offset);
            const auto name = read_cstring(image_, name_offset, MAX_STORED_NAME);
            if (!name) {
                return outside(index, name_offset,
                               name_offset >= image_.size()
                                   ? "has its name outside the executable"
                                   : "has a name with no terminating zero within " +
                                         std::to_string(MAX_STORED_NAME + 1) +
                                         " bytes inside the executable");
            }
            entry.record.name = *name;
            const std::string reason = unsafe_name_reason(*name);
            if (!reason.empty()) {
                *err_ = error_message(image_path_,
                                      "the RPK index entry has an unsafe name " + quoted(*name) +
                                          " (" + reason + "); nothing was written",
                                      rpk_place(index) + ", offset " + hex(name_offset));
                return false;
            }
            entries->push_back(entry);
            const SectorRecord& r = entry.record;
            if (sector_offset(r.sector) + round_up_to_sector(r.length) == archive_size_) {
                return true;
            }
        }
    }

  private:
    // A table that runs off the image almost always means that the executable
    // and the build do not belong together, or that RPK.BIN is not the one
    // that goes with the executable.
    bool outside(std::uint32_t index, std::uint64_t offset, const std::string& what) {
        std::string text =
            "the RPK index entry " + what + " (" + std::to_string(image_.size()) + " bytes)";
        if (index > 0) {
            text += ", and no entry before it ends at the end of the archive (" +
                    std::to_string(archive_size_) + " bytes)";
        }
        *err_ = error_message(image_path_, text, rpk_place(index) + ", offset " + hex(offset));
        ran_off_ = true;
        return false;
    }

    ByteSpan image_;
    const RpkLayout& layout_;
    std::uint64_t archive_size_;
    const std::string& image_path_;
    std::string* err_;

  public:
    /// Whether the walk failed by running off the image, not on a name.
    bool ran_off_ = false;
};

}  // namespace

bool scan_rpk_index(ByteSpan image, const RpkLayout& layout, std::uint64_t archive_size,
                    const std::string& image_path, std::vector<RpkEntry>* entries,
                    std::string* err) {
    Walk walk(image, layout, archive_size, image_path, err);
    if (walk.run(entries)) {
        return true;
    }
    // The other revision's executable read with this build's constants looks
    // damaged; say so when the other build reads it cleanly.
    const RpkLayout& other = layout.label == 'A' ? RPK_LAYOUT_B : RPK_LAYOUT_A;
    std::vector<RpkEntry> ignored;
    std::string ignored_err;
    if (Walk(image, other, archive_size, image_path, &ignored_err).run(&ignored)) {
        *err += other_build_hint("korvane", layout.label);
    } else if (walk.ran_off_) {
        *err += "; check that RPK.BIN goes with this executable";
    }
    entries->clear();
    return false;
}

std::string rpk_listing_line(const RpkEntry& entry) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%05d: LBA %8d len %10d [",
                  static_cast<int>(entry.index), static_cast<std::int32_t>(entry.record.sector),
                  static_cast<std::int32_t>(entry.record.length));
    return numbers + std::string(entry.record.name) + "]\n";
}
