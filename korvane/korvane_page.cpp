// What korvane-a and korvane-b say about themselves: usage line, --help,
// --version and manual page (common/tool_page.h). Built into both programs;
// TOOL_NAME and TOOL_OTHER_NAME name this build and the other one.
#include "common/tool_page.h"

#if !defined(TOOL_NAME) || !defined(TOOL_OTHER_NAME)
#error "TOOL_NAME and TOOL_OTHER_NAME must name this build and the other (add_layout_tool)"
#endif

const ToolPage TOOL_PAGE = {
    .name = TOOL_NAME,
    .summary = "extract and rebuild RPK.BIN by the index in the game executable",
    .banner = "korvane v1.0",
    .version = "1.0",
    .usage = {"<SLUS_217.88 etc> <RPK.BIN> [output.elf output.bin]"},
    .description =
        "Takes the game's data archive RPK.BIN apart and puts it back together. RPK.BIN has no "
        "directory of its own: its index is compiled into the game executable (SLUS_217.88 or "
        "another revision's). " TOOL_NAME
        " reads the index where one revision of the game keeps "
        "it, " TOOL_OTHER_NAME
        " the other's; an executable of the other revision is refused with "
        "an error that names " TOOL_OTHER_NAME ", and nothing is written.",
    .modes =
        {
            {"Extract, with two arguments",
             "Lists the index on standard output, one line per entry (its number, start sector, "
             "length and stored name), and writes every file of RPK.BIN below the current folder "
             "under its stored name, creating folders as it goes. The whole index and every "
             "name are checked before the first file is written. The walk ends with the entry "
             "whose data ends exactly at the end of RPK.BIN, so the RPK.BIN given must be the one "
             "that goes with the executable."},
            {"Rebuild, with four arguments",
             "Packs the file found at each stored name (run it in the folder extracted into) in "
             "index order from sector 0 into output.bin, and writes output.elf, a copy of the "
             "executable whose index points at the new data. RPK.BIN is still needed, for its "
             "size, but not read. The outputs may be the inputs themselves: both are replaced "
             "together, and only when everything has been packed."},
        },
    .details =
        "Names are listed as stored; a backslash in a stored name is a folder separator where "
        "the name is used as a path. Two entries with the same name leave the later one's "
        "data.\n\n"
        "Nothing is written outside the current folder: a stored name that is empty or absolute, "
        "has a .. component or holds a zero byte is refused, and so is a name that another entry "
        "needs as a folder, or one that would overwrite the executable or the archive being "
        "read, before the first file is written. No output may be the same file as an input in "
        "another role, or as the other output.\n\n"
        "A rebuild refuses a file of 2 GiB or more and an archive that would outgrow the sectors "
        "the index can address. With four arguments of which the third is empty, " TOOL_NAME
        " extracts and never touches the fourth path.",
    .files =
        {
            {"SLUS_217.88 etc",
             "The game executable, read. A rebuild copies it to output.elf with only the start "
             "sector and length of each entry changed."},
            {"RPK.BIN",
             "The data archive: extraction reads it, a rebuild only takes its size, which tells "
             "where the index ends."},
            {"stored names below the current folder",
             "Extraction writes every entry's data there; a rebuild reads the files found there."},
            {"output.elf, output.bin",
             "Written by a rebuild to temporary files beside them (.suite-<pid>-<n>.tmp), which "
             "replace them together once complete."},
        },
    .examples =
        {
            {TOOL_NAME " SLUS_217.88 RPK.BIN",
             "Lists RPK.BIN and extracts every file below the current folder."},
            {TOOL_NAME " SLUS_217.88 RPK.BIN NEW.ELF NEW.BIN",
             "Packs the files found at the stored names into NEW.BIN and writes NEW.ELF, the "
             "executable that points at it."},
            {TOOL_NAME " SLUS_217.88 RPK.BIN SLUS_217.88 RPK.BIN",
             "The same, replacing the inputs themselves: both are replaced, or neither is."},
        },
};
