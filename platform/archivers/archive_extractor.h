#pragma once
#include "platform/archivers/archive_reader.h"

#include <string>
#include <vector>

namespace towagi::archivers {

enum class Overwrite { Always, WhenArchiveNewer };

struct ExtractRequest {
    ArchiveFormat Format = ArchiveFormat::Zip;
    std::string ArchivePath;
    std::string DestDir;     // created with its parents when missing
    bool KeepFolders = true; // false: every file directly into DestDir, folders not created
    Overwrite Existing = Overwrite::Always;
    // Empty: everything. A pattern without '/' matches the file name; each must match an entry, or the
    // archive is refused before anything is written.
    std::vector<std::string> FileSpecs;
    std::string Passphrase; // the archive's own bytes (CP932)
};

// Unpacks an archive and returns the names written. Nothing lands outside DestDir: the whole archive is
// refused before anything is written when one entry is unsafe (see ArchiveReader), and folders below the
// destination are opened without following symbolic links. Each file is written to a temporary file
// beside its final name and renamed into place only when its data passed the CRC check, so a damaged or
// truncated entry never leaves a partial file and never replaces a good one. An archive whose files
// would not fit into the destination's free space (by their declared sizes) is refused before anything is
// written (CheckFreeSpace). Raises EArchiverError.
std::vector<std::string> ExtractFiles(const ExtractRequest& request);

} // namespace towagi::archivers
