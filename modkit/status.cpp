#include "modkit/status.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "common/byte_buffer.h"
#include "common/message.h"
#include "modkit/texts.h"
#include "sectors/ordered_work.h"

namespace {

// Whether the file at `path` differs from what the state recorded; false for
// a file the state does not list or that is gone.
bool edited(const WorkspaceState& state, const CurrentDigests& now, const std::string& path) {
    const auto then = state.files.find(path);
    const auto current = now.find(path);
    return then != state.files.end() && current != now.end() && current->second &&
           *current->second != then->second;
}

bool gone(const WorkspaceState& state, const CurrentDigests& now, const std::string& path) {
    const auto current = now.find(path);
    return state.files.contains(path) && current != now.end() && !current->second;
}

}  // namespace

Edits find_edits(const WorkspaceModel& model, const WorkspaceState& state,
                 const CurrentDigests& now) {
    Edits edits;
    std::set<std::string> edited_files;  // archive files and members, edited directly
    for (std::size_t i = 0; i < model.archive_files.size(); ++i) {
        const std::string& file = model.archive_files[i];
        if (edited(state, now, file)) {
            (model.is_pack[i] ? edits.packs : edits.files).push_back(file);
            edited_files.insert(file);
        } else if (gone(state, now, file)) {
            edits.missing.push_back(file);
        }
    }
    for (const std::string& member : model.members) {
        if (edited(state, now, member)) {
            edits.members.push_back(member);
            edited_files.insert(member);
        } else if (gone(state, now, member)) {
            edits.missing.push_back(member);
        }
    }
    // The member files whose image has an edited PNG, with the first such PNG.
    std::unordered_map<std::string, std::string> members_through_png;
    for (std::size_t i = 0; i < model.images.size(); ++i) {
        const WorkspaceModel::Image& image = model.images[i];
        std::string first;
        for (const std::string& png : image.pngs) {
            if (edited(state, now, png)) {
                edits.pngs.push_back(png);
                first = first.empty() ? png : first;
            } else if (gone(state, now, png)) {
                edits.missing_pngs.push_back(png);
            }
        }
        if (first.empty()) {
            continue;
        }
        edits.images.push_back(i);
        if (edited_files.contains(image.file)) {
            edits.conflicts.push_back({first, image.file});
        }
        members_through_png.emplace(image.file, first);
    }
    const std::set<std::string> edited_packs(edits.packs.begin(), edits.packs.end());
    for (const WorkspaceModel::Pack& pack : model.packs) {
        if (!edited_packs.contains(pack.file)) {
            continue;
        }
        std::set<std::size_t> seen;
        for (const std::size_t m : pack.members) {
            const std::string& member = model.members[m];
            if (!seen.insert(m).second) {
                continue;
            }
            if (edited_files.contains(member)) {
                edits.conflicts.push_back({member, pack.file});
            } else if (const auto png = members_through_png.find(member);
                       png != members_through_png.end()) {
                edits.conflicts.push_back({png->second, pack.file});
            }
        }
    }
    edits.executable_changed =
        edited(state, now, EXECUTABLE_COPY) || gone(state, now, EXECUTABLE_COPY);
    edits.po_edited = edited(state, now, TEXTS_PO);
    edits.po_missing = gone(state, now, TEXTS_PO);
    return edits;
}

void add_text_edits(const WorkspaceModel& model, const WorkspaceState& state,
                    const std::vector<Digest>& applied,
                    const std::vector<std::size_t>& changed_texts, Edits* edits) {
    const std::set<std::string> direct(edits->files.begin(), edits->files.end());
    const std::set<std::string> members(edits->members.begin(), edits->members.end());
    const std::set<std::string> packs(edits->packs.begin(), edits->packs.end());
    // The pack file of every member, for members of packs edited directly.
    std::unordered_map<std::string, std::string> pack_of;
    for (const WorkspaceModel::Pack& pack : model.packs) {
        for (const std::size_t m : pack.members) {
            pack_of.emplace(model.members[m], pack.file);
        }
    }
    for (std::size_t i = 0; i < state.text_files.size() && i < applied.size(); ++i) {
        const std::string& file = state.text_files[i];
        const auto then = state.files.find(file);
        if (then == state.files.end() || applied[i] == then->second) {
            continue;  // the PO leaves the file as the last pack wrote it
        }
        edits->texts.push_back({file, i < changed_texts.size() ? changed_texts[i] : 0});
        if (direct.contains(file) || members.contains(file)) {
            edits->conflicts.push_back({TEXTS_PO, file});
        } else if (const auto pack = pack_of.find(file);
                   pack != pack_of.end() && packs.contains(pack->second)) {
            edits->conflicts.push_back({TEXTS_PO, pack->second});
        }
    }
}

bool find_text_edits(const OpenedWorkspace& w, Edits* edits, AppliedTexts* applied,
                     std::string* err) {
    if (!edits->po_edited) {
        return true;
    }
    if (!apply_workspace_texts(w.workspace, w.state, applied, err)) {
        return false;
    }
    add_text_edits(w.model, w.state, applied->digests, applied->changed_texts, edits);
    return true;
}

bool digest_paths(const Workspace& workspace, const std::vector<std::string>& paths,
                  unsigned workers, Progress& progress, std::vector<std::optional<Digest>>* out,
                  std::string* err, const std::atomic<bool>* cancel) {
    std::vector<std::optional<Digest>> digests(paths.size());
    // A buffer for each item being read: taken from those free, or made.
    std::mutex pool_mutex;
    std::vector<std::unique_ptr<ByteBuffer>> pool;
    const bool ok = run_in_order(
        paths.size(), workers,
        [&](std::size_t i, std::string* e) {
            if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
                *e = "cancelled";
                return false;
            }
            std::unique_ptr<ByteBuffer> taken;
            {
                std::lock_guard lock(pool_mutex);
                if (!pool.empty()) {
                    taken = std::move(pool.back());
                    pool.pop_back();
                }
            }
            if (!taken) {
                taken = std::make_unique<ByteBuffer>(1 << 20);
            }
            ByteBuffer& buffer = *taken;
            struct GiveBack {
                std::mutex& mutex;
                std::vector<std::unique_ptr<ByteBuffer>>& pool;
                std::unique_ptr<ByteBuffer>& buffer;
                ~GiveBack() {
                    std::lock_guard lock(mutex);
                    pool.push_back(std::move(buffer));
                }
            } give_back{pool_mutex, pool, taken};
            Digest digest;
            DigestedKind kind;
            if (!digest_file(workspace.at(paths[i]), {buffer.data(), buffer.size()}, &digest, &kind,
                             e)) {
                return false;
            }
            if (kind == DigestedKind::file) {
                digests[i] = digest;
            }
            progress.advance(1);
            return true;
        },
        [](std::size_t) {}, err);
    if (!ok) {
        return false;
    }
    *out = std::move(digests);
    return true;
}

bool digest_workspace(const Workspace& workspace, const WorkspaceState& state, unsigned workers,
                      Progress& progress, CurrentDigests* out, std::string* err) {
    std::vector<std::string> paths;
    paths.reserve(state.files.size());
    for (const auto& [path, digest] : state.files) {
        paths.push_back(path);
    }
    progress.stage("looking for edits", paths.size());
    std::vector<std::optional<Digest>> digests;
    if (!digest_paths(workspace, paths, workers, progress, &digests, err)) {
        return false;
    }
    out->clear();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        out->emplace(std::move(paths[i]), digests[i]);
    }
    return true;
}

namespace {

std::string counted(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string status_report(const Edits& edits) {
    std::string text;
    std::size_t text_count = 0;
    for (const TextEdit& t : edits.texts) {
        text_count += t.texts;
    }
    auto lines = [&](const char* label, const std::vector<std::string>& paths) {
        for (const std::string& path : paths) {
            text += std::string(label) + path + "\n";
        }
    };
    lines("edited file:    ", edits.files);
    lines("edited pack:    ", edits.packs);
    lines("edited member:  ", edits.members);
    lines("edited image:   ", edits.pngs);
    lines("missing:        ", edits.missing);
    lines("missing image:  ", edits.missing_pngs);
    for (const TextEdit& t : edits.texts) {
        text += "edited texts:   " + t.file + " (" + counted(t.texts, "text", "texts") + ")\n";
    }
    if (edits.po_edited && edits.texts.empty()) {
        text += "edited texts:   " + TEXTS_PO + " (no text of the game changes)\n";
    }
    if (edits.po_missing) {
        text += "missing texts:  " + TEXTS_PO + " (the texts stay as they are)\n";
    }
    for (const Conflict& c : edits.conflicts) {
        text += "conflict:       " + c.view + " and " + c.file + " were both edited\n";
    }
    if (edits.executable_changed) {
        text += "damaged:        " + EXECUTABLE_COPY +
                " is not what modkit wrote; pack refuses this workspace\n";
    }
    if (!edits.any() && edits.missing.empty() && edits.missing_pngs.empty() &&
        !edits.executable_changed && !edits.po_edited && !edits.po_missing) {
        return text + "nothing edited\n";
    }
    text += counted(edits.files.size(), "file", "files") + ", " +
            counted(edits.packs.size(), "pack", "packs") + ", " +
            counted(edits.members.size(), "pack member", "pack members") + " and " +
            counted(edits.pngs.size(), "picture", "pictures") + " (of " +
            counted(edits.images.size(), "image", "images") + ") edited, " +
            counted(text_count, "text", "texts") + " (in " +
            counted(edits.texts.size(), "file", "files") + ") edited; " +
            counted(edits.missing.size() + edits.missing_pngs.size() + (edits.po_missing ? 1 : 0),
                    "file", "files") +
            " missing; " + counted(edits.conflicts.size(), "conflict", "conflicts") + "\n";
    return text;
}

std::string conflict_error(const Workspace& workspace, const Edits& edits) {
    const Conflict& c = edits.conflicts.front();
    std::string what = "was edited, and so was " + workspace.at(c.file) +
                       ", which holds the same data; keep one of the two edits (put the other "
                       "file back as it was)";
    if (edits.conflicts.size() > 1) {
        what += "; " + std::to_string(edits.conflicts.size() - 1) +
                " more conflicts: see modkit status";
    }
    return error_message(workspace.at(c.view), what + "; nothing was written");
}
