#include "database/vorn_ib.h"

#include "database/data_module.h"
#include "platform/prompts.h"
#include "support/errors.h"
#include "support/settings.h"
#include "support/text.h"

namespace towagi {

std::string SelectedDatabaseLocation() {
    const std::optional<int> number = SlotNumber(ReadSettingString(kDatabaseSlotKey, "SELECT", false));
    return SlotLocation(number.value_or(-1));
}

TVORNIB::TVORNIB(int statementCount, TFbIsolation isolation) : isolation_(isolation) {
    // Fixed credentials: this object never reads the registry's database user.
    Database.Params = {std::string("USER_NAME=") + kDefaultDatabaseUser,
                       std::string("PASSWORD=") + kDefaultDatabasePassword};
    Database.ExternalFileDir = GetDataTempDir(GetProgramDir());
    const auto transaction = [this] { return ActiveTransaction(); };
    for (int i = 0; i < statementCount; ++i)
        statements_.push_back(
            std::make_unique<TFbQuery>("Statement" + std::to_string(i), Database, transaction));
    tableStatement_ = std::make_unique<TFbQuery>("TableStatement", Database, transaction);
}

TVORNIB::~TVORNIB() {
    // Statements before the transaction they run in, the transaction before its connection.
    tableStatement_.reset();
    statements_.clear();
    transaction_.reset();
    try {
        Database.Close();
    } catch (const EDatabaseError&) {
        // Firebird has ended the attachment all the same.
    }
}

TFbTransaction* TVORNIB::ActiveTransaction() {
    if (!transaction_) throw EDatabaseError("トランザクションが開始されていません");
    return &*transaction_;
}

bool TVORNIB::SetDatabaseFromSlot() {
    try {
        const std::string location = SelectedDatabaseLocation();
        if (IsBlank(location)) return false;
        Database.DatabaseName = location;
        return true;
    } catch (const std::exception& e) {
        ShowWarning(std::string("データベースの接続に失敗\r\n") + e.what());
        return false;
    }
}

bool TVORNIB::Connect(bool connect, const std::string& messageOption) {
    try {
        if (!connect) EndTransaction();
        if (connect)
            Database.Open();
        else
            Database.Close();
        if (connect) StartTransaction();
        return true;
    } catch (const std::exception& e) {
        if (IsBlank(messageOption))
            ShowWarning(std::string("データベースの") + (connect ? "接続" : "切断") + "に失敗\r\n" +
                        e.what());
        return false;
    }
}

void TVORNIB::StartTransaction() {
    EndTransaction();
    try {
        transaction_ = Database.Connection().StartTransaction(isolation_);
    } catch (const std::exception& e) {
        ShowWarning(std::string("トランザクション開始に失敗\r\n") + e.what());
    }
}

void TVORNIB::EndTransaction() {
    if (!transaction_) return;
    for (auto& statement : statements_)
        statement->Close();
    tableStatement_->Close();
    // This object never commits: what its statements changed goes with the transaction.
    std::optional<TFbTransaction> ending = std::move(transaction_);
    transaction_.reset();
    try {
        ending->Rollback();
    } catch (const std::exception& e) {
        ShowWarning(std::string("トランザクション終了に失敗\r\n") + e.what());
    }
}

TFbQuery& TVORNIB::Statement(int index) {
    if (index < 0 || index >= static_cast<int>(statements_.size()))
        throw EDatabaseError("文の番号[" + std::to_string(index) + "]は範囲外です");
    return *statements_[static_cast<size_t>(index)];
}

bool TVORNIB::TableExists(const std::string& tableName) {
    TFbQuery& query = *tableStatement_;
    query.Close();
    const std::string saved = query.SQL;
    bool exists = false;
    try {
        query.SQL =
            std::string("select count(*) from RDB$RELATION_FIELDS ") + " where RDB$RELATION_NAME = :Tbl ";
        query.SetParam("Tbl", tableName);
        query.Open();
        exists = query.FieldByName("COUNT").AsInteger() > 0;
        query.Close();
    } catch (const std::exception& e) {
        query.SQL = saved;
        query.Close();
        throw EMyLibraryError(std::string(kTableExistsError) + "\r\n【" + e.what() + "】");
    }
    query.SQL = saved;
    query.Close();
    return exists;
}

} // namespace towagi
