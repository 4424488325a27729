#include "database/control_settings.h"

#include "database/vorn_ib.h"
#include "support/errors.h"
#include "support/settings.h"
#include "support/settings_store.h"
#include "support/text.h"

#include <algorithm>
#include <limits>
#include <memory>

namespace towagi {
namespace {

// Control rows whose code begins with it name the values that are the machine's.
constexpr const char* kMachineScopeCode = "K020029";
constexpr const char* kControlTable = "GMICNT00";

std::string Trimmed(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ')
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ')
        --end;
    return text.substr(begin, end - begin);
}

[[noreturn]] void NotConvertible(const std::string& text, const std::string& what) {
    throw EMyLibraryError("'" + text + "' は有効な" + what + "ではありません");
}

// One to `maxDigits` decimal digits from `at`, and no digit after them.
bool Digits(const std::string& text, size_t& at, size_t maxDigits, int& value) {
    const size_t start = at;
    value = 0;
    while (at < text.size() && at - start < maxDigits && text[at] >= '0' && text[at] <= '9')
        value = value * 10 + (text[at++] - '0');
    return at > start && (at == text.size() || text[at] < '0' || text[at] > '9');
}

bool Expect(const std::string& text, size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

int DaysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

Hive HiveOf(const std::string& scope) {
    Hive hive = Hive::Machine;
    TPLXREG::SetRegRoot(hive, scope);
    return hive;
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

bool LessIgnoringCase(const std::string& a, const std::string& b) {
    return UpperCase(a) < UpperCase(b);
}

// The kept attachment of the process, while one lives.
TControlTableAttachment* keptAttachment = nullptr;

// "M" when a control row under the machine-scope code holds `text`, otherwise "U": the one query of a
// decision. Raises what Firebird raises.
std::string QueryScope(TVORNIB& database, const std::string& text) {
    TFbQuery& query = database.Statement(0);
    query.Close();
    // The code is the program's own; the text that comes from the caller goes in as a parameter.
    query.SQL = std::string(" select CNT_KOUMEI ") + "   from GMICNT00 " + "  where CNT_KNRCOD LIKE '" +
                kMachineScopeCode + "%' " + "    and UPPER(CNT_KOUMEI) = :koumei ";
    query.SetParam("koumei", text);
    query.Open();
    const bool machine = !query.Eof();
    query.Close();
    return machine ? "M" : "U";
}

// The decision on an attachment of its own: "M" also when the control table is missing. Raises
// EMyLibraryError when the table test or the query fails.
std::string AskControlTable(TVORNIB& database, const std::string& text) {
    if (!database.TableExists(kControlTable)) return "M";
    try {
        return QueryScope(database, text);
    } catch (const std::exception& e) {
        throw EMyLibraryError(std::string(kRegScopeError) + "\r\n【" + e.what() + "】");
    }
}

// Ends the scope decision's connection on every path; a failing disconnect is told, never raised.
struct ScopeConnection {
    TVORNIB& Database;
    ~ScopeConnection() {
        try {
            Database.Statement(0).Close();
            Database.Connect(false, "");
        } catch (...) {
            // Connect tells its own failures; nothing else can fail here.
        }
    }
};

} // namespace

// ---- the control settings record ----

TFbTimestamp ControlDateTime(const std::string& text) {
    const std::string value = Trimmed(text);
    TFbTimestamp result;
    size_t at = 0;
    const bool date = Digits(value, at, 4, result.Year) && at == 4 && Expect(value, at, '/') &&
                      Digits(value, at, 2, result.Month) && Expect(value, at, '/') &&
                      Digits(value, at, 2, result.Day);
    if (!date || result.Year < 1 || result.Month < 1 || result.Month > 12 || result.Day < 1 ||
        result.Day > DaysInMonth(result.Year, result.Month))
        NotConvertible(text, "日付時刻");
    if (at == value.size()) return result;
    if (value[at] != ' ') NotConvertible(text, "日付時刻");
    while (at < value.size() && value[at] == ' ')
        ++at;
    const bool time = Digits(value, at, 2, result.Hour) && Expect(value, at, ':') &&
                      Digits(value, at, 2, result.Minute) &&
                      (at == value.size() || (Expect(value, at, ':') && Digits(value, at, 2, result.Second)));
    if (!time || at != value.size() || result.Hour > 23 || result.Minute > 59 || result.Second > 59)
        NotConvertible(text, "日付時刻");
    return result;
}

std::int64_t ControlCurrency(const std::string& text) {
    const std::string value = Trimmed(text);
    // The largest magnitude a 64-bit amount in ten-thousandths holds.
    constexpr __int128 kLimit = std::numeric_limits<std::int64_t>::max();
    size_t at = 0;
    bool negative = false;
    if (at < value.size() && (value[at] == '+' || value[at] == '-')) negative = value[at++] == '-';
    __int128 amount = 0; // in ten-thousandths
    int places = -1;     // digits after the point; -1 before it
    bool anyDigit = false;
    bool roundUp = false;
    for (; at < value.size(); ++at) {
        const char c = value[at];
        if (c == '.' && places < 0) {
            places = 0;
            continue;
        }
        if (c < '0' || c > '9') break;
        anyDigit = true;
        if (places < 0) {
            amount = amount * 10 + (c - '0');
            if (amount > kLimit) NotConvertible(text, "通貨値");
        } else if (places < 4) {
            amount = amount * 10 + (c - '0');
            ++places;
        } else if (places++ == 4) {
            roundUp = c >= '5';
        }
    }
    if (!anyDigit || at != value.size()) NotConvertible(text, "通貨値");
    for (int scale = std::max(places, 0); scale < 4; ++scale)
        amount *= 10;
    if (roundUp) ++amount;
    if (amount > kLimit) NotConvertible(text, "通貨値");
    return static_cast<std::int64_t>(negative ? -amount : amount);
}

std::int32_t ControlInteger(const std::string& text) {
    std::int32_t value = 0;
    if (!ParseInteger(Trimmed(text), value)) NotConvertible(text, "整数値");
    return value;
}

std::vector<std::string> ControlList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (IsBlank(item)) break;
        items.push_back(std::move(item));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return items;
}

std::array<std::int32_t, 6> ControlDigits(const std::string& text) {
    std::array<std::int32_t, 6> digits{};
    for (size_t i = 0; i < digits.size() && i < text.size(); ++i)
        if (text[i] >= '0' && text[i] <= '9') digits[i] = text[i] - '0';
    return digits;
}

// ---- the settings object ----

std::string TPLXREG::FullKey(const std::string& key) {
    if (!key.empty() && key.front() == '\\') return key;
    return kRootKey + key;
}

void TPLXREG::SetRegRoot(Hive& root, const std::string& scope) {
    root = scope == "M" ? Hive::Machine : Hive::User;
}

std::string TPLXREG::GetRegScope(const std::string& key, const std::string& name) {
    std::string scopeKey = key;
    if (!scopeKey.empty() && scopeKey.back() == '\\') scopeKey.pop_back();
    const std::string text = UpperCase(scopeKey + "|" + name);
    if (keptAttachment) {
        if (std::optional<std::string> scope = keptAttachment->Scope(text)) return *scope;
    }
    TVORNIB database(1);
    database.SetDatabaseFromSlot();
    ScopeConnection disconnect{database};
    if (!database.Connect(true, "NoMessage")) return "M";
    return AskControlTable(database, text);
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

bool TPLXREG::WriteRegString(const std::string& key, const std::string& name, const std::string& text) {
    const std::string scope = GetRegScope(key, name);
    auto opened = CurrentSettingsStore().OpenKey(HiveOf(scope), FullKey(key), true, KeyAccess::ReadWrite);
    if (!opened) return false;
    opened->WriteString(name, text);
    return true;
}

std::string TPLXREG::GetProgramKey(const std::string& formName) {
    std::string key = std::string(kRootKey) + "PROGRAM\\" + ProgramName;
    if (!IsBlank(formName)) key += "\\FORM\\" + formName;
    return key;
}

void TPLXREG::ReadFormSettings(std::vector<std::string>& list, std::vector<TRegistryRec>& records,
                               const std::string& scope) {
    const Hive hive = HiveOf(scope);
    const std::string formsKey = GetProgramKey("") + "\\FORM";
    list = ReadFormList(hive, formsKey);
    records.clear();
    for (const std::string& form : list)
        records.push_back(ReadFormValues(hive, formsKey, form));
}

std::vector<std::string> TPLXREG::ReadFormList(Hive hive, const std::string& formsKey) {
    std::vector<std::string> forms;
    if (auto opened = OpenExisting(hive, formsKey)) forms = opened->SubKeyNames();
    std::sort(forms.begin(), forms.end(), LessIgnoringCase);
    return forms;
}

TRegistryRec TPLXREG::ReadFormValues(Hive hive, const std::string& formsKey, const std::string& form) {
    TRegistryRec record;
    record.SubKey = form;
    auto opened = OpenExisting(hive, formsKey + "\\" + form);
    if (!opened) return record;
    std::vector<std::string> names = opened->ValueNames();
    std::sort(names.begin(), names.end(), LessIgnoringCase);
    for (const std::string& name : names) {
        std::string text;
        std::int32_t number = 0;
        // Kind and value travel together as "S|text" or "I|number" and are split at the first bar.
        std::string entry;
        if (opened->KindOf(name) == ValueKind::Integer && opened->ReadInteger(name, number))
            entry = "I|" + std::to_string(number);
        else if (opened->ReadString(name, text))
            entry = "S|" + text;
        else
            continue;
        const TSplitText split = SplitAtFirst(entry, "|");
        record.Names.push_back(name);
        record.Kinds.push_back(split.Before);
        record.Values.push_back(split.After);
    }
    return record;
}

// ---- the kept attachment ----

TControlTableAttachment::TControlTableAttachment() {
    if (!keptAttachment) keptAttachment = this;
}

TControlTableAttachment::~TControlTableAttachment() {
    if (keptAttachment == this) keptAttachment = nullptr;
}

bool TControlTableAttachment::Attached() const {
    return database_ && database_->Database.Connected();
}

std::optional<std::string> TControlTableAttachment::Scope(const std::string& text) {
    try {
        const std::string location = SelectedDatabaseLocation();
        if (!database_ || location != location_) {
            database_.reset();
            location_ = location;
            // Its transaction reads what others have committed at each decision, and as a read-only one it
            // may stay open for the attachment's life without holding back the database's clean-up.
            auto fresh = std::make_unique<TVORNIB>(1, TFbIsolation::ReadCommittedReadOnly);
            fresh->SetDatabaseFromSlot();
            // What an attachment of the decision's own would answer; the next decision tries again.
            if (!fresh->Connect(true, "NoMessage")) return "M";
            database_ = std::move(fresh);
        }
        if (!database_->InTransaction()) throw EDatabaseError("トランザクションが開始されていません");
        // One query per decision. Only when it fails is the table looked for: without it the answer is "M",
        // as on an attachment of the decision's own.
        try {
            return QueryScope(*database_, text);
        } catch (const EDatabaseError&) {
            if (!database_->TableExists(kControlTable)) return "M";
            throw;
        }
    } catch (const std::exception&) {
        // Asked again on an attachment of the decision's own, which answers or tells as it would anyway.
        database_.reset();
        return std::nullopt;
    }
}

// ---- the edition's settings ----

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
