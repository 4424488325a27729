#include "apply/archive_extraction.h"

#include "apply/archive_adapters.h"
#include "platform/archivers/archive_reader.h"
#include "platform/archivers/command_text.h"
#include "platform/process.h"
#include "platform/prompts.h"
#include "support/file_utils.h"
#include "support/text.h"

#include <filesystem>

namespace towagi {
namespace {

// A plain file, as the suite's file test takes it.
bool FileExists(const std::string& path) {
    return HasAttributes(path, faArchive);
}

// 7-Zip drops ".." steps and leading slashes and unpacks links, so an entry meant for elsewhere would land
// in the destination under another name. Such an archive counts as damaged here, as it does in the
// archiver libraries, and unpacks nothing. Neither does one that would not fit: that one is told.
bool EntriesStayInsideAndFit(const std::string& archivePath, const std::string& destDir) {
    std::vector<long long> sizes;
    try {
        archivers::Utf8ThreadLocale locale;
        sizes = archivers::CheckEntries(archivers::ArchiveFormat::ZipOrLha, archivePath);
    } catch (const archivers::EArchiverError&) {
        return false;
    }
    try {
        archivers::CheckFreeSpace(sizes, archivePath, destDir);
        return true;
    } catch (const archivers::EArchiverError& e) {
        ShowMessage(e.what());
        return false;
    }
}

// The file sizes a ZIP archive's headers declare; none for an archive that cannot be read, whose damage
// the archiver reports in its own words.
std::vector<long long> DeclaredSizes(const std::string& archivePath) {
    try {
        archivers::Utf8ThreadLocale locale;
        return archivers::CheckEntries(archivers::ArchiveFormat::Zip, archivePath);
    } catch (const archivers::EArchiverError&) {
        return {};
    }
}

std::string ArchiverProgram(const std::string& programDir) {
    const std::string own = programDir + "7z.exe";
    if (FileExists(own)) return own;
    return ResolveProgram("7zz").empty() ? "7z" : "7zz";
}

} // namespace

std::string FindArchiveExtension(const std::string& pathWithoutExtension) {
    if (FileExists(pathWithoutExtension + ".zip")) return ".zip";
    if (FileExists(pathWithoutExtension + ".lzh")) return ".lzh";
    return {};
}

void ExtractArchive(const std::string& archivePath, const std::string& destDir,
                    const std::string& programDir) {
    const std::string extension = std::filesystem::path(archivePath).extension().string();
    if (SameText(extension, ".LZH"))
        ExtractWith7zExe(archivePath, destDir, programDir);
    else if (SameText(extension, ".ZIP"))
        ExtractZipArchive(archivePath, destDir, programDir);
}

void ExtractWith7zExe(const std::string& archivePath, const std::string& destDir,
                      const std::string& programDir) {
    if (!EntriesStayInsideAndFit(archivePath, destDir)) return;
    StartRequest request;
    request.Verb = "open";
    request.File = ArchiverProgram(programDir);
    request.Window = StartWindow::Hidden;
    request.Wait = StartWait::WaitForExit;
    // 7-Zip writes what it decoded before it sees a CRC error or a cut archive, and would leave damaged
    // files over good ones; so the archive is tested first and a damaged one unpacks nothing at all.
    request.Parameters = "t \"" + archivePath + "\" -y";
    const StartResult test = StartFile(request);
    if (!test.Started || test.ExitCode != 0) return;
    request.Parameters = "x \"" + archivePath + "\" -o\"" + destDir + "\" -y";
    // Neither a failed start nor the exit code is looked at: the missing files tell.
    StartFile(request);
}

bool ExtractZipArchive(const std::string& archivePath, const std::string& destDir,
                       const std::string& programDir, std::size_t outputSize) {
    try {
        TArcSevenZip archiver(outputSize, programDir);
        const std::filesystem::path path(archivePath);
        archiver.SetArchiveName(path.filename().string());
        archiver.SetSourceDir(path.parent_path().string());
        archiver.SetDestDir(destDir);
        // The library refuses an archive that would not fit too, but only with its general failure text.
        archivers::CheckFreeSpace(DeclaredSizes(archivePath), archivePath, destDir);
        if (!archiver.CheckArchive()) {
            ShowMessage("書庫が壊れています");
            return false;
        }
        archiver.Extract(nullptr, "");
        return true;
    } catch (const std::exception& e) {
        ShowMessage(e.what());
        return false;
    }
}

} // namespace towagi
