#include "tm2png/png_io.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

/// The largest side of a PNG read: TIM2 sides are 16-bit, and libpng
/// refuses a larger header before allocating anything.
constexpr std::uint32_t MAX_SIDE = 65535;

/// Where libpng's callbacks find the memory they read from or write to, and
/// where the error callback leaves its message.
struct IoState {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t position = 0;
    std::vector<std::uint8_t>* out = nullptr;
    char message[256] = "";
    /// The PNG was refused for its size, not for damage.
    bool wrong_size = false;
};

[[noreturn]] void on_error(png_structp png, png_const_charp message) {
    auto* state = static_cast<IoState*>(png_get_error_ptr(png));
    std::snprintf(state->message, sizeof state->message, "%s", message);
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void read_callback(png_structp png, png_bytep to, std::size_t length) {
    auto* state = static_cast<IoState*>(png_get_io_ptr(png));
    if (length > state->size - state->position) {
        png_error(png, "the file ends early");
    }
    std::memcpy(to, state->data + state->position, length);
    state->position += length;
}

void write_callback(png_structp png, png_bytep from, std::size_t length) {
    auto* state = static_cast<IoState*>(png_get_io_ptr(png));
    bool out_of_memory = false;
    try {
        state->out->insert(state->out->end(), from, from + length);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    // Outside the handler: the error jumps away and must leave nothing behind.
    if (out_of_memory) {
        png_error(png, "out of memory");
    }
}

void flush_callback(png_structp) {}

/// Deletes libpng's structures however the work ends.
struct WriteStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~WriteStructs() { png_destroy_write_struct(&png, info != nullptr ? &info : nullptr); }
};

struct ReadStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~ReadStructs() { png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr); }
};

// The two functions below hold the setjmp. They own no object with a
// destructor: every buffer belongs to the caller, so a long jump out of
// libpng frees nothing it should have freed.

bool write_steps(png_structp png, png_infop info, const PngImage& image, png_bytep* rows,
                 const png_color* plte, const png_byte* trans, int trans_count) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    const bool palette = image.colour == PngColour::palette;
    const int colour_type = palette                          ? PNG_COLOR_TYPE_PALETTE
                            : image.colour == PngColour::rgb ? PNG_COLOR_TYPE_RGB
                                                             : PNG_COLOR_TYPE_RGB_ALPHA;
    png_set_IHDR(png, info, image.width, image.height,
                 palette ? static_cast<int>(image.palette_bits) : 8, colour_type,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (palette) {
        png_set_PLTE(png, info, plte, static_cast<int>(image.palette.size()));
        if (trans_count > 0) {
            png_set_tRNS(png, info, trans, trans_count, nullptr);
        }
    }
    // Chosen by measurement (docs/performance.md): palette rows compress
    // best unfiltered, and are small enough (a byte a pixel) for zlib's
    // slowest level; direct colour rows with the up filter at level 6, which
    // costs far less time than trying every filter on every row.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, palette ? PNG_FILTER_NONE : PNG_FILTER_UP);
    png_set_compression_level(png, palette ? 9 : 6);
    png_write_info(png, info);
    if (palette && image.palette_bits < 8) {
        png_set_packing(png);
    }
    png_write_image(png, rows);
    png_write_end(png, info);
    return true;
}

bool read_steps(png_structp png, png_infop info, std::uint32_t want_width,
                std::uint32_t want_height, PngImage* out, std::vector<png_bytep>* rows,
                IoState* state) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_user_limits(png, MAX_SIDE, MAX_SIDE);
    png_read_info(png, info);
    const std::uint32_t width = png_get_image_width(png, info);
    const std::uint32_t height = png_get_image_height(png, info);
    if (want_width != 0 && (width != want_width || height != want_height)) {
        std::snprintf(state->message, sizeof state->message,
                      "the PNG is %ux%u, but the picture is %ux%u", width, height, want_width,
                      want_height);
        state->wrong_size = true;
        return false;
    }
    const int colour_type = png_get_color_type(png, info);
    const int depth = png_get_bit_depth(png, info);
    out->width = width;
    out->height = height;
    if (colour_type == PNG_COLOR_TYPE_PALETTE) {
        out->colour = PngColour::palette;
        out->palette_bits = static_cast<unsigned>(depth);
        png_colorp plte = nullptr;
        int plte_count = 0;
        if (png_get_PLTE(png, info, &plte, &plte_count) != 0) {
            out->palette.resize(static_cast<std::size_t>(plte_count));
            for (int i = 0; i < plte_count; ++i) {
                out->palette[i] = {plte[i].red, plte[i].green, plte[i].blue, 255};
            }
        }
        png_bytep trans = nullptr;
        int trans_count = 0;
        if (png_get_tRNS(png, info, &trans, &trans_count, nullptr) != 0) {
            for (int i = 0; i < trans_count && i < plte_count; ++i) {
                out->palette[i].a = trans[i];
            }
        }
        if (depth < 8) {
            png_set_packing(png);
        }
    } else {
        out->colour = PngColour::rgba;
        if (depth == 16) {
            png_set_scale_16(png);
        }
        if (colour_type == PNG_COLOR_TYPE_GRAY && depth < 8) {
            png_set_expand_gray_1_2_4_to_8(png);
        }
        if (png_get_valid(png, info, PNG_INFO_tRNS) != 0) {
            png_set_tRNS_to_alpha(png);
        }
        if (colour_type == PNG_COLOR_TYPE_GRAY || colour_type == PNG_COLOR_TYPE_GRAY_ALPHA) {
            png_set_gray_to_rgb(png);
        }
        if ((colour_type & PNG_COLOR_MASK_ALPHA) == 0) {
            png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
        }
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const std::size_t row_bytes = std::size_t{width} * out->bytes_per_pixel();
    if (png_get_rowbytes(png, info) != row_bytes) {
        png_error(png, "unexpected row size after conversion");
    }
    out->pixels.resize(row_bytes * height);
    rows->resize(height);
    for (std::uint32_t y = 0; y < height; ++y) {
        (*rows)[y] = out->pixels.data() + y * row_bytes;
    }
    png_read_image(png, rows->data());
    png_read_end(png, nullptr);
    return true;
}

}  // namespace

std::uint64_t png_size_bound(std::uint32_t width, std::uint32_t height, unsigned bits_per_pixel) {
    const std::uint64_t rows =
        std::uint64_t{height} * (1 + (std::uint64_t{width} * bits_per_pixel + 7) / 8);
    // Stored deflate blocks take 5 bytes in 64 KiB and IDAT chunks 12 in
    // 8 KiB: under 1/256 together. The signature, IHDR, a PLTE and tRNS of
    // 256 entries and IEND take under 2 KiB.
    return rows + rows / 256 + 8192;
}

bool write_png(const PngImage& image, std::vector<std::uint8_t>* out, std::string* err) {
    out->clear();
    IoState state;
    state.out = out;
    WriteStructs s;
    s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, on_error, on_warning);
    if (s.png != nullptr) {
        s.info = png_create_info_struct(s.png);
    }
    if (s.png == nullptr || s.info == nullptr) {
        *err = "out of memory for the PNG encoder";
        return false;
    }
    if (image.pixels.size() != std::size_t{image.width} * image.height * image.bytes_per_pixel()) {
        *err = "the pixel buffer does not match the image size";
        return false;
    }
    png_set_write_fn(s.png, &state, write_callback, flush_callback);

    const std::size_t row_bytes = std::size_t{image.width} * image.bytes_per_pixel();
    std::vector<png_bytep> rows(image.height);
    for (std::uint32_t y = 0; y < image.height; ++y) {
        rows[y] = const_cast<png_bytep>(image.pixels.data() + y * row_bytes);
    }
    std::vector<png_color> plte;
    std::vector<png_byte> trans;
    int trans_count = 0;
    for (std::size_t i = 0; i < image.palette.size(); ++i) {
        const Rgba& c = image.palette[i];
        plte.push_back({c.r, c.g, c.b});
        trans.push_back(c.a);
        if (c.a != 255) {
            trans_count = static_cast<int>(i + 1);
        }
    }
    // Room for the largest result at once: the output never grows, so what
    // an export takes is known before it starts (untouched room costs no
    // memory where the system hands out pages as they are written).
    out->reserve(static_cast<std::size_t>(png_size_bound(
        image.width, image.height,
        image.colour == PngColour::palette ? image.palette_bits : 8 * image.bytes_per_pixel())));
    if (!write_steps(s.png, s.info, image, rows.data(), plte.data(), trans.data(), trans_count)) {
        *err = std::string("could not write the PNG (") + state.message + ")";
        out->clear();
        return false;
    }
    return true;
}

bool read_png(ByteSpan data, std::uint32_t want_width, std::uint32_t want_height, PngImage* out,
              std::string* err) {
    *out = PngImage{};
    if (data.size() < 8 || png_sig_cmp(data.data(), 0, 8) != 0) {
        *err = "not a PNG file (no PNG signature)";
        return false;
    }
    IoState state;
    state.data = data.data();
    state.size = data.size();
    ReadStructs s;
    s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, on_error, on_warning);
    if (s.png != nullptr) {
        s.info = png_create_info_struct(s.png);
    }
    if (s.png == nullptr || s.info == nullptr) {
        *err = "out of memory for the PNG decoder";
        return false;
    }
    png_set_read_fn(s.png, &state, read_callback);
    std::vector<png_bytep> rows;
    if (!read_steps(s.png, s.info, want_width, want_height, out, &rows, &state)) {
        *err = state.wrong_size ? std::string(state.message)
                                : std::string("damaged PNG (") + state.message + ")";
        *out = PngImage{};
        return false;
    }
    return true;
}

bool check_palette_indices(const PngImage& image, std::string* err) {
    if (image.colour != PngColour::palette) {
        return true;
    }
    const std::size_t count = std::size_t{image.width} * image.height;
    const std::uint8_t* p = image.pixels.data();
    for (std::size_t i = 0; i < count; ++i) {
        if (p[i] >= image.palette.size()) {
            *err = "pixel (" + std::to_string(i % image.width) + ", " +
                   std::to_string(i / image.width) + ") has index " + std::to_string(p[i]) +
                   ", but the PNG's palette has " + std::to_string(image.palette.size()) +
                   " colours";
            return false;
        }
    }
    return true;
}

bool png_to_rgba(const PngImage& image, std::vector<Rgba>* out, std::string* err) {
    const std::size_t count = std::size_t{image.width} * image.height;
    const std::uint8_t* p = image.pixels.data();
    if (!check_palette_indices(image, err)) {
        return false;
    }
    out->resize(count);
    switch (image.colour) {
        case PngColour::palette:
            for (std::size_t i = 0; i < count; ++i) {
                (*out)[i] = image.palette[p[i]];
            }
            break;
        case PngColour::rgb:
            for (std::size_t i = 0; i < count; ++i, p += 3) {
                (*out)[i] = {p[0], p[1], p[2], 255};
            }
            break;
        case PngColour::rgba:
            for (std::size_t i = 0; i < count; ++i, p += 4) {
                (*out)[i] = {p[0], p[1], p[2], p[3]};
            }
            break;
    }
    return true;
}

std::vector<std::string> png_library_versions() {
    return {std::string("libpng ") + png_get_libpng_ver(nullptr),
            std::string("zlib ") + zlibVersion()};
}
