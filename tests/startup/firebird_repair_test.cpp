#include "startup/firebird_repair.h"

#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "startup/firebird_recovery_window.h"
#include "support/errors.h"
#include "tests/apply/archive_test_support.h"
#include "tests/common/modal_answer.h"
#include "tests/startup/installation.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QTimer>

#include <unistd.h>

#include <filesystem>

namespace towagi {
namespace {

namespace fs = std::filesystem;

using testing::Installation;
using testing::kNoFirebird;
using testing::RecoveryAnswer;
using testing::ModalAnswer;
using testing::ReadFile;
using testing::ScopedPrompts;
using testing::WriteFile;

TEST(FirebirdFolder, TheFolderAboveTheProgramFolder) {
    struct Case {
        std::string programDir, want;
    };
    for (const auto& c : std::vector<Case>{{"/opt/towagi/program/", "/opt/towagi/FireBird_1_5/"},
                                          {"/opt/towagi/program", "/opt/towagi/FireBird_1_5/"},
                                          {"/opt/towagi/program/../other/", "/opt/towagi/FireBird_1_5/"},
                                          // Directly below the root: the root.
                                          {"/towagi/", "/FireBird_1_5/"}})
        EXPECT_EQ(FirebirdFolder(c.programDir), c.want) << c.programDir;
    const std::string relative = (fs::current_path().parent_path() / "FireBird_1_5").string() + "/";
    EXPECT_EQ(FirebirdFolder("program/"), (fs::current_path() / "FireBird_1_5").string() + "/");
    EXPECT_EQ(FirebirdFolder("./"), relative);
}

TEST(CheckFirebirdFolder, FolderArchiveAndWhatGoesWrong) {
    struct Case {
        std::string name;
        bool folder, archive, damaged, library;
        bool want;
        std::vector<std::string> messages;
        bool unpacked;
    };
    for (const EditionProfile* profile : {&EstimationEdition(), &CostEdition()}) {
        for (const auto& c : std::vector<Case>{
                 // The archive is not even looked at.
                 {"folder present", true, true, true, true, true, {}, false},
                 {"neither folder nor archive", false, false, false, true, false, {}, false},
                 {"archive unpacked", false, true, false, true, true, {}, true},
                 {"damaged archive", false, true, true, true, false, {"書庫が壊れています"}, false},
                 {"no archiver library", false, true, false, false, false, {"Unknon DLL 7-zip32.dll"}, false},
             }) {
            Installation here;
            ScopedPrompts prompts;
            if (c.folder) fs::create_directories(here.FirebirdDir());
            if (c.archive) here.AddFirebirdArchive(c.damaged);
            if (c.library) here.AddArchiverLibrary();
            const std::string title = profile->ProgramName + ": " + c.name;
            EXPECT_EQ(CheckFirebirdFolder(*profile, here.Program()), c.want) << title;
            EXPECT_EQ(prompts.Messages(), c.messages) << title;
            EXPECT_EQ(fs::exists(here.FirebirdDir() + "bin/install_nt.bat"), c.unpacked) << title;
            if (c.unpacked) {
                EXPECT_EQ(ReadFile(here.FirebirdDir() + "bin/install_nt.bat"), Installation::InstallScript());
            }
            if (c.archive) {
                EXPECT_TRUE(fs::exists(here.Program() + "FireBird_1_5")) << title;
            }
        }
    }
}

TEST(QueryFirebirdService, EitherNameAnywhereInTheListingCounts) {
    struct Case {
        std::string name, units;
        bool wantMissing;
    };
    for (const auto& c : std::vector<Case>{
             {"only the guardian", "FirebirdGuardianDefaultInstance.service loaded active running Guardian\n", false},
             {"only the server", kNoFirebird + "FirebirdServer_1_5.service loaded inactive dead Server\n", false},
             {"other letter case", "firebirdserver_1_5.service loaded active running Firebird\n", false},
             {"inside a display name", "fb.service loaded active running Wrapper of FIREBIRDGUARDIANDEFAULTINSTANCE\n",
              false},
             {"neither", kNoFirebird + "firebird3.0.service loaded active running Firebird Database Server\n", true},
         }) {
        Installation here;
        here.Services(c.units);
        // Left by an earlier start that was interrupted.
        WriteFile(here.Program() + "FbFindBat.bat", "echo FirebirdServer_1_5> FbFindTxt.txt\r\n");
        WriteFile(here.Program() + "FbFindTxt.txt", "SERVICE_NAME: FirebirdServer_1_5\r\n");
        EXPECT_EQ(QueryFirebirdService(here.Program()), c.wantMissing) << c.name;
        EXPECT_FALSE(fs::exists(here.Program() + "FbFindBat.bat")) << c.name;
        EXPECT_FALSE(fs::exists(here.Program() + "FbFindTxt.txt")) << c.name;
    }
}

// The query's batch runs hidden and waited for: inside the launcher, without the program towagi-bat.
TEST(QueryFirebirdService, RunsWithoutTheBatchRunnerProgram) {
    for (const bool present : {true, false}) {
        Installation here;
        fs::remove(here.Root() + "bin/towagi-bat");
        here.Services(present ? "FirebirdServer_1_5.service loaded active running Firebird Server\n" : kNoFirebird);
        ScopedPrompts prompts;
        EXPECT_EQ(QueryFirebirdService(here.Program()), !present) << present;
        EXPECT_EQ(prompts.Messages(), std::vector<std::string>{}) << present;
        EXPECT_FALSE(fs::exists(here.Program() + "FbFindBat.bat")) << present;
    }
}

TEST(QueryFirebirdService, AMissingOutputFileRaises) {
    Installation here;
    // The batch writes its output into the current folder, which is not the program folder here.
    fs::create_directories(here.Root() + "elsewhere");
    fs::current_path(here.Root() + "elsewhere");
    try {
        QueryFirebirdService(here.Program());
        ADD_FAILURE() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_EQ(std::string(e.what()), "ファイル " + here.Program() + "FbFindTxt.txt は開けません: " +
                                             SystemErrorText(ENOENT));
    }
}

TEST(CheckFirebirdService, PresentServiceNeedsNoWindow) {
    Installation here;
    here.AddFirebirdFolder();
    here.Services("FirebirdServer_1_5.service loaded active running Firebird Server\n");
    RecoveryAnswer answer(RecoveryAnswer::How::CloseBox);
    EXPECT_TRUE(CheckFirebirdService(EstimationEdition(), here.Program()));
    QCoreApplication::processEvents();
    EXPECT_FALSE(answer.Shown());
    EXPECT_EQ(here.InstallRuns(), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(CheckFirebirdService, TheWindowDecidesWhetherTheScriptRuns) {
    struct Case {
        const EditionProfile& profile;
        RecoveryAnswer::How how;
        bool want;
        int wantInstallRuns;
    };
    for (const auto& c : std::vector<Case>{{EstimationEdition(), RecoveryAnswer::How::CloseBox, false, 0},
                                          {CostEdition(), RecoveryAnswer::How::CloseBox, false, 0},
                                          {EstimationEdition(), RecoveryAnswer::How::Button, true, 1},
                                          {CostEdition(), RecoveryAnswer::How::Button, true, 1}}) {
        Installation here;
        here.AddFirebirdFolder();
        here.Services(kNoFirebird);
        RecoveryAnswer answer(c.how);
        EXPECT_EQ(CheckFirebirdService(c.profile, here.Program()), c.want) << c.profile.ProgramName;
        EXPECT_TRUE(answer.Shown());
        EXPECT_EQ(answer.Title().toStdString(), c.profile.FirebirdRecoveryCaption);
        EXPECT_EQ(answer.ObjectName().toStdString(), c.profile.FirebirdRecoveryWindowClass);
        EXPECT_TRUE(answer.HourglassWhileShown());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(here.InstallRuns(), c.wantInstallRuns) << c.profile.ProgramName;
        // Only a user without administrator rights is asked through pkexec.
        const std::string runs = c.wantInstallRuns && geteuid() != 0
                                     ? here.Root() + "bin/towagi-bat " + here.FirebirdDir() + "bin/install_nt.bat\n"
                                     : "";
        EXPECT_EQ(here.PkexecRuns(), runs);
        EXPECT_FALSE(fs::exists(here.Program() + "FbFindBat.bat"));
    }
}

TEST(CheckFirebirdService, RefusedConsentEndsWithTheWarning) {
    if (geteuid() == 0) GTEST_SKIP() << "root is never asked for consent";
    Installation here;
    here.AddFirebirdFolder();
    here.Services(kNoFirebird);
    here.RefuseConsent(126);
    RecoveryAnswer answer(RecoveryAnswer::How::Button);
    ModalAnswer warning("OK");
    EXPECT_FALSE(CheckFirebirdService(CostEdition(), here.Program()));
    ASSERT_TRUE(warning.Answered());
    EXPECT_EQ(warning.Seen().Text,
              QString("ShellExecuteInfoの実行に失敗しました。\nこの操作はユーザーによって取り消されました。"));
    EXPECT_EQ(here.InstallRuns(), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(CheckFirebirdService, TheHourglassGoesAlsoWhenTheQueryRaises) {
    Installation here;
    fs::create_directories(here.Root() + "elsewhere");
    fs::current_path(here.Root() + "elsewhere");
    EXPECT_THROW(CheckFirebirdService(EstimationEdition(), here.Program()), EInOutError);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(TFirebirdRecoveryWindow, LayoutAndTextsOfBothEditions) {
    for (const EditionProfile* profile : {&EstimationEdition(), &CostEdition()}) {
        TFirebirdRecoveryWindow window(*profile);
        const std::string name = profile->ProgramName;
        EXPECT_EQ(window.objectName().toStdString(), profile->FirebirdRecoveryWindowClass) << name;
        EXPECT_EQ(window.windowTitle().toStdString(), profile->FirebirdRecoveryCaption) << name;
        EXPECT_EQ(window.minimumSize(), QSize(592, 303)) << name;
        EXPECT_EQ(window.maximumSize(), QSize(592, 303)) << name;
        EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint) << name;
        EXPECT_FALSE(window.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)) << name;
        EXPECT_EQ(window.font().family(), QString("ＭＳ 明朝")) << name;
        EXPECT_EQ(window.font().pixelSize(), 16) << name;

        EXPECT_EQ(window.UpperPanel->geometry(), QRect(0, 0, 592, 239)) << name;
        EXPECT_FALSE(window.UpperPanel->isEnabled()) << name;
        EXPECT_EQ(window.InnerPanel->geometry(), QRect(18, 16, 549, 219)) << name;
        EXPECT_EQ(window.InnerPanel->frameShadow(), QFrame::Sunken) << name;
        EXPECT_EQ(window.InnerPanel->lineWidth(), 2) << name;
        EXPECT_EQ(window.InnerPanel->palette().color(QPalette::Window), QColor(255, 251, 240)) << name;

        EXPECT_EQ(window.Memo1->geometry(), QRect(18, 18, 515, 57)) << name;
        EXPECT_EQ(window.Memo1->toPlainText().toStdString(),
                  profile->FirebirdRecoveryFirstLine + "\nデータベース接続ツール「Firebirdサービス」が削除され、\n起動できない状態です。")
            << name;
        // Red and bold also on the disabled panel.
        EXPECT_EQ(window.Memo1->palette().color(QPalette::Disabled, QPalette::Text), QColor(Qt::red)) << name;
        EXPECT_TRUE(window.Memo1->font().bold()) << name;
        EXPECT_EQ(window.Memo1->frameShape(), QFrame::NoFrame) << name;
        EXPECT_EQ(window.Memo2->geometry(), QRect(18, 86, 531, 131)) << name;
        EXPECT_EQ(window.Memo2->toPlainText(),
                  QString("以下の操作手順で、「Firebirdサービス」の再登録を行ってください。\n\n"
                          " 1.「Firebirdサービス再登録開始」ボタンをクリック\n"
                          " 2.「ユーザーアカウント制御」画面の「はい」ボタンをクリック\n\n"
                          "※上記内容を確認後、下の「Firebirdサービス再登録開始」ボタンを\n"
                          "　クリックしてください。"))
            << name;
        EXPECT_FALSE(window.Memo2->font().bold()) << name;
        EXPECT_EQ(window.Memo2->frameShape(), QFrame::NoFrame) << name;

        EXPECT_EQ(window.LowerPanel->geometry(), QRect(0, 239, 592, 64)) << name;
        EXPECT_EQ(window.Button1->text(), QString("Firebirdサービス再登録開始")) << name;
        EXPECT_EQ(window.Button1->geometry(), QRect(178, 16, 233, 29)) << name;
    }
    EXPECT_EQ(EstimationEdition().FirebirdRecoveryCaption, "積算『とわぎ』 FireBirdサービス復旧");
    EXPECT_EQ(CostEdition().FirebirdRecoveryCaption, "原価『とわぎ』 FireBirdサービス復旧");
    EXPECT_EQ(EstimationEdition().FirebirdRecoveryFirstLine, "現在､Windows Updateにより、積算『とわぎ』の");
    EXPECT_EQ(CostEdition().FirebirdRecoveryFirstLine, "現在､Windows Updateにより、原価『とわぎ』の");
}

TEST(TFirebirdRecoveryWindow, EscapeDoesNotCloseIt) {
    TFirebirdRecoveryWindow window(EstimationEdition());
    int result = -1;
    QTimer::singleShot(20, [&] {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&window, &escape);
        QTimer::singleShot(20, [&] {
            result = window.isVisible() ? 1 : 0;
            window.Button1->click();
        });
    });
    EXPECT_EQ(window.exec(), QDialog::Accepted);
    EXPECT_EQ(result, 1);
}

} // namespace
} // namespace towagi
