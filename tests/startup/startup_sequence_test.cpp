#include "startup/startup_sequence.h"

#include "database/data_module.h"
#include "database/firebird.h"
#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "startup/shell_execute.h"
#include "support/encoding.h"
#include "support/errors.h"
#include "support/settings.h"
#include "support/text.h"
#include "tests/common/modal_answer.h"
#include "tests/common/test_env.h"
#include "tests/startup/installation.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>

#include <filesystem>

namespace towagi {
namespace {

using testing::Installation;
using testing::kNoFirebird;
using testing::ModalAnswer;
using testing::RecoveryAnswer;
using testing::ReadFile;
using testing::Require;
using testing::ScopedEnv;
using testing::ScopedHives;
using testing::TempDir;
using testing::WriteFile;

namespace fs = std::filesystem;

// A program folder with a restore tool that records its parameters and may leave the marker behind.
class ProgramFolder {
public:
    ProgramFolder() : old_(fs::current_path()) { fs::current_path(dir_.Path()); }
    ~ProgramFolder() { fs::current_path(old_); }
    const TempDir& Dir() const { return dir_; }

    void AddRestoreTool(bool leavesMarker, mode_t mode = 0755) {
        std::string body = "#!/bin/sh\necho \"[$*]\" >> restore-ran.txt\n";
        if (leavesMarker) body += "touch RestorRegCompOrg.txt\n";
        WriteFile(dir_.File("RestorCom.exe"), body);
        chmod(dir_.File("RestorCom.exe").c_str(), mode);
    }
    std::string ToolRuns() const {
        return fs::exists(dir_.File("restore-ran.txt")) ? ReadFile(dir_.File("restore-ran.txt")) : "";
    }
    bool MarkerExists() const { return fs::exists(dir_.File("RestorRegCompOrg.txt")); }
    // An empty database in DATA/, selected for the suite's connections; the cost edition connects at start.
    // Made by isql, one of the suite's own programs, which locks in the folder the launchers use.
    void AddSuiteDatabase() {
        const std::string database = dir_.File("DATA/SUITE.FDB");
        fs::create_directories(dir_.File("DATA"));
        UseEngineLockDir();
        const std::string create = "echo \"CREATE DATABASE '" + database +
                                   "' USER 'SYSDBA' PASSWORD 'pinewharf';\" | isql-fb -q -sqldialect 1";
        Require(std::system(create.c_str()) == 0, "isql-fb created " + database);
        Require(WriteMachineString(kDatabaseSlotKey, "SELECT", "1", true), "SELECT");
        Require(WriteMachineString(kDatabaseSlotKey, "PATH1", "|" + database, true), "PATH1");
    }

private:
    ScopedHives hives_;
    TempDir dir_;
    fs::path old_;
};

struct RepairCase {
    std::string name;
    const EditionProfile& profile;
    std::string osVersion;
    bool tool;
    bool leavesMarker;
    bool markerBefore;
    StartupOutcome want;
    std::string wantRuns;
    bool wantOSKnown = true;
};

TEST(PrepareWorkstation, RestoreToolAndMarkerByOSVersionAndEdition) {
    const auto& qrd = EstimationEdition();
    const auto& plx = CostEdition();
    for (const auto& c : std::vector<RepairCase>{
             {"older system never repairs", qrd, "6.1", true, true, false, StartupOutcome::Continue, ""},
             {"older system, cost edition", plx, "6.3", true, false, false, StartupOutcome::Continue, ""},
             {"no tool", qrd, "10.0", false, false, false, StartupOutcome::Continue, ""},
             {"tool without parameters", qrd, "10.0", true, false, false, StartupOutcome::Continue, "[]\n"},
             {"cost edition passes quil", plx, "10.0", true, false, false, StartupOutcome::Continue, "[quil]\n"},
             {"marker ends the program", qrd, "10.0", true, true, false, StartupOutcome::EndProgram, "[]\n"},
             {"old marker counts too", plx, "10.0", true, false, true, StartupOutcome::EndProgram, "[quil]\n"},
             // An OS that cannot be told skips every repair; the marker stays for a later start.
             {"unknown OS never repairs", qrd, "unknown", true, true, true, StartupOutcome::Continue, "", false},
         }) {
        ProgramFolder folder;
        ScopedEnv os("TOWAGI_OS_VERSION", c.osVersion);
        if (c.tool) folder.AddRestoreTool(c.leavesMarker);
        if (c.markerBefore) WriteFile(folder.Dir().File("RestorRegCompOrg.txt"), "");
        StartupState state;
        EXPECT_EQ(PrepareWorkstation(c.profile, state, folder.Dir().Dir()), c.want) << c.name;
        EXPECT_EQ(state.OSKnown, c.wantOSKnown) << c.name;
        EXPECT_EQ(state.ProgramDir.empty(), !c.wantOSKnown) << c.name;
        EXPECT_EQ(folder.ToolRuns(), c.wantRuns) << c.name;
        if (c.want == StartupOutcome::EndProgram) {
            EXPECT_FALSE(folder.MarkerExists()) << c.name;
        }
    }
}

TEST(PrepareWorkstation, NextStartAfterTheMarkerProceeds) {
    ProgramFolder folder;
    ScopedEnv os("TOWAGI_OS_VERSION", "10.0");
    folder.AddRestoreTool(true);
    StartupState state;
    ASSERT_EQ(PrepareWorkstation(EstimationEdition(), state, folder.Dir().Dir()), StartupOutcome::EndProgram);
    folder.AddRestoreTool(false);
    EXPECT_EQ(PrepareWorkstation(EstimationEdition(), state, folder.Dir().Dir()), StartupOutcome::Continue);
    EXPECT_EQ(folder.ToolRuns(), "[]\n[]\n");
}

TEST(PrepareWorkstation, ToolThatCannotStartWarnsAndEndsTheProgram) {
    ProgramFolder folder;
    ScopedEnv os("TOWAGI_OS_VERSION", "10.0");
    folder.AddRestoreTool(false, 0644);
    ModalAnswer answer("OK");
    StartupState state;
    EXPECT_EQ(PrepareWorkstation(EstimationEdition(), state, folder.Dir().Dir()), StartupOutcome::EndProgram);
    ASSERT_TRUE(answer.Answered());
    EXPECT_EQ(answer.Seen().Title, QString("警告"));
    EXPECT_EQ(answer.Seen().Text,
              QString("ShellExecuteInfoの実行に失敗しました。\n指定されたファイルは有効なアプリケーションではありません。"));
}

// A registry file of the program folder, written after the cut-off.
void AddRegistryFile(const std::string& path, const std::string& entries) {
    WriteFile(path, ToCP932("Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE]\r\n" +
                                entries,
                            path));
    std::time_t time = 0;
    ASSERT_TRUE(ParseDateTime("2024/05/01 12:00:00", time));
    const timespec times[2] = {{time, 0}, {time, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string Stored(const std::string& name) {
    return ReadMachineString("\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE", name, false);
}

TEST(PrepareWorkstation, RepairsOnlyOnACurrentSystem) {
    struct Case {
        std::string osVersion;
        bool repairs;
        bool importer;
    };
    for (const auto& c : std::vector<Case>{{"10.0", true, true}, {"6.1", false, true}, {"unknown", false, false}}) {
        Installation here;
        ScopedEnv os("TOWAGI_OS_VERSION", c.osVersion);
        AddRegistryFile(here.Program() + "Setting.reg", "\"Branch\"=\"本社\"\r\n");
        here.AddFirebirdFolder();
        here.Services(kNoFirebird);
        RecoveryAnswer answer(RecoveryAnswer::How::Button);
        StartupState state;
        EXPECT_EQ(PrepareWorkstation(EstimationEdition(), state, here.Program()), StartupOutcome::Continue);
        QCoreApplication::processEvents();
        EXPECT_EQ(Stored("Branch"), c.repairs ? "本社" : "") << c.osVersion;
        EXPECT_EQ(answer.Shown(), c.repairs) << c.osVersion;
        EXPECT_EQ(here.InstallRuns(), c.repairs ? 1 : 0) << c.osVersion;
        EXPECT_EQ(state.RegImporter != nullptr, c.importer) << c.osVersion;
        EXPECT_EQ(fs::exists(here.Program() + "Qrd00up_reg.log"), c.importer) << c.osVersion;
        if (c.importer) {
            EXPECT_EQ(ReadFile(here.Program() + "Qrd00up_reg.log"), c.repairs ? "2024/05/01 12:00:00|Setting.reg\r\n" : "");
        }
        EXPECT_TRUE(state.TraceLines.empty()) << c.osVersion;
    }
}

TEST(PrepareWorkstation, ARefusedServiceRepairEndsTheProgram) {
    Installation here;
    ScopedEnv os("TOWAGI_OS_VERSION", "10.0");
    here.AddArchiverLibrary();
    here.AddFirebirdArchive(false);
    here.Services(kNoFirebird);
    RecoveryAnswer answer(RecoveryAnswer::How::CloseBox);
    StartupState state;
    EXPECT_EQ(PrepareWorkstation(CostEdition(), state, here.Program()), StartupOutcome::RepairRefused);
    EXPECT_TRUE(answer.Shown());
    EXPECT_EQ(answer.Title(), QString("原価『とわぎ』 FireBirdサービス復旧"));
    // The folder was unpacked from the archive before the service was looked for.
    EXPECT_TRUE(fs::exists(here.FirebirdDir() + "bin/install_nt.bat"));
    EXPECT_EQ(here.InstallRuns(), 0);
    EXPECT_TRUE(fs::exists(here.Program() + "Plx00up_reg.log"));
}

// One file that cannot be applied must not keep the suite from starting on every following day.
TEST(PrepareWorkstation, ARegistryFileThatCannotBeAppliedIsShownAndPassedOver) {
    Installation here;
    ScopedEnv os("TOWAGI_OS_VERSION", "10.0");
    AddRegistryFile(here.Program() + "Bad.reg", "\"Before\"=\"1\"\r\n\"Count\"=dword:1234567890\r\n");
    here.AddFirebirdFolder();
    here.Services("FirebirdServer_1_5.service loaded active running Firebird Server\n");
    ModalAnswer answer("OK");
    StartupState state;
    EXPECT_EQ(PrepareWorkstation(EstimationEdition(), state, here.Program()), StartupOutcome::Continue);
    const std::string message =
        "レジストリファイル[" + here.Program() + "Bad.reg]の値[dword:1234567890]は32ビットの16進数ではありません";
    ASSERT_TRUE(answer.Answered());
    EXPECT_EQ(answer.Seen().Title, QString("エラー"));
    EXPECT_EQ(answer.Seen().Text.toStdString(), message);
    ASSERT_EQ(state.TraceLines.size(), 1u);
    EXPECT_EQ(state.TraceLines[0].Operation, "ImportFolder");
    EXPECT_EQ(state.TraceLines[0].Text, message);
    EXPECT_EQ(Stored("Before"), "");
    EXPECT_EQ(ReadFile(here.Program() + "Qrd00up_reg.log"), "");
    EXPECT_NE(state.RegImporter, nullptr);
}

TEST(PrepareWorkstation, AnImportLogThatCannotBeCreatedIsShownAndPassedOver) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    Installation here;
    ScopedEnv os("TOWAGI_OS_VERSION", "6.1");
    chmod(here.Program().c_str(), 0555);
    ModalAnswer answer("OK");
    StartupState state;
    EXPECT_EQ(PrepareWorkstation(EstimationEdition(), state, here.Program()), StartupOutcome::Continue);
    chmod(here.Program().c_str(), 0755);
    const std::string message = "ファイル " + here.Program() + "Qrd00up_reg.log を作成できません: アクセスが拒否されました。";
    EXPECT_EQ(answer.Seen().Text.toStdString(), message);
    EXPECT_EQ(state.RegImporter, nullptr);
    ASSERT_EQ(state.TraceLines.size(), 1u);
    EXPECT_EQ(state.TraceLines[0].Operation, "TVORNReg");
}

TEST(PrepareWorkstation, ErrorsOfTheFirebirdStepsReachTheCaller) {
    Installation here;
    ScopedEnv os("TOWAGI_OS_VERSION", "10.0");
    here.AddFirebirdFolder();
    // The query's output goes to the current folder, which is not the program folder: it is missing.
    fs::create_directories(here.Root() + "elsewhere");
    fs::current_path(here.Root() + "elsewhere");
    StartupState state;
    EXPECT_THROW(PrepareWorkstation(EstimationEdition(), state, here.Program()), EInOutError);
}

TEST(ShellExecuteAndWait, WaitsForTheProcessToEnd) {
    ProgramFolder folder;
    WriteFile(folder.Dir().File("slow.sh"), "#!/bin/sh\nsleep 0.3\ntouch done.txt\n");
    chmod(folder.Dir().File("slow.sh").c_str(), 0755);
    EXPECT_TRUE(ShellExecuteAndWait("", "./slow.sh", ""));
    EXPECT_TRUE(fs::exists(folder.Dir().File("done.txt")));
}

// The real launchers, run as a user starts them: from their program folder, where they live.
TEST(ProgramEntry, BothLaunchersRunTheirStartUpEntry) {
    struct Case {
        std::string binary;
        std::string osVersion;
        std::string wantRuns;
        bool wantMainProgram;
    };
    for (const auto& c : std::vector<Case>{
             {QRD00UP_BINARY, "10.0", "[]\n", false},
             {PLX00UP_BINARY, "10.0", "[quil]\n", false},
             {QRD00UP_BINARY, "6.1", "", true},
             {PLX00UP_BINARY, "6.1", "", true},
             {PLX00UP_BINARY, "unknown", "", true},
         }) {
        ProgramFolder folder;
        const std::string launcher = folder.Dir().File(fs::path(c.binary).filename());
        fs::copy_file(c.binary, launcher);
        fs::copy_file(UNLHA32_LIBRARY, folder.Dir().File("libunlha32.so"));
        folder.AddRestoreTool(true);
        folder.AddSuiteDatabase();
        // Left by an earlier run: only a system that repairs removes it.
        WriteFile(folder.Dir().File("RestorRegCompOrg.txt"), "");
        WriteFile(folder.Dir().File("Qrd0000.exe"), "#!/bin/sh\ntouch main-started.txt\n");
        chmod(folder.Dir().File("Qrd0000.exe").c_str(), 0755);
        ScopedEnv os("TOWAGI_OS_VERSION", c.osVersion);
        ScopedEnv qpa("QT_QPA_PLATFORM", "offscreen");
        // A box nobody can answer offscreen would hold the launcher for ever: a time limit ends it (124).
        int status = std::system(("timeout -k 5 60 '" + launcher + "'").c_str());
        ASSERT_TRUE(WIFEXITED(status)) << c.binary;
        ASSERT_NE(WEXITSTATUS(status), 124) << c.binary << " " << c.osVersion << " did not end";
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.binary;
        EXPECT_EQ(folder.ToolRuns(), c.wantRuns) << c.binary << " " << c.osVersion;
        EXPECT_EQ(folder.MarkerExists(), c.wantRuns.empty()) << c.binary << " " << c.osVersion;
        for (int i = 0; i < 500 && c.wantMainProgram && !fs::exists(folder.Dir().File("main-started.txt")); ++i)
            usleep(20'000);
        EXPECT_EQ(fs::exists(folder.Dir().File("main-started.txt")), c.wantMainProgram) << c.binary;
    }
}

} // namespace
} // namespace towagi
