#include "modkit/game.h"

#include <cctype>

#include "common/message.h"
#include "common/platform/file_io.h"

bool is_executable_name(std::string_view name) {
    if (name.size() != 11) {
        return false;
    }
    for (std::size_t i = 0; i < 11; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool ok = i < 4    ? std::isalpha(c) != 0
                        : i == 4 ? c == '_'
                        : i == 8 ? c == '.'
                                 : std::isdigit(c) != 0;
        if (!ok) {
            return false;
        }
    }
    return true;
}

namespace {

bool is_archive_name(std::string_view name) {
    static constexpr std::string_view ARCHIVE = "RPK.BIN";
    if (name.size() != ARCHIVE.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != ARCHIVE[i]) {
            return false;
        }
    }
    return true;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

// The message of a walk without "Error: <path>: ", to quote inside another.
std::string reason_of(const std::string& message, const std::string& path) {
    const std::string prefix = "Error: " + path + ": ";
    return message.starts_with(prefix) ? message.substr(prefix.size()) : message;
}

}  // namespace

bool find_game_files(const std::string& folder, GameFolder* out, std::string* err) {
    std::vector<std::string> names;
    if (!list_folder(folder, &names, err)) {
        return false;
    }
    std::vector<std::string> executables, archives;
    for (const std::string& name : names) {
        if (!is_executable_name(name) && !is_archive_name(name)) {
            continue;
        }
        FileStatus status;
        if (!file_status(folder + "/" + name, &status, err)) {
            return false;
        }
        if (status.kind == FileKind::regular) {
            (is_archive_name(name) ? archives : executables).push_back(name);
        }
    }
    if (executables.size() != 1) {
        *err = error_message(folder,
                             executables.empty()
                                 ? "holds no game executable (a file named like SLUS_217.88)"
                                 : "holds more than one game executable (" + joined(executables) +
                                       "); keep only the one that goes with RPK.BIN");
        return false;
    }
    if (archives.size() != 1) {
        *err = error_message(
            folder, archives.empty() ? "holds no RPK.BIN"
                                     : "holds more than one RPK.BIN (" + joined(archives) + ")");
        return false;
    }
    *out = {folder, executables[0], archives[0]};
    return true;
}

bool find_image_game_files(const IsoImage& image, const std::string& path, std::size_t* executable,
                           std::size_t* archive, std::string* err) {
    std::vector<std::size_t> executables, archives;
    for (std::size_t i = 0; i < image.files.size(); ++i) {
        const std::string& name = image.files[i].path;
        if (name.find('/') != std::string::npos) {
            continue;
        }
        if (is_executable_name(name)) {
            executables.push_back(i);
        } else if (is_archive_name(name)) {
            archives.push_back(i);
        }
    }
    auto names = [&](const std::vector<std::size_t>& files) {
        std::vector<std::string> out;
        for (const std::size_t i : files) {
            out.push_back(image.files[i].path);
        }
        return joined(out);
    };
    if (executables.size() != 1) {
        *err = error_message(path, executables.empty()
                                       ? "holds no game executable (a file named like "
                                         "SLUS_217.88) in its root folder"
                                       : "holds more than one game executable (" +
                                             names(executables) + ") in its root folder");
        return false;
    }
    if (archives.size() != 1) {
        *err = error_message(path, archives.empty()
                                       ? "holds no RPK.BIN in its root folder"
                                       : "holds more than one RPK.BIN (" + names(archives) + ")");
        return false;
    }
    for (const std::size_t i : {executables[0], archives[0]}) {
        const IsoFile& file = image.files[i];
        if (!file.problem.empty()) {
            *err = error_message(path, file.path + ": " + file.problem);
            return false;
        }
        if (file.extents.size() > 1) {
            *err = error_message(path, file.path +
                                           " is stored in several pieces; modkit reads it only "
                                           "in one (take it out with isopatch -x, and unpack the "
                                           "folder)");
            return false;
        }
    }
    *executable = executables[0];
    *archive = archives[0];
    return true;
}

namespace {

// Which of `layouts` reads a table cleanly, by `read(layout, err)`; one
// exactly, or an error naming the builds of `tool`.
template <typename Layout, typename Read>
bool pick_layout(std::span<const Layout> layouts, const std::string& image_path, const char* table,
                 const char* tool, Read read, std::size_t* picked, std::string* err) {
    std::vector<std::size_t> clean;
    std::string reasons;
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        std::string e;
        if (read(layouts[i], &e)) {
            clean.push_back(i);
        } else {
            reasons += std::string(reasons.empty() ? "" : "; ") + tool + "-" +
                       static_cast<char>(std::tolower(layouts[i].label)) + ": " +
                       reason_of(e, image_path);
        }
    }
    if (clean.size() == 1) {
        *picked = clean[0];
        return true;
    }
    // "korvane-a and korvane-b", or with "nor" after "neither".
    auto builds_joined = [&](const char* last) {
        std::string builds;
        for (std::size_t i = 0; i < layouts.size(); ++i) {
            builds += std::string(i == 0                    ? ""
                                  : i + 1 == layouts.size() ? last
                                                            : ", ") +
                      tool + "-" + static_cast<char>(std::tolower(layouts[i].label));
        }
        return builds;
    };
    if (clean.empty()) {
        const std::string builds = builds_joined(" nor ");
        *err = error_message(image_path, std::string("the ") + table +
                                             " reads cleanly with the layout of neither " + builds +
                                             " (" + reasons + "); is this the game's executable?");
    } else {
        const std::string builds = builds_joined(" and ");
        *err = error_message(
            image_path, std::string("the ") + table + " reads cleanly with the layouts of both " +
                            builds +
                            ", so which revision this is cannot be told; run the tools "
                            "themselves with the build that fits");
    }
    return false;
}

}  // namespace

bool detect_tables(ByteSpan image, std::uint64_t archive_size, const std::string& image_path,
                   std::span<const RpkLayout> rpk_layouts,
                   std::span<const FpackLayout> fpack_layouts, GameTables* out, std::string* err) {
    std::size_t rpk = 0, fpack = 0;
    if (!pick_layout(
            rpk_layouts, image_path, "RPK index", "korvane",
            [&](const RpkLayout& layout, std::string* e) {
                return scan_rpk_index(image, layout, archive_size, image_path, &out->entries, e);
            },
            &rpk, err) ||
        !pick_layout(
            fpack_layouts, image_path, "pack directory", "tillet",
            [&](const FpackLayout& layout, std::string* e) {
                return read_fpack_directory(image, layout, image_path, &out->directory, e);
            },
            &fpack, err)) {
        return false;
    }
    out->rpk = rpk_layouts[rpk];
    out->fpack = fpack_layouts[fpack];
    // The walks above ran last with another layout where that one failed.
    return scan_rpk_index(image, out->rpk, archive_size, image_path, &out->entries, err) &&
           read_fpack_directory(image, out->fpack, image_path, &out->directory, err);
}

bool read_tables(ByteSpan image, std::uint64_t archive_size, const std::string& image_path,
                 char rpk, char fpack, GameTables* out, std::string* err) {
    out->rpk = rpk == 'B' ? RPK_LAYOUT_B : RPK_LAYOUT_A;
    out->fpack = fpack == 'B' ? FPACK_LAYOUT_B : FPACK_LAYOUT_A;
    return scan_rpk_index(image, out->rpk, archive_size, image_path, &out->entries, err) &&
           read_fpack_directory(image, out->fpack, image_path, &out->directory, err);
}
