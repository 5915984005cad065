#include "modkit/images.h"

#include <cstring>

#include "common/names.h"
#include "common/platform/host.h"

namespace {

std::string without_prefix(const std::string& message, const std::string& name) {
    const std::string prefix = "Error: " + name + ": ";
    return message.starts_with(prefix) ? message.substr(prefix.size()) : message;
}

}  // namespace

ImageKind load_image(ByteSpan data, const std::string& name, LoadedImage* out,
                     std::string* reason) {
    const bool plain = data.size() >= 4 && std::memcmp(data.data(), "TIM2", 4) == 0;
    if (!plain && !has_extension(name, ".lzr")) {
        return ImageKind::none;
    }
    // Only files that start as a TIM2 or are named as a compressed one
    // count as damaged images; any other .lzr that is no image is just a file.
    const bool named_image = plain || has_extension(name, ".tm2.lzr");
    std::string warning, err;
    // The decode is refused, as tm2png refuses it, when the machine cannot hold it.
    if (!load_tim2(ByteBuffer(data.begin(), data.end()), name, available_memory(), &out->source,
                   &warning, &err)) {
        *reason = without_prefix(err, name);
        return named_image ? ImageKind::damaged : ImageKind::none;
    }
    // A decode whose last operation was cut at the declared size is a whole
    // image (stored files may end that way); a pack writes it anew only if
    // one of its PNGs is edited.
    if (!parse_tim2(out->source.tim2, out->source.name, &out->file, &err)) {
        *reason = without_prefix(err, out->source.name);
        return ImageKind::damaged;
    }
    return ImageKind::image;
}

bool export_image(const LoadedImage& image, const std::string& png_base,
                  std::vector<ExportedPicture>* out, std::string* err) {
    return export_pictures(image.source, image.file, png_base, out, err);
}

bool import_image(const LoadedImage& image, const std::vector<PngEdit>& edits,
                  std::vector<std::uint8_t>* out, bool* changed, std::vector<std::string>* warnings,
                  std::string* err) {
    ByteBuffer tim2 = image.source.tim2;
    for (const PngEdit& edit : edits) {
        std::string listing, warning;
        if (!import_png(tim2, image.file.pictures[edit.picture], edit.picture,
                        {edit.png.data(), edit.png.size()}, edit.path, &listing, &warning, err)) {
            return false;
        }
        if (!warning.empty()) {
            warnings->push_back(warning);
        }
    }
    *changed = tim2 != image.source.tim2;
    out->clear();
    if (!*changed) {
        return true;
    }
    if (!image.source.compressed) {
        out->assign(tim2.begin(), tim2.end());
        return true;
    }
    ByteSpan encoded;
    if (!encode_output(tim2, ".lzr", image.source.first_word, out, &encoded, err)) {
        return false;
    }
    if (encoded.data() != out->data()) {
        out->assign(encoded.begin(), encoded.end());
    }
    return true;
}
