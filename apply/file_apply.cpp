#include "apply/file_apply.h"

#include "database/data_module.h"
#include "platform/process.h"
#include "platform/prompts.h"
#include "support/encoding.h"
#include "support/errors.h"
#include "support/os_info.h"
#include "support/text.h"
#include "transfer/update_catalogue.h"
#include "transfer/update_settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace towagi {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRegistryTool = "towagi-reg";

// From the last dot of the name, the dot included; "" when the name has none.
std::string ExtensionOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

struct FileTime {
    bool Exists = false;
    bool Readable = false;
    std::time_t Time = 0;
};

FileTime ModificationTime(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return {true, true, info.st_mtim.tv_sec};
    // Anything but a missing name means the file is there and its time is out of reach.
    return {errno != ENOENT && errno != ENOTDIR, false, 0};
}

bool IsNewer(const EditionProfile& profile, int code, std::time_t source, std::time_t destination) {
    if (profile.CopyWhenInstalledOlder) return EvenLocalSecond(destination) < EvenLocalSecond(source);
    return CountsAsNewer(profile, code, source, destination);
}

// "Regedit.exe" and "Reg" both stand for the program folder's registry tool, which takes the same
// parameters ("/s FILE", "import FILE").
StartResult StartRegistryCommand(const std::string& programDir, const std::string& command) {
    const std::size_t blank = command.find(' ');
    return StartFile({.File = programDir + kRegistryTool,
                      .Parameters = blank == std::string::npos ? std::string() : command.substr(blank + 1)});
}

void ApplyRegistryFile(TUpdateState& state, const std::string& path) {
    TOSInfo os{};
    std::string command = GetOSInfo(os) && os.MajorVersion == 6 ? "Reg import " : "Regedit.exe /s ";
    command += "\"" + path + "\"";
    state.TraceLog->Write("Local_CopyDirectory", "拡張子 .REG :[ " + PrintableText(path) + "]:Do=" + PrintableText(command));
    // The started import is not watched; only a tool that cannot start at all falls back to our own import.
    if (StartRegistryCommand(state.ExeDir, command).Started || !state.RegImporter) return;
    try {
        state.RegImporter->ImportFile(path);
    } catch (const std::exception& e) {
        // Support staff find the file that could not be applied in the trace, not only in the box.
        state.TraceLog->Write("Local_CopyDirectory", e.what());
        throw;
    }
}

// What an entry of an update folder is when it is no plain file: a link is never followed, so its target
// (outside the folder, or nowhere) is never installed. nullptr for a plain file, and for an entry whose
// type cannot be read, which the copy then reports.
const char* NotAPlainFile(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return nullptr;
    if (S_ISLNK(info.st_mode)) return "シンボリックリンク";
    if (S_ISDIR(info.st_mode)) return "フォルダ";
    return "通常のファイルでないもの";
}

bool CreateFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0777) == 0;
}

bool EnsureFolder(const std::string& path) {
    return DirectoryExists(path) || CreateFolder(path);
}

} // namespace

int GetPathFileList(TUpdateState& state, const std::string& pattern, int attributes,
                    std::vector<std::string>& list) {
    state.TraceLog->WriteStart("GetPathFileList");
    const std::vector<std::string> names = FindFiles(pattern, attributes);
    list.insert(list.end(), names.begin(), names.end());
    const int added = static_cast<int>(names.size());
    state.TraceLog->WriteResult("GetPathFileList", added);
    return added;
}

int CopyUpdateFile(TUpdateState& state, const std::string& source, const std::string& destination, int code,
                   std::vector<std::string>& list) {
    state.TraceLog->WriteStart("CopyUpdateFile");
    const std::string from = IncludeTrailingSeparator(source);
    const std::string to = IncludeTrailingSeparator(destination);
    std::vector<std::string> names;
    if (GetPathFileList(state, from + "*", kAnyPlainFile, names) == 0) return 0;
    int added = 0;
    for (const std::string& name : names) {
        if (const char* kind = NotAPlainFile(from + name)) {
            state.TraceLog->Write("CopyUpdateFile", std::string(kind) + "は反映しません : [" + PrintableText(from + name) + "]");
            continue;
        }
        const FileTime installed = ModificationTime(to + name);
        bool copy = !installed.Exists;
        if (!copy) {
            const FileTime staged = ModificationTime(from + name);
            if (!staged.Readable) throw EUpdateError("ローカルファイル(コピー元)の日時取得に失敗しました。");
            if (!installed.Readable)
                throw EUpdateError("ローカルファイル(コピー先)の日時取得に失敗しました。");
            copy = IsNewer(*state.Profile, code, staged.Time, installed.Time);
        }
        if (copy) {
            list.push_back(name);
            ++added;
        }
    }
    state.TraceLog->WriteResult("CopyUpdateFile", added);
    return added;
}

void Local_CopyDirectory(TUpdateState& state, const std::string& source, const std::string& destination,
                         int code, std::vector<std::string>& list) {
    TTraceLog& log = *state.TraceLog;
    log.WriteStart("Local_CopyDirectory");
    if (!DirectoryExists(destination)) {
        const std::string message = "ディレクトリ[" + destination + "]が存在しません";
        log.WriteStart("Local_CopyDirectory : " + message);
        throw EUpdateError(message);
    }
    CopyUpdateFile(state, source, destination, code, list);
    // The running launcher never replaces its own file.
    const auto own = std::find_if(list.begin(), list.end(),
                                  [&](const std::string& name) { return SameText(name, state.ExeName); });
    if (own != list.end()) list.erase(own);
    if (list.empty()) return;

    const std::string from = IncludeTrailingSeparator(source);
    const std::string to = IncludeTrailingSeparator(destination);
    for (const std::string& name : list) {
        if (state.ProgressWindow) {
            state.ProgressWindow->SetFileName(PrintableText(name));
            state.ProgressWindow->ProcessMessages();
        }
        log.Write("Local_CopyDirectory",
                  "from[" + PrintableText(from + name) + "] to[" + PrintableText(to + name) + "]");
        CopyFileWithDate(from + name, to + name);
        if (UpperCase(ExtensionOf(name)) == ".REG") ApplyRegistryFile(state, to + name);
        if (state.Profile->CopyVornRegFiles && UpperCase(ExtensionOf(name)) == ".VORNREG") {
            const std::string vornReg = state.ExeDir + "VORNREG/";
            std::error_code ignored;
            fs::create_directories(vornReg, ignored);
            // Without the folder the step ends here; the list keeps the names.
            if (!DirectoryExists(vornReg)) return;
            CopyFileWithDate(from + name, vornReg + name);
        }
    }
    list.clear();
    log.WriteEnd("Local_CopyDirectory");
}

void DeleteFiles(TUpdateState& state, const std::string& folder, const std::string& keep) {
    state.TraceLog->WriteStart("DeleteFiles");
    std::vector<fs::path> doomed;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (it->is_directory(ignored)) continue;
        if (!keep.empty() && SameText(it->path().filename().string(), keep)) continue;
        doomed.push_back(it->path());
    }
    for (const fs::path& file : doomed) {
        // A read-only file is refused, as on the suite's home platform.
        if (!HasAttributes(file.string(), faReadOnly)) ::unlink(file.c_str());
    }
    state.TraceLog->WriteEnd("DeleteFiles");
}

void RemoveLeftoverTemporaryFiles(TUpdateState& state) {
    const EditionProfile& profile = *state.Profile;
    const std::string html = state.ExeDir + "HELP_HTML/";
    std::vector<std::string> folders = {state.ExeDir,
                                        html,
                                        html + "_images/",
                                        html + "_sources/",
                                        html + "_static/",
                                        state.ExeDir + "VORNREG/",
                                        IncludeTrailingSeparator(state.ExeDir + profile.HelpFolderName),
                                        GetDataTempDir(state.ExeDir)};
    for (const char* key : {kExcelKey, kFrameKey}) {
        const std::string installed = InstalledFolder(profile, key);
        if (!IsBlank(installed)) folders.push_back(IncludeTrailingSeparator(installed));
    }
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    for (const std::string& folder : folders) {
        for (const std::string& name : RemoveLeftoverTemporaries(folder))
            state.TraceLog->Write("RemoveLeftoverTemporaryFiles",
                                  "中断された更新の一時ファイルを削除しました : [" + PrintableText(folder + name) + "]");
    }
}

void CreateHtmlHelpFolders(TUpdateState& state) {
    const std::string html = state.ExeDir + "HELP_HTML/";
    const std::string images = html + "_images/";
    const std::string sources = html + "_sources/";
    const std::string statics = html + "_static/";
    if (!DirectoryExists(html) && !CreateFolder(html) && !CreateFolder(images) && !CreateFolder(sources) &&
        !CreateFolder(statics)) {
        ShowWarning("HTMLヘルプフォルダの作成に失敗しました。");
        return;
    }
    if (!EnsureFolder(images))
        ShowWarning("_images フォルダの作成に失敗しました。");
    else if (!EnsureFolder(sources))
        ShowWarning("_sources フォルダの作成に失敗しました。");
    else if (!EnsureFolder(statics))
        ShowWarning("_static フォルダの作成に失敗しました。");
}

} // namespace towagi
