#pragma once
#include "support/settings_store.h"

#include <string>
#include <vector>

namespace towagi {

// The file that holds a hive: $TOWAGI_MACHINE_HIVE or /var/lib/towagi/machine.hive; $TOWAGI_USER_HIVE or
// $XDG_CONFIG_HOME/towagi/user.hive (~/.config/towagi/user.hive). Read afresh on every call, so a test or
// a tool can point a running process at other hives.
std::string HiveFilePath(Hive hive);
// The environment variable that chooses the hive's file: "TOWAGI_MACHINE_HIVE" or "TOWAGI_USER_HIVE".
const char* HiveFileVariable(Hive hive);

// The key names of a path; a leading, doubled or trailing backslash adds no name, so "" is the root.
std::vector<std::string> SplitKeyPath(const std::string& path);

// One SQLite database per hive. Every operation is its own short transaction with a busy time-out, so
// both launchers, the suite and towagi-reg can share a hive, and a crash never leaves half a write.
class SqliteSettingsStore : public SettingsStore {
public:
    SqliteSettingsStore() = default;
    std::unique_ptr<SettingsKey> OpenKey(Hive hive, const std::string& path, bool create,
                                         KeyAccess access) override;
    bool DeleteKey(Hive hive, const std::string& path) override;
};

} // namespace towagi
