#include "common/platform/file_io.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "common/platform/host.h"
#include "common/text.h"
#include "testing/test_support.h"

namespace fs = std::filesystem;

namespace {

// `size` bytes that differ from their neighbours, so a copy from the wrong
// offset shows.
Bytes patterned(std::size_t size, unsigned step) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * step);
    }
    return bytes;
}

// Copies a range of the file at `source` to `target` as extraction does: a
// new target is written under its own name, an existing one replaced whole.
bool copy_out(const std::string& source, std::uint64_t offset, std::uint64_t length,
              const std::string& target, std::string* err) {
    FileHandle file;
    std::uint64_t size = 0;
    AtomicFile out;
    return open_input(source, &file, &size, err) &&
           out.open(target, err, AtomicFile::NewTarget::in_place, AtomicFile::Target::tree) &&
           out.copy_from(file, offset, length, "source.bin", err) && out.commit(false, err);
}

}  // namespace

TEST(FolderMaker, CreatesEveryPrefixButNeverTheLastComponent) {
    TempDir tmp;
    in_dir(tmp.path(), [] {
        std::string err;
        EXPECT_TRUE(FolderMaker().make_parents("a/b\\c.bin", &err)) << err;
        EXPECT_TRUE(FolderMaker().make_parents("plain.bin", &err)) << err;
        EXPECT_TRUE(FolderMaker().make_parents("x//y/z", &err)) << err;
    });
    const auto tree = read_tree(tmp.path());
    // "a/b\c.bin": "a" and then the literal "a/b" prefix are folders.
    EXPECT_EQ(tree,
              (std::map<std::string, Bytes>{{"a/", {}}, {"a/b/", {}}, {"x/", {}}, {"x/y/", {}}}));
}

TEST(FolderMaker, MakesEachFolderOfManyPathsOnceAndRemembersIt) {
    TempDir tmp;
    in_dir(tmp.path(), [] {
        FolderMaker folders;
        std::string err;
        for (const char* path :
             {"out/a/b/1.bin", "out/a/b/2.bin", "out/a/c\\3.bin", "out/d/4.bin"}) {
            EXPECT_TRUE(folders.make_parents(path, &err)) << err;
        }
        // A folder already known is not made again, even if it went away.
        fs::remove("out/d");
        EXPECT_TRUE(folders.make_parents("out/d/5.bin", &err)) << err;
        EXPECT_TRUE(folders.make_parents("out/e/6.bin", &err)) << err;
    });
    EXPECT_EQ(
        read_tree(tmp.path()),
        (std::map<std::string, Bytes>{
            {"out/", {}}, {"out/a/", {}}, {"out/a/b/", {}}, {"out/a/c/", {}}, {"out/e/", {}}}))
        << "a backslash ends a prefix too, as in stored names";
}

TEST(FolderMaker, HandlesPathsLongerThan4095Characters) {
    TempDir tmp;
    // Longer than the system takes: 4095 bytes on Linux, 32767 characters
    // on Windows (which the file layer reaches through \\?\ paths).
#ifdef _WIN32
    const int levels = 1600;
#else
    const int levels = 300;
#endif
    std::string path;
    for (int i = 0; i < levels; ++i) {
        path += "directory_level_" + std::to_string(1000 + i) + "/";
    }
    path += "file";
    ASSERT_GT(path.size(), levels * 20u);
    std::string err;
    in_dir(tmp.path(), [&] {
        // The system itself refuses paths this long; that must surface as a clean error.
        EXPECT_FALSE(FolderMaker().make_parents(path, &err));
#ifdef _WIN32
        // Which limit comes first, and its words, depend on what is under
        // Windows (wine stops at its Linux file system's 4095 bytes).
        EXPECT_NE(err.find(": could not create the folder ("), std::string::npos) << err;
#else
        EXPECT_NE(err.find("could not create the folder (File name too long)"), std::string::npos)
            << err;
#endif
        EXPECT_FALSE(write_whole_file(path, bytes_of("deep"), &err));
    });
    EXPECT_NE(err.find("(File name too long)"), std::string::npos) << err;
    EXPECT_TRUE(fs::is_directory(tmp / "directory_level_1000/directory_level_1001"));
}

// Beyond the 260 characters that Windows once allowed, paths work like any
// other: folders, new files, replaced files.
TEST(FolderMaker, PathsBeyond260CharactersWork) {
    TempDir tmp;
    std::string path = tmp.path();
    while (path.size() < 700) {
        path += "/a_folder_name_of_some_length";
    }
    path += "/file.bin";
    std::string err;
    ASSERT_TRUE(FolderMaker().make_parents(path, &err)) << err;
    ASSERT_TRUE(write_whole_file(path, bytes_of("first"), &err)) << err;
    ASSERT_TRUE(write_whole_file(path, bytes_of("second"), &err)) << err;
    ByteBuffer got;
    ASSERT_TRUE(read_whole_file(path, &got, &err)) << err;
    EXPECT_EQ(Bytes(got.begin(), got.end()), bytes_of("second"));
    FileStatus status;
    ASSERT_TRUE(file_status(path, &status, &err)) << err;
    EXPECT_EQ(status.kind, FileKind::regular);
    EXPECT_EQ(status.size, 6u);
}

TEST(WriteWholeFile, ReplacesAnExistingFileExactlyAndLeavesNoTemporary) {
    TempDir tmp;
    const std::string target = tmp / "out.bin";
    write_file(target, Bytes(5000, 0xEE));
#ifndef _WIN32
    ::chmod(target.c_str(), 0640);
#endif
    std::string err;
    ASSERT_TRUE(write_whole_file(target, bytes_of("abc"), &err)) << err;
    EXPECT_EQ(read_file(target), bytes_of("abc"));
    EXPECT_EQ(read_tree(tmp.path()).size(), 1u);
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "an existing file keeps its permissions";
#endif
}

// A read-only file is replaced when a tool is asked to (the user named it),
// and the replacement is read-only too: Windows refuses to replace a
// read-only file, so the layer unlocks it for the instant of the rename.
TEST(WriteWholeFile, AReadOnlyFileIsReplacedAndStaysReadOnly) {
    TempDir tmp;
    const std::string target = tmp / "locked.bin";
    write_file(target, bytes_of("old"));
    set_read_only(target, true);
    std::string err;
    ASSERT_TRUE(write_whole_file(target, bytes_of("new"), &err)) << err;
    EXPECT_TRUE(is_read_only(target));
    set_read_only(target, false);
    EXPECT_EQ(read_tree(tmp.path()),
              (std::map<std::string, Bytes>{{"locked.bin", bytes_of("new")}}));
}

#ifndef _WIN32
TEST(WriteWholeFile, NewFilesGetReadWritePermissionsLessTheUmask) {
    TempDir tmp;
    const mode_t old = ::umask(022);
    std::string err;
    ASSERT_TRUE(write_whole_file(tmp / "new.bin", {}, &err)) << err;
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat((tmp / "new.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(st.st_size, 0);
}
#else
SKIPPED_ON_WINDOWS(WriteWholeFile, NewFilesGetReadWritePermissionsLessTheUmask,
                   "permission bits and the umask; a new file on Windows takes its folder's "
                   "access rules")
#endif

TEST(WriteWholeFile, UnwritableTargetsFailWithTheOpenMessage) {
    TempDir tmp;
    std::string err;
    EXPECT_FALSE(write_whole_file(tmp / "missing/out.bin", bytes_of("x"), &err));
    EXPECT_EQ(err, "Could not open " + (tmp / "missing/out.bin") + " (No such file or directory)");
    EXPECT_FALSE(write_whole_file("", bytes_of("x"), &err));
    EXPECT_EQ(err, "Error: the path of an output is empty");
    fs::create_directory(tmp / "dir");
    EXPECT_FALSE(write_whole_file(tmp / "dir", bytes_of("x"), &err));
    EXPECT_EQ(err, "Could not open " + (tmp / "dir") + " (Is a directory)");
    EXPECT_EQ(read_tree(tmp.path()), (std::map<std::string, Bytes>{{"dir/", {}}}));
}

#ifndef _WIN32
TEST(WriteWholeFile, AShortWriteIsAnErrorAndTheTargetSurvives) {
    TempDir tmp;
    const std::string target = tmp / "keep.bin";
    write_file(target, bytes_of("precious"));
    // A file-size limit makes the kernel cut writes short, as a full disk
    // does. It is set in the death test's child, so this process keeps its own;
    // the child prints the error and exits with 3 on failure.
    auto with_file_size_limit = [](auto write) {
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = 1000;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
        std::string err;
        const bool ok = write(&err);
        std::fprintf(stderr, "%s\n", err.c_str());
        std::exit(ok ? 0 : 3);
    };
    EXPECT_EXIT(with_file_size_limit([&](std::string* err) {
                    return write_whole_file(target, Bytes(5000, 1), err);
                }),
                ::testing::ExitedWithCode(3),
                "^Error: .*keep.bin: could not write \\(File too large\\)\n$");
    // The same for a copy made inside the kernel.
    write_file(tmp / "source.bin", Bytes(5000, 2));
    EXPECT_EXIT(with_file_size_limit([&](std::string* err) {
                    return copy_out(tmp / "source.bin", 0, 5000, target, err);
                }),
                ::testing::ExitedWithCode(3),
                "^Error: .*keep.bin: could not write \\(File too large\\)\n$");
    // A new file is written under its own name, and removed when the copy fails.
    EXPECT_EXIT(with_file_size_limit([&](std::string* err) {
                    return copy_out(tmp / "source.bin", 0, 5000, tmp / "new.bin", err);
                }),
                ::testing::ExitedWithCode(3),
                "^Error: .*new.bin: could not write \\(File too large\\)\n$");
    std::filesystem::remove(tmp / "source.bin");
    EXPECT_EQ(read_file(target), bytes_of("precious"));
    EXPECT_EQ(read_tree(tmp.path()).size(), 1u) << "no temporary or partial file is left";
}
#else
SKIPPED_ON_WINDOWS(WriteWholeFile, AShortWriteIsAnErrorAndTheTargetSurvives,
                   "a file-size limit (RLIMIT_FSIZE) stands in for a full disk; Windows has none")
#endif

TEST(CopyOut, CopiesTheRangeToNewAndExistingFiles) {
    TempDir tmp;
    const Bytes source = patterned(10000, 7);
    write_file(tmp / "source.bin", source);
    write_file(tmp / "old.bin", bytes_of("a longer file that the copy replaces whole"));
    set_read_only(tmp / "old.bin", true);
    std::string err;
    const std::string from = tmp / "source.bin";
    ASSERT_TRUE(copy_out(from, 2048, 3000, tmp / "new.bin", &err)) << err;
    ASSERT_TRUE(copy_out(from, 100, 10, tmp / "old.bin", &err)) << err;
    // A range past the end fails and leaves neither a new file nor a changed one.
    EXPECT_FALSE(copy_out(from, 9000, 2000, tmp / "short.bin", &err));
    EXPECT_EQ(err,
              "Error: source.bin: ended early: expected 2000 bytes at offset 0x2328, got 1000");
    EXPECT_FALSE(copy_out(from, 9000, 2000, tmp / "old.bin", &err));
    EXPECT_EQ(read_tree(tmp.path()),
              (std::map<std::string, Bytes>{
                  {"new.bin", Bytes(source.begin() + 2048, source.begin() + 5048)},
                  {"old.bin", Bytes(source.begin() + 100, source.begin() + 110)},
                  {"source.bin", source}}));
    EXPECT_TRUE(is_read_only(tmp / "old.bin")) << "a replaced file keeps its permissions";
    set_read_only(tmp / "old.bin", false);
}

TEST(AtomicFile, ANewTargetWrittenInPlaceIsRemovedUnlessCommitted) {
    TempDir tmp;
    const std::string target = tmp / "t.bin";
    std::string err;
    {
        AtomicFile file;
        ASSERT_TRUE(file.open(target, &err, AtomicFile::NewTarget::in_place)) << err;
        EXPECT_FALSE(file.replaces_existing());
        ASSERT_TRUE(file.write(bytes_of("partial"), &err));
        EXPECT_EQ(read_tree(tmp.path()),
                  (std::map<std::string, Bytes>{{"t.bin", bytes_of("partial")}}));
    }
    EXPECT_TRUE(read_tree(tmp.path()).empty());
    AtomicFile file;
    ASSERT_TRUE(file.open(target, &err, AtomicFile::NewTarget::in_place)) << err;
    ASSERT_TRUE(file.write(bytes_of("done"), &err) && file.commit(false, &err)) << err;
    EXPECT_EQ(read_tree(tmp.path()), (std::map<std::string, Bytes>{{"t.bin", bytes_of("done")}}));
    // An existing target is never written in place.
    AtomicFile again;
    ASSERT_TRUE(again.open(target, &err, AtomicFile::NewTarget::in_place)) << err;
    EXPECT_TRUE(again.replaces_existing());
    ASSERT_TRUE(again.write(bytes_of("newer"), &err));
    EXPECT_EQ(read_file(target), bytes_of("done"));
    ASSERT_TRUE(again.commit(false, &err)) << err;
    EXPECT_EQ(read_tree(tmp.path()), (std::map<std::string, Bytes>{{"t.bin", bytes_of("newer")}}));
}

TEST(AtomicFile, AnUncommittedFileIsRemovedWhenDestroyed) {
    TempDir tmp;
    const std::string target = tmp / "t.bin";
    write_file(target, bytes_of("old"));
    {
        AtomicFile file;
        std::string err;
        ASSERT_TRUE(file.open(target, &err));
        ASSERT_TRUE(file.write(bytes_of("new data"), &err));
        EXPECT_EQ(file.size(), 8u);
        EXPECT_EQ(read_tree(tmp.path()).size(), 2u);
    }
    EXPECT_EQ(read_file(target), bytes_of("old"));
    EXPECT_EQ(read_tree(tmp.path()).size(), 1u);
}

TEST(ReadWholeFile, ReadsEverythingAndReportsMissingFiles) {
    TempDir tmp;
    const Bytes data = patterned(100000, 7);
    write_file(tmp / "in.bin", data);
    ByteBuffer got;
    std::string err;
    ASSERT_TRUE(read_whole_file(tmp / "in.bin", &got, &err)) << err;
    EXPECT_EQ(Bytes(got.begin(), got.end()), data);
    EXPECT_FALSE(read_whole_file(tmp / "nope.elf", &got, &err));
    EXPECT_EQ(err, "Could not open " + (tmp / "nope.elf") + " (No such file or directory)");
}

TEST(ReadExactAt, AShortReadIsAnError) {
    TempDir tmp;
    write_file(tmp / "short.bin", Bytes(10, 1));
    std::string err;
    FileHandle file;
    std::uint64_t size = 0;
    ASSERT_TRUE(open_input(tmp / "short.bin", &file, &size, &err)) << err;
    EXPECT_EQ(size, 10u);
    Bytes buffer(8);
    EXPECT_TRUE(read_exact_at(file, 2, buffer, "short.bin", &err));
    EXPECT_FALSE(read_exact_at(file, 4, buffer, "short.bin", &err));
    EXPECT_EQ(err, "Error: short.bin: ended early: expected 8 bytes at offset 0x4, got 6");
}

TEST(CopyOut, CopiesTheRangeExactlyOrFailsLeavingTheTarget) {
    TempDir tmp;
    Bytes source(3 << 20);
    for (std::size_t i = 0; i < source.size(); ++i) {
        source[i] = static_cast<std::uint8_t>(i * 31 + (i >> 12));
    }
    write_file(tmp / "source.bin", source);
    std::string err;
    const std::string from = tmp / "source.bin";
    ASSERT_TRUE(copy_out(from, 4097, 2 << 20, tmp / "out.bin", &err)) << err;
    EXPECT_EQ(read_file(tmp / "out.bin"),
              Bytes(source.begin() + 4097, source.begin() + 4097 + (2 << 20)));
    ASSERT_TRUE(copy_out(from, 0, 0, tmp / "empty.bin", &err)) << err;
    EXPECT_TRUE(read_file(tmp / "empty.bin").empty());

    // A range that runs past the source's end: an error, and the old file stays.
    EXPECT_FALSE(copy_out(from, source.size() - 10, 20, tmp / "out.bin", &err));
    EXPECT_EQ(err, "Error: source.bin: ended early: expected 20 bytes at offset " +
                       hex(source.size() - 10) + ", got 10");
    EXPECT_EQ(read_file(tmp / "out.bin").size(), 2u << 20);
    EXPECT_EQ(read_tree(tmp.path()).size(), 3u);
}

// Sizes and offsets are 64-bit everywhere: a sparse file of 5 GiB with marks
// past 2 GiB and 4 GiB is measured, read, copied from and mapped exactly.
TEST(LargeFiles, SizesAndOffsetsPast4GiB) {
    TempDir tmp;
    const std::string path = tmp / "big.bin";
    const std::uint64_t size = std::uint64_t{5} << 30;
    const std::map<std::uint64_t, Bytes> marks = {{(std::uint64_t{2} << 30) + 5, patterned(300, 3)},
                                                  {(std::uint64_t{4} << 30) - 7, patterned(50, 5)},
                                                  {size - 11, patterned(11, 7)}};
    make_sparse_file(path, size, marks);
    std::string err;
    FileStatus status;
    ASSERT_TRUE(file_status(path, &status, &err)) << err;
    EXPECT_EQ(status.size, size);
    FileHandle file;
    std::uint64_t opened_size = 0;
    ASSERT_TRUE(open_input(path, &file, &opened_size, &err)) << err;
    EXPECT_EQ(opened_size, size);
    MappedFile mapped;
    ASSERT_TRUE(mapped.open(path, &err)) << err;
    ASSERT_EQ(mapped.bytes().size(), size);
    for (const auto& [offset, bytes] : marks) {
        SCOPED_TRACE(offset);
        // Read and copied with a zero before it, and mapped.
        Bytes got(bytes.size() + 1);
        ASSERT_TRUE(read_exact_at(file, offset - 1, got, "big.bin", &err)) << err;
        Bytes expected = bytes;
        expected.insert(expected.begin(), 0);
        EXPECT_EQ(got, expected);
        AtomicFile out;
        ASSERT_TRUE(out.open(tmp / "part.bin", &err) &&
                    out.copy_from(file, offset - 1, bytes.size() + 1, "big.bin", &err) &&
                    out.commit(false, &err))
            << err;
        EXPECT_EQ(read_file(tmp / "part.bin"), expected);
        const ByteSpan view = mapped.bytes().subspan(offset, bytes.size());
        EXPECT_EQ(Bytes(view.begin(), view.end()), bytes);
    }
    Bytes past(12);
    EXPECT_FALSE(read_exact_at(file, size - 11, past, "big.bin", &err));
    EXPECT_EQ(err, "Error: big.bin: ended early: expected 12 bytes at offset " + hex(size - 11) +
                       ", got 11");
}

// A sparse copy as the image patcher makes one: the data ranges copied, the
// holes between them left as holes.
TEST(SparseCopy, DataRangesAndHolesRebuildTheFileExactly) {
    TempDir tmp;
    const std::string path = tmp / "sparse.bin";
    const std::uint64_t size = (std::uint64_t{5} << 30) + 3;
    const std::map<std::uint64_t, Bytes> marks = {{4096 * 3 + 17, patterned(70000, 3)},
                                                  {(std::uint64_t{4} << 30) - 5, patterned(9, 5)},
                                                  {size - 2, patterned(2, 7)}};
    make_sparse_file(path, size, marks);
    std::string err;
    FileHandle file;
    std::uint64_t file_size = 0;
    ASSERT_TRUE(open_input(path, &file, &file_size, &err)) << err;
    AtomicFile out;
    ASSERT_TRUE(out.open(tmp / "copy.bin", &err)) << err;
    std::uint64_t position = 0;
    std::uint64_t data_bytes = 0;
    while (position < size) {
        std::uint64_t start = 0, end = 0;
        ASSERT_TRUE(next_data_range(file, position, size, &start, &end, path, &err)) << err;
        ASSERT_GE(start, position);
        ASSERT_LE(start, end);
        ASSERT_LE(end, size);
        // Every mark lies inside data, never in a range reported as a hole.
        for (const auto& [offset, bytes] : marks) {
            EXPECT_FALSE(offset + bytes.size() > position && offset < start) << offset;
        }
        ASSERT_TRUE(out.write_hole(start - position, &err)) << err;
        ASSERT_TRUE(out.copy_from(file, start, end - start, path, &err)) << err;
        data_bytes += end - start;
        position = std::max(end, start + (start == end ? 1 : 0));
        if (start == size) {
            break;
        }
    }
    EXPECT_EQ(out.size(), size);
    ASSERT_TRUE(out.commit(false, &err)) << err;
    FileHandle copy;
    std::uint64_t copy_size = 0;
    ASSERT_TRUE(open_input(tmp / "copy.bin", &copy, &copy_size, &err)) << err;
    EXPECT_EQ(copy_size, size);
    for (const auto& [offset, bytes] : marks) {
        Bytes got(bytes.size() + 1);
        ASSERT_TRUE(read_exact_at(copy, offset - 1, got, "copy.bin", &err)) << err;
        Bytes expected = bytes;
        expected.insert(expected.begin(), 0);
        EXPECT_EQ(got, expected) << offset;
    }
    Bytes middle(4096);
    ASSERT_TRUE(read_exact_at(copy, std::uint64_t{3} << 30, middle, "copy.bin", &err)) << err;
    EXPECT_EQ(middle, Bytes(4096, 0));
#ifndef _WIN32
    // Linux file systems report the holes: a few blocks of data were copied,
    // and the copy takes about as little space as the original.
    EXPECT_LT(data_bytes, std::uint64_t{16} << 20);
    struct stat st;
    ASSERT_EQ(::stat((tmp / "copy.bin").c_str(), &st), 0);
    EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, std::uint64_t{16} << 20);
#endif
}

TEST(SparseCopy, AHoleWrittenToADeviceIsWrittenAsZeros) {
    std::string err;
    AtomicFile out;
    ASSERT_TRUE(out.open(NULL_DEVICE, &err)) << err;
    ASSERT_TRUE(out.write_hole(100000, &err)) << err;
    EXPECT_EQ(out.size(), 100000u);
    EXPECT_TRUE(out.commit(false, &err)) << err;
}

#ifndef _WIN32
TEST(AtomicFile, CopiesThePermissionBitsOfAnInput) {
    TempDir tmp;
    write_file(tmp / "input.bin", bytes_of("input"));
    write_file(tmp / "old.bin", bytes_of("old"));
    ASSERT_EQ(::chmod((tmp / "input.bin").c_str(), 0640), 0);
    ASSERT_EQ(::chmod((tmp / "old.bin").c_str(), 0604), 0);
    std::string err;
    FileHandle input;
    std::uint64_t size = 0;
    ASSERT_TRUE(open_input(tmp / "input.bin", &input, &size, &err)) << err;
    for (const char* name : {"old.bin", "new.bin"}) {
        AtomicFile out;
        ASSERT_TRUE(out.open(tmp / name, &err) && out.write(bytes_of("x"), &err) &&
                    out.copy_permissions_from(input, "input.bin", &err) && out.commit(false, &err))
            << err;
        struct stat st;
        ASSERT_EQ(::stat((tmp / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    }
}
#else
SKIPPED_ON_WINDOWS(AtomicFile, CopiesThePermissionBitsOfAnInput,
                   "Windows files have no permission bits")
#endif

TEST(MappedFile, MapsPrivatelyAndReadsWhatCannotBeMapped) {
    TempDir tmp;
    const Bytes data = patterned(100000, 13);
    write_file(tmp / "image.elf", data);
    std::string err;
    {
        MappedFile file;
        ASSERT_TRUE(file.open(tmp / "image.elf", &err)) << err;
        const MutableByteSpan bytes = file.bytes();
        ASSERT_EQ(Bytes(bytes.begin(), bytes.end()), data);
        bytes[5] = 0xFF;  // a change stays in this process
        EXPECT_EQ(file.bytes()[5], 0xFF);
    }
    EXPECT_EQ(read_file(tmp / "image.elf"), data);

    write_file(tmp / "empty.elf", {});
    MappedFile empty;
    ASSERT_TRUE(empty.open(tmp / "empty.elf", &err)) << err;
    EXPECT_TRUE(empty.bytes().empty());
    MappedFile missing;
    EXPECT_FALSE(missing.open(tmp / "nope.elf", &err));
    EXPECT_EQ(err, "Could not open " + (tmp / "nope.elf") + " (No such file or directory)");
}

#ifndef _WIN32
TEST(MappedFile, AFileThatShrinksWhileMappedEndsTheRunWithAnError) {
    TempDir tmp;
    const std::string path = tmp / "image.elf";
    write_file(path, Bytes(1 << 20, 7));
    EXPECT_EXIT(
        {
            install_interrupt_cleanup();
            MappedFile file;
            std::string err;
            if (!file.open(path, &err) || ::truncate(path.c_str(), 0) != 0) {
                std::exit(3);
            }
            // The lost page is touched only now.
            std::printf("%d\n", file.bytes()[(1 << 20) - 1]);
            std::exit(0);
        },
        ::testing::ExitedWithCode(FAILURE_STATUS),
        "^Error: .*image.elf: could not read \\(it shrank or its device failed while in use\\)\n$");
}
#else
SKIPPED_ON_WINDOWS(MappedFile, AFileThatShrinksWhileMappedEndsTheRunWithAnError,
                   "SIGBUS; a mapped file cannot shrink on Windows "
                   "(MappedFile.WindowsRefusesToShrinkAMappedFile)")

// The Windows counterpart: the system refuses to cut a file that is mapped,
// so the bytes a tool reads stay there.
TEST(MappedFile, WindowsRefusesToShrinkAMappedFile) {
    TempDir tmp;
    const std::string path = tmp / "image.elf";
    write_file(path, Bytes(1 << 20, 7));
    MappedFile file;
    std::string err;
    ASSERT_TRUE(file.open(path, &err)) << err;
    std::error_code ec;
    std::filesystem::resize_file(std::filesystem::path(path), 0, ec);
    EXPECT_TRUE(ec) << "a mapped file was cut";
    EXPECT_EQ(file.bytes()[(1 << 20) - 1], 7);
}
#endif

// Two outputs replace their targets together or not at all: when the second
// target cannot be replaced, the first gets its old file back.
TEST(CommitTogether, ReplacesBothTargetsOrNeither) {
    TempDir tmp;
    const std::string archive = tmp / "RPK.BIN", exe = tmp / "SLUS_217.88";
    write_file(archive, bytes_of("old archive"));
    write_file(exe, bytes_of("old exe"));
    std::string err;
    {
        AtomicFile a, e;
        ASSERT_TRUE(a.open(archive, &err) && a.write(bytes_of("new archive"), &err)) << err;
        ASSERT_TRUE(e.open(exe, &err) && e.write(bytes_of("new exe"), &err)) << err;
        AtomicFile* const both[] = {&a, &e};
        UnreplaceableFile locked(exe);
        if (!locked.ok()) {
            GTEST_SKIP() << "the file system or user cannot make a file immutable";
        }
        EXPECT_FALSE(commit_together(both, true, &err));
    }
    EXPECT_TRUE(err.starts_with("Error: " + exe + ": could not replace the file (")) << err;
    EXPECT_TRUE(err.ends_with("; nothing was replaced")) << err;
    EXPECT_EQ(read_tree(tmp.path()),
              (std::map<std::string, Bytes>{{"RPK.BIN", bytes_of("old archive")},
                                            {"SLUS_217.88", bytes_of("old exe")}}));
    // And when both can be replaced, both are, with nothing left beside them.
    AtomicFile a, e, fresh;
    ASSERT_TRUE(a.open(archive, &err) && a.write(bytes_of("new archive"), &err)) << err;
    ASSERT_TRUE(e.open(exe, &err) && e.write(bytes_of("new exe"), &err)) << err;
    ASSERT_TRUE(fresh.open(tmp / "NEW.BIN", &err) && fresh.write(bytes_of("new"), &err)) << err;
    AtomicFile* const all[] = {&a, &e, &fresh};
    ASSERT_TRUE(commit_together(all, false, &err)) << err;
    EXPECT_EQ(read_tree(tmp.path()),
              (std::map<std::string, Bytes>{{"NEW.BIN", bytes_of("new")},
                                            {"RPK.BIN", bytes_of("new archive")},
                                            {"SLUS_217.88", bytes_of("new exe")}}));
}

// An interrupted run removes what it was writing and leaves everything else.
TEST(InterruptCleanup, RemovesUnfinishedOutputsAndEndsWithAnError) {
    SharedTempDir tmp;
    write_file(tmp / "kept.bin", bytes_of("kept"));
    // In the child: two new folders with nothing in them; one new file half
    // written, in two more; one replacement half written; one new file
    // finished, in a new folder; then the signal. The folders that end up
    // empty go too.
    auto interrupted = [&](int signal) {
        install_interrupt_cleanup();
        std::string err;
        static AtomicFile fresh, replacing, done;
        FolderMaker folders;
        if (!folders.make_parents(tmp / "empty/inner/", &err) ||
            !folders.make_parents(tmp / "made/deeper/fresh.bin", &err) ||
            !folders.make_parents(tmp / "full/done.bin", &err) ||
            !fresh.open(tmp / "made/deeper/fresh.bin", &err, AtomicFile::NewTarget::in_place) ||
            !fresh.write(bytes_of("half"), &err) || !replacing.open(tmp / "kept.bin", &err) ||
            !replacing.write(bytes_of("half"), &err) ||
            !done.open(tmp / "full/done.bin", &err, AtomicFile::NewTarget::in_place) ||
            !done.write(bytes_of("done"), &err) || !done.commit(false, &err)) {
            std::exit(3);
        }
        raise_interrupt(signal);
        std::exit(0);
    };
    for (int signal : interrupt_signals()) {
        // Plain text only: Windows' death tests know a simple regex syntax.
        std::string message = interrupted_message(signal);
        message.pop_back();
        EXPECT_EXIT(interrupted(signal), ::testing::ExitedWithCode(FAILURE_STATUS),
                    "^" + message + "\r?\n$");
        std::map<std::string, Bytes> left = {{"full/", {}},
                                             {"full/done.bin", bytes_of("done")},
                                             {"kept.bin", bytes_of("kept")}};
#ifdef _WIN32
        // A removed file that is still open goes only when the process ends
        // (under wine, and on Windows before its removals took effect at
        // once), after the clean-up: its folders stay, empty.
        left["made/"] = {};
        left["made/deeper/"] = {};
#endif
        EXPECT_EQ(read_tree(tmp.path()), left) << signal;
        std::filesystem::remove_all(tmp / "full");
        std::filesystem::remove_all(tmp / "made");
    }
}

// Outputs that are not plain files: devices and FIFOs take the data as it
// comes, a symbolic link's file is replaced and the link stays, and a
// replaced file keeps its permissions and owner.
TEST(AtomicFile, DevicesFifosAndLinksKeepWhatTheyAre) {
    TempDir tmp;
    std::string err;
    ASSERT_TRUE(write_whole_file(NULL_DEVICE, bytes_of("gone"), &err)) << err;
    FileStatus status;
    ASSERT_TRUE(file_status(NULL_DEVICE, &status, &err)) << err;
    EXPECT_EQ(status.kind, FileKind::other);
#ifndef _WIN32
    // FIFOs, permission bits and owners are POSIX's; symbolic links on
    // Windows: AtomicFile.ANamedLinkStaysAndItsFileIsReplaced.
    struct stat st;
    const std::string fifo = tmp / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] {
        std::string got;
        EXPECT_TRUE(read_stream(fifo, &got, &err)) << err;
        received = got;
    });
    EXPECT_TRUE(write_whole_file(fifo, bytes_of("through the pipe"), &err)) << err;
    reader.join();
    EXPECT_EQ(received, "through the pipe");
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    std::filesystem::remove(fifo);

    std::filesystem::create_directory(tmp / "real");
    write_file(tmp / "real/target.bin", bytes_of("old"));
    ::chmod((tmp / "real/target.bin").c_str(), 0604);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown((tmp / "real/target.bin").c_str(), 4321, 4322), 0);
    }
    std::filesystem::create_symlink("real/target.bin", tmp / "link.bin");
    ASSERT_TRUE(write_whole_file(tmp / "link.bin", bytes_of("new"), &err)) << err;
    EXPECT_TRUE(std::filesystem::is_symlink(tmp / "link.bin"));
    EXPECT_EQ(read_file(tmp / "real/target.bin"), bytes_of("new"));
    ASSERT_EQ(::stat((tmp / "real/target.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
    if (root) {
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 4322u);
    }
    std::vector<std::string> names;
    for (const auto& [name, bytes] : read_tree(tmp.path())) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"link.bin", "real/", "real/target.bin"}))
        << "no temporary file is left beside the link or its file";
#endif

    // A name as long as the system allows is replaced like any other.
    const std::string longest = tmp / std::string(255, 'n');
    ASSERT_TRUE(write_whole_file(longest, bytes_of("1"), &err)) << err;
    ASSERT_TRUE(write_whole_file(longest, bytes_of("2"), &err)) << err;
    EXPECT_EQ(read_file(longest), bytes_of("2"));
}

// Windows (with the right to make links; not under wine 8, which makes
// none) and POSIX systems alike: writing through a symbolic link replaces
// the file it points to, beside that file, and the link stays.
TEST(AtomicFile, ANamedLinkStaysAndItsFileIsReplaced) {
    TempDir tmp;
    std::filesystem::create_directory(std::filesystem::path(tmp / "real"));
    write_file(tmp / "real/target.bin", bytes_of("old"));
    if (!make_symlink("real/target.bin", tmp / "link.bin")) {
        GTEST_SKIP() << "this system makes no symbolic links here";
    }
    std::string err;
    ASSERT_TRUE(write_whole_file(tmp / "link.bin", bytes_of("new"), &err)) << err;
    FileStatus link, file;
    ASSERT_TRUE(file_status(tmp / "link.bin", &link, &err, false)) << err;
    ASSERT_TRUE(file_status(tmp / "real/target.bin", &file, &err)) << err;
    EXPECT_EQ(link.kind, FileKind::link);
    EXPECT_EQ(read_file(tmp / "real/target.bin"), bytes_of("new"));
    EXPECT_EQ(read_tree(tmp / "real").size(), 1u) << "no temporary file is left";
}

// Inputs must be files: a FIFO nobody writes to fails at once instead of
// waiting forever, and devices and folders are refused by name.
TEST(OpenInput, RefusesWhatIsNotARegularFile) {
    TempDir tmp;
    std::filesystem::create_directory(tmp / "dir");
    std::vector<std::pair<std::string, std::string>> cases = {
        {tmp / "dir", "Error: " + (tmp / "dir") + ": is a folder, not a file"},
    };
#ifdef _WIN32
    cases.push_back({"NUL", "Error: NUL: is a device or pipe, not a regular file"});
#else
    const std::string fifo = tmp / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    cases.push_back({fifo, "Error: " + fifo + ": is a device or pipe, not a regular file"});
    cases.push_back({"/dev/zero", "Error: /dev/zero: is a device or pipe, not a regular file"});
#endif
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path);
        FileHandle file;
        std::uint64_t size = 0;
        std::string err;
        EXPECT_FALSE(open_input(path, &file, &size, &err)) << path;
        EXPECT_EQ(err, message);
        ByteBuffer bytes;
        EXPECT_FALSE(read_whole_file(path, &bytes, &err)) << path;
        MappedFile mapped;
        EXPECT_FALSE(mapped.open(path, &err)) << path;
    }
}

// Whether a folder is held in memory decides how rebuilds copy; the
// system's own `stat -f` is asked the same of each folder.
TEST(LiesInMemory, AgreesWithTheSystemsAnswer) {
    SharedTempDir tmp;
#ifdef _WIN32
    EXPECT_FALSE(lies_in_memory(tmp / "new.bin"));
#else
    std::vector<std::string> folders = {tmp.path(), "/dev/shm", "/proc"};
    for (const std::string& folder : folders) {
        if (!std::filesystem::is_directory(folder)) {
            continue;
        }
        const RunResult type = run_program("/usr/bin/stat", {"-f", "-c", "%T", folder}, ".");
        ASSERT_EQ(type.status, 0) << type.err;
        const bool in_memory = type.out == "tmpfs\n" || type.out == "ramfs\n";
        EXPECT_EQ(lies_in_memory(folder + "/not yet.bin"), in_memory) << folder << ": " << type.out;
    }
    EXPECT_FALSE(lies_in_memory(tmp / "missing/new.bin")) << "an unknown folder is not in memory";
#endif
}

// Workers ask at once (an unpack decodes its images in parallel); each
// must hear what the machine has, not an answer still being filled in. Each
// test runs in a process of its own, so these are the process's first asks.
TEST(AvailableMemory, IsKnownToThreadsAskingAtOnce) {
    std::atomic<bool> go{false};
    std::vector<std::uint64_t> answers(8);
    std::vector<std::thread> threads;
    for (std::uint64_t& answer : answers) {
        threads.emplace_back([&go, &answer] {
            while (!go.load()) {
            }
            answer = available_memory();
        });
    }
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::uint64_t answer : answers) {
        EXPECT_GT(answer, std::uint64_t{1} << 20);
    }
}

TEST(AvailableMemory, IsKnownAndHeldToALimitOnTheProcess) {
    const std::uint64_t available = available_memory();
    EXPECT_GT(available, std::uint64_t{1} << 20);
    EXPECT_LT(available, UINT64_MAX) << "the system tells";
#ifndef _WIN32
    if (built_with_address_sanitizer()) {
        GTEST_SKIP() << "AddressSanitizer reserves more address space than a limit allows";
    }
    // A limit 256 MiB above what the process uses leaves at most that.
    struct rlimit before;
    ASSERT_EQ(::getrlimit(RLIMIT_AS, &before), 0);
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    unsigned long long pages = 0;
    ASSERT_TRUE(statm != nullptr && std::fscanf(statm, "%llu", &pages) == 1);
    std::fclose(statm);
    const std::uint64_t used = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    struct rlimit limited = before;
    limited.rlim_cur = used + (256u << 20);
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &limited), 0);
    const std::uint64_t under_limit = available_memory();
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &before), 0);
    EXPECT_LE(under_limit, std::uint64_t{256} << 20);
    EXPECT_GT(under_limit, std::uint64_t{200} << 20);
#endif
}

// A lock held by one holder is refused to every other, as busy, until the
// first lets go; a lock that cannot be made is an error naming it.
TEST(RunLock, IsBusyForOthersUntilItsHolderLetsGo) {
    TempDir tmp;
    const std::string path = tmp / "lock";
    bool busy = false;
    std::string err;
    RunLock second;
    {
        RunLock first;
        ASSERT_TRUE(first.take(path, &busy, &err)) << err;
        EXPECT_FALSE(second.take(path, &busy, &err));
        EXPECT_TRUE(busy);
    }
    EXPECT_TRUE(second.take(path, &busy, &err)) << err;
    EXPECT_FALSE(busy);
    RunLock nowhere;
    EXPECT_FALSE(nowhere.take(tmp / "no/such/folder/lock", &busy, &err));
    EXPECT_FALSE(busy);
    EXPECT_TRUE(err.starts_with("Error: " + (tmp / "no/such/folder/lock") +
                                ": could not take the lock file ("))
        << err;
}
