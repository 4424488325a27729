#pragma once
#include "database/firebird.h"
#include "database/master_layouts.h"
#include "model/edition_profile.h"
#include "model/update_state.h"

#include <optional>
#include <string>
#include <vector>

namespace towagi {

// The import connection's settings.
struct TGDBProperty {
    std::string DatabaseName; // the slot's location: a file, or "host:path" on a server
    std::string UserName;
    std::string Password;
};

// The location of slot `slotIndex` (0 to 11) with the suite's credentials (GDBUSERID and GDBPASSWORD
// under Security, read as the edition reads its settings); a blank user is SYSDBA, a blank password the
// default one, each on its own.
TGDBProperty ReadGDBProperty(const EditionProfile& profile, int slotIndex);

// The master tables the edition imports, in import order.
std::vector<TMasterTable> EditionMasterTables(const EditionProfile& profile);

// A code table whose rows a branch can protect, and the table that keeps them during the import.
struct TProtectionTable {
    const char* Code;
    const char* Keep;
};
const std::vector<TProtectionTable>& ProtectionTables();

// A slot's archive in the local master folder (ending with '/'): branch name + the first extension of
// the edition's list that is there, found without regard to letter case as the suite's file system
// finds it.
struct TMasterArchive {
    std::string Path;      // "" when there is none
    std::string Extension; // as the edition lists it: ".zip", ".lzh"
};
TMasterArchive FindMasterArchive(const EditionProfile& profile, const std::string& masterFolder,
                                 const std::string& branch);
// Deletes the slot's archive, so that the next update run fetches it again and imports it. Quiet when
// there is none or it will not go.
void DeleteMasterArchive(const EditionProfile& profile, const std::string& masterFolder,
                         const std::string& branch);

// Deletes the edition's master text files (table name + ".TXT", any letter case) from the folder (ending
// with '/'). Files that will not go are left.
void ClearMasterTextFiles(const EditionProfile& profile, const std::string& folder);

// One slot import's connection and transaction, and the steps that run on them. Statements of the steps
// are sent as lines ended by CR LF. Released on every path by the destructor.
class TMasterImport {
public:
    // `workFolder` ends with '/'; the data files lie there and an embedded engine reads external files
    // nowhere else.
    TMasterImport(TUpdateState& state, std::string workFolder);
    TMasterImport(const TMasterImport&) = delete;
    TMasterImport& operator=(const TMasterImport&) = delete;

    // Raises EDatabaseError when the database cannot be opened.
    void Connect(const TGDBProperty& property);
    // Runs in the open transaction; without one, in a transaction of its own that commits at once.
    // Raises the statement's error.
    void ExecuteStatement(const std::string& sql, const TFbParams& params = {});
    // Whether the database has a user table of that name (letter case ignored); false on any error.
    bool HasTable(const std::string& name);
    // Rolls back a transaction still open, then starts the one the master rows change in.
    void StartTransaction();
    void Commit();
    // Quiet: a transaction that cannot be rolled back ends with the connection.
    void Rollback() noexcept;
    bool InTransaction() const { return transaction_ && transaction_->Active(); }

    void DropWorkTables();
    void CreateWorkTables(const std::string& folder);
    // Estimation edition: the KMIREID0 statement with REI_REIBUN as wide as the database's own column.
    void FitRemarkLength(const std::string& folder, const std::string& workTable,
                         std::vector<std::string>& lines);
    // The column's width in characters; 0 when there is no such column or anything fails.
    int GetColumnLength(const std::string& table, const std::string& column);
    // The bytes of one record of an external table as the engine lays it out, from the table's own
    // definitions; 0 for anything but an external table, or when a column has a type not known here.
    int ExternalRecordLength(const std::string& table);
    // Every master table the database has must find its text file, whole records only; a name that
    // differs only in letter case is renamed to the one the external table names. False (with a trace
    // line) otherwise: the engine would read a missing file as empty and empty the master table.
    bool CheckMasterTextFiles(const std::string& folder);
    void ReadProtectionList();
    void SaveProtectedRows();
    void DeleteMasterRows();
    void CopyWorkRows();
    void RestoreProtectedRows();
    void DropProtectionTables();

    // "table=prefixes" lines of the catalogue file's protection section, from ReadProtectionList to
    // DropProtectionTables.
    std::vector<std::string> MastProtectionList;

private:
    // A statement whose failure the cost edition passes over.
    void ExecuteWorkTableStatement(const std::string& sql);
    std::vector<std::pair<const TProtectionTable*, std::vector<std::string>>> ProtectedEntries() const;

    TUpdateState& state_;
    const EditionProfile& profile_;
    std::string workFolder_;
    TFbConnection connection_;
    std::optional<TFbTransaction> transaction_;
};

// The database part of one slot import: work tables over the text files in `workFolder`, the protected
// code rows kept aside, and in one transaction every master table emptied, filled from its work table and
// its protected rows put back. A failure there rolls everything back, deletes the slot's archive from
// `updateFolder` + "MAST/" (so the next run imports it again) and shows "マスタ(branch)の更新に失敗しました。";
// a connection that cannot be opened shows "データベース(branch)への接続に失敗しました。" the same way.
// Failures while preparing raise (the estimation edition's and the cost edition's protection save).
void UpdateMasterDatabase(TUpdateState& state, int slotIndex, const std::string& updateFolder,
                          const std::string& workFolder, const std::string& branch);

} // namespace towagi
