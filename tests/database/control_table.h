#pragma once
#include "database/firebird.h"

#include <optional>
#include <string>
#include <vector>

namespace towagi::testing {

// One row of the cost edition's control table: a code and its value (null when absent).
struct TControlRow {
    std::string Code;
    std::optional<std::string> Value;
};

// The statement that makes the control table GMICNT00, with the suite's columns of a code table.
std::string ControlTableStatement();

// Creates GMICNT00 on the connection and fills it with the rows.
void CreateControlTable(TFbConnection& connection, const std::vector<TControlRow>& rows);

// Points the suite's own connections at `location`: SELECT `slot` and PATH<slot> = "BR|location" under
// PATH\DB_DATA of the machine hive.
void SelectDatabaseSlot(int slot, const std::string& location);

} // namespace towagi::testing
