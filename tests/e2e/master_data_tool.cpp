// Master data for the end-to-end tests of the master import.
//   master_data_tool database FILE          a suite database with two old rows in every master table
//   master_data_tool archive ARCHIVE COUNT  a branch archive (.zip or .lzh by its name) with new rows in
//                                           the text files of the first COUNT master tables
//   master_data_tool check FILE COUNT       the database after the import with KMICNT00=K01 protected:
//                                           the first COUNT tables hold exactly the new rows, KMICNT00 the
//                                           old ones under K01, the others their old rows; prints what differs
// Codes of the code tables: old K01A, K012B, X01; new K01A, K012B, K012Z, X01, Y09; names 旧 and 新.
#include "database/master_layouts.h"
#include "platform/archivers/zip_writer.h"
#include "support/text.h"
#include "tests/apply/archive_test_support.h"
#include "tests/common/test_env.h"
#include "tests/database/test_database.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace towagi;

namespace {

const std::vector<std::string> kOldCodes{"K01A", "K012B", "X01"};
const std::vector<std::string> kNewCodes{"K01A", "K012B", "K012Z", "X01", "Y09"};

// A scratch folder whose files the embedded engine may read and write.
std::string ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "towagi-master-data-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern + "/";
}

int Database(const std::string& file) {
    const std::string work = ScratchFolder();
    {
        TFbConnection db = testing::CreateSuiteDatabase(file, work);
        for (const TMasterTable& table : MasterTables())
            testing::InsertRows(db, table.Master, testing::MasterRows(db, table.Master, 1, 2, kOldCodes, "旧"));
    }
    fs::remove_all(work);
    return 0;
}

int Archive(const std::string& archive, int count) {
    const std::string work = ScratchFolder();
    std::vector<testing::ArchiveItem> items;
    std::vector<std::string> files;
    {
        TFbConnection db = testing::CreateSuiteDatabase(work + "scratch.fdb", work);
        for (int i = 0; i < count; ++i) {
            const std::string table = MasterTables()[static_cast<size_t>(i)].Master;
            testing::WriteMasterTextFile(db, work, table, testing::MasterRows(db, table, 11, 3, kNewCodes, "新"));
            items.push_back({table + ".txt", testing::ReadFile(work + table + ".txt")});
            files.push_back(work + table + ".txt");
        }
    }
    fs::remove(archive);
    if (SameText(fs::path(archive).extension().string(), ".zip"))
        archivers::UpdateZipArchive({.ArchivePath = archive, .Sources = files, .OnlyNewer = false,
                                     .Passphrase = "", .Level = -1});
    else
        testing::WriteFile(archive, testing::MakeLzh(items, 1));
    fs::remove_all(work);
    return 0;
}

std::string CodeOf(const std::string& row) {
    return row.substr(0, row.find('|'));
}

// The rows the database is to hold, as a database gives them back: the old and the new rows of every master
// table, written into a scratch database of the same schema.
struct ExpectedRows {
    std::vector<std::string> Old, New;
};
std::vector<ExpectedRows> Expected() {
    const std::string work = ScratchFolder();
    std::vector<ExpectedRows> expected;
    {
        TFbConnection db = testing::CreateSuiteDatabase(work + "expected.fdb", work);
        for (const TMasterTable& table : MasterTables()) {
            ExpectedRows rows;
            testing::InsertRows(db, table.Master, testing::MasterRows(db, table.Master, 1, 2, kOldCodes, "旧"));
            rows.Old = testing::RowTexts(db, table.Master);
            testing::RunStatements(db, {std::string("DELETE FROM ") + table.Master});
            testing::InsertRows(db, table.Master, testing::MasterRows(db, table.Master, 11, 3, kNewCodes, "新"));
            rows.New = testing::RowTexts(db, table.Master);
            expected.push_back(rows);
        }
    }
    fs::remove_all(work);
    return expected;
}

int Check(const std::string& file, int count) {
    const std::vector<ExpectedRows> expected = Expected();
    TFbConnection db = TFbConnection::Attach({file, "SYSDBA", "pinewharf", ""});
    int differences = 0;
    for (size_t i = 0; i < MasterTables().size(); ++i) {
        const std::string table = MasterTables()[i].Master;
        std::vector<std::string> want = static_cast<int>(i) < count ? expected[i].New : expected[i].Old;
        if (table == "KMICNT00" && static_cast<int>(i) < count) {
            // KMICNT00=K01: the old rows under the prefix, the new ones elsewhere.
            want.clear();
            for (const std::string& row : expected[i].Old)
                if (CodeOf(row).starts_with("K01")) want.push_back(row);
            for (const std::string& row : expected[i].New)
                if (!CodeOf(row).starts_with("K01")) want.push_back(row);
            std::sort(want.begin(), want.end());
        }
        const std::vector<std::string> got = testing::RowTexts(db, table);
        if (got != want) {
            std::printf("%s holds %zu rows unlike those expected:\n", table.c_str(), got.size());
            for (const std::string& row : got)
                if (std::find(want.begin(), want.end(), row) == want.end()) std::printf("  %s\n", row.c_str());
            ++differences;
        }
    }
    return differences == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 2 && args[0] == "database") return Database(args[1]);
        if (args.size() == 3 && args[0] == "archive") return Archive(args[1], std::stoi(args[2]));
        if (args.size() == 3 && args[0] == "check") return Check(args[1], std::stoi(args[2]));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
    std::fputs("usage: master_data_tool database FILE | archive ARCHIVE COUNT | check FILE COUNT\n", stderr);
    return 2;
}
