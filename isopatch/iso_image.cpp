#include "isopatch/iso_image.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>

#include "common/message.h"
#include "common/text.h"
#include "isopatch/disc_format.h"

bool MemoryImage::read(std::uint64_t offset, std::span<std::uint8_t> out, std::string*) const {
    if (!out.empty()) {
        std::memcpy(out.data(), bytes_.data() + offset, out.size());
    }
    return true;
}

namespace {

using Sector = std::array<std::uint8_t, DISC_SECTOR>;

std::string sector_place(std::uint64_t sector) {
    return "sector " + std::to_string(sector) + ", offset " + hex(disc_offset(sector));
}

std::string offset_place(std::uint64_t offset) {
    return "offset " + hex(offset);
}

// Appends a code point as UTF-8.
void append_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 big-endian code units (Joliet names, UDF's 16-bit names) as UTF-8;
// a lone surrogate becomes U+FFFD.
std::string utf8_of_utf16be(const std::uint8_t* p, std::size_t units) {
    std::string out;
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t c = load_be16(p + 2 * i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
            const std::uint32_t low = load_be16(p + 2 * (i + 1));
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

// A name as paths show it: a file's without its ";1" version and without
// the dot that a file name without extension carries ("README.;1").
std::string display_name(std::string name) {
    const std::size_t semicolon = name.rfind(';');
    if (semicolon == std::string::npos) {
        return name;
    }
    name.resize(semicolon);
    if (name.size() > 1 && name.back() == '.' && name != "..") {
        name.pop_back();
    }
    return name;
}

// A file as one tree (primary or Joliet) shows it.
struct TreeFile {
    std::string path;
    std::vector<IsoRecord> records;
    std::vector<DataExtent> extents;
    std::uint64_t size = 0;
    std::uint64_t sector = 0;
    std::string problem;
};

class Parser {
  public:
    Parser(const ImageReader& reader, const std::string& path, IsoImage* image, std::string* err)
        : reader_(reader), path_(path), image_(*image), err_(err) {}

    bool run();

  private:
    bool fail(std::string_view what, std::string_view where) {
        *err_ = error_message(path_, what, where);
        return false;
    }
    bool read(std::uint64_t offset, std::span<std::uint8_t> out, std::string_view what) {
        if (!range_fits(image_.size, offset, out.size())) {
            return fail(std::string(what) + " lies past the end of the image (" +
                            std::to_string(image_.size) + " bytes)",
                        offset_place(offset));
        }
        return reader_.read(offset, out, err_);
    }
    bool read_sector(std::uint64_t sector, Sector* out, std::string_view what) {
        return read(disc_offset(sector), *out, what);
    }
    // Checks that `sectors` sectors from `start` lie inside the image.
    bool check_inside(std::uint64_t start, std::uint64_t length, std::string_view what,
                      std::string_view where) {
        if (!range_fits(image_.size, disc_offset(start), length) ||
            start > (UINT64_MAX >> DISC_SECTOR_SHIFT)) {
            return fail(std::string(what) + " lies past the end of the image (sector " +
                            std::to_string(start) + ", " + std::to_string(length) +
                            " bytes; the image holds " + std::to_string(image_.size) + " bytes)",
                        where);
        }
        return true;
    }
    void allocate(std::uint64_t start, std::uint64_t length_bytes, std::int64_t file = -1) {
        image_.allocations.push_back(
            {start, start + std::max<std::uint64_t>(disc_sectors(length_bytes), 1), file});
    }
    bool count_record() {
        if (++records_ > MAX_IMAGE_RECORDS) {
            return fail("holds more than " + std::to_string(MAX_IMAGE_RECORDS) +
                            " files and folders, more than isopatch reads",
                        "");
        }
        return true;
    }

    bool read_volume_descriptors();
    bool walk_tree(const IsoRecord& root, bool joliet, std::vector<TreeFile>* files);
    bool scan_system_use(const std::uint8_t* record, std::size_t length, std::size_t name_length,
                         bool is_root_self);
    bool follow_continuation(std::uint32_t block, std::uint32_t offset, std::uint32_t length,
                             int depth);
    void read_boot_catalog(std::uint32_t catalog);
    bool read_udf();
    bool read_udf_sequence(std::uint32_t location, std::uint32_t length, bool main);
    bool read_udf_tree(std::uint32_t fsd_block, std::uint32_t fsd_length);
    bool read_file_entry(std::uint32_t block, const std::string& path, UdfFile* out,
                         bool* directory, bool* other);
    bool read_udf_directory(const UdfFile& directory, const std::string& path,
                            std::vector<std::pair<std::string, std::uint32_t>>* children);
    void match_trees(const std::vector<TreeFile>& joliet);
    std::string udf_place(std::uint32_t block) const {
        return "UDF block " + std::to_string(block) + ", " +
               sector_place(std::uint64_t{image_.udf.partition_start} + block);
    }

    const ImageReader& reader_;
    const std::string& path_;
    IsoImage& image_;
    std::string* err_;
    std::size_t records_ = 0;
    std::size_t susp_skip_ = 0;  ///< bytes before the first System Use entry (Rock Ridge)
    bool udf_recognised_ = false;
    IsoRecord primary_root_, joliet_root_;
    bool have_joliet_ = false;
    // UDF logical volume, as the main sequence gives it.
    bool have_partition_ = false, have_logical_volume_ = false;
    std::uint16_t map_partition_number_ = 0;
    std::uint32_t fsd_block_ = 0, fsd_length_ = 0;
    std::uint32_t integrity_location_ = 0, integrity_length_ = 0;
};

bool Parser::run() {
    image_ = IsoImage{};
    image_.size = reader_.size();
    if (image_.size < disc_offset(17)) {
        return fail("is too short for a disc image (" + std::to_string(image_.size) +
                        " bytes; the first volume descriptor lies at offset 0x8000)",
                    "");
    }
    allocate(0, disc_offset(16));  // the system area
    if (!read_volume_descriptors()) {
        return false;
    }
    std::vector<TreeFile> primary, joliet;
    if (!walk_tree(primary_root_, false, &primary)) {
        return false;
    }
    if (have_joliet_ && !walk_tree(joliet_root_, true, &joliet)) {
        return false;
    }
    image_.joliet = have_joliet_;
    image_.files.reserve(primary.size());
    for (TreeFile& f : primary) {
        IsoFile file;
        file.path = std::move(f.path);
        file.records = std::move(f.records);
        file.extents = std::move(f.extents);
        file.size = f.size;
        file.sector = f.sector;
        file.problem = std::move(f.problem);
        image_.files.push_back(std::move(file));
    }
    if (udf_recognised_ && !read_udf()) {
        return false;
    }
    match_trees(joliet);
    std::sort(image_.allocations.begin(), image_.allocations.end(),
              [](const Allocation& a, const Allocation& b) {
                  return a.start != b.start ? a.start < b.start : a.end < b.end;
              });
    return true;
}

bool Parser::read_volume_descriptors() {
    bool have_primary = false;
    Sector s;
    std::uint64_t sector = 16;
    for (;; ++sector) {
        if (!range_fits(image_.size, disc_offset(sector), DISC_SECTOR)) {
            return fail("has no volume descriptor set terminator before its end", "");
        }
        if (!read_sector(sector, &s, "a volume descriptor")) {
            return false;
        }
        if (std::memcmp(s.data() + 1, "CD001", 5) != 0) {
            return fail("holds no ISO 9660 volume descriptor where one is expected (no \"CD001\")",
                        sector_place(sector));
        }
        allocate(sector, DISC_SECTOR);
        const std::uint8_t type = s[0];
        if (type == 255) {
            break;
        }
        if (type == 1 && !have_primary) {
            std::uint16_t block_size = 0;
            if (!load_both16(s.data() + 128, &block_size) || block_size != DISC_SECTOR) {
                return fail("the primary volume descriptor's logical block size is " +
                                std::to_string(load_le16(s.data() + 128)) +
                                ", not 2048, or its byte orders disagree",
                            sector_place(sector));
            }
            if (!load_both32(s.data() + 80, &image_.volume_space_size)) {
                return fail("the two byte orders of the volume space size disagree",
                            sector_place(sector));
            }
            std::uint32_t table_size = 0;
            if (load_both32(s.data() + 132, &table_size) && table_size > 0) {
                // The path tables: two little-endian, two big-endian copies.
                const std::uint32_t tables[] = {
                    load_le32(s.data() + 140), load_le32(s.data() + 144), load_be32(s.data() + 148),
                    load_be32(s.data() + 152)};
                for (const std::uint32_t table : tables) {
                    if (table != 0) {
                        if (!check_inside(table, table_size, "a path table",
                                          sector_place(sector))) {
                            return false;
                        }
                        allocate(table, table_size);
                    }
                }
            }
            primary_root_.offset = disc_offset(sector) + 156;
            have_primary = true;
            image_.volume_descriptors.push_back(sector);
        } else if (type == 2) {
            image_.volume_descriptors.push_back(sector);
            const std::uint8_t* escape = s.data() + 88;
            if (!have_joliet_ && escape[0] == '%' && escape[1] == '/' &&
                (escape[2] == '@' || escape[2] == 'C' || escape[2] == 'E')) {
                have_joliet_ = true;
                joliet_root_.offset = disc_offset(sector) + 156;
                std::uint32_t table_size = 0;
                if (load_both32(s.data() + 132, &table_size) && table_size > 0) {
                    const std::uint32_t tables[] = {
                        load_le32(s.data() + 140), load_le32(s.data() + 144),
                        load_be32(s.data() + 148), load_be32(s.data() + 152)};
                    for (const std::uint32_t table : tables) {
                        if (table != 0) {
                            if (!check_inside(table, table_size, "a Joliet path table",
                                              sector_place(sector))) {
                                return false;
                            }
                            allocate(table, table_size);
                        }
                    }
                }
            }
        } else if (type == 0 && std::memcmp(s.data() + 7, "EL TORITO ", 10) == 0) {
            // The boot record of a bootable disc: its catalog and boot image.
            read_boot_catalog(load_le32(s.data() + 71));
        }
    }
    if (!have_primary) {
        return fail("has no ISO 9660 primary volume descriptor", "");
    }
    // Images written for appending (xorriso's) start their session at
    // sector 32 and keep its own volume descriptors at 48, which state the
    // session's size; those at 16 say where the whole image ends.
    const std::uint64_t copy_start = 48;
    std::uint8_t root_record[34];
    if (!read(primary_root_.offset, root_record, "the root directory record")) {
        return false;
    }
    if (sector < copy_start && range_fits(image_.size, disc_offset(copy_start), DISC_SECTOR)) {
        if (!read_sector(copy_start, &s, "a volume descriptor")) {
            return false;
        }
        // The copy states the size of the session, which starts at 32.
        std::uint32_t session_size = 0;
        if (std::memcmp(s.data() + 1, "CD001", 5) == 0 && s[0] == 1 &&
            std::memcmp(s.data() + 156, root_record, 34) == 0 &&
            load_both32(s.data() + 80, &session_size) &&
            std::uint64_t{session_size} + 32 == image_.volume_space_size) {
            for (std::uint64_t copy = copy_start;
                 copy < copy_start + 64 && range_fits(image_.size, disc_offset(copy), DISC_SECTOR);
                 ++copy) {
                if (!read_sector(copy, &s, "a volume descriptor")) {
                    return false;
                }
                if (std::memcmp(s.data() + 1, "CD001", 5) != 0) {
                    break;
                }
                allocate(copy, DISC_SECTOR);
                if (s[0] == 255) {
                    break;
                }
                if (s[0] == 1 || s[0] == 2) {
                    image_.session_descriptors.push_back(copy);
                }
            }
        }
    }
    // The volume recognition sequence after the terminator says whether a
    // UDF volume is there.
    for (++sector; range_fits(image_.size, disc_offset(sector), DISC_SECTOR); ++sector) {
        if (!read_sector(sector, &s, "a volume recognition descriptor")) {
            return false;
        }
        static const char* const ids[] = {"BEA01", "NSR02", "NSR03", "TEA01", "BOOT2", "CDW02"};
        const char* const* id = std::find_if(std::begin(ids), std::end(ids), [&](const char* x) {
            return std::memcmp(s.data() + 1, x, 5) == 0;
        });
        if (id == std::end(ids)) {
            break;
        }
        allocate(sector, DISC_SECTOR);
        if (std::memcmp(*id, "NSR0", 4) == 0) {
            udf_recognised_ = true;
        }
    }
    // The root directory records, read like any other record.
    for (IsoRecord* root : {&primary_root_, &joliet_root_}) {
        if (root == &joliet_root_ && !have_joliet_) {
            continue;
        }
        std::uint8_t r[34];
        if (!read(root->offset, r, "the root directory record")) {
            return false;
        }
        if (!load_both32(r + 2, &root->extent) || !load_both32(r + 10, &root->length)) {
            return fail("the two byte orders of the root directory record disagree",
                        offset_place(root->offset));
        }
        root->xa_length = r[1];
        root->flags = r[25];
    }
    return true;
}

void Parser::read_boot_catalog(std::uint32_t catalog) {
    Sector s;
    if (!range_fits(image_.size, disc_offset(catalog), DISC_SECTOR) ||
        !reader_.read(disc_offset(catalog), s, err_)) {
        return;  // not a structure isopatch needs; a file may still not grow over it
    }
    allocate(catalog, DISC_SECTOR);
    // The default entry: the boot image's start and its length in 512-byte units.
    const std::uint16_t count = load_le16(s.data() + 32 + 6);
    const std::uint32_t start = load_le32(s.data() + 32 + 8);
    const std::uint64_t length = std::max<std::uint64_t>(std::uint64_t{count} * 512, DISC_SECTOR);
    if (start != 0 && range_fits(image_.size, disc_offset(start), length)) {
        allocate(start, length);
    }
}

bool Parser::walk_tree(const IsoRecord& root, bool joliet, std::vector<TreeFile>* files) {
    const char* tree = joliet ? "the Joliet tree" : "the ISO 9660 tree";
    struct Directory {
        std::uint64_t extent;
        std::uint32_t length;
        std::string path;
        std::size_t depth;
    };
    std::vector<Directory> stack;
    std::unordered_map<std::uint64_t, std::string> visited;  // extent -> path, for loops
    const std::uint64_t root_extent = std::uint64_t{root.extent} + root.xa_length;
    stack.push_back({root_extent, root.length, "", 0});
    visited.emplace(root_extent, "/");
    Sector s;
    while (!stack.empty()) {
        const Directory dir = std::move(stack.back());
        stack.pop_back();
        const std::string dir_name = dir.path.empty() ? std::string("/") : dir.path;
        const std::string dir_place = "directory " + quoted(dir_name) + " of " + tree;
        if (!check_inside(dir.extent, dir.length, "the " + dir_place, sector_place(dir.extent))) {
            return false;
        }
        allocate(dir.extent, dir.length);
        std::vector<Directory> subdirectories;
        TreeFile* pending = nullptr;  // a file whose later extents are still to come
        std::string pending_name;
        const std::uint64_t sector_count = disc_sectors(dir.length);
        for (std::uint64_t i = 0; i < sector_count; ++i) {
            const std::uint64_t sector = dir.extent + i;
            if (!read_sector(sector, &s, "the " + dir_place)) {
                return false;
            }
            const std::size_t limit = static_cast<std::size_t>(
                std::min<std::uint64_t>(DISC_SECTOR, dir.length - i * DISC_SECTOR));
            std::size_t pos = 0;
            while (pos < limit && s[pos] != 0) {
                const std::uint8_t* r = s.data() + pos;
                const std::size_t length = r[0];
                const std::uint64_t offset = disc_offset(sector) + pos;
                const std::string place = dir_place + ", record at " + offset_place(offset);
                if (length < 34 || pos + length > limit) {
                    return fail("a directory record of " + std::to_string(length) +
                                    " bytes does not fit its sector",
                                place);
                }
                const std::size_t name_length = r[32];
                if (33 + name_length > length || name_length == 0) {
                    return fail("a directory record's name does not fit the record", place);
                }
                IsoRecord record;
                record.offset = offset;
                record.xa_length = r[1];
                record.flags = r[25];
                if (!load_both32(r + 2, &record.extent) || !load_both32(r + 10, &record.length)) {
                    return fail("the two byte orders of a directory record disagree", place);
                }
                const bool root_self =
                    name_length == 1 && r[33] == 0 && dir.depth == 0 && i == 0 && pos == 0;
                if (!joliet && !scan_system_use(r, length, name_length, root_self)) {
                    return false;
                }
                pos += length;
                if (name_length == 1 && (r[33] == 0 || r[33] == 1)) {
                    continue;  // the folder itself and its parent
                }
                std::string name =
                    joliet ? utf8_of_utf16be(r + 33, name_length / 2)
                           : std::string(reinterpret_cast<const char*>(r + 33), name_length);
                name = display_name(std::move(name));
                if (name.empty() || name.find('/') != std::string::npos ||
                    name.find('\0') != std::string::npos) {
                    return fail("a directory record's name is empty or holds \"/\" or a zero byte",
                                place);
                }
                std::string path = dir.path.empty() ? name : dir.path + "/" + name;
                if (path.size() > 4095) {
                    return fail("a path is longer than 4095 bytes", place);
                }
                if (!count_record()) {
                    return false;
                }
                const std::uint64_t data = std::uint64_t{record.extent} + record.xa_length;
                if (record.flags & ISO_DIRECTORY) {
                    if (pending != nullptr) {
                        return fail(
                            "the extents of " + quoted(pending->path) + " stop before its last one",
                            place);
                    }
                    if (record.flags & ISO_MULTI_EXTENT) {
                        return fail("the directory " + quoted(path) + " claims several extents",
                                    place);
                    }
                    const auto [seen, fresh] = visited.emplace(data, path);
                    if (!fresh) {
                        return fail("the directory " + quoted(path) + " points back at " +
                                        quoted(seen->second) + ": the tree loops",
                                    place);
                    }
                    if (dir.depth + 1 > MAX_DIRECTORY_DEPTH) {
                        return fail("directories nest more than " +
                                        std::to_string(MAX_DIRECTORY_DEPTH) + " deep",
                                    place);
                    }
                    subdirectories.push_back({data, record.length, std::move(path), dir.depth + 1});
                    continue;
                }
                if (!check_inside(data, record.length, "the data of " + quoted(path), place)) {
                    return false;
                }
                if (record.flags & ISO_ASSOCIATED) {
                    allocate(data, record.length);
                    continue;
                }
                if (pending != nullptr && path != pending->path) {
                    return fail(
                        "the extents of " + quoted(pending->path) + " stop before its last one",
                        place);
                }
                if (pending == nullptr) {
                    files->push_back({});
                    pending = &files->back();
                    pending->path = std::move(path);
                    pending->sector = data;
                }
                TreeFile& file = *pending;
                if (file.records.empty() && record.length == 0) {
                    file.sector = record.extent;
                }
                file.records.push_back(record);
                if (record.length > 0) {
                    if (r[26] != 0) {
                        // Interleaved: units of data with gaps between them.
                        file.problem = "it is stored interleaved, which isopatch does not read";
                        const std::uint64_t units =
                            (disc_sectors(record.length) + r[26] - 1) / r[26];
                        const std::uint64_t span =
                            disc_offset(units * (std::uint64_t{r[26]} + r[27]));
                        if (range_fits(image_.size, disc_offset(data), span)) {
                            allocate(data, span);
                        }
                    }
                    if (file.extents.empty()) {
                        file.sector = data;
                    }
                    file.extents.push_back({data, record.length});
                    file.size += record.length;
                }
                if (!(record.flags & ISO_MULTI_EXTENT)) {
                    pending = nullptr;
                }
            }
        }
        if (pending != nullptr) {
            return fail("the extents of " + quoted(pending->path) + " stop before its last one",
                        dir_place);
        }
        for (auto it = subdirectories.rbegin(); it != subdirectories.rend(); ++it) {
            stack.push_back(std::move(*it));
        }
    }
    return true;
}

// Rock Ridge keeps what does not fit a record in continuation areas (CE
// entries of the System Use area): sectors a file must not grow over.
bool Parser::scan_system_use(const std::uint8_t* record, std::size_t length,
                             std::size_t name_length, bool is_root_self) {
    std::size_t pos = 33 + name_length + (name_length % 2 == 0 ? 1 : 0);
    if (is_root_self) {
        // "SP" in the root's own record says how many bytes to skip in every
        // other record's System Use area.
        if (pos + 7 <= length && record[pos] == 'S' && record[pos + 1] == 'P' &&
            record[pos + 4] == 0xBE && record[pos + 5] == 0xEF) {
            susp_skip_ = record[pos + 6];
        }
    } else {
        pos += susp_skip_;
    }
    while (pos + 4 <= length) {
        const std::size_t entry = record[pos + 2];
        if (entry < 4 || pos + entry > length) {
            break;  // not System Use entries
        }
        if (record[pos] == 'C' && record[pos + 1] == 'E' && entry >= 28) {
            std::uint32_t block = 0, area = 0, area_length = 0;
            if (load_both32(record + pos + 4, &block) && load_both32(record + pos + 12, &area) &&
                load_both32(record + pos + 20, &area_length) &&
                !follow_continuation(block, area, area_length, 0)) {
                return false;
            }
        }
        pos += entry;
    }
    return true;
}

bool Parser::follow_continuation(std::uint32_t block, std::uint32_t offset, std::uint32_t length,
                                 int depth) {
    const std::uint64_t end = std::uint64_t{offset} + length;
    if (!check_inside(block, end, "a Rock Ridge continuation area", sector_place(block))) {
        return false;
    }
    allocate(block, end);
    if (depth >= 8 || length > 64 * 1024) {
        return true;
    }
    std::vector<std::uint8_t> area(length);
    if (!read(disc_offset(block) + offset, area, "a Rock Ridge continuation area")) {
        return false;
    }
    for (std::size_t pos = 0; pos + 4 <= area.size();) {
        const std::size_t entry = area[pos + 2];
        if (entry < 4 || pos + entry > area.size()) {
            break;
        }
        if (area[pos] == 'C' && area[pos + 1] == 'E' && entry >= 28) {
            std::uint32_t b = 0, o = 0, l = 0;
            if (load_both32(&area[pos + 4], &b) && load_both32(&area[pos + 12], &o) &&
                load_both32(&area[pos + 20], &l) && !follow_continuation(b, o, l, depth + 1)) {
                return false;
            }
        }
        pos += entry;
    }
    return true;
}

// ---------------------------------------------------------------------------
// UDF

bool Parser::read_udf() {
    UdfVolume& udf = image_.udf;
    udf.present = true;
    const std::uint64_t sectors = image_.size >> DISC_SECTOR_SHIFT;
    Sector s;
    // The anchor lies at sector 256, or at the last sector (and 256 before it).
    std::vector<std::uint64_t> candidates = {256};
    if (sectors > 0) {
        candidates.push_back(sectors - 1);
    }
    if (sectors > 257) {
        candidates.push_back(sectors - 257);
    }
    bool found = false;
    for (const std::uint64_t candidate : candidates) {
        if (candidate >= sectors || candidate > UINT32_MAX) {
            continue;
        }
        if (!read_sector(candidate, &s, "the UDF anchor")) {
            return false;
        }
        if (udf_tag_id(s.data()) != UDF_ANCHOR ||
            udf_tag_problem(s, static_cast<std::uint32_t>(candidate)) != nullptr) {
            continue;
        }
        allocate(candidate, DISC_SECTOR);
        if (!found) {
            found = true;
            udf.anchor = static_cast<std::uint32_t>(candidate);
            const std::uint32_t main_length = load_le32(s.data() + 16);
            const std::uint32_t main_location = load_le32(s.data() + 20);
            const std::uint32_t reserve_length = load_le32(s.data() + 24);
            const std::uint32_t reserve_location = load_le32(s.data() + 28);
            if (!read_udf_sequence(main_location, main_length, true) ||
                (reserve_length > 0 &&
                 !read_udf_sequence(reserve_location, reserve_length, false))) {
                return false;
            }
        }
    }
    if (!found) {
        return fail(
            "announces a UDF volume, but no sound UDF anchor lies at sector 256 or at "
            "the last sector",
            "");
    }
    if (!udf.problem.empty()) {
        return true;
    }
    if (!have_partition_ || !have_logical_volume_) {
        return fail("the UDF volume descriptor sequence lacks its partition or logical volume",
                    sector_place(udf.anchor));
    }
    if (std::uint64_t{udf.partition_start} + udf.partition_length > sectors) {
        return fail("the UDF partition (sectors " + std::to_string(udf.partition_start) + " to " +
                        std::to_string(std::uint64_t{udf.partition_start} + udf.partition_length) +
                        ") runs past the end of the image (" + std::to_string(sectors) +
                        " sectors)",
                    sector_place(udf.partition_descriptors.front()));
    }
    // The integrity sequence: the descriptors whose size table follows the partition.
    if (integrity_length_ > 0) {
        const std::uint64_t count = std::min<std::uint64_t>(disc_sectors(integrity_length_), 64);
        if (!check_inside(integrity_location_, disc_offset(count), "the UDF integrity sequence",
                          sector_place(integrity_location_))) {
            return false;
        }
        allocate(integrity_location_, integrity_length_);
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t sector = std::uint64_t{integrity_location_} + i;
            if (!read_sector(sector, &s, "the UDF integrity sequence")) {
                return false;
            }
            const std::uint16_t id = udf_tag_id(s.data());
            if (id == UDF_TERMINATING ||
                (id == 0 &&
                 std::all_of(s.begin(), s.begin() + 16, [](std::uint8_t b) { return b == 0; }))) {
                break;
            }
            if (const char* problem = udf_tag_problem(s, static_cast<std::uint32_t>(sector));
                id != UDF_INTEGRITY || problem != nullptr) {
                return fail(std::string("the UDF integrity sequence holds a damaged descriptor (") +
                                (problem != nullptr ? problem : "not an integrity descriptor") +
                                ")",
                            sector_place(sector));
            }
            const std::uint32_t partitions = load_le32(s.data() + 72);
            const std::uint32_t use_length = load_le32(s.data() + 76);
            if (std::uint64_t{partitions} * 8 + use_length + 80 > DISC_SECTOR ||
                udf.partition_reference >= partitions) {
                return fail("the UDF integrity descriptor's tables do not fit it",
                            sector_place(sector));
            }
            if (load_le32(s.data() + 32) != 0) {
                udf.problem = "its UDF integrity sequence continues elsewhere";
            }
            udf.integrity_descriptors.push_back(sector);
        }
    }
    if (udf.integrity_descriptors.empty() && udf.problem.empty()) {
        udf.problem = "its UDF volume has no integrity descriptor";
    }
    return read_udf_tree(fsd_block_, fsd_length_);
}

bool Parser::read_udf_sequence(std::uint32_t location, std::uint32_t length, bool main) {
    UdfVolume& udf = image_.udf;
    const char* which = main ? "the main UDF volume descriptor sequence"
                             : "the reserve UDF volume descriptor sequence";
    const std::uint64_t count = std::min<std::uint64_t>(disc_sectors(length), 256);
    if (count == 0 || !check_inside(location, disc_offset(count), which, sector_place(location))) {
        return count != 0 || fail(std::string(which) + " is empty", sector_place(udf.anchor));
    }
    allocate(location, length);
    Sector s;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t sector = std::uint64_t{location} + i;
        if (!read_sector(sector, &s, which)) {
            return false;
        }
        const std::uint16_t id = udf_tag_id(s.data());
        if (const char* problem = udf_tag_problem(s, static_cast<std::uint32_t>(sector))) {
            return fail(std::string(which) + " holds a descriptor with a bad tag (" + problem + ")",
                        sector_place(sector));
        }
        if (id == UDF_TERMINATING) {
            break;
        }
        if (id == UDF_VOLUME_POINTER) {
            udf.problem = "its UDF volume descriptor sequence continues elsewhere";
            continue;
        }
        if (id == UDF_PARTITION) {
            const std::uint16_t number = load_le16(s.data() + 22);
            if (main && !have_partition_) {
                have_partition_ = true;
                udf.partition_number = number;
                udf.partition_start = load_le32(s.data() + 188);
                udf.partition_length = load_le32(s.data() + 192);
                // The partition header: space tables or bitmaps would have
                // to grow with the partition.
                for (int field = 0; field < 5; ++field) {
                    if (load_le32(s.data() + 56 + 8 * field) != 0) {
                        udf.growth_problem =
                            "its UDF partition keeps a table or bitmap of free space";
                    }
                }
            }
            if (have_partition_ && number == udf.partition_number) {
                udf.partition_descriptors.push_back(sector);
                if (load_le32(s.data() + 188) != udf.partition_start ||
                    load_le32(s.data() + 192) != udf.partition_length) {
                    return fail("the reserve UDF partition descriptor disagrees with the main one",
                                sector_place(sector));
                }
            }
        } else if (id == UDF_LOGICAL_VOLUME && main && !have_logical_volume_) {
            have_logical_volume_ = true;
            if (load_le32(s.data() + 212) != DISC_SECTOR) {
                udf.problem = "its UDF logical block size is not 2048";
            }
            fsd_length_ = load_le32(s.data() + 248) & 0x3FFFFFFF;
            fsd_block_ = load_le32(s.data() + 252);
            const std::uint32_t table_length = load_le32(s.data() + 264);
            const std::uint32_t maps = load_le32(s.data() + 268);
            integrity_length_ = load_le32(s.data() + 432);
            integrity_location_ = load_le32(s.data() + 436);
            if (!range_fits(DISC_SECTOR, 440, table_length)) {
                return fail("the UDF partition maps do not fit their descriptor",
                            sector_place(sector));
            }
            std::size_t pos = 440;
            bool found_map = false;
            for (std::uint32_t m = 0; m < maps; ++m) {
                if (pos + 2 > 440 + table_length || s[pos + 1] < 2 ||
                    pos + s[pos + 1] > 440 + table_length) {
                    return fail("the UDF partition maps do not fit their descriptor",
                                sector_place(sector));
                }
                if (s[pos] == 1 && s[pos + 1] == 6 && !found_map) {
                    found_map = true;
                    udf.partition_reference = static_cast<std::uint16_t>(m);
                    map_partition_number_ = load_le16(s.data() + pos + 4);
                } else {
                    udf.problem = "its UDF volume has a partition map isopatch does not write";
                }
                pos += s[pos + 1];
            }
            if (!found_map) {
                udf.problem = "its UDF volume has no plain partition map";
            }
        }
    }
    if (main && have_partition_ && have_logical_volume_ &&
        map_partition_number_ != udf.partition_number && udf.problem.empty()) {
        udf.problem = "its UDF volume has several partitions";
    }
    return true;
}

bool Parser::read_file_entry(std::uint32_t block, const std::string& path, UdfFile* out,
                             bool* directory, bool* other) {
    UdfVolume& udf = image_.udf;
    const std::string place = "the UDF file entry of " + quoted(path.empty() ? "/" : path);
    if (block >= udf.partition_length) {
        return fail(place + " lies outside the UDF partition", udf_place(block));
    }
    const std::uint64_t sector = std::uint64_t{udf.partition_start} + block;
    Sector s;
    if (!read_sector(sector, &s, place)) {
        return false;
    }
    allocate(sector, DISC_SECTOR);
    const std::uint16_t id = udf_tag_id(s.data());
    if (const char* problem = udf_tag_problem(s, block)) {
        return fail(place + " has a bad tag (" + problem + ")", udf_place(block));
    }
    if (id != UDF_FILE_ENTRY) {
        if (id == UDF_EXTENDED_FILE_ENTRY || id == UDF_INDIRECT_ENTRY) {
            udf.problem = "its UDF tree uses entries newer than UDF 1.02";
            *other = true;
            return true;
        }
        return fail(place + " is not a file entry", udf_place(block));
    }
    out->path = path;
    out->block = block;
    out->offset = disc_offset(sector);
    const std::uint8_t type = s[27];
    *directory = type == 4;
    *other = type != 4 && type != 5;
    out->ad_type = static_cast<std::uint8_t>(load_le16(s.data() + 34) & 7);
    out->size = load_le64(s.data() + 56);
    out->ea_length = load_le32(s.data() + 168);
    out->ad_length = load_le32(s.data() + 172);
    if (std::uint64_t{out->ea_length} + out->ad_length + 176 > DISC_SECTOR) {
        return fail(place + "'s allocation descriptors do not fit it", udf_place(block));
    }
    if (load_le16(s.data() + 20) != 4) {
        out->problem = "its UDF file entry uses another strategy than UDF 1.02's";
    }
    const std::uint8_t* ads = s.data() + 176 + out->ea_length;
    if (out->ad_type == 3) {
        if (out->size > out->ad_length) {
            return fail(place + " holds less data than its length", udf_place(block));
        }
        out->problem = "its UDF file entry holds the data itself";
        return true;
    }
    if (out->ad_type > 1) {
        out->problem = "its UDF file entry uses extended allocation descriptors";
        return true;
    }
    const std::size_t ad_size = out->ad_type == 0 ? 8 : 16;
    std::uint64_t recorded = 0;
    for (std::size_t pos = 0; pos + ad_size <= out->ad_length; pos += ad_size) {
        const std::uint32_t word = load_le32(ads + pos);
        const std::uint32_t length = word & 0x3FFFFFFF;
        const std::uint32_t kind = word >> 30;
        const std::uint32_t position = load_le32(ads + pos + 4);
        if (length == 0) {
            break;
        }
        if (kind == 3) {
            out->problem = "its UDF allocation descriptors continue elsewhere";
            break;
        }
        if (out->ad_type == 1 && load_le16(ads + pos + 8) != udf.partition_reference) {
            out->problem = "its UDF data lies in another partition";
            break;
        }
        if (kind != 0) {
            out->problem = "its UDF data has unrecorded extents";
            continue;
        }
        if (std::uint64_t{position} + disc_sectors(length) > udf.partition_length) {
            return fail(place + " points outside the UDF partition", udf_place(block));
        }
        const std::uint64_t start = std::uint64_t{udf.partition_start} + position;
        if (!check_inside(start, length, "the data of " + place, udf_place(block))) {
            return false;
        }
        out->extents.push_back({start, length});
        recorded += length;
    }
    if (recorded < out->size && out->problem.empty()) {
        return fail(place + " records " + std::to_string(recorded) + " bytes of its " +
                        std::to_string(out->size),
                    udf_place(block));
    }
    return true;
}

bool Parser::read_udf_directory(const UdfFile& directory, const std::string& path,
                                std::vector<std::pair<std::string, std::uint32_t>>* children) {
    UdfVolume& udf = image_.udf;
    const std::string place = "the UDF directory " + quoted(path.empty() ? "/" : path);
    if (directory.size > MAX_UDF_DIRECTORY) {
        return fail(place + " is larger than " + std::to_string(MAX_UDF_DIRECTORY >> 20) +
                        " MiB, more than isopatch reads",
                    udf_place(directory.block));
    }
    // The directory's bytes, and the block each byte lies in (the tag of a
    // file identifier names the block its first byte lies in).
    std::vector<std::uint8_t> data;
    std::vector<std::pair<std::size_t, std::uint64_t>> blocks;  // (data offset, block)
    if (directory.ad_type == 3) {
        data.resize(static_cast<std::size_t>(directory.size));
        if (!read(directory.offset + 176 + directory.ea_length, data, place)) {
            return false;
        }
        blocks.push_back({0, directory.block});
    } else {
        if (!directory.problem.empty()) {
            udf.problem = directory.problem;
            return true;
        }
        for (const DataExtent& extent : directory.extents) {
            const std::uint64_t want = std::min(extent.length, directory.size - data.size());
            if (want == 0) {
                break;
            }
            allocate(extent.sector, extent.length);
            blocks.push_back({data.size(), extent.sector - udf.partition_start});
            const std::size_t at = data.size();
            data.resize(at + static_cast<std::size_t>(want));
            if (!read(disc_offset(extent.sector), {data.data() + at, data.size() - at}, place)) {
                return false;
            }
        }
    }
    std::size_t pos = 0;
    while (pos + 38 <= data.size()) {
        auto block_of =
            std::upper_bound(blocks.begin(), blocks.end(), pos,
                             [](std::size_t p, const std::pair<std::size_t, std::uint64_t>& b) {
                                 return p < b.first;
                             });
        --block_of;
        const std::uint64_t block =
            block_of->second + (directory.ad_type == 3 ? 0 : (pos - block_of->first) / DISC_SECTOR);
        const std::uint8_t* f = data.data() + pos;
        const std::size_t name_length = f[19];
        const std::size_t use_length = load_le16(f + 36);
        const std::size_t size = (38 + use_length + name_length + 3) & ~std::size_t{3};
        const std::string where = place + ", identifier at byte " + std::to_string(pos);
        if (udf_tag_id(f) != UDF_FILE_IDENTIFIER ||
            pos + 38 + use_length + name_length > data.size()) {
            return fail(place + " holds a damaged file identifier",
                        udf_place(static_cast<std::uint32_t>(block)));
        }
        const std::span<const std::uint8_t> descriptor(f, std::min(size, data.size() - pos));
        if (const char* problem = udf_tag_problem(descriptor, static_cast<std::uint32_t>(block))) {
            return fail(place + " holds a file identifier with a bad tag (" + problem + ")",
                        udf_place(static_cast<std::uint32_t>(block)));
        }
        pos += size;
        const std::uint8_t characteristics = f[18];
        if (characteristics & 0x0C) {
            continue;  // the parent, or a deleted entry
        }
        if (name_length == 0) {
            return fail(place + " holds a file identifier without a name",
                        udf_place(static_cast<std::uint32_t>(block)));
        }
        const std::uint8_t* name = f + 38 + use_length;
        std::string text;
        if (name[0] == 8) {
            for (std::size_t i = 1; i < name_length; ++i) {
                append_utf8(text, name[i]);
            }
        } else if (name[0] == 16) {
            text = utf8_of_utf16be(name + 1, (name_length - 1) / 2);
        } else {
            return fail(place + " holds a name in an unknown encoding",
                        udf_place(static_cast<std::uint32_t>(block)));
        }
        if (load_le16(f + 28) != udf.partition_reference) {
            udf.problem = "its UDF tree spans several partitions";
            continue;
        }
        children->push_back({path.empty() ? text : path + "/" + text, load_le32(f + 24)});
    }
    return true;
}

bool Parser::read_udf_tree(std::uint32_t fsd_block, std::uint32_t fsd_length) {
    UdfVolume& udf = image_.udf;
    if (!udf.problem.empty()) {
        return true;
    }
    if (fsd_block >= udf.partition_length) {
        return fail("the UDF file set descriptor lies outside the partition", udf_place(fsd_block));
    }
    Sector s;
    const std::uint64_t fsd_sector = std::uint64_t{udf.partition_start} + fsd_block;
    if (!read_sector(fsd_sector, &s, "the UDF file set descriptor")) {
        return false;
    }
    if (const char* problem = udf_tag_problem(s, fsd_block);
        problem != nullptr || udf_tag_id(s.data()) != UDF_FILE_SET) {
        return fail(std::string("the UDF file set descriptor is damaged (") +
                        (problem != nullptr ? problem : "another descriptor lies there") + ")",
                    udf_place(fsd_block));
    }
    allocate(fsd_sector, std::max<std::uint32_t>(fsd_length, DISC_SECTOR));
    const std::uint32_t root = load_le32(s.data() + 400 + 4);
    struct Pending {
        std::uint32_t block;
        std::string path;
        std::size_t depth;
    };
    std::vector<Pending> stack = {{root, "", 0}};
    std::unordered_map<std::uint32_t, std::string> visited = {{root, "/"}};
    while (!stack.empty()) {
        const Pending dir = std::move(stack.back());
        stack.pop_back();
        UdfFile entry;
        bool is_directory = false, other = false;
        if (!read_file_entry(dir.block, dir.path, &entry, &is_directory, &other)) {
            return false;
        }
        if (other || !udf.problem.empty()) {
            if (!udf.problem.empty()) {
                return true;
            }
            continue;
        }
        if (!is_directory) {
            return fail("the UDF root is not a directory", udf_place(dir.block));
        }
        std::vector<std::pair<std::string, std::uint32_t>> children;
        if (!read_udf_directory(entry, dir.path, &children)) {
            return false;
        }
        if (!udf.problem.empty()) {
            return true;
        }
        std::vector<Pending> subdirectories;
        for (auto& [child_path, block] : children) {
            if (!count_record()) {
                return false;
            }
            if (child_path.size() > 4095) {
                return fail("a UDF path is longer than 4095 bytes", udf_place(block));
            }
            UdfFile child;
            bool child_directory = false, child_other = false;
            if (visited.contains(block)) {
                // A second name for a file is a hard link; for a folder, a loop.
                const std::string& first = visited[block];
                if (!read_file_entry(block, child_path, &child, &child_directory, &child_other)) {
                    return false;
                }
                if (child_directory) {
                    return fail("the UDF directory " + quoted(child_path) + " points back at " +
                                    quoted(first) + ": the tree loops",
                                udf_place(block));
                }
                continue;
            }
            visited.emplace(block, child_path);
            if (!read_file_entry(block, child_path, &child, &child_directory, &child_other)) {
                return false;
            }
            if (!udf.problem.empty()) {
                return true;
            }
            if (child_other) {
                for (const DataExtent& e : child.extents) {
                    allocate(e.sector, e.length);
                }
                continue;
            }
            if (child_directory) {
                if (dir.depth + 1 > MAX_DIRECTORY_DEPTH) {
                    return fail("UDF directories nest more than " +
                                    std::to_string(MAX_DIRECTORY_DEPTH) + " deep",
                                udf_place(block));
                }
                subdirectories.push_back({block, std::move(child_path), dir.depth + 1});
            } else {
                udf.files.push_back(std::move(child));
            }
        }
        for (auto it = subdirectories.rbegin(); it != subdirectories.rend(); ++it) {
            stack.push_back(std::move(*it));
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// The trees together.

void Parser::match_trees(const std::vector<TreeFile>& joliet) {
    std::vector<IsoFile>& files = image_.files;
    // Files with data are the same file where their data starts at the same
    // sector with the same size; empty ones where their paths agree.
    std::multimap<std::pair<std::uint64_t, std::uint64_t>, std::size_t> by_data;
    std::multimap<std::string, std::size_t> empty_by_path;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].size > 0) {
            by_data.emplace(std::pair{files[i].sector, files[i].size}, i);
        } else {
            empty_by_path.emplace(iso_path_key(files[i].path), i);
        }
    }
    // The file of the primary tree another tree's file is, or -1 (and
    // `ambiguous` when several could be).
    auto match = [&](std::uint64_t sector, std::uint64_t size, const std::string& path,
                     bool* ambiguous) -> std::int64_t {
        *ambiguous = false;
        const std::string key = iso_path_key(path);
        std::vector<std::size_t> candidates;
        if (size > 0) {
            const auto [first, last] = by_data.equal_range({sector, size});
            for (auto it = first; it != last; ++it) {
                candidates.push_back(it->second);
            }
        } else {
            const auto [first, last] = empty_by_path.equal_range(key);
            for (auto it = first; it != last; ++it) {
                candidates.push_back(it->second);
            }
        }
        if (candidates.size() == 1) {
            return static_cast<std::int64_t>(candidates[0]);
        }
        std::int64_t by_name = -1;
        for (const std::size_t c : candidates) {
            if (iso_path_key(files[c].path) == key) {
                if (by_name >= 0) {
                    by_name = -1;
                    break;
                }
                by_name = static_cast<std::int64_t>(c);
            }
        }
        if (by_name < 0 && !candidates.empty()) {
            *ambiguous = true;
            for (const std::size_t c : candidates) {
                files[c].problem =
                    "its data is shared with another file, whose records in the "
                    "other trees cannot be told apart from its own";
            }
        }
        return by_name;
    };
    for (const TreeFile& j : joliet) {
        bool ambiguous = false;
        const std::int64_t i = match(j.sector, j.size, j.path, &ambiguous);
        if (i >= 0 && files[static_cast<std::size_t>(i)].extents == j.extents) {
            auto& records = files[static_cast<std::size_t>(i)].joliet_records;
            records.insert(records.end(), j.records.begin(), j.records.end());
        } else {
            for (const DataExtent& e : j.extents) {
                allocate(e.sector, e.length);
            }
        }
    }
    for (std::size_t u = 0; u < image_.udf.files.size(); ++u) {
        const UdfFile& f = image_.udf.files[u];
        const std::uint64_t start = f.extents.empty() ? 0 : f.extents.front().sector;
        bool ambiguous = false;
        const std::int64_t i = match(start, f.size, f.path, &ambiguous);
        if (i >= 0) {
            files[static_cast<std::size_t>(i)].udf_files.push_back(u);
        }
        for (const DataExtent& e : f.extents) {
            allocate(e.sector, e.length, i);
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        for (const DataExtent& e : files[i].extents) {
            allocate(e.sector, e.length, static_cast<std::int64_t>(i));
        }
    }
}

}  // namespace

bool read_iso_image(const ImageReader& reader, const std::string& path, IsoImage* out,
                    std::string* err) {
    return Parser(reader, path, out, err).run();
}

std::string iso_path_key(std::string_view path) {
    std::string key;
    std::size_t start = 0;
    while (start < path.size() && (path[start] == '/' || path[start] == '\\')) {
        ++start;
    }
    while (start <= path.size()) {
        std::size_t end = path.find_first_of("/\\", start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > start) {
            std::string name = display_name(std::string(path.substr(start, end - start)));
            for (char& c : name) {
                if (c >= 'a' && c <= 'z') {
                    c = static_cast<char>(c - 'a' + 'A');
                }
            }
            if (!key.empty()) {
                key += '/';
            }
            key += name;
        }
        start = end + 1;
    }
    return key;
}

std::int64_t find_iso_file(const IsoImage& image, std::string_view name, const std::string& path,
                           std::string* err) {
    const std::string key = iso_path_key(name);
    std::int64_t found = -1;
    bool folder = false;
    for (std::size_t i = 0; i < image.files.size(); ++i) {
        const std::string file_key = iso_path_key(image.files[i].path);
        if (file_key == key) {
            if (found >= 0) {
                *err = error_message(path, "two files are named " + quoted(name) +
                                               "; isopatch cannot tell which is meant");
                return -1;
            }
            found = static_cast<std::int64_t>(i);
        } else if (!key.empty() && file_key.starts_with(key + "/")) {
            folder = true;
        }
    }
    if (found < 0) {
        *err = error_message(path, folder ? quoted(name) + " is a folder, not a file"
                                          : "holds no file " + quoted(name));
    }
    return found;
}

std::string iso_listing_line(std::size_t index, const IsoFile& file) {
    char text[80];
    std::snprintf(text, sizeof text, "%05zu: LBA %8llu len %10llu [", index,
                  static_cast<unsigned long long>(file.sector),
                  static_cast<unsigned long long>(file.size));
    return text + file.path + "]\n";
}
