// What modkit says about itself: usage lines, --help, --version and manual
// page (common/tool_page.h).
#include "brenmark/po_texts.h"
#include "common/tool_page.h"
#include "tm2png/png_io.h"

namespace {

std::vector<std::string> modkit_library_versions() {
    std::vector<std::string> versions = png_library_versions();
    for (std::string& version : po_library_versions()) {
        versions.push_back(std::move(version));
    }
    return versions;
}

}  // namespace

const ToolPage TOOL_PAGE = {
    .name = "modkit",
    .summary = "unpack the whole game into editable files and pack the edits back",
    .banner = "modkit v1.0",
    .version = "1.0",
    .usage = {"unpack <game folder or .iso> <workspace> [--table FILE] [--quiet]",
              "status <workspace>", "pack <workspace> <output folder or .iso> [--quiet]"},
    .usage_per_line = true,
    .description =
        "Turns a game (a folder holding the executable and RPK.BIN, or the disc image) into a "
        "workspace of ordinary files: every archive file and pack member, every TIM2 picture "
        "as a PNG and every text in one PO file. Any of them may be edited; pack puts every "
        "edit back and writes a new game. The game's own files and the image are never "
        "written.",
    .modes =
        {
            {"unpack <game> <workspace>",
             "Detects the layouts of both tables and writes the workspace: files/ (the archive "
             "files and files/fpack_extract/ the pack members), images/ (PNGs), texts/texts.po "
             "and the state in .modkit/. The workspace must not exist or be empty."},
            {"status <workspace>",
             "Lists what was edited since unpack or the last pack, found by content: files, "
             "members, packs, images, texts per .evd file, and conflicts."},
            {"pack <workspace> <output>",
             "Encodes again only what changed (images, texts, packs), then writes the new "
             "executable and RPK.BIN into the output folder, or a copy of the original image "
             "with both replaced when the output ends in .iso. All or nothing."},
        },
    .details =
        "A conflict is an edit of the same bytes in two places: a PNG and its image file, a "
        "pack member and its pack file, or a text in texts.po and its .evd file. status shows "
        "each, and pack refuses while one remains, naming both files.\n\n"
        "Unpack and pack work on every core; on a terminal they draw a progress line on "
        "standard error, which is left out when standard error is a file or pipe. At the end "
        "one summary line says what was written, the texts translated and untranslated and the "
        "time taken. A second pack with no new edits writes the same output.",
    .options =
        {
            {"--table FILE",
             "With unpack: reads the texts through the table file FILE (as brenmark --table "
             "does) and keeps it in the workspace for pack."},
            {"--quiet", "Prints nothing but errors."},
        },
    .files =
        {
            {"game folder", "SLUS_217.88 (or another name of that form) and RPK.BIN, read."},
            {"game.iso", "The disc image, read through isopatch's library."},
            {"workspace",
             "files/, images/, texts/texts.po and .modkit/ (the state: where the game came from, "
             "the layouts, and a digest of every file unpack or pack wrote)."},
            {"output",
             "A folder given the new executable and RPK.BIN under the game's names, or an image "
             "written beside its target and renamed into place once complete."},
        },
    .examples =
        {
            {"modkit unpack game.iso work --table texts.tbl",
             "Unpacks the game's image into the workspace work."},
            {"modkit status work", "Lists the edits made in work."},
            {"modkit pack work translated.iso", "Writes the edited game as translated.iso."},
        },
    .libraries = modkit_library_versions,
};
