#include "platform/settings_store.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <pwd.h>
#include <sqlite3.h>
#include <unistd.h>
#include <utility>

namespace towagi {
namespace {

// Long enough to outlast another process's write burst (an import of a registry file), short enough that
// a hung holder of the lock shows up as an error rather than a frozen launcher.
constexpr int kBusyTimeoutMs = 10000;
constexpr std::int64_t kRootKeyId = 0;
// The kinds keep the registry's type numbers, so an export can name them without a table.
constexpr int kKindText = 1;    // REG_SZ
constexpr int kKindInteger = 4; // REG_DWORD
constexpr int kSchemaVersion = 1;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
    name TEXT NOT NULL COLLATE NOCASE,
    UNIQUE(parent, name));
INSERT OR IGNORE INTO keys(id, parent, name) VALUES(0, NULL, '');
CREATE TABLE IF NOT EXISTS vals(
    key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
    name TEXT NOT NULL COLLATE NOCASE,
    kind INTEGER NOT NULL,
    data NOT NULL,
    UNIQUE(key, name));
PRAGMA user_version = 1;
)sql";

[[noreturn]] void Fail(sqlite3* db, const std::string& hiveFile) {
    throw ESettingsError("設定ストア[" + hiveFile + "]のエラー: " + sqlite3_errmsg(db));
}

class Connection {
public:
    Connection(sqlite3* db, std::string hiveFile) : db_(db), hiveFile_(std::move(hiveFile)) {}
    ~Connection() {
        if (db_) sqlite3_close_v2(db_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* Get() const { return db_; }
    const std::string& HiveFile() const { return hiveFile_; }
    void Exec(const char* sql) const {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db_, hiveFile_);
    }

private:
    sqlite3* db_;
    std::string hiveFile_;
};

class Statement {
public:
    Statement(const Connection& connection, const char* sql) : connection_(connection) {
        if (sqlite3_prepare_v2(connection_.Get(), sql, -1, &stmt_, nullptr) != SQLITE_OK)
            Fail(connection_.Get(), connection_.HiveFile());
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, std::int64_t value) {
        Check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    Statement& Bind(int index, const std::string& value) {
        Check(
            sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
        return *this;
    }
    // True while a row is available.
    bool Step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        Fail(connection_.Get(), connection_.HiveFile());
    }
    std::int64_t Integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) const {
        const unsigned char* text = sqlite3_column_text(stmt_, column);
        int size = sqlite3_column_bytes(stmt_, column);
        return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size))
                    : std::string();
    }

private:
    void Check(int rc) const {
        if (rc != SQLITE_OK) Fail(connection_.Get(), connection_.HiveFile());
    }
    const Connection& connection_;
    sqlite3_stmt* stmt_ = nullptr;
};

// Rolls back unless Commit() ran.
class Transaction {
public:
    // Writers take the write lock at the start, so two writers wait for each other instead of deadlocking.
    Transaction(const Connection& connection, bool write) : connection_(connection) {
        connection_.Exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
    }
    ~Transaction() {
        if (!done_) sqlite3_exec(connection_.Get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        connection_.Exec("COMMIT");
        done_ = true;
    }

private:
    const Connection& connection_;
    bool done_ = false;
};

std::string NonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool CanWriteHive(const std::filesystem::path& file) {
    std::filesystem::path folder = file.parent_path();
    if (folder.empty()) folder = ".";
    // SQLite keeps its rollback journal beside the hive, so the folder must be writable too.
    if (access(folder.c_str(), W_OK) != 0) return false;
    std::error_code error;
    return !std::filesystem::exists(file, error) || access(file.c_str(), W_OK) == 0;
}

// nullptr when the hive cannot be used with that access; a read never creates a file.
std::unique_ptr<Connection> OpenHive(Hive hive, KeyAccess access, bool createFile) {
    std::string file = HiveFilePath(hive);
    if (file.empty()) return nullptr;
    int flags = SQLITE_OPEN_READONLY;
    if (access == KeyAccess::ReadWrite) {
        std::error_code error;
        if (createFile && !std::filesystem::exists(file, error)) {
            std::filesystem::path folder = std::filesystem::path(file).parent_path();
            if (!folder.empty()) std::filesystem::create_directories(folder, error);
            if (error) return nullptr;
        }
        if (!CanWriteHive(file)) return nullptr;
        flags = SQLITE_OPEN_READWRITE | (createFile ? SQLITE_OPEN_CREATE : 0);
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
    auto connection = std::make_unique<Connection>(db, file);
    if (rc != SQLITE_OK) return nullptr;
    // SQLite quietly falls back to read-only for a file it may not write; such a hive cannot be written.
    if (access == KeyAccess::ReadWrite && sqlite3_db_readonly(db, "main") == 1) return nullptr;
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    connection->Exec("PRAGMA foreign_keys = ON");
    return connection;
}

int SchemaVersion(const Connection& connection) {
    Statement version(connection, "PRAGMA user_version");
    return version.Step() ? static_cast<int>(version.Integer(0)) : 0;
}

// The key's id, walking down from the root; with `create` missing keys are added on the way.
std::optional<std::int64_t> ResolveKey(const Connection& connection, const std::vector<std::string>& names,
                                       bool create) {
    std::int64_t id = kRootKeyId;
    for (const std::string& name : names) {
        Statement find(connection, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
        find.Bind(1, id).Bind(2, name);
        if (find.Step()) {
            id = find.Integer(0);
            continue;
        }
        if (!create) return std::nullopt;
        Statement add(connection, "INSERT INTO keys(parent, name) VALUES(?1, ?2)");
        add.Bind(1, id).Bind(2, name);
        add.Step();
        id = sqlite3_last_insert_rowid(connection.Get());
    }
    return id;
}

class SqliteSettingsKey : public SettingsKey {
public:
    SqliteSettingsKey(std::unique_ptr<Connection> connection, std::int64_t id, bool writable)
        : connection_(std::move(connection)), id_(id), writable_(writable) {}

    bool ReadString(const std::string& name, std::string& value) override {
        Statement read(*connection_, "SELECT data FROM vals WHERE key = ?1 AND name = ?2 AND kind = ?3");
        read.Bind(1, id_).Bind(2, name).Bind(3, kKindText);
        if (!read.Step()) return false;
        value = read.Text(0);
        return true;
    }

    bool ReadInteger(const std::string& name, std::int32_t& value) override {
        Statement read(*connection_, "SELECT data FROM vals WHERE key = ?1 AND name = ?2 AND kind = ?3");
        read.Bind(1, id_).Bind(2, name).Bind(3, kKindInteger);
        if (!read.Step()) return false;
        value = static_cast<std::int32_t>(read.Integer(0));
        return true;
    }

    void WriteString(const std::string& name, const std::string& value) override {
        Write(name, kKindText, [&](Statement& upsert) { upsert.Bind(4, value); });
    }

    void WriteInteger(const std::string& name, std::int32_t value) override {
        Write(name, kKindInteger,
              [&](Statement& upsert) { upsert.Bind(4, static_cast<std::int64_t>(value)); });
    }

    bool ValueExists(const std::string& name) override { return KindOf(name) != ValueKind::Missing; }

    ValueKind KindOf(const std::string& name) override {
        Statement read(*connection_, "SELECT kind FROM vals WHERE key = ?1 AND name = ?2");
        read.Bind(1, id_).Bind(2, name);
        if (!read.Step()) return ValueKind::Missing;
        return read.Integer(0) == kKindInteger ? ValueKind::Integer : ValueKind::Text;
    }

    std::vector<std::string> SubKeyNames() override {
        return Names("SELECT name FROM keys WHERE parent = ?1 ORDER BY name COLLATE NOCASE");
    }

    std::vector<std::string> ValueNames() override {
        return Names("SELECT name FROM vals WHERE key = ?1 ORDER BY rowid");
    }

    bool DeleteValue(const std::string& name) override {
        RequireWritable();
        Transaction tx(*connection_, true);
        Statement remove(*connection_, "DELETE FROM vals WHERE key = ?1 AND name = ?2");
        remove.Bind(1, id_).Bind(2, name);
        remove.Step();
        bool removed = sqlite3_changes(connection_->Get()) > 0;
        tx.Commit();
        return removed;
    }

private:
    void RequireWritable() const {
        if (!writable_)
            throw ESettingsError("設定ストア[" + connection_->HiveFile() +
                                 "]のキーは読み取り用に開かれています");
    }

    template <typename BindData> void Write(const std::string& name, int kind, BindData bindData) {
        RequireWritable();
        Transaction tx(*connection_, true);
        // Updating in place keeps the name's letter case as first written, as the registry does.
        Statement upsert(*connection_, "INSERT INTO vals(key, name, kind, data) VALUES(?1, ?2, ?3, ?4) "
                                       "ON CONFLICT(key, name) DO UPDATE SET kind = excluded.kind, "
                                       "data = excluded.data");
        upsert.Bind(1, id_).Bind(2, name).Bind(3, static_cast<std::int64_t>(kind));
        bindData(upsert);
        upsert.Step();
        tx.Commit();
    }

    std::vector<std::string> Names(const char* sql) {
        Statement list(*connection_, sql);
        list.Bind(1, id_);
        std::vector<std::string> names;
        while (list.Step())
            names.push_back(list.Text(0));
        return names;
    }

    std::unique_ptr<Connection> connection_;
    std::int64_t id_;
    bool writable_;
};

} // namespace

const char* HiveFileVariable(Hive hive) {
    return hive == Hive::Machine ? "TOWAGI_MACHINE_HIVE" : "TOWAGI_USER_HIVE";
}

std::string HiveFilePath(Hive hive) {
    std::string file = NonEmptyEnv(HiveFileVariable(hive));
    if (hive == Hive::Machine) return file.empty() ? "/var/lib/towagi/machine.hive" : file;
    if (!file.empty()) return file;
    std::string config = NonEmptyEnv("XDG_CONFIG_HOME");
    // The base-directory rules ignore a relative XDG_CONFIG_HOME.
    if (!config.empty() && config.front() == '/') return config + "/towagi/user.hive";
    std::string home = NonEmptyEnv("HOME");
    if (home.empty()) {
        passwd entry{};
        passwd* found = nullptr;
        char buffer[4096];
        if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    return home.empty() ? "" : home + "/.config/towagi/user.hive";
}

std::vector<std::string> SplitKeyPath(const std::string& path) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::unique_ptr<SettingsKey> SqliteSettingsStore::OpenKey(Hive hive, const std::string& path, bool create,
                                                          KeyAccess access) {
    std::vector<std::string> names = SplitKeyPath(path);
    bool writable = access == KeyAccess::ReadWrite;
    std::unique_ptr<Connection> connection = OpenHive(hive, access, writable && create);
    if (!connection) return nullptr;
    try {
        std::optional<std::int64_t> id;
        {
            Transaction tx(*connection, writable);
            if (writable) {
                if (SchemaVersion(*connection) < kSchemaVersion) connection->Exec(kSchema);
            } else if (SchemaVersion(*connection) < kSchemaVersion) {
                return nullptr; // an empty or foreign file holds no keys
            }
            id = ResolveKey(*connection, names, writable && create);
            if (!id) return nullptr;
            tx.Commit();
        }
        return std::make_unique<SqliteSettingsKey>(std::move(connection), *id, writable);
    } catch (const ESettingsError&) {
        // A damaged, locked or foreign hive is a key that cannot be opened.
        return nullptr;
    }
}

bool SqliteSettingsStore::DeleteKey(Hive hive, const std::string& path) {
    std::vector<std::string> names = SplitKeyPath(path);
    if (names.empty()) return false; // the root of a hive stays
    std::unique_ptr<Connection> connection = OpenHive(hive, KeyAccess::ReadWrite, false);
    if (!connection) return false;
    std::optional<Transaction> tx;
    std::optional<std::int64_t> id;
    try {
        tx.emplace(*connection, true);
        if (SchemaVersion(*connection) < kSchemaVersion) return false;
        id = ResolveKey(*connection, names, false);
    } catch (const ESettingsError&) {
        return false; // a damaged, locked or foreign hive holds no key that could be deleted
    }
    if (!id) return false;
    constexpr const char* kSubtree = "WITH RECURSIVE subtree(id) AS (SELECT ?1 UNION ALL "
                                     "SELECT keys.id FROM keys JOIN subtree ON keys.parent = subtree.id) ";
    Statement values(*connection, (std::string(kSubtree) + "DELETE FROM vals WHERE key IN subtree").c_str());
    values.Bind(1, *id);
    values.Step();
    Statement keys(*connection, (std::string(kSubtree) + "DELETE FROM keys WHERE id IN subtree").c_str());
    keys.Bind(1, *id);
    keys.Step();
    tx->Commit();
    return true;
}

} // namespace towagi
