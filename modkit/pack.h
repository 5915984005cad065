// modkit pack: every edit of a workspace back into a new game.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "modkit/progress.h"
#include "modkit/state.h"

struct PackResult {
    /// Nothing was edited since the last pack (or, before the first, since
    /// unpack): the output is the same as that pack's.
    bool nothing_changed = false;
    bool first_pack = false;           ///< no pack succeeded before this one
    std::uint64_t images_encoded = 0;  ///< images written anew from edited PNGs
    std::uint64_t packs_rebuilt = 0;
    std::uint64_t members_changed = 0;  ///< edited directly or through an image
    std::uint64_t files_edited = 0;     ///< archive files edited directly (packs included)
    std::uint64_t views_refreshed = 0;  ///< PNGs and members written again from edited files
    std::uint64_t archive_files = 0;    ///< entries packed into the new archive
    std::uint64_t texts_changed = 0;    ///< texts the PO changed since the last pack
    std::uint64_t text_files = 0;       ///< .evd files they are in
    /// .evd files edited directly whose entries in texts/texts.po were made
    /// again from them (their translations there start anew).
    std::uint64_t texts_redumped = 0;
    TextCounts texts;        ///< of the whole PO, as the game now holds it
    std::string executable;  ///< the outputs: the executable and archive,
    std::string archive;
    std::string image;  ///< or the disc image they went into
    /// One line for each thing put back, for the listing.
    std::vector<std::string> listing;
    std::vector<std::string> warnings;
};

/// Puts every edit of the workspace back and writes the new executable and
/// archive into the folder `output` (made if missing), under the game's
/// names, or, when the game came from a disc image and `output` ends in
/// .iso, a copy of that image with the two files replaced (isopatch's
/// library; the original image is only read). Changed texts of
/// texts/texts.po go into their .evd files (fuzzy entries stay out). Only what changed is encoded
/// again: edited PNGs into their images (LZR with the optimal encoder where the image was
/// compressed), changed members into their packs (only those packs), then every file into the
/// archive, on every core. The workspace's files below files/ are brought in
/// line with what went into the game, and its state records the pack, all
/// together with the outputs: a failure anywhere leaves no output and the
/// workspace as it was.
bool pack_workspace(const std::string& workspace, const std::string& output, Progress& progress,
                    PackResult* out, std::string* err);
