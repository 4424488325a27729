#include "platform/registry_file.h"

#include "support/encoding.h"
#include "support/text.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <set>

namespace towagi {
namespace {

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlanks = " \t";
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}


// Registry files from other editors or hand-edited ones may say UTF-8; refuse broken sequences as
// iconv would refuse broken CP932.
void RequireUtf8(std::string_view text, const std::string& source) {
    if (!IsValidUTF8(text)) throw EEncodingError("文字コードを変換できません: " + source);
}

std::string ToUtf8(const std::string& bytes, const std::string& source) {
    if (bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0)
        return FromUTF16LE(std::string_view(bytes).substr(2), source);
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        RequireUtf8(std::string_view(bytes).substr(3), source);
        return bytes.substr(3);
    }
    return FromCP932(bytes, source);
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    return static_cast<unsigned>(UpperAscii(c) - 'A' + 10);
}

RegistrySection MakeSection(std::string_view name) {
    RegistrySection section;
    section.Name = std::string(name);
    size_t slash = name.find('\\');
    section.HiveName = std::string(name.substr(0, slash));
    section.KeyPath = slash == std::string_view::npos ? "" : std::string(name.substr(slash + 1));
    section.IsCurrentUser = UpperCase(name).find("HKEY_CURRENT_USER") != std::string::npos;
    return section;
}

} // namespace

std::string RegistryEntry::ValueName() const {
    return Name.size() < 2 ? "" : Name.substr(1, Name.size() - 2);
}

RegistryFile RegistryFile::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        int error = errno;
        throw EInOutError("レジストリファイル[" + path + "]を開けません: " + SystemErrorText(error), error);
    }
    // Registry files are a few kilobytes; the UTF-16 form cannot be split into lines before converting.
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw EInOutError("レジストリファイル[" + path + "]を読めません: " + SystemErrorText(EIO), EIO);
    return Parse(ToUtf8(bytes, path), path);
}

RegistryFile RegistryFile::Parse(std::string_view text, const std::string& source) {
    RegistryFile file;
    file.source_ = source;
    std::set<std::string> sectionNames;
    std::set<std::string> entryNames;
    RegistrySection* current = nullptr; // nullptr outside a section and inside one that is left out

    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == ';') continue;

        if (line.front() == '[') {
            size_t close = line.rfind(']');
            std::string_view name =
                Trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
            current = nullptr;
            entryNames.clear();
            // Deletions are not applied: nothing is ever removed by a registry file.
            if (name.empty() || name.front() == '-') continue;
            if (!sectionNames.insert(UpperCase(name)).second) continue; // the first section of a name wins
            file.sections_.push_back(MakeSection(name));
            current = &file.sections_.back();
            continue;
        }
        if (!current) continue;

        size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        std::string_view name = Trim(line.substr(0, equals));
        std::string_view value = Trim(line.substr(equals + 1));
        if (!entryNames.insert(UpperCase(name)).second) continue; // the first entry of a name wins
        if (value == "-") continue;                                // a deletion
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        current->Entries.push_back(RegistryEntry{std::string(name), std::string(value)});
    }
    return file;
}

RegistryValue RegistryFile::Decode(const RegistryEntry& entry) const {
    return DecodeRegistryValue(entry.Value, source_);
}

RegistryValue DecodeRegistryValue(const std::string& value, const std::string& source) {
    RegistryValue decoded;
    constexpr std::string_view kDword = "dword:";
    if (size_t at = value.find(kDword); at != std::string::npos) {
        std::string_view digits = std::string_view(value).substr(at + kDword.size());
        size_t significant = digits.size() - std::min(digits.size(), digits.find_first_not_of('0'));
        bool valid = !digits.empty() && significant <= 8;
        std::uint32_t number = 0;
        for (char c : digits) {
            valid = valid && IsHexDigit(c);
            if (!valid) break;
            number = (number << 4) | HexValue(c);
        }
        if (!valid)
            throw ERegistryFileError("レジストリファイル[" + source + "]の値[" + value +
                                     "]は32ビットの16進数ではありません");
        decoded.Kind = ValueKind::Integer;
        decoded.Integer = static_cast<std::int32_t>(number);
        return decoded;
    }
    decoded.Text.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        decoded.Text += value[i];
        if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == '\\') ++i;
    }
    return decoded;
}

} // namespace towagi
