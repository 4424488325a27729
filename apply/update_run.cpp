#include "apply/update_run.h"

#include "apply/file_apply.h"
#include "apply/master_file_import.h"
#include "database/data_module.h"
#include "database/firebird.h"
#include "platform/prompts.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/os_info.h"
#include "support/settings.h"
#include "support/text.h"
#include "transfer/download_engine.h"
#include "transfer/ftp_connection.h"
#include "transfer/update_catalogue.h"
#include "transfer/update_settings.h"

#include <unistd.h>

#include <algorithm>
#include <memory>

namespace towagi {
namespace {

constexpr const char* kExecute = "Execute";
constexpr const char* kNoServer = "0.0.0.0";
constexpr const char* kSettingsHint = "管理・管理２・環境設定で設定を行ってください。";
constexpr const char* kRetryQuestion =
    "ダウンロードできなかった更新ファイルがあります。\r更新ファイルは適用されていません。\r"
    "全てのファイルをダウンロード後、更新が適用されます。\r"
    "再試行するか、『とわぎ』を起動しなおして、残りのファイルをダウンロードしてください。\r\r再試行しますか？";

// The run stages into these folders and empties them afterwards.
void CheckStagingFolders(const TUpdateState& state) {
    for (const std::string& folder : {UpdateFolder(*state.Profile), ProgramStagingFolder(*state.Profile)}) {
        if (std::string fault = StagingFolderFault(folder, state.ExeDir, StagingFolderCheck::SettingOnly);
            !fault.empty())
            throw EUpdateError(fault);
    }
}

std::unique_ptr<TQrdFTP> Connect(TUpdateState& state) {
    std::unique_ptr<TQrdFTP> client = CreateFTPClient(state);
    TFTPParams params;
    ConnectToServer(state, *client, params);
    return client;
}

// One download pass; the client is disconnected on every path, errors included.
void DownloadPass(TUpdateState& state, TQrdFTP& client, const char* startText, const char* endText) {
    TTraceLog& log = *state.TraceLog;
    const auto disconnect = [&] {
        client.Disconnect();
        // Archives that were fetched but will not be imported now would look imported to the next run.
        if (state.Cancelled()) DeleteMasterFiles(state);
        log.Write(kExecute, "FTPサーバから切断しました。");
    };
    log.Write(kExecute, startText);
    log.Write(kExecute, "   転送モード：" + state.ProgressWindow->TransferMode());
    try {
        FTP_DownAllCategory(state, client);
        log.Write(kExecute, endText);
    } catch (...) {
        disconnect();
        throw;
    }
    disconnect();
}

// Copies a staging folder into its installed folder; a downloaded staging folder is emptied afterwards.
void ApplyCategory(TUpdateState& state, const std::string& staged, const std::string& installed, int kubun,
                   bool clean) {
    Local_CopyDirectory(state, staged, installed, kubun, state.UpdateFiles);
    if (clean) InitializeDownloadDirectory(state, IncludeTrailingSeparator(staged), true);
}

void ApplyMasterData(TUpdateState& state, const TUpdateRunSteps& steps) {
    const EditionProfile& profile = *state.Profile;
    TTraceLog& log = *state.TraceLog;
    const std::vector<std::string> addresses =
        profile.LocalDatabaseByDrive ? std::vector<std::string>{} : GetLocalAddresses();
    TOSInfo os{};
    const bool olderSystem = GetOSInfo(os) && os.MajorVersion == 6;
    for (int slot = 0; slot < kDatabaseSlots; ++slot) {
        const std::string valueName = "PATH" + std::to_string(slot + 1);
        const TDatabaseSlot database = ReadDatabaseSlot(slot);
        if (database.Branch.empty()) continue;
        if (!IsLocalDatabase(profile, database.Location, addresses)) {
            log.Write(kExecute, database.Branch + "はサーバーを参照しているので、更新しない");
            continue;
        }
        const std::string host =
            HasHostPart(database.Location) ? database.Location.substr(0, database.Location.find(':')) : "";
        const bool byAddress = !profile.LocalDatabaseByDrive &&
                               std::find(addresses.begin(), addresses.end(), host) != addresses.end();
        log.Write(kExecute, database.Branch + (byAddress ? "はローカルIPを参照しているので、更新する"
                                                         : "はローカルを参照しているので、更新する"));
        if (!profile.LocalDatabaseByDrive && olderSystem) {
            // These systems reach a local database only through the server named LOCALHOST: a location
            // without a host gets that host in front.
            const std::string location =
                SlotField(ReadMachineString(kDatabaseSlotKey, valueName, false), 1);
            if (UpperCase(location).find("LOCALHOST:") == std::string::npos && !HasHostPart(location)) {
                WriteMachineString(kDatabaseSlotKey, valueName, database.Branch + "|LOCALHOST:" + location, false);
                log.Write(kExecute, database.Branch +
                                        "はVISTAでローカル参照だが、\"LOCALHOST:\"の設定がないので追加する");
            }
        }
        if (!steps.ImportMasterFile) {
            log.Write("_ImportMasterFile", "この版のランチャーにはマスタの取込が組み込まれていません");
            continue;
        }
        try {
            steps.ImportMasterFile(state, slot);
        } catch (...) {
            // The run ends here: archives still waiting for their import would look imported to the next run.
            for (int later = slot + 1; later < kDatabaseSlots; ++later)
                DropPendingMasterArchive(state, later);
            throw;
        }
    }
}

void ApplyFiles(TUpdateState& state, const TUpdateRunSteps& steps, bool clean, bool downloaded);

void ApplyPhase(TUpdateState& state, const TUpdateRunSteps& steps, bool downloaded) {
    const EditionProfile& profile = *state.Profile;
    TTraceLog& log = *state.TraceLog;
    log.Write(kExecute, "■ 開始：ファイルの反映");
    state.ProgressWindow->SetTitle("ファイルを反映しています．．．");
    // The cost edition empties its staging folders before each download instead.
    const bool clean = downloaded && profile.StagingKeptBetweenPasses;

    try {
        ApplyFiles(state, steps, clean, downloaded);
    } catch (...) {
        // The master archives of this run stay unimported: staged, they would look imported to the next run.
        DeleteMasterFiles(state);
        throw;
    }
    if (UpdateSwitchOn(profile, profile.UpdateMastValue)) ApplyMasterData(state, steps);
    log.Write(kExecute, "■ 終了：ファイルの反映");
}

// Every category but the master data, in the fixed order.
void ApplyFiles(TUpdateState& state, const TUpdateRunSteps& steps, bool clean, bool downloaded) {
    const EditionProfile& profile = *state.Profile;
    // A linked-system archive that could not be unpacked is not copied; the other categories still apply.
    if (profile.HasLinkedSystem && steps.LinkedSystemUpdate(state, state.ExeDir))
        steps.LinkedSystemCopy(state, downloaded);
    const bool program = UpdateSwitchOn(profile, profile.UpdateProgramValue);
    if (program) {
        const std::string staged = ProgramStagingFolder(profile);
        Local_CopyDirectory(state, staged, state.ExeDir, kKubunProgram, state.UpdateFiles);
        // The running launcher's own file stays staged: it is never copied, so it is never deleted either.
        if (clean) DeleteFiles(state, IncludeTrailingSeparator(staged), state.ExeName);
    }
    if (program && profile.HtmlHelpCategories) {
        CreateHtmlHelpFolders(state);
        ApplyCategory(state, state.UpdateDir + "HELP_HTML", state.ExeDir + "HELP_HTML", kKubunHtmlHelp, clean);
        ApplyCategory(state, state.UpdateDir + "_images", state.ExeDir + "HELP_HTML/_images", kKubunHtmlImages, clean);
        ApplyCategory(state, state.UpdateDir + "_sources", state.ExeDir + "HELP_HTML/_sources", kKubunHtmlSources,
                      clean);
        ApplyCategory(state, state.UpdateDir + "_static", state.ExeDir + "HELP_HTML/_static", kKubunHtmlStatic, clean);
    }
    if (UpdateSwitchOn(profile, profile.UpdateExcelValue))
        ApplyCategory(state, state.UpdateDir + "EXCEL", InstalledFolder(profile, kExcelKey), kKubunExcel, clean);
    if (UpdateSwitchOn(profile, profile.UpdateFrameValue))
        ApplyCategory(state, state.UpdateDir + "FRAME", InstalledFolder(profile, kFrameKey), kKubunFrame, clean);
    if (UpdateSwitchOn(profile, profile.UpdateHelpValue))
        ApplyCategory(state, state.UpdateDir + "HELP", state.ExeDir + profile.HelpFolderName, kKubunHelp, clean);
}

} // namespace

void Execute(TUpdateState& state, const TUpdateRunSteps& steps) {
    const EditionProfile& profile = *state.Profile;
    TTraceLog& log = *state.TraceLog;
    ProgressView& progress = *state.ProgressWindow;
    log.WriteStart(kExecute);
    try {
        CheckStagingFolders(state);
        bool downloaded = false;
        if (ReadUpdateString(profile, "FTP_HOST") != kNoServer) {
            std::unique_ptr<TQrdFTP> client = Connect(state);
            if (state.Cancelled()) return;
            DownloadPass(state, *client, "■ 開始：ファイルのダウンロード", "■ 終了：ファイルのダウンロード");
            downloaded = true;
            if (state.Cancelled()) return;
            while (profile.ReconnectInsideCategory && progress.Reconnect()) {
                DeleteMasterFiles(state);
                log.Write(kExecute, "ダウンロードに失敗したファイルがあるため、更新を行わない。");
                // Nothing is applied; what was fetched stays staged for the next start.
                if (!AskConfirmation(kRetryQuestion)) return;
                progress.SetReconnect(false);
                client = Connect(state);
                DownloadPass(state, *client, "■ リトライ開始：ファイルのダウンロード",
                             "■ リトライ終了：ファイルのダウンロード");
                if (state.Cancelled()) return;
            }
        }
        ApplyPhase(state, steps, downloaded);
    } catch (const ECancel&) {
        log.Write(kExecute, "キャンセルしました");
    }
    log.WriteEnd(kExecute);
}

std::string StagingFolderFault(const std::string& folder, const std::string& exeDir,
                               StagingFolderCheck check) {
    if (IsBlank(folder) || (check == StagingFolderCheck::FolderMustExist && !DirectoryExists(folder)))
        return std::string("アップデート用のフォルダが存在しません。\r\n") + kSettingsHint;
    if (UpperCase(IncludeTrailingSeparator(folder)) == UpperCase(exeDir))
        return std::string("アップデート用のフォルダが不正です。\r\n") + kSettingsHint;
    return "";
}

void DeleteMasterFiles(TUpdateState& state) {
    const std::string folder = UpdateFolder(*state.Profile) + "MAST/";
    for (const std::string& name : state.MasterFiles) {
        // A single file that will not go is no reason to stop.
        ::unlink((folder + name).c_str());
    }
}

} // namespace towagi
