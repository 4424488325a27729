#pragma once
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace towagi {

// The settings store (the registry of the suite): two hives of keys counted from each hive's root.
// Key and value names compare without regard to ASCII letter case; a value is text or a 32-bit integer.
// This is the seam between the settings routines and the store's realisation in platform/.

enum class Hive { Machine, User };
enum class ValueKind { Missing, Text, Integer };
// Read opens an existing key for reading; ReadWrite also needs a hive that can be written.
enum class KeyAccess { Read, ReadWrite };

// The store could not keep a value although its key opened.
class ESettingsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An open key; destroying it closes it.
class SettingsKey {
public:
    virtual ~SettingsKey() = default;
    // False when the value is missing or of the other kind.
    virtual bool ReadString(const std::string& name, std::string& value) = 0;
    virtual bool ReadInteger(const std::string& name, std::int32_t& value) = 0;
    // Replace any earlier value of that name; raise ESettingsError when it cannot be stored.
    virtual void WriteString(const std::string& name, const std::string& value) = 0;
    virtual void WriteInteger(const std::string& name, std::int32_t value) = 0;
    virtual bool ValueExists(const std::string& name) = 0;
    virtual ValueKind KindOf(const std::string& name) = 0;
    virtual std::vector<std::string> SubKeyNames() = 0;
    virtual std::vector<std::string> ValueNames() = 0;
    // False when there was no such value.
    virtual bool DeleteValue(const std::string& name) = 0;
};

class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // nullptr when the key can neither be opened nor, with `create`, be created. A leading backslash
    // changes nothing.
    virtual std::unique_ptr<SettingsKey> OpenKey(Hive hive, const std::string& path, bool create,
                                                 KeyAccess access) = 0;
    // Removes the key with all its sub-keys and values; false when it did not exist or cannot be written.
    virtual bool DeleteKey(Hive hive, const std::string& path) = 0;
};

// The process's store; programs and tests install the realisation once at start.
void InstallSettingsStore(std::shared_ptr<SettingsStore> store);
SettingsStore& CurrentSettingsStore();

} // namespace towagi
