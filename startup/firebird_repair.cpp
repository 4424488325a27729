#include "startup/firebird_repair.h"

#include "apply/archive_extraction.h"
#include "platform/wait_cursor.h"
#include "startup/firebird_recovery_window.h"
#include "startup/shell_execute.h"
#include "support/encoding.h"
#include "support/errors.h"
#include "support/file_utils.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace towagi {

namespace fs = std::filesystem;

std::string FirebirdFolder(const std::string& programDir) {
    std::error_code ignored;
    const fs::path parent = (fs::absolute(programDir, ignored) / "..").lexically_normal();
    return IncludeTrailingSeparator(parent.string()) + kFirebirdFolderName + "/";
}

bool ExtractFirebirdArchive(const EditionProfile& profile, const std::string& archive,
                            const std::string& destination, const std::string& libraryDir) {
    return ExtractZipArchive(archive, destination, libraryDir, profile.SevenZipOutputSize);
}

bool CheckFirebirdFolder(const EditionProfile& profile, const std::string& programDir) {
    const std::string folder = FirebirdFolder(programDir);
    if (DirectoryExists(folder)) return true;
    const std::string archive = IncludeTrailingSeparator(programDir) + kFirebirdFolderName;
    if (!HasAttributes(archive, faArchive)) return false;
    const std::string parent = folder.substr(0, folder.size() - std::string(kFirebirdFolderName).size() - 1);
    return ExtractFirebirdArchive(profile, archive, parent, programDir);
}

// The query's batch lives only while the query runs: written plainly, without the sync a lasting file gets.
void WriteQueryBatch(const std::string& path) {
    const std::string bytes = ToCP932(std::string(kServiceQueryLine) + "\r\n", path);
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    int error = file.IsOpen() ? 0 : errno;
    if (!error && !WriteAll(file.Get(), bytes.data(), bytes.size())) error = errno;
    if (!error) error = file.Close();
    if (error) throw EInOutError("ファイル " + path + " を作成できません: " + SystemErrorText(error), error);
}

void DeleteServiceQueryFiles(const std::string& programDir) {
    const std::string dir = IncludeTrailingSeparator(programDir);
    ::unlink((dir + kServiceQueryBatch).c_str());
    ::unlink((dir + kServiceQueryOutput).c_str());
}

bool QueryFirebirdService(const std::string& programDir) {
    const std::string dir = IncludeTrailingSeparator(programDir);
    DeleteServiceQueryFiles(dir);
    WriteQueryBatch(dir + kServiceQueryBatch);
    if (!ShellExecuteAndWait("", dir + kServiceQueryBatch, "")) return false;
    bool noService = false;
    {
        const std::string output = dir + kServiceQueryOutput;
        std::ifstream lines(output, std::ios::binary);
        if (!lines) {
            const int error = errno;
            throw EInOutError("ファイル " + output + " は開けません: " + SystemErrorText(error), error);
        }
        // Any byte at all makes at least one line.
        noService = lines.peek() == std::ifstream::traits_type::eof();
    }
    DeleteServiceQueryFiles(dir);
    return noService;
}

bool CheckFirebirdService(const EditionProfile& profile, const std::string& programDir) {
    WaitCursor hourglass;
    if (!QueryFirebirdService(programDir)) return true;
    bool confirmed = false;
    {
        TFirebirdRecoveryWindow window(profile);
        confirmed = window.exec() == QDialog::Accepted;
    }
    if (!confirmed) return false;
    return ShellExecuteAndWait("runas", FirebirdFolder(programDir) + kFirebirdInstallScript, "");
}

} // namespace towagi
