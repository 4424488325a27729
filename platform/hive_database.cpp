#include "platform/hive_database.h"

#include "platform/settings_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <utility>

namespace towagi {
namespace {

// Tables of one hive file; "@" stands for the schema name.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS @.keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
    name TEXT NOT NULL COLLATE NOCASE,
    UNIQUE(parent, name));
INSERT OR IGNORE INTO @.keys(id, parent, name) VALUES(0, NULL, '');
CREATE TABLE IF NOT EXISTS @.vals(
    key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
    name TEXT NOT NULL COLLATE NOCASE,
    kind INTEGER NOT NULL,
    data NOT NULL,
    UNIQUE(key, name));
PRAGMA @.user_version = 1;
)sql";

std::string InSchema(const std::string& sql, const std::string& schema) {
    std::string result;
    for (char c : sql) {
        if (c == '@')
            result += schema;
        else
            result += c;
    }
    return result;
}

} // namespace

HiveConnection::HiveConnection(sqlite3* db, std::string hiveFile)
    : db_(db), hiveFile_(std::move(hiveFile)), watched_{hiveFile_},
      random_(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() ^ getpid())) {
}

HiveConnection::~HiveConnection() {
    if (db_) sqlite3_close_v2(db_);
}

void HiveConnection::Exec(const std::string& sql) const {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail();
}

void HiveConnection::Fail() const {
    throw ESettingsError("設定ストア[" + hiveFile_ + "]のエラー: " + sqlite3_errmsg(db_));
}

void HiveConnection::Configure() {
    sqlite3_busy_handler(db_, &HiveConnection::OnBusy, this);
    Exec("PRAGMA foreign_keys = ON");
}

std::vector<std::int64_t> HiveConnection::FilesStamp() const {
    std::vector<std::int64_t> stamp;
    for (const std::string& file : watched_) {
        struct stat info {};
        // stat, never open: closing another descriptor of the file would drop SQLite's locks on it.
        if (::stat(file.c_str(), &info) != 0) info = {};
        stamp.insert(stamp.end(),
                     {static_cast<std::int64_t>(info.st_mtim.tv_sec),
                      static_cast<std::int64_t>(info.st_mtim.tv_nsec),
                      static_cast<std::int64_t>(info.st_size), static_cast<std::int64_t>(info.st_ino)});
    }
    return stamp;
}

int HiveConnection::OnBusy(void* self, int count) {
    auto& connection = *static_cast<HiveConnection*>(self);
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::int64_t> stamp = connection.FilesStamp();
    if (count == 0) {
        connection.waitStart_ = connection.lastProgress_ = now;
    } else if (stamp != connection.lastStamp_) {
        connection.lastProgress_ = now;
    }
    connection.lastStamp_ = std::move(stamp);
    using std::chrono::milliseconds;
    if (now - connection.lastProgress_ >= milliseconds(kLockUpMs) ||
        now - connection.waitStart_ >= milliseconds(kBusyLimitMs))
        return 0; // SQLITE_BUSY goes to the caller
    // A random few milliseconds, so that waiters do not wake in step and each finds a free moment soon.
    std::this_thread::sleep_for(milliseconds(1 + connection.random_() % 8));
    return 1;
}

HiveStatement::HiveStatement(const HiveConnection& connection, const std::string& sql)
    : connection_(connection) {
    if (sqlite3_prepare_v2(connection_.Get(), sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
        connection_.Fail();
}

HiveStatement::~HiveStatement() {
    sqlite3_finalize(stmt_);
}

HiveStatement& HiveStatement::Bind(int index, std::int64_t value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
}

HiveStatement& HiveStatement::Bind(int index, const std::string& value) {
    Check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
    return *this;
}

bool HiveStatement::Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    connection_.Fail();
}

void HiveStatement::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::string HiveStatement::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size)) : std::string();
}

void HiveStatement::Check(int rc) const {
    if (rc != SQLITE_OK) connection_.Fail();
}

HiveTransaction::HiveTransaction(const HiveConnection& connection, bool write) : connection_(connection) {
    connection_.Exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
}

HiveTransaction::~HiveTransaction() {
    if (!done_) sqlite3_exec(connection_.Get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void HiveTransaction::Commit() {
    connection_.Exec("COMMIT");
    done_ = true;
}

bool PrepareHiveForWriting(const std::string& file, bool createFolder) {
    std::filesystem::path folder = std::filesystem::path(file).parent_path();
    std::error_code error;
    if (createFolder && !folder.empty() && !std::filesystem::exists(file, error)) {
        std::filesystem::create_directories(folder, error);
        if (error) return false;
    }
    if (folder.empty()) folder = ".";
    if (access(folder.c_str(), W_OK) != 0) return false;
    return !std::filesystem::exists(file, error) || access(file.c_str(), W_OK) == 0;
}

std::unique_ptr<HiveConnection> OpenHive(Hive hive, KeyAccess access, bool createFile) {
    std::string file = HiveFilePath(hive);
    if (file.empty()) return nullptr;
    int flags = SQLITE_OPEN_READONLY;
    if (access == KeyAccess::ReadWrite) {
        if (!PrepareHiveForWriting(file, createFile)) return nullptr;
        flags = SQLITE_OPEN_READWRITE | (createFile ? SQLITE_OPEN_CREATE : 0);
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
    auto connection = std::make_unique<HiveConnection>(db, file);
    if (rc != SQLITE_OK) return nullptr;
    // SQLite quietly falls back to read-only for a file it may not write; such a hive cannot be written.
    if (access == KeyAccess::ReadWrite && sqlite3_db_readonly(db, "main") == 1) return nullptr;
    connection->Configure();
    return connection;
}

int SchemaVersion(const HiveConnection& connection, const std::string& schema) {
    HiveStatement version(connection, "PRAGMA " + schema + ".user_version");
    return version.Step() ? static_cast<int>(version.Integer(0)) : 0;
}

void CreateSchema(const HiveConnection& connection, const std::string& schema) {
    connection.Exec(InSchema(kSchema, schema));
}

KeyResolver::KeyResolver(const HiveConnection& connection, const std::string& schema)
    : connection_(connection),
      find_(connection, "SELECT id FROM " + schema + ".keys WHERE parent = ?1 AND name = ?2"),
      add_(connection, "INSERT INTO " + schema + ".keys(parent, name) VALUES(?1, ?2)") {}

std::optional<std::int64_t> KeyResolver::Find(std::int64_t parent, const std::string& name) {
    find_.Reset();
    find_.Bind(1, parent).Bind(2, name);
    std::optional<std::int64_t> id;
    if (find_.Step()) id = find_.Integer(0);
    find_.Reset();
    return id;
}

std::int64_t KeyResolver::Add(std::int64_t parent, const std::string& name) {
    add_.Reset();
    add_.Bind(1, parent).Bind(2, name);
    add_.Step();
    add_.Reset();
    return sqlite3_last_insert_rowid(connection_.Get());
}

std::optional<std::int64_t> KeyResolver::Resolve(const std::vector<std::string>& names, bool create) {
    std::int64_t id = kRootKeyId;
    for (const std::string& name : names) {
        if (std::optional<std::int64_t> found = Find(id, name)) {
            id = *found;
            continue;
        }
        if (!create) return std::nullopt;
        id = Add(id, name);
    }
    return id;
}

void DeleteKeyTree(const HiveConnection& connection, const std::string& schema, std::int64_t id) {
    if (id == kRootKeyId) return;
    connection.Exec(
        "CREATE TEMP TABLE IF NOT EXISTS doomed_keys(id INTEGER PRIMARY KEY, depth INTEGER NOT NULL)");
    connection.Exec("DELETE FROM temp.doomed_keys");
    // A recursive query walks the tree with a queue, not a stack: no depth limit.
    HiveStatement collect(connection,
                          "WITH RECURSIVE subtree(id, depth) AS (SELECT ?1, 0 UNION ALL "
                          "SELECT keys.id, subtree.depth + 1 FROM " +
                              schema +
                              ".keys AS keys JOIN subtree ON keys.parent = subtree.id) "
                              "INSERT INTO temp.doomed_keys(id, depth) SELECT id, depth FROM subtree");
    collect.Bind(1, id);
    collect.Step();
    connection.Exec("DELETE FROM " + schema + ".vals WHERE key IN (SELECT id FROM temp.doomed_keys)");
    HiveStatement doomed(connection, "SELECT id FROM temp.doomed_keys ORDER BY depth DESC");
    HiveStatement remove(connection, "DELETE FROM " + schema + ".keys WHERE id = ?1");
    while (doomed.Step()) {
        remove.Reset();
        remove.Bind(1, doomed.Integer(0));
        remove.Step();
    }
    connection.Exec("DELETE FROM temp.doomed_keys");
}

} // namespace towagi
