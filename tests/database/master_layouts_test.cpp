#include "database/master_layouts.h"

#include "support/encoding.h"
#include "tests/common/test_env.h"
#include "tests/database/test_database.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <set>

namespace towagi {
namespace {

using testing::TColumnInfo;
using testing::TempDir;

std::vector<std::string> Statement(const std::string& folder, const std::string& work,
                                   const std::string& master) {
    std::vector<std::string> lines;
    EXPECT_TRUE(BuildExternalTableSQL(folder, work, master, lines)) << master;
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

TEST(MasterTables, ImportOrderWithWorkTables) {
    std::vector<std::string> pairs;
    for (const TMasterTable& table : MasterTables())
        pairs.push_back(std::string(table.Master) + "/" + table.Work);
    EXPECT_EQ(pairs, (std::vector<std::string>{"KMICNT00/WRKCNT00", "KMICNTD0/WRKCNTD0", "KMICNTK0/WRKCNTK0",
                                               "KMIREID0/WRKREID0", "KMIREIK0/WRKREIK0", "KMIMKOD0/WRKMKOD0",
                                               "KMIMKOK0/WRKMKOK0", "KMIFKUD0/WRKFKUD0", "KMIFKUK0/WRKFKUK0",
                                               "KMIHIND0/WRKHIND0", "KMIHINK0/WRKHINK0", "KMIKANK0/WRKKANK0",
                                               "KMIHONK0/WRKHONK0", "KMICIN00/WRKCIN00", "KMICYUD0/WRKCYUD0",
                                               "KMISKIK0/WRKSKIK0"}));
}

TEST(BuildExternalTableSQL, TheCodeTableStatement) {
    EXPECT_EQ(Statement("C:\\APP\\TEMP\\", "WRKCNT00", "KMICNT00"),
              (std::vector<std::string>{"CREATE TABLE WRKCNT00 EXTERNAL FILE 'C:\\APP\\TEMP\\KMICNT00.txt'",
                                        "(", "  CNT_KNRCOD  VARCHAR(10) NOT NULL,",
                                        "  CNT_KOUMEI  VARCHAR(100),", "  CNT_OPTION  VARCHAR(100),",
                                        "  CNT_CREATE  DATETIME,", "  CNT_UPDATE  DATETIME", ");"}));
}

TEST(BuildExternalTableSQL, DataFilePathFollowsTheFoldersForm) {
    struct Case {
        std::string folder, wantFirstLine;
    };
    for (const auto& c : std::vector<Case>{
             {"/srv/data", "CREATE TABLE WRKCNT00 EXTERNAL FILE '/srv/data/KMICNT00.txt'"},
             {"/srv/data/", "CREATE TABLE WRKCNT00 EXTERNAL FILE '/srv/data/KMICNT00.txt'"},
             {"/", "CREATE TABLE WRKCNT00 EXTERNAL FILE '/KMICNT00.txt'"},
             {"C:\\APP\\TEMP", "CREATE TABLE WRKCNT00 EXTERNAL FILE 'C:\\APP\\TEMP\\KMICNT00.txt'"},
             {"C:\\APP\\TEMP\\", "CREATE TABLE WRKCNT00 EXTERNAL FILE 'C:\\APP\\TEMP\\KMICNT00.txt'"},
             {"work/temp", "CREATE TABLE WRKCNT00 EXTERNAL FILE 'work/temp\\KMICNT00.txt'"},
             {"/home/o'neill/TEMP/", "CREATE TABLE WRKCNT00 EXTERNAL FILE '/home/o''neill/TEMP/KMICNT00.txt'"},
         })
        EXPECT_EQ(Statement(c.folder, "WRKCNT00", "KMICNT00").front(), c.wantFirstLine) << c.folder;
}

TEST(BuildExternalTableSQL, NamesWithoutALayoutAppendNothing) {
    for (const std::string name : {"kmicnt00", "KMICNTB0", "KMIHINK", "WRKCNT00", ""}) {
        std::vector<std::string> lines{"kept"};
        EXPECT_FALSE(BuildExternalTableSQL("/srv/data", "WRKCNT00", name, lines)) << name;
        EXPECT_EQ(lines, std::vector<std::string>{"kept"}) << name;
    }
    // A known name appends after what the list already holds.
    std::vector<std::string> lines{"kept"};
    EXPECT_TRUE(BuildExternalTableSQL("/srv/data", "WRKCYUD0", "KMICYUD0", lines));
    EXPECT_EQ(lines.front(), "kept");
    EXPECT_EQ(lines.size(), 1u + 5u + 3u);
}

TEST(BuildExternalTableSQL, ColumnLinesOfEveryLayout) {
    struct Case {
        std::string master;
        size_t columns;
        std::string first, last; // the first and last column lines
    };
    for (const auto& c : std::vector<Case>{
             {"KMICNT00", 5, "  CNT_KNRCOD  VARCHAR(10) NOT NULL,", "  CNT_UPDATE  DATETIME"},
             {"KMICNTD0", 5, "  CNT_KNRCOD  VARCHAR(10) NOT NULL,", "  CNT_UPDATE  DATETIME"},
             {"KMICNTK0", 5, "  CNT_KNRCOD  VARCHAR(10) NOT NULL,", "  CNT_UPDATE  DATETIME"},
             {"KMIREID0", 5, "  REI_REICOD  CHAR(8) NOT NULL,", "  REI_UPDATE  DATETIME"},
             {"KMIREIK0", 5, "  REI_REICOD  CHAR(8) NOT NULL,", "  REI_UPDATE  DATETIME"},
             {"KMIMKOD0", 67, "  MKO_MITKOU  MITKOU NOT NULL,", "  MKO_UPDATE  DATETIME"},
             {"KMIMKOK0", 71, "  MKO_MITKOU  MITKOU NOT NULL,", "  MKO_UPDATE  DATETIME"},
             {"KMIFKUD0", 11, "  FKU_FKUCOD  HINCOD NOT NULL,", "  FKU_TEKIYO  VARCHAR(30)"},
             {"KMIFKUK0", 11, "  FKU_FKUCOD  HINCOD NOT NULL,", "  FKU_TEKIYO  VARCHAR(30)"},
             {"KMIHIND0", 75, "  HIN_HINCOD  HINCOD NOT NULL,", "  HIN_UPDATE  DATETIME"},
             {"KMIHINK0", 113, "  HIN_HINCOD  HINCOD NOT NULL,", "  HIN_UPDATE  DATETIME"},
             {"KMIKANK0", 49, "  KAN_MITKOU  MITKOU,", "  KAN_UPDATE  DATETIME"},
             {"KMIHONK0", 10, "  HON_HONCOD  VARCHAR(20) NOT NULL,", "  HON_UPDATE  DATETIME"},
             {"KMICIN00", 15, "  CIN_RECKBN  CHAR(1),", "  CIN_UPDATE  DATETIME"},
             {"KMICYUD0", 5, "  CYU_REICOD  VARCHAR(10) NOT NULL,", "  CYU_UPDATE  DATETIME"},
             {"KMISKIK0", 13, "  SKI_MITKOU  MITKOU,", "  SKI_UPDATE  DATETIME"},
         }) {
        const auto lines = Statement("/srv/data", "WRK", c.master);
        ASSERT_EQ(lines.size(), c.columns + 3) << c.master;
        EXPECT_EQ(lines[0], "CREATE TABLE WRK EXTERNAL FILE '/srv/data/" + c.master + ".txt'");
        EXPECT_EQ(lines[1], "(");
        EXPECT_EQ(lines[2], c.first) << c.master;
        EXPECT_EQ(lines[lines.size() - 2], c.last) << c.master;
        EXPECT_EQ(lines.back(), ");");
        for (size_t i = 2; i + 2 < lines.size(); ++i) {
            EXPECT_TRUE(lines[i].starts_with("  ") && lines[i].ends_with(","))
                << c.master << ": " << lines[i];
            EXPECT_EQ(lines[i].find("  ", 2), lines[i].find(' ', 2))
                << "two blanks before the type: " << lines[i];
        }
    }
}

// "  NAME  TYPE[(n)][ NOT NULL][,]" taken apart; false when the line has another form.
struct ColumnLine {
    std::string Name, Type;
    bool Width = false;
};
bool ParseColumnLine(std::string line, ColumnLine& column) {
    const auto word = [&](size_t from, bool digits) {
        size_t end = from;
        while (end < line.size() &&
               (std::isupper(static_cast<unsigned char>(line[end])) ||
                (digits && (std::isdigit(static_cast<unsigned char>(line[end])) || line[end] == '_'))))
            ++end;
        return end;
    };
    if (line.ends_with(",")) line.pop_back();
    if (line.ends_with(" NOT NULL")) line.resize(line.size() - 9);
    if (!line.starts_with("  ")) return false;
    const size_t nameEnd = word(2, true);
    if (nameEnd - 2 < 5 || line[5] != '_' || line.compare(nameEnd, 2, "  ") != 0) return false;
    const size_t typeEnd = word(nameEnd + 2, false);
    column = {line.substr(2, nameEnd - 2), line.substr(nameEnd + 2, typeEnd - nameEnd - 2), false};
    if (column.Type.empty()) return false;
    if (typeEnd == line.size()) return true;
    const size_t close = line.find(')', typeEnd);
    column.Width = line[typeEnd] == '(' && close == line.size() - 1 && close > typeEnd + 1 &&
                   line.find_first_not_of("0123456789", typeEnd + 1) == close;
    return column.Width;
}

TEST(BuildExternalTableSQL, EveryTypeIsBuiltInOrOneOfTheSuitesEighteenDomains) {
    const std::set<std::string> builtIn{"VARCHAR", "CHAR", "FLOAT", "INTEGER"};
    std::set<std::string> domains;
    for (const TMasterTable& table : MasterTables()) {
        const auto lines = Statement("/w", "W", table.Master);
        std::set<std::string> names;
        for (size_t i = 2; i + 1 < lines.size(); ++i) {
            ColumnLine column;
            ASSERT_TRUE(ParseColumnLine(lines[i], column)) << table.Master << ": " << lines[i];
            EXPECT_EQ(column.Name.substr(0, 4), lines[2].substr(2, 4)) << lines[i];
            EXPECT_TRUE(names.insert(column.Name).second) << "twice: " << lines[i];
            // Widths belong to built-in types; a domain carries its own.
            EXPECT_EQ(column.Width, column.Type == "VARCHAR" || column.Type == "CHAR") << lines[i];
            if (!builtIn.contains(column.Type)) domains.insert(column.Type);
        }
    }
    EXPECT_EQ(domains, (std::set<std::string>{"BOOLEAN", "BUGAKE", "DATETIME", "FKUKIN", "HINCOD", "HINMEI",
                                              "HKYRIT", "JYURYO", "KANRIT", "KIKAKU", "MITKOU", "RYKCOD",
                                              "SKYKBN", "STERIT", "SUURYO", "SYORIT", "TANKA", "TNINAM"}));
    ColumnLine column;
    for (const std::string bad :
         {"  CNT_KNRCOD VARCHAR(10),", "  CNT_KNRCOD  VARCHAR (10)", "  CNT_KNRCOD  TANKA ",
          "  CNT_KNRCOD  VARCHAR(1O)", " CNT_KNRCOD  TANKA", "  CNTKNRCOD  TANKA"})
        EXPECT_FALSE(ParseColumnLine(bad, column)) << bad;
}

TEST(BuildExternalTableSQL, TablesThatShareALayoutDifferOnlyInTheirNames) {
    for (const auto& group : std::vector<std::vector<std::string>>{
             {"KMICNT00", "KMICNTD0", "KMICNTK0"}, {"KMIFKUD0", "KMIFKUK0"}, {"KMIREID0", "KMIREIK0"}}) {
        const auto first = Statement("/w", "WRK", group[0]);
        for (const std::string& other : group) {
            auto lines = Statement("/w", "WRK", other);
            EXPECT_EQ(lines[0], "CREATE TABLE WRK EXTERNAL FILE '/w/" + other + ".txt'");
            EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
                      std::vector<std::string>(first.begin() + 1, first.end()))
                << other;
        }
    }
}

TEST(BuildExternalTableSQL, EditionVariantsOfTheItemAndEstimateLayouts) {
    const std::string d0 = Joined(Statement("/w", "W", "KMIMKOD0"));
    const std::string k0 = Joined(Statement("/w", "W", "KMIMKOK0"));
    for (const std::string line :
         {"  MKO_FUKUGO  CHAR(1),", "  MKO_MITSTE  FLOAT,", "  MKO_FILER1  VARCHAR(5),"})
        EXPECT_NE(d0.find("\r\n" + line + "\r\n"), std::string::npos) << line;
    for (const std::string line : {"  MKO_FUKUGO  CHAR(2),", "  MKO_MITSTE  STERIT,",
                                   "  MKO_HONSBT  VARCHAR(2),", "  MKO_ZAISBT  VARCHAR(2),"})
        EXPECT_NE(k0.find("\r\n" + line + "\r\n"), std::string::npos) << line;
    const auto hind0 = Statement("/w", "W", "KMIHIND0");
    const auto hink0 = Statement("/w", "W", "KMIHINK0");
    // KMIHINK0 is KMIHIND0 with 38 columns between HIN_BUGAK8 and HIN_SINFLG.
    EXPECT_EQ(hind0[2 + 68], "  HIN_BUGAK8  BUGAKE,");
    EXPECT_EQ(hink0[2 + 69], "  HIN_HTSIZE  VARCHAR(10),");
    EXPECT_EQ(hink0[2 + 106], "  HIN_UBRTNK2  TANKA,");
    EXPECT_EQ(std::vector<std::string>(hink0.begin() + 1, hink0.begin() + 2 + 69),
              std::vector<std::string>(hind0.begin() + 1, hind0.begin() + 2 + 69));
    EXPECT_EQ(std::vector<std::string>(hink0.begin() + 2 + 107, hink0.end()),
              std::vector<std::string>(hind0.begin() + 2 + 69, hind0.end()));
}

TEST(BuildRemarkTableSQL, OnlyTheRemarkLineChanges) {
    std::vector<std::string> lines;
    BuildRemarkTableSQL("/srv/data", "WRKREID0", 60, lines);
    auto usual = Statement("/srv/data", "WRKREID0", "KMIREID0");
    ASSERT_EQ(lines.size(), usual.size());
    EXPECT_EQ(lines[4], "  REI_REIBUN   VARCHAR(60),");
    usual[4] = lines[4];
    EXPECT_EQ(lines, usual);
}

// ---- every layout against a real database ----

// A suite database whose work folder `workName` lies below a fresh folder.
struct SuiteDb {
    TempDir Dir;
    std::string Work;
    TFbConnection Db;
    explicit SuiteDb(const std::string& workName = "TEMP/", const testing::TSuiteSchema& schema = {})
        : Work(Dir.Dir() + workName) {
        std::filesystem::create_directories(Work);
        Db = testing::CreateSuiteDatabase(Dir.File("suite.fdb"), Work, schema);
    }
    // The statement of the master table's work table over the work folder.
    std::string Declaration(const std::string& work, const std::string& master) const {
        std::vector<std::string> lines;
        EXPECT_TRUE(BuildExternalTableSQL(Work, work, master, lines)) << master;
        return Joined(lines);
    }
};

void ExpectSame(const TFbValue& got, const TFbValue& want, const std::string& where) {
    if (want.GetKind() == TFbValue::Kind::Float)
        EXPECT_NEAR(got.AsFloat(), want.AsFloat(), 1e-9) << where;
    else
        EXPECT_EQ(got.AsString(), want.AsString()) << where;
}

void ExpectRows(TFbConnection& connection, const std::string& table,
                const std::vector<std::vector<TFbValue>>& want) {
    TFbTransaction transaction = connection.StartTransaction();
    const auto rows = connection.Query(transaction, "SELECT * FROM " + table);
    ASSERT_EQ(rows.size(), want.size()) << table;
    for (size_t r = 0; r < rows.size(); ++r) {
        ASSERT_EQ(rows[r].Count(), want[r].size()) << table;
        for (size_t i = 0; i < want[r].size(); ++i)
            ExpectSame(rows[r][i], want[r][i],
                       table + "." + rows[r].Names()[i] + " row " + std::to_string(r));
    }
}

TEST(MasterLayouts, EveryLayoutReadsWritesAndCopiesIntoItsMasterTable) {
    SuiteDb suite;
    TFbConnection& db = suite.Db;
    for (const TMasterTable& table : MasterTables()) {
        SCOPED_TRACE(table.Master);
        std::vector<std::string> lines;
        ASSERT_TRUE(BuildExternalTableSQL(suite.Work, table.Work, table.Master, lines));
        testing::RunStatements(db, {Joined(lines)});

        // Column for column the same name, type, width, domain and NOT NULL as the master table.
        const std::vector<TColumnInfo> columns = testing::TableColumns(db, table.Work);
        EXPECT_EQ(columns, testing::TableColumns(db, table.Master));
        EXPECT_EQ(columns.size(), lines.size() - 3);

        // Rows written through the external table land in its data file as fixed-length records.
        const std::string file = suite.Work + table.Master + ".txt";
        std::vector<std::vector<TFbValue>> rows;
        std::string placeholders;
        for (size_t i = 0; i < columns.size(); ++i)
            placeholders += i ? ", ?" : "?";
        for (int row = 1; row <= 2; ++row) {
            std::vector<TFbValue> values;
            for (size_t i = 0; i < columns.size(); ++i)
                values.push_back(testing::SampleValue(columns[i], row, static_cast<int>(i + 1)));
            TFbTransaction transaction = db.StartTransaction();
            TFbStatement insert = db.Prepare(transaction, "INSERT INTO " + std::string(table.Work) +
                                                              " VALUES (" + placeholders + ")");
            for (size_t i = 0; i < values.size(); ++i)
                insert.SetParam(static_cast<int>(i), values[i]);
            insert.Execute(transaction);
            transaction.Commit();
            rows.push_back(values);
        }
        const std::string bytes = testing::ReadFile(file);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes.size() % 2, 0u);
        EXPECT_NE(bytes.find(ToCP932("品", "test")), std::string::npos) << "the file holds the suite's bytes";
        ExpectRows(db, table.Work, rows);

        // The copy into the master table is positional.
        testing::RunStatements(
            db, {"INSERT INTO " + std::string(table.Master) + "\r\nSELECT * FROM " + table.Work});
        ExpectRows(db, table.Master, rows);
        testing::RunStatements(db, {"DROP TABLE " + std::string(table.Work)});
    }
}

TEST(MasterLayouts, ADataFileWrittenElsewhereIsReadThroughTheLayout) {
    // One record per row, so a file copied from another workstation reads the same.
    SuiteDb suite;
    testing::RunStatements(suite.Db, {suite.Declaration("WRKCNT00", "KMICNT00"),
                                      "INSERT INTO WRKCNT00 VALUES ('K01', 'x', '', '2024-04-01 08:30:00',"
                                      " '2024-04-02 09:00:00')"});
    const std::string record = testing::ReadFile(suite.Work + "KMICNT00.txt");
    testing::WriteFile(suite.Work + "KMICNT00.txt", record + record + record);
    TFbTransaction transaction = suite.Db.StartTransaction();
    const auto rows = suite.Db.Query(transaction, "SELECT CNT_KNRCOD, CNT_UPDATE FROM WRKCNT00");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2][0].AsString(), "K01");
    EXPECT_EQ(rows[2][1].AsString(), "2024/04/02 09:00:00");
}

TEST(MasterLayouts, TheRemarkVariantMatchesAWiderRemarkColumn) {
    SuiteDb suite("TEMP/", {.MasterTables = true, .Without = {}, .RemarkLength = 60});
    std::vector<std::string> fitted;
    BuildRemarkTableSQL(suite.Work, "WRKREID0", 60, fitted);
    testing::RunStatements(suite.Db, {Joined(fitted)});
    EXPECT_EQ(testing::TableColumns(suite.Db, "WRKREID0"), testing::TableColumns(suite.Db, "KMIREID0"));
    const std::string remark(60, 'r');
    testing::RunStatements(suite.Db,
                           {"INSERT INTO WRKREID0 VALUES ('R0000001', 'H1', '" + remark + "', NULL, NULL)",
                            "INSERT INTO KMIREID0 SELECT * FROM WRKREID0"});
    TFbTransaction transaction = suite.Db.StartTransaction();
    EXPECT_EQ(suite.Db.Query(transaction, "SELECT REI_REIBUN FROM KMIREID0")[0][0].AsString(), remark);
    transaction.Commit();
    // The usual 40-character layout does not match this database column for column.
    testing::RunStatements(suite.Db, {"DROP TABLE WRKREID0", suite.Declaration("WRKREID0", "KMIREID0")});
    EXPECT_NE(testing::TableColumns(suite.Db, "WRKREID0"), testing::TableColumns(suite.Db, "KMIREID0"));
}

TEST(MasterLayouts, AFolderWithAQuoteIsDoubledInTheLiteralAndTheServerReadsThere) {
    SuiteDb suite("o'neill/TEMP/");
    const std::string declaration = suite.Declaration("WRKCNT00", "KMICNT00");
    EXPECT_EQ(declaration.substr(0, declaration.find("\r\n")),
              "CREATE TABLE WRKCNT00 EXTERNAL FILE '" + suite.Dir.Dir() + "o''neill/TEMP/KMICNT00.txt'");
    testing::RunStatements(suite.Db, {declaration, "INSERT INTO WRKCNT00 (CNT_KNRCOD) VALUES ('K01')"});
    EXPECT_FALSE(testing::ReadFile(suite.Work + "KMICNT00.txt").empty());
    TFbTransaction transaction = suite.Db.StartTransaction();
    EXPECT_EQ(suite.Db.Query(transaction, "SELECT CNT_KNRCOD FROM WRKCNT00")[0][0].AsString(), "K01");
}

} // namespace
} // namespace towagi
