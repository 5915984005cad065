// Fuzz target: any byte string as a TIM2 image must be parsed cleanly or
// refused with a message, never touching memory outside the input. Every
// picture of an accepted image must lie inside the file, and must come back
// byte for byte from an export to PNG and an import of that PNG, both as a
// palette PNG (when it is one) and flattened to RGBA.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tm2png/convert.h"
#include "tm2png/png_io.h"
#include "tm2png/tim2.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteSpan input(data, size);
    Tim2File file;
    std::string err;
    if (!parse_tim2(input, "fuzz.tm2", &file, &err)) {
        FUZZ_CHECK(err.rfind("Error: fuzz.tm2: ", 0) == 0);
        return 0;
    }
    FUZZ_CHECK(!file.pictures.empty());
    std::uint64_t end = 0;
    for (const Tim2Picture& p : file.pictures) {
        FUZZ_CHECK(p.offset >= end && range_fits(size, p.offset, p.total_size));
        end = p.offset + p.total_size;
        FUZZ_CHECK(p.image_offset + p.image_size == p.clut_offset);
        FUZZ_CHECK(p.clut_offset + p.clut_size == end);
        std::uint64_t level_end = p.image_offset;
        for (const Tim2Level& level : p.levels) {
            FUZZ_CHECK(level.offset == level_end);
            FUZZ_CHECK(level.size >= tim2_level_bytes(p.image_type, level.width, level.height));
            level_end += level.size;
        }
        FUZZ_CHECK(level_end <= p.clut_offset);
        if (p.indexed()) {
            const std::uint64_t entry = tim2_colour_bytes(p.clut_format());
            for (std::uint32_t i = 0; i < p.palette_entries(); ++i) {
                FUZZ_CHECK(p.clut_entry_offset(i) + entry <= end);
            }
        }
    }

    std::vector<std::uint8_t> copy(input.begin(), input.end());
    std::vector<std::uint8_t> flattened = copy;
    for (const Tim2Picture& picture : file.pictures) {
        std::vector<std::uint8_t> png;
        FUZZ_CHECK(write_png(export_picture(input, picture), &png, &err));
        PngImage image;
        FUZZ_CHECK(read_png(png, picture.width, picture.height, &image, &err));
        PictureImport result;
        FUZZ_CHECK(import_picture(copy, picture, image, &result, &err));
        FUZZ_CHECK(result.pixels_changed == 0 && result.colours_changed == 0);

        std::vector<Rgba> colours;
        FUZZ_CHECK(png_to_rgba(image, &colours, &err));
        PngImage rgba;
        rgba.width = image.width;
        rgba.height = image.height;
        for (const Rgba& c : colours) {
            rgba.pixels.insert(rgba.pixels.end(), {c.r, c.g, c.b, c.a});
        }
        FUZZ_CHECK(import_picture(flattened, picture, rgba, &result, &err));
        FUZZ_CHECK(result.pixels_changed == 0 && result.nearest == 0);
    }
    FUZZ_CHECK(copy == std::vector<std::uint8_t>(input.begin(), input.end()));
    FUZZ_CHECK(flattened == copy);
    return 0;
}
