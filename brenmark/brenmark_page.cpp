// What brenmark says about itself: usage line, --help, --version and manual
// page (common/tool_page.h).
#include "brenmark/po_texts.h"
#include "common/tool_page.h"

const ToolPage TOOL_PAGE = {
    .name = "brenmark",
    .summary = "dump and insert the texts of .evd files, for scripts, PO and CSV",
    .banner = "brenmark v1.0",
    .version = "1.0",
    .usage = {"<input.evd> <script.txt> [output.evd]"},
    .description =
        "Edits the texts of the game's .evd files: through a plain-text script of one "
        "file, or, for translation, through one PO file (for Poedit, Weblate and gettext's "
        "programs) or CSV file (for spreadsheets) holding the texts of one .evd or of every "
        "file below a folder. The input may be a folder and the script a .po or .csv file: "
        "brenmark [--table T] <input.evd|folder> <script.txt|texts.po|texts.csv> "
        "[output.evd|output folder]. Arguments after the third are ignored.",
    .modes =
        {
            {"Dump, with two arguments (or an empty third)",
             "Writes every text of input.evd (or of every .evd below the folder, sorted by "
             "path) to the script, PO or CSV file. A file whose contents differ from the new "
             "dump is kept as its name with ~ first, and a file holding zero bytes (an .evd "
             "that a shell pattern named as the script) is never replaced."},
            {"Insert, with three arguments",
             "Writes output.evd, a copy of input.evd holding the edited texts; from a PO or CSV "
             "file into a folder, only the .evd files in which a text changed, all together or "
             "none, and one summary line. Records whose text is unchanged keep every byte, so an "
             "unedited dump gives back the same file. output.evd may be input.evd itself, never "
             "the script; the script may come from a pipe."},
        },
    .details =
        "In a script, a line holds the text id in decimal, one blank and the text, with the "
        "escapes \\\\, \\n, \\r, \\t and \\xHH for a backslash, control bytes and "
        "bytes a table does not name; any other backslash sequence is an error naming the line "
        "and column. Lines may end in LF or CRLF.\n\n"
        "A table file gives the game's own encoding: HEX=text entries, *HEX for a line break, "
        "# comments. A dump writes the longest entry at each position; an insert encodes each "
        "edited text in the fewest bytes the table allows, and a character no entry encodes is "
        "an error naming the line, column and character.\n\n"
        "In a PO file, msgctxt names the file and record, the extracted comment the text id, "
        "msgid the original and msgstr the translation; an empty msgstr keeps the original, "
        "fuzzy entries are skipped with a warning. A CSV file has the columns "
        "file,record,id,original,translation. An entry whose original or id does not match its "
        "record stops the run; nothing is written.\n\n"
        "A script that ends too early, a line that does not start with a number, an id that "
        "does not match (\"Error: mismatched text id (expected 7, got 8)\"), or an .evd whose "
        "counts or lengths run past its end stops the run with a message naming the line or "
        "record; the outputs appear only when everything has been checked.",
    .options =
        {
            {"--table FILE",
             "Decodes and encodes texts through the table file FILE (UTF-8, one entry per "
             "line)."},
        },
    .files =
        {
            {"input.evd, folder", "The .evd file, or every .evd below the folder, read."},
            {"script.txt, texts.po, texts.csv",
             "Written by a dump (UTF-8; a script with the system's line ends); read by an insert, "
             "to its end."},
            {"script.txt~", "The file a dump replaced, when its contents differed."},
            {"output.evd, output folder",
             "Written by an insert to temporary files beside their targets "
             "(.suite-<pid>-<n>.tmp) that replace them once every one is complete."},
        },
    .examples =
        {
            {"brenmark evd/e000.evd e000.txt", "Dumps the texts of evd/e000.evd to e000.txt."},
            {"brenmark evd/e000.evd e000.txt evd/e000.evd",
             "Writes the edited texts of e000.txt back into evd/e000.evd."},
            {"brenmark --table texts.tbl evd fr.po evd",
             "Writes the translations of fr.po into the .evd files below evd."},
        },
    .libraries = po_library_versions,
};
