#include "platform/archivers/archive_reader.h"

#include "platform/archivers/archiver_api.h"
#include "platform/archivers/command_text.h"
#include "support/file_utils.h"
#include "support/text.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>

namespace towagi::archivers {

Utf8ThreadLocale::Utf8ThreadLocale()
    : locale_(newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0))),
      previous_(locale_ ? uselocale(locale_) : static_cast<locale_t>(0)) {
    if (!locale_) throw EArchiverError(kArchiverBadCommand, "ロケール C.UTF-8 を使えません");
}

Utf8ThreadLocale::~Utf8ThreadLocale() {
    uselocale(previous_);
    freelocale(locale_);
}

std::vector<std::string> SafeComponents(const std::string& name) {
    auto unsafe = [&] { return EArchiverError(kArchiverBroken, "展開先の外を指す名前があります: " + name); };
    if (name.empty()) throw EArchiverError(kArchiverBroken, "名前のない項目があります");
    if (name[0] == '/' || name[0] == '\\') throw unsafe();
    if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':')
        throw unsafe();
    std::vector<std::string> components;
    std::string current;
    auto close = [&] {
        if (current == "..") throw unsafe();
        if (!current.empty() && current != ".") components.push_back(current);
        current.clear();
    };
    for (char c : name) {
        if (c == '/' || c == '\\')
            close();
        else
            current += c;
    }
    close();
    return components;
}

ArchiveReader::ArchiveReader(ArchiveFormat format, const std::string& path, const std::string& passphrase)
    : path_(path), archive_(archive_read_new(), &archive_read_free) {
    // Open once ourselves: a folder or a missing file is "cannot open", not "damaged". Non-blocking only
    // so that a FIFO given by mistake cannot hang the caller; it is refused here.
    FileDescriptor probe(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!archive_ || !probe.IsOpen() || fstat(probe.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        throw EArchiverError(kArchiverCannotOpen, "書庫を開けません: " + path);
    size_ = info.st_size;

    // A ZIP archive is read through its central directory, so one cut short anywhere is seen as damaged.
    archive* a = archive_.get();
    int status = ARCHIVE_OK;
    if (format != ArchiveFormat::Lha) status = archive_read_support_format_zip_seekable(a);
    if (status == ARCHIVE_OK && format != ArchiveFormat::Zip) status = archive_read_support_format_lha(a);
    if (status == ARCHIVE_OK) status = archive_read_set_options(a, "hdrcharset=CP932");
    if (status == ARCHIVE_OK && !passphrase.empty())
        status = archive_read_add_passphrase(a, passphrase.c_str());
    if (status == ARCHIVE_OK) status = archive_read_open_filename(a, path.c_str(), 65536);
    if (status != ARCHIVE_OK) Broken("");
}

void ArchiveReader::Broken(const std::string& entryName) const {
    const char* reason = archive_error_string(archive_.get());
    std::string message = "書庫が壊れています: " + path_;
    if (!entryName.empty()) message += " : " + entryName;
    if (reason) message += std::string(" (") + reason + ")";
    throw EArchiverError(kArchiverBroken, message);
}

bool ArchiveReader::Next(ArchiveEntryInfo& info) {
    entryName_.clear();
    const int status = archive_read_next_header(archive_.get(), &entry_);
    if (status == ARCHIVE_EOF) {
        // Every LHA writer ends the archive with a zero byte after the last entry; without it the archive
        // was cut short at an entry boundary, which the entries themselves cannot show.
        const bool lha = (archive_format(archive_.get()) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_LHA;
        if (lha && archive_read_header_position(archive_.get()) >= size_)
            throw EArchiverError(kArchiverBroken,
                                 "書庫が壊れています: " + path_ + " (書庫の終わりがありません)");
        return false;
    }
    // A warning here is mostly a name that did not convert from CP932: any warning about a header is
    // damage, so such a name is never written to disk.
    if (status != ARCHIVE_OK) Broken("");
    const char* name = archive_entry_pathname(entry_);
    if (!name || !IsValidUTF8(name)) Broken("");
    entryName_ = name;
    info = ArchiveEntryInfo{};
    info.Name = name;
    info.Components = SafeComponents(info.Name);
    const auto type = archive_entry_filetype(entry_);
    if ((type != AE_IFREG && type != AE_IFDIR) || archive_entry_hardlink(entry_) ||
        archive_entry_symlink(entry_))
        throw EArchiverError(kArchiverBroken,
                             "ファイルでもフォルダでもない項目があります: " + path_ + " : " + info.Name);
    info.Directory = type == AE_IFDIR;
    if (!info.Directory && info.Components.empty()) Broken(info.Name);
    info.ModificationTime = archive_entry_mtime(entry_);
    info.Permissions = archive_entry_perm(entry_);
    if (archive_entry_size_is_set(entry_)) info.Size = archive_entry_size(entry_);
    declared_ = info.Directory ? -1 : info.Size;
    return true;
}

void ArchiveReader::ReadData(const std::function<void(const char*, size_t, long long)>& sink) {
    for (;;) {
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int status = archive_read_data_block(archive_.get(), &block, &size, &offset);
        if (status == ARCHIVE_EOF) return;
        // libarchive reports a CRC mismatch as a warning after the last block: it is damage all the same.
        if (status != ARCHIVE_OK) Broken(entryName_);
        if (declared_ >= 0 && (offset < 0 || offset + static_cast<long long>(size) > declared_))
            throw EArchiverError(kArchiverBroken, "書庫が壊れています: " + path_ + " : " + entryName_ +
                                                      " (宣言されたサイズを超えるデータがあります)");
        sink(static_cast<const char*>(block), size, offset);
    }
}

void ArchiveReader::SkipData() {
    if (archive_read_data_skip(archive_.get()) != ARCHIVE_OK) Broken(entryName_);
}

void TestArchive(ArchiveFormat format, const std::string& path, const std::string& passphrase) {
    ArchiveReader reader(format, path, passphrase);
    ArchiveEntryInfo info;
    while (reader.Next(info))
        reader.ReadData([](const char*, size_t, long long) {});
}

std::vector<long long> CheckEntries(ArchiveFormat format, const std::string& path) {
    ArchiveReader reader(format, path, "");
    ArchiveEntryInfo info;
    std::vector<long long> sizes;
    while (reader.Next(info)) {
        if (!info.Directory) sizes.push_back(info.Size);
        reader.SkipData();
    }
    return sizes;
}

void CheckFreeSpace(const std::vector<long long>& fileSizes, const std::string& archivePath,
                    const std::string& destDir) {
    // The destination is created while unpacking; until then its nearest existing parent holds it.
    std::error_code error;
    std::filesystem::path folder = std::filesystem::absolute(destDir, error).lexically_normal();
    if (error || folder.empty()) return;
    struct statvfs info {};
    while (::statvfs(folder.c_str(), &info) != 0) {
        if (errno != ENOENT || folder == folder.root_path() || folder.parent_path() == folder)
            return; // No file system to ask: the writes themselves report a full disk.
        folder = folder.parent_path();
    }
    const unsigned long long block = info.f_frsize ? info.f_frsize : 4096;
    unsigned long long needed = 0;
    for (long long size : fileSizes) {
        if (size <= 0) continue;
        needed += (static_cast<unsigned long long>(size) + block - 1) / block * block;
    }
    const unsigned long long available = static_cast<unsigned long long>(info.f_bavail) * block;
    if (needed <= available) return;
    throw EArchiverError(kArchiverCannotWrite, "展開先の空き容量が足りません: " + archivePath + " を " +
                                                   destDir + " に展開するには " + std::to_string(needed) +
                                                   " バイト必要ですが、空きは " + std::to_string(available) +
                                                   " バイトです");
}

} // namespace towagi::archivers
