#pragma once
// The calling contract of the two archiver libraries, shared by the libraries and the adapters that load
// them at run time. Texts crossing it are CP932 bytes.
#include <cstdint>

namespace towagi {

inline constexpr const char* kSevenZipLibraryName = "lib7-zip32.so";
inline constexpr const char* kUnlhaLibraryName = "libunlha32.so";

// Reported as the archiver libraries report theirs: the version times 100.
inline constexpr std::uint16_t kSevenZipLibraryVersion = 920;
inline constexpr std::uint16_t kUnlhaLibraryVersion = 267;

// A command's result: 0 succeeded, anything else failed (the output text says why). The codes lie in the
// archiver libraries' error range from 0x8000 up; callers only tell 0 from the rest.
enum ArchiverResult : int {
    kArchiverOk = 0,
    kArchiverBadCommand = 0x8001,    // unknown command word, switch or missing argument
    kArchiverCannotOpen = 0x8002,    // the archive or a file to pack cannot be opened
    kArchiverBroken = 0x8003,        // damaged or truncated archive, CRC error, unsafe entry
    kArchiverCannotWrite = 0x8004,   // a file or folder could not be created or written
    kArchiverNotFound = 0x8005,      // nothing matched a file specification
    kArchiverAlreadyRunning = 0x8006 // another command of the library is still running
};

// Mode of the archive check; every mode reads all data, so a CRC error is always seen.
inline constexpr int kCheckArchiveFullData = 1;

extern "C" {
using SevenZipEntry = int (*)(void* window, const char* commandText, char* output, std::uint32_t size);
using SevenZipGetVersionEntry = std::uint16_t (*)();
using SevenZipGetRunningEntry = int (*)();
using SevenZipCheckArchiveEntry = int (*)(const char* archivePath, int mode);

using UnlhaEntry = int (*)(void* window, const char* commandText, char* output, std::uint32_t size);
using UnlhaGetVersionEntry = std::uint16_t (*)();
using UnlhaSetBackGroundModeEntry = int (*)(int backGround);
}

} // namespace towagi
