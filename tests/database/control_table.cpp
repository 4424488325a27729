#include "tests/database/control_table.h"

#include "database/data_module.h"
#include "support/settings.h"
#include "tests/database/test_database.h"

#include <stdexcept>

namespace towagi::testing {

std::string ControlTableStatement() {
    return "CREATE TABLE GMICNT00 (CNT_KNRCOD VARCHAR(10) NOT NULL, CNT_KOUMEI VARCHAR(100),"
           " CNT_OPTION VARCHAR(100), CNT_CREATE DATETIME, CNT_UPDATE DATETIME)";
}

void CreateControlTable(TFbConnection& connection, const std::vector<TControlRow>& rows) {
    RunStatements(connection, {ControlTableStatement()});
    TFbTransaction transaction = connection.StartTransaction();
    for (const TControlRow& row : rows) {
        connection.Execute(transaction,
                           "INSERT INTO GMICNT00 (CNT_KNRCOD, CNT_KOUMEI) VALUES (:Code, :Value)",
                           {{"Code", row.Code}, {"Value", row.Value ? TFbValue(*row.Value) : TFbValue()}});
    }
    transaction.Commit();
}

void SelectDatabaseSlot(int slot, const std::string& location) {
    if (!WriteMachineString(kDatabaseSlotKey, "SELECT", std::to_string(slot), true) ||
        !WriteMachineString(kDatabaseSlotKey, "PATH" + std::to_string(slot), "BR|" + location, true))
        throw std::runtime_error("the database slot cannot be written to the machine hive");
}

} // namespace towagi::testing
