#pragma once
#include "support/errors.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Firebird {
class IAttachment;
class ITransaction;
class IStatement;
class IResultSet;
} // namespace Firebird

namespace towagi {

// A request Firebird refused, with Firebird's own message text, or one the layer refuses before sending.
class EDatabaseError : public EUpdateError {
public:
    explicit EDatabaseError(const std::string& message, std::intptr_t errorCode = 0)
        : EUpdateError(message), ErrorCode(errorCode) {}
    std::intptr_t ErrorCode; // Firebird's primary error code (isc_...); 0 for the layer's own refusals
};

// The embedded engine's process-wide settings, kept in `engineDir`: firebird.conf (SuperClassic, so that the
// suite's other programs can open the same database at the same time; external files only in
// `externalFileDir`; no UDFs) and a copy of the installation's character-set module, which the engine looks
// for beside its configuration. FIREBIRD points there. The engine's lock and temporary files go to the
// user's own folder (UseEngineLockDir). The engine reads all this once, at the first attach of the
// process, so only a call before any attach counts; later calls return false and change nothing.
// Raises EDatabaseError when the files cannot be written or the lock folder cannot be used.
bool ConfigureEmbeddedEngine(const std::string& engineDir, const std::string& externalFileDir);

// The folder where the user's embedded engines keep their lock files: every process that opens a database
// file embedded must use the same one, or each would lock it for itself alone. This user's own
// "/tmp/towagi-firebird-<uid>/" (local, emptied at every boot, as the engine's files should be).
std::string DefaultEngineLockDir();

// Creates `folder` (0700) or checks the one there: a real folder, not a link, that belongs to this user and
// that no other user may write, so that no one else can take part in this user's locks. Raises
// EDatabaseError naming the folder and FIREBIRD_LOCK otherwise.
void PrepareEngineLockDir(const std::string& folder);

// Sets FIREBIRD_LOCK and FIREBIRD_TMP for the engine of this process and every program it starts, and
// returns the lock folder. A FIREBIRD_LOCK or FIREBIRD_TMP already set (by the administrator, or by the
// suite program that started this one) is kept; otherwise both name DefaultEngineLockDir(), prepared.
std::string UseEngineLockDir();

// Where the first attach of a process keeps the engine's settings when nothing configured it before:
// "firebird/" beside the work folder, out of reach of the external tables the work folder allows.
std::string EngineDirBeside(const std::string& externalFileDir);

// Whether the location names a server ("host:path", as Firebird itself splits it) rather than a file.
bool HasHostPart(const std::string& location);

struct TFbConnectParams {
    std::string Location; // a path opens the database in this process; "host:path" goes through a server
    std::string UserName;
    std::string Password;
    // Embedded only: the one folder whose files may back external tables (empty: none). The first attach
    // of the process also configures the engine beside it unless ConfigureEmbeddedEngine ran before.
    std::string ExternalFileDir;
};

struct TFbTimestamp {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
    int Fraction = 0; // ten-thousandths of a second
    bool operator==(const TFbTimestamp&) const = default;
};

// A parameter or field value. Text is UTF-8 here; the database keeps the suite's CP932 bytes.
class TFbValue {
public:
    enum class Kind { Null, Integer, Float, Text, Timestamp, Boolean };
    TFbValue() = default;
    TFbValue(std::int64_t value) : kind_(Kind::Integer), integer_(value) {}
    TFbValue(int value) : TFbValue(static_cast<std::int64_t>(value)) {}
    TFbValue(double value) : kind_(Kind::Float), float_(value) {}
    TFbValue(std::string value) : kind_(Kind::Text), text_(std::move(value)) {}
    TFbValue(const char* value) : TFbValue(std::string(value)) {}
    TFbValue(bool value) : kind_(Kind::Boolean), integer_(value ? 1 : 0) {}
    TFbValue(const TFbTimestamp& value) : kind_(Kind::Timestamp), timestamp_(value) {}

    Kind GetKind() const { return kind_; }
    bool IsNull() const { return kind_ == Kind::Null; }
    // Null gives "", numbers their decimal text, timestamps "yyyy/mm/dd hh:nn:ss", booleans "True"/"False".
    std::string AsString() const;
    // Null gives 0; text must be a whole decimal number and a float a whole value, else EDatabaseError.
    std::int64_t AsInteger() const;
    double AsFloat() const;
    bool AsBoolean() const;
    TFbTimestamp AsTimestamp() const;

private:
    Kind kind_ = Kind::Null;
    std::int64_t integer_ = 0;
    double float_ = 0;
    std::string text_;
    TFbTimestamp timestamp_;
};

// One fetched row: values in select-list order, each with its column name (or alias).
class TFbRow {
public:
    TFbRow(std::shared_ptr<const std::vector<std::string>> names, std::vector<TFbValue> values)
        : names_(std::move(names)), values_(std::move(values)) {}
    size_t Count() const { return values_.size(); }
    const TFbValue& operator[](size_t index) const { return values_.at(index); }
    const std::vector<std::string>& Names() const { return *names_; }
    // Names compare without regard to ASCII case; an unknown name raises EDatabaseError.
    const TFbValue& FieldByName(const std::string& name) const;

private:
    std::shared_ptr<const std::vector<std::string>> names_;
    std::vector<TFbValue> values_;
};

// Parameters by name (":Name" in the statement text).
using TFbParams = std::vector<std::pair<std::string, TFbValue>>;

namespace fb_detail {
struct AttachmentHolder;
struct StatementCore;
} // namespace fb_detail

// How a transaction sees the others' work. Snapshot is the client's default: one view of the database from
// its start. ReadCommittedReadOnly reads what others have committed at each statement and writes nothing;
// Firebird counts it as committed from its start, so it may stay open long without holding back the
// clean-up of old record versions.
enum class TFbIsolation { Snapshot, ReadCommittedReadOnly };

// Rolls back on destruction unless Commit or Rollback ran.
class TFbTransaction {
public:
    TFbTransaction(TFbTransaction&& other) noexcept;
    TFbTransaction& operator=(TFbTransaction&& other) noexcept;
    TFbTransaction(const TFbTransaction&) = delete;
    TFbTransaction& operator=(const TFbTransaction&) = delete;
    ~TFbTransaction();

    bool Active() const { return transaction_ != nullptr; }
    void Commit();
    void Rollback();

private:
    friend class TFbConnection;
    friend class TFbStatement;
    Firebird::ITransaction* Handle() const; // raises EDatabaseError when no longer active
    TFbTransaction(std::shared_ptr<fb_detail::AttachmentHolder> attachment,
                   Firebird::ITransaction* transaction);
    void Release() noexcept;
    std::shared_ptr<fb_detail::AttachmentHolder> attachment_;
    Firebird::ITransaction* transaction_ = nullptr;
};

// Rows of an open select, one at a time; closed on destruction.
class TFbCursor {
public:
    TFbCursor(TFbCursor&& other) noexcept;
    TFbCursor& operator=(TFbCursor&& other) noexcept;
    TFbCursor(const TFbCursor&) = delete;
    TFbCursor& operator=(const TFbCursor&) = delete;
    ~TFbCursor();

    // Fetches the next row; false after the last one.
    bool Next();
    const TFbRow& Row() const; // the row the last Next fetched
    void Close();

private:
    friend class TFbStatement;
    TFbCursor(std::shared_ptr<fb_detail::StatementCore> core, Firebird::IResultSet* cursor);
    void Release() noexcept;
    std::shared_ptr<fb_detail::StatementCore> core_;
    Firebird::IResultSet* cursor_ = nullptr;
    std::unique_ptr<TFbRow> row_;
};

// A prepared statement. Parameters are written ":Name" (a name used twice is set in both places) or "?".
class TFbStatement {
public:
    TFbStatement(TFbStatement&&) noexcept = default;
    TFbStatement& operator=(TFbStatement&&) noexcept = default;
    ~TFbStatement();

    int ParamCount() const;
    const std::vector<std::string>& ParamNames() const; // "" for a "?" parameter
    // Index from 0; a name compares without regard to ASCII case. Unknown ones raise EDatabaseError.
    TFbStatement& SetParam(int index, const TFbValue& value);
    TFbStatement& SetParam(const std::string& name, const TFbValue& value);
    const std::vector<std::string>& FieldNames() const;
    bool ReturnsRows() const; // a select

    // Runs the statement; the rows of a select are not read.
    void Execute(TFbTransaction& transaction);
    // A select only.
    TFbCursor Open(TFbTransaction& transaction);

private:
    friend class TFbConnection;
    explicit TFbStatement(std::shared_ptr<fb_detail::StatementCore> core) : core_(std::move(core)) {}
    std::shared_ptr<fb_detail::StatementCore> core_;
};

// One attachment. Every statement runs in SQL dialect 1 and the connection's character set is NONE, so the
// suite's bytes are kept as they are: statement text and parameters go in as CP932 (text that does not
// convert raises EEncodingError), and an external file's name must be ASCII (EDatabaseError). Transactions,
// statements and cursors keep the attachment alive; the destructor detaches quietly.
class TFbConnection {
public:
    TFbConnection() = default;
    TFbConnection(TFbConnection&&) noexcept = default;
    TFbConnection& operator=(TFbConnection&& other) noexcept;
    TFbConnection(const TFbConnection&) = delete;
    TFbConnection& operator=(const TFbConnection&) = delete;
    ~TFbConnection();

    // User name and password travel in the attach request; nothing ever prompts for them.
    static TFbConnection Attach(const TFbConnectParams& params);
    // A new SQL dialect 1 database (character set NONE); Firebird refuses a file that exists.
    static TFbConnection Create(const TFbConnectParams& params);

    bool Connected() const;
    // Raises EDatabaseError while a transaction is still active; the connection has ended either way.
    void Detach();

    TFbTransaction StartTransaction(TFbIsolation isolation = TFbIsolation::Snapshot);
    TFbStatement Prepare(TFbTransaction& transaction, const std::string& sql);
    void Execute(TFbTransaction& transaction, const std::string& sql, const TFbParams& params = {});
    std::vector<TFbRow> Query(TFbTransaction& transaction, const std::string& sql,
                              const TFbParams& params = {});

    // Names of the database's own tables (system tables and views left out), upper case as stored.
    std::vector<std::string> UserTables(TFbTransaction& transaction);
    // Compares without regard to ASCII case.
    bool HasTable(TFbTransaction& transaction, const std::string& name);

private:
    explicit TFbConnection(std::shared_ptr<fb_detail::AttachmentHolder> attachment)
        : attachment_(std::move(attachment)) {}
    Firebird::IAttachment* Handle() const;
    std::shared_ptr<fb_detail::AttachmentHolder> attachment_;
};

// A named connection of a data module: BeforeConnect fills Params just before every open with the lines
// "USER NAME=", "PASSWORD=" and "SERVER NAME=" (the last names the location; without it DatabaseName does).
class TFbDatabase {
public:
    explicit TFbDatabase(std::string name) : name_(std::move(name)) {}
    TFbDatabase(const TFbDatabase&) = delete;
    TFbDatabase& operator=(const TFbDatabase&) = delete;

    const std::string& Name() const { return name_; }
    std::vector<std::string> Params;
    std::string DatabaseName;
    std::string ExternalFileDir;
    std::function<void(TFbDatabase& sender)> BeforeConnect;
    std::function<void(TFbDatabase& sender)> AfterConnect;

    // Runs BeforeConnect, attaches with the parameters, then runs AfterConnect; nothing when connected.
    // A parameter line the layer does not know raises EDatabaseError, as do a blank location (before any
    // attach) and a failed attach.
    void Open();
    void Close(); // raises EDatabaseError when Firebird refuses to detach
    bool Connected() const { return connection_.Connected(); }
    TFbConnection& Connection(); // raises EDatabaseError when not connected
    // What Open would hand to the client for the current Params.
    TFbConnectParams ConnectParams() const;

private:
    std::string name_;
    TFbConnection connection_;
};

} // namespace towagi
