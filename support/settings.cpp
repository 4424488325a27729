#include "support/settings.h"

#include "support/settings_store.h"

#include <filesystem>
#include <memory>
#include <pwd.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace towagi {
namespace {

constexpr std::int64_t kFreeBytesCap = 2000000000;
constexpr size_t kMaxUserNameBytes = 256;

// Reads open the key for reading only, so a machine hive that the user may not write still reads. Only
// the create flag needs write access; when that is refused, an existing key is still read.
std::unique_ptr<SettingsKey> OpenForReading(Hive hive, const std::string& key, bool create) {
    SettingsStore& store = CurrentSettingsStore();
    if (create) {
        if (auto opened = store.OpenKey(hive, key, true, KeyAccess::ReadWrite)) return opened;
    }
    return store.OpenKey(hive, key, false, KeyAccess::Read);
}

std::string ReadString(Hive hive, const std::string& key, const std::string& name, bool create) {
    try {
        std::string value;
        if (auto opened = OpenForReading(hive, key, create); opened && opened->ReadString(name, value))
            return value;
    } catch (...) {
        // A store that fails reads as an unset value; callers treat "" as not configured.
    }
    return "";
}

std::unique_ptr<SettingsKey> OpenForWriting(Hive hive, const std::string& key, bool create) {
    return CurrentSettingsStore().OpenKey(hive, key, create, KeyAccess::ReadWrite);
}

Hive SettingHive() {
    return IsPerUserMode() ? Hive::User : Hive::Machine;
}

std::int64_t FreeBytesOf(const std::string& path) {
    struct statvfs info {};
    if (statvfs(path.c_str(), &info) != 0) return -1;
    long double bytes = static_cast<long double>(info.f_bavail) * static_cast<long double>(info.f_frsize);
    return bytes > kFreeBytesCap ? kFreeBytesCap : static_cast<std::int64_t>(bytes + 0.5L);
}

} // namespace

std::string ReadMachineString(const std::string& key, const std::string& name, bool create) {
    return ReadString(Hive::Machine, key, name, create);
}

std::int32_t ReadMachineInteger(const std::string& key, const std::string& name, bool create) {
    try {
        std::int32_t value = 0;
        if (auto opened = OpenForReading(Hive::Machine, key, create);
            opened && opened->ReadInteger(name, value))
            return value;
    } catch (...) {
        // -1 reads as a switch that is off.
    }
    return -1;
}

bool WriteMachineString(const std::string& key, const std::string& name, const std::string& value,
                        bool create) {
    auto opened = OpenForWriting(Hive::Machine, key, create);
    if (!opened) return false;
    opened->WriteString(name, value);
    return true;
}

bool WriteMachineInteger(const std::string& key, const std::string& name, std::int32_t value, bool create) {
    auto opened = OpenForWriting(Hive::Machine, key, create);
    if (!opened) return false;
    opened->WriteInteger(name, value);
    return true;
}

bool WriteSettingString(const std::string& key, const std::string& name, const std::string& value,
                        bool create) {
    auto opened = OpenForWriting(SettingHive(), key, create);
    if (!opened) return false;
    opened->WriteString(name, value);
    return true;
}

bool WriteSettingInteger(const std::string& key, const std::string& name, std::int32_t value, bool create) {
    auto opened = OpenForWriting(SettingHive(), key, create);
    if (!opened) return false;
    opened->WriteInteger(name, value);
    return true;
}

std::string ReadSettingString(const std::string& key, const std::string& name, bool create) {
    try {
        if (IsPerUserMode()) {
            auto user = OpenForReading(Hive::User, key, create);
            if (user && user->ValueExists(name)) {
                std::string value;
                return user->ReadString(name, value) ? value : "";
            }
        }
    } catch (...) {
        return "";
    }
    return ReadMachineString(key, name, create);
}

bool IsPerUserMode() {
    return ReadMachineInteger(kProductRoot, kPerUserSwitch, true) == 1;
}

std::string GetProgramDir() {
    std::error_code error;
    std::string program = std::filesystem::read_symlink("/proc/self/exe", error).string();
    if (error) return "";
    return program.substr(0, program.rfind('/') + 1);
}

std::string GetTempDir() {
    return GetTempDir(GetProgramDir());
}

std::string GetTempDir(const std::string& programDir) {
    std::string folder = programDir + "TEMP/";
    if (IsPerUserMode()) folder += GetLoginUserName() + "/";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}

std::string GetLoginUserName() {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_name || !*found->pw_name)
        return "UNKNOWN";
    std::string name = found->pw_name;
    return name.substr(0, kMaxUserNameBytes);
}

std::int64_t GetDriveFreeBytes(int driveNumber) {
    return driveNumber == 0 ? FreeBytesOf(".") : -1;
}

std::int64_t GetPathDriveFreeBytes(const std::string& path) {
    if (path.empty() || path[0] != '/' || (path.size() > 1 && path[1] == '/')) return -1;
    // A folder that does not exist yet lies on the file system of its nearest existing parent.
    std::filesystem::path candidate = std::filesystem::path(path).lexically_normal();
    for (;;) {
        std::int64_t bytes = FreeBytesOf(candidate.string());
        if (bytes >= 0) return bytes;
        std::filesystem::path parent = candidate.parent_path();
        if (parent == candidate || parent.empty()) return -1;
        candidate = parent;
    }
}

bool IsDriveReady(const std::string& path) {
    return GetPathDriveFreeBytes(path) >= 0;
}

} // namespace towagi
