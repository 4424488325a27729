#pragma once
#include "model/edition_profile.h"
#include "support/os_info.h"

#include <string>

namespace towagi {

// Relative to the current folder: the launcher is started with the program folder as its current folder.
inline constexpr const char* kRestoreTool = "./RestorCom.exe";
inline constexpr const char* kRestoreMarker = "./RestorRegCompOrg.txt";
// Installed beside the launchers.
inline constexpr const char* kFontAliasFile = "towagi-fonts.conf";

// What the start-up sequence learns before any window exists.
struct StartupState {
    bool OSKnown = false;
    TOSInfo OS{};
    std::string ProgramDir;
};

enum class StartupOutcome { Continue, EndProgram };

// The OS query, the program folder and the workstation repair. EndProgram: no window, no update, no
// main program.
StartupOutcome PrepareWorkstation(const EditionProfile& profile, StartupState& state);

// The start-up sequence for a process whose user interface is already initialised; the exit code.
int RunStartupSequence(const EditionProfile& profile);

// The program entry of both launchers: the user interface and the platform services, then the sequence.
int RunProgramEntry(const EditionProfile& profile, int argc, char** argv);

} // namespace towagi
