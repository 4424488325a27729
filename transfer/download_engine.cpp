#include "transfer/download_engine.h"

#include "platform/prompts.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/settings.h"
#include "support/text.h"
#include "transfer/ftp_connection.h"
#include "transfer/update_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>

namespace towagi {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDownAllCategory = "FTP_DownAllCategory";
constexpr const char* kDownload = "FTP_Download";
constexpr const char* kDownloadFailed = "ファイルのダウンロードに失敗しました。";
constexpr int kAttempts = 6;
constexpr const char* kTooManyAttempts = "ダウンロード試行回数が5回を超えました。";
constexpr const char* kExceptionText = "ダウンロード作業中に例外が発生しました : [";
constexpr int kDisconnectTries = 10;
constexpr int kDisconnectWait = 1000;
constexpr int kReconnectTries = 20;
constexpr int kReconnectWait = 3000;
// A file is fetched into this hidden sub-folder of its staging folder and moved to its own name only when
// complete, so an interrupted transfer (even a killed launcher) never leaves a staged file that a later
// pass would take for fetched. The copy steps take plain files only and never look into sub-folders.
constexpr const char* kPartialFolder = ".partial/";

// An empty Excel or Frame folder setting is set to the program folder's own sub-folder, so the category
// has somewhere to be installed.
void RepairInstalledFolder(TUpdateState& state, const char* step, const std::string& switchName,
                           const std::string& key, const char* subFolder, const char* regText,
                           const char* dirText, const char* failedText) {
    TTraceLog& log = *state.TraceLog;
    log.WriteStart(step);
    if (UpdateSwitchOn(*state.Profile, switchName)) {
        const std::string fullKey = std::string(kProductRoot) + "\\" + key;
        const std::string& valueName = state.Profile->UpdatePathValue;
        const std::string value = ReadMachineString(fullKey, valueName, false);
        const std::size_t slash = value.rfind('/');
        if (IsBlank(slash == std::string::npos ? std::string() : value.substr(0, slash + 1))) {
            const std::string folder = state.ExeDir + subFolder;
            WriteMachineString(fullKey, valueName, "|" + folder, true);
            log.Write(step, regText + folder);
            if (!DirectoryExists(folder)) {
                if (::mkdir(folder.c_str(), 0777) == 0)
                    log.Write(step, dirText + folder);
                else
                    log.Write(step, failedText + folder);
            }
        }
    }
    log.WriteEnd(step);
}

// The text on one trace line: every run of line breaks becomes one blank.
std::string OneLine(const std::string& text) {
    std::string line;
    bool inBreak = false;
    for (char c : text) {
        const bool lineBreak = c == '\r' || c == '\n';
        if (!lineBreak)
            line += c;
        else if (!inBreak)
            line += ' ';
        inBreak = lineBreak;
    }
    return line;
}

void CategoryGuard(TUpdateState& state, TQrdFTP& client, const std::string& switchName, const TFTPDIR& folders) {
    if (!UpdateSwitchOn(*state.Profile, switchName) || state.Cancelled()) return;
    try {
        FTP_Update(state, client, folders);
        state.TraceLog->Write(kDownAllCategory, "UPDATE : 処理完了");
    } catch (const ECancel&) {
        state.TraceLog->Write(kDownAllCategory, "■ 中断処理");
        throw ECancel("FTP_DownAllCategory : 中断処理");
    } catch (const std::exception& e) {
        // Support staff read in the trace what the user was told.
        state.TraceLog->Write(kDownAllCategory, OneLine(e.what()));
        ShowMessage(e.what());
    }
}

// Closes the control connection; errors are of no interest, the connection is given up either way.
void DisconnectSequence(TUpdateState& state, TQrdFTP& client) {
    int tries = 0;
    try {
        while (client.Connected()) {
            ++tries;
            state.ProgressWindow->ProcessMessages();
            client.Disconnect();
            state.Clock->Pause(kDisconnectWait);
            if (tries >= kDisconnectTries) {
                client.Abort();
                break;
            }
        }
    } catch (const std::exception&) {
        // Nothing more can be done for a connection that will not close.
    }
    state.TraceLog->Write(kDownload, std::string(client.Connected() ? "FTPの接続が解除できませんでした : Retry="
                                                                    : "FTPの接続を解除しました : Retry=") +
                                         std::to_string(tries));
}

enum class ReconnectOutcome { Connected, Gone, Cancelled };

ReconnectOutcome ReconnectSequence(TUpdateState& state, TQrdFTP& client, const std::string& svrDir,
                                   const std::string& path) {
    ProgressView& progress = *state.ProgressWindow;
    for (int tries = 0; tries < kReconnectTries && !client.Connected();) {
        ++tries;
        progress.SetMessage("切断されました。再接続しています。" + std::to_string(tries) + "/" +
                            std::to_string(kReconnectTries));
        progress.ProcessMessages();
        state.TraceLog->Write(kDownload, "　再接続しています : [" + path + "] : Retry=" + std::to_string(tries));
        try {
            FTP_IdConnectServer(state, client);
            client.ChangeDir(svrDir);
        } catch (const std::exception&) {
            // The next try, or the end of the tries, decides.
        }
        if (!client.Connected()) state.Clock->Pause(kReconnectWait);
        if (state.Cancelled()) return ReconnectOutcome::Cancelled;
        progress.ProcessMessages();
    }
    progress.SetMessage("");
    progress.ProcessMessages();
    return client.Connected() ? ReconnectOutcome::Connected : ReconnectOutcome::Gone;
}

// What the server said of a file before an attempt: its size (from the listing the catalogue read, else
// from SIZE; unknown when the server gives neither) and its time-stamp text. A fetched file must match both.
struct ExpectedFile {
    std::optional<std::uintmax_t> Size;
    std::string Stamp;
};

enum class FetchOutcome { Staged, SizeMismatch, Changed };

std::string SizeText(const std::optional<std::uintmax_t>& size) {
    return size ? std::to_string(*size) : std::string("不明");
}

// Fetches into the hidden sub-folder and moves the file to its own name only when it is what the server
// said: a transfer that ended early still ends with a success reply, and a file replaced on the server
// since the catalogue read it arrives with another size or time. Either is a failed attempt; for a changed
// file the next attempt expects the server's new size and time, so the new version is staged with its
// own time. SIZE is asked only where the listing gave no size, or to tell the two cases apart.
FetchOutcome FetchFile(TUpdateState& state, TQrdFTP& client, const std::string& name, const std::string& dwnDir,
                       ExpectedFile& expected, const std::string& retry) {
    TTraceLog& log = *state.TraceLog;
    const std::string path = dwnDir + name;
    const std::string partialDir = dwnDir + kPartialFolder;
    if (!DirectoryExists(partialDir) && ::mkdir(partialDir.c_str(), 0777) != 0 && !DirectoryExists(partialDir))
        throw EInOutError("ディレクトリ " + partialDir + " を作成できません: " + SystemErrorText(errno), errno);
    const std::string partial = partialDir + name;
    const TFetchedFile fetched = client.DownloadFile(name, partial);

    std::optional<std::optional<std::uintmax_t>> asked; // the SIZE reply of this attempt, once asked
    const auto serverSize = [&] {
        if (!asked) asked = client.GetFileSize(name);
        return *asked;
    };
    const auto changed = [&](const std::optional<std::uintmax_t>& size, const std::string& stamp) {
        log.Write(kDownload, "サーバ上のファイルが一覧取得後に変更されました : [" + path + "] : 日時=" + expected.Stamp +
                                 "→" + stamp + " サイズ=" + SizeText(expected.Size) + "→" + SizeText(size) + " : " +
                                 retry);
        expected = {size, stamp};
        return FetchOutcome::Changed;
    };
    if (fetched.Stamp != expected.Stamp) return changed(serverSize(), fetched.Stamp);
    if (!expected.Size) {
        expected.Size = serverSize();
        if (!expected.Size) log.Write(kDownload, "サーバがサイズを答えないため、受信サイズを確認できません : [" + path + "]");
    }
    if (expected.Size && fetched.Size != *expected.Size) {
        if (const auto size = serverSize(); size && *size != *expected.Size) return changed(size, expected.Stamp);
        log.Write(kDownload, "ダウンロードしたファイルのサイズが一致しません : [" + path + "] : サーバ=" +
                                 std::to_string(*expected.Size) + " 受信=" + std::to_string(fetched.Size) + " : " +
                                 retry);
        return FetchOutcome::SizeMismatch;
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0)
        throw EInOutError("ファイル " + path + " を作成できません: " + SystemErrorText(errno), errno);
    return FetchOutcome::Staged;
}

void RemoveFile(const std::string& path) {
    ::unlink(path.c_str());
}

// What an interrupted fetch left behind; the sub-folder goes once it is empty.
void RemovePartial(const std::string& name, const std::string& dwnDir) {
    RemoveFile(dwnDir + kPartialFolder + name);
    ::rmdir((dwnDir + kPartialFolder).c_str());
}

bool SetFileTimeText(const std::string& path, const std::string& stamp) {
    std::time_t time = 0;
    if (!ParseDateTime(stamp, time)) return false;
    const timespec times[2] = {{0, UTIME_OMIT}, {time, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

} // namespace

void FTP_DownAllCategory(TUpdateState& state, TQrdFTP& client) {
    const EditionProfile& profile = *state.Profile;
    TTraceLog& log = *state.TraceLog;
    log.WriteStart(kDownAllCategory);
    if (profile.RepairExcelFrameFolders) {
        RepairInstalledFolder(state, "EXCEL_FLAG_PATH_Check", profile.UpdateExcelValue, kExcelKey, "EXCEL",
                              "CreateExcelReg:", "CreateExcelDir:", "Excelディレクトリの作成に失敗:");
        RepairInstalledFolder(state, "FRAME_FLAG_PATH_Check", profile.UpdateFrameValue, kFrameKey, "FRAME",
                              "CreateFrameReg:", "CreateFrameDir:", "Frameディレクトリの作成に失敗:");
    }
    struct Category {
        const std::string* Switch;
        int Kubun;
        TFTPDIR (*Step)(TUpdateState&);
    };
    std::vector<Category> categories{{&profile.UpdateProgramValue, kKubunProgram, GetUpdateDir},
                                     {&profile.UpdateExcelValue, kKubunExcel, GetExcelDir},
                                     {&profile.UpdateFrameValue, kKubunFrame, GetFrameDir},
                                     {&profile.UpdateHelpValue, kKubunHelp, GetHelpDir}};
    if (profile.HtmlHelpCategories) {
        categories.insert(categories.end(),
                          {{&profile.UpdateProgramValue, kKubunHtmlHelp, GetHTMLHELPDir},
                           {&profile.UpdateProgramValue, kKubunHtmlImages, GetHTMLimagesDir},
                           {&profile.UpdateProgramValue, kKubunHtmlSources, GetHTMLsourcesDir},
                           {&profile.UpdateProgramValue, kKubunHtmlStatic, GetHTMLstaticDir}});
    }
    const bool master = UpdateSwitchOn(profile, profile.UpdateMastValue);
    // The server folders the categories switched on will change to, in order: their CWDs go together.
    std::vector<std::string> plan;
    for (const Category& category : categories)
        if (UpdateSwitchOn(profile, *category.Switch))
            plan.push_back(CategoryServerFolder(state, category.Kubun));
    if (master) plan.push_back(CategoryServerFolder(state, kKubunMast));
    client.SetFolderPlan(plan);
    // The plan holds for this phase only, however it ends.
    struct PlanScope {
        TQrdFTP& Client;
        ~PlanScope() { Client.SetFolderPlan({}); }
    } scope{client};
    // Each folder step runs even when its category is switched off: its trace lines tell support what
    // the workstation would fetch.
    for (const Category& category : categories)
        CategoryGuard(state, client, *category.Switch, category.Step(state));
    if (master && !state.Cancelled()) {
        // No guard: a failure here ends the download phase.
        FTP_Update_Mast(state, client, GetMastDir(state));
        log.Write(kDownAllCategory, "MAST：処理完了");
    }
    log.WriteEnd(kDownAllCategory);
}

void FTP_Update(TUpdateState& state, TQrdFTP& client, const TFTPDIR& folders) {
    TTraceLog& log = *state.TraceLog;
    log.WriteStart("FTP_Update");
    std::vector<std::string> names, stamps;
    log.Write("FTP_Update", "◆ アップデートファイル一覧取得");
    if (!FTP_GetUpdateFileList(state, client, folders, false, stamps, names) || names.empty()) return;
    log.Write("FTP_Update", "◆ STEP1 ローカルのUPDATEフォルダを初期化");
    InitializeDownloadDirectory(state, folders.DwnDir, false);
    log.Write("FTP_Update", "◆ STEP2 ファイルをダウンロード");
    if (!FTP_Download(state, client, folders.SvrDir, stamps, names, folders.DwnDir)) {
        ShowMessage(kDownloadFailed);
        return;
    }
    log.WriteEnd("FTP_Update");
}

void FTP_Update_Mast(TUpdateState& state, TQrdFTP& client, const TFTPDIR& folders) {
    const EditionProfile& profile = *state.Profile;
    TTraceLog& log = *state.TraceLog;
    log.WriteStart("FTP_Update_Mast");
    std::vector<std::string> names, stamps;
    state.ProtectionList.clear();
    if (profile.StagingKeptBetweenPasses) state.MasterFiles.clear();
    if (!FTP_GetUpdateFileList(state, client, folders, true, stamps, names) || names.empty()) return;
    _FTP_PickupSisyaMaster(state, names, stamps);
    if (profile.StagingKeptBetweenPasses) state.MasterFiles = names;
    std::error_code ignored;
    fs::create_directories(folders.DwnDir, ignored);
    if (!FTP_Download(state, client, folders.SvrDir, stamps, names, folders.DwnDir)) {
        ShowMessage(kDownloadFailed);
        return;
    }
    log.WriteEnd("FTP_Update_Mast");
}

bool FTP_Download(TUpdateState& state, TQrdFTP& client, const std::string& svrDir,
                  const std::vector<std::string>& stamps, const std::vector<std::string>& names,
                  const std::string& dwnDir) {
    const EditionProfile& profile = *state.Profile;
    TTraceLog& log = *state.TraceLog;
    ProgressView& progress = *state.ProgressWindow;
    log.WriteStart(kDownload);
    log.Write(kDownload, "from [" + svrDir + "] to[" + dwnDir + "]");
    progress.SetTitle("更新ファイルをダウンロードしています．．．");
    progress.SetStatus(svrDir);
    progress.SetFileName("");
    progress.StartProgress(static_cast<int>(names.size()));
    progress.ProcessMessages();

    TFTPParams params;
    GetFTPParams(state, params);
    CheckFTPParams(state, params);

    bool result = true;
    // Still there from the catalogue unless the connection was made anew since.
    if (client.CurrentDir() != svrDir || svrDir.empty()) client.ChangeDir(svrDir);
    const std::string count = std::to_string(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        const std::string path = dwnDir + name;
        progress.SetFileName(name);
        progress.SetStatus(svrDir + " (" + std::to_string(i + 1) + "/" + count + "):");
        progress.ProcessMessages();

        ExpectedFile expected{client.ListedSize(name), stamps[i]};
        bool fetched = false;
        for (int attempt = 0; attempt < kAttempts && !fetched; ++attempt) {
            const std::string retry = "Retry=" + std::to_string(attempt);
            // The cost edition names every failure alike, its attempt number before the error's text.
            const auto traceFailure = [&](const std::string& text, const std::exception& e) {
                if (profile.DownloadFailureTracedByKind)
                    log.Write(kDownload, text + path + "] : " + e.what() + retry);
                else
                    log.Write(kDownload, kExceptionText + path + "] : " + retry + " : " + e.what());
            };
            if (state.Cancelled()) {
                RemovePartial(name, dwnDir);
                return result;
            }
            try {
                fetched = FetchFile(state, client, name, dwnDir, expected, retry) == FetchOutcome::Staged;
            } catch (const EFTPConnectionLost& e) {
                if (!profile.ReconnectInsideCategory) {
                    traceFailure(kExceptionText, e);
                    continue;
                }
                log.Write(kDownload, "ダウンロード作業中にネットワークが切断されました : [" + path + "] : " + retry);
                DisconnectSequence(state, client);
                const ReconnectOutcome outcome = ReconnectSequence(state, client, svrDir, path);
                if (outcome == ReconnectOutcome::Cancelled) {
                    RemovePartial(name, dwnDir);
                    return result;
                }
                if (outcome == ReconnectOutcome::Gone) {
                    progress.SetCancelled();
                    break;
                }
            } catch (const EFTPReplyError& e) {
                traceFailure("ダウンロード中ファイルにエラーが発生しました : [", e);
            } catch (const std::exception& e) {
                traceFailure(kExceptionText, e);
            }
        }

        if (!fetched) {
            log.Write(kDownload, std::string(kTooManyAttempts) + " : [" + path + "] ");
            RemovePartial(name, dwnDir);
            if (!profile.ReconnectInsideCategory) throw EUpdateError(std::string(kTooManyAttempts) + "。");
            // The pass applies nothing; an older staged copy must not be taken for this one either.
            progress.SetReconnect(true);
            RemoveFile(path);
            if (state.Cancelled()) return false;
            continue;
        }

        if (SetFileTimeText(path, expected.Stamp)) {
            log.Write(kDownload, "日付変更 : [" + path + "] : " + expected.Stamp);
            result = true;
        } else {
            log.Write(kDownload, "変更失敗 : [" + path + "] : " + expected.Stamp);
            result = false;
        }
        progress.SetProgressPosition(static_cast<int>(i) + 1);
        progress.ProcessMessages();
    }
    ::rmdir((dwnDir + kPartialFolder).c_str());
    log.WriteEnd(kDownload);
    return result;
}

void InitializeDownloadDirectory(TUpdateState& state, const std::string& folder, bool emptyIt) {
    state.TraceLog->WriteStart("InitializeDownloadDirectory");
    if (!DirectoryExists(folder)) {
        std::error_code ignored;
        fs::create_directories(folder, ignored);
    } else if (emptyIt || !state.Profile->StagingKeptBetweenPasses) {
        DeleteAllFiles(state, folder);
    }
    state.TraceLog->WriteEnd("InitializeDownloadDirectory");
}

void DeleteAllFiles(TUpdateState& state, const std::string& folder) {
    state.TraceLog->WriteStart("DeleteAllFiles");
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (!it->is_directory(ignored)) files.push_back(it->path());
    }
    // A file that cannot be deleted stays without notice.
    for (const fs::path& file : files)
        RemoveFile(file.string());
    state.TraceLog->WriteEnd("DeleteAllFiles");
}

} // namespace towagi
