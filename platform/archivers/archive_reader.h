#pragma once
#include <ctime>
#include <functional>
#include <locale.h>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

struct archive;
struct archive_entry;

namespace towagi::archivers {

// ZipOrLha: whichever of the two the content is, as 7-Zip takes an archive whatever its name.
enum class ArchiveFormat { Zip, Lha, ZipOrLha };

// libarchive converts entry names between the archive's CP932 and the current locale's character set;
// the thread runs in C.UTF-8 while this lives, and the host program's own locale is left as it was.
class Utf8ThreadLocale {
public:
    Utf8ThreadLocale();
    ~Utf8ThreadLocale();
    Utf8ThreadLocale(const Utf8ThreadLocale&) = delete;
    Utf8ThreadLocale& operator=(const Utf8ThreadLocale&) = delete;

private:
    locale_t locale_;
    locale_t previous_;
};

struct ArchiveEntryInfo {
    std::string Name;                    // as the archive names it, in UTF-8
    std::vector<std::string> Components; // the folders and the name below the destination
    bool Directory = false;
    std::time_t ModificationTime = 0;
    mode_t Permissions = 0;
    long long Size = -1; // the unpacked size the header declares; -1 when it declares none
};

// The folders and the name an entry name stands for, '/' and '\' both separating. Raises EArchiverError
// (kArchiverBroken) for an absolute name, a drive letter or a ".." step: such an entry would land outside
// the destination. Empty and "." steps are dropped.
std::vector<std::string> SafeComponents(const std::string& name);

// Reads one archive entry by entry. Every failure raises EArchiverError naming the archive: one that cannot
// be opened kArchiverCannotOpen; a damaged or truncated archive, a CRC error, a name that does not convert,
// an unsafe name and any entry other than a file or folder (links, devices) kArchiverBroken.
class ArchiveReader {
public:
    // `passphrase` in the archive's own bytes (CP932); empty for none.
    ArchiveReader(ArchiveFormat format, const std::string& path, const std::string& passphrase);

    // False after the last entry.
    bool Next(ArchiveEntryInfo& info);
    // The current entry as libarchive holds it, for copying into another archive.
    archive_entry* Entry() const { return entry_; }
    // Hands every block of the current entry's data to the sink, with its offset; the CRC is checked
    // after the last block, so a sink must not treat its data as good before this returns. Data beyond the
    // size the header declares is damage: the free-space check before unpacking relies on that size.
    void ReadData(const std::function<void(const char* data, size_t size, long long offset)>& sink);
    void SkipData();

private:
    [[noreturn]] void Broken(const std::string& entryName) const;

    std::string path_;
    std::unique_ptr<archive, int (*)(archive*)> archive_;
    archive_entry* entry_ = nullptr;
    std::string entryName_;
    long long size_ = 0;
    long long declared_ = -1;
};

// Reads all data of every entry; raises as ArchiveReader does.
void TestArchive(ArchiveFormat format, const std::string& path, const std::string& passphrase);

// Reads every entry's header, skipping the data; raises as ArchiveReader does, so an archive with an entry
// that would land outside its destination (or a link) raises kArchiverBroken. Returns the sizes that the
// files' headers declare (-1 for one that declares none), in the archive's order.
std::vector<long long> CheckEntries(ArchiveFormat format, const std::string& path);

// Refuses, before anything is written, an unpacking that would not fit: raises EArchiverError
// (kArchiverCannotWrite) with "展開先の空き容量が足りません" naming the archive, the destination and both
// figures when the declared sizes, each rounded up to the file system's block, exceed what the file system
// of `destDir` (or of its nearest existing parent) has free for this user.
void CheckFreeSpace(const std::vector<long long>& fileSizes, const std::string& archivePath,
                    const std::string& destDir);

} // namespace towagi::archivers
