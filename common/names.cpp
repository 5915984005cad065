#include "common/names.h"

#include <cctype>

std::string host_path(std::string_view stored) {
    std::string path(stored);
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

std::string unsafe_name_reason(std::string_view stored) {
    if (stored.empty()) {
        return "empty name";
    }
    // The system reads a path only up to its first zero byte, so a name such
    // as "..\0x" would pass every check below and still climb out.
    if (stored.find('\0') != std::string_view::npos) {
        return "zero byte in the name";
    }
    if (stored[0] == '/' || stored[0] == '\\') {
        return "absolute path";
    }
    if (stored.size() >= 2 && stored[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(stored[0]))) {
        return "drive prefix";
    }
    const char last = stored.back();
    if (last == '/' || last == '\\') {
        return "no file name after the last separator";
    }
    std::size_t start = 0;
    while (start <= stored.size()) {
        std::size_t end = stored.find_first_of("/\\", start);
        if (end == std::string_view::npos) {
            end = stored.size();
        }
        const std::string_view component = stored.substr(start, end - start);
        if (component == "..") {
            return "'..' component";
        }
        if (component == "." && end == stored.size()) {
            return "'.' as the file name";
        }
        start = end + 1;
    }
    return {};
}

bool has_extension(std::string_view path, std::string_view extension) {
    if (path.size() < extension.size()) {
        return false;
    }
    const std::string_view end = path.substr(path.size() - extension.size());
    for (std::size_t i = 0; i < end.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(end[i])) !=
            std::tolower(static_cast<unsigned char>(extension[i]))) {
            return false;
        }
    }
    return true;
}
