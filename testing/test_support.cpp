// The test support that is the same on every system.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "testing/test_support.h"

namespace fs = std::filesystem;

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd) {
    return run_program(program, args, cwd, RunOptions{});
}

bool built_with_address_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes text_file(const std::string& text) {
#ifdef _WIN32
    const std::string line_end = "\r\n";
#else
    const std::string line_end = "\n";
#endif
    Bytes bytes;
    for (const char c : text) {
        if (c == '\n') {
            bytes.insert(bytes.end(), line_end.begin(), line_end.end());
        } else {
            bytes.push_back(static_cast<std::uint8_t>(c));
        }
    }
    return bytes;
}

namespace {

// A path of the suite (UTF-8) as the standard library takes it on every
// system (on Windows a narrow string would be read in the code page).
fs::path native(const std::string& path) {
    return fs::path(std::u8string(path.begin(), path.end()));
}

std::string utf8(const fs::path& path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace

Bytes read_file(const std::string& path) {
    std::ifstream in(native(path), std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& data) {
    const fs::path p = native(path);
    if (p.has_parent_path()) {
        fs::create_directories(p.parent_path());
    }
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    EXPECT_TRUE(out.good()) << "cannot write " << path;
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(native(path), ec));
}

std::map<std::string, Bytes> read_tree(const std::string& root) {
    std::map<std::string, Bytes> tree;
    std::error_code ec;
    const fs::path top = native(root);
    if (!fs::exists(top, ec)) {
        return tree;
    }
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        // Lexically: a symbolic link is listed under its own name, not its target's.
        const std::string rel = utf8(entry.path().lexically_relative(top));
        if (entry.is_directory()) {
            tree[rel + "/"] = {};
        } else {
            tree[rel] = read_file(utf8(entry.path()));
        }
    }
    return tree;
}

std::string current_dir() {
    return utf8(fs::current_path());
}

void change_dir(const std::string& dir) {
    fs::current_path(native(dir));
}
