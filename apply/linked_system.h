#pragma once
#include "model/update_state.h"

#include <string>

namespace towagi {

// The linked design-breakdown system (設計内訳連動システム) lives in the folder "ZEROVEZO" beside the
// program folder. Its programs arrive as one ZIP archive named "ZEROVEZO" (no extension) in the program
// files' staging folder; a new one is unpacked into ZEROVEZO/TEMP/ and from there copied over the
// installation. ZEROVEZO/UPDATE/ZEROVEZO, a copy of the last archive installed, tells a new archive from
// one already installed.

// Does nothing without a ZEROVEZO folder or a staged archive (true). Otherwise empties the unpack folder,
// and when the archive's time differs from the kept copy's (or there is none), unpacks it there safely
// (no entry outside the folder, no links), showing "設計内訳連動システムの更新ファイルを解凍しています。" with
// the caption "積算『とわぎ』"; the earlier texts come back on every path. The kept copy is replaced only
// after the archive was unpacked; a damaged archive is told ("書庫が壊れています", then the warning
// "設計内訳連動システムのプログラムの更新に失敗しました。"), keeps the old copy and answers false, so the
// next run tries again. `programDir` ends with '/'; the archiver library is looked for there first. Copy
// errors raise.
bool LinkedSystemUpdate(TUpdateState& state, const std::string& programDir);

// Copies the unpack folder over ZEROVEZO/: its files, then every sub-folder ScanSubFolders finds (created
// when missing). "Thumbs.db" (letter case ignored) is deleted from each source folder first and never
// installed. With `downloaded` the unpacked files are deleted afterwards; the folders stay. Raises on copy
// errors, having deleted the kept copy, so that the next run unpacks and copies the archive again.
void LinkedSystemCopy(TUpdateState& state, bool downloaded);

// Appends to LinkedSubFolders, depth first and a folder before its own sub-folders, every folder below
// `folder` (which ends with '/'), as `folder` + relative path without trailing '/'. Folders named "TEMP",
// "UPDATE" or "中間ファイル", and those whose name contains "中間ファイル", are left out with everything
// below them; symbolic links are not followed. Repaints after each entry.
void ScanSubFolders(TUpdateState& state, const std::string& folder);

// Deletes every file below `folder`, in its sub-folders too; failures are ignored and folders stay. A
// symbolic link is deleted as a file, never followed. Repaints after each entry.
void DeleteTreeFiles(TUpdateState& state, const std::string& folder);

} // namespace towagi
