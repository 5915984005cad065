#include "modkit/unpack.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <unordered_map>

#include "brenmark/text_files.h"
#include "common/byte_buffer.h"
#include "common/message.h"
#include "common/names.h"
#include "common/platform/file_io.h"
#include "common/text.h"
#include "isopatch/disc_format.h"
#include "isopatch/isopatch.h"
#include "modkit/game.h"
#include "modkit/images.h"
#include "modkit/state.h"
#include "modkit/texts.h"
#include "modkit/workspace.h"
#include "sectors/ordered_work.h"
#include "sectors/sector_io.h"

namespace {

// A workspace must be new: unpacking over one would lose its edits.
bool check_new_workspace(const std::string& path, std::string* err) {
    FileStatus status;
    if (!file_status(path, &status, err)) {
        return false;
    }
    if (status.kind == FileKind::missing) {
        return true;
    }
    if (status.kind != FileKind::directory) {
        *err = error_message(path, "is not a folder; the workspace must be a new or empty folder");
        return false;
    }
    std::vector<std::string> names;
    if (!list_folder(path, &names, err)) {
        return false;
    }
    if (!names.empty()) {
        *err = error_message(path,
                             "is not empty; unpack writes a new workspace only, so that no edits "
                             "are lost (status and pack work on an existing one)");
        return false;
    }
    return true;
}

// The game as unpack reads it: a folder, or a disc image whose executable
// and RPK.BIN are read where they lie in it (no copy of either is made).
struct GameSource {
    bool image = false;
    GameFolder folder;
    IsoImageFile iso;
    std::string executable_name, archive_name;  ///< in the folder or the image
    std::string executable_path;                ///< for messages
    std::string archive_path;                   ///< the file the archive's bytes are read from
    std::string archive_label;                  ///< the archive in messages
    std::uint64_t archive_offset = 0;           ///< of RPK.BIN in `archive_path`
    std::uint64_t archive_size = 0;
    std::uint64_t archive_file_size = 0;  ///< of `archive_path`
    MappedFile mapped;                    ///< the executable of a folder
    ByteBuffer read;                      ///< the executable of an image
    ByteSpan executable() const {
        return image ? ByteSpan{read.data(), read.size()} : std::as_const(mapped).bytes();
    }
};

bool open_game(const std::string& game, GameSource* out, std::string* err) {
    FileStatus status;
    if (!file_status(game, &status, err)) {
        return false;
    }
    if (status.kind == FileKind::missing) {
        *err = open_failure_message(game, ENOENT);
        return false;
    }
    if (status.kind == FileKind::directory) {
        if (!find_game_files(game, &out->folder, err)) {
            return false;
        }
        out->executable_name = out->folder.executable;
        out->archive_name = out->folder.archive;
        out->executable_path = out->folder.executable_path();
        out->archive_path = out->archive_label = out->folder.archive_path();
        FileHandle archive;
        if (!out->mapped.open(out->executable_path, err) ||
            !open_input(out->archive_path, &archive, &out->archive_size, err)) {
            return false;
        }
        out->archive_file_size = out->archive_size;
        return true;
    }
    if (!has_extension(game, ".iso")) {
        *err = error_message(game,
                             "is neither a folder holding the game's executable and RPK.BIN nor "
                             "a disc image (.iso)");
        return false;
    }
    out->image = true;
    std::size_t exe = 0, rpk = 0;
    if (!out->iso.open(game, err) ||
        !find_image_game_files(out->iso.image(), game, &exe, &rpk, err)) {
        return false;
    }
    const IsoFile& exe_file = out->iso.image().files[exe];
    const IsoFile& rpk_file = out->iso.image().files[rpk];
    out->executable_name = exe_file.path;
    out->archive_name = rpk_file.path;
    out->executable_path = game + ":" + exe_file.path;
    out->archive_path = game;
    out->archive_label = game + ":" + rpk_file.path;
    out->archive_offset = rpk_file.sector * DISC_SECTOR;
    out->archive_size = rpk_file.size;
    out->archive_file_size = out->iso.size();
    out->read = ByteBuffer(exe_file.size);
    return out->iso.read(exe_file.sector * DISC_SECTOR, {out->read.data(), out->read.size()}, err);
}

// The digest of `length` bytes at `offset` of the file at `path`.
bool digest_range(const std::string& path, std::uint64_t offset, std::uint64_t length, Digest* out,
                  std::string* err) {
    FileHandle file;
    std::uint64_t size = 0;
    if (!open_input(path, &file, &size, err)) {
        return false;
    }
    ByteBuffer buffer(1 << 20);
    DigestBuilder builder;
    for (std::uint64_t done = 0; done < length;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done));
        if (!read_exact_at(file, offset + done, {buffer.data(), n}, path, err)) {
            return false;
        }
        builder.add({buffer.data(), n});
        done += n;
    }
    *out = builder.result();
    return true;
}

// The digest of a whole input file, read in 1 MiB pieces.
bool digest_input(const std::string& path, Digest* out, std::string* err) {
    ByteBuffer buffer(1 << 20);
    DigestedKind kind;
    if (!digest_file(path, {buffer.data(), buffer.size()}, out, &kind, err)) {
        return false;
    }
    if (kind == DigestedKind::missing) {
        *err = open_failure_message(path, ENOENT);
        return false;
    }
    return true;
}

// The parent folders of workspace paths, each once.
std::vector<std::string> parents_of(const std::vector<std::string>& paths) {
    std::set<std::string> folders;
    for (const std::string& path : paths) {
        const std::size_t slash = path.rfind('/');
        if (slash != std::string::npos) {
            folders.insert(path.substr(0, slash));
        }
    }
    return {folders.begin(), folders.end()};
}

// The digest of what one extraction job wrote, built piece by piece, and
// whether it starts as a TIM2 image does.
class JobDigest {
  public:
    void add(ByteSpan chunk) {
        if (!builder_) {
            builder_ = std::make_unique<DigestBuilder>();
            tim2_ = chunk.size() >= 4 && std::memcmp(chunk.data(), "TIM2", 4) == 0;
        }
        builder_->add(chunk);
    }
    Digest result() const { return builder_ ? builder_->result() : digest_of({}); }
    bool starts_as_tim2() const { return tim2_; }

  private:
    std::unique_ptr<DigestBuilder> builder_;
    bool tim2_ = false;
};

struct ImageFound {
    std::string file;  ///< workspace path
    std::uint32_t pictures = 0;
    std::vector<std::pair<std::string, Digest>> pngs;  ///< written, with digests
};

}  // namespace

bool unpack_game(const std::string& game, const std::string& workspace_path,
                 const std::string& table_path, Progress& progress, UnpackResult* out,
                 std::string* err) {
    *out = UnpackResult{};
    GameSource source;
    if (!open_game(game, &source, err) || !check_new_workspace(workspace_path, err)) {
        return false;
    }
    // The table is read first: a table that does not read is refused before
    // anything is written.
    std::unique_ptr<TextTable> table;
    ByteBuffer table_bytes;
    if (!table_path.empty()) {
        std::vector<std::string> table_warnings;
        if (!load_table(table_path, &table, &table_warnings, err) ||
            !read_whole_file(table_path, &table_bytes, err)) {
            return false;
        }
        out->warnings.insert(out->warnings.end(), table_warnings.begin(), table_warnings.end());
    }
    const Workspace ws{workspace_path};
    const std::string exe_path = source.executable_path;
    const std::string archive_path = source.archive_label;
    const std::uint64_t archive_size = source.archive_size;
    const ByteSpan image = source.executable();
    GameTables tables;
    if (!detect_tables(image, archive_size, exe_path, RPK_LAYOUTS, FPACK_LAYOUTS, &tables, err)) {
        return false;
    }
    out->rpk_layout = tables.rpk.label;
    out->fpack_layout = tables.fpack.label;

    // The archive's files, then the members of every pack, as korvane and
    // tillet write them, below files/.
    std::vector<ExtractJob> files;
    for (const RpkEntry& entry : tables.entries) {
        files.push_back({ws.at(archive_file_path(entry.record.name)), 0,
                         sector_offset(entry.record.sector), entry.record.length,
                         rpk_place(entry.index), entry.record.name});
    }
    // Each pack is the file the last entry of its name wrote; its size is
    // that entry's length.
    std::unordered_map<std::string, std::uint64_t> written;
    for (const ExtractJob& job : files) {
        written[path_key(job.path)] = job.length;
    }
    std::vector<ExtractSource> packs;
    for (std::uint32_t p = 0; p < tables.directory.packs.size(); ++p) {
        const FpackPack& pack = tables.directory.packs[p];
        const std::string path = ws.at(archive_file_path(pack.name));
        const auto found = written.find(path_key(path));
        if (found == written.end()) {
            *err = error_message(exe_path,
                                 fpack_place(p) + " names the pack " + quoted(pack.name) +
                                     ", which no entry of the RPK index holds; nothing was written",
                                 fpack_place(p) + ", offset " + hex(pack.entry_offset));
            return false;
        }
        packs.push_back({path, found->second});
    }
    std::vector<ExtractJob> members;
    for (std::uint32_t p = 0; p < tables.directory.packs.size(); ++p) {
        const FpackPack& pack = tables.directory.packs[p];
        for (std::uint32_t m = 0; m < pack.members.size(); ++m) {
            const FpackMember& member = pack.members[m];
            members.push_back({ws.at(member_file_path(member.name)), p,
                               sector_offset(member.sector), member.length, fpack_place(p, m),
                               member.name});
        }
    }
    // A member written where an archive file lies would leave one of them
    // without its own file.
    for (const ExtractJob& member : members) {
        if (written.contains(path_key(member.path))) {
            const auto entry = std::find_if(files.begin(), files.end(), [&](const ExtractJob& f) {
                return path_key(f.path) == path_key(member.path);
            });
            *err = error_message(member.path, member.where + " (" + quoted(member.name) + ") and " +
                                                  entry->where + " (" + quoted(entry->name) +
                                                  ") are both written here; nothing was written");
            return false;
        }
    }
    std::vector<ExtractJob> all = files;
    all.insert(all.end(), members.begin(), members.end());
    const ExtractSource archive_sources[] = {{archive_path, archive_size}};
    const std::string inputs[] = {source.image ? game : source.folder.executable_path(),
                                  source.archive_path};
    if (!check_extract_ranges(files, archive_sources, err) ||
        !check_extract_ranges(members, packs, err) || !check_extract_names(all, err) ||
        !check_extract_targets(all, inputs, err)) {
        return false;
    }
    // The archive's bytes are read where they lie: in the image, from the
    // archive's first sector on.
    const ExtractSource read_sources[] = {{source.archive_path, source.archive_file_size}};
    for (ExtractJob& job : files) {
        job.offset += source.archive_offset;
    }

    // Everything is checked. The workspace's lock is taken first, so that
    // two runs never write one workspace at once; from here on the
    // workspace is written.
    FolderMaker maker;
    RunLock workspace_lock;
    if (!maker.make_parents(ws.at(STATE_FILE), err) ||
        !lock_workspace(workspace_path, &workspace_lock, err)) {
        return false;
    }
    auto partial = [&](std::string* e) {
        *e +=
            "; " + workspace_path +
            " holds an unfinished workspace (it has no .modkit/state): remove it and unpack again";
        return false;
    };
    // The archive's digest is read beside the extraction.
    Digest archive_digest, disc_digest, exe_digest = digest_of(image);
    std::string archive_digest_err;
    bool archive_digest_ok = false;
    std::thread archive_digester([&] {
        archive_digest_ok =
            source.image ? digest_range(source.archive_path, source.archive_offset, archive_size,
                                        &archive_digest, &archive_digest_err) &&
                               digest_input(game, &disc_digest, &archive_digest_err)
                         : digest_input(source.archive_path, &archive_digest, &archive_digest_err);
    });
    // Every piece written is hashed on its way, so that no file is read
    // again for its digest; the first bytes tell which files may be images.
    std::vector<JobDigest> file_digests(files.size()), member_digests(members.size());
    const ExtractObserver see_file = [&](std::size_t i, ByteSpan chunk) {
        file_digests[i].add(chunk);
    };
    const ExtractObserver see_member = [&](std::size_t i, ByteSpan chunk) {
        member_digests[i].add(chunk);
    };
    const unsigned workers = extraction_workers();
    progress.stage("writing files", files.size());
    bool ok = run_extraction(
                  files, read_sources, [&](std::size_t i) { progress.advance(1, files[i].length); },
                  err, workers, &see_file);
    if (ok) {
        progress.stage("writing pack members", members.size());
        ok = run_extraction(
            members, packs, [&](std::size_t i) { progress.advance(1, members[i].length); }, err,
            workers, &see_member);
    }
    archive_digester.join();
    if (!ok) {
        return partial(err);
    }
    if (!archive_digest_ok) {
        *err = archive_digest_err;
        return partial(err);
    }

    // Every file written once, in table order, with the digest of what the
    // last job writing it wrote.
    const WorkspaceModel model = build_model(tables, {});
    std::vector<std::string> written_files;
    for (std::size_t i = 0; i < model.archive_files.size(); ++i) {
        written_files.push_back(model.archive_files[i]);
    }
    written_files.insert(written_files.end(), model.members.begin(), model.members.end());
    std::unordered_map<std::string, const JobDigest*> last_writer;
    for (std::size_t i = 0; i < tables.entries.size(); ++i) {
        last_writer[path_key(archive_file_path(tables.entries[i].record.name))] = &file_digests[i];
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
        last_writer[path_key(member_file_path(members[i].name))] = &member_digests[i];
    }
    std::vector<Digest> digests(written_files.size());
    std::vector<bool> candidate(written_files.size(), false);
    for (std::size_t i = 0; i < written_files.size(); ++i) {
        const JobDigest& job = *last_writer.at(path_key(written_files[i]));
        digests[i] = job.result();
        const bool pack = i < model.archive_files.size() && model.is_pack[i];
        candidate[i] = !pack && (job.starts_as_tim2() || has_extension(written_files[i], ".lzr"));
    }

    std::vector<ImageFound> found(written_files.size());
    std::vector<std::string> warnings(written_files.size());
    progress.stage("looking for images", written_files.size());
    ok = run_in_order(
        written_files.size(), workers,
        [&](std::size_t i, std::string* e) {
            progress.advance(1);
            if (!candidate[i]) {
                return true;
            }
            ByteBuffer data;
            if (!read_whole_file(ws.at(written_files[i]), &data, e)) {
                return false;
            }
            LoadedImage loaded;
            std::string reason;
            switch (load_image({data.data(), data.size()}, written_files[i], &loaded, &reason)) {
                case ImageKind::none:
                    break;
                case ImageKind::damaged:
                    warnings[i] =
                        warning_message(ws.at(written_files[i]),
                                        "not exported to PNG, edit it as a file (" + reason + ")");
                    break;
                case ImageKind::image:
                    found[i].file = written_files[i];
                    found[i].pictures = static_cast<std::uint32_t>(loaded.file.pictures.size());
                    break;
            }
            return true;
        },
        [](std::size_t) {}, err);
    if (!ok) {
        return partial(err);
    }

    // PNG names of one image that another image's PNGs already take (an
    // image "a.tm2" of several pictures and one named "a.tm2.0") leave the
    // later image unexported.
    std::set<std::string> png_names;
    std::vector<std::size_t> images;
    std::vector<std::string> png_paths;
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (found[i].pictures == 0) {
            continue;
        }
        std::vector<std::string> names;
        bool taken = false;
        for (std::uint32_t k = 0; k < found[i].pictures; ++k) {
            names.push_back(png_path(found[i].file, k, found[i].pictures));
            taken = taken || png_names.contains(path_key(names.back()));
        }
        if (taken) {
            warnings[i] = warning_message(ws.at(found[i].file),
                                          "not exported to PNG, edit it as a file (another "
                                          "image's PNG has the name its PNG would have)");
            found[i].pictures = 0;
            continue;
        }
        for (const std::string& name : names) {
            png_names.insert(path_key(name));
            png_paths.push_back(ws.at(name));
        }
        images.push_back(i);
    }
    for (const std::string& folder_path : parents_of(png_paths)) {
        if (!maker.make_parents(folder_path + "/", err)) {
            return partial(err);
        }
    }
    progress.stage("writing PNGs", images.size());
    ok = run_in_order(
        images.size(), workers,
        [&](std::size_t k, std::string* e) {
            ImageFound& found_image = found[images[k]];
            ByteBuffer data;
            LoadedImage loaded;
            std::string reason;
            std::vector<ExportedPicture> pictures;
            if (!read_whole_file(ws.at(found_image.file), &data, e)) {
                return false;
            }
            if (load_image({data.data(), data.size()}, found_image.file, &loaded, &reason) !=
                ImageKind::image) {
                *e = error_message(ws.at(found_image.file),
                                   "changed while unpack ran (" + reason + ")");
                return false;
            }
            if (!export_image(loaded, png_path(found_image.file, 0, 1), &pictures, e)) {
                return false;
            }
            for (const ExportedPicture& picture : pictures) {
                AtomicFile png;
                if (!png.open(ws.at(picture.path), e, AtomicFile::NewTarget::in_place,
                              AtomicFile::Target::tree) ||
                    !png.write(picture.png, e) || !png.commit(false, e)) {
                    return false;
                }
                found_image.pngs.emplace_back(picture.path, digest_of(picture.png));
            }
            progress.advance(1);
            return true;
        },
        [](std::size_t) {}, err);
    if (!ok) {
        return partial(err);
    }

    // Every text of every .evd into texts/texts.po, and the .evd files as
    // they are kept beside it as the originals the PO describes.
    std::vector<std::string> evd_files;
    for (std::size_t i = 0; i < written_files.size(); ++i) {
        const bool pack = i < model.archive_files.size() && model.is_pack[i];
        if (!pack && is_evd_path(written_files[i])) {
            evd_files.push_back(written_files[i]);
        }
    }
    progress.stage("reading texts", evd_files.size());
    std::vector<std::vector<std::uint8_t>> evd_bytes(evd_files.size());
    for (std::size_t i = 0; i < evd_files.size(); ++i) {
        ByteBuffer data;
        if (!read_whole_file(ws.at(evd_files[i]), &data, err)) {
            return partial(err);
        }
        evd_bytes[i].assign(data.begin(), data.end());
        progress.advance(1, data.size());
    }
    std::string po;
    std::vector<std::size_t> kept;
    std::vector<std::string> text_warnings;
    if (!maker.make_parents(ws.at(TEXTS_PO), err) ||
        !dump_workspace_texts(ws, evd_files, evd_bytes, table.get(), &po, &kept, &out->texts,
                              &text_warnings, err)) {
        return partial(err);
    }
    std::vector<std::unique_ptr<AtomicFile>> text_outputs;
    auto write_new = [&](const std::string& path, ByteSpan data, std::string* e) {
        text_outputs.push_back(std::make_unique<AtomicFile>());
        AtomicFile& file = *text_outputs.back();
        return maker.make_parents(ws.at(path), e) &&
               file.open(ws.at(path), e, AtomicFile::NewTarget::in_place,
                         AtomicFile::Target::tree) &&
               file.write(data, e) && file.commit(false, e);
    };
    const std::span<const std::uint8_t> po_bytes{reinterpret_cast<const std::uint8_t*>(po.data()),
                                                 po.size()};
    if (!write_new(TEXTS_PO, po_bytes, err) ||
        (table && !write_new(TABLE_COPY, {table_bytes.data(), table_bytes.size()}, err))) {
        return partial(err);
    }
    for (const std::size_t i : kept) {
        if (!write_new(text_original_path(evd_files[i]), {evd_bytes[i].data(), evd_bytes[i].size()},
                       err)) {
            return partial(err);
        }
    }

    WorkspaceState state;
    state.source = source.image ? GameSourceKind::image : GameSourceKind::folder;
    state.source_path = absolute_path(game);
    if (source.image) {
        state.disc = {state.source_path, source.iso.size(), disc_digest};
    }
    state.executable = {source.executable_name, image.size(), exe_digest};
    state.archive = {source.archive_name, archive_size, archive_digest};
    state.table = table != nullptr;
    for (const std::size_t i : kept) {
        state.text_files.push_back(evd_files[i]);
    }
    state.texts = {0, out->texts, 0};
    out->text_files = kept.size();
    state.files.emplace(TEXTS_PO, digest_of(po_bytes));
    state.rpk_layout = tables.rpk.label;
    state.fpack_layout = tables.fpack.label;
    state.archive_size = archive_size;
    for (std::size_t i = 0; i < written_files.size(); ++i) {
        state.files.emplace(written_files[i], digests[i]);
    }
    for (const std::size_t i : images) {
        state.images.push_back({found[i].file, found[i].pictures});
        for (const auto& [path, digest] : found[i].pngs) {
            state.files.emplace(path, digest);
        }
        ++out->images;
        out->pictures += found[i].pictures;
    }
    state.files.emplace(EXECUTABLE_COPY, exe_digest);
    const std::string text = format_state(state);
    AtomicFile exe_copy, state_file;
    AtomicFile* const both[] = {&exe_copy, &state_file};
    if (!exe_copy.open(ws.at(EXECUTABLE_COPY), err) || !exe_copy.write(image, err) ||
        !state_file.open(ws.at(STATE_FILE), err) ||
        !state_file.write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, err) ||
        !commit_together(both, false, err)) {
        return partial(err);
    }
    out->archive_files = model.archive_files.size();
    out->members = model.members.size();
    for (std::string& warning : warnings) {
        if (!warning.empty()) {
            out->warnings.push_back(std::move(warning));
        }
    }
    out->warnings.insert(out->warnings.end(), text_warnings.begin(), text_warnings.end());
    return true;
}
