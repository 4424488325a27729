#include "updater/updater_window.h"

#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "platform/prompts.h"
#include "support/encoding.h"
#include "support/errors.h"
#include "support/settings.h"
#include "tests/common/modal_answer.h"
#include "tests/common/test_env.h"
#include "tests/common/trace_lines.h"

#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

namespace towagi {
namespace {

using testing::ModalAnswer;
using testing::ReadFile;
using testing::ScopedEnv;
using testing::ScopedHives;
using testing::TempDir;
using testing::WriteFile;
namespace fs = std::filesystem;

constexpr const char* kRuvozezUpdate = "\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE";
constexpr const char* kTowagiUpdate = "\\Software\\VORN\\TOWAGI\\PATH\\UPDATE";

// A workstation: a program folder with the launcher's name in it, an update folder and private hives.
class Installation {
public:
    explicit Installation(const EditionProfile& profile) : profile_(profile), os_("TOWAGI_OS_VERSION", "10.0") {
        fs::create_directories(ProgramDir());
        fs::create_directories(UpdateDir());
        WriteFile(ProgramDir() + profile.ProgramName, "the launcher\n");
    }
    std::string ProgramDir() const { return root_.Dir() + "program/"; }
    std::string UpdateDir() const { return root_.Dir() + "update/"; }

    void AddMainProgram(const std::string& name) {
        const std::string path = ProgramDir() + name;
        WriteFile(path, "#!/bin/sh\necho \"$0\" >> '" + root_.Dir() + "main-started.txt'\n");
        chmod(path.c_str(), 0755);
    }
    // The main program is started and not waited for; a loaded machine may take its time.
    std::string MainStarted(int waitMilliseconds = 10'000) const {
        const std::string file = root_.Dir() + "main-started.txt";
        for (int i = 0; i < waitMilliseconds / 20 && !fs::exists(file); ++i) usleep(20'000);
        return fs::exists(file) ? ReadFile(file) : "";
    }
    // Operation and text of every trace line, without the time stamp.
    std::vector<std::string> TraceLines() const {
        const std::string file = profile_.TraceLogInTempDir ? ProgramDir() + "TEMP/" + profile_.TraceLogFileName
                                                            : ProgramDir() + profile_.TraceLogFileName;
        return testing::ReadTraceLines(file);
    }
    void SetFileTime(const std::string& path, std::time_t seconds) const {
        timespec times[2] = {{seconds, 0}, {seconds, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }

private:
    const EditionProfile& profile_;
    ScopedHives hives_;
    TempDir root_;
    ScopedEnv os_;
};

// Runs the window from show to its end, answering boxes as a user would.
struct WindowRun {
    std::optional<int> dialTimeout;
    std::string mainProgram;
    std::string updateDir;
};

WindowRun RunWindow(const EditionProfile& profile, const Installation& inst,
              std::function<void(TUpdaterWindow&)> prepare = {}) {
    TUpdaterWindow window(profile, nullptr, inst.ProgramDir() + profile.ProgramName);
    if (prepare) prepare(window);
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&window, &TUpdaterWindow::Finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    window.show();
    loop.exec();
    EXPECT_TRUE(finished) << "the window did not finish";
    return {window.Dialup().DialTimeout, window.State().MainProgram, window.State().UpdateDir};
}

TEST(UpdaterWindow, LayoutOfBothEditions) {
    for (const EditionProfile* profile : {&EstimationEdition(), &CostEdition()}) {
        Installation inst(*profile);
        TUpdaterWindow window(*profile, nullptr, inst.ProgramDir() + profile->ProgramName);
        EXPECT_EQ(window.windowTitle(), QString("積算『とわぎ』の起動"));
        EXPECT_EQ(window.size(), QSize(327, profile->UpdaterClientHeight));
        EXPECT_EQ(window.lblTitle->text(), QString("自動アップデート処理中です．．．"));
        EXPECT_EQ(window.lblTitle->geometry(), QRect(12, profile->UpdaterTitleTop, 256, 16));
        EXPECT_EQ(window.lblFileName->geometry(), QRect(64, profile->UpdaterFileNameTop, 192, 16));
        EXPECT_EQ(window.lblFileName->text(), QString()); // emptied by the creation step
        EXPECT_EQ(window.objectName().toStdString(), profile->UpdaterWindowClass);
        EXPECT_TRUE(fs::is_directory(inst.ProgramDir() + "TEMP"));
    }
}

TEST(UpdaterWindow, DialTimeoutFromTheSettingsFile) {
    struct Case {
        std::optional<std::string> ini;
        int want;
    };
    for (const auto& c : std::vector<Case>{{std::nullopt, 90},
                                          {"[TIME]\r\nOTHER=1\r\n", 90},
                                          {"[TIME]\r\nDIAL=abc\r\n", 90},
                                          {"[TIME]\r\nDIAL=30\r\n", 30}}) {
        Installation inst(EstimationEdition());
        if (c.ini) WriteFile(inst.ProgramDir() + "QRD0000.INI", *c.ini);
        inst.AddMainProgram("Qrd0000.exe");
        EXPECT_EQ(RunWindow(EstimationEdition(), inst).dialTimeout, c.want) << c.ini.value_or("no file");
    }
}

TEST(UpdaterWindow, BlankUpdateFolderClosesSilentlyAndStartsTheMainProgram) {
    Installation inst(EstimationEdition());
    inst.AddMainProgram("Qrd0000.exe");
    WindowRun run = RunWindow(EstimationEdition(), inst);
    EXPECT_EQ(run.mainProgram, "Qrd0000.exe");
    EXPECT_NE(inst.MainStarted(), "");
    EXPECT_EQ(inst.TraceLines(),
              (std::vector<std::string>{"FormShow ; Start", "FormClose ; Start", "FormClose ; End"}));
}

TEST(UpdaterWindow, TheLaterMainProgramWinsAndNamesTheUpdateKey) {
    Installation inst(EstimationEdition());
    inst.AddMainProgram("Qrd0000.exe");
    inst.AddMainProgram("Qrd00cs.exe");
    WriteMachineString(kTowagiUpdate, "PATH1", "x|/nowhere-old", true);
    WriteMachineString(kRuvozezUpdate, "PATH1", "x|" + inst.UpdateDir(), true);
    WindowRun run = RunWindow(EstimationEdition(), inst);
    EXPECT_EQ(run.mainProgram, "Qrd00cs.exe");
    EXPECT_EQ(run.updateDir, inst.UpdateDir());
    EXPECT_NE(inst.MainStarted().find("Qrd00cs.exe"), std::string::npos);
}

TEST(UpdaterWindow, UpdateFolderWarnings) {
    struct Case {
        std::string name;
        std::function<std::string(const Installation&)> folder;
        std::string warning;
    };
    for (const auto& c : std::vector<Case>{
             {"missing", [](const Installation& i) { return i.UpdateDir() + "missing"; },
              "アップデート用のフォルダが存在しません。\n管理・管理２・環境設定で設定を行ってください。"},
             {"program folder in other case, no separator",
              [](const Installation& i) {
                  std::string upper = i.ProgramDir().substr(0, i.ProgramDir().size() - 8) + "PROGRAM";
                  fs::create_directories(upper);
                  return upper;
              },
              "アップデート用のフォルダが不正です。\n管理・管理２・環境設定で設定を行ってください。"},
         }) {
        Installation inst(EstimationEdition());
        inst.AddMainProgram("Qrd0000.exe");
        WriteMachineString(kTowagiUpdate, "PATH1", "x|" + c.folder(inst), true);
        ModalAnswer answer("OK");
        RunWindow(EstimationEdition(), inst);
        ASSERT_TRUE(answer.Answered()) << c.name;
        EXPECT_EQ(answer.Seen().Title, QString("警告")) << c.name;
        EXPECT_EQ(answer.Seen().Text.toStdString(), c.warning) << c.name;
        EXPECT_NE(inst.MainStarted(), "") << c.name;
        EXPECT_EQ(inst.TraceLines().size(), 3u) << c.name; // no End line for "FormShow"
    }
}

TEST(UpdaterWindow, NoMainProgramWarnsAndStartsNothing) {
    for (const EditionProfile* profile : {&EstimationEdition(), &CostEdition()}) {
        Installation inst(*profile);
        ModalAnswer answer("OK");
        RunWindow(*profile, inst);
        ASSERT_TRUE(answer.Answered());
        EXPECT_EQ(answer.Seen().Text.toStdString(), PromptLines(profile->SetupInvalidWarning));
        EXPECT_EQ(inst.MainStarted(500), "");
        EXPECT_EQ(inst.TraceLines(), (std::vector<std::string>{"FormShow ; Start", "FormClose ; Start"}));
    }
}

TEST(UpdaterWindow, LanModeNewerLauncherOnlyAsksNothing) {
    Installation inst(EstimationEdition());
    inst.AddMainProgram("Qrd0000.exe");
    WriteMachineString(kTowagiUpdate, "PATH1", "x|" + inst.UpdateDir(), true);
    WriteFile(inst.UpdateDir() + "QRD00UP", "a newer launcher\n");
    inst.SetFileTime(inst.UpdateDir() + "QRD00UP", std::time(nullptr) + 3600);
    RunWindow(EstimationEdition(), inst);
    EXPECT_EQ(ReadFile(inst.ProgramDir() + "Qrd00up"), "the launcher\n");
    EXPECT_NE(inst.MainStarted(), "");
}

TEST(UpdaterWindow, LanModeCopiesAfterYesAndNothingAfterNo) {
    for (bool yes : {true, false}) {
        for (const EditionProfile* profile : {&EstimationEdition(), &CostEdition()}) {
            Installation inst(*profile);
            const std::string mainProgram = profile == &CostEdition() ? "Plx00cs.exe" : "Qrd0000.exe";
            inst.AddMainProgram(mainProgram);
            if (profile == &CostEdition())
                WriteMachineString(std::string(kProductRoot) + "\\PATH\\UPDATE", "PATHJ", "x|" + inst.UpdateDir(), true);
            else
                WriteMachineString(kTowagiUpdate, "PATH1", "x|" + inst.UpdateDir(), true);
            const std::time_t now = std::time(nullptr) / 2 * 2;
            WriteFile(inst.ProgramDir() + "Data.dll", "old\n");
            inst.SetFileTime(inst.ProgramDir() + "Data.dll", now - 600);
            WriteFile(inst.UpdateDir() + "Data.dll", "new\n");
            inst.SetFileTime(inst.UpdateDir() + "Data.dll", now);
            WriteFile(inst.UpdateDir() + "Added.txt", "added\n");
            inst.SetFileTime(inst.UpdateDir() + "Added.txt", now - 100);

            ModalAnswer answer(yes ? "はい(&Y)" : "いいえ(&N)");
            RunWindow(*profile, inst);
            ASSERT_TRUE(answer.Answered());
            EXPECT_EQ(answer.Seen().Title, QString("情報"));
            EXPECT_EQ(answer.Seen().Text.toStdString(), PromptLines(profile->VersionUpQuestion));
            EXPECT_EQ(ReadFile(inst.ProgramDir() + "Data.dll"), yes ? "new\n" : "old\n") << profile->ProgramName;
            EXPECT_EQ(fs::exists(inst.ProgramDir() + "Added.txt"), yes) << profile->ProgramName;
            if (yes) {
                EXPECT_EQ(fs::last_write_time(inst.ProgramDir() + "Data.dll"),
                          fs::last_write_time(inst.UpdateDir() + "Data.dll"));
            }
            EXPECT_NE(inst.MainStarted(), "") << profile->ProgramName;
            const auto lines = inst.TraceLines();
            const auto showEnd = std::find(lines.begin(), lines.end(), "FormShow ; End");
            ASSERT_NE(showEnd, lines.end()) << profile->ProgramName;
            EXPECT_EQ(std::find(lines.begin(), lines.end(), "FormClose ; End") > showEnd, yes)
                << profile->ProgramName; // the copy and the close follow the show step
        }
    }
}

TEST(UpdaterWindow, FtpModeRunsTheUpdateWithTheProgressWindowShown) {
    Installation inst(EstimationEdition());
    inst.AddMainProgram("Qrd0000.exe");
    WriteMachineString(kTowagiUpdate, "PATH1", "x|" + inst.UpdateDir(), true);
    WriteMachineString(kRuvozezUpdate, "FTP_HOST", "127.0.0.1", true);
    bool progressShown = false;
    RunWindow(EstimationEdition(), inst, [&](TUpdaterWindow& window) {
        window.Execute = [&](TUpdateState& state) {
            progressShown = state.ProgressWindow != nullptr;
            state.TraceLog->Write("Execute", "ran");
        };
    });
    EXPECT_TRUE(progressShown);
    EXPECT_EQ(inst.TraceLines(), (std::vector<std::string>{"FormShow ; Start", "Execute ; ran", "FormClose ; Start",
                                                          "FormClose ; End", "FormShow ; End"}));
    EXPECT_NE(inst.MainStarted(), "");
}

TEST(UpdaterWindow, AnErrorOfTheUpdateIsShownAfterTheMainProgramStarted) {
    Installation inst(EstimationEdition());
    inst.AddMainProgram("Qrd0000.exe");
    WriteMachineString(kTowagiUpdate, "PATH1", "x|" + inst.UpdateDir(), true);
    WriteMachineString(kRuvozezUpdate, "FTP_HOST", "127.0.0.1", true);
    ModalAnswer answer("OK");
    RunWindow(EstimationEdition(), inst, [&](TUpdaterWindow& window) {
        window.Execute = [](TUpdateState&) { throw EUpdateError("本社サーバとの接続に失敗しました。"); };
    });
    ASSERT_TRUE(answer.Answered());
    EXPECT_EQ(answer.Seen().Title, QString("エラー"));
    EXPECT_EQ(answer.Seen().Text, QString("本社サーバとの接続に失敗しました。"));
    EXPECT_NE(inst.MainStarted(), "");
    EXPECT_EQ(inst.TraceLines(),
              (std::vector<std::string>{"FormShow ; Start", "FormClose ; Start", "FormClose ; End"}));
}

} // namespace
} // namespace towagi
