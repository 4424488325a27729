#pragma once
#include "database/control_settings.h"
#include "database/fb_query.h"
#include "database/firebird.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace towagi {

inline constexpr const char* kTableExistsError = "テーブルの存在確認に失敗しました。";

// The location of the slot that PATH\DB_DATA's SELECT names (per-user value first in per-user mode), as
// TVORNIB takes it: a SELECT that is not a number or lies outside 1..12 means slot 1.
std::string SelectedDatabaseLocation();

// The cost edition's own small access object for the database of the selected slot: one connection with
// fixed credentials (SYSDBA and the default password, never the registry's), one transaction that is
// never committed, and a number of statements bound to both. Failures of connecting and of the transaction
// are told in warning boxes and come back as results; only TableExists raises.
class TVORNIB {
public:
    // `isolation`: the kind of transaction Connect and StartTransaction start; the client's default
    // (snapshot) unless one that stays open for long reads is wanted.
    explicit TVORNIB(int statementCount, TFbIsolation isolation = TFbIsolation::Snapshot);
    ~TVORNIB();
    TVORNIB(const TVORNIB&) = delete;
    TVORNIB& operator=(const TVORNIB&) = delete;

    // The connection. Its work folder for external files is the data module's (program folder + "TEMP/"),
    // so whichever attach comes first in the process sets the engine up the same way.
    TFbDatabase Database{"IBDatabase"};

    // Points the connection at the location of the slot that PATH\DB_DATA's SELECT names (per-user value
    // first in per-user mode); a SELECT that is not a number or lies outside 1..12 means slot 1. False when
    // that slot has no location.
    bool SetDatabaseFromSlot();
    // Connects and starts the transaction, or rolls it back and disconnects. False when that failed; a
    // blank `messageOption` tells the failure in a warning first, any other text (such as "NoMessage")
    // keeps quiet.
    bool Connect(bool connect, const std::string& messageOption);
    // Rolls back an active transaction, then starts a new one. A failure is told in a warning, never raised,
    // and leaves no transaction (InTransaction is false), so Connect still reports success.
    void StartTransaction();
    // Rolls back the active transaction (this object never commits), closing the statements first; a
    // failure is told in a warning, never raised.
    void EndTransaction();
    bool InTransaction() const { return transaction_.has_value(); }

    // Raises EDatabaseError for an index outside the count given at construction.
    TFbQuery& Statement(int index);
    // Whether a relation of exactly that name (stored names are upper case) has fields, so a view counts
    // too. Leaves the statement it uses with the text it had before. Raises EMyLibraryError on failure.
    bool TableExists(const std::string& tableName);
    // The statement TableExists uses.
    TFbQuery& TableStatement() { return *tableStatement_; }

private:
    TFbTransaction* ActiveTransaction();

    TFbIsolation isolation_;
    // The suite's programs read their settings through the object they reach the database with; the
    // launcher reads none here.
    TPLXDirectReg settings_;
    std::optional<TFbTransaction> transaction_;
    std::vector<std::unique_ptr<TFbQuery>> statements_;
    std::unique_ptr<TFbQuery> tableStatement_;
};

} // namespace towagi
