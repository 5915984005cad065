// Fuzz target: the fpack pack directory walk over any executable image.
//
// Input: one byte choosing the layout label, the directory offset (16 bits),
// the pack count (one byte, or a full 32-bit count when the label byte's
// second bit is set, so absurd counts are tried too), the address bias (32
// bits), then the image.
//
// A walk that succeeds must hand back exactly the pack count of packs, each
// with exactly its member count of members, every name a view into the image
// that ends at a zero inside it, read where the record's address leads, and
// safe to write; sectors and lengths as the records hold them.
//
// The check a rebuild makes before patching member tables (the flag byte's
// upper bits choose which packs are patched) must pass when nothing is
// patched, and otherwise refuse exactly when a patched table shares a byte
// with the directory, another table or a name, as a check of every pair says.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/names.h"
#include "fuzz/fuzz_check.h"
#include "tillet/fpack_dir.h"

namespace {

void check_name(ByteSpan image, const FpackLayout& layout, std::string_view name,
                std::uint32_t address) {
    const auto* begin = reinterpret_cast<const char*>(image.data());
    // The view lies inside the image and its terminator too.
    FUZZ_CHECK(name.data() >= begin);
    const auto offset = static_cast<std::uint64_t>(name.data() - begin);
    FUZZ_CHECK(range_fits(image.size(), offset, name.size() + 1));
    FUZZ_CHECK(image[offset + name.size()] == 0);
    FUZZ_CHECK(name.find('\0') == std::string_view::npos);
    // It is the name the record's address leads to.
    FUZZ_CHECK(address >= layout.address_bias);
    FUZZ_CHECK(offset == address - layout.address_bias);
    FUZZ_CHECK(unsafe_name_reason(name).empty());
}

void check_directory(ByteSpan image, const FpackLayout& layout, const FpackDirectory& dir) {
    FUZZ_CHECK(dir.packs.size() == layout.pack_count);
    for (std::size_t p = 0; p < dir.packs.size(); ++p) {
        const FpackPack& pack = dir.packs[p];
        const std::uint64_t entry = layout.directory_offset + p * 12;
        FUZZ_CHECK(range_fits(image.size(), entry, 12));
        check_name(image, layout, pack.name, load_le32(image.data() + entry));
        FUZZ_CHECK(pack.member_count == load_le32(image.data() + entry + 8));
        FUZZ_CHECK(pack.members.size() == pack.member_count);
        if (pack.member_count == 0) {
            continue;
        }
        const std::uint32_t table_address = load_le32(image.data() + entry + 4);
        FUZZ_CHECK(table_address >= layout.address_bias);
        const std::uint64_t table = table_address - layout.address_bias;
        FUZZ_CHECK(range_fits(image.size(), table, pack.member_count * std::uint64_t{12}));
        for (std::size_t m = 0; m < pack.members.size(); ++m) {
            const FpackMember& member = pack.members[m];
            const std::uint8_t* record = image.data() + table + m * 12;
            check_name(image, layout, member.name, load_le32(record));
            FUZZ_CHECK(member.sector == load_le32(record + 4));
            FUZZ_CHECK(member.length == load_le32(record + 8));
        }
    }
}

struct Region {
    std::uint64_t offset, size;
    bool patched;
};

void check_patches(ByteSpan image, const FpackLayout& layout, const FpackDirectory& dir,
                   std::uint8_t pattern) {
    std::string err;
    const std::vector<bool> none(dir.packs.size(), false);
    FUZZ_CHECK(check_fpack_patches(image, layout, dir, none, "fuzz.elf", &err));

    std::vector<bool> patched(dir.packs.size());
    const auto* begin = reinterpret_cast<const char*>(image.data());
    std::vector<Region> regions = {
        {layout.directory_offset, std::uint64_t{layout.pack_count} * 12, false}};
    for (std::size_t p = 0; p < dir.packs.size(); ++p) {
        const FpackPack& pack = dir.packs[p];
        patched[p] = (pattern >> (p % 6) & 1) != 0;
        regions.push_back(
            {static_cast<std::uint64_t>(pack.name.data() - begin), pack.name.size() + 1, false});
        if (pack.member_count > 0) {
            regions.push_back(
                {pack.members_offset, pack.member_count * std::uint64_t{12}, patched[p]});
        }
        for (const FpackMember& member : pack.members) {
            regions.push_back({static_cast<std::uint64_t>(member.name.data() - begin),
                               member.name.size() + 1, false});
        }
    }
    bool overlap = false;
    for (std::size_t i = 0; i < regions.size() && !overlap; ++i) {
        for (std::size_t j = i + 1; j < regions.size() && !overlap; ++j) {
            const Region& a = regions[i];
            const Region& b = regions[j];
            overlap = (a.patched || b.patched) && a.size > 0 && b.size > 0 &&
                      a.offset < b.offset + b.size && b.offset < a.offset + a.size;
        }
    }
    const bool ok = check_fpack_patches(image, layout, dir, patched, "fuzz.elf", &err);
    FUZZ_CHECK(ok == !overlap);
    FUZZ_CHECK(ok || err.rfind("Error: fuzz.elf: the member table of pack ", 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::uint8_t flags = input.take8();
    FpackLayout layout = (flags & 1) == 0 ? FPACK_LAYOUT_A : FPACK_LAYOUT_B;
    layout.directory_offset = input.take16();
    layout.pack_count = (flags & 2) == 0 ? input.take8() : input.take32();
    layout.address_bias = input.take32();
    const ByteSpan image = input.rest();

    FpackDirectory dir;
    std::string err;
    if (read_fpack_directory(image, layout, "fuzz.elf", &dir, &err)) {
        check_directory(image, layout, dir);
        check_patches(image, layout, dir, static_cast<std::uint8_t>(flags >> 2));
    } else {
        // Named in the message's place: "(pack N, offset X)" or "(pack N, member M, ...)".
        FUZZ_CHECK(err.rfind("Error: fuzz.elf: ", 0) == 0);
        FUZZ_CHECK(err.find(" (pack ") != std::string::npos);
    }
    return 0;
}
