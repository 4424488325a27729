#pragma once
#include "model/edition_profile.h"
#include "startup/registry_import.h"
#include "support/os_info.h"

#include <memory>
#include <string>
#include <vector>

namespace towagi {

// Relative to the current folder: the launcher is started with the program folder as its current folder.
inline constexpr const char* kRestoreTool = "./RestorCom.exe";
inline constexpr const char* kRestoreMarker = "./RestorRegCompOrg.txt";
// Installed beside the launchers.
inline constexpr const char* kFontAliasFile = "towagi-fonts.conf";

// A failure that start-up showed and passed over, for the trace log once the updater window has opened it.
struct StartupTraceLine {
    std::string Operation;
    std::string Text;
};

// What the start-up sequence learns and owns before any window exists.
struct StartupState {
    bool OSKnown = false;
    TOSInfo OS{};
    std::string ProgramDir;
    // Lent to the updater window; absent when the OS query failed or the import log could not be created.
    std::unique_ptr<TVORNReg> RegImporter;
    std::vector<StartupTraceLine> TraceLines;
};

// RepairRefused ends the program like EndProgram, but the suite stays unusable, which the exit code says.
enum class StartupOutcome { Continue, EndProgram, RepairRefused };

// The OS query, the registry importer for the program folder and, on a current system, the workstation
// repair: the restore tool, the registry files, the Firebird folder and service. EndProgram: no window, no
// update, no main program. A registry import that fails is shown and passed over (a file that cannot be
// applied must not keep the suite from starting on every following day); errors of the Firebird steps
// reach the caller.
StartupOutcome PrepareWorkstation(const EditionProfile& profile, StartupState& state,
                                  const std::string& programDir);

// The start-up sequence for a process whose user interface is already initialised; the exit code.
int RunStartupSequence(const EditionProfile& profile);

// The program entry of both launchers: the user interface and the platform services, then the sequence.
int RunProgramEntry(const EditionProfile& profile, int argc, char** argv);

} // namespace towagi
