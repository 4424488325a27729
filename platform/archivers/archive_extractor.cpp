#include "platform/archivers/archive_extractor.h"

#include "platform/archivers/archiver_api.h"
#include "platform/archivers/command_text.h"
#include "support/errors.h"
#include "support/file_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace towagi::archivers {
namespace {

[[noreturn]] void CannotWrite(const std::string& path, int error) {
    throw EArchiverError(kArchiverCannotWrite,
                         "書き込めません: " + path + " (" + SystemErrorText(error) + ")");
}

std::string Joined(const std::vector<std::string>& components, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; ++i)
        path += (i ? "/" : "") + components[i];
    return path;
}

// The destination folder; folders below it are opened step by step without following symbolic links, so
// a link already lying in the destination cannot lead a file outside it either.
class Destination {
public:
    explicit Destination(const std::string& dir) : dir_(dir) {
        std::error_code ignored;
        std::filesystem::create_directories(dir, ignored);
        root_.Reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!root_.IsOpen()) CannotWrite(dir, errno);
    }

    // The folder of the first `count` components, created when missing.
    FileDescriptor Folder(const std::vector<std::string>& components, size_t count) const {
        FileDescriptor current(fcntl(root_.Get(), F_DUPFD_CLOEXEC, 0));
        if (!current.IsOpen()) CannotWrite(dir_, errno);
        for (size_t i = 0; i < count; ++i) {
            const char* name = components[i].c_str();
            const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
            FileDescriptor next(openat(current.Get(), name, flags));
            if (!next.IsOpen() && errno == ENOENT) {
                if (mkdirat(current.Get(), name, 0777) != 0 && errno != EEXIST)
                    CannotWrite(dir_ + Joined(components, i + 1), errno);
                next.Reset(openat(current.Get(), name, flags));
            }
            // ELOOP: a symbolic link; ENOTDIR: a file where the archive has a folder.
            if (!next.IsOpen()) CannotWrite(dir_ + Joined(components, i + 1), errno);
            current = std::move(next);
        }
        return current;
    }

private:
    std::string dir_;
    FileDescriptor root_;
};

// A file written under a temporary name in its final folder; removed unless it was renamed into place.
class PendingFile {
public:
    // The name is the launcher's temporary name for `leaf`, so a start after a killed extraction finds it.
    PendingFile(int folder, const std::string& leaf, mode_t mode, std::string shownPath)
        : folder_(folder), shown_(std::move(shownPath)) {
        static std::atomic<unsigned> counter{0};
        std::string pattern = TemporaryFilePattern("", leaf);
        pattern.resize(pattern.size() - 6);
        for (int attempt = 0; attempt < 100 && !fd_.IsOpen(); ++attempt) {
            char random[8];
            std::snprintf(random, sizeof random, "%06u", counter++ % 1000000u);
            name_ = pattern + random;
            fd_.Reset(
                openat(folder, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
            if (!fd_.IsOpen() && errno != EEXIST) break;
        }
        if (!fd_.IsOpen()) CannotWrite(shown_, errno);
    }
    ~PendingFile() {
        if (committed_) return;
        fd_.Reset();
        unlinkat(folder_, name_.c_str(), 0);
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    void Write(const char* data, size_t size, long long offset) {
        while (size > 0) {
            const ssize_t done = pwrite(fd_.Get(), data, size, static_cast<off_t>(offset));
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) CannotWrite(shown_, done < 0 ? errno : ENOSPC);
            data += done;
            size -= static_cast<size_t>(done);
            offset += done;
        }
    }

    void Commit(const std::string& leaf, std::time_t modificationTime) {
        const timespec times[2] = {{modificationTime, 0}, {modificationTime, 0}};
        if (futimens(fd_.Get(), times) != 0) CannotWrite(shown_, errno);
        if (const int error = fd_.Close()) CannotWrite(shown_, error);
        if (renameat(folder_, name_.c_str(), folder_, leaf.c_str()) != 0) CannotWrite(shown_, errno);
        committed_ = true;
    }

private:
    int folder_;
    std::string shown_;
    std::string name_;
    FileDescriptor fd_;
    bool committed_ = false;
};

bool Matches(const std::string& spec, const ArchiveEntryInfo& info) {
    std::string pattern = spec;
    for (char& c : pattern)
        if (c == '\\') c = '/';
    const bool withFolder = pattern.find('/') != std::string::npos;
    const std::string name =
        withFolder ? Joined(info.Components, info.Components.size()) : info.Components.back();
    return MatchesFileMask(name, pattern);
}

bool Wanted(const ExtractRequest& request, const ArchiveEntryInfo& info) {
    if (request.FileSpecs.empty()) return true;
    for (const std::string& spec : request.FileSpecs)
        if (!info.Components.empty() && Matches(spec, info)) return true;
    return false;
}

bool ExistingIsAsNew(int folder, const std::string& leaf, std::time_t archiveTime) {
    struct stat info {};
    return fstatat(folder, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && info.st_mtime >= archiveTime;
}

} // namespace

std::vector<std::string> ExtractFiles(const ExtractRequest& request) {
    if (request.DestDir.empty()) throw EArchiverError(kArchiverBadCommand, "展開先がありません");
    {
        // Headers only: an archive with one unsafe entry is refused before a single file is written.
        ArchiveReader check(request.Format, request.ArchivePath, request.Passphrase);
        ArchiveEntryInfo info;
        std::vector<bool> matched(request.FileSpecs.size(), false);
        std::vector<long long> sizes;
        while (check.Next(info)) {
            for (size_t i = 0; i < request.FileSpecs.size(); ++i)
                if (!info.Components.empty() && Matches(request.FileSpecs[i], info)) matched[i] = true;
            if (!info.Directory && Wanted(request, info)) sizes.push_back(info.Size);
            check.SkipData();
        }
        // A specification that matches nothing is a failure, not an empty success: it is also what a
        // destination folder without its trailing '/' turns into.
        for (size_t i = 0; i < matched.size(); ++i)
            if (!matched[i])
                throw EArchiverError(kArchiverNotFound, "ファイルが見つかりません: " + request.FileSpecs[i]);
        CheckFreeSpace(sizes, request.ArchivePath, request.DestDir);
    }
    const std::string destDir = request.DestDir.back() == '/' ? request.DestDir : request.DestDir + "/";
    Destination destination(destDir);
    ArchiveReader reader(request.Format, request.ArchivePath, request.Passphrase);
    std::vector<std::string> written;
    ArchiveEntryInfo info;
    while (reader.Next(info)) {
        if (info.Components.empty() || (info.Directory && !request.KeepFolders) || !Wanted(request, info)) {
            reader.SkipData();
            continue;
        }
        if (info.Directory) {
            destination.Folder(info.Components, info.Components.size());
            reader.SkipData();
            continue;
        }
        const std::vector<std::string> place =
            request.KeepFolders ? info.Components : std::vector<std::string>{info.Components.back()};
        const std::string relative = Joined(place, place.size());
        FileDescriptor folder = destination.Folder(place, place.size() - 1);
        if (request.Existing == Overwrite::WhenArchiveNewer &&
            ExistingIsAsNew(folder.Get(), place.back(), info.ModificationTime)) {
            reader.SkipData();
            continue;
        }
        PendingFile file(folder.Get(), place.back(), (info.Permissions & 0111) ? 0777 : 0666, destDir + relative);
        reader.ReadData(
            [&](const char* data, size_t size, long long offset) { file.Write(data, size, offset); });
        file.Commit(place.back(), info.ModificationTime);
        written.push_back(relative);
    }
    return written;
}

} // namespace towagi::archivers
