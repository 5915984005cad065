#include "common/names.h"

#include <gtest/gtest.h>

TEST(Names, BackslashesBecomeSlashesOnThisHost) {
    EXPECT_EQ(host_path("a\\b/c\\d.bin"), "a/b/c/d.bin");
    EXPECT_EQ(host_path("plain.bin"), "plain.bin");
}

TEST(Names, UnsafeNamesAreRefusedAndLookAlikesAccepted) {
    for (const char* bad : {"", "/etc/passwd", "\\root.bin", "C:evil", "c:\\x", "..", "../x",
                            "a/../../x", "a\\..\\x", "a/..", "x/..\\y", "dir/", "dir\\"}) {
        EXPECT_NE(unsafe_name_reason(bad), "") << "accepted: " << bad;
    }
    for (const char* good : {"a", "..x", "x..", "a/..b", "a/b..", "...", "a/./b", "1:x",
                             "dir\\sub\\file.bin", "a//b"}) {
        EXPECT_EQ(unsafe_name_reason(good), "") << "refused: " << good;
    }
}
