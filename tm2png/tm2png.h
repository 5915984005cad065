// What the tm2png program does, apart from reading and writing files: find
// the TIM2 image in an input (decoding LZR first), name the PNG of each
// picture, turn pictures into PNG files and edited PNG files back into the
// picture, and compress the output when its name asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "common/byte_reader.h"
#include "tm2png/convert.h"
#include "tm2png/tim2.h"

/// A TIM2 image as loaded from a .tm2 or .tm2.lzr file.
struct Tim2Source {
    ByteBuffer tim2;               ///< the plain TIM2 bytes
    bool compressed = false;       ///< the file was LZR-compressed
    std::uint32_t first_word = 0;  ///< its LZR header's first word (0 when plain)
    std::string name;              ///< for messages: the file, "(decoded)" when compressed
};

/// Takes `file` as it is (its bytes move into `out`) when it starts with
/// "TIM2", and otherwise decodes it as an LZR file, which must give a TIM2
/// image. A file whose decoded size is more than `memory_available` is
/// refused before it is decoded. `path` names the file in messages; an LZR
/// decode whose last operation was cut leaves a warning.
bool load_tim2(ByteBuffer&& file, const std::string& path, std::uint64_t memory_available,
               Tim2Source* out, std::string* warning, std::string* err);

/// The PNG of picture `index` of `count`: `png_path` itself for a one-picture
/// file; otherwise the index goes before a ".png" extension ("out.png" ->
/// "out.1.png"), or ".<index>.png" is appended to a name without one.
std::string picture_png_path(const std::string& png_path, std::size_t index, std::size_t count);

/// One picture converted for export.
struct ExportedPicture {
    std::string listing;  ///< its listing line, without a line end
    std::string path;     ///< where its PNG goes
    std::vector<std::uint8_t> png;
};

/// For an LZR-compressed image: its decoded size, and the pictures whose
/// headers lie in the first 64 KiB of the decoded image (their sides and
/// image types only), found by decoding no more than that. What an export
/// needs is then known before the image is decoded. False when the file is
/// not an LZR file whose start decodes to a TIM2 image (`load_tim2` then
/// says why).
bool peek_compressed_tim2(ByteSpan file, std::uint64_t* decoded_size, Tim2File* pictures);

/// The most memory an export of `file` takes beyond the loaded image: the
/// PNG of every picture (each at most `png_size_bound`, all kept until they
/// are written together) and, for the picture converted at the time, its
/// pixels as the PNG holds them (a byte a pixel for indexed pictures, 3 or
/// 4 for direct ones) and libpng's own state. `largest` is the picture
/// whose conversion needs the most.
std::uint64_t export_memory(const Tim2File& file, std::size_t* largest);

/// Converts every picture of `source` (parsed into `file`) to a PNG in memory.
bool export_pictures(const Tim2Source& source, const Tim2File& file, const std::string& png_path,
                     std::vector<ExportedPicture>* out, std::string* err);

/// Puts one edited PNG (the bytes of the file at `png_path`) into picture
/// `index` of `tim2`, a copy of the original image. Fills the listing line
/// and, when pixels had colours the palette lacks, a warning.
bool import_png(MutableByteSpan tim2, const Tim2Picture& picture, std::size_t index, ByteSpan png,
                const std::string& png_path, std::string* listing, std::string* warning,
                std::string* err);

/// The listing line of a picture whose PNG does not exist and which is kept as it was.
std::string kept_listing(ByteSpan tim2, const Tim2Picture& picture, std::size_t index,
                         const std::string& png_path);

/// Whether an output named `path` is to be LZR-compressed: its name ends in ".lzr".
bool wants_lzr(const std::string& path);

/// The bytes to write to `output_path`: `tim2` itself, or for a name ending
/// in ".lzr" an LZR file of it with `first_word` in its header, made in
/// `compressed`.
bool encode_output(ByteSpan tim2, const std::string& output_path, std::uint32_t first_word,
                   std::vector<std::uint8_t>* compressed, ByteSpan* out, std::string* err);
