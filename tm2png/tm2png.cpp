#include "tm2png/tm2png.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "common/names.h"
#include "ossory/lzr.h"
#include "ossory/lzr_encoder.h"
#include "tm2png/png_io.h"

namespace {

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool load_tim2(ByteSpan file, const std::string& path, Tim2Source* out, std::string* warning,
               std::string* err) {
    *out = Tim2Source{};
    if (file.size() >= 4 && std::memcmp(file.data(), "TIM2", 4) == 0) {
        out->tim2.assign(file.begin(), file.end());
        out->name = path;
        return true;
    }
    std::string lzr_err;
    if (!lzr_decode_file(file, path, &out->tim2, warning, &lzr_err)) {
        // Said as what the user gave: an image in neither form.
        const std::string prefix = "Error: " + path + ": ";
        const std::string reason =
            lzr_err.rfind(prefix, 0) == 0 ? lzr_err.substr(prefix.size()) : lzr_err;
        *err = prefix + "neither a TIM2 image (it does not start with \"TIM2\") nor an LZR file (" +
               reason + ")";
        return false;
    }
    if (out->tim2.size() < 4 || std::memcmp(out->tim2.data(), "TIM2", 4) != 0) {
        *err = "Error: " + path + ": decodes as an LZR file to " +
               std::to_string(out->tim2.size()) +
               " bytes that are not a TIM2 image (they do not start with \"TIM2\")";
        return false;
    }
    out->compressed = true;
    out->first_word = load_le32(file.data());
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
            *err = "Error: " + exported.path + ": picture " + std::to_string(i) + ": " + reason;
            return false;
        }
        out->push_back(std::move(exported));
    }
    return true;
}

bool import_png(std::vector<std::uint8_t>* tim2, const Tim2Picture& picture, std::size_t index,
                ByteSpan png, const std::string& png_path, std::string* listing,
                std::string* warning, std::string* err) {
    // The description is of the original, before anything changes.
    const bool alpha_kept = alpha_above_opaque(*tim2, picture);
    PngImage image;
    std::string reason;
    PictureImport result;
    if (!read_png(png, picture.levels[0].width, picture.levels[0].height, &image, &reason) ||
        !import_picture(*tim2, picture, image, &result, &reason)) {
        *err = "Error: " + png_path + ": " + reason + " (picture " + std::to_string(index) + ")";
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
    *listing = describe_picture(picture, index, alpha_kept) + " <- " + png_path + ": " + what;
    warning->clear();
    if (result.nearest > 0) {
        *warning = "Warning: " + png_path + ": " +
                   plural(result.nearest, "pixel has a colour", "pixels have colours") +
                   " that the palette of picture " + std::to_string(index) +
                   " lacks; mapped to the nearest palette colour";
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

bool encode_output(std::vector<std::uint8_t> tim2, const std::string& output_path,
                   std::uint32_t first_word, std::vector<std::uint8_t>* out, std::string* err) {
    if (!wants_lzr(output_path)) {
        *out = std::move(tim2);
        return true;
    }
    std::string reason;
    if (!lzr_compress(tim2, first_word, out, &reason)) {
        *err = reason;
        return false;
    }
    return true;
}
