// What tillet-a and tillet-b say about themselves: usage line, --help,
// --version and manual page (common/tool_page.h). Built into both programs;
// TOOL_NAME and TOOL_OTHER_NAME name this build and the other one.
#include "common/tool_page.h"

#if !defined(TOOL_NAME) || !defined(TOOL_OTHER_NAME)
#error "TOOL_NAME and TOOL_OTHER_NAME must name this build and the other (add_layout_tool)"
#endif

const ToolPage TOOL_PAGE = {
    .name = TOOL_NAME,
    .summary = "extract and rebuild the fpack packs by the game executable's table",
    // tillet shares the banner of the RPK tool.
    .banner = "korvane v1.0",
    .version = "1.0",
    .usage = {"<SLUS_217.88 etc> [output.elf]"},
    .usage_note = "This expects to find fpack/*.fp which come from RPK.BIN.",
    .description =
        "Takes the game's fpack packs (fpack/*.fp, which korvane-a or korvane-b extracts from "
        "RPK.BIN) apart and puts edited members back. The packs' member tables are compiled into "
        "the game executable: " TOOL_NAME
        " reads them where one revision of the game keeps "
        "them, " TOOL_OTHER_NAME
        " the other's (the letters are per tool: a revision may need "
        "korvane-a and tillet-b). Run it in the folder where korvane extracted RPK.BIN.",
    .modes =
        {
            {"Extract, with one argument",
             "Walks the 905 entries of the pack table, lists each pack (its member count and "
             "name) and each member (its sector in the pack, length and name) on standard output, "
             "and writes every member to fpack_extract/ followed by its stored name. The whole "
             "table, every pack file and every member's range are checked before the first file "
             "is written."},
            {"Rebuild, with two arguments",
             "Compares every member file below fpack_extract/ with its bytes in its pack. Every "
             "pack in which a member changed is written anew under its stored name, its members "
             "in table order from sector 0, and output.elf is a copy of the executable with those "
             "packs' member tables patched; the other packs are left alone. The new packs and "
             "output.elf replace their targets together or not at all. output.elf may be the "
             "executable itself."},
        },
    .details =
        "A rebuild lists the same pack and member lines as extraction, and after each pack's "
        "members whether it was kept or rebuilt. Before anything is written it checks the whole "
        "table, every pack, every member file (present, a regular file, less than 4 GiB), that "
        "no rebuilt pack outgrows the sectors its table can address, and that patching a member "
        "table changes nothing else the walk reads. When nothing changed and output.elf is the "
        "executable itself, nothing at all is written.\n\n"
        "The rebuilt packs belong to output.elf: the next rebuild starts from it (" TOOL_NAME
        " NEW.ELF NEW.ELF), and korvane then packs the packs into a new RPK.BIN. Stored names "
        "that would escape fpack_extract/ are refused, as korvane refuses them.",
    .files =
        {
            {"SLUS_217.88 etc",
             "The game executable, read. A rebuild copies it to output.elf with the member tables "
             "of the rebuilt packs patched."},
            {"fpack/*.fp",
             "The packs, at their stored names below the current folder: read, and replaced by a "
             "rebuild where a member changed."},
            {"fpack_extract/",
             "Extraction writes every member below it under its stored name; a rebuild reads the "
             "members from there."},
            {"output.elf",
             "Written by a rebuild, like the new packs, to a temporary file beside it "
             "(.suite-<pid>-<n>.tmp) that replaces it once everything is complete."},
        },
    .examples =
        {
            {TOOL_NAME " SLUS_217.88", "Extracts every pack member below fpack_extract/."},
            {TOOL_NAME " SLUS_217.88 NEW.ELF",
             "Puts the edited members back into their packs and writes NEW.ELF, the executable "
             "that describes the new packs."},
            {TOOL_NAME " NEW.ELF NEW.ELF", "Puts further edits back, replacing NEW.ELF itself."},
        },
};
