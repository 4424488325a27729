#pragma once
#include "database/control_settings.h"
#include "model/edition_profile.h"
#include "model/update_state.h"
#include "transfer/ftp_params.h"

#include <cstdint>
#include <string>
#include <vector>

namespace towagi {

// Keys of the update settings, relative to the product root.
inline constexpr const char* kUpdateKey = "PATH\\UPDATE";
inline constexpr const char* kExcelKey = "PATH\\EXCEL";
inline constexpr const char* kFrameKey = "PATH\\FRAME";
inline constexpr const char* kDatabaseKey = "PATH\\DB_DATA";

// Values of the update key "PATH\UPDATE" (FTP_HOST, FTP_ConnectMode, Dialup, the profile's update
// switches...).
std::string ReadUpdateString(const EditionProfile& profile, const std::string& name);
std::int32_t ReadUpdateInteger(const EditionProfile& profile, const std::string& name);

// A switch of the update key counts as on only when it is exactly 1.
bool UpdateSwitchOn(const EditionProfile& profile, const std::string& name);

// Host (FTP_Host up to its first ':'), FTP_Port, FTP_UserID and FTP_Password; traced under "GetFTPParams"
// with the password masked.
void GetFTPParams(TUpdateState& state, TFTPParams& params);
// Raises EUpdateError when the host or the user is blank or the port is 0, checked in that order.
void CheckFTPParams(TUpdateState& state, const TFTPParams& params);
// Traces the message and the detail, then raises EUpdateError(message + CR LF + detail).
[[noreturn]] void _CheckFTPParams(TUpdateState& state, const std::string& message, const std::string& detail);

// This PC's address: the host name resolved to its first IPv4 address; "" when that is not possible.
std::string GetLocalIPAddress();
// Every IPv4 address of the PC's interfaces, loopback included, in the order the system lists them.
std::vector<std::string> GetLocalAddresses();

// The branch table (the profile's BranchTableFileName, in the current folder). A missing file has no
// sections. Key prefixes compare exactly, letter case included.
std::vector<std::string> ReadBranchSections(const EditionProfile& profile);
std::vector<std::string> ReadBranchEntries(const EditionProfile& profile, const std::string& section,
                                           const std::string& prefix);
// The first office whose "IP" entries hold the address exactly; "" when none does.
std::string FindBranch(const EditionProfile& profile, const std::string& address);

} // namespace towagi
