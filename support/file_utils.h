#pragma once
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace towagi {

// Owns one file descriptor and closes it on every path out of its scope.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { Reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    int Release();
    void Reset(int fd = -1);
    // Closes now and reports the outcome: 0, or the errno of a failed close.
    int Close();

private:
    int fd_ = -1;
};

// Writes every byte, continuing after partial writes and interrupted calls. False with errno set on failure.
bool WriteAll(int fd, const char* data, std::size_t size);

// Attribute bits with the values the suite's file lists use. On this platform: a folder is a directory; a
// name beginning with "." is hidden; read-only means the owner has no write permission; every plain file
// carries the archive bit; the system bit is never set.
constexpr int faReadOnly = 0x01;
constexpr int faHidden = 0x02;
constexpr int faSysFile = 0x04;
constexpr int faDirectory = 0x10;
constexpr int faArchive = 0x20;
// Plain files of any attribute, but no folders.
inline constexpr int kAnyPlainFile = faReadOnly | faHidden | faSysFile | faArchive;

// The folder with one trailing "/"; "" stays "" (no folder is not the root).
std::string IncludeTrailingSeparator(const std::string& folder);
// Whether the path names an existing folder (symbolic links followed).
bool DirectoryExists(const std::string& path);

// The attribute bits of a file or folder (symbolic links followed); -1 when it cannot be read.
int GetFileAttributes(const std::string& path);

// True when the file exists and has every one of the given bits.
bool HasAttributes(const std::string& fileName, int attributes);

// The time rounded down to an even local second: the resolution at which the suite compares file times.
std::time_t EvenLocalSecond(std::time_t time);

// Copies a file keeping its modification time, rounded down to an even local second. `destination` is a
// file name or an existing folder (the source's name is appended). The copy goes to a temporary file
// beside the destination that replaces it only when complete, so a failed copy leaves the old file as it
// was. A source that is a symbolic link is refused, never followed. Raises EInOutError: "ファイル <source>
// は開けません", "ファイル <destination> を作成できません" (a read-only destination, a missing or unwritable
// folder), or a read or write error naming the file.
void CopyFileWithDate(const std::string& source, const std::string& destination);

// The launcher writes a file under a hidden temporary name in the file's own folder and renames it into
// place only when it is complete: "." + the name (its first 200 bytes) + ".towagi-" + the writer's process
// id + "." + six letters or digits. This is that name's pattern, ending in the "XXXXXX" that mkostemp
// fills in; `folder` ends with "/" or is empty.
std::string TemporaryFilePattern(const std::string& folder, const std::string& name);

// The process id that a temporary name of the form above carries; 0 for any other name.
pid_t TemporaryFileOwner(std::string_view name);

// A launcher killed while it wrote leaves its temporary file behind. Deletes from `folder` (ends with
// "/"; sub-folders are not entered) every plain file with a temporary name whose writer no longer runs -
// no process has its id, or the one that has it started after the file was last written - and returns
// their names. Files of a writer that may still run, and every other file, stay. A missing folder is none.
std::vector<std::string> RemoveLeftoverTemporaries(const std::string& folder);

// Whether a file name matches a mask as the suite writes it: only * and ? are wildcards, letter case is
// ignored, and a final ".*" also matches a name without any dot.
bool MatchesFileMask(const std::string& name, const std::string& mask);

// folder + name when that file exists, else the first plain file of the folder whose name differs only in
// ASCII letter case, as the suite's home file system finds it; "" when there is none. `folder` ends with "/".
std::string FindFileIgnoringCase(const std::string& folder, const std::string& name);

// The names (no folder) of the entries matching pattern = folder + mask (wildcards * and ?, letter case
// ignored), in the order the file system lists them. Hidden entries and folders count only when
// `attributes` names them; an entry whose type cannot be read counts as a file, so that the step that uses
// it reports it. A folder that cannot be read lists nothing.
std::vector<std::string> FindFiles(const std::string& pattern, int attributes);

// Replaces a file's whole content: the bytes go to a temporary file beside it that is synced and renamed
// over it only when complete, so a crash leaves either the old content or the new one. The file keeps its
// permission bits (0644 for a new one). Raises EInOutError naming the file.
void ReplaceFileContent(const std::string& path, std::string_view bytes);

// Deletes every plain file matching folder + pattern (wildcards * and ?, letter case ignored); hidden files
// never match. `folder` ends with "/". False when a matching file could not be deleted - a read-only file
// is refused as on the suite's home platform; the files after it stay.
bool DeleteFilesByMask(const std::string& folder, const std::string& pattern);

} // namespace towagi
