#pragma once
#include "model/update_state.h"
#include "transfer/qrd_ftp.h"
#include "transfer/update_catalogue.h"

#include <string>
#include <vector>

namespace towagi {

// The download phase over a connected client: every category whose switch is exactly 1, in the fixed
// order, catalogued and fetched into its staging folder. A category's failure is shown and the next
// category follows; a declined version-up question raises ECancel; a failure of the master category leaves.
// After a cancel (the button, or a connection that could not be restored) no further category is visited.
void FTP_DownAllCategory(TUpdateState& state, TQrdFTP& client);

// One category: catalogue, staging folder, download.
void FTP_Update(TUpdateState& state, TQrdFTP& client, const TFTPDIR& folders);
// The master category: only the archives of the configured slots; the staging folder is never emptied.
void FTP_Update_Mast(TUpdateState& state, TQrdFTP& client, const TFTPDIR& folders);

// Fetches every name into `dwnDir` (ending with '/'), each with up to six attempts, and gives each file its
// server time stamp. A file is staged under its own name only once it is complete: its size is the one the
// server gave (the listing's, else SIZE) and its time stamp has not changed since `stamps` were read; a file
// that changed is fetched again and staged with its new stamp. The result is that of the
// last time stamp set, or false after a cancel that followed a failed file. Estimation edition: a lost
// connection is restored and the file tried again; a file that still fails is deleted and recorded in
// Reconnect. Cost edition: a file that fails six times raises EUpdateError for its category.
bool FTP_Download(TUpdateState& state, TQrdFTP& client, const std::string& svrDir,
                  const std::vector<std::string>& stamps, const std::vector<std::string>& names,
                  const std::string& dwnDir);

// Creates the staging folder with its parents, or empties an existing one when `emptyIt` (the cost
// edition empties it always). `folder` ends with '/'.
void InitializeDownloadDirectory(TUpdateState& state, const std::string& folder, bool emptyIt);
// Deletes every plain file of the folder, read-only and hidden ones included; sub-folders stay.
void DeleteAllFiles(TUpdateState& state, const std::string& folder);

} // namespace towagi
