#pragma once
#include <cstdint>
#include <string>

namespace towagi {

// Every key of the suite lies below this root, in the machine hive unless the per-user switch is on.
inline constexpr const char* kProductRoot = "\\Software\\VORN\\TOWAGI\\RUVOZEZ";
// Integer in the product root of the machine hive; exactly 1 means per-user mode.
inline constexpr const char* kPerUserSwitch = "REGCURRENTUSER";

// Machine hive. Any failure (missing key or value, value of the other kind, refused access) gives ""
// or -1; these never raise. With `create` the key is created when the hive can be written.
std::string ReadMachineString(const std::string& key, const std::string& name, bool create);
std::int32_t ReadMachineInteger(const std::string& key, const std::string& name, bool create);

// Return whether the key opened; a value that cannot be stored in an open key raises ESettingsError.
bool WriteMachineString(const std::string& key, const std::string& name, const std::string& value,
                        bool create);
bool WriteMachineInteger(const std::string& key, const std::string& name, std::int32_t value, bool create);

// The user hive in per-user mode, the machine hive otherwise.
bool WriteSettingString(const std::string& key, const std::string& name, const std::string& value,
                        bool create);
bool WriteSettingInteger(const std::string& key, const std::string& name, std::int32_t value, bool create);
// Per-user mode: the user hive's value when it exists there, else the machine hive's; never raises.
std::string ReadSettingString(const std::string& key, const std::string& name, bool create);

// Read afresh on every call (with the create flag, so the product root appears on first use).
bool IsPerUserMode();

// The running program's folder, ending with '/'.
std::string GetProgramDir();
// The launcher's work folder, ending with '/': program folder + "TEMP/" (+ login user + "/" in per-user
// mode). Created with its parents; returned even when that failed, the caller finds out on first use.
std::string GetTempDir();
// The same below another program folder (ending with '/').
std::string GetTempDir(const std::string& programDir);
// The effective user's login name, at most 256 bytes; "UNKNOWN" when it cannot be had.
std::string GetLoginUserName();

// Free bytes, capped at 2000000000 as the suite's callers expect; -1 when there is no such drive.
// Drive 0 is the current folder's file system; there are no drive letters, so any other number is -1.
std::int64_t GetDriveFreeBytes(int driveNumber);
// An absolute path: the file system holding it or its nearest existing parent. Anything else
// (empty, relative, "//server/share", a drive letter) has no drive: -1.
std::int64_t GetPathDriveFreeBytes(const std::string& path);
bool IsDriveReady(const std::string& path);

} // namespace towagi
