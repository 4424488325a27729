#include "database/data_module.h"

#include "platform/prompts.h"
#include "support/errors.h"
#include "support/ini_file.h"
#include "support/text.h"

#include <charconv>

namespace towagi {
namespace {

constexpr int kSlotCount = 12;

// A strict conversion: an optional sign and decimal digits that fit 32 bits, nothing else.
int SlotNumber(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+') ++begin;
    int number = 0;
    auto [stop, error] = std::from_chars(begin, end, number);
    if (begin == end || error != std::errc() || stop != end)
        throw EMyLibraryError("'" + text + "' は有効な整数値ではありません");
    return number;
}

} // namespace

std::string SlotField(const std::string& slotValue, int index) {
    return GetToken("|", slotValue, index, index + 1);
}

TDatabaseSlot ReadDatabaseSlot(int index) {
    const std::string value = ReadMachineString(kDatabaseSlotKey, "PATH" + std::to_string(index + 1), false);
    return {TrimRight(SlotField(value, 0)), TrimRight(SlotField(value, 1))};
}

bool IsLocalDatabase(const EditionProfile& profile, const std::string& location,
                     const std::vector<std::string>& localAddresses) {
    if (profile.LocalDatabaseByDrive)
        return !HasHostPart(location) && location.starts_with('/') && IsDriveReady(location);
    if (!HasHostPart(location)) return true;
    const std::string host = location.substr(0, location.find(':'));
    if (UpperCase(host) == "LOCALHOST") return true;
    for (const std::string& address : localAddresses)
        if (SameText(host, address)) return true;
    return false;
}

TDataModule::TDataModule(const EditionProfile& profile, std::string programDir)
    : profile_(profile), programDir_(std::move(programDir)) {
    DB_DATA.BeforeConnect = [this](TFbDatabase& sender) { DB_DATABeforeConnect(sender); };
    DB_TOKE.BeforeConnect = [this](TFbDatabase& sender) { DB_TOKEBeforeConnect(sender); };
    DB_DATAS.BeforeConnect = [this](TFbDatabase& sender) { DB_DATASBeforeConnect(sender); };
    for (TFbDatabase* database : {&DB_DATA, &DB_TOKE, &DB_DATAS})
        database->ExternalFileDir = GetDataTempDir();
}

TDataModule::~TDataModule() {
    try {
        DataModuleDestroy();
    } catch (const EDatabaseError&) {
        // The process is ending; the engine drops what it could not detach.
    }
}

void TDataModule::DataModuleCreate() {
    DB_DATASPath.clear();
    if (!profile_.ConnectDataAtCreate) return;
    try {
        DB_DATA.Open();
    } catch (...) {
        ShowWarning(kDatabaseConnectWarning);
    }
}

void TDataModule::DataModuleDestroy() {
    DB_DATAS.Close();
    DB_TOKE.Close();
    DB_DATA.Close();
}

void TDataModule::SetParams(TFbDatabase& sender, const Credentials& credentials,
                            const std::string& location) const {
    sender.Params.clear();
    sender.Params.push_back("USER NAME=" + credentials.UserName);
    sender.Params.push_back("PASSWORD=" + credentials.Password);
    sender.Params.push_back("SERVER NAME=" + location);
}

void TDataModule::DB_DATABeforeConnect(TFbDatabase& sender) {
    if (profile_.DatabaseIniFileName.empty()) {
        SetParams(sender, RegistryCredentials(), DataBasePath());
        return;
    }
    const TIniFile ini(programDir_ + profile_.DatabaseIniFileName);
    SetParams(sender, IniCredentials(ini), ini.ReadString(SectionName, "GDBPath", ""));
}

void TDataModule::DB_TOKEBeforeConnect(TFbDatabase& sender) {
    SetParams(sender, {kDefaultDatabaseUser, kDefaultDatabasePassword}, DataTokePath());
}

void TDataModule::DB_DATASBeforeConnect(TFbDatabase& sender) {
    SetParams(sender, RegistryCredentials(), DataBasePath2());
}

TDataModule::Credentials TDataModule::IniCredentials(const TIniFile& ini) {
    const std::string user = ini.ReadString("GDB", "USERID", "");
    const std::string password = ini.ReadString("GDB", "PASSWORD", "");
    if (IsBlank(user) && IsBlank(password)) return {kDefaultDatabaseUser, kDefaultDatabasePassword};
    return {IsBlank(user) ? kDefaultDatabaseUser : user, password};
}

TDataModule::Credentials TDataModule::RegistryCredentials() const {
    const std::string user = ReadMachineString(kDatabaseSecurityKey, "GDBUSERID", false);
    const std::string password = ReadMachineString(kDatabaseSecurityKey, "GDBPASSWORD", false);
    if (user.empty() && password.empty()) return {kDefaultDatabaseUser, kDefaultDatabasePassword};
    return {user.empty() ? kDefaultDatabaseUser : user, password};
}

std::string TDataModule::DataBasePath() const {
    int slot = SlotNumber(ReadSettingString(kDatabaseSlotKey, "SELECT", false));
    if (slot < 1 || slot > kSlotCount) slot = 1;
    return SlotField(ReadMachineString(kDatabaseSlotKey, "PATH" + std::to_string(slot), false), 1);
}

std::string TDataModule::DataBasePath2() const {
    if (!IsBlank(DB_DATASPath)) return DB_DATASPath;
    return DataBasePath();
}

std::string TDataModule::DataTokePath() const {
    std::string select = profile_.DatabaseSelectPerUser ? ReadSettingString(kTotalsSlotKey, "SELECT", false)
                                                        : ReadMachineString(kTotalsSlotKey, "SELECT", false);
    // Compared as text, so "10" stays "10" while "" and "A" fall back to the first slot.
    if (select < "1" || select > "9") select = "1";
    return SlotField(ReadMachineString(kTotalsSlotKey, "PATH" + select, false), 1);
}

std::string GetDataTempDir(const std::string& programDir) {
    return programDir + "TEMP/";
}

std::string TDataModule::GetDataTempDir() const {
    return towagi::GetDataTempDir(programDir_);
}

} // namespace towagi
