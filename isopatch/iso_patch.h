// The plan of a patched image: which replaced file stays where it was and
// which moves to the end, every record that describes them rewritten to
// match, and the new image as a list of pieces (runs of the old image,
// rewritten sectors, the new contents, zeros) that a writer streams out in
// order. Pure: the plan reads the old image only through an ImageReader.
//
// The rules:
// - A new content that fits in the sectors from the file's start up to the
//   next sector anything else lies in (another file, a directory, any
//   descriptor, also the unreferenced copies of the UDF anchor some
//   mastering tools leave after the last file) is written there, and the
//   rest of the file's old sectors become zeros.
// - A larger one goes after the end of the image (after the volume and after
//   the last byte of the file, whichever lies further), each moved file
//   starting on a sector of its own; the image grows, and with it the volume
//   space size of every volume descriptor and, with UDF, the partition's
//   length in both partition descriptors and in the integrity descriptors'
//   size table, and a new anchor on the new last sector. A moved file's old
//   sectors keep their bytes, so that a delta of the two images stays small.
// - Every record of a replaced file changes: the ISO 9660 directory records
//   of both trees (extent and length, in both byte orders) and its UDF file
//   entry (information length, blocks recorded, allocation descriptors, one
//   per GiB, and the tag's CRC and checksum). Nothing else changes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "isopatch/iso_image.h"

/// A file to put into the image.
struct Replacement {
    std::string name;    ///< the file's path in the image, as the user gave it
    std::string source;  ///< where the new content comes from, for messages
    std::uint64_t size = 0;
};

/// What a patch does to one file.
struct PatchedFile {
    std::size_t file = 0;  ///< index into IsoImage::files
    std::uint64_t old_sector = 0;
    std::uint64_t old_size = 0;
    std::uint64_t new_sector = 0;
    std::uint64_t new_size = 0;
    bool moved = false;
};

/// One run of the new image; the runs follow each other from offset 0.
struct PatchPiece {
    enum class Kind {
        image,        ///< bytes of the old image, from `offset`
        bytes,        ///< rewritten bytes, from `offset` in PatchPlan::bytes
        replacement,  ///< the content of replacement number `index`, from its start
        zeros,
    };
    Kind kind = Kind::image;
    std::uint64_t length = 0;
    std::uint64_t offset = 0;
    std::size_t index = 0;
};

struct PatchPlan {
    std::vector<PatchedFile> files;   ///< in the order of the replacements
    std::vector<std::uint8_t> bytes;  ///< the rewritten sectors, back to back
    std::vector<PatchPiece> pieces;
    std::uint64_t size = 0;  ///< of the new image
};

/// The largest file isopatch stores: one ISO 9660 extent.
inline constexpr std::uint64_t MAX_REPLACEMENT_SIZE = 0xFFFFFFFF;

/// Plans the patch. Refuses (naming the file and why) a path the image does
/// not hold or that names a folder, a file named twice, a file stored in
/// several extents or with extended attributes, a new content of 4 GiB or
/// more, and a file whose UDF or Joliet records cannot be found or
/// rewritten. `path` names the image in messages.
bool plan_patch(const IsoImage& image, const ImageReader& reader, const std::string& path,
                std::span<const Replacement> replacements, PatchPlan* out, std::string* err);

/// The line the patch prints for a file:
/// "RPK.BIN: LBA      278 len     300000 -> LBA      581 len     400000, moved to the end".
std::string patch_listing_line(const IsoImage& image, const PatchedFile& patched);

/// Applies a plan to an image in memory (tests and fuzzing): the new image,
/// with the replacements' contents taken from `contents`.
std::vector<std::uint8_t> apply_patch_in_memory(const PatchPlan& plan, ByteSpan image,
                                                std::span<const ByteSpan> contents);
