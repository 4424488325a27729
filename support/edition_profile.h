#pragma once
#include <string>

namespace towagi {

// Everything that differs between the estimation edition (Qrd00up) and the cost edition (Plx00up).
// Shared code takes the profile and never asks which edition it runs in.
struct EditionProfile {
    std::string ProgramName;           // the launcher's own file name: "Qrd00up" / "Plx00up"
    std::string RestoreToolParameters; // passed to ".\RestorCom.exe": none / "quil"
    std::string TraceLogFileName;      // "Qrd00up.log" / "PLX00UP.LOG"
    bool TraceLogInTempDir = false;    // estimation edition: the work folder; cost edition: the program folder
    std::string RegImportLogName;      // "Qrd00up_reg.log" / "Plx00up_reg.log"
    std::string SettingsIniFileName;   // "QRD0000.INI" / "PLX0000.INI"
    std::string BranchTableFileName;   // ".\QRD00UP.INI" / ".\PLX00UP.INI"
    std::string UpdaterWindowClass;    // "TFQRD00UP" / "TFPLX00UP"
    bool DataModuleBeforeWindow = false; // the cost edition's window creation step uses the data module
};

} // namespace towagi
