#include "support/file_utils.h"

#include "support/errors.h"
#include "support/text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace towagi {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
}

int FileDescriptor::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileDescriptor::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int FileDescriptor::Close() {
    if (fd_ < 0) return 0;
    // Linux releases the descriptor even when close fails, so it must never be closed twice.
    int result = ::close(Release());
    return result == 0 ? 0 : errno;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

namespace {

constexpr std::size_t CopyBlockSize = 8192;

// The last name of a path, ignoring trailing slashes.
std::string NameOf(const std::string& path) {
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return {};
    std::size_t slash = path.rfind('/', end);
    std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(begin, end + 1 - begin);
}

std::string ExpandFileName(const std::string& path) {
    if (path.empty()) return path;
    std::filesystem::path full(path);
    if (full.is_relative()) {
        std::error_code error;
        std::filesystem::path current = std::filesystem::current_path(error);
        if (error) return path;
        full = current / full;
    }
    return full.lexically_normal().string();
}

// Fails the copy for the destination; the old file is left as it was.
[[noreturn]] void ThrowCreateError(const std::string& destination, int errorCode) {
    throw EInOutError("ファイル " + destination + " を作成できません", errorCode);
}

// Removes a half-made copy unless it was put into place.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!kept_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& Path() const { return path_; }
    void Keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

// A name pattern as the suite writes it: only * and ? are wildcards, brackets and backslashes are ordinary
// characters, and a final ".*" also matches a name without any dot ("*.*" means every file).
class WildcardMask {
public:
    explicit WildcardMask(const std::string& pattern) : mask_(Escaped(pattern)) {
        if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0)
            withoutDot_ = Escaped(pattern.substr(0, pattern.size() - 2));
    }
    bool Matches(const std::string& name) const {
        return fnmatch(mask_.c_str(), name.c_str(), FNM_CASEFOLD) == 0 ||
               (withoutDot_ && name.find('.') == std::string::npos &&
                fnmatch(withoutDot_->c_str(), name.c_str(), FNM_CASEFOLD) == 0);
    }

private:
    static std::string Escaped(const std::string& pattern) {
        std::string result;
        for (char c : pattern) {
            if (c == '[' || c == ']' || c == '\\') result += '\\';
            result += c;
        }
        return result;
    }
    std::string mask_;
    std::optional<std::string> withoutDot_;
};

constexpr const char* kTemporaryMark = ".towagi-";

// When the process with this id started, in seconds since the epoch; -1 when that cannot be told.
long long ProcessStartTime(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name in brackets may hold blanks; the fields after it are counted from its end.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    unsigned long long ticks = 0;
    // Field 22, the start time in clock ticks after boot, is the 20th after the bracket.
    for (int i = 0; i < 20 && fields >> field; ++i) {
        if (i == 19) ticks = std::stoull(field);
    }
    if (!fields) return -1;
    std::ifstream machine("/proc/stat");
    std::string key;
    long long boot = -1;
    while (machine >> key) {
        if (key == "btime") {
            machine >> boot;
            break;
        }
    }
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    if (boot < 0 || perSecond <= 0) return -1;
    return boot + static_cast<long long>(ticks / static_cast<unsigned long long>(perSecond));
}

// Whether the process that wrote a temporary file last changed at `changed` may still be writing it.
bool WriterMayRun(pid_t pid, std::time_t changed) {
    if (pid == ::getpid()) return true;
    if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
    // Process ids are reused: a process that started after the file was last written is not its writer.
    // Boot time is whole seconds, so a second's margin keeps a real writer safe.
    const long long started = ProcessStartTime(pid);
    return started < 0 || started <= static_cast<long long>(changed) + 1;
}

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// The first plain, not hidden file of `folder` whose name matches.
std::optional<std::string> FindFirstFile(const std::string& folder, const WildcardMask& mask) {
    Directory directory(opendir(folder.empty() ? "." : folder.c_str()));
    if (!directory) return std::nullopt;
    while (dirent* entry = readdir(directory.get())) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.' || !mask.Matches(name)) continue;
        struct stat info;
        if (fstatat(dirfd(directory.get()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(info.st_mode)) return name;
    }
    return std::nullopt;
}

} // namespace

std::time_t EvenLocalSecond(std::time_t time) {
    std::tm local{};
    if (localtime_r(&time, &local) && local.tm_sec % 2 != 0) return time - 1;
    return time;
}

std::string IncludeTrailingSeparator(const std::string& folder) {
    return folder.empty() || folder.back() == '/' ? folder : folder + "/";
}

bool DirectoryExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored);
}

std::string FindFileIgnoringCase(const std::string& folder, const std::string& name) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::is_regular_file(folder + name, error)) return folder + name;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string entry = it->path().filename().string();
        std::error_code ignored;
        if (SameText(entry, name) && it->is_regular_file(ignored)) return folder + entry;
    }
    return "";
}

bool MatchesFileMask(const std::string& name, const std::string& mask) {
    return WildcardMask(mask).Matches(name);
}

int GetFileAttributes(const std::string& path) {
    struct stat info;
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return -1;
    int attributes = 0;
    if (S_ISDIR(info.st_mode)) attributes |= faDirectory;
    if (S_ISREG(info.st_mode)) attributes |= faArchive;
    if ((info.st_mode & S_IWUSR) == 0) attributes |= faReadOnly;
    std::string name = NameOf(path);
    if (!name.empty() && name[0] == '.' && name != "." && name != "..") attributes |= faHidden;
    return attributes;
}

bool HasAttributes(const std::string& fileName, int attributes) {
    int present = GetFileAttributes(fileName);
    return present != -1 && (present & attributes) == attributes;
}

void CopyFileWithDate(const std::string& source, const std::string& destination) {
    // Non-blocking only so that a FIFO given by mistake cannot hang the update; it is refused below. A
    // symbolic link is never followed: its target may lie anywhere.
    FileDescriptor input(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    struct stat sourceInfo;
    int openError = 0;
    if (!input.IsOpen() || ::fstat(input.Get(), &sourceInfo) != 0)
        openError = errno;
    else if (!S_ISREG(sourceInfo.st_mode))
        openError = S_ISDIR(sourceInfo.st_mode) ? EISDIR : EINVAL;
    if (openError != 0) throw EInOutError("ファイル " + source + " は開けません", openError);

    std::string target = ExpandFileName(destination);
    if (HasAttributes(target, faDirectory)) {
        if (target.back() != '/') target += '/';
        target += NameOf(source);
    }
    std::size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string name = target.substr(folder.size());
    if (name.empty()) ThrowCreateError(target, ENOENT);

    // Refuse what creating the file refuses on the suite's home platform; rename alone would replace a
    // read-only file.
    struct stat targetInfo;
    if (::stat(target.c_str(), &targetInfo) == 0) {
        if (S_ISDIR(targetInfo.st_mode)) ThrowCreateError(target, EISDIR);
        if (!S_ISREG(targetInfo.st_mode)) ThrowCreateError(target, EINVAL);
        if ((targetInfo.st_mode & S_IWUSR) == 0) ThrowCreateError(target, EACCES);
    }

    std::string pattern = TemporaryFilePattern(folder, name);
    FileDescriptor output(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!output.IsOpen()) ThrowCreateError(target, errno);
    TemporaryFile temporary(pattern);

    auto readError = [&](int errorCode) {
        return EInOutError("ファイル " + source + " を読み込めません: " + SystemErrorText(errorCode),
                           errorCode);
    };
    auto writeError = [&](int errorCode) {
        return EInOutError("ファイル " + target + " に書き込めません: " + SystemErrorText(errorCode),
                           errorCode);
    };

    std::array<char, CopyBlockSize> buffer;
    for (;;) {
        ssize_t got = ::read(input.Get(), buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            throw readError(errno);
        }
        if (got > 0 && !WriteAll(output.Get(), buffer.data(), static_cast<std::size_t>(got)))
            throw writeError(errno);
        if (static_cast<std::size_t>(got) < buffer.size()) break;
    }

    // A copied program must stay executable; a read-only source still gives a file that later updates
    // can replace.
    if (::fchmod(output.Get(), (sourceInfo.st_mode & 0777) | S_IWUSR) != 0) throw writeError(errno);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {EvenLocalSecond(sourceInfo.st_mtim.tv_sec), 0}};
    if (::futimens(output.Get(), times) != 0) throw writeError(errno);
    // The old file is replaced only by a copy that is on the disk, so a power cut cannot leave half a
    // program.
    if (::fsync(output.Get()) != 0) throw writeError(errno);
    if (int error = output.Close()) throw writeError(error);
    if (::rename(temporary.Path().c_str(), target.c_str()) != 0) ThrowCreateError(target, errno);
    temporary.Keep();
}

std::string TemporaryFilePattern(const std::string& folder, const std::string& name) {
    return folder + "." + name.substr(0, 200) + kTemporaryMark + std::to_string(::getpid()) + ".XXXXXX";
}

pid_t TemporaryFileOwner(std::string_view name) {
    constexpr std::size_t kRandomLength = 6;
    if (name.size() < 2 + kRandomLength || name.front() != '.') return 0;
    const std::string_view random = name.substr(name.size() - kRandomLength);
    if (!std::all_of(random.begin(), random.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
        return 0;
    std::string_view rest = name.substr(0, name.size() - kRandomLength);
    if (rest.back() != '.') return 0;
    rest.remove_suffix(1);
    const std::size_t digits = rest.find_last_not_of("0123456789");
    if (digits == std::string_view::npos || rest.size() - digits - 1 == 0 || rest.size() - digits - 1 > 9) return 0;
    const std::string_view mark(kTemporaryMark);
    const std::string_view head = rest.substr(0, digits + 1);
    // A name of its own must stand between the leading dot and the mark.
    if (head.size() <= mark.size() + 1 || head.substr(head.size() - mark.size()) != mark) return 0;
    return static_cast<pid_t>(std::stol(std::string(rest.substr(digits + 1))));
}

std::vector<std::string> RemoveLeftoverTemporaries(const std::string& folder) {
    std::vector<std::string> removed;
    Directory directory(opendir(folder.c_str()));
    if (!directory) return removed;
    std::vector<std::string> leftovers;
    while (dirent* entry = readdir(directory.get())) {
        const std::string name = entry->d_name;
        const pid_t owner = TemporaryFileOwner(name);
        if (owner <= 0) continue;
        struct stat info;
        if (fstatat(dirfd(directory.get()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        if (!WriterMayRun(owner, info.st_ctim.tv_sec)) leftovers.push_back(name);
    }
    for (const std::string& name : leftovers) {
        if (::unlinkat(dirfd(directory.get()), name.c_str(), 0) == 0) removed.push_back(name);
    }
    return removed;
}

std::vector<std::string> FindFiles(const std::string& pattern, int attributes) {
    namespace fs = std::filesystem;
    const std::size_t slash = pattern.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
    const WildcardMask mask(pattern.substr(slash == std::string::npos ? 0 : slash + 1));
    const int special = faHidden | faSysFile | faDirectory;
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        int found = 0;
        std::error_code ignored;
        if (it->is_directory(ignored)) found |= faDirectory;
        if (name.front() == '.') found |= faHidden;
        if ((found & special & ~attributes) != 0 || !mask.Matches(name)) continue;
        names.push_back(name);
    }
    return names;
}

void ReplaceFileContent(const std::string& path, std::string_view bytes) {
    auto writeError = [&](int errorCode) {
        return EInOutError("ファイル " + path + " に書き込めません: " + SystemErrorText(errorCode), errorCode);
    };
    const std::string target = ExpandFileName(path);
    const std::string folder = target.substr(0, target.rfind('/') + 1);
    mode_t mode = 0644;
    struct stat info;
    if (::stat(target.c_str(), &info) == 0) mode = info.st_mode & 07777;

    std::string pattern = TemporaryFilePattern(folder, NameOf(target));
    FileDescriptor output(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!output.IsOpen()) ThrowCreateError(target, errno);
    TemporaryFile temporary(pattern);
    if (!WriteAll(output.Get(), bytes.data(), bytes.size())) throw writeError(errno);
    if (::fchmod(output.Get(), mode) != 0) throw writeError(errno);
    if (::fsync(output.Get()) != 0) throw writeError(errno);
    if (int error = output.Close()) throw writeError(error);
    if (::rename(temporary.Path().c_str(), target.c_str()) != 0) throw writeError(errno);
    temporary.Keep();
}

bool DeleteFilesByMask(const std::string& folder, const std::string& pattern) {
    // The folder and the pattern are joined as given, so the search folder is what the joined text names.
    std::string joined = folder + pattern;
    std::size_t slash = joined.rfind('/');
    std::string searchFolder = slash == std::string::npos ? std::string() : joined.substr(0, slash + 1);
    WildcardMask mask(joined.substr(searchFolder.size()));
    while (std::optional<std::string> found = FindFirstFile(searchFolder, mask)) {
        // The file found, not folder + name: with a folder given without its "/" or a pattern that names a
        // sub-folder the two differ, and the other name may be a file that must stay.
        std::string path = searchFolder + *found;
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0) return false;
        if ((info.st_mode & S_IWUSR) == 0) return false;
        if (::unlink(path.c_str()) != 0) return false;
    }
    return true;
}

} // namespace towagi
