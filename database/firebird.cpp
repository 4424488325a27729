#include "database/firebird.h"

#include "support/encoding.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/text.h"

#include <firebird/Interface.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace towagi {

using Firebird::FbException;
using Firebird::IMessageMetadata;
using Firebird::IMetadataBuilder;
using Firebird::IStatus;
using Firebird::ThrowStatusWrapper;

namespace {

// Character sets whose bytes are UTF-8 already; every other column holds the suite's CP932 text.
constexpr unsigned kCharsetUnicodeFss = 3;
constexpr unsigned kCharsetUtf8 = 4;
constexpr const char* kConfigFileName = "firebird.conf";

Firebird::IMaster* Master() {
    static Firebird::IMaster* master = Firebird::fb_get_master_interface();
    return master;
}

Firebird::IProvider* Dispatcher() {
    static Firebird::IProvider* dispatcher = Master()->getDispatcher();
    return dispatcher;
}

// Firebird's messages are ASCII apart from the names and values they quote, which are the suite's bytes.
std::string MessageText(const std::string& raw) {
    if (IsValidUTF8(raw)) return raw;
    try {
        return FromCP932(raw, "Firebird");
    } catch (const EEncodingError&) {
        std::string shown;
        for (unsigned char c : raw) {
            if (c < 0x80) {
                shown += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                shown += hex;
            }
        }
        return shown;
    }
}

EDatabaseError ErrorFrom(IStatus* status) {
    char buffer[4096];
    Master()->getUtilInterface()->formatStatus(buffer, sizeof buffer, status);
    const intptr_t* errors = status->getErrors();
    std::intptr_t code = errors && errors[0] == isc_arg_gds ? errors[1] : 0;
    return EDatabaseError(MessageText(buffer), code);
}

// One status object per call into the client, disposed of on every path.
class Status {
public:
    Status() : status_(Master()->getStatus()), wrapper_(status_) {}
    ~Status() { status_->dispose(); }
    Status(const Status&) = delete;
    Status& operator=(const Status&) = delete;
    ThrowStatusWrapper* operator->() { return &wrapper_; }
    ThrowStatusWrapper* get() { return &wrapper_; }

private:
    IStatus* status_;
    ThrowStatusWrapper wrapper_;
};

// Runs calls into the client and turns Firebird's exceptions into EDatabaseError with its message.
template <typename Call> auto Guarded(Call&& call) {
    Status status;
    try {
        return call(status.get());
    } catch (const FbException& error) {
        throw ErrorFrom(error.getStatus());
    }
}

template <typename Releasable> void ReleaseQuietly(Releasable*& object) {
    if (object) object->release();
    object = nullptr;
}

// Ends a handle (rollback, close, free, detach), which releases it; when Firebird refuses, as after a lost
// connection, the handle is released by hand.
template <typename Interface, typename End> void EndQuietly(Interface*& handle, End end) noexcept {
    if (!handle) return;
    try {
        Guarded([&](ThrowStatusWrapper* status) { end(handle, status); });
    } catch (const EDatabaseError&) {
        handle->release();
    }
    handle = nullptr;
}

struct EngineState {
    std::mutex Lock;
    bool Configured = false;
    bool Started = false;
};

EngineState& Engine() {
    static EngineState state;
    return state;
}

std::string WithoutTrailingSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

// The folder goes into a ';'-separated list inside a line-oriented file; refuse what would change its
// meaning there rather than widen the access.
std::string AccessFolder(const std::string& folder) {
    if (folder.empty() || folder[0] != '/' || folder.find_first_of(";\r\n") != std::string::npos)
        throw EDatabaseError("外部ファイルのフォルダ[" + folder + "]は指定できません");
    return WithoutTrailingSlash(folder);
}

std::string ExternalFileAccessLine(const std::string& folder) {
    return folder.empty() ? "ExternalFileAccess = None"
                          : "ExternalFileAccess = Restrict " + AccessFolder(folder);
}

// Several launchers may start at once: each writes its own file and renames it into place.
template <typename Write> void ReplaceFile(const std::string& path, Write write) {
    const std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
    std::error_code error;
    if (write(temporary)) std::filesystem::rename(temporary, path, error);
    if (!std::filesystem::exists(temporary)) return;
    std::filesystem::remove(temporary, error);
    throw EDatabaseError("データベースエンジンの設定ファイル[" + path + "]を書き込めません");
}

void WriteIfChanged(const std::string& path, const std::string& content) {
    std::ifstream existing(path, std::ios::binary);
    std::ostringstream text;
    text << existing.rdbuf();
    if (existing && text.str() == content) return;
    ReplaceFile(path, [&](const std::string& temporary) {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        out.close();
        return static_cast<bool>(out);
    });
}

// The engine loads its character-set module from "intl" beside its configuration and refuses one reached
// through a symbolic link, so the installation's module is copied there.
void CopyIntlModule(const std::string& root) {
    const std::filesystem::path source = TOWAGI_FIREBIRD_INTL_MODULE;
    std::error_code error;
    if (source.empty() || !std::filesystem::is_regular_file(source, error)) return;
    const std::string target = root + "/intl/" + source.filename().string();
    if (std::filesystem::file_size(target, error) == std::filesystem::file_size(source, error) &&
        std::filesystem::last_write_time(target, error) == std::filesystem::last_write_time(source, error))
        return;
    std::filesystem::create_directories(root + "/intl", error);
    ReplaceFile(target, [&](const std::string& temporary) {
        std::error_code failed;
        std::filesystem::copy_file(source, temporary, std::filesystem::copy_options::overwrite_existing,
                                   failed);
        if (!failed)
            std::filesystem::last_write_time(temporary, std::filesystem::last_write_time(source), failed);
        return !failed;
    });
}

// Stops the engine's threads and lets go of its locks before the process ends, so that the processes
// sharing a database see this one leave cleanly.
void ShutdownEngine() {
    try {
        Guarded(
            [](ThrowStatusWrapper* status) { Dispatcher()->shutdown(status, 0, fb_shutrsn_app_stopped); });
    } catch (const EDatabaseError&) {
        // The process is ending either way.
    }
}

// Before the first attach of the process only; the engine never rereads its configuration. The client
// takes its folders at its first attach of any kind, also one to a server.
void NoteAttach(const TFbConnectParams& params) {
    {
        std::lock_guard guard(Engine().Lock);
        if (Engine().Started) return;
    }
    if (!params.ExternalFileDir.empty())
        ConfigureEmbeddedEngine(EngineDirBeside(params.ExternalFileDir), params.ExternalFileDir);
    else
        UseEngineLockDir();
    std::lock_guard guard(Engine().Lock);
    Engine().Started = true;
    std::atexit(ShutdownEngine);
}

bool IsIdentifierStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsIdentifierPart(char c) {
    return IsIdentifierStart(c) || (c >= '0' && c <= '9') || c == '$';
}

struct TranslatedSql {
    std::string Sql;
    std::vector<std::string> Names;
};

// ":Name" becomes "?"; quoted text and comments are copied untouched (dialect 1 quotes text both ways).
TranslatedSql TranslateParams(const std::string& sql) {
    TranslatedSql result;
    size_t i = 0;
    auto copyUntil = [&](const std::string& end) {
        size_t stop = sql.find(end, i);
        stop = stop == std::string::npos ? sql.size() : stop + end.size();
        result.Sql.append(sql, i, stop - i);
        i = stop;
    };
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == '\'' || c == '"') {
            result.Sql += c;
            ++i;
            copyUntil(std::string(1, c)); // a doubled quote reads as two literals in a row: same bytes
        } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
            copyUntil("\n");
        } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
            copyUntil("*/");
        } else if (c == '?') {
            result.Sql += '?';
            result.Names.emplace_back();
            ++i;
        } else if (c == ':' && i + 1 < sql.size() && IsIdentifierStart(sql[i + 1])) {
            size_t end = i + 1;
            while (end < sql.size() && IsIdentifierPart(sql[end]))
                ++end;
            result.Names.push_back(sql.substr(i + 1, end - i - 1));
            result.Sql += '?';
            i = end;
        } else {
            result.Sql += c;
            ++i;
        }
    }
    return result;
}

bool EndsWithWord(const std::string& text, size_t end, const char* word, size_t& start) {
    const size_t length = std::strlen(word);
    if (end < length || !SameText(text.substr(end - length, length), word)) return false;
    start = end - length;
    return start == 0 || !IsIdentifierPart(text[start - 1]);
}

size_t SkipBlanksBackwards(const std::string& text, size_t end) {
    while (end > 0 && static_cast<unsigned char>(text[end - 1]) <= ' ')
        --end;
    return end;
}

// Whether the literal that starts at `quote` follows "EXTERNAL [FILE]".
bool NamesExternalFile(const std::string& sql, size_t quote) {
    size_t end = SkipBlanksBackwards(sql, quote);
    size_t start = 0;
    if (EndsWithWord(sql, end, "FILE", start)) {
        if (start == 0 || static_cast<unsigned char>(sql[start - 1]) > ' ') return false;
        end = SkipBlanksBackwards(sql, start);
    }
    return EndsWithWord(sql, end, "EXTERNAL", start);
}

// The engine reads an external file's name back through the connection's character set NONE, which keeps
// ASCII only: it would make a folder named with "?" and then refuse the file. Refused here, before that.
void RefuseNonAsciiExternalFile(const std::string& sql) {
    size_t i = 0;
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == '\'' || c == '"') {
            size_t end = i + 1;
            for (;;) { // a doubled quote belongs to the literal
                end = sql.find(c, end);
                if (end == std::string::npos || end + 1 >= sql.size() || sql[end + 1] != c) break;
                end += 2;
            }
            end = end == std::string::npos ? sql.size() : end + 1;
            const std::string literal = sql.substr(i, end - i);
            if (NamesExternalFile(sql, i) &&
                std::any_of(literal.begin(), literal.end(), [](unsigned char b) { return b >= 0x80; }))
                throw EDatabaseError("外部ファイル" + literal + "の名前にはASCII文字しか使えません");
            i = end;
        } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
            i = std::min(sql.find('\n', i), sql.size());
        } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
            const size_t close = sql.find("*/", i + 2);
            i = close == std::string::npos ? sql.size() : close + 2;
        } else {
            ++i;
        }
    }
}

std::string FormatNumber(double value) {
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string();
}

bool ParseWholeNumber(const std::string& text, std::int64_t& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+') ++begin;
    auto [stop, error] = std::from_chars(begin, end, value);
    return error == std::errc() && stop == end && begin != end;
}

// Where one output column sits in the message buffer, and how to read it.
struct FieldLayout {
    unsigned Type = 0;
    unsigned Length = 0;
    unsigned Charset = 0;
    unsigned Offset = 0;
    unsigned NullOffset = 0;
};

} // namespace

namespace fb_detail {

struct AttachmentHolder {
    Firebird::IAttachment* Attachment = nullptr;
    ~AttachmentHolder() {
        EndQuietly(Attachment,
                   [](auto* attachment, ThrowStatusWrapper* status) { attachment->detach(status); });
    }
};

struct StatementCore {
    std::shared_ptr<AttachmentHolder> Attachment;
    Firebird::IStatement* Statement = nullptr;
    unsigned Type = 0;
    std::vector<std::string> ParamNames;
    std::vector<TFbValue> Params;
    IMessageMetadata* Output = nullptr; // columns as the layer reads them
    std::shared_ptr<std::vector<std::string>> FieldNames = std::make_shared<std::vector<std::string>>();
    std::vector<FieldLayout> Fields;
    unsigned OutputLength = 0;

    ~StatementCore() {
        ReleaseQuietly(Output);
        EndQuietly(Statement, [](auto* statement, ThrowStatusWrapper* status) { statement->free(status); });
    }

    bool IsSelect() const {
        return Type == isc_info_sql_stmt_select || Type == isc_info_sql_stmt_select_for_upd;
    }

    // The input message is built from the values themselves; Firebird converts them to the parameters' types.
    struct Input {
        IMessageMetadata* Metadata = nullptr;
        std::vector<unsigned char> Buffer;
        ~Input() { ReleaseQuietly(Metadata); }
    };

    void BuildInput(ThrowStatusWrapper* status, Input& input) const {
        if (Params.empty()) return;
        const unsigned count = static_cast<unsigned>(Params.size());
        std::vector<std::string> bytes(count);
        IMetadataBuilder* builder = Master()->getMetadataBuilder(status, count);
        try {
            for (unsigned i = 0; i < count; ++i) {
                const TFbValue& value = Params[i];
                const auto declare = [&](unsigned type, size_t length) {
                    builder->setType(status, i, type);
                    builder->setLength(status, i, static_cast<unsigned>(length));
                };
                switch (value.GetKind()) {
                case TFbValue::Kind::Integer:
                    declare(SQL_INT64, sizeof(ISC_INT64));
                    builder->setScale(status, i, 0);
                    break;
                case TFbValue::Kind::Float:
                    declare(SQL_DOUBLE, sizeof(double));
                    break;
                case TFbValue::Kind::Boolean:
                    declare(SQL_BOOLEAN, sizeof(FB_BOOLEAN));
                    break;
                case TFbValue::Kind::Timestamp:
                    declare(SQL_TIMESTAMP, sizeof(ISC_TIMESTAMP));
                    break;
                case TFbValue::Kind::Text:
                case TFbValue::Kind::Null: {
                    if (value.GetKind() == TFbValue::Kind::Text)
                        bytes[i] = ToCP932(value.AsString(), "パラメータ[" + ParamLabel(i) + "]");
                    if (bytes[i].size() > 32765)
                        throw EDatabaseError("パラメータ[" + ParamLabel(i) + "]が長すぎます");
                    declare(SQL_VARYING, std::max<size_t>(bytes[i].size(), 1));
                    builder->setCharSet(status, i, 0);
                    break;
                }
                }
            }
            input.Metadata = builder->getMetadata(status);
        } catch (...) {
            builder->release();
            throw;
        }
        builder->release();
        input.Buffer.assign(input.Metadata->getMessageLength(status), 0);
        Firebird::IUtil* util = Master()->getUtilInterface();
        for (unsigned i = 0; i < count; ++i) {
            unsigned char* data = input.Buffer.data() + input.Metadata->getOffset(status, i);
            auto* isNull =
                reinterpret_cast<ISC_SHORT*>(input.Buffer.data() + input.Metadata->getNullOffset(status, i));
            const TFbValue& value = Params[i];
            *isNull = value.IsNull() ? -1 : 0;
            switch (value.GetKind()) {
            case TFbValue::Kind::Integer: {
                ISC_INT64 number = value.AsInteger();
                std::memcpy(data, &number, sizeof number);
                break;
            }
            case TFbValue::Kind::Float: {
                double number = value.AsFloat();
                std::memcpy(data, &number, sizeof number);
                break;
            }
            case TFbValue::Kind::Boolean:
                *data = value.AsBoolean() ? FB_TRUE : FB_FALSE;
                break;
            case TFbValue::Kind::Timestamp: {
                const TFbTimestamp t = value.AsTimestamp();
                ISC_TIMESTAMP stamp{
                    util->encodeDate(static_cast<unsigned>(t.Year), static_cast<unsigned>(t.Month),
                                     static_cast<unsigned>(t.Day)),
                    util->encodeTime(static_cast<unsigned>(t.Hour), static_cast<unsigned>(t.Minute),
                                     static_cast<unsigned>(t.Second), static_cast<unsigned>(t.Fraction))};
                std::memcpy(data, &stamp, sizeof stamp);
                break;
            }
            case TFbValue::Kind::Text:
            case TFbValue::Kind::Null: {
                const auto length = static_cast<ISC_USHORT>(bytes[i].size());
                std::memcpy(data, &length, sizeof length);
                std::memcpy(data + sizeof length, bytes[i].data(), bytes[i].size());
                break;
            }
            }
        }
    }

    // Numbers are read as 64-bit integers or doubles (scaled ones as doubles), text and timestamps as they
    // are.
    void DescribeOutput(ThrowStatusWrapper* status) {
        IMessageMetadata* described = Statement->getOutputMetadata(status);
        IMetadataBuilder* builder = nullptr;
        try {
            const unsigned count = described->getCount(status);
            builder = described->getBuilder(status);
            for (unsigned i = 0; i < count; ++i) {
                FieldNames->push_back(described->getAlias(status, i));
                switch (described->getType(status, i)) {
                case SQL_SHORT:
                case SQL_LONG:
                case SQL_INT64:
                    if (described->getScale(status, i) == 0) {
                        builder->setType(status, i, SQL_INT64);
                        builder->setLength(status, i, sizeof(ISC_INT64));
                        break;
                    }
                    [[fallthrough]];
                case SQL_FLOAT:
                case SQL_DOUBLE:
                case SQL_D_FLOAT:
                    builder->setType(status, i, SQL_DOUBLE);
                    builder->setLength(status, i, sizeof(double));
                    builder->setScale(status, i, 0);
                    break;
                case SQL_TYPE_DATE:
                    builder->setType(status, i, SQL_TIMESTAMP);
                    builder->setLength(status, i, sizeof(ISC_TIMESTAMP));
                    break;
                default:
                    break;
                }
            }
            Output = builder->getMetadata(status);
            builder->release();
            builder = nullptr;
            described->release();
            described = nullptr;
            OutputLength = Output->getMessageLength(status);
            for (unsigned i = 0; i < count; ++i)
                Fields.push_back({Output->getType(status, i), Output->getLength(status, i),
                                  Output->getCharSet(status, i), Output->getOffset(status, i),
                                  Output->getNullOffset(status, i)});
        } catch (...) {
            ReleaseQuietly(builder);
            ReleaseQuietly(described);
            throw;
        }
    }

    std::string ParamLabel(unsigned index) const {
        return ParamNames[index].empty() ? std::to_string(index + 1) : ParamNames[index];
    }

    TFbRow DecodeRow(const std::vector<unsigned char>& buffer) const {
        std::vector<TFbValue> values;
        values.reserve(Fields.size());
        for (size_t i = 0; i < Fields.size(); ++i)
            values.push_back(Decode(i, buffer.data()));
        return TFbRow(FieldNames, std::move(values));
    }

    TFbValue Decode(size_t index, const unsigned char* buffer) const {
        const FieldLayout& field = Fields[index];
        ISC_SHORT isNull = 0;
        std::memcpy(&isNull, buffer + field.NullOffset, sizeof isNull);
        if (isNull) return {};
        const unsigned char* data = buffer + field.Offset;
        switch (field.Type) {
        case SQL_INT64: {
            ISC_INT64 number;
            std::memcpy(&number, data, sizeof number);
            return TFbValue(static_cast<std::int64_t>(number));
        }
        case SQL_DOUBLE: {
            double number;
            std::memcpy(&number, data, sizeof number);
            return TFbValue(number);
        }
        case SQL_BOOLEAN:
            return TFbValue(*data != FB_FALSE);
        case SQL_TIMESTAMP: {
            ISC_TIMESTAMP stamp;
            std::memcpy(&stamp, data, sizeof stamp);
            unsigned year, month, day, hour, minute, second, fraction;
            Master()->getUtilInterface()->decodeDate(stamp.timestamp_date, &year, &month, &day);
            Master()->getUtilInterface()->decodeTime(stamp.timestamp_time, &hour, &minute, &second,
                                                     &fraction);
            return TFbValue(TFbTimestamp{static_cast<int>(year), static_cast<int>(month),
                                         static_cast<int>(day), static_cast<int>(hour),
                                         static_cast<int>(minute), static_cast<int>(second),
                                         static_cast<int>(fraction)});
        }
        case SQL_TEXT:
            return Text(index, std::string(reinterpret_cast<const char*>(data), field.Length));
        case SQL_VARYING: {
            ISC_USHORT length;
            std::memcpy(&length, data, sizeof length);
            return Text(index, std::string(reinterpret_cast<const char*>(data + sizeof length), length));
        }
        case SQL_NULL:
            return {};
        default:
            throw EDatabaseError("列[" + (*FieldNames)[index] + "]の型は読み込めません");
        }
    }

    TFbValue Text(size_t index, std::string bytes) const {
        const unsigned charset = Fields[index].Charset;
        if (charset == kCharsetUnicodeFss || charset == kCharsetUtf8) return TFbValue(std::move(bytes));
        return TFbValue(FromCP932(bytes, "列[" + (*FieldNames)[index] + "]"));
    }
};

} // namespace fb_detail

// ---- engine configuration ----

bool ConfigureEmbeddedEngine(const std::string& engineDir, const std::string& externalFileDir) {
    std::lock_guard guard(Engine().Lock);
    if (Engine().Configured || Engine().Started) return false;
    const std::string root = AccessFolder(engineDir);
    UseEngineLockDir();
    std::error_code ignored;
    std::filesystem::create_directories(root, ignored);
    WriteIfChanged(root + "/" + kConfigFileName,
                   "# The launcher's embedded Firebird engine; read once, at the first attach of a process.\n"
                   "# SuperClassic: the suite's other programs may open the same database at the same time.\n"
                   "ServerMode = SuperClassic\n"
                   "# External tables read the master-data files of the launcher's work folder only.\n" +
                       ExternalFileAccessLine(externalFileDir) +
                       "\n"
                       "UdfAccess = None\n");
    CopyIntlModule(root);
    // Plug-ins and messages stay where the installation put them; only the configuration root moves.
    setenv("FIREBIRD", root.c_str(), 1);
    Engine().Configured = true;
    return true;
}

std::string DefaultEngineLockDir() {
    return "/tmp/towagi-firebird-" + std::to_string(geteuid()) + "/";
}

void PrepareEngineLockDir(const std::string& folder) {
    const auto refuse = [&](const std::string& reason) {
        throw EDatabaseError("データベースエンジンのロックフォルダ[" + folder + "]を使えません(" + reason +
                             ")。環境変数FIREBIRD_LOCKで別のフォルダを指定できます");
    };
    const std::string path = WithoutTrailingSlash(folder);
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) refuse(SystemErrorText(errno));
    // Checked through a handle that does not follow a link, so what is checked is the folder itself.
    const int handle = open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (handle < 0) refuse(errno == ENOTDIR || errno == ELOOP ? "フォルダではありません" : SystemErrorText(errno));
    struct stat info {};
    const int statted = fstat(handle, &info);
    const int statError = errno;
    close(handle);
    if (statted != 0) refuse(SystemErrorText(statError));
    if (info.st_uid != geteuid()) refuse("他のユーザーのフォルダです");
    if (info.st_mode & (S_IWGRP | S_IWOTH)) refuse("他のユーザーも書き込めます");
}

std::string UseEngineLockDir() {
    const char* chosen = std::getenv("FIREBIRD_LOCK");
    std::string folder = chosen && *chosen ? chosen : "";
    if (folder.empty()) {
        folder = DefaultEngineLockDir();
        PrepareEngineLockDir(folder);
        setenv("FIREBIRD_LOCK", WithoutTrailingSlash(folder).c_str(), 1);
    }
    // Sort files hold the suite's data; they stay with the locks, out of a folder every user shares.
    const char* temporary = std::getenv("FIREBIRD_TMP");
    if (!temporary || !*temporary) setenv("FIREBIRD_TMP", WithoutTrailingSlash(folder).c_str(), 1);
    return folder;
}

std::string EngineDirBeside(const std::string& externalFileDir) {
    const std::filesystem::path folder = WithoutTrailingSlash(externalFileDir);
    return (folder.parent_path() / "firebird").string() + "/";
}

bool HasHostPart(const std::string& location) {
    const size_t colon = location.find(':');
    return colon != std::string::npos && colon > 0;
}

// ---- values and rows ----

std::string TFbValue::AsString() const {
    switch (kind_) {
    case Kind::Null:
        return "";
    case Kind::Integer:
        return std::to_string(integer_);
    case Kind::Float:
        return FormatNumber(float_);
    case Kind::Text:
        return text_;
    case Kind::Boolean:
        return integer_ ? "True" : "False";
    case Kind::Timestamp: {
        char text[32];
        std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", timestamp_.Year, timestamp_.Month,
                      timestamp_.Day, timestamp_.Hour, timestamp_.Minute, timestamp_.Second);
        return text;
    }
    }
    return "";
}

std::int64_t TFbValue::AsInteger() const {
    switch (kind_) {
    case Kind::Null:
        return 0;
    case Kind::Integer:
    case Kind::Boolean:
        return integer_;
    case Kind::Float:
        if (std::nearbyint(float_) == float_ && std::fabs(float_) < 9.2e18)
            return static_cast<std::int64_t>(float_);
        break;
    case Kind::Text: {
        std::int64_t value = 0;
        if (ParseWholeNumber(text_, value)) return value;
        break;
    }
    case Kind::Timestamp:
        break;
    }
    throw EDatabaseError("'" + AsString() + "' は有効な整数値ではありません");
}

double TFbValue::AsFloat() const {
    switch (kind_) {
    case Kind::Null:
        return 0;
    case Kind::Integer:
    case Kind::Boolean:
        return static_cast<double>(integer_);
    case Kind::Float:
        return float_;
    case Kind::Text: {
        double value = 0;
        auto [end, error] = std::from_chars(text_.data(), text_.data() + text_.size(), value);
        if (error == std::errc() && end == text_.data() + text_.size() && !text_.empty()) return value;
        break;
    }
    case Kind::Timestamp:
        break;
    }
    throw EDatabaseError("'" + AsString() + "' は有効な浮動小数点数ではありません");
}

bool TFbValue::AsBoolean() const {
    if (kind_ == Kind::Boolean || kind_ == Kind::Null) return integer_ != 0;
    throw EDatabaseError("'" + AsString() + "' は有効な論理値ではありません");
}

TFbTimestamp TFbValue::AsTimestamp() const {
    if (kind_ == Kind::Timestamp) return timestamp_;
    if (kind_ == Kind::Null) return {};
    throw EDatabaseError("'" + AsString() + "' は有効な日付時刻ではありません");
}

const TFbValue& TFbRow::FieldByName(const std::string& name) const {
    for (size_t i = 0; i < names_->size(); ++i)
        if (SameText((*names_)[i], name)) return values_[i];
    throw EDatabaseError("列[" + name + "]がありません");
}

// ---- transactions ----

TFbTransaction::TFbTransaction(std::shared_ptr<fb_detail::AttachmentHolder> attachment,
                               Firebird::ITransaction* transaction)
    : attachment_(std::move(attachment)), transaction_(transaction) {}

TFbTransaction::TFbTransaction(TFbTransaction&& other) noexcept
    : attachment_(std::move(other.attachment_)), transaction_(std::exchange(other.transaction_, nullptr)) {}

TFbTransaction& TFbTransaction::operator=(TFbTransaction&& other) noexcept {
    if (this != &other) {
        Release();
        attachment_ = std::move(other.attachment_);
        transaction_ = std::exchange(other.transaction_, nullptr);
    }
    return *this;
}

TFbTransaction::~TFbTransaction() {
    Release();
}

void TFbTransaction::Release() noexcept {
    // When the attachment is gone, the server has rolled back with it.
    EndQuietly(transaction_,
               [](auto* transaction, ThrowStatusWrapper* status) { transaction->rollback(status); });
}

Firebird::ITransaction* TFbTransaction::Handle() const {
    if (!transaction_) throw EDatabaseError("トランザクションは終了しています");
    return transaction_;
}

void TFbTransaction::Commit() {
    Firebird::ITransaction* transaction = Handle();
    Guarded([&](ThrowStatusWrapper* status) { transaction->commit(status); });
    transaction_ = nullptr; // a successful commit releases the interface
}

void TFbTransaction::Rollback() {
    Firebird::ITransaction* transaction = Handle();
    Guarded([&](ThrowStatusWrapper* status) { transaction->rollback(status); });
    transaction_ = nullptr;
}

// ---- cursors ----

TFbCursor::TFbCursor(std::shared_ptr<fb_detail::StatementCore> core, Firebird::IResultSet* cursor)
    : core_(std::move(core)), cursor_(cursor) {}

TFbCursor::TFbCursor(TFbCursor&& other) noexcept
    : core_(std::move(other.core_)), cursor_(std::exchange(other.cursor_, nullptr)),
      row_(std::move(other.row_)) {}

TFbCursor& TFbCursor::operator=(TFbCursor&& other) noexcept {
    if (this != &other) {
        Release();
        core_ = std::move(other.core_);
        cursor_ = std::exchange(other.cursor_, nullptr);
        row_ = std::move(other.row_);
    }
    return *this;
}

TFbCursor::~TFbCursor() {
    Release();
}

void TFbCursor::Release() noexcept {
    EndQuietly(cursor_, [](auto* cursor, ThrowStatusWrapper* status) { cursor->close(status); });
}

void TFbCursor::Close() {
    if (!cursor_) return;
    Guarded([&](ThrowStatusWrapper* status) { cursor_->close(status); });
    cursor_ = nullptr;
}

bool TFbCursor::Next() {
    if (!cursor_) return false;
    std::vector<unsigned char> buffer(core_->OutputLength);
    const int result =
        Guarded([&](ThrowStatusWrapper* status) { return cursor_->fetchNext(status, buffer.data()); });
    if (result != IStatus::RESULT_OK) {
        row_.reset();
        return false;
    }
    row_ = std::make_unique<TFbRow>(core_->DecodeRow(buffer));
    return true;
}

const TFbRow& TFbCursor::Row() const {
    if (!row_) throw EDatabaseError("読み込んだ行がありません");
    return *row_;
}

// ---- statements ----

TFbStatement::~TFbStatement() = default;

int TFbStatement::ParamCount() const {
    return static_cast<int>(core_->Params.size());
}

const std::vector<std::string>& TFbStatement::ParamNames() const {
    return core_->ParamNames;
}

TFbStatement& TFbStatement::SetParam(int index, const TFbValue& value) {
    if (index < 0 || index >= ParamCount())
        throw EDatabaseError("パラメータ番号[" + std::to_string(index) + "]は範囲外です");
    core_->Params[static_cast<size_t>(index)] = value;
    return *this;
}

TFbStatement& TFbStatement::SetParam(const std::string& name, const TFbValue& value) {
    bool found = false;
    for (size_t i = 0; i < core_->ParamNames.size(); ++i) {
        if (!core_->ParamNames[i].empty() && SameText(core_->ParamNames[i], name)) {
            core_->Params[i] = value;
            found = true;
        }
    }
    if (!found) throw EDatabaseError("パラメータ[" + name + "]がありません");
    return *this;
}

const std::vector<std::string>& TFbStatement::FieldNames() const {
    return *core_->FieldNames;
}

bool TFbStatement::ReturnsRows() const {
    return core_->IsSelect();
}

void TFbStatement::Execute(TFbTransaction& transaction) {
    if (core_->IsSelect()) {
        Open(transaction).Close();
        return;
    }
    Firebird::ITransaction* handle = transaction.Handle();
    Guarded([&](ThrowStatusWrapper* status) {
        fb_detail::StatementCore::Input input;
        core_->BuildInput(status, input);
        std::vector<unsigned char> output(core_->OutputLength);
        core_->Statement->execute(status, handle, input.Metadata, input.Buffer.data(),
                                  core_->Fields.empty() ? nullptr : core_->Output, output.data());
    });
}

TFbCursor TFbStatement::Open(TFbTransaction& transaction) {
    if (!core_->IsSelect()) throw EDatabaseError("行を返さない文は開けません");
    Firebird::ITransaction* handle = transaction.Handle();
    Firebird::IResultSet* cursor = Guarded([&](ThrowStatusWrapper* status) {
        fb_detail::StatementCore::Input input;
        core_->BuildInput(status, input);
        return core_->Statement->openCursor(status, handle, input.Metadata, input.Buffer.data(),
                                            core_->Output, 0);
    });
    return TFbCursor(core_, cursor);
}

// ---- connections ----

namespace {

// The embedded engine keeps its lock table, monitoring and trace data in files of the lock folder that it
// maps into memory, a megabyte each. Where the disk has no room left for them it dies of SIGBUS inside the
// attach, beyond any error handling, so the room is made sure of first: two such files really allocated
// there (a full disk, a quota or a file size limit refuses that), unnamed, so nothing is ever left behind.
constexpr off_t kEngineSharedFileSize = 1 << 20;
constexpr int kEngineSharedFiles = 2;

void CheckEngineRoom() {
    const char* given = std::getenv("FIREBIRD_LOCK");
    const std::string folder = WithoutTrailingSlash(given && *given ? given : DefaultEngineLockDir());
    std::vector<FileDescriptor> files;
    for (int i = 0; i < kEngineSharedFiles; ++i) {
        FileDescriptor file(open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
        // A file system without unnamed files cannot be checked this way; the engine meets it as it is.
        if (!file.IsOpen()) return;
        const int error = posix_fallocate(file.Get(), 0, kEngineSharedFileSize);
        if (error == ENOSPC || error == EDQUOT || error == EFBIG)
            throw EDatabaseError("データベースエンジンのロックフォルダ[" + folder + "]に空きがありません(" +
                                 SystemErrorText(error) + ")");
        files.push_back(std::move(file));
    }
}

std::shared_ptr<fb_detail::AttachmentHolder> Open(const TFbConnectParams& params, bool create) {
    NoteAttach(params);
    if (!HasHostPart(params.Location)) CheckEngineRoom();
    auto holder = std::make_shared<fb_detail::AttachmentHolder>();
    Guarded([&](ThrowStatusWrapper* status) {
        Firebird::IXpbBuilder* dpb =
            Master()->getUtilInterface()->getXpbBuilder(status, Firebird::IXpbBuilder::DPB, nullptr, 0);
        try {
            dpb->insertString(status, isc_dpb_user_name, params.UserName.c_str());
            dpb->insertString(status, isc_dpb_password, params.Password.c_str());
            dpb->insertString(status, isc_dpb_lc_ctype, "NONE");
            dpb->insertInt(status, isc_dpb_sql_dialect, 1);
            // A server keeps its own rules; an embedded attach carries the folder of its own external files.
            if (!HasHostPart(params.Location))
                dpb->insertString(status, isc_dpb_config,
                                  ExternalFileAccessLine(params.ExternalFileDir).c_str());
            const unsigned length = dpb->getBufferLength(status);
            const unsigned char* buffer = dpb->getBuffer(status);
            holder->Attachment =
                create ? Dispatcher()->createDatabase(status, params.Location.c_str(), length, buffer)
                       : Dispatcher()->attachDatabase(status, params.Location.c_str(), length, buffer);
        } catch (...) {
            dpb->dispose();
            throw;
        }
        dpb->dispose();
    });
    return holder;
}

} // namespace

TFbConnection TFbConnection::Attach(const TFbConnectParams& params) {
    return TFbConnection(Open(params, false));
}

TFbConnection TFbConnection::Create(const TFbConnectParams& params) {
    return TFbConnection(Open(params, true));
}

TFbConnection& TFbConnection::operator=(TFbConnection&& other) noexcept {
    attachment_ = std::move(other.attachment_);
    return *this;
}

TFbConnection::~TFbConnection() = default;

bool TFbConnection::Connected() const {
    return attachment_ && attachment_->Attachment;
}

Firebird::IAttachment* TFbConnection::Handle() const {
    if (!Connected()) throw EDatabaseError("データベースに接続していません");
    return attachment_->Attachment;
}

void TFbConnection::Detach() {
    Firebird::IAttachment* attachment = Handle();
    try {
        Guarded([&](ThrowStatusWrapper* status) { attachment->detach(status); });
    } catch (const EDatabaseError&) {
        // Firebird shuts the attachment down even when it refuses (open transactions); the last owner lets
        // go.
        attachment_.reset();
        throw;
    }
    attachment_->Attachment = nullptr; // a successful detach releases the interface
    attachment_.reset();
}

TFbTransaction TFbConnection::StartTransaction(TFbIsolation isolation) {
    Firebird::IAttachment* attachment = Handle();
    static constexpr unsigned char kReadCommittedReadOnly[] = {isc_tpb_version3, isc_tpb_read,
                                                               isc_tpb_read_committed, isc_tpb_rec_version,
                                                               isc_tpb_wait};
    const bool readCommitted = isolation == TFbIsolation::ReadCommittedReadOnly;
    Firebird::ITransaction* transaction = Guarded([&](ThrowStatusWrapper* status) {
        return attachment->startTransaction(status, readCommitted ? sizeof kReadCommittedReadOnly : 0,
                                            readCommitted ? kReadCommittedReadOnly : nullptr);
    });
    return TFbTransaction(attachment_, transaction);
}

TFbStatement TFbConnection::Prepare(TFbTransaction& transaction, const std::string& sql) {
    Firebird::IAttachment* attachment = Handle();
    Firebird::ITransaction* handle = transaction.Handle();
    auto core = std::make_shared<fb_detail::StatementCore>();
    core->Attachment = attachment_;
    TranslatedSql translated = TranslateParams(sql);
    RefuseNonAsciiExternalFile(translated.Sql);
    // Literals compare with the stored text, so the statement goes in the suite's code page like the values.
    const std::string bytes = ToCP932(translated.Sql, "SQL文");
    Guarded([&](ThrowStatusWrapper* status) {
        core->Statement =
            attachment->prepare(status, handle, static_cast<unsigned>(bytes.size()), bytes.c_str(), 1,
                                Firebird::IStatement::PREPARE_PREFETCH_METADATA);
        core->Type = core->Statement->getType(status);
        IMessageMetadata* input = core->Statement->getInputMetadata(status);
        const unsigned count = input->getCount(status);
        input->release();
        // The client counts the markers itself; a mismatch means the text was split differently here.
        if (count != translated.Names.size())
            throw EDatabaseError("パラメータの数が一致しません: " + std::to_string(count) + " / " +
                                 std::to_string(translated.Names.size()));
        core->DescribeOutput(status);
    });
    core->ParamNames = std::move(translated.Names);
    core->Params.assign(core->ParamNames.size(), TFbValue());
    return TFbStatement(std::move(core));
}

void TFbConnection::Execute(TFbTransaction& transaction, const std::string& sql, const TFbParams& params) {
    TFbStatement statement = Prepare(transaction, sql);
    for (const auto& [name, value] : params)
        statement.SetParam(name, value);
    statement.Execute(transaction);
}

std::vector<TFbRow> TFbConnection::Query(TFbTransaction& transaction, const std::string& sql,
                                         const TFbParams& params) {
    TFbStatement statement = Prepare(transaction, sql);
    for (const auto& [name, value] : params)
        statement.SetParam(name, value);
    std::vector<TFbRow> rows;
    TFbCursor cursor = statement.Open(transaction);
    while (cursor.Next())
        rows.push_back(cursor.Row());
    cursor.Close();
    return rows;
}

std::vector<std::string> TFbConnection::UserTables(TFbTransaction& transaction) {
    std::vector<std::string> names;
    for (const TFbRow& row :
         Query(transaction, "SELECT RDB$RELATION_NAME FROM RDB$RELATIONS"
                            " WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 AND RDB$VIEW_BLR IS NULL"
                            " ORDER BY RDB$RELATION_NAME")) {
        std::string name = row[0].AsString();
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
        names.push_back(name);
    }
    return names;
}

bool TFbConnection::HasTable(TFbTransaction& transaction, const std::string& name) {
    for (const std::string& table : UserTables(transaction))
        if (SameText(table, name)) return true;
    return false;
}

// ---- named connections ----

TFbConnectParams TFbDatabase::ConnectParams() const {
    TFbConnectParams params;
    params.Location = DatabaseName;
    params.ExternalFileDir = ExternalFileDir;
    for (const std::string& line : Params) {
        const TSplitText pair = SplitAtFirst(line, "=");
        std::string key = UpperCase(pair.Before);
        for (char& c : key)
            if (c == '_') c = ' ';
        if (pair.Found != '=') throw EDatabaseError("接続パラメータ[" + line + "]が不正です");
        if (key == "USER NAME")
            params.UserName = pair.After;
        else if (key == "PASSWORD")
            params.Password = pair.After;
        else if (key == "SERVER NAME")
            params.Location = pair.After;
        else
            throw EDatabaseError("接続パラメータ[" + line + "]は使えません");
    }
    return params;
}

void TFbDatabase::Open() {
    if (Connected()) return;
    if (BeforeConnect) BeforeConnect(*this);
    const TFbConnectParams params = ConnectParams();
    // Nothing to ask Firebird about; it would only name an empty file.
    if (IsBlank(params.Location)) throw EDatabaseError("データベース[" + name_ + "]の場所が指定されていません");
    connection_ = TFbConnection::Attach(params);
    if (AfterConnect) AfterConnect(*this);
}

void TFbDatabase::Close() {
    if (Connected()) connection_.Detach();
    connection_ = TFbConnection();
}

TFbConnection& TFbDatabase::Connection() {
    if (!Connected()) throw EDatabaseError("データベース[" + name_ + "]に接続していません");
    return connection_;
}

} // namespace towagi
