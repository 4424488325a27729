#include "programs/qrd00up/edition_profile.h"

namespace towagi {

const EditionProfile& EstimationEdition() {
    static const EditionProfile profile{
        .ProgramName = "Qrd00up",
        .RestoreToolParameters = "",
        .TraceLogFileName = "Qrd00up.log",
        .TraceLogInTempDir = true,
        .RegImportLogName = "Qrd00up_reg.log",
        .SettingsIniFileName = "QRD0000.INI",
        .BranchTableFileName = "./QRD00UP.INI",
        .UpdaterWindowClass = "TFQRD00UP",
        .DataModuleBeforeWindow = false,
    };
    return profile;
}

} // namespace towagi
