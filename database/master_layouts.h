#pragma once
#include <string>
#include <vector>

namespace towagi {

// A master table and the work table that reads its data file during the import.
struct TMasterTable {
    const char* Master;
    const char* Work;
};

// The master tables in import order. The cost edition imports the first 14; the estimation edition all 16.
const std::vector<TMasterTable>& MasterTables();

// Appends the statement that declares `workTable` over the data file of `masterTable` (its name followed by
// ".txt" in `folder`) as an external table, one line per entry. A quote in the folder is doubled inside
// the file name's literal. The column list fixes the file's record
// layout and matches the master table column for column, so the rows can be copied positionally.
// A name without a layout (names compare exactly, so "kmicnt00" has none) appends nothing: false.
bool BuildExternalTableSQL(const std::string& folder, const std::string& workTable,
                           const std::string& masterTable, std::vector<std::string>& lines);

// The KMIREID0 statement with REI_REIBUN declared VARCHAR(remarkLength), for a database whose own remark
// column has another width than the usual one.
void BuildRemarkTableSQL(const std::string& folder, const std::string& workTable, int remarkLength,
                         std::vector<std::string>& lines);

} // namespace towagi
