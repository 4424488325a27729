#pragma once
#include "model/edition_profile.h"
#include "support/settings.h"

#include <string>

namespace towagi {

// The suite's Firebird 1.5 installation beside the program folder, and its ZIP archive (no extension) in
// the program folder.
inline constexpr const char* kFirebirdFolderName = "FireBird_1_5";
// The service query's batch file and its output, in the program folder.
inline constexpr const char* kServiceQueryBatch = "FbFindBat.bat";
inline constexpr const char* kServiceQueryOutput = "FbFindTxt.txt";
// Lists every service twice and keeps the lines that name the guardian or the server (letter case ignored).
inline constexpr const char* kServiceQueryLine =
    "sc query state= all | %WINDIR%\\SYSTEM32\\find /i \"FirebirdGuardianDefaultInstance\" > FbFindTxt.txt & "
    "sc query state= all | %WINDIR%\\SYSTEM32\\find /i \"FirebirdServer_1_5\" >> FbFindTxt.txt";
// The Firebird folder's service installation script, run with administrator rights.
inline constexpr const char* kFirebirdInstallScript = "bin/install_nt.bat";

// The Firebird folder for a program folder: the folder above it (the root for a folder directly below it)
// + "FireBird_1_5/", as a full path.
std::string FirebirdFolder(const std::string& programDir);

// True when the Firebird folder exists, or was missing and has just been unpacked from the program folder's
// archive into the folder above. Archive failures are shown as plain messages and give false.
bool CheckFirebirdFolder(const EditionProfile& profile, const std::string& programDir);

// Unpacks the archive with its folders into `destination` through the 7-zip32 adapter, whose library is
// looked for in `libraryDir` first: "書庫が壊れています" for a damaged archive, any error's text otherwise,
// each in a plain message, and false.
bool ExtractFirebirdArchive(const EditionProfile& profile, const std::string& archive,
                            const std::string& destination, const std::string& libraryDir = GetProgramDir());

// Runs the service query batch from the program folder: true when neither Firebird service is registered.
// A batch that cannot be started (a warning was shown) gives false and leaves the query files; a missing
// output file raises EInOutError.
bool QueryFirebirdService(const std::string& programDir);

// Removes the query's batch and output file from the program folder where they exist.
void DeleteServiceQueryFiles(const std::string& programDir);

// True when the start-up may go on: the service exists, or the user confirmed the recovery window and the
// installation script ran with administrator rights. False when the user closed the window, refused the
// consent or the script could not start. The hourglass shows throughout and is restored on every path.
bool CheckFirebirdService(const EditionProfile& profile, const std::string& programDir);

} // namespace towagi
