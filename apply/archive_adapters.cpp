#include "apply/archive_adapters.h"

#include "platform/archivers/shown_bytes.h"
#include "support/encoding.h"
#include "support/file_utils.h"
#include "support/text.h"

#include <array>
#include <cstring>

namespace towagi {
namespace {

const char* const kLoadFailed = "DLLの読込みに失敗しました";

std::string WithTrailingSeparator(const std::string& folder) {
    return folder.empty() || folder.back() == '/' ? folder : folder + "/";
}

// A plain file, as the suite's file test takes it.
bool FileExists(const std::string& path) {
    return HasAttributes(path, faArchive);
}

// An entry point that ClearSettings or FreeArchiver forgot is never called.
template <typename Entry> Entry Loaded(Entry entry) {
    if (!entry) throw EMyLibraryError(kLoadFailed);
    return entry;
}

std::string PasswordSwitch(const std::string& password) {
    return IsBlank(password) ? std::string() : " -p\"" + password + "\"";
}

// A library's text as UTF-8; bytes that are not CP932 are shown as \xNN rather than lost.
std::string LibraryText(const char* text) {
    try {
        return FromCP932(text, "UNLHA32.DLL");
    } catch (const EEncodingError&) {
        return ShownBytes(text);
    }
}

} // namespace

void TArcAdm::SetArchiveName(const std::string& name) {
    archiveName_ = name;
}

void TArcAdm::SetSourceDir(const std::string& folder) {
    sourceDir_ = WithTrailingSeparator(folder);
}

void TArcAdm::SetDestDir(const std::string& folder) {
    destDir_ = WithTrailingSeparator(folder);
}

void TArcAdm::SetPassword(const std::string& text) {
    password_ = text;
}

void TArcAdm::SetOptions(const std::string& text) {
    options_ = text;
}

TArcSevenZip::TArcSevenZip(std::size_t outputSize, std::string libraryDir)
    : TArcAdm(outputSize), libraryDir_(std::move(libraryDir)) {
    ClearSettings();
    // When this raises, the members release a library that was already loaded.
    LoadArchiver();
}

TArcSevenZip::~TArcSevenZip() {
    FreeArchiver();
}

void TArcSevenZip::LoadArchiver() {
    library_ = LibraryHandle::Load(kSevenZipLibraryName, libraryDir_);
    if (!library_.IsLoaded()) throw EMyLibraryError("Unknon DLL 7-zip32.dll");
    commandEntry_ = library_.Entry<SevenZipEntry>("SevenZip");
    versionEntry_ = library_.Entry<SevenZipGetVersionEntry>("SevenZipGetVersion");
    runningEntry_ = library_.Entry<SevenZipGetRunningEntry>("SevenZipGetRunning");
    checkEntry_ = library_.Entry<SevenZipCheckArchiveEntry>("SevenZipCheckArchive");
    if (!commandEntry_ || !versionEntry_ || !runningEntry_ || !checkEntry_)
        throw EMyLibraryError(kLoadFailed);
}

void TArcSevenZip::FreeArchiver() {
    commandEntry_ = nullptr;
    versionEntry_ = nullptr;
    runningEntry_ = nullptr;
    checkEntry_ = nullptr;
    library_.Reset();
}

void TArcSevenZip::ClearSettings() {
    sourceDir_.clear();
    destDir_.clear();
    password_.clear();
    options_.clear();
    // An owned handle cannot be forgotten without leaking it: it is released.
    FreeArchiver();
}

int TArcSevenZip::GetVersion() {
    return Loaded(versionEntry_)();
}

bool TArcSevenZip::IsRunning() {
    // The library answers with a 32-bit truth value of which only the low byte counts.
    return (Loaded(runningEntry_)() & 0xFF) != 0;
}

bool TArcSevenZip::CheckArchive() {
    std::string path;
    if (!IsBlank(sourceDir_) && FileExists(sourceDir_ + archiveName_))
        path = sourceDir_ + archiveName_;
    else if (!IsBlank(destDir_) && FileExists(destDir_ + archiveName_))
        path = destDir_ + archiveName_;
    if (path.empty()) return false;
    return Loaded(checkEntry_)(ToCP932(path, path).c_str(), kCheckArchiveFullData) != 0;
}

void TArcSevenZip::RefuseWhenRunning() {
    if (IsRunning()) throw EMyLibraryError("処理中です");
}

void TArcSevenZip::Run(ArchiverWindow window, const std::string& commandText, const char* failureMessage) {
    const std::string bytes = ToCP932(commandText, commandText);
    if (Loaded(commandEntry_)(window, bytes.c_str(), output_.data(),
                              static_cast<std::uint32_t>(output_.size())) != 0)
        throw EMyLibraryError(failureMessage);
}

void TArcSevenZip::Command(ArchiverWindow window, const std::string& commandText) {
    RefuseWhenRunning();
    Run(window, commandText, "処理に失敗しました。");
}

std::string TArcSevenZip::CommandOutput(ArchiverWindow window, const std::string& commandText) {
    RefuseWhenRunning();
    Run(window, commandText, "処理に失敗しました。");
    return FromCP932(std::string(output_.data(), strnlen(output_.data(), output_.size())), "7-zip32.dll");
}

void TArcSevenZip::Compress(ArchiverWindow window) {
    RefuseWhenRunning();
    const std::string text = "a -tzip -hide \"" + destDir_ + archiveName_ + "\" \"" + sourceDir_ + "\" " +
                             options_ + PasswordSwitch(password_);
    Run(window, text, "圧縮に失敗しました。");
}

void TArcSevenZip::UpdateArchive(ArchiverWindow window, const std::string& fileSpec,
                                 const std::string& includeSpec) {
    RefuseWhenRunning();
    if (IsBlank(includeSpec)) throw EMyLibraryError("オプションが設定されていません。");
    const std::string text = "u -tzip -hide \"" + destDir_ + archiveName_ + "\" \"" + fileSpec + "\"" +
                             PasswordSwitch(password_) + " -i!\"" + includeSpec + "\"";
    Run(window, text, "圧縮に失敗しました。");
}

void TArcSevenZip::Extract(ArchiverWindow window, const std::string& fileSpec) {
    RefuseWhenRunning();
    std::string text = "x -tzip -hide \"" + sourceDir_ + archiveName_ + "\" -o\"" + destDir_ + "\" " +
                       PasswordSwitch(password_);
    if (!IsBlank(fileSpec)) text += " \"" + fileSpec + "\"";
    Run(window, text, "解凍に失敗しました。");
}

TLHA::TLHA(QObject* owner, const std::string& libraryDir)
    : library_(LibraryHandle::Load(kUnlhaLibraryName, libraryDir)) {
    if (!library_.IsLoaded()) throw EDLLLoadError("Unknown DLL UNLHA32.DLL");
    // When this raises, the member releases the library again.
    SetBackGroundMode(true);
    setParent(owner);
}

std::uint16_t TLHA::Version() const {
    const auto entry = library_.Entry<UnlhaGetVersionEntry>("UnlhaGetVersion");
    if (!entry) throw EDLLLoadError("Unknown lhaGetVersion");
    return entry();
}

void TLHA::SetBackGroundMode(bool backGround) {
    const auto entry = library_.Entry<UnlhaSetBackGroundModeEntry>("UnlhaSetBackGroundMode");
    if (!entry) throw EDLLLoadError("Unknown lhaSetBackGroundMode");
    entry(backGround ? 1 : 0);
}

void TLHA::Extract(const std::string& archivePath, const std::string& destDir) {
    SetBackGroundMode(false);
    RunCommand("e -c1 -m1 \"" + archivePath + "\" \"" + destDir + "\"");
}

void TLHA::RunCommand(const std::string& commandText) {
    if (Version() < kUnlhaMinimumVersion) throw EDLLLoadError("UNLHA.DLLのバージョンが違います。");
    const auto entry = library_.Entry<UnlhaEntry>("Unlha");
    if (!entry) throw EDLLLoadError("Unknown lha");
    std::array<char, 256> buffer{};
    if (entry(nullptr, ToCP932(commandText, commandText).c_str(), buffer.data(), 255) != 0)
        throw EDLLLoadError(LibraryText(buffer.data()));
}

} // namespace towagi
