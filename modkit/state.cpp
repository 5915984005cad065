#include "modkit/state.h"

#include <charconv>

#include "common/message.h"

namespace {

constexpr std::string_view FIRST_LINE = "modkit workspace state 1";

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool unescaped(std::string_view text, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        switch (text[i]) {
            case '\\':
                *out += '\\';
                break;
            case 't':
                *out += '\t';
                break;
            case 'n':
                *out += '\n';
                break;
            case 'r':
                *out += '\r';
                break;
            default:
                return false;
        }
    }
    return true;
}

std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
        if (tab == std::string_view::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

bool number_of(std::string_view text, std::uint64_t* out) {
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && end == text.data() + text.size();
}

std::string input_line(std::string_view key, const GameInput& input) {
    return std::string(key) + "\t" + escaped(input.name) + "\t" + std::to_string(input.size) +
           "\t" + input.digest.hex() + "\n";
}

char layout_of(std::string_view text) {
    return text == "a" ? 'A' : text == "b" ? 'B' : '\0';
}

}  // namespace

std::string format_state(const WorkspaceState& state) {
    std::string text(FIRST_LINE);
    text += "\n";
    text += std::string("source\t") +
            (state.source == GameSourceKind::folder ? "folder" : "image") + "\t" +
            escaped(state.source_path) + "\n";
    if (state.source == GameSourceKind::image) {
        text += input_line("disc", state.disc);
    }
    text += input_line("executable", state.executable);
    text += input_line("archive", state.archive);
    text += std::string("layouts\t") + static_cast<char>(state.rpk_layout - 'A' + 'a') + "\t" +
            static_cast<char>(state.fpack_layout - 'A' + 'a') + "\n";
    text += "archive-size\t" + std::to_string(state.archive_size) + "\n";
    text += "packs\t" + std::to_string(state.packs) + "\n";
    text += std::string("table\t") + (state.table ? "yes" : "no") + "\n";
    text += "texts\t" + std::to_string(state.texts.translated) + "\t" +
            std::to_string(state.texts.untranslated) + "\t" + std::to_string(state.texts.fuzzy) +
            "\n";
    for (const std::string& file : state.text_files) {
        text += "text\t" + escaped(file) + "\n";
    }
    for (const ImageRecord& image : state.images) {
        text += "image\t" + std::to_string(image.pictures) + "\t" + escaped(image.file) + "\n";
    }
    for (const auto& [path, digest] : state.files) {
        text += "file\t" + digest.hex() + "\t" + escaped(path) + "\n";
    }
    return text;
}

bool parse_state(std::string_view text, const std::string& path, WorkspaceState* out,
                 std::string* err) {
    *out = WorkspaceState{};
    std::size_t line_number = 0;
    auto bad = [&](const std::string& what) {
        *err = error_message(path, what, "line " + std::to_string(line_number));
        return false;
    };
    bool seen_source = false, seen_executable = false, seen_archive = false, seen_layouts = false,
         seen_size = false;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            ++line_number;
            return bad("the last line has no line end (the file was cut short)");
        }
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++line_number;
        if (line_number == 1) {
            if (line != FIRST_LINE) {
                return bad(
                    "not the state of a modkit workspace of this version (the first line "
                    "is not \"" +
                    std::string(FIRST_LINE) + "\")");
            }
            continue;
        }
        const std::vector<std::string_view> f = fields_of(line);
        const std::string_view key = f[0];
        std::uint64_t n = 0;
        if (key == "source" && f.size() == 3 && (f[1] == "folder" || f[1] == "image") &&
            unescaped(f[2], &out->source_path)) {
            out->source = f[1] == "folder" ? GameSourceKind::folder : GameSourceKind::image;
            seen_source = true;
        } else if ((key == "executable" || key == "archive" || key == "disc") && f.size() == 4) {
            GameInput& input = key == "executable" ? out->executable
                               : key == "archive"  ? out->archive
                                                   : out->disc;
            if (!unescaped(f[1], &input.name) || input.name.empty() ||
                !number_of(f[2], &input.size) || !parse_digest(f[3], &input.digest)) {
                return bad("a damaged " + std::string(key) + " record");
            }
            if (key != "disc") {
                (key == "executable" ? seen_executable : seen_archive) = true;
            }
        } else if (key == "layouts" && f.size() == 3 && layout_of(f[1]) && layout_of(f[2])) {
            out->rpk_layout = layout_of(f[1]);
            out->fpack_layout = layout_of(f[2]);
            seen_layouts = true;
        } else if (key == "archive-size" && f.size() == 2 && number_of(f[1], &n)) {
            out->archive_size = n;
            seen_size = true;
        } else if (key == "packs" && f.size() == 2 && number_of(f[1], &n)) {
            out->packs = n;
        } else if (key == "table" && f.size() == 2 && (f[1] == "yes" || f[1] == "no")) {
            out->table = f[1] == "yes";
        } else if (key == "texts" && f.size() == 4 && number_of(f[1], &out->texts.translated) &&
                   number_of(f[2], &out->texts.untranslated) &&
                   number_of(f[3], &out->texts.fuzzy)) {
        } else if (key == "text" && f.size() == 2) {
            std::string file;
            if (!unescaped(f[1], &file) || file.empty()) {
                return bad("a damaged text record");
            }
            out->text_files.push_back(std::move(file));
        } else if (key == "image" && f.size() == 3 && number_of(f[1], &n) && n > 0 &&
                   n <= 0xFFFFFFFF) {
            ImageRecord image{{}, static_cast<std::uint32_t>(n)};
            if (!unescaped(f[2], &image.file) || image.file.empty()) {
                return bad("a damaged image record");
            }
            out->images.push_back(std::move(image));
        } else if (key == "file" && f.size() == 3) {
            Digest digest;
            std::string file;
            if (!parse_digest(f[1], &digest) || !unescaped(f[2], &file) || file.empty()) {
                return bad("a damaged file record");
            }
            if (!out->files.emplace(std::move(file), digest).second) {
                return bad("a file recorded twice");
            }
        } else {
            return bad("a line this version of modkit does not know");
        }
    }
    if (line_number == 0) {
        ++line_number;
        return bad("the file is empty");
    }
    if (!seen_source || !seen_executable || !seen_archive || !seen_layouts || !seen_size ||
        (out->source == GameSourceKind::image && out->disc.name.empty())) {
        ++line_number;
        return bad("the file ends before the game's records are complete");
    }
    return true;
}
