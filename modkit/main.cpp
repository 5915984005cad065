// modkit: the whole game in editable form with one command, and back with
// one more.
//
//   modkit unpack <game> <workspace> [--table FILE]   a game folder or image into a workspace
//   modkit status <workspace>                         what was edited, and conflicts
//   modkit pack <workspace> <output>                  every edit back into a new game or image
//
// The work is in the modkit library (unpack.h, status.h, pack.h); this reads
// the command line, draws the progress line and prints the results.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/platform/host.h"
#include "common/tool.h"
#include "common/tool_page.h"
#include "modkit/pack.h"
#include "modkit/status.h"
#include "modkit/texts.h"
#include "modkit/unpack.h"
#include "sectors/sector_io.h"

namespace {

std::string seconds_since(std::chrono::steady_clock::time_point start) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return text;
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

void print_warnings(const std::vector<std::string>& warnings, bool quiet) {
    for (const std::string& warning : warnings) {
        if (!quiet) {
            warn(warning);
        }
    }
}

int unpack(const std::string& game, const std::string& workspace, const std::string& table,
           bool quiet) {
    const auto start = std::chrono::steady_clock::now();
    UnpackResult result;
    std::string err;
    bool ok;
    {
        Progress progress(!quiet && standard_error_is_terminal());
        ok = unpack_game(game, workspace, table, progress, &result, &err);
    }
    if (!ok) {
        return fail(err);
    }
    print_warnings(result.warnings, quiet);
    if (!quiet) {
        std::printf(
            "%s written (%s, %s), %s (%s), %s (of %s, 0 translated, %s untranslated); layouts "
            "of korvane-%c and tillet-%c; %s\n",
            plural(result.archive_files + result.members, "file", "files").c_str(),
            plural(result.archive_files, "archive file", "archive files").c_str(),
            plural(result.members, "pack member", "pack members").c_str(),
            plural(result.images, "image", "images").c_str(),
            plural(result.pictures, "PNG", "PNGs").c_str(),
            plural(result.texts, "text", "texts").c_str(),
            plural(result.text_files, ".evd file", ".evd files").c_str(),
            std::to_string(result.texts).c_str(), result.rpk_layout - 'A' + 'a',
            result.fpack_layout - 'A' + 'a', seconds_since(start).c_str());
    }
    return 0;
}

int status(const std::string& workspace) {
    OpenedWorkspace w;
    CurrentDigests now;
    std::string err;
    bool ok;
    {
        Progress progress(standard_error_is_terminal());
        ok = open_workspace(workspace, &w, &err) &&
             digest_workspace(w.workspace, w.state, extraction_workers(), progress, &now, &err);
    }
    if (!ok) {
        return fail(err);
    }
    Edits edits = find_edits(w.model, w.state, now);
    AppliedTexts applied;
    if (!find_text_edits(w, &edits, &applied, &err)) {
        return fail(err);
    }
    for (const std::string& warning : applied.warnings) {
        warn(warning);
    }
    const std::string report = status_report(edits);
    std::fputs(report.c_str(), stdout);
    return 0;
}

int pack(const std::string& workspace, const std::string& output, bool quiet) {
    const auto start = std::chrono::steady_clock::now();
    PackResult result;
    std::string err;
    bool ok;
    {
        Progress progress(!quiet && standard_error_is_terminal());
        ok = pack_workspace(workspace, output, progress, &result, &err);
    }
    if (!ok) {
        return fail(err);
    }
    print_warnings(result.warnings, quiet);
    if (quiet) {
        return 0;
    }
    for (const std::string& line : result.listing) {
        std::printf("%s\n", line.c_str());
    }
    std::string what;
    if (result.nothing_changed) {
        what = result.first_pack ? "nothing edited since unpack"
                                 : "nothing changed since the last pack";
    } else {
        what = plural(result.images_encoded, "image", "images") + " encoded, " +
               plural(result.texts_changed, "text", "texts") + " changed (in " +
               plural(result.text_files, ".evd file", ".evd files") + "), " +
               plural(result.packs_rebuilt, "pack", "packs") + " rebuilt (" +
               plural(result.members_changed, "member", "members") + " changed), " +
               plural(result.files_edited, "file", "files") + " edited directly";
        if (result.views_refreshed > 0) {
            what += ", " + plural(result.views_refreshed, "view", "views") + " written again";
        }
    }
    const std::string where =
        result.image.empty() ? result.archive + ", and " + result.executable : result.image;
    std::printf("%s; texts: %llu translated, %llu untranslated; %s packed into %s; %s\n",
                what.c_str(), static_cast<unsigned long long>(result.texts.translated),
                static_cast<unsigned long long>(result.texts.untranslated),
                plural(result.archive_files, "file", "files").c_str(), where.c_str(),
                seconds_since(start).c_str());
    return 0;
}

int modkit(int argc, char** argv) {
    std::vector<std::string> args;
    bool quiet = false, has_table = false;
    std::string table;
    const char* program = argc > 0 ? argv[0] : "modkit";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--table") {
            if (i + 1 == argc || has_table) {
                return print_usage(TOOL_PAGE, program);
            }
            has_table = true;
            table = argv[++i];
        } else {
            args.emplace_back(arg);
        }
    }
    if (args.size() == 3 && args[0] == "unpack") {
        return unpack(args[1], args[2], table, quiet);
    }
    if (has_table) {
        return print_usage(TOOL_PAGE, program);
    }
    if (args.size() == 2 && args[0] == "status" && !quiet) {
        return status(args[1]);
    }
    if (args.size() == 3 && args[0] == "pack") {
        return pack(args[1], args[2], quiet);
    }
    return print_usage(TOOL_PAGE, program);
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool(modkit, TOOL_PAGE, argc, argv);
}
