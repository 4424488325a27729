// The master copy through an external table with the launcher's Firebird layer against isql running the
// same statements: rows of the KMIHINK0 layout, each run on a fresh copy of the same empty database.
//   master_copy_bench [rows] [runs]
//   master_copy_bench run DATABASE WORKDIR      (one timed run of the layer, in a process of its own)
#include "database/firebird.h"
#include "database/master_layouts.h"
#include "tests/database/test_database.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace towagi;

namespace {

constexpr const char* kMaster = "KMIHINK0";
constexpr const char* kWork = "WRKHINK0";

// The statements of one import of the table, as the import sends them: declare, copy, drop.
std::vector<std::string> CopyStatements(const std::string& work, const std::string& separator) {
    std::vector<std::string> lines;
    BuildExternalTableSQL(work, kWork, kMaster, lines);
    std::string create;
    for (const std::string& line : lines)
        create += line + separator;
    return {create, std::string("INSERT INTO ") + kMaster + separator + "SELECT * FROM " + kWork,
            std::string("DROP TABLE") + separator + "  " + kWork};
}

TFbConnectParams Params(const std::string& database, const std::string& work) {
    return {database, "SYSDBA", "pinewharf", work};
}

int RunLayer(const std::string& database, const std::string& work) {
    try {
        TFbConnection connection = TFbConnection::Attach(Params(database, work));
        for (const std::string& statement : CopyStatements(work, "\r\n")) {
            TFbTransaction transaction = connection.StartTransaction();
            connection.Execute(transaction, statement);
            transaction.Commit();
        }
        connection.Detach();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}

// Writes `rows` records of the layout into the work folder's data file through the external table.
void WriteDataFile(const std::string& folder, const std::string& work, int rows) {
    TFbConnection db = testing::CreateSuiteDatabase(folder + "generate.fdb", work);
    const std::vector<testing::TColumnInfo> columns = testing::TableColumns(db, kMaster);
    std::string placeholders, selectList;
    for (size_t i = 0; i < columns.size(); ++i) {
        placeholders += i ? ", ?" : "?";
        // Every row gets its own item code.
        selectList += i ? ", " + columns[i].Name : "'H' || LPAD(ROW_NUMBER() OVER (), 9, '0')";
    }
    TFbTransaction transaction = db.StartTransaction();
    TFbStatement seed =
        db.Prepare(transaction, std::string("INSERT INTO ") + kMaster + " VALUES (" + placeholders + ")");
    for (size_t i = 0; i < columns.size(); ++i)
        seed.SetParam(static_cast<int>(i), testing::SampleValue(columns[i], 1, static_cast<int>(i + 1)));
    seed.Execute(transaction);
    transaction.Commit();
    for (int have = 1; have < rows; have *= 2)
        testing::RunStatements(db, {std::string("INSERT INTO ") + kMaster + " SELECT * FROM " + kMaster});
    std::vector<std::string> create = CopyStatements(work, "\r\n");
    testing::RunStatements(db, {create[0], std::string("INSERT INTO ") + kWork + " SELECT FIRST " +
                                               std::to_string(rows) + " " + selectList + " FROM " + kMaster});
    db.Detach();
    fs::remove(folder + "generate.fdb");
}

double Seconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Wall time of a whole child process, start to exit, as for isql.
double TimeProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                   const std::string& log) {
    const auto start = std::chrono::steady_clock::now();
    const int exitCode = testing::RunProgram(arguments, environment, log);
    const double seconds = Seconds(std::chrono::steady_clock::now() - start);
    if (exitCode != 0) {
        std::ifstream in(log);
        std::fprintf(stderr, "%s failed (%d): %s\n", arguments[0].c_str(), exitCode,
                     std::string(std::istreambuf_iterator<char>(in), {}).c_str());
        std::exit(1);
    }
    return seconds;
}

std::int64_t CountRows(const std::string& database, const std::string& work) {
    TFbConnection connection = TFbConnection::Attach(Params(database, work));
    TFbTransaction transaction = connection.StartTransaction();
    return connection.Query(transaction, std::string("SELECT COUNT(*) FROM ") + kMaster)[0][0].AsInteger();
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "run") return RunLayer(argv[2], argv[3]);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    if (rows < 1 || runs < 1) {
        std::fputs("usage: master_copy_bench [rows] [runs]\n", stderr);
        return 2;
    }
    char pattern[] = "/tmp/towagi-master-copy-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string folder = std::string(pattern) + "/";
    const std::string work = folder + "TEMP/";
    const std::string isqlConfig = folder + "isql/";
    fs::create_directories(work);
    fs::create_directories(isqlConfig);

    WriteDataFile(folder, work, rows);
    testing::CreateSuiteDatabase(folder + "empty.fdb", work).Detach();
    // isql runs embedded under the same engine settings as the launcher.
    {
        std::ofstream conf(isqlConfig + "firebird.conf");
        conf << "ServerMode = SuperClassic\nExternalFileAccess = Restrict " << work << "\nUdfAccess = None\n";
        std::ofstream script(folder + "copy.sql");
        script << "SET SQL DIALECT 1;\n";
        for (const std::string& statement : CopyStatements(work, "\n"))
            script << statement << (statement.ends_with(";\n") ? "" : ";\n") << "COMMIT;\n";
    }

    std::vector<double> layer, isql;
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    for (int run = 0; run < runs; ++run) {
        for (const bool viaLayer : {true, false}) {
            const std::string database = folder + "run.fdb";
            fs::copy_file(folder + "empty.fdb", database, fs::copy_options::overwrite_existing);
            const double seconds = viaLayer
                                       ? TimeProcess({self, "run", database, work}, {}, folder + "layer.log")
                                       : TimeProcess({"isql-fb", "-q", "-b", "-u", "SYSDBA", "-i",
                                                      folder + "copy.sql", database},
                                                     {"FIREBIRD=" + isqlConfig}, folder + "isql.log");
            if (CountRows(database, work) != rows) {
                std::fprintf(stderr, "%s did not copy %d rows\n", viaLayer ? "the layer" : "isql", rows);
                return 1;
            }
            (viaLayer ? layer : isql).push_back(seconds);
            fs::remove(database);
        }
    }

    const double fileMegabytes = static_cast<double>(fs::file_size(work + kMaster + ".txt")) / 1e6;
    std::printf("master_copy: %d rows of %s through an external table (%.1f MB data file), %d runs each\n",
                rows, kMaster, fileMegabytes, runs);
    auto show = [](const char* name, const std::vector<double>& times) {
        std::printf("  %-26s median %.3f s  (", name, Median(times));
        for (size_t i = 0; i < times.size(); ++i)
            std::printf("%s%.3f", i ? " " : "", times[i]);
        std::printf(")\n");
    };
    show("layer (TFbConnection)", layer);
    show("isql-fb", isql);
    std::printf("  ratio layer / isql         %.3f  (goal: at most 1.10)\n", Median(layer) / Median(isql));
    fs::remove_all(folder);
    return 0;
}
