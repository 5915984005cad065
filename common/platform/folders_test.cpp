#include "common/platform/folders.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testing/test_support.h"

namespace {

std::vector<std::string> paths_of(const std::vector<FolderEntry>& entries, FileKind kind) {
    std::vector<std::string> paths;
    for (const FolderEntry& e : entries) {
        if (e.kind == kind) {
            paths.push_back(e.path);
        }
    }
    return paths;
}

}  // namespace

TEST(ListFolderTree, EveryFileBelowSortedByPathWithSlashes) {
    TempDir dir;
    for (const char* name : {"b.evd", "a/z.evd", "a/b/c.evd", "a.evd", "a-b/x.txt", "é/ü.evd"}) {
        write_file(dir / name, bytes_of(name));
    }
    std::filesystem::create_directories(dir / "empty/inner");
    std::vector<FolderEntry> entries;
    std::string err;
    ASSERT_TRUE(list_folder_tree(dir.path(), &entries, &err)) << err;
    // Byte order: '-' (0x2D) before '.' (0x2E) before '/' (0x2F).
    EXPECT_EQ(paths_of(entries, FileKind::regular),
              (std::vector<std::string>{"a-b/x.txt", "a.evd", "a/b/c.evd", "a/z.evd", "b.evd",
                                        "é/ü.evd"}));
    EXPECT_EQ(entries.size(), 6u);
    // A trailing separator names the same folder.
    std::vector<FolderEntry> again;
    ASSERT_TRUE(list_folder_tree(dir.path() + "/", &again, &err)) << err;
    EXPECT_EQ(paths_of(again, FileKind::regular), paths_of(entries, FileKind::regular));
}

TEST(ListFolderTree, LinksAreListedNotFollowed) {
    TempDir dir;
    write_file(dir / "tree/real/a.evd", bytes_of("a"));
    write_file(dir / "outside/secret.evd", bytes_of("s"));
    if (!make_symlink(dir / "outside", dir / "tree/link") ||
        !make_symlink(dir / "tree", dir / "tree/real/loop")) {
        GTEST_SKIP() << "this system makes no symbolic links";
    }
    std::vector<FolderEntry> entries;
    std::string err;
    ASSERT_TRUE(list_folder_tree(dir / "tree", &entries, &err)) << err;
    EXPECT_EQ(paths_of(entries, FileKind::regular), std::vector<std::string>{"real/a.evd"});
    EXPECT_EQ(paths_of(entries, FileKind::link), (std::vector<std::string>{"link", "real/loop"}));
}

TEST(ListFolderTree, MissingFolderIsAnError) {
    TempDir dir;
    std::vector<FolderEntry> entries{{"stale", FileKind::regular}};
    std::string err;
    EXPECT_FALSE(list_folder_tree(dir / "missing", &entries, &err));
    EXPECT_EQ(err, "Error: " + (dir / "missing") +
                       ": could not list the folder (No such file or directory)");
    EXPECT_TRUE(entries.empty());
}
