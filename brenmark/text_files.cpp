#include "brenmark/text_files.h"

#include <algorithm>
#include <cctype>

#include "brenmark/csv_texts.h"
#include "brenmark/po_texts.h"
#include "common/message.h"
#include "common/platform/file_io.h"
#include "common/platform/folders.h"

namespace {

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           std::equal(suffix.begin(), suffix.end(),
                      text.end() - static_cast<std::ptrdiff_t>(suffix.size()), [](char a, char b) {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                      });
}

std::string folder_of(const std::string& path) {
    std::string folder, name;
    split_path(path, &folder, &name);
    return folder;
}

}  // namespace

ScriptKind script_kind(std::string_view path) {
    if (ends_with_ignoring_case(path, ".po") || ends_with_ignoring_case(path, ".pot")) {
        return ScriptKind::po;
    }
    if (ends_with_ignoring_case(path, ".csv")) {
        return ScriptKind::csv;
    }
    return ScriptKind::plain;
}

bool load_table(const std::string& path, std::unique_ptr<TextTable>* table,
                std::vector<std::string>* warnings, std::string* err) {
    ByteBuffer bytes;
    if (!read_whole_file(path, &bytes, err)) {
        return false;
    }
    auto parsed = std::make_unique<TextTable>();
    if (!TextTable::parse({reinterpret_cast<const char*>(bytes.data()), bytes.size()}, path,
                          parsed.get(), warnings, err)) {
        return false;
    }
    *table = std::move(parsed);
    return true;
}

bool find_evd_files(const std::string& folder, std::vector<std::string>* names,
                    std::vector<std::string>* warnings, std::string* err) {
    names->clear();
    std::vector<FolderEntry> entries;
    if (!list_folder_tree(folder, &entries, err)) {
        return false;
    }
    for (const FolderEntry& entry : entries) {
        if (!ends_with_ignoring_case(entry.path, ".evd")) {
            continue;
        }
        if (entry.kind == FileKind::link) {
            warnings->push_back(
                warning_message(folder + "/" + entry.path, "a symbolic link; it was left out"));
        } else if (entry.kind == FileKind::regular) {
            names->push_back(entry.path);
        }
    }
    if (names->empty()) {
        *err = error_message(folder, "the folder holds no .evd file");
        return false;
    }
    return true;
}

bool dump_translation_file(const std::vector<EvdPath>& files, const TextTable* table,
                           ScriptKind kind, const std::string& script_path, std::string* text,
                           std::string* err) {
    text->clear();
    PoWriter po(folder_of(script_path), script_path);
    if (kind == ScriptKind::csv) {
        append_csv_header(text);
    }
    std::vector<TextEntry> entries;
    for (const EvdPath& file : files) {
        ByteBuffer bytes;
        if (!read_whole_file(file.path, &bytes, err)) {
            return false;
        }
        entries.clear();
        if (!dump_evd_texts({file.name, bytes}, table, &entries, err)) {
            return false;
        }
        for (const TextEntry& entry : entries) {
            if (kind == ScriptKind::csv) {
                append_csv_entry(entry, text);
            } else if (!po.add(entry, err)) {
                return false;
            }
        }
    }
    return kind == ScriptKind::csv || po.finish(text, err);
}

bool read_translation_file(const std::string& path, ScriptKind kind,
                           const std::string& scratch_folder, Translations* out,
                           std::vector<std::string>* warnings, std::string* err) {
    if (kind == ScriptKind::po) {
        return read_po_texts(path, scratch_folder, out, warnings, err);
    }
    std::string csv;
    return read_stream(path, &csv, err) && read_csv_texts(csv, out, err);
}

std::string fuzzy_warning(const Translations& translations, const InsertCounts& counts) {
    if (counts.fuzzy == 0 || translations.first_fuzzy() == nullptr) {
        return {};
    }
    return warning_message(translations.source(),
                           std::to_string(counts.fuzzy) +
                               " fuzzy entries were not put back; review them and remove their "
                               "fuzzy flag",
                           "the first: " + entry_place(*translations.first_fuzzy()));
}
