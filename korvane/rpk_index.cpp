#include "korvane/rpk_index.h"

#include <cinttypes>
#include <cstdio>

#include "common/file_helpers.h"
#include "common/names.h"
#include "common/text.h"

namespace {

// A table that runs off the image almost always means the executable and the
// build do not belong together; say which build to try.
std::string layout_hint(const RpkLayout& layout) {
    const char other = layout.label == 'A' ? 'b' : 'a';
    return "; the executable or RPK.BIN may not belong to this build (layout " +
           std::string(1, layout.label) + "): try korvane-" + std::string(1, other) +
           ", and check that RPK.BIN goes with this executable";
}

}  // namespace

RpkIndexCursor::RpkIndexCursor(MutableByteSpan image, const RpkLayout& layout,
                               std::uint64_t archive_size)
    : image_(image),
      layout_(layout),
      archive_size_(archive_size),
      entry_offset_(layout.index_offset) {}

bool RpkIndexCursor::read(std::string* err) {
    const ByteSpan image(image_.data(), image_.size());
    if (!range_fits(image.size(), entry_offset_, RPK_ENTRY_SIZE)) {
        *err = "RPK index entry " + std::to_string(index_) + " at offset " + hex(entry_offset_) +
               " lies outside the executable (" + std::to_string(image.size()) + " bytes)" +
               walk_context() + layout_hint(layout_);
        return false;
    }
    const std::uint8_t* record = image.data() + entry_offset_;
    name_address_ = load_le32(record);
    sector_ = load_le32(record + 4);
    length_ = load_le32(record + 8);

    // Names lie as far from entry 0's name in the file as their addresses lie
    // apart in memory; the arithmetic wraps at 32 bits as the game's does.
    const std::uint32_t address0 = load_le32(image.data() + layout_.index_offset);
    name_offset_ = static_cast<std::uint32_t>(name_address_ - address0 + layout_.first_name_offset);
    auto name = read_cstring(image, name_offset_);
    if (!name) {
        *err = "name of RPK index entry " + std::to_string(index_) + " at offset " +
               hex(name_offset_) +
               (name_offset_ >= image.size() ? " lies outside the executable ("
                                             : " has no terminating zero inside the executable (") +
               std::to_string(image.size()) + " bytes)" + walk_context() + layout_hint(layout_);
        return false;
    }
    name_ = *name;
    last_ = sector_offset(sector_) + round_up_to_sector(length_) == archive_size_;
    return true;
}

std::string RpkIndexCursor::walk_context() const {
    if (index_ == 0) {
        return {};
    }
    return ", and no entry before it ends at the end of the archive (" +
           std::to_string(archive_size_) + " bytes)";
}

void RpkIndexCursor::set_sector(std::uint32_t sector) {
    write_le32(image_, entry_offset_ + 4, sector);
}

void RpkIndexCursor::set_length(std::uint32_t length) {
    write_le32(image_, entry_offset_ + 8, length);
}

void RpkIndexCursor::advance() {
    ++index_;
    entry_offset_ += RPK_ENTRY_SIZE;
}

bool scan_rpk_index(ByteSpan image, const RpkLayout& layout, std::uint64_t archive_size,
                    std::vector<RpkEntry>* entries, std::string* err) {
    entries->clear();
    // The cursor only writes when asked to; the scan never asks.
    MutableByteSpan view(const_cast<std::uint8_t*>(image.data()), image.size());
    RpkIndexCursor cursor(view, layout, archive_size);
    while (true) {
        if (!cursor.read(err)) {
            return false;
        }
        const std::string reason = unsafe_name_reason(cursor.name());
        if (!reason.empty()) {
            *err = "RPK index entry " + std::to_string(cursor.index()) + " has an unsafe name [" +
                   std::string(cursor.name()) + "] (" + reason + "); nothing was written" +
                   layout_hint(layout);
            return false;
        }
        entries->push_back(RpkEntry{cursor.index(), cursor.entry_offset(), cursor.name_address(),
                                    cursor.sector(), cursor.length(), std::string(cursor.name())});
        if (cursor.is_last()) {
            return true;
        }
        cursor.advance();
    }
}

std::string rpk_listing_line(const RpkEntry& entry) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%05d: LBA %8d len %10d [",
                  static_cast<int>(entry.index), static_cast<std::int32_t>(entry.sector),
                  static_cast<std::int32_t>(entry.length));
    return numbers + entry.name + "]\n";
}

bool pack_rpk_entry(MutableByteSpan image, const RpkEntry& entry, std::uint64_t file_size,
                    std::uint64_t* archive_position, std::string* err) {
    // Lengths and sectors are signed 32-bit values to the game.
    constexpr std::uint64_t MAX_FIELD = 0x7FFFFFFF;
    if (file_size > MAX_FIELD) {
        *err = "[" + entry.name + "] is " + std::to_string(file_size) +
               " bytes; an archive entry must be smaller than 2 GiB";
        return false;
    }
    const std::uint64_t sector = *archive_position / SECTOR_SIZE;
    if (sector > MAX_FIELD) {
        *err = "the archive grows past the sectors its index can address at entry " +
               std::to_string(entry.index) + " [" + entry.name + "]";
        return false;
    }
    write_le32(image, entry.entry_offset + 4, static_cast<std::uint32_t>(sector));
    write_le32(image, entry.entry_offset + 8, static_cast<std::uint32_t>(file_size));
    *archive_position += round_up_to_sector(file_size);
    return true;
}
