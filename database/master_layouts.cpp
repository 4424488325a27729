#include "database/master_layouts.h"

#include <map>

namespace towagi {
namespace {

struct Column {
    std::string Name;
    std::string Type;       // with " NOT NULL" where the column carries it
    std::string Gap = "  "; // blanks between name and type
};

// Builds a layout column by column; the numbered families recur across several tables.
class Layout {
public:
    explicit Layout(std::string prefix) : prefix_(std::move(prefix)) {}

    Layout& Add(const std::string& name, const std::string& type, const std::string& gap = "  ") {
        columns_.push_back({prefix_ + "_" + name, type, gap});
        return *this;
    }
    // name1 .. nameN
    Layout& Numbered(const std::string& name, int count, const std::string& type) {
        for (int i = 1; i <= count; ++i)
            Add(name + std::to_string(i), type);
        return *this;
    }
    // The nine pairs of cost factors: KZBGK11, KZBGK12, KZBGK21 ... KZBGK92.
    Layout& CostFactors() {
        for (int i = 1; i <= 9; ++i)
            for (int j = 1; j <= 2; ++j)
                Add("KZBGK" + std::to_string(i) + std::to_string(j), "FLOAT");
        return *this;
    }
    // A price source: its flag, `count` codes and `count` prices (HONFLG, HONCOD1.., HONTNK1..).
    Layout& PriceSource(const std::string& source, int count) {
        Add(source + "FLG", "BOOLEAN");
        Numbered(source + "COD", count, "VARCHAR(30)");
        return Numbered(source + "TNK", count, "TANKA");
    }
    Layout& Stamps() { return Add("CREATE", "DATETIME").Add("UPDATE", "DATETIME"); }

    std::vector<Column> Columns() const { return columns_; }

private:
    std::string prefix_;
    std::vector<Column> columns_;
};

std::vector<Column> CodeLayout() {
    return Layout("CNT")
        .Add("KNRCOD", "VARCHAR(10) NOT NULL")
        .Add("KOUMEI", "VARCHAR(100)")
        .Add("OPTION", "VARCHAR(100)")
        .Stamps()
        .Columns();
}

std::vector<Column> FormulaLayout() {
    return Layout("FKU")
        .Add("FKUCOD", "HINCOD NOT NULL")
        .Add("SYBETU", "CHAR(1)")
        .Add("HINCOD", "HINCOD")
        .Add("HINMEI", "HINMEI")
        .Add("KIKAKU", "KIKAKU")
        .Add("TNIMEI", "TNINAM")
        .Add("SUURYO", "SUURYO")
        .Add("HINTNK", "TANKA")
        .Add("KINGAK", "FKUKIN")
        .Add("COMPUT", "VARCHAR(80)")
        .Add("TEKIYO", "VARCHAR(30)")
        .Columns();
}

std::vector<Column> RemarkLayout(const std::string& remarkType, const std::string& remarkGap = "  ") {
    return Layout("REI")
        .Add("REICOD", "CHAR(8) NOT NULL")
        .Add("HINCOD", "HINCOD")
        .Add("REIBUN", remarkType, remarkGap)
        .Stamps()
        .Columns();
}

// KMIHINK0 has the five price sources between the sizes and the flags; KMIHIND0 has none.
std::vector<Column> ItemLayout(bool priceSources) {
    Layout layout("HIN");
    layout.Add("HINCOD", "HINCOD NOT NULL")
        .Add("RYKCOD", "RYKCOD NOT NULL")
        .Add("RYKMEI", "VARCHAR(20)")
        .Add("CHAINS", "VARCHAR(1)")
        .Add("BUNCOD", "VARCHAR(1)")
        .Add("HINMEI", "HINMEI")
        .Add("KIKAKU", "KIKAKU")
        .Add("SIYONO", "VARCHAR(2)")
        .Add("TNIMEI", "TNINAM")
        .Add("SKYKBN", "SKYKBN")
        .Numbered("HKYRIT", 2, "HKYRIT")
        .CostFactors()
        .Numbered("SYORIT", 2, "SYORIT")
        .Numbered("SNTRIT", 2, "FLOAT")
        .Add("KANRIT1", "KANRIT")
        .Add("KANTNI", "TNINAM")
        .Add("KANRIT2", "KANRIT")
        .Add("JYURYO", "JYURYO")
        .Add("KHSIZE", "FLOAT")
        .Add("KWSIZE", "FLOAT")
        .Add("KTSIZE", "FLOAT")
        .Numbered("TANKA", 5, "TANKA");
    for (int i = 1; i <= 5; ++i)
        layout.Add("TKNAM" + std::to_string(i), "VARCHAR(10)")
            .Add("TKPAG" + std::to_string(i), i < 5 ? "VARCHAR(4)" : "VARCHAR(15)");
    layout.Numbered("TKCOD", 4, "VARCHAR(15)").Add("TKCOD5", "VARCHAR(20)").Numbered("BUGAK", 8, "BUGAKE");
    if (priceSources) {
        layout.Add("HTSIZE", "VARCHAR(10)")
            .PriceSource("HON", 5)
            .PriceSource("TSO", 5)
            .PriceSource("DKJ", 2)
            .PriceSource("TSI", 2)
            .PriceSource("UBR", 2);
    }
    return layout.Add("SINFLG", "BOOLEAN")
        .Add("TENFLG", "BOOLEAN")
        .Add("TDKFLG", "BOOLEAN")
        .Add("TEKIYO", "VARCHAR(30)")
        .Stamps()
        .Columns();
}

// KMIMKOK0 widens FUKUGO, replaces FILER1 by five kind columns and keeps MITSTE as a rate.
std::vector<Column> EstimateItemLayout(bool kinds) {
    Layout layout("MKO");
    layout.Add("MITKOU", "MITKOU NOT NULL")
        .Add("KOUMEI", "VARCHAR(30)")
        .Add("ZAIKBN", "CHAR(1)")
        .Add("MARUME", "CHAR(3)")
        .Add("FUKUGO", kinds ? "CHAR(2)" : "CHAR(1)")
        .Add("SYBETU", "CHAR(4)")
        .Add("REPEAT", "VARCHAR(5)");
    if (kinds) {
        for (const char* kind : {"HONSBT", "TSOSBT", "DKJSBT", "KOJSBT", "ZAISBT"})
            layout.Add(kind, "VARCHAR(2)");
    } else {
        layout.Add("FILER1", "VARCHAR(5)");
    }
    layout.Add("PRNTNO", "VARCHAR(11)");
    for (int i = 1; i <= 8; ++i)
        layout.Add("BUGAK" + std::to_string(i), "CHAR(2)").Add("SYUKE" + std::to_string(i), "MITKOU");
    return layout.Add("JITSTE", "STERIT")
        .Add("MITSTE", kinds ? "STERIT" : "FLOAT")
        .Add("HSERIT", "INTEGER")
        .Numbered("HKYRIT", 2, "HKYRIT")
        .CostFactors()
        .Numbered("SYORIT", 2, "SYORIT")
        .Numbered("SNTRIT", 2, "FLOAT")
        .Add("TNIMEI", "TNINAM")
        .Add("KEIKMK", "VARCHAR(6)")
        .Add("BGKSBT", "VARCHAR(2)")
        .Add("KMKTTL", "VARCHAR(20)")
        .Add("ROUZAI", "VARCHAR(30)")
        .Add("OPTION", "VARCHAR(30)")
        .Add("CICODE", "VARCHAR(15)")
        .Numbered("YOBIN", 3, "FLOAT")
        .Numbered("YOBIX", 3, "VARCHAR(5)")
        .Stamps()
        .Columns();
}

std::vector<Column> UnitPriceLayout() {
    return Layout("HON")
        .Add("HONCOD", "VARCHAR(20) NOT NULL")
        .Numbered("TANKA", 5, "TANKA")
        .Add("HINCOD", "HINCOD")
        .Add("OPTION", "VARCHAR(50)")
        .Stamps()
        .Columns();
}

std::vector<Column> ConversionLayout() {
    return Layout("KAN")
        .Add("MITKOU", "MITKOU")
        .Add("ZAICOD", "VARCHAR(2)")
        .Add("SIZCOD", "VARCHAR(10)")
        .Add("SKOCOD", "VARCHAR(2)")
        .Numbered("HKYRIT", 2, "FLOAT")
        .CostFactors()
        .Numbered("SYORIT", 2, "SYORIT")
        .Numbered("SNTRIT", 2, "FLOAT")
        .Numbered("BUGAK", 8, "BUGAKE")
        .PriceSource("HON", 5)
        .Stamps()
        .Columns();
}

std::vector<Column> InputControlLayout() {
    return Layout("CIN")
        .Add("RECKBN", "CHAR(1)")
        .Add("KNRCOD", "VARCHAR(20)")
        .Add("KOUMEI", "VARCHAR(50)")
        .Add("OPTION", "VARCHAR(50)")
        .Add("TAGNUM", "VARCHAR(4)")
        .Add("ZOKUSE", "VARCHAR(2)")
        .Add("MOJISU", "INTEGER")
        .Add("SYOUSU", "INTEGER")
        .Add("MALUTI", "VARCHAR(10)")
        .Add("HYOJUN", "BOOLEAN")
        .Add("ZEIKOM", "BOOLEAN")
        .Add("SELECT", "VARCHAR(40)")
        .Add("SYSTEM", "VARCHAR(20)")
        .Stamps()
        .Columns();
}

std::vector<Column> NoteLayout() {
    return Layout("CYU")
        .Add("REICOD", "VARCHAR(10) NOT NULL")
        .Add("LINE", "INTEGER NOT NULL")
        .Add("TEKIYO", "VARCHAR(100)")
        .Stamps()
        .Columns();
}

std::vector<Column> FittingLayout() {
    return Layout("SKI")
        .Add("MITKOU", "MITKOU")
        .Add("SYCODE", "VARCHAR(3)")
        .Add("WSIZE", "VARCHAR(10)")
        .Add("HSIZE", "VARCHAR(10)")
        .Numbered("TANKA", 5, "FLOAT")
        .Numbered("YOBIN", 2, "FLOAT")
        .Stamps()
        .Columns();
}

const std::map<std::string, std::vector<Column>>& Layouts() {
    static const std::map<std::string, std::vector<Column>> layouts{
        {"KMICNT00", CodeLayout()},
        {"KMICNTD0", CodeLayout()},
        {"KMICNTK0", CodeLayout()},
        {"KMIFKUD0", FormulaLayout()},
        {"KMIFKUK0", FormulaLayout()},
        {"KMIREID0", RemarkLayout("VARCHAR(40)")},
        {"KMIREIK0", RemarkLayout("VARCHAR(40)")},
        {"KMIHIND0", ItemLayout(false)},
        {"KMIHINK0", ItemLayout(true)},
        {"KMIMKOD0", EstimateItemLayout(false)},
        {"KMIMKOK0", EstimateItemLayout(true)},
        {"KMIHONK0", UnitPriceLayout()},
        {"KMIKANK0", ConversionLayout()},
        {"KMICIN00", InputControlLayout()},
        {"KMICYUD0", NoteLayout()},
        {"KMISKIK0", FittingLayout()},
    };
    return layouts;
}

// A folder that starts with '/' is joined with '/', any other (the suite's own form) with a backslash.
std::string DataFilePath(std::string folder, const std::string& masterTable) {
    const char separator = !folder.empty() && folder[0] == '/' ? '/' : '\\';
    if (folder.empty() || folder.back() != separator) folder += separator;
    return folder + masterTable + ".txt";
}

// A quote inside the file name is written twice, or a folder such as /home/o'neill would end the literal.
std::string QuotedInLiteral(const std::string& text) {
    std::string quoted;
    for (const char c : text) {
        quoted += c;
        if (c == '\'') quoted += c;
    }
    return quoted;
}

void AppendStatement(const std::string& folder, const std::string& workTable, const std::string& masterTable,
                     const std::vector<Column>& columns, std::vector<std::string>& lines) {
    lines.push_back("CREATE TABLE " + workTable + " EXTERNAL FILE '" +
                    QuotedInLiteral(DataFilePath(folder, masterTable)) + "'");
    lines.push_back("(");
    for (size_t i = 0; i < columns.size(); ++i)
        lines.push_back("  " + columns[i].Name + columns[i].Gap + columns[i].Type +
                        (i + 1 < columns.size() ? "," : ""));
    lines.push_back(");");
}

} // namespace

const std::vector<TMasterTable>& MasterTables() {
    static const std::vector<TMasterTable> tables{
        {"KMICNT00", "WRKCNT00"}, {"KMICNTD0", "WRKCNTD0"}, {"KMICNTK0", "WRKCNTK0"},
        {"KMIREID0", "WRKREID0"}, {"KMIREIK0", "WRKREIK0"}, {"KMIMKOD0", "WRKMKOD0"},
        {"KMIMKOK0", "WRKMKOK0"}, {"KMIFKUD0", "WRKFKUD0"}, {"KMIFKUK0", "WRKFKUK0"},
        {"KMIHIND0", "WRKHIND0"}, {"KMIHINK0", "WRKHINK0"}, {"KMIKANK0", "WRKKANK0"},
        {"KMIHONK0", "WRKHONK0"}, {"KMICIN00", "WRKCIN00"}, {"KMICYUD0", "WRKCYUD0"},
        {"KMISKIK0", "WRKSKIK0"},
    };
    return tables;
}

bool BuildExternalTableSQL(const std::string& folder, const std::string& workTable,
                           const std::string& masterTable, std::vector<std::string>& lines) {
    const auto layout = Layouts().find(masterTable);
    if (layout == Layouts().end()) return false;
    AppendStatement(folder, workTable, masterTable, layout->second, lines);
    return true;
}

void BuildRemarkTableSQL(const std::string& folder, const std::string& workTable, int remarkLength,
                         std::vector<std::string>& lines) {
    // This statement has always set its remark line one blank further in.
    AppendStatement(folder, workTable, "KMIREID0",
                    RemarkLayout("VARCHAR(" + std::to_string(remarkLength) + ")", "   "), lines);
}

} // namespace towagi
