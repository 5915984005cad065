// Where things lie in a workspace, and which of its files belong together.
//
//   files/                every archive file under its stored name (packs included)
//   files/fpack_extract/  every pack member under its stored name
//   images/               a PNG of every picture of every TIM2 image among them
//   .modkit/state         the state (modkit/state.h)
//   .modkit/executable    the executable the packs below files/ belong to
//
// Paths here are relative to the workspace, with `/` between folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/platform/file_io.h"
#include "modkit/game.h"
#include "modkit/state.h"

inline constexpr std::string_view FILES_FOLDER = "files/";
inline constexpr std::string_view IMAGES_FOLDER = "images/";
inline const std::string STATE_FILE = ".modkit/state";
inline const std::string EXECUTABLE_COPY = ".modkit/executable";
/// Where pack writes files before they are complete (removed by every run).
inline const std::string STAGING_FOLDER = ".modkit/staging";
/// Held by unpack and pack while they write the workspace (RunLock).
inline const std::string LOCK_FILE = ".modkit/lock";

/// Takes the workspace's lock for a run that writes it; the message when
/// another run holds it says so.
bool lock_workspace(const std::string& workspace, RunLock* lock, std::string* err);

/// The workspace path of an archive file, and of a pack member.
std::string archive_file_path(std::string_view stored_name);
std::string member_file_path(std::string_view stored_name);

/// The workspace path of the PNG of picture `index` of `count` of the image
/// at workspace path `image_file` (files/x.tm2 -> images/x.tm2.png, or
/// images/x.tm2.0.png ... for several pictures).
std::string png_path(const std::string& image_file, std::size_t index, std::size_t count);

/// A workspace on disk.
struct Workspace {
    std::string root;
    /// The host path of a workspace path.
    std::string at(std::string_view path) const { return root + "/" + std::string(path); }
};

/// Which files of a workspace belong together, from the executable's tables
/// and the images the state lists. Every path appears once, also where
/// several entries or members name one file (in another spelling, or in
/// another case where the file system ignores case).
struct WorkspaceModel {
    struct Pack {
        std::uint32_t index = 0;           ///< in the pack directory
        std::string file;                  ///< workspace path of the pack
        std::vector<std::size_t> members;  ///< into `members`, one per member record
    };
    struct Image {
        std::string file;               ///< the image: an archive file or a member
        std::vector<std::string> pngs;  ///< one per picture
    };
    std::vector<std::string> archive_files;  ///< every archive file, packs included
    std::vector<bool> is_pack;               ///< per archive file
    std::vector<Pack> packs;                 ///< per pack with members, in directory order
    std::vector<std::string> members;        ///< every member file
    std::vector<Image> images;
};

WorkspaceModel build_model(const GameTables& tables, const std::vector<ImageRecord>& images);

/// A workspace as status and pack find it.
struct OpenedWorkspace {
    Workspace workspace;
    WorkspaceState state;
    MappedFile executable;  ///< .modkit/executable, mapped privately (patching stays in memory)
    GameTables tables;      ///< names are views into `executable`
    WorkspaceModel model;
};

/// Reads the state of the workspace at `path`, maps its executable and walks
/// its tables with the layouts the state names. A folder without a state is
/// no workspace (or an unpack that did not finish), and says so.
bool open_workspace(const std::string& path, OpenedWorkspace* out, std::string* err);
