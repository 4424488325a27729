#include "tools/towagi-reg/registry_editor_file.h"

#include "support/encoding.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace towagi {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view TrimBlanks(std::string_view text) {
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string_view TrimBlanksRight(std::string_view text) {
    size_t last = text.find_last_not_of(kBlanks);
    return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

bool StartsWithText(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool AllHex(std::string_view text) {
    for (char c : text)
        if (!IsHexDigit(c)) return false;
    return true;
}

std::string FileError(const std::string& path, const std::string& what) {
    return "レジストリファイル[" + path + "]" + what;
}

// Refuses what is not a plain file of a sane size, before a byte of it is read.
void CheckFileKind(const std::string& path, const struct stat& info) {
    if (S_ISDIR(info.st_mode))
        throw ERegistryFileError(
            FileError(path, "はフォルダです。レジストリファイル(.reg)を指定してください"));
    if (!S_ISREG(info.st_mode))
        throw ERegistryFileError(FileError(path, "は通常のファイルではありません(FIFO、デバイスなど)"
                                                 "。レジストリファイル(.reg)を指定してください"));
    if (static_cast<std::uint64_t>(info.st_size) > kMaxRegistryFileBytes)
        throw ERegistryFileError(
            FileError(path, "は大きすぎます(" + std::to_string(info.st_size) + "バイト)。読み込めるのは" +
                                std::to_string(kMaxRegistryFileBytes / (1024 * 1024)) + "MBまでです"));
}

std::string ToUtf8(const std::string& bytes, const std::string& path) {
    std::string_view view(bytes);
    if (view.substr(0, 2) == "\xFF\xFE") return FromUTF16LE(view.substr(2), path);
    if (view.substr(0, 3) == "\xEF\xBB\xBF") {
        if (!IsValidUTF8(view.substr(3))) throw EEncodingError("文字コードを変換できません: " + path);
        return bytes.substr(3);
    }
    // CP932 text with characters beyond ASCII is almost never valid UTF-8, so UTF-8 without a mark is
    // recognised safely; pure ASCII reads the same either way.
    if (IsValidUTF8(view)) return bytes;
    return FromCP932(view, path);
}

// The lines of a text: CR LF, LF or CR end a line; counted from 1.
class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text) {}
    bool Next(std::string_view& line) {
        if (position_ >= text_.size()) return false;
        size_t end = text_.find_first_of("\r\n", position_);
        if (end == std::string_view::npos) end = text_.size();
        line = text_.substr(position_, end - position_);
        position_ = end + (text_.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        ++number_;
        return true;
    }
    int Number() const { return number_; }

private:
    std::string_view text_;
    size_t position_ = 0;
    int number_ = 0;
};

// A line that is not what the registry editor reads.
class LineError {
public:
    explicit LineError(std::string reason) : Reason(std::move(reason)) {}
    std::string Reason;
};

// A quoted text at the front of `rest`, with \\ and \" unescaped; `rest` then begins behind it.
std::string ReadQuoted(std::string_view& rest) {
    std::string text;
    for (size_t i = 1; i < rest.size(); ++i) {
        char c = rest[i];
        if (c == '"') {
            rest.remove_prefix(i + 1);
            return text;
        }
        if (c == '\\') {
            if (i + 1 >= rest.size() || (rest[i + 1] != '\\' && rest[i + 1] != '"'))
                throw LineError("\"" + std::string(rest.substr(i, 2)) +
                                "\" は使えません。文字列の中の \\ は \\\\、\" は \\\" と書いてください");
            c = rest[++i];
        }
        text += c;
    }
    throw LineError("文字列が \" で閉じられていません");
}

Hive ParseHive(std::string_view name) {
    if (SameText(name, "HKEY_LOCAL_MACHINE")) return Hive::Machine;
    if (SameText(name, "HKEY_CURRENT_USER")) return Hive::User;
    throw LineError("ハイブ " + std::string(name) +
                    " には書き込めません。HKEY_LOCAL_MACHINE か HKEY_CURRENT_USER のキーを指定してください");
}

class Parser {
public:
    Parser(std::string_view text, const std::string& source,
           const std::function<void(const RegistryEditorChange&)>& apply)
        : reader_(text), source_(source), apply_(apply) {}

    void Run() {
        std::string_view line;
        if (!reader_.Next(line) || !IsHeader(TrimBlanksRight(line)))
            throw ERegistryFileError(FileError(
                source_,
                "はレジストリファイルではありません。1行目が \"Windows Registry Editor Version 5.00\" "
                "または \"REGEDIT4\" ではありません"));
        bool anyKey = false;
        while (reader_.Next(line)) {
            const int number = reader_.Number();
            try {
                line = TrimBlanks(line);
                if (line.empty() || line.front() == ';') continue;
                if (line.front() == '[') {
                    KeyLine(line, number);
                    anyKey = true;
                } else if (line.front() == '"' || line.front() == '@') {
                    ValueLine(line, number);
                } else {
                    throw LineError(
                        "キー([...])、値(\"名前\"=... または @=...)、コメント(;)のどれでもありません");
                }
            } catch (const LineError& error) {
                throw ERegistryFileError(FileError(source_, "の" + std::to_string(number) +
                                                                "行目が正しくありません: " + error.Reason));
            }
        }
        if (!anyKey) throw ERegistryFileError(FileError(source_, "にはキーの行([...])が一つもありません"));
    }

private:
    static bool IsHeader(std::string_view line) {
        return line == "Windows Registry Editor Version 5.00" || line == "REGEDIT4";
    }

    void KeyLine(std::string_view line, int number) {
        if (line.back() != ']') throw LineError("キーの行が ] で終わっていません");
        std::string_view name = line.substr(1, line.size() - 2);
        const bool deletion = !name.empty() && name.front() == '-';
        if (deletion) name.remove_prefix(1);
        size_t slash = name.find('\\');
        current_ = RegistryEditorChange{};
        current_.What =
            deletion ? RegistryEditorChange::Kind::DeleteKey : RegistryEditorChange::Kind::OpenKey;
        current_.Line = number;
        current_.KeyName = std::string(name);
        current_.KeyHive = ParseHive(name.substr(0, slash));
        current_.KeyPath = slash == std::string_view::npos ? "" : std::string(name.substr(slash + 1));
        if (deletion && TrimBlanks(current_.KeyPath).find_first_not_of('\\') == std::string_view::npos)
            throw LineError("ハイブ全体は削除できません");
        inKey_ = !deletion;
        inDeletedKey_ = deletion;
        apply_(current_);
    }

    void ValueLine(std::string_view line, int number) {
        if (inDeletedKey_) throw LineError("削除するキー([-...])の下には値を書けません");
        if (!inKey_) throw LineError("値の行の前にキーの行([...])がありません");
        RegistryEditorChange change = current_;
        change.Line = number;
        std::string_view rest = line;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else {
            change.ValueName = ReadQuoted(rest);
        }
        rest = TrimBlanks(rest);
        if (rest.empty() || rest.front() != '=') throw LineError("値の名前の後に = がありません");
        rest = TrimBlanks(rest.substr(1));
        change.What = RegistryEditorChange::Kind::SetValue;
        if (rest == "-") {
            change.What = RegistryEditorChange::Kind::DeleteValue;
        } else if (!rest.empty() && rest.front() == '"') {
            change.Value.Text = ReadQuoted(rest);
            if (!TrimBlanks(rest).empty()) throw LineError("文字列を閉じる \" の後に余分な文字があります");
        } else if (StartsWithText(rest, "dword:")) {
            std::string_view digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8 || !AllHex(digits))
                throw LineError("dword: の後には1～8桁の16進数を書いてください");
            change.Value.Kind = ValueKind::Integer;
            change.Value.Integer = static_cast<std::int32_t>(std::stoul(std::string(digits), nullptr, 16));
        } else if (StartsWithText(rest, "hex")) {
            change.Value.Text = HexValue(rest);
        } else {
            throw LineError("値は \"文字列\"、dword:、hex:、hex(n): または - で書いてください");
        }
        apply_(change);
    }

    // "hex:" or "hex(n):" and the bytes, continuation lines joined, kept as text: "hex(2):41,00".
    std::string HexValue(std::string_view rest) {
        size_t colon = rest.find(':');
        std::string_view type = rest.substr(0, colon);
        bool typed = type.size() > 5 && type[3] == '(' && type.back() == ')' && type.size() <= 13 &&
                     AllHex(type.substr(4, type.size() - 5));
        if (colon == std::string_view::npos || (type.size() != 3 && !typed))
            throw LineError("hex: または hex(n): (n は16進数)で始めてください");
        std::string bytes(TrimBlanks(rest.substr(colon + 1)));
        while (!bytes.empty() && bytes.back() == '\\') {
            bytes.pop_back();
            std::string_view next;
            if (!reader_.Next(next)) throw LineError("行末の \\ の後に続きの行がありません");
            bytes = std::string(TrimBlanksRight(bytes)) + std::string(TrimBlanks(next));
        }
        std::string text = std::string(type) + ":";
        size_t start = 0;
        while (!bytes.empty() && start <= bytes.size()) {
            size_t comma = bytes.find(',', start);
            if (comma == std::string::npos) comma = bytes.size();
            std::string_view byte = TrimBlanks(std::string_view(bytes).substr(start, comma - start));
            if (byte.size() != 2 || !AllHex(byte))
                throw LineError("hex の値は2桁の16進数を , で区切って書いてください");
            if (start > 0) text += ',';
            text += byte;
            start = comma + 1;
        }
        return text;
    }

    LineReader reader_;
    const std::string& source_;
    const std::function<void(const RegistryEditorChange&)>& apply_;
    RegistryEditorChange current_;
    bool inKey_ = false;
    bool inDeletedKey_ = false;
};

} // namespace

std::string ReadRegistryEditorText(const std::string& path) {
    auto openError = [&](int error) {
        return EInOutError(FileError(path, "を開けません: " + SystemErrorText(error)), error);
    };
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw openError(errno);
    CheckFileKind(path, info);
    // Without blocking: a name that was swapped for a FIFO meanwhile must not hang the tool.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file.IsOpen()) throw openError(errno);
    if (::fstat(file.Get(), &info) != 0) throw openError(errno);
    CheckFileKind(path, info);
    std::string bytes;
    bytes.reserve(static_cast<size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(file.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            throw EInOutError(FileError(path, "を読めません: " + SystemErrorText(error)), error);
        }
        if (got == 0) break;
        bytes.append(buffer, static_cast<size_t>(got));
        // A file that grows while it is read is held to the same limit.
        if (bytes.size() > kMaxRegistryFileBytes) {
            info.st_size = static_cast<off_t>(bytes.size());
            CheckFileKind(path, info);
        }
    }
    return ToUtf8(bytes, path);
}

void ParseRegistryEditorText(std::string_view text, const std::string& source,
                             const std::function<void(const RegistryEditorChange&)>& apply) {
    Parser(text, source, apply).Run();
}

} // namespace towagi
