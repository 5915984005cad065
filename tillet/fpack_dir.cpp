#include "tillet/fpack_dir.h"

#include <optional>
#include <utility>

#include "common/message.h"
#include "common/names.h"
#include "common/text.h"
#include "common/tool.h"

std::string fpack_place(std::uint32_t pack) {
    return "pack " + std::to_string(pack);
}

std::string fpack_place(std::uint32_t pack, std::uint32_t member) {
    return fpack_place(pack) + ", member " + std::to_string(member);
}

namespace {

// Reports against one image, saying where each problem is.
class Walk {
  public:
    Walk(ByteSpan image, const FpackLayout& layout, const std::string& image_path, std::string* err)
        : image_(image), layout_(layout), image_path_(image_path), err_(err) {}

    bool read(FpackDirectory* out) {
        // A directory that does not fit is reported as such, before any
        // entry's contents are judged.
        for (std::uint32_t p = 0; p < layout_.pack_count; ++p) {
            const std::uint64_t entry = entry_offset(p);
            if (!range_fits(image_.size(), entry, SECTOR_RECORD_SIZE)) {
                return outside(fpack_place(p),
                               "the directory entry lies outside the image " + image_size(), entry);
            }
        }
        out->packs.clear();
        out->packs.reserve(layout_.pack_count);
        for (std::uint32_t p = 0; p < layout_.pack_count; ++p) {
            FpackPack pack;
            if (!read_pack(p, &pack)) {
                return false;
            }
            out->packs.push_back(std::move(pack));
        }
        return true;
    }

  private:
    bool outside(const std::string& where, const std::string& what, std::uint64_t offset) {
        *err_ = error_message(image_path_, what, where + ", offset " + hex(offset));
        return false;
    }

    std::uint64_t entry_offset(std::uint32_t pack) const {
        return layout_.directory_offset + pack * SECTOR_RECORD_SIZE;
    }

    std::string image_size() const { return "(" + std::to_string(image_.size()) + " bytes)"; }

    // The file offset of `address`, or nothing when it lies below the bias,
    // before the start of the image.
    std::optional<std::uint64_t> translate(std::uint32_t address) const {
        if (address < layout_.address_bias) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(address) - layout_.address_bias;
    }

    bool read_name(std::uint32_t address, const std::string& where, std::uint64_t record,
                   std::string_view* out) {
        const std::optional<std::uint64_t> offset = translate(address);
        if (!offset) {
            return outside(where,
                           "name address " + hex32(address) + " lies below the address bias " +
                               hex32(layout_.address_bias) + ", before the image",
                           record);
        }
        if (*offset >= image_.size()) {
            return outside(
                where, "name address " + hex32(address) + " lies outside the image " + image_size(),
                *offset);
        }
        const std::optional<std::string_view> name = read_cstring(image_, *offset, MAX_STORED_NAME);
        if (!name) {
            return outside(where,
                           "the name has no zero terminator within " +
                               std::to_string(MAX_STORED_NAME + 1) + " bytes inside the image " +
                               image_size(),
                           *offset);
        }
        *out = *name;
        return true;
    }

    // `name` is a view into the image, as read_name gives it.
    bool check_safe(std::string_view name, const std::string& where) {
        const std::string reason = unsafe_name_reason(name);
        if (reason.empty()) {
            return true;
        }
        const auto offset =
            static_cast<std::uint64_t>(name.data() - reinterpret_cast<const char*>(image_.data()));
        const char* which = where.find(", member ") == std::string::npos ? "pack" : "member";
        *err_ = error_message(image_path_,
                              std::string("the ") + which + " has an unsafe name " + quoted(name) +
                                  " (" + reason + "); nothing was written",
                              where + ", offset " + hex(offset));
        return false;
    }

    bool read_pack(std::uint32_t p, FpackPack* pack) {
        const std::string pack_where = fpack_place(p);
        const std::uint64_t entry = entry_offset(p);
        const std::uint32_t name_address = load_le32(image_.data() + entry);
        const std::uint32_t members_address = load_le32(image_.data() + entry + 4);
        pack->entry_offset = entry;
        pack->member_count = load_le32(image_.data() + entry + 8);

        if (!read_name(name_address, pack_where, entry, &pack->name) ||
            !check_safe(pack->name, pack_where)) {
            return false;
        }

        // A pack without members never reads its table, whatever the address.
        if (pack->member_count == 0) {
            return true;
        }
        // The whole table must fit before any entry is read, so that a
        // nonsensical count is refused at once rather than walked through.
        const std::optional<std::uint64_t> table = translate(members_address);
        const std::string table_what = "the member table of " + std::to_string(pack->member_count) +
                                       " entries at address " + hex32(members_address);
        if (!table) {
            return outside(pack_where,
                           table_what + " lies below the address bias " +
                               hex32(layout_.address_bias) + ", before the image",
                           entry);
        }
        if (!range_fits(image_.size(), *table, pack->member_count * SECTOR_RECORD_SIZE)) {
            return outside(pack_where, table_what + " runs outside the image " + image_size(),
                           *table);
        }
        pack->members_offset = *table;
        pack->members.resize(pack->member_count);
        for (std::uint32_t m = 0; m < pack->member_count; ++m) {
            const std::string member_where = fpack_place(p, m);
            FpackMember& member = pack->members[m];
            const std::uint64_t record = *table + m * SECTOR_RECORD_SIZE;
            read_sector_record(image_, record, &member);
            if (!read_name(member.name_address, member_where, record, &member.name) ||
                !check_safe(member.name, member_where)) {
                return false;
            }
        }
        return true;
    }

    ByteSpan image_;
    const FpackLayout& layout_;
    const std::string& image_path_;
    std::string* err_;
};

}  // namespace

bool read_fpack_directory(ByteSpan image, const FpackLayout& layout, const std::string& image_path,
                          FpackDirectory* out, std::string* err) {
    if (Walk(image, layout, image_path, err).read(out)) {
        return true;
    }
    // The other revision's executable read with this build's constants looks
    // damaged; say so when the other build reads it cleanly.
    const FpackLayout& other = layout.label == 'A' ? FPACK_LAYOUT_B : FPACK_LAYOUT_A;
    FpackDirectory ignored;
    std::string ignored_err;
    if (Walk(image, other, image_path, &ignored_err).read(&ignored)) {
        *err += other_build_hint("tillet", layout.label);
    }
    out->packs.clear();
    return false;
}

bool check_fpack_patches(ByteSpan image, const FpackLayout& layout, const FpackDirectory& directory,
                         const std::vector<bool>& patched, const std::string& image_path,
                         std::string* err) {
    // Every region the walk reads, and what it is, for the message.
    struct Place {
        enum Kind { pack_directory, table, pack_name, member_name } kind;
        std::uint32_t pack = 0;
        std::uint32_t member = 0;
    };
    std::vector<ImageRegion> regions;
    std::vector<Place> places;
    auto add = [&](std::uint64_t offset, std::uint64_t size, bool patch, Place place) {
        regions.push_back({offset, size, patch});
        places.push_back(place);
    };
    auto name_offset = [&](std::string_view name) {
        return static_cast<std::uint64_t>(name.data() -
                                          reinterpret_cast<const char*>(image.data()));
    };
    add(layout.directory_offset, std::uint64_t{layout.pack_count} * SECTOR_RECORD_SIZE, false,
        {Place::pack_directory});
    for (std::uint32_t p = 0; p < directory.packs.size(); ++p) {
        const FpackPack& pack = directory.packs[p];
        add(name_offset(pack.name), pack.name.size() + 1, false, {Place::pack_name, p});
        if (pack.member_count == 0) {
            continue;
        }
        add(pack.members_offset, pack.member_count * SECTOR_RECORD_SIZE, patched[p],
            {Place::table, p});
        for (std::uint32_t m = 0; m < pack.members.size(); ++m) {
            const std::string_view name = pack.members[m].name;
            add(name_offset(name), name.size() + 1, false, {Place::member_name, p, m});
        }
    }
    std::size_t a = 0, b = 0;
    if (!find_patch_overlap(regions, &a, &b)) {
        return true;
    }
    auto what = [&](const Place& place) -> std::string {
        switch (place.kind) {
            case Place::pack_directory:
                return "the pack directory";
            case Place::table:
                return "the member table of " + fpack_place(place.pack);
            case Place::pack_name:
                return "the name of " + fpack_place(place.pack);
            case Place::member_name:
                break;
        }
        return "the name of " + fpack_place(place.pack, place.member);
    };
    // Both places in the order the message names them.
    auto where = [&](std::size_t i) {
        return "offset " + hex(regions[i].offset) + ", " + std::to_string(regions[i].size) +
               " bytes";
    };
    *err = error_message(image_path,
                         what(places[a]) + ", which this rebuild patches, overlaps " +
                             what(places[b]) +
                             " in the executable, so patching it would change that too; nothing "
                             "was written",
                         where(a) + "; " + where(b));
    return false;
}
