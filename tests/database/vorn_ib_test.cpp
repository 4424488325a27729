#include "database/vorn_ib.h"

#include "database/data_module.h"
#include "support/errors.h"
#include "support/settings.h"
#include "tests/common/recording_views.h"
#include "tests/common/test_env.h"
#include "tests/database/control_table.h"
#include "tests/database/test_database.h"

#include <gtest/gtest.h>

#include <optional>

namespace towagi {
namespace {

using testing::ScopedHives;
using testing::ScopedRecordingPrompts;
using testing::TempDir;

// A database with the control table and a table the tests may write to, in slot 3.
struct SlotDatabase {
    ScopedHives Hives;
    TempDir Dir;
    std::string File = Dir.File("suite.fdb");

    SlotDatabase() {
        TFbConnection connection = testing::CreateSuiteDatabase(
            File, Dir.Dir() + "TEMP/", {.MasterTables = false, .Without = {}, .RemarkLength = 40});
        testing::CreateControlTable(connection, {{"K0200290", "PATH\\UPDATE|PATHJ"}});
        testing::RunStatements(connection, {"CREATE TABLE NOTES (NOTE VARCHAR(20))",
                                            "CREATE VIEW CONTROL_CODES AS SELECT CNT_KNRCOD FROM GMICNT00"});
        connection.Detach();
        testing::SelectDatabaseSlot(3, File);
    }
};

std::int64_t NoteCount(TVORNIB& ib) {
    TFbQuery& query = ib.Statement(0);
    query.Close();
    query.SQL = "select count(*) as N from NOTES";
    query.Open();
    const std::int64_t count = query.FieldByName("N").AsInteger();
    query.Close();
    return count;
}

void AddNote(TVORNIB& ib) {
    TFbQuery& query = ib.Statement(0);
    query.Close();
    query.SQL = "insert into NOTES (NOTE) values (:Note)";
    query.SetParam("Note", "written");
    query.Open();
}

TEST(TVORNIB, SetDatabaseFromSlotTakesSlotOneForAnySelectOutsideOneToTwelve) {
    struct Case {
        std::optional<std::string> select;
        std::string want;
    };
    for (const auto& c : std::vector<Case>{
             {"2", "/db/data2.fdb"},
             {"12", "/db/data12.fdb"},
             {"+7", "/db/data7.fdb"},
             {"0", "/db/data1.fdb"},
             {"13", "/db/data1.fdb"},
             {"-2", "/db/data1.fdb"},
             {"abc", "/db/data1.fdb"}, // unlike the data module's own connections, no error
             {"5x", "/db/data1.fdb"},
             {"", "/db/data1.fdb"},
             {std::nullopt, "/db/data1.fdb"},
         }) {
        ScopedHives hives;
        for (int slot = 1; slot <= 12; ++slot)
            ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "PATH" + std::to_string(slot),
                                           "BR|/db/data" + std::to_string(slot) + ".fdb", true));
        if (c.select) {
            ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "SELECT", *c.select, true));
        }
        TVORNIB ib(1);
        EXPECT_TRUE(ib.SetDatabaseFromSlot()) << c.select.value_or("(none)");
        EXPECT_EQ(ib.Database.DatabaseName, c.want) << c.select.value_or("(none)");
    }
}

TEST(TVORNIB, SetDatabaseFromSlotReadsThePerUserSelectionAndRefusesABlankLocation) {
    ScopedHives hives;
    ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "PATH1", "BR01|/db/one.fdb", true));
    ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "PATH4", "BR04| ", true));
    ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "PATH5", "BR05|/db/five.fdb  ", true));
    ASSERT_TRUE(WriteMachineString(kDatabaseSlotKey, "SELECT", "1", true));
    ASSERT_TRUE(WriteMachineInteger(kProductRoot, kPerUserSwitch, 1, true));
    ASSERT_TRUE(WriteSettingString(kDatabaseSlotKey, "SELECT", "5", true));
    TVORNIB ib(1);
    EXPECT_TRUE(ib.SetDatabaseFromSlot());
    EXPECT_EQ(ib.Database.DatabaseName, "/db/five.fdb  "); // as stored
    ASSERT_TRUE(WriteSettingString(kDatabaseSlotKey, "SELECT", "4", true));
    EXPECT_FALSE(ib.SetDatabaseFromSlot());
    EXPECT_EQ(ib.Database.DatabaseName, "/db/five.fdb  "); // left as it was
}

TEST(TVORNIB, ConnectsWithTheFixedCredentialsAndNeverCommits) {
    SlotDatabase db;
    // The registry's database user is not this object's.
    ASSERT_TRUE(WriteMachineString(kDatabaseSecurityKey, "GDBUSERID", "CLERK", true));
    ScopedRecordingPrompts prompts;
    TVORNIB ib(2);
    ASSERT_TRUE(ib.SetDatabaseFromSlot());
    ASSERT_TRUE(ib.Connect(true, ""));
    EXPECT_TRUE(ib.InTransaction());
    ib.Statement(1).SQL = "select CURRENT_USER as U from RDB$DATABASE";
    ib.Statement(1).Open();
    EXPECT_EQ(ib.Statement(1).FieldByName("U").AsString(), "SYSDBA");
    AddNote(ib);
    EXPECT_EQ(NoteCount(ib), 1);
    // A new transaction rolls back the one before it.
    ib.StartTransaction();
    EXPECT_EQ(NoteCount(ib), 0);
    AddNote(ib);
    EXPECT_TRUE(ib.Connect(false, ""));
    EXPECT_FALSE(ib.Database.Connected());
    EXPECT_FALSE(ib.InTransaction());
    ASSERT_TRUE(ib.Connect(true, ""));
    EXPECT_EQ(NoteCount(ib), 0);
    EXPECT_TRUE(prompts->Boxes.empty());
    EXPECT_THROW(ib.Statement(2), EDatabaseError);
}

TEST(TVORNIB, AFailedConnectIsToldOnlyWithoutAMessageOption) {
    struct Case {
        std::string location;
        std::string option;
        bool wantBox;
    };
    TempDir dir;
    for (const auto& c : std::vector<Case>{
             {dir.File("missing.fdb"), "NoMessage", false},
             {dir.File("missing.fdb"), "", true},
             {dir.File("missing.fdb"), "quiet", false},
             {"127.0.0.1/1:" + dir.File("missing.fdb"), "NoMessage", false}, // no server listens there
             {"", "NoMessage", false},
             {"", " ", true},
         }) {
        ScopedHives hives;
        testing::UseTestEngine();
        ScopedRecordingPrompts prompts;
        TVORNIB ib(1);
        ib.Database.DatabaseName = c.location;
        EXPECT_FALSE(ib.Connect(true, c.option)) << c.location << " [" << c.option << "]";
        EXPECT_FALSE(ib.InTransaction());
        const auto warnings = prompts->Texts(PromptKind::Warning);
        ASSERT_EQ(warnings.size(), c.wantBox ? 1u : 0u) << c.location << " [" << c.option << "]";
        if (c.wantBox) {
            EXPECT_TRUE(warnings[0].starts_with("データベースの接続に失敗\r\n")) << warnings[0];
        }
        // Disconnecting what never connected succeeds quietly.
        EXPECT_TRUE(ib.Connect(false, ""));
        EXPECT_EQ(prompts->Boxes.size(), c.wantBox ? 1u : 0u);
    }
}

TEST(TVORNIB, AFailingDisconnectIsToldAndReported) {
    for (const std::string& option : std::vector<std::string>{"", "NoMessage"}) {
        SlotDatabase db;
        ScopedRecordingPrompts prompts;
        TVORNIB ib(1);
        ASSERT_TRUE(ib.SetDatabaseFromSlot());
        ASSERT_TRUE(ib.Connect(true, ""));
        // A transaction the object does not know of: Firebird refuses to detach while it is active.
        std::optional<TFbTransaction> other = ib.Database.Connection().StartTransaction();
        EXPECT_FALSE(ib.Connect(false, option)) << "[" << option << "]";
        EXPECT_FALSE(ib.Database.Connected());
        const auto warnings = prompts->Texts(PromptKind::Warning);
        if (option.empty()) {
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_TRUE(warnings[0].starts_with("データベースの切断に失敗\r\n")) << warnings[0];
            EXPECT_GT(warnings[0].size(), std::string("データベースの切断に失敗\r\n").size());
        } else {
            EXPECT_TRUE(warnings.empty());
        }
        other.reset();
    }
}

TEST(TVORNIB, TransactionFailuresAreToldAndNotRaised) {
    ScopedHives hives;
    ScopedRecordingPrompts prompts;
    TVORNIB ib(1);
    ib.StartTransaction(); // not connected
    EXPECT_FALSE(ib.InTransaction());
    ib.EndTransaction(); // nothing active: nothing to say
    const auto warnings = prompts->Texts(PromptKind::Warning);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("トランザクション開始に失敗\r\n")) << warnings[0];
}

TEST(TVORNIB, TableExistsComparesTheStoredNameExactly) {
    SlotDatabase db;
    ScopedRecordingPrompts prompts;
    TVORNIB ib(1);
    ASSERT_TRUE(ib.SetDatabaseFromSlot());
    ASSERT_TRUE(ib.Connect(true, ""));
    struct Case {
        std::string name;
        bool want;
    };
    for (const auto& c : std::vector<Case>{
             {"GMICNT00", true},
             {"gmicnt00", false}, // stored names are upper case
             {"GMICNT0", false},
             {"CONTROL_CODES", true}, // a view has fields too
             {"RDB$DATABASE", true},
             {"NOSUCH", false},
             {"", false},
         }) {
        ib.TableStatement().SQL = "select 1 from RDB$DATABASE";
        EXPECT_EQ(ib.TableExists(c.name), c.want) << c.name;
        EXPECT_EQ(ib.TableStatement().SQL, "select 1 from RDB$DATABASE") << c.name;
        EXPECT_FALSE(ib.TableStatement().Active()) << c.name;
    }
}

TEST(TVORNIB, AFailingTableTestRaisesWithItsTextAndRestoresTheStatement) {
    ScopedHives hives;
    TVORNIB ib(1);
    ib.TableStatement().SQL = "select 2 from RDB$DATABASE";
    try {
        ib.TableExists("GMICNT00"); // not connected
        FAIL() << "no error";
    } catch (const EMyLibraryError& e) {
        const std::string text = e.what();
        EXPECT_TRUE(text.starts_with("テーブルの存在確認に失敗しました。\r\n【")) << text;
        EXPECT_TRUE(text.ends_with("】")) << text;
        EXPECT_GT(text.size(), std::string("テーブルの存在確認に失敗しました。\r\n【】").size());
    }
    EXPECT_EQ(ib.TableStatement().SQL, "select 2 from RDB$DATABASE");
}

} // namespace
} // namespace towagi
