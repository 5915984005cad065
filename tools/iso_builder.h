// Disc images made by our own code, for tests (also on Windows, where no
// mastering program runs), fuzz seeds and the sample game: ISO 9660 with an
// optional Joliet tree and an optional UDF 1.02 bridge, laid out the way
// DVD mastering tools lay them out (volume descriptors, path tables and
// directories first, then the files, the UDF anchor at sector 256 and on
// the last sector). Files may be far larger than memory: a file's bytes are
// its content followed by zeros, which a written image holds as a hole.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "isopatch/iso_image.h"

/// One file of the image.
struct IsoBuildFile {
    /// "DATA/SUB/X.DAT": folders are made as needed. The names go into every
    /// tree as given (the ISO 9660 tree adds ";1"), so tests give upper-case
    /// 8.3 names.
    std::string path;
    std::vector<std::uint8_t> content;  ///< the file's first bytes
    std::uint64_t size = 0;             ///< at least content.size(); zeros after the content
    std::uint32_t gap_after = 0;        ///< unused sectors after the file's last one
};

struct IsoBuildOptions {
    bool joliet = false;
    bool udf = true;
    /// The anchor at sector 256 (and the rest from 257); without it (small
    /// images for fuzzing) the anchor lies on the last sector only.
    bool anchor_at_256 = true;
    /// Copies of the anchor between the last file and the last sector, as
    /// one mastering tool leaves them (about 150).
    std::uint32_t anchor_copies = 0;
    std::string volume_id = "KORVANE";
};

/// Where everything lies.
struct IsoLayout {
    std::uint64_t sectors = 0;  ///< of the whole image
    /// Every sector that is not file data and not zeros: (first sector, bytes),
    /// each a whole number of sectors, in order.
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> metadata;
    std::vector<std::uint64_t> file_sectors;  ///< where each file's data starts
    std::uint64_t partition_start = 0;        ///< of the UDF partition
};

/// Lays the image out. Throws std::invalid_argument on a path that is empty,
/// a file named twice, or a folder that is also a file.
IsoLayout lay_out_iso(std::span<const IsoBuildFile> files, const IsoBuildOptions& options);

/// The whole image in memory.
std::vector<std::uint8_t> iso_image_bytes(std::span<const IsoBuildFile> files,
                                          const IsoBuildOptions& options);

/// Writes the image to `path`, its zeros as holes; false with the message.
bool write_iso_image(std::span<const IsoBuildFile> files, const IsoBuildOptions& options,
                     const std::string& path, std::string* err);

/// An image read straight from its layout, never held whole: tests of
/// images of many GiB parse and plan in a few MiB.
class LaidOutImage final : public ImageReader {
  public:
    LaidOutImage(std::span<const IsoBuildFile> files, const IsoBuildOptions& options);
    const IsoLayout& layout() const { return layout_; }
    std::uint64_t size() const override;
    bool read(std::uint64_t offset, std::span<std::uint8_t> out, std::string* err) const override;

  private:
    std::span<const IsoBuildFile> files_;
    IsoLayout layout_;
};
