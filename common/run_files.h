// The files one run of a tool reads and writes, checked against each other
// before anything is written.
#pragma once

#include <span>
#include <string>
#include <vector>

/// A file named on the command line, with the name the usage line gives it.
struct RunFile {
    std::string path;
    std::string role;  ///< e.g. "<input.evd>"
    /// For an output: the input it may replace (an in-place edit), or -1.
    int may_replace = -1;
};

/// Refuses a file whose path is empty, by its role ("Error: the path given
/// as <output.lzr> is empty; nothing was written"), and an output that is
/// the same file as an input (other than the one
/// it may replace) or as another output: such a run would destroy a file it
/// still needs, or write one output over the other. Files are the same when
/// they are one file on disk (hard or symbolic links, other spellings of the
/// path) or, for an output that does not exist yet, the same name in the
/// same folder. Gives for each output whether it replaces one of the inputs
/// (an in-place edit, whose new data must reach the disk before the old data
/// is gone).
bool check_run_files(std::span<const RunFile> inputs, std::span<const RunFile> outputs,
                     std::vector<bool>* replaces_input, std::string* err);

/// Whether two paths name the same file in the sense above; false when
/// either cannot be looked at.
bool same_file(const std::string& a, const std::string& b);

/// The file an output that is a symbolic link leads to (AtomicFile's
/// `final_path`), as messages name it: without the "./" that stands before
/// a name in the current folder.
std::string shown_link_target(const std::string& final_path);
