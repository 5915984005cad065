// The sample game as a disc image, the way a game disc holds it: the boot
// configuration, the executable and RPK.BIN at the top, then a folder of
// modules (so that an RPK.BIN that grows must move to the end of the
// image), and optionally a zero-filled padding file. Written by our own
// image builder (tools/iso_builder.h): ISO 9660 with the UDF 1.02 bridge.
#pragma once

#include <string>
#include <vector>

#include "tools/iso_builder.h"
#include "tools/sample_game.h"

/// The image's name in the game's folder.
inline constexpr const char* SAMPLE_IMAGE_NAME = "game.iso";

/// The boot configuration the image carries as SYSTEM.CNF.
inline constexpr const char* SAMPLE_SYSTEM_CNF =
    "BOOT2 = cdrom0:\\SLUS_217.88;1\r\nVER = 1.00\r\nVMODE = NTSC\r\n";

/// The files of the image, in the order their data lies; takes the
/// executable and the archive over. With `image_size`, a DUMMY.DAT of zeros
/// at the end makes the image about that large.
std::vector<IsoBuildFile> sample_image_files(SampleBytes executable, SampleBytes archive,
                                             std::uint64_t image_size = 0);

/// The options the image is written with.
IsoBuildOptions sample_image_options();

/// Writes the files as an image at `path` (its zeros as holes).
bool write_sample_image(const std::vector<IsoBuildFile>& files, const std::string& path,
                        std::string* err);
