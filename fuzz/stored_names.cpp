// Fuzz target: the stored-name rule. A name the rule accepts must, once made
// a host path, stay below the working folder: resolved lexically component
// by component it never climbs above its start, it is not absolute, and it
// names a file rather than a folder.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view stored(reinterpret_cast<const char*>(data), size);
    if (!unsafe_name_reason(stored).empty()) {
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
