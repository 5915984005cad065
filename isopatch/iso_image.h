// A DVD image as isopatch reads it: the ISO 9660 tree (with its Joliet twin
// when there is one) and the UDF 1.02 bridge that console discs carry beside
// it, with the place of every record that describes a file, so that a patch
// can rewrite exactly those, and a map of every sector something lies in, so
// that a file grows only into sectors nothing else uses.
//
// The parser is pure: it reads the image through an ImageReader (memory in
// tests and fuzzing, a file piece by piece in the tool, so that images of
// any size cost a few MiB), checks every structure before it uses it (sound
// tags, extents inside the image, directories that neither loop nor nest
// without end), and returns records or the suite's error message.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_reader.h"

/// Where the parser reads an image from.
class ImageReader {
  public:
    virtual ~ImageReader() = default;
    /// The image's size in bytes.
    virtual std::uint64_t size() const = 0;
    /// Reads `out.size()` bytes at `offset`, which the caller has checked to
    /// lie inside the image; false with the complete message on failure.
    virtual bool read(std::uint64_t offset, std::span<std::uint8_t> out,
                      std::string* err) const = 0;
};

/// An image held in memory.
class MemoryImage final : public ImageReader {
  public:
    explicit MemoryImage(ByteSpan bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read(std::uint64_t offset, std::span<std::uint8_t> out, std::string* err) const override;

  private:
    ByteSpan bytes_;
};

/// A run of a file's data: its first sector and its length in bytes.
struct DataExtent {
    std::uint64_t sector = 0;
    std::uint64_t length = 0;
    bool operator==(const DataExtent&) const = default;
};

/// An ISO 9660 directory record (of the primary tree or the Joliet tree):
/// where it lies and what it says.
struct IsoRecord {
    std::uint64_t offset = 0;    ///< of the record in the image
    std::uint32_t extent = 0;    ///< the extent's first sector
    std::uint32_t length = 0;    ///< the data length in bytes
    std::uint8_t xa_length = 0;  ///< sectors of extended attributes before the data
    std::uint8_t flags = 0;
};

/// ISO 9660 record flags.
inline constexpr std::uint8_t ISO_DIRECTORY = 0x02;
inline constexpr std::uint8_t ISO_ASSOCIATED = 0x04;
inline constexpr std::uint8_t ISO_MULTI_EXTENT = 0x80;

/// A file of the ISO 9660 tree, with the records that describe it there and
/// in the other trees.
struct IsoFile {
    /// "DATA/X.DAT": the names as the ISO 9660 tree stores them, without the
    /// ";1" version and without the dot of a name that has no extension,
    /// joined by "/".
    std::string path;
    /// The primary tree's records: one, or one per extent of a file stored
    /// in several extents (files of 4 GiB and more).
    std::vector<IsoRecord> records;
    std::vector<DataExtent> extents;  ///< the file's data, in order; none when empty
    std::uint64_t size = 0;
    /// The first sector of its data; for an empty file, what its record says.
    std::uint64_t sector = 0;
    /// The Joliet tree's records of the same file.
    std::vector<IsoRecord> joliet_records;
    /// The UDF file entries of the same file (indices into UdfVolume::files).
    std::vector<std::size_t> udf_files;
    /// Why the file cannot be extracted or replaced (stored interleaved, its
    /// trees' records cannot be told apart from another file's...), or empty.
    std::string problem;
};

/// A file entry of the UDF tree.
struct UdfFile {
    std::string path;          ///< in the UDF tree, names joined by "/"
    std::uint32_t block = 0;   ///< of the file entry, in the partition
    std::uint64_t offset = 0;  ///< of the file entry in the image
    std::uint64_t size = 0;    ///< information length
    std::uint8_t ad_type = 0;  ///< 0: short allocation descriptors, 1: long, 3: data inside
    std::uint32_t ea_length = 0;
    std::uint32_t ad_length = 0;
    std::vector<DataExtent> extents;  ///< recorded data, in absolute sectors
    /// Why its allocation cannot be rewritten, or empty.
    std::string problem;
};

/// Where the UDF bridge keeps what a patch must change.
struct UdfVolume {
    bool present = false;
    /// Why the UDF side cannot be updated (a layout isopatch does not
    /// write), or empty; the ISO 9660 side still lists and extracts.
    std::string problem;
    /// Why the partition cannot grow (it keeps a space bitmap), or empty.
    std::string growth_problem;
    std::uint32_t anchor = 0;  ///< sector of the anchor read
    std::uint32_t partition_start = 0;
    std::uint32_t partition_length = 0;
    std::uint16_t partition_number = 0;
    std::uint16_t partition_reference = 0;  ///< the partition's place in the maps
    /// The partition descriptor in the main and the reserve sequence.
    std::vector<std::uint64_t> partition_descriptors;
    /// The logical volume integrity descriptors, whose size table follows
    /// the partition's length.
    std::vector<std::uint64_t> integrity_descriptors;
    std::vector<UdfFile> files;
};

/// Sectors something lies in: a file's data (`file` >= 0, an index into
/// IsoImage::files) or any other structure (-1).
struct Allocation {
    std::uint64_t start = 0;  ///< first sector
    std::uint64_t end = 0;    ///< past the last sector
    std::int64_t file = -1;
};

struct IsoImage {
    std::uint64_t size = 0;  ///< of the image, in bytes
    std::uint32_t volume_space_size = 0;
    /// The primary and supplementary volume descriptors, which all state the
    /// volume space size.
    std::vector<std::uint64_t> volume_descriptors;
    /// The volume descriptors of a session that starts at sector 32 (images
    /// written for appending), which state its size from there on.
    std::vector<std::uint64_t> session_descriptors;
    bool joliet = false;
    std::vector<IsoFile> files;  ///< directory by directory, each in stored order
    UdfVolume udf;
    std::vector<Allocation> allocations;  ///< sorted by start
};

/// Limits that keep a hostile image from taking unbounded memory or time.
inline constexpr std::size_t MAX_IMAGE_RECORDS = 1'000'000;
inline constexpr std::size_t MAX_DIRECTORY_DEPTH = 255;
inline constexpr std::uint64_t MAX_UDF_DIRECTORY = 16u << 20;

/// Reads every structure of the image. `path` names the image in messages.
bool read_iso_image(const ImageReader& reader, const std::string& path, IsoImage* out,
                    std::string* err);

/// A path as given on the command line, in the form paths are compared in:
/// without a leading "/", without ";1" versions or a trailing dot, in upper
/// case (the format's names are upper case).
std::string iso_path_key(std::string_view path);

/// The index of the file a command-line path names, or -1 (with `err` set:
/// no such file, a folder, or a name two files share).
std::int64_t find_iso_file(const IsoImage& image, std::string_view name, const std::string& path,
                           std::string* err);

/// The listing line of a file: "00003: LBA      278 len     300000 [RPK.BIN]".
std::string iso_listing_line(std::size_t index, const IsoFile& file);
