#pragma once
#include "apply/library_handle.h"
#include "platform/archivers/archiver_api.h"
#include "support/errors.h"
#include "support/settings.h"

#include <QObject>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace towagi {

// Size of the 7-zip32 adapter's output buffer in the two editions.
inline constexpr std::size_t kArcOutputSizeEstimation = 10240;
inline constexpr std::size_t kArcOutputSizeCost = 1024;

// The lowest UNLHA32 version whose command switches TLHA relies on.
inline constexpr std::uint16_t kUnlhaMinimumVersion = 47;

// A window handed through to an archiver. The archiver libraries of this platform show no windows, so the
// callers pass none.
using ArchiverWindow = void*;

// The error class of TLHA: a general error that carries only a message.
class EDLLLoadError : public EUpdateError {
public:
    using EUpdateError::EUpdateError;
};

// Abstract base of an adapter for an archiver library with one command entry point. The virtual
// operations keep the order of the archiver family they were written for.
class TArcAdm {
public:
    explicit TArcAdm(std::size_t outputSize) : output_(outputSize) {}
    virtual ~TArcAdm() = default;
    TArcAdm(const TArcAdm&) = delete;
    TArcAdm& operator=(const TArcAdm&) = delete;

    virtual void LoadArchiver() = 0;
    virtual void FreeArchiver() = 0;
    virtual void ClearSettings() = 0;
    // Stored unchanged.
    virtual void SetArchiveName(const std::string& name);
    // Stored with a trailing '/' added when missing; an empty folder stays empty.
    virtual void SetSourceDir(const std::string& folder);
    virtual void SetDestDir(const std::string& folder);
    // Stored unchanged; a blank password means none.
    virtual void SetPassword(const std::string& text);
    // Further switches appended when compressing, stored unchanged.
    virtual void SetOptions(const std::string& text);
    virtual int GetVersion() { return -1; }
    virtual bool CheckArchive() { return false; }
    virtual void Command(ArchiverWindow, const std::string&) {}
    virtual std::string CommandOutput(ArchiverWindow, const std::string&) { return {}; }
    virtual void Compress(ArchiverWindow window) = 0;
    virtual void UpdateArchive(ArchiverWindow window, const std::string& fileSpec,
                               const std::string& includeSpec) = 0;
    virtual void Extract(ArchiverWindow window, const std::string& fileSpec) = 0;

protected:
    std::string archiveName_; // without folder
    std::string sourceDir_;   // the archive's folder when extracting, the folder packed when compressing
    std::string destDir_;     // the folder extracted into, or the folder the archive is written to
    std::string password_;
    std::string options_;
    LibraryHandle library_;
    std::vector<char> output_; // the archiver's output text
    SevenZipEntry commandEntry_ = nullptr;
    SevenZipGetVersionEntry versionEntry_ = nullptr;
    SevenZipGetRunningEntry runningEntry_ = nullptr;
    SevenZipCheckArchiveEntry checkEntry_ = nullptr;
};

// The adapter for "7-zip32.dll" (lib7-zip32.so), which handles ZIP archives. Every command first makes
// sure that the library is not busy ("処理中です") and raises EMyLibraryError with its own failure
// message when the library reports one.
class TArcSevenZip : public TArcAdm {
public:
    // Loads the library from `libraryDir` when it lies there, otherwise by the system's normal search;
    // raises EMyLibraryError "Unknon DLL 7-zip32.dll" or "DLLの読込みに失敗しました" (an entry point
    // missing).
    explicit TArcSevenZip(std::size_t outputSize = kArcOutputSizeEstimation,
                          std::string libraryDir = GetProgramDir());
    ~TArcSevenZip() override;

    void LoadArchiver() override;
    void FreeArchiver() override;
    // Empties the folders, the password and the options, and releases the library; the name stays.
    void ClearSettings() override;
    int GetVersion() override;
    // Checks source folder + name, or else destination folder + name; false when neither file exists.
    bool CheckArchive() override;
    void Command(ArchiverWindow window, const std::string& commandText) override;
    // The library's output text on success.
    std::string CommandOutput(ArchiverWindow window, const std::string& commandText) override;
    void Compress(ArchiverWindow window) override;
    // Raises "オプションが設定されていません。" for a blank include specification before calling anything.
    void UpdateArchive(ArchiverWindow window, const std::string& fileSpec,
                       const std::string& includeSpec) override;
    void Extract(ArchiverWindow window, const std::string& fileSpec) override;

    bool IsRunning();

private:
    void RefuseWhenRunning();
    void Run(ArchiverWindow window, const std::string& commandText, const char* failureMessage);

    std::string libraryDir_;
};

// The adapter for "UNLHA32.DLL" (libunlha32.so), which unpacks LHA archives. The owner frees it. Errors
// are EDLLLoadError; a failing command's message is the text the library returned.
class TLHA : public QObject {
public:
    // Loads the library (from `libraryDir` first, as TArcSevenZip does) and switches it to background
    // mode; raises "Unknown DLL UNLHA32.DLL", or the background mode's error, having released the library.
    explicit TLHA(QObject* owner, const std::string& libraryDir = GetProgramDir());
    ~TLHA() override = default;

    void* Handle() const { return library_.Get(); }
    // Asked from the library on every read.
    std::uint16_t Version() const;
    // Passed to the library at once.
    void SetBackGroundMode(bool backGround);

    // Every file of the archive directly into the destination folder, overwriting.
    void Extract(const std::string& archivePath, const std::string& destDir);
    void RunCommand(const std::string& commandText);

private:
    LibraryHandle library_;
};

} // namespace towagi
