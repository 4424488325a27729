#include "platform/settings_transaction.h"

#include "platform/hive_database.h"
#include "platform/settings_store.h"
#include "support/text.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <unordered_map>

namespace towagi {
namespace {

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error)) return true;
    return std::filesystem::weakly_canonical(a, error) == std::filesystem::weakly_canonical(b, error) &&
           !error;
}

} // namespace

EHiveNotWritable::EHiveNotWritable(Hive hive, const std::string& file)
    : ESettingsError("設定ストア[" + file + "]に書き込めません"), hive_(hive) {}

// One hive file inside the connection: "main" or the attached "second".
struct HiveSchema {
    HiveSchema(const HiveConnection& connection, const std::string& name)
        : resolver(connection, name),
          upsert(connection,
                 "INSERT INTO " + name +
                     ".vals(key, name, kind, data) VALUES(?1, ?2, ?3, ?4) "
                     "ON CONFLICT(key, name) DO UPDATE SET kind = excluded.kind, data = excluded.data"),
          removeValue(connection, "DELETE FROM " + name + ".vals WHERE key = ?1 AND name = ?2"), name(name) {}

    KeyResolver resolver;
    HiveStatement upsert;
    HiveStatement removeValue;
    std::string name;
    // Key ids by path, names in upper case joined with backslashes ("" is the root).
    std::unordered_map<std::string, std::int64_t> keys{{"", kRootKeyId}};
};

struct SettingsTransaction::Impl {
    std::unique_ptr<HiveConnection> connection;
    std::vector<std::unique_ptr<HiveSchema>> schemas;
    std::map<Hive, HiveSchema*> byHive;
    std::optional<HiveTransaction> tx;

    HiveSchema& SchemaOf(Hive hive) {
        auto found = byHive.find(hive);
        if (found == byHive.end())
            throw ESettingsError("設定ストア[" + HiveFilePath(hive) + "]はこの処理で開かれていません");
        return *found->second;
    }
};

SettingsTransaction::SettingsTransaction(const std::vector<Hive>& hives) : impl_(std::make_unique<Impl>()) {
    std::vector<std::pair<Hive, std::string>> files;
    for (Hive hive : hives) {
        bool seen = false;
        for (const auto& file : files)
            seen = seen || file.first == hive;
        if (seen) continue;
        std::string file = HiveFilePath(hive);
        if (file.empty() || !PrepareHiveForWriting(file, true)) throw EHiveNotWritable(hive, file);
        files.emplace_back(hive, file);
    }
    if (files.empty()) return;

    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(files[0].second.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    impl_->connection = std::make_unique<HiveConnection>(db, files[0].second);
    HiveConnection& connection = *impl_->connection;
    if (rc != SQLITE_OK || sqlite3_db_readonly(db, "main") == 1)
        throw EHiveNotWritable(files[0].first, files[0].second);
    connection.Configure();
    std::vector<std::string> names{"main"};
    if (files.size() > 1 && !SameFile(files[0].second, files[1].second)) {
        HiveStatement attach(connection, "ATTACH DATABASE ?1 AS second");
        attach.Bind(1, files[1].second);
        attach.Step();
        if (sqlite3_db_readonly(db, "second") == 1) throw EHiveNotWritable(files[1].first, files[1].second);
        connection.WatchFile(files[1].second);
        names.push_back("second");
    }
    impl_->tx.emplace(connection, true);
    for (const std::string& name : names) {
        if (SchemaVersion(connection, name) < kSchemaVersion) CreateSchema(connection, name);
        impl_->schemas.push_back(std::make_unique<HiveSchema>(connection, name));
    }
    // Two hives in one file share its tree.
    for (size_t i = 0; i < files.size(); ++i)
        impl_->byHive[files[i].first] = impl_->schemas[std::min(i, impl_->schemas.size() - 1)].get();
}

SettingsTransaction::~SettingsTransaction() = default;

SettingsTransaction::Key SettingsTransaction::CreateKey(Hive hive, const std::string& path) {
    HiveSchema& schema = impl_->SchemaOf(hive);
    const std::vector<std::string> names = SplitKeyPath(path);
    // The lookup text of every prefix ends where a name ends.
    std::string upper;
    std::vector<size_t> ends;
    for (const std::string& name : names) {
        if (!upper.empty()) upper += '\\';
        upper += UpperCase(name); // the store compares names without regard to ASCII letter case
        ends.push_back(upper.size());
    }
    // The longest known prefix, searched from the whole path up, so that a new key below a known one
    // costs one lookup.
    size_t known = names.size();
    std::int64_t id = kRootKeyId;
    for (; known > 0; --known) {
        auto found = schema.keys.find(upper.substr(0, ends[known - 1]));
        if (found != schema.keys.end()) {
            id = found->second;
            break;
        }
    }
    for (size_t i = known; i < names.size(); ++i) {
        std::optional<std::int64_t> child = schema.resolver.Find(id, names[i]);
        id = child ? *child : schema.resolver.Add(id, names[i]);
        schema.keys.emplace(upper.substr(0, ends[i]), id);
    }
    return Key{hive, id};
}

bool SettingsTransaction::DeleteKey(Hive hive, const std::string& path) {
    HiveSchema& schema = impl_->SchemaOf(hive);
    const std::vector<std::string> names = SplitKeyPath(path);
    if (names.empty()) return false;
    std::optional<std::int64_t> id = schema.resolver.Resolve(names, false);
    if (!id) return false;
    DeleteKeyTree(*impl_->connection, schema.name, *id);
    schema.keys = {{"", kRootKeyId}}; // ids below the key are gone
    return true;
}

void SettingsTransaction::WriteString(const Key& key, const std::string& name, const std::string& value) {
    HiveStatement& upsert = impl_->SchemaOf(key.hive).upsert;
    upsert.Reset();
    upsert.Bind(1, key.id).Bind(2, name).Bind(3, std::int64_t{kKindText}).Bind(4, value);
    upsert.Step();
}

void SettingsTransaction::WriteInteger(const Key& key, const std::string& name, std::int32_t value) {
    HiveStatement& upsert = impl_->SchemaOf(key.hive).upsert;
    upsert.Reset();
    upsert.Bind(1, key.id).Bind(2, name).Bind(3, std::int64_t{kKindInteger}).Bind(4, std::int64_t{value});
    upsert.Step();
}

bool SettingsTransaction::DeleteValue(const Key& key, const std::string& name) {
    HiveStatement& remove = impl_->SchemaOf(key.hive).removeValue;
    remove.Reset();
    remove.Bind(1, key.id).Bind(2, name);
    remove.Step();
    return sqlite3_changes(impl_->connection->Get()) > 0;
}

void SettingsTransaction::Commit() {
    if (impl_->tx) impl_->tx->Commit();
}

} // namespace towagi
