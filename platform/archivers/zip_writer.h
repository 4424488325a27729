#pragma once
#include <string>
#include <vector>

namespace towagi::archivers {

struct ZipUpdateRequest {
    std::string ArchivePath;
    // File specifications: "dir/" packs the folder's content, "dir" the folder itself with its content,
    // "dir/*.txt" the matching names in that folder (wildcards * and ?, letter case ignored), "file" a file.
    std::vector<std::string> Sources;
    bool OnlyNewer = false; // an entry already in the archive is replaced only by a newer file
    std::string Passphrase; // the archive's own bytes (CP932); empty: not encrypted
    int Level = -1;         // 0 (stored) to 9; -1: the default
};

// Adds files to a ZIP archive, creating it when missing; names are stored in CP932. The existing entries
// are kept unless a file of the same name replaces them. The new archive is written beside the old one
// and replaces it only when complete, so a failure leaves the old archive as it was. Symbolic links are
// not packed. Returns the names written from disk; raises EArchiverError.
std::vector<std::string> UpdateZipArchive(const ZipUpdateRequest& request);

} // namespace towagi::archivers
