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
        .MainPrograms = {{"Qrd0000.exe", "\\Software\\VORN\\TOWAGI\\PATH\\UPDATE"},
                         {"Plx00cs.exe", "PATH\\UPDATE"}},
        .UpdatePathValue = "PATHJ",
        .PreUpdateProgram = "PLXUPDB.EXE",
        .VersionUpQuestion = "『原価とわぎ』がバージョンアップされています。\r\n最新バージョンに更新しますか？",
        .SetupInvalidWarning = "原価『とわぎ』q-uilのセットアップが不正です。\r\nメニューを起動することはできません。",
        .UpdaterTitleTop = 13,
        .UpdaterFileNameTop = 44,
        .UpdaterClientHeight = 73,
        .SettingsThroughControlTable = true,
        .UpdateProgramValue = "Update_Quil_Program",
        .UpdateExcelValue = "Update_Quil_Excel",
        .UpdateFrameValue = "Update_Quil_Frame",
        .UpdateHelpValue = "Update_Quil_Help",
        .UpdateMastValue = "Update_Quil_Mast",
        .CopyWhenInstalledOlder = true,
        .CopyVornRegFiles = false,
        .CatalogueIniFileName = "GMISID00.INI",
        .CatalogueVersionUpQuestion = "原価『とわぎ』がバージョンアップされています。\r\n最新バージョンに更新しますか？",
        .DefaultUpdateServerDir = "/towagi/UPDATEJ/",
        .DefaultExcelServerDir = "/towagi/EXCELJ/",
        .DefaultFrameServerDir = "/towagi/FRAMEJ/",
        .DefaultHelpServerDir = "/towagi/HELPJ/",
        .HelpFolderName = "HELPJ",
        .FrameProtectionPrefix = "ZKRM",
        .HtmlHelpCategories = false,
        .CategoryCodes = false,
        .TwoSidedTimeRule = false,
        .ZipReplacesLzh = false,
        .SkipMissingServerFolder = false,
        .DropUnconfiguredMasters = false,
        .MasterArchiveMustBeListed = false,
        .MasterArchiveExtensions = {".lzh"},
        .RepairExcelFrameFolders = false,
        .StagingKeptBetweenPasses = false,
        .FtpConnectTimeout = 0,
        .FtpConnectReadTimeout = 0,
        .FtpTransferReadTimeout = 0,
        .ConnectingCaption = "原価『とわぎ』の起動",
        .Pause = {}, // pauses sleep
        .DatabaseIniFileName = "",
        .DatabaseSelectPerUser = true,
        .LocalDatabaseByDrive = true,
        .ConnectDataAtCreate = true,
    };
    return profile;
}

} // namespace towagi
