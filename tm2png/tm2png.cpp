#include "tm2png/tm2png.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "common/message.h"
#include "common/names.h"
#include "ossory/lzr.h"
#include "ossory/lzr_encoder.h"
#include "tm2png/png_io.h"

namespace {

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool load_tim2(ByteBuffer&& file, const std::string& path, std::uint64_t memory_available,
               Tim2Source* out, std::string* warning, std::string* err) {
    *out = Tim2Source{};
    warning->clear();
    if (file.size() >= 4 && std::memcmp(file.data(), "TIM2", 4) == 0) {
        out->tim2 = std::move(file);
        out->name = path;
        return true;
    }
    // Said as what the user gave: an image in neither form.
    const std::string neither =
        "neither a TIM2 image (it does not start with \"TIM2\") nor an LZR file: ";
    LzrHeader header;
    LzrProblem clipped, problem;
    if (!parse_lzr_header(file, &header, &problem)) {
        *err = error_message(path, neither + problem.what, problem.where);
        return false;
    }
    // A small file can declare gigabytes: they are refused before they are
    // taken when the machine does not have them.
    if (header.output_size > memory_available) {
        *err = error_message(path, "the decoded image of " + std::to_string(header.output_size) +
                                       " bytes needs more memory than is available (about " +
                                       std::to_string(memory_available >> 20) + " MiB)");
        return false;
    }
    if (!lzr_decode_file(file, &out->tim2, &clipped, &problem)) {
        *err = error_message(path, neither + problem.what, problem.where);
        return false;
    }
    if (!clipped.what.empty()) {
        *warning = warning_message(path, clipped.what, clipped.where);
    }
    if (out->tim2.size() < 4 || std::memcmp(out->tim2.data(), "TIM2", 4) != 0) {
        *err = error_message(path, "decodes as an LZR file to " + std::to_string(out->tim2.size()) +
                                       " bytes that are not a TIM2 image (they do not start with "
                                       "\"TIM2\")");
        return false;
    }
    out->compressed = true;
    out->first_word = header.first_word;
    out->name = path + " (decoded)";
    return true;
}

std::string picture_png_path(const std::string& png_path, std::size_t index, std::size_t count) {
    if (count == 1) {
        return png_path;
    }
    const std::string number = std::to_string(index);
    if (has_extension(png_path, ".png")) {
        const std::size_t dot = png_path.size() - 4;
        return png_path.substr(0, dot) + "." + number + png_path.substr(dot);
    }
    return png_path + "." + number + ".png";
}

bool peek_compressed_tim2(ByteSpan file, std::uint64_t* decoded_size, Tim2File* pictures) {
    *pictures = Tim2File{};
    LzrHeader header;
    LzrProblem problem;
    if (!parse_lzr_header(file, &header, &problem)) {
        return false;
    }
    *decoded_size = header.output_size;
    const ByteSpan control = file.subspan(LZR_HEADER_SIZE, header.control_size());
    const ByteSpan operands =
        file.subspan(static_cast<std::size_t>(header.operand_offset()), header.operand_size);
    constexpr std::size_t PEEK = 64 << 10;
    ByteBuffer start(std::min<std::size_t>(PEEK, header.output_size));
    const LzrDecodeResult result = lzr_decode(start, operands, control);
    if (!result.ok() || start.size() < TIM2_FILE_HEADER_SIZE ||
        std::memcmp(start.data(), "TIM2", 4) != 0) {
        return false;
    }
    const unsigned count = start[6] | start[7] << 8u;
    std::uint64_t offset = start[5] == 1 ? TIM2_ALIGNED_FIRST_PICTURE : TIM2_FILE_HEADER_SIZE;
    for (unsigned i = 0; i < count && range_fits(start.size(), offset, TIM2_PICTURE_HEADER_SIZE);
         ++i) {
        const std::uint8_t* h = start.data() + offset;
        Tim2Picture picture;
        picture.offset = offset;
        picture.total_size = load_le32(h);
        picture.image_type = h[19];
        picture.width = static_cast<std::uint16_t>(h[20] | h[21] << 8u);
        picture.height = static_cast<std::uint16_t>(h[22] | h[23] << 8u);
        pictures->pictures.push_back(picture);
        offset += picture.total_size;
    }
    return true;
}

std::uint64_t export_memory(const Tim2File& file, std::size_t* largest) {
    // libpng's and zlib's own state while a picture is converted: a few
    // rows, the deflate window and tables.
    constexpr std::uint64_t LIBPNG_STATE = 1 << 20;
    std::uint64_t pngs = 0, converting = 0, most = 0;
    *largest = 0;
    for (std::size_t i = 0; i < file.pictures.size(); ++i) {
        const Tim2Picture& p = file.pictures[i];
        const unsigned bytes = p.indexed() ? 1 : p.image_type == TIM2_DIRECT24 ? 3 : 4;
        const unsigned bits = p.image_type == TIM2_INDEXED4 ? 4 : 8 * bytes;
        const std::uint64_t png = png_size_bound(p.width, p.height, bits);
        const std::uint64_t row = std::uint64_t{p.width} * bytes + 1;
        const std::uint64_t pixels = std::uint64_t{p.width} * p.height * bytes;
        const std::uint64_t work = pixels + 3 * row + LIBPNG_STATE;
        pngs += png;
        converting = std::max(converting, work);
        if (work + png > most) {
            most = work + png;
            *largest = i;
        }
    }
    return pngs + converting;
}

bool export_pictures(const Tim2Source& source, const Tim2File& file, const std::string& png_path,
                     std::vector<ExportedPicture>* out, std::string* err) {
    out->clear();
    const std::size_t count = file.pictures.size();
    for (std::size_t i = 0; i < count; ++i) {
        const Tim2Picture& picture = file.pictures[i];
        ExportedPicture exported;
        exported.path = picture_png_path(png_path, i, count);
        exported.listing = describe_picture(picture, i, alpha_above_opaque(source.tim2, picture)) +
                           " -> " + exported.path;
        std::string reason;
        if (!write_png(export_picture(source.tim2, picture), &exported.png, &reason)) {
            *err = error_message(exported.path, reason, "picture " + std::to_string(i));
            return false;
        }
        out->push_back(std::move(exported));
    }
    return true;
}

bool import_png(MutableByteSpan tim2, const Tim2Picture& picture, std::size_t index, ByteSpan png,
                const std::string& png_path, std::string* listing, std::string* warning,
                std::string* err) {
    // The description is of the original, before anything changes.
    const bool alpha_kept = alpha_above_opaque(tim2, picture);
    PngImage image;
    std::string reason;
    PictureImport result;
    if (!read_png(png, picture.levels[0].width, picture.levels[0].height, &image, &reason) ||
        !import_picture(tim2, picture, image, &result, &reason)) {
        *err = error_message(png_path, reason, "picture " + std::to_string(index));
        return false;
    }
    std::string what;
    if (result.pixels_changed == 0 && result.colours_changed == 0) {
        what = "unchanged";
    } else {
        what = plural(result.pixels_changed, "pixel", "pixels") + " and " +
               plural(result.colours_changed, "palette colour", "palette colours") + " changed";
        if (result.mipmaps_regenerated) {
            what += ", mipmap levels made anew";
        }
    }
    if (result.palette_reordered) {
        what += ", pixels mapped back by colour from the PNG's reordered palette";
    }
    *listing = describe_picture(picture, index, alpha_kept) + " <- " + png_path + ": " + what;
    warning->clear();
    if (result.nearest > 0) {
        *warning = warning_message(
            png_path, plural(result.nearest, "pixel has a colour", "pixels have colours") +
                          " that the palette of picture " + std::to_string(index) +
                          " lacks; mapped to the nearest palette colour");
    }
    return true;
}

std::string kept_listing(ByteSpan tim2, const Tim2Picture& picture, std::size_t index,
                         const std::string& png_path) {
    return describe_picture(picture, index, alpha_above_opaque(tim2, picture)) + " <- no " +
           png_path + ": kept as it was";
}

bool wants_lzr(const std::string& path) {
    return has_extension(path, ".lzr");
}

bool encode_output(ByteSpan tim2, const std::string& output_path, std::uint32_t first_word,
                   std::vector<std::uint8_t>* compressed, ByteSpan* out, std::string* err) {
    if (!wants_lzr(output_path)) {
        *out = tim2;
        return true;
    }
    if (!lzr_compress(tim2, output_path, first_word, compressed, err)) {
        return false;
    }
    *out = *compressed;
    return true;
}
