#pragma once
#include "model/update_state.h"
#include "platform/registry_file.h"

#include <ctime>
#include <string>
#include <vector>

namespace towagi {

// Only registry files last written after this local date (at midnight) are ever applied.
inline constexpr const char* kRegistryFileCutOffDate = "2017/10/27";
std::time_t RegistryFileCutOff();

// One value of a registry file as the importer stores it.
struct TRegistryWrite {
    bool CurrentUser = false; // an HKEY_CURRENT_USER section: through the setting writers
    std::string Key;          // the section's key path without the hive, with a leading backslash
    std::string Name;         // "" for the key's default value
    RegistryValue Value;
};

// Every value of a registry file in file order, each one decoded. A malformed dword raises
// ERegistryFileError before anything is written, so a bad file never leaves half of its values behind.
// Empty values are left out: the importer never writes them.
std::vector<TRegistryWrite> ReadRegistryWrites(const std::string& path);

// Sections of HKEY_CURRENT_USER through the setting writers (the user hive in per-user mode), every other
// section into the machine hive. A key that cannot be opened is passed over.
void WriteRegistryValues(const std::vector<TRegistryWrite>& writes);

// ReadRegistryWrites, then WriteRegistryValues: the file applied without any import log.
void ApplyRegistryFile(const std::string& path);

// The launcher's own importer of registry files. It remembers in its import log, one line
// "yyyy/mm/dd hh:nn:ss|name" per applied file version, which versions it has applied, so each is applied
// once; a file written again later is applied again. The program entry owns it and lends it to the updater
// window for the file application's fallback import.
class TVORNReg : public RegistryFileImporter {
public:
    // The import log is `folder` + `logFileName`; it is created empty when missing. Raises EInOutError
    // when it cannot be created.
    TVORNReg(const std::string& folder, const std::string& logFileName);
    TVORNReg(const TVORNReg&) = delete;
    TVORNReg& operator=(const TVORNReg&) = delete;

    const std::string& ImportLogPath() const { return logPath_; }

    // Every new registry file ("*.reg", letter case ignored) of the folder, oldest first, files of the same
    // time in name order. Stops at the first file that raises; the files before it stay applied.
    void ImportFolder(const std::string& folder);
    // Applies the file when it is new and appends its line to the import log (written to a temporary file
    // and renamed into place, so earlier lines survive a crash). A missing file, one not newer than the
    // cut-off or one already in the log is passed over silently. A file that cannot be read or decoded
    // raises before any value is written and gets no line; a log that cannot be read or written raises
    // EInOutError.
    void ImportFile(const std::string& path) override;
    // True when exactly one file matches the path, it is newer than the cut-off and the log does not hold
    // its entry (letter case ignored); `entry` is then its log line.
    bool IsNewRegFile(const std::string& path, std::string& entry);
    // Adds "yyyy/mm/dd hh:nn:ss|name" (local last-write time) for every file matching the pattern with the
    // given attributes (see FindFiles) that was written after the cut-off; returns how many were added.
    int ListNewRegFiles(const std::string& pattern, int attributes, std::vector<std::string>& list);

private:
    void LoadLog();

    std::string logPath_;
    // The import log's working copy during one import; empty between calls.
    std::vector<std::string> logLines_;
};

} // namespace towagi
