#include "sectors/sector_io.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <deque>
#include <filesystem>
#include <functional>
#include <numeric>

#include "common/names.h"
#include "common/text.h"
#include "testing/test_support.h"

namespace fs = std::filesystem;

namespace {

// Jobs writing one byte each of a source, named as their paths. The names
// are views, as a table's names are into its image: they are kept here for
// the whole test run.
std::vector<ExtractJob> jobs_for(const std::vector<std::string>& paths) {
    static std::deque<std::string> names;
    std::vector<ExtractJob> jobs;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        names.push_back(paths[i]);
        jobs.push_back({paths[i], 0, i, 1, "entry " + std::to_string(i), names.back()});
    }
    return jobs;
}

}  // namespace

// What stands in the tree is judged before anything is written: folders,
// devices and inputs in a file's place, files in a folder's place.
TEST(ExtractTargets, WhatStandsInTheTreeIsCheckedFirst) {
    struct Case {
        const char* what;
        std::vector<std::string> paths;
        std::string refusal;  // empty: accepted
    };
    std::vector<Case> cases = {
        {"new files", {"new/a.bin", "b.bin"}, ""},
        {"an existing file is replaced", {"file.bin"}, ""},
        {"a folder in a file's place", {"dir"}, "dir: a folder stands where entry 0 (\"dir\")"},
        {"a file in a folder's place",
         {"ok.bin", "file.bin/x"},
         "file.bin: entry 1 (\"file.bin/x\") needs this as a folder, but a file stands there"},
        {"an input", {"sub/../input.elf"}, "would overwrite input.elf, which is being read"},
    };
#ifdef _WIN32
    // Names that differ only in case are the same name on Windows.
    cases.push_back({"a device in a file's place", {"NUL"}, "NUL: a device or pipe stands where"});
    cases.push_back({"a file in a folder's place, in other case",
                     {"FILE.BIN/x"},
                     "FILE.BIN: entry 0 (\"FILE.BIN/x\") needs this as a folder, but a file"});
    cases.push_back({"an input in other case", {"Input.ELF"}, "would overwrite input.elf"});
#else
    cases.push_back(
        {"a FIFO in a file's place", {"fifo"}, "fifo: a device or pipe stands where entry 0"});
#endif
    TempDir tmp;
    in_dir(tmp.path(), [&] {
        write_file("file.bin", bytes_of("old"));
        write_file("input.elf", bytes_of("exe"));
        fs::create_directory("dir");
        fs::create_directory("sub");
#ifndef _WIN32
        ASSERT_EQ(::mkfifo("fifo", 0600), 0);
#endif
        // Where the system makes symbolic links (not under wine).
        const bool links = make_symlink("input.elf", "link.bin");
        if (links) {
            cases.push_back({"a link is replaced, not followed", {"link.bin"}, ""});
            // A link to nothing where a folder is needed: making the folder
            // would fail only while writing, after earlier entries.
            ASSERT_TRUE(make_symlink("nowhere/at/all", "dangling"));
            cases.push_back({"a link to nothing in a folder's place",
                             {"ok.bin", "dangling/sub/x.bin"},
                             "Error: dangling: entry 1 (\"dangling/sub/x.bin\") needs this as a "
                             "folder, but a symbolic link whose target does not exist stands "
                             "there; nothing was written"});
            ASSERT_TRUE(make_symlink("dir", "dir-link"));
            cases.push_back({"a link to a folder in a folder's place", {"dir-link/x.bin"}, ""});
        }
        const std::string inputs[] = {"input.elf"};
        for (const Case& c : cases) {
            std::string err;
            const bool ok = check_extract_targets(jobs_for(c.paths), inputs, &err);
            EXPECT_EQ(ok, c.refusal.empty()) << c.what << ": " << err;
            EXPECT_NE(err.find(c.refusal), std::string::npos) << c.what << ": " << err;
        }
        // A link in a file's place is replaced by the file; what it points to stays.
        write_file("source.bin", bytes_of("0123456789"));
        if (!links) {
            write_file("link.bin", bytes_of("a file where the link would be"));
        }
        const ExtractSource sources[] = {{"source.bin", 10}};
        std::string err;
        std::size_t before = 0;
        ASSERT_TRUE(run_extraction(
            jobs_for({"link.bin", "new/deep/a.bin"}), sources, [&](std::size_t) { ++before; },
            &err))
            << err;
        EXPECT_EQ(before, 2u);
        EXPECT_FALSE(fs::is_symlink("link.bin"));
        EXPECT_EQ(read_file("link.bin"), bytes_of("0"));
        EXPECT_EQ(read_file("input.elf"), bytes_of("exe"));
        EXPECT_EQ(read_file("new/deep/a.bin"), bytes_of("1"));
    });
}

TEST(Extraction, AFailureNamesTheEntryAndLeavesNoPartialFile) {
    TempDir tmp;
    in_dir(tmp.path(), [&] {
        write_file("source.bin", bytes_of("0123456789"));
        // The source shrank after its size was taken: the third job fails.
        const ExtractSource sources[] = {{"source.bin", 100}};
        std::vector<ExtractJob> jobs = jobs_for({"a", "b", "c"});
        jobs[2].offset = 5;
        jobs[2].length = 50;
        std::string err;
        EXPECT_FALSE(run_extraction(
            jobs, sources, [](std::size_t) {}, &err));
        EXPECT_EQ(err,
                  "Error: source.bin: ended early: expected 50 bytes at offset 0x5, got 5 (while "
                  "writing entry 2 (\"c\"))");
        EXPECT_EQ(read_tree("."),
                  (std::map<std::string, Bytes>{{"a", bytes_of("0")},
                                                {"b", bytes_of("1")},
                                                {"source.bin", read_file("source.bin")}}));
        // A folder that cannot be made is reported with its own reason.
        write_file("blocker", bytes_of("x"));
        EXPECT_FALSE(run_extraction(
            jobs_for({"blocker/x/y"}), sources, [](std::size_t) {}, &err));
        EXPECT_EQ(err,
                  "Error: blocker: could not create the folder (a file of that name is in the "
                  "way) (while writing entry 0 (\"blocker/x/y\"))");
    });
}

TEST(Packing, FilesGoAtTheirPlacesWithZeroFillAndMustNotChangeMeanwhile) {
    TempDir tmp;
    in_dir(tmp.path(), [&] {
        write_file("a", Bytes(3000, 0xAA));
        write_file("b", {});
        write_file("c", Bytes(5, 0xCC));
        const std::vector<PackJob> jobs = {
            {"a", 0, "entry 0", "a"}, {"b", 12, "entry 1", "b"}, {"c", 24, "entry 2", "c"}};
        std::vector<std::uint64_t> sizes;
        std::string err;
        ASSERT_TRUE(pack_file_sizes(jobs, &sizes, &err)) << err;
        EXPECT_EQ(sizes, (std::vector<std::uint64_t>{3000, 0, 5}));
        std::vector<PackPlacement> placements;
        std::uint64_t total = 0;
        ASSERT_TRUE(plan_packing(jobs, sizes, {0xFFFFFFFF, true}, &placements, &total, &err));
        {
            AtomicFile out;
            ASSERT_TRUE(out.open("packed.bin", &err)) << err;
            ASSERT_TRUE(pack_files(
                jobs, placements, total, out, [](std::size_t) {}, &err))
                << err;
            ASSERT_TRUE(out.commit(false, &err)) << err;
        }
        Bytes want(6144, 0);
        std::fill(want.begin(), want.begin() + 3000, 0xAA);
        std::fill(want.begin() + 4096, want.begin() + 4101, 0xCC);
        EXPECT_EQ(read_file("packed.bin"), want);

        // A file that grew after it was measured: nothing is written.
        write_file("c", Bytes(6, 0xCC));
        AtomicFile out;
        ASSERT_TRUE(out.open("packed.bin", &err)) << err;
        EXPECT_FALSE(pack_files(
            jobs, placements, total, out, [](std::size_t) {}, &err));
        EXPECT_EQ(err,
                  "Error: c: changed size while the rebuild ran (5 bytes, now 6); nothing "
                  "was replaced");
        out.discard();
        EXPECT_EQ(read_file("packed.bin"), want);

        // Missing files and folders are refused when measured.
        fs::remove("b");
        EXPECT_FALSE(pack_file_sizes(jobs, &sizes, &err));
        EXPECT_EQ(err, "Could not open b (No such file or directory)");
        fs::create_directory("b");
        EXPECT_FALSE(pack_file_sizes(jobs, &sizes, &err));
        EXPECT_EQ(err, "Error: b: is a folder, not a file to pack as entry 1 (\"b\")");
    });
}

// Copying the files to their places gives every file at its sector with
// zero fill, by either copy method and with any number of threads; the
// listing runs in table order; and a failure is the earliest in table order,
// with the listing up to it, whatever thread met it.
TEST(Packing, AtOnceOnEveryThreadGivesEachFileItsPlace) {
    TempDir tmp;
    std::deque<std::string> names;
    std::vector<PackJob> jobs;
    Bytes want;  // the files back to back, each padded to whole sectors
    for (int i = 0; i < 150; ++i) {
        // Sizes around sector and buffer boundaries, empty files, and one
        // file larger than a thread's 1 MiB buffer.
        const std::size_t size =
            i == 77 ? (3u << 20) + 5 : static_cast<std::size_t>(i * 997 % 6000);
        Bytes data(size);
        for (std::size_t k = 0; k < size; ++k) {
            data[k] = static_cast<std::uint8_t>(k * 31 + static_cast<std::size_t>(i));
        }
        want.insert(want.end(), data.begin(), data.end());
        want.resize((want.size() + 2047) / 2048 * 2048, 0);
        names.push_back("in/f" + std::to_string(i));
        write_file(tmp / names.back(), data);
        jobs.push_back({tmp / names.back(), static_cast<std::uint64_t>(i) * 12,
                        "entry " + std::to_string(i), names.back()});
    }
    std::vector<std::uint64_t> sizes;
    std::vector<PackPlacement> placements;
    std::uint64_t total = 0;
    std::string err;
    ASSERT_TRUE(pack_file_sizes(jobs, &sizes, &err)) << err;
    ASSERT_TRUE(plan_packing(jobs, sizes, {0x7FFFFFFF, true}, &placements, &total, &err)) << err;
    auto pack = [&](const std::string& name, const PackCopy& copy, std::size_t* listed) {
        *listed = 0;
        std::size_t expected_next = 0;
        AtomicFile out;
        EXPECT_TRUE(out.open(tmp / name, &err)) << err;
        const bool ok = pack_files(
            jobs, placements, total, out,
            [&](std::size_t i) {
                EXPECT_EQ(i, expected_next++) << "listing out of order";
                ++*listed;
            },
            &err, copy);
        if (ok) {
            EXPECT_EQ(out.size(), total);
            EXPECT_TRUE(out.commit(false, &err)) << err;
        }
        return ok;
    };
    std::size_t listed = 0;
    ASSERT_EQ(want.size(), total);
    for (const CopyMethod method : {CopyMethod::in_system, CopyMethod::buffered}) {
        for (const unsigned workers : {1u, 2u, 3u, 8u}) {
            const std::string name = "at_once" + std::to_string(workers) + ".bin";
            ASSERT_TRUE(pack(name, {workers, method}, &listed)) << err;
            EXPECT_EQ(listed, jobs.size());
            EXPECT_TRUE(read_file(tmp / name) == want)
                << workers << " threads, method " << static_cast<int>(method);
        }
    }

    // A device takes the files in order.
    {
        AtomicFile device;
        ASSERT_TRUE(device.open(NULL_DEVICE, &err)) << err;
        EXPECT_FALSE(device.is_file());
        std::size_t next = 0;
        EXPECT_TRUE(pack_files(jobs, placements, total, device,
                               [&](std::size_t i) { EXPECT_EQ(i, next++); }, &err,
                               {4, CopyMethod::buffered}))
            << err;
        EXPECT_EQ(next, jobs.size());
        EXPECT_EQ(device.size(), total);
        EXPECT_TRUE(device.commit(false, &err)) << err;
    }

    // Jobs 40 and 120 cannot be packed: one is gone, one grew.
    std::filesystem::remove(tmp / "in/f40");
    write_file(tmp / "in/f120", Bytes(sizes[120] + 1, 1));
    for (const unsigned workers : {1u, 2u, 8u}) {
        EXPECT_FALSE(pack("failed.bin", {workers, PACK_COPY_METHOD}, &listed));
        EXPECT_EQ(err, "Could not open " + (tmp / "in/f40") + " (No such file or directory)")
            << workers;
        EXPECT_EQ(listed, 41u) << workers;
        EXPECT_FALSE(file_exists(tmp / "failed.bin"));
    }
}

// Several writers give exactly what one gives: the same files, the later of
// two entries of the same name, and the listing in table order.
TEST(Extraction, SeveralWritersGiveWhatOneGives) {
    TempDir tmp;
    Bytes source(4000);
    for (std::size_t i = 0; i < source.size(); ++i) {
        source[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    write_file(tmp / "source.bin", source);
    std::vector<std::string> paths;
    for (int i = 0; i < 300; ++i) {
        paths.push_back("d" + std::to_string(i % 7) + "/sub" + std::to_string(i % 3) + "/f" +
                        std::to_string(i) + ".bin");
    }
    // Names stored twice, once in another spelling of the same path.
    paths[40] = paths[10];
    paths[200] = "d3//./sub1/f10.bin";
    paths[201] = "d3/sub1/f10.bin";
    std::vector<ExtractJob> jobs = jobs_for(paths);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        jobs[i].source = 0;
        jobs[i].offset = i * 13 % 3000;
        jobs[i].length = i * 37 % 900;
    }
    const ExtractSource sources[] = {{tmp / "source.bin", source.size()}};
    std::map<unsigned, std::map<std::string, Bytes>> trees;
    for (const unsigned workers : {1u, 2u, 5u}) {
        const std::string out = tmp / ("out" + std::to_string(workers));
        std::filesystem::create_directory(out);
        std::vector<std::size_t> listed;
        std::string err;
        in_dir(out, [&] {
            EXPECT_TRUE(run_extraction(
                jobs, sources, [&](std::size_t i) { listed.push_back(i); }, &err, workers))
                << err;
        });
        std::vector<std::size_t> in_order(jobs.size());
        std::iota(in_order.begin(), in_order.end(), 0);
        EXPECT_EQ(listed, in_order) << workers;
        trees[workers] = read_tree(out);
    }
    EXPECT_EQ(trees[2], trees[1]);
    EXPECT_EQ(trees[5], trees[1]);
    const std::size_t last = 201;  // the last of the entries that write d3/sub1/f10.bin
    EXPECT_EQ(trees[1].at("d3/sub1/f10.bin"),
              Bytes(source.begin() + static_cast<long>(jobs[last].offset),
                    source.begin() + static_cast<long>(jobs[last].offset + jobs[last].length)));
}

// Two names of one file on this host go to one writer, which writes them in
// table order, whatever the threads: on Windows "É.bin" and "é.bin" are one
// file, and a second writer could write the earlier entry's data last. The
// earlier name comes after 31 other jobs of its thread, the later one first
// in another thread's share, so two writers would write them out of order.
TEST(Extraction, NamesOfOneFileAreWrittenInTableOrder) {
    TempDir tmp;
    std::vector<std::string> paths;
    for (int i = 0; i < 31; ++i) {
        paths.push_back("x/fill" + std::to_string(i));
    }
    paths.push_back("x/\xC3\x89.bin");  // "É.bin", job 31: the last of the first share
    paths.push_back("x/\xC3\xA9.bin");  // "é.bin", job 32: the first of the next one
    std::vector<ExtractJob> jobs = jobs_for(paths);
    for (std::size_t i = 0; i < 31; ++i) {
        jobs[i].offset = 0;
        jobs[i].length = 120 << 10;  // 31 of them stay below the 4 MiB of one share
    }
    jobs[31].offset = 130 << 10;        // "A" ...
    jobs[32].offset = (130 << 10) + 1;  // ... and "B"
    Bytes source(130 << 10, 0x11);
    source.push_back('A');
    source.push_back('B');
    write_file(tmp / "source.bin", source);
    const ExtractSource sources[] = {{tmp / "source.bin", source.size()}};
    std::string err;
    ASSERT_TRUE(check_extract_names(jobs, &err)) << err;
    in_dir(tmp.path(), [&] {
        EXPECT_TRUE(run_extraction(
            jobs, sources, [](std::size_t) {}, &err, 4))
            << err;
    });
    const std::map<std::string, Bytes> tree = read_tree(tmp / "x");
    if (host_name_rules() == NameRules::windows) {
        ASSERT_EQ(tree.size(), 32u);
        EXPECT_EQ(read_file(tmp / "x/\xC3\xA9.bin"), bytes_of("B"))
            << "the later entry's data stays";
    } else {
        EXPECT_EQ(tree.at("\xC3\x89.bin"), bytes_of("A"));
        EXPECT_EQ(tree.at("\xC3\xA9.bin"), bytes_of("B"));
    }
}

// With several writers, a failure stops the run at the earliest failing job
// in table order, lists exactly the jobs up to it, and leaves no partial file.
TEST(Extraction, SeveralWritersReportTheEarliestFailure) {
    TempDir tmp;
    write_file(tmp / "source.bin", Bytes(1000, 0x5A));
    std::vector<std::string> paths;
    for (int i = 0; i < 200; ++i) {
        paths.push_back("f" + std::to_string(i));
    }
    std::vector<ExtractJob> jobs = jobs_for(paths);
    // The source claims more than the file holds: jobs 70 and 150 read past its end.
    const ExtractSource sources[] = {{tmp / "source.bin", 5000}};
    for (ExtractJob& job : jobs) {
        job.offset = 0;
        job.length = 500;
    }
    jobs[150].offset = jobs[70].offset = 900;
    for (const unsigned workers : {1u, 4u}) {
        const std::string out = tmp / ("out" + std::to_string(workers));
        std::filesystem::create_directory(out);
        std::size_t listed = 0;
        std::string err;
        in_dir(out, [&] {
            EXPECT_FALSE(run_extraction(
                jobs, sources, [&](std::size_t) { ++listed; }, &err, workers));
        });
        EXPECT_EQ(err,
                  "Error: " + (tmp / "source.bin") +
                      ": ended early: expected 500 bytes at offset 0x384, got 100 (while writing "
                      "entry 70 (\"f70\"))")
            << workers;
        EXPECT_EQ(listed, 71u) << workers;
        const std::map<std::string, Bytes> tree = read_tree(out);
        for (int i = 0; i < 70; ++i) {
            EXPECT_EQ(tree.at("f" + std::to_string(i)), Bytes(500, 0x5A));
        }
        EXPECT_FALSE(tree.contains("f70"));
        for (const auto& [path, data] : tree) {
            EXPECT_EQ(data, Bytes(500, 0x5A)) << "partial file " << path;
        }
    }
}

// A rebuild compares each file with the data its record points at, in
// chunks (files here span several), and checks every record and file before
// anything is written.
TEST(PackReview, FindsAnyChangeAndRefusesWhatCannotBePacked) {
    TempDir tmp;
    in_dir(tmp.path(), [&] {
        const std::uint64_t big = 2 * COMPARE_CHUNK + 5000;
        Bytes packed(big + 8192);
        for (std::size_t i = 0; i < packed.size(); ++i) {
            packed[i] = static_cast<std::uint8_t>(i * 7 + i / 4093);
        }
        write_file("pack.bin", packed);
        auto slice = [&](std::uint64_t offset, std::uint64_t length) {
            return Bytes(packed.begin() + static_cast<std::ptrdiff_t>(offset),
                         packed.begin() + static_cast<std::ptrdiff_t>(offset + length));
        };
        // The records: a big one at sector 0, an empty one, a small one after it.
        const std::uint64_t small_at = round_up_to_sector(big);
        auto jobs = [&] {
            return std::vector<PackJob>{{"big", 0, "entry 0", "big", 0, big},
                                        {"empty", 12, "entry 1", "empty", 4096, 0},
                                        {"small", 24, "entry 2", "small", small_at, 100}};
        };
        auto write_originals = [&] {
            write_file("big", slice(0, big));
            write_file("empty", {});
            write_file("small", slice(small_at, 100));
        };
        struct Case {
            const char* what;
            std::function<void()> change;
            bool changed;
            std::string refusal;  // empty: accepted
        };
        Bytes last_byte = slice(0, big);
        last_byte.back() ^= 1;
        Bytes first_byte = slice(small_at, 100);
        first_byte.front() ^= 0x80;
        std::vector<Case> cases = {
            {"nothing changed", [] {}, false, ""},
            {"the last byte of the third chunk", [&] { write_file("big", last_byte); }, true, ""},
            {"the first byte", [&] { write_file("small", first_byte); }, true, ""},
            {"another size", [&] { write_file("empty", bytes_of("x")); }, true, ""},
            {"a missing file", [] { fs::remove("small"); }, false,
             "Could not open small (No such file or directory)"},
            {"a missing file after a change",
             [&] {
                 write_file("big", last_byte);
                 fs::remove("small");
             },
             false, "Could not open small (No such file or directory)"},
            {"a folder",
             [] {
                 fs::remove("empty");
                 fs::create_directory("empty");
             },
             false, "Error: empty: is a folder, not a file to pack as entry 1 (\"empty\")"},
        };
#ifndef _WIN32
        cases.push_back(
            {"a pipe",
             [] {
                 fs::remove("small");
                 ASSERT_EQ(::mkfifo("small", 0600), 0);
             },
             false,
             "Error: small: is a device or pipe, not a file to pack as entry 2 (\"small\")"});
#endif
        const ExtractSource source{"pack.bin", packed.size()};
        for (const Case& c : cases) {
            write_originals();
            c.change();
            PackReview review;
            std::string err;
            const bool ok = review_pack(source, jobs(), &review, &err);
            EXPECT_EQ(ok, c.refusal.empty()) << c.what;
            EXPECT_EQ(err, c.refusal) << c.what;
            if (ok) {
                EXPECT_EQ(review.changed, c.changed) << c.what;
                EXPECT_EQ(review.sizes,
                          (std::vector<std::uint64_t>{fs::file_size("big"), fs::file_size("empty"),
                                                      fs::file_size("small")}))
                    << c.what;
            }
            fs::remove_all("empty");
            fs::remove_all("small");
        }

        // Every record's data must lie in the packed file, whatever the files hold.
        write_originals();
        std::vector<PackJob> past = jobs();
        past[2].data_offset = packed.size() - 99;
        PackReview review;
        std::string err;
        EXPECT_FALSE(review_pack(source, past, &review, &err));
        EXPECT_EQ(err, "Error: pack.bin: the data of entry 2 (\"small\", 100 bytes at offset " +
                           hex(packed.size() - 99) + ") reaches past the end of the file (" +
                           std::to_string(packed.size()) + " bytes); nothing was written");
        // A packed file that shrank after it was measured is an error, not a difference.
        fs::resize_file("pack.bin", 1000);
        EXPECT_FALSE(review_pack(source, jobs(), &review, &err));
        EXPECT_EQ(err,
                  "Error: pack.bin: ended early: expected 1048576 bytes at offset 0x0, got 1000");
    });
}
