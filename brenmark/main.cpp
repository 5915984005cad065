// brenmark: dumps the texts of an .evd file to a plain-text script, or builds
// a new .evd from the old one and an edited script.
//
//   brenmark <input.evd> <script.txt>              dump
//   brenmark <input.evd> <script.txt> <output.evd> insert
//
// Every output is written whole to a temporary file beside it and renamed
// into place only when complete, so a failed run leaves existing files as
// they were and no partial file behind; the output .evd may be the input.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "brenmark/evd_format.h"
#include "common/platform/file_io.h"
#include "common/platform/host.h"
#include "common/run_files.h"
#include "common/tool.h"

namespace {

const char* const BANNER = "brenmark v1.0";
const char* const USAGE = "usage: %s <input.evd> <script.txt> [output.evd]\n";

// The script has its own open-failure message, without the system's reason.
int script_open_failed(const std::string& path) {
    return fail("Could not open " + path);
}

std::span<const std::uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
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
        *err = "Error: " + path +
               ": holds zero bytes, so it is not a script; it was left as it is (did a shell "
               "pattern such as *.evd name more than one file?)";
        return false;
    }
    if (old.size() == script.size() && std::memcmp(old.data(), script.data(), old.size()) == 0) {
        return true;
    }
    return write_whole_file(path + "~", old, err);
}

int dump(const std::string& input_path, ByteSpan input, const std::string& script_path) {
    std::string err;
    AtomicFile script_file;
    if (!script_file.open(script_path, &err)) {
        return script_open_failed(script_path);
    }
    EvdFile evd;
    std::string script;
    if (!parse_evd(input, input_path, &evd, &err) ||
        !make_script(evd, input_path, &script, &err, text_line_end()) ||
        !keep_old_script(script_path, script, &err) || !script_file.write(bytes_of(script), &err) ||
        !script_file.commit(false, &err)) {
        return fail(err);
    }
    return 0;
}

int insert(const std::string& input_path, ByteSpan input, const std::string& script_path,
           const std::string& output_path, bool durable) {
    std::string err;
    // The script may come from another program (a pipe) and is read to its end.
    std::string script;
    FileStatus status;
    if (!file_status(script_path, &status, &err)) {
        return fail(err);
    }
    if (status.kind == FileKind::missing) {
        return script_open_failed(script_path);
    }
    if (!read_stream(script_path, &script, &err)) {
        return err.starts_with("Could not open ") ? script_open_failed(script_path) : fail(err);
    }
    AtomicFile output_file;
    if (!output_file.open(output_path, &err)) {
        return fail(err);
    }
    EvdFile evd;
    std::vector<std::uint8_t> output;
    std::string warning;
    if (!parse_evd(input, input_path, &evd, &err) ||
        !insert_script(evd, script, script_path, &output, &warning, &err)) {
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

int brenmark(int argc, char** argv) {
    if (argc < 3) {
        return print_usage(BANNER, USAGE, argc > 0 ? argv[0] : "brenmark");
    }
    const std::string input_path = argv[1];
    const std::string script_path = argv[2];
    const bool insert_mode = argc > 3 && argv[3][0] != '\0';

    std::string err;
    std::vector<bool> replaces_input;
    const RunFile evd_input{input_path, "<input.evd>"};
    const RunFile script{script_path, "<script.txt>"};
    const std::vector<RunFile> inputs =
        insert_mode ? std::vector<RunFile>{evd_input, script} : std::vector<RunFile>{evd_input};
    const std::vector<RunFile> outputs = insert_mode
                                             ? std::vector<RunFile>{{argv[3], "[output.evd]", 0}}
                                             : std::vector<RunFile>{script};
    if (!check_run_files(inputs, outputs, &replaces_input, &err)) {
        return fail(err);
    }
    ByteBuffer input;
    if (!read_whole_file(input_path, &input, &err)) {
        return fail(err);
    }
    if (insert_mode) {
        // An insert over the input replaces the only copy of its texts.
        return insert(input_path, input, script_path, argv[3], replaces_input[0]);
    }
    return dump(input_path, input, script_path);
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool(brenmark, argc, argv);
}
