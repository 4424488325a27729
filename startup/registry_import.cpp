#include "startup/registry_import.h"

#include "platform/registry_file.h"
#include "support/settings.h"

namespace towagi {

void ApplyRegistryFile(const std::string& path) {
    const RegistryFile file = RegistryFile::Load(path);
    for (const RegistrySection& section : file.Sections()) {
        const std::string key = "\\" + section.KeyPath;
        for (const RegistryEntry& entry : section.Entries) {
            // An empty value is passed over; whatever the store holds under that name stays.
            if (entry.Value.empty()) continue;
            const RegistryValue value = file.Decode(entry);
            // A key that cannot be opened is passed over; the file still counts as applied.
            if (value.Kind == ValueKind::Integer) {
                if (section.IsCurrentUser)
                    WriteSettingInteger(key, entry.ValueName(), value.Integer, true);
                else
                    WriteMachineInteger(key, entry.ValueName(), value.Integer, true);
            } else {
                if (section.IsCurrentUser)
                    WriteSettingString(key, entry.ValueName(), value.Text, true);
                else
                    WriteMachineString(key, entry.ValueName(), value.Text, true);
            }
        }
    }
}

} // namespace towagi
