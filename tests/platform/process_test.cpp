#include "platform/process.h"

#include "support/errors.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>

namespace towagi {
namespace {

using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempDir;
using testing::WriteFile;

// Runs the test in a folder of its own, as the launcher runs in its program folder.
class InFolder {
public:
    InFolder() : old_(std::filesystem::current_path()) { std::filesystem::current_path(dir_.Path()); }
    ~InFolder() { std::filesystem::current_path(old_); }
    const TempDir& Dir() const { return dir_; }

private:
    TempDir dir_;
    std::filesystem::path old_;
};

void WriteScript(const std::string& path, const std::string& body) {
    WriteFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

TEST(SplitParameters, BlanksAndQuotes) {
    struct Case {
        std::string text;
        std::vector<std::string> want;
    };
    for (const auto& c : std::vector<Case>{
             {"", {}},
             {"quil", {"quil"}},
             {"  /s   a.reg ", {"/s", "a.reg"}},
             {"/s \"C:/Program Files/x.reg\"", {"/s", "C:/Program Files/x.reg"}},
             {"\"\"", {""}},
         })
        EXPECT_EQ(SplitParameters(c.text), c.want) << c.text;
}

TEST(StartFile, HiddenAndWaitedRunsInTheCurrentFolderWithParameters) {
    InFolder here;
    WriteScript(here.Dir().File("tool.sh"),
                "pwd > seen.txt; echo \"$#:$1:$2\" >> seen.txt; echo noise; exit 3\n");
    StartResult result = StartFile({.File = "tool.sh",
                                    .Parameters = "quil \"a b\"",
                                    .Window = StartWindow::Hidden,
                                    .Wait = StartWait::WaitForExit});
    ASSERT_TRUE(result.Started) << result.ErrorText;
    EXPECT_EQ(result.ExitCode, 3);
    EXPECT_EQ(ReadFile(here.Dir().File("seen.txt")),
              std::filesystem::canonical(here.Dir().Path()).string() + "\n2:quil:a b\n");
}

TEST(StartFile, WithoutWaitingReturnsAtOnce) {
    InFolder here;
    WriteScript(here.Dir().File("slow.sh"), "sleep 1; touch done.txt\n");
    StartResult result = StartFile({.File = "./slow.sh", .Window = StartWindow::Hidden});
    ASSERT_TRUE(result.Started);
    EXPECT_FALSE(std::filesystem::exists(here.Dir().File("done.txt")));
    for (int i = 0; i < 100 && !std::filesystem::exists(here.Dir().File("done.txt")); ++i)
        usleep(50'000);
    EXPECT_TRUE(std::filesystem::exists(here.Dir().File("done.txt")));
}

TEST(StartFile, BareNamesAreFoundOnPath) {
    InFolder here;
    std::filesystem::create_directory(here.Dir().File("bin"));
    WriteScript(here.Dir().File("bin/onpath"), "touch ran.txt\n");
    ScopedEnv path("PATH", here.Dir().File("bin") + ":/usr/bin:/bin");
    StartResult result = StartFile({.File = "onpath", .Wait = StartWait::WaitForExit});
    ASSERT_TRUE(result.Started);
    EXPECT_TRUE(std::filesystem::exists(here.Dir().File("ran.txt")));
}

TEST(StartFile, FilesThatCannotStartAreResults) {
    InFolder here;
    WriteFile(here.Dir().File("plain.txt"), "not a program\n");
    chmod(here.Dir().File("plain.txt").c_str(), 0644);
    WriteFile(here.Dir().File("noexec.exe"), "#!/bin/sh\nexit 0\n");
    chmod(here.Dir().File("noexec.exe").c_str(), 0644);
    WriteFile(here.Dir().File("win.exe"), std::string("MZ\x90\0", 4));
    chmod(here.Dir().File("win.exe").c_str(), 0755);
    ScopedEnv path("PATH", here.Dir().File("empty-path"));

    struct Case {
        std::string file;
        int error;
    };
    for (const auto& c : std::vector<Case>{
             {"./missing.exe", ENOENT},
             {"missing", ENOENT},
             {"./plain.txt", ENOEXEC},
             {"./noexec.exe", ENOEXEC},
             {"./win.exe", ENOEXEC}, // no wine on PATH
         }) {
        StartResult result = StartFile({.File = c.file, .Wait = StartWait::WaitForExit});
        EXPECT_FALSE(result.Started) << c.file;
        EXPECT_EQ(result.ErrorCode, c.error) << c.file;
        EXPECT_EQ(result.ErrorText, SystemErrorText(c.error)) << c.file;
    }
}

TEST(StartFile, WindowsProgramsRunThroughWine) {
    InFolder here;
    std::filesystem::create_directory(here.Dir().File("bin"));
    WriteScript(here.Dir().File("bin/wine"), "echo \"$@\" > wine-args.txt\n");
    WriteFile(here.Dir().File("Qrd0000.exe"), std::string("MZ\x90\0", 4));
    chmod(here.Dir().File("Qrd0000.exe").c_str(), 0644);
    ScopedEnv path("PATH", here.Dir().File("bin") + ":/usr/bin:/bin");
    StartResult result =
        StartFile({.File = "Qrd0000.exe", .Parameters = "/x", .Wait = StartWait::WaitForExit});
    ASSERT_TRUE(result.Started) << result.ErrorText;
    EXPECT_EQ(ReadFile(here.Dir().File("wine-args.txt")), "./Qrd0000.exe /x\n");
}

TEST(StartFile, GivenDescriptorsBecomeTheStandardOnes) {
    InFolder here;
    WriteScript(here.Dir().File("filter.sh"), "read line; echo \"got $line\"; echo oops >&2\n");
    WriteFile(here.Dir().File("in.txt"), "hello\n");
    const int input = open(here.Dir().File("in.txt").c_str(), O_RDONLY | O_CLOEXEC);
    const int output = open(here.Dir().File("out.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(input, 0);
    ASSERT_GE(output, 0);
    // Hidden still discards what is not given.
    StartResult result = StartFile({.File = "./filter.sh",
                                    .Window = StartWindow::Hidden,
                                    .Wait = StartWait::WaitForExit,
                                    .Input = input,
                                    .Output = output});
    close(input);
    close(output);
    ASSERT_TRUE(result.Started) << result.ErrorText;
    EXPECT_EQ(ReadFile(here.Dir().File("out.txt")), "got hello\n");
}

// Batch files go through the batch runner, whatever the case of ".bat": a hidden one that is waited for runs
// inside the launcher; any other through the program towagi-bat beside the program or on PATH.
TEST(StartFile, BatchFilesRunThroughTheBatchRunner) {
    struct Case {
        StartWindow window;
        StartWait wait;
        bool runnerProgram; // towagi-bat on PATH
        bool started;
    };
    for (const auto& c : std::vector<Case>{{StartWindow::Normal, StartWait::WaitForExit, false, false},
                                          {StartWindow::Hidden, StartWait::NoWait, false, false},
                                          {StartWindow::Hidden, StartWait::WaitForExit, false, true},
                                          {StartWindow::Normal, StartWait::WaitForExit, true, true},
                                          {StartWindow::Hidden, StartWait::WaitForExit, true, true}}) {
        InFolder here;
        std::filesystem::create_directory(here.Dir().File("bin"));
        WriteFile(here.Dir().File("Job.BAT"), "echo %1> job-ran.txt\r\necho shown\r\nsh -c \"exit 5\"\r\n");
        if (c.runnerProgram) std::filesystem::copy_file(TOWAGI_BAT_BINARY, here.Dir().File("bin/towagi-bat"));
        ScopedEnv path("PATH", here.Dir().File("bin") + ":/usr/bin:/bin");
        const int output = open(here.Dir().File("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        StartResult result = StartFile({.File = c.runnerProgram ? here.Dir().File("Job.BAT") : "Job.BAT",
                                        .Parameters = "quil",
                                        .Window = c.window,
                                        .Wait = c.wait,
                                        .Output = output});
        close(output);
        const std::string title = std::string(c.window == StartWindow::Hidden ? "hidden" : "normal") +
                                  (c.wait == StartWait::WaitForExit ? " waited" : "") +
                                  (c.runnerProgram ? " with towagi-bat" : "");
        EXPECT_EQ(result.Started, c.started) << title;
        if (!c.started) {
            EXPECT_EQ(result.ErrorCode, ENOEXEC) << title;
            continue;
        }
        EXPECT_EQ(result.ExitCode, 5) << title;
        EXPECT_EQ(ReadFile(here.Dir().File("job-ran.txt")), "quil\r\n") << title;
        EXPECT_EQ(ReadFile(here.Dir().File("out.txt")), "shown\r\n") << title;
    }
}

// Without root the administrator's consent comes from pkexec; its refusals are failed starts.
TEST(StartFile, RunasAsksPkexecAndARefusalIsAFailedStart) {
    if (geteuid() == 0) GTEST_SKIP() << "root runs the command directly";
    InFolder here;
    std::filesystem::create_directory(here.Dir().File("bin"));
    WriteScript(here.Dir().File("install.sh"), "touch installed.txt\n");
    struct Case {
        std::string pkexecExit; // "" runs the command
        bool started;
        int error;
    };
    for (const auto& c : std::vector<Case>{{"", true, 0}, {"126", false, ECANCELED}, {"127", false, EACCES}}) {
        std::filesystem::remove(here.Dir().File("installed.txt"));
        WriteScript(here.Dir().File("bin/pkexec"), "echo \"$@\" > pkexec-args.txt\n" +
                                                       (c.pkexecExit.empty() ? "exec \"$@\"\n" : "exit " + c.pkexecExit + "\n"));
        ScopedEnv path("PATH", here.Dir().File("bin") + ":/usr/bin:/bin");
        StartResult result = StartFile({.Verb = "runas",
                                        .File = here.Dir().File("install.sh"),
                                        .Parameters = "-z",
                                        .Window = StartWindow::Hidden,
                                        .Wait = StartWait::WaitForExit});
        EXPECT_EQ(result.Started, c.started) << c.pkexecExit;
        EXPECT_EQ(result.ErrorCode, c.error) << c.pkexecExit;
        if (!c.started) {
            EXPECT_EQ(result.ErrorText, SystemErrorText(c.error));
        }
        EXPECT_EQ(ReadFile(here.Dir().File("pkexec-args.txt")), here.Dir().File("install.sh") + " -z\n");
        EXPECT_EQ(std::filesystem::exists(here.Dir().File("installed.txt")), c.started) << c.pkexecExit;
    }
    EXPECT_EQ(SystemErrorText(ECANCELED), "この操作はユーザーによって取り消されました。");
}

} // namespace
} // namespace towagi
