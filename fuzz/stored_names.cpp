// Fuzz target: the stored-name rule. A name the rule accepts must, once made
// a host path, stay below the working folder: resolved lexically component
// by component it never climbs above its start, it is not absolute, and it
// names a file rather than a folder. A name the Windows rules accept must
// besides hold nothing Windows would read as something else: no device name
// as a component, no character Windows refuses, no component that Windows
// would shorten; and the Windows rules accept nothing the POSIX rules refuse.
//
// The system sees a path only up to its first zero byte, so that is the path
// checked here.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/names.h"
#include "fuzz/fuzz_check.h"

namespace {

// Depth below the start reached after each component of `path`, with "." and
// empty components staying put; false as soon as ".." climbs above the start.
bool stays_below_start(std::string_view path) {
    long depth = 0;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view component = path.substr(start, end - start);
        if (component == "..") {
            if (--depth < 0) {
                return false;
            }
        } else if (!component.empty() && component != ".") {
            ++depth;
        }
        start = end + 1;
    }
    return true;
}

// Whether Windows would take `component` as it is: checked by other means
// than the rule's (the upper-cased part before the first dot, blanks cut).
bool windows_takes(std::string_view component) {
    if (component.back() == '.' || component.back() == ' ') {
        return false;
    }
    std::string base(component.substr(0, component.find('.')));
    base.erase(base.find_last_not_of(' ') + 1);
    for (char& c : base) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : devices) {
        if (base == device) {
            return false;
        }
    }
    const bool numbered = base.starts_with("COM") || base.starts_with("LPT");
    return !(numbered && ((base.size() == 4 && base[3] >= '0' && base[3] <= '9') ||
                          base.substr(3) == "\xC2\xB9" || base.substr(3) == "\xC2\xB2" ||
                          base.substr(3) == "\xC2\xB3"));
}

void check_windows_rules(std::string_view stored) {
    for (const char c : stored) {
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
        FUZZ_CHECK(std::string_view("<>:\"|?*").find(c) == std::string_view::npos);
    }
    std::size_t start = 0;
    while (start <= stored.size()) {
        std::size_t end = stored.find_first_of("/\\", start);
        if (end == std::string_view::npos) {
            end = stored.size();
        }
        const std::string_view component = stored.substr(start, end - start);
        if (!component.empty() && component != ".") {
            FUZZ_CHECK(windows_takes(component));
        }
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view stored(reinterpret_cast<const char*>(data), size);
    const bool windows_ok = unsafe_name_reason(stored, NameRules::windows).empty();
    if (windows_ok) {
        check_windows_rules(stored);
    }
    if (!unsafe_name_reason(stored, NameRules::posix).empty()) {
        FUZZ_CHECK(!windows_ok);
        return 0;
    }
    const std::string path = host_path(stored);
    FUZZ_CHECK(path.size() == stored.size());
    FUZZ_CHECK(path.find('\\') == std::string::npos);
    // What open() and mkdir() would see.
    const std::string_view seen(path.c_str(), std::strlen(path.c_str()));
    FUZZ_CHECK(!seen.empty());
    FUZZ_CHECK(seen.front() != '/');
    FUZZ_CHECK(seen.back() != '/');
    FUZZ_CHECK(stays_below_start(seen));
    return 0;
}
