#include "transfer/update_catalogue.h"

#include "support/encoding.h"
#include "support/errors.h"
#include "support/text.h"
#include "tests/common/update_site.h"
#include "transfer/update_settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace towagi {
namespace {

using testing::FaultOptions;
using testing::kServerTime;
using testing::UpdateSite;
using testing::WriteFile;

const std::vector<const EditionProfile*> kEditions{&EstimationEdition(), &CostEdition()};

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

TEST(isNewFile, FiveSecondsApartIsEqualAndOnlyProgramFilesFollowAnOlderServer) {
    struct Case {
        const EditionProfile* edition;
        int kubun;
        int serverOffset; // seconds the server's file is later than the local copy
        bool want;
    };
    for (const auto& c : std::vector<Case>{{&EstimationEdition(), kKubunProgram, 5, false},
                                           {&EstimationEdition(), kKubunProgram, 6, true},
                                           {&EstimationEdition(), kKubunProgram, -5, false},
                                           {&EstimationEdition(), kKubunProgram, -6, true},
                                           {&EstimationEdition(), kKubunHtmlStatic, -6, true},
                                           {&EstimationEdition(), kKubunHelp, 6, true},
                                           {&EstimationEdition(), kKubunHelp, -6, false},
                                           {&EstimationEdition(), kKubunMast, -60, false},
                                           {&CostEdition(), 0, 6, true},
                                           {&CostEdition(), 0, -6, false}}) {
        UpdateSite site(*c.edition);
        site.LocalFile(site.ExeDir + "a.exe", "x", kServerTime);
        EXPECT_EQ(isNewFile(site.State, site.ExeDir, "a.exe", c.kubun, kServerTime + c.serverOffset), c.want)
            << c.edition->ProgramName << " kubun " << c.kubun << " offset " << c.serverOffset;
        EXPECT_EQ(site.TraceOf("isNewFile").back(),
                  " Lcl=" + FormatDateTime(kServerTime) + " Svr=" + FormatDateTime(kServerTime + c.serverOffset));
        EXPECT_TRUE(isNewFile(site.State, site.ExeDir, "missing.exe", c.kubun, kServerTime));
    }
}

TEST(FolderSteps, FoldersOfEveryCategoryInBothEditions) {
    struct Case {
        const EditionProfile* edition;
        std::function<TFTPDIR(TUpdateState&)> step;
        std::string name, svrDir, chkDir, dwnDir; // local folders relative to the site's folders
        int kubun;
    };
    const auto* est = &EstimationEdition();
    const auto* cost = &CostEdition();
    for (const auto& c : std::vector<Case>{
             {est, GetUpdateDir, "GetUpdateDir", "/custom/UP/", "P:", "U:", 0},
             {est, GetExcelDir, "GetExcelDir", "/towagi/EXCEL/", "P:EXCEL/", "U:EXCEL/", 1},
             {est, GetFrameDir, "GetFrameDir", "/towagi/FRAME/", "P:FRAME/", "U:FRAME/", 2},
             {est, GetHelpDir, "GetHelpDir", "/towagi/HELP/", "P:HELP/", "U:HELP/", 3},
             {est, GetHTMLHELPDir, "GetHTMLHELPDir", "/towagi/HELP_HTML/", "P:HELP_HTML/", "U:HELP_HTML/", 5},
             {est, GetHTMLimagesDir, "GetHTMLimagesDir", "/towagi/HELP_HTML_IMAGES/", "P:HELP_HTML/_images/",
              "U:_images/", 6},
             {est, GetHTMLsourcesDir, "GetHTMLsourcesDir", "/towagi/HELP_HTML_SOURCES/", "P:HELP_HTML/_sources/",
              "U:_sources/", 7},
             {est, GetHTMLstaticDir, "GetHTMLstaticDir", "/towagi/HELP_HTML_STATIC/", "P:HELP_HTML/_static/",
              "U:_static/", 8},
             {est, GetMastDir, "GetMastDir", "/towagi/MAST/", "U:MAST/", "U:MAST/", 4},
             {cost, GetUpdateDir, "GetUpdateDir", "/custom/UP/", "P:", "U:", 0},
             {cost, GetExcelDir, "GetExcelDir", "/towagi/EXCELJ/", "P:EXCEL/", "U:EXCEL/", 0},
             {cost, GetFrameDir, "GetFrameDir", "/towagi/FRAMEJ/", "P:FRAME/", "U:FRAME/", 0},
             {cost, GetHelpDir, "GetHelpDir", "/towagi/HELPJ/", "P:HELPJ/", "U:HELP/", 0},
             {cost, GetMastDir, "GetMastDir", "/towagi/MAST/", "U:MAST/", "U:MAST/", 0}}) {
        UpdateSite site(*c.edition);
        // A value of blanks means the default; the update folder's value holds a first field.
        WriteFile(site.ExeDir + c.edition->CatalogueIniFileName,
                  "[FTP]\r\nAccumulateDir_UPDATE=/custom/UP/\r\nAccumulateDir_EXCEL=   \r\n");
        WriteMachineString(testing::kUpdateSettings, c.edition->UpdatePathValue, "first|" + site.UpdateDir, true);
        const auto local = [&](const std::string& folder) {
            return (folder.substr(0, 2) == "P:" ? site.ExeDir : site.UpdateDir) + folder.substr(2);
        };
        site.State.ProtectionList = {"left over"};
        const TFTPDIR folders = c.step(site.State);
        EXPECT_EQ(folders.SvrDir, c.svrDir) << c.name;
        EXPECT_EQ(folders.ChkDir, local(c.chkDir)) << c.name;
        EXPECT_EQ(folders.DwnDir, local(c.dwnDir)) << c.name;
        EXPECT_EQ(folders.Kubun, c.kubun) << c.name;
        if (c.name != "GetMastDir") {
            EXPECT_TRUE(site.State.ProtectionList.empty()) << c.name;
        }
        std::string result = "End : Result= SvrDir=" + c.svrDir + " ChkDir=" + local(c.chkDir) +
                             " DwnDir=" + local(c.dwnDir);
        if (c.edition == est) result += " Kubun=" + std::to_string(c.kubun);
        EXPECT_EQ(site.TraceOf(c.name), (std::vector<std::string>{"Start", result}));
    }
}

TEST(FolderSteps, ExcelAndFrameReadTheirProtectionPrefixes) {
    UpdateSite site;
    WriteFile(site.ExeDir + "KMISID00.INI",
              ToCP932("[Excel Protection file]\r\nA=見積原紙\r\nB=old=ZZ\r\n[Frame Protection file]\r\nF1=ZFRM01\r\n",
                      "catalogue"));
    GetExcelDir(site.State);
    EXPECT_EQ(site.State.ProtectionList, (std::vector<std::string>{"見積原紙", "ZZ"}));
    const auto excel = site.TraceOf("GetExcelDir");
    ASSERT_EQ(excel.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(excel.begin() + 1, excel.end() - 1),
              (std::vector<std::string>{"保護ファイル数 = 2", "[0] = 見積原紙", "[1] = ZZ"}));
    GetFrameDir(site.State);
    EXPECT_EQ(site.State.ProtectionList, (std::vector<std::string>{"ZFRM01"}));
    GetHelpDir(site.State);
    EXPECT_TRUE(site.State.ProtectionList.empty());
    // A section without lines writes no count.
    WriteFile(site.ExeDir + "KMISID00.INI", "[FTP]\r\n");
    GetFrameDir(site.State);
    const auto frame = site.TraceOf("GetFrameDir");
    ASSERT_EQ(frame.size(), 4u + 2u);
    EXPECT_EQ(frame[4], "Start");
    EXPECT_EQ(frame[5].rfind("End : Result= SvrDir=", 0), 0u);
}

TEST(FTP_GetNList, LzhBesideZipIsFetchedAsZipInTheEstimationEditionOnly) {
    for (const EditionProfile* edition : kEditions) {
        UpdateSite site(*edition);
        for (const char* name : {"X.lzh", "X.zip", "Y.LZH", "Y.zip", "Z.lzh", "W.lzh", "W.ZIP"})
            site.ServerFile(std::string("towagi/MAST/") + name, "a");
        site.Start();
        std::vector<std::string> names;
        FTP_GetNList(site.State, *site.Client, "/towagi/MAST/", names);
        const std::vector<std::string> want =
            edition->ZipReplacesLzh ? std::vector<std::string>{"W.ZIP", "X.zip", "Y.LZH", "Y.zip", "Z.lzh"}
                                    : std::vector<std::string>{"W.ZIP", "W.lzh", "X.lzh", "X.zip", "Y.LZH",
                                                               "Y.zip", "Z.lzh"};
        EXPECT_EQ(Sorted(names), want) << edition->ProgramName;
        // Without protection the listing ends there, without an end line.
        EXPECT_EQ(site.TraceOf("FTP_GetNList"), (std::vector<std::string>{"Start"}));
    }
}

TEST(FTP_GetNList, ProtectedFilesAreTakenOnlyWhereTheBranchTableAllowsThem) {
    const std::string address = GetLocalIPAddress();
    ASSERT_FALSE(address.empty()) << "the test needs a host name that resolves";
    struct Case {
        const EditionProfile* edition;
        std::vector<std::string> prefixes;
        std::string branchTable; // "" : no branch table in the current folder
        std::vector<std::string> want;
        std::vector<std::string> lines; // FTP_GetNList's lines between Start and End, in order
    };
    const std::string table = "[本社]\r\nIP1=10.0.0.1\r\n[大阪支店]\r\nIP1=10.0.0.2\r\nIP2=" + address +
                              "\r\nFR1=ZFRMA.XLS\r\nEX1=見積原紙B.XLS\r\nFRX=ZFRM01X.XLS\r\n";
    for (const auto& c : std::vector<Case>{
             // First prefix in list order decides; no branch table: every protected file is left out.
             {&EstimationEdition(), {"ZFRM01", "ZFRM"}, "", {"OTHER.XLS", "見積原紙A.XLS", "見積原紙B.XLS"},
              {"処理対象[OTHER.XLS]", "保護対象[ZFRMA.XLS]", "保護対象[ZFRM01X.XLS]", "処理対象[見積原紙A.XLS]",
               "処理対象[見積原紙B.XLS]"}},
             // The branch's "FR" entries (FRX included, its key begins with FR) free their files.
             {&EstimationEdition(), {"ZFRM01", "ZFRM"}, table,
              {"OTHER.XLS", "ZFRM01X.XLS", "ZFRMA.XLS", "見積原紙A.XLS", "見積原紙B.XLS"},
              {"支店名[大阪支店]", "支店毎のDL対象帳票ファイル一覧取得", "処理対象[OTHER.XLS]", "保護解除[ZFRMA.XLS]",
               "処理対象[ZFRMA.XLS]", "保護解除[ZFRM01X.XLS]", "処理対象[ZFRM01X.XLS]", "処理対象[見積原紙A.XLS]",
               "処理対象[見積原紙B.XLS]"}},
             // Excel sheets are freed by the "EX" entries.
             {&EstimationEdition(), {"見積原紙"}, table, {"OTHER.XLS", "ZFRM01X.XLS", "ZFRMA.XLS", "見積原紙B.XLS"},
              {"支店名[大阪支店]", "支店毎のDL対象EXCELファイル一覧取得", "処理対象[OTHER.XLS]", "処理対象[ZFRMA.XLS]",
               "処理対象[ZFRM01X.XLS]", "保護対象[見積原紙A.XLS]", "保護解除[見積原紙B.XLS]", "処理対象[見積原紙B.XLS]"}},
             // The cost edition's frames begin with ZKRM: a ZFRM list frees nothing there.
             {&CostEdition(), {"ZFRM"}, table, {"OTHER.XLS", "見積原紙A.XLS", "見積原紙B.XLS"},
              {"支店名[大阪支店]", "処理対象[OTHER.XLS]", "保護対象[ZFRMA.XLS]", "保護対象[ZFRM01X.XLS]",
               "処理対象[見積原紙A.XLS]", "処理対象[見積原紙B.XLS]"}},
         }) {
        UpdateSite site(*c.edition);
        for (const char* name : {"OTHER.XLS", "ZFRMA.XLS", "ZFRM01X.XLS", "見積原紙A.XLS", "見積原紙B.XLS"})
            site.ServerFile(std::string("towagi/FRAME/") + name, "a");
        if (!c.branchTable.empty())
            WriteFile(site.ExeDir + c.edition->BranchTableFileName.substr(2), ToCP932(c.branchTable, "branch table"));
        FaultOptions options;
        options.Encoding = "cp932";
        site.Start(options);
        site.State.ProtectionList = c.prefixes;
        std::vector<std::string> names;
        FTP_GetNList(site.State, *site.Client, "/towagi/FRAME/", names);
        EXPECT_EQ(Sorted(names), Sorted(c.want)) << c.prefixes.front();
        // The listing order is the server's; compare each name's lines in order, and the lines as a whole.
        auto lines = site.TraceOf("FTP_GetNList");
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.front(), "Start");
        EXPECT_EQ(lines.back(), "End");
        lines = std::vector<std::string>(lines.begin() + 1, lines.end() - 1);
        EXPECT_EQ(Sorted(lines), Sorted(c.lines)) << c.prefixes.front();
        for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
            if (lines[i].rfind("保護解除", 0) == 0) {
                EXPECT_EQ(lines[i + 1], "処理対象" + lines[i].substr(std::string("保護解除").size()));
            }
        }
    }
}

TEST(FTP_GetNList, AnAddressInNoBranchFailsWithTheTwoParagraphMessage) {
    for (const EditionProfile* edition : kEditions) {
        UpdateSite site(*edition);
        site.ServerFile("towagi/FRAME/ZFRMA.XLS", "a");
        const std::string table = edition->BranchTableFileName.substr(2);
        WriteFile(site.ExeDir + table, "[本社]\r\nIP1=10.255.255.1\r\n");
        site.Start();
        site.State.ProtectionList = {"ZFRM"};
        std::vector<std::string> names;
        try {
            FTP_GetNList(site.State, *site.Client, "/towagi/FRAME/", names);
            FAIL() << "an unknown workstation was served";
        } catch (const EUpdateError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "このPCのIPアドレス[" + GetLocalIPAddress() +
                          "]を、本社・支店情報から見つける事ができませんでした。\r\n\r\n帳票ファイル・EXCELシートの一部が更新されません。"
                          "\r\n必要な情報を" + table + "に登録してください。");
        }
        // Without protection the branch table is not read at all.
        site.State.ProtectionList.clear();
        FTP_GetNList(site.State, *site.Client, "/towagi/FRAME/", names);
        EXPECT_EQ(names, (std::vector<std::string>{"ZFRMA.XLS"}));
    }
}

TEST(FTP_GetUpdateFileList, NewInstalledAndStagedFilesWithOneQuestion) {
    UpdateSite site;
    for (const char* name : {"same.exe", "staged.exe", "new.exe", "older.exe"})
        site.ServerFile(std::string("towagi/UPDATE/") + name, name);
    site.LocalFile(site.ExeDir + "same.exe", "old", kServerTime + 3);
    site.LocalFile(site.ExeDir + "older.exe", "old", kServerTime + 60); // program files follow the server back
    site.LocalFile(site.UpdateDir + "staged.exe", "staged.exe", kServerTime);
    site.Start();
    const TFTPDIR folders = GetUpdateDir(site.State);
    std::vector<std::string> names, stamps;
    ASSERT_TRUE(FTP_GetUpdateFileList(site.State, *site.Client, folders, false, stamps, names));
    EXPECT_EQ(Sorted(names), (std::vector<std::string>{"new.exe", "older.exe"}));
    EXPECT_EQ(stamps, (std::vector<std::string>(2, FormatDateTime(kServerTime))));
    // Asked once, at the first newer file, even when that one was staged already.
    EXPECT_EQ(site.Prompts->Texts(PromptKind::InformationQuestion),
              (std::vector<std::string>{"『積算とわぎ』がバージョンアップされています。\r\n最新バージョンに更新しますか？"}));
    EXPECT_FALSE(site.State.AskBeforeUpdate);
    EXPECT_TRUE(site.Traced("FTP_GetUpdateFileList ; [same.exe] Already Exist"));
    EXPECT_TRUE(site.Traced("FTP_GetUpdateFileList ; [staged.exe] New File"));
    EXPECT_TRUE(site.Traced("FTP_GetUpdateFileList ; [staged.exe] Already Exist By " + site.UpdateDir));
    EXPECT_EQ(site.TraceOf("FTP_GetUpdateFileList").back(), "End : Result=true");
    EXPECT_EQ(site.Progress.Title, "更新ファイルを調査しています．．．");
    EXPECT_EQ(site.Progress.Status, "/towagi/UPDATE/");
    EXPECT_EQ(site.Progress.Maximum, 9);
    EXPECT_EQ(site.Progress.Position, 3);
}

// However the server lets the times be asked (MLSD, MDTM in batches, or one at a time after a batch cost
// the connection), the catalogue gives what one MDTM per name gives: the same result, names, stamps and
// trace lines, also for a name answered 550 at first and for CP932 names with blanks.
TEST(FTP_GetUpdateFileList, TheSameResultsAndTraceAsOneRequestPerName) {
    struct Case {
        std::string label;
        bool listing;
        int dropPipelined;
    };
    for (const auto& c : std::vector<Case>{{"MLSD", true, 0}, {"MDTM in batches", false, 0},
                                           {"batch dropped", false, 4}}) {
        UpdateSite site;
        // 300 files a minute apart; every tenth is newer than its installed copy.
        for (int i = 0; i < 300; ++i) {
            const std::string name = (i % 7 == 0 ? "更新 データ" : "file") + std::to_string(1000 + i) + ".dat";
            site.ServerFile("towagi/UPDATE/" + name, name, kServerTime + i * 60);
            if (i % 10 != 0) site.LocalFile(site.ExeDir + name, name, kServerTime + i * 60);
        }
        struct Result {
            bool found;
            std::vector<std::string> names, stamps, trace;
            bool operator==(const Result&) const = default;
        };
        const auto catalogue = [&](bool oneAtATime) {
            FaultOptions options;
            options.Encoding = "cp932";
            options.NoMlst = !c.listing;
            options.DropPipelined = c.dropPipelined;
            options.MdtmFail = {{"file1003.dat", 2}};
            site.Start(options);
            if (oneAtATime) site.Client->AskOneAtATime();
            site.State.AskBeforeUpdate = true;
            const std::size_t before = site.Trace().size();
            Result result;
            result.found = FTP_GetUpdateFileList(site.State, *site.Client, GetUpdateDir(site.State), false,
                                                 result.stamps, result.names);
            const auto trace = site.Trace();
            result.trace.assign(trace.begin() + static_cast<std::ptrdiff_t>(before), trace.end());
            return result;
        };
        const Result want = catalogue(true);
        const Result got = catalogue(false);
        EXPECT_EQ(got, want) << c.label;
        EXPECT_EQ(want.names.size(), 30u);
        EXPECT_EQ(site.Client->ListsTimeStamps(), c.listing) << c.label;
        EXPECT_EQ(site.Client->PipelinesTimeStamps(), c.dropPipelined == 0) << c.label;
    }
}

TEST(FTP_GetUpdateFileList, TheQuestionDeclinedRaisesECancel) {
    for (const EditionProfile* edition : kEditions) {
        UpdateSite site(*edition);
        site.ServerFile(edition->DefaultUpdateServerDir.substr(1) + "new.exe", "new");
        site.Start();
        site.Prompts->Answers = {PromptAnswer::No};
        std::vector<std::string> names, stamps;
        try {
            FTP_GetUpdateFileList(site.State, *site.Client, GetUpdateDir(site.State), false, stamps, names);
            FAIL() << "the declined question went on";
        } catch (const ECancel& e) {
            EXPECT_STREQ(e.what(), "FTP_GetUpdateFileList : 中断ボタン押下");
        }
        EXPECT_TRUE(site.State.UpdateDeclined);
        EXPECT_EQ(site.TraceOf("FTP_GetUpdateFileList").back(), "■ 中断ボタン押下");
        EXPECT_EQ(site.Prompts->Texts(PromptKind::InformationQuestion).at(0), edition->CatalogueVersionUpQuestion);
    }
    EXPECT_EQ(CostEdition().CatalogueVersionUpQuestion,
              "原価『とわぎ』がバージョンアップされています。\r\n最新バージョンに更新しますか？");
}

TEST(FTP_GetUpdateFileList, EverythingUpToDateIsTrueWithEmptyListsAndNoQuestion) {
    UpdateSite site;
    site.ServerFile("towagi/EXCEL/a.xls", "a");
    site.ServerFile("towagi/EXCEL/b.xls", "b");
    site.LocalFile(site.ExeDir + "EXCEL/a.xls", "a");
    site.LocalFile(site.ExeDir + "EXCEL/b.xls", "b", kServerTime + 3600); // newer installed copy stays
    site.Start();
    std::vector<std::string> names, stamps;
    EXPECT_TRUE(FTP_GetUpdateFileList(site.State, *site.Client, GetExcelDir(site.State), false, stamps, names));
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(stamps.empty());
    EXPECT_TRUE(site.Prompts->Boxes.empty());
    EXPECT_TRUE(site.State.AskBeforeUpdate);
}

TEST(FTP_GetUpdateFileList, MissingServerFolderIsSkippedOnlyByTheEstimationEdition) {
    for (const EditionProfile* edition : kEditions) {
        UpdateSite site(*edition);
        site.ServerFile("towagi/other.txt", "a");
        site.Start();
        std::vector<std::string> names, stamps;
        const TFTPDIR folders = GetHelpDir(site.State);
        if (edition->SkipMissingServerFolder) {
            EXPECT_FALSE(FTP_GetUpdateFileList(site.State, *site.Client, folders, false, stamps, names));
            EXPECT_EQ(site.TraceOf("FTP_GetUpdateFileList").back(), "サーバーの/towagi/HELP/フォルダが見つかりません。");
        } else {
            EXPECT_THROW(FTP_GetUpdateFileList(site.State, *site.Client, folders, false, stamps, names),
                         EFTPReplyError);
        }
        // An empty folder has nothing to update.
        std::filesystem::create_directories(site.ServerDir + "towagi/EMPTY");
        names.clear();
        EXPECT_FALSE(FTP_GetUpdateFileList(site.State, *site.Client, {"/towagi/EMPTY/", site.ExeDir, site.UpdateDir},
                                           false, stamps, names));
        EXPECT_EQ(site.TraceOf("FTP_GetUpdateFileList").back(), "アップデートすべきファイルがありません。");
    }
}

TEST(FTP_GetUpdateFileList, MasterArchivesOfLocalAndConfiguredSlotsOnly) {
    const std::string address = GetLocalIPAddress();
    ASSERT_FALSE(address.empty());
    struct Case {
        const EditionProfile* edition;
        std::vector<std::string> want;
    };
    for (const auto& c : std::vector<Case>{
             // BR02 and BR04 live on other computers; OTHER belongs to no slot.
             {&EstimationEdition(), {"BR01.ZIP", "BR03.LZH", "BR05.ZIP"}},
             // The cost edition takes a location with a host as a server's and keeps unconfigured archives.
             {&CostEdition(), {"BR01.ZIP", "OTHER.ZIP"}}}) {
        UpdateSite site(*c.edition);
        for (const char* name : {"br01.zip", "BR02.ZIP", "BR03.LZH", "BR05.ZIP", "OTHER.ZIP"})
            site.ServerFile(std::string("towagi/MAST/") + name, name);
        site.Slot(1, "BR01  |/srv/db/br01.fdb  ");
        site.Slot(2, "BR02|10.255.255.1:/srv/db/br02.fdb");
        site.Slot(3, "BR03|" + address + ":/srv/db/br03.fdb");
        site.Slot(4, "BR04|otherhost:/srv/db/br04.fdb");
        site.Slot(5, "BR05|localhost:/srv/db/br05.fdb");
        site.Slot(6, "|/srv/db/unused.fdb");
        // The names are asked for in upper case, which this server answers whatever the file is called.
        FaultOptions options;
        options.MdtmReply = "20240301010000";
        site.Start(options);
        std::vector<std::string> names, stamps;
        ASSERT_TRUE(FTP_GetUpdateFileList(site.State, *site.Client, GetMastDir(site.State), true, stamps, names));
        EXPECT_EQ(Sorted(names), c.want) << c.edition->ProgramName;
        EXPECT_EQ(stamps.size(), names.size());
        EXPECT_TRUE(site.Traced("FTP_GetUpdateFileList ; \"BR01.ZIP\"を大文字に変換しました。"));
        EXPECT_TRUE(site.Traced("FTP_GetUpdateFileList ; BR02はサーバーを参照しているので、削除しました。"));
        EXPECT_TRUE(site.Traced("FTP_GetUpdateFileList ; BR04はサーバーを参照しているがリストになかったので削除できませんでした。(エラー)"));
        EXPECT_EQ(site.Traced("FTP_GetUpdateFileList ; OTHER.ZIPはDB名称に設定がないので、削除しました。"),
                  c.edition->DropUnconfiguredMasters);
    }
}

TEST(_FTP_PickupSisyaMaster, KeepsTheArchivesOfTheSlots) {
    struct Case {
        const EditionProfile* edition;
        std::vector<std::string> slots;
        std::vector<std::string> names, want;
        std::vector<std::string> lines;
    };
    const std::vector<std::string> all{"BR01.ZIP", "BR01.LZH", "BR02.LZH", "XBR02.LZH", "OTHER.ZIP"};
    for (const auto& c : std::vector<Case>{
             // ZIP before LZH, and a name that ends in a slot's archive name is kept too.
             {&EstimationEdition(), {"BR01", "BR02 "}, all, {"BR01.ZIP", "BR02.LZH", "XBR02.LZH"},
              {"Start", "DBList.Create", "DBList.Free", "End"}},
             // The cost edition takes the LZH of every slot, listed or not.
             {&CostEdition(), {"BR01", "BR02"}, all, {"BR01.LZH", "BR02.LZH", "XBR02.LZH"},
              {"Start", "DBList.Create", "DBList.Free", "End"}},
             // Slot names compare exactly: no archive is picked, and the names stay.
             {&EstimationEdition(), {"br01"}, all, all,
              {"Start", "DBList.Create", "レジストリに有効な支部名が存在しませんでした。[DB_DATA]", "EXIT", "DBList.Free"}},
             {&EstimationEdition(), {"BR01"}, {}, {}, {"Start", "サーバに有効なマスタファイルが存在しません。", "EXIT"}},
         }) {
        UpdateSite site(*c.edition);
        for (std::size_t i = 0; i < c.slots.size(); ++i)
            site.Slot(static_cast<int>(i) + 1, c.slots[i] + "|/srv/db/x.fdb");
        std::vector<std::string> names = c.names, stamps;
        for (const std::string& name : names)
            stamps.push_back("stamp of " + name);
        _FTP_PickupSisyaMaster(site.State, names, stamps);
        EXPECT_EQ(names, c.want) << c.edition->ProgramName << " " << c.slots.front();
        ASSERT_EQ(stamps.size(), names.size());
        for (std::size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(stamps[i], "stamp of " + names[i]);
        EXPECT_EQ(site.TraceOf("_FTP_PickupSisyaMaster"), c.lines) << c.slots.front();
    }
}

TEST(GetMastDir, BaselinesAreTheStagedArchivesTimesPlusTenSeconds) {
    for (const EditionProfile* edition : kEditions) {
        UpdateSite site(*edition);
        site.Slot(1, "BR01|/srv/db/1.fdb");
        site.Slot(2, "br02|/srv/db/2.fdb");
        site.Slot(3, "BR03|/srv/db/3.fdb");
        site.Slot(5, "|/srv/db/5.fdb");
        site.LocalFile(site.UpdateDir + "MAST/BR01.ZIP", "z", kServerTime);
        site.LocalFile(site.UpdateDir + "MAST/BR01.LZH", "l", kServerTime + 100);
        site.LocalFile(site.UpdateDir + "MAST/BR02.LZH", "l", kServerTime + 200); // staged in upper case
        site.LocalFile(site.UpdateDir + "MAST/.LZH", "l", kServerTime);
        site.State.MasterBaseline[3] = 1; // from an earlier run
        GetMastDir(site.State);
        const auto& baseline = site.State.MasterBaseline;
        // The estimation edition prefers the ZIP; the cost edition knows only LZH archives.
        EXPECT_EQ(baseline[0], edition->MasterArchiveMustBeListed ? kServerTime + 10 : kServerTime + 110);
        EXPECT_EQ(baseline[1], kServerTime + 210);
        EXPECT_EQ(baseline[2], std::nullopt);
        EXPECT_EQ(baseline[3], std::nullopt);
        EXPECT_EQ(baseline[4], std::nullopt);
    }
}

} // namespace
} // namespace towagi
