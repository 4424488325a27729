#pragma once
#include "support/settings_store.h"

#include <cstdint>
#include <functional>
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

// One SQLite database per hive. Every operation is its own short transaction; a busy wait lets writers take
// turns, so both launchers, the suite and towagi-reg can share a hive, and a crash never leaves half a
// write. Deleting a key removes its whole tree, however deep.
class SqliteSettingsStore : public SettingsStore {
public:
    SqliteSettingsStore() = default;
    std::unique_ptr<SettingsKey> OpenKey(Hive hive, const std::string& path, bool create,
                                         KeyAccess access) override;
    bool DeleteKey(Hive hive, const std::string& path) override;
};

// A value as the whole-tree reader hands it over.
struct KeyTreeValue {
    std::string Name;
    ValueKind Kind = ValueKind::Text;
    std::string Text;
    std::int32_t Integer = 0;
};

// Visits the key at `path` and every key below it in one read transaction (one consistent state), depth
// first, the sub-keys of a key in name order, each key with its values in the order they were first
// written. `visit` gets the key's path below the starting key ("" for the starting key, else the stored
// names joined with backslashes). The work grows with the number of keys and values, whatever the depth.
// False when the key does not exist or its hive cannot be read; raises ESettingsError for a hive that
// fails while it is read, and passes on what `visit` raises.
bool WalkKeyTree(Hive hive, const std::string& path,
                 const std::function<void(const std::string& below, const std::vector<KeyTreeValue>& values)>& visit);

} // namespace towagi
