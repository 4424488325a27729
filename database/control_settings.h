#pragma once
#include "database/firebird.h"
#include "model/edition_profile.h"
#include "support/settings.h"
#include "support/settings_store.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace towagi {

class TVORNIB;

// ---- the control settings record ----

inline constexpr const char* kControlNameCode = "K020004001";
inline const std::string kQuilSecurityKey = std::string(kProductRoot) + "\\QuilSec";
inline const std::string kExcelProgramKey = std::string(kProductRoot) + "\\PROGRAM\\PLX0100";

// What the cost edition keeps of its control table GMICNT00 (and of a few registry values) for the suite:
// loaded once per process, when DB_DATA first connects. A field whose code has no row, or whose load ended
// before it, keeps the value it has here.
struct TControlSettings {
    bool Loaded = false;                 // set as the load starts, so a failed load is not repeated
    std::array<TFbTimestamp, 7> Dates{}; // K060001 to K060007; all fields 0 until loaded
    std::int64_t Amount = 0;             // K060008, a currency amount in ten-thousandths
    std::string NameCode = kControlNameCode;
    std::string NameText;                  // the row of NameCode itself
    std::string UserName;                  // QuilSec\UserName
    std::array<std::int32_t, 3> Numbers{}; // K060011 to K060013
    std::int32_t SingleExcel = 0;          // PROGRAM\PLX0100\SingleExcel; not set (-1) reads as 0
    std::int32_t MultiExcel = 0;
    std::array<std::int32_t, 6> Digits{}; // K060017: its first six characters, 0 where not a digit
    std::string OptionText;               // K060014
    std::array<std::string, 5> Texts;     // K060016: its first five comma-separated fields
    std::vector<std::string> List1;       // K060009: comma-separated items up to the first blank one
    std::vector<std::string> List2;       // K060010
};

// The control table keeps every value as text, written as the suite's Japanese workstations write them.
// Each conversion raises EMyLibraryError ("'text' は有効な...ではありません") for a text that does not
// convert; blanks around the text do not count.
// "yyyy/m/d" (a four-digit year), optionally followed by blanks and "h:nn" or "h:nn:ss"; a day or time
// that does not exist fails.
TFbTimestamp ControlDateTime(const std::string& text);
// A signed decimal amount with at most four places kept (further places are rounded half away from zero),
// in ten-thousandths.
std::int64_t ControlCurrency(const std::string& text);
// An optional sign and decimal digits that fit 32 bits.
std::int32_t ControlInteger(const std::string& text);
// The comma-separated items (plain bytes) before the first blank one, as they stand.
std::vector<std::string> ControlList(const std::string& text);
// The first six characters, each as its digit's value or 0 (also where the text is shorter).
std::array<std::int32_t, 6> ControlDigits(const std::string& text);

// ---- the settings object ----

// One form's settings as ReadFormSettings lists them.
struct TRegistryRec {
    std::string Text;                // not filled here
    std::string SubKey;              // the form's key name
    std::vector<std::string> Names;  // value names, sorted
    std::vector<std::string> Kinds;  // "S" text, "I" integer
    std::vector<std::string> Values; // the values as text
};

inline constexpr const char* kRegScopeError = "レジストリ情報の取得に失敗しました。";

// The cost edition's settings object: reads and writes values below the product root, and asks the
// control table, value by value, whether a value is the machine's ("M") or each user's own ("U").
class TPLXREG {
public:
    // Every key handed in is relative to this root, which the object puts in front.
    static constexpr const char* kRootKey = "\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\";

    TPLXREG() = default;
    virtual ~TPLXREG() = default;
    TPLXREG(const TPLXREG&) = delete;
    TPLXREG& operator=(const TPLXREG&) = delete;

    std::string ProgramName; // names the program's key below PROGRAM; empty in the launcher
    std::array<std::vector<std::string>, 2> Lists;
    std::array<std::vector<TRegistryRec>, 2> RegistryRec;

    // A missing key or value reads as empty; a blank per-user value counts as missing, so the machine
    // hive's value is read then. A value stored as an integer raises ESettingsError.
    std::string ReadRegString(const std::string& key, const std::string& name);
    // The first hive (per-user first when the scope is "U") that holds an integer of that name gives the
    // result; a value of the other kind counts as missing; `defaultValue` when neither does.
    std::int32_t ReadRegInteger(const std::string& key, const std::string& name, std::int32_t defaultValue);
    // Writes into the scope's hive, creating the key; false when the key can neither be opened nor made.
    bool WriteRegString(const std::string& key, const std::string& name, const std::string& text);

    // "U" unless a control row whose code begins "K020029" holds the key (without one trailing backslash),
    // "|" and the name, compared in upper case; "M" also when the database or its control table cannot be
    // used. Each call attaches to the selected slot's database and detaches again; nothing is cached.
    // A failing query raises EMyLibraryError(kRegScopeError + CR LF + "【" + message + "】"), a failing
    // table test TableExists's own EMyLibraryError.
    virtual std::string GetRegScope(const std::string& key, const std::string& name);
    // The program's key, and below it "\FORM\" + the form's name when that is not blank.
    virtual std::string GetProgramKey(const std::string& formName);
    // The form keys below GetProgramKey("") + "\FORM" of the scope's hive, sorted, into `list`, and per
    // form its values in name order into `records`.
    virtual void ReadFormSettings(std::vector<std::string>& list, std::vector<TRegistryRec>& records,
                                  const std::string& scope);

    // The machine hive for "M", the user hive for any other letter.
    static void SetRegRoot(Hive& root, const std::string& scope);
    // The key as the store knows it. A key that begins with a backslash names a key outside the product
    // root and is taken as it stands.
    static std::string FullKey(const std::string& key);

private:
    static std::vector<std::string> ReadFormList(Hive hive, const std::string& formsKey);
    static TRegistryRec ReadFormValues(Hive hive, const std::string& formsKey, const std::string& form);
};

// The instance the updater and the master import read their settings through.
class TPLXDirectReg : public TPLXREG {
public:
    TPLXDirectReg() = default;
};

// While one lives, the scope decisions of every settings object of the process run on one kept attachment
// to the selected database, instead of attaching and detaching for each value: the cost edition's updater
// window keeps one for its whole life. Each decision still asks the control table, in a read-committed
// transaction that sees what others have committed up to that moment, so nothing is cached. The attachment is
// made at the first decision and again when the selected location has changed or a decision failed on it; a
// decision that fails on it is asked once more on an attachment of its own, so answers and errors are those
// of an attachment per decision. One at a time: a second one made while another lives keeps nothing.
class TControlTableAttachment {
public:
    TControlTableAttachment();
    ~TControlTableAttachment();
    TControlTableAttachment(const TControlTableAttachment&) = delete;
    TControlTableAttachment& operator=(const TControlTableAttachment&) = delete;

    bool Attached() const;

private:
    friend class TPLXREG;
    // The scope for the upper-cased "key|name"; nothing when the kept attachment could not answer.
    std::optional<std::string> Scope(const std::string& text);

    std::unique_ptr<TVORNIB> database_;
    std::string location_;
};

// A settings value of the edition, the one way every step reads them: below "\SOFTWARE\VORN\TOWAGI\RUVOZEZ"
// of the machine hive, or, where the profile says settings go through the control table, through the
// settings object (TPLXDirectReg) and so from the hive the control table names. A key that begins with a
// backslash is taken as it stands instead of below the product root. Nothing is cached. Missing values
// read as "" and -1; the settings object's failures (a control table that cannot be asked) are raised.
std::string ReadEditionString(const EditionProfile& profile, const std::string& key, const std::string& name);
std::int32_t ReadEditionInteger(const EditionProfile& profile, const std::string& key,
                                const std::string& name);

} // namespace towagi
