// Digests of file contents, by which modkit finds what was edited in a
// workspace: a file is edited when its contents differ from what was written,
// whatever its time stamps say.
//
// The digest is XXH3's 128-bit hash (Debian's libxxhash-dev, compiled in from
// its header): 16 bytes, so that two different contents give the same digest
// by accident with a probability of about 2^-128 per pair, and fast enough
// (several GB/s a core) that looking at a whole game's files costs less than
// copying them once. It guards against accidents, not against someone who
// crafts a file to look unedited; nothing here needs that.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/byte_reader.h"

struct Digest {
    std::array<std::uint8_t, 16> bytes{};
    bool operator==(const Digest&) const = default;
    /// 32 lower-case hex digits, in the order `xxhsum -H2` prints them.
    std::string hex() const;
};

/// Reads the 32 hex digits `hex()` writes (either case).
bool parse_digest(std::string_view text, Digest* out);

/// The digest of `data`.
Digest digest_of(ByteSpan data);

/// Hashes data given in pieces: equal to `digest_of` of the pieces joined.
class DigestBuilder {
  public:
    DigestBuilder();
    ~DigestBuilder();
    DigestBuilder(const DigestBuilder&) = delete;
    DigestBuilder& operator=(const DigestBuilder&) = delete;
    void add(ByteSpan data);
    Digest result() const;

  private:
    void* state_;
};

/// What stands at a path whose digest is wanted.
enum class DigestedKind { file, missing };

/// The digest of the regular file at `path`, read through `buffer` (one per
/// thread; 1 MiB is plenty). A path at which nothing stands gives `missing`;
/// a folder, device or unreadable file is an error naming it.
bool digest_file(const std::string& path, std::span<std::uint8_t> buffer, Digest* out,
                 DigestedKind* kind, std::string* err);
