#include "common/run_files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testing/test_support.h"

namespace fs = std::filesystem;

// Every way of naming an input as an output is refused, except the output
// that may replace that very input; outputs may not meet each other either.
TEST(CheckRunFiles, OutputsMeetingInputsOrEachOtherAreRefused) {
    TempDir tmp;
    write_file(tmp / "a.evd", bytes_of("a"));
    write_file(tmp / "other.evd", bytes_of("b"));
    fs::create_directory(tmp / "sub");
    fs::create_hard_link(fs::path(tmp / "a.evd"), fs::path(tmp / "hard.evd"));
    const bool links = make_symlink(tmp / "a.evd", tmp / "soft.evd");
    const std::string a = tmp / "a.evd";
    struct Case {
        std::vector<std::string> outputs;
        int may_replace;      // of the first output
        std::string refusal;  // empty: accepted
    };
    std::vector<Case> cases = {
        {{a}, -1, "Error: " + a + ": <out1> is the same file as <in0>; nothing was written"},
        {{tmp / "hard.evd"}, -1, "is the same file as <in0> (" + a + ")"},
        {{tmp / "sub/../a.evd"}, -1, "is the same file as <in0>"},
        {{a}, 0, ""},
        {{a}, 1, "is the same file as <in0>"},
        {{tmp / "other.evd"}, -1, "is the same file as <in1>"},
        {{tmp / "new.bin", tmp / "sub/../new.bin"}, -1, "<out2> is the same file as <out1>"},
        {{tmp / "new.bin", tmp / "new2.bin"}, -1, ""},
        {{NULL_DEVICE, NULL_DEVICE}, -1, "<out2> is the same file as <out1>"},
        // A path that names no file is refused by its role, never opened.
        {{""}, -1, "Error: the path given as <out1> is empty; nothing was written"},
        {{tmp / "new.bin", ""}, -1, "Error: the path given as <out2> is empty"},
    };
    if (links) {
        cases.push_back({{tmp / "soft.evd"}, -1, "is the same file as <in0>"});
    }
#ifdef _WIN32
    // Every file has an identity of its own (the C runtime's st_ino is 0 for
    // all), names differ from the file only in case or separators, and a
    // name that does not exist yet is the same in any case.
    cases.push_back({{tmp / "A.EVD"}, -1, "is the same file as <in0>"});
    cases.push_back({{tmp.path() + "\\sub\\..\\a.evd"}, -1, "is the same file as <in0>"});
    cases.push_back({{tmp / "new.bin", tmp / "NEW.Bin"}, -1, "<out2> is the same file as <out1>"});
#endif
    for (const Case& c : cases) {
        const RunFile inputs[] = {{a, "<in0>"}, {tmp / "other.evd", "<in1>"}};
        std::vector<RunFile> outputs;
        for (std::size_t i = 0; i < c.outputs.size(); ++i) {
            outputs.push_back(
                {c.outputs[i], "<out" + std::to_string(i + 1) + ">", i == 0 ? c.may_replace : -1});
        }
        std::vector<bool> replaces;
        std::string err;
        const bool ok = check_run_files(inputs, outputs, &replaces, &err);
        SCOPED_TRACE(c.outputs[0]);
        if (c.refusal.empty()) {
            EXPECT_TRUE(ok) << err;
            EXPECT_EQ(replaces[0], c.may_replace == 0);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_NE(err.find(c.refusal), std::string::npos) << err;
            EXPECT_TRUE(err.starts_with("Error: ")) << err;
        }
    }
    const RunFile no_input[] = {{"", "<input.evd>"}};
    std::vector<bool> replaces;
    std::string err;
    EXPECT_FALSE(check_run_files(no_input, {}, &replaces, &err));
    EXPECT_EQ(err, "Error: the path given as <input.evd> is empty; nothing was written");
    if (links) {
        EXPECT_TRUE(same_file(tmp / "hard.evd", tmp / "soft.evd"));
    }
    EXPECT_FALSE(same_file(a, tmp / "other.evd"));
}
