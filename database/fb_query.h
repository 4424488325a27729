#pragma once
#include "database/firebird.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace towagi {

// A statement object of a named connection, as the data modules and the database access class keep them:
// its text and parameters are set, then it is opened and its rows read one at a time. It runs in the
// transaction its owner hands it, or, without one, in a transaction of its own: a select's is rolled back
// when the query is closed, any other statement's is committed at once.
class TFbQuery {
public:
    // Gives the transaction to run in, or nullptr for one of the query's own. Raises when there is none
    // to be had (EDatabaseError).
    using TransactionSource = std::function<TFbTransaction*()>;

    TFbQuery(std::string name, TFbDatabase& database, TransactionSource transaction = {});
    TFbQuery(const TFbQuery&) = delete;
    TFbQuery& operator=(const TFbQuery&) = delete;
    ~TFbQuery();

    const std::string& Name() const { return name_; }
    std::string SQL;

    // Kept until the query is closed, so they are set after Close and before Open; a name compares without
    // regard to ASCII case. Opening with a parameter the text does not have raises EDatabaseError.
    void SetParam(const std::string& name, const TFbValue& value);

    // Prepares and runs the text with the parameters set; a select stands on its first row afterwards
    // (Eof when there is none). The cursor of an earlier Open is ended first.
    void Open();
    bool Active() const { return cursor_.has_value() || ownTransaction_.has_value(); }
    bool Eof() const { return eof_; }
    void Next();
    // The current row's column; raises EDatabaseError at Eof or for a column the row does not have.
    const TFbValue& FieldByName(const std::string& name) const;
    // Ends the cursor and the query's own transaction, and forgets the parameters. Never raises: what
    // Firebird refuses at this point has ended all the same.
    void Close() noexcept;

private:
    void EndCursor() noexcept;

    std::string name_;
    TFbDatabase& database_;
    TransactionSource transaction_;
    TFbParams params_;
    std::optional<TFbTransaction> ownTransaction_;
    std::optional<TFbCursor> cursor_;
    bool eof_ = true;
};

} // namespace towagi
