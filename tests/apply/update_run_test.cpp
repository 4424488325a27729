#include "apply/update_run.h"

#include "support/errors.h"
#include "support/text.h"
#include "tests/common/update_site.h"
#include "transfer/update_settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace towagi {
namespace {

using testing::Exists;
using testing::FaultOptions;
using testing::kServerTime;
using testing::ModifiedTime;
using testing::ReadFile;
using testing::ScopedEnv;
using testing::UpdateSite;

constexpr const char* kRetryQuestion =
    "ダウンロードできなかった更新ファイルがあります。\r更新ファイルは適用されていません。\r"
    "全てのファイルをダウンロード後、更新が適用されます。\r"
    "再試行するか、『とわぎ』を起動しなおして、残りのファイルをダウンロードしてください。\r\r再試行しますか？";
const std::string kBig(4096, 'x');

void SwitchEverythingOn(UpdateSite& site) {
    const EditionProfile& p = site.Profile;
    for (const std::string* name :
         {&p.UpdateProgramValue, &p.UpdateExcelValue, &p.UpdateFrameValue, &p.UpdateHelpValue, &p.UpdateMastValue})
        site.Switch(*name, 1);
}

// Slot indices the run handed to the master import.
struct RecordedImports {
    std::vector<int> Slots;
    TUpdateRunSteps Steps() {
        TUpdateRunSteps steps;
        steps.ImportMasterFile = [this](TUpdateState&, int slot) { Slots.push_back(slot); };
        return steps;
    }
};

TEST(Execute, AppliesEveryCategoryWithTheServersTime) {
    struct Case {
        const EditionProfile* edition;
        std::vector<std::string> installed; // below the program folder
        bool stagingEmptied;
    };
    for (const auto& c : std::vector<Case>{
             {&EstimationEdition(),
              {"a.exe", "HELP_HTML/index.html", "HELP_HTML/_images/i.png", "HELP_HTML/_sources/s.txt",
               "HELP_HTML/_static/s.css", "HELP/h.hlp", "EXCEL/x.xls", "FRAME/f.frm"},
              true},
             {&CostEdition(), {"a.exe", "HELPJ/h.hlp", "EXCEL/x.xls", "FRAME/f.frm"}, false}}) {
        UpdateSite site(*c.edition);
        const EditionProfile& profile = *c.edition;
        std::filesystem::create_directories(site.ExeDir + profile.HelpFolderName);
        for (const auto& [server, name] : std::vector<std::pair<std::string, std::string>>{
                 {profile.DefaultUpdateServerDir, "a.exe"},
                 {profile.DefaultUpdateServerDir, profile.ProgramName},
                 {profile.DefaultExcelServerDir, "x.xls"},
                 {profile.DefaultFrameServerDir, "f.frm"},
                 {profile.DefaultHelpServerDir, "h.hlp"},
                 {"/towagi/HELP_HTML/", "index.html"},
                 {"/towagi/HELP_HTML_IMAGES/", "i.png"},
                 {"/towagi/HELP_HTML_SOURCES/", "s.txt"},
                 {"/towagi/HELP_HTML_STATIC/", "s.css"}})
            site.ServerFile(server.substr(1) + name, name == "a.exe" ? kBig : name);
        // The master category has no guard: the cost edition would fail on a missing server folder.
        std::filesystem::create_directories(site.ServerDir + "towagi/MAST");
        SwitchEverythingOn(site);
        FaultOptions options;
        if (profile.ReconnectInsideCategory) {
            // The connection drops in the middle of a file and is restored.
            options.FaultFile = "a.exe";
            options.DropAfter = 100;
            options.FaultyRetrs = 1;
        }
        site.StartServer(options);
        Execute(site.State);
        for (const std::string& installed : c.installed) {
            EXPECT_EQ(ModifiedTime(site.ExeDir + installed), kServerTime) << profile.ProgramName << " " << installed;
            const std::string name = installed.substr(installed.rfind('/') + 1);
            EXPECT_EQ(ReadFile(site.ExeDir + installed), name == "a.exe" ? kBig : name);
        }
        // The running launcher is never replaced, and its staged copy stays where it is.
        EXPECT_FALSE(Exists(site.ExeDir + profile.ProgramName));
        EXPECT_TRUE(Exists(site.UpdateDir + profile.ProgramName));
        EXPECT_EQ(Exists(site.UpdateDir + "a.exe"), !c.stagingEmptied);
        EXPECT_EQ(Exists(site.UpdateDir + "EXCEL/x.xls"), !c.stagingEmptied);
        EXPECT_EQ(site.TraceOf("Execute"),
                  (std::vector<std::string>{"Start", "■ 開始：ファイルのダウンロード", "   転送モード：Active",
                                            "■ 終了：ファイルのダウンロード", "FTPサーバから切断しました。",
                                            "■ 開始：ファイルの反映", "■ 終了：ファイルの反映", "End"}));
        EXPECT_EQ(site.Progress.Title, "ファイルを反映しています．．．");
        EXPECT_TRUE(site.Prompts->Texts(PromptKind::Message).empty());
    }
}

TEST(Execute, AFileThatNeverArrivesAppliesNothingUntilEverythingIsThere) {
    UpdateSite site;
    site.ServerFile("towagi/UPDATE/a.exe", kBig);
    site.ServerFile("towagi/UPDATE/b.exe", "b");
    site.ServerFile("towagi/MAST/BR01.ZIP", "m");
    site.Slot(1, "BR01|/srv/db/br01.fdb");
    site.Switch("Update_Program", 1);
    site.Switch("Update_Mast", 1);
    FaultOptions broken;
    broken.FaultFile = "a.exe";
    broken.AbortAfter = 100;
    site.StartServer(broken);
    site.Prompts->Answers = {PromptAnswer::Yes, PromptAnswer::No};
    RecordedImports imports;
    Execute(site.State, imports.Steps());
    EXPECT_EQ(site.Prompts->Texts(PromptKind::ConfirmationQuestion), (std::vector<std::string>{kRetryQuestion}));
    EXPECT_FALSE(Exists(site.ExeDir + "b.exe"));
    EXPECT_TRUE(Exists(site.UpdateDir + "b.exe"));
    // The pass's master archive goes, so that the next start fetches it again and imports it.
    EXPECT_FALSE(Exists(site.UpdateDir + "MAST/BR01.ZIP"));
    EXPECT_TRUE(imports.Slots.empty());
    const auto lines = site.TraceOf("Execute");
    EXPECT_EQ(lines.back(), "ダウンロードに失敗したファイルがあるため、更新を行わない。");

    // The next start: the server delivers, and only the missing files are fetched.
    site.State.AskBeforeUpdate = true;
    site.Progress = {};
    site.StartServer();
    const std::size_t before = site.Trace().size();
    Execute(site.State, imports.Steps());
    std::vector<std::string> fetched;
    const auto trace = site.Trace();
    for (std::size_t i = before; i < trace.size(); ++i)
        if (trace[i].rfind("FTP_Download ; 日付変更 : [", 0) == 0) fetched.push_back(trace[i]);
    EXPECT_EQ(fetched.size(), 2u); // a.exe and the master archive, not b.exe
    EXPECT_EQ(ReadFile(site.ExeDir + "a.exe"), kBig);
    EXPECT_EQ(ModifiedTime(site.ExeDir + "b.exe"), kServerTime);
    EXPECT_EQ(imports.Slots, (std::vector<int>{0}));
    EXPECT_EQ(site.TraceOf("Execute").back(), "End");
}

// A transfer that ends early but is answered 226, on every try: the file is never installed, and the next
// start, finding the installed copy still older than the server's, repairs it.
TEST(Execute, AShortTransferIsNeverInstalledAndTheNextStartRepairsIt) {
    const std::string large(200000, 'p');
    struct Case {
        const EditionProfile* edition;
        bool passive;
    };
    for (const auto& c : std::vector<Case>{
             {&EstimationEdition(), true}, {&EstimationEdition(), false}, {&CostEdition(), true}, {&CostEdition(), false}}) {
        UpdateSite site(*c.edition);
        const EditionProfile& profile = *c.edition;
        const std::string describe = profile.ProgramName + (c.passive ? " passive" : " active");
        const std::string program = profile.DefaultUpdateServerDir.substr(1);
        const std::string archive = "BR01" + UpperCase(profile.MasterArchiveExtensions.front());
        site.ServerFile(program + "a.exe", large);
        site.ServerFile(program + "b.exe", "b");
        site.ServerFile(program + "empty.dat", "");
        site.ServerFile(profile.DefaultExcelServerDir.substr(1) + "x.xls", "x");
        site.ServerFile("towagi/MAST/" + archive, "m");
        site.Slot(1, "BR01|/srv/db/br01.fdb");
        site.LocalFile(site.ExeDir + "a.exe", "installed", kServerTime - 86400);
        for (const std::string* name : {&profile.UpdateProgramValue, &profile.UpdateExcelValue, &profile.UpdateMastValue})
            site.Switch(*name, 1);
        site.Switch("FTP_ConnectMode", c.passive ? 1 : 0);
        FaultOptions shortening;
        shortening.FaultFile = "a.exe";
        shortening.ShortAfter = 1000;
        site.StartServer(shortening);
        // Yes to the version-up question; the estimation edition then asks whether to try again: No.
        site.Prompts->Answers = {PromptAnswer::Yes};
        if (profile.ReconnectInsideCategory) site.Prompts->Answers.push_back(PromptAnswer::No);
        RecordedImports imports;
        Execute(site.State, imports.Steps());

        EXPECT_EQ(ReadFile(site.ExeDir + "a.exe"), "installed") << describe;
        EXPECT_FALSE(Exists(site.UpdateDir + "a.exe")) << describe;
        EXPECT_FALSE(Exists(site.UpdateDir + ".partial")) << describe;
        EXPECT_TRUE(site.Traced(std::string("Execute ;    転送モード：") + (c.passive ? "Passive" : "Active")));
        const std::string shortLine = "FTP_Download ; ダウンロードしたファイルのサイズが一致しません : [" + site.UpdateDir +
                                      "a.exe] : サーバ=200000 受信=1000 : Retry=";
        for (int attempt = 0; attempt < 6; ++attempt)
            EXPECT_TRUE(site.Traced(shortLine + std::to_string(attempt))) << describe << " " << attempt;
        if (profile.ReconnectInsideCategory) {
            EXPECT_EQ(site.Prompts->Texts(PromptKind::ConfirmationQuestion), (std::vector<std::string>{kRetryQuestion}));
            // Nothing is applied; what arrived whole stays staged for the next start, but the master archive
            // of the pass goes, so that it is fetched and imported again.
            for (const char* name : {"b.exe", "empty.dat", "EXCEL/x.xls"}) {
                EXPECT_FALSE(Exists(site.ExeDir + name)) << describe << " " << name;
                EXPECT_TRUE(Exists(site.UpdateDir + name)) << describe << " " << name;
            }
            EXPECT_FALSE(Exists(site.UpdateDir + "MAST/" + archive));
            EXPECT_TRUE(imports.Slots.empty());
            EXPECT_EQ(site.TraceOf("Execute").back(), "ダウンロードに失敗したファイルがあるため、更新を行わない。");
        } else {
            // The cost edition reports the category and goes on with the others, without the file.
            EXPECT_EQ(site.Prompts->Texts(PromptKind::Message),
                      (std::vector<std::string>{"ダウンロード試行回数が5回を超えました。。"}))
                << describe;
            EXPECT_EQ(ReadFile(site.ExeDir + "EXCEL/x.xls"), "x");
            EXPECT_EQ(imports.Slots, (std::vector<int>{0}));
            EXPECT_EQ(site.TraceOf("Execute").back(), "End");
        }

        // The next start, with a server that delivers whole files.
        site.State.AskBeforeUpdate = true;
        site.Progress = {};
        site.StartServer();
        Execute(site.State, imports.Steps());
        EXPECT_EQ(ReadFile(site.ExeDir + "a.exe"), large) << describe;
        EXPECT_EQ(ModifiedTime(site.ExeDir + "a.exe"), kServerTime) << describe;
        EXPECT_EQ(ReadFile(site.ExeDir + "b.exe"), "b");
        EXPECT_TRUE(Exists(site.ExeDir + "empty.dat")) << describe;
        EXPECT_EQ(ReadFile(site.ExeDir + "empty.dat"), "");
        EXPECT_EQ(site.TraceOf("Execute").back(), "End");
    }
}

TEST(Execute, AnotherPassFetchesWhatIsMissingAndThenApplies) {
    UpdateSite site;
    site.ServerFile("towagi/UPDATE/a.exe", kBig);
    site.ServerFile("towagi/UPDATE/b.exe", "b");
    site.Switch("Update_Program", 1);
    FaultOptions options;
    options.FaultFile = "a.exe";
    options.AbortAfter = 100;
    options.FaultyRetrs = 6; // the first pass's six attempts
    site.StartServer(options);
    site.Prompts->Answers = {PromptAnswer::Yes, PromptAnswer::Yes};
    Execute(site.State);
    EXPECT_EQ(ReadFile(site.ExeDir + "a.exe"), kBig);
    EXPECT_EQ(ReadFile(site.ExeDir + "b.exe"), "b");
    EXPECT_FALSE(site.Progress.ReconnectSet);
    const auto lines = site.TraceOf("Execute");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "FTPサーバから切断しました。"), 2);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "■ リトライ開始：ファイルのダウンロード"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "■ リトライ終了：ファイルのダウンロード"), lines.end());
    EXPECT_EQ(lines.back(), "End");
}

TEST(Execute, CancelDuringTheDownloadAppliesNothingAndDropsTheMasterArchives) {
    UpdateSite site;
    site.ServerFile("towagi/UPDATE/a.exe", "a");
    site.ServerFile("towagi/MAST/BR01.ZIP", "1");
    site.ServerFile("towagi/MAST/BR02.ZIP", "2");
    site.Slot(1, "BR01|/srv/db/br01.fdb");
    site.Slot(2, "BR02|/srv/db/br02.fdb");
    site.Switch("Update_Program", 1);
    site.Switch("Update_Mast", 1);
    // The user presses cancel as the second archive comes up, whichever the server lists first.
    std::vector<std::string> archivesSeen;
    site.Progress.OnProcessMessages = [&](testing::RecordingProgressView& progress) {
        const std::string& name = progress.FileName;
        if (name.ends_with(".ZIP") && std::find(archivesSeen.begin(), archivesSeen.end(), name) == archivesSeen.end())
            archivesSeen.push_back(name);
        if (archivesSeen.size() == 2) progress.CancelPressed = true;
    };
    site.StartServer();
    RecordedImports imports;
    Execute(site.State, imports.Steps());
    EXPECT_FALSE(Exists(site.ExeDir + "a.exe"));
    EXPECT_TRUE(Exists(site.UpdateDir + "a.exe"));
    EXPECT_FALSE(Exists(site.UpdateDir + "MAST/BR01.ZIP"));
    EXPECT_FALSE(Exists(site.UpdateDir + "MAST/BR02.ZIP"));
    EXPECT_TRUE(imports.Slots.empty());
    EXPECT_TRUE(site.Traced("FTP_Download ; 日付変更 : [" + site.UpdateDir + "MAST/" + archivesSeen.at(0) + "] : " +
                            FormatDateTime(kServerTime)));
    EXPECT_EQ(site.TraceOf("Execute").back(), "FTPサーバから切断しました。");
}

TEST(Execute, TheDeclinedQuestionEndsTheRunNormally) {
    UpdateSite site;
    site.ServerFile("towagi/UPDATE/a.exe", "a");
    site.LocalFile(site.UpdateDir + "b.exe", "staged earlier");
    site.Switch("Update_Program", 1);
    site.StartServer();
    site.Prompts->Answers = {PromptAnswer::No};
    Execute(site.State);
    EXPECT_TRUE(site.State.UpdateDeclined);
    EXPECT_FALSE(Exists(site.ExeDir + "a.exe"));
    EXPECT_FALSE(Exists(site.ExeDir + "b.exe"));
    const auto lines = site.TraceOf("Execute");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "FTPサーバから切断しました。");
    EXPECT_EQ(lines[lines.size() - 2], "キャンセルしました");
    EXPECT_EQ(lines.back(), "End");
}

TEST(Execute, NoServerAppliesWhatIsStagedAndKeepsIt) {
    for (const EditionProfile* edition : {&EstimationEdition(), &CostEdition()}) {
        UpdateSite site(*edition);
        WriteMachineString(testing::kUpdateSettings, "FTP_HOST", "0.0.0.0", true);
        site.LocalFile(site.UpdateDir + "a.exe", "a");
        site.LocalFile(site.UpdateDir + "EXCEL/x.xls", "x");
        site.Switch(edition->UpdateProgramValue, 1);
        site.Switch(edition->UpdateExcelValue, 1);
        Execute(site.State);
        EXPECT_EQ(ModifiedTime(site.ExeDir + "a.exe"), kServerTime) << edition->ProgramName;
        EXPECT_EQ(ModifiedTime(site.ExeDir + "EXCEL/x.xls"), kServerTime);
        EXPECT_TRUE(Exists(site.UpdateDir + "a.exe"));
        EXPECT_TRUE(Exists(site.UpdateDir + "EXCEL/x.xls"));
        EXPECT_EQ(site.TraceOf("Execute"),
                  (std::vector<std::string>{"Start", "■ 開始：ファイルの反映", "■ 終了：ファイルの反映", "End"}));
        EXPECT_TRUE(site.TraceOf("FTP_IdConnectServer").empty());
    }
}

TEST(Execute, AMissingExcelFolderStopsTheApplyPhaseThere) {
    UpdateSite site;
    WriteMachineString(testing::kUpdateSettings, "FTP_HOST", "0.0.0.0", true);
    const std::string excel = site.ExeDir + "NO_SUCH_EXCEL";
    WriteMachineString(std::string(kProductRoot) + "\\PATH\\EXCEL", "PATH1", "|" + excel, true);
    site.LocalFile(site.UpdateDir + "a.exe", "a");
    site.LocalFile(site.UpdateDir + "HELP_HTML/index.html", "i");
    site.LocalFile(site.UpdateDir + "EXCEL/x.xls", "x");
    site.LocalFile(site.UpdateDir + "FRAME/f.frm", "f");
    site.LocalFile(site.UpdateDir + "MAST/BR01.ZIP", "m");
    site.State.MasterFiles = {"BR01.ZIP"};
    SwitchEverythingOn(site);
    try {
        Execute(site.State);
        FAIL() << "a missing installed folder went unreported";
    } catch (const EUpdateError& e) {
        EXPECT_EQ(std::string(e.what()), "ディレクトリ[" + excel + "/]が存在しません");
    }
    EXPECT_TRUE(Exists(site.ExeDir + "a.exe"));
    EXPECT_TRUE(Exists(site.ExeDir + "HELP_HTML/index.html"));
    EXPECT_FALSE(Exists(site.ExeDir + "FRAME/f.frm"));
    // Left staged, the archive would count as imported at the next start.
    EXPECT_FALSE(Exists(site.UpdateDir + "MAST/BR01.ZIP"));
    EXPECT_EQ(site.TraceOf("Execute").back(), "■ 開始：ファイルの反映");
}

TEST(Execute, MasterSlotsAreImportedWhereTheirDatabaseIsLocal) {
    const std::string address = GetLocalIPAddress();
    ASSERT_FALSE(address.empty());
    struct Case {
        const EditionProfile* edition;
        std::string osVersion;
        std::vector<int> imported;
        std::vector<std::string> lines;
        std::string slot1; // PATH1 afterwards
    };
    for (const auto& c : std::vector<Case>{
             {&EstimationEdition(), "6.1", {0, 2, 3},
              {"BR01はローカルを参照しているので、更新する",
               "BR01はVISTAでローカル参照だが、\"LOCALHOST:\"の設定がないので追加する",
               "BR02はサーバーを参照しているので、更新しない", "BR03はローカルIPを参照しているので、更新する",
               "BR04はローカルを参照しているので、更新する"},
              "BR01|LOCALHOST:/srv/db/br01.fdb "},
             {&EstimationEdition(), "10.0", {0, 2, 3},
              {"BR01はローカルを参照しているので、更新する", "BR02はサーバーを参照しているので、更新しない",
               "BR03はローカルIPを参照しているので、更新する", "BR04はローカルを参照しているので、更新する"},
              "BR01 |/srv/db/br01.fdb |old"},
             {&CostEdition(), "6.1", {0},
              {"BR01はローカルを参照しているので、更新する", "BR02はサーバーを参照しているので、更新しない",
               "BR03はサーバーを参照しているので、更新しない", "BR04はサーバーを参照しているので、更新しない"},
              "BR01 |/srv/db/br01.fdb |old"}}) {
        ScopedEnv os("TOWAGI_OS_VERSION", c.osVersion);
        UpdateSite site(*c.edition);
        WriteMachineString(testing::kUpdateSettings, "FTP_HOST", "0.0.0.0", true);
        site.Switch(c.edition->UpdateMastValue, 1);
        site.Slot(1, "BR01 |/srv/db/br01.fdb |old");
        site.Slot(2, "BR02|10.255.255.1:/srv/db/br02.fdb");
        site.Slot(3, "BR03|" + address + ":/srv/db/br03.fdb");
        site.Slot(4, "BR04|localhost:/srv/db/br04.fdb");
        site.Slot(5, "|/srv/db/unused.fdb");
        RecordedImports imports;
        Execute(site.State, imports.Steps());
        EXPECT_EQ(imports.Slots, c.imported) << c.edition->ProgramName << " " << c.osVersion;
        auto lines = site.TraceOf("Execute");
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end() - 2), c.lines) << c.osVersion;
        EXPECT_EQ(ReadMachineString(testing::kSlotSettings, "PATH1", false), c.slot1);
        EXPECT_EQ(ReadMachineString(testing::kSlotSettings, "PATH4", false), "BR04|localhost:/srv/db/br04.fdb");
    }
}

TEST(Execute, TheServerThatCannotBeReachedIsTheOneConnectError) {
    UpdateSite site;
    site.Switch("Update_Program", 1);
    WriteMachineString(testing::kUpdateSettings, "FTP_HOST", "127.0.0.1", true);
    WriteMachineInteger(testing::kUpdateSettings, "FTP_Port", testing::UnusedPort(), true);
    WriteMachineString(testing::kUpdateSettings, "FTP_UserID", "towagi", true);
    try {
        Execute(site.State);
        FAIL() << "an unreachable server went unreported";
    } catch (const EUpdateError& e) {
        EXPECT_STREQ(e.what(), "本社サーバとの接続に失敗しました。");
    }
    EXPECT_EQ(site.TraceOf("Execute"), (std::vector<std::string>{"Start", "本社サーバとの接続に失敗しました。"}));
}

TEST(Execute, StagingFoldersThatWouldBeTheInstallationAreRefused) {
    struct Case {
        std::string updatePath;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {"", "アップデート用のフォルダが存在しません。\r\n管理・管理２・環境設定で設定を行ってください。"},
             {"|  ", "アップデート用のフォルダが存在しません。\r\n管理・管理２・環境設定で設定を行ってください。"},
             {"|@PROGRAM@", "アップデート用のフォルダが不正です。\r\n管理・管理２・環境設定で設定を行ってください。"}}) {
        UpdateSite site;
        std::string value = c.updatePath;
        if (value == "|@PROGRAM@") value = "|" + UpperCase(site.ExeDir.substr(0, site.ExeDir.size() - 1));
        WriteMachineString(testing::kUpdateSettings, "PATH1", value, true);
        WriteMachineString(testing::kUpdateSettings, "FTP_HOST", "0.0.0.0", true);
        site.Switch("Update_Program", 1);
        site.LocalFile(site.ExeDir + "kept.dat", "k");
        try {
            Execute(site.State);
            FAIL() << "staging folder " << value << " was used";
        } catch (const EUpdateError& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << value;
        }
        EXPECT_TRUE(Exists(site.ExeDir + "kept.dat"));
    }
}

} // namespace
} // namespace towagi
