#pragma once
#include "model/update_state.h"

#include <string>

namespace towagi {

// Applies a registry file's values to the settings store: sections of HKEY_CURRENT_USER through the
// setting writers (the user hive in per-user mode), every other section into the machine hive. Values
// are written in file order; a malformed dword ends the import with the values before it written.
void ApplyRegistryFile(const std::string& path);

// The in-process import the file application falls back on when the registry tool cannot be started.
class RegistryFileApplier : public RegistryFileImporter {
public:
    void ImportFile(const std::string& path) override { ApplyRegistryFile(path); }
};

} // namespace towagi
