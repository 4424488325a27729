#pragma once
#include "database/control_settings.h"
#include "database/fb_query.h"
#include "database/firebird.h"
#include "model/edition_profile.h"
#include "support/settings.h"

#include <optional>
#include <string>
#include <vector>

namespace towagi {

class TIniFile;

inline constexpr const char* kDefaultDatabaseUser = "SYSDBA";
inline constexpr const char* kDefaultDatabasePassword = "pinewharf";
inline const std::string kDatabaseSlotKey = std::string(kProductRoot) + "\\PATH\\DB_DATA";
inline const std::string kTotalsSlotKey = std::string(kProductRoot) + "\\PATH\\DB_TOKEI";
inline const std::string kDatabaseSecurityKey = std::string(kProductRoot) + "\\Security";
inline constexpr const char* kDatabaseConnectWarning =
    "データベースに接続できませんでした。\r\nデータベースを確認してください。";

// Field `index` (from 0) of a database slot value "branch|location|...", as it is stored (not trimmed).
std::string SlotField(const std::string& slotValue, int index);

// A slot selector (SELECT under PATH\DB_DATA) as a number: an optional sign and decimal digits that fit
// 32 bits; nothing for any other text.
std::optional<int> SlotNumber(const std::string& select);
// The location (field 1, as stored) of the slot with that number under PATH\DB_DATA of the machine hive;
// a number outside 1..12 means slot 1.
std::string SlotLocation(int number);

// A database slot (PATH1 ... PATH12 under PATH\DB_DATA of the machine hive) as the update and the master
// import read it: branch name and location without trailing blanks. An empty branch is a slot not in use.
struct TDatabaseSlot {
    std::string Branch;
    std::string Location;
};
inline constexpr int kDatabaseSlots = 12;
// `index` 0 to 11 reads PATH1 to PATH12.
TDatabaseSlot ReadDatabaseSlot(int index);

// Whether a slot's database lives on this workstation. Estimation edition: a location without a host part,
// or whose host is LOCALHOST or one of `localAddresses` (the workstation's IPv4 addresses, ignoring case).
// Cost edition: a location without a host part that is an absolute path on a file system that answers.
bool IsLocalDatabase(const EditionProfile& profile, const std::string& location,
                     const std::vector<std::string>& localAddresses);

// The work folder of the suite's database connections below a program folder (ending with '/'):
// program folder + "TEMP/". External tables read their files there only.
std::string GetDataTempDir(const std::string& programDir);

// The data module of both editions (TDM, TKDM): the suite's named connections, whose parameters are built
// just before each open from the registry and, in the estimation edition, QRDISAP.INI.
class TDataModule {
public:
    // `programDir` ends with '/'; QRDISAP.INI and the work folder "TEMP/" lie there.
    TDataModule(const EditionProfile& profile, std::string programDir);
    explicit TDataModule(const EditionProfile& profile) : TDataModule(profile, GetProgramDir()) {}
    TDataModule(const TDataModule&) = delete;
    TDataModule& operator=(const TDataModule&) = delete;
    ~TDataModule();

    TFbDatabase DB_DATA{"DB_DATA"};
    TFbDatabase DB_TOKE{"DB_TOKE"};
    TFbDatabase DB_DATAS{"DB_DATAS"};
    std::string DB_DATASPath; // overrides DB_DATAS's location when not blank; the launcher never sets it
    std::string SectionName;  // the section of QRDISAP.INI that holds GDBPath; the launcher never sets it
    // The cost edition's control table on DB_DATA, keyed by code (parameter KNRCOD), rows in code order.
    TFbQuery GMICNT00{"GMICNT00", DB_DATA,
                      [this] { return loadTransaction_ ? &*loadTransaction_ : nullptr; }};
    TControlSettings ControlSettings;
    // Why DataModuleCreate's connection failed; empty when it did not. The warning's text is fixed, so
    // support staff find the cause in the trace log, which does not exist yet when the module is created.
    std::string ConnectFailure;

    // Run by the program entry right after creating the data module: resets ControlSettings, and the cost
    // edition connects DB_DATA here and only warns when that fails: the launcher runs on without a database.
    void DataModuleCreate();
    // Closes the queries and the connections and empties ControlSettings' lists; run by the destructor.
    void DataModuleDestroy();

    void DB_DATABeforeConnect(TFbDatabase& sender);
    // The cost edition's first connection of DB_DATA loads ControlSettings from the control table and the
    // registry, then connects DB_DATAS. Silent: a failure ends the load where it happened, leaving the
    // fields not yet loaded as they were, and the load is never tried again.
    void DB_DATAAfterConnect(TFbDatabase& sender);
    void DB_TOKEBeforeConnect(TFbDatabase& sender);
    void DB_DATASBeforeConnect(TFbDatabase& sender);

    // The selected slot's location. A SELECT that is not a whole number raises EMyLibraryError; a number
    // outside 1..12 selects slot 1.
    std::string DataBasePath() const;
    std::string DataBasePath2() const;
    // The totals database: DB_TOKEI's SELECT, where a value that sorts before "1" or after "9" means "1".
    std::string DataTokePath() const;
    // Program folder + "TEMP/", not created here.
    std::string GetDataTempDir() const;

    // Opens one of the module's keyed queries for a code, with the parameter its name calls for (a control
    // table's code with "%" unless it has all ten characters, so "K060001" takes the first code that
    // begins with it); true when a row came back.
    static bool OpenControlQuery(TFbQuery& query, const std::string& code);

private:
    struct Credentials {
        std::string UserName;
        std::string Password;
    };
    static Credentials IniCredentials(const TIniFile& ini);
    Credentials RegistryCredentials() const;
    void LoadControlSettings();
    void SetParams(TFbDatabase& sender, const Credentials& credentials, const std::string& location) const;

    const EditionProfile& profile_;
    std::string programDir_;
    // The one transaction the control settings are read in (each transaction start writes to the database).
    std::optional<TFbTransaction> loadTransaction_;
};

using TDM = TDataModule;
using TKDM = TDataModule;

} // namespace towagi
