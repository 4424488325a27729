#include "database/fb_query.h"

#include "support/text.h"

namespace towagi {

TFbQuery::TFbQuery(std::string name, TFbDatabase& database, TransactionSource transaction)
    : name_(std::move(name)), database_(database), transaction_(std::move(transaction)) {}

TFbQuery::~TFbQuery() {
    EndCursor();
}

void TFbQuery::SetParam(const std::string& name, const TFbValue& value) {
    for (auto& [known, stored] : params_) {
        if (SameText(known, name)) {
            stored = value;
            return;
        }
    }
    params_.emplace_back(name, value);
}

void TFbQuery::Open() {
    EndCursor();
    TFbTransaction* transaction = transaction_ ? transaction_() : nullptr;
    if (!transaction) {
        ownTransaction_ = database_.Connection().StartTransaction();
        transaction = &*ownTransaction_;
    }
    try {
        TFbStatement statement = database_.Connection().Prepare(*transaction, SQL);
        for (const auto& [name, value] : params_)
            statement.SetParam(name, value);
        if (!statement.ReturnsRows()) {
            statement.Execute(*transaction);
            // Nothing stays open for a statement without rows; in a transaction of its own it counts at once.
            if (ownTransaction_) {
                ownTransaction_->Commit();
                ownTransaction_.reset();
            }
            return;
        }
        cursor_ = statement.Open(*transaction);
        eof_ = !cursor_->Next();
    } catch (...) {
        EndCursor();
        throw;
    }
}

void TFbQuery::Next() {
    if (!cursor_ || eof_) return;
    eof_ = !cursor_->Next();
}

const TFbValue& TFbQuery::FieldByName(const std::string& name) const {
    if (!cursor_ || eof_) throw EDatabaseError("クエリ[" + name_ + "]に読み込んだ行がありません");
    return cursor_->Row().FieldByName(name);
}

void TFbQuery::Close() noexcept {
    EndCursor();
    params_.clear();
}

void TFbQuery::EndCursor() noexcept {
    // The cursor goes before the transaction it runs in.
    cursor_.reset();
    ownTransaction_.reset();
    eof_ = true;
}

} // namespace towagi
