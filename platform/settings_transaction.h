#pragma once
#include "support/settings_store.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace towagi {

// A hive that cannot be written (its file or folder is not writable, or it has no location).
class EHiveNotWritable : public ESettingsError {
public:
    EHiveNotWritable(Hive hive, const std::string& file);
    Hive WhichHive() const { return hive_; }

private:
    Hive hive_;
};

// Many changes to one or both hives as one transaction: Commit keeps all of them, anything else - an
// error, an exception of the caller, a crash - keeps none. The hives are locked for writing from the
// start, so a large import is one write to the disk instead of one per value. Keys found or made are
// remembered, so a path is looked up once.
class SettingsTransaction {
public:
    // A key of one hive, valid until a key above it is deleted in this transaction.
    struct Key {
        Hive hive;
        std::int64_t id;
    };

    // Opens the hives for writing, making their files when missing. Raises EHiveNotWritable for a hive
    // that cannot be written, ESettingsError for one that cannot be used (a damaged or foreign file).
    explicit SettingsTransaction(const std::vector<Hive>& hives);
    ~SettingsTransaction();
    SettingsTransaction(const SettingsTransaction&) = delete;
    SettingsTransaction& operator=(const SettingsTransaction&) = delete;

    // The key at `path`, made with the keys above it when missing.
    Key CreateKey(Hive hive, const std::string& path);
    // Removes the key with everything below it, however deep; false when there was no such key. The root
    // of a hive stays (false).
    bool DeleteKey(Hive hive, const std::string& path);
    void WriteString(const Key& key, const std::string& name, const std::string& value);
    void WriteInteger(const Key& key, const std::string& name, std::int32_t value);
    // False when there was no such value.
    bool DeleteValue(const Key& key, const std::string& name);
    void Commit();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace towagi
