#include "apply/master_file_import.h"

#include "apply/archive_adapters.h"
#include "apply/archive_extraction.h"
#include "database/data_module.h"
#include "database/master_import.h"
#include "support/text.h"
#include "transfer/update_catalogue.h"

#include <sys/stat.h>

#include <optional>

namespace towagi {
namespace {

constexpr const char* kImport = "_ImportMasterFile";
constexpr const char* kExecute = "FTPUpdateExecute";
// "No date" (no archive, no baseline) in the trace's date form: the day before the suite's day zero.
constexpr const char* kNoDate = "1899/12/29 00:00:00";

std::string DateText(const std::optional<std::time_t>& date) {
    return date ? FormatDateTime(*date) : kNoDate;
}

std::optional<std::time_t> ModifiedTime(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return std::nullopt;
    return info.st_mtim.tv_sec;
}

// An archive counts as new when it is later than its baseline; a slot without a baseline takes any.
bool IsLater(const std::optional<std::time_t>& date, const std::optional<std::time_t>& baseline) {
    return date && (!baseline || *date > *baseline);
}

std::string MasterFolder(const EditionProfile& profile) {
    return UpdateFolder(profile) + "MAST/";
}

void Extract(TUpdateState& state, const std::string& archive, const std::string& work, TLHA* lha) {
    if (!state.Profile->MasterArchiveThroughLha) {
        // Failures are shown by the extraction itself; missing text files stop the import later.
        ExtractArchive(archive, work, state.ExeDir);
        return;
    }
    if (!lha) throw EDLLLoadError("Unknown DLL UNLHA32.DLL");
    lha->Extract(archive, work);
}

// From the start of an import to its end, on every path: the cancel button is disabled and the unpacked
// text files are in the work folder.
class ImportScope {
public:
    ImportScope(TUpdateState& state, std::string work) : state_(state), work_(std::move(work)) {
        if (state_.ProgressWindow) state_.ProgressWindow->SetCancelEnabled(false);
    }
    ~ImportScope() {
        if (state_.ProgressWindow) state_.ProgressWindow->SetCancelEnabled(true);
        ClearMasterTextFiles(*state_.Profile, work_);
    }
    ImportScope(const ImportScope&) = delete;
    ImportScope& operator=(const ImportScope&) = delete;

private:
    TUpdateState& state_;
    std::string work_;
};

} // namespace

bool MasterArchivePending(TUpdateState& state, int slotIndex) {
    const std::string branch = ReadDatabaseSlot(slotIndex).Branch;
    if (branch.empty()) return false;
    const TMasterArchive archive = FindMasterArchive(*state.Profile, MasterFolder(*state.Profile), branch);
    return IsLater(ModifiedTime(archive.Path), state.MasterBaseline.at(static_cast<std::size_t>(slotIndex)));
}

void DropPendingMasterArchive(TUpdateState& state, int slotIndex) {
    if (!MasterArchivePending(state, slotIndex)) return;
    DeleteMasterArchive(*state.Profile, MasterFolder(*state.Profile), ReadDatabaseSlot(slotIndex).Branch);
}

void _ImportMasterFile(TUpdateState& state, int slotIndex, TLHA* lha) {
    const EditionProfile& profile = *state.Profile;
    TTraceLog& log = *state.TraceLog;
    log.WriteStart(kImport);
    const std::string branch = ReadDatabaseSlot(slotIndex).Branch;
    if (branch.empty()) {
        log.Write(kImport, "Exit : レジストリにGDBファイル名の登録がない");
        return;
    }
    const std::string work = GetDataTempDir(state.ExeDir);
    const std::string updateFolder = UpdateFolder(profile);
    const std::string masterFolder = updateFolder + "MAST/";
    const TMasterArchive archive = FindMasterArchive(profile, masterFolder, branch);
    const std::optional<std::time_t> date = ModifiedTime(archive.Path);
    const std::optional<std::time_t> baseline = state.MasterBaseline.at(static_cast<std::size_t>(slotIndex));
    const std::string extension =
        profile.MasterDateTraceExtension.empty() ? archive.Extension : profile.MasterDateTraceExtension;
    log.Write(kExecute, branch + extension + DateText(date) + "  " + DateText(baseline));
    if (!IsLater(date, baseline)) {
        log.Write(kExecute, "EXIT : 手元のデータが最新：取込キャンセル");
        return;
    }

    if (ProgressView* progress = state.ProgressWindow) {
        progress->SetCaption(profile.ImportCaption + " (" + branch + "取込)");
        progress->SetTitle(branch + "取込作業中です．．．");
        progress->SetStatus(masterFolder);
        progress->SetFileName(branch + archive.Extension);
        progress->StartProgress(5);
    }
    {
        ImportScope scope(state, work);
        if (state.ProgressWindow) state.ProgressWindow->ProcessMessages();
        ClearMasterTextFiles(profile, work);
        try {
            Extract(state, archive.Path, work, lha);
            log.Write(kExecute, "ファイルの解凍完了");
            UpdateMasterDatabase(state, slotIndex, updateFolder, work, branch);
        } catch (...) {
            // Left staged, the archive would count as imported at the next start.
            DeleteMasterArchive(profile, masterFolder, branch);
            throw;
        }
        log.Write(kExecute, "マスタデータ 取込完了");
    }
    log.WriteEnd(kImport);
}

} // namespace towagi
