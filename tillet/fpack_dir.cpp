#include "tillet/fpack_dir.h"

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <utility>

#include "common/names.h"
#include "common/text.h"

namespace {

constexpr std::uint64_t ENTRY_SIZE = 12;

// Reports against one image: where each message comes from, and the hint
// towards the other build when a table does not fit, which is what running
// the build for the other executable revision looks like.
class Walk {
  public:
    Walk(ByteSpan image, const FpackLayout& layout, const std::string& image_path, std::string* err)
        : image_(image), layout_(layout), image_path_(image_path), err_(err) {}

    bool read(FpackDirectory* out) {
        // A directory that does not fit is reported as such, before any
        // entry's contents are judged.
        for (std::uint32_t p = 0; p < layout_.pack_count; ++p) {
            const std::uint64_t entry = entry_offset(p);
            if (!range_fits(image_.size(), entry, ENTRY_SIZE)) {
                return outside(where(p, std::nullopt), "directory entry at offset " + hex(entry) +
                                                           " lies outside the image " +
                                                           image_size());
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
    static std::string where(std::uint32_t pack, std::optional<std::uint32_t> member) {
        std::string text = "pack " + std::to_string(pack);
        if (member) {
            text += ", member " + std::to_string(*member);
        }
        return text;
    }

    // An address that leads out of the image is what reading the other
    // revision's executable looks like, so the message points at the other
    // build. An image too short to hold even the other build's directory is
    // merely cut short, and gets no such hint.
    bool outside(const std::string& where_text, const std::string& what) {
        const FpackLayout& other = layout_.label == 'A' ? FPACK_LAYOUT_B : FPACK_LAYOUT_A;
        *err_ = "Error: " + image_path_ + ": " + where_text + ": " + what;
        if (range_fits(image_.size(), other.directory_offset,
                       static_cast<std::uint64_t>(other.pack_count) * ENTRY_SIZE)) {
            *err_ += "; is this the executable for tillet-";
            *err_ += static_cast<char>(other.label - 'A' + 'a');
            *err_ += "?";
        }
        return false;
    }

    std::uint64_t entry_offset(std::uint32_t pack) const {
        return layout_.directory_offset + pack * ENTRY_SIZE;
    }

    std::string image_size() const {
        std::string text = "(";
        text += hex(image_.size());
        text += " bytes)";
        return text;
    }

    // The file offset of `address`, or nothing when it lies below the bias,
    // before the start of the image.
    std::optional<std::uint64_t> translate(std::uint32_t address) const {
        if (address < layout_.address_bias) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(address) - layout_.address_bias;
    }

    bool read_name(std::uint32_t address, const std::string& where_text, std::string_view* out) {
        const std::optional<std::uint64_t> offset = translate(address);
        if (!offset) {
            return outside(where_text, "name address " + hex32(address) +
                                           " lies below the address bias " +
                                           hex32(layout_.address_bias) + ", before the image");
        }
        if (*offset >= image_.size()) {
            return outside(where_text, "name address " + hex32(address) + " (offset " +
                                           hex(*offset) + ") lies outside the image " +
                                           image_size());
        }
        const std::optional<std::string_view> name = read_cstring(image_, *offset);
        if (!name) {
            return outside(where_text, "name at offset " + hex(*offset) +
                                           " has no zero terminator inside the image " +
                                           image_size());
        }
        *out = *name;
        return true;
    }

    // `name` is a view into the image, as read_name gives it.
    bool check_safe(std::string_view name, const char* kind, const std::string& where_text) {
        const std::string reason = unsafe_name_reason(name);
        if (reason.empty()) {
            return true;
        }
        const auto offset =
            static_cast<std::uint64_t>(name.data() - reinterpret_cast<const char*>(image_.data()));
        *err_ = "Error: " + image_path_ + ": " + where_text + ": unsafe " + kind + " name \"" +
                std::string(name) + "\" at offset " + hex(offset) + " (" + reason + ")";
        return false;
    }

    bool read_pack(std::uint32_t p, FpackPack* pack) {
        const std::string pack_where = where(p, std::nullopt);
        const std::uint64_t entry = entry_offset(p);
        const std::uint32_t name_address = load_le32(image_.data() + entry);
        const std::uint32_t members_address = load_le32(image_.data() + entry + 4);
        pack->member_count = load_le32(image_.data() + entry + 8);

        if (!read_name(name_address, pack_where, &pack->name) ||
            !check_safe(pack->name, "pack", pack_where)) {
            return false;
        }

        // A pack without members never reads its table, whatever the address.
        if (pack->member_count == 0) {
            return true;
        }
        // The whole table must fit before any entry is read, so that a
        // nonsensical count is refused at once rather than walked through.
        const std::optional<std::uint64_t> table = translate(members_address);
        const std::string table_what = "member table of " + std::to_string(pack->member_count) +
                                       " entries at address " + hex32(members_address);
        if (!table) {
            return outside(pack_where, table_what + " lies below the address bias " +
                                           hex32(layout_.address_bias) + ", before the image");
        }
        if (!range_fits(image_.size(), *table, pack->member_count * ENTRY_SIZE)) {
            return outside(pack_where, table_what + " (offset " + hex(*table) +
                                           ") runs outside the image " + image_size());
        }

        pack->members.resize(pack->member_count);
        for (std::uint32_t m = 0; m < pack->member_count; ++m) {
            const std::string member_where = where(p, m);
            const std::uint8_t* record = image_.data() + *table + m * ENTRY_SIZE;
            FpackMember& member = pack->members[m];
            member.sector = load_le32(record + 4);
            member.length = load_le32(record + 8);
            if (!read_name(load_le32(record), member_where, &member.name) ||
                !check_safe(member.name, "member", member_where)) {
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
    return Walk(image, layout, image_path, err).read(out);
}
