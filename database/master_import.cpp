#include "database/master_import.h"

#include "database/control_settings.h"
#include "database/data_module.h"
#include "platform/prompts.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/ini_file.h"
#include "support/text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace towagi {
namespace {

constexpr const char* kProtectSection = "Mast Protection Code";
constexpr const char* kProtectTrace = "Protect Mast";
constexpr const char* kCheckTrace = "CheckMasterTextFiles";
constexpr const char* kUpdateTrace = "UpdateMasterDatabase";

std::string Statement(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

std::string DropStatement(const std::string& table) {
    return Statement({"DROP TABLE", "  " + table});
}

// The prefix travels as a parameter: a prefix from the settings file is never part of the statement text,
// whatever characters it holds.
const std::string kPrefixCondition = "WHERE CNT_KNRCOD LIKE :Prefix";
TFbParams PrefixParam(const std::string& prefix) {
    return {{"Prefix", prefix + "%"}};
}

// The pieces between the commas, trimmed of blanks and control characters, empty ones left out.
std::vector<std::string> Prefixes(const std::string& value) {
    std::vector<std::string> prefixes;
    size_t begin = 0;
    for (;;) {
        const size_t comma = value.find(',', begin);
        std::string piece = value.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
        const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
        while (!piece.empty() && isBlank(piece.back()))
            piece.pop_back();
        size_t start = 0;
        while (start < piece.size() && isBlank(piece[start]))
            ++start;
        if (start < piece.size()) prefixes.push_back(piece.substr(start));
        if (comma == std::string::npos) return prefixes;
        begin = comma + 1;
    }
}

std::string KeyOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

std::string ValueOf(const std::string& entry) {
    const size_t equals = entry.find('=');
    return equals == std::string::npos ? std::string() : entry.substr(equals + 1);
}

// Firebird's own message on one trace line.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

// The engine lays a record out field by field, each aligned to its own width (at most eight bytes; text
// to one, a varying text to its two-byte length), after a null-flag block of whole 32-bit words. The
// file holds the bytes from the first field to the end of the last.
struct StoredField {
    int Size;
    int Alignment;
};
std::optional<StoredField> StoredFieldOf(std::int64_t type, std::int64_t length) {
    switch (type) {
    case 14: return StoredField{static_cast<int>(length), 1};     // CHAR
    case 37: return StoredField{static_cast<int>(length) + 2, 2}; // VARCHAR
    case 23: return StoredField{1, 1};                            // BOOLEAN
    case 7: return StoredField{2, 2};                             // SMALLINT
    case 8:                                                       // INTEGER
    case 10:                                                      // FLOAT
    case 12:                                                      // DATE
    case 13: return StoredField{4, 4};                            // TIME
    case 16:                                                      // BIGINT
    case 27:                                                      // DOUBLE PRECISION
    case 35: return StoredField{8, 8};                            // TIMESTAMP
    default: return std::nullopt;
    }
}

int Aligned(int offset, int alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

} // namespace

TGDBProperty ReadGDBProperty(const EditionProfile& profile, int slotIndex) {
    TGDBProperty property;
    property.DatabaseName = ReadDatabaseSlot(slotIndex).Location;
    property.UserName = ReadEditionString(profile, "Security", "GDBUSERID");
    property.Password = ReadEditionString(profile, "Security", "GDBPASSWORD");
    if (IsBlank(property.UserName)) property.UserName = kDefaultDatabaseUser;
    if (IsBlank(property.Password)) property.Password = kDefaultDatabasePassword;
    return property;
}

std::vector<TMasterTable> EditionMasterTables(const EditionProfile& profile) {
    const std::vector<TMasterTable>& all = MasterTables();
    const size_t count = std::min(all.size(), static_cast<size_t>(std::max(profile.MasterTableCount, 0)));
    return {all.begin(), all.begin() + static_cast<std::ptrdiff_t>(count)};
}

const std::vector<TProtectionTable>& ProtectionTables() {
    static const std::vector<TProtectionTable> tables{
        {"KMICNT00", "WMICNT00"}, {"KMICNTD0", "WMICNTD0"}, {"KMICNTK0", "WMICNTK0"}, {"KMICNTB0", "WMICNTB0"}};
    return tables;
}

TMasterArchive FindMasterArchive(const EditionProfile& profile, const std::string& masterFolder,
                                 const std::string& branch) {
    for (const std::string& extension : profile.MasterArchiveExtensions) {
        const std::string path = FindFileIgnoringCase(masterFolder, branch + extension);
        if (!path.empty()) return {path, extension};
    }
    return {};
}

void DeleteMasterArchive(const EditionProfile& profile, const std::string& masterFolder,
                         const std::string& branch) {
    const TMasterArchive archive = FindMasterArchive(profile, masterFolder, branch);
    if (!archive.Path.empty()) ::unlink(archive.Path.c_str());
}

void ClearMasterTextFiles(const EditionProfile& profile, const std::string& folder) {
    for (const TMasterTable& table : EditionMasterTables(profile))
        DeleteFilesByMask(IncludeTrailingSeparator(folder), std::string(table.Master) + ".TXT");
}

TMasterImport::TMasterImport(TUpdateState& state, std::string workFolder)
    : state_(state), profile_(*state.Profile), workFolder_(std::move(workFolder)) {}

void TMasterImport::Connect(const TGDBProperty& property) {
    transaction_.reset();
    connection_ = TFbConnection::Attach({property.DatabaseName, property.UserName, property.Password, workFolder_});
}

void TMasterImport::ExecuteStatement(const std::string& sql, const TFbParams& params) {
    if (InTransaction()) {
        connection_.Execute(*transaction_, sql, params);
        return;
    }
    TFbTransaction own = connection_.StartTransaction();
    connection_.Execute(own, sql, params);
    own.Commit();
}

void TMasterImport::ExecuteWorkTableStatement(const std::string& sql) {
    if (!profile_.WorkTableErrorsIgnored) {
        ExecuteStatement(sql);
        return;
    }
    try {
        ExecuteStatement(sql);
    } catch (const std::exception& e) {
        // What this leaves undone shows later: the copy from a work table that is missing fails and rolls back.
        state_.TraceLog->Write(kUpdateTrace, "実行できなかった文を飛ばしました : " + OneLine(e.what()));
    }
}

bool TMasterImport::HasTable(const std::string& name) {
    try {
        if (InTransaction()) return connection_.HasTable(*transaction_, name);
        TFbTransaction own = connection_.StartTransaction();
        const bool found = connection_.HasTable(own, name);
        own.Commit();
        return found;
    } catch (const std::exception&) {
        return false;
    }
}

void TMasterImport::StartTransaction() {
    Rollback();
    transaction_.emplace(connection_.StartTransaction());
}

void TMasterImport::Commit() {
    if (!transaction_) throw EDatabaseError("トランザクションが開始されていません");
    transaction_->Commit();
    transaction_.reset();
}

void TMasterImport::Rollback() noexcept {
    if (!transaction_) return;
    try {
        if (transaction_->Active()) transaction_->Rollback();
    } catch (const std::exception&) {
        // The engine undoes it with the connection.
    }
    transaction_.reset();
}

void TMasterImport::DropWorkTables() {
    for (const TMasterTable& table : EditionMasterTables(profile_))
        if (HasTable(table.Work)) ExecuteWorkTableStatement(DropStatement(table.Work));
}

void TMasterImport::CreateWorkTables(const std::string& folder) {
    for (const TMasterTable& table : EditionMasterTables(profile_)) {
        std::vector<std::string> lines;
        BuildExternalTableSQL(IncludeTrailingSeparator(folder), table.Work, table.Master, lines);
        if (profile_.RemarkWidthFromDatabase && std::string(table.Master) == "KMIREID0")
            FitRemarkLength(folder, table.Work, lines);
        ExecuteWorkTableStatement(Statement(lines));
    }
}

void TMasterImport::FitRemarkLength(const std::string& folder, const std::string& workTable,
                                    std::vector<std::string>& lines) {
    const int length = GetColumnLength("KMIREID0", "REI_REIBUN");
    if (length <= 0) return;
    lines.clear();
    BuildRemarkTableSQL(IncludeTrailingSeparator(folder), workTable, length, lines);
}

int TMasterImport::GetColumnLength(const std::string& table, const std::string& column) {
    try {
        TFbTransaction own = connection_.StartTransaction();
        const auto rows =
            connection_.Query(own,
                              Statement({"SELECT B.RDB$CHARACTER_LENGTH FROM RDB$RELATION_FIELDS A, RDB$FIELDS B",
                                         "WHERE A.RDB$FIELD_SOURCE  = B.RDB$FIELD_NAME",
                                         "  AND A.RDB$FIELD_NAME    = :Fldmei",
                                         "  AND A.RDB$RELATION_NAME = :Tblmei", "ORDER BY A.RDB$FIELD_POSITION"}),
                              {{"Tblmei", table}, {"Fldmei", column}});
        own.Commit();
        return rows.empty() ? 0 : static_cast<int>(rows[0][0].AsInteger());
    } catch (const std::exception&) {
        return 0;
    }
}

int TMasterImport::ExternalRecordLength(const std::string& table) {
    try {
        TFbTransaction own = connection_.StartTransaction();
        // The record keeps the fields in the order of their ids, which a new table numbers as declared.
        const auto rows = connection_.Query(own,
                                            "SELECT F.RDB$FIELD_TYPE, F.RDB$FIELD_LENGTH"
                                            " FROM RDB$RELATIONS T"
                                            " JOIN RDB$RELATION_FIELDS R ON R.RDB$RELATION_NAME = T.RDB$RELATION_NAME"
                                            " JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = R.RDB$FIELD_SOURCE"
                                            " WHERE T.RDB$RELATION_NAME = :Tblmei AND T.RDB$EXTERNAL_FILE IS NOT NULL"
                                            " ORDER BY R.RDB$FIELD_ID",
                                            {{"Tblmei", table}});
        own.Commit();
        if (rows.empty()) return 0;
        int offset = static_cast<int>(((rows.size() + 32) & ~static_cast<size_t>(31)) / 8);
        int first = -1;
        for (const TFbRow& row : rows) {
            const auto field = StoredFieldOf(row[0].AsInteger(), row[1].AsInteger());
            if (!field) return 0;
            offset = Aligned(offset, field->Alignment);
            if (first < 0) first = offset;
            offset += field->Size;
        }
        return offset - first;
    } catch (const std::exception&) {
        return 0;
    }
}

bool TMasterImport::CheckMasterTextFiles(const std::string& folder) {
    const std::string dir = IncludeTrailingSeparator(folder);
    for (const TMasterTable& table : EditionMasterTables(profile_)) {
        if (!HasTable(table.Master)) continue;
        const std::string path = dir + table.Master + ".txt";
        const std::string found = FindFileIgnoringCase(dir, std::string(table.Master) + ".txt");
        if (!found.empty() && found != path) {
            if (std::rename(found.c_str(), path.c_str()) != 0) {
                state_.TraceLog->Write(kCheckTrace, "マスタファイル[" + found + "]の名前を変えられません");
                return false;
            }
        }
        struct stat info {};
        if (found.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            state_.TraceLog->Write(kCheckTrace, "マスタファイル[" + path + "]がありません");
            return false;
        }
        const int length = ExternalRecordLength(table.Work);
        if (length > 0 && info.st_size % length != 0) {
            state_.TraceLog->Write(kCheckTrace, "マスタファイル[" + path + "]の大きさ(" + std::to_string(info.st_size) +
                                                    ")がレコード長(" + std::to_string(length) +
                                                    ")の倍数ではありません");
            return false;
        }
    }
    return true;
}

void TMasterImport::ReadProtectionList() {
    MastProtectionList = TIniFile(state_.ExeDir + profile_.CatalogueIniFileName).ReadSectionValues(kProtectSection);
    for (size_t i = MastProtectionList.size(); i-- > 0;) {
        const std::string key = KeyOf(MastProtectionList[i]);
        const std::string value = ValueOf(MastProtectionList[i]);
        if (HasTable(key)) {
            state_.TraceLog->Write(kProtectTrace, "[" + key + "] = " + value);
        } else {
            state_.TraceLog->Write(kProtectTrace, "[" + key + "] = テーブルが存在しないため削除しました。");
            MastProtectionList.erase(MastProtectionList.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

std::vector<std::pair<const TProtectionTable*, std::vector<std::string>>> TMasterImport::ProtectedEntries() const {
    std::vector<std::pair<const TProtectionTable*, std::vector<std::string>>> entries;
    for (const std::string& entry : MastProtectionList)
        for (const TProtectionTable& table : ProtectionTables())
            if (SameText(KeyOf(entry), table.Code)) entries.emplace_back(&table, Prefixes(ValueOf(entry)));
    return entries;
}

void TMasterImport::SaveProtectedRows() {
    for (const auto& [table, prefixes] : ProtectedEntries()) {
        const std::string keep = table->Keep;
        if (HasTable(keep)) {
            // Left by an import that failed before its transaction: its rows are copies of rows that were
            // never deleted, so it goes rather than block every later import of this database.
            state_.TraceLog->Write(kProtectTrace, "[" + keep + "] 前回の取込で残った保護テーブルを削除しました。");
            ExecuteStatement(DropStatement(keep));
        }
        ExecuteStatement(Statement({"CREATE TABLE " + keep, "(", "  CNT_KNRCOD  VARCHAR(10) NOT NULL,",
                                    "  CNT_KOUMEI  VARCHAR(100),", "  CNT_OPTION  VARCHAR(100),",
                                    "  CNT_CREATE  DATETIME,", "  CNT_UPDATE  DATETIME", ");"}));
        for (const std::string& prefix : prefixes) {
            ExecuteStatement(Statement({"DELETE FROM " + keep, kPrefixCondition}), PrefixParam(prefix));
            ExecuteStatement(Statement({"INSERT INTO " + keep, "SELECT * FROM " + std::string(table->Code),
                                        kPrefixCondition}),
                             PrefixParam(prefix));
        }
    }
}

void TMasterImport::DeleteMasterRows() {
    for (const TMasterTable& table : EditionMasterTables(profile_))
        if (HasTable(table.Master)) ExecuteStatement(Statement({"DELETE FROM " + std::string(table.Master)}));
}

void TMasterImport::CopyWorkRows() {
    for (const TMasterTable& table : EditionMasterTables(profile_))
        if (HasTable(table.Master))
            ExecuteStatement(
                Statement({"INSERT INTO " + std::string(table.Master), "SELECT * FROM " + std::string(table.Work)}));
}

void TMasterImport::RestoreProtectedRows() {
    for (const auto& [table, prefixes] : ProtectedEntries()) {
        const std::string code = table->Code;
        for (const std::string& prefix : prefixes) {
            ExecuteStatement(Statement({"DELETE FROM " + code, kPrefixCondition}), PrefixParam(prefix));
            ExecuteStatement(
                Statement({"INSERT INTO " + code, "SELECT * FROM " + std::string(table->Keep), kPrefixCondition}),
                PrefixParam(prefix));
        }
    }
}

void TMasterImport::DropProtectionTables() {
    for (const auto& [table, prefixes] : ProtectedEntries())
        if (HasTable(table->Keep)) ExecuteWorkTableStatement(DropStatement(table->Keep));
    MastProtectionList.clear();
}

void UpdateMasterDatabase(TUpdateState& state, int slotIndex, const std::string& updateFolder,
                          const std::string& workFolder, const std::string& branch) {
    const EditionProfile& profile = *state.Profile;
    TTraceLog& log = *state.TraceLog;
    const auto step = [&state] {
        if (state.ProgressWindow) state.ProgressWindow->StepProgress();
    };
    const std::string masterFolder = IncludeTrailingSeparator(updateFolder) + "MAST/";
    // The archive goes, so that the next update run fetches it again and repeats the import.
    const auto fail = [&](const std::string& message) {
        DeleteMasterArchive(profile, masterFolder, branch);
        ShowError(message);
    };

    TMasterImport import(state, workFolder);
    try {
        import.Connect(ReadGDBProperty(profile, slotIndex));
    } catch (const std::exception& e) {
        log.Write(kUpdateTrace, "データベースに接続できません : " + OneLine(e.what()));
        fail("データベース(" + branch + ")への接続に失敗しました。");
        return;
    }
    import.DropWorkTables();
    step();
    import.CreateWorkTables(workFolder);
    if (import.CheckMasterTextFiles(workFolder)) {
        import.ReadProtectionList();
        import.SaveProtectedRows();
        step();
        import.StartTransaction();
        try {
            import.DeleteMasterRows();
            step();
            import.CopyWorkRows();
            import.RestoreProtectedRows();
            step();
            import.Commit();
        } catch (const std::exception& e) {
            import.Rollback();
            log.Write(kUpdateTrace, "マスタを元に戻しました : " + OneLine(e.what()));
            fail("マスタ(" + branch + ")の更新に失敗しました。");
        }
    } else {
        fail("マスタ(" + branch + ")の更新に失敗しました。");
    }
    import.DropWorkTables();
    import.DropProtectionTables();
    step();
}

} // namespace towagi
