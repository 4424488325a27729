// libunlha32.so: the "UNLHA32.DLL" of this platform. It unpacks LHA archives.
#include "platform/archivers/archive_extractor.h"
#include "platform/archivers/archiver_api.h"
#include "platform/archivers/archiver_call.h"

#include <sys/stat.h>

namespace towagi::archivers {
namespace {

std::atomic<int> running{0};

bool IsFolder(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// e / x: the archive, then the destination folder (a name ending with '/' or an existing folder; default
// the current folder), then file specs. e puts every file directly into the destination, x keeps folders.
// -c1 overwrites regardless of time stamps; without it only files older than the archive's are replaced.
std::string Extract(CommandText& command, bool keepFolders) {
    ExtractRequest request;
    request.Format = ArchiveFormat::Lha;
    request.KeepFolders = keepFolders;
    const auto noTimeCheck = command.TakeValue("c");
    if (noTimeCheck && *noTimeCheck != "" && *noTimeCheck != "0" && *noTimeCheck != "1")
        throw EArchiverError(kArchiverBadCommand, "このスイッチは使えません: -c" + *noTimeCheck);
    request.Existing = noTimeCheck && *noTimeCheck != "0" ? Overwrite::Always : Overwrite::WhenArchiveNewer;
    // Message switches: this library never shows a message.
    const auto messages = command.TakeValue("m");
    if (messages && messages->size() > 1)
        throw EArchiverError(kArchiverBadCommand, "このスイッチは使えません: -m" + *messages);
    command.RefuseOthers();

    const auto& arguments = command.Arguments();
    if (arguments.empty()) throw EArchiverError(kArchiverBadCommand, "書庫の指定がありません");
    request.ArchivePath = arguments[0];
    size_t next = 1;
    request.DestDir = "./";
    if (arguments.size() > 1 && (arguments[1].ends_with('/') || IsFolder(arguments[1])))
        request.DestDir = arguments[next++];
    request.FileSpecs.assign(arguments.begin() + static_cast<std::ptrdiff_t>(next), arguments.end());

    std::string text;
    for (const auto& name : ExtractFiles(request))
        text += name + " - 展開しました\n";
    return text;
}

} // namespace
} // namespace towagi::archivers

using namespace towagi;
using namespace towagi::archivers;

// The entry points; exports.map keeps every other symbol inside the library.
extern "C" {

// On failure the buffer holds only the message, which the caller shows as it stands.
int Unlha(void*, const char* commandText, char* output, std::uint32_t size) {
    return RunCommand(running, commandText, output, size, "",
                      {{"e", [](CommandText& command) { return Extract(command, false); }},
                       {"x", [](CommandText& command) { return Extract(command, true); }}});
}

std::uint16_t UnlhaGetVersion() {
    return kUnlhaLibraryVersion;
}

// Background mode only decides whether windows may appear; this library never shows one.
int UnlhaSetBackGroundMode(int) {
    return 1;
}

} // extern "C"
