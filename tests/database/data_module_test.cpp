#include "database/data_module.h"

#include "platform/prompts.h"
#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "support/settings.h"
#include "tests/common/test_env.h"
#include "tests/database/control_table.h"
#include "tests/database/test_database.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace towagi {
namespace {

using testing::ScopedHives;
using testing::TempDir;

// Records the boxes the data module shows instead of showing them.
class RecordedPrompts : public Prompts {
public:
    PromptAnswer Show(PromptKind kind, const std::string& text) override {
        Seen.push_back({kind, text});
        return PromptAnswer::Ok;
    }
    std::vector<std::pair<PromptKind, std::string>> Seen;
};

struct ScopedPrompts {
    std::shared_ptr<RecordedPrompts> Boxes = std::make_shared<RecordedPrompts>();
    ScopedPrompts() { InstallPrompts(Boxes); }
    ~ScopedPrompts() { InstallPrompts(std::make_shared<QtPrompts>()); }
};

// A program folder with its hives; the slots point at made-up locations unless a test says otherwise.
struct Installation {
    ScopedHives Hives;
    TempDir Dir;
    std::string ProgramDir = Dir.Dir() + "program/";

    Installation() {
        std::filesystem::create_directories(ProgramDir);
        for (int slot = 1; slot <= 12; ++slot)
            SetSlot(kDatabaseSlotKey, slot,
                    "BR" + std::to_string(slot) + "|/db/data" + std::to_string(slot) + ".fdb");
        for (int slot = 1; slot <= 12; ++slot)
            SetSlot(kTotalsSlotKey, slot, "TK|/db/toke" + std::to_string(slot) + ".fdb");
    }
    static void SetSlot(const std::string& key, int slot, const std::string& value) {
        testing::Require(WriteMachineString(key, "PATH" + std::to_string(slot), value, true), key);
    }
    static void Set(const std::string& key, const std::string& name,
                    const std::optional<std::string>& value) {
        if (value) {
            testing::Require(WriteMachineString(key, name, *value, true), key + "\\" + name);
        }
    }
};

TEST(DataBasePath, SelectedSlotOfTheCostEdition) {
    struct Case {
        std::optional<std::string> select;
        std::string want; // "" = raises
    };
    for (const auto& c : std::vector<Case>{
             {"1", "/db/data1.fdb"},
             {"5", "/db/data5.fdb"},
             {"12", "/db/data12.fdb"},
             {"13", "/db/data1.fdb"},
             {"0", "/db/data1.fdb"},
             {"-2", "/db/data1.fdb"},
             {"+7", "/db/data7.fdb"},
             {"", ""},
             {std::nullopt, ""},
             {"abc", ""},
             {"5x", ""},
             {"99999999999", ""},
         }) {
        Installation inst;
        Installation::Set(kDatabaseSlotKey, "SELECT", c.select);
        TKDM dm(CostEdition(), inst.ProgramDir);
        const std::string shown = c.select.value_or("(none)");
        if (c.want.empty()) {
            EXPECT_THROW(dm.DataBasePath(), EMyLibraryError) << shown;
            EXPECT_THROW(dm.DataBasePath2(), EMyLibraryError) << shown;
        } else {
            EXPECT_EQ(dm.DataBasePath(), c.want) << shown;
            EXPECT_EQ(dm.DataBasePath2(), c.want) << shown;
        }
    }
}

TEST(DataBasePath, FieldOneAsStoredAndThePerUserSelection) {
    Installation inst;
    Installation::SetSlot(kDatabaseSlotKey, 3, "BR03|/db/three.fdb  |extra");
    Installation::SetSlot(kDatabaseSlotKey, 4, "BR04");
    ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "SELECT", "3", true));
    TKDM dm(CostEdition(), inst.ProgramDir);
    EXPECT_EQ(dm.DataBasePath(), "/db/three.fdb  ");
    ASSERT_TRUE(WriteMachineInteger(kProductRoot, kPerUserSwitch, 1, true));
    ASSERT_TRUE(WriteSettingString(kDatabaseSlotKey, "SELECT", "4", true));
    EXPECT_EQ(dm.DataBasePath(), ""); // the slot has no location
    // The override of DB_DATAS counts only when it is not blank.
    dm.DB_DATASPath = " \t";
    EXPECT_EQ(dm.DataBasePath2(), "");
    dm.DB_DATASPath = "/db/override.fdb";
    EXPECT_EQ(dm.DataBasePath2(), "/db/override.fdb");
}

TEST(DataTokePath, SelectorComparedAsText) {
    struct Case {
        std::optional<std::string> select;
        std::string want;
    };
    for (const auto* profile : {&EstimationEdition(), &CostEdition()}) {
        for (const auto& c : std::vector<Case>{
                 {std::nullopt, "/db/toke1.fdb"},
                 {"", "/db/toke1.fdb"},
                 {"A", "/db/toke1.fdb"},
                 {"0", "/db/toke1.fdb"},
                 {"10", "/db/toke10.fdb"},
                 {"5", "/db/toke5.fdb"},
                 {"9", "/db/toke9.fdb"},
                 {"1x", ""},
                 {"ä", "/db/toke1.fdb"},
             }) {
            Installation inst;
            Installation::Set(kTotalsSlotKey, "SELECT", c.select);
            TDataModule dm(*profile, inst.ProgramDir);
            EXPECT_EQ(dm.DataTokePath(), c.want)
                << profile->ProgramName << " " << c.select.value_or("(none)");
        }
    }
}

TEST(DataTokePath, OnlyTheCostEditionReadsThePerUserSelector) {
    struct Case {
        const EditionProfile* profile;
        std::string want;
    };
    for (const auto& c :
         std::vector<Case>{{&EstimationEdition(), "/db/toke2.fdb"}, {&CostEdition(), "/db/toke5.fdb"}}) {
        Installation inst;
        ASSERT_TRUE(WriteMachineString(kTotalsSlotKey, "SELECT", "2", true));
        ASSERT_TRUE(WriteMachineInteger(kProductRoot, kPerUserSwitch, 1, true));
        ASSERT_TRUE(WriteSettingString(kTotalsSlotKey, "SELECT", "5", true));
        TDataModule dm(*c.profile, inst.ProgramDir);
        EXPECT_EQ(dm.DataTokePath(), c.want) << c.profile->ProgramName;
    }
}

std::vector<std::string> ParamsOf(TFbDatabase& database, void (TDataModule::*event)(TFbDatabase&),
                                  TDataModule& dm) {
    database.Params = {"left over"};
    (dm.*event)(database);
    return database.Params;
}

TEST(Credentials, QrdisapIniOfTheEstimationEdition) {
    struct Case {
        std::optional<std::string> ini;
        std::string user, password;
    };
    for (const auto& c : std::vector<Case>{
             {std::nullopt, "SYSDBA", "pinewharf"},
             {"[GDB]\r\nUSERID=\r\nPASSWORD=secret\r\n", "SYSDBA", "secret"},
             {"[GDB]\r\nUSERID=clerk\r\nPASSWORD=\r\n", "clerk", ""},
             {"[GDB]\r\nUSERID=clerk\r\n", "clerk", ""},
             {"[GDB]\r\nUSERID=\" \"\r\nPASSWORD=\"\t\"\r\n", "SYSDBA", "pinewharf"},
             {"[GDB]\r\nUSERID=clerk\r\nPASSWORD=pw\r\n", "clerk", "pw"},
             {"[GDB]\r\nUSERID=\" \"\r\nPASSWORD=pw\r\n", "SYSDBA", "pw"},
         }) {
        Installation inst;
        if (c.ini) testing::WriteFile(inst.ProgramDir + "QRDISAP.INI", *c.ini);
        // The registry's credentials are not this edition's.
        ASSERT_TRUE(WriteMachineString(kDatabaseSecurityKey, "GDBUSERID", "registry", true));
        TDM dm(EstimationEdition(), inst.ProgramDir);
        EXPECT_EQ(ParamsOf(dm.DB_DATA, &TDataModule::DB_DATABeforeConnect, dm),
                  (std::vector<std::string>{"USER NAME=" + c.user, "PASSWORD=" + c.password, "SERVER NAME="}))
            << c.ini.value_or("(no file)");
    }
}

TEST(Credentials, GdbPathComesFromTheDataModulesSection) {
    Installation inst;
    testing::WriteFile(inst.ProgramDir + "QRDISAP.INI",
                       "[GDB]\r\nGDBPath=/db/gdb.fdb\r\n[DM]\r\nGDBPath=/db/dm.fdb\r\n");
    TDM dm(EstimationEdition(), inst.ProgramDir);
    EXPECT_EQ(ParamsOf(dm.DB_DATA, &TDataModule::DB_DATABeforeConnect, dm).back(), "SERVER NAME=");
    dm.SectionName = "DM";
    EXPECT_EQ(ParamsOf(dm.DB_DATA, &TDataModule::DB_DATABeforeConnect, dm).back(), "SERVER NAME=/db/dm.fdb");
}

TEST(Credentials, RegistryOfTheCostEditionForBothDataConnections) {
    struct Case {
        std::optional<std::string> user, password;
        std::string wantUser, wantPassword;
    };
    for (const auto& c : std::vector<Case>{
             {std::nullopt, std::nullopt, "SYSDBA", "pinewharf"},
             {std::nullopt, "stored", "SYSDBA", "stored"},
             {"clerk", std::nullopt, "clerk", ""},
             {"clerk", "pw", "clerk", "pw"},
             {"", "", "SYSDBA", "pinewharf"},
             {" ", "", " ", ""}, // no trimming here
         }) {
        Installation inst;
        ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "SELECT", "2", true));
        Installation::Set(kDatabaseSecurityKey, "GDBUSERID", c.user);
        Installation::Set(kDatabaseSecurityKey, "GDBPASSWORD", c.password);
        testing::WriteFile(inst.ProgramDir + "QRDISAP.INI", "[GDB]\r\nUSERID=ini\r\nPASSWORD=ini\r\n");
        TKDM dm(CostEdition(), inst.ProgramDir);
        const std::vector<std::string> want{"USER NAME=" + c.wantUser, "PASSWORD=" + c.wantPassword,
                                            "SERVER NAME=/db/data2.fdb"};
        const std::string shown = c.user.value_or("(none)") + "/" + c.password.value_or("(none)");
        EXPECT_EQ(ParamsOf(dm.DB_DATA, &TDataModule::DB_DATABeforeConnect, dm), want) << shown;
        EXPECT_EQ(ParamsOf(dm.DB_DATAS, &TDataModule::DB_DATASBeforeConnect, dm), want) << shown;
    }
}

TEST(Credentials, TheTotalsDatabaseAlwaysUsesTheDefaultPair) {
    for (const auto* profile : {&EstimationEdition(), &CostEdition()}) {
        Installation inst;
        ASSERT_TRUE(WriteMachineString(kDatabaseSecurityKey, "GDBUSERID", "clerk", true));
        testing::WriteFile(inst.ProgramDir + "QRDISAP.INI", "[GDB]\r\nUSERID=ini\r\nPASSWORD=ini\r\n");
        ASSERT_TRUE(WriteMachineString(kTotalsSlotKey, "SELECT", "3", true));
        TDataModule dm(*profile, inst.ProgramDir);
        EXPECT_EQ(
            ParamsOf(dm.DB_TOKE, &TDataModule::DB_TOKEBeforeConnect, dm),
            (std::vector<std::string>{"USER NAME=SYSDBA", "PASSWORD=pinewharf", "SERVER NAME=/db/toke3.fdb"}))
            << profile->ProgramName;
    }
}

TEST(DataModule, WorkFolderIsTheProgramFoldersTemp) {
    Installation inst;
    TDM dm(EstimationEdition(), inst.ProgramDir);
    EXPECT_EQ(dm.GetDataTempDir(), inst.ProgramDir + "TEMP/");
    EXPECT_FALSE(std::filesystem::exists(inst.ProgramDir + "TEMP"));
    EXPECT_EQ(dm.DB_DATA.ExternalFileDir, inst.ProgramDir + "TEMP/");
}

// A suite database in slot 2 of the installation.
std::string InstallDatabase(Installation& inst) {
    const std::string file = inst.Dir.File("suite.fdb");
    testing::CreateSuiteDatabase(file, inst.ProgramDir + "TEMP/",
                                 {.MasterTables = false, .Without = {}, .RemarkLength = 40});
    Installation::SetSlot(kDatabaseSlotKey, 2, "BR02|" + file);
    return file;
}

TEST(DataModuleCreate, TheCostEditionConnectsAndWarnsWhenItCannot) {
    testing::UseTestEngine();
    struct Case {
        std::optional<std::string> select;
        bool wantConnected;
    };
    for (const auto& c : std::vector<Case>{
             {"2", true},
             {"", false}, // no slot number: the attempt fails before reaching Firebird
             {std::nullopt, false},
             {"abc", false},
             {"3", false}, // a slot whose database does not exist
         }) {
        Installation inst;
        InstallDatabase(inst);
        Installation::Set(kDatabaseSlotKey, "SELECT", c.select);
        ScopedPrompts prompts;
        TKDM dm(CostEdition(), inst.ProgramDir);
        dm.DB_DATASPath = "/db/override.fdb";
        dm.DataModuleCreate();
        const std::string shown = c.select.value_or("(none)");
        EXPECT_TRUE(dm.DB_DATASPath.empty()) << shown;
        EXPECT_EQ(dm.DB_DATA.Connected(), c.wantConnected) << shown;
        EXPECT_FALSE(dm.DB_DATAS.Connected()) << shown;
        // The cause is kept for the trace log; the box's text is fixed.
        EXPECT_EQ(dm.ConnectFailure.empty(), c.wantConnected) << shown << " " << dm.ConnectFailure;
        if (c.wantConnected) {
            EXPECT_TRUE(prompts.Boxes->Seen.empty()) << shown;
            TFbTransaction transaction = dm.DB_DATA.Connection().StartTransaction();
            EXPECT_EQ(dm.DB_DATA.Connection()
                          .Query(transaction, "SELECT CURRENT_USER FROM RDB$DATABASE")[0][0]
                          .AsString(),
                      "SYSDBA");
        } else {
            ASSERT_EQ(prompts.Boxes->Seen.size(), 1u) << shown;
            EXPECT_EQ(prompts.Boxes->Seen[0].first, PromptKind::Warning);
            EXPECT_EQ(prompts.Boxes->Seen[0].second,
                      "データベースに接続できませんでした。\r\nデータベースを確認してください。");
        }
        dm.DataModuleDestroy();
        EXPECT_FALSE(dm.DB_DATA.Connected()) << shown;
    }
}

TEST(DataModuleCreate, TheEstimationEditionOpensNothing) {
    testing::UseTestEngine();
    Installation inst;
    InstallDatabase(inst);
    ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "SELECT", "2", true));
    ScopedPrompts prompts;
    TDM dm(EstimationEdition(), inst.ProgramDir);
    dm.DataModuleCreate();
    EXPECT_FALSE(dm.DB_DATA.Connected());
    EXPECT_TRUE(prompts.Boxes->Seen.empty());
}

TEST(DataModuleCreate, ResetsTheControlSettingsInBothEditions) {
    testing::UseTestEngine();
    for (const auto* profile : {&EstimationEdition(), &CostEdition()}) {
        Installation inst; // slot 1 names a database that does not exist
        ScopedPrompts prompts;
        TDataModule dm(*profile, inst.ProgramDir);
        dm.ControlSettings.Loaded = true;
        dm.ControlSettings.NameCode = "other";
        dm.ControlSettings.List1 = {"kept"};
        dm.ControlSettings.Amount = 5;
        dm.DataModuleCreate();
        EXPECT_FALSE(dm.ControlSettings.Loaded) << profile->ProgramName;
        EXPECT_EQ(dm.ControlSettings.NameCode, "K020004001");
        EXPECT_TRUE(dm.ControlSettings.List1.empty());
        EXPECT_EQ(dm.ControlSettings.Amount, 0);
        EXPECT_EQ(static_cast<bool>(dm.DB_DATA.AfterConnect), profile->ProgramName == "Plx00up");
    }
}

// A cost-edition installation whose selected slot (2) is a suite database with the control table's rows.
struct ControlInstallation : Installation {
    std::string File = Dir.File("suite.fdb");
    explicit ControlInstallation(const std::optional<std::vector<testing::TControlRow>>& rows) {
        TFbConnection connection = testing::CreateSuiteDatabase(
            File, ProgramDir + "TEMP/", {.MasterTables = false, .Without = {}, .RemarkLength = 40});
        if (rows) testing::CreateControlTable(connection, *rows);
        connection.Detach();
        testing::SelectDatabaseSlot(2, File);
    }
};

TEST(DB_DATAAfterConnect, LoadsEveryControlValueThenConnectsDB_DATAS) {
    ControlInstallation inst(std::vector<testing::TControlRow>{
        {"K060001", "2024/05/01"},
        {"K060002", "2024/5/2 13:14:15"},
        {"K0600031", "2023/01/01"},
        {"K0600030", "2024/05/03 08:00"}, // the first code in order that begins with K060003
        {"K060004", std::nullopt},        // null: 0
        {"K060006", "2024/05/06"},
        {"K060007", "2024/05/07"},
        {"K060008", "1234.5"},
        {"K060009", "A,B,,C"},
        {"K060010", "見積,原価"},
        {"K020004001", "原価とわぎ"},
        {"K020004000", "not this"}, // comes first, but the ten-character code is matched exactly
        {"K060011", "11"},
        {"K060012", "-12"},
        {"K060013", " 13 "},
        {"K060014", "option"},
        {"K060015", "skipped"},
        {"K060016", "t1,t2,,t4,t5,t6"},
        {"K060017", "12X4"},
    });
    ASSERT_TRUE(
        WriteMachineString(std::string(kProductRoot) + "\\QuilSec", "UserName", "machine user", true));
    ASSERT_TRUE(WriteMachineInteger(kProductRoot, kPerUserSwitch, 1, true));
    ASSERT_TRUE(WriteSettingString(std::string(kProductRoot) + "\\QuilSec", "UserName", "山田", true));
    ASSERT_TRUE(WriteMachineInteger(std::string(kProductRoot) + "\\PROGRAM\\PLX0100", "MultiExcel", 3, true));
    ScopedPrompts prompts;
    TKDM dm(CostEdition(), inst.ProgramDir);
    dm.DataModuleCreate();
    ASSERT_TRUE(dm.DB_DATA.Connected());
    EXPECT_TRUE(prompts.Boxes->Seen.empty());
    const TControlSettings& cs = dm.ControlSettings;
    EXPECT_TRUE(cs.Loaded);
    const std::array<TFbTimestamp, 7> dates{{{2024, 5, 1, 0, 0, 0, 0},
                                             {2024, 5, 2, 13, 14, 15, 0},
                                             {2024, 5, 3, 8, 0, 0, 0},
                                             {},
                                             {},
                                             {2024, 5, 6, 0, 0, 0, 0},
                                             {2024, 5, 7, 0, 0, 0, 0}}};
    EXPECT_EQ(cs.Dates, dates);
    EXPECT_EQ(cs.Amount, 12345000);
    EXPECT_EQ(cs.List1, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(cs.List2, (std::vector<std::string>{"見積", "原価"}));
    EXPECT_EQ(cs.NameCode, "K020004001");
    EXPECT_EQ(cs.NameText, "原価とわぎ");
    EXPECT_EQ(cs.UserName, "山田");
    EXPECT_EQ(cs.Numbers, (std::array<std::int32_t, 3>{11, -12, 13}));
    EXPECT_EQ(cs.OptionText, "option");
    EXPECT_EQ(cs.Texts, (std::array<std::string, 5>{"t1", "t2", "", "t4", "t5"}));
    EXPECT_EQ(cs.Digits, (std::array<std::int32_t, 6>{1, 2, 0, 4, 0, 0}));
    EXPECT_EQ(cs.SingleExcel, 0); // not set
    EXPECT_EQ(cs.MultiExcel, 3);
    EXPECT_TRUE(dm.DB_DATAS.Connected());
    EXPECT_FALSE(dm.GMICNT00.Active());
    // DB_DATAS opened the same database.
    EXPECT_EQ(dm.DB_DATAS.Params.back(), "SERVER NAME=" + inst.File);
    dm.DataModuleDestroy();
    EXPECT_FALSE(dm.DB_DATA.Connected());
    EXPECT_FALSE(dm.DB_DATAS.Connected());
    EXPECT_TRUE(dm.ControlSettings.List1.empty());
}

TEST(DB_DATAAfterConnect, AValueThatDoesNotConvertEndsTheLoadSilentlyAndForGood) {
    struct Case {
        std::string code, value;
        int datesLoaded; // how many dates were loaded before the load ended
        bool amountLoaded;
    };
    for (const auto& c : std::vector<Case>{
             {"K060003", "2024/02/30", 2, false},
             {"K060008", "12,5", 7, false},
             {"K060012", "12X", 7, true},
         }) {
        std::vector<testing::TControlRow> rows{
            {"K060009", "A"}, {"K060011", "11"}, {"K060013", "13"}, {"K060017", "99"}, {"K060008", "1.5"}};
        for (int i = 1; i <= 7; ++i)
            rows.push_back({"K06000" + std::to_string(i), "2024/05/0" + std::to_string(i)});
        for (auto& row : rows)
            if (row.Code == c.code) row.Value = c.value;
        if (c.code == "K060012") rows.push_back({c.code, c.value});
        ControlInstallation inst(rows);
        ScopedPrompts prompts;
        TKDM dm(CostEdition(), inst.ProgramDir);
        dm.DataModuleCreate();
        ASSERT_TRUE(dm.DB_DATA.Connected()) << c.code;
        EXPECT_TRUE(prompts.Boxes->Seen.empty()) << c.code;
        const TControlSettings& cs = dm.ControlSettings;
        EXPECT_TRUE(cs.Loaded);
        for (int i = 0; i < 7; ++i) {
            const TFbTimestamp want =
                i < c.datesLoaded ? TFbTimestamp{2024, 5, i + 1, 0, 0, 0, 0} : TFbTimestamp{};
            EXPECT_EQ(cs.Dates[static_cast<size_t>(i)], want) << c.code << " date " << i + 1;
        }
        EXPECT_EQ(cs.Amount, c.amountLoaded ? 15000 : 0) << c.code;
        EXPECT_EQ(cs.List1, c.amountLoaded ? std::vector<std::string>{"A"} : std::vector<std::string>{});
        // K060011 comes before the failing K060012 only in the last case; nothing after the failure.
        EXPECT_EQ(cs.Numbers, (std::array<std::int32_t, 3>{c.code == "K060012" ? 11 : 0, 0, 0})) << c.code;
        EXPECT_EQ(cs.Digits, (std::array<std::int32_t, 6>{})) << c.code;
        EXPECT_FALSE(dm.DB_DATAS.Connected()) << c.code;
        EXPECT_FALSE(dm.GMICNT00.Active()) << c.code;

        // A later connection does not load again.
        dm.DB_DATA.Close();
        {
            TFbConnection connection =
                TFbConnection::Attach({inst.File, "SYSDBA", "pinewharf", inst.ProgramDir + "TEMP/"});
            testing::RunStatements(connection, {"DELETE FROM GMICNT00 WHERE CNT_KNRCOD = '" + c.code + "'"});
        }
        dm.DB_DATA.Open();
        EXPECT_EQ(cs.Digits, (std::array<std::int32_t, 6>{})) << c.code;
        EXPECT_FALSE(dm.DB_DATAS.Connected()) << c.code;
    }
}

TEST(DB_DATAAfterConnect, ADatabaseWithoutTheControlTableLeavesEverythingAsReset) {
    ControlInstallation inst(std::nullopt);
    ASSERT_TRUE(
        WriteMachineInteger(std::string(kProductRoot) + "\\PROGRAM\\PLX0100", "SingleExcel", 1, true));
    ScopedPrompts prompts;
    TKDM dm(CostEdition(), inst.ProgramDir);
    dm.DataModuleCreate();
    EXPECT_TRUE(dm.DB_DATA.Connected());
    EXPECT_TRUE(prompts.Boxes->Seen.empty());
    EXPECT_TRUE(dm.ControlSettings.Loaded);
    EXPECT_EQ(dm.ControlSettings.SingleExcel, 0);
    EXPECT_FALSE(dm.DB_DATAS.Connected());
}

TEST(OpenControlQuery, TheQuerysNameChoosesTheParameter) {
    ControlInstallation inst(std::vector<testing::TControlRow>{
        {"K0600011", "first"}, {"K0600012", "second"}, {"K020004001", "name"}});
    TKDM dm(CostEdition(), inst.ProgramDir);
    dm.DB_DATA.Open();
    // The data module's own control query: a prefix match in code order, or the one full code.
    EXPECT_TRUE(TDataModule::OpenControlQuery(dm.GMICNT00, "K060001"));
    EXPECT_EQ(dm.GMICNT00.FieldByName("CNT_KOUMEI").AsString(), "first");
    EXPECT_TRUE(TDataModule::OpenControlQuery(dm.GMICNT00, "K020004001"));
    EXPECT_EQ(dm.GMICNT00.FieldByName("CNT_KOUMEI").AsString(), "name");
    EXPECT_FALSE(TDataModule::OpenControlQuery(dm.GMICNT00, "K060002"));
    EXPECT_FALSE(TDataModule::OpenControlQuery(dm.GMICNT00, "K02000400X")); // ten characters: itself only
    EXPECT_TRUE(TDataModule::OpenControlQuery(dm.GMICNT00, "K02000400"));   // nine: "K02000400%"
    EXPECT_EQ(dm.GMICNT00.FieldByName("CNT_KOUMEI").AsString(), "name");
    struct Case {
        std::string name, parameter, code, want; // want: the value the parameter got
    };
    for (const auto& c : std::vector<Case>{
             {"KMICNT00", "Knrcod", "K01", "K01%"},
             {"KMICNTD0", "Knrcod", "K010000001", "K010000001"},
             {"QKMIHINK0", "Hincod", "H01", "H01"},
             {"KMIMKOD0", "Mitkou", "M01", "M01"},
             {"GMICNT00", "Knrcod", "K06", "K06%"},
             {"KDIDAI00", "Mituno", "1", "1"},
             {"KDIDAI01", "Sekino", "2", "2"},
             {"KDIDAI06", "Sekino", "3", "3"},
             {"KDIKSY00", "Sekino", "4", "4"},
         }) {
        TFbQuery query(c.name, dm.DB_DATA);
        query.SQL = "select cast(:" + c.parameter + " as varchar(20)) as V from RDB$DATABASE";
        EXPECT_TRUE(TDataModule::OpenControlQuery(query, c.code)) << c.name;
        EXPECT_EQ(query.FieldByName("V").AsString(), c.want) << c.name;
    }
    // Any other name sets nothing.
    TFbQuery other("KDIDAI04", dm.DB_DATA);
    other.SQL = "select 1 as V from RDB$DATABASE";
    EXPECT_TRUE(TDataModule::OpenControlQuery(other, "5"));
    dm.GMICNT00.Close();
}

TEST(DataModule, ConnectionsReadTheRegistryAgainOnEveryOpen) {
    testing::UseTestEngine();
    Installation inst;
    const std::string file = InstallDatabase(inst);
    ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "SELECT", "2", true));
    ASSERT_TRUE(WriteMachineString(kTotalsSlotKey, "SELECT", "4", true));
    Installation::SetSlot(kTotalsSlotKey, 4, "TK|" + file);
    TKDM dm(CostEdition(), inst.ProgramDir);
    dm.DB_DATAS.Open();
    dm.DB_TOKE.Open();
    EXPECT_TRUE(dm.DB_DATAS.Connected());
    EXPECT_TRUE(dm.DB_TOKE.Connected());
    dm.DB_DATAS.Close();
    ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "SELECT", "5", true));
    EXPECT_THROW(dm.DB_DATAS.Open(), EDatabaseError); // slot 5 names a database that does not exist
    EXPECT_EQ(dm.DB_DATAS.Params.back(), "SERVER NAME=/db/data5.fdb");
}

TEST(DataModule, CredentialsCountThroughAServer) {
    if (!testing::TFirebirdServer::Available()) GTEST_SKIP() << "no Firebird server installed";
    TempDir dir;
    testing::TFirebirdServer server(dir.Dir() + "program/TEMP");
    const std::string file = dir.File("remote.fdb");
    server.CreateDatabase(file);
    struct Case {
        std::optional<std::string> user, password;
        bool wantConnected;
    };
    for (const auto& c : std::vector<Case>{{std::nullopt, "wrong", false},
                                           {"CLERK", "pinewharf", false},
                                           {std::nullopt, std::nullopt, true},
                                           {std::nullopt, "pinewharf", true},
                                           {"SYSDBA", "pinewharf", true}}) {
        ScopedHives hives;
        Installation::SetSlot(kDatabaseSlotKey, 1, "BR01|" + server.Location(file));
        ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "SELECT", "1", true));
        Installation::Set(kDatabaseSecurityKey, "GDBUSERID", c.user);
        Installation::Set(kDatabaseSecurityKey, "GDBPASSWORD", c.password);
        ScopedPrompts prompts;
        TKDM dm(CostEdition(), dir.Dir() + "program/");
        dm.DataModuleCreate();
        const std::string shown = c.user.value_or("(none)") + "/" + c.password.value_or("(none)");
        EXPECT_EQ(dm.DB_DATA.Connected(), c.wantConnected) << shown;
        EXPECT_EQ(prompts.Boxes->Seen.size(), c.wantConnected ? 0u : 1u) << shown;
    }
}

TEST(SlotField, FieldsOfASlotValue) {
    struct Case {
        std::string value;
        std::string branch, location;
    };
    for (const auto& c : std::vector<Case>{
             {"BR01|/db/DATA.FDB", "BR01", "/db/DATA.FDB"},
             {"BR01", "BR01", ""},
             {"|/db/DATA.FDB", "", "/db/DATA.FDB"},
             {"BR01 |/db/DATA.FDB |kept out", "BR01 ", "/db/DATA.FDB "},
             {"本社|localhost:/db/本社.FDB", "本社", "localhost:/db/本社.FDB"},
         }) {
        EXPECT_EQ(SlotField(c.value, 0), c.branch) << c.value;
        EXPECT_EQ(SlotField(c.value, 1), c.location) << c.value;
    }
}

TEST(IsLocalDatabase, BothEditions) {
    const std::vector<std::string> addresses{"192.168.1.5", "10.0.0.7"};
    struct Case {
        std::string location;
        bool estimation, cost;
    };
    for (const auto& c : std::vector<Case>{
             {"/db/DATA.FDB", true, true},
             {"/no/such/folder/DATA.FDB", true, true}, // the root file system answers
             {"localhost:/db/DATA.FDB", true, false},
             {"LocalHost:/db/DATA.FDB", true, false},
             {"192.168.1.5:/db/DATA.FDB", true, false},
             {"192.168.1.6:/db/DATA.FDB", false, false},
             {"10.0.0.7/3051:/db/DATA.FDB", false, false}, // the host text includes the port
             {"server:/db/DATA.FDB", false, false},
             {"", true, false},
             {"relative/DATA.FDB", true, false},
             {"//server/share/DATA.FDB", true, false},
             // Windows locations: a drive letter reads as a host, as Firebird reads it here, and there are
             // no drives.
             {"C:\\DB\\DATA.GDB", false, false},
             {"localhost:C:\\DB\\DATA.GDB", true, false},
             {"192.168.1.5:D:\\DB\\DATA.GDB", true, false},
             {"192.168.1.6:D:\\DB\\DATA.GDB", false, false},
             {"本社:/db/DATA.FDB", false, false},
         }) {
        EXPECT_EQ(IsLocalDatabase(EstimationEdition(), c.location, addresses), c.estimation) << c.location;
        EXPECT_EQ(IsLocalDatabase(CostEdition(), c.location, addresses), c.cost) << c.location;
    }
    EXPECT_FALSE(IsLocalDatabase(EstimationEdition(), "192.168.1.5:/db/DATA.FDB", {}));
}

} // namespace
} // namespace towagi
