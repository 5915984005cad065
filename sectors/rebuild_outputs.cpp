#include "sectors/rebuild_outputs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/message.h"

void RebuildReads::add(std::span<const PackJob> jobs, std::span<const FileId> ids) {
    files_.reserve(files_.size() + jobs.size());
    for (std::size_t i = 0; i < jobs.size() && i < ids.size(); ++i) {
        files_.try_emplace(ids[i], &jobs[i]);
    }
}

const PackJob* RebuildReads::find(const std::string& path, std::string* err, bool* failed) const {
    *failed = false;
    FileStatus status;
    if (!file_status(path, &status, err)) {
        *failed = true;
        return nullptr;
    }
    if (status.kind == FileKind::missing) {
        return nullptr;
    }
    const auto found = files_.find(status.id);
    return found == files_.end() ? nullptr : found->second;
}

bool check_output_not_read(const std::string& output, std::string_view role,
                           const RebuildReads& reads, std::string* err) {
    bool failed = false;
    const PackJob* job = reads.find(output, err, &failed);
    if (failed) {
        return false;
    }
    if (job == nullptr) {
        return true;
    }
    const std::string place = job->where + " (" + quoted(job->name) + ")";
    *err = error_message(
        output, std::string(role) +
                    (job->path == output ? " is the file"
                                         : " is the same file as " + job->path + ", the file") +
                    " this rebuild reads for " + place + "; nothing was written");
    return false;
}

std::string_view recognise_contents(ByteSpan head) {
    auto starts = [&](const char* magic, std::size_t n) {
        return head.size() >= n && std::memcmp(head.data(), magic, n) == 0;
    };
    if (starts("\x7F"
               "ELF",
               4)) {
        return "an ELF executable";
    }
    if (starts("TIM2", 4)) {
        return "a TIM2 image";
    }
    if (starts("\x89PNG\r\n\x1A\n", 8)) {
        return "a PNG image";
    }
    // Text: printable ASCII, line ends and tabs, and whole UTF-8 sequences
    // (one cut by the end of `head` counts).
    bool text = !head.empty();
    for (std::size_t i = 0; text && i < head.size();) {
        const std::uint8_t c = head[i];
        std::size_t more = 0;
        if (c < 0x80) {
            text = (c >= 0x20 && c != 0x7F) || c == '\n' || c == '\r' || c == '\t';
        } else if (c >= 0xC2 && c <= 0xF4) {
            more = c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        } else {
            text = false;
        }
        ++i;
        for (; text && more > 0 && i < head.size(); --more, ++i) {
            text = (head[i] & 0xC0) == 0x80;
        }
    }
    return text ? "text" : "";
}

bool check_output_executable(const std::string& path, std::string_view role, std::string* err) {
    FileStatus status;
    if (!file_status(path, &status, err)) {
        return false;
    }
    if (status.kind != FileKind::regular) {
        return true;  // nothing to lose, or written directly, or refused when opened
    }
    constexpr std::size_t SHOWN = 8;
    std::uint8_t head[SHOWN] = {};
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(status.size, SHOWN));
    FileHandle file;
    std::uint64_t size = 0;
    if (!open_input(path, &file, &size, err) || !read_exact_at(file, 0, {head, n}, path, err)) {
        return false;
    }
    if (n >= 4 && std::memcmp(head,
                              "\x7F"
                              "ELF",
                              4) == 0) {
        return true;
    }
    std::string holds = "it holds " + std::to_string(status.size) + " bytes";
    if (n > 0) {
        holds += " starting with";
        for (std::size_t i = 0; i < n; ++i) {
            char byte[4];
            std::snprintf(byte, sizeof byte, " %02X", head[i]);
            holds += byte;
        }
        const std::string_view kind = recognise_contents({head, n});
        if (!kind.empty()) {
            holds += ", " + std::string(kind);
        }
    }
    *err =
        error_message(path, std::string(role) +
                                " names an existing file that is not an ELF executable (" + holds +
                                "), which the new executable would replace; nothing was "
                                "written");
    return false;
}
