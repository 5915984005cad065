// What ossory says about itself: usage line, --help, --version and manual
// page (common/tool_page.h).
#include "common/tool_page.h"

const ToolPage TOOL_PAGE = {
    .name = "ossory",
    .summary = "decode a .tm2.lzr image into the plain .tm2",
    .banner = "ossory v1.01",
    .version = "1.01",
    .usage = {"<input.tm2.lzr> <output.tm2>"},
    .description =
        "Decodes an LZR-compressed file, such as the game's .tm2.lzr images, into exactly the "
        "decoded size its header declares. lzrpack compresses it back. Arguments after the "
        "second are ignored.",
    .modes =
        {
            {"Decode, with two arguments",
             "Checks the header and the whole streams, then writes output.tm2. A file whose last "
             "operation runs past the declared size is decoded and cut there, with a warning. An "
             "output name ending in .lzr is refused, so that a shell pattern such as *.tm2.lzr "
             "cannot write an image over a compressed file."},
        },
    .details =
        "A file shorter than its header, streams that do not fit in the file, a decoded size "
        "larger than the streams could produce, a back-reference before the start of the output "
        "or of distance 0, or streams that end before the output is complete are errors naming "
        "the position; no output is written then.\n\n"
        "ossory holds the input and the decoded image at once: about the size of the .lzr file "
        "plus the decoded size (at most 4 GiB), plus a few MiB. The streams are checked before "
        "that memory is taken, so a damaged file is refused without taking it.",
    .files =
        {
            {"input.tm2.lzr", "The compressed file, read whole."},
            {"output.tm2",
             "The decoded image, written to a temporary file beside it (.suite-<pid>-<n>.tmp) "
             "that replaces it once complete."},
        },
    .examples =
        {
            {"ossory tex/t000.tm2.lzr t000.tm2", "Decodes tex/t000.tm2.lzr into t000.tm2."},
            {"ossory title.tm2.lzr title.tm2",
             "Decodes title.tm2.lzr beside itself, for a tool that reads TIM2."},
        },
};
