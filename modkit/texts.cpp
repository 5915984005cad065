#include "modkit/texts.h"

#include "brenmark/evd_format.h"
#include "brenmark/po_texts.h"
#include "brenmark/text_files.h"
#include "common/byte_buffer.h"
#include "common/message.h"
#include "common/names.h"
#include "common/platform/file_io.h"

bool is_evd_path(std::string_view path) {
    return has_extension(path, ".evd");
}

std::string text_entry_name(const std::string& file) {
    return file.starts_with(FILES_FOLDER) ? file.substr(FILES_FOLDER.size()) : file;
}

std::string text_original_path(const std::string& file) {
    return ".modkit/texts/" + text_entry_name(file);
}

bool dump_workspace_texts(const Workspace& ws, const std::vector<std::string>& files,
                          const std::vector<std::vector<std::uint8_t>>& bytes,
                          const TextTable* table, std::string* po, std::vector<std::size_t>* kept,
                          std::uint64_t* texts, std::vector<std::string>* warnings,
                          std::string* err) {
    kept->clear();
    *texts = 0;
    PoWriter writer(ws.at(TEXTS_SCRATCH), ws.at(TEXTS_PO));
    std::vector<TextEntry> entries;
    for (std::size_t i = 0; i < files.size(); ++i) {
        entries.clear();
        std::string e;
        const EvdSource evd{text_entry_name(files[i]), {bytes[i].data(), bytes[i].size()}};
        if (!dump_evd_texts(evd, table, &entries, &e)) {
            const std::string prefix = "Error: " + evd.name + ": ";
            warnings->push_back(warning_message(
                ws.at(files[i]), "its texts are not in " + TEXTS_PO + ", edit it as a file (" +
                                     (e.starts_with(prefix) ? e.substr(prefix.size()) : e) + ")"));
            continue;
        }
        kept->push_back(i);
        for (const TextEntry& entry : entries) {
            if (!writer.add(entry, err)) {
                return false;
            }
        }
        *texts += entries.size();
    }
    return writer.finish(po, err);
}

bool load_workspace_table(const Workspace& ws, const WorkspaceState& state,
                          std::unique_ptr<TextTable>* out, std::string* err) {
    out->reset();
    if (!state.table) {
        return true;
    }
    std::vector<std::string> warnings;  // given once, by unpack
    return load_table(ws.at(TABLE_COPY), out, &warnings, err);
}

namespace {

// How many records of `a` and `b` hold other texts (a record only one of them
// has counts too).
std::size_t texts_that_differ(const EvdFile& a, const EvdFile& b) {
    const std::size_t common = std::min(a.records.size(), b.records.size());
    std::size_t n = std::max(a.records.size(), b.records.size()) - common;
    for (std::size_t i = 0; i < common; ++i) {
        n += a.records[i].text != b.records[i].text ? 1 : 0;
    }
    return n;
}

}  // namespace

bool apply_workspace_texts(const Workspace& ws, const WorkspaceState& state, AppliedTexts* out,
                           std::string* err) {
    out->translations = Translations(ws.at(TEXTS_PO));
    if (!load_workspace_table(ws, state, &out->table, err) ||
        !read_po_texts(ws.at(TEXTS_PO), ws.at(TEXTS_SCRATCH), &out->translations, &out->warnings,
                       err)) {
        return false;
    }
    const std::size_t n = state.text_files.size();
    out->bytes.assign(n, {});
    out->digests.assign(n, Digest{});
    out->changed_texts.assign(n, 0);
    out->texts = 0;
    out->counts = InsertCounts{};
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& file = state.text_files[i];
        ByteBuffer original, current;
        if (!read_whole_file(ws.at(text_original_path(file)), &original, err)) {
            return false;
        }
        const EvdSource evd{text_entry_name(file), {original.data(), original.size()}};
        bool changed = false;
        if (!out->translations.apply(evd, out->table.get(), &out->bytes[i], &changed, &out->counts,
                                     err)) {
            return false;
        }
        if (!changed) {
            out->bytes[i].assign(original.begin(), original.end());
        }
        out->digests[i] = digest_of({out->bytes[i].data(), out->bytes[i].size()});
        // The texts that differ from the file as it is now (a file that is
        // gone, or no longer an .evd, counts every text).
        EvdFile made, now;
        if (!parse_evd({out->bytes[i].data(), out->bytes[i].size()}, ws.at(file), &made, err)) {
            return false;
        }
        out->texts += made.records.size();
        std::string e;
        FileStatus status;
        if (file_status(ws.at(file), &status, &e) && status.kind == FileKind::regular &&
            read_whole_file(ws.at(file), &current, &e) &&
            parse_evd({current.data(), current.size()}, ws.at(file), &now, &e)) {
            out->changed_texts[i] = texts_that_differ(made, now);
        } else {
            out->changed_texts[i] = made.records.size();
        }
    }
    return out->translations.check_all_used(err);
}
