#include "transfer/download_engine.h"

#include "support/errors.h"
#include "support/text.h"
#include "tests/common/update_site.h"
#include "transfer/update_settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace towagi {
namespace {

using testing::Exists;
using testing::FaultOptions;
using testing::kServerTime;
using testing::ModifiedTime;
using testing::ReadFile;
using testing::UpdateSite;
using testing::WriteFile;

// The server's time as its time-stamp text; read in the site's time zone.
std::string Stamp() {
    return FormatDateTime(kServerTime);
}
const std::string kBig(4096, 'x');

// Lines of `operation` that begin with `prefix`.
std::vector<std::string> LinesStartingWith(const UpdateSite& site, const std::string& operation,
                                           const std::string& prefix) {
    std::vector<std::string> lines;
    for (const std::string& text : site.TraceOf(operation))
        if (text.rfind(prefix, 0) == 0) lines.push_back(text);
    return lines;
}

FaultOptions FaultsOn(const std::string& file) {
    FaultOptions options;
    options.FaultFile = file;
    return options;
}

// Two program files on the server; a.exe is the one the faults hit.
void TwoProgramFiles(UpdateSite& site) {
    site.ServerFile("towagi/UPDATE/a.exe", kBig);
    site.ServerFile("towagi/UPDATE/b.exe", "b");
}

bool Download(UpdateSite& site) {
    return FTP_Download(site.State, *site.Client, "/towagi/UPDATE/", {Stamp(), Stamp()}, {"a.exe", "b.exe"},
                        site.UpdateDir);
}

TEST(FTP_Download, AFileThatFailsTwiceThenArrivesIsStagedWithTheServersTime) {
    UpdateSite site;
    TwoProgramFiles(site);
    FaultOptions options = FaultsOn("a.exe");
    options.AbortAfter = 100;
    options.FaultyRetrs = 2;
    site.Start(options);
    EXPECT_TRUE(Download(site));
    const std::string a = site.UpdateDir + "a.exe";
    EXPECT_EQ(ReadFile(a), kBig);
    EXPECT_EQ(ModifiedTime(a), kServerTime);
    EXPECT_EQ(ReadFile(site.UpdateDir + "b.exe"), "b");
    const auto lines = site.TraceOf("FTP_Download");
    const std::string failure = "ダウンロード中ファイルにエラーが発生しました : [" + a + "] : 426";
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "Start");
    EXPECT_EQ(lines[1], "from [/towagi/UPDATE/] to[" + site.UpdateDir + "]");
    EXPECT_EQ(lines[2].rfind(failure, 0), 0u) << lines[2];
    EXPECT_TRUE(lines[2].ends_with("Retry=0")) << lines[2];
    EXPECT_EQ(lines[3].rfind(failure, 0), 0u) << lines[3];
    EXPECT_TRUE(lines[3].ends_with("Retry=1")) << lines[3];
    EXPECT_EQ(lines[4], "日付変更 : [" + a + "] : " + Stamp());
    EXPECT_EQ(lines[5], "日付変更 : [" + site.UpdateDir + "b.exe] : " + Stamp());
    EXPECT_EQ(lines[6], "End");
    EXPECT_FALSE(site.Progress.ReconnectSet);
    EXPECT_FALSE(Exists(site.UpdateDir + ".partial"));
    EXPECT_EQ(site.Progress.Title, "更新ファイルをダウンロードしています．．．");
    EXPECT_EQ(site.Progress.Status, "/towagi/UPDATE/ (2/2):");
    EXPECT_EQ(site.Progress.Maximum, 2);
    EXPECT_EQ(site.Progress.Position, 2);
}

// Six failed attempts, by a 426 reply or by a transfer that ends early with 226 and so arrives short.
TEST(FTP_Download, SixFailuresWithoutALostConnection) {
    struct Case {
        const EditionProfile* edition;
        bool endsEarly;
        bool passive;
    };
    for (const auto& c : std::vector<Case>{{&EstimationEdition(), false, false},
                                           {&CostEdition(), false, false},
                                           {&EstimationEdition(), true, true},
                                           {&EstimationEdition(), true, false},
                                           {&CostEdition(), true, true},
                                           {&CostEdition(), true, false}}) {
        const std::string describe =
            c.edition->ProgramName + (c.endsEarly ? " short" : " 426") + (c.passive ? " passive" : " active");
        UpdateSite site(*c.edition);
        TwoProgramFiles(site);
        // A copy staged by an earlier pass must not be taken for this one.
        site.LocalFile(site.UpdateDir + "a.exe", "earlier", kServerTime - 3600);
        FaultOptions options = FaultsOn("a.exe");
        if (c.endsEarly)
            options.ShortAfter = 1000;
        else
            options.AbortAfter = 100;
        site.Start(options);
        site.Client->SetPassive(c.passive);
        const std::string a = site.UpdateDir + "a.exe";
        if (c.edition->ReconnectInsideCategory) {
            EXPECT_TRUE(Download(site));
            EXPECT_TRUE(site.Progress.ReconnectSet);
            EXPECT_FALSE(Exists(a)) << describe;
        } else {
            try {
                Download(site);
                FAIL() << "a file that never arrived went unreported";
            } catch (const EUpdateError& e) {
                EXPECT_STREQ(e.what(), "ダウンロード試行回数が5回を超えました。。");
            }
            EXPECT_FALSE(site.Progress.ReconnectSet);
            // Nothing took the file's name (the category empties the staging folder before it fetches).
            EXPECT_EQ(ReadFile(a), "earlier") << describe;
        }
        EXPECT_EQ(Exists(site.UpdateDir + "b.exe"), c.edition->ReconnectInsideCategory) << describe;
        if (c.endsEarly) {
            const auto failures = LinesStartingWith(site, "FTP_Download", "ダウンロードしたファイルのサイズが");
            ASSERT_EQ(failures.size(), 6u) << describe;
            for (int attempt = 0; attempt < 6; ++attempt)
                EXPECT_EQ(failures[attempt], "ダウンロードしたファイルのサイズが一致しません : [" + a +
                                                 "] : サーバ=4096 受信=1000 : Retry=" + std::to_string(attempt));
        } else {
            const auto failures = LinesStartingWith(site, "FTP_Download",
                                                    c.edition->DownloadFailureTracedByKind
                                                        ? "ダウンロード中ファイルにエラーが発生しました : ["
                                                        : "ダウンロード作業中に例外が発生しました : [");
            ASSERT_EQ(failures.size(), 6u) << describe;
            for (int attempt = 0; attempt < 6; ++attempt) {
                const std::string retry = "Retry=" + std::to_string(attempt);
                // The cost edition puts the attempt before the reply's text, the estimation edition after it.
                EXPECT_NE(
                    failures[attempt].find(c.edition->DownloadFailureTracedByKind ? retry : retry + " : 426"),
                    std::string::npos)
                    << failures[attempt];
            }
        }
        EXPECT_EQ(LinesStartingWith(site, "FTP_Download", "ダウンロード試行回数が"),
                  (std::vector<std::string>{"ダウンロード試行回数が5回を超えました。 : [" + a + "] "}));
        EXPECT_FALSE(Exists(site.UpdateDir + ".partial/a.exe"));
    }
}

TEST(FTP_Download, ALostConnectionIsRestoredAndTheSameFileFetchedAgain) {
    UpdateSite site;
    TwoProgramFiles(site);
    FaultOptions options = FaultsOn("a.exe");
    options.DropAfter = 100;
    options.FaultyRetrs = 1;
    // The first reconnect try finds the server refusing every log-in; the second gets through.
    options.DropConnections = "2-11";
    site.Start(options);
    EXPECT_TRUE(Download(site));
    const std::string a = site.UpdateDir + "a.exe";
    EXPECT_EQ(ReadFile(a), kBig);
    EXPECT_EQ(ModifiedTime(a), kServerTime);
    EXPECT_FALSE(site.Progress.ReconnectSet);
    EXPECT_FALSE(site.Progress.CancelPressed);
    EXPECT_EQ(site.Progress.Message, "");
    const auto lines = site.TraceOf("FTP_Download");
    const std::vector<std::string> want{
        "Start",
        "from [/towagi/UPDATE/] to[" + site.UpdateDir + "]",
        "ダウンロード作業中にネットワークが切断されました : [" + a + "] : Retry=0",
        "FTPの接続を解除しました : Retry=0",
        "　再接続しています : [" + a + "] : Retry=1",
        "　再接続しています : [" + a + "] : Retry=2",
        "日付変更 : [" + a + "] : " + Stamp(),
        "日付変更 : [" + site.UpdateDir + "b.exe] : " + Stamp(),
        "End"};
    EXPECT_EQ(lines, want);
    // Ten connect attempts 2 s apart on the first try, 3 s before the second, then no more waiting.
    std::vector<int> pauses(9, 2000);
    pauses.push_back(3000);
    EXPECT_EQ(site.Clock.Pauses, pauses);
}

TEST(FTP_Download, ReconnectingThatNeverSucceedsCancelsAndReportsTheFile) {
    UpdateSite site;
    TwoProgramFiles(site);
    FaultOptions options = FaultsOn("a.exe");
    options.DropAfter = 100;
    options.DropConnections = "2-100000";
    site.Start(options);
    const TFTPDIR folders{"/towagi/UPDATE/", site.ExeDir, site.UpdateDir, kKubunProgram};
    FTP_Update(site.State, *site.Client, folders);
    EXPECT_TRUE(site.Progress.CancelPressed);
    EXPECT_TRUE(site.Progress.ReconnectSet);
    EXPECT_FALSE(Exists(site.UpdateDir + "a.exe"));
    EXPECT_FALSE(Exists(site.UpdateDir + "b.exe"));
    EXPECT_EQ(LinesStartingWith(site, "FTP_Download", "　再接続しています").size(), 20u);
    EXPECT_EQ(site.TraceOf("FTP_Download").back(),
              "ダウンロード試行回数が5回を超えました。 : [" + site.UpdateDir + "a.exe] ");
    EXPECT_EQ(site.Prompts->Texts(PromptKind::Message),
              (std::vector<std::string>{"ファイルのダウンロードに失敗しました。"}));
}

// A program file of 200,000 bytes that the faults hit, a small one and an empty one, as the catalogue lists
// them.
const std::string kLarge(200000, 'p');
void ProgramFilesWithAnEmptyOne(UpdateSite& site) {
    const std::string folder = site.Profile.DefaultUpdateServerDir.substr(1);
    site.ServerFile(folder + "a.exe", kLarge);
    site.ServerFile(folder + "b.exe", "b");
    site.ServerFile(folder + "empty.dat", "");
}

TFTPDIR ProgramFolders(const UpdateSite& site) {
    return {site.Profile.DefaultUpdateServerDir, site.ExeDir, site.UpdateDir, kKubunProgram};
}

// The commands the server received that begin with `prefix`.
std::vector<std::string> CommandsStartingWith(const std::string& log, const std::string& prefix) {
    std::vector<std::string> commands;
    std::istringstream lines(Exists(log) ? ReadFile(log) : "");
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(prefix, 0) == 0) commands.push_back(line);
    return commands;
}

struct EditionAndMode {
    const EditionProfile* edition;
    bool passive;
};
const std::vector<EditionAndMode> kEditionsAndModes{
    {&EstimationEdition(), true}, {&EstimationEdition(), false}, {&CostEdition(), true}, {&CostEdition(), false}};

std::string Describe(const EditionAndMode& c) {
    return c.edition->ProgramName + (c.passive ? " passive" : " active");
}

TEST(FTP_Update, ATransferThatEndsEarlyOnceIsFetchedAgainWhole) {
    for (const auto& c : kEditionsAndModes) {
        UpdateSite site(*c.edition);
        ProgramFilesWithAnEmptyOne(site);
        FaultOptions options = FaultsOn("a.exe");
        options.ShortAfter = 1000;
        options.FaultyRetrs = 1;
        options.CommandLog = site.ServerDir + "../commands.log";
        site.Start(options);
        site.Client->SetPassive(c.passive);
        FTP_Update(site.State, *site.Client, ProgramFolders(site));
        const std::string a = site.UpdateDir + "a.exe";
        EXPECT_EQ(ReadFile(a), kLarge) << Describe(c);
        EXPECT_EQ(ModifiedTime(a), kServerTime) << Describe(c);
        EXPECT_EQ(ReadFile(site.UpdateDir + "b.exe"), "b");
        // An empty file is whole at 0 bytes.
        EXPECT_TRUE(Exists(site.UpdateDir + "empty.dat")) << Describe(c);
        EXPECT_EQ(ReadFile(site.UpdateDir + "empty.dat"), "");
        EXPECT_EQ(ModifiedTime(site.UpdateDir + "empty.dat"), kServerTime);
        EXPECT_EQ(LinesStartingWith(site, "FTP_Download", "ダウンロードしたファイルのサイズが"),
                  std::vector<std::string>{"ダウンロードしたファイルのサイズが一致しません : [" + a +
                                           "] : サーバ=200000 受信=1000 : Retry=0"})
            << Describe(c);
        EXPECT_EQ(LinesStartingWith(site, "FTP_Download", "日付変更 : [").size(), 3u);
        EXPECT_TRUE(LinesStartingWith(site, "FTP_Download", "ダウンロード試行回数が").empty());
        EXPECT_EQ(site.TraceOf("FTP_Download").back(), "End");
        EXPECT_FALSE(site.Progress.ReconnectSet);
        EXPECT_TRUE(site.Prompts->Texts(PromptKind::Message).empty());
        // The listing gave every size: SIZE was asked only to judge the short attempt.
        EXPECT_EQ(CommandsStartingWith(options.CommandLog, "SIZE"), std::vector<std::string>{"SIZE a.exe"})
            << Describe(c);
    }
}

TEST(FTP_Download, TheSizeComesFromSIZEWhereNoListingGaveOne) {
    struct Case {
        bool sizeRefused;
        long long shortAfter;
        std::vector<std::string> sizeCommands;
        std::vector<std::string> lines; // after "from"; "{}" stands for the update folder, "{t}" for the stamp
    };
    for (const auto& c : std::vector<Case>{
             // Asked once per file after its transfer; the repeated attempt knows the size already.
             {false, 100, {"SIZE a.exe", "SIZE b.exe"},
              {"ダウンロードしたファイルのサイズが一致しません : [{}a.exe] : サーバ=4096 受信=100 : Retry=0",
               "日付変更 : [{}a.exe] : {t}", "日付変更 : [{}b.exe] : {t}"}},
             // A server that tells no size: what arrived cannot be checked, and the trace says so.
             {true, -1, {"SIZE a.exe", "SIZE b.exe"},
              {"サーバがサイズを答えないため、受信サイズを確認できません : [{}a.exe]", "日付変更 : [{}a.exe] : {t}",
               "サーバがサイズを答えないため、受信サイズを確認できません : [{}b.exe]", "日付変更 : [{}b.exe] : {t}"}},
         }) {
        UpdateSite site;
        TwoProgramFiles(site);
        FaultOptions options = FaultsOn("a.exe");
        options.ShortAfter = c.shortAfter;
        options.FaultyRetrs = 1;
        options.RefuseSize = c.sizeRefused;
        options.CommandLog = site.ServerDir + "../commands.log";
        site.Start(options);
        EXPECT_TRUE(Download(site));
        EXPECT_EQ(ReadFile(site.UpdateDir + "a.exe"), kBig);
        std::vector<std::string> want{"Start", "from [/towagi/UPDATE/] to[" + site.UpdateDir + "]"};
        for (std::string line : c.lines) {
            for (std::size_t at; (at = line.find("{}")) != std::string::npos;)
                line.replace(at, 2, site.UpdateDir);
            if (std::size_t at = line.find("{t}"); at != std::string::npos) line.replace(at, 3, Stamp());
            want.push_back(line);
        }
        want.push_back("End");
        EXPECT_EQ(site.TraceOf("FTP_Download"), want);
        EXPECT_EQ(CommandsStartingWith(options.CommandLog, "SIZE"), c.sizeCommands);
    }
}

TEST(FTP_Update, AFileReplacedOnTheServerAfterTheListingIsFetchedAgainWithItsNewTime) {
    struct Case {
        std::string bytes;
        std::time_t time;
        std::string sizes; // as the trace line shows the change
    };
    const std::time_t later = kServerTime + 3600;
    const std::vector<Case> cases{
        {std::string(300000, 'n'), later, "200000→300000"},
        {std::string(200000, 'n'), later, "200000→200000"},
        // Replaced by a copy that kept the old time: the size tells.
        {std::string(100, 'n'), kServerTime, "200000→100"},
    };
    for (const auto& c : cases) {
        for (const auto& mode : kEditionsAndModes) {
            UpdateSite site(*mode.edition);
            const std::string change = "日時=" + Stamp() + "→" + FormatDateTime(c.time) + " サイズ=" + c.sizes;
            ProgramFilesWithAnEmptyOne(site);
            const std::string replacement = site.ServerDir + "../replacement";
            site.LocalFile(replacement, c.bytes, c.time);
            FaultOptions options;
            options.Replace = {{"a.exe", replacement}};
            site.Start(options);
            site.Client->SetPassive(mode.passive);
            FTP_Update(site.State, *site.Client, ProgramFolders(site));
            const std::string a = site.UpdateDir + "a.exe";
            EXPECT_EQ(ReadFile(a), c.bytes) << Describe(mode) << " " << change;
            EXPECT_EQ(ModifiedTime(a), c.time) << Describe(mode) << " " << change;
            EXPECT_EQ(LinesStartingWith(site, "FTP_Download", "サーバ上のファイルが"),
                      std::vector<std::string>{"サーバ上のファイルが一覧取得後に変更されました : [" + a + "] : " +
                                               change + " : Retry=0"})
                << Describe(mode);
            EXPECT_TRUE(site.Traced("FTP_Download ; 日付変更 : [" + a + "] : " + FormatDateTime(c.time)));
            EXPECT_TRUE(LinesStartingWith(site, "FTP_Download", "ダウンロードしたファイルのサイズが").empty());
            EXPECT_FALSE(site.Progress.ReconnectSet);
        }
    }
}

TEST(FTP_Update_Mast, AMasterArchiveThatEndsEarlyOnceIsFetchedAgainWhole) {
    for (const auto& c : kEditionsAndModes) {
        UpdateSite site(*c.edition);
        const std::string archive = "BR01" + UpperCase(c.edition->MasterArchiveExtensions.front());
        site.ServerFile("towagi/MAST/" + archive, kLarge);
        site.Slot(1, "BR01|/srv/db/br01.fdb");
        FaultOptions options = FaultsOn(archive);
        options.ShortAfter = 1000;
        options.FaultyRetrs = 1;
        site.Start(options);
        site.Client->SetPassive(c.passive);
        FTP_Update_Mast(site.State, *site.Client, GetMastDir(site.State));
        const std::string staged = site.UpdateDir + "MAST/" + archive;
        EXPECT_EQ(ReadFile(staged), kLarge) << Describe(c);
        EXPECT_EQ(ModifiedTime(staged), kServerTime);
        EXPECT_EQ(LinesStartingWith(site, "FTP_Download", "ダウンロードしたファイルのサイズが"),
                  std::vector<std::string>{"ダウンロードしたファイルのサイズが一致しません : [" + staged +
                                           "] : サーバ=200000 受信=1000 : Retry=0"})
            << Describe(c);
        EXPECT_EQ(site.TraceOf("FTP_Update_Mast").back(), "End");
    }
}

TEST(FTP_DownAllCategory, CancelDuringAReconnectWaitEndsTheDownloadPhase) {
    UpdateSite site;
    TwoProgramFiles(site);
    site.ServerFile("towagi/EXCEL/x.xls", "x");
    site.Switch("Update_Program", 1);
    site.Switch("Update_Excel", 1);
    site.Clock.OnPause = [&](int milliseconds) {
        if (milliseconds == 3000) site.Progress.CancelPressed = true;
    };
    FaultOptions options = FaultsOn("a.exe");
    options.DropAfter = 100;
    options.DropConnections = "2-100000";
    site.Start(options);
    FTP_DownAllCategory(site.State, *site.Client);
    EXPECT_EQ(LinesStartingWith(site, "FTP_Download", "　再接続しています").size(), 1u);
    // FTP_Download returned at once: no end line, nothing more fetched, nothing half-fetched left.
    EXPECT_EQ(LinesStartingWith(site, "FTP_Download", "End").size(), 0u);
    EXPECT_FALSE(Exists(site.UpdateDir + "a.exe"));
    EXPECT_FALSE(Exists(site.UpdateDir + "b.exe"));
    EXPECT_FALSE(Exists(site.UpdateDir + ".partial/a.exe"));
    EXPECT_FALSE(Exists(site.UpdateDir + "EXCEL/x.xls"));
    EXPECT_EQ(site.TraceOf("FTP_Update"), (std::vector<std::string>{"Start", "◆ アップデートファイル一覧取得",
                                                                    "◆ STEP1 ローカルのUPDATEフォルダを初期化",
                                                                    "◆ STEP2 ファイルをダウンロード", "End"}));
    EXPECT_EQ(site.TraceOf("FTP_DownAllCategory"), (std::vector<std::string>{"Start", "UPDATE : 処理完了", "End"}));
    EXPECT_TRUE(site.Prompts->Texts(PromptKind::Message).empty());
}

TEST(FTP_DownAllCategory, DecliningInTheExcelCategoryEndsEverything) {
    UpdateSite site;
    site.ServerFile("towagi/UPDATE/a.exe", "a");
    site.LocalFile(site.ExeDir + "a.exe", "a"); // program files are up to date
    site.ServerFile("towagi/EXCEL/x.xls", "x");
    site.ServerFile("towagi/FRAME/f.frm", "f");
    site.ServerFile("towagi/MAST/BR01.ZIP", "m");
    site.Slot(1, "BR01|/srv/db/br01.fdb");
    for (const char* name : {"Update_Program", "Update_Excel", "Update_Frame", "Update_Help", "Update_Mast"})
        site.Switch(name, 1);
    site.Prompts->Answers = {PromptAnswer::No};
    site.Start();
    try {
        FTP_DownAllCategory(site.State, *site.Client);
        FAIL() << "the declined question went on";
    } catch (const ECancel& e) {
        EXPECT_STREQ(e.what(), "FTP_DownAllCategory : 中断処理");
    }
    EXPECT_TRUE(site.State.UpdateDeclined);
    EXPECT_EQ(site.TraceOf("FTP_DownAllCategory"),
              (std::vector<std::string>{"Start", "UPDATE : 処理完了", "■ 中断処理"}));
    EXPECT_TRUE(site.TraceOf("GetFrameDir").empty());
    EXPECT_TRUE(site.TraceOf("GetMastDir").empty());
    EXPECT_FALSE(Exists(site.UpdateDir + "EXCEL/x.xls"));
    EXPECT_FALSE(Exists(site.UpdateDir + "MAST/BR01.ZIP"));
}

TEST(FTP_DownAllCategory, AllSwitchesOffRunsTheFolderStepsOnly) {
    struct Case {
        const EditionProfile* edition;
        std::vector<std::string> steps;
    };
    for (const auto& c : std::vector<Case>{
             {&EstimationEdition(),
              {"GetUpdateDir", "GetExcelDir", "GetFrameDir", "GetHelpDir", "GetHTMLHELPDir", "GetHTMLimagesDir",
               "GetHTMLsourcesDir", "GetHTMLstaticDir"}},
             {&CostEdition(), {"GetUpdateDir", "GetExcelDir", "GetFrameDir", "GetHelpDir"}}}) {
        UpdateSite site(*c.edition);
        site.ServerFile(c.edition->DefaultUpdateServerDir.substr(1) + "a.exe", "a");
        site.Switch(c.edition->UpdateProgramValue, 0);
        site.Start();
        FTP_DownAllCategory(site.State, *site.Client);
        std::vector<std::string> steps;
        for (const std::string& line : site.Trace()) {
            const std::string operation = line.substr(0, line.find(" ; "));
            if (operation.rfind("Get", 0) == 0 && line.ends_with("; Start")) steps.push_back(operation);
        }
        EXPECT_EQ(steps, c.steps);
        EXPECT_TRUE(site.TraceOf("FTP_Update").empty());
        EXPECT_EQ(site.TraceOf("FTP_DownAllCategory"), (std::vector<std::string>{"Start", "End"}));
        EXPECT_EQ(site.TraceOf("EXCEL_FLAG_PATH_Check").size(), c.edition->RepairExcelFrameFolders ? 2u : 0u);
        EXPECT_FALSE(Exists(site.UpdateDir + "a.exe"));
    }
}

TEST(FTP_DownAllCategory, AnEmptyExcelFolderSettingIsRepaired) {
    struct Case {
        std::string stored;
        bool repaired;
    };
    for (const auto& c : std::vector<Case>{{"", true}, {"|", true}, {"installed|EXCEL", true}, {"|/srv/excel", false}}) {
        UpdateSite site;
        const std::string key = std::string(kProductRoot) + "\\PATH\\EXCEL";
        WriteMachineString(key, "PATH1", c.stored, true);
        std::filesystem::remove(site.ExeDir + "EXCEL");
        site.Switch("Update_Excel", 1);
        site.ServerFile("towagi/UPDATE/a.exe", "a");
        site.Start();
        FTP_DownAllCategory(site.State, *site.Client);
        const std::string folder = site.ExeDir + "EXCEL";
        EXPECT_EQ(ReadMachineString(key, "PATH1", false), c.repaired ? "|" + folder : c.stored) << c.stored;
        EXPECT_EQ(std::filesystem::is_directory(folder), c.repaired) << c.stored;
        const std::vector<std::string> lines =
            c.repaired ? std::vector<std::string>{"Start", "CreateExcelReg:" + folder, "CreateExcelDir:" + folder, "End"}
                       : std::vector<std::string>{"Start", "End"};
        EXPECT_EQ(site.TraceOf("EXCEL_FLAG_PATH_Check"), lines) << c.stored;
        // The switched-off frame category is left alone.
        EXPECT_EQ(site.TraceOf("FRAME_FLAG_PATH_Check"), (std::vector<std::string>{"Start", "End"}));
    }
}

TEST(FTP_DownAllCategory, NothingNewCreatesNoStagingFolderAndShowsNothing) {
    UpdateSite site;
    site.ServerFile("towagi/EXCEL/a.xls", "a");
    site.LocalFile(site.ExeDir + "EXCEL/a.xls", "a");
    site.Switch("Update_Excel", 1);
    site.Start();
    FTP_DownAllCategory(site.State, *site.Client);
    EXPECT_FALSE(Exists(site.UpdateDir + "EXCEL"));
    EXPECT_TRUE(site.Prompts->Boxes.empty());
    EXPECT_EQ(site.TraceOf("FTP_DownAllCategory"), (std::vector<std::string>{"Start", "UPDATE : 処理完了", "End"}));
}

TEST(FTP_DownAllCategory, EveryCategoryIsStagedInBothEditions) {
    struct Case {
        const EditionProfile* edition;
        std::vector<std::string> staged; // below the update folder
        std::string master;
    };
    for (const auto& c : std::vector<Case>{
             {&EstimationEdition(),
              {"a.exe", "EXCEL/x.xls", "FRAME/f.frm", "HELP/h.hlp", "HELP_HTML/index.html", "_images/i.png",
               "_sources/s.txt", "_static/s.css", "MAST/BR01.ZIP"},
              "BR01.ZIP"},
             {&CostEdition(), {"a.exe", "EXCEL/x.xls", "FRAME/f.frm", "HELP/h.hlp", "MAST/BR01.LZH"}, "BR01.LZH"}}) {
        UpdateSite site(*c.edition);
        const EditionProfile& profile = *c.edition;
        for (const auto& [server, name] : std::vector<std::pair<std::string, std::string>>{
                 {profile.DefaultUpdateServerDir, "a.exe"},
                 {profile.DefaultExcelServerDir, "x.xls"},
                 {profile.DefaultFrameServerDir, "f.frm"},
                 {profile.DefaultHelpServerDir, "h.hlp"},
                 {"/towagi/HELP_HTML/", "index.html"},
                 {"/towagi/HELP_HTML_IMAGES/", "i.png"},
                 {"/towagi/HELP_HTML_SOURCES/", "s.txt"},
                 {"/towagi/HELP_HTML_STATIC/", "s.css"},
                 {"/towagi/MAST/", c.master},
                 {"/towagi/MAST/", "OTHER.ZIP"}})
            site.ServerFile(server.substr(1) + name, name);
        site.Slot(1, "BR01|/srv/db/br01.fdb");
        for (const std::string* name : {&profile.UpdateProgramValue, &profile.UpdateExcelValue,
                                        &profile.UpdateFrameValue, &profile.UpdateHelpValue, &profile.UpdateMastValue})
            site.Switch(*name, 1);
        // Left in the staging folder by an earlier start: kept for a later pass, or emptied before fetching.
        site.LocalFile(site.UpdateDir + "EXCEL/earlier.xls", "e");
        site.Start();
        FTP_DownAllCategory(site.State, *site.Client);
        for (const std::string& staged : c.staged) {
            EXPECT_EQ(ModifiedTime(site.UpdateDir + staged), kServerTime) << profile.ProgramName << " " << staged;
            EXPECT_EQ(ReadFile(site.UpdateDir + staged), staged.substr(staged.find('/') + 1));
        }
        EXPECT_FALSE(Exists(site.UpdateDir + "MAST/OTHER.ZIP"));
        EXPECT_EQ(Exists(site.UpdateDir + "EXCEL/earlier.xls"), profile.StagingKeptBetweenPasses);
        EXPECT_EQ(site.State.MasterFiles,
                  profile.StagingKeptBetweenPasses ? std::vector<std::string>{c.master} : std::vector<std::string>{});
        EXPECT_TRUE(site.Traced("FTP_DownAllCategory ; MAST：処理完了"));
        EXPECT_EQ(site.TraceOf("FTP_DownAllCategory").back(), "End");
        EXPECT_TRUE(site.Prompts->Texts(PromptKind::Message).empty());
        EXPECT_EQ(site.Prompts->Texts(PromptKind::InformationQuestion).size(), 1u);
    }
}

// The CWDs of the categories switched on go together at the first category's change: missing folders are
// passed over with the very trace lines that asking each alone gives, and the others fetched.
TEST(FTP_DownAllCategory, TheCategoriesFoldersAreAskedTogetherWithTheSameTrace) {
    std::vector<std::string> traces[2];
    for (const bool together : {false, true}) {
        UpdateSite site;
        site.ServerFile("towagi/UPDATE/a.exe", "a");
        site.ServerFile("towagi/HELP_HTML_IMAGES/i.png", "i");
        site.Switch(site.Profile.UpdateProgramValue, 1);
        site.Switch(site.Profile.UpdateExcelValue, 1); // no Excel folder on the server
        FaultOptions options;
        options.CommandLog = site.ServerDir + "../commands.log";
        site.Start(options);
        if (!together) site.Client->AskOneAtATime();
        FTP_DownAllCategory(site.State, *site.Client);
        EXPECT_EQ(ReadFile(site.UpdateDir + "a.exe"), "a") << together;
        EXPECT_EQ(ReadFile(site.UpdateDir + "_images/i.png"), "i") << together;
        const std::vector<std::string> asked = CommandsStartingWith(options.CommandLog, "CWD ");
        if (together) {
            // Last folder first, so that the server stands in the first; only the help images folder, the one
            // other folder that is there, is asked again.
            EXPECT_EQ(asked,
                      (std::vector<std::string>{
                          "CWD /towagi/HELP_HTML_STATIC/", "CWD /towagi/HELP_HTML_SOURCES/",
                          "CWD /towagi/HELP_HTML_IMAGES/", "CWD /towagi/HELP_HTML/", "CWD /towagi/EXCEL/",
                          "CWD /towagi/UPDATE/", "CWD /towagi/HELP_HTML_IMAGES/"}));
        } else {
            EXPECT_EQ(asked.size(), 6u);
        }
        const std::string root = site.ExeDir.substr(0, site.ExeDir.size() - std::string("program/").size());
        for (std::string line : site.Trace()) {
            for (size_t at; (at = line.find(root)) != std::string::npos;)
                line.replace(at, root.size(), "<site>/");
            const std::string port = "Port=" + std::to_string(site.Server->Port());
            if (const size_t at = line.find(port); at != std::string::npos)
                line.replace(at, port.size(), "Port=");
            traces[together].push_back(line);
        }
    }
    EXPECT_EQ(traces[1], traces[0]);
    EXPECT_NE(std::find(traces[1].begin(), traces[1].end(),
                        "FTP_GetUpdateFileList ; サーバーの/towagi/HELP_HTML/フォルダが見つかりません。"),
              traces[1].end());
}

TEST(FTP_DownAllCategory, ACategoryThatFailsIsShownAndTheNextOneFetched) {
    UpdateSite site(CostEdition());
    site.ServerFile("towagi/UPDATEJ/a.exe", kBig);
    site.ServerFile("towagi/EXCELJ/x.xls", "x");
    site.Switch("Update_Quil_Program", 1);
    site.Switch("Update_Quil_Excel", 1);
    FaultOptions options = FaultsOn("a.exe");
    options.AbortAfter = 100;
    site.Start(options);
    FTP_DownAllCategory(site.State, *site.Client);
    EXPECT_EQ(site.Prompts->Texts(PromptKind::Message),
              (std::vector<std::string>{"ダウンロード試行回数が5回を超えました。。"}));
    EXPECT_EQ(ReadFile(site.UpdateDir + "EXCEL/x.xls"), "x");
    EXPECT_EQ(site.TraceOf("FTP_DownAllCategory"),
              (std::vector<std::string>{"Start", "ダウンロード試行回数が5回を超えました。。", "UPDATE : 処理完了", "End"}));
}

// Support staff find in the trace what the user was told (on one line), and a time stamp that cannot be
// had names its file.
TEST(FTP_DownAllCategory, TheMessageOfAFailedCategoryIsTracedAndNamesTheFile) {
    UpdateSite site;
    site.ServerFile("towagi/UPDATE/a.exe", "a");
    site.ServerFile("towagi/UPDATE/b.exe", "b");
    site.ServerFile("towagi/FRAME/ZFRM01.frm", "f");
    WriteFile(site.ExeDir + "KMISID00.INI", "[Frame Protection file]\r\nF1=ZFRM\r\n");
    WriteFile(site.ExeDir + "QRD00UP.INI", "[HQ]\r\nIP1=10.255.255.1\r\n");
    site.Switch("Update_Program", 1);
    site.Switch("Update_Frame", 1);
    FaultOptions options;
    options.NoMlst = true;
    options.MdtmFail = {{"b.exe", 10}};
    site.Start(options);
    FTP_DownAllCategory(site.State, *site.Client);
    const std::string stamp = "サーバ上ファイルのタイムスタンプ取得に失敗しました。 : [b.exe]";
    const std::string branch = "このPCのIPアドレス[" + GetLocalIPAddress() + "]を、本社・支店情報から見つける事ができませんでした。";
    const auto messages = site.Prompts->Texts(PromptKind::Message);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], stamp);
    EXPECT_EQ(messages[1].rfind(branch + "\r\n\r\n", 0), 0u);
    EXPECT_EQ(site.TraceOf("FTP_DownAllCategory"),
              (std::vector<std::string>{"Start", stamp,
                                        branch + " 帳票ファイル・EXCELシートの一部が更新されません。 必要な情報をQRD00UP.INIに登録してください。",
                                        // the four HTML help categories, which this server does not have
                                        "UPDATE : 処理完了", "UPDATE : 処理完了", "UPDATE : 処理完了",
                                        "UPDATE : 処理完了", "End"}));
}

// A folder, a link or a file of nine-digit size in the listing costs the category nothing: every file of
// it is compared, and the new ones fetched.
TEST(FTP_DownAllCategory, FoldersLinksAndLargeFilesInTheListingCostTheCategoryNothing) {
    for (const bool listing : {true, false}) {
        UpdateSite site;
        site.ServerFile("towagi/UPDATE/a.exe", "a");
        site.ServerFile("towagi/UPDATE/z.dll", "z");
        std::filesystem::create_directories(site.ServerDir + "towagi/UPDATE/sub");
        std::filesystem::create_symlink("a.exe", site.ServerDir + "towagi/UPDATE/a.lnk");
        // Sparse, on the server and installed alike: up to date, and never read.
        for (const std::string& path : {site.ServerDir + "towagi/UPDATE/MASTER.LZH", site.ExeDir + "MASTER.LZH"}) {
            site.LocalFile(path, "");
            std::filesystem::resize_file(path, 123456789);
            testing::SetModifiedTime(path, kServerTime);
        }
        site.Switch("Update_Program", 1);
        FaultOptions options;
        options.NoMlst = !listing;
        site.Start(options);
        FTP_DownAllCategory(site.State, *site.Client);
        EXPECT_TRUE(site.Prompts->Texts(PromptKind::Message).empty()) << listing;
        for (const char* name : {"a.exe", "z.dll", "a.lnk"})
            EXPECT_EQ(ModifiedTime(site.UpdateDir + name), kServerTime) << name;
        EXPECT_EQ(ReadFile(site.UpdateDir + "a.lnk"), "a");
        EXPECT_TRUE(site.Traced("FTP_GetUpdateFileList ; [MASTER.LZH] Already Exist"));
        EXPECT_FALSE(Exists(site.UpdateDir + "sub"));
    }
}

TEST(StagingFolders, InitializeAndDeleteAllFiles) {
    struct Case {
        const EditionProfile* edition;
        bool emptyIt;
        bool emptied;
    };
    for (const auto& c : std::vector<Case>{{&EstimationEdition(), false, false},
                                           {&EstimationEdition(), true, true},
                                           {&CostEdition(), false, true}}) {
        UpdateSite site(*c.edition);
        const std::string folder = site.UpdateDir + "HELP/";
        site.LocalFile(folder + "plain.hlp", "p");
        site.LocalFile(folder + ".hidden", "h");
        site.LocalFile(folder + "readonly.hlp", "r");
        chmod((folder + "readonly.hlp").c_str(), 0444);
        site.LocalFile(folder + "sub/kept.txt", "k");
        InitializeDownloadDirectory(site.State, folder, c.emptyIt);
        for (const char* name : {"plain.hlp", ".hidden", "readonly.hlp"})
            EXPECT_EQ(Exists(folder + name), !c.emptied) << name << " " << c.emptyIt;
        EXPECT_TRUE(Exists(folder + "sub/kept.txt"));
        // A missing folder is created with its parents.
        InitializeDownloadDirectory(site.State, site.UpdateDir + "new/deeper/", c.emptyIt);
        EXPECT_TRUE(std::filesystem::is_directory(site.UpdateDir + "new/deeper"));
    }
}

} // namespace
} // namespace towagi
