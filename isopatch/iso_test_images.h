// Images for the isopatch tests, made by our own builder (tools/iso_builder),
// and a reader that shows a patch plan's image without writing it.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "isopatch/iso_image.h"
#include "isopatch/iso_patch.h"
#include "tools/iso_builder.h"

/// `size` bytes that differ from their neighbours and from other seeds.
inline std::vector<std::uint8_t> iso_test_bytes(std::size_t size, unsigned seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return bytes;
}

/// A file of the test images whose content is all its bytes.
inline IsoBuildFile iso_test_file(const std::string& path, std::size_t size, unsigned seed,
                                  std::uint32_t gap_after = 0) {
    return {path, iso_test_bytes(size, seed), size, gap_after};
}

/// The small game the tests patch: files in the order their data lies,
/// with an empty one, a folder tree, free sectors after one file.
inline std::vector<IsoBuildFile> iso_test_game() {
    return {
        iso_test_file("SYSTEM.CNF", 40, 1),
        iso_test_file("SLUS_217.88", 5000, 2),  // 3 sectors
        iso_test_file("DATA/SUB/X.DAT", 100, 3),
        iso_test_file("DATA/GAP.BIN", 3000, 4, 4),  // 2 sectors, then 4 free
        iso_test_file("DATA/EMPTY.TXT", 0, 5),
        iso_test_file("RPK.BIN", 300000, 6),  // 147 sectors, the last file
    };
}

/// The image a plan describes, read piece by piece (never held whole); a
/// replacement's content is `contents[i]` followed by zeros.
class PlannedImage final : public ImageReader {
  public:
    PlannedImage(const PatchPlan& plan, const ImageReader& old,
                 std::vector<std::vector<std::uint8_t>> contents)
        : plan_(plan), old_(old), contents_(std::move(contents)) {}
    std::uint64_t size() const override { return plan_.size; }
    bool read(std::uint64_t offset, std::span<std::uint8_t> out, std::string* err) const override {
        std::uint64_t start = 0;
        for (const PatchPiece& piece : plan_.pieces) {
            const std::uint64_t end = start + piece.length;
            const std::uint64_t from = std::max(start, offset);
            const std::uint64_t to = std::min(end, offset + out.size());
            if (from < to) {
                std::uint8_t* dst = out.data() + (from - offset);
                const std::uint64_t within = from - start;
                const std::size_t n = static_cast<std::size_t>(to - from);
                switch (piece.kind) {
                    case PatchPiece::Kind::image:
                        if (!old_.read(piece.offset + within, {dst, n}, err)) {
                            return false;
                        }
                        break;
                    case PatchPiece::Kind::bytes:
                        std::memcpy(dst, plan_.bytes.data() + piece.offset + within, n);
                        break;
                    case PatchPiece::Kind::replacement: {
                        const auto& content = contents_[piece.index];
                        for (std::size_t i = 0; i < n; ++i) {
                            const std::uint64_t at = within + i;
                            dst[i] = at < content.size() ? content[at] : 0;
                        }
                        break;
                    }
                    case PatchPiece::Kind::zeros:
                        std::memset(dst, 0, n);
                        break;
                }
            }
            start = end;
        }
        return true;
    }

  private:
    const PatchPlan& plan_;
    const ImageReader& old_;
    std::vector<std::vector<std::uint8_t>> contents_;
};

/// Reads `length` bytes of an image.
inline std::vector<std::uint8_t> image_bytes_at(const ImageReader& image, std::uint64_t offset,
                                                std::uint64_t length) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(length));
    std::string err;
    image.read(offset, out, &err);
    return out;
}
