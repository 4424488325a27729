#include "database/control_settings.h"

#include "support/settings.h"
#include "support/settings_store.h"
#include "support/text.h"

#include <memory>
#include <vector>

namespace towagi {
namespace {

Hive HiveOf(const std::string& scope) {
    return scope == "M" ? Hive::Machine : Hive::User;
}

std::unique_ptr<SettingsKey> OpenExisting(Hive hive, const std::string& key) {
    return CurrentSettingsStore().OpenKey(hive, TPLXREG::FullKey(key), false, KeyAccess::Read);
}

std::string ReadText(Hive hive, const std::string& key, const std::string& name) {
    std::string value;
    auto opened = OpenExisting(hive, key);
    if (!opened) return value;
    // The registry refuses to read an integer as text; a missing value is simply empty.
    if (opened->KindOf(name) == ValueKind::Integer)
        throw ESettingsError("レジストリ値[" + TPLXREG::FullKey(key) + "\\" + name +
                             "]のデータ型が不正です。");
    opened->ReadString(name, value);
    return value;
}

} // namespace

std::string TPLXREG::FullKey(const std::string& key) {
    if (!key.empty() && key.front() == '\\') return key;
    return kRootKey + key;
}

std::string TPLXREG::GetRegScope(const std::string&, const std::string&) {
    return "M";
}

std::string TPLXREG::ReadRegString(const std::string& key, const std::string& name) {
    const std::string scope = GetRegScope(key, name);
    std::string value = ReadText(HiveOf(scope), key, name);
    if (!IsBlank(value) || scope == "M") return value;
    return ReadText(Hive::Machine, key, name);
}

std::int32_t TPLXREG::ReadRegInteger(const std::string& key, const std::string& name,
                                     std::int32_t defaultValue) {
    const std::string scope = GetRegScope(key, name);
    // A per-user value that is missing is looked for in the machine hive, as for texts.
    std::vector<Hive> hives{HiveOf(scope)};
    if (scope != "M") hives.push_back(Hive::Machine);
    for (Hive hive : hives) {
        std::int32_t value = 0;
        if (auto opened = OpenExisting(hive, key); opened && opened->ReadInteger(name, value)) return value;
    }
    return defaultValue;
}

std::string ReadEditionString(const EditionProfile& profile, const std::string& key,
                              const std::string& name) {
    if (profile.SettingsThroughControlTable) return TPLXDirectReg().ReadRegString(key, name);
    return ReadMachineString(TPLXREG::FullKey(key), name, false);
}

std::int32_t ReadEditionInteger(const EditionProfile& profile, const std::string& key,
                                const std::string& name) {
    if (profile.SettingsThroughControlTable) return TPLXDirectReg().ReadRegInteger(key, name, -1);
    return ReadMachineInteger(TPLXREG::FullKey(key), name, false);
}

} // namespace towagi
