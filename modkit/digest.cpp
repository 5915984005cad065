#include "modkit/digest.h"

#include <new>

#include "common/platform/file_io.h"
#include "common/text.h"

#ifdef SUITE_XXHASH_INLINE
#define XXH_INLINE_ALL  // the library's code compiled in (Windows)
#endif
#include <xxhash.h>

std::string Digest::hex() const {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    for (const std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

bool parse_digest(std::string_view text, Digest* out) {
    if (text.size() != 32) {
        return false;
    }
    for (std::size_t i = 0; i < 16; ++i) {
        const int high = hex_value(text[2 * i]);
        const int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out->bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

namespace {

Digest from_hash(XXH128_hash_t hash) {
    // The canonical form is big-endian, high half first: what xxhsum prints.
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, hash);
    Digest digest;
    for (std::size_t i = 0; i < 16; ++i) {
        digest.bytes[i] = canonical.digest[i];
    }
    return digest;
}

XXH3_state_t* state_of(void* p) {
    return static_cast<XXH3_state_t*>(p);
}

}  // namespace

Digest digest_of(ByteSpan data) {
    return from_hash(XXH3_128bits(data.data(), data.size()));
}

DigestBuilder::DigestBuilder() : state_(XXH3_createState()) {
    if (state_ == nullptr) {
        throw std::bad_alloc();
    }
    XXH3_128bits_reset(state_of(state_));
}

DigestBuilder::~DigestBuilder() {
    XXH3_freeState(state_of(state_));
}

void DigestBuilder::add(ByteSpan data) {
    XXH3_128bits_update(state_of(state_), data.data(), data.size());
}

Digest DigestBuilder::result() const {
    return from_hash(XXH3_128bits_digest(state_of(state_)));
}

bool digest_file(const std::string& path, std::span<std::uint8_t> buffer, Digest* out,
                 DigestedKind* kind, std::string* err) {
    FileHandle file;
    std::uint64_t size = 0;
    if (!open_input(path, &file, &size, err)) {
        // Only then is it worth a look whether anything stands there.
        FileStatus status;
        std::string ignored;
        if (file_status(path, &status, &ignored) && status.kind == FileKind::missing) {
            *kind = DigestedKind::missing;
            *out = Digest{};
            return true;
        }
        return false;
    }
    DigestBuilder builder;
    for (std::uint64_t done = 0; done < size;) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer.size()));
        if (!read_exact_at(file, done, buffer.subspan(0, n), path, err)) {
            return false;
        }
        builder.add(buffer.subspan(0, n));
        done += n;
    }
    *kind = DigestedKind::file;
    *out = builder.result();
    return true;
}
