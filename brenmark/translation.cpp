#include "brenmark/translation.h"

#include "brenmark/evd_format.h"
#include "common/message.h"

std::string record_context(std::string_view file, std::size_t record) {
    std::string context(file);
    context += '#';
    context += std::to_string(record);
    return context;
}

bool parse_record_context(std::string_view context, std::string* file, std::size_t* record) {
    const std::size_t hash = context.rfind('#');
    if (hash == std::string_view::npos || hash == 0 || hash + 1 == context.size() ||
        context.size() - hash - 1 > 9) {
        return false;
    }
    std::size_t value = 0;
    for (char c : context.substr(hash + 1)) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    file->assign(context.substr(0, hash));
    *record = value;
    return true;
}

std::string entry_place(const TextEntry& entry) {
    std::string place;
    if (entry.line != 0) {
        place = "line " + std::to_string(entry.line) + ", ";
    }
    return place + "entry " + quoted(record_context(entry.file, entry.record));
}

bool dump_evd_texts(const EvdSource& evd, const TextTable* table, std::vector<TextEntry>* out,
                    std::string* err) {
    EvdFile file;
    if (!parse_evd(evd.bytes, evd.name, &file, err)) {
        return false;
    }
    out->reserve(out->size() + file.records.size());
    for (std::size_t i = 0; i < file.records.size(); ++i) {
        TextEntry entry;
        entry.file = evd.name;
        entry.record = i;
        entry.text_id = file.records[i].header.text_id;
        show_text(file.records[i].text, table, TextForm::translation, &entry.original);
        out->push_back(std::move(entry));
    }
    return true;
}

bool dump_texts(std::span<const EvdSource> files, const TextTable* table,
                std::vector<TextEntry>* out, std::string* err) {
    for (const EvdSource& evd : files) {
        if (!dump_evd_texts(evd, table, out, err)) {
            return false;
        }
    }
    return true;
}

std::string insert_summary(const InsertCounts& counts) {
    return std::to_string(counts.changed) + " texts changed, " +
           std::to_string(counts.files_written) + " files written, " +
           std::to_string(counts.untranslated) + " texts left untranslated, " +
           std::to_string(counts.fuzzy) + " fuzzy entries skipped";
}

void Translations::add(TextEntry entry) {
    by_file_[entry.file].push_back(entries_.size());
    entries_.push_back(std::move(entry));
}

bool Translations::apply(const EvdSource& evd, const TextTable* table,
                         std::vector<std::uint8_t>* out, bool* changed, InsertCounts* counts,
                         std::string* err) {
    out->clear();
    *changed = false;
    seen_[evd.name] = true;
    EvdFile file;
    if (!parse_evd(evd.bytes, evd.name, &file, err)) {
        return false;
    }
    auto refuse = [&](const TextEntry& entry, const std::string& what) {
        *err = error_message(source_, what, entry_place(entry));
        return false;
    };
    // The entry of each record, checked for records that do not exist and
    // for records named twice.
    std::vector<const TextEntry*> entry_of(file.records.size(), nullptr);
    const auto found = by_file_.find(evd.name);
    if (found != by_file_.end()) {
        for (std::size_t index : found->second) {
            const TextEntry& entry = entries_[index];
            if (entry.record >= file.records.size()) {
                return refuse(entry, "the entry names no record: " + evd.name + " has " +
                                         std::to_string(file.records.size()) + " records");
            }
            const TextEntry*& slot = entry_of[entry.record];
            if (slot != nullptr) {
                return refuse(entry, "a second entry for the record of " + entry_place(*slot));
            }
            slot = &entry;
        }
    }
    std::vector<std::string> texts;
    texts.reserve(file.records.size());
    std::size_t changed_here = 0;
    std::string shown;
    for (std::size_t i = 0; i < file.records.size(); ++i) {
        const EvdRecord& record = file.records[i];
        texts.push_back(record.text);
        const TextEntry* entry = entry_of[i];
        if (entry == nullptr) {
            ++counts->untranslated;
            continue;
        }
        if (entry->has_text_id && entry->text_id != record.header.text_id) {
            return refuse(*entry, "mismatched text id (expected " +
                                      std::to_string(record.header.text_id) + ", got " +
                                      std::to_string(entry->text_id) + ")");
        }
        shown.clear();
        show_text(record.text, table, TextForm::translation, &shown);
        if (entry->original != shown) {
            return refuse(*entry, "the original text is not the text of " + evd.name + " (" +
                                      evd_record_place(i, record) +
                                      "); was this file made from another version of it?");
        }
        if (entry->fuzzy) {
            ++counts->fuzzy;
            if (first_fuzzy_ == nullptr) {
                first_fuzzy_ = entry;
            }
            continue;
        }
        if (entry->translation.empty()) {
            ++counts->untranslated;
            continue;
        }
        if (entry->translation == shown) {
            continue;  // translated as it was: the record keeps its bytes
        }
        std::string bytes;
        TextFault fault;
        if (!read_text(entry->translation, table, &bytes, &fault)) {
            const TextPlace place = place_in_text(entry->translation, fault.offset);
            *err = error_message(
                source_, fault.what,
                entry_place(*entry) + ", translation " +
                    (place.line > 1 ? "line " + std::to_string(place.line) + ", " : "") +
                    "column " + std::to_string(place.column));
            return false;
        }
        if (bytes != record.text) {
            texts.back() = std::move(bytes);
            ++changed_here;
        }
    }
    if (changed_here == 0) {
        return true;
    }
    if (!build_evd(file, texts, out, err)) {
        return false;
    }
    *changed = true;
    counts->changed += changed_here;
    ++counts->files_written;
    return true;
}

bool Translations::check_all_used(std::string* err) const {
    for (const TextEntry& entry : entries_) {
        if (!seen_.contains(entry.file)) {
            *err = error_message(
                source_, "the entry names no record: there is no file " + quoted(entry.file),
                entry_place(entry));
            return false;
        }
    }
    return true;
}

bool insert_texts(Translations& translations, std::span<const EvdSource> files,
                  const TextTable* table, std::vector<ChangedEvd>* changed, InsertCounts* counts,
                  std::string* err) {
    changed->clear();
    *counts = InsertCounts{};
    for (const EvdSource& evd : files) {
        ChangedEvd result{evd.name, {}};
        bool was_changed = false;
        if (!translations.apply(evd, table, &result.bytes, &was_changed, counts, err)) {
            changed->clear();
            return false;
        }
        if (was_changed) {
            changed->push_back(std::move(result));
        }
    }
    if (!translations.check_all_used(err)) {
        changed->clear();
        return false;
    }
    return true;
}
