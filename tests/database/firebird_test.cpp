#include "database/firebird.h"

#include "support/encoding.h"
#include "support/errors.h"
#include "tests/common/test_env.h"
#include "tests/database/test_database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <firebird/Interface.h>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace towagi {
namespace {

using testing::TempDir;

// A fresh dialect-1 database with one table T (a code and a text) whose external files may live in the
// work folder.
struct Fixture {
    TempDir Dir;
    std::string Work = Dir.Dir() + "work/";
    std::string File = Dir.File("data.fdb");
    TFbConnection Connection;

    Fixture() {
        std::filesystem::create_directories(Work);
        testing::UseTestEngine();
        Connection = TFbConnection::Create(Params());
        testing::RunStatements(Connection, {"CREATE TABLE T (CODE INTEGER, NAME VARCHAR(10))"});
    }
    TFbConnectParams Params(const std::string& user = "SYSDBA") const {
        return {File, user, "pinewharf", Work};
    }
    std::vector<TFbRow> Rows(const std::string& sql, const TFbParams& params = {}) {
        TFbTransaction transaction = Connection.StartTransaction();
        return Connection.Query(transaction, sql, params);
    }
    void Run(const std::string& sql, const TFbParams& params = {}) {
        TFbTransaction transaction = Connection.StartTransaction();
        Connection.Execute(transaction, sql, params);
        transaction.Commit();
    }
    std::int64_t Count(const std::string& table) {
        return Rows("SELECT COUNT(*) FROM " + table)[0][0].AsInteger();
    }
};

TEST(FbConnection, EveryStatementRunsInDialectOneWithCharacterSetNone) {
    Fixture db;
    const TFbRow row = db.Rows("SELECT 1/2, \"quoted text\", D.MON$SQL_DIALECT, A.MON$CHARACTER_SET_ID"
                               " FROM MON$DATABASE D, MON$ATTACHMENTS A"
                               " WHERE A.MON$ATTACHMENT_ID = CURRENT_CONNECTION")[0];
    EXPECT_DOUBLE_EQ(row[0].AsFloat(), 0.5);     // dialect 1 divides integers exactly
    EXPECT_EQ(row[1].AsString(), "quoted text"); // double quotes delimit text in dialect 1
    EXPECT_EQ(row[2].AsInteger(), 1);
    EXPECT_EQ(row[3].AsInteger(), 0); // NONE
    // Reopened, the database is still dialect 1 and the statements too.
    db.Connection.Detach();
    db.Connection = TFbConnection::Attach(db.Params());
    EXPECT_DOUBLE_EQ(db.Rows("SELECT 3/2 FROM RDB$DATABASE")[0][0].AsFloat(), 1.5);
}

TEST(FbConnection, TextIsStoredAsTheSuitesCodePage) {
    Fixture db;
    db.Run("INSERT INTO T VALUES (1, :Name)", {{"Name", "品番①"}});
    const TFbRow row = db.Rows("SELECT NAME, OCTET_LENGTH(NAME), ASCII_VAL(SUBSTRING(NAME FROM 1 FOR 1)),"
                               " ASCII_VAL(SUBSTRING(NAME FROM 5 FOR 1)) FROM T")[0];
    EXPECT_EQ(row[0].AsString(), "品番①");
    EXPECT_EQ(row[1].AsInteger(), 6);
    EXPECT_EQ(row[2].AsInteger(), 0x95); // CP932 lead byte of 品
    EXPECT_EQ(row[3].AsInteger(), 0x87); // CP932 lead byte of ①
    // Bytes that are not CP932 are an error, never replaced.
    db.Run("INSERT INTO T VALUES (2, ASCII_CHAR(129) || ASCII_CHAR(32))");
    EXPECT_THROW(db.Rows("SELECT NAME FROM T WHERE CODE = 2"), EEncodingError);
}

TEST(FbConnection, LiteralsInTheStatementAreTheSuitesCodePageToo) {
    Fixture db;
    db.Run("INSERT INTO T VALUES (1, '品番')");
    db.Run("INSERT INTO T VALUES (2, :Name)", {{"Name", "品番"}});
    db.Run("INSERT INTO T VALUES (3, 'a''品' /* 注 */) -- 注\n");
    db.Run("INSERT INTO T VALUES (4, \"①\")");
    struct Case {
        std::string where;
        std::vector<std::int64_t> codes;
    };
    for (const auto& c : std::vector<Case>{{"NAME = '品番'", {1, 2}},
                                           {"NAME = \"品番\"", {1, 2}},
                                           {"NAME = :Name", {1, 2}},
                                           {"NAME LIKE '%品'", {3}},
                                           {"OCTET_LENGTH(NAME) = 4", {1, 2, 3}},
                                           {"ASCII_VAL(NAME) = 135", {4}}}) {
        std::vector<std::int64_t> codes;
        for (const TFbRow& row :
             db.Rows("SELECT CODE FROM T WHERE " + c.where + " ORDER BY CODE",
                     c.where.find(':') != std::string::npos ? TFbParams{{"Name", "品番"}} : TFbParams{}))
            codes.push_back(row[0].AsInteger());
        EXPECT_EQ(codes, c.codes) << c.where;
    }
    EXPECT_EQ(db.Rows("SELECT NAME FROM T WHERE CODE = 3")[0][0].AsString(), "a'品");
    EXPECT_EQ(db.Rows("SELECT NAME FROM T WHERE CODE = 1")[0][0].AsString(), "品番");
    // Text that has no CP932 form is refused, not replaced.
    EXPECT_THROW(db.Run("INSERT INTO T VALUES (5, '😀')"), EEncodingError);
    EXPECT_EQ(db.Count("T"), 4);
}

TEST(FbConnection, AnExternalFileBeyondAsciiIsRefusedBeforeTheEngineSeesIt) {
    // The engine would read the name back through character set NONE as "?"s, make that folder and then
    // refuse the file.
    Fixture db;
    const std::string work = db.Dir.Dir() + "作業/";
    std::filesystem::create_directories(work);
    db.Connection.Detach();
    db.Connection = TFbConnection::Attach({db.File, "SYSDBA", "pinewharf", work});
    for (const std::string& declaration : std::vector<std::string>{
             "EXTERNAL FILE '" + work + "x.txt'", "external\r\n  file\t\"" + work + "x.txt\"",
             "EXTERNAL '" + work + "x.txt'", "EXTERNAL FILE '" + db.Work + "品.txt'"}) {
        try {
            db.Run("CREATE TABLE X " + declaration + " (CODE CHAR(4))");
            ADD_FAILURE() << declaration;
        } catch (const EDatabaseError& error) {
            EXPECT_NE(std::string(error.what())
                          .find(".txt" + declaration.substr(declaration.size() - 1) +
                                "の名前にはASCII文字しか使えません"),
                      std::string::npos)
                << error.what();
        }
    }
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(db.Dir.Dir()))
        entries.push_back(entry.path().lexically_relative(db.Dir.Dir()).string());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"data.fdb", "work", "作業"}));
    TFbTransaction transaction = db.Connection.StartTransaction();
    EXPECT_FALSE(db.Connection.HasTable(transaction, "X"));
}

TEST(FbConnection, TheUserNameReachesTheDatabase) {
    Fixture db;
    db.Connection.Detach();
    for (const std::string user : {"SYSDBA", "CLERK"}) {
        db.Connection = TFbConnection::Attach(db.Params(user));
        EXPECT_EQ(db.Rows("SELECT CURRENT_USER FROM RDB$DATABASE")[0][0].AsString(), user);
        db.Connection.Detach();
    }
}

TEST(FbConnection, ErrorsCarryFirebirdsOwnMessage) {
    Fixture db;
    struct Case {
        std::string sql, wantText;
        std::intptr_t wantCode;
    };
    for (const auto& c : std::vector<Case>{
             {"SELECT * FROM MISSING_TABLE", "Table unknown\n-MISSING_TABLE", isc_dsql_error},
             {"INSERT INTO T VALUES (1, 'far too long text')", "string right truncation", isc_arith_except},
             {"SELEC 1 FROM RDB$DATABASE", "Token unknown", isc_dsql_error},
         }) {
        try {
            db.Run(c.sql);
            ADD_FAILURE() << c.sql;
        } catch (const EDatabaseError& error) {
            EXPECT_NE(std::string(error.what()).find(c.wantText), std::string::npos) << error.what();
            EXPECT_EQ(error.ErrorCode, c.wantCode) << c.sql;
        }
    }
    const std::string missing = db.Dir.File("missing.fdb");
    try {
        TFbConnection::Attach({missing, "SYSDBA", "pinewharf", db.Work});
        ADD_FAILURE() << "attached to a missing file";
    } catch (const EDatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("I/O error"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(missing), std::string::npos) << error.what();
        EXPECT_EQ(error.ErrorCode, isc_io_error);
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(FbTransaction, RollsBackUnlessCommitted) {
    Fixture db;
    {
        TFbTransaction transaction = db.Connection.StartTransaction();
        db.Connection.Execute(transaction, "INSERT INTO T VALUES (1, 'dropped')");
    }
    {
        TFbTransaction transaction = db.Connection.StartTransaction();
        db.Connection.Execute(transaction, "INSERT INTO T VALUES (2, 'undone')");
        transaction.Rollback();
        EXPECT_FALSE(transaction.Active());
        EXPECT_THROW(transaction.Commit(), EDatabaseError);
    }
    {
        TFbTransaction transaction = db.Connection.StartTransaction();
        db.Connection.Execute(transaction, "INSERT INTO T VALUES (3, 'kept')");
        TFbTransaction moved = std::move(transaction);
        EXPECT_FALSE(transaction.Active());
        moved.Commit();
        EXPECT_THROW(moved.Rollback(), EDatabaseError);
    }
    const auto rows = db.Rows("SELECT CODE, NAME FROM T");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][1].AsString(), "kept");
}

TEST(FbConnection, DetachingWithAnOpenTransactionIsRefusedAndEndsTheConnection) {
    Fixture db;
    TFbTransaction transaction = db.Connection.StartTransaction();
    db.Connection.Execute(transaction, "INSERT INTO T VALUES (1, 'open')");
    try {
        db.Connection.Detach();
        ADD_FAILURE() << "detached with an open transaction";
    } catch (const EDatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("open transactions"), std::string::npos) << error.what();
    }
    // Firebird shuts the attachment down all the same: nothing more runs on it, nothing is committed.
    EXPECT_FALSE(db.Connection.Connected());
    EXPECT_THROW(db.Connection.StartTransaction(), EDatabaseError);
    EXPECT_THROW(transaction.Commit(), EDatabaseError);
    db.Connection = TFbConnection::Attach(db.Params());
    EXPECT_EQ(db.Count("T"), 0);
}

TEST(FbStatement, ParametersByNameAndPosition) {
    Fixture db;
    db.Run("CREATE TABLE P (I INTEGER, F DOUBLE PRECISION, B BOOLEAN, S TIMESTAMP, X VARCHAR(20), N "
           "VARCHAR(5))");
    const TFbTimestamp stamp{2024, 2, 29, 23, 59, 58, 1234};
    TFbTransaction transaction = db.Connection.StartTransaction();
    TFbStatement insert = db.Connection.Prepare(transaction, "INSERT INTO P VALUES (:I, ?, :b, :S, :X, :N)");
    EXPECT_EQ(insert.ParamCount(), 6);
    EXPECT_EQ(insert.ParamNames(), (std::vector<std::string>{"I", "", "b", "S", "X", "N"}));
    EXPECT_FALSE(insert.ReturnsRows());
    insert.SetParam("i", 42)
        .SetParam(1, 2.5)
        .SetParam("B", true)
        .SetParam("S", stamp)
        .SetParam("X", "a:b 'c'");
    insert.Execute(transaction);
    // The same statement again: parameters not set again keep their values.
    insert.SetParam("I", std::int64_t{-7}).SetParam("N", "n");
    insert.Execute(transaction);
    EXPECT_THROW(insert.SetParam("Missing", 1), EDatabaseError);
    EXPECT_THROW(insert.SetParam(6, 1), EDatabaseError);
    transaction.Commit();

    const auto rows = db.Rows("SELECT I, F, B, S, X, N FROM P ORDER BY I DESC");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0].AsInteger(), 42);
    EXPECT_DOUBLE_EQ(rows[0][1].AsFloat(), 2.5);
    EXPECT_TRUE(rows[0][2].AsBoolean());
    EXPECT_EQ(rows[0][3].AsTimestamp(), stamp);
    EXPECT_EQ(rows[0][3].AsString(), "2024/02/29 23:59:58");
    EXPECT_EQ(rows[0][4].AsString(), "a:b 'c'");
    EXPECT_TRUE(rows[0][5].IsNull());
    EXPECT_EQ(rows[1][0].AsInteger(), -7);
    EXPECT_EQ(rows[1][5].AsString(), "n");
}

TEST(FbStatement, MarkersInsideTextAndCommentsAreNotParameters) {
    Fixture db;
    const auto rows = db.Rows("SELECT 'x:y?', \"p:q\", CAST(:A AS VARCHAR(5)) /* :B ? */,"
                              " CAST(:A AS VARCHAR(5)) || '-' FROM RDB$DATABASE -- :C\n",
                              {{"A", "v"}});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].AsString(), "x:y?");
    EXPECT_EQ(rows[0][1].AsString(), "p:q");
    EXPECT_EQ(rows[0][2].AsString(), "v");
    EXPECT_EQ(rows[0][3].AsString(), "v-"); // one name, both places
}

TEST(FbCursor, RowsOneByOneWithNamesAndKinds) {
    Fixture db;
    db.Run("INSERT INTO T VALUES (1, 'one')");
    db.Run("INSERT INTO T VALUES (2, NULL)");
    db.Run("CREATE TABLE K (N NUMERIC(5,2), C CHAR(4), F FLOAT)");
    db.Run("INSERT INTO K VALUES (12.34, 'ab', 0.5)");
    TFbTransaction transaction = db.Connection.StartTransaction();
    TFbStatement select = db.Connection.Prepare(
        transaction, "SELECT CODE, NAME AS LABEL FROM T WHERE CODE >= :Low ORDER BY CODE");
    EXPECT_EQ(select.FieldNames(), (std::vector<std::string>{"CODE", "LABEL"}));
    select.SetParam("Low", 1);
    TFbCursor cursor = select.Open(transaction);
    ASSERT_TRUE(cursor.Next());
    EXPECT_EQ(cursor.Row().FieldByName("code").GetKind(), TFbValue::Kind::Integer);
    EXPECT_EQ(cursor.Row().FieldByName("Label").AsString(), "one");
    EXPECT_THROW(cursor.Row().FieldByName("NAME"), EDatabaseError);
    ASSERT_TRUE(cursor.Next());
    EXPECT_TRUE(cursor.Row()[1].IsNull());
    EXPECT_EQ(cursor.Row()[1].AsString(), "");
    EXPECT_FALSE(cursor.Next());
    EXPECT_THROW(cursor.Row(), EDatabaseError);
    EXPECT_THROW(db.Connection.Prepare(transaction, "DELETE FROM T").Open(transaction), EDatabaseError);

    const TFbRow k = db.Connection.Query(transaction, "SELECT N, C, F FROM K")[0];
    EXPECT_EQ(k[0].GetKind(), TFbValue::Kind::Float); // scaled numbers read as doubles
    EXPECT_NEAR(k[0].AsFloat(), 12.34, 1e-12);
    EXPECT_EQ(k[1].AsString(), "ab  "); // CHAR keeps its padding
    EXPECT_DOUBLE_EQ(k[2].AsFloat(), 0.5);
    EXPECT_THROW(k[1].AsInteger(), EDatabaseError);
}

TEST(FbConnection, UserTablesLeaveOutSystemTablesAndViews) {
    Fixture db;
    db.Run("CREATE TABLE KMICNT00 (CNT_KNRCOD VARCHAR(10))");
    db.Run("CREATE VIEW V_T AS SELECT CODE FROM T");
    TFbTransaction transaction = db.Connection.StartTransaction();
    EXPECT_EQ(db.Connection.UserTables(transaction), (std::vector<std::string>{"KMICNT00", "T"}));
    struct Case {
        std::string name;
        bool want;
    };
    for (const auto& c : std::vector<Case>{{"KMICNT00", true},
                                           {"kmicnt00", true},
                                           {"t", true},
                                           {"V_T", false},
                                           {"RDB$RELATIONS", false},
                                           {"KMICNT0", false}})
        EXPECT_EQ(db.Connection.HasTable(transaction, c.name), c.want) << c.name;
}

TEST(FbConnection, ExternalFilesOnlyInTheWorkFolder) {
    Fixture db;
    std::filesystem::create_directories(db.Dir.Dir() + "outside");
    std::filesystem::create_directories(db.Dir.Dir() + "work2");
    struct Case {
        std::string file;
        bool allowed;
    };
    int n = 0;
    for (const auto& c : std::vector<Case>{
             {db.Work + "inside.txt", true},
             {db.Dir.Dir() + "outside/refused.txt", false},
             {db.Work + "../outside/escaped.txt", false},
             {db.Dir.Dir() + "work2/sibling.txt", false}, // a folder that only starts like the work folder
         }) {
        const std::string table = "X" + std::to_string(++n);
        db.Run("CREATE TABLE " + table + " EXTERNAL FILE '" + c.file + "' (CODE CHAR(4))");
        if (c.allowed) {
            db.Run("INSERT INTO " + table + " VALUES ('abcd')");
            EXPECT_EQ(testing::ReadFile(c.file), "abcd");
            continue;
        }
        try {
            db.Run("INSERT INTO " + table + " VALUES ('abcd')");
            ADD_FAILURE() << c.file;
        } catch (const EDatabaseError& error) {
            EXPECT_NE(std::string(error.what()).find("is not allowed by server configuration"),
                      std::string::npos)
                << error.what();
        }
        EXPECT_FALSE(std::filesystem::exists(c.file)) << c.file;
    }
    // Without a work folder the database may use no external file at all.
    db.Connection.Detach();
    TFbConnectParams none = db.Params();
    none.ExternalFileDir.clear();
    db.Connection = TFbConnection::Attach(none);
    EXPECT_THROW(db.Rows("SELECT * FROM X1"), EDatabaseError);
}

// The first attach of a process of its own (database_first_attach), with `environment` added; its report.
std::string FirstAttachReport(const TempDir& dir, const std::vector<std::string>& environment = {}) {
    const std::string work = dir.Dir() + "TEMP/";
    const int exitCode = testing::RunProgram({TOWAGI_FIRST_ATTACH, dir.File("first.fdb"), work, dir.File("report.txt")},
                                             environment, dir.File("first.log"));
    if (exitCode != 0) throw std::runtime_error("the first attach failed: " + testing::ReadFile(dir.File("first.log")));
    return testing::ReadFile(dir.File("report.txt"));
}

TEST(EmbeddedEngine, TheFirstAttachOfAProcessConfiguresTheEngineBesideItsWorkFolder) {
    TempDir dir;
    const std::string work = dir.Dir() + "TEMP/";
    // A program started by one that uses the engine shares its lock folder, so both lock the same database.
    const std::string locks = std::getenv("FIREBIRD_LOCK");
    EXPECT_EQ(FirstAttachReport(dir), "FIREBIRD=" + dir.Dir() + "firebird\n"
                                      "FIREBIRD_LOCK=" + locks + "\nFIREBIRD_TMP=" + std::getenv("FIREBIRD_TMP") +
                                      "\nlocked here=yes\n");
    const std::string conf = testing::ReadFile(dir.Dir() + "firebird/firebird.conf");
    EXPECT_NE(conf.find("ServerMode = SuperClassic\n"), std::string::npos) << conf;
    EXPECT_NE(conf.find("ExternalFileAccess = Restrict " + dir.Dir() + "TEMP\n"), std::string::npos) << conf;
    EXPECT_NE(conf.find("UdfAccess = None\n"), std::string::npos) << conf;
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.Dir() + "firebird/intl/libfbintl.so"));
    EXPECT_FALSE(std::filesystem::exists(work + "firebird.conf"));
}

// Where the lock folder has no room for the engine's shared files the engine would die of SIGBUS inside the
// attach; the attach is refused before, naming the folder, and leaves nothing there. A file size limit
// stands in for a full disk.
TEST(EmbeddedEngine, NoRoomForTheEnginesFilesIsAnErrorNotACrash) {
    for (const int kilobytes : {16, 900}) {
        TempDir dir;
        const std::string locks = dir.File("locks");
        std::filesystem::create_directories(locks);
        // Configured by an attach with room first, the engine's own settings need no writing below.
        FirstAttachReport(dir, {"FIREBIRD_LOCK=" + locks});
        std::filesystem::remove(dir.File("first.fdb"));
        const auto names = [&] {
            std::set<std::string> found;
            for (const auto& entry : std::filesystem::directory_iterator(locks))
                found.insert(entry.path().filename());
            return found;
        };
        const std::set<std::string> before = names();
        const int exitCode = testing::RunProgram(
            {"bash", "-c", "trap '' XFSZ; ulimit -f " + std::to_string(kilobytes) + "; exec \"$@\"", "bash",
             TOWAGI_FIRST_ATTACH, dir.File("first.fdb"), dir.Dir() + "TEMP/", dir.File("report.txt")},
            {"FIREBIRD_LOCK=" + locks}, dir.File("first.log"));
        const std::string log = testing::ReadFile(dir.File("first.log"));
        EXPECT_EQ(exitCode, 1) << kilobytes << " " << log;
        EXPECT_NE(log.find("データベースエンジンのロックフォルダ[" + locks + "]に空きがありません("),
                  std::string::npos)
            << log;
        EXPECT_EQ(names(), before) << kilobytes;
    }
}

// Nothing set: the engine locks in the user's own folder (never Firebird's /tmp/firebird, which belongs to
// whoever made it), created for this user alone.
TEST(EmbeddedEngine, TheFirstAttachLocksInTheUsersOwnFolder) {
    TempDir dir;
    testing::ScopedEnv noLock("FIREBIRD_LOCK", std::nullopt);
    testing::ScopedEnv noTemp("FIREBIRD_TMP", std::nullopt);
    const std::string folder = DefaultEngineLockDir();
    EXPECT_EQ(folder, "/tmp/towagi-firebird-" + std::to_string(geteuid()) + "/");
    const std::string path = folder.substr(0, folder.size() - 1);
    EXPECT_EQ(FirstAttachReport(dir), "FIREBIRD=" + dir.Dir() + "firebird\nFIREBIRD_LOCK=" + path +
                                          "\nFIREBIRD_TMP=" + path + "\nlocked here=yes\n");
    struct stat info {};
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// An administrator's FIREBIRD_LOCK (and FIREBIRD_TMP) is kept as it is.
TEST(EmbeddedEngine, AFolderGivenInTheEnvironmentIsKept) {
    TempDir dir;
    const std::string locks = dir.File("locks"), temporary = dir.File("sort");
    std::filesystem::create_directories(locks);
    std::filesystem::create_directories(temporary);
    EXPECT_EQ(FirstAttachReport(dir, {"FIREBIRD_LOCK=" + locks, "FIREBIRD_TMP=" + temporary}),
              "FIREBIRD=" + dir.Dir() + "firebird\nFIREBIRD_LOCK=" + locks + "\nFIREBIRD_TMP=" + temporary +
                  "\nlocked here=yes\n");
    TempDir other;
    testing::ScopedEnv noTemp("FIREBIRD_TMP", std::nullopt);
    EXPECT_EQ(FirstAttachReport(other, {"FIREBIRD_LOCK=" + locks}),
              "FIREBIRD=" + other.Dir() + "firebird\nFIREBIRD_LOCK=" + locks + "\nFIREBIRD_TMP=" + locks +
                  "\nlocked here=yes\n");
}

TEST(EngineLockDir, OnlyAFolderOfThisUserThatNoOneElseMayWrite) {
    TempDir dir;
    std::filesystem::create_directories(dir.File("mine"));
    chmod(dir.File("mine").c_str(), 0700);
    std::filesystem::create_directories(dir.File("readable"));
    chmod(dir.File("readable").c_str(), 0755);
    std::filesystem::create_directories(dir.File("group"));
    chmod(dir.File("group").c_str(), 0770);
    std::filesystem::create_directories(dir.File("everyone"));
    chmod(dir.File("everyone").c_str(), 01777);
    std::filesystem::create_directory_symlink(dir.File("mine"), dir.File("link"));
    testing::WriteFile(dir.File("file"), "");
    struct Case {
        std::string folder;
        std::string refusal; // "" when the folder is used
    };
    std::vector<Case> cases{
        {dir.Dir() + "new/", ""},
        {dir.Dir() + "mine/", ""},
        {dir.Dir() + "readable", ""},
        {dir.Dir() + "group/", "他のユーザーも書き込めます"},
        {dir.Dir() + "everyone/", "他のユーザーも書き込めます"},
        {dir.Dir() + "link/", "フォルダではありません"},
        {dir.Dir() + "file/", "フォルダではありません"},
        {dir.Dir() + "missing/parent/", SystemErrorText(ENOENT)},
    };
    if (geteuid() != 0) cases.push_back({"/usr/", "他のユーザーのフォルダです"});
    for (const auto& c : cases) {
        try {
            PrepareEngineLockDir(c.folder);
            EXPECT_EQ(c.refusal, "") << c.folder;
            struct stat info {};
            EXPECT_EQ(stat(c.folder.c_str(), &info), 0) << c.folder;
            EXPECT_TRUE(S_ISDIR(info.st_mode)) << c.folder;
        } catch (const EDatabaseError& e) {
            EXPECT_EQ(std::string(e.what()), "データベースエンジンのロックフォルダ[" + c.folder + "]を使えません(" +
                                                 c.refusal + ")。環境変数FIREBIRD_LOCKで別のフォルダを指定できます")
                << c.folder;
        }
    }
    struct stat created {};
    ASSERT_EQ(stat(dir.File("new").c_str(), &created), 0);
    EXPECT_EQ(created.st_mode & 0777, 0700u);
}

TEST(EmbeddedEngine, SuperClassicLetsAnotherProcessShareTheDatabase) {
    Fixture db;
    const std::string engine = testing::UseTestEngine();
    const std::string conf = testing::ReadFile(engine + "/firebird.conf");
    EXPECT_NE(conf.find("ServerMode = SuperClassic\n"), std::string::npos) << conf;
    EXPECT_EQ(std::string(std::getenv("FIREBIRD")), engine);
    // The engine has read its configuration; another one changes nothing.
    EXPECT_FALSE(ConfigureEmbeddedEngine(db.Dir.Dir() + "firebird", db.Work));
    EXPECT_FALSE(std::filesystem::exists(db.Dir.Dir() + "firebird"));

    db.Run("INSERT INTO T VALUES (1, 'here')");
    // isql opens the same file while this process holds it open.
    testing::WriteFile(db.Dir.File("insert.sql"), "INSERT INTO T VALUES (2, 'isql');\nCOMMIT;\n");
    const int exitCode =
        testing::RunProgram({"isql-fb", "-q", "-b", "-u", "SYSDBA", "-i", db.Dir.File("insert.sql"), db.File},
                            {"FIREBIRD=" + engine}, db.Dir.File("isql.log"));
    ASSERT_EQ(exitCode, 0) << testing::ReadFile(db.Dir.File("isql.log"));
    EXPECT_EQ(db.Count("T"), 2);
}

TEST(EmbeddedEngine, TheInstallationsCharacterSetsAreAvailable) {
    Fixture db;
    db.Run("CREATE TABLE J (NAME VARCHAR(10) CHARACTER SET SJIS_0208)");
    db.Run("INSERT INTO J VALUES (:Name)", {{"Name", "品番①"}});
    const TFbRow row = db.Rows("SELECT NAME, OCTET_LENGTH(NAME), CHAR_LENGTH(NAME) FROM J")[0];
    EXPECT_EQ(row[0].AsString(), "品番①");
    EXPECT_EQ(row[1].AsInteger(), 6);
    EXPECT_EQ(row[2].AsInteger(), 3); // the engine reads the bytes as Shift-JIS characters
}

TEST(FbDatabase, ParametersAreBuiltJustBeforeEachOpen) {
    Fixture db;
    db.Connection.Detach();
    TFbDatabase database("DB_DATA");
    database.ExternalFileDir = db.Work;
    std::vector<std::string> events;
    std::string user = "CLERK";
    database.BeforeConnect = [&](TFbDatabase& sender) {
        events.push_back("before " + sender.Name());
        sender.Params = {"USER NAME=" + user, "PASSWORD=pinewharf", "SERVER NAME=" + db.File};
    };
    database.AfterConnect = [&](TFbDatabase& sender) {
        events.push_back(std::string("after ") + (sender.Connected() ? "connected" : "closed"));
    };
    database.Open();
    database.Open(); // already open: nothing runs
    TFbTransaction transaction = database.Connection().StartTransaction();
    EXPECT_EQ(
        database.Connection().Query(transaction, "SELECT CURRENT_USER FROM RDB$DATABASE")[0][0].AsString(),
        "CLERK");
    transaction.Rollback();
    database.Close();
    EXPECT_FALSE(database.Connected());
    EXPECT_THROW(database.Connection(), EDatabaseError);
    user = "OWNER";
    database.Open();
    TFbTransaction again = database.Connection().StartTransaction();
    EXPECT_EQ(database.Connection().Query(again, "SELECT CURRENT_USER FROM RDB$DATABASE")[0][0].AsString(),
              "OWNER");
    again.Rollback();
    EXPECT_EQ(events, (std::vector<std::string>{"before DB_DATA", "after connected", "before DB_DATA",
                                                "after connected"}));
    // A failed attach runs no AfterConnect.
    database.Close();
    database.BeforeConnect = [&](TFbDatabase& sender) {
        sender.Params = {"SERVER NAME=" + db.Dir.File("none.fdb")};
    };
    EXPECT_THROW(database.Open(), EDatabaseError);
    EXPECT_EQ(events.size(), 4u);
}

TEST(FbDatabase, ParameterLines) {
    struct Case {
        std::vector<std::string> lines;
        std::string user, password, location;
        bool valid;
    };
    for (const auto& c : std::vector<Case>{
             {{"USER NAME=SYSDBA", "PASSWORD=pinewharf", "SERVER NAME=/db/a.fdb"},
              "SYSDBA",
              "pinewharf",
              "/db/a.fdb",
              true},
             {{"user_name=clerk", "password=a=b", "server_name=host:/db/b.fdb"},
              "clerk",
              "a=b",
              "host:/db/b.fdb",
              true},
             {{"USER NAME=", "PASSWORD=", "SERVER NAME="}, "", "", "", true},
             {{"PASSWORD=x"}, "", "x", "/db/name.fdb", true}, // no server line: the database name
             {{"ROLE=ADMIN"}, "", "", "", false},
             {{"USER NAME"}, "", "", "", false},
         }) {
        TFbDatabase database("DB_TOKE");
        database.DatabaseName = "/db/name.fdb";
        database.Params = c.lines;
        if (!c.valid) {
            EXPECT_THROW(database.ConnectParams(), EDatabaseError) << c.lines[0];
            continue;
        }
        const TFbConnectParams params = database.ConnectParams();
        EXPECT_EQ(params.UserName, c.user) << c.lines[0];
        EXPECT_EQ(params.Password, c.password) << c.lines[0];
        EXPECT_EQ(params.Location, c.location) << c.lines[0];
    }
}

TEST(HasHostPart, AsFirebirdSplitsALocation) {
    struct Case {
        std::string location;
        bool want;
    };
    for (const auto& c : std::vector<Case>{{"/srv/db/DATA.FDB", false},
                                           {"relative.fdb", false},
                                           {"", false},
                                           {":/srv/db/DATA.FDB", false},
                                           {"localhost:/srv/db/DATA.FDB", true},
                                           {"192.168.1.5:D:\\DB\\DATA.GDB", true},
                                           {"127.0.0.1/3051:/srv/db/DATA.FDB", true}})
        EXPECT_EQ(HasHostPart(c.location), c.want) << c.location;
}

TEST(FbServer, ConnectsThroughAServerOnTheLoopback) {
    if (!testing::TFirebirdServer::Available()) GTEST_SKIP() << "no Firebird server installed";
    TempDir dir;
    const std::string work = dir.Dir() + "work";
    std::filesystem::create_directories(work);
    testing::TFirebirdServer server(work);
    const std::string file = dir.File("remote.fdb");
    server.CreateDatabase(file);
    {
        TFbConnection created = TFbConnection::Attach({server.Location(file), "SYSDBA", "pinewharf", ""});
        testing::RunStatements(created,
                               {"CREATE TABLE T (CODE INTEGER, NAME VARCHAR(10))",
                                "CREATE TABLE X EXTERNAL FILE '" + work + "/x.txt' (CODE CHAR(4))",
                                "CREATE TABLE Y EXTERNAL FILE '" + dir.Dir() + "y.txt' (CODE CHAR(4))"});
    }
    try {
        TFbConnection::Attach({server.Location(file), "SYSDBA", "wrong", ""});
        ADD_FAILURE() << "a wrong password was accepted";
    } catch (const EDatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("user name and password are not defined"), std::string::npos)
            << error.what();
    }
    TFbConnection remote = TFbConnection::Attach({server.Location(file), "SYSDBA", "pinewharf", ""});
    // The server's own configuration decides about external files.
    testing::RunStatements(remote, {"INSERT INTO X VALUES ('srv1')"});
    {
        TFbTransaction insert = remote.StartTransaction();
        remote.Execute(insert, "INSERT INTO T VALUES (1, :Name)", {{"Name", "品"}});
        insert.Commit();
    }
    EXPECT_EQ(testing::ReadFile(work + "/x.txt"), "srv1");
    EXPECT_THROW(testing::RunStatements(remote, {"INSERT INTO Y VALUES ('no')"}), EDatabaseError);
    // The same file embedded while the server holds it: both see each other's rows.
    TFbConnection local = TFbConnection::Attach({file, "SYSDBA", "pinewharf", ""});
    testing::RunStatements(local, {"INSERT INTO T VALUES (2, 'local')"});
    TFbTransaction transaction = remote.StartTransaction();
    const auto rows = remote.Query(transaction, "SELECT CODE, NAME, CURRENT_USER FROM T ORDER BY CODE");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][1].AsString(), "品");
    EXPECT_EQ(rows[1][1].AsString(), "local");
    EXPECT_EQ(rows[0][2].AsString(), "SYSDBA");
    transaction.Commit();
}

} // namespace
} // namespace towagi
