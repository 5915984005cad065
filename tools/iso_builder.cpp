#include "tools/iso_builder.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

#include "common/platform/file_io.h"
#include "isopatch/disc_format.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The largest extent of one ISO 9660 record: 4 GiB less a sector, so that
// every extent but the last is whole sectors.
constexpr std::uint64_t MAX_ISO_EXTENT = 0xFFFFF800;
constexpr std::uint64_t MAX_UDF_EXTENT = (std::uint64_t{1} << 30) - DISC_SECTOR;
constexpr std::uint8_t RECORD_DIRECTORY = 0x02;
constexpr std::uint8_t RECORD_MORE_EXTENTS = 0x80;

struct Node {
    std::string name;  ///< as given
    bool directory = false;
    std::size_t file = 0;  ///< for a file: index into the files
    std::vector<std::unique_ptr<Node>> children;
    Node* parent = nullptr;
    // Where it lies.
    std::uint64_t iso_extent = 0, iso_size = 0;        // directories: their records
    std::uint64_t joliet_extent = 0, joliet_size = 0;  // directories: their Joliet records
    std::uint32_t udf_entry = 0;                       // block of its file entry
    std::uint32_t udf_data = 0;                        // directories: block of their identifiers
    std::uint64_t udf_size = 0;                        // directories: bytes of identifiers
    std::uint16_t path_number = 0;                     // in the path table
    std::uint64_t unique_id = 0;
};

std::vector<std::uint16_t> utf16_of(const std::string& text) {
    std::vector<std::uint16_t> units;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::uint32_t code = c;
        std::size_t n = 1;
        if (c >= 0xF0 && i + 3 < text.size()) {
            code = (c & 0x07u) << 18 | (text[i + 1] & 0x3Fu) << 12 | (text[i + 2] & 0x3Fu) << 6 |
                   (text[i + 3] & 0x3Fu);
            n = 4;
        } else if (c >= 0xE0 && i + 2 < text.size()) {
            code = (c & 0x0Fu) << 12 | (text[i + 1] & 0x3Fu) << 6 | (text[i + 2] & 0x3Fu);
            n = 3;
        } else if (c >= 0xC0 && i + 1 < text.size()) {
            code = (c & 0x1Fu) << 6 | (text[i + 1] & 0x3Fu);
            n = 2;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xD800 + (code >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(code));
        }
        i += n;
    }
    return units;
}

// A record's name as each tree stores it.
Bytes iso_name(const Node& node) {
    std::string name = node.name;
    if (!node.directory) {
        name += ";1";
    }
    return Bytes(name.begin(), name.end());
}

Bytes joliet_name(const Node& node) {
    Bytes out;
    for (const std::uint16_t unit : utf16_of(node.name)) {
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
        out.push_back(static_cast<std::uint8_t>(unit));
    }
    return out;
}

// A UDF name (CS0): 8-bit when every character fits, 16-bit otherwise.
Bytes udf_name(const std::string& name) {
    const std::vector<std::uint16_t> units = utf16_of(name);
    const bool narrow =
        std::all_of(units.begin(), units.end(), [](std::uint16_t u) { return u < 0x100; });
    Bytes out = {static_cast<std::uint8_t>(narrow ? 8 : 16)};
    for (const std::uint16_t unit : units) {
        if (!narrow) {
            out.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
        out.push_back(static_cast<std::uint8_t>(unit));
    }
    return out;
}

std::size_t record_size(std::size_t name_length) {
    return 33 + name_length + (name_length % 2 == 0 ? 1 : 0);
}

// The extents of a file's data in ISO 9660 records: one, or several of at
// most MAX_ISO_EXTENT bytes for larger files.
std::vector<std::uint64_t> iso_extent_lengths(std::uint64_t size) {
    std::vector<std::uint64_t> lengths;
    do {
        const std::uint64_t n = std::min(size, MAX_ISO_EXTENT);
        lengths.push_back(n);
        size -= n;
    } while (size > 0);
    return lengths;
}

class Builder {
  public:
    Builder(std::span<const IsoBuildFile> files, const IsoBuildOptions& options)
        : files_(files), options_(options) {}

    IsoLayout build();

  private:
    void make_tree();
    std::uint64_t take(std::uint64_t sectors);
    std::uint64_t directory_bytes(const Node& dir, bool joliet) const;
    Bytes directory(const Node& dir, bool joliet) const;
    Bytes path_table(bool joliet, bool big_endian) const;
    Bytes volume_descriptor(bool joliet, std::uint64_t table_size, std::uint64_t l_table,
                            std::uint64_t m_table) const;
    Bytes udf_descriptor(std::uint16_t id, std::uint32_t location) const;
    Bytes file_entry(const Node& node) const;
    Bytes identifiers(const Node& dir) const;
    void put(std::uint64_t sector, Bytes bytes) {
        layout_.metadata.push_back({sector, std::move(bytes)});
    }

    std::span<const IsoBuildFile> files_;
    const IsoBuildOptions& options_;
    Node root_;
    std::vector<Node*> directories_;  ///< breadth first, root first
    std::vector<Node*> file_nodes_;   ///< in file order
    IsoLayout layout_;
    std::uint64_t cursor_ = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> fixed_;  ///< (start, end) already taken
    std::uint64_t partition_start_ = 0, partition_length_ = 0;
    std::uint64_t main_vds_ = 0, reserve_vds_ = 0, integrity_ = 0;
    /// Sectors kept for each volume descriptor sequence: 16 as mastering
    /// tools keep them, 6 (what it holds) in small images.
    std::uint32_t vds_sectors_ = 16;
};

void Builder::make_tree() {
    root_.directory = true;
    for (std::size_t i = 0; i < files_.size(); ++i) {
        const std::string& path = files_[i].path;
        if (path.empty() || path.front() == '/' || path.back() == '/') {
            throw std::invalid_argument("bad image path: " + path);
        }
        Node* dir = &root_;
        std::size_t start = 0;
        for (;;) {
            const std::size_t slash = path.find('/', start);
            const std::string name =
                path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            auto it = std::find_if(dir->children.begin(), dir->children.end(),
                                   [&](const auto& c) { return c->name == name; });
            if (slash == std::string::npos) {
                if (it != dir->children.end()) {
                    throw std::invalid_argument("image path named twice: " + path);
                }
                auto node = std::make_unique<Node>();
                node->name = name;
                node->file = i;
                node->parent = dir;
                file_nodes_.push_back(node.get());
                dir->children.push_back(std::move(node));
                break;
            }
            if (it == dir->children.end()) {
                auto node = std::make_unique<Node>();
                node->name = name;
                node->directory = true;
                node->parent = dir;
                dir->children.push_back(std::move(node));
                it = dir->children.end() - 1;
            } else if (!(*it)->directory) {
                throw std::invalid_argument("image path is a file and a folder: " + path);
            }
            dir = it->get();
            start = slash + 1;
        }
    }
    // Records in name order, as the format wants; folders breadth first.
    std::vector<Node*> queue = {&root_};
    for (std::size_t i = 0; i < queue.size(); ++i) {
        Node* dir = queue[i];
        std::sort(dir->children.begin(), dir->children.end(),
                  [](const auto& a, const auto& b) { return iso_name(*a) < iso_name(*b); });
        for (const auto& child : dir->children) {
            if (child->directory) {
                queue.push_back(child.get());
            }
        }
    }
    directories_ = queue;
    root_.parent = &root_;
    // File data goes in the order the files were given.
    std::vector<Node*> ordered(files_.size());
    for (Node* node : file_nodes_) {
        ordered[node->file] = node;
    }
    file_nodes_ = ordered;
}

// Takes `sectors` sectors from the cursor, stepping over the places kept
// for the UDF descriptors.
std::uint64_t Builder::take(std::uint64_t sectors) {
    for (bool moved = true; moved;) {
        moved = false;
        for (const auto& [start, end] : fixed_) {
            if (cursor_ < end && cursor_ + sectors > start) {
                cursor_ = end;
                moved = true;
            }
        }
    }
    const std::uint64_t at = cursor_;
    cursor_ += sectors;
    return at;
}

std::uint64_t Builder::directory_bytes(const Node& dir, bool joliet) const {
    std::uint64_t size = 0;
    auto add = [&](std::size_t length) {
        const std::uint64_t room = DISC_SECTOR - size % DISC_SECTOR;
        if (length > room) {
            size += room;
        }
        size += length;
    };
    add(34);
    add(34);
    for (const auto& child : dir.children) {
        const std::size_t length =
            record_size(joliet ? joliet_name(*child).size() : iso_name(*child).size());
        const std::size_t count =
            child->directory ? 1 : iso_extent_lengths(files_[child->file].size).size();
        for (std::size_t i = 0; i < count; ++i) {
            add(length);
        }
    }
    return (size + DISC_SECTOR - 1) / DISC_SECTOR * DISC_SECTOR;
}

void put_record(Bytes& out, std::uint64_t& pos, std::uint64_t extent, std::uint64_t length,
                std::uint8_t flags, const Bytes& name) {
    const std::size_t size = record_size(name.size());
    const std::uint64_t room = DISC_SECTOR - pos % DISC_SECTOR;
    if (size > room) {
        pos += room;
    }
    std::uint8_t* r = out.data() + pos;
    r[0] = static_cast<std::uint8_t>(size);
    store_both32(r + 2, static_cast<std::uint32_t>(extent));
    store_both32(r + 10, static_cast<std::uint32_t>(length));
    // 2024-01-01 00:00:00 UTC
    r[18] = 124;
    r[19] = 1;
    r[20] = 1;
    r[25] = flags;
    store_both16(r + 28, 1);
    r[32] = static_cast<std::uint8_t>(name.size());
    std::memcpy(r + 33, name.data(), name.size());
    pos += size;
}

Bytes Builder::directory(const Node& dir, bool joliet) const {
    const std::uint64_t size = joliet ? dir.joliet_size : dir.iso_size;
    Bytes out(static_cast<std::size_t>(size), 0);
    std::uint64_t pos = 0;
    const Node& parent = *dir.parent;
    put_record(out, pos, joliet ? dir.joliet_extent : dir.iso_extent, size, RECORD_DIRECTORY, {0});
    put_record(out, pos, joliet ? parent.joliet_extent : parent.iso_extent,
               joliet ? parent.joliet_size : parent.iso_size, RECORD_DIRECTORY, {1});
    for (const auto& child : dir.children) {
        const Bytes name = joliet ? joliet_name(*child) : iso_name(*child);
        if (child->directory) {
            put_record(out, pos, joliet ? child->joliet_extent : child->iso_extent,
                       joliet ? child->joliet_size : child->iso_size, RECORD_DIRECTORY, name);
            continue;
        }
        const std::vector<std::uint64_t> lengths = iso_extent_lengths(files_[child->file].size);
        std::uint64_t extent = layout_.file_sectors[child->file];
        for (std::size_t i = 0; i < lengths.size(); ++i) {
            put_record(out, pos, extent, lengths[i],
                       i + 1 < lengths.size() ? RECORD_MORE_EXTENTS : 0, name);
            extent += disc_sectors(lengths[i]);
        }
    }
    return out;
}

Bytes Builder::path_table(bool joliet, bool big_endian) const {
    Bytes out;
    for (const Node* dir : directories_) {
        const Bytes name = dir == &root_ ? Bytes{0} : joliet ? joliet_name(*dir) : iso_name(*dir);
        const std::size_t at = out.size();
        out.resize(at + 8 + name.size() + name.size() % 2, 0);
        std::uint8_t* p = out.data() + at;
        p[0] = static_cast<std::uint8_t>(name.size());
        const auto extent =
            static_cast<std::uint32_t>(joliet ? dir->joliet_extent : dir->iso_extent);
        if (big_endian) {
            store_be32(p + 2, extent);
            store_be16(p + 6, dir->parent->path_number);
        } else {
            store_le32(p + 2, extent);
            store_le16(p + 6, dir->parent->path_number);
        }
        std::memcpy(p + 8, name.data(), name.size());
    }
    return out;
}

void put_text(std::uint8_t* p, std::size_t size, const std::string& text) {
    std::memset(p, ' ', size);
    std::memcpy(p, text.data(), std::min(size, text.size()));
}

void put_joliet_text(std::uint8_t* p, std::size_t size, const std::string& text) {
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        p[i] = 0;
        p[i + 1] = ' ';
    }
    const std::vector<std::uint16_t> units = utf16_of(text);
    for (std::size_t i = 0; i < units.size() && 2 * i + 1 < size; ++i) {
        store_be16(p + 2 * i, units[i]);
    }
}

Bytes Builder::volume_descriptor(bool joliet, std::uint64_t table_size, std::uint64_t l_table,
                                 std::uint64_t m_table) const {
    Bytes s(DISC_SECTOR, 0);
    s[0] = joliet ? 2 : 1;
    std::memcpy(s.data() + 1, "CD001", 5);
    s[6] = 1;
    auto text = [&](std::size_t at, std::size_t size, const std::string& value) {
        if (joliet) {
            put_joliet_text(s.data() + at, size, value);
        } else {
            put_text(s.data() + at, size, value);
        }
    };
    text(8, 32, "");
    text(40, 32, options_.volume_id);
    store_both32(s.data() + 80, static_cast<std::uint32_t>(layout_.sectors));
    if (joliet) {
        std::memcpy(s.data() + 88, "%/E", 3);
    }
    store_both16(s.data() + 120, 1);
    store_both16(s.data() + 124, 1);
    store_both16(s.data() + 128, DISC_SECTOR);
    store_both32(s.data() + 132, static_cast<std::uint32_t>(table_size));
    store_le32(s.data() + 140, static_cast<std::uint32_t>(l_table));
    store_be32(s.data() + 148, static_cast<std::uint32_t>(m_table));
    Bytes root(34, 0);
    std::uint64_t pos = 0;
    put_record(root, pos, joliet ? root_.joliet_extent : root_.iso_extent,
               joliet ? root_.joliet_size : root_.iso_size, RECORD_DIRECTORY, {0});
    std::memcpy(s.data() + 156, root.data(), 34);
    text(190, 128, "");
    text(318, 128, "");
    text(446, 128, "");
    text(574, 128, "KORVANE SUITE");
    text(702, 37, "");
    text(739, 37, "");
    text(776, 37, "");
    for (const std::size_t date : {813, 830, 864}) {
        std::memcpy(s.data() + date, "2024010100000000", 16);
    }
    std::memcpy(s.data() + 847, "0000000000000000", 16);
    s[881] = 1;
    return s;
}

void put_regid(std::uint8_t* p, const char* id, std::uint16_t revision = 0) {
    std::memcpy(p + 1, id, std::strlen(id));
    if (revision != 0) {
        store_le16(p + 24, revision);
    }
}

void put_dstring(std::uint8_t* p, std::size_t size, const std::string& text) {
    const Bytes name = udf_name(text);
    const std::size_t n = std::min(name.size(), size - 1);
    std::memcpy(p, name.data(), n);
    p[size - 1] = static_cast<std::uint8_t>(n);
}

void put_character_set(std::uint8_t* p) {
    std::memcpy(p + 1, "OSTA Compressed Unicode", 23);
}

void put_timestamp(std::uint8_t* p) {
    store_le16(p, 0x1000);
    store_le16(p + 2, 2024);
    p[4] = 1;
    p[5] = 1;
}

constexpr const char* IMPLEMENTATION = "*korvane suite";

Bytes Builder::udf_descriptor(std::uint16_t id, std::uint32_t location) const {
    Bytes s(DISC_SECTOR, 0);
    store_le16(s.data(), id);
    store_le16(s.data() + 2, 2);
    std::uint16_t crc_length = 512 - UDF_TAG_SIZE;
    std::uint8_t* d = s.data();
    switch (id) {
        case UDF_ANCHOR:
            store_le32(d + 16, vds_sectors_ * DISC_SECTOR);
            store_le32(d + 20, static_cast<std::uint32_t>(main_vds_));
            store_le32(d + 24, vds_sectors_ * DISC_SECTOR);
            store_le32(d + 28, static_cast<std::uint32_t>(reserve_vds_));
            break;
        case UDF_PRIMARY_VOLUME:
            store_le32(d + 16, 1);
            put_dstring(d + 24, 32, options_.volume_id);
            store_le16(d + 56, 1);
            store_le16(d + 58, 1);
            store_le16(d + 60, 2);
            store_le16(d + 62, 2);
            store_le32(d + 64, 1);
            store_le32(d + 68, 1);
            put_dstring(d + 72, 128, "KORVANE0000000001");
            put_character_set(d + 200);
            put_character_set(d + 264);
            put_regid(d + 344, IMPLEMENTATION);
            put_timestamp(d + 376);
            put_regid(d + 388, IMPLEMENTATION);
            break;
        case UDF_IMPLEMENTATION_USE:
            store_le32(d + 16, 2);
            put_regid(d + 20, "*UDF LV Info", 0x0102);
            put_character_set(d + 52);
            put_dstring(d + 116, 128, options_.volume_id);
            put_regid(d + 352, IMPLEMENTATION);
            break;
        case UDF_PARTITION:
            store_le32(d + 16, 3);
            store_le16(d + 20, 1);
            store_le16(d + 22, 0);
            put_regid(d + 24, "+NSR02");
            store_le32(d + 184, 1);
            store_le32(d + 188, static_cast<std::uint32_t>(partition_start_));
            store_le32(d + 192, static_cast<std::uint32_t>(partition_length_));
            put_regid(d + 196, IMPLEMENTATION);
            break;
        case UDF_LOGICAL_VOLUME:
            store_le32(d + 16, 4);
            put_character_set(d + 20);
            put_dstring(d + 84, 128, options_.volume_id);
            store_le32(d + 212, DISC_SECTOR);
            put_regid(d + 216, "*OSTA UDF Compliant", 0x0102);
            store_le32(d + 248, DISC_SECTOR);  // the file set descriptor: block 0
            store_le32(d + 264, 6);
            store_le32(d + 268, 1);
            put_regid(d + 272, IMPLEMENTATION);
            store_le32(d + 432, 2 * DISC_SECTOR);
            store_le32(d + 436, static_cast<std::uint32_t>(integrity_));
            d[440] = 1;
            d[441] = 6;
            store_le16(d + 442, 1);
            store_le16(d + 444, 0);
            crc_length = 440 + 6 - UDF_TAG_SIZE;
            break;
        case UDF_UNALLOCATED_SPACE:
            store_le32(d + 16, 5);
            crc_length = 24 - UDF_TAG_SIZE;
            break;
        case UDF_INTEGRITY: {
            put_timestamp(d + 16);
            store_le32(d + 28, 1);                                         // closed
            store_le64(d + 40, 16 + files_.size() + directories_.size());  // next unique id
            store_le32(d + 72, 1);
            store_le32(d + 76, 46);
            store_le32(d + 80, 0);
            store_le32(d + 84, static_cast<std::uint32_t>(partition_length_));
            put_regid(d + 88, IMPLEMENTATION);
            store_le32(d + 120, static_cast<std::uint32_t>(files_.size()));
            store_le32(d + 124, static_cast<std::uint32_t>(directories_.size()));
            store_le16(d + 128, 0x0102);
            store_le16(d + 130, 0x0102);
            store_le16(d + 132, 0x0102);
            crc_length = 88 + 46 - UDF_TAG_SIZE;
            break;
        }
        case UDF_FILE_SET:
            put_timestamp(d + 16);
            store_le16(d + 28, 3);
            store_le16(d + 30, 3);
            store_le32(d + 32, 1);
            store_le32(d + 36, 1);
            put_character_set(d + 48);
            put_dstring(d + 112, 128, options_.volume_id);
            put_character_set(d + 240);
            put_dstring(d + 304, 32, options_.volume_id);
            store_le32(d + 400, DISC_SECTOR);
            store_le32(d + 404, root_.udf_entry);
            put_regid(d + 416, "*OSTA UDF Compliant", 0x0102);
            break;
        default:  // the terminating descriptor
            break;
    }
    udf_seal_tag(s, location, crc_length);
    return s;
}

Bytes Builder::file_entry(const Node& node) const {
    Bytes s(DISC_SECTOR, 0);
    std::uint8_t* d = s.data();
    store_le16(d, UDF_FILE_ENTRY);
    store_le16(d + 2, 2);
    store_le16(d + 20, 4);  // strategy 4
    store_le16(d + 24, 1);
    d[27] = node.directory ? 4 : 5;
    store_le32(d + 36, 0xFFFFFFFF);
    store_le32(d + 40, 0xFFFFFFFF);
    store_le32(d + 44, node.directory ? 0x14A5 : 0x1084);
    std::uint16_t links = 1;
    for (const auto& child : node.children) {
        links = static_cast<std::uint16_t>(links + (child->directory ? 1 : 0));
    }
    store_le16(d + 48, node.directory ? links : 1);
    const std::uint64_t size = node.directory ? node.udf_size : files_[node.file].size;
    store_le64(d + 56, size);
    store_le64(d + 64, disc_sectors(size));
    for (const std::size_t t : {72, 84, 96}) {
        put_timestamp(d + t);
    }
    store_le32(d + 108, 1);
    put_regid(d + 128, IMPLEMENTATION);
    store_le64(d + 160, node.unique_id);
    std::uint64_t position =
        node.directory ? node.udf_data : layout_.file_sectors[node.file] - partition_start_;
    std::size_t ads = 0;
    for (std::uint64_t left = size; left > 0;) {
        const std::uint64_t n = std::min(left, MAX_UDF_EXTENT);
        store_le32(d + 176 + ads, static_cast<std::uint32_t>(n));
        store_le32(d + 180 + ads, static_cast<std::uint32_t>(position));
        ads += 8;
        position += disc_sectors(n);
        left -= n;
    }
    store_le32(d + 172, static_cast<std::uint32_t>(ads));
    udf_seal_tag(s, node.udf_entry, static_cast<std::uint16_t>(176 + ads - UDF_TAG_SIZE));
    return s;
}

// A directory's file identifiers, packed one after the other (they may
// cross block boundaries); each tag names the block its first byte lies in.
Bytes Builder::identifiers(const Node& dir) const {
    Bytes out;
    auto add = [&](std::uint8_t characteristics, const Node& target, const Bytes& name) {
        std::uint8_t f[38 + 256 + 3] = {};
        if (name.size() > 255) {
            throw std::invalid_argument("name too long for a UDF identifier");
        }
        const std::size_t size = (38 + name.size() + 3) & ~std::size_t{3};
        store_le16(f, UDF_FILE_IDENTIFIER);
        store_le16(f + 2, 2);
        store_le16(f + 16, 1);
        f[18] = characteristics;
        f[19] = static_cast<std::uint8_t>(name.size());
        store_le32(f + 20, DISC_SECTOR);
        store_le32(f + 24, target.udf_entry);
        store_le32(f + 32, static_cast<std::uint32_t>(target.unique_id));
        if (!name.empty()) {
            std::memcpy(f + 38, name.data(), name.size());
        }
        udf_seal_tag({f, size}, static_cast<std::uint32_t>(dir.udf_data + out.size() / DISC_SECTOR),
                     static_cast<std::uint16_t>(size - UDF_TAG_SIZE));
        out.insert(out.end(), f, f + size);
    };
    add(0x0A, *dir.parent, {});
    for (const auto& child : dir.children) {
        add(child->directory ? 0x02 : 0x00, *child, udf_name(child->name));
    }
    return out;
}

IsoLayout Builder::build() {
    make_tree();
    const bool udf = options_.udf;
    // The volume descriptors from sector 16, and the recognition sequence.
    cursor_ = 16;
    const std::uint64_t primary = take(1);
    const std::uint64_t joliet = options_.joliet ? take(1) : 0;
    const std::uint64_t terminator = take(1);
    const std::uint64_t recognition = udf ? take(3) : 0;
    if (udf) {
        vds_sectors_ = options_.anchor_at_256 ? 16 : 6;
        main_vds_ = take(vds_sectors_);
        reserve_vds_ = take(vds_sectors_);
        integrity_ = take(2);
        if (options_.anchor_at_256) {
            fixed_.push_back({256, 257});
        }
    }
    // Path tables and directories of both trees.
    std::uint16_t number = 1;
    for (Node* dir : directories_) {
        dir->path_number = number++;
        dir->iso_size = directory_bytes(*dir, false);
        dir->joliet_size = directory_bytes(*dir, true);
    }
    const std::uint64_t table_size = path_table(false, false).size();
    const std::uint64_t l_table = take(disc_sectors(table_size));
    const std::uint64_t m_table = take(disc_sectors(table_size));
    const std::uint64_t joliet_table_size = path_table(true, false).size();
    std::uint64_t joliet_l = 0, joliet_m = 0;
    if (options_.joliet) {
        joliet_l = take(disc_sectors(joliet_table_size));
        joliet_m = take(disc_sectors(joliet_table_size));
    }
    for (Node* dir : directories_) {
        dir->iso_extent = take(disc_sectors(dir->iso_size));
    }
    if (options_.joliet) {
        for (Node* dir : directories_) {
            dir->joliet_extent = take(disc_sectors(dir->joliet_size));
        }
    }
    // The UDF partition: after the anchor at 256 when the image has one.
    if (udf) {
        if (options_.anchor_at_256) {
            cursor_ = std::max<std::uint64_t>(cursor_, 257);
        }
        partition_start_ = take(0);
        take(2);  // the file set descriptor and its terminator
        std::uint64_t unique = 16;
        for (Node* dir : directories_) {
            dir->unique_id = dir == &root_ ? 0 : unique++;
            dir->udf_entry = static_cast<std::uint32_t>(take(1) - partition_start_);
        }
        for (Node* node : file_nodes_) {
            node->unique_id = unique++;
            node->udf_entry = static_cast<std::uint32_t>(take(1) - partition_start_);
        }
        for (Node* dir : directories_) {
            dir->udf_size = identifiers(*dir).size();
            dir->udf_data =
                static_cast<std::uint32_t>(take(disc_sectors(dir->udf_size)) - partition_start_);
        }
    }
    // The files, in the order given.
    layout_.file_sectors.resize(files_.size());
    for (std::size_t i = 0; i < files_.size(); ++i) {
        layout_.file_sectors[i] = take(disc_sectors(files_[i].size));
        take(files_[i].gap_after);
    }
    if (udf) {
        partition_length_ = take(0) - partition_start_;
        take(options_.anchor_copies);
        layout_.sectors = take(1) + 1;
    } else {
        layout_.sectors = take(0);
    }
    layout_.partition_start = partition_start_;

    // Now that everything has its place, the bytes.
    put(primary, volume_descriptor(false, table_size, l_table, m_table));
    if (options_.joliet) {
        put(joliet, volume_descriptor(true, joliet_table_size, joliet_l, joliet_m));
    }
    Bytes end(DISC_SECTOR, 0);
    end[0] = 255;
    std::memcpy(end.data() + 1, "CD001", 5);
    end[6] = 1;
    put(terminator, end);
    if (udf) {
        const char* ids[] = {"BEA01", "NSR02", "TEA01"};
        for (int i = 0; i < 3; ++i) {
            Bytes s(DISC_SECTOR, 0);
            std::memcpy(s.data() + 1, ids[i], 5);
            s[6] = 1;
            put(recognition + static_cast<std::uint64_t>(i), s);
        }
        for (const std::uint64_t vds : {main_vds_, reserve_vds_}) {
            const std::uint16_t order[] = {UDF_PRIMARY_VOLUME,    UDF_IMPLEMENTATION_USE,
                                           UDF_PARTITION,         UDF_LOGICAL_VOLUME,
                                           UDF_UNALLOCATED_SPACE, UDF_TERMINATING};
            for (std::uint64_t i = 0; i < 6; ++i) {
                put(vds + i, udf_descriptor(order[i], static_cast<std::uint32_t>(vds + i)));
            }
        }
        put(integrity_, udf_descriptor(UDF_INTEGRITY, static_cast<std::uint32_t>(integrity_)));
        put(integrity_ + 1,
            udf_descriptor(UDF_TERMINATING, static_cast<std::uint32_t>(integrity_ + 1)));
        std::vector<std::uint64_t> anchors;
        if (options_.anchor_at_256) {
            anchors.push_back(256);
        }
        for (std::uint32_t i = 0; i < options_.anchor_copies; ++i) {
            anchors.push_back(partition_start_ + partition_length_ + i);
        }
        anchors.push_back(layout_.sectors - 1);
        for (const std::uint64_t a : anchors) {
            put(a, udf_descriptor(UDF_ANCHOR, static_cast<std::uint32_t>(a)));
        }
        put(partition_start_, udf_descriptor(UDF_FILE_SET, 0));
        put(partition_start_ + 1, udf_descriptor(UDF_TERMINATING, 1));
        for (Node* dir : directories_) {
            put(partition_start_ + dir->udf_entry, file_entry(*dir));
            Bytes data = identifiers(*dir);
            data.resize(static_cast<std::size_t>(disc_offset(disc_sectors(data.size()))), 0);
            if (!data.empty()) {
                put(partition_start_ + dir->udf_data, std::move(data));
            }
        }
        for (Node* node : file_nodes_) {
            put(partition_start_ + node->udf_entry, file_entry(*node));
        }
    }
    auto padded = [](Bytes b) {
        b.resize(static_cast<std::size_t>(disc_offset(disc_sectors(b.size()))), 0);
        return b;
    };
    put(l_table, padded(path_table(false, false)));
    put(m_table, padded(path_table(false, true)));
    if (options_.joliet) {
        put(joliet_l, padded(path_table(true, false)));
        put(joliet_m, padded(path_table(true, true)));
    }
    for (Node* dir : directories_) {
        put(dir->iso_extent, directory(*dir, false));
        if (options_.joliet) {
            put(dir->joliet_extent, directory(*dir, true));
        }
    }
    std::sort(layout_.metadata.begin(), layout_.metadata.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return layout_;
}

}  // namespace

IsoLayout lay_out_iso(std::span<const IsoBuildFile> files, const IsoBuildOptions& options) {
    return Builder(files, options).build();
}

std::vector<std::uint8_t> iso_image_bytes(std::span<const IsoBuildFile> files,
                                          const IsoBuildOptions& options) {
    const IsoLayout layout = lay_out_iso(files, options);
    std::vector<std::uint8_t> image(static_cast<std::size_t>(disc_offset(layout.sectors)), 0);
    for (const auto& [sector, bytes] : layout.metadata) {
        std::memcpy(image.data() + disc_offset(sector), bytes.data(), bytes.size());
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].content.empty()) {
            continue;
        }
        std::memcpy(image.data() + disc_offset(layout.file_sectors[i]), files[i].content.data(),
                    files[i].content.size());
    }
    return image;
}

bool write_iso_image(std::span<const IsoBuildFile> files, const IsoBuildOptions& options,
                     const std::string& path, std::string* err) {
    const IsoLayout layout = lay_out_iso(files, options);
    // Everything that holds bytes, by where it starts.
    struct Piece {
        std::uint64_t offset;
        std::span<const std::uint8_t> bytes;
    };
    std::vector<Piece> pieces;
    for (const auto& [sector, bytes] : layout.metadata) {
        pieces.push_back({disc_offset(sector), bytes});
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!files[i].content.empty()) {
            pieces.push_back({disc_offset(layout.file_sectors[i]), files[i].content});
        }
    }
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    AtomicFile out;
    if (!out.open(path, err)) {
        return false;
    }
    for (const Piece& piece : pieces) {
        if (!out.write_hole(piece.offset - out.size(), err) || !out.write(piece.bytes, err)) {
            return false;
        }
    }
    return out.write_hole(disc_offset(layout.sectors) - out.size(), err) && out.commit(false, err);
}

LaidOutImage::LaidOutImage(std::span<const IsoBuildFile> files, const IsoBuildOptions& options)
    : files_(files), layout_(lay_out_iso(files, options)) {}

std::uint64_t LaidOutImage::size() const {
    return disc_offset(layout_.sectors);
}

bool LaidOutImage::read(std::uint64_t offset, std::span<std::uint8_t> out, std::string*) const {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    const std::uint64_t end = offset + out.size();
    auto copy = [&](std::uint64_t start, std::span<const std::uint8_t> bytes) {
        const std::uint64_t from = std::max(start, offset);
        const std::uint64_t to = std::min(start + bytes.size(), end);
        if (from < to) {
            std::memcpy(out.data() + (from - offset), bytes.data() + (from - start), to - from);
        }
    };
    for (const auto& [sector, bytes] : layout_.metadata) {
        copy(disc_offset(sector), bytes);
    }
    for (std::size_t i = 0; i < files_.size(); ++i) {
        copy(disc_offset(layout_.file_sectors[i]), files_[i].content);
    }
    return true;
}
