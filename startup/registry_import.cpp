#include "startup/registry_import.h"

#include "support/encoding.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/settings.h"
#include "support/text.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>

namespace towagi {
namespace {

// The import log's lines as the list the log is loaded into: CR LF, LF or CR end a line, and a final line
// without its end counts.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

// The name behind the fixed-width time of an entry.
std::string EntryName(const std::string& entry) {
    return entry.substr(entry.find('|') + 1);
}

} // namespace

std::time_t RegistryFileCutOff() {
    std::time_t cutOff = 0;
    ParseDateTime(std::string(kRegistryFileCutOffDate) + " 00:00:00", cutOff);
    return cutOff;
}

std::vector<TRegistryWrite> ReadRegistryWrites(const std::string& path) {
    const RegistryFile file = RegistryFile::Load(path);
    std::vector<TRegistryWrite> writes;
    for (const RegistrySection& section : file.Sections()) {
        for (const RegistryEntry& entry : section.Entries) {
            // An empty value is passed over; whatever the store holds under that name stays.
            if (entry.Value.empty()) continue;
            writes.push_back({section.IsCurrentUser, "\\" + section.KeyPath, entry.ValueName(), file.Decode(entry)});
        }
    }
    return writes;
}

void WriteRegistryValues(const std::vector<TRegistryWrite>& writes) {
    for (const TRegistryWrite& write : writes) {
        // A key that cannot be opened is passed over; the file still counts as applied.
        if (write.Value.Kind == ValueKind::Integer) {
            if (write.CurrentUser)
                WriteSettingInteger(write.Key, write.Name, write.Value.Integer, true);
            else
                WriteMachineInteger(write.Key, write.Name, write.Value.Integer, true);
        } else {
            if (write.CurrentUser)
                WriteSettingString(write.Key, write.Name, write.Value.Text, true);
            else
                WriteMachineString(write.Key, write.Name, write.Value.Text, true);
        }
    }
}

void ApplyRegistryFile(const std::string& path) {
    WriteRegistryValues(ReadRegistryWrites(path));
}

TVORNReg::TVORNReg(const std::string& folder, const std::string& logFileName)
    : logPath_(IncludeTrailingSeparator(folder) + logFileName) {
    struct stat info;
    if (::stat(logPath_.c_str(), &info) == 0) return;
    FileDescriptor log(::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!log.IsOpen()) {
        const int error = errno;
        throw EInOutError("ファイル " + logPath_ + " を作成できません: " + SystemErrorText(error), error);
    }
}

int TVORNReg::ListNewRegFiles(const std::string& pattern, int attributes, std::vector<std::string>& list) {
    const std::string folder = pattern.substr(0, pattern.rfind('/') + 1);
    const std::time_t cutOff = RegistryFileCutOff();
    int added = 0;
    for (const std::string& name : FindFiles(pattern, attributes)) {
        struct stat info;
        if (::stat((folder + name).c_str(), &info) != 0 || S_ISDIR(info.st_mode)) continue;
        if (info.st_mtim.tv_sec <= cutOff) continue;
        list.push_back(FormatDateTime(info.st_mtim.tv_sec) + "|" + name);
        ++added;
    }
    return added;
}

void TVORNReg::LoadLog() {
    std::ifstream in(logPath_, std::ios::binary);
    if (!in) {
        const int error = errno;
        throw EInOutError("ファイル " + logPath_ + " は開けません: " + SystemErrorText(error), error);
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw EInOutError("ファイル " + logPath_ + " を読み込めません: " + SystemErrorText(EIO), EIO);
    logLines_ = SplitLines(FromCP932(bytes, logPath_));
}

bool TVORNReg::IsNewRegFile(const std::string& path, std::string& entry) {
    std::vector<std::string> found;
    if (ListNewRegFiles(path, kAnyPlainFile, found) != 1) return false;
    LoadLog();
    if (std::any_of(logLines_.begin(), logLines_.end(),
                    [&](const std::string& line) { return SameText(line, found.front()); })) {
        logLines_.clear();
        return false;
    }
    entry = found.front();
    return true;
}

void TVORNReg::ImportFile(const std::string& path) {
    // The working copy of the log is emptied on every path out, errors included.
    struct ClearLines {
        std::vector<std::string>& lines;
        ~ClearLines() { lines.clear(); }
    } clearLines{logLines_};

    std::string entry;
    if (!IsNewRegFile(path, entry)) return;
    // Everything that can fail on the file's side fails here, before the first value is written.
    const std::vector<TRegistryWrite> writes = ReadRegistryWrites(path);
    logLines_.push_back(entry);
    std::string log;
    for (const std::string& line : logLines_) log += line + "\r\n";
    const std::string bytes = ToCP932(log, logPath_);

    WriteRegistryValues(writes);
    ReplaceFileContent(logPath_, bytes);
}

void TVORNReg::ImportFolder(const std::string& folder) {
    const std::string dir = IncludeTrailingSeparator(folder);
    std::vector<std::string> entries;
    ListNewRegFiles(dir + "*.reg", kAnyPlainFile, entries);
    // The entries begin with their fixed-width time: sorted as text they come oldest first, and files of
    // the same time in name order. Entries that differ only in letter case count once, as in the log.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const std::string& a, const std::string& b) { return LowerCase(a) < LowerCase(b); });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const std::string& a, const std::string& b) { return SameText(a, b); }),
                  entries.end());
    // The log is read once for the folder: a file it names already is passed over here rather than listed and
    // looked up again on its own. The others go through ImportFile, which checks them once more; a log that
    // cannot be read is told there.
    std::vector<std::string> logged;
    if (!entries.empty()) {
        try {
            LoadLog();
            logged = std::move(logLines_);
        } catch (const std::exception&) {
        }
        logLines_.clear();
    }
    for (const std::string& entry : entries) {
        if (std::any_of(logged.begin(), logged.end(), [&](const std::string& line) { return SameText(line, entry); }))
            continue;
        ImportFile(dir + EntryName(entry));
    }
}

} // namespace towagi
