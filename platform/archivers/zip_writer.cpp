#include "platform/archivers/zip_writer.h"

#include "platform/archivers/archive_reader.h"
#include "platform/archivers/archiver_api.h"
#include "platform/archivers/command_text.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/text.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>

namespace towagi::archivers {
namespace {

namespace fs = std::filesystem;

struct DiskItem {
    std::string Name; // the entry name, '/'-separated
    std::string Path;
    bool Directory = false;
    bool Done = false; // written, or kept as the archive has it
};

bool HasWildcard(const std::string& text) {
    return text.find_first_of("*?") != std::string::npos;
}

std::vector<std::string> SortedNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        names.push_back(entry.path().filename());
    if (error) throw EArchiverError(kArchiverCannotOpen, "フォルダを読めません: " + folder);
    std::sort(names.begin(), names.end());
    return names;
}

// A file, or a folder with everything below it; links are never followed.
void AddTree(std::vector<DiskItem>& items, const std::string& path, const std::string& name) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        throw EArchiverError(kArchiverCannotOpen,
                             "開けません: " + path + " (" + SystemErrorText(errno) + ")");
    if (S_ISLNK(info.st_mode)) throw EArchiverError(kArchiverCannotOpen, "リンクは圧縮しません: " + path);
    if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        throw EArchiverError(kArchiverCannotOpen, "ファイルでもフォルダでもありません: " + path);
    const bool known =
        std::any_of(items.begin(), items.end(), [&](const DiskItem& i) { return i.Name == name; });
    if (!known) items.push_back({name, path, S_ISDIR(info.st_mode)});
    if (S_ISDIR(info.st_mode))
        for (const auto& child : SortedNames(path))
            AddTree(items, path + "/" + child, name + "/" + child);
}

std::vector<DiskItem> CollectSources(const std::vector<std::string>& sources) {
    std::vector<DiskItem> items;
    for (const auto& source : sources) {
        const size_t before = items.size();
        const size_t slash = source.find_last_of('/');
        const std::string leaf = slash == std::string::npos ? source : source.substr(slash + 1);
        const std::string folder = slash == std::string::npos ? "./" : source.substr(0, slash + 1);
        if (leaf.empty()) {
            for (const auto& name : SortedNames(source))
                AddTree(items, source + name, name);
        } else if (HasWildcard(leaf)) {
            for (const auto& name : SortedNames(folder))
                if (MatchesFileMask(name, leaf)) AddTree(items, folder + name, name);
        } else {
            AddTree(items, source, leaf);
        }
        if (items.size() == before && !leaf.empty())
            throw EArchiverError(kArchiverNotFound, "ファイルが見つかりません: " + source);
    }
    return items;
}

// The new archive, written to a temporary file beside the old one and renamed over it by Commit.
class ZipOutput {
public:
    explicit ZipOutput(const ZipUpdateRequest& request)
        : target_(request.ArchivePath), writer_(archive_write_new(), &archive_write_free) {
        const std::string folder = fs::path(target_).parent_path().string();
        temporary_ = (folder.empty() ? std::string(".") : folder) + "/.towagi-" + std::to_string(getpid()) +
                     ".zip.part";
        fd_.Reset(::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!fd_.IsOpen())
            throw EArchiverError(kArchiverCannotWrite,
                                 "書庫を作成できません: " + target_ + " (" + SystemErrorText(errno) + ")");
        archive* w = writer_.get();
        int status = archive_write_set_format_zip(w);
        if (status == ARCHIVE_OK) status = archive_write_set_bytes_in_last_block(w, 1);
        if (status == ARCHIVE_OK) status = archive_write_set_options(w, "zip:hdrcharset=CP932");
        if (status == ARCHIVE_OK && request.Level >= 0)
            status = archive_write_set_options(
                w, ("zip:compression-level=" + std::to_string(request.Level)).c_str());
        if (status == ARCHIVE_OK && !request.Passphrase.empty()) {
            status = archive_write_set_options(w, "zip:encryption=zipcrypt");
            if (status == ARCHIVE_OK) status = archive_write_set_passphrase(w, request.Passphrase.c_str());
        }
        if (status == ARCHIVE_OK) status = archive_write_open_fd(w, fd_.Get());
        if (status != ARCHIVE_OK) Failed("");
    }
    ~ZipOutput() {
        if (committed_) return;
        writer_.reset();
        fd_.Reset();
        unlink(temporary_.c_str());
    }
    ZipOutput(const ZipOutput&) = delete;
    ZipOutput& operator=(const ZipOutput&) = delete;

    void Begin(const std::string& name, bool directory, mode_t permissions, std::time_t modificationTime,
               long long size) {
        std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(),
                                                                       &archive_entry_free);
        archive_entry_set_pathname(entry.get(), name.c_str());
        archive_entry_set_filetype(entry.get(), directory ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), permissions & 07777);
        archive_entry_set_mtime(entry.get(), modificationTime, 0);
        if (!directory) archive_entry_set_size(entry.get(), size);
        // A warning is a name CP932 cannot hold: never store it in another character set.
        if (archive_write_header(writer_.get(), entry.get()) != ARCHIVE_OK) Failed(name);
    }

    void Write(const char* data, size_t size, const std::string& name) {
        if (size > 0 && archive_write_data(writer_.get(), data, size) != static_cast<la_ssize_t>(size))
            Failed(name);
    }

    void Commit() {
        if (archive_write_close(writer_.get()) != ARCHIVE_OK) Failed("");
        if (const int error = fd_.Close())
            throw EArchiverError(kArchiverCannotWrite,
                                 "書庫を作成できません: " + target_ + " (" + SystemErrorText(error) + ")");
        if (rename(temporary_.c_str(), target_.c_str()) != 0)
            throw EArchiverError(kArchiverCannotWrite,
                                 "書庫を作成できません: " + target_ + " (" + SystemErrorText(errno) + ")");
        committed_ = true;
    }

private:
    [[noreturn]] void Failed(const std::string& name) {
        const char* reason = archive_error_string(writer_.get());
        throw EArchiverError(kArchiverCannotWrite, "書庫を作成できません: " + target_ +
                                                       (name.empty() ? "" : " : " + name) +
                                                       (reason ? std::string(" (") + reason + ")" : ""));
    }

    std::string target_;
    std::string temporary_;
    FileDescriptor fd_;
    std::unique_ptr<archive, int (*)(archive*)> writer_;
    bool committed_ = false;
};

void WriteDiskItem(ZipOutput& output, const DiskItem& item) {
    FileDescriptor input(::open(item.Path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!input.IsOpen() || fstat(input.Get(), &info) != 0)
        throw EArchiverError(kArchiverCannotOpen,
                             "開けません: " + item.Path + " (" + SystemErrorText(errno) + ")");
    output.Begin(item.Name, item.Directory, info.st_mode, info.st_mtime, info.st_size);
    if (item.Directory) return;
    std::vector<char> buffer(65536);
    long long total = 0;
    for (;;) {
        const ssize_t got = read(input.Get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0)
            throw EArchiverError(kArchiverCannotOpen,
                                 "読めません: " + item.Path + " (" + SystemErrorText(errno) + ")");
        if (got == 0) break;
        output.Write(buffer.data(), static_cast<size_t>(got), item.Name);
        total += got;
    }
    if (total != info.st_size)
        throw EArchiverError(kArchiverCannotOpen, "圧縮中にファイルが変わりました: " + item.Path);
}

std::time_t ModificationTime(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_mtime : 0;
}

} // namespace

std::vector<std::string> UpdateZipArchive(const ZipUpdateRequest& request) {
    std::vector<DiskItem> items = CollectSources(request.Sources);
    ZipOutput output(request);
    std::vector<std::string> written;
    auto writeItem = [&](DiskItem& item) {
        WriteDiskItem(output, item);
        item.Done = true;
        written.push_back(item.Name);
    };

    if (access(request.ArchivePath.c_str(), F_OK) == 0) {
        ArchiveReader old(ArchiveFormat::Zip, request.ArchivePath, request.Passphrase);
        ArchiveEntryInfo info;
        while (old.Next(info)) {
            std::string name;
            for (const auto& component : info.Components)
                name += (name.empty() ? "" : "/") + component;
            auto item = std::find_if(items.begin(), items.end(), [&](const DiskItem& i) {
                return !i.Done && i.Directory == info.Directory && SameText(i.Name, name);
            });
            const bool replace =
                item != items.end() && !info.Directory &&
                (!request.OnlyNewer || EvenLocalSecond(ModificationTime(item->Path)) > info.ModificationTime);
            if (replace) {
                old.SkipData();
                writeItem(*item);
                continue;
            }
            if (item != items.end()) item->Done = true;
            if (name.empty()) {
                old.SkipData();
                continue;
            }
            output.Begin(name, info.Directory, info.Permissions, info.ModificationTime,
                         archive_entry_size(old.Entry()));
            old.ReadData([&](const char* data, size_t size, long long) { output.Write(data, size, name); });
        }
    }
    for (auto& item : items)
        if (!item.Done) writeItem(item);
    output.Commit();
    return written;
}

} // namespace towagi::archivers
