#include "modkit/workspace.h"

#include <unordered_map>

#include "common/message.h"
#include "common/names.h"
#include "tillet/fpack_rebuild.h"
#include "tm2png/tm2png.h"

std::string archive_file_path(std::string_view stored_name) {
    return std::string(FILES_FOLDER) + host_path(stored_name);
}

std::string member_file_path(std::string_view stored_name) {
    return std::string(FILES_FOLDER) + fpack_member_path(stored_name);
}

std::string png_path(const std::string& image_file, std::size_t index, std::size_t count) {
    const std::string below =
        image_file.starts_with(FILES_FOLDER) ? image_file.substr(FILES_FOLDER.size()) : image_file;
    return picture_png_path(std::string(IMAGES_FOLDER) + below + ".png", index, count);
}

namespace {

// Paths in the order first met, each once by the system's notion of a name.
class UniquePaths {
  public:
    explicit UniquePaths(std::vector<std::string>* paths) : paths_(paths) {}
    /// The index of `path`, added if new.
    std::size_t add(const std::string& path) {
        const auto [it, added] = index_.try_emplace(path_key(path), paths_->size());
        if (added) {
            paths_->push_back(path);
        }
        return it->second;
    }

  private:
    std::vector<std::string>* paths_;
    std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace

WorkspaceModel build_model(const GameTables& tables, const std::vector<ImageRecord>& images) {
    WorkspaceModel model;
    UniquePaths files(&model.archive_files);
    for (const RpkEntry& entry : tables.entries) {
        files.add(archive_file_path(entry.record.name));
    }
    model.is_pack.assign(model.archive_files.size(), false);
    UniquePaths members(&model.members);
    for (std::uint32_t index = 0; index < tables.directory.packs.size(); ++index) {
        const FpackPack& pack = tables.directory.packs[index];
        if (pack.members.empty()) {
            continue;  // reads nothing, rebuilds nothing
        }
        WorkspaceModel::Pack p{index, archive_file_path(pack.name), {}};
        model.is_pack[files.add(p.file)] = true;
        for (const FpackMember& member : pack.members) {
            p.members.push_back(members.add(member_file_path(member.name)));
        }
        model.packs.push_back(std::move(p));
    }
    for (const ImageRecord& image : images) {
        WorkspaceModel::Image i{image.file, {}};
        for (std::uint32_t k = 0; k < image.pictures; ++k) {
            i.pngs.push_back(png_path(image.file, k, image.pictures));
        }
        model.images.push_back(std::move(i));
    }
    return model;
}

bool lock_workspace(const std::string& workspace, RunLock* lock, std::string* err) {
    bool busy = false;
    if (lock->take(Workspace{workspace}.at(LOCK_FILE), &busy, err)) {
        return true;
    }
    if (busy) {
        *err = error_message(workspace,
                             "is being written by another modkit run (an unpack or pack that "
                             "has not ended); nothing was written");
    }
    return false;
}

bool open_workspace(const std::string& path, OpenedWorkspace* out, std::string* err) {
    out->workspace = {path};
    const std::string state_path = out->workspace.at(STATE_FILE);
    FileStatus status;
    if (!file_status(state_path, &status, err)) {
        return false;
    }
    if (status.kind == FileKind::missing) {
        *err = error_message(path,
                             "is not a modkit workspace (it has no .modkit/state; a "
                             "workspace whose unpack did not finish has none either)");
        return false;
    }
    ByteBuffer text;
    if (!read_whole_file(state_path, &text, err) ||
        !parse_state({reinterpret_cast<const char*>(text.data()), text.size()}, state_path,
                     &out->state, err) ||
        !out->executable.open(out->workspace.at(EXECUTABLE_COPY), err) ||
        !read_tables(std::as_const(out->executable).bytes(), out->state.archive_size,
                     out->workspace.at(EXECUTABLE_COPY), out->state.rpk_layout,
                     out->state.fpack_layout, &out->tables, err)) {
        return false;
    }
    out->model = build_model(out->tables, out->state.images);
    return true;
}
