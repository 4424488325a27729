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
        .MainPrograms = {{"Qrd0000.exe", "\\Software\\VORN\\TOWAGI\\PATH\\UPDATE"},
                         {"Qrd00cs.exe", "\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE"}},
        .UpdatePathValue = "PATH1",
        .PreUpdateProgram = "",
        .VersionUpQuestion = "『積算とわぎ』がバージョンアップされています。\r\n最新バージョンに更新しますか？",
        .SetupInvalidWarning = "『積算とわぎ』のセットアップが不正です。\r\nメニューを起動することはできません。",
        .UpdaterTitleTop = 4,
        .UpdaterFileNameTop = 48,
        .UpdaterClientHeight = 70,
        .SettingsThroughControlTable = false,
        .UpdateProgramValue = "Update_Program",
        .UpdateExcelValue = "Update_Excel",
        .UpdateFrameValue = "Update_Frame",
        .UpdateHelpValue = "Update_Help",
        .UpdateMastValue = "Update_Mast",
        .CopyWhenInstalledOlder = false,
        .CopyVornRegFiles = true,
        .CatalogueIniFileName = "KMISID00.INI",
        .CatalogueVersionUpQuestion = "『積算とわぎ』がバージョンアップされています。\r\n最新バージョンに更新しますか？",
        .DefaultUpdateServerDir = "/towagi/UPDATE/",
        .DefaultExcelServerDir = "/towagi/EXCEL/",
        .DefaultFrameServerDir = "/towagi/FRAME/",
        .DefaultHelpServerDir = "/towagi/HELP/",
        .HelpFolderName = "HELP",
        .FrameProtectionPrefix = "ZFRM",
        .HtmlHelpCategories = true,
        .CategoryCodes = true,
        .TwoSidedTimeRule = true,
        .ZipReplacesLzh = true,
        .SkipMissingServerFolder = true,
        .DropUnconfiguredMasters = true,
        .MasterArchiveMustBeListed = true,
        .MasterArchiveExtensions = {".zip", ".lzh"},
        .RepairExcelFrameFolders = true,
        .StagingKeptBetweenPasses = true,
        .FtpConnectTimeout = 60000,
        .FtpConnectReadTimeout = 60000,
        .FtpTransferReadTimeout = 30000,
        .ConnectingCaption = "積算『とわぎ』の起動",
        .Pause = {}, // pauses sleep
        .DatabaseIniFileName = "QRDISAP.INI",
        .DatabaseSelectPerUser = false,
        .LocalDatabaseByDrive = false,
        .ConnectDataAtCreate = false,
    };
    return profile;
}

} // namespace towagi
