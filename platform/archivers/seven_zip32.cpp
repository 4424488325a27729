// lib7-zip32.so: the "7-zip32.dll" of this platform. It reads and writes ZIP archives only.
#include "platform/archivers/archive_extractor.h"
#include "platform/archivers/archive_reader.h"
#include "platform/archivers/archiver_api.h"
#include "platform/archivers/archiver_call.h"
#include "platform/archivers/zip_writer.h"
#include "support/text.h"

namespace towagi::archivers {
namespace {

std::atomic<int> running{0};

void TakeZipType(CommandText& command) {
    const auto type = command.TakeValue("t");
    if (type && !SameText(*type, "zip"))
        throw EArchiverError(kArchiverBadCommand, "この形式は扱えません: " + *type);
}

// Switches that only concern windows and questions, which this library never shows.
void TakeQuietSwitches(CommandText& command) {
    command.TakeFlag("hide");
    command.TakeFlag("y");
}

std::string Listing(const std::string& verb, const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names)
        text += verb + "  " + name + "\n";
    return text + "Everything is Ok\n";
}

// x: extract with full paths; -o the destination folder (default the current folder), then file specs.
std::string Extract(CommandText& command) {
    TakeQuietSwitches(command);
    TakeZipType(command);
    ExtractRequest request;
    request.Format = ArchiveFormat::Zip;
    request.DestDir = command.TakeValue("o").value_or("./");
    if (request.DestDir.empty()) request.DestDir = "./";
    request.Passphrase = Passphrase(command.TakeValue("p"));
    command.RefuseOthers();
    const auto& arguments = command.Arguments();
    if (arguments.empty()) throw EArchiverError(kArchiverBadCommand, "書庫の指定がありません");
    request.ArchivePath = arguments[0];
    request.FileSpecs.assign(arguments.begin() + 1, arguments.end());
    return Listing("Extracting", ExtractFiles(request));
}

int CompressionLevel(const std::optional<std::string>& value) {
    if (!value) return -1;
    std::string digits = *value;
    if (!digits.empty() && digits[0] == '=') digits.erase(0, 1);
    if (digits.empty()) return 9;
    if (digits.size() != 1 || digits[0] < '0' || digits[0] > '9')
        throw EArchiverError(kArchiverBadCommand, "このスイッチは使えません: -mx" + *value);
    return digits[0] - '0';
}

// a / u: the archive, then what to pack (also every -i! specification); u replaces only older entries.
std::string Update(CommandText& command, bool onlyNewer) {
    TakeQuietSwitches(command);
    TakeZipType(command);
    command.TakeFlag("r"); // folders are always packed with their content
    ZipUpdateRequest request;
    request.OnlyNewer = onlyNewer;
    request.Passphrase = Passphrase(command.TakeValue("p"));
    request.Level = CompressionLevel(command.TakeValue("mx"));
    const auto includes = command.TakeAll("i!");
    command.RefuseOthers();
    const auto& arguments = command.Arguments();
    if (arguments.empty()) throw EArchiverError(kArchiverBadCommand, "書庫の指定がありません");
    request.ArchivePath = arguments[0];
    request.Sources.assign(arguments.begin() + 1, arguments.end());
    request.Sources.insert(request.Sources.end(), includes.begin(), includes.end());
    if (request.Sources.empty())
        throw EArchiverError(kArchiverBadCommand, "圧縮するファイルの指定がありません");
    return Listing("Compressing", UpdateZipArchive(request));
}

} // namespace
} // namespace towagi::archivers

using namespace towagi;
using namespace towagi::archivers;

// The entry points; exports.map keeps every other symbol inside the library.
extern "C" {

int SevenZip(void*, const char* commandText, char* output, std::uint32_t size) {
    return RunCommand(running, commandText, output, size, "ERROR: ",
                      {{"x", Extract},
                       {"a", [](CommandText& command) { return Update(command, false); }},
                       {"u", [](CommandText& command) { return Update(command, true); }}});
}

std::uint16_t SevenZipGetVersion() {
    return kSevenZipLibraryVersion;
}

int SevenZipGetRunning() {
    return running.load() != 0;
}

// Every mode reads all data: a check that skips the data would not see a CRC error.
int SevenZipCheckArchive(const char* archivePath, int) {
    return CheckArchive(running, archivePath,
                        [](const std::string& path) { TestArchive(ArchiveFormat::Zip, path, ""); });
}

} // extern "C"
