#pragma once
// The SQLite side of a hive file, shared by the settings store's keys and its whole-tree operations. Only
// platform/ uses it.
#include "support/settings_store.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace towagi {

inline constexpr std::int64_t kRootKeyId = 0;
// The kinds keep the registry's type numbers, so an export can name them without a table.
inline constexpr int kKindText = 1;    // REG_SZ
inline constexpr int kKindInteger = 4; // REG_DWORD
inline constexpr int kSchemaVersion = 1;

// How long a connection waits for another one's lock. Writers take turns quickly, so a waiter sleeps only
// a few milliseconds at a time and keeps waiting while the others get their work done (the hive files
// change); nobody writing for kLockUpMs means a hung holder of the lock, which is reported, not waited
// out. kBusyLimitMs ends even a wait behind others that keep writing.
inline constexpr int kLockUpMs = 10000;
inline constexpr int kBusyLimitMs = 120000;

class HiveConnection {
public:
    // Takes over `db` (also when its open failed, to close it). `hiveFile` names the hive in errors and is
    // watched by the busy wait.
    HiveConnection(sqlite3* db, std::string hiveFile);
    ~HiveConnection();
    HiveConnection(const HiveConnection&) = delete;
    HiveConnection& operator=(const HiveConnection&) = delete;

    sqlite3* Get() const { return db_; }
    const std::string& HiveFile() const { return hiveFile_; }
    void Exec(const std::string& sql) const;
    [[noreturn]] void Fail() const;
    // Installs the busy wait and enforces the keys' references.
    void Configure();
    // Another file whose writes count as the others' progress (an attached hive).
    void WatchFile(const std::string& file) { watched_.push_back(file); }

private:
    static int OnBusy(void* self, int count);
    // A stamp of the watched files that changes with every write that reaches them.
    std::vector<std::int64_t> FilesStamp() const;

    sqlite3* db_;
    std::string hiveFile_;
    std::vector<std::string> watched_;
    std::chrono::steady_clock::time_point waitStart_, lastProgress_;
    std::vector<std::int64_t> lastStamp_;
    std::minstd_rand random_;
};

class HiveStatement {
public:
    HiveStatement(const HiveConnection& connection, const std::string& sql);
    ~HiveStatement();
    HiveStatement(const HiveStatement&) = delete;
    HiveStatement& operator=(const HiveStatement&) = delete;

    HiveStatement& Bind(int index, std::int64_t value);
    HiveStatement& Bind(int index, const std::string& value);
    // True while a row is available. A statement that ran to its end starts again at the next Step.
    bool Step();
    // Ready for new parameters and a new run.
    void Reset();
    std::int64_t Integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) const;

private:
    void Check(int rc) const;
    const HiveConnection& connection_;
    sqlite3_stmt* stmt_ = nullptr;
};

// Rolls back unless Commit() ran.
class HiveTransaction {
public:
    // Writers take the write lock at the start, so two writers wait for each other instead of deadlocking.
    HiveTransaction(const HiveConnection& connection, bool write);
    ~HiveTransaction();
    HiveTransaction(const HiveTransaction&) = delete;
    HiveTransaction& operator=(const HiveTransaction&) = delete;
    void Commit();

private:
    const HiveConnection& connection_;
    bool done_ = false;
};

// Whether the hive file can be written (its folder too: SQLite keeps its rollback journal beside it). With
// `createFolder` a missing folder is made first.
bool PrepareHiveForWriting(const std::string& file, bool createFolder);

// The hive's connection; nullptr when it cannot be used with that access. A read never creates a file.
std::unique_ptr<HiveConnection> OpenHive(Hive hive, KeyAccess access, bool createFile);

// The schema of the database `schema` ("main" or an attached name): its version, and its tables made.
int SchemaVersion(const HiveConnection& connection, const std::string& schema = "main");
void CreateSchema(const HiveConnection& connection, const std::string& schema = "main");

// Finds and adds keys below a parent in one database, with its statements prepared once.
class KeyResolver {
public:
    KeyResolver(const HiveConnection& connection, const std::string& schema = "main");
    std::optional<std::int64_t> Find(std::int64_t parent, const std::string& name);
    std::int64_t Add(std::int64_t parent, const std::string& name);
    // The key's id, walking down from the root; with `create` missing keys are added on the way.
    std::optional<std::int64_t> Resolve(const std::vector<std::string>& names, bool create);

private:
    const HiveConnection& connection_;
    HiveStatement find_, add_;
};

// Removes the key, every key below it and all their values, leaves first: however deep the tree, no
// cascade runs more than one level (SQLite limits nested cascades to a thousand). Inside a write
// transaction; the root key cannot be removed.
void DeleteKeyTree(const HiveConnection& connection, const std::string& schema, std::int64_t id);

} // namespace towagi
