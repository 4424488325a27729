#include "database/master_import.h"

#include "database/data_module.h"
#include "database/master_layouts.h"
#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "support/encoding.h"
#include "support/settings.h"
#include "tests/common/recording_views.h"
#include "tests/common/test_env.h"
#include "tests/common/trace_lines.h"
#include "tests/database/test_database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

namespace towagi {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kBranch = "BR01";
const std::string kSlotKey = std::string(kProductRoot) + "\\PATH\\DB_DATA";
const std::string kUpdateKey = std::string(kProductRoot) + "\\PATH\\UPDATE";

// The code tables' rows before the import and the rows the branch's files bring.
const std::vector<std::string> kOldCodes{"K01A", "K012B", "K02C", "K03D", "X01"};
const std::vector<std::string> kNewCodes{"K01A", "K012B", "K012Z", "K03D", "X01", "Y09"};

bool IsCodeTable(const std::string& table) {
    return table.starts_with("KMICNT");
}

std::string CodeOf(const std::string& rowText) {
    return rowText.substr(0, rowText.find('|'));
}

bool Exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// A workstation with one slot: the database with old rows in its master tables, the work folder below the
// program folder, the update folder holding the slot's archive, private hives and the update's state.
struct ImportSite {
    testing::ScopedHives Hives;
    TempDir Dir;
    EditionProfile Profile;
    std::string ExeDir, Work, UpdateDir, Archive, Database;
    testing::RecordingProgressView Progress;
    testing::ScopedRecordingPrompts Prompts;
    TUpdateState State;
    TFbConnection Db;
    testing::TSuiteSchema Schema;
    std::map<std::string, std::vector<std::string>> Old, New; // RowTexts per master table

    explicit ImportSite(const EditionProfile& edition, const testing::TSuiteSchema& schema = {},
                        const std::string& base = "")
        : Profile(edition), Schema(schema) {
        ExeDir = Dir.Dir() + base + "program/";
        Work = GetDataTempDir(ExeDir);
        UpdateDir = Dir.Dir() + "update/";
        Database = Dir.Dir() + "db/BR01.FDB";
        for (const std::string& folder : {Work, UpdateDir + "MAST/", Dir.Dir() + "db/"})
            std::filesystem::create_directories(folder);
        Archive = UpdateDir + "MAST/BR01" + (Profile.MasterArchiveThroughLha ? ".LZH" : ".ZIP");
        WriteFile(Archive, "the branch's archive");
        WriteMachineString(kSlotKey, "PATH1", std::string(kBranch) + "|" + Database, true);
        State.Profile = &Profile;
        State.TraceLog = std::make_unique<TTraceLog>(Dir.File("trace.log"));
        State.ProgressWindow = &Progress;
        State.ExeDir = ExeDir;
        Progress.StartProgress(5);
        Db = testing::CreateSuiteDatabase(Database, Work, schema);
    }

    bool HasMaster(const std::string& table) const {
        return std::find(Schema.Without.begin(), Schema.Without.end(), table) == Schema.Without.end();
    }
    bool Imported(const std::string& table) const {
        for (const TMasterTable& imported : EditionMasterTables(Profile))
            if (table == imported.Master) return true;
        return false;
    }
    std::vector<std::vector<TFbValue>> Rows(const std::string& table, int first, int count,
                                            const std::vector<std::string>& codes, const std::string& name) {
        return testing::MasterRows(Db, table, first, count, codes, name);
    }
    // Two old rows in every master table the database has.
    void FillOld() {
        for (const TMasterTable& table : MasterTables()) {
            if (!HasMaster(table.Master)) continue;
            testing::InsertRows(Db, table.Master, Rows(table.Master, 1, 2, kOldCodes, "旧"));
            Old[table.Master] = testing::RowTexts(Db, table.Master);
        }
        testing::InsertRows(Db, "KMICNTB0", Rows("KMICNTB0", 1, 2, kOldCodes, "旧"));
    }
    // Three new rows in the text file of every master table the edition imports and the database has.
    void WriteNew(const std::set<std::string>& without = {}, int remarkLength = 0) {
        for (const TMasterTable& table : EditionMasterTables(Profile)) {
            if (!HasMaster(table.Master) || without.contains(table.Master)) continue;
            New[table.Master] = testing::WriteMasterTextFile(Db, Work, table.Master,
                                                            Rows(table.Master, 11, 3, kNewCodes, "新"), remarkLength);
        }
    }
    void Protect(const std::string& section) {
        WriteFile(ExeDir + Profile.CatalogueIniFileName,
                  ToCP932("[FTP]\r\nAccumulateDir_MAST=\r\n[Mast Protection Code]\r\n" + section, "ini"));
    }
    // The import, with the site's own connection closed meanwhile as the suite's programs would be.
    void Run() {
        Db.Detach();
        try {
            UpdateMasterDatabase(State, 0, UpdateDir, Work, kBranch);
        } catch (...) {
            Reattach();
            throw;
        }
        Reattach();
    }
    void Reattach() { Db = TFbConnection::Attach({Database, "SYSDBA", "pinewharf", Work}); }
    std::vector<std::string> Trace() const { return testing::ReadTraceLines(Dir.File("trace.log")); }
    bool Traced(const std::string& line) const {
        const auto lines = Trace();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool HasTable(const std::string& table) {
        TFbTransaction transaction = Db.StartTransaction();
        return Db.HasTable(transaction, table);
    }
    // What a code table holds after the import: the old rows under the protected prefixes, the new ones
    // elsewhere.
    std::vector<std::string> ProtectedResult(const std::string& table, const std::vector<std::string>& prefixes) {
        const auto underPrefix = [&](const std::string& row) {
            return std::any_of(prefixes.begin(), prefixes.end(),
                               [&](const std::string& p) { return CodeOf(row).starts_with(p); });
        };
        std::vector<std::string> rows;
        for (const std::string& row : Old[table])
            if (underPrefix(row)) rows.push_back(row);
        for (const std::string& row : New[table])
            if (!underPrefix(row)) rows.push_back(row);
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    // Every master table holds its old rows.
    void ExpectUnchanged() {
        for (const auto& [table, rows] : Old)
            EXPECT_EQ(testing::RowTexts(Db, table), rows) << table << " changed";
    }
    void ExpectTemporaryTablesGone() {
        for (const TMasterTable& table : MasterTables())
            EXPECT_FALSE(HasTable(table.Work)) << table.Work;
        for (const TProtectionTable& table : ProtectionTables())
            EXPECT_FALSE(HasTable(table.Keep)) << table.Keep;
    }
    std::vector<std::string> Errors() const { return Prompts->Texts(PromptKind::Error); }
    // A slot that failed as a failed copy does: nothing changed, the user told, the archive gone.
    void ExpectFailedLikeACopy() {
        ExpectUnchanged();
        EXPECT_EQ(Errors(), std::vector<std::string>{"マスタ(BR01)の更新に失敗しました。"});
        EXPECT_FALSE(Exists(Archive)) << "the next run fetches it again";
        ExpectTemporaryTablesGone();
    }
};

TEST(UpdateMasterDatabase, ReplacesEveryMasterTableAndKeepsTheProtectedCodes) {
    for (const EditionProfile* edition : {&EstimationEdition(), &CostEdition()}) {
        SCOPED_TRACE(edition->ProgramName);
        ImportSite site(*edition);
        site.FillOld();
        site.WriteNew();
        // KMIHINK0 is no code table: its entry is listed but moves none of its rows, which all begin with 品.
        site.Protect("KMICNT00=K01, K02,,K03\r\nKMICNTD0=K01,K012\r\nKMICNTK0=X\r\nKMIHINK0=品\r\nKMIXXX00=K\r\n");
        site.Run();

        for (const TMasterTable& table : MasterTables()) {
            const std::string name = table.Master;
            const auto rows = testing::RowTexts(site.Db, name);
            if (!site.Imported(name))
                EXPECT_EQ(rows, site.Old[name]) << name << " is not the edition's";
            else if (name == "KMICNT00")
                EXPECT_EQ(rows, site.ProtectedResult(name, {"K01", "K02", "K03"}));
            else if (name == "KMICNTD0")
                EXPECT_EQ(rows, site.ProtectedResult(name, {"K01", "K012"})) << "each protected row once";
            else if (name == "KMICNTK0")
                EXPECT_EQ(rows, site.ProtectedResult(name, {"X"}));
            else
                EXPECT_EQ(rows, site.New[name]) << name;
        }
        // KMICNT00: K01A, K012B, K02C, K03D as they were, X01 and Y09 new; K012Z came under a protected prefix.
        std::vector<std::string> codes;
        for (const std::string& row : testing::RowTexts(site.Db, "KMICNT00"))
            codes.push_back(CodeOf(row) + (row.find("|旧|") != std::string::npos ? " old" : " new"));
        EXPECT_EQ(codes, (std::vector<std::string>{"K012B old", "K01A old", "K02C old", "K03D old", "X01 new",
                                                   "Y09 new"}));
        EXPECT_EQ(testing::RowTexts(site.Db, "KMICNTB0").size(), 5u) << "not a master table";

        site.ExpectTemporaryTablesGone();
        EXPECT_TRUE(site.Errors().empty());
        EXPECT_TRUE(Exists(site.Archive)) << "a good import keeps the archive";
        EXPECT_EQ(site.Progress.Position, 5);
        const auto trace = site.Trace();
        // The protection list is walked from its end; only tables the database has stay in it.
        const std::vector<std::string> protect{
            "Protect Mast ; [KMIXXX00] = テーブルが存在しないため削除しました。", "Protect Mast ; [KMIHINK0] = 品",
            "Protect Mast ; [KMICNTK0] = X", "Protect Mast ; [KMICNTD0] = K01,K012",
            "Protect Mast ; [KMICNT00] = K01, K02,,K03"};
        EXPECT_EQ(trace, protect);
    }
}

TEST(UpdateMasterDatabase, AWorkFolderWithAQuoteAndAServerLocationImportTheSame) {
    struct Case {
        std::string base;
        bool server;
    };
    for (const auto& c : std::vector<Case>{{"o'neill/", false}, {"", true}}) {
        if (c.server && !testing::TFirebirdServer::Available()) GTEST_SKIP() << "no Firebird server installed";
        SCOPED_TRACE(c.base + (c.server ? "server" : "embedded"));
        ImportSite site(EstimationEdition(), {}, c.base);
        site.FillOld();
        site.WriteNew();
        site.Protect("KMICNT00=K01\r\n");
        std::unique_ptr<testing::TFirebirdServer> server;
        if (c.server) {
            // The server reads the external files from the launcher's work folder, which its own settings allow.
            server = std::make_unique<testing::TFirebirdServer>(site.Work.substr(0, site.Work.size() - 1));
            WriteMachineString(kSlotKey, "PATH1", std::string(kBranch) + "|" + server->Location(site.Database), true);
        }
        site.Run();
        EXPECT_TRUE(site.Errors().empty()) << site.Errors().front();
        EXPECT_EQ(testing::RowTexts(site.Db, "KMIHINK0"), site.New["KMIHINK0"]);
        EXPECT_EQ(testing::RowTexts(site.Db, "KMICNT00"), site.ProtectedResult("KMICNT00", {"K01"}));
        site.ExpectTemporaryTablesGone();
    }
}

TEST(UpdateMasterDatabase, PrefixesAreParametersWhateverTheyHold) {
    ImportSite site(EstimationEdition());
    const std::vector<std::string> codes{"K\"1A", "O'X", "O%Y", "K1B"};
    testing::InsertRows(site.Db, "KMICNT00", site.Rows("KMICNT00", 1, 0, codes, "旧"));
    site.Old["KMICNT00"] = testing::RowTexts(site.Db, "KMICNT00");
    site.New["KMICNT00"] =
        testing::WriteMasterTextFile(site.Db, site.Work, "KMICNT00", site.Rows("KMICNT00", 11, 0, codes, "新"));
    site.WriteNew({"KMICNT00"});
    // A double quote would end a literal of the statement; as a parameter it is just a character.
    site.Protect("KMICNT00=K\", O'\r\n");
    site.Run();
    EXPECT_TRUE(site.Errors().empty());
    EXPECT_EQ(testing::RowTexts(site.Db, "KMICNT00"), site.ProtectedResult("KMICNT00", {"K\"", "O'"}));
}

TEST(UpdateMasterDatabase, AMasterTableTheDatabaseLacksIsPassedBy) {
    for (const EditionProfile* edition : {&EstimationEdition(), &CostEdition()}) {
        SCOPED_TRACE(edition->ProgramName);
        ImportSite site(*edition, {.MasterTables = true, .Without = {"KMIHONK0", "KMICNTK0"}, .RemarkLength = 40});
        site.FillOld();
        site.WriteNew();
        site.Protect("KMICNTK0=K01\r\n");
        site.Run();
        EXPECT_TRUE(site.Errors().empty());
        for (const auto& [table, rows] : site.New)
            EXPECT_EQ(testing::RowTexts(site.Db, table), rows) << table;
        EXPECT_TRUE(site.Traced("Protect Mast ; [KMICNTK0] = テーブルが存在しないため削除しました。"));
        EXPECT_FALSE(site.HasTable("KMIHONK0"));
        site.ExpectTemporaryTablesGone();
    }
}

TEST(UpdateMasterDatabase, TheRemarkFieldTakesTheDatabasesWidthInTheEstimationEdition) {
    ImportSite site(EstimationEdition(), {.MasterTables = true, .Without = {}, .RemarkLength = 60});
    site.FillOld();
    site.WriteNew({}, 60);
    site.Run();
    EXPECT_TRUE(site.Errors().empty());
    const auto rows = testing::RowTexts(site.Db, "KMIREID0");
    EXPECT_EQ(rows, site.New["KMIREID0"]);
    ASSERT_FALSE(rows.empty());
    // The sample remark fills the column: 60 bytes of the suite's code page.
    const std::string remark = rows[0].substr(0, rows[0].find("|", rows[0].find("|", rows[0].find("|") + 1) + 1));
    EXPECT_EQ(ToCP932(remark.substr(remark.rfind('|') + 1), "remark").size(), 60u);
}

TEST(GetColumnLength, TheRemarkWidthOfTheDatabaseOrTheUsualLayout) {
    struct Case {
        int width;
        bool dropped; // KMIREID0 without REI_REIBUN
        int want;
    };
    for (const auto& c : std::vector<Case>{{60, false, 60}, {40, true, 0}}) {
        ImportSite site(EstimationEdition(), {.MasterTables = true, .Without = {}, .RemarkLength = c.width});
        if (c.dropped) testing::RunStatements(site.Db, {"ALTER TABLE KMIREID0 DROP REI_REIBUN"});
        site.Db.Detach();
        TMasterImport import(site.State, site.Work);
        import.Connect(ReadGDBProperty(site.Profile, 0));
        EXPECT_EQ(import.GetColumnLength("KMIREID0", "REI_REIBUN"), c.want);
        EXPECT_EQ(import.GetColumnLength("KMINONE0", "REI_REIBUN"), 0);
        EXPECT_EQ(import.GetColumnLength("KMICNT00", "CNT_KNRCOD"), 10);
        std::vector<std::string> lines, want;
        BuildExternalTableSQL(site.Work, "WRKREID0", "KMIREID0", lines);
        want = lines;
        if (c.want > 0) {
            want.clear();
            BuildRemarkTableSQL(site.Work, "WRKREID0", c.want, want);
        }
        import.FitRemarkLength(site.Work, "WRKREID0", lines);
        EXPECT_EQ(lines, want) << c.width;
    }
}

TEST(TMasterImport, TheRecordLengthOfEveryLayoutIsTheOneTheEngineWrites) {
    ImportSite site(EstimationEdition());
    site.WriteNew();
    site.Db.Detach();
    TMasterImport import(site.State, site.Work);
    import.Connect(ReadGDBProperty(site.Profile, 0));
    import.CreateWorkTables(site.Work);
    for (const TMasterTable& table : MasterTables()) {
        const auto size = std::filesystem::file_size(site.Work + table.Master + ".txt");
        const int rows = IsCodeTable(table.Master) ? static_cast<int>(kNewCodes.size()) : 3;
        EXPECT_EQ(size, static_cast<std::uintmax_t>(import.ExternalRecordLength(table.Work) * rows)) << table.Master;
    }
    // Three varying texts (two length bytes each) from byte 4 after the null flags, then the time stamps
    // aligned to eight: 4 + 12 + 102 + 102 = 220, 224 + 16 = 240.
    EXPECT_EQ(import.ExternalRecordLength("WRKCNT00"), 236);
    EXPECT_EQ(import.ExternalRecordLength("NO_SUCH_TABLE"), 0);
    import.DropWorkTables();
}

TEST(UpdateMasterDatabase, TheConnectionFailsForAMissingDatabaseOrAnEmptyLocation) {
    for (const std::string location : {"/no/such/folder/BR01.FDB", ""}) {
        ImportSite site(EstimationEdition());
        site.FillOld();
        WriteMachineString(kSlotKey, "PATH1", std::string(kBranch) + "|" + location, true);
        site.Run();
        EXPECT_EQ(site.Errors(), std::vector<std::string>{"データベース(BR01)への接続に失敗しました。"}) << location;
        EXPECT_FALSE(Exists(site.Archive)) << "the next run fetches it again";
        EXPECT_EQ(site.Progress.Position, 0);
        const auto trace = site.Trace();
        ASSERT_EQ(trace.size(), 1u);
        EXPECT_TRUE(trace[0].starts_with("UpdateMasterDatabase ; データベースに接続できません : ")) << trace[0];
        site.ExpectUnchanged();
    }
}

TEST(UpdateMasterDatabase, CredentialsComeFromTheSecurityKeyWithBlankDefaults) {
    struct Case {
        std::string user, password, wantUser, wantPassword;
    };
    for (const EditionProfile* edition : {&EstimationEdition(), &CostEdition()}) {
        for (const auto& c : std::vector<Case>{{"", "", "SYSDBA", "pinewharf"},
                                               {"OPERATOR", "", "OPERATOR", "pinewharf"},
                                               {" ", "secret", "SYSDBA", "secret"}}) {
            testing::ScopedHives hives;
            const std::string security = std::string(kProductRoot) + "\\Security";
            WriteMachineString(security, "GDBUSERID", c.user, true);
            WriteMachineString(security, "GDBPASSWORD", c.password, true);
            WriteMachineString(kSlotKey, "PATH3", "BR03 |/db/br03.fdb  ", true);
            const TGDBProperty property = ReadGDBProperty(*edition, 2);
            EXPECT_EQ(property.DatabaseName, "/db/br03.fdb");
            EXPECT_EQ(property.UserName, c.wantUser) << edition->ProgramName;
            EXPECT_EQ(property.Password, c.wantPassword) << edition->ProgramName;
        }
    }
}

TEST(UpdateMasterDatabase, AStatementThatFailsInTheMiddleLeavesEveryMasterTableAsItWas) {
    for (const EditionProfile* edition : {&EstimationEdition(), &CostEdition()}) {
        SCOPED_TRACE(edition->ProgramName);
        ImportSite site(*edition);
        site.FillOld();
        // The 13th table of both editions refuses the file's rows, after twelve tables were emptied and filled.
        testing::RunStatements(site.Db, {"CREATE UNIQUE INDEX KMIHONK0_CODE ON KMIHONK0 (HON_HONCOD)"});
        site.WriteNew({"KMIHONK0"});
        const auto duplicate = site.Rows("KMIHONK0", 11, 1, {}, "");
        testing::WriteMasterTextFile(site.Db, site.Work, "KMIHONK0", {duplicate[0], duplicate[0]});
        site.Protect("KMICNT00=K01\r\n");
        site.Run();
        site.ExpectFailedLikeACopy();
        const auto trace = site.Trace();
        EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [](const std::string& line) {
            return line.starts_with("UpdateMasterDatabase ; マスタを元に戻しました : ") &&
                   line.find("KMIHONK0_CODE") != std::string::npos;
        })) << trace.back();
        EXPECT_EQ(site.Progress.Position, 4) << "two steps before the transaction, one after its deletes, the last";
    }
}

TEST(UpdateMasterDatabase, AMissingOrTruncatedTextFileFailsTheSlotBeforeAnyRowIsDeleted) {
    struct Case {
        std::string name;
        std::function<void(ImportSite&)> spoil;
        std::string traced; // after "CheckMasterTextFiles ; マスタファイル[work"
    };
    for (const EditionProfile* edition : {&EstimationEdition(), &CostEdition()}) {
        for (const auto& c : std::vector<Case>{
                 {"missing", [](ImportSite& s) { std::filesystem::remove(s.Work + "KMIFKUK0.txt"); },
                  "KMIFKUK0.txt]がありません"},
                 {"truncated",
                  [](ImportSite& s) {
                      const std::string file = s.Work + "KMIHINK0.txt";
                      std::filesystem::resize_file(file, std::filesystem::file_size(file) - 7);
                  },
                  "KMIHINK0.txt]の大きさ("},
                 {"a folder in its place",
                  [](ImportSite& s) {
                      std::filesystem::remove(s.Work + "KMICIN00.txt");
                      std::filesystem::create_directory(s.Work + "KMICIN00.txt");
                  },
                  "KMICIN00.txt]がありません"}}) {
            SCOPED_TRACE(edition->ProgramName + " " + c.name);
            ImportSite site(*edition);
            site.FillOld();
            site.WriteNew();
            c.spoil(site);
            site.Protect("KMICNT00=K01\r\n");
            site.Run();
            site.ExpectFailedLikeACopy();
            const auto trace = site.Trace();
            ASSERT_FALSE(trace.empty());
            EXPECT_TRUE(trace[0].starts_with("CheckMasterTextFiles ; マスタファイル[" + site.Work + c.traced))
                << trace[0];
            EXPECT_EQ(trace.size(), 1u) << "no protected rows were saved";
        }
    }
}

TEST(UpdateMasterDatabase, ATextFileNamedInAnotherCaseIsTheSameFile) {
    ImportSite site(EstimationEdition());
    site.FillOld();
    site.WriteNew();
    std::filesystem::rename(site.Work + "KMICNT00.txt", site.Work + "KMICNT00.TXT");
    std::filesystem::rename(site.Work + "KMIHIND0.txt", site.Work + "kmihind0.txt");
    site.Run();
    EXPECT_TRUE(site.Errors().empty());
    EXPECT_EQ(testing::RowTexts(site.Db, "KMICNT00"), site.New["KMICNT00"]);
    EXPECT_EQ(testing::RowTexts(site.Db, "KMIHIND0"), site.New["KMIHIND0"]);
}

TEST(UpdateMasterDatabase, AWorkTableThatCannotBeCreatedEndsTheImportOrFailsItsCopy) {
    for (const EditionProfile* edition : {&EstimationEdition(), &CostEdition()}) {
        SCOPED_TRACE(edition->ProgramName);
        ImportSite site(*edition);
        site.FillOld();
        site.WriteNew();
        // A view holds the work table's name: the drop passes it by and the create fails.
        testing::RunStatements(site.Db, {"CREATE VIEW WRKHONK0 AS SELECT CNT_KNRCOD FROM KMICNT00"});
        if (!edition->WorkTableErrorsIgnored) {
            EXPECT_THROW(site.Run(), EDatabaseError);
            EXPECT_TRUE(site.Errors().empty());
            EXPECT_TRUE(Exists(site.Archive)) << "the update run decides";
        } else {
            site.Run();
            EXPECT_EQ(site.Errors(), std::vector<std::string>{"マスタ(BR01)の更新に失敗しました。"});
            EXPECT_FALSE(Exists(site.Archive));
            const auto trace = site.Trace();
            EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [](const std::string& line) {
                return line.starts_with("UpdateMasterDatabase ; 実行できなかった文を飛ばしました : ");
            }));
        }
        site.ExpectUnchanged();
    }
}

TEST(UpdateMasterDatabase, AProtectionTableLeftByAnEarlierImportIsDroppedFirst) {
    for (const EditionProfile* edition : {&EstimationEdition(), &CostEdition()}) {
        SCOPED_TRACE(edition->ProgramName);
        ImportSite site(*edition);
        site.FillOld();
        site.WriteNew();
        // Copies of rows that were never deleted, left when an import stopped before its transaction.
        testing::RunStatements(site.Db, {"CREATE TABLE WMICNT00 (CNT_KNRCOD VARCHAR(10) NOT NULL, CNT_KOUMEI "
                                         "VARCHAR(100), CNT_OPTION VARCHAR(100), CNT_CREATE DATETIME, CNT_UPDATE "
                                         "DATETIME)",
                                         "INSERT INTO WMICNT00 SELECT * FROM KMICNT00"});
        site.Protect("KMICNT00=K01\r\n");
        site.Run();
        EXPECT_TRUE(site.Errors().empty());
        EXPECT_EQ(testing::RowTexts(site.Db, "KMICNT00"), site.ProtectedResult("KMICNT00", {"K01"}));
        EXPECT_TRUE(site.Traced("Protect Mast ; [WMICNT00] 前回の取込で残った保護テーブルを削除しました。"));
        site.ExpectTemporaryTablesGone();
    }
}

TEST(ClearMasterTextFiles, RemovesTheEditionsTextFilesInAnyCase) {
    for (const EditionProfile* edition : {&EstimationEdition(), &CostEdition()}) {
        TempDir dir;
        for (const std::string name : {"KMICNT00.txt", "kmihink0.TXT", "KMISKIK0.txt", "KMICNT00.txt.bak", "other.txt"})
            WriteFile(dir.File(name), "x");
        ClearMasterTextFiles(*edition, dir.Dir());
        std::set<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
            left.insert(entry.path().filename().string());
        std::set<std::string> want{"KMICNT00.txt.bak", "other.txt"};
        if (edition->MasterTableCount == 14) want.insert("KMISKIK0.txt");
        EXPECT_EQ(left, want) << edition->ProgramName;
    }
}

} // namespace
} // namespace towagi
