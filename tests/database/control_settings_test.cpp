#include "database/control_settings.h"

#include "database/data_module.h"
#include "platform/settings_store.h"
#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "support/errors.h"
#include "support/settings.h"
#include "support/settings_store.h"
#include "tests/common/recording_views.h"
#include "tests/common/test_env.h"
#include "tests/database/control_table.h"
#include "tests/database/test_database.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

namespace towagi {
namespace {

using testing::ScopedHives;
using testing::ScopedRecordingPrompts;
using testing::TControlRow;
using testing::TempDir;

constexpr const char* kUpdate = "\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE";
const std::string kUpdateKeyPath = kUpdate;

// The scope the control table would give; stands in for the database in these tests.
class ScopedReg : public TPLXREG {
public:
    explicit ScopedReg(std::string scope) : scope_(std::move(scope)) {}
    std::string GetRegScope(const std::string&, const std::string&) override { return scope_; }

private:
    std::string scope_;
};

void WriteValue(Hive hive, const std::string& name, const std::optional<std::string>& text,
                std::optional<std::int32_t> number = std::nullopt) {
    auto key = CurrentSettingsStore().OpenKey(hive, kUpdate, true, KeyAccess::ReadWrite);
    testing::Require(key != nullptr, std::string("key ") + kUpdate);
    if (text) key->WriteString(name, *text);
    if (number) key->WriteInteger(name, *number);
}

TEST(TPLXREG, KeysLieBelowTheProductRootUnlessAbsolute) {
    EXPECT_EQ(TPLXREG::FullKey("PATH\\UPDATE"), "\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE");
    EXPECT_EQ(TPLXREG::FullKey("\\Software\\VORN\\TOWAGI\\PATH\\UPDATE"),
              "\\Software\\VORN\\TOWAGI\\PATH\\UPDATE");
}

TEST(TPLXDirectReg, WithoutTheControlTableEveryValueIsMachineWide) {
    ScopedHives hives;
    WriteMachineInteger(kProductRoot, kPerUserSwitch, 1, true);
    WriteValue(Hive::Machine, "PATHJ", "|/srv/machine");
    WriteValue(Hive::User, "PATHJ", "|/srv/user");
    WriteValue(Hive::User, "Dialup", std::nullopt, 1);
    TPLXDirectReg reg;
    EXPECT_EQ(reg.GetRegScope("PATH\\UPDATE", "PATHJ"), "M");
    EXPECT_EQ(reg.ReadRegString("PATH\\UPDATE", "PATHJ"), "|/srv/machine");
    EXPECT_EQ(reg.ReadRegInteger("PATH\\UPDATE", "Dialup", -1), -1);
    EXPECT_EQ(reg.ReadRegString("PATH\\MISSING", "PATHJ"), "");
}

TEST(TPLXREG, ReadRegStringFallsBackToTheMachineHiveOnlyForPerUserValues) {
    struct Case {
        std::string scope;
        std::optional<std::string> user;
        std::optional<std::string> machine;
        std::string want;
    };
    for (const auto& c : std::vector<Case>{
             {"U", "user", "machine", "user"},
             {"U", std::nullopt, "machine", "machine"},
             {"U", "  ", "machine", "machine"}, // a blank per-user value counts as missing
             {"U", "  ", std::nullopt, ""},
             {"M", "user", std::nullopt, ""},
             {"M", "user", "machine", "machine"},
             {"M", std::nullopt, "  ", "  "},
         }) {
        ScopedHives hives;
        if (c.user) WriteValue(Hive::User, "PATHJ", c.user);
        if (c.machine) WriteValue(Hive::Machine, "PATHJ", c.machine);
        EXPECT_EQ(ScopedReg(c.scope).ReadRegString("PATH\\UPDATE", "PATHJ"), c.want)
            << c.scope << " " << c.user.value_or("-") << " " << c.machine.value_or("-");
    }
}

TEST(TPLXREG, ReadRegIntegerTakesTheFirstHiveHoldingAnInteger) {
    struct Case {
        std::string scope;
        std::optional<std::int32_t> user;
        bool userAsText;
        std::optional<std::int32_t> machine;
        std::int32_t want;
    };
    for (const auto& c : std::vector<Case>{
             {"U", 1, false, 2, 1},
             {"U", std::nullopt, false, 2, 2},
             {"U", std::nullopt, true, 2, 2}, // text where an integer belongs counts as missing
             {"U", std::nullopt, false, std::nullopt, 7},
             {"M", 1, false, std::nullopt, 7},
             {"M", 1, false, 0, 0},
         }) {
        ScopedHives hives;
        if (c.user) WriteValue(Hive::User, "Update_Quil_Mast", std::nullopt, c.user);
        if (c.userAsText) WriteValue(Hive::User, "Update_Quil_Mast", "1");
        if (c.machine) WriteValue(Hive::Machine, "Update_Quil_Mast", std::nullopt, c.machine);
        EXPECT_EQ(ScopedReg(c.scope).ReadRegInteger("PATH\\UPDATE", "Update_Quil_Mast", 7), c.want)
            << c.scope;
    }
}

TEST(TPLXREG, IntegerReadAsTextRaisesTheStoresError) {
    ScopedHives hives;
    WriteValue(Hive::Machine, "FTP_HOST", std::nullopt, 5);
    EXPECT_THROW(TPLXDirectReg().ReadRegString("PATH\\UPDATE", "FTP_HOST"), ESettingsError);
}

// ---- conversions of the control values ----

TEST(ControlValues, DateTimes) {
    struct Case {
        std::string text;
        std::optional<TFbTimestamp> want; // nullopt: does not convert
    };
    for (const auto& c : std::vector<Case>{
             {"2024/05/01", TFbTimestamp{2024, 5, 1, 0, 0, 0, 0}},
             {"2024/5/1", TFbTimestamp{2024, 5, 1, 0, 0, 0, 0}},
             {" 2024/12/31 23:59:59 ", TFbTimestamp{2024, 12, 31, 23, 59, 59, 0}},
             {"2024/02/29 7:05", TFbTimestamp{2024, 2, 29, 7, 5, 0, 0}},
             {"2024/1/2  10:20:30", TFbTimestamp{2024, 1, 2, 10, 20, 30, 0}},
             {"2023/02/29", std::nullopt},
             {"2024/13/01", std::nullopt},
             {"2024/04/31", std::nullopt},
             {"2024/00/10", std::nullopt},
             {"24/5/1", std::nullopt},
             {"20245/5/1", std::nullopt},
             {"2024-05-01", std::nullopt},
             {"2024/05/01 24:00", std::nullopt},
             {"2024/05/01 12:60", std::nullopt},
             {"2024/05/01 12", std::nullopt},
             {"2024/05/01T12:00", std::nullopt},
             {"2024/05/01 12:00:00 x", std::nullopt},
             {"", std::nullopt},
             {"garbage", std::nullopt},
         }) {
        if (c.want) {
            EXPECT_EQ(ControlDateTime(c.text), *c.want) << c.text;
        } else {
            EXPECT_THROW(ControlDateTime(c.text), EMyLibraryError) << c.text;
        }
    }
}

TEST(ControlValues, CurrencyAmountsInTenThousandths) {
    struct Case {
        std::string text;
        std::optional<std::int64_t> want;
    };
    for (const auto& c : std::vector<Case>{
             {"0", 0},
             {"1234", 12340000},
             {"-1234.5", -12345000},
             {"+0.0001", 1},
             {" 12.34567 ", 123457}, // a fifth place is rounded
             {"12.34564", 123456},
             {"12.", 120000},
             {".5", 5000},
             {"922337203685477.5807", INT64_MAX},
             {"-922337203685477.5807", -INT64_MAX},
             {"922337203685477.5808", std::nullopt},
             {"99999999999999999999", std::nullopt},
             {"1,234", std::nullopt},
             {"1.2.3", std::nullopt},
             {"12X", std::nullopt},
             {"-", std::nullopt},
             {".", std::nullopt},
             {"", std::nullopt},
         }) {
        if (c.want) {
            EXPECT_EQ(ControlCurrency(c.text), *c.want) << c.text;
        } else {
            EXPECT_THROW(ControlCurrency(c.text), EMyLibraryError) << c.text;
        }
    }
}

TEST(ControlValues, Integers) {
    struct Case {
        std::string text;
        std::optional<std::int32_t> want;
    };
    for (const auto& c : std::vector<Case>{
             {"42", 42},
             {" -7 ", -7},
             {"+2147483647", 2147483647},
             {"-2147483648", -2147483647 - 1},
             {"2147483648", std::nullopt},
             {"+-1", std::nullopt},
             {"1.0", std::nullopt},
             {"0x10", std::nullopt},
             {"", std::nullopt},
         }) {
        if (c.want) {
            EXPECT_EQ(ControlInteger(c.text), *c.want) << c.text;
        } else {
            try {
                ControlInteger(c.text);
                ADD_FAILURE() << c.text << " converted";
            } catch (const EMyLibraryError& e) {
                EXPECT_EQ(std::string(e.what()), "'" + c.text + "' は有効な整数値ではありません");
            }
        }
    }
}

TEST(ControlValues, ListsStopAtTheFirstBlankItem) {
    struct Case {
        std::string text;
        std::vector<std::string> want;
    };
    for (const auto& c : std::vector<Case>{
             {"A,B,,C", {"A", "B"}},
             {"A,B,C", {"A", "B", "C"}},
             {"A, ,B", {"A"}},
             {" A,B ", {" A", "B "}}, // items as they stand
             {"見積,原価", {"見積", "原価"}},
             {"A,", {"A"}},
             {",A", {}},
             {"", {}},
         }) {
        EXPECT_EQ(ControlList(c.text), c.want) << c.text;
    }
}

TEST(ControlValues, DigitsOfTheFirstSixCharacters) {
    struct Case {
        std::string text;
        std::array<std::int32_t, 6> want;
    };
    for (const auto& c : std::vector<Case>{
             {"12X4", {1, 2, 0, 4, 0, 0}},
             {"1234567", {1, 2, 3, 4, 5, 6}},
             {"", {0, 0, 0, 0, 0, 0}},
             {" 9-8.7", {0, 9, 0, 8, 0, 7}},
         }) {
        EXPECT_EQ(ControlDigits(c.text), c.want) << c.text;
    }
}

// ---- the scope from the control table ----

// A suite database in slot 2 whose control table holds the rows.
struct ControlDatabase {
    ScopedHives Hives;
    TempDir Dir;
    std::string File = Dir.File("suite.fdb");

    explicit ControlDatabase(const std::optional<std::vector<TControlRow>>& rows) {
        TFbConnection connection = testing::CreateSuiteDatabase(
            File, Dir.Dir() + "TEMP/", {.MasterTables = false, .Without = {}, .RemarkLength = 40});
        if (rows) testing::CreateControlTable(connection, *rows);
        connection.Detach();
        testing::SelectDatabaseSlot(2, File);
    }

    // Attachments to the database other than the one asking.
    std::int64_t OtherAttachments() const {
        TFbConnection connection = TFbConnection::Attach({File, "SYSDBA", "pinewharf", Dir.Dir() + "TEMP/"});
        TFbTransaction transaction = connection.StartTransaction();
        const auto rows = connection.Query(
            transaction, "select count(*) from MON$ATTACHMENTS where MON$ATTACHMENT_ID <> CURRENT_CONNECTION"
                         " and MON$SYSTEM_FLAG = 0");
        return rows.at(0)[0].AsInteger();
    }
};

TEST(GetRegScope, MachineWideExactlyWhenAControlRowNamesTheValue) {
    struct Case {
        std::vector<TControlRow> rows;
        std::string key, name, want;
    };
    const TControlRow pathj{"K0200290", "PATH\\UPDATE|PATHJ"};
    for (const auto& c : std::vector<Case>{
             {{pathj}, "PATH\\UPDATE", "PATHJ", "M"},
             {{pathj}, "PATH\\UPDATE\\", "PATHJ", "M"}, // one trailing backslash goes
             {{pathj}, "PATH\\UPDATE\\\\", "PATHJ", "U"},
             {{pathj}, "path\\update", "pathj", "M"}, // compared in upper case
             {{{"K020029", "path\\Update|PathJ"}}, "PATH\\UPDATE", "PATHJ", "M"},
             {{pathj}, "PATH\\UPDATE", "PATH", "U"}, // the whole text, not a part
             {{pathj}, "PATH\\UPDATE", "FTP_HOST", "U"},
             {{pathj}, "PATH\\EXCEL", "PATHJ", "U"},
             {{{"K0200300", "PATH\\UPDATE|PATHJ"}}, "PATH\\UPDATE", "PATHJ", "U"}, // another code
             {{{"K02002", "PATH\\UPDATE|PATHJ"}}, "PATH\\UPDATE", "PATHJ", "U"},
             {{{"K0200291", std::nullopt}, pathj}, "PATH\\UPDATE", "PATHJ", "M"},
             {{}, "PATH\\UPDATE", "PATHJ", "U"},
             {{{"K0200290", "\\SOFTWARE\\VORN\\TOWAGI\\PATH\\UPDATE|PATHJ"}},
              "\\Software\\VORN\\TOWAGI\\PATH\\UPDATE",
              "PATHJ",
              "M"},
             // Texts from the settings travel as a parameter, quotes and wildcards included.
             {{{"K0200290", "PATH\\UPDATE|IT'S"}}, "PATH\\UPDATE", "it's", "M"},
             {{pathj}, "PATH\\UPDATE", "%' or ''='", "U"},
             {{pathj}, "PATH\\UPDATE", "PATH_", "U"},
         }) {
        ControlDatabase db(c.rows);
        ScopedRecordingPrompts prompts;
        EXPECT_EQ(TPLXDirectReg().GetRegScope(c.key, c.name), c.want) << c.key << "|" << c.name;
        EXPECT_TRUE(prompts->Boxes.empty());
        // Each decision detaches again.
        EXPECT_EQ(db.OtherAttachments(), 0) << c.key << "|" << c.name;
    }
}

TEST(GetRegScope, MachineWideWithoutAUsableDatabaseAndNothingShown) {
    TempDir dir;
    for (const std::string& location :
         std::vector<std::string>{dir.File("missing.fdb"), "127.0.0.1/1:" + dir.File("missing.fdb"), ""}) {
        ScopedHives hives;
        testing::SelectDatabaseSlot(1, location);
        ScopedRecordingPrompts prompts;
        EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "PATHJ"), "M") << location;
        EXPECT_TRUE(prompts->Boxes.empty()) << location;
    }
    // A database without the control table.
    ControlDatabase db(std::nullopt);
    ScopedRecordingPrompts prompts;
    EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "PATHJ"), "M");
    EXPECT_TRUE(prompts->Boxes.empty());
    EXPECT_EQ(db.OtherAttachments(), 0);
}

TEST(GetRegScope, AFailingQueryRaisesWithTheRegistryText) {
    ControlDatabase db(std::nullopt);
    {
        TFbConnection connection =
            TFbConnection::Attach({db.File, "SYSDBA", "pinewharf", db.Dir.Dir() + "TEMP/"});
        // A control table without the value column.
        testing::RunStatements(connection, {"CREATE TABLE GMICNT00 (CNT_KNRCOD VARCHAR(10))"});
    }
    ScopedRecordingPrompts prompts;
    try {
        TPLXDirectReg().ReadRegString("PATH\\UPDATE", "PATHJ");
        FAIL() << "no error";
    } catch (const EMyLibraryError& e) {
        const std::string text = e.what();
        EXPECT_TRUE(text.starts_with("レジストリ情報の取得に失敗しました。\r\n【")) << text;
        EXPECT_NE(text.find("CNT_KOUMEI"), std::string::npos) << text;
        EXPECT_TRUE(text.ends_with("】")) << text;
    }
    EXPECT_TRUE(prompts->Boxes.empty());
    EXPECT_EQ(db.OtherAttachments(), 0);
}

// Adds a control row from another attachment, committed.
void AddControlRow(const ControlDatabase& db, const std::string& code, const std::string& value) {
    TFbConnection connection =
        TFbConnection::Attach({db.File, "SYSDBA", "pinewharf", db.Dir.Dir() + "TEMP/"});
    TFbTransaction transaction = connection.StartTransaction();
    connection.Execute(transaction, "INSERT INTO GMICNT00 (CNT_KNRCOD, CNT_KOUMEI) VALUES (:Code, :Value)",
                       {{"Code", code}, {"Value", value}});
    transaction.Commit();
}

TEST(TControlTableAttachment, DecisionsShareOneAttachmentAndStillAskTheTableEachTime) {
    ControlDatabase db(std::vector<TControlRow>{{"K0200290", "PATH\\UPDATE|PATHJ"}});
    ScopedRecordingPrompts prompts;
    {
        TControlTableAttachment kept;
        EXPECT_FALSE(kept.Attached()); // made at the first decision
        EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "PATHJ"), "M");
        EXPECT_TRUE(kept.Attached());
        EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "FTP_HOST"), "U");
        EXPECT_EQ(db.OtherAttachments(), 1);
        // A row committed elsewhere counts at the very next decision: nothing is cached.
        AddControlRow(db, "K0200291", "PATH\\UPDATE|FTP_HOST");
        EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "FTP_HOST"), "M");
        EXPECT_EQ(db.OtherAttachments(), 1);
        // Reads and writes take their scopes the same way.
        WriteValue(Hive::User, "Dialup_Name", "user line");
        WriteValue(Hive::Machine, "Dialup_Name", "machine line");
        EXPECT_EQ(TPLXDirectReg().ReadRegString("PATH\\UPDATE", "Dialup_Name"), "user line");
        AddControlRow(db, "K0200292", "PATH\\UPDATE|DIALUP_NAME");
        EXPECT_EQ(TPLXDirectReg().ReadRegString("PATH\\UPDATE", "Dialup_Name"), "machine line");
        EXPECT_EQ(db.OtherAttachments(), 1);
    }
    EXPECT_EQ(db.OtherAttachments(), 0);
    EXPECT_TRUE(prompts->Boxes.empty());
}

TEST(TControlTableAttachment, FollowsTheSelectedSlotAndAnswersAsAnAttachmentPerDecision) {
    ControlDatabase first(std::vector<TControlRow>{{"K0200290", "PATH\\UPDATE|PATHJ"}});
    TempDir otherDir;
    const std::string other = otherDir.File("other.fdb");
    testing::CreateSuiteDatabase(other, otherDir.Dir() + "TEMP/",
                                 {.MasterTables = false, .Without = {}, .RemarkLength = 40})
        .Detach(); // no control table
    ScopedRecordingPrompts prompts;
    TControlTableAttachment kept;
    EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "FTP_HOST"), "U");
    // Another slot selected: its database, which has no control table, makes every value the machine's.
    testing::SelectDatabaseSlot(5, other);
    EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "FTP_HOST"), "M");
    EXPECT_EQ(first.OtherAttachments(), 0);
    // The control table made there meanwhile counts at the next decision.
    {
        TFbConnection connection =
            TFbConnection::Attach({other, "SYSDBA", "pinewharf", otherDir.Dir() + "TEMP/"});
        testing::CreateControlTable(connection, {{"K0200290", "PATH\\UPDATE|PATHJ"}});
    }
    EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "FTP_HOST"), "U");
    EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "PATHJ"), "M");
    EXPECT_TRUE(kept.Attached());
    // A database that cannot be reached: "M" without a word, and the next decision tries again.
    testing::SelectDatabaseSlot(6, otherDir.File("missing.fdb"));
    EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "FTP_HOST"), "M");
    EXPECT_FALSE(kept.Attached());
    testing::SelectDatabaseSlot(2, first.File);
    EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "PATHJ"), "M");
    EXPECT_EQ(TPLXDirectReg().GetRegScope("PATH\\UPDATE", "FTP_HOST"), "U");
    EXPECT_TRUE(kept.Attached());
    EXPECT_TRUE(prompts->Boxes.empty());
}

TEST(TControlTableAttachment, AFailingQueryRaisesAsWithoutIt) {
    ControlDatabase db(std::nullopt);
    {
        TFbConnection connection =
            TFbConnection::Attach({db.File, "SYSDBA", "pinewharf", db.Dir.Dir() + "TEMP/"});
        testing::RunStatements(connection, {"CREATE TABLE GMICNT00 (CNT_KNRCOD VARCHAR(10))"});
    }
    ScopedRecordingPrompts prompts;
    TControlTableAttachment kept;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            TPLXDirectReg().GetRegScope("PATH\\UPDATE", "PATHJ");
            ADD_FAILURE() << "no error";
        } catch (const EMyLibraryError& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with("レジストリ情報の取得に失敗しました。\r\n【"))
                << e.what();
        }
    }
    EXPECT_TRUE(prompts->Boxes.empty());
}

// The real store, noting which hive each key was opened in.
class HiveRecordingStore : public SettingsStore {
public:
    std::unique_ptr<SettingsKey> OpenKey(Hive hive, const std::string& path, bool create,
                                         KeyAccess access) override {
        ++Opened[hive];
        return store_.OpenKey(hive, path, create, access);
    }
    bool DeleteKey(Hive hive, const std::string& path) override { return store_.DeleteKey(hive, path); }
    std::map<Hive, int> Opened;

private:
    SqliteSettingsStore store_;
};

TEST(TPLXREG, ReadsFollowTheControlTable) {
    ControlDatabase db(std::vector<TControlRow>{{"K0200290", "PATH\\UPDATE|PATHJ"},
                                                {"K0200291", "PATH\\UPDATE|UPDATE_QUIL_MAST"}});
    WriteValue(Hive::Machine, "PATHJ", "|/srv/machine");
    WriteValue(Hive::User, "PATHJ", "|/srv/user");
    WriteValue(Hive::Machine, "FTP_UserID", "machine");
    WriteValue(Hive::User, "FTP_UserID", "user");
    WriteValue(Hive::Machine, "FTP_Password", "machine");
    WriteValue(Hive::User, "FTP_Password", " ");
    WriteValue(Hive::Machine, "Update_Quil_Mast", std::nullopt, 0);
    WriteValue(Hive::User, "Update_Quil_Mast", std::nullopt, 1);
    WriteValue(Hive::User, "Update_Quil_Excel", std::nullopt, 1);
    WriteValue(Hive::Machine, "Dialup", std::nullopt, 2);
    TPLXDirectReg reg;
    EXPECT_EQ(reg.ReadRegString("PATH\\UPDATE", "PATHJ"), "|/srv/machine");
    EXPECT_EQ(reg.ReadRegString("PATH\\UPDATE", "FTP_UserID"), "user");
    EXPECT_EQ(reg.ReadRegString("PATH\\UPDATE", "FTP_Password"), "machine"); // blank per-user text
    EXPECT_EQ(reg.ReadRegString("PATH\\UPDATE", "FTP_HOST"), "");
    EXPECT_EQ(reg.ReadRegInteger("PATH\\UPDATE", "Update_Quil_Mast", -1), 0);
    EXPECT_EQ(reg.ReadRegInteger("PATH\\UPDATE", "Update_Quil_Excel", -1), 1);
    EXPECT_EQ(reg.ReadRegInteger("PATH\\UPDATE", "Dialup", -1), 2);
    EXPECT_EQ(reg.ReadRegInteger("PATH\\UPDATE", "Update_Quil_Help", -1), -1);
    // The edition's one way of reading settings goes through the same object.
    EXPECT_EQ(ReadEditionString(CostEdition(), "PATH\\UPDATE", "FTP_UserID"), "user");
    EXPECT_EQ(ReadEditionInteger(CostEdition(), "PATH\\UPDATE", "Update_Quil_Excel"), 1);
    EXPECT_EQ(ReadEditionString(EstimationEdition(), "PATH\\UPDATE", "FTP_UserID"), "machine");
    EXPECT_EQ(ReadEditionInteger(EstimationEdition(), "PATH\\UPDATE", "Update_Quil_Excel"), -1);
}

TEST(TPLXREG, AMachineWideValueNeverOpensTheUserHive) {
    ControlDatabase db(std::vector<TControlRow>{{"K0200290", "PATH\\UPDATE|PATHJ"}});
    WriteValue(Hive::User, "PATHJ", "|/srv/user");
    WriteValue(Hive::User, "Dialup", std::nullopt, 1);
    auto store = std::make_shared<HiveRecordingStore>();
    InstallSettingsStore(store);
    TPLXDirectReg reg;
    EXPECT_EQ(reg.ReadRegString("PATH\\UPDATE", "PATHJ"), "");
    EXPECT_EQ(store->Opened[Hive::User], 0);
    EXPECT_GT(store->Opened[Hive::Machine], 0);
    // A per-user value is looked for in the user hive first.
    EXPECT_EQ(reg.ReadRegInteger("PATH\\UPDATE", "Dialup", -1), 1);
    EXPECT_GT(store->Opened[Hive::User], 0);
}

TEST(TPLXREG, WriteRegStringWritesTheScopesHive) {
    ControlDatabase db(std::vector<TControlRow>{{"K0200290", "PATH\\UPDATE|PATHJ"}});
    TPLXDirectReg reg;
    EXPECT_TRUE(reg.WriteRegString("PATH\\UPDATE", "PATHJ", "|/srv/machine"));
    EXPECT_TRUE(reg.WriteRegString("PATH\\NEW", "PATHJ", "|/srv/user"));
    EXPECT_EQ(ReadMachineString(kUpdateKeyPath, "PATHJ", false), "|/srv/machine");
    std::string value;
    auto userKey =
        CurrentSettingsStore().OpenKey(Hive::User, TPLXREG::FullKey("PATH\\NEW"), false, KeyAccess::Read);
    ASSERT_NE(userKey, nullptr); // created
    EXPECT_TRUE(userKey->ReadString("PATHJ", value));
    EXPECT_EQ(value, "|/srv/user");
    EXPECT_EQ(ReadMachineString(TPLXREG::FullKey("PATH\\NEW"), "PATHJ", false), "");
    // A hive that cannot be written (its folder would be a file): the key cannot be made.
    testing::ScopedEnv unwritable("TOWAGI_USER_HIVE", db.File + "/user.hive");
    EXPECT_FALSE(reg.WriteRegString("PATH\\NEW", "PATHJ", "|/srv/other"));
}

TEST(TPLXREG, ProgramKeyAndFormSettings) {
    ScopedHives hives;
    TPLXDirectReg reg;
    EXPECT_EQ(reg.GetProgramKey(""), "\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PROGRAM\\");
    reg.ProgramName = "PLX0100";
    EXPECT_EQ(reg.GetProgramKey(" "), "\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PROGRAM\\PLX0100");
    EXPECT_EQ(reg.GetProgramKey("FMAIN"), "\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PROGRAM\\PLX0100\\FORM\\FMAIN");
    const auto form = [](Hive hive, const std::string& name) {
        auto key = CurrentSettingsStore().OpenKey(
            hive, "\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PROGRAM\\PLX0100\\FORM\\" + name, true,
            KeyAccess::ReadWrite);
        testing::Require(key != nullptr, name);
        return key;
    };
    auto main = form(Hive::User, "Main");
    main->WriteInteger("Width", 640);
    main->WriteString("Caption", "原価|一覧");
    main->WriteInteger("left", -3);
    form(Hive::User, "about");
    form(Hive::Machine, "Machine")->WriteString("Top", "1");
    std::vector<std::string> list{"left over"};
    std::vector<TRegistryRec> records;
    reg.ReadFormSettings(list, records, "U");
    EXPECT_EQ(list, (std::vector<std::string>{"about", "Main"}));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].SubKey, "about");
    EXPECT_TRUE(records[0].Names.empty());
    EXPECT_EQ(records[1].SubKey, "Main");
    EXPECT_EQ(records[1].Names, (std::vector<std::string>{"Caption", "left", "Width"}));
    EXPECT_EQ(records[1].Kinds, (std::vector<std::string>{"S", "I", "I"}));
    EXPECT_EQ(records[1].Values, (std::vector<std::string>{"原価|一覧", "-3", "640"}));
    reg.ReadFormSettings(list, records, "M");
    EXPECT_EQ(list, (std::vector<std::string>{"Machine"}));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Values, (std::vector<std::string>{"1"}));
}

} // namespace
} // namespace towagi
