// brenmark: dumps the texts of .evd files to a plain-text script, a PO file
// or a CSV file, and builds new .evd files from the edited ones.
//
//   brenmark [--table T] <input.evd> <script.txt>              dump
//   brenmark [--table T] <input.evd> <script.txt> <output.evd> insert
//   brenmark [--table T] <folder> <texts.po|.csv>              dump every .evd below the folder
//   brenmark [--table T] <folder> <texts.po|.csv> <out folder> insert: only changed .evd files
//
// The script's extension says its format (.po and .pot, .csv, anything else
// the plain script). Every output is written whole to a temporary file
// beside it and renamed into place only when complete (a folder insert
// replaces all its files together or none), so a failed run leaves existing
// files as they were; an output .evd may be its input.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "brenmark/evd_format.h"
#include "brenmark/text_files.h"
#include "common/message.h"
#include "common/platform/file_io.h"
#include "common/platform/host.h"
#include "common/run_files.h"
#include "common/tool.h"

namespace {

// The script has its own open-failure message, without the system's reason.
int script_open_failed(const std::string& path) {
    return fail("Could not open " + path);
}

std::span<const std::uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string base_name(const std::string& path) {
    std::string folder, name;
    split_path(path, &folder, &name);
    return name;
}

std::string folder_of(const std::string& path) {
    std::string folder, name;
    split_path(path, &folder, &name);
    return folder;
}

// What stands at the script's path before a dump replaces it. A file holding
// a zero byte is no script (a shell pattern such as *.evd may have put an
// .evd there) and is never replaced; a script with other texts than the new
// one is kept as NAME~, so that dumping again never destroys a translator's
// edits.
bool keep_old_script(const std::string& path, const std::string& script, std::string* err) {
    FileStatus status;
    if (!file_status(path, &status, err)) {
        return false;
    }
    if (status.kind != FileKind::regular) {
        return true;  // nothing there, or a device or pipe that takes the script as it comes
    }
    ByteBuffer old;
    if (!read_whole_file(path, &old, err)) {
        return false;
    }
    if (std::memchr(old.data(), 0, old.size()) != nullptr) {
        *err = error_message(path,
                             "holds zero bytes, so it is not a script; it was left as it is (did "
                             "a shell pattern such as *.evd name more than one file?)");
        return false;
    }
    if (old.size() == script.size() && std::memcmp(old.data(), script.data(), old.size()) == 0) {
        return true;
    }
    return write_whole_file(path + "~", old, err);
}

// The nearest folder that exists at or above `path` (which it replaces).
bool existing_folder(std::string* path, std::string* err) {
    for (;;) {
        FileStatus status;
        if (!file_status(*path, &status, err)) {
            return false;
        }
        if (status.kind == FileKind::directory) {
            return true;
        }
        std::string parent, name;
        split_path(*path, &parent, &name);
        if (parent == *path || name.empty()) {
            *err = error_message(*path, "no folder to write into");
            return false;
        }
        *path = parent;
    }
}

// The command line once `--table FILE` is taken out of it.
struct Arguments {
    std::string program;
    std::string table;
    std::vector<std::string> positional;
};

int dump(const Arguments& args, const ByteBuffer& input, const TextTable* table, bool folder) {
    const std::string& input_path = args.positional[0];
    const std::string& script_path = args.positional[1];
    const ScriptKind kind = script_kind(script_path);
    std::string err;
    AtomicFile script_file;
    if (!script_file.open(script_path, &err)) {
        return script_open_failed(script_path);
    }
    std::string script;
    if (kind == ScriptKind::plain) {
        EvdFile evd;
        if (!parse_evd(input, input_path, &evd, &err)) {
            return fail(err);
        }
        script = make_script(evd, table, text_line_end());
    } else {
        std::vector<EvdPath> files;
        if (folder) {
            std::vector<std::string> names;
            std::vector<std::string> warnings;
            const bool found = find_evd_files(input_path, &names, &warnings, &err);
            for (const std::string& w : warnings) {
                warn(w);
            }
            if (!found) {
                return fail(err);
            }
            for (std::string& name : names) {
                files.push_back({input_path + "/" + name, std::move(name)});
            }
        } else {
            files.push_back({input_path, base_name(input_path)});
        }
        if (!dump_translation_file(files, table, kind, script_path, &script, &err)) {
            return fail(err);
        }
    }
    if (!keep_old_script(script_path, script, &err) || !script_file.write(bytes_of(script), &err) ||
        !script_file.commit(false, &err)) {
        return fail(err);
    }
    return 0;
}

// Reads the script of an insert: a plain script may come from another
// program (a pipe) and is read to its end.
bool read_plain_script(const std::string& path, std::string* script, int* status) {
    std::string err;
    FileStatus file;
    if (!file_status(path, &file, &err)) {
        *status = fail(err);
        return false;
    }
    if (file.kind == FileKind::missing) {
        *status = script_open_failed(path);
        return false;
    }
    if (!read_stream(path, script, &err)) {
        *status = err.starts_with("Could not open ") ? script_open_failed(path) : fail(err);
        return false;
    }
    return true;
}

int insert_plain(const Arguments& args, const ByteBuffer& input, const TextTable* table,
                 bool durable) {
    const std::string& input_path = args.positional[0];
    const std::string& script_path = args.positional[1];
    const std::string& output_path = args.positional[2];
    std::string script;
    int status = 0;
    if (!read_plain_script(script_path, &script, &status)) {
        return status;
    }
    std::string err;
    AtomicFile output_file;
    if (!output_file.open(output_path, &err)) {
        return fail(err);
    }
    EvdFile evd;
    std::vector<std::uint8_t> output;
    std::string warning;
    if (!parse_evd(input, input_path, &evd, &err) ||
        !insert_script(evd, script, script_path, table, &output, &warning, &err)) {
        return fail(err);
    }
    if (!warning.empty()) {
        warn(warning);
    }
    if (!output_file.write(output, &err) || !output_file.commit(durable, &err)) {
        return fail(err);
    }
    return 0;
}

// Inserts a PO or CSV file into one .evd, or into every .evd below a folder.
int insert_translation(const Arguments& args, const ByteBuffer& input, const TextTable* table,
                       bool folder, bool durable) {
    const std::string& input_path = args.positional[0];
    const std::string& script_path = args.positional[1];
    const std::string& output_path = args.positional[2];
    std::string err;
    FileStatus status;
    if (!file_status(script_path, &status, &err)) {
        return fail(err);
    }
    if (status.kind == FileKind::missing) {
        return script_open_failed(script_path);
    }
    std::vector<std::string> names;
    std::vector<std::string> warnings;
    if (folder) {
        FileStatus out;
        if (!file_status(output_path, &out, &err)) {
            return fail(err);
        }
        if (out.kind != FileKind::missing && out.kind != FileKind::directory) {
            return fail(error_message(output_path, "the output of a folder must be a folder"));
        }
        const bool found = find_evd_files(input_path, &names, &warnings, &err);
        for (const std::string& w : warnings) {
            warn(w);
        }
        warnings.clear();
        if (!found) {
            return fail(err);
        }
    } else {
        names.push_back(base_name(input_path));
    }
    // The output of a single .evd is written whatever changed; its folder
    // must take it before anything is read.
    std::vector<std::unique_ptr<AtomicFile>> outputs;
    if (!folder) {
        outputs.push_back(std::make_unique<AtomicFile>());
        if (!outputs.back()->open(output_path, &err)) {
            return fail(err);
        }
    }
    // libgettextpo's scratch files go where the outputs go (the output
    // folder itself is made only when a file is written into it).
    std::string scratch = folder ? output_path : folder_of(output_path);
    if (!existing_folder(&scratch, &err)) {
        return fail(err);
    }
    FolderMaker folders;
    Translations translations(script_path);
    const bool read = read_translation_file(script_path, script_kind(script_path), scratch,
                                            &translations, &warnings, &err);
    for (const std::string& w : warnings) {
        warn(w);
    }
    if (!read) {
        return fail(err);
    }
    InsertCounts counts;
    for (const std::string& name : names) {
        ByteBuffer read_bytes;
        if (folder && !read_whole_file(input_path + "/" + name, &read_bytes, &err)) {
            return fail(err);
        }
        const ByteBuffer& bytes = folder ? read_bytes : input;
        std::vector<std::uint8_t> changed_bytes;
        bool changed = false;
        if (!translations.apply({name, bytes}, table, &changed_bytes, &changed, &counts, &err)) {
            return fail(err);
        }
        const std::span<const std::uint8_t> result =
            changed ? std::span<const std::uint8_t>(changed_bytes)
                    : std::span<const std::uint8_t>(bytes.data(), bytes.size());
        if (!folder) {
            if (!outputs.back()->write(result, &err) || !outputs.back()->finish(false, &err)) {
                return fail(err);
            }
            continue;
        }
        if (!changed) {
            continue;  // only the files in which a text changed are written
        }
        const std::string out = output_path + "/" + name;
        if (same_file(out, script_path) || (!args.table.empty() && same_file(out, args.table))) {
            return fail(error_message(out,
                                      "an output .evd is the same file as an input; nothing "
                                      "was written"));
        }
        auto file = std::make_unique<AtomicFile>();
        if (!folders.make_parents(out, &err) || !file->open(out, &err) ||
            !file->write(result, &err) || !file->finish(false, &err)) {
            return fail(err);
        }
        outputs.push_back(std::move(file));
    }
    if (!translations.check_all_used(&err)) {
        return fail(err);
    }
    if (!folder) {
        counts.files_written = outputs.size();
    }
    std::vector<AtomicFile*> files;
    for (auto& file : outputs) {
        files.push_back(file.get());
    }
    if (!commit_together(files, durable, &err)) {
        return fail(err);
    }
    const std::string fuzzy = fuzzy_warning(translations, counts);
    if (!fuzzy.empty()) {
        warn(fuzzy);
    }
    std::printf("%s\n", insert_summary(counts).c_str());
    return 0;
}

// Takes `--table FILE` out of the arguments, wherever it stands.
bool parse_arguments(int argc, char** argv, Arguments* out) {
    out->program = argc > 0 ? argv[0] : "brenmark";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--table") {
            if (i + 1 >= argc || !out->table.empty()) {
                return false;
            }
            out->table = argv[++i];
            continue;
        }
        out->positional.push_back(arg);
    }
    return out->positional.size() >= 2;
}

int brenmark(int argc, char** argv) {
    Arguments args;
    if (!parse_arguments(argc, argv, &args)) {
        return print_usage(TOOL_PAGE, args.program.c_str());
    }
    const std::string& input_path = args.positional[0];
    const std::string& script_path = args.positional[1];
    const bool insert_mode = args.positional.size() > 2 && !args.positional[2].empty();
    const bool plain = script_kind(script_path) == ScriptKind::plain;

    std::string err;
    FileStatus input_status;
    if (!file_status(input_path, &input_status, &err)) {
        return fail(err);
    }
    const bool folder = input_status.kind == FileKind::directory;
    if (folder && plain) {
        return fail(error_message(script_path,
                                  "a folder's texts go into a .po or .csv file, not a script"));
    }
    std::vector<bool> replaces_input;
    const RunFile evd_input{input_path, folder ? "<input folder>" : "<input.evd>"};
    const RunFile script{script_path, "<script.txt>"};
    std::vector<RunFile> inputs = folder ? std::vector<RunFile>{} : std::vector<RunFile>{evd_input};
    if (insert_mode) {
        inputs.push_back(script);
    }
    if (!args.table.empty()) {
        inputs.push_back({args.table, "<table>"});
    }
    std::vector<RunFile> outputs;
    if (!insert_mode) {
        outputs.push_back(script);
    } else if (!folder) {
        outputs.push_back({args.positional[2], "[output.evd]", 0});
    }
    if (!check_run_files(inputs, outputs, &replaces_input, &err)) {
        return fail(err);
    }
    ByteBuffer input;  // a single .evd, read before the script is looked at
    if (!folder && !read_whole_file(input_path, &input, &err)) {
        return fail(err);
    }
    std::unique_ptr<TextTable> table;
    if (!args.table.empty()) {
        std::vector<std::string> warnings;
        const bool loaded = load_table(args.table, &table, &warnings, &err);
        for (const std::string& w : warnings) {
            warn(w);
        }
        if (!loaded) {
            return fail(err);
        }
    }
    if (!insert_mode) {
        return dump(args, input, table.get(), folder);
    }
    // An insert over its input replaces the only copy of its texts.
    const bool durable = folder ? same_file(input_path, args.positional[2]) : replaces_input[0];
    return plain ? insert_plain(args, input, table.get(), durable)
                 : insert_translation(args, input, table.get(), folder, durable);
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool(brenmark, TOOL_PAGE, argc, argv);
}
