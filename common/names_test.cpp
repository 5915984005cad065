#include "common/names.h"

#include <gtest/gtest.h>

TEST(Names, BackslashesBecomeSlashesOnThisHost) {
    EXPECT_EQ(host_path("a\\b/c\\d.bin"), "a/b/c/d.bin");
    EXPECT_EQ(host_path("plain.bin"), "plain.bin");
}

TEST(Names, UnsafeNamesAreRefusedAndLookAlikesAccepted) {
    for (const char* bad :
         {"", "/etc/passwd", "\\root.bin", "C:evil", "c:\\x", "..", "../x", "a/../../x", "a\\..\\x",
          "a/..", "x/..\\y", "dir/", "dir\\", ".", "a/.", "a\\."}) {
        EXPECT_NE(unsafe_name_reason(bad), "") << "accepted: " << bad;
    }
    for (const char* good : {"a", "..x", "x..", "a/..b", "a/b..", "...", "a/./b", "1:x",
                             "dir\\sub\\file.bin", "a//b"}) {
        EXPECT_EQ(unsafe_name_reason(good), "") << "refused: " << good;
    }
}

// A path ends at its first zero byte for the system, so a name holding one
// would be judged on one string and used as another: "..\0x" passes as the
// look-alike "..\0x" but opens "..".
TEST(Names, NamesHoldingAZeroByteAreRefused) {
    using namespace std::string_view_literals;
    for (std::string_view bad : {"..\0x"sv, "a/\0"sv, "\0"sv, "x\0/../../y"sv, "ok.bin\0"sv}) {
        EXPECT_EQ(unsafe_name_reason(bad), "zero byte in the name")
            << "accepted a name of " << bad.size() << " bytes";
    }
    // Every name the tools read is cut at its terminator and never holds one.
    EXPECT_EQ(unsafe_name_reason("ok.bin"sv), "");
}

TEST(Names, ExtensionsMatchInAnyCase) {
    EXPECT_TRUE(has_extension("tex/a.tm2.lzr", ".lzr"));
    EXPECT_TRUE(has_extension("A.TM2.LZR", ".lzr"));
    EXPECT_TRUE(has_extension(".png", ".PNG"));
    EXPECT_FALSE(has_extension("a.lzr.tm2", ".lzr"));
    EXPECT_FALSE(has_extension("lzr", ".lzr"));
    EXPECT_FALSE(has_extension("", ".png"));
}
