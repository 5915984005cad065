// What isopatch says about itself: usage line, --help, --version and manual
// page (common/tool_page.h).
#include "common/tool_page.h"

const ToolPage TOOL_PAGE = {
    .name = "isopatch",
    .summary = "list, extract and replace the files of a disc image in place",
    .banner = "isopatch v1.0",
    .version = "1.0",
    .usage = {"<game.iso> [-x <folder> [PATH...] | <output.iso> <PATH=FILE>...]"},
    .description =
        "Works on a DVD image (.iso) holding ISO 9660 (levels 1 and 2), a Joliet tree if "
        "present and the UDF 1.02 bridge of console DVD images. Paths are the ISO 9660 names "
        "joined by /, given with or without ;1 and a leading /, in any case.",
    .modes =
        {
            {"List, with one argument",
             "Prints every file of the image: its number, start sector, length and path."},
            {"Extract, with -x <folder> [PATH...]",
             "Writes every file, or the named ones, below the folder, checking every name and "
             "target before the first file is written."},
            {"Patch, with <output.iso> <PATH=FILE>...",
             "Writes a copy of the image in which each named file holds the content of FILE, and "
             "prints one line per file: its old and new sector and length, and \"in place\" or "
             "\"moved to the end\"."},
        },
    .details =
        "A new content that fits in the sectors from the file's start up to the next sector "
        "anything else lies in is written there, the rest of those sectors zero-filled. A "
        "larger one goes after the end of the image, which grows; no other file moves. Every "
        "record of a replaced file is rewritten: the ISO 9660 directory records (both byte "
        "orders) in the primary and Joliet trees, and the UDF file entry with its tag's CRC "
        "and checksum; when the image grows, the volume sizes, both partition descriptors, "
        "the integrity descriptor's size table and a new anchor on the last sector.\n\n"
        "Every structure is checked before it is used: a truncated image, a directory that "
        "loops or points past the end, a descriptor whose tag, checksum or CRC is wrong, or "
        "numbers whose two byte orders disagree are errors naming the place. A path the image "
        "does not hold, a file named twice, a new content of 4 GiB or more, or a file whose "
        "records cannot all be rewritten is refused before anything is written.",
    .files =
        {
            {"game.iso", "The disc image, read and never written."},
            {"folder", "The extracted files, below it."},
            {"output.iso",
             "The patched copy, written to a temporary file beside it (.suite-<pid>-<n>.tmp) "
             "that replaces it once complete; it may not be the image nor one of the new "
             "files. Holes of a sparse image stay holes."},
        },
    .examples =
        {
            {"isopatch game.iso", "Lists the files of game.iso."},
            {"isopatch game.iso -x game SLUS_217.88 RPK.BIN",
             "Extracts the executable and the archive into game."},
            {"isopatch game.iso new.iso SLUS_217.88=game/NEW.ELF RPK.BIN=game/NEW.BIN",
             "Writes new.iso with both files replaced."},
        },
};
