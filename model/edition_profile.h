#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace towagi {

// The FTP client's time-outs in milliseconds; 0 sets no limit of our own (the system's applies).
struct TFTPTimeouts {
    int Connect = 0;      // every connect
    int ConnectRead = 0;  // read time-out set before connecting; 0: none set
    int TransferRead = 0; // set on the data and control connections for each download
};

// Everything that differs between the estimation edition (Qrd00up) and the cost edition (Plx00up), as plain
// data. Shared code takes the profile and never asks which edition it runs in.
struct EditionProfile {
    std::string ProgramName;           // the launcher's own file name: "Qrd00up" / "Plx00up"
    std::string RestoreToolParameters; // passed to ".\RestorCom.exe": none / "quil"
    std::string TraceLogFileName;      // "Qrd00up.log" / "PLX00UP.LOG"
    bool TraceLogInTempDir = false;    // estimation edition: the work folder; cost edition: the program folder
    std::string RegImportLogName;      // "Qrd00up_reg.log" / "Plx00up_reg.log"
    std::string SettingsIniFileName;   // "QRD0000.INI" / "PLX0000.INI"
    std::string BranchTableFileName;   // ".\QRD00UP.INI" / ".\PLX00UP.INI"
    std::string UpdaterWindowClass;    // the updater window's object name: "TFQRD00UP" / "TFPLX00UP"
    bool DataModuleBeforeWindow = false; // the cost edition's window creation step uses the data module

    // Firebird service recovery window.
    std::string FirebirdRecoveryWindowClass; // "TFQRD00FB" / "TFPLX00FB"
    std::string FirebirdRecoveryCaption;     // "積算『とわぎ』 FireBirdサービス復旧" / "原価『とわぎ』 ..."
    std::string FirebirdRecoveryFirstLine;   // Memo1's first red line, which names the edition
    std::size_t SevenZipOutputSize = 0;      // the 7-zip32 adapter's output buffer: 10240 / 1024 bytes

    // Updater window.
    struct MainProgramChoice {
        std::string FileName;  // looked for in the program folder; a later entry found wins
        std::string UpdateKey; // where its update folder is set; a key without leading '\' is relative to the product root
    };
    std::vector<MainProgramChoice> MainPrograms;
    std::string UpdatePathValue;      // "PATH1" / "PATHJ": "first field|update folder"
    std::string PreUpdateProgram;     // the cost edition's "PLXUPDB.EXE", run and waited for before the update
    std::string VersionUpQuestion;    // asked before a LAN copy
    std::string SetupInvalidWarning;  // no main program to start
    int UpdaterTitleTop = 4;          // lblTitle
    int UpdaterFileNameTop = 48;      // lblFileName
    int UpdaterClientHeight = 70;
    bool ProgressMessageInBaseFont = false; // cost edition: the progress window's lblMsg keeps the window's font

    // Update settings and file application.
    bool SettingsThroughControlTable = false; // cost edition: every settings read goes through TPLXDirectReg
    std::string UpdateProgramValue;           // "Update_Program" / "Update_Quil_Program"
    std::string UpdateExcelValue;             // "Update_Excel" / "Update_Quil_Excel"
    std::string UpdateFrameValue;             // "Update_Frame" / "Update_Quil_Frame"
    std::string UpdateHelpValue;              // "Update_Help" / "Update_Quil_Help"
    std::string UpdateMastValue;              // "Update_Mast" / "Update_Quil_Mast"
    // Cost edition: a staged file is copied when the installed one is older at two-second resolution;
    // otherwise the category code's five-second rule applies.
    bool CopyWhenInstalledOlder = false;
    bool CopyVornRegFiles = false; // estimation edition: ".VORNREG" files also go to the program folder's "VORNREG/"

    // Update catalogue and download engine.
    std::string CatalogueIniFileName;       // "KMISID00.INI" / "GMISID00.INI": server folders, protection lists
    std::string CatalogueVersionUpQuestion; // asked before the first file that is newer than its installed copy
    std::string DefaultUpdateServerDir;     // "/towagi/UPDATE/" / "/towagi/UPDATEJ/"
    std::string DefaultExcelServerDir;      // "/towagi/EXCEL/" / "/towagi/EXCELJ/"
    std::string DefaultFrameServerDir;      // "/towagi/FRAME/" / "/towagi/FRAMEJ/"
    std::string DefaultHelpServerDir;       // "/towagi/HELP/" / "/towagi/HELPJ/"
    std::string HelpFolderName;             // the installed help below the program folder: "HELP" / "HELPJ"
    std::string FrameProtectionPrefix;      // "ZFRM" / "ZKRM": a protection list of report frames
    bool HtmlHelpCategories = false;        // estimation edition: HTML help and its three sub-folders
    bool CategoryCodes = false;             // estimation edition: each category has its code (Kubun)
    // Program files and HTML help follow the server both ways: a server or staged file more than five
    // seconds older than the local one is fetched or copied too; otherwise only a newer one is.
    bool TwoSidedTimeRule = false;
    bool ZipReplacesLzh = false;          // a server folder's X.lzh is not fetched when X.zip is there too
    bool SkipMissingServerFolder = false; // a missing server folder skips the category without a message
    bool DropUnconfiguredMasters = false; // master archives of no database slot are not fetched
    bool MasterArchiveMustBeListed = false; // the slot's archive is picked only as the server lists it
    std::vector<std::string> MasterArchiveExtensions; // looked for in this order: ".zip", ".lzh" / ".lzh"
    bool RepairExcelFrameFolders = false; // an empty Excel or Frame folder setting is set to the program's
    bool HasLinkedSystem = false;         // estimation edition: the linked design-breakdown system is updated
    bool WindowOwnsLhaAdapter = false;    // cost edition: the updater window creates the LZH archiver adapter
    // Estimation edition: staging folders keep what earlier passes fetched (a staged file with the server's
    // time is not fetched again, the pass's master archives are remembered) and are emptied after applying.
    // Cost edition: each category's staging folder is emptied before it fetches.
    bool StagingKeptBetweenPasses = false;
    // Estimation edition: a lost connection is restored in the middle of a category, and a file that still
    // cannot be fetched is deleted and left for a retry pass. Cost edition: a lost connection counts as a
    // failed attempt, and a file that cannot be fetched fails its category.
    bool ReconnectInsideCategory = false;
    // Estimation edition: a failed download attempt's trace line names the kind of failure, the attempt
    // number after the error's text. Cost edition: every failure reads "ダウンロード作業中に例外が発生しました",
    // the attempt number before the error's text.
    bool DownloadFailureTracedByKind = false;

    TFTPTimeouts FtpTimeouts;      // 60000, 60000, 30000 / none
    std::string ConnectingCaption; // the updater window's caption while connecting, then " (" host ")"

    // Data module (TDM / TKDM).
    std::string DatabaseIniFileName;    // "QRDISAP.INI": DB_DATA's credentials and location / "": the registry's
    bool DatabaseSelectPerUser = false; // cost edition: DB_TOKEI's SELECT is read with ReadSettingString
    bool LocalDatabaseByDrive = false;  // cost edition: a database is local when its drive answers
    bool ConnectDataAtCreate = false;   // cost edition: DataModuleCreate connects DB_DATA
    // Cost edition: DB_DATA's first connection loads ControlSettings from the control table, then connects
    // DB_DATAS.
    bool ControlSettingsAfterConnect = false;

    // Master import.
    int MasterTableCount = 16;        // the first 16 / 14 tables of the master table list are imported
    std::string ImportCaption;        // the progress window's caption, then " (" branch "取込)"
    // In the trace line of the archive's dates, the text between the branch name and the new date:
    // "" = the extension of the archive found / ".LZH  ".
    std::string MasterDateTraceExtension;
    bool MasterArchiveThroughLha = false; // cost edition: the window's LZH adapter unpacks the archive
    bool RemarkWidthFromDatabase = false; // estimation edition: KMIREID0's remark field as wide as the database's
    // Cost edition: a statement that drops or creates a work table or drops a protection table may fail
    // without ending the import (the trace says so); in the estimation edition every failure counts.
    bool WorkTableErrorsIgnored = false;
};

} // namespace towagi
