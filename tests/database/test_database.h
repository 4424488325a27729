#pragma once
#include "database/firebird.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace towagi::testing {

// The embedded engine of a test process, configured before main (so before any attach). Returns the folder
// that holds its firebird.conf, for child processes (isql) that must run the same way.
const std::string& UseTestEngine();

// What a test database holds besides the suite's domains.
struct TSuiteSchema {
    bool MasterTables = true;         // the sixteen master tables and the cost edition's code table KMICNTB0
    std::vector<std::string> Without; // tables left out, for a database that lacks them
    int RemarkLength = 40;            // the width of KMIREID0.REI_REIBUN
};

// The statements that build the schema: the domains first, then the tables.
std::vector<std::string> SuiteSchemaStatements(const TSuiteSchema& schema = {});

// A new SQL dialect 1 database at `file` with the suite's domains and the schema's tables, opened embedded
// with SYSDBA and external files allowed in `externalFileDir`.
TFbConnection CreateSuiteDatabase(const std::string& file, const std::string& externalFileDir,
                                  const TSuiteSchema& schema = {});

// Runs each statement in a transaction of its own.
void RunStatements(TFbConnection& connection, const std::vector<std::string>& statements);

// Runs a program (looked up on PATH) with extra "NAME=value" environment entries and waits for it; its
// output goes to `log`. Returns the exit code, or -1 when it did not end normally. `peakKilobytes`, when
// given, receives the program's peak memory; `cpuSeconds` the processor time it used (user and system).
int RunProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
               const std::string& log, long* peakKilobytes = nullptr, double* cpuSeconds = nullptr);

// One column as the system tables describe it.
struct TColumnInfo {
    std::string Name;
    std::string Domain; // the field source when it is a declared domain; "" for a built-in type
    int Type = 0;       // RDB$FIELD_TYPE: 7 SMALLINT, 8 INTEGER, 10 FLOAT, 14 CHAR, 23 BOOLEAN, 27 DOUBLE,
                        // 35 TIMESTAMP, 37 VARCHAR
    int Length = 0;     // bytes
    int Scale = 0;
    bool NotNull = false;
    bool operator==(const TColumnInfo&) const = default;
};
std::vector<TColumnInfo> TableColumns(TFbConnection& connection, const std::string& table);

// A value of the column's type that differs per row and column (`position` from 1). Text fills the column's
// width in CP932 bytes and from four bytes on starts with 品; floats are values a FLOAT holds exactly.
TFbValue SampleValue(const TColumnInfo& column, int row, int position);

// Rows `first` to `first + count - 1` of SampleValue for the columns.
std::vector<std::vector<TFbValue>> SampleRows(const std::vector<TColumnInfo>& columns, int first, int count);

// Rows `first`.. of a master table's columns; a code table (KMICNT..) gets one row per code given, with
// `name` as its CNT_KOUMEI, other tables `count` rows.
std::vector<std::vector<TFbValue>> MasterRows(TFbConnection& connection, const std::string& table, int first,
                                              int count, const std::vector<std::string>& codes,
                                              const std::string& name);

// Inserts the rows (values in column order) into the table, in one transaction.
void InsertRows(TFbConnection& connection, const std::string& table, const std::vector<std::vector<TFbValue>>& rows);

// Every row of the table as the database gives it back ("|" between the values' texts), sorted.
std::vector<std::string> RowTexts(TFbConnection& connection, const std::string& table,
                                  const std::string& where = "");

// Writes the master table's data file (its name + ".txt" in `folder`, which the connection may use for
// external files) with the rows, through a scratch external table of the table's layout (KMIREID0 with
// REI_REIBUN `remarkLength` wide when it is given); rows are appended to a file that is there. Returns the
// rows as RowTexts reads them back from the file.
std::vector<std::string> WriteMasterTextFile(TFbConnection& connection, const std::string& folder,
                                             const std::string& master,
                                             const std::vector<std::vector<TFbValue>>& rows, int remarkLength = 0);

// A Firebird server on 127.0.0.1 at a free port, with a private configuration in a folder of its own: its
// own security database (SYSDBA / pinewharf), SuperClassic, external files in `externalFileDir`. Stopped,
// and its folder removed, on destruction.
class TFirebirdServer {
public:
    static bool Available(); // the server program is installed
    explicit TFirebirdServer(const std::string& externalFileDir);
    ~TFirebirdServer();
    TFirebirdServer(const TFirebirdServer&) = delete;
    TFirebirdServer& operator=(const TFirebirdServer&) = delete;

    int Port() const { return port_; }
    // The location of a database file through this server.
    std::string Location(const std::string& file) const;
    // A new empty database at `file`, made through the server.
    void CreateDatabase(const std::string& file) const;

private:
    void Stop() noexcept;
    std::string folder_;
    int port_ = 0;
    pid_t pid_ = -1;
};

} // namespace towagi::testing
