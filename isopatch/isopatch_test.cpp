// End-to-end runs of the built isopatch program: on images our own builder
// makes (on every system), and on images genisoimage and xorriso make,
// patched and read back by isoinfo, 7z, iso-info/iso-read and xorriso
// (programs that run on Linux only, and only where installed).
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "isopatch/disc_format.h"
#include "isopatch/iso_test_images.h"
#include "isopatch/isopatch.h"
#include "testing/test_support.h"

namespace fs = std::filesystem;

namespace {

RunResult isopatch(const std::vector<std::string>& args, const std::string& cwd) {
    return run_program(tool_path("isopatch"), args, cwd);
}

// An outside program, or empty where it is not installed; always empty on
// Windows, where the tests use our own reader only.
std::string outside_program(const std::string& name) {
#ifdef _WIN32
    (void)name;
    return {};
#else
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
#endif
}

// When no outside reader ran: on Linux they are missing, and the test says
// it skipped them; on Windows they are not meant to run (they run on the
// Linux side only), and the test, whose other checks passed, says so.
void no_outside_readers() {
#ifdef _WIN32
    testing::Test::RecordProperty("outside_readers",
                                  "not run: isoinfo, 7z, iso-read and xorriso run on the Linux "
                                  "side only; our own reader checked the image");
#else
    GTEST_SKIP() << "outside readers (isoinfo, 7z, iso-read, xorriso) are not installed";
#endif
}

// The files of a game as a tree: path -> contents.
std::map<std::string, Bytes> contents_of(const std::vector<IsoBuildFile>& files) {
    std::map<std::string, Bytes> tree;
    for (const IsoBuildFile& f : files) {
        Bytes data = f.content;
        data.resize(static_cast<std::size_t>(f.size), 0);
        tree[f.path] = data;
    }
    return tree;
}

// What our own reader finds in an image: path -> contents.
std::map<std::string, Bytes> read_back(const std::string& path) {
    IsoImageFile image;
    std::string err;
    EXPECT_TRUE(image.open(path, &err)) << err;
    std::map<std::string, Bytes> tree;
    for (const IsoFile& f : image.image().files) {
        tree[f.path] = image_bytes_at(image, disc_offset(f.sector), f.size);
    }
    return tree;
}

// Checks an image with every outside reader that is installed: each file's
// content through isoinfo and iso-read (and iso-read's UDF reader), the
// whole tree through 7z (which prefers the UDF tree), and xorriso's walk.
void check_with_outside_readers(const std::string& dir, const std::string& image,
                                const std::map<std::string, Bytes>& expected, bool udf,
                                bool rock_ridge = false) {
    int readers = 0;
    if (const std::string isoinfo = outside_program("isoinfo"); !isoinfo.empty()) {
        ++readers;
        for (const auto& [path, data] : expected) {
            RunOptions options;
            options.stdout_path = dir + "/isoinfo.out";
            write_file(options.stdout_path, {});  // the run writes into it
            const RunResult r =
                run_program(isoinfo,
                            {"-i", image, "-x",
                             "/" + path + (path.find('.') == std::string::npos ? ".;1" : ";1")},
                            dir, options);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(read_file(dir + "/isoinfo.out"), data) << "isoinfo -x " << path;
        }
    }
    if (const std::string iso_read = outside_program("iso-read"); !iso_read.empty()) {
        ++readers;
        for (const auto& [path, data] : expected) {
            // With Rock Ridge, iso-read names files as Rock Ridge does: no version.
            const std::string name =
                rock_ridge ? path : path + (path.find('.') == std::string::npos ? ".;1" : ";1");
            RunResult r =
                run_program(iso_read, {"-i", image, "-e", name, "-o", "iso-read.out"}, dir);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(read_file(dir + "/iso-read.out"), data) << "iso-read " << path;
            if (udf) {
                r = run_program(iso_read, {"-U", "-i", image, "-e", path, "-o", "iso-read.out"},
                                dir);
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_EQ(read_file(dir + "/iso-read.out"), data) << "iso-read -U " << path;
            }
        }
    }
    if (const std::string seven = outside_program("7z"); !seven.empty()) {
        ++readers;
        fs::remove_all(dir + "/7z");
        const RunResult r = run_program(seven, {"x", "-y", "-o" + dir + "/7z", image}, dir);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        std::map<std::string, Bytes> got;
        for (const auto& [path, data] : read_tree(dir + "/7z")) {
            if (!path.ends_with("/")) {
                got[path] = data;
            }
        }
        EXPECT_EQ(got, expected) << "7z x";
        const RunResult listing = run_program(seven, {"l", image}, dir);
        EXPECT_NE(listing.out.find(udf ? "Type = Udf" : "Type = Iso"), std::string::npos)
            << listing.out;
    }
    if (const std::string xorriso = outside_program("xorriso"); !xorriso.empty()) {
        ++readers;
        const RunResult r = run_program(xorriso, {"-indev", image, "-find"}, dir);
        EXPECT_EQ(r.status, 0) << r.err;
        for (const char* complaint : {"SORRY", "FAILURE", "WARNING", "MISHAP", "FATAL"}) {
            EXPECT_EQ(r.err.find(complaint), std::string::npos) << r.err;
        }
        for (const auto& [path, data] : expected) {
            EXPECT_NE(r.out.find("'./" + path + "'"), std::string::npos) << path << "\n" << r.out;
        }
    }
    if (readers == 0) {
        no_outside_readers();
    }
}

// How many entries a folder holds (without reading big files).
std::size_t entries_in(const std::string& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) {
        ++n;
    }
    return n;
}

// A game image made by our builder in a temporary folder.
struct BuiltImage {
    explicit BuiltImage(IsoBuildOptions options = {}, std::vector<IsoBuildFile> f = iso_test_game())
        : files(std::move(f)) {
        std::string err;
        EXPECT_TRUE(write_iso_image(files, options, tmp / "game.iso", &err)) << err;
    }
    TempDir tmp;
    std::vector<IsoBuildFile> files;
};

}  // namespace

TEST(IsopatchTool, UsageOnAWrongCommandLine) {
    TempDir tmp;
    const std::string usage = "isopatch v1.0\n\nusage: " + tool_path("isopatch") +
                              " <game.iso> [-x <folder> [PATH...] | <output.iso> <PATH=FILE>...]\n";
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"game.iso", "out.iso"},
        {"game.iso", "-x"},
        {"game.iso", "out.iso", "RPK.BIN"},
        {"game.iso", "out.iso", "=new.bin"},
        {"game.iso", "out.iso", "RPK.BIN="},
        {"game.iso", "out.iso", "RPK.BIN=a", "SLUS"}};
    for (const auto& args : wrong) {
        const RunResult r = isopatch(args, tmp.path());
        EXPECT_EQ(r.err, usage);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, FAILURE_STATUS);
    }
    EXPECT_TRUE(read_tree(tmp.path()).empty());
}

TEST(IsopatchTool, ListsEveryFileWithItsSectorAndLength) {
    IsoBuildOptions options;
    options.joliet = true;
    BuiltImage built(options);
    const IsoLayout layout = lay_out_iso(built.files, options);
    const RunResult r = isopatch({"game.iso"}, built.tmp.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Folder by folder: the root's files, then DATA's, then DATA/SUB's.
    const std::vector<std::size_t> order = {5, 1, 0, 4, 3, 2};
    std::string expected;
    for (std::size_t i = 0; i < order.size(); ++i) {
        IsoFile file;
        file.path = built.files[order[i]].path;
        file.sector = layout.file_sectors[order[i]];
        file.size = built.files[order[i]].size;
        expected += iso_listing_line(i, file);
    }
    EXPECT_EQ(r.out, expected);
}

TEST(IsopatchTool, ExtractsEveryFileOrTheNamedOnes) {
    BuiltImage built;
    RunResult r = isopatch({"game.iso", "-x", "game/"}, built.tmp.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, isopatch({"game.iso"}, built.tmp.path()).out);
    std::map<std::string, Bytes> expected;
    for (const auto& [path, data] : contents_of(built.files)) {
        expected[path] = data;
    }
    expected["DATA/"] = {};
    expected["DATA/SUB/"] = {};
    EXPECT_EQ(read_tree(built.tmp / "game"), expected);

    // Named ones: their listing lines, as the whole listing shows them.
    std::string lines;
    const std::string listing = isopatch({"game.iso"}, built.tmp.path()).out;
    for (std::size_t start = 0; start < listing.size();) {
        const std::size_t end = listing.find('\n', start) + 1;
        const std::string line = listing.substr(start, end - start);
        if (line.ends_with("[SLUS_217.88]\n") || line.ends_with("[DATA/SUB/X.DAT]\n")) {
            lines += line;
        }
        start = end;
    }
    r = isopatch({"game.iso", "-x", "two", "data/sub/x.dat;1", "SLUS_217.88"}, built.tmp.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, lines);
    EXPECT_EQ(read_tree(built.tmp / "two"),
              (std::map<std::string, Bytes>{{"DATA/", {}},
                                            {"DATA/SUB/", {}},
                                            {"DATA/SUB/X.DAT", built.files[2].content},
                                            {"SLUS_217.88", built.files[1].content}}));

    r = isopatch({"game.iso", "-x", "three", "NOPE.BIN"}, built.tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_EQ(r.err, "Error: game.iso: holds no file \"NOPE.BIN\"\n");
    EXPECT_FALSE(file_exists(built.tmp / "three"));
}

TEST(IsopatchTool, ExtractionRefusesUnsafeNamesAndWritesNothing) {
    std::vector<IsoBuildFile> files = iso_test_game();
    files.push_back(iso_test_file("DOTS/../EVIL.BIN", 10, 9));
    BuiltImage built({}, files);
    const RunResult r = isopatch({"game.iso", "-x", "game"}, built.tmp.path());
    EXPECT_EQ(r.status, FAILURE_STATUS);
    EXPECT_NE(r.err.find("Error: game.iso: the file \"DOTS/../EVIL.BIN\" has an unsafe name"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("; nothing was written\n"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(built.tmp / "game"));
    EXPECT_FALSE(file_exists(built.tmp / "EVIL.BIN"));
}

TEST(IsopatchTool, PatchesInPlaceAndAtTheEndAndEveryReaderAgrees) {
    for (const bool joliet : {false, true}) {
        SCOPED_TRACE(joliet ? "Joliet" : "no Joliet");
        IsoBuildOptions options;
        options.joliet = joliet;
        options.anchor_copies = 150;
        BuiltImage built(options);
        const Bytes slus = iso_test_bytes(6000, 30);   // fits its last sector
        const Bytes rpk = iso_test_bytes(400000, 31);  // the last file, before the anchors
        const Bytes gap = iso_test_bytes(9000, 32);    // into the free sectors after it
        const Bytes x = iso_test_bytes(5000, 33);      // past the next file
        write_file(built.tmp / "slus.new", slus);
        write_file(built.tmp / "rpk.new", rpk);
        write_file(built.tmp / "gap.new", gap);
        write_file(built.tmp / "x.new", x);
#ifndef _WIN32
        ASSERT_EQ(::chmod((built.tmp / "game.iso").c_str(), 0640), 0);
#endif
        const RunResult r =
            isopatch({"game.iso", "out.iso", "SLUS_217.88=slus.new", "rpk.bin;1=rpk.new",
                      "DATA/GAP.BIN=gap.new", "/data/sub/x.dat=x.new"},
                     built.tmp.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const IsoLayout layout = lay_out_iso(built.files, options);
        const std::uint64_t end = layout.sectors;
        auto line = [](const char* text, std::uint64_t a, std::uint64_t b, std::uint64_t c,
                       std::uint64_t d, const char* how) {
            char s[200];
            std::snprintf(s, sizeof s, "%s: LBA %8llu len %10llu -> LBA %8llu len %10llu, %s\n",
                          text, static_cast<unsigned long long>(a),
                          static_cast<unsigned long long>(b), static_cast<unsigned long long>(c),
                          static_cast<unsigned long long>(d), how);
            return std::string(s);
        };
        const auto& at = layout.file_sectors;
        EXPECT_EQ(r.out,
                  line("SLUS_217.88", at[1], 5000, at[1], 6000, "in place") +
                      line("RPK.BIN", at[5], 300000, end, 400000, "moved to the end") +
                      line("DATA/GAP.BIN", at[3], 3000, at[3], 9000, "in place") +
                      line("DATA/SUB/X.DAT", at[2], 100, end + 196, 5000, "moved to the end"));
        std::map<std::string, Bytes> expected = contents_of(built.files);
        expected["SLUS_217.88"] = slus;
        expected["RPK.BIN"] = rpk;
        expected["DATA/GAP.BIN"] = gap;
        expected["DATA/SUB/X.DAT"] = x;
        EXPECT_EQ(read_back(built.tmp / "out.iso"), expected);
        EXPECT_EQ(read_file(built.tmp / "game.iso"), iso_image_bytes(built.files, options))
            << "the image itself is never written";
#ifndef _WIN32
        struct stat st;
        ASSERT_EQ(::stat((built.tmp / "out.iso").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << "the output gets the image's permission bits";
#endif
        check_with_outside_readers(built.tmp.path(), "out.iso", expected, true);
    }
}

TEST(IsopatchTool, RefusesAnOutputThatIsAnInputAndWritesNothing) {
    BuiltImage built;
    write_file(built.tmp / "new.bin", bytes_of("new"));
    const bool linked = make_symlink("game.iso", built.tmp / "link.iso");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    std::vector<Case> cases = {
        {{"game.iso", "game.iso", "RPK.BIN=new.bin"},
         "Error: game.iso: <output.iso> is the same file as <game.iso>; nothing was written\n"},
        {{"game.iso", "./game.iso", "RPK.BIN=new.bin"},
         "Error: ./game.iso: <output.iso> is the same file as <game.iso> (game.iso); nothing was "
         "written\n"},
        {{"game.iso", "new.bin", "RPK.BIN=new.bin"},
         "Error: new.bin: <output.iso> is the same file as <PATH=FILE>; nothing was written\n"},
    };
    if (linked) {
        cases.push_back({{"game.iso", "link.iso", "RPK.BIN=new.bin"},
                         "Error: link.iso: <output.iso> is the same file as <game.iso> "
                         "(game.iso); nothing was written\n"});
    }
    const Bytes image = read_file(built.tmp / "game.iso");
    for (const Case& c : cases) {
        const RunResult r = isopatch(c.args, built.tmp.path());
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read_file(built.tmp / "game.iso"), image);
        EXPECT_EQ(read_file(built.tmp / "new.bin"), bytes_of("new"));
    }
    EXPECT_EQ(entries_in(built.tmp.path()), linked ? 3u : 2u) << "no temporary file";
}

TEST(IsopatchTool, FailuresNameTheFileAndLeaveNoOutput) {
    BuiltImage built;
    write_file(built.tmp / "new.bin", bytes_of("new"));
    write_file(built.tmp / "junk.iso", Bytes(40 * 2048, 0x11));
    make_sparse_file(built.tmp / "huge.bin", std::uint64_t{1} << 32, {});
    struct Case {
        std::vector<std::string> args;
        std::string err;  // the start of the message
    };
    const Case cases[] = {
        {{"missing.iso"}, "Could not open missing.iso ("},
        {{"game.iso", "out.iso", "RPK.BIN=missing.bin"}, "Could not open missing.bin ("},
        {{"junk.iso", "out.iso", "RPK.BIN=new.bin"},
         "Error: junk.iso: holds no ISO 9660 volume descriptor where one is expected (no "
         "\"CD001\") (sector 16, offset 0x8000)\n"},
        {{"game.iso", "out.iso", "RPK.BIN=huge.bin"},
         "Error: huge.bin: is 4294967296 bytes; isopatch stores files of less than 4 GiB"},
        {{"game.iso", "out.iso", "DATA=new.bin"},
         "Error: game.iso: \"DATA\" is a folder, not a file\n"},
        {{"game.iso", "-x", "game", "DATA/SUB"},
         "Error: game.iso: \"DATA/SUB\" is a folder, not a file\n"},
    };
    for (const Case& c : cases) {
        const RunResult r = isopatch(c.args, built.tmp.path());
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(file_exists(built.tmp / "out.iso"));
        EXPECT_FALSE(file_exists(built.tmp / "game"));
    }
    EXPECT_EQ(entries_in(built.tmp.path()), 4u) << "no temporary file";
}

TEST(IsopatchTool, AnInterruptedPatchLeavesNoOutput) {
    // Enough replaced files that the listing (about 80 bytes a file) fills
    // the pipe while the new image is still a temporary file, whatever the
    // pipe holds (wine's hold far more than the 4 KiB asked for); short
    // names keep the command line within what Windows takes (32 KiB).
    std::vector<IsoBuildFile> files;
    std::vector<std::string> args = {"game.iso", "out.iso"};
    for (int i = 0; i < 1500; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "F%04d", i);
        files.push_back(iso_test_file(name, 100, static_cast<unsigned>(i)));
        args.push_back(std::string(name) + "=n");
    }
    BuiltImage built({}, files);
    write_file(built.tmp / "n", iso_test_bytes(3000, 7));
    for (const int signal : interrupt_signals()) {
        SCOPED_TRACE(signal);
        const RunResult r =
            run_and_interrupt(tool_path("isopatch"), args, built.tmp.path(), signal);
        EXPECT_EQ(r.status, FAILURE_STATUS);
        EXPECT_EQ(r.err, interrupted_message(signal));
        EXPECT_EQ(entries_in(built.tmp.path()), 2u) << "no output and no temporary file";
    }
}

TEST(IsopatchTool, ASparseImageBeyond4GiB) {
    // A 4.2 GiB dummy file (as games pad their discs), then the game files
    // beyond the 4 GiB offset: written sparse, patched, read back.
    std::vector<IsoBuildFile> files = {
        {"DUMMY.DAT", iso_test_bytes(100, 1), (std::uint64_t{42} << 30) / 10, 0},
        iso_test_file("SLUS_217.88", 5000, 2),
        iso_test_file("RPK.BIN", 70000, 3)};
    BuiltImage built({}, files);
    const Bytes slus = iso_test_bytes(4000, 20);
    const Bytes rpk = iso_test_bytes(80000, 21);
    write_file(built.tmp / "slus.new", slus);
    write_file(built.tmp / "rpk.new", rpk);
    RunResult r = isopatch({"game.iso", "out.iso", "SLUS_217.88=slus.new", "RPK.BIN=rpk.new"},
                           built.tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(", in place\nRPK.BIN"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", moved to the end\n"), std::string::npos) << r.out;
    IsoImageFile out;
    std::string err;
    ASSERT_TRUE(out.open(built.tmp / "out.iso", &err)) << err;
    for (const auto& [name, data] : {std::pair{"SLUS_217.88", slus}, std::pair{"RPK.BIN", rpk}}) {
        const std::int64_t i = find_iso_file(out.image(), name, "out.iso", &err);
        ASSERT_GE(i, 0) << err;
        const IsoFile& file = out.image().files[static_cast<std::size_t>(i)];
        EXPECT_GT(disc_offset(file.sector), std::uint64_t{4} << 30);
        EXPECT_EQ(image_bytes_at(out, disc_offset(file.sector), file.size), data) << name;
    }
    out.close();
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(::stat((built.tmp / "out.iso").c_str(), &st), 0);
    EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, std::uint64_t{64} << 20)
        << "the holes of the image stay holes";
#endif
    r = isopatch({"out.iso", "-x", "x", "RPK.BIN", "SLUS_217.88"}, built.tmp.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(built.tmp / "x/RPK.BIN"), rpk);
    EXPECT_EQ(read_file(built.tmp / "x/SLUS_217.88"), slus);
    // The outside readers on the small files (the dummy would take 4 GiB to extract).
    int readers = 0;
    if (const std::string isoinfo = outside_program("isoinfo"); !isoinfo.empty()) {
        ++readers;
        RunOptions options;
        options.stdout_path = built.tmp / "isoinfo.out";
        write_file(options.stdout_path, {});
        r = run_program(isoinfo, {"-i", "out.iso", "-x", "/RPK.BIN;1"}, built.tmp.path(), options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(built.tmp / "isoinfo.out"), rpk);
    }
    if (const std::string iso_read = outside_program("iso-read"); !iso_read.empty()) {
        ++readers;
        r = run_program(iso_read, {"-U", "-i", "out.iso", "-e", "SLUS_217.88", "-o", "u.out"},
                        built.tmp.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(built.tmp / "u.out"), slus);
    }
    if (const std::string seven = outside_program("7z"); !seven.empty()) {
        ++readers;
        r = run_program(seven, {"x", "-y", "-o7z", "out.iso", "RPK.BIN", "SLUS_217.88"},
                        built.tmp.path());
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(read_file(built.tmp / "7z/RPK.BIN"), rpk);
        EXPECT_EQ(read_file(built.tmp / "7z/SLUS_217.88"), slus);
        r = run_program(seven, {"l", "out.iso"}, built.tmp.path());
        EXPECT_NE(r.out.find("Type = Udf"), std::string::npos) << r.out;
    }
    if (const std::string xorriso = outside_program("xorriso"); !xorriso.empty()) {
        ++readers;
        r = run_program(xorriso, {"-indev", "out.iso", "-find"}, built.tmp.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("'./RPK.BIN'"), std::string::npos) << r.out;
        EXPECT_EQ(r.err.find("WARNING"), std::string::npos) << r.err;
    }
    if (readers == 0) {
        no_outside_readers();
    }
}

// Images made by the mastering programs themselves.
#ifndef _WIN32
namespace {

// Writes the test game as a folder tree and masters it with `program`
// (genisoimage or xorriso) into game.iso; false when it is not installed.
bool master(const TempDir& tmp, const std::vector<IsoBuildFile>& files,
            const std::string& program) {
    const std::string path = outside_program(program);
    if (path.empty()) {
        return false;
    }
    for (const IsoBuildFile& f : files) {
        write_file(tmp / ("tree/" + f.path), contents_of({f}).begin()->second);
    }
    const RunResult r =
        program == "genisoimage"
            ? run_program(path, {"-udf", "-quiet", "-o", "game.iso", "tree"}, tmp.path())
            : run_program(path, {"-outdev", "game.iso", "-joliet", "on", "-map", "tree", "/"},
                          tmp.path());
    EXPECT_EQ(r.status, 0) << r.err;
    return true;
}

}  // namespace

TEST(IsopatchTool, ImagesOfTheMasteringProgramsArePatchedAndReadBack) {
    for (const std::string program : {"genisoimage", "xorriso"}) {
        SCOPED_TRACE(program);
        TempDir tmp;
        const std::vector<IsoBuildFile> files = iso_test_game();
        if (!master(tmp, files, program)) {
            GTEST_SKIP() << program << " is not installed";
        }
        IsoImageFile before;
        std::string err;
        ASSERT_TRUE(before.open(tmp / "game.iso", &err)) << err;
        EXPECT_EQ(read_back(tmp / "game.iso"), contents_of(files));
        // The mastering programs put the root's files first, in name order:
        // RPK.BIN, SLUS_217.88, SYSTEM.CNF, then DATA's. RPK.BIN grows past
        // SLUS_217.88; SLUS_217.88 grows within its last sector; the last
        // file grows by a sector (genisoimage keeps copies of its anchor
        // right after it, which 7-Zip needs where they are).
        const Bytes rpk = iso_test_bytes(300000 + 4096, 40);
        const Bytes slus = iso_test_bytes(6100, 41);
        const Bytes x = iso_test_bytes(2148, 42);
        const Bytes empty = iso_test_bytes(5, 43);
        write_file(tmp / "rpk.new", rpk);
        write_file(tmp / "slus.new", slus);
        write_file(tmp / "x.new", x);
        write_file(tmp / "empty.new", empty);
        const RunResult r =
            isopatch({"game.iso", "out.iso", "RPK.BIN=rpk.new", "SLUS_217.88=slus.new",
                      "DATA/SUB/X.DAT=x.new", "DATA/EMPTY.TXT=empty.new"},
                     tmp.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("RPK.BIN: LBA"), std::string::npos);
        EXPECT_NE(r.out.find("len     304096, moved to the end\nSLUS_217.88"), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("len       6100, in place\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("len       2148, moved to the end\n"), std::string::npos) << r.out;
        std::map<std::string, Bytes> expected = contents_of(files);
        expected["RPK.BIN"] = rpk;
        expected["SLUS_217.88"] = slus;
        expected["DATA/SUB/X.DAT"] = x;
        expected["DATA/EMPTY.TXT"] = empty;
        EXPECT_EQ(read_back(tmp / "out.iso"), expected);
        // Every file that was not replaced is where it was.
        IsoImageFile after;
        ASSERT_TRUE(after.open(tmp / "out.iso", &err)) << err;
        for (const IsoFile& f : before.image().files) {
            if (f.path == "SYSTEM.CNF" || f.path == "DATA/GAP.BIN") {
                const std::int64_t i = find_iso_file(after.image(), f.path, "out.iso", &err);
                EXPECT_EQ(after.image().files[static_cast<std::size_t>(i)].sector, f.sector);
            }
        }
        check_with_outside_readers(tmp.path(), "out.iso", expected, program == "genisoimage",
                                   program == "xorriso");
    }
}
#else
SKIPPED_ON_WINDOWS(IsopatchTool, ImagesOfTheMasteringProgramsArePatchedAndReadBack,
                   "genisoimage and xorriso run on the Linux side only; the Windows tests patch "
                   "images our own builder makes, which the Linux tests check with the outside "
                   "readers")
#endif
