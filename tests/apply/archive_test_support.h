#pragma once
// What the archive tests share: small archives written byte by byte, so that a test controls every name
// byte, CRC and header field (ZIP and LHA archives with stored entries; both formats keep names as the
// bytes given, so CP932 names are passed as CP932 bytes), recorded message boxes and folder listings.
#include "platform/prompts.h"

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace towagi::testing {

enum class EntryKind { File, Folder, Link };

struct ArchiveItem {
    std::string Name; // bytes as stored; '/' separates folders (written as the format wants)
    std::string Data; // a file's content, a link's target
    EntryKind Kind = EntryKind::File;
    // ZIP only: the unpacked size the headers declare (in ZIP64 fields) instead of the data's own size.
    long long DeclaredSize = -1;
};

// The time every fixture entry carries: 2020-01-02 03:04:06 local time.
std::time_t FixtureTime();

// A ZIP archive (entries "stored", written by an MS-DOS system; links by a Unix system).
// `utf8Names` sets the flag that marks names as UTF-8.
std::string MakeZip(const std::vector<ArchiveItem>& items, bool utf8Names = false);

// An LHA archive with "-lh0-" (stored) entries and headers of the given level:
// level 0: the whole path in the name field, folders separated by '\';
// level 1: the file name in the base header, the folders in a directory extension (0xFF-separated);
// level 2: file name and folders in extensions, a header CRC in the common extension.
// Folders are "-lhd-" entries; a link is a "-lhd-" entry with Unix mode 0120777 and the name
// "name|target" (levels 1 and 2 only). The archive ends with the zero byte LHA writers put there.
std::string MakeLzh(const std::vector<ArchiveItem>& items, int level);

// Every file and folder below a folder, hidden ones included, by relative name (folders end with '/'),
// with the files' contents.
std::map<std::string, std::string> Tree(const std::string& folder);

// Whether the process has the library at that path loaded.
bool IsLoaded(const std::string& path);

// The message of the error of that class the action raises, or "(no error)".
template <typename Error> std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

// Records the message boxes shown while it lives instead of showing them.
class ScopedPrompts {
public:
    ScopedPrompts();
    ~ScopedPrompts();
    ScopedPrompts(const ScopedPrompts&) = delete;
    ScopedPrompts& operator=(const ScopedPrompts&) = delete;
    // The texts of plain message boxes; a box of another kind is marked with a leading "?".
    std::vector<std::string> Messages() const;

private:
    class Recorded;
    std::shared_ptr<Recorded> boxes_;
};

} // namespace towagi::testing
