#include "transfer/update_catalogue.h"

#include "database/data_module.h"
#include "platform/prompts.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/ini_file.h"
#include "support/text.h"
#include "transfer/update_settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace towagi {
namespace {

constexpr const char* kGetUpdateFileList = "FTP_GetUpdateFileList";
constexpr const char* kGetNList = "FTP_GetNList";
constexpr const char* kPickupSisyaMaster = "_FTP_PickupSisyaMaster";
// Both editions' Excel protection lists begin with the estimate sheets.
constexpr const char* kExcelProtectionPrefix = "見積原紙";
constexpr std::time_t kTimeTolerance = 5;

std::string AfterLastBar(const std::string& value) {
    const std::size_t bar = value.rfind('|');
    return bar == std::string::npos ? value : value.substr(bar + 1);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// One category as its folder step builds it.
struct CategoryStep {
    const char* Step;
    std::string ChkDir;
    std::string DwnDir;
    int Kubun;
    const char* ProtectionSection = nullptr; // the Excel and Frame steps read their protection prefixes
};

// The catalogue file's key for a category's server folder, and the folder when the key is blank.
std::pair<const char*, std::string> ServerFolderSetting(const EditionProfile& profile, int kubun) {
    switch (kubun) {
    case kKubunProgram:
        return {"AccumulateDir_UPDATE", profile.DefaultUpdateServerDir};
    case kKubunExcel:
        return {"AccumulateDir_EXCEL", profile.DefaultExcelServerDir};
    case kKubunFrame:
        return {"AccumulateDir_FRAME", profile.DefaultFrameServerDir};
    case kKubunHelp:
        return {"AccumulateDir_HELP", profile.DefaultHelpServerDir};
    case kKubunHtmlHelp:
        return {"AccumulateDir_HELP_HTML", "/towagi/HELP_HTML/"};
    case kKubunHtmlImages:
        return {"AccumulateDir_HELP_HTML_images", "/towagi/HELP_HTML_IMAGES/"};
    case kKubunHtmlSources:
        return {"AccumulateDir_HELP_HTML_sources", "/towagi/HELP_HTML_SOURCES/"};
    case kKubunHtmlStatic:
        return {"AccumulateDir_HELP_HTML_static", "/towagi/HELP_HTML_STATIC/"};
    default:
        return {"AccumulateDir_MAST", "/towagi/MAST/"};
    }
}

void WriteFolderResult(TUpdateState& state, const char* step, const TFTPDIR& folders) {
    std::string text = " SvrDir=" + folders.SvrDir + " ChkDir=" + folders.ChkDir + " DwnDir=" + folders.DwnDir;
    if (state.Profile->CategoryCodes) text += " Kubun=" + std::to_string(folders.Kubun);
    state.TraceLog->WriteResult(step, text);
}

TFTPDIR RunFolderStep(TUpdateState& state, const CategoryStep& category) {
    TTraceLog& log = *state.TraceLog;
    log.WriteStart(category.Step);
    TFTPDIR folders;
    folders.SvrDir = CategoryServerFolder(state, category.Kubun);
    folders.ChkDir = IncludeTrailingSeparator(category.ChkDir);
    folders.DwnDir = IncludeTrailingSeparator(category.DwnDir);
    if (state.Profile->CategoryCodes) folders.Kubun = category.Kubun;
    state.ProtectionList.clear();
    if (category.ProtectionSection) {
        const TIniFile catalogue(state.ExeDir + state.Profile->CatalogueIniFileName);
        std::vector<std::string> lines = catalogue.ReadSectionValues(category.ProtectionSection);
        if (!lines.empty()) log.Write(category.Step, "保護ファイル数 = " + std::to_string(lines.size()));
        for (std::size_t i = 0; i < lines.size(); ++i) {
            // A value may hold "=" itself; the prefix is what follows the last one.
            state.ProtectionList.push_back(lines[i].substr(lines[i].rfind('=') + 1));
            log.Write(category.Step, "[" + std::to_string(i) + "] = " + state.ProtectionList.back());
        }
    }
    WriteFolderResult(state, category.Step, folders);
    return folders;
}

// The three HTML help sub-folders are compared below the installed HELP_HTML but staged flat.
TFTPDIR HtmlSubFolderStep(TUpdateState& state, const char* step, const char* subFolder, int kubun) {
    return RunFolderStep(state, {step, state.ExeDir + "HELP_HTML/" + subFolder,
                                 UpdateFolder(*state.Profile) + subFolder, kubun});
}

bool ContainsIgnoringCase(const std::vector<std::string>& names, const std::string& name) {
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameText(n, name); });
}

std::time_t ServerTimeOf(const std::string& stamp) {
    std::time_t time = 0;
    if (!ParseDateTime(stamp, time)) throw EUpdateError("'" + stamp + "' は正しい日付と時刻ではありません");
    return time;
}

std::string BaseName(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

// Master archives of slots whose database lives on a server are not fetched: the server's own copy is
// maintained there.
void DropServerReferencedMasters(TUpdateState& state, std::vector<std::string>& names) {
    TTraceLog& log = *state.TraceLog;
    const std::vector<std::string> addresses =
        state.Profile->LocalDatabaseByDrive ? std::vector<std::string>{} : GetLocalAddresses();
    for (int slot = 0; slot < kDatabaseSlots; ++slot) {
        const TDatabaseSlot database = ReadDatabaseSlot(slot);
        if (database.Branch.empty() || IsLocalDatabase(*state.Profile, database.Location, addresses)) continue;
        auto found = std::find_if(names.begin(), names.end(),
                                  [&](const std::string& n) { return SameText(n, database.Branch + ".ZIP"); });
        if (found == names.end())
            found = std::find_if(names.begin(), names.end(),
                                 [&](const std::string& n) { return SameText(n, database.Branch + ".LZH"); });
        if (found != names.end()) {
            names.erase(found);
            log.Write(kGetUpdateFileList, database.Branch + "はサーバーを参照しているので、削除しました。");
        } else {
            log.Write(kGetUpdateFileList,
                      database.Branch + "はサーバーを参照しているがリストになかったので削除できませんでした。(エラー)");
        }
    }
}

void DropUnconfiguredMasters(TUpdateState& state, std::vector<std::string>& names) {
    std::vector<std::string> branches;
    for (int slot = 0; slot < kDatabaseSlots; ++slot) {
        const std::string branch = ReadDatabaseSlot(slot).Branch;
        if (!branch.empty()) branches.push_back(branch);
    }
    for (std::size_t i = names.size(); i-- > 0;) {
        if (ContainsIgnoringCase(branches, BaseName(names[i]))) continue;
        state.TraceLog->Write(kGetUpdateFileList, names[i] + "はDB名称に設定がないので、削除しました。");
        names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

} // namespace

std::string CategoryServerFolder(const TUpdateState& state, int kubun) {
    const auto [key, defaultFolder] = ServerFolderSetting(*state.Profile, kubun);
    const std::string value =
        TIniFile(state.ExeDir + state.Profile->CatalogueIniFileName).ReadString("FTP", key, "");
    return IsBlank(value) ? defaultFolder : value;
}

std::string UpdateFolder(const EditionProfile& profile) {
    return InstalledFolder(profile, kUpdateKey);
}

std::string ProgramStagingFolder(const EditionProfile& profile) {
    return GetToken("|", ReadEditionString(profile, kUpdateKey, profile.UpdatePathValue), 1, 2);
}

std::string InstalledFolder(const EditionProfile& profile, const std::string& key) {
    const std::string folder = AfterLastBar(ReadEditionString(profile, key, profile.UpdatePathValue));
    // No setting is no folder, never the file system's root.
    return IsBlank(folder) ? std::string() : IncludeTrailingSeparator(folder);
}

TFTPDIR GetUpdateDir(TUpdateState& state) {
    const EditionProfile& profile = *state.Profile;
    return RunFolderStep(state, {"GetUpdateDir", state.ExeDir, UpdateFolder(profile), kKubunProgram});
}

TFTPDIR GetExcelDir(TUpdateState& state) {
    const EditionProfile& profile = *state.Profile;
    return RunFolderStep(state, {"GetExcelDir", InstalledFolder(profile, kExcelKey),
                                 UpdateFolder(profile) + "EXCEL", kKubunExcel, "Excel Protection file"});
}

TFTPDIR GetFrameDir(TUpdateState& state) {
    const EditionProfile& profile = *state.Profile;
    return RunFolderStep(state, {"GetFrameDir", InstalledFolder(profile, kFrameKey),
                                 UpdateFolder(profile) + "FRAME", kKubunFrame, "Frame Protection file"});
}

TFTPDIR GetHelpDir(TUpdateState& state) {
    const EditionProfile& profile = *state.Profile;
    // Compared with the folder the apply phase installs the help into, so an installed help file is
    // recognised and not fetched again.
    return RunFolderStep(state, {"GetHelpDir", state.ExeDir + profile.HelpFolderName,
                                 UpdateFolder(profile) + "HELP", kKubunHelp});
}

TFTPDIR GetHTMLHELPDir(TUpdateState& state) {
    return RunFolderStep(state, {"GetHTMLHELPDir", state.ExeDir + "HELP_HTML",
                                 UpdateFolder(*state.Profile) + "HELP_HTML", kKubunHtmlHelp});
}

TFTPDIR GetHTMLimagesDir(TUpdateState& state) {
    return HtmlSubFolderStep(state, "GetHTMLimagesDir", "_images", kKubunHtmlImages);
}

TFTPDIR GetHTMLsourcesDir(TUpdateState& state) {
    return HtmlSubFolderStep(state, "GetHTMLsourcesDir", "_sources", kKubunHtmlSources);
}

TFTPDIR GetHTMLstaticDir(TUpdateState& state) {
    return HtmlSubFolderStep(state, "GetHTMLstaticDir", "_static", kKubunHtmlStatic);
}

TFTPDIR GetMastDir(TUpdateState& state) {
    const EditionProfile& profile = *state.Profile;
    state.TraceLog->WriteStart("GetMastDir");
    TFTPDIR folders;
    folders.SvrDir = CategoryServerFolder(state, kKubunMast);
    folders.ChkDir = folders.DwnDir = UpdateFolder(profile) + "MAST/";
    if (profile.CategoryCodes) folders.Kubun = kKubunMast;
    state.MasterBaseline.fill(std::nullopt);
    for (int slot = 0; slot < kDatabaseSlots; ++slot) {
        const std::string branch = ReadDatabaseSlot(slot).Branch;
        if (branch.empty()) continue;
        for (const std::string& extension : profile.MasterArchiveExtensions) {
            // Master names are staged in upper case, whatever case the slot gives the branch.
            const std::string archive = FindFileIgnoringCase(folders.DwnDir, branch + extension);
            struct stat info {};
            if (archive.empty() || ::stat(archive.c_str(), &info) != 0) continue;
            state.MasterBaseline[static_cast<std::size_t>(slot)] = info.st_mtim.tv_sec + 10;
            break;
        }
    }
    WriteFolderResult(state, "GetMastDir", folders);
    return folders;
}

void FTP_GetNList(TUpdateState& state, TQrdFTP& client, const std::string& folder,
                  std::vector<std::string>& names) {
    TTraceLog& log = *state.TraceLog;
    log.WriteStart(kGetNList);
    // The catalogue has just changed to the folder on this connection: over a slow link every round trip
    // counts, and a second CWD of a relative folder would go one level deeper.
    if (client.CurrentDir() != folder || folder.empty()) client.ChangeDir(folder);
    client.GetFileNameList(names);
    if (state.Profile->ZipReplacesLzh) {
        // A branch archive offered in both forms is fetched as ZIP only.
        std::vector<std::string> replaced;
        for (const std::string& name : names) {
            if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".lzh") == 0 &&
                ContainsIgnoringCase(names, name.substr(0, name.size() - 4) + ".zip"))
                replaced.push_back(name);
        }
        std::erase_if(names, [&](const std::string& name) {
            return std::find(replaced.begin(), replaced.end(), name) != replaced.end();
        });
    }
    std::vector<std::string> allowList;
    BranchFileList(state, allowList);
    if (state.ProtectionList.empty()) return;
    for (std::size_t i = names.size(); i-- > 0;) {
        const std::string name = names[i];
        const auto prefix = std::find_if(state.ProtectionList.begin(), state.ProtectionList.end(),
                                         [&](const std::string& p) { return StartsWith(name, p); });
        bool protectedName = prefix != state.ProtectionList.end();
        if (protectedName && std::find(allowList.begin(), allowList.end(), name) != allowList.end()) {
            log.Write(kGetNList, "保護解除[" + name + "]");
            protectedName = false;
        }
        if (protectedName) {
            log.Write(kGetNList, "保護対象[" + name + "]");
            names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            log.Write(kGetNList, "処理対象[" + name + "]");
        }
    }
    log.WriteEnd(kGetNList);
}

void BranchFileList(TUpdateState& state, std::vector<std::string>& allowList) {
    const EditionProfile& profile = *state.Profile;
    allowList.clear();
    if (!HasAttributes(profile.BranchTableFileName, faArchive)) return;
    if (state.ProtectionList.empty()) return;
    const std::string address = GetLocalIPAddress();
    // A host name that does not resolve has no address, and no office lists an empty one.
    const std::string branch = address.empty() ? std::string() : FindBranch(profile, address);
    if (branch.empty()) {
        const std::string table = std::filesystem::path(profile.BranchTableFileName).filename().string();
        throw EUpdateError("このPCのIPアドレス[" + address + "]を、本社・支店情報から見つける事ができませんでした。\r\n\r\n"
                           "帳票ファイル・EXCELシートの一部が更新されません。\r\n必要な情報を" + table +
                           "に登録してください。");
    }
    TTraceLog& log = *state.TraceLog;
    log.Write(kGetNList, "支店名[" + branch + "]");
    const std::string& first = state.ProtectionList.front();
    if (StartsWith(first, profile.FrameProtectionPrefix)) {
        allowList = ReadBranchEntries(profile, branch, "FR");
        log.Write(kGetNList, "支店毎のDL対象帳票ファイル一覧取得");
    } else if (StartsWith(first, kExcelProtectionPrefix)) {
        allowList = ReadBranchEntries(profile, branch, "EX");
        log.Write(kGetNList, "支店毎のDL対象EXCELファイル一覧取得");
    }
}

bool FTP_GetUpdateFileList(TUpdateState& state, TQrdFTP& client, const TFTPDIR& folders, bool master,
                           std::vector<std::string>& stamps, std::vector<std::string>& names) {
    const EditionProfile& profile = *state.Profile;
    TTraceLog& log = *state.TraceLog;
    ProgressView& progress = *state.ProgressWindow;
    log.WriteStart(kGetUpdateFileList);
    progress.SetTitle("更新ファイルを調査しています．．．");
    progress.SetStatus(folders.SvrDir);
    progress.SetFileName("");
    progress.StartProgress(9);
    progress.ProcessMessages();

    try {
        client.ChangeDir(folders.SvrDir);
    } catch (const EFTPReplyError&) {
        // The server refused the folder; a lost connection is not a missing folder and is reported.
        if (!profile.SkipMissingServerFolder) throw;
        log.Write(kGetUpdateFileList, "サーバーの" + folders.SvrDir + "フォルダが見つかりません。");
        return false;
    }
    FTP_GetNList(state, client, folders.SvrDir, names);

    if (master) {
        for (std::string& name : names) {
            name = UpperCase(name);
            log.Write(kGetUpdateFileList, "\"" + name + "\"を大文字に変換しました。");
        }
        DropServerReferencedMasters(state, names);
        if (profile.DropUnconfiguredMasters) DropUnconfiguredMasters(state, names);
    }

    client.GetTimeStampList(names, stamps);
    if (names.empty()) {
        log.Write(kGetUpdateFileList, "アップデートすべきファイルがありません。");
        return false;
    }

    for (std::size_t i = names.size(); i-- > 0;) {
        const std::string name = names[i];
        const std::time_t serverTime = ServerTimeOf(stamps[i]);
        const auto remove = [&] {
            names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
            stamps.erase(stamps.begin() + static_cast<std::ptrdiff_t>(i));
        };
        if (!isNewFile(state, folders.ChkDir, name, folders.Kubun, serverTime)) {
            log.Write(kGetUpdateFileList, "[" + name + "] Already Exist");
            remove();
            continue;
        }
        log.Write(kGetUpdateFileList, "[" + name + "] New File");
        if (profile.StagingKeptBetweenPasses && !isNewFile(state, folders.DwnDir, name, folders.Kubun, serverTime)) {
            // Staged with the server's time by an earlier pass: not fetched again.
            log.Write(kGetUpdateFileList, "[" + name + "] Already Exist By " + folders.DwnDir);
            remove();
        }
        if (state.AskBeforeUpdate) {
            if (!AskInformation(profile.CatalogueVersionUpQuestion)) {
                log.Write(kGetUpdateFileList, "■ 中断ボタン押下");
                state.UpdateDeclined = true;
                throw ECancel("FTP_GetUpdateFileList : 中断ボタン押下");
            }
            state.AskBeforeUpdate = false;
        }
        progress.StepProgress();
        progress.ProcessMessages();
    }
    log.WriteResult(kGetUpdateFileList, true);
    return true;
}

bool isNewFile(TUpdateState& state, const std::string& folder, const std::string& name, int kubun,
               std::time_t serverTime) {
    const std::string path = folder + name;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return true;
        throw EUpdateError("ローカルファイルの日時取得に失敗しました。");
    }
    if (!S_ISREG(info.st_mode)) return true;
    const std::time_t localTime = info.st_mtim.tv_sec;
    state.TraceLog->Write("isNewFile", " Lcl=" + FormatDateTime(localTime) + " Svr=" + FormatDateTime(serverTime));
    return CountsAsNewer(*state.Profile, kubun, serverTime, localTime);
}

bool CountsAsNewer(const EditionProfile& profile, int kubun, std::time_t candidate, std::time_t present) {
    const bool bothWays = profile.TwoSidedTimeRule &&
                          (kubun == kKubunProgram || (kubun >= kKubunHtmlHelp && kubun <= kKubunHtmlStatic));
    return candidate - present > kTimeTolerance || (bothWays && present - candidate > kTimeTolerance);
}

void _FTP_PickupSisyaMaster(TUpdateState& state, std::vector<std::string>& names,
                            std::vector<std::string>& stamps) {
    const EditionProfile& profile = *state.Profile;
    TTraceLog& log = *state.TraceLog;
    log.WriteStart(kPickupSisyaMaster);
    if (names.empty()) {
        log.Write(kPickupSisyaMaster, "サーバに有効なマスタファイルが存在しません。");
        log.Write(kPickupSisyaMaster, "EXIT");
        return;
    }
    log.Write(kPickupSisyaMaster, "DBList.Create");
    std::vector<std::string> archives;
    for (int slot = 0; slot < kDatabaseSlots; ++slot) {
        const std::string branch = ReadDatabaseSlot(slot).Branch;
        if (branch.empty()) continue;
        for (const std::string& extension : profile.MasterArchiveExtensions) {
            const std::string archive = branch + UpperCase(extension);
            if (!profile.MasterArchiveMustBeListed ||
                std::find(names.begin(), names.end(), archive) != names.end()) {
                archives.push_back(archive);
                break;
            }
        }
    }
    if (archives.empty()) {
        log.Write(kPickupSisyaMaster, "レジストリに有効な支部名が存在しませんでした。[DB_DATA]");
        log.Write(kPickupSisyaMaster, "EXIT");
        log.Write(kPickupSisyaMaster, "DBList.Free");
        return;
    }
    for (std::size_t i = names.size(); i-- > 0;) {
        const std::string name = UpperCase(names[i]);
        const bool wanted = std::any_of(archives.begin(), archives.end(), [&](const std::string& archive) {
            return UpperCase(RightText(name, static_cast<int>(archive.size()))) == UpperCase(archive);
        });
        if (wanted) continue;
        names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
        stamps.erase(stamps.begin() + static_cast<std::ptrdiff_t>(i));
    }
    log.Write(kPickupSisyaMaster, "DBList.Free");
    log.WriteEnd(kPickupSisyaMaster);
}

} // namespace towagi
