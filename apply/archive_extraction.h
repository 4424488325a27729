#pragma once
#include "apply/archive_adapters.h"
#include "support/settings.h"

#include <cstddef>
#include <string>

namespace towagi {

// The extraction routines of the updater window: the archiver is chosen by the archive's extension.
// `programDir` is the folder searched first for the archivers (the launcher's own folder).

// ".zip" when path + ".zip" is an existing file, otherwise ".lzh" when path + ".lzh" is, otherwise "".
std::string FindArchiveExtension(const std::string& pathWithoutExtension);

// ".LZH" through ExtractWith7zExe, ".ZIP" through ExtractZipArchive (letter case ignored, result
// dropped); any other extension: nothing happens.
void ExtractArchive(const std::string& archivePath, const std::string& destDir,
                    const std::string& programDir = GetProgramDir());

// Runs "7z.exe" from the program folder, or else Debian's 7-Zip ("7zz", then "7z"), hidden, first with
// t "archive" -y and, when that test passed, with x "archive" -o"destination" -y, waiting for each. Reports
// nothing: a damaged archive or a missing program shows only in files that do not appear. An archive whose
// files would not fit into the destination's free space is not unpacked and is told in a message box.
void ExtractWith7zExe(const std::string& archivePath, const std::string& destDir,
                      const std::string& programDir = GetProgramDir());

// Unpacks a ZIP archive with its folders through TArcSevenZip (with an output buffer of `outputSize`
// bytes) after checking it and the destination's free space. "書庫が壊れています" or any error's text
// ("展開先の空き容量が足りません: ..." for an archive that would not fit) is shown in a message box and the
// result is false; nothing is unpacked then.
bool ExtractZipArchive(const std::string& archivePath, const std::string& destDir,
                       const std::string& programDir = GetProgramDir(),
                       std::size_t outputSize = kArcOutputSizeEstimation);

} // namespace towagi
