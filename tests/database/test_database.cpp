#include "tests/database/test_database.h"

#include "database/master_layouts.h"

#include "support/text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace towagi::testing {
namespace {

constexpr const char* kServerProgram = "/usr/sbin/firebird";
constexpr const char* kIsqlProgram = "isql-fb";

// Plausible definitions of the suite's domains; BOOLEAN is Firebird's own type. Scaled numerics are stored
// as integers in dialect 1, so the data files carry integers, doubles, floats, text and timestamps.
const std::vector<std::string> kDomains{
    "CREATE DOMAIN BUGAKE NUMERIC(5,2)",     "CREATE DOMAIN DATETIME TIMESTAMP",
    "CREATE DOMAIN FKUKIN DOUBLE PRECISION", "CREATE DOMAIN HINCOD VARCHAR(20)",
    "CREATE DOMAIN HINMEI VARCHAR(60)",      "CREATE DOMAIN HKYRIT NUMERIC(7,3)",
    "CREATE DOMAIN JYURYO DOUBLE PRECISION", "CREATE DOMAIN KANRIT NUMERIC(5,2)",
    "CREATE DOMAIN KIKAKU VARCHAR(60)",      "CREATE DOMAIN MITKOU VARCHAR(15)",
    "CREATE DOMAIN RYKCOD VARCHAR(10)",      "CREATE DOMAIN SKYKBN SMALLINT",
    "CREATE DOMAIN STERIT NUMERIC(5,2)",     "CREATE DOMAIN SUURYO DOUBLE PRECISION",
    "CREATE DOMAIN SYORIT NUMERIC(5,2)",     "CREATE DOMAIN TANKA DOUBLE PRECISION",
    "CREATE DOMAIN TNINAM VARCHAR(8)",
};

// "P_KZBGK11 FLOAT, ... P_KZBGK92 FLOAT" for a table prefix P.
std::string CostFactorColumns(const std::string& prefix) {
    std::string columns;
    for (int i = 1; i <= 9; ++i)
        for (int j = 1; j <= 2; ++j)
            columns += prefix + "_KZBGK" + std::to_string(i) + std::to_string(j) + " FLOAT, ";
    return columns;
}

const std::string kItemColumns =
    "HIN_HINCOD HINCOD NOT NULL, HIN_RYKCOD RYKCOD NOT NULL, HIN_RYKMEI VARCHAR(20), HIN_CHAINS VARCHAR(1),"
    " HIN_BUNCOD VARCHAR(1), HIN_HINMEI HINMEI, HIN_KIKAKU KIKAKU, HIN_SIYONO VARCHAR(2), HIN_TNIMEI TNINAM,"
    " HIN_SKYKBN SKYKBN, HIN_HKYRIT1 HKYRIT, HIN_HKYRIT2 HKYRIT, " +
    CostFactorColumns("HIN") +
    "HIN_SYORIT1 SYORIT, HIN_SYORIT2 SYORIT, HIN_SNTRIT1 FLOAT, HIN_SNTRIT2 FLOAT, HIN_KANRIT1 KANRIT,"
    " HIN_KANTNI TNINAM, HIN_KANRIT2 KANRIT, HIN_JYURYO JYURYO, HIN_KHSIZE FLOAT, HIN_KWSIZE FLOAT,"
    " HIN_KTSIZE FLOAT, HIN_TANKA1 TANKA, HIN_TANKA2 TANKA, HIN_TANKA3 TANKA, HIN_TANKA4 TANKA, HIN_TANKA5 "
    "TANKA,"
    " HIN_TKNAM1 VARCHAR(10), HIN_TKPAG1 VARCHAR(4), HIN_TKNAM2 VARCHAR(10), HIN_TKPAG2 VARCHAR(4),"
    " HIN_TKNAM3 VARCHAR(10), HIN_TKPAG3 VARCHAR(4), HIN_TKNAM4 VARCHAR(10), HIN_TKPAG4 VARCHAR(4),"
    " HIN_TKNAM5 VARCHAR(10), HIN_TKPAG5 VARCHAR(15), HIN_TKCOD1 VARCHAR(15), HIN_TKCOD2 VARCHAR(15),"
    " HIN_TKCOD3 VARCHAR(15), HIN_TKCOD4 VARCHAR(15), HIN_TKCOD5 VARCHAR(20), HIN_BUGAK1 BUGAKE,"
    " HIN_BUGAK2 BUGAKE, HIN_BUGAK3 BUGAKE, HIN_BUGAK4 BUGAKE, HIN_BUGAK5 BUGAKE, HIN_BUGAK6 BUGAKE,"
    " HIN_BUGAK7 BUGAKE, HIN_BUGAK8 BUGAKE, ";

const std::string kItemTail =
    "HIN_SINFLG BOOLEAN, HIN_TENFLG BOOLEAN, HIN_TDKFLG BOOLEAN, HIN_TEKIYO VARCHAR(30),"
    " HIN_CREATE DATETIME, HIN_UPDATE DATETIME";

const std::string kItemPriceSources =
    "HIN_HTSIZE VARCHAR(10), HIN_HONFLG BOOLEAN, HIN_HONCOD1 VARCHAR(30), HIN_HONCOD2 VARCHAR(30),"
    " HIN_HONCOD3 VARCHAR(30), HIN_HONCOD4 VARCHAR(30), HIN_HONCOD5 VARCHAR(30), HIN_HONTNK1 TANKA,"
    " HIN_HONTNK2 TANKA, HIN_HONTNK3 TANKA, HIN_HONTNK4 TANKA, HIN_HONTNK5 TANKA, HIN_TSOFLG BOOLEAN,"
    " HIN_TSOCOD1 VARCHAR(30), HIN_TSOCOD2 VARCHAR(30), HIN_TSOCOD3 VARCHAR(30), HIN_TSOCOD4 VARCHAR(30),"
    " HIN_TSOCOD5 VARCHAR(30), HIN_TSOTNK1 TANKA, HIN_TSOTNK2 TANKA, HIN_TSOTNK3 TANKA, HIN_TSOTNK4 TANKA,"
    " HIN_TSOTNK5 TANKA, HIN_DKJFLG BOOLEAN, HIN_DKJCOD1 VARCHAR(30), HIN_DKJCOD2 VARCHAR(30),"
    " HIN_DKJTNK1 TANKA, HIN_DKJTNK2 TANKA, HIN_TSIFLG BOOLEAN, HIN_TSICOD1 VARCHAR(30), HIN_TSICOD2 "
    "VARCHAR(30),"
    " HIN_TSITNK1 TANKA, HIN_TSITNK2 TANKA, HIN_UBRFLG BOOLEAN, HIN_UBRCOD1 VARCHAR(30), HIN_UBRCOD2 "
    "VARCHAR(30),"
    " HIN_UBRTNK1 TANKA, HIN_UBRTNK2 TANKA, ";

// The estimate items: `kinds` is KMIMKOK0's difference from KMIMKOD0.
std::string EstimateItemColumns(bool kinds) {
    std::string columns =
        "MKO_MITKOU MITKOU NOT NULL, MKO_KOUMEI VARCHAR(30), MKO_ZAIKBN CHAR(1), MKO_MARUME CHAR(3),"
        " MKO_FUKUGO " +
        std::string(kinds ? "CHAR(2)" : "CHAR(1)") + ", MKO_SYBETU CHAR(4), MKO_REPEAT VARCHAR(5), ";
    columns +=
        kinds ? "MKO_HONSBT VARCHAR(2), MKO_TSOSBT VARCHAR(2), MKO_DKJSBT VARCHAR(2), MKO_KOJSBT VARCHAR(2),"
                " MKO_ZAISBT VARCHAR(2), "
              : "MKO_FILER1 VARCHAR(5), ";
    columns +=
        "MKO_PRNTNO VARCHAR(11), MKO_BUGAK1 CHAR(2), MKO_SYUKE1 MITKOU, MKO_BUGAK2 CHAR(2), MKO_SYUKE2 "
        "MITKOU,"
        " MKO_BUGAK3 CHAR(2), MKO_SYUKE3 MITKOU, MKO_BUGAK4 CHAR(2), MKO_SYUKE4 MITKOU, MKO_BUGAK5 CHAR(2),"
        " MKO_SYUKE5 MITKOU, MKO_BUGAK6 CHAR(2), MKO_SYUKE6 MITKOU, MKO_BUGAK7 CHAR(2), MKO_SYUKE7 MITKOU,"
        " MKO_BUGAK8 CHAR(2), MKO_SYUKE8 MITKOU, MKO_JITSTE STERIT, MKO_MITSTE " +
        std::string(kinds ? "STERIT" : "FLOAT") +
        ", MKO_HSERIT INTEGER, MKO_HKYRIT1 HKYRIT, MKO_HKYRIT2 HKYRIT, " + CostFactorColumns("MKO") +
        "MKO_SYORIT1 SYORIT, MKO_SYORIT2 SYORIT, MKO_SNTRIT1 FLOAT, MKO_SNTRIT2 FLOAT, MKO_TNIMEI TNINAM,"
        " MKO_KEIKMK VARCHAR(6), MKO_BGKSBT VARCHAR(2), MKO_KMKTTL VARCHAR(20), MKO_ROUZAI VARCHAR(30),"
        " MKO_OPTION VARCHAR(30), MKO_CICODE VARCHAR(15), MKO_YOBIN1 FLOAT, MKO_YOBIN2 FLOAT,"
        " MKO_YOBIN3 FLOAT, MKO_YOBIX1 VARCHAR(5), MKO_YOBIX2 VARCHAR(5), MKO_YOBIX3 VARCHAR(5),"
        " MKO_CREATE DATETIME, MKO_UPDATE DATETIME";
    return columns;
}

// Table name -> column list, written from the suite's table descriptions (not from the layouts under test).
std::vector<std::pair<std::string, std::string>> SuiteTables(int remarkLength) {
    const std::string code =
        "CNT_KNRCOD VARCHAR(10) NOT NULL, CNT_KOUMEI VARCHAR(100), CNT_OPTION VARCHAR(100),"
        " CNT_CREATE DATETIME, CNT_UPDATE DATETIME";
    const std::string formula =
        "FKU_FKUCOD HINCOD NOT NULL, FKU_SYBETU CHAR(1), FKU_HINCOD HINCOD, FKU_HINMEI HINMEI,"
        " FKU_KIKAKU KIKAKU, FKU_TNIMEI TNINAM, FKU_SUURYO SUURYO, FKU_HINTNK TANKA,"
        " FKU_KINGAK FKUKIN, FKU_COMPUT VARCHAR(80), FKU_TEKIYO VARCHAR(30)";
    const auto remark = [](int width) {
        return "REI_REICOD CHAR(8) NOT NULL, REI_HINCOD HINCOD, REI_REIBUN VARCHAR(" + std::to_string(width) +
               "), REI_CREATE DATETIME, REI_UPDATE DATETIME";
    };
    return {
        {"KMICNT00", code},
        {"KMICNTD0", code},
        {"KMICNTK0", code},
        {"KMICNTB0", code},
        {"KMIREID0", remark(remarkLength)},
        {"KMIREIK0", remark(40)},
        {"KMIMKOD0", EstimateItemColumns(false)},
        {"KMIMKOK0", EstimateItemColumns(true)},
        {"KMIFKUD0", formula},
        {"KMIFKUK0", formula},
        {"KMIHIND0", kItemColumns + kItemTail},
        {"KMIHINK0", kItemColumns + kItemPriceSources + kItemTail},
        {"KMIKANK0",
         "KAN_MITKOU MITKOU, KAN_ZAICOD VARCHAR(2), KAN_SIZCOD VARCHAR(10), KAN_SKOCOD VARCHAR(2), "
         "KAN_HKYRIT1 FLOAT,"
         " KAN_HKYRIT2 FLOAT, " +
             CostFactorColumns("KAN") +
             "KAN_SYORIT1 SYORIT, KAN_SYORIT2 SYORIT, KAN_SNTRIT1 FLOAT, KAN_SNTRIT2 FLOAT, KAN_BUGAK1 "
             "BUGAKE,"
             " KAN_BUGAK2 BUGAKE, KAN_BUGAK3 BUGAKE, KAN_BUGAK4 BUGAKE, KAN_BUGAK5 BUGAKE, KAN_BUGAK6 BUGAKE,"
             " KAN_BUGAK7 BUGAKE, KAN_BUGAK8 BUGAKE, KAN_HONFLG BOOLEAN, KAN_HONCOD1 VARCHAR(30),"
             " KAN_HONCOD2 VARCHAR(30), KAN_HONCOD3 VARCHAR(30), KAN_HONCOD4 VARCHAR(30), KAN_HONCOD5 "
             "VARCHAR(30),"
             " KAN_HONTNK1 TANKA, KAN_HONTNK2 TANKA, KAN_HONTNK3 TANKA, KAN_HONTNK4 TANKA, KAN_HONTNK5 TANKA,"
             " KAN_CREATE DATETIME, KAN_UPDATE DATETIME"},
        {"KMIHONK0", "HON_HONCOD VARCHAR(20) NOT NULL, HON_TANKA1 TANKA, HON_TANKA2 TANKA, HON_TANKA3 TANKA,"
                     " HON_TANKA4 TANKA, HON_TANKA5 TANKA, HON_HINCOD HINCOD, HON_OPTION VARCHAR(50),"
                     " HON_CREATE DATETIME, HON_UPDATE DATETIME"},
        {"KMICIN00",
         "CIN_RECKBN CHAR(1), CIN_KNRCOD VARCHAR(20), CIN_KOUMEI VARCHAR(50), CIN_OPTION VARCHAR(50),"
         " CIN_TAGNUM VARCHAR(4), CIN_ZOKUSE VARCHAR(2), CIN_MOJISU INTEGER, CIN_SYOUSU INTEGER,"
         " CIN_MALUTI VARCHAR(10), CIN_HYOJUN BOOLEAN, CIN_ZEIKOM BOOLEAN, CIN_SELECT VARCHAR(40),"
         " CIN_SYSTEM VARCHAR(20), CIN_CREATE DATETIME, CIN_UPDATE DATETIME"},
        {"KMICYUD0", "CYU_REICOD VARCHAR(10) NOT NULL, CYU_LINE INTEGER NOT NULL, CYU_TEKIYO VARCHAR(100),"
                     " CYU_CREATE DATETIME, CYU_UPDATE DATETIME"},
        {"KMISKIK0",
         "SKI_MITKOU MITKOU, SKI_SYCODE VARCHAR(3), SKI_WSIZE VARCHAR(10), SKI_HSIZE VARCHAR(10),"
         " SKI_TANKA1 FLOAT, SKI_TANKA2 FLOAT, SKI_TANKA3 FLOAT, SKI_TANKA4 FLOAT, SKI_TANKA5 FLOAT,"
         " SKI_YOBIN1 FLOAT, SKI_YOBIN2 FLOAT, SKI_CREATE DATETIME, SKI_UPDATE DATETIME"},
    };
}

std::string TrimRight(std::string text) {
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string TemporaryFolder(const std::string& stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// A child with extra environment variables; its output goes to `log`.
pid_t Spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
            const std::string& log) {
    std::vector<std::string> variables = environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        bool replaced = false;
        for (const std::string& extra : environment)
            replaced = replaced || variable.starts_with(extra.substr(0, extra.find('=') + 1));
        if (!replaced) variables.push_back(variable);
    }
    std::vector<char*> argv, envp;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (const std::string& variable : variables)
        envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + arguments[0] + ": " + std::strerror(error));
    return pid;
}

std::string ReadLog(const std::string& log) {
    std::ifstream in(log);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("no free port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

} // namespace

const std::string& UseTestEngine() {
    // Lives as long as the process: the engine keeps its configuration root until the end.
    struct EngineFolder {
        std::string Path = TemporaryFolder("towagi-fbengine");
        EngineFolder() {
            if (!ConfigureEmbeddedEngine(Path, Path + "/files")) {
                std::fputs("the embedded engine was used before the test engine was set up\n", stderr);
                std::abort();
            }
        }
        ~EngineFolder() {
            std::error_code ignored;
            std::filesystem::remove_all(Path, ignored);
        }
    };
    static EngineFolder folder;
    return folder.Path;
}

namespace {
// Before main, so that no test's attach can come first, whatever order the tests run in.
[[maybe_unused]] const std::string& kTestEngine = UseTestEngine();
} // namespace

std::vector<std::string> SuiteSchemaStatements(const TSuiteSchema& schema) {
    std::vector<std::string> statements = kDomains;
    if (!schema.MasterTables) return statements;
    for (const auto& [table, columns] : SuiteTables(schema.RemarkLength)) {
        bool left = false;
        for (const std::string& without : schema.Without)
            left = left || without == table;
        if (!left) statements.push_back("CREATE TABLE " + table + " (" + columns + ")");
    }
    return statements;
}

void RunStatements(TFbConnection& connection, const std::vector<std::string>& statements) {
    for (const std::string& statement : statements) {
        TFbTransaction transaction = connection.StartTransaction();
        connection.Execute(transaction, statement);
        transaction.Commit();
    }
}

TFbConnection CreateSuiteDatabase(const std::string& file, const std::string& externalFileDir,
                                  const TSuiteSchema& schema) {
    UseTestEngine();
    TFbConnection connection = TFbConnection::Create({file, "SYSDBA", "pinewharf", externalFileDir});
    RunStatements(connection, SuiteSchemaStatements(schema));
    return connection;
}

std::vector<TColumnInfo> TableColumns(TFbConnection& connection, const std::string& table) {
    TFbTransaction transaction = connection.StartTransaction();
    std::vector<TColumnInfo> columns;
    for (const TFbRow& row : connection.Query(
             transaction,
             "SELECT RF.RDB$FIELD_NAME, RF.RDB$FIELD_SOURCE, F.RDB$FIELD_TYPE, F.RDB$FIELD_LENGTH, "
             "F.RDB$FIELD_SCALE,"
             " COALESCE(RF.RDB$NULL_FLAG, 0) + COALESCE(F.RDB$NULL_FLAG, 0)"
             " FROM RDB$RELATION_FIELDS RF JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE"
             " WHERE RF.RDB$RELATION_NAME = :Tbl ORDER BY RF.RDB$FIELD_POSITION",
             {{"Tbl", table}})) {
        TColumnInfo column;
        column.Name = TrimRight(row[0].AsString());
        const std::string source = TrimRight(row[1].AsString());
        column.Domain = source.starts_with("RDB$") ? "" : source;
        column.Type = static_cast<int>(row[2].AsInteger());
        column.Length = static_cast<int>(row[3].AsInteger());
        column.Scale = static_cast<int>(row[4].AsInteger());
        column.NotNull = row[5].AsInteger() > 0;
        columns.push_back(column);
    }
    transaction.Commit();
    return columns;
}

int RunProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
               const std::string& log, long* peakKilobytes, double* cpuSeconds) {
    const pid_t pid = Spawn(arguments, environment, log);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status)) return -1;
    if (peakKilobytes) *peakKilobytes = usage.ru_maxrss;
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    if (cpuSeconds) *cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return WEXITSTATUS(status);
}

TFbValue SampleValue(const TColumnInfo& column, int row, int position) {
    switch (column.Type) {
    case 7: // SMALLINT
    case 8: // INTEGER
        if (column.Scale == 0) return TFbValue(row * 100 + position);
        return TFbValue(row + position / 100.0);
    case 10: // FLOAT
        return TFbValue(row * 1000 + position + 0.5);
    case 27: // DOUBLE PRECISION
        return TFbValue(row * 1e6 + position + 0.125);
    case 23: // BOOLEAN
        return TFbValue((row + position) % 2 == 0);
    case 35: // TIMESTAMP
        return TFbValue(TFbTimestamp{2020 + row % 50, 1 + position % 12, 1 + position % 28, position % 24,
                                     position % 60, row % 60, 0});
    case 14:   // CHAR
    case 37: { // VARCHAR
        std::string text = column.Length >= 4 ? "品" : "";
        int used = column.Length >= 4 ? 2 : 0;
        const std::string pattern = column.Name.substr(column.Name.find('_') + 1) + std::to_string(row);
        for (size_t i = 0; used < column.Length; ++i, ++used)
            text += pattern[i % pattern.size()];
        return TFbValue(text);
    }
    }
    throw std::runtime_error(column.Name + " has type " + std::to_string(column.Type));
}

std::vector<std::vector<TFbValue>> SampleRows(const std::vector<TColumnInfo>& columns, int first, int count) {
    std::vector<std::vector<TFbValue>> rows;
    for (int row = first; row < first + count; ++row) {
        std::vector<TFbValue> values;
        for (size_t i = 0; i < columns.size(); ++i)
            values.push_back(SampleValue(columns[i], row, static_cast<int>(i + 1)));
        rows.push_back(values);
    }
    return rows;
}

std::vector<std::vector<TFbValue>> MasterRows(TFbConnection& connection, const std::string& table, int first,
                                              int count, const std::vector<std::string>& codes,
                                              const std::string& name) {
    const bool codeTable = table.starts_with("KMICNT");
    auto rows = SampleRows(TableColumns(connection, table), first, codeTable ? static_cast<int>(codes.size()) : count);
    if (codeTable) {
        for (size_t i = 0; i < rows.size(); ++i) {
            rows[i][0] = codes[i];
            rows[i][1] = name;
        }
    }
    return rows;
}

void InsertRows(TFbConnection& connection, const std::string& table, const std::vector<std::vector<TFbValue>>& rows) {
    if (rows.empty()) return;
    std::string placeholders;
    for (size_t i = 0; i < rows[0].size(); ++i)
        placeholders += i ? ", ?" : "?";
    TFbTransaction transaction = connection.StartTransaction();
    TFbStatement insert = connection.Prepare(transaction, "INSERT INTO " + table + " VALUES (" + placeholders + ")");
    for (const std::vector<TFbValue>& row : rows) {
        for (size_t i = 0; i < row.size(); ++i)
            insert.SetParam(static_cast<int>(i), row[i]);
        insert.Execute(transaction);
    }
    transaction.Commit();
}

std::vector<std::string> RowTexts(TFbConnection& connection, const std::string& table, const std::string& where) {
    TFbTransaction transaction = connection.StartTransaction();
    std::vector<std::string> texts;
    for (const TFbRow& row : connection.Query(transaction, "SELECT * FROM " + table + (where.empty() ? "" : " WHERE " + where))) {
        std::string text;
        for (size_t i = 0; i < row.Count(); ++i)
            text += (i ? "|" : "") + row[i].AsString();
        texts.push_back(text);
    }
    transaction.Commit();
    std::sort(texts.begin(), texts.end());
    return texts;
}

std::vector<std::string> WriteMasterTextFile(TFbConnection& connection, const std::string& folder,
                                             const std::string& master,
                                             const std::vector<std::vector<TFbValue>>& rows, int remarkLength) {
    const std::string scratch = "GEN" + master;
    std::vector<std::string> lines;
    if (remarkLength > 0 && master == "KMIREID0")
        BuildRemarkTableSQL(folder, scratch, remarkLength, lines);
    else if (!BuildExternalTableSQL(folder, scratch, master, lines))
        throw std::runtime_error(master + " has no layout");
    std::string statement;
    for (const std::string& line : lines)
        statement += line + "\r\n";
    RunStatements(connection, {statement});
    InsertRows(connection, scratch, rows);
    std::vector<std::string> texts = RowTexts(connection, scratch);
    RunStatements(connection, {"DROP TABLE " + scratch});
    return texts;
}

bool TFirebirdServer::Available() {
    return access(kServerProgram, X_OK) == 0;
}

TFirebirdServer::TFirebirdServer(const std::string& externalFileDir)
    : folder_(TemporaryFolder("towagi-fbserver")) {
    const std::string& folder = folder_;
    const std::string config = folder + "/server";
    std::filesystem::create_directories(config);
    const std::string security = folder + "/security3.fdb";
    const std::string log = folder + "/server.log";
    port_ = FreePort();
    WriteText(config + "/firebird.conf", "RemoteServicePort = " + std::to_string(port_) +
                                             "\n"
                                             "RemoteBindAddress = 127.0.0.1\n"
                                             "ServerMode = SuperClassic\n"
                                             "SecurityDatabase = " +
                                             security +
                                             "\n"
                                             "AuthServer = Srp\n"
                                             "ExternalFileAccess = Restrict " +
                                             externalFileDir +
                                             "\n"
                                             "UdfAccess = None\n");
    // The server's own user list, made by isql running embedded under the server's configuration.
    WriteText(folder + "/security.sql", "CREATE DATABASE '" + security +
                                            "' USER 'SYSDBA';\n"
                                            "CREATE USER SYSDBA PASSWORD 'pinewharf';\n"
                                            "COMMIT;\n");
    const std::vector<std::string> environment{"FIREBIRD=" + config};
    if (RunProgram({kIsqlProgram, "-q", "-b", "-i", folder + "/security.sql"}, environment, log) != 0)
        throw std::runtime_error("security database not created: " + ReadLog(log));
    int status = 0;
    pid_ = Spawn({kServerProgram}, environment, log);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Accepts(port_)) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("the Firebird server ended: " + ReadLog(log));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Stop();
            throw std::runtime_error("the Firebird server does not answer: " + ReadLog(log));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

TFirebirdServer::~TFirebirdServer() {
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void TFirebirdServer::Stop() noexcept {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
}

std::string TFirebirdServer::Location(const std::string& file) const {
    return "127.0.0.1/" + std::to_string(port_) + ":" + file;
}

void TFirebirdServer::CreateDatabase(const std::string& file) const {
    TFbConnection::Create({Location(file), "SYSDBA", "pinewharf", ""}).Detach();
}

} // namespace towagi::testing
