#include "database/data_module.h"

#include "platform/prompts.h"
#include "support/errors.h"
#include "support/ini_file.h"
#include "support/text.h"

namespace towagi {
namespace {

// The control codes of the load, in the order it reads them.
constexpr const char* kDateCodes[] = {"K060001", "K060002", "K060003", "K060004",
                                      "K060005", "K060006", "K060007"};
constexpr const char* kNumberCodes[] = {"K060011", "K060012", "K060013"};

// The value of the row the control query stands on; a null value reads as empty.
std::string ControlValue(const TFbQuery& query) {
    return query.FieldByName("CNT_KOUMEI").AsString();
}

// The value of the row converted for its field; a null value is the field's zero. The field is assigned
// only once the conversion has succeeded.
template <typename Field, typename Convert>
void StoreConverted(Field& field, const TFbQuery& query, Convert convert) {
    const TFbValue& value = query.FieldByName("CNT_KOUMEI");
    field = value.IsNull() ? Field{} : convert(value.AsString());
}

} // namespace

std::string SlotField(const std::string& slotValue, int index) {
    return GetToken("|", slotValue, index, index + 1);
}

std::optional<int> SlotNumber(const std::string& select) {
    std::int32_t number = 0;
    if (!ParseInteger(select, number)) return std::nullopt;
    return number;
}

std::string SlotLocation(int number) {
    if (number < 1 || number > kDatabaseSlots) number = 1;
    return SlotField(ReadMachineString(kDatabaseSlotKey, "PATH" + std::to_string(number), false), 1);
}

std::string GetDataTempDir(const std::string& programDir) {
    return programDir + "TEMP/";
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
    if (profile_.ControlSettingsAfterConnect)
        DB_DATA.AfterConnect = [this](TFbDatabase& sender) { DB_DATAAfterConnect(sender); };
    GMICNT00.SQL = "SELECT * FROM GMICNT00\nWHERE CNT_KNRCOD LIKE :KNRCOD\nORDER BY CNT_KNRCOD";
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
    ControlSettings = TControlSettings{};
    ConnectFailure.clear();
    if (!profile_.ConnectDataAtCreate) return;
    try {
        DB_DATA.Open();
    } catch (const std::exception& e) {
        ConnectFailure = e.what();
        ShowWarning(kDatabaseConnectWarning);
    } catch (...) {
        ConnectFailure = "不明なエラー";
        ShowWarning(kDatabaseConnectWarning);
    }
}

void TDataModule::DataModuleDestroy() {
    // The query's transaction ends before the connection it runs on.
    GMICNT00.Close();
    ControlSettings.List1.clear();
    ControlSettings.List2.clear();
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
    const std::string select = ReadSettingString(kDatabaseSlotKey, "SELECT", false);
    const std::optional<int> number = SlotNumber(select);
    if (!number) throw EMyLibraryError("'" + select + "' は有効な整数値ではありません");
    return SlotLocation(*number);
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

std::string TDataModule::GetDataTempDir() const {
    return towagi::GetDataTempDir(programDir_);
}

bool TDataModule::OpenControlQuery(TFbQuery& query, const std::string& code) {
    query.Close();
    const std::string& name = query.Name();
    const auto has = [&](const char* part) { return name.find(part) != std::string::npos; };
    // A ten-character code names one row; a shorter one every code that begins with it.
    const std::string knrcod = code.size() == 10 ? code : code + "%";
    if (has("KMICNT"))
        query.SetParam("Knrcod", knrcod);
    else if (has("KMIHIN"))
        query.SetParam("Hincod", code);
    else if (has("KMIMKO"))
        query.SetParam("Mitkou", code);
    else if (has("GMICNT"))
        query.SetParam("Knrcod", knrcod);
    else if (has("KDIDAI00"))
        query.SetParam("Mituno", code);
    else if (has("KDIDAI01") || has("KDIDAI02") || has("KDIDAI03") || has("KDIDAI06") || has("KDIKSY00"))
        query.SetParam("Sekino", code);
    query.Open();
    return !query.Eof();
}

void TDataModule::DB_DATAAfterConnect(TFbDatabase&) {
    if (ControlSettings.Loaded) return;
    // Set first: a load that fails is not tried again at a later connection.
    ControlSettings.Loaded = true;
    try {
        loadTransaction_ = DB_DATA.Connection().StartTransaction();
        LoadControlSettings();
    } catch (...) {
        // Silent: the update needs none of these values. The fields not loaded keep their reset values,
        // and DB_DATAS stays unconnected by this step.
    }
    GMICNT00.Close();
    loadTransaction_.reset();
}

// Each field is assigned only a completely converted value, so a failure leaves no field half-set.
void TDataModule::LoadControlSettings() {
    TControlSettings& settings = ControlSettings;
    for (size_t i = 0; i < settings.Dates.size(); ++i)
        if (OpenControlQuery(GMICNT00, kDateCodes[i]))
            StoreConverted(settings.Dates[i], GMICNT00, ControlDateTime);
    if (OpenControlQuery(GMICNT00, "K060008")) StoreConverted(settings.Amount, GMICNT00, ControlCurrency);
    if (OpenControlQuery(GMICNT00, "K060009")) settings.List1 = ControlList(ControlValue(GMICNT00));
    if (OpenControlQuery(GMICNT00, "K060010")) settings.List2 = ControlList(ControlValue(GMICNT00));
    if (OpenControlQuery(GMICNT00, settings.NameCode)) settings.NameText = ControlValue(GMICNT00);
    try {
        settings.UserName = ReadSettingString(kQuilSecurityKey, "UserName", false);
    } catch (...) {
        settings.UserName.clear();
    }
    for (size_t i = 0; i < settings.Numbers.size(); ++i)
        if (OpenControlQuery(GMICNT00, kNumberCodes[i]))
            StoreConverted(settings.Numbers[i], GMICNT00, ControlInteger);
    if (OpenControlQuery(GMICNT00, "K060014")) settings.OptionText = ControlValue(GMICNT00);
    if (OpenControlQuery(GMICNT00, "K060016")) {
        const std::string value = ControlValue(GMICNT00);
        for (size_t i = 0; i < settings.Texts.size(); ++i)
            settings.Texts[i] = GetToken(",", value, static_cast<int>(i), static_cast<int>(i) + 1);
    }
    if (OpenControlQuery(GMICNT00, "K060017")) settings.Digits = ControlDigits(ControlValue(GMICNT00));
    GMICNT00.Close();
    // Not set (-1) counts as off.
    const auto excelSwitch = [](const char* name) {
        const std::int32_t value = ReadMachineInteger(kExcelProgramKey, name, true);
        return value == -1 ? 0 : value;
    };
    settings.SingleExcel = excelSwitch("SingleExcel");
    settings.MultiExcel = excelSwitch("MultiExcel");
    if (!DB_DATAS.Connected()) DB_DATAS.Open();
}

} // namespace towagi
