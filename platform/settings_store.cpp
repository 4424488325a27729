#include "platform/settings_store.h"

#include "platform/hive_database.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <utility>

namespace towagi {
namespace {

std::string NonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A key found inside a transaction of its own connection.
struct FoundKey {
    std::unique_ptr<HiveConnection> connection;
    std::optional<HiveTransaction> tx;
    std::int64_t id = kRootKeyId;
};

// nullptr when the hive holds no such key: also a missing, damaged, locked or foreign hive.
std::unique_ptr<FoundKey> FindKey(Hive hive, const std::vector<std::string>& names, KeyAccess access) {
    auto key = std::make_unique<FoundKey>();
    key->connection = OpenHive(hive, access, false);
    if (!key->connection) return nullptr;
    try {
        key->tx.emplace(*key->connection, access == KeyAccess::ReadWrite);
        if (SchemaVersion(*key->connection) < kSchemaVersion) return nullptr;
        std::optional<std::int64_t> id = KeyResolver(*key->connection).Resolve(names, false);
        if (!id) return nullptr;
        key->id = *id;
    } catch (const ESettingsError&) {
        return nullptr;
    }
    return key;
}

class SqliteSettingsKey : public SettingsKey {
public:
    SqliteSettingsKey(std::unique_ptr<HiveConnection> connection, std::int64_t id, bool writable)
        : connection_(std::move(connection)), id_(id), writable_(writable) {}

    bool ReadString(const std::string& name, std::string& value) override {
        HiveStatement read(*connection_, "SELECT data FROM vals WHERE key = ?1 AND name = ?2 AND kind = ?3");
        read.Bind(1, id_).Bind(2, name).Bind(3, kKindText);
        if (!read.Step()) return false;
        value = read.Text(0);
        return true;
    }

    bool ReadInteger(const std::string& name, std::int32_t& value) override {
        HiveStatement read(*connection_, "SELECT data FROM vals WHERE key = ?1 AND name = ?2 AND kind = ?3");
        read.Bind(1, id_).Bind(2, name).Bind(3, kKindInteger);
        if (!read.Step()) return false;
        value = static_cast<std::int32_t>(read.Integer(0));
        return true;
    }

    void WriteString(const std::string& name, const std::string& value) override {
        Write(name, kKindText, [&](HiveStatement& upsert) { upsert.Bind(4, value); });
    }

    void WriteInteger(const std::string& name, std::int32_t value) override {
        Write(name, kKindInteger,
              [&](HiveStatement& upsert) { upsert.Bind(4, static_cast<std::int64_t>(value)); });
    }

    bool ValueExists(const std::string& name) override { return KindOf(name) != ValueKind::Missing; }

    ValueKind KindOf(const std::string& name) override {
        HiveStatement read(*connection_, "SELECT kind FROM vals WHERE key = ?1 AND name = ?2");
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
        HiveTransaction tx(*connection_, true);
        HiveStatement remove(*connection_, "DELETE FROM vals WHERE key = ?1 AND name = ?2");
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
        HiveTransaction tx(*connection_, true);
        // Updating in place keeps the name's letter case as first written, as the registry does.
        HiveStatement upsert(*connection_, "INSERT INTO vals(key, name, kind, data) VALUES(?1, ?2, ?3, ?4) "
                                       "ON CONFLICT(key, name) DO UPDATE SET kind = excluded.kind, "
                                       "data = excluded.data");
        upsert.Bind(1, id_).Bind(2, name).Bind(3, static_cast<std::int64_t>(kind));
        bindData(upsert);
        upsert.Step();
        tx.Commit();
    }

    std::vector<std::string> Names(const char* sql) {
        HiveStatement list(*connection_, sql);
        list.Bind(1, id_);
        std::vector<std::string> names;
        while (list.Step())
            names.push_back(list.Text(0));
        return names;
    }

    std::unique_ptr<HiveConnection> connection_;
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
    std::unique_ptr<HiveConnection> connection = OpenHive(hive, access, writable && create);
    if (!connection) return nullptr;
    try {
        std::optional<std::int64_t> id;
        {
            HiveTransaction tx(*connection, writable);
            if (writable) {
                if (SchemaVersion(*connection) < kSchemaVersion) CreateSchema(*connection);
            } else if (SchemaVersion(*connection) < kSchemaVersion) {
                return nullptr; // an empty or foreign file holds no keys
            }
            id = KeyResolver(*connection).Resolve(names, writable && create);
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
    std::unique_ptr<FoundKey> key = FindKey(hive, names, KeyAccess::ReadWrite);
    if (!key) return false;
    DeleteKeyTree(*key->connection, "main", key->id);
    key->tx->Commit();
    return true;
}

bool WalkKeyTree(Hive hive, const std::string& path,
                 const std::function<void(const std::string& below, const std::vector<KeyTreeValue>& values)>& visit) {
    std::unique_ptr<FoundKey> key = FindKey(hive, SplitKeyPath(path), KeyAccess::Read);
    if (!key) return false;
    const HiveConnection& connection = *key->connection;
    HiveStatement values(connection, "SELECT name, kind, data FROM vals WHERE key = ?1 ORDER BY rowid");
    HiveStatement children(connection,
                           "SELECT id, name FROM keys WHERE parent = ?1 ORDER BY name COLLATE NOCASE DESC");
    struct Pending {
        std::int64_t id;
        std::string below;
    };
    // An explicit stack instead of recursion: a tree may be deeper than the call stack.
    std::vector<Pending> pending{{key->id, ""}};
    std::vector<KeyTreeValue> found;
    while (!pending.empty()) {
        Pending next = std::move(pending.back());
        pending.pop_back();
        found.clear();
        values.Reset();
        values.Bind(1, next.id);
        while (values.Step()) {
            KeyTreeValue value;
            value.Name = values.Text(0);
            if (values.Integer(1) == kKindInteger) {
                value.Kind = ValueKind::Integer;
                value.Integer = static_cast<std::int32_t>(values.Integer(2));
            } else {
                value.Text = values.Text(2);
            }
            found.push_back(std::move(value));
        }
        visit(next.below, found);
        // Pushed in reverse name order, so that they come off the stack in name order.
        children.Reset();
        children.Bind(1, next.id);
        while (children.Step())
            pending.push_back({children.Integer(0), next.below.empty() ? children.Text(1)
                                                                       : next.below + "\\" + children.Text(1)});
    }
    key->tx->Commit();
    return true;
}

} // namespace towagi
