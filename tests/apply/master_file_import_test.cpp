#include "apply/master_file_import.h"

#include "apply/archive_adapters.h"
#include "apply/update_run.h"
#include "database/master_layouts.h"
#include "support/errors.h"
#include "support/text.h"
#include "support/settings_store.h"
#include "tests/apply/archive_test_support.h"
#include "tests/common/update_site.h"
#include "tests/database/control_table.h"
#include "tests/database/test_database.h"
#include "transfer/update_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

namespace towagi {
namespace {

namespace fs = std::filesystem;
using testing::Exists;
using testing::kServerTime;
using testing::ReadFile;
using testing::TempDir;

const std::string kLibraries = TOWAGI_ARCHIVER_LIBRARIES;

// Databases with two master tables keep these tests quick; every step runs as with sixteen.
const std::vector<std::string> kTables{"KMICNT00", "KMIHINK0"};
testing::TSuiteSchema SmallSchema() {
    testing::TSuiteSchema schema;
    for (const TMasterTable& table : MasterTables())
        if (std::find(kTables.begin(), kTables.end(), table.Master) == kTables.end())
            schema.Without.push_back(table.Master);
    schema.Without.push_back("KMICNTB0");
    return schema;
}

std::vector<std::vector<TFbValue>> Rows(TFbConnection& db, const std::string& table, int first,
                                        const std::string& name) {
    return testing::MasterRows(db, table, first, 3, {"K01A", "X01", first < 10 ? "X02" : "Y09"}, name);
}

// The update site with the master switch on, the archivers in the program folder, the work folder, and
// databases and branch archives made on request.
struct MasterSite : testing::UpdateSite {
    TempDir Data;
    std::string Work;
    std::vector<std::string> NewRows; // KMIHINK0's rows as every archive brings them
    std::unique_ptr<TLHA> Lha;

    explicit MasterSite(const EditionProfile& edition) : UpdateSite(edition) {
        Work = ExeDir + "TEMP/";
        fs::create_directories(Work);
        fs::create_directories(UpdateDir + "MAST");
        for (const char* library : {"lib7-zip32.so", "libunlha32.so"})
            fs::copy_file(kLibraries + library, ExeDir + library);
        if (Profile.MasterArchiveThroughLha) Lha = std::make_unique<TLHA>(nullptr, ExeDir);
        WriteMachineString(testing::kUpdateSettings, "FTP_HOST", "0.0.0.0", true);
        Switch(Profile.UpdateMastValue, 1);
        testing::WriteFile(ExeDir + Profile.CatalogueIniFileName,
                           "[Mast Protection Code]\r\nKMICNT00=K01\r\n");
    }
    // Slot `number`'s database with old rows; returns its file.
    std::string Database(int number, const std::string& branch) {
        const std::string file = Data.File("slot" + std::to_string(number) + ".fdb");
        TFbConnection db = testing::CreateSuiteDatabase(file, Work, SmallSchema());
        for (const std::string& table : kTables)
            testing::InsertRows(db, table, Rows(db, table, 1, "旧"));
        Slot(number, branch + "|" + file);
        return file;
    }
    // The branch's archive in the update folder's "MAST/" with new rows, as the server's names are staged.
    std::string Archive(const std::string& branch, const std::string& extension, std::time_t time = kServerTime) {
        const std::string scratch = Data.File("scratch.fdb");
        std::vector<testing::ArchiveItem> items;
        {
            TFbConnection db = testing::CreateSuiteDatabase(scratch, Work, SmallSchema());
            for (const std::string& table : kTables) {
                const auto texts = testing::WriteMasterTextFile(db, Work, table, Rows(db, table, 11, "新"));
                if (table == "KMIHINK0") NewRows = texts;
                items.push_back({table + ".txt", ReadFile(Work + table + ".txt")});
                fs::remove(Work + table + ".txt");
            }
        }
        fs::remove(scratch);
        const std::string path = UpdateDir + "MAST/" + branch + UpperCase(extension);
        LocalFile(path, SameText(extension, ".zip") ? testing::MakeZip(items) : testing::MakeLzh(items, 1), time);
        return path;
    }
    void Import(int slotIndex) { _ImportMasterFile(State, slotIndex, Lha.get()); }
    TUpdateRunSteps Steps() {
        TUpdateRunSteps steps;
        steps.ImportMasterFile = [this](TUpdateState& state, int slot) { _ImportMasterFile(state, slot, Lha.get()); };
        return steps;
    }
    // "K01A old", "X01 new" ... of KMICNT00.
    static std::vector<std::string> Codes(const std::string& file) {
        TFbConnection db = TFbConnection::Attach({file, "SYSDBA", "pinewharf", ""});
        std::vector<std::string> codes;
        for (const std::string& row : testing::RowTexts(db, "KMICNT00"))
            codes.push_back(row.substr(0, row.find('|')) + (row.find("|旧|") != std::string::npos ? " old" : " new"));
        return codes;
    }
    std::vector<std::string> Items(const std::string& file) {
        TFbConnection db = TFbConnection::Attach({file, "SYSDBA", "pinewharf", ""});
        return testing::RowTexts(db, "KMIHINK0");
    }
    std::vector<std::string> TextFilesLeft() const {
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(Work)) left.push_back(entry.path().filename().string());
        return left;
    }
    std::vector<std::string> Errors() const { return Prompts->Texts(PromptKind::Error); }
};

const std::vector<std::string> kImportedCodes{"K01A old", "X01 new", "Y09 new"};
const std::vector<std::string> kOldCodes{"K01A old", "X01 old", "X02 old"};

TEST(_ImportMasterFile, UnpacksAndImportsANewArchiveWithTheProgressWindowShowingIt) {
    struct Case {
        const EditionProfile* edition;
        std::string extension, traceExtension, caption;
    };
    for (const auto& c : std::vector<Case>{{&EstimationEdition(), ".zip", ".zip", "積算『とわぎ』の起動 (BR01取込)"},
                                           {&CostEdition(), ".lzh", ".LZH  ", "原価『とわぎ』の起動 (BR01取込)"}}) {
        SCOPED_TRACE(c.edition->ProgramName);
        MasterSite site(*c.edition);
        const std::string database = site.Database(1, "BR01");
        const std::string archive = site.Archive("BR01", c.extension);
        bool cancelWhileImporting = true;
        site.Progress.OnProcessMessages = [&](testing::RecordingProgressView& progress) {
            cancelWhileImporting = progress.CancelEnabled;
        };
        site.Import(0);

        EXPECT_EQ(site.Codes(database), kImportedCodes);
        EXPECT_EQ(site.Items(database), site.NewRows);
        EXPECT_TRUE(site.Errors().empty());
        EXPECT_TRUE(Exists(archive));
        EXPECT_TRUE(site.TextFilesLeft().empty()) << site.TextFilesLeft().front();
        EXPECT_EQ(site.Progress.Caption, c.caption);
        EXPECT_EQ(site.Progress.Title, "BR01取込作業中です．．．");
        EXPECT_EQ(site.Progress.Status, site.UpdateDir + "MAST/");
        EXPECT_EQ(site.Progress.FileName, "BR01" + c.extension);
        EXPECT_EQ(site.Progress.Maximum, 5);
        EXPECT_EQ(site.Progress.Position, 5);
        EXPECT_EQ(site.Progress.Repaints, 1);
        EXPECT_FALSE(cancelWhileImporting);
        EXPECT_TRUE(site.Progress.CancelEnabled);
        const auto trace = site.Trace();
        EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 3),
                  (std::vector<std::string>{"_ImportMasterFile ; Start",
                                            "FTPUpdateExecute ; BR01" + c.traceExtension + FormatDateTime(kServerTime) +
                                                "  1899/12/29 00:00:00",
                                            "FTPUpdateExecute ; ファイルの解凍完了"}));
        EXPECT_EQ(std::vector<std::string>(trace.end() - 2, trace.end()),
                  (std::vector<std::string>{"FTPUpdateExecute ; マスタデータ 取込完了", "_ImportMasterFile ; End"}));
    }
}

TEST(_ImportMasterFile, OnlyAnArchiveLaterThanTheBaselineGetMastDirRecordedIsImported) {
    struct Case {
        std::string name;
        bool archiveBefore;            // the slot's archive was there when the baseline was recorded
        std::optional<int> archiveAfter; // its time afterwards, seconds after the first; none: gone
        bool imported;
    };
    for (const auto& c : std::vector<Case>{{"absent before the download", false, 0, true},
                                           {"within ten seconds", true, 5, false},
                                           {"unchanged", true, 0, false},
                                           {"eleven seconds later", true, 11, true},
                                           {"never there", false, std::nullopt, false}}) {
        SCOPED_TRACE(c.name);
        MasterSite site(EstimationEdition());
        const std::string database = site.Database(1, "BR01");
        if (c.archiveBefore) site.Archive("BR01", ".zip");
        GetMastDir(site.State);
        const auto baseline = site.State.MasterBaseline[0];
        EXPECT_EQ(baseline.has_value(), c.archiveBefore);
        if (c.archiveAfter)
            site.Archive("BR01", ".zip", kServerTime + *c.archiveAfter);
        else
            fs::remove(site.UpdateDir + "MAST/BR01.ZIP");
        site.Import(0);
        EXPECT_EQ(site.Codes(database), c.imported ? kImportedCodes : kOldCodes);
        const std::string date = c.archiveAfter ? FormatDateTime(kServerTime + *c.archiveAfter) : "1899/12/29 00:00:00";
        const std::string base = baseline ? FormatDateTime(*baseline) : "1899/12/29 00:00:00";
        EXPECT_TRUE(site.Traced("FTPUpdateExecute ; BR01" + std::string(c.archiveAfter ? ".zip" : "") + date + "  " + base));
        EXPECT_EQ(site.Traced("FTPUpdateExecute ; EXIT : 手元のデータが最新：取込キャンセル"), !c.imported);
        EXPECT_EQ(site.Traced("_ImportMasterFile ; End"), c.imported) << "an early exit writes no end line";
    }
}

TEST(_ImportMasterFile, TheCostEditionTakesItsUpdateFolderFromTheHiveTheControlTableNames) {
    MasterSite site(CostEdition());
    const std::string database = site.Database(1, "BR01");
    {
        // The selected slot's control table makes no update setting the machine's: PATHJ is each user's.
        TFbConnection db = TFbConnection::Attach({database, "SYSDBA", "pinewharf", site.Work});
        testing::CreateControlTable(db, {{"K0200290", "PATH\\UPDATE|FTP_HOST"}});
    }
    const std::string userDir = site.Data.File("user") + "/";
    fs::create_directories(userDir + "MAST");
    fs::rename(site.Archive("BR01", ".lzh"), userDir + "MAST/BR01.LZH");
    auto userKey = CurrentSettingsStore().OpenKey(Hive::User, testing::kUpdateSettings, true, KeyAccess::ReadWrite);
    ASSERT_NE(userKey, nullptr);
    userKey->WriteString(site.Profile.UpdatePathValue, "|" + userDir);
    userKey.reset();
    site.Import(0);
    EXPECT_EQ(site.Codes(database), kImportedCodes);
    EXPECT_EQ(site.Progress.Status, userDir + "MAST/");
    EXPECT_TRUE(site.Errors().empty());
    EXPECT_TRUE(Exists(userDir + "MAST/BR01.LZH"));
}

TEST(_ImportMasterFile, ASlotWithoutABranchNameIsLeftAtOnce) {
    MasterSite site(EstimationEdition());
    site.Slot(1, " |/db/data.fdb");
    site.Import(0);
    EXPECT_EQ(site.Trace(), (std::vector<std::string>{"_ImportMasterFile ; Start",
                                                      "_ImportMasterFile ; Exit : レジストリにGDBファイル名の登録がない"}));
}

TEST(_ImportMasterFile, TheZipArchiveComesBeforeTheLzhOneAndGoesWhenTheImportFails) {
    MasterSite site(EstimationEdition());
    site.Slot(1, "BR01|" + site.Data.File("missing.fdb"));
    site.Archive("BR01", ".lzh", kServerTime + 100);
    site.Archive("BR01", ".zip");
    site.Import(0);
    EXPECT_TRUE(site.Traced("FTPUpdateExecute ; BR01.zip" + FormatDateTime(kServerTime) + "  1899/12/29 00:00:00"));
    EXPECT_EQ(site.Progress.FileName, "BR01.zip");
    EXPECT_EQ(site.Errors(), std::vector<std::string>{"データベース(BR01)への接続に失敗しました。"});
    EXPECT_FALSE(Exists(site.UpdateDir + "MAST/BR01.ZIP"));
    EXPECT_TRUE(Exists(site.UpdateDir + "MAST/BR01.LZH"));
    EXPECT_TRUE(site.TextFilesLeft().empty());
}

TEST(_ImportMasterFile, ADamagedArchiveLeavesTheTablesAsTheyWere) {
    MasterSite site(EstimationEdition());
    const std::string database = site.Database(1, "BR01");
    site.LocalFile(site.UpdateDir + "MAST/BR01.ZIP", "PK\x03\x04 not an archive");
    site.Import(0);
    // The extraction says so itself; the text files it did not write stop the import before any row goes.
    EXPECT_EQ(site.Prompts->Texts(PromptKind::Message), std::vector<std::string>{"書庫が壊れています"});
    EXPECT_EQ(site.Errors(), std::vector<std::string>{"マスタ(BR01)の更新に失敗しました。"});
    EXPECT_EQ(site.Codes(database), kOldCodes);
    EXPECT_FALSE(Exists(site.UpdateDir + "MAST/BR01.ZIP"));
}

TEST(Execute, TwoSlotsWithOneBranchImportTheArchiveInTurnUnlessTheFirstFails) {
    for (const bool firstFails : {false, true}) {
        SCOPED_TRACE(firstFails ? "the first fails" : "both import");
        MasterSite site(EstimationEdition());
        const std::string first = site.Database(1, "BR01");
        const std::string second = site.Database(2, "BR01");
        if (firstFails) site.Slot(1, "BR01|" + site.Data.File("missing.fdb"));
        site.Archive("BR01", ".zip");
        Execute(site.State, site.Steps());
        if (!firstFails) {
            EXPECT_EQ(site.Codes(first), kImportedCodes);
        }
        EXPECT_EQ(site.Codes(second), firstFails ? kOldCodes : kImportedCodes);
        EXPECT_EQ(site.Traced("FTPUpdateExecute ; EXIT : 手元のデータが最新：取込キャンセル"), firstFails);
        EXPECT_EQ(site.Errors().size(), firstFails ? 1u : 0u);
        EXPECT_EQ(Exists(site.UpdateDir + "MAST/BR01.ZIP"), !firstFails);
        EXPECT_EQ(site.TraceOf("Execute").back(), "End");
    }
}

TEST(Execute, AnImportThatEndsTheRunDropsTheArchivesStillWaiting) {
    // The cost edition without its LZH library: the first slot's import raises.
    MasterSite site(CostEdition());
    site.Lha.reset();
    site.Database(1, "BR01");
    site.Database(2, "BR02");
    site.Database(3, "BR03");
    site.Archive("BR01", ".lzh");
    site.Archive("BR02", ".lzh");
    site.Archive("BR03", ".lzh");
    site.State.MasterBaseline[2] = kServerTime + 10; // imported in an earlier run
    try {
        Execute(site.State, site.Steps());
        FAIL() << "a missing archiver went unreported";
    } catch (const EDLLLoadError& e) {
        EXPECT_STREQ(e.what(), "Unknown DLL UNLHA32.DLL");
    }
    EXPECT_FALSE(Exists(site.UpdateDir + "MAST/BR01.LZH"));
    EXPECT_FALSE(Exists(site.UpdateDir + "MAST/BR02.LZH")) << "would look imported to the next run";
    EXPECT_TRUE(Exists(site.UpdateDir + "MAST/BR03.LZH"));
    EXPECT_TRUE(site.Progress.CancelEnabled);
    EXPECT_TRUE(site.TextFilesLeft().empty());
}

} // namespace
} // namespace towagi
