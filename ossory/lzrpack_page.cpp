// What lzrpack says about itself: usage line, --help, --version and manual
// page (common/tool_page.h).
#include "common/tool_page.h"

const ToolPage TOOL_PAGE = {
    .name = "lzrpack",
    .summary = "compress a file into the smallest .tm2.lzr the LZR format allows",
    .banner = "lzrpack v1.0",
    .version = "1.0",
    .usage = {"[original.lzr] <input> <output.lzr>"},
    .description =
        "Compresses any file, such as an edited .tm2 image, into a complete LZR file that "
        "ossory, and the game's decoder, decode back exactly. No valid LZR file of the same "
        "content is smaller.",
    .modes =
        {
            {"Replace, with three arguments",
             "Compresses input into output.lzr with the header's first word, whose meaning is "
             "unknown, copied from original.lzr, the file being replaced, so that the game finds "
             "there whatever it expects. Use this form for game files. output.lzr may be "
             "original.lzr itself, which is then replaced only once the new file is complete."},
            {"New file, with two arguments",
             "Compresses input into output.lzr with a first header word of 0."},
        },
    .details =
        "The original's header is checked first (a file shorter than the header, or whose "
        "streams do not fit in it, is refused); nothing else of it is read. Inputs of 4 GiB and "
        "more, too large for the header's sizes, are refused. lzrpack needs at most the input's "
        "size, the output's and 16 MiB of memory.",
    .files =
        {
            {"original.lzr", "The file being replaced: only its header is read."},
            {"input", "The file to compress, read whole; it may not be the output."},
            {"output.lzr",
             "Written to a temporary file beside it (.suite-<pid>-<n>.tmp) that replaces it once "
             "complete."},
        },
    .examples =
        {
            {"lzrpack tex/t000.tm2.lzr t000.tm2 tex/t000.tm2.lzr",
             "Compresses the edited t000.tm2 back in place of tex/t000.tm2.lzr."},
            {"lzrpack t000.tm2 t000.tm2.lzr",
             "Compresses t000.tm2 into a new file, with a first header word of 0."},
        },
};
