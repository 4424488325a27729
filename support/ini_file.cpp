#include "support/ini_file.h"

#include "support/encoding.h"
#include "support/errors.h"
#include "support/text.h"

#include <cstdint>
#include <filesystem>
#include <fstream>

namespace towagi {
namespace {

std::string_view Trimmed(std::string_view text) {
    static constexpr std::string_view blanks = " \t\r\v\f";
    std::size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(blanks) + 1 - begin);
}

std::string_view WithoutQuotes(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

bool IsAscii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

} // namespace

TIniFile::TIniFile(const std::string& fileName) : fileName_(fileName) {
    // The profile functions treat a file they cannot open as one without entries; a folder is such a file.
    std::error_code ignored;
    if (std::filesystem::is_directory(fileName_, ignored)) return;
    std::ifstream in(fileName_, std::ios::binary);
    if (!in) return;

    bool utf8 = false;
    Section* current = nullptr;
    std::string line;
    for (long lineNumber = 1; std::getline(in, line); ++lineNumber) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (lineNumber == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            utf8 = true;
            line.erase(0, 3);
        }
        if (!IsAscii(line)) {
            std::string source = fileName_ + " の " + std::to_string(lineNumber) + " 行目";
            if (!utf8)
                line = FromCP932(line, source);
            else if (!IsValidUTF8(line))
                throw EEncodingError("文字コードを変換できません: " + source);
        }
        AddLine(line, current);
    }
    // The stream keeps no error code of its own, and errno may be stale by now.
    if (in.bad())
        throw EInOutError("ファイル " + fileName_ + " を読み込めません: " + SystemErrorText(EIO), EIO);
}

void TIniFile::AddLine(const std::string& rawLine, Section*& current) {
    std::string_view line = Trimmed(rawLine);
    if (line.empty() || line.front() == ';') return;
    if (line.front() == '[') {
        std::size_t close = line.rfind(']');
        if (close != std::string_view::npos && close > 0) {
            std::string name(Trimmed(line.substr(1, close - 1)));
            std::string lookup = LowerCase(name);
            if (sectionIndex_.count(lookup)) {
                current = nullptr; // a later section of the same name is never read
            } else {
                sectionIndex_.emplace(lookup, sections_.size());
                sections_.push_back(Section{name, {}, {}});
                current = &sections_.back();
            }
            return;
        }
    }
    std::size_t equals = line.find('=');
    if (!current || equals == std::string_view::npos) return;
    std::string key(Trimmed(line.substr(0, equals)));
    if (key.empty()) return;
    if (!current->Index.emplace(LowerCase(key), current->Entries.size()).second) return;
    current->Entries.emplace_back(key, std::string(WithoutQuotes(Trimmed(line.substr(equals + 1)))));
}

const TIniFile::Section* TIniFile::Find(const std::string& section) const {
    auto found = sectionIndex_.find(LowerCase(section));
    return found == sectionIndex_.end() ? nullptr : &sections_[found->second];
}

const std::string* TIniFile::FindValue(const std::string& section, const std::string& key) const {
    const Section* found = Find(section);
    if (!found) return nullptr;
    auto entry = found->Index.find(LowerCase(key));
    return entry == found->Index.end() ? nullptr : &found->Entries[entry->second].second;
}

std::vector<std::string> TIniFile::ReadSections() const {
    std::vector<std::string> names;
    for (const Section& section : sections_)
        names.push_back(section.Name);
    return names;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    std::vector<std::string> keys;
    if (const Section* found = Find(section))
        for (const auto& entry : found->Entries)
            keys.push_back(entry.first);
    return keys;
}

std::vector<std::string> TIniFile::ReadSectionValues(const std::string& section) const {
    std::vector<std::string> lines;
    if (const Section* found = Find(section))
        for (const auto& entry : found->Entries)
            lines.push_back(entry.first + "=" + entry.second);
    return lines;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
    const std::string* value = FindValue(section, key);
    return value ? *value : defaultValue;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int defaultValue) const {
    const std::string* value = FindValue(section, key);
    if (!value) return defaultValue;
    std::string_view text = *value;
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && DigitValue(text[2]) < 16) {
        base = 16;
        text.remove_prefix(2);
    }
    // Hexadecimal covers the full 32 bits (0xFFFFFFFF is -1); decimal must fit a signed 32-bit number.
    const std::int64_t limit = base == 16 ? 0xFFFFFFFFLL : (negative ? 0x80000000LL : 0x7FFFFFFFLL);
    std::int64_t number = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && DigitValue(text[digits]) < base; ++digits) {
        number = number * base + DigitValue(text[digits]);
        if (number > limit) return defaultValue;
    }
    if (digits == 0) return defaultValue;
    std::int64_t result = base == 16 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(number)) : number;
    return static_cast<int>(negative ? -result : result);
}

bool TIniFile::SectionExists(const std::string& section) const {
    return Find(section) != nullptr;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    return FindValue(section, key) != nullptr;
}

} // namespace towagi
