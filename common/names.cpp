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

std::vector<std::string_view> path_components(std::string_view path) {
    std::vector<std::string_view> components;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find_first_of("/\\", start);
        if (end == std::string_view::npos) {
            components.push_back(path.substr(start));
            return components;
        }
        components.push_back(path.substr(start, end - start));
        start = end + 1;
    }
}

std::string same_file_key(std::string_view path) {
    std::string key;
    key.reserve(path.size());
    for (const std::string_view component : path_components(path)) {
        if (!component.empty() && component != ".") {
            if (!key.empty()) {
                key += '/';
            }
            key += component;
        }
    }
    return path_key(key);
}

namespace {

// Whether `text` is well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
        const unsigned char lead = byte(i);
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;  // range of the second byte
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (text.size() - i < length || byte(i + 1) < low || byte(i + 1) > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Whether Windows opens a device for a component: its part before the first
// dot, blanks at the end dropped, is a device name.
bool is_windows_device(std::string_view component) {
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') {
        base.remove_suffix(1);
    }
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (equal_ignoring_case(base, device)) {
            return true;
        }
    }
    // COM and LPT with a digit, or with a superscript 1, 2 or 3 (in UTF-8).
    if (base.size() < 4 || !(equal_ignoring_case(base.substr(0, 3), "COM") ||
                             equal_ignoring_case(base.substr(0, 3), "LPT"))) {
        return false;
    }
    const std::string_view number = base.substr(3);
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

// The Windows refusals of one component (not empty, not "." or "..").
std::string windows_component_reason(std::string_view component) {
    if (component.back() == '.') {
        return "a component ending in a dot, which Windows drops";
    }
    if (component.back() == ' ') {
        return "a component ending in a blank, which Windows drops";
    }
    if (is_windows_device(component)) {
        return "\"" + std::string(component) + "\" names a device on Windows";
    }
    return {};
}

}  // namespace

std::string unsafe_name_reason(std::string_view stored, NameRules rules) {
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
    const bool windows = rules == NameRules::windows;
    if (windows) {
        for (const char c : stored) {
            if (static_cast<unsigned char>(c) < 0x20) {
                return "control character, which Windows does not allow in a name";
            }
        }
        if (stored.find(':') != std::string_view::npos) {
            return "':', which would name a data stream on Windows";
        }
        const std::size_t special = stored.find_first_of("<>\"|?*");
        if (special != std::string_view::npos) {
            return std::string("'") + stored[special] + "', which Windows does not allow in a name";
        }
        if (!is_utf8(stored)) {
            return "not UTF-8, which Windows cannot hold as a name";
        }
    }
    const std::vector<std::string_view> components = path_components(stored);
    for (const std::string_view component : components) {
        if (component == "..") {
            return "'..' component";
        }
        // "a/./b" and "a//b" name nothing more than "a/b".
        if (windows && !component.empty() && component != ".") {
            std::string reason = windows_component_reason(component);
            if (!reason.empty()) {
                return reason;
            }
        }
    }
    if (components.back() == ".") {
        return "'.' as the file name";
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
