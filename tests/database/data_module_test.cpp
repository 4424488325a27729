#include "database/data_module.h"

#include "platform/prompts.h"
#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "support/settings.h"
#include "tests/common/test_env.h"
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
