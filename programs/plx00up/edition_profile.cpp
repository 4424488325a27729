#include "programs/plx00up/edition_profile.h"

namespace towagi {

const EditionProfile& CostEdition() {
    static const EditionProfile profile{
        .ProgramName = "Plx00up",
        .RestoreToolParameters = "quil",
        .TraceLogFileName = "PLX00UP.LOG",
        .TraceLogInTempDir = false,
        .RegImportLogName = "Plx00up_reg.log",
        .SettingsIniFileName = "PLX0000.INI",
        .BranchTableFileName = "./PLX00UP.INI",
        .UpdaterWindowClass = "TFPLX00UP",
        .DataModuleBeforeWindow = true,
    };
    return profile;
}

} // namespace towagi
