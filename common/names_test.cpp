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
        EXPECT_NE(unsafe_name_reason(bad, NameRules::posix), "") << "accepted: " << bad;
        EXPECT_NE(unsafe_name_reason(bad, NameRules::windows), "") << "accepted: " << bad;
    }
    // (Windows refuses some of these for its own reasons: see below.)
    for (const char* good : {"a", "..x", "x..", "a/..b", "a/b..", "...", "a/./b", "1:x",
                             "dir\\sub\\file.bin", "a//b"}) {
        EXPECT_EQ(unsafe_name_reason(good, NameRules::posix), "") << "refused: " << good;
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

// The Windows rules refuse, on every host, what Windows would open as
// something else than the file named (a device, a data stream of another
// file, a name with its last dots or blanks dropped) or cannot hold at all;
// the POSIX rules take all of them. Look-alikes stay ordinary names.
TEST(Names, WindowsRulesRefuseWhatWindowsCannotHold) {
    using namespace std::string_view_literals;
    const struct {
        std::string_view name;
        const char* reason;
    } refused[] = {
        {"CON", "\"CON\" names a device on Windows"},
        {"dir/nul.txt", "\"nul.txt\" names a device on Windows"},
        {"Aux.tar.gz", "\"Aux.tar.gz\" names a device on Windows"},
        {"prn ", "a component ending in a blank, which Windows drops"},
        {"PRN .bin", "\"PRN .bin\" names a device on Windows"},
        {"com1", "\"com1\" names a device on Windows"},
        {"x\\COM9.dat", "\"COM9.dat\" names a device on Windows"},
        {"LPT5", "\"LPT5\" names a device on Windows"},
        {"lpt0.log", "\"lpt0.log\" names a device on Windows"},
        {"COM\xC2\xB9", "\"COM\xC2\xB9\" names a device on Windows"},
        {"conin$", "\"conin$\" names a device on Windows"},
        {"CONOUT$.txt", "\"CONOUT$.txt\" names a device on Windows"},
        {"ab:c", "':', which would name a data stream on Windows"},
        {"file.bin:stream", "':', which would name a data stream on Windows"},
        {"a<b", "'<', which Windows does not allow in a name"},
        {"a>b", "'>', which Windows does not allow in a name"},
        {"say\"hi\"", "'\"', which Windows does not allow in a name"},
        {"a|b", "'|', which Windows does not allow in a name"},
        {"what?", "'?', which Windows does not allow in a name"},
        {"dir/*.bin", "'*', which Windows does not allow in a name"},
        {"tab\there", "control character, which Windows does not allow in a name"},
        {"\x1F"
         "x",
         "control character, which Windows does not allow in a name"},
        {"dir./x.bin", "a component ending in a dot, which Windows drops"},
        {"x.bin.", "a component ending in a dot, which Windows drops"},
        {"dir /x.bin", "a component ending in a blank, which Windows drops"},
        {"name\xFF", "not UTF-8, which Windows cannot hold as a name"},
        {"\x82\xA0.txt", "not UTF-8, which Windows cannot hold as a name"},
        {"\xC0\xAF", "not UTF-8, which Windows cannot hold as a name"},          // overlong '/'
        {"\xED\xA0\x80", "not UTF-8, which Windows cannot hold as a name"},      // a surrogate
        {"\xF4\x90\x80\x80", "not UTF-8, which Windows cannot hold as a name"},  // past U+10FFFF
        {"\xE6\x97", "not UTF-8, which Windows cannot hold as a name"},          // cut short
    };
    for (const auto& [name, reason] : refused) {
        EXPECT_EQ(unsafe_name_reason(name, NameRules::windows), reason) << name;
        EXPECT_EQ(unsafe_name_reason(name, NameRules::posix), "") << name;
    }
    for (const char* good :
         {"CONSOLE", "con2", "COM10", "LPT", "xCON", "nul_file.bin", "a.con", "dir/aux-data/x",
          "CON_/x", ".hidden", "a/./b", "a//b", "..x", "caf\xC3\xA9.bin",
          "\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x98\x80", "COM\xC2\xB9x", " lead"}) {
        EXPECT_EQ(unsafe_name_reason(good, NameRules::windows), "") << "refused: " << good;
    }
    // What every system refuses is refused under both rule sets.
    for (const char* bad : {"", "/x", "C:x", "../x", "a/", "."}) {
        EXPECT_NE(unsafe_name_reason(bad, NameRules::windows), "") << bad;
        EXPECT_EQ(unsafe_name_reason(bad, NameRules::windows),
                  unsafe_name_reason(bad, NameRules::posix))
            << bad;
    }
}

// The rules a program applies are its system's, and names it writes that
// differ only in case are one name on Windows.
TEST(Names, TheHostAppliesItsOwnRules) {
#ifdef _WIN32
    EXPECT_EQ(host_name_rules(), NameRules::windows);
    EXPECT_NE(unsafe_name_reason("CON.txt"), "");
    EXPECT_EQ(path_key("Dir\\Sub/File.Bin"), path_key("dir/SUB/file.bin"));
    EXPECT_EQ(path_key("caf\xC3\xA9"), path_key("CAF\xC3\x89"));
#else
    EXPECT_EQ(host_name_rules(), NameRules::posix);
    EXPECT_EQ(unsafe_name_reason("CON.txt"), "");
    EXPECT_NE(path_key("Dir/File.Bin"), path_key("dir/file.bin"));
#endif
}

TEST(Names, ExtensionsMatchInAnyCase) {
    EXPECT_TRUE(has_extension("tex/a.tm2.lzr", ".lzr"));
    EXPECT_TRUE(has_extension("A.TM2.LZR", ".lzr"));
    EXPECT_TRUE(has_extension(".png", ".PNG"));
    EXPECT_FALSE(has_extension("a.lzr.tm2", ".lzr"));
    EXPECT_FALSE(has_extension("lzr", ".lzr"));
    EXPECT_FALSE(has_extension("", ".png"));
}

TEST(Names, PathsSplitAtEverySeparator) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(path_components("a//b/"), (V{"a", "", "b", ""}));
    EXPECT_EQ(path_components("a\\b/c"), (V{"a", "b", "c"}));
    EXPECT_EQ(path_components(""), (V{""}));
    EXPECT_EQ(path_components("/x"), (V{"", "x"}));
}

// One rule decides when two paths name the same file, for the checks of an
// extraction and for which thread writes which file alike: other spellings
// of a path always, letters of another case where this system's file
// systems ignore case (Windows: by the Unicode rules, also beyond ASCII).
TEST(Names, SameFileKeysFollowTheHostsFileSystems) {
    const bool folds = host_name_rules() == NameRules::windows;
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"a/b.bin", "a/b.bin", true},
        {"a/./b.bin", "a//b.bin", true},
        {"./a/b.bin", "a\\b.bin", true},
        {"a/b.bin/", "a/b.bin", true},
        {"a/b.bin", "a/c.bin", false},
        {"a/b/c", "a/bc", false},
        {"A/B.BIN", "a/b.bin", folds},
        {"x/\xC3\x89t\xC3\xA9.bin", "x/\xC3\xA9t\xC3\xA9.bin", folds},  // "Été", "été"
        {"x/\xC3\x89t\xC3\xA9.bin", "x/et\xC3\xA9.bin", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(same_file_key(c.a) == same_file_key(c.b), c.same) << c.a << " and " << c.b;
    }
}
