// isopatch as a library: list, extract and patch the files of a disc image,
// for the isopatch program and for drivers that do the same inside one
// process (modkit unpacks a game from its image and packs the edited files
// back into a new image).
//
// Typical use:
//
//     IsoImageFile image;
//     if (!image.open("game.iso", &err)) ...
//     for (std::size_t i = 0; i < image.image().files.size(); ++i)
//         print(iso_listing_line(i, image.image().files[i]));
//
//     // every file (or the named ones) below game/, with the suite's checks
//     extract_iso_files(image, "game", {}, on_file, &err);
//
//     // a new image with two files replaced, committed by the caller
//     AtomicFile out;
//     out.open("translated.iso", &err);
//     const ReplacementSource files[] = {{"SLUS_217.88", "NEW2.ELF"}, {"RPK.BIN", "NEW.BIN"}};
//     PatchPlan plan;
//     write_patched_image(image, files, out, &plan, &err);
//     image.close();
//     out.commit(false, &err);  // or commit_together with other outputs
//
// Every function returns false with the suite's complete message in `err`;
// nothing prints. The caller checks its files against each other first
// (check_run_files: the output may not be the image or a replacement).
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "common/platform/file_io.h"
#include "isopatch/iso_image.h"
#include "isopatch/iso_patch.h"

/// A disc image opened for reading and parsed. Reads go to the file piece
/// by piece, so any image size costs a few MiB.
class IsoImageFile final : public ImageReader {
  public:
    /// Opens the image (a regular file) and reads all its structures.
    bool open(const std::string& path, std::string* err);
    /// Closes the file (before the image itself is replaced, on Windows).
    void close() { file_.close(); }

    const IsoImage& image() const { return image_; }
    const std::string& path() const { return path_; }
    const FileHandle& handle() const { return file_; }

    std::uint64_t size() const override { return image_size_; }
    bool read(std::uint64_t offset, std::span<std::uint8_t> out, std::string* err) const override;

  private:
    FileHandle file_;
    std::string path_;
    std::uint64_t image_size_ = 0;
    IsoImage image_;
};

/// The indices of the files that `names` name (as find_iso_file reads
/// them), in the order of the image; every file when `names` is empty.
bool select_iso_files(const IsoImage& image, std::span<const std::string> names,
                      const std::string& path, std::vector<std::size_t>* out, std::string* err);

/// Writes the files `selected` (indices into the image's files) below
/// `folder` under their paths, with the suite's extraction: every name and
/// target checked before the first write (unsafe names, a name needed as
/// both file and folder, a folder or device in the way, the image itself as
/// a target), each file written beside its target and renamed into place,
/// on several threads. `extracted(i)` runs once file selected[i] is
/// written, in order.
bool extract_iso_files(const IsoImageFile& image, const std::string& folder,
                       std::span<const std::size_t> selected,
                       const std::function<void(std::size_t)>& extracted, std::string* err);

/// A file to put into the image and where its new content lies.
struct ReplacementSource {
    std::string name;  ///< the file's path in the image
    std::string path;  ///< the file holding the new content
};

/// Plans the patch (see iso_patch.h) and writes the new image into `out`,
/// which the caller has opened and commits; `out` takes the image's
/// permission bits. The unchanged parts of the image are copied inside the
/// system (copy_file_range, or a reflink where the file system makes one),
/// and holes stay holes. A replacement that changes size meanwhile is an
/// error. `plan` says where every file went.
bool write_patched_image(const IsoImageFile& image, std::span<const ReplacementSource> replacements,
                         AtomicFile& out, PatchPlan* plan, std::string* err);
