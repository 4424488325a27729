// The master import of one slot from the branch archive on disk to the commit: the launcher's code
// (_ImportMasterFile: unpack through the 7-zip32 library, work tables, protected rows, the one transaction,
// cleaning up) against the same unpacking followed by the same statements through isql-fb. Both run as
// whole processes, embedded, on a fresh copy of a database that holds the previous master data.
//   master_import_bench [rows] [runs]           rows in all, in the shape of a branch (100,000 in KMIHINK0
//                                               when 272,000 in all); the median of each, their ratio and
//                                               the launcher's peak memory
//   master_import_bench run PROGRAMDIR          one import by the launcher's code (the slot's settings in
//                                               the hives the environment names)
//   master_import_bench extract ARCHIVE PROGRAMDIR   the same unpacking alone, into the work folder
#include "apply/archive_extraction.h"
#include "apply/master_file_import.h"
#include "database/data_module.h"
#include "database/master_import.h"
#include "database/master_layouts.h"
#include "platform/archivers/zip_writer.h"
#include "platform/prompts.h"
#include "platform/settings_store.h"
#include "programs/qrd00up/edition_profile.h"
#include "support/settings.h"
#include "tests/database/test_database.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace towagi;

namespace {

// Rows per table in a branch archive of 272,000 rows; other totals scale every table alike.
const std::map<std::string, int> kShape{
    {"KMICNT00", 2000},  {"KMICNTD0", 2000},  {"KMICNTK0", 2000},   {"KMIREID0", 5000},
    {"KMIREIK0", 5000},  {"KMIMKOD0", 20000}, {"KMIMKOK0", 20000},  {"KMIFKUD0", 10000},
    {"KMIFKUK0", 10000}, {"KMIHIND0", 50000}, {"KMIHINK0", 100000}, {"KMIKANK0", 10000},
    {"KMIHONK0", 30000}, {"KMICIN00", 1000},  {"KMICYUD0", 3000},   {"KMISKIK0", 2000}};
constexpr int kShapeRows = 272000;
// About a hundred rows of each code table are protected.
constexpr const char* kProtected = "K00001";
constexpr const char* kBranch = "BR01";

// Prompts have no screen here: a box would mean the import failed.
class FailingPrompts : public Prompts {
public:
    PromptAnswer Show(PromptKind, const std::string& text) override {
        std::fprintf(stderr, "box: %s\n", text.c_str());
        std::exit(3);
    }
};

int RunImport(const std::string& programDir) {
    try {
        InstallSettingsStore(std::make_shared<SqliteSettingsStore>());
        InstallPrompts(std::make_shared<FailingPrompts>());
        TUpdateState state;
        state.Profile = &EstimationEdition();
        state.TraceLog = std::make_unique<TTraceLog>(programDir + "import.log");
        state.ExeDir = programDir;
        _ImportMasterFile(state, 0, nullptr);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}

struct Run {
    double Seconds = 0;
    double CpuSeconds = 0;
    long PeakKilobytes = 0;
};

// A whole child process, start to exit; its output goes to `log`.
Run TimeProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                const std::string& log) {
    Run run;
    const auto start = std::chrono::steady_clock::now();
    const int exitCode = testing::RunProgram(arguments, environment, log, &run.PeakKilobytes, &run.CpuSeconds);
    run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (exitCode != 0) {
        std::ifstream in(log);
        std::fprintf(stderr, "%s failed (%d): %s\n", arguments[0].c_str(), exitCode,
                     std::string(std::istreambuf_iterator<char>(in), {}).c_str());
        std::exit(1);
    }
    return run;
}

std::string Joined(const std::vector<std::string>& lines, const std::string& separator) {
    std::string text;
    for (const std::string& line : lines)
        text += line + separator;
    return text;
}

// The text files of the branch in `work`, rows made by doubling a sample row, every row with its own code.
void WriteTextFiles(const std::string& folder, const std::string& work, const std::map<std::string, int>& rows) {
    const std::string file = folder + "generate.fdb";
    TFbConnection db = testing::CreateSuiteDatabase(file, work);
    for (const auto& [table, count] : rows) {
        const std::vector<testing::TColumnInfo> columns = testing::TableColumns(db, table);
        testing::InsertRows(db, table, testing::SampleRows(columns, 1, 1));
        for (int have = 1; have < count; have *= 2)
            testing::RunStatements(db, {"INSERT INTO " + table + " SELECT * FROM " + table});
        std::string selectList;
        for (size_t i = 0; i < columns.size(); ++i) {
            const bool code = i == 0 && (columns[i].Type == 14 || columns[i].Type == 37) && columns[i].Length >= 8;
            selectList += std::string(i ? ", " : "") +
                          (code ? "'K' || LPAD(ROW_NUMBER() OVER (), 7, '0')" : columns[i].Name);
        }
        std::vector<std::string> lines;
        BuildExternalTableSQL(work, "GEN" + table, table, lines);
        testing::RunStatements(db, {Joined(lines, "\r\n"), "INSERT INTO GEN" + table + " SELECT FIRST " +
                                                               std::to_string(count) + " " + selectList + " FROM " +
                                                               table,
                                    "DROP TABLE GEN" + table});
    }
    db.Detach();
    fs::remove(file);
}

// A suite database holding the branch's previous master data, loaded from the text files.
void WriteFilledDatabase(const std::string& file, const std::string& work) {
    TFbConnection db = testing::CreateSuiteDatabase(file, work);
    for (const TMasterTable& table : MasterTables()) {
        std::vector<std::string> lines;
        BuildExternalTableSQL(work, table.Work, table.Master, lines);
        testing::RunStatements(db, {Joined(lines, "\r\n"),
                                    std::string("INSERT INTO ") + table.Master + " SELECT * FROM " + table.Work,
                                    std::string("DROP TABLE ") + table.Work});
    }
    db.Detach();
}

// The statements of the import, in its order, for isql.
std::string IsqlScript(const std::string& work) {
    std::vector<std::string> script{"SET SQL DIALECT 1;", "SET AUTODDL ON;"};
    for (const TMasterTable& table : MasterTables()) {
        std::vector<std::string> lines;
        BuildExternalTableSQL(work, table.Work, table.Master, lines);
        script.push_back(Joined(lines, "\n"));
    }
    const std::string where = std::string("WHERE CNT_KNRCOD LIKE '") + kProtected + "%'";
    for (const TProtectionTable& table : ProtectionTables()) {
        if (std::string(table.Code) == "KMICNTB0") continue;
        script.push_back(std::string("CREATE TABLE ") + table.Keep +
                         " (CNT_KNRCOD VARCHAR(10) NOT NULL, CNT_KOUMEI VARCHAR(100), CNT_OPTION VARCHAR(100),"
                         " CNT_CREATE DATETIME, CNT_UPDATE DATETIME);");
        script.push_back(std::string("DELETE FROM ") + table.Keep + " " + where + ";");
        script.push_back(std::string("INSERT INTO ") + table.Keep + " SELECT * FROM " + table.Code + " " + where + ";");
        script.push_back("COMMIT;");
    }
    for (const TMasterTable& table : MasterTables())
        script.push_back(std::string("DELETE FROM ") + table.Master + ";");
    for (const TMasterTable& table : MasterTables())
        script.push_back(std::string("INSERT INTO ") + table.Master + " SELECT * FROM " + table.Work + ";");
    for (const TProtectionTable& table : ProtectionTables()) {
        if (std::string(table.Code) == "KMICNTB0") continue;
        script.push_back(std::string("DELETE FROM ") + table.Code + " " + where + ";");
        script.push_back(std::string("INSERT INTO ") + table.Code + " SELECT * FROM " + table.Keep + " " + where + ";");
    }
    script.push_back("COMMIT;");
    for (const TMasterTable& table : MasterTables())
        script.push_back(std::string("DROP TABLE ") + table.Work + ";");
    for (const TProtectionTable& table : ProtectionTables())
        if (std::string(table.Code) != "KMICNTB0") script.push_back(std::string("DROP TABLE ") + table.Keep + ";");
    script.push_back("COMMIT;");
    return Joined(script, "\n");
}

std::int64_t CountRows(const std::string& database, const std::string& table) {
    TFbConnection connection = TFbConnection::Attach({database, "SYSDBA", "pinewharf", ""});
    TFbTransaction transaction = connection.StartTransaction();
    return connection.Query(transaction, "SELECT COUNT(*) FROM " + table)[0][0].AsInteger();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void ClearWork(const std::string& work) {
    for (const auto& entry : fs::directory_iterator(work))
        fs::remove_all(entry.path());
}

// A fresh copy of the database, on the disk before the clock starts: the engine writes its pages
// synchronously, and those writes would otherwise queue behind the copy's own write-back, which belongs to
// neither side.
void FreshCopy(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    const int fd = open(to.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        std::perror(to.c_str());
        std::exit(1);
    }
    close(fd);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "run") return RunImport(argv[2]);
    if (argc == 4 && std::string(argv[1]) == "extract") {
        ExtractArchive(argv[2], GetDataTempDir(argv[3]), argv[3]);
        return 0;
    }
    const int total = argc > 1 ? std::atoi(argv[1]) : kShapeRows;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    if (total < 1 || runs < 1) {
        std::fputs("usage: master_import_bench [rows] [runs]\n", stderr);
        return 2;
    }
    std::map<std::string, int> rows;
    int rowsInAll = 0;
    for (const auto& [table, count] : kShape) {
        rows[table] = std::max(1, static_cast<int>(std::llround(static_cast<double>(count) * total / kShapeRows)));
        rowsInAll += rows[table];
    }
    // Rounding must not change the total asked for.
    rows["KMIHINK0"] += total - rowsInAll;
    rowsInAll = total;

    char pattern[] = "/tmp/towagi-master-import-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string folder = std::string(pattern) + "/";
    const std::string program = folder + "program/";
    const std::string work = GetDataTempDir(program);
    const std::string update = folder + "update/";
    const std::string isqlConfig = folder + "isql/";
    const std::string archive = update + "MAST/" + kBranch + ".ZIP";
    const std::string database = folder + "run.fdb";
    for (const std::string& dir : {work, update + "MAST/", isqlConfig})
        fs::create_directories(dir);
    // The archivers lie beside the launcher, as in an installation; this program plays its part.
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    fs::copy_file(std::string(TOWAGI_ARCHIVER_LIBRARIES) + "lib7-zip32.so", program + "lib7-zip32.so");

    std::printf("master_import: preparing %d rows in all, %d in KMIHINK0...\n", rowsInAll, rows["KMIHINK0"]);
    std::fflush(stdout);
    WriteTextFiles(folder, work, rows);
    WriteFilledDatabase(folder + "filled.fdb", work);
    {
        std::vector<std::string> files;
        for (const TMasterTable& table : MasterTables())
            files.push_back(work + table.Master + ".txt");
        archivers::UpdateZipArchive(
            {.ArchivePath = archive, .Sources = files, .OnlyNewer = false, .Passphrase = "", .Level = -1});
    }
    ClearWork(work);
    std::ofstream(program + "KMISID00.INI") << "[Mast Protection Code]\r\nKMICNT00=" << kProtected
                                            << "\r\nKMICNTD0=" << kProtected << "\r\nKMICNTK0=" << kProtected
                                            << "\r\n";
    std::ofstream(isqlConfig + "firebird.conf")
        << "ServerMode = SuperClassic\nExternalFileAccess = Restrict " << work << "\nUdfAccess = None\n";
    std::ofstream(folder + "import.sql") << IsqlScript(work);
    setenv("TOWAGI_MACHINE_HIVE", (folder + "machine.hive").c_str(), 1);
    setenv("TOWAGI_USER_HIVE", (folder + "user.hive").c_str(), 1);
    InstallSettingsStore(std::make_shared<SqliteSettingsStore>());
    WriteMachineString(std::string(kProductRoot) + "\\PATH\\DB_DATA", "PATH1", std::string(kBranch) + "|" + database,
                       true);
    WriteMachineString(std::string(kProductRoot) + "\\PATH\\UPDATE", "PATH1", "|" + update, true);

    std::vector<double> launcher, peer, launcherCpu, peerCpu;
    long peakKilobytes = 0;
    for (int run = 0; run < runs; ++run) {
        // Each side goes first in every other run: the one that follows does not always find the disk
        // busier.
        for (const bool viaLauncher : {run % 2 == 0, run % 2 != 0}) {
            FreshCopy(folder + "filled.fdb", database);
            ClearWork(work);
            Run timed;
            if (viaLauncher) {
                timed = TimeProcess({self, "run", program}, {}, folder + "launcher.log");
                peakKilobytes = std::max(peakKilobytes, timed.PeakKilobytes);
            } else {
                const Run extract = TimeProcess({self, "extract", archive, program}, {}, folder + "extract.log");
                timed = TimeProcess({"isql-fb", "-q", "-b", "-u", "SYSDBA", "-i", folder + "import.sql", database},
                                    {"FIREBIRD=" + isqlConfig}, folder + "isql.log");
                timed.Seconds += extract.Seconds;
                timed.CpuSeconds += extract.CpuSeconds;
            }
            if (CountRows(database, "KMIHINK0") != rows["KMIHINK0"] ||
                CountRows(database, "KMICNT00") != rows["KMICNT00"]) {
                std::fprintf(stderr, "%s did not import the branch\n", viaLauncher ? "the launcher" : "isql");
                return 1;
            }
            (viaLauncher ? launcher : peer).push_back(timed.Seconds);
            (viaLauncher ? launcherCpu : peerCpu).push_back(timed.CpuSeconds);
        }
    }

    std::printf("master_import: %d rows in all (%d in KMIHINK0), archive %.1f MB, %d runs each\n", rowsInAll,
                rows["KMIHINK0"], static_cast<double>(fs::file_size(archive)) / 1e6, runs);
    const auto show = [](const char* name, const std::vector<double>& times) {
        std::printf("  %-32s median %7.2f s  (", name, Median(times));
        for (size_t i = 0; i < times.size(); ++i)
            std::printf("%s%.2f", i ? " " : "", times[i]);
        std::printf(")\n");
    };
    show("launcher (_ImportMasterFile)", launcher);
    show("same unpacking + isql-fb", peer);
    std::printf("  ratio launcher / peer          %.3f  (goal: at most 1.20)\n", Median(launcher) / Median(peer));
    // Both sides write the same pages synchronously; on a disk that others use as well the time waiting for
    // those writes varies more than the rest together. The processor time shows the work each side does.
    show("launcher, processor time", launcherCpu);
    show("peer, processor time", peerCpu);
    std::printf("  ratio of processor times       %.3f\n", Median(launcherCpu) / Median(peerCpu));
    std::printf("  launcher's peak memory         %.1f MB  (goal: under 100 MB)\n", peakKilobytes / 1024.0);
    fs::remove_all(folder);
    return 0;
}
