#include "apply/linked_system.h"

#include "apply/archive_extraction.h"
#include "apply/file_apply.h"
#include "platform/prompts.h"
#include "support/file_utils.h"
#include "support/text.h"
#include "transfer/download_engine.h"
#include "transfer/update_catalogue.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

namespace towagi {
namespace {

constexpr const char* kUpdate = "LinkedSystemUpdate";
constexpr const char* kCopy = "LinkedSystemCopy";
constexpr const char* kArchiveName = "ZEROVEZO";
constexpr const char* kIntermediate = "中間ファイル";

// The linked system's folders, all ending with '/'.
struct LinkedFolders {
    std::string Base;    // ZEROVEZO beside the program folder
    std::string Unpack;  // Base + "TEMP/"
    std::string Kept;    // Base + "UPDATE/"
    std::string KeptCopy() const { return Kept + kArchiveName; }
};

LinkedFolders FoldersBeside(const std::string& programDir) {
    const fs::path parent = fs::absolute(fs::path(programDir + "..")).lexically_normal();
    LinkedFolders folders;
    folders.Base = IncludeTrailingSeparator(parent.string()) + kArchiveName + "/";
    folders.Unpack = folders.Base + "TEMP/";
    folders.Kept = folders.Base + "UPDATE/";
    return folders;
}

void Repaint(TUpdateState& state) {
    if (state.ProgressWindow) state.ProgressWindow->ProcessMessages();
}

void ForceDirectories(const std::string& folder) {
    // A folder that cannot be made shows in the step that needs it.
    std::error_code ignored;
    fs::create_directories(folder, ignored);
}

// The modification time at the resolution the suite compares file times at: the kept copy is made by
// CopyFileWithDate, which keeps the time to an even second.
std::optional<std::time_t> ComparableTime(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return EvenLocalSecond(info.st_mtime);
}

// While the archive is unpacked the windows say so; the texts they had come back on every path.
class UnpackingTexts {
public:
    explicit UnpackingTexts(TUpdateState& state) : state_(state) {
        if (ProgressView* progress = state_.ProgressWindow) {
            status_ = progress->StatusText();
            title_ = progress->TitleText();
            progress->SetStatus("設計内訳連動システムの更新ファイルを解凍しています。");
            progress->SetTitle("");
        }
        if (state_.MainWindow) {
            caption_ = state_.MainWindow->Caption();
            state_.MainWindow->SetCaption("積算『とわぎ』");
        }
        Repaint(state_);
    }
    ~UnpackingTexts() {
        if (ProgressView* progress = state_.ProgressWindow) {
            progress->SetStatus(status_);
            progress->SetTitle(title_);
        }
        if (state_.MainWindow) state_.MainWindow->SetCaption(caption_);
        Repaint(state_);
    }
    UnpackingTexts(const UnpackingTexts&) = delete;
    UnpackingTexts& operator=(const UnpackingTexts&) = delete;

private:
    TUpdateState& state_;
    std::string status_, title_, caption_;
};

// The entries of a folder, read before any of them is touched; links are reported as what they are.
std::vector<fs::directory_entry> EntriesOf(const std::string& folder) {
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    return entries;
}

bool IsRealDirectory(const fs::directory_entry& entry) {
    std::error_code ignored;
    return entry.is_directory(ignored) && !entry.is_symlink(ignored);
}

bool LeftOutOfCopy(const std::string& name) {
    return name == "TEMP" || name == "UPDATE" || name.find(kIntermediate) != std::string::npos;
}

void RemoveThumbnails(const std::string& folder) {
    // The explorer's thumbnail cache belongs to no installation.
    DeleteFilesByMask(IncludeTrailingSeparator(folder), "Thumbs.db");
}

} // namespace

bool LinkedSystemUpdate(TUpdateState& state, const std::string& programDir) {
    const LinkedFolders folders = FoldersBeside(programDir);
    // Most workstations have no linked system: nothing to do and nothing to trace.
    if (!DirectoryExists(folders.Base)) return true;
    TTraceLog& log = *state.TraceLog;
    log.WriteStart(kUpdate);
    const std::string staged = ProgramStagingFolder(*state.Profile);
    // A blank setting names no staging folder, never the current one.
    const std::string archive = IsBlank(staged) ? std::string() : IncludeTrailingSeparator(staged) + kArchiveName;
    if (archive.empty() || !HasAttributes(archive, faArchive)) {
        log.WriteResult(kUpdate, true);
        return true;
    }

    if (DirectoryExists(folders.Unpack))
        DeleteTreeFiles(state, folders.Unpack);
    else
        ForceDirectories(folders.Unpack);

    const std::optional<std::time_t> newTime = ComparableTime(archive);
    bool changed = true;
    if (DirectoryExists(folders.Kept))
        changed = !HasAttributes(folders.KeptCopy(), faArchive) || ComparableTime(folders.KeptCopy()) != newTime;
    else
        ForceDirectories(folders.Kept);

    bool result = true;
    if (changed) {
        UnpackingTexts texts(state);
        log.Write(kUpdate, "from[" + archive + "] to[" + folders.Unpack + "]");
        if (ExtractZipArchive(archive, folders.Unpack, programDir)) {
            // Only an archive that was unpacked counts as installed: the next run takes it up again otherwise.
            DeleteTreeFiles(state, folders.Kept);
            CopyFileWithDate(archive, folders.KeptCopy());
        } else {
            log.Write(kUpdate, "解凍に失敗しました。");
            ShowWarning("設計内訳連動システムのプログラムの更新に失敗しました。");
            result = false;
        }
    }
    log.WriteResult(kUpdate, result);
    return result;
}

void LinkedSystemCopy(TUpdateState& state, bool downloaded) {
    const LinkedFolders folders = FoldersBeside(state.ExeDir);
    if (!DirectoryExists(folders.Base) || !DirectoryExists(folders.Unpack)) return;
    TTraceLog& log = *state.TraceLog;
    log.WriteStart(kCopy);
    const std::string& src = folders.Unpack;
    const std::string& dst = folders.Base;
    state.LinkedSubFolders.clear();
    // The list lives for this step only.
    struct ClearList {
        std::vector<std::string>& list;
        ~ClearList() { list.clear(); }
    } clearList{state.LinkedSubFolders};
    try {
        RemoveThumbnails(src);
        Local_CopyDirectory(state, src, dst, kKubunProgram, state.UpdateFiles);
        ScanSubFolders(state, src);
        for (const std::string& path : state.LinkedSubFolders) {
            const std::string rel = path.substr(src.size());
            RemoveThumbnails(src + rel);
            if (!DirectoryExists(dst + rel)) ForceDirectories(dst + rel);
            Local_CopyDirectory(state, src + rel, dst + rel, kKubunProgram, state.UpdateFiles);
        }
    } catch (...) {
        // Half copied, the archive must not count as installed.
        ::unlink(folders.KeptCopy().c_str());
        log.Write(kCopy, "コピーに失敗したため、次回の起動で再度更新します。");
        throw;
    }
    if (downloaded) {
        InitializeDownloadDirectory(state, src, true);
        for (const std::string& path : state.LinkedSubFolders)
            InitializeDownloadDirectory(state, IncludeTrailingSeparator(path), true);
    }
    log.WriteEnd(kCopy);
}

void ScanSubFolders(TUpdateState& state, const std::string& folder) {
    for (const fs::directory_entry& entry : EntriesOf(folder)) {
        const std::string name = entry.path().filename().string();
        if (IsRealDirectory(entry) && !LeftOutOfCopy(name)) {
            state.LinkedSubFolders.push_back(folder + name);
            ScanSubFolders(state, folder + name + "/");
        }
        Repaint(state);
    }
}

void DeleteTreeFiles(TUpdateState& state, const std::string& folder) {
    for (const fs::directory_entry& entry : EntriesOf(folder)) {
        if (IsRealDirectory(entry)) {
            DeleteTreeFiles(state, IncludeTrailingSeparator(entry.path().string()));
        } else {
            std::error_code ignored;
            fs::remove(entry.path(), ignored);
        }
        Repaint(state);
    }
}

} // namespace towagi
