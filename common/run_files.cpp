#include "common/run_files.h"

#include <optional>

#include "common/message.h"
#include "common/names.h"
#include "common/platform/file_io.h"

namespace {

// What a path names: the file itself when it exists, otherwise its folder and
// the name it would have there.
struct Identity {
    FileId id;
    bool exists = false;
    std::string name;  ///< the last component's `path_key`, for a file that does not exist

    bool operator==(const Identity&) const = default;
};

std::optional<Identity> identify(const std::string& path) {
    FileStatus status;
    std::string ignored;
    if (path.empty() || !file_status(path, &status, &ignored)) {
        return std::nullopt;
    }
    if (status.kind != FileKind::missing) {
        return Identity{status.id, true, {}};
    }
    std::string folder, name;
    split_path(path, &folder, &name);
    FileStatus parent;
    if (!file_status(folder, &parent, &ignored) || parent.kind != FileKind::directory) {
        return std::nullopt;
    }
    return Identity{parent.id, false, path_key(name)};
}

std::string clash(const RunFile& output, const RunFile& other) {
    std::string what = output.role + " is the same file as " + other.role;
    if (other.path != output.path) {
        what += " (" + other.path + ")";
    }
    return error_message(output.path, what + "; nothing was written");
}

// A file without a name: refused by the name the usage line gives it.
bool refuse_empty(std::span<const RunFile> files, std::string* err) {
    for (const RunFile& file : files) {
        if (file.path.empty()) {
            *err = error_message(
                "", "the path given as " + file.role + " is empty; nothing was written");
            return false;
        }
    }
    return true;
}

}  // namespace

bool check_run_files(std::span<const RunFile> inputs, std::span<const RunFile> outputs,
                     std::vector<bool>* replaces_input, std::string* err) {
    if (!refuse_empty(inputs, err) || !refuse_empty(outputs, err)) {
        return false;
    }
    std::vector<std::optional<Identity>> input_ids;
    for (const RunFile& input : inputs) {
        input_ids.push_back(identify(input.path));
    }
    std::vector<std::optional<Identity>> output_ids;
    replaces_input->assign(outputs.size(), false);
    for (std::size_t o = 0; o < outputs.size(); ++o) {
        const std::optional<Identity> id = identify(outputs[o].path);
        for (std::size_t i = 0; id && i < inputs.size(); ++i) {
            if (input_ids[i] != id) {
                continue;
            }
            if (outputs[o].may_replace != static_cast<int>(i)) {
                *err = clash(outputs[o], inputs[i]);
                return false;
            }
            (*replaces_input)[o] = true;
        }
        for (std::size_t p = 0; id && p < o; ++p) {
            if (output_ids[p] == id) {
                *err = clash(outputs[o], outputs[p]);
                return false;
            }
        }
        output_ids.push_back(id);
    }
    return true;
}

bool same_file(const std::string& a, const std::string& b) {
    const std::optional<Identity> x = identify(a);
    return x && x == identify(b);
}

std::string shown_link_target(const std::string& final_path) {
    return final_path.starts_with("./") ? final_path.substr(2) : final_path;
}
