#pragma once
#include "model/update_state.h"
#include "support/file_utils.h"

#include <string>
#include <vector>

namespace towagi {

// Adds the name (no folder) of every entry matching pattern = folder + mask (wildcards * and ?, letter case
// ignored) in the order the file system lists them. Hidden entries and folders count only when
// `attributes` names them. Returns how many names were added.
int GetPathFileList(TUpdateState& state, const std::string& pattern, int attributes,
                    std::vector<std::string>& list);

// Adds to `list` the names of the files in `source` that are to be copied to `destination`: missing there,
// or newer (estimation edition: the catalogue's five-second rule for the category code; cost edition: the
// installed file older at two-second resolution, the code not used). Returns how many names were added.
// Raises EUpdateError when a file time cannot be read.
int CopyUpdateFile(TUpdateState& state, const std::string& source, const std::string& destination, int code,
                   std::vector<std::string>& list);

// Copies what CopyUpdateFile chooses, except the launcher's own file, keeping the file times, and empties
// the list. Copied ".REG" files are imported by the registry tool in ExeDir (in-process through
// RegImporter when the tool cannot be started); the estimation edition also puts ".VORNREG" files into
// ExeDir + "VORNREG/". Raises EUpdateError "ディレクトリ[destination]が存在しません" when the destination
// is missing; copy errors (EInOutError) pass through.
void Local_CopyDirectory(TUpdateState& state, const std::string& source, const std::string& destination,
                         int code, std::vector<std::string>& list);

// Deletes every entry of the folder that is not a folder, except `keep` (letter case ignored; an empty
// name spares nothing). Read-only files and files that cannot be deleted stay, silently.
void DeleteFiles(TUpdateState& state, const std::string& folder, const std::string& keep);

// Takes away what a launcher killed while it applied files left behind: its temporary files (see
// TemporaryFilePattern) in the program folder, the folders the apply phase writes into (HTML help, help,
// VORNREG, the installed Excel and Frame folders) and the work folder that archives are unpacked into.
// Only the launcher's own temporaries of writers that no longer run go, each with a trace line.
void RemoveLeftoverTemporaryFiles(TUpdateState& state);

// Creates ExeDir + "HELP_HTML/" and its "_images", "_sources" and "_static" folders, one level at a time;
// failures are reported in warning boxes only.
void CreateHtmlHelpFolders(TUpdateState& state);

} // namespace towagi
