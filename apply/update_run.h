#pragma once
#include "apply/linked_system.h"
#include "model/update_state.h"

#include <functional>
#include <string>

namespace towagi {

// Steps of the apply phase that live in their own parts of the launcher: the linked design-breakdown
// system, the real one unless a test puts another in its place, and the master import of one database
// slot. A master import that is not given is left out with a trace line, so the rest still applies.
struct TUpdateRunSteps {
    // Unpacks a new archive of the linked system; false when that failed.
    std::function<bool(TUpdateState& state, const std::string& programDir)> LinkedSystemUpdate =
        towagi::LinkedSystemUpdate;
    std::function<void(TUpdateState& state, bool downloaded)> LinkedSystemCopy = towagi::LinkedSystemCopy;
    // `_ImportMasterFile` of slot index 0 to 11.
    std::function<void(TUpdateState& state, int slotIndex)> ImportMasterFile;
};

// The automatic update of FTP mode, with the progress window shown: connect, fetch every switched-on
// category into the staging folders (offering another pass while files are missing), disconnect, then apply
// what is staged and load new master data into the local databases. FTP_HOST "0.0.0.0" only applies what is
// staged. Returns after a complete run, a declined question or pass, and a cancel; raises when the server
// cannot be reached, when the master category fails, or when applying fails.
void Execute(TUpdateState& state, const TUpdateRunSteps& steps = {});

// How far a staging folder setting is checked: the setting alone, or also that the folder exists.
enum class StagingFolderCheck { SettingOnly, FolderMustExist };

// What is wrong with a staging folder setting, as the user is told it with where to mend it; "" when
// nothing is. A blank setting, or with FolderMustExist one that names no folder, is missing. The program
// folder (`exeDir`, letter case ignored) is refused: staging folders are emptied after an update.
std::string StagingFolderFault(const std::string& folder, const std::string& exeDir,
                               StagingFolderCheck check);

// Deletes from the update folder's "MAST/" the master archives fetched in this launcher run, so that the
// next run fetches and imports them again.
void DeleteMasterFiles(TUpdateState& state);

} // namespace towagi
