// What the file layer does the same way on every system, written
// in terms of what each system does its own way (posix.cpp, windows.cpp).
#include <algorithm>

#include "common/platform/file_io.h"
#include "common/platform/file_messages.h"

std::string open_failure_message(const std::string& path, int errnum) {
    return "Could not open " + path + " (" + system_message(errnum) + ")";
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        native_ = other.release();
    }
    return *this;
}

bool read_whole_file(const std::string& path, ByteBuffer* out, std::string* err) {
    FileHandle file;
    std::uint64_t size = 0;
    if (!open_input(path, &file, &size, err)) {
        return false;
    }
    out->resize(static_cast<std::size_t>(size));
    return read_exact_at(file, 0, *out, path, err);
}

bool AtomicFile::write_zeros(std::uint64_t length, std::string* err) {
    static const std::uint8_t zeros[1 << 14] = {};
    while (length > 0) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof zeros));
        if (!write({zeros, n}, err)) {
            return false;
        }
        length -= n;
    }
    return true;
}

bool write_whole_file(const std::string& path, std::span<const std::uint8_t> data,
                      std::string* err) {
    AtomicFile file;
    return file.open(path, err) && file.write(data, err) && file.commit(false, err);
}

// Why an input of this kind cannot be read as a file, or nothing for a file.
std::string not_a_file(const std::string& path, FileKind kind) {
    if (kind == FileKind::directory) {
        return "Error: " + path + ": is a folder, not a file";
    }
    if (kind == FileKind::other) {
        return "Error: " + path + ": is a device or pipe, not a regular file";
    }
    return {};
}

std::string read_error(const std::string& path, int errnum) {
    return "Error: " + path + ": could not read (" + system_message(errnum) + ")";
}

std::string write_error(const std::string& path, int errnum) {
    return "Error: " + path + ": could not write (" + system_message(errnum) + ")";
}
