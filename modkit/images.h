// The TIM2 images among a workspace's files: which files are images, their
// export to PNG, and the import of edited PNGs, through tm2png's library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "tm2png/tm2png.h"

/// A loaded image.
struct LoadedImage {
    Tim2Source source;  ///< the plain TIM2 bytes, and whether the file was LZR
    Tim2File file;      ///< its pictures
};

/// What a file of the workspace turned out to be.
enum class ImageKind {
    none,     ///< not an image: no TIM2, and not named as a compressed one
    image,    ///< a TIM2 image, plain or LZR-compressed, that tm2png reads
    damaged,  ///< looks like an image but tm2png refuses it (`reason` says why)
};

/// Whether the file `name` with contents `data` is an image: a file that
/// starts with "TIM2", or one whose name ends in ".lzr" and that decodes to
/// a TIM2 image. A file that starts with "TIM2", or whose name ends in
/// ".tm2.lzr", and that tm2png cannot read is `damaged`, with the reason
/// (tm2png's message without its "Error: <file>: ").
ImageKind load_image(ByteSpan data, const std::string& name, LoadedImage* out, std::string* reason);

/// The PNG of every picture, named from `png_base` as tm2png names them.
bool export_image(const LoadedImage& image, const std::string& png_base,
                  std::vector<ExportedPicture>* out, std::string* err);

/// One edited PNG to put into an image.
struct PngEdit {
    std::size_t picture = 0;
    std::string path;  ///< for messages
    ByteBuffer png;
};

/// Puts the edited PNGs into a copy of `image` and encodes the file as it
/// was (LZR with the same first header word, with the optimal encoder, when
/// it was compressed). `changed` is false, and `out` empty, when the pictures
/// come out as they were (a PNG saved again without a change of pixels).
/// Warnings (colours the palette lacks) are added to `warnings`.
bool import_image(const LoadedImage& image, const std::vector<PngEdit>& edits,
                  std::vector<std::uint8_t>* out, bool* changed, std::vector<std::string>* warnings,
                  std::string* err);
