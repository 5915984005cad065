// What tm2png says about itself: usage line, --help, --version and manual
// page (common/tool_page.h).
#include "common/tool_page.h"
#include "tm2png/png_io.h"

const ToolPage TOOL_PAGE = {
    .name = "tm2png",
    .summary = "turn TIM2 images into PNG files and edited PNG files back into images",
    .banner = "tm2png v1.0",
    .version = "1.0",
    .usage = {"<image.tm2[.lzr]> <out.png>",
              "<original.tm2[.lzr]> <edited.png> <output.tm2[.lzr]>"},
    .description =
        "Turns the pictures of a TIM2 image (.tm2, or LZR-compressed .tm2.lzr, recognised by its "
        "contents) into PNG files any image editor opens, and edited PNG files back into a copy "
        "of the image, palettes and all. It lists one line per picture on standard output: its "
        "number, size, image type, CLUT and alpha handling.",
    .modes =
        {
            {"Export, with two arguments",
             "Writes every picture to a PNG: indexed pictures as palette PNGs holding the first "
             "palette in the order pixel values index it, direct-colour ones as RGB or RGBA. The "
             "name must end in .png; an image of several pictures gives out.0.png, out.1.png "
             "and so on."},
            {"Import, with three arguments",
             "Writes output, a copy of the original in which only the pixels and palette colours "
             "that the PNGs changed differ; a picture of several whose PNG is missing stays as it "
             "was. The output is LZR-compressed when its name ends in .lzr, and may be the "
             "original itself. Importing an unedited export gives back the very same image."},
        },
    .details =
        "An indexed picture imports a palette PNG index for index (its colours become the first "
        "palette's); any other PNG is matched by colour, a colour the palette lacks taking the "
        "nearest entry, with a warning. When level 0 changed, further mipmap levels are made "
        "anew from it.\n\n"
        "The console takes alpha 0x80 as opaque: alpha a exports as min(255, 2a) and PNG alpha "
        "v imports as (v + 1) >> 1, unless the original uses alpha above 0x80 anywhere in the "
        "picture, which then keeps its alpha unchanged (the listing says \"alpha kept\").\n\n"
        "A PNG of another width or height than its picture, and anything in the TIM2 the tool "
        "does not understand, is refused with a message naming the picture and offset, before "
        "any file is written.",
    .files =
        {
            {"image.tm2[.lzr], original.tm2[.lzr]", "The TIM2 image, read whole."},
            {"out.png, edited.png",
             "The PNG files: written by an export, all together; read by an import, with "
             "out.<n>.png for picture n of an image of several."},
            {"output.tm2[.lzr]",
             "Written by an import to a temporary file beside it (.suite-<pid>-<n>.tmp) that "
             "replaces it once complete."},
        },
    .examples =
        {
            {"tm2png tex/title.tm2.lzr title.png",
             "Exports the pictures of tex/title.tm2.lzr to title.png."},
            {"tm2png tex/title.tm2.lzr title.png tex/title.tm2.lzr",
             "Writes the edited title.png back into tex/title.tm2.lzr, compressed again."},
        },
    .libraries = png_library_versions,
};
