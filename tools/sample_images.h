// TIM2 images of the sample game: real files of every image type, both
// storage modes, compound 4-bit palettes, several pictures and palettes,
// mipmaps and user data, with image-like content (gradients, runs of one
// colour, repeated rows, noise) that compresses the way textures do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/sample_rng.h"

/// What one picture of a sample image is.
struct SamplePictureShape {
    std::uint8_t image_type = 3;  ///< 1-5: 16, 24, 32-bit direct, 4, 8-bit indexed
    std::uint16_t width = 16;
    std::uint16_t height = 16;
    unsigned clut_format = 3;  ///< indexed pictures: 1, 2 or 3 (16, 24, 32-bit colours)
    bool csm2 = false;         ///< indexed: plain CLUT order instead of CSM1's
    bool compound = false;     ///< 4-bit in CSM1: the CLUT laid out (swizzled) as an 8-bit one
    std::uint16_t clut_colours = 0;  ///< indexed: every palette's colours together
    unsigned levels = 1;             ///< mipmap levels
    std::size_t user_data = 0;       ///< bytes of user data in the header
    /// 8-bit alpha (32-bit pixels or CLUT) uses values above 0x80, which
    /// tm2png then keeps unchanged; otherwise every alpha is 0-0x80.
    bool alpha_above = false;
};

/// A TIM2 file of `pictures` (format id 0: 16-byte alignment; 1: 128-byte).
std::vector<std::uint8_t> make_sample_tim2(Rng& rng, Rng& bytes,
                                           const std::vector<SamplePictureShape>& pictures,
                                           std::uint8_t format_id);

/// A small picture of a random kind, as pack members hold.
SamplePictureShape random_picture_shape(Rng& rng);
