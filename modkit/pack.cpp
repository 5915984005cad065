#include "modkit/pack.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <unordered_map>

#include "brenmark/po_texts.h"
#include "common/byte_buffer.h"
#include "common/message.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/run_files.h"
#include "isopatch/isopatch.h"
#include "modkit/images.h"
#include "modkit/status.h"
#include "modkit/texts.h"
#include "modkit/workspace.h"
#include "sectors/ordered_work.h"
#include "sectors/sector_io.h"

namespace {

std::string missing_file_error(const std::string& path) {
    return error_message(path,
                         "is missing (unpack wrote it, and the game needs it); put it back, "
                         "and pack again; nothing was written");
}

// Waits, when a pack ends, for work it left going on another thread, which
// uses the pack's own variables; sets `stop` first, if given, so that the
// work ends early.
struct WaitForWork {
    std::future<bool>& work;
    std::atomic<bool>* stop = nullptr;
    ~WaitForWork() {
        if (stop != nullptr) {
            *stop = true;
        }
        if (work.valid()) {
            work.wait();
        }
    }
};

// Files that pack makes before anything is replaced: new images and packs,
// read back by the later steps from here. Each is written whole under its own
// name in .modkit/staging and removed when the run ends, whatever happens.
class Staging {
  public:
    explicit Staging(const Workspace& ws) : folder_(ws.at(STAGING_FOLDER)) {}
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;
    /// The files go (each removes itself unless it was committed elsewhere),
    /// and then the folder, so that no run leaves an empty one behind.
    ~Staging() {
        if (!files_.empty()) {
            files_.clear();
            remove_empty_folder(folder_);
        }
    }

    /// A new, empty staging file, open for writing; its path in `path`.
    AtomicFile* create(std::string* path, std::string* err) {
        std::lock_guard lock(mutex_);
        if (files_.empty() && !FolderMaker().make_parents(folder_ + "/", err)) {
            return nullptr;
        }
        // A name that a killed run left behind is skipped, never written
        // over: later steps read a staging file by its name, and a
        // replacement leaves the old bytes there until it is committed.
        for (int tries = 0; tries < 100000; ++tries) {
            *path = folder_ + "/" + std::to_string(next_name_++);
            auto file = std::make_unique<AtomicFile>();
            if (!file->open(*path, err, AtomicFile::NewTarget::in_place,
                            AtomicFile::Target::tree)) {
                return nullptr;
            }
            if (!file->replaces_existing()) {
                files_.push_back(std::move(file));
                return files_.back().get();
            }
        }
        *err = error_message(folder_, "holds too many files that earlier runs left; remove them");
        return nullptr;
    }

    /// A staging file holding `data`.
    bool write(std::span<const std::uint8_t> data, std::string* path, std::string* err) {
        AtomicFile* file = create(path, err);
        return file != nullptr && file->write(data, err) && file->finish(false, err);
    }

  private:
    std::string folder_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<AtomicFile>> files_;
    std::uint64_t next_name_ = 0;
};

// Removes what a killed pack left in the staging folder: while this run
// holds the workspace's lock, no other run writes there.
bool remove_staging_leftovers(const Workspace& ws, std::string* err) {
    const std::string folder = ws.at(STAGING_FOLDER);
    FileStatus status;
    if (!file_status(folder, &status, err)) {
        return false;
    }
    if (status.kind != FileKind::directory) {
        return true;
    }
    std::vector<std::string> names;
    if (!list_folder(folder, &names, err)) {
        return false;
    }
    for (const std::string& name : names) {
        if (!remove_file(folder + "/" + name, err)) {
            return false;
        }
    }
    remove_empty_folder(folder);
    return true;
}

// Whether `path` is the folder `folder` or lies below it, by file identity
// (so another spelling of the path, or a link, is seen through).
bool lies_in(const std::string& path, const FileId& folder, std::string* err) {
    std::string current = path;
    for (int depth = 0; depth < 256; ++depth) {
        FileStatus status;
        if (!file_status(current, &status, err)) {
            return false;
        }
        if (status.kind == FileKind::missing) {
            std::string parent, name;
            split_path(current, &parent, &name);
            if (parent == current) {
                return false;
            }
            current = parent;
            continue;
        }
        if (status.id == folder) {
            return true;
        }
        FileStatus up;
        if (!file_status(current + "/..", &up, err) || up.kind != FileKind::directory ||
            up.id == status.id) {
            return false;  // the root
        }
        current += "/..";
    }
    return false;
}

// The output folder may not be the game's own folder (the game's files are
// never written) nor lie inside the workspace (whose files it would mix
// with).
bool check_output(const OpenedWorkspace& w, const std::string& output, bool to_image,
                  std::string* err) {
    FileStatus status;
    if (!file_status(output, &status, err)) {
        return false;
    }
    if (to_image && w.state.source != GameSourceKind::image) {
        *err = error_message(output,
                             "the workspace was unpacked from a folder, not from a disc "
                             "image; pack writes an image only from the image it came "
                             "from (name a folder)");
        return false;
    }
    if (to_image && status.kind == FileKind::directory) {
        *err = error_message(output, "is a folder; name the new image's file");
        return false;
    }
    if (!to_image && status.kind != FileKind::missing && status.kind != FileKind::directory) {
        *err = error_message(output, "is not a folder; pack writes the new " +
                                         w.state.executable.name + " and " + w.state.archive.name +
                                         " into a folder");
        return false;
    }
    FileStatus game;
    if (status.kind == FileKind::directory && file_status(w.state.source_path, &game, err) &&
        game.kind == FileKind::directory && game.id == status.id) {
        *err = error_message(output, "is the game's own folder (" + w.state.source_path +
                                         "), whose files are never written; name another folder");
        return false;
    }
    FileStatus root;
    if (!file_status(w.workspace.root, &root, err)) {
        return false;
    }
    std::string e;
    if (lies_in(output, root.id, &e)) {
        *err = error_message(output, "lies inside the workspace " + w.workspace.root + "; name " +
                                         (to_image ? "an image" : "a folder") + " outside it");
        return false;
    }
    return true;
}

// Writes of the workspace that go with the outputs: each replaces its file
// only in the final commit.
class Updates {
  public:
    bool write(const std::string& path, std::span<const std::uint8_t> data, std::string* err) {
        AtomicFile* file = open(path, err);
        return file != nullptr && file->write(data, err) && file->finish(false, err);
    }
    bool copy(const std::string& path, const std::string& from, std::string* err) {
        FileHandle source;
        std::uint64_t size = 0;
        AtomicFile* file = open(path, err);
        return file != nullptr && open_input(from, &source, &size, err) &&
               file->copy_from(source, 0, size, from, err) && file->finish(false, err);
    }
    std::vector<AtomicFile*> files() const {
        std::vector<AtomicFile*> out;
        for (const auto& file : files_) {
            out.push_back(file.get());
        }
        return out;
    }

  private:
    AtomicFile* open(const std::string& path, std::string* err) {
        std::lock_guard lock(mutex_);
        files_.push_back(std::make_unique<AtomicFile>());
        return files_.back()->open(path, err, AtomicFile::NewTarget::via_temporary,
                                   AtomicFile::Target::tree)
                   ? files_.back().get()
                   : nullptr;
    }
    std::mutex mutex_;
    std::vector<std::unique_ptr<AtomicFile>> files_;
};

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool pack_workspace(const std::string& workspace, const std::string& output, Progress& progress,
                    PackResult* out, std::string* err) {
    *out = PackResult{};
    OpenedWorkspace w;
    const bool to_image = has_extension(output, ".iso");
    // The lock comes before the state is read, so that the state is the last
    // one written; a folder that is no workspace is said so first.
    RunLock workspace_lock;
    std::string lock_error;
    const bool locked = lock_workspace(workspace, &workspace_lock, &lock_error);
    if (!open_workspace(workspace, &w, err)) {
        return false;
    }
    if (!locked) {
        *err = lock_error;
        return false;
    }
    if (!check_output(w, output, to_image, err)) {
        return false;
    }
    const Workspace& ws = w.workspace;
    if (!remove_staging_leftovers(ws, err)) {
        return false;
    }
    const WorkspaceModel& model = w.model;
    const std::string exe_copy = ws.at(EXECUTABLE_COPY);
    const bool from_image = w.state.source == GameSourceKind::image;
    if (to_image) {
        out->image = output;
    } else {
        out->executable = output + "/" + w.state.executable.name;
        out->archive = output + "/" + w.state.archive.name;
    }
    {
        std::vector<RunFile> inputs = {{exe_copy, "the workspace's executable"}};
        if (from_image) {
            inputs.push_back({w.state.source_path, "the game's disc image"});
        } else {
            inputs.push_back(
                {w.state.source_path + "/" + w.state.executable.name, "the game's executable"});
            inputs.push_back(
                {w.state.source_path + "/" + w.state.archive.name, "the game's archive"});
        }
        std::vector<RunFile> outputs;
        if (to_image) {
            outputs.push_back({out->image, "the new image"});
        } else {
            outputs.push_back({out->executable, "the new executable"});
            outputs.push_back({out->archive, "the new archive"});
        }
        std::vector<bool> replaces;
        if (!check_run_files(inputs, outputs, &replaces, err)) {
            return false;
        }
    }
    const unsigned workers = extraction_workers();

    // What changed since unpack or the last pack. The archive files that are
    // neither a pack, an image nor an .evd decide nothing before the archive
    // is written (only the listing and the new state need their digests), so
    // they are read on a thread of their own while the rest of the pack runs
    // (`plain_read` below), and here only looked at: most of a workspace's
    // bytes are such files, and writing the archive leaves a core waiting,
    // as the writes into one file take turns.
    CurrentDigests now;
    std::vector<std::string> plain_files;
    {
        std::set<std::string> decisive(w.state.text_files.begin(), w.state.text_files.end());
        for (const WorkspaceModel::Image& image : model.images) {
            decisive.insert(image.file);
        }
        std::set<std::string> plain;
        for (std::size_t i = 0; i < model.archive_files.size(); ++i) {
            const std::string& file = model.archive_files[i];
            if (model.is_pack[i] || decisive.contains(file) || !w.state.files.contains(file)) {
                continue;
            }
            FileStatus status;
            if (!file_status(ws.at(file), &status, err)) {
                return false;
            }
            // What is no file any more is read below, which names it.
            if (status.kind == FileKind::regular) {
                now.emplace(file, w.state.files.at(file));  // until it is read
                plain_files.push_back(file);
                plain.insert(file);
            } else if (status.kind == FileKind::missing) {
                now.emplace(file, std::nullopt);
                plain.insert(file);
            }
        }
        std::vector<std::string> paths;
        for (const auto& [path, digest] : w.state.files) {
            if (!plain.contains(path)) {
                paths.push_back(path);
            }
        }
        progress.stage("looking for edits", paths.size());
        std::vector<std::optional<Digest>> digests;
        if (!digest_paths(ws, paths, workers, progress, &digests, err)) {
            return false;
        }
        for (std::size_t i = 0; i < paths.size(); ++i) {
            now.emplace(std::move(paths[i]), digests[i]);
        }
    }
    Edits edits = find_edits(model, w.state, now);
    const std::set<std::string> edited_packs(edits.packs.begin(), edits.packs.end());
    // Calls `visit(path, data)` with every member of every pack edited
    // directly that `wanted(path)` takes, and its bytes in the pack (each
    // pack opened once).
    auto each_edited_member = [&](auto wanted, auto visit) {
        for (const WorkspaceModel::Pack& pack : model.packs) {
            if (!edited_packs.contains(pack.file)) {
                continue;
            }
            const std::string pack_path = ws.at(pack.file);
            const FpackPack& table = w.tables.directory.packs[pack.index];
            FileHandle source;
            std::uint64_t size = 0;
            bool opened = false;
            for (std::uint32_t m = 0; m < pack.members.size(); ++m) {
                const std::string& path = model.members[pack.members[m]];
                if (!wanted(path)) {
                    continue;
                }
                if (!opened && !open_input(pack_path, &source, &size, err)) {
                    return false;
                }
                opened = true;
                const FpackMember& member = table.members[m];
                ByteBuffer data(member.length);
                if (!check_data_range(pack_path, size, fpack_place(pack.index, m), member.name,
                                      sector_offset(member.sector), member.length, err) ||
                    !read_exact_at(source, sector_offset(member.sector),
                                   {data.data(), data.size()}, pack_path, err) ||
                    !visit(path, data)) {
                    return false;
                }
            }
        }
        return true;
    };
    // The .evd members that a pack edited directly holds anew, with those
    // bytes: their texts are made again from them below, as for an .evd
    // edited directly, so that the PO shows what the game now holds.
    std::map<std::string, ByteBuffer> texts_in_packs;
    const std::set<std::string> evd_files(w.state.text_files.begin(), w.state.text_files.end());
    if (!each_edited_member(
            [&](const std::string& path) { return evd_files.contains(path); },
            [&](const std::string& path, ByteBuffer& data) {
                const auto current = now.find(path);
                if (current == now.end() || !current->second ||
                    digest_of({data.data(), data.size()}) != *current->second) {
                    texts_in_packs.emplace(path, std::move(data));
                }
                return true;
            })) {
        return false;
    }
    // The PO is read when it changed, and when an .evd of it was edited
    // directly, or through its pack (its entries are made again below).
    std::vector<std::string> direct_texts;
    {
        std::set<std::string> direct(edits.files.begin(), edits.files.end());
        direct.insert(edits.members.begin(), edits.members.end());
        for (const std::string& file : w.state.text_files) {
            if (direct.contains(file) || texts_in_packs.contains(file)) {
                direct_texts.push_back(file);
            }
        }
    }
    AppliedTexts applied;
    const bool texts_read = !edits.po_missing && (edits.po_edited || !direct_texts.empty());
    if (texts_read) {
        progress.stage("reading texts", 0);
        if (!apply_workspace_texts(ws, w.state, &applied, err)) {
            return false;
        }
        add_text_edits(model, w.state, applied.digests, applied.changed_texts, &edits);
        out->warnings.insert(out->warnings.end(), applied.warnings.begin(), applied.warnings.end());
    }
    if (edits.executable_changed) {
        *err = error_message(exe_copy,
                             "is not what modkit wrote there; the workspace's state is "
                             "damaged (unpack the game again into a new workspace)");
        return false;
    }
    if (!edits.conflicts.empty()) {
        *err = conflict_error(ws, edits);
        return false;
    }
    if (!edits.missing.empty()) {
        *err = missing_file_error(ws.at(edits.missing.front()));
        return false;
    }
    out->first_pack = w.state.packs == 0;
    out->nothing_changed = !edits.any();
    out->files_edited = edits.files.size() + edits.packs.size();

    // The plain files are read from here on, beside the work below; a pack
    // that fails stops the reading and waits for it to end.
    std::vector<std::optional<Digest>> plain_digests;
    std::string plain_error;
    Progress unseen(false);
    std::atomic<bool> stop_plain{false};
    std::future<bool> plain_read;
    try {
        plain_read = std::async(std::launch::async, [&] {
            return digest_paths(ws, plain_files, 1, unseen, &plain_digests, &plain_error,
                                &stop_plain);
        });
    } catch (const std::system_error&) {
        // No thread to spare: they are read when they are needed.
    }
    const WaitForWork stop_plain_reading{plain_read, &stop_plain};
    // Into an image, the original image is read for its digest beside the
    // work too: the new image is made from it only if it is still the image
    // the workspace was unpacked from.
    Digest disc_digest;
    DigestedKind disc_kind = DigestedKind::missing;
    std::string disc_error;
    auto read_disc = [&] {
        ByteBuffer buffer(1 << 20);
        return digest_file(w.state.source_path, {buffer.data(), buffer.size()}, &disc_digest,
                           &disc_kind, &disc_error);
    };
    std::future<bool> disc_read;
    if (to_image) {
        try {
            disc_read = std::async(std::launch::async, read_disc);
        } catch (const std::system_error&) {
            // Read when it is needed.
        }
    }
    const WaitForWork wait_for_disc{disc_read};

    // The digests after this pack: what the files hold now, and below for
    // what the pack writes anew.
    std::map<std::string, Digest> digests;
    for (const auto& [path, digest] : now) {
        if (digest) {
            digests.emplace(path, *digest);
        } else {
            digests.emplace(path, w.state.files.at(path));  // a PNG that is gone
        }
    }
    Staging staging(ws);
    Updates updates;
    // Workspace paths whose new contents lie in a staging file.
    std::map<std::string, std::string> staged;
    std::mutex staged_mutex;
    auto read_at_or_staged = [&](const std::string& path) {
        std::lock_guard lock(staged_mutex);
        const auto found = staged.find(path);
        return found == staged.end() ? ws.at(path) : found->second;
    };

    // 1. Edited PNGs into their images, on every core.
    std::vector<std::string> image_listing(edits.images.size());
    std::vector<std::vector<std::string>> image_warnings(edits.images.size());
    std::vector<bool> image_changed(edits.images.size(), false);
    progress.stage("encoding images", edits.images.size());
    if (!run_in_order(
            edits.images.size(), workers,
            [&](std::size_t k, std::string* e) {
                const WorkspaceModel::Image& image = model.images[edits.images[k]];
                ByteBuffer data;
                LoadedImage loaded;
                std::string reason;
                if (!read_whole_file(ws.at(image.file), &data, e)) {
                    return false;
                }
                if (load_image({data.data(), data.size()}, image.file, &loaded, &reason) !=
                    ImageKind::image) {
                    *e = error_message(ws.at(image.file),
                                       "is no longer an image tm2png reads (" + reason + ")");
                    return false;
                }
                if (loaded.file.pictures.size() != image.pngs.size()) {
                    *e = error_message(ws.at(image.file),
                                       "holds " + std::to_string(loaded.file.pictures.size()) +
                                           " pictures, but unpack exported " +
                                           std::to_string(image.pngs.size()));
                    return false;
                }
                std::vector<PngEdit> pngs;
                std::string names;
                for (std::size_t p = 0; p < image.pngs.size(); ++p) {
                    const auto current = now.find(image.pngs[p]);
                    if (current == now.end() || !current->second ||
                        *current->second == w.state.files.at(image.pngs[p])) {
                        continue;  // unedited or gone: the picture stays as it was
                    }
                    PngEdit edit{p, ws.at(image.pngs[p]), {}};
                    if (!read_whole_file(edit.path, &edit.png, e)) {
                        return false;
                    }
                    names += (names.empty() ? "" : ", ") + image.pngs[p];
                    pngs.push_back(std::move(edit));
                }
                std::vector<std::uint8_t> encoded;
                bool changed = false;
                if (!import_image(loaded, pngs, &encoded, &changed, &image_warnings[k], e)) {
                    return false;
                }
                image_changed[k] = changed;
                image_listing[k] =
                    std::string(changed ? "image:  " : "same:   ") + image.file + " <- " + names;
                progress.advance(1);
                if (!changed) {
                    return true;
                }
                std::string path;
                if (!staging.write(encoded, &path, e)) {
                    return false;
                }
                std::lock_guard lock(staged_mutex);
                staged[image.file] = path;
                digests[image.file] = digest_of(encoded);
                return true;
            },
            [](std::size_t) {}, err)) {
        return false;
    }
    for (std::size_t k = 0; k < edits.images.size(); ++k) {
        out->listing.push_back(image_listing[k]);
        out->images_encoded += image_changed[k] ? 1 : 0;
        for (std::string& warning : image_warnings[k]) {
            out->warnings.push_back(std::move(warning));
        }
    }

    // 2. Changed texts into their .evd files (made from the originals the PO
    // describes); an .evd edited directly gets its entries made again.
    for (const TextEdit& t : edits.texts) {
        const auto at = std::find(w.state.text_files.begin(), w.state.text_files.end(), t.file);
        const std::size_t i = static_cast<std::size_t>(at - w.state.text_files.begin());
        std::string path;
        if (!staging.write(applied.bytes[i], &path, err)) {
            return false;
        }
        staged[t.file] = path;
        digests[t.file] = applied.digests[i];
        out->listing.push_back("texts:  " + t.file + " <- " + plural(t.texts, "text", "texts"));
        out->texts_changed += t.texts;
        ++out->text_files;
    }
    std::vector<std::string> text_files = w.state.text_files;
    if (texts_read && !direct_texts.empty()) {
        std::unordered_map<std::string, std::vector<const TextEntry*>> entries_of;
        for (const TextEntry& entry : applied.translations.entries()) {
            entries_of[entry.file].push_back(&entry);
        }
        const std::set<std::string> direct(direct_texts.begin(), direct_texts.end());
        PoWriter writer(ws.at(TEXTS_SCRATCH), ws.at(TEXTS_PO));
        text_files.clear();
        for (const std::string& file : w.state.text_files) {
            const std::string name = text_entry_name(file);
            if (!direct.contains(file)) {
                for (const TextEntry* entry : entries_of[name]) {
                    if (!writer.add(*entry, err)) {
                        return false;
                    }
                }
                text_files.push_back(file);
                continue;
            }
            ByteBuffer data;
            std::vector<TextEntry> entries;
            std::string e;
            if (const auto in_pack = texts_in_packs.find(file); in_pack != texts_in_packs.end()) {
                data = std::move(in_pack->second);
            } else if (!read_whole_file(ws.at(file), &data, err)) {
                return false;
            }
            if (!dump_evd_texts({name, {data.data(), data.size()}}, applied.table.get(), &entries,
                                &e)) {
                out->warnings.push_back(warning_message(
                    ws.at(file), "edited so that its texts cannot be read; they leave " + TEXTS_PO +
                                     ", edit it as a file"));
                continue;
            }
            for (const TextEntry& entry : entries) {
                if (!writer.add(entry, err)) {
                    return false;
                }
            }
            if (!updates.write(ws.at(text_original_path(file)), {data.data(), data.size()}, err)) {
                return false;
            }
            text_files.push_back(file);
            out->listing.push_back("texts:  " + TEXTS_PO + " <- " + file + " (made again)");
            ++out->texts_redumped;
        }
        std::string po;
        if (!writer.finish(&po, err)) {
            return false;
        }
        const std::span<const std::uint8_t> po_bytes{
            reinterpret_cast<const std::uint8_t*>(po.data()), po.size()};
        if (!updates.write(ws.at(TEXTS_PO), po_bytes, err)) {
            return false;
        }
        digests[TEXTS_PO] = digest_of(po_bytes);
    }
    out->texts = texts_read ? applied.totals() : w.state.texts;

    // 3. Changed members into their packs: only packs in which a member
    // changed, on every core.
    std::set<std::string> changed_members(edits.members.begin(), edits.members.end());
    for (const auto& [path, staging_path] : staged) {
        if (path.starts_with(std::string(FILES_FOLDER) + "fpack_extract/")) {
            changed_members.insert(path);
        }
    }
    out->members_changed = changed_members.size();
    const FpackDirectory& directory = w.tables.directory;
    std::vector<bool> rebuilt(directory.packs.size(), false);
    std::vector<const WorkspaceModel::Pack*> rebuilds;
    for (const WorkspaceModel::Pack& pack : model.packs) {
        const bool changed = std::any_of(pack.members.begin(), pack.members.end(), [&](auto m) {
            return changed_members.contains(model.members[m]);
        });
        if (changed) {
            rebuilt[pack.index] = true;
            rebuilds.push_back(&pack);
        }
    }
    // A pack file that another pack reads too would lose that pack's members.
    for (const WorkspaceModel::Pack* pack : rebuilds) {
        for (const WorkspaceModel::Pack& other : model.packs) {
            if (other.index != pack->index && path_key(other.file) == path_key(pack->file)) {
                *err = error_message(ws.at(pack->file),
                                     fpack_place(pack->index) + " is to be rebuilt, but " +
                                         fpack_place(other.index) +
                                         " reads the same file, and its members would be lost; "
                                         "nothing was written");
                return false;
            }
        }
    }
    MutableByteSpan exe_bytes = w.executable.bytes();
    if (!check_fpack_patches(exe_bytes, w.tables.fpack, directory, rebuilt, exe_copy, err)) {
        return false;
    }
    struct PackBuild {
        std::vector<PackJob> jobs;
        std::vector<PackPlacement> placements;
        std::string staging_path;
        std::size_t members_changed = 0;
    };
    std::vector<PackBuild> builds(rebuilds.size());
    progress.stage("rebuilding packs", rebuilds.size());
    if (!run_in_order(
            rebuilds.size(), workers,
            [&](std::size_t k, std::string* e) {
                const WorkspaceModel::Pack& pack = *rebuilds[k];
                const FpackPack& table = directory.packs[pack.index];
                PackBuild& build = builds[k];
                for (std::uint32_t m = 0; m < table.members.size(); ++m) {
                    const std::string& member = model.members[pack.members[m]];
                    build.members_changed += changed_members.contains(member) ? 1 : 0;
                    build.jobs.push_back({read_at_or_staged(member), table.members[m].offset,
                                          fpack_place(pack.index, m), table.members[m].name});
                }
                std::vector<std::uint64_t> sizes;
                std::uint64_t total = 0;
                AtomicFile* file = nullptr;
                if (!pack_file_sizes(build.jobs, &sizes, e) ||
                    !plan_packing(build.jobs, sizes, FPACK_PACK_RULES, &build.placements, &total,
                                  e) ||
                    (file = staging.create(&build.staging_path, e)) == nullptr ||
                    !pack_files(
                        build.jobs, build.placements, total, *file, [](std::size_t) {}, e) ||
                    !file->finish(false, e)) {
                    return false;
                }
                progress.advance(1, total);
                return true;
            },
            [](std::size_t) {}, err)) {
        return false;
    }
    ByteBuffer buffer(1 << 20);
    for (std::size_t k = 0; k < rebuilds.size(); ++k) {
        patch_records(exe_bytes, builds[k].jobs, builds[k].placements);
        const std::string& file = rebuilds[k]->file;
        staged[file] = builds[k].staging_path;
        Digest digest;
        DigestedKind kind;
        if (!digest_file(builds[k].staging_path, {buffer.data(), buffer.size()}, &digest, &kind,
                         err)) {
            return false;
        }
        digests[file] = digest;
        out->listing.push_back("pack:   " + file + " <- " +
                               plural(builds[k].members_changed, "member", "members"));
    }
    out->packs_rebuilt = rebuilds.size();
    // The plain files edited join these lines once they are read.
    const std::size_t files_listed_at = out->listing.size();
    for (const std::string& file : edits.files) {
        out->listing.push_back("file:   " + file);
    }
    for (const std::string& file : edits.packs) {
        out->listing.push_back("file:   " + file);
    }

    // 4. The views of files edited directly are written again from them, so
    // that the workspace shows what went into the game: the members of an
    // edited pack, and the PNGs of an edited image (a member of such a pack
    // included).
    std::map<std::string, ByteBuffer> refreshed_members;  // new contents, by workspace path
    if (!each_edited_member(
            [](const std::string&) { return true; },
            [&](const std::string& path, ByteBuffer& data) {
                const Digest digest = digest_of({data.data(), data.size()});
                if (digest == digests.at(path) || refreshed_members.contains(path)) {
                    return true;
                }
                if (!updates.write(ws.at(path), {data.data(), data.size()}, err)) {
                    return false;
                }
                digests[path] = digest;
                refreshed_members.emplace(path, std::move(data));
                ++out->views_refreshed;
                return true;
            })) {
        return false;
    }
    for (const WorkspaceModel::Image& image : model.images) {
        const bool edited_directly =
            std::find(edits.files.begin(), edits.files.end(), image.file) != edits.files.end() ||
            std::find(edits.members.begin(), edits.members.end(), image.file) !=
                edits.members.end() ||
            refreshed_members.contains(image.file);
        if (!edited_directly) {
            continue;
        }
        ByteBuffer data;
        LoadedImage loaded;
        std::string reason;
        std::vector<ExportedPicture> pictures;
        // A member taken out of an edited pack above is not in place yet.
        if (const auto fresh = refreshed_members.find(image.file);
            fresh != refreshed_members.end()) {
            data = fresh->second;
        } else if (!read_whole_file(ws.at(image.file), &data, err)) {
            return false;
        }
        const ImageKind kind = load_image({data.data(), data.size()}, image.file, &loaded, &reason);
        if (kind != ImageKind::image || loaded.file.pictures.size() != image.pngs.size()) {
            out->warnings.push_back(warning_message(
                ws.at(image.file),
                "edited so that its PNGs cannot be made again as unpack made them (" +
                    (kind == ImageKind::image ? "it holds another number of pictures" : reason) +
                    "); they stay as they were, and are no longer this image"));
            continue;
        }
        if (!export_image(loaded, png_path(image.file, 0, 1), &pictures, err)) {
            return false;
        }
        for (const ExportedPicture& picture : pictures) {
            const Digest digest = digest_of(picture.png);
            if (digest == digests.at(picture.path)) {
                continue;
            }
            if (!updates.write(ws.at(picture.path), picture.png, err)) {
                return false;
            }
            digests[picture.path] = digest;
            ++out->views_refreshed;
        }
    }

    // 5. Every file into the new archive, and the executable.
    std::vector<PackJob> jobs;
    for (const RpkEntry& entry : w.tables.entries) {
        jobs.push_back({read_at_or_staged(archive_file_path(entry.record.name)),
                        entry.record.offset, rpk_place(entry.index), entry.record.name});
    }
    std::vector<std::uint64_t> sizes;
    std::vector<PackPlacement> placements;
    std::uint64_t total = 0;
    if (!pack_file_sizes(jobs, &sizes, err) ||
        !plan_packing(jobs, sizes, RPK_PACK_RULES, &placements, &total, err)) {
        return false;
    }
    FileStatus output_status;
    if (!file_status(output, &output_status, err)) {
        return false;
    }
    // Into a folder, the archive and the executable are the outputs; into an
    // image, they are staged, and the image is the output.
    const bool output_made = !to_image && output_status.kind == FileKind::missing;
    AtomicFile archive_file, executable_file, image_file;
    AtomicFile* archive = &archive_file;
    AtomicFile* executable = &executable_file;
    std::string archive_staged, executable_staged;
    auto fail_after_output = [&] {
        archive_file.discard();
        executable_file.discard();
        image_file.discard();
        if (output_made) {
            remove_empty_folder(output);
        }
        return false;
    };
    if (to_image) {
        if ((archive = staging.create(&archive_staged, err)) == nullptr ||
            (executable = staging.create(&executable_staged, err)) == nullptr) {
            return false;
        }
    } else if (!FolderMaker().make_parents(out->archive, err) ||
               !archive_file.open(out->archive, err) ||
               !executable_file.open(out->executable, err)) {
        return fail_after_output();
    }
    progress.stage("writing the archive", jobs.size());
    if (!pack_files(
            jobs, placements, total, *archive,
            [&](std::size_t i) { progress.advance(1, placements[i].length); }, err,
            archive_pack_copy(to_image ? archive_staged : out->archive))) {
        return fail_after_output();
    }
    out->archive_files = jobs.size();
    patch_records(exe_bytes, jobs, placements);
    if (!executable->write(exe_bytes, err) || !updates.write(exe_copy, exe_bytes, err)) {
        return fail_after_output();
    }
    digests[EXECUTABLE_COPY] = digest_of(exe_bytes);
    for (const auto& [path, from] : staged) {
        if (!updates.copy(ws.at(path), from, err)) {
            return fail_after_output();
        }
    }

    // The plain files' digests, read by now or being read.
    if (!(plain_read.valid() ? plain_read.get()
                             : digest_paths(ws, plain_files, workers, unseen, &plain_digests,
                                            &plain_error))) {
        *err = plain_error;
        return fail_after_output();
    }
    std::set<std::string> plain_edited;
    for (std::size_t k = 0; k < plain_files.size(); ++k) {
        const std::string& file = plain_files[k];
        if (!plain_digests[k]) {  // gone since it was looked at
            *err = missing_file_error(ws.at(file));
            return fail_after_output();
        }
        if (*plain_digests[k] != w.state.files.at(file)) {
            plain_edited.insert(file);
        }
        digests[file] = *plain_digests[k];
    }
    if (!plain_edited.empty()) {
        // Every archive file edited directly, in the archive's order.
        const std::set<std::string> listed(edits.files.begin(), edits.files.end());
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < model.archive_files.size(); ++i) {
            const std::string& file = model.archive_files[i];
            if (listed.contains(file) || plain_edited.contains(file)) {
                lines.push_back("file:   " + file);
            }
        }
        const auto at = out->listing.begin() + static_cast<std::ptrdiff_t>(files_listed_at);
        out->listing.erase(at, at + static_cast<std::ptrdiff_t>(edits.files.size()));
        out->listing.insert(out->listing.begin() + static_cast<std::ptrdiff_t>(files_listed_at),
                            lines.begin(), lines.end());
        out->files_edited += plain_edited.size();
        out->nothing_changed = false;
    }

    // 5b. The new image: a copy of the original with the two files replaced.
    IsoImageFile original;
    if (to_image) {
        if (!archive->finish(false, err) || !executable->finish(false, err)) {
            return fail_after_output();
        }
        progress.stage("checking the disc image", 0);
        if (!(disc_read.valid() ? disc_read.get() : read_disc())) {
            *err = disc_error;
            return fail_after_output();
        }
        if (disc_kind != DigestedKind::file || disc_digest != w.state.disc.digest) {
            *err = error_message(w.state.source_path,
                                 disc_kind != DigestedKind::file
                                     ? "is gone; pack writes the new image from the image the "
                                       "workspace was unpacked from (name a folder to get the "
                                       "executable and RPK.BIN instead)"
                                     : "is not the image the workspace was unpacked from (it "
                                       "changed since); nothing was written");
            return fail_after_output();
        }
        const ReplacementSource replacements[] = {{w.state.executable.name, executable_staged},
                                                  {w.state.archive.name, archive_staged}};
        PatchPlan plan;
        progress.stage("writing the image", 0);
        if (!original.open(w.state.source_path, err) || !image_file.open(output, err) ||
            !write_patched_image(original, replacements, image_file, &plan, err)) {
            return fail_after_output();
        }
        original.close();
    }

    // 6. The new state, and everything replaced together.
    WorkspaceState state = w.state;
    state.archive_size = total;
    ++state.packs;
    state.files = std::move(digests);
    state.text_files = std::move(text_files);
    state.texts = out->texts;
    const std::string text = format_state(state);
    AtomicFile state_file;
    if (!state_file.open(ws.at(STATE_FILE), err) ||
        !state_file.write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, err)) {
        return fail_after_output();
    }
    // The inputs are closed before anything replaces them.
    w.executable.close();
    std::vector<AtomicFile*> commits;
    if (to_image) {
        commits.push_back(&image_file);
    } else {
        commits = {&archive_file, &executable_file};
    }
    for (AtomicFile* update : updates.files()) {
        commits.push_back(update);
    }
    commits.push_back(&state_file);  // last: the state records a pack only once it is done
    if (!commit_together(commits, false, err)) {
        return fail_after_output();
    }
    return true;
}
