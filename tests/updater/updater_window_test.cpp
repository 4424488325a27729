#include "updater/updater_window.h"

#include "updater/progress_window.h"

#include "apply/archive_adapters.h"
#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "platform/prompts.h"
#include "support/encoding.h"
#include "support/errors.h"
#include "support/settings.h"
#include "support/text.h"
#include "tests/common/fake_network_manager.h"
#include "tests/common/modal_answer.h"
#include "tests/common/recording_views.h"
#include "tests/common/test_env.h"
#include "tests/common/trace_lines.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>

namespace towagi {
namespace {

using namespace std::chrono_literals;
using testing::FakeLink;
using testing::FakeNetworkManager;
using testing::FakeProfile;
using testing::ModalAnswer;
using testing::NoNetworkManager;
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
        fs::copy_file(TOWAGI_UNLHA32_LIBRARY, ProgramDir() + "libunlha32.so");
    }
    std::string ProgramDir() const { return root_.Dir() + "program/"; }
    std::string UpdateDir() const { return root_.Dir() + "update/"; }

    void AddMainProgram(const std::string& name) {
        // Noted first, so that the run is on record once the start shows.
        AddProgram(name, RecordRun("main") + "echo \"$0\" >> '" + root_.Dir() + "main-started.txt'\n");
    }
    // A program in the program folder that runs `body` as a shell script.
    void AddProgram(const std::string& name, const std::string& body, mode_t mode = 0755) const {
        const std::string path = ProgramDir() + name;
        WriteFile(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), mode);
    }
    // A script line that notes `what` in the order the programs ran.
    std::string RecordRun(const std::string& what) const {
        return "echo " + what + " >> '" + root_.Dir() + "runs.txt'\n";
    }
    std::string Runs() const { return fs::exists(root_.Dir() + "runs.txt") ? ReadFile(root_.Dir() + "runs.txt") : ""; }
    // The main program is started and not waited for; a loaded machine may take its time.
    std::string MainStarted(int waitMilliseconds = 10'000) const {
        const std::string file = root_.Dir() + "main-started.txt";
        // The shell creates the file before it writes the line.
        auto written = [&] {
            std::error_code missing;
            return fs::file_size(file, missing) > 0 && !missing;
        };
        for (int i = 0; i < waitMilliseconds / 20 && !written(); ++i) usleep(20'000);
        return written() ? ReadFile(file) : "";
    }
    // Operation and text of every trace line, without the time stamp.
    std::vector<std::string> TraceLines() const {
        const std::string file = profile_.TraceLogInTempDir ? ProgramDir() + "TEMP/" + profile_.TraceLogFileName
                                                            : ProgramDir() + profile_.TraceLogFileName;
        return testing::ReadTraceLines(file);
    }
    void SetFileTime(const std::string& path, std::time_t seconds) const {
        timespec times[2] = {{seconds, 0}, {seconds, 0}};
        testing::Require(utimensat(AT_FDCWD, path.c_str(), times, 0) == 0, "file time of " + path);
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
    std::string dialStatus;
    std::chrono::steady_clock::duration took;
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
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    const auto start = std::chrono::steady_clock::now();
    window.show();
    loop.exec();
    EXPECT_TRUE(finished) << "the window did not finish";
    return {window.Dialup().DialTimeout, window.State().MainProgram, window.State().UpdateDir,
            window.Dialup().DialStatus, std::chrono::steady_clock::now() - start};
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
        EXPECT_EQ(window.font().family(), QString("ＭＳ 明朝"));
        EXPECT_EQ(window.font().pixelSize(), 16);
        EXPECT_EQ(window.lblStatus->text(), QString());
        EXPECT_FALSE(window.windowFlags() & Qt::WindowCloseButtonHint);
        EXPECT_TRUE(fs::is_directory(inst.ProgramDir() + "TEMP"));
    }
}

// The cost edition's window owns the LZH archiver for the master import; without its library the user is
// told at once and the launcher goes on.
TEST(UpdaterWindow, TheCostEditionsWindowOwnsTheLhaArchiver) {
    {
        Installation inst(CostEdition());
        TUpdaterWindow window(CostEdition(), nullptr, inst.ProgramDir() + "Plx00up");
        ASSERT_NE(window.Lha(), nullptr);
        EXPECT_EQ(window.Lha()->parent(), &window);
        EXPECT_GE(window.Lha()->Version(), kUnlhaMinimumVersion);
    }
    {
        Installation inst(EstimationEdition());
        TUpdaterWindow window(EstimationEdition(), nullptr, inst.ProgramDir() + "Qrd00up");
        EXPECT_EQ(window.Lha(), nullptr);
    }
    Installation inst(CostEdition());
    fs::remove(inst.ProgramDir() + "libunlha32.so");
    std::unique_ptr<TUpdaterWindow> window;
    {
        ModalAnswer answer("OK");
        window = std::make_unique<TUpdaterWindow>(CostEdition(), nullptr, inst.ProgramDir() + "Plx00up");
        ASSERT_TRUE(answer.Answered());
        EXPECT_EQ(answer.Seen().Title, QString("エラー"));
        EXPECT_EQ(answer.Seen().Text, QString("Unknown DLL UNLHA32.DLL"));
    }
    EXPECT_EQ(window->Lha(), nullptr);
}

TEST(UpdaterWindow, DialTimeoutFromTheSettingsFile) {
    struct Case {
        std::optional<std::string> ini;
        int want;
    };
    for (const EditionProfile* profile : {&EstimationEdition(), &CostEdition()}) {
        for (const auto& c : std::vector<Case>{{std::nullopt, 90},
                                              {"[TIME]\r\nOTHER=1\r\n", 90},
                                              {"[TIME]\r\nDIAL=abc\r\n", 90},
                                              {"[TIME]\r\nDIAL=30\r\n", 30}}) {
            Installation inst(*profile);
            if (c.ini) WriteFile(inst.ProgramDir() + profile->SettingsIniFileName, *c.ini);
            // The other edition's file is not read.
            WriteFile(inst.ProgramDir() + (profile == &CostEdition() ? "QRD0000.INI" : "PLX0000.INI"),
                      "[TIME]\r\nDIAL=7\r\n");
            inst.AddMainProgram("Qrd0000.exe");
            EXPECT_EQ(RunWindow(*profile, inst).dialTimeout, c.want)
                << profile->ProgramName << " " << c.ini.value_or("no file");
        }
    }
}

TEST(UpdaterWindow, BlankUpdateFolderClosesSilentlyAndStartsTheMainProgram) {
    for (const std::optional<std::string>& setting :
         std::vector<std::optional<std::string>>{std::nullopt, "LAN|", "LAN| \t ", "no vertical bar"}) {
        Installation inst(EstimationEdition());
        inst.AddMainProgram("Qrd0000.exe");
        if (setting) WriteMachineString(kTowagiUpdate, "PATH1", *setting, true);
        ModalAnswer unexpected("OK");
        WindowRun run = RunWindow(EstimationEdition(), inst);
        const std::string label = setting.value_or("no value");
        EXPECT_FALSE(unexpected.Answered()) << label;
        EXPECT_EQ(run.mainProgram, "Qrd0000.exe") << label;
        EXPECT_NE(inst.MainStarted(), "") << label;
        EXPECT_EQ(inst.TraceLines(),
                  (std::vector<std::string>{"FormShow ; Start", "FormClose ; Start", "FormClose ; End"}))
            << label;
    }
}

TEST(UpdaterWindow, TheLaterMainProgramWinsAndNamesTheUpdateKey) {
    const std::string costUpdate = std::string(kProductRoot) + "\\PATH\\UPDATE";
    struct Case {
        const EditionProfile* profile;
        std::vector<std::string> present;
        std::string wantMain;
        std::string key; // where the update folder must be read from
        std::string value;
    };
    for (const auto& c : std::vector<Case>{
             {&EstimationEdition(), {"Qrd0000.exe"}, "Qrd0000.exe", kTowagiUpdate, "PATH1"},
             {&EstimationEdition(), {"Qrd0000.exe", "Qrd00cs.exe"}, "Qrd00cs.exe", kRuvozezUpdate, "PATH1"},
             {&CostEdition(), {"Qrd0000.exe"}, "Qrd0000.exe", kTowagiUpdate, "PATHJ"},
             {&CostEdition(), {"Qrd0000.exe", "Plx00cs.exe"}, "Plx00cs.exe", costUpdate, "PATHJ"},
         }) {
        const std::string label = c.profile->ProgramName + " " + c.wantMain;
        Installation inst(*c.profile);
        for (const auto& name : c.present)
            inst.AddMainProgram(name);
        // Decoys: the other key, and the other edition's value name in the right key.
        for (const std::string& key : {std::string(kTowagiUpdate), costUpdate, std::string(kRuvozezUpdate)}) {
            WriteMachineString(key, "PATH1", "x|/nowhere-path1", true);
            WriteMachineString(key, "PATHJ", "x|/nowhere-pathj", true);
        }
        WriteMachineString(c.key, c.value, "x|" + inst.UpdateDir(), true);
        ModalAnswer unexpected("OK");
        WindowRun run = RunWindow(*c.profile, inst);
        EXPECT_FALSE(unexpected.Answered()) << label << ": " << unexpected.Seen().Text.toStdString();
        EXPECT_EQ(run.mainProgram, c.wantMain) << label;
        EXPECT_EQ(run.updateDir, inst.UpdateDir()) << label;
        EXPECT_NE(inst.MainStarted().find(c.wantMain), std::string::npos) << label;
    }
}

// The cost edition runs PLXUPDB.EXE and waits for it before anything else; a failure of it is ignored.
TEST(UpdaterWindow, CostEditionRunsPlxupdbFirstAndWaitsForIt) {
    struct Case {
        std::string name;
        mode_t mode;
        std::string wantRuns;
    };
    for (const auto& c : std::vector<Case>{{"runs", 0755, "plxupdb\nmain\n"},
                                          {"cannot be started", 0644, "main\n"},
                                          {"fails", 0755, "plxupdb\nmain\n"}}) {
        Installation inst(CostEdition());
        inst.AddMainProgram("Plx00cs.exe");
        inst.AddProgram("PLXUPDB.EXE",
                        "sleep 0.5\n" + inst.RecordRun("plxupdb") + (c.name == "fails" ? "exit 3\n" : ""),
                        c.mode);
        ModalAnswer unexpected("OK");
        RunWindow(CostEdition(), inst);
        inst.MainStarted();
        EXPECT_FALSE(unexpected.Answered()) << c.name;
        EXPECT_EQ(inst.Runs(), c.wantRuns) << c.name;
        EXPECT_EQ(inst.TraceLines().front(), "FormShow ; Start") << c.name;
    }
    // The estimation edition knows no such program.
    Installation inst(EstimationEdition());
    inst.AddMainProgram("Qrd0000.exe");
    inst.AddProgram("PLXUPDB.EXE", inst.RecordRun("plxupdb"));
    RunWindow(EstimationEdition(), inst);
    inst.MainStarted();
    EXPECT_EQ(inst.Runs(), "main\n");
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
        const std::string names = profile == &EstimationEdition() ? "Qrd0000.exe, Qrd00cs.exe" : "Qrd0000.exe, Plx00cs.exe";
        // The trace log says which check made the set-up invalid.
        EXPECT_EQ(inst.TraceLines(),
                  (std::vector<std::string>{"FormShow ; Start", "FormClose ; Start",
                                            "FormClose ; セットアップ不正 : メインプログラム(" + names + ")が[" +
                                                inst.ProgramDir() + "]にありません"}));
    }
}

// The show step failed before it looked for the main program: the trace log tells that apart from a missing
// program, and the show step's error follows the set-up warning.
TEST(UpdaterWindow, ASetUpInvalidBecauseTheShowStepEndedEarlyIsTracedAsSuch) {
    Installation inst(EstimationEdition());
    inst.AddMainProgram("Qrd0000.exe");
    // The dial-up time-out's settings file cannot be read.
    WriteFile(inst.ProgramDir() + "QRD0000.INI", "[TIME]\r\nDIAL=\x80\x80\r\n");
    testing::ScopedRecordingPrompts boxes;
    RunWindow(EstimationEdition(), inst);
    ASSERT_EQ(boxes->Boxes.size(), 2u);
    EXPECT_EQ(boxes->Boxes[0].Kind, PromptKind::Warning);
    EXPECT_EQ(boxes->Boxes[0].Text, EstimationEdition().SetupInvalidWarning);
    EXPECT_EQ(boxes->Boxes[1].Kind, PromptKind::Error);
    EXPECT_EQ(inst.MainStarted(500), "");
    EXPECT_EQ(inst.TraceLines(),
              (std::vector<std::string>{"FormShow ; Start", "FormClose ; Start",
                                        "FormClose ; セットアップ不正 : メインプログラムを探す前に処理が終わりました"}));
}

TEST(UpdaterWindow, LanModeNewerLauncherOnlyAsksNothing) {
    for (const EditionProfile* profile : {&EstimationEdition(), &CostEdition()}) {
        Installation inst(*profile);
        inst.AddMainProgram("Qrd0000.exe");
        WriteMachineString(kTowagiUpdate, profile->UpdatePathValue, "x|" + inst.UpdateDir(), true);
        const std::string launcher = UpperCase(profile->ProgramName);
        WriteFile(inst.UpdateDir() + launcher, "a newer launcher\n");
        inst.SetFileTime(inst.UpdateDir() + launcher, std::time(nullptr) + 3600);
        ModalAnswer unexpected("いいえ(&N)");
        RunWindow(*profile, inst);
        EXPECT_FALSE(unexpected.Answered()) << profile->ProgramName;
        EXPECT_EQ(ReadFile(inst.ProgramDir() + profile->ProgramName), "the launcher\n");
        EXPECT_NE(inst.MainStarted(), "") << profile->ProgramName;
        // The show step ended early: no End line of its own.
        const auto lines = inst.TraceLines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "FormShow ; End"), 0) << profile->ProgramName;
        EXPECT_EQ(lines.back(), "FormClose ; End") << profile->ProgramName;
    }
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

TEST(UpdaterWindow, TheProgressWindowsTimerSignalsTheDialupWait) {
    Installation inst(EstimationEdition());
    inst.AddMainProgram("Qrd0000.exe");
    WriteMachineString(kTowagiUpdate, "PATH1", "x|" + inst.UpdateDir(), true);
    WriteMachineString(kRuvozezUpdate, "FTP_HOST", "127.0.0.1", true);
    bool abortedBefore = true;
    bool abortedAfter = false;
    TUpdaterWindow* shown = nullptr;
    RunWindow(EstimationEdition(), inst, [&](TUpdaterWindow& window) {
        shown = &window;
        window.Execute = [&](TUpdateState& state) {
            auto* progress = dynamic_cast<TFQRD00FT*>(state.ProgressWindow);
            ASSERT_NE(progress, nullptr);
            abortedBefore = shown->Dialup().DialAborted;
            progress->Timer2->setInterval(10);
            QTest::qWait(100);
            abortedAfter = shown->Dialup().DialAborted;
        };
    });
    EXPECT_FALSE(abortedBefore);
    EXPECT_TRUE(abortedAfter);
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

// FTP mode with dial-up: Dialup 1, the entry to dial and, when given, the settings file's dial-up wait.
void ConfigureDialup(const EditionProfile& profile, const Installation& inst, const std::string& entry,
                     const std::optional<std::string>& dialSeconds = std::nullopt) {
    WriteMachineString(kTowagiUpdate, profile.UpdatePathValue, "x|" + inst.UpdateDir(), true);
    WriteMachineString(kRuvozezUpdate, "FTP_HOST", "127.0.0.1", true);
    WriteMachineInteger(kRuvozezUpdate, "Dialup", 1, true);
    WriteMachineString(kRuvozezUpdate, "Dialup_Name", entry, true);
    if (dialSeconds)
        WriteFile(inst.ProgramDir() + profile.SettingsIniFileName, "[TIME]\r\nDIAL=" + *dialSeconds + "\r\n");
}

TEST(UpdaterWindow, Dialup) {
    const std::string busy = "エラー: 接続の有効化に失敗しました: 回線がビジーです";
    const std::string busyInEnglish = "Error: Connection activation failed: The line is busy";
    struct Case {
        std::string name;
        const EditionProfile* profile;
        std::vector<FakeProfile> profiles;
        std::vector<FakeLink> links;
        std::string entry;
        std::optional<std::string> dialSeconds;
        std::optional<std::string> wantStatus; // the last state text, where it is certain
        std::string wantWarning;   // empty: connected, the update runs and the main program starts
        bool wantHangUp;           // the close step hangs the link up
        std::chrono::seconds below; // the whole run, long enough for a loaded machine
    };
    for (const auto& c : std::vector<Case>{
             {"already connected", &EstimationEdition(), {{.Name = "Office"}}, {{.Name = "Office"}}, "Office",
              "30", "Connected", "", false, 40s},
             {"connected after several states", &EstimationEdition(),
              {{.Name = "Office", .States = {40, 50, 70}, .StepSeconds = 0.3}}, {}, "Office", std::nullopt,
              "Connected", "", false, 40s},
             {"cost edition, connected", &CostEdition(), {{.Name = "本社", .States = {40}}}, {}, "本社", "30",
              "Connected", "", false, 40s},
             // A failure text ends the wait long before the time-out; the box tells no error code.
             {"busy line", &EstimationEdition(),
              {{.Name = "Office", .States = {40, 50}, .Outcome = "failed", .Message = busy}}, {}, "Office", "60",
              busy, "ダイアルアップの接続に失敗しました。:Errcode 0", false, 40s},
             {"busy line, English text", &CostEdition(),
              {{.Name = "Office", .Outcome = "failed", .Message = busyInEnglish}}, {}, "Office", "60", busyInEnglish,
              "ダイアルアップの接続に失敗しました。:Errcode 0", false, 40s},
             // The time-out comes from the settings file; the link still being dialled is hung up on close.
             {"time-out", &EstimationEdition(), {{.Name = "Office", .States = {40}, .Outcome = "hang"}}, {},
              "Office", "1", std::nullopt, "ダイアルアップの接続に失敗しました。:Errcode 0", true, 40s},
             // Entry names compare exactly: the connected "Office" is not "office", which is no entry.
             {"entry in other letter case", &EstimationEdition(), {{.Name = "Office"}}, {{.Name = "Office"}},
              "office", "30", "", "ダイアルアップの接続に失敗しました。:Errcode 10", false, 40s},
         }) {
        Installation inst(*c.profile);
        inst.AddMainProgram("Qrd0000.exe");
        ConfigureDialup(*c.profile, inst, c.entry, c.dialSeconds);
        FakeNetworkManager manager(c.profiles, c.links);
        bool executed = false;
        std::string shownStatus;
        ModalAnswer answer("OK");
        WindowRun run = RunWindow(*c.profile, inst, [&](TUpdaterWindow& window) {
            window.Execute = [&](TUpdateState& state) {
                executed = true;
                shownStatus = dynamic_cast<TFQRD00FT&>(*state.ProgressWindow).lblMsg->text().toStdString();
            };
        });
        if (c.wantStatus) {
            EXPECT_EQ(run.dialStatus, *c.wantStatus) << c.name;
        }
        EXPECT_EQ(run.dialStatus == "Connected", c.wantWarning.empty()) << c.name;
        EXPECT_LT(run.took, c.below) << c.name;
        EXPECT_EQ(answer.Answered(), !c.wantWarning.empty()) << c.name;
        if (!c.wantWarning.empty()) {
            EXPECT_EQ(answer.Seen().Title, QString("警告")) << c.name;
            EXPECT_EQ(answer.Seen().Text.toStdString(), c.wantWarning) << c.name;
        }
        EXPECT_EQ(executed, c.wantWarning.empty()) << c.name;
        if (executed) {
            EXPECT_EQ(shownStatus, "Connected") << c.name;
        }
        // No main program after a failed dial; an established link stays up for it.
        const bool connected = c.wantWarning.empty();
        EXPECT_EQ(inst.MainStarted(connected ? 10'000 : 500) != "", connected) << c.name;
        EXPECT_EQ(manager.Called("connection down id " + c.entry), c.wantHangUp) << c.name;
        if (connected) {
            EXPECT_EQ(manager.LinkState(c.entry), "activated") << c.name;
        }
        if (c.wantHangUp) {
            EXPECT_EQ(manager.LinkState(c.entry), "") << c.name;
        }
        const auto lines = inst.TraceLines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "FormClose ; End"), connected ? 1 : 0) << c.name;
    }
}

TEST(UpdaterWindow, TheTimeOutOfADialRunsFromTheSettingsFile) {
    Installation inst(EstimationEdition());
    inst.AddMainProgram("Qrd0000.exe");
    ConfigureDialup(EstimationEdition(), inst, "Office", "2");
    FakeNetworkManager manager({FakeProfile{.Name = "Office", .Outcome = "hang"}});
    ModalAnswer answer("OK");
    WindowRun run = RunWindow(EstimationEdition(), inst);
    EXPECT_EQ(run.dialTimeout, 2);
    ASSERT_TRUE(answer.Answered());
    EXPECT_EQ(answer.Seen().Text.toStdString(), "ダイアルアップの接続に失敗しました。:Errcode 0");
    EXPECT_GE(run.took, 2s);
    EXPECT_LT(run.took, 30s);
}

// A link that never reports itself gone keeps the launcher no longer than the hang-up's limit.
TEST(UpdaterWindow, TheHangUpAtCloseGivesUpOnALinkThatStaysUp) {
    Installation inst(EstimationEdition());
    inst.AddMainProgram("Qrd0000.exe");
    ConfigureDialup(EstimationEdition(), inst, "Office", "1");
    FakeNetworkManager manager({{.Name = "Office", .Outcome = "hang", .Down = "stays"}});
    ModalAnswer answer("OK");
    WindowRun run = RunWindow(EstimationEdition(), inst,
                              [](TUpdaterWindow& window) { window.Dialup().HangUpLimit = 3s; });
    ASSERT_TRUE(answer.Answered());
    EXPECT_LT(run.took, 30s);
    EXPECT_TRUE(manager.Called("connection down id Office"));
    EXPECT_EQ(inst.MainStarted(500), "");
    EXPECT_EQ(inst.TraceLines(),
              (std::vector<std::string>{"FormShow ; Start", "FormClose ; Start",
                                        "HangUp ; [Office]の切断を3秒待ちましたが、接続が残っています", "FormShow ; End"}));
}

TEST(UpdaterWindow, WithoutAConnectionManagerDialupIsRefusedAndTheMainProgramStarts) {
    Installation inst(EstimationEdition());
    inst.AddMainProgram("Qrd0000.exe");
    ConfigureDialup(EstimationEdition(), inst, "Office");
    NoNetworkManager none;
    bool executed = false;
    ModalAnswer answer("OK");
    RunWindow(EstimationEdition(), inst, [&](TUpdaterWindow& window) {
        window.Execute = [&](TUpdateState&) { executed = true; };
    });
    ASSERT_TRUE(answer.Answered());
    EXPECT_EQ(answer.Seen().Title, QString("エラー"));
    EXPECT_EQ(answer.Seen().Text, QString("ERROR_UNKNOWNTYPE_OS"));
    EXPECT_FALSE(executed);
    EXPECT_NE(inst.MainStarted(), "");
}

// Dialup missing, 0 or negative: no dial-up object, the connection manager is not asked at all.
TEST(UpdaterWindow, WithoutDialupNoLinkIsTouched) {
    for (const std::optional<int> mode : std::vector<std::optional<int>>{std::nullopt, 0, -1}) {
        const std::string label = mode ? std::to_string(*mode) : "missing";
        Installation inst(EstimationEdition());
        inst.AddMainProgram("Qrd0000.exe");
        WriteMachineString(kTowagiUpdate, "PATH1", "x|" + inst.UpdateDir(), true);
        WriteMachineString(kRuvozezUpdate, "FTP_HOST", "127.0.0.1", true);
        WriteMachineString(kRuvozezUpdate, "Dialup_Name", "Office", true);
        if (mode) WriteMachineInteger(kRuvozezUpdate, "Dialup", *mode, true);
        FakeNetworkManager manager({{.Name = "Office"}}, {{.Name = "Office"}});
        bool executed = false;
        ModalAnswer unexpected("OK");
        RunWindow(EstimationEdition(), inst, [&](TUpdaterWindow& window) {
            window.Execute = [&](TUpdateState&) { executed = true; };
        });
        EXPECT_FALSE(unexpected.Answered()) << label;
        EXPECT_TRUE(executed) << label;
        EXPECT_NE(inst.MainStarted(), "") << label;
        EXPECT_TRUE(manager.Calls().empty()) << label;
        EXPECT_EQ(manager.LinkState("Office"), "activated") << label;
    }
}

} // namespace
} // namespace towagi
