// Commits of outputs, driven step by step: a step that fails, an
// interruption in the middle of the renames, a kill at any step, and the
// recovery the next run makes from the journal. The steps are the file
// layer's own (common/platform/file_steps.h), so the same tests run against
// the one algorithm on every system.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/platform/file_io.h"
#include "common/platform/file_steps.h"
#include "testing/test_support.h"

namespace fs = std::filesystem;

namespace {

// The hook's plan: which step of a kind is the n-th, and what happens there.
struct Plan {
    const char* kind = "";  ///< the kind of step counted, or "" for every step
    int at = 0;             ///< the step (from 1) at which `act` happens; 0: never
    enum { fail, kill, interrupt } act = fail;
    int error = EACCES;
};
Plan plan;
std::atomic<int> counted{0};

int planned_step(const char* kind, const std::string&) {
    if (*plan.kind != '\0' && std::string_view(kind) != plan.kind) {
        return 0;
    }
    if (++counted != plan.at) {
        return 0;
    }
    switch (plan.act) {
        case Plan::fail:
            return plan.error;
        case Plan::kill:
            end_process_now();
        case Plan::interrupt:
            // The interruption waits for the commit, which sees it next.
            send_interrupt(SIGINT);
            while (!commit_interruption_noted()) {
                std::this_thread::yield();
            }
            return 0;
    }
    return 0;
}

// Sets the plan for the steps to come, and takes it away again.
class Steps {
  public:
    explicit Steps(Plan p) {
        plan = p;
        counted = 0;
        set_file_step_hook(planned_step);
    }
    ~Steps() { set_file_step_hook(nullptr); }
    int count() const { return counted; }
};

// Outputs of one commit in `root`: two existing files in two folders, and
// two that do not exist yet. Their old contents, and the files as a
// finished commit leaves them.
struct Outputs {
    explicit Outputs(const std::string& r) : root(r) {
        write_file(root + "/a.bin", bytes_of("old a"));
        write_file(root + "/sub/c.bin", bytes_of("old c"));
    }
    std::map<std::string, Bytes> old_tree() const {
        return {{"a.bin", bytes_of("old a")}, {"sub/", {}}, {"sub/c.bin", bytes_of("old c")}};
    }
    std::map<std::string, Bytes> new_tree() const {
        return {{"a.bin", bytes_of("new a")},
                {"b.bin", bytes_of("new b")},
                {"sub/", {}},
                {"sub/c.bin", bytes_of("new c")},
                {"sub/d.bin", bytes_of("new d")}};
    }
    // Opens and writes all four, and commits them together.
    bool commit(std::string* err) {
        for (const char* name : {"a.bin", "b.bin", "sub/c.bin", "sub/d.bin"}) {
            files.emplace_back(std::make_unique<AtomicFile>());
            const std::string data = std::string("new ") + name[name[0] == 's' ? 4 : 0];
            if (!files.back()->open(root + "/" + name, err) ||
                !files.back()->write(bytes_of(data), err)) {
                return false;
            }
        }
        std::vector<AtomicFile*> all;
        for (auto& file : files) {
            all.push_back(file.get());
        }
        return commit_together(all, true, err);
    }
    std::string root;
    std::vector<std::unique_ptr<AtomicFile>> files;
};

// The files of `root` other than the temporaries a kill before the commit
// leaves (".suite-<pid>-<n>.tmp"), which no journal names yet.
std::map<std::string, Bytes> tree_without_temporaries(const std::string& root) {
    std::map<std::string, Bytes> tree = read_tree(root);
    std::erase_if(tree, [](const auto& entry) {
        const std::string name = fs::path(entry.first).filename().string();
        return name.starts_with(".suite-") && name.ends_with(".tmp");
    });
    return tree;
}

// "Error: interrupted by SIGINT" (Ctrl-C on Windows), as the usual message begins.
std::string interrupted_by(int signal) {
    const std::string usual = interrupted_message(signal);
    return usual.substr(0, usual.find(';'));
}

}  // namespace

// A rollback puts back what was replaced and removes what did not exist
// before, whichever rename fails, and its message names no empty path.
TEST(CommitTogether, ARollbackRemovesTargetsThatDidNotExist) {
    for (int failing = 1; failing <= 4; ++failing) {
        SCOPED_TRACE("rename " + std::to_string(failing) + " fails");
        TempDir tmp;
        Outputs outputs(tmp.path());
        std::string err;
        {
            const Steps steps({"rename", failing, Plan::fail, EACCES});
            EXPECT_FALSE(outputs.commit(&err));
        }
        const char* names[] = {"a.bin", "b.bin", "sub/c.bin", "sub/d.bin"};
        EXPECT_EQ(err, "Error: " + (tmp / names[failing - 1]) +
                           ": could not replace the file (Permission denied); nothing was "
                           "replaced");
        EXPECT_EQ(read_tree(tmp.path()), outputs.old_tree()) << "something was left or changed";
    }
    // Two new targets alone, the pair a fresh rebuild writes.
    TempDir tmp;
    AtomicFile elf, bin;
    std::string err;
    ASSERT_TRUE(elf.open(tmp / "NEW.ELF", &err) && elf.write(bytes_of("elf"), &err)) << err;
    ASSERT_TRUE(bin.open(tmp / "NEW.BIN", &err) && bin.write(bytes_of("bin"), &err)) << err;
    AtomicFile* const both[] = {&elf, &bin};
    {
        const Steps steps({"rename", 2, Plan::fail, EACCES});
        EXPECT_FALSE(commit_together(both, false, &err));
    }
    EXPECT_EQ(err, "Error: " + (tmp / "NEW.BIN") +
                       ": could not replace the file (Permission denied); nothing was replaced");
    EXPECT_TRUE(read_tree(tmp.path()).empty());
}

// A kill at any step of a commit (or a power cut) leaves either every old
// file or every new one once the next run has looked at the folder: the
// journal lets it put back or finish what the commit began, and it says so.
TEST(CommitTogether, AKillAtAnyStepLeavesAllOldOrAllNew) {
    SharedTempDir tmp;
    // How many steps a whole commit takes.
    int total = 0;
    {
        Outputs outputs(tmp / "count");
        std::string err;
        const Steps steps({"", 0});
        ASSERT_TRUE(outputs.commit(&err)) << err;
        total = steps.count();
        EXPECT_EQ(read_tree(tmp / "count"), outputs.new_tree());
    }
    ASSERT_GT(total, 10);
    int put_back = 0, kept = 0;
    for (int at = 1; at <= total; ++at) {
        SCOPED_TRACE("killed at step " + std::to_string(at) + " of " + std::to_string(total));
        // A folder of its own each time: the file layer remembers the
        // folders it has looked at, for the rest of the run.
        const std::string root = tmp / ("kill" + std::to_string(at));
        Outputs outputs(root);
        auto killed = [&] {
            std::string err;
            const Steps steps({"", at, Plan::kill});
            outputs.commit(&err);
            std::exit(3);  // not killed
        };
#ifdef _WIN32
        EXPECT_EXIT(killed(), ::testing::ExitedWithCode(77), "");
#else
        EXPECT_EXIT(killed(), ::testing::KilledBySignal(SIGKILL), "");
#endif
        // The next run: it looks at a file in each of the two folders.
        ::testing::internal::CaptureStderr();
        FileStatus status;
        std::string err;
        EXPECT_TRUE(file_status(root + "/a.bin", &status, &err)) << err;
        EXPECT_TRUE(file_status(root + "/sub/c.bin", &status, &err)) << err;
        const std::string said = ::testing::internal::GetCapturedStderr();
        const std::map<std::string, Bytes> tree = tree_without_temporaries(root);
        // Either folder's journal, whichever the kill left.
        const std::size_t journal_end = said.find(".suite-journal: ");
        const std::string what = journal_end == std::string::npos ? said : said.substr(journal_end);
        if (tree == outputs.old_tree()) {
            if (!said.empty()) {
                ++put_back;
                EXPECT_EQ(what,
                          ".suite-journal: an earlier run was stopped while it replaced 4 "
                          "files together; every one of them was put back as it was "
                          "before that run\n");
            }
        } else {
            EXPECT_EQ(tree, outputs.new_tree()) << "neither all old nor all new";
            EXPECT_EQ(read_tree(root), tree) << "a temporary was left after the renames";
            ++kept;
            EXPECT_EQ(what,
                      ".suite-journal: an earlier run was stopped after it had replaced 4 "
                      "files together; they are kept, and its copies of the old files "
                      "were removed\n");
        }
        EXPECT_TRUE(said.empty() || said.starts_with("Warning: " + root)) << said;
    }
    EXPECT_GE(put_back, 4) << "kills between the renames were put back";
    EXPECT_GE(kept, 2) << "kills after the last rename were finished";
}

// An interruption during the renames puts every target back and ends the
// run saying that nothing changed; the usual clean-up removes the rest.
TEST(CommitTogether, AnInterruptionDuringTheRenamesPutsEverythingBack) {
    SharedTempDir tmp;
    for (int at = 1; at <= 4; ++at) {
        SCOPED_TRACE("interrupted before rename " + std::to_string(at));
        const std::string root = tmp / ("interrupted" + std::to_string(at));
        Outputs outputs(root);
        auto interrupted = [&] {
            install_interrupt_cleanup();
            std::string err;
            const Steps steps({"rename", at, Plan::interrupt});
            outputs.commit(&err);
            std::exit(3);  // not interrupted
        };
        EXPECT_EXIT(interrupted(), ::testing::ExitedWithCode(FAILURE_STATUS),
                    "^" + interrupted_by(SIGINT) +
                        " while the outputs replaced their files; every file was put back as "
                        "it was, nothing changed\r?\n$");
        EXPECT_EQ(read_tree(root), outputs.old_tree()) << "something was left or changed";
    }
}

// A recovery that cannot put a target back stops the run with an error that
// says where the old data is, and leaves the journal for the next run,
// which finishes it.
TEST(Journal, ARecoveryThatIsStuckIsTriedAgainByTheNextRun) {
    SharedTempDir tmp;
    const std::string root = tmp / "stuck";
    Outputs outputs(root);
    auto killed = [&] {
        std::string err;
        const Steps steps({"rename", 3, Plan::kill});
        outputs.commit(&err);
        std::exit(3);
    };
#ifdef _WIN32
    EXPECT_EXIT(killed(), ::testing::ExitedWithCode(77), "");
#else
    EXPECT_EXIT(killed(), ::testing::KilledBySignal(SIGKILL), "");
#endif
    FileStatus status;
    std::string err;
    {
        const Steps steps({"restore", 1, Plan::fail, EACCES});
        EXPECT_FALSE(file_status(root + "/a.bin", &status, &err));
    }
    const std::string journal = root + "/.suite-journal";
    EXPECT_TRUE(err.starts_with("Error: " + journal +
                                ": an earlier run was stopped while it replaced 4 files "
                                "together, and not all could be put back; "))
        << err;
    EXPECT_NE(err.find(" could not be put back (Permission denied): it holds the new data, and "
                       "its old data is in "),
              std::string::npos)
        << err;
    EXPECT_TRUE(file_exists(journal));
    // The next look at the folder puts everything back.
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(file_status(root + "/a.bin", &status, &err)) << err;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Warning: " + journal +
                  ": an earlier run was stopped while it replaced 4 files together; every one "
                  "of them was put back as it was before that run\n");
    EXPECT_EQ(read_tree(root), outputs.old_tree());
}

// A journal is acted on only where every file it names is the very file it
// says: one that this suite did not write for these files (copied in with
// a game's folder, say) changes nothing, and neither does one cut short.
TEST(Journal, AJournalForOtherFilesChangesNothing) {
    TempDir tmp;
    write_file(tmp / "precious.bin", bytes_of("keep me"));
    write_file(tmp / "old.bin", bytes_of("keep me too"));
    write_file(tmp / ".suite-1-1.old", bytes_of("not the old file"));
    const std::string folder = tmp.path();
    auto field = [](const std::string& text) {
        return std::to_string(text.size()) + ":" + text + "\n";
    };
    // The absolute path of each file, as a journal names them.
    std::string err;
    const std::string full = fs::absolute(fs::path(folder)).generic_string();
    const std::string journal =
        std::string("korvane-suite commit journal 1\njournals 1\n") +
        field(full + "/.suite-journal") + "files 2\n" +
        // A target that "did not exist", whose new file is gone: it would be removed.
        field(full + "/precious.bin") + field("") + field(full + "/.suite-1-0.tmp") +
        "0 0 1 2 0 0 0 0\n" +
        // A target whose "backup" holds other data: it would be put back.
        field(full + "/old.bin") + field(full + "/.suite-1-1.old") +
        field(full + "/.suite-1-2.tmp") + "1 2 3 4 0 0 0 0\n" + "end\n";
    write_file(tmp / ".suite-journal", bytes_of(journal));
    FileStatus status;
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(file_status(tmp / "precious.bin", &status, &err)) << err;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(read_tree(tmp.path()),
              (std::map<std::string, Bytes>{{".suite-1-1.old", bytes_of("not the old file")},
                                            {"old.bin", bytes_of("keep me too")},
                                            {"precious.bin", bytes_of("keep me")}}));
    // Cut short while it was written: removed, and nothing else happens.
    TempDir cut;
    write_file(cut / "a.bin", bytes_of("a"));
    write_file(cut / ".suite-journal", bytes_of(journal.substr(0, journal.size() / 2)));
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(file_status(cut / "a.bin", &status, &err)) << err;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(read_tree(cut.path()), (std::map<std::string, Bytes>{{"a.bin", bytes_of("a")}}));
}

// A file that replaces another is made beside it; when nothing can be made
// there (a folder where only reading is allowed), the message names that
// step, not the file being replaced, which can be read.
TEST(AtomicFile, ATemporaryThatCannotBeMadeBesideItsTargetIsNamed) {
    TempDir tmp;
    write_file(tmp / "dir/pack.fp", bytes_of("pack"));
    std::string err;
    AtomicFile file;
    {
        const Steps steps({"create", 1, Plan::fail, EACCES});
        EXPECT_FALSE(file.open(tmp / "dir/pack.fp", &err));
    }
    EXPECT_EQ(err, "Error: " + (tmp / "dir/pack.fp") +
                       ": could not create the temporary file beside it, in " + (tmp / "dir") +
                       ", which replaces the file once complete (Permission denied)");
    // A file that does not exist yet cannot be made either: the open failure.
    {
        const Steps steps({"create", 1, Plan::fail, EACCES});
        EXPECT_FALSE(file.open(tmp / "dir/new.fp", &err));
    }
    EXPECT_EQ(err, "Could not open " + (tmp / "dir/new.fp") + " (Permission denied)");
    EXPECT_EQ(read_tree(tmp.path()),
              (std::map<std::string, Bytes>{{"dir/", {}}, {"dir/pack.fp", bytes_of("pack")}}));
}

#ifndef _WIN32
// A folder that even the superuser cannot add a file to (immutable), with
// the real system's refusal.
TEST(AtomicFile, AnImmutableFolderIsNamedAsTheFailingStep) {
    TempDir tmp;
    write_file(tmp / "dir/pack.fp", bytes_of("pack"));
    if (!make_immutable(tmp / "dir", true)) {
        GTEST_SKIP() << "the file system or user cannot make a folder immutable";
    }
    std::string err;
    AtomicFile file;
    const bool opened = file.open(tmp / "dir/pack.fp", &err);
    make_immutable(tmp / "dir", false);
    EXPECT_FALSE(opened);
    EXPECT_EQ(err, "Error: " + (tmp / "dir/pack.fp") +
                       ": could not create the temporary file beside it, in " + (tmp / "dir") +
                       ", which replaces the file once complete (Operation not permitted)");
}

// A replacement is readable by its owner only until it is finished, when
// it takes the permissions of the file it replaces, so that the data of a
// private file is never readable by others in between.
TEST(AtomicFile, AReplacementIsPrivateUntilItIsFinished) {
    TempDir tmp;
    const mode_t umask_before = ::umask(022);
    for (const mode_t mode : {0600u, 0644u, 0640u}) {
        SCOPED_TRACE(mode);
        write_file(tmp / "target.bin", bytes_of("old"));
        ::chmod((tmp / "target.bin").c_str(), mode);
        AtomicFile file;
        std::string err;
        ASSERT_TRUE(file.open(tmp / "target.bin", &err) && file.write(bytes_of("new"), &err))
            << err;
        for (const auto& entry : fs::directory_iterator(tmp.path())) {
            if (entry.path().filename() != "target.bin") {
                struct stat st;
                ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 0777, 0600u) << "the unfinished replacement";
            }
        }
        ASSERT_TRUE(file.commit(false, &err)) << err;
        struct stat st;
        ASSERT_EQ(::stat((tmp / "target.bin").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode) << "the finished file";
    }
    ::umask(umask_before);
}

// A signal that was ignored when the run began stays ignored: a run under
// nohup goes on when the terminal hangs up.
TEST(InterruptCleanup, ASignalIgnoredAtTheStartStaysIgnored) {
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            install_interrupt_cleanup();
            std::raise(SIGHUP);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^$");
}
#else
SKIPPED_ON_WINDOWS(AtomicFile, AnImmutableFolderIsNamedAsTheFailingStep,
                   "immutable folders (FS_IOC_SETFLAGS); the step itself: "
                   "AtomicFile.ATemporaryThatCannotBeMadeBesideItsTargetIsNamed")
SKIPPED_ON_WINDOWS(AtomicFile, AReplacementIsPrivateUntilItIsFinished,
                   "permission bits; a file on Windows takes its folder's access rules")
SKIPPED_ON_WINDOWS(InterruptCleanup, ASignalIgnoredAtTheStartStaysIgnored,
                   "signals ignored by a parent (nohup)")
#endif

// Targets in one folder whose paths spell it two ways share one journal:
// the commit never waits for itself.
TEST(CommitTogether, OneFolderSpelledTwoWaysHasOneJournal) {
    TempDir tmp;
    write_file(tmp / "a.bin", bytes_of("old a"));
    write_file(tmp / "b.bin", bytes_of("old b"));
    fs::create_directory(fs::path(tmp / "sub"));
    AtomicFile a, b;
    std::string err;
    ASSERT_TRUE(a.open(tmp / "a.bin", &err) && a.write(bytes_of("new a"), &err)) << err;
    ASSERT_TRUE(b.open(tmp / "sub/../b.bin", &err) && b.write(bytes_of("new b"), &err)) << err;
    AtomicFile* const both[] = {&a, &b};
    int journals = 0;
    {
        const Steps steps({"journal", 0});
        ASSERT_TRUE(commit_together(both, true, &err)) << err;
        journals = steps.count();
    }
    EXPECT_EQ(journals, 1);
    EXPECT_EQ(read_tree(tmp.path()),
              (std::map<std::string, Bytes>{
                  {"a.bin", bytes_of("new a")}, {"b.bin", bytes_of("new b")}, {"sub/", {}}}));
}
