#include "support/text.h"

#include "support/errors.h"

#include <charconv>
#include <cstdio>

namespace towagi {
namespace {

unsigned char Byte(std::string_view text, size_t index) {
    return static_cast<unsigned char>(text[index]);
}

bool IsContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Length a lead byte announces; lenient on purpose (C0/C1, F5-F7) so that every byte of even a malformed
// sequence is kept together.
int SequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF7) return 4;
    if (lead >= 0xE0) return lead <= 0xEF ? 3 : 0;
    if (lead >= 0xC0) return 2;
    return 0;
}

// 0-based; the caller has checked the index.
bool IsTrailAt(std::string_view text, size_t index) {
    if (!IsContinuation(Byte(text, index))) return false;
    size_t lead = index;
    while (lead > 0 && index - lead < 3) {
        --lead;
        if (!IsContinuation(Byte(text, lead)))
            return static_cast<int>(index - lead) < SequenceLength(Byte(text, lead));
    }
    return false;
}

std::string Token(char delimiter, std::string_view text, int from, int to, bool multiByteRule) {
    // Positions are 1-based as in the callers' arithmetic: 0 is "before the text", length + 1 "after it".
    const int length = static_cast<int>(text.size());
    int count = 0, start = 0, end = length + 1;
    for (int position = 1; position <= length; ++position) {
        if (multiByteRule && IsTrailAt(text, static_cast<size_t>(position - 1))) continue;
        if (text[static_cast<size_t>(position - 1)] != delimiter) continue;
        ++count;
        if (count == from) start = position;
        if (count == to) end = position;
    }
    if (count < from) return {};
    if (end - 1 < start + 1) return {};
    return std::string(text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start - 1)));
}

char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool IsBlank(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i)
        if (Byte(text, i) > 32) return false;
    return true;
}

TSplitText SplitAtFirst(std::string_view text, std::string_view delimiters) {
    size_t at = text.find_first_of(delimiters);
    if (at == std::string_view::npos) return {std::string(text), '\0', {}};
    return {std::string(text.substr(0, at)), text[at], std::string(text.substr(at + 1))};
}

std::string TrimRight(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && static_cast<unsigned char>(text[end - 1]) <= 0x20)
        --end;
    return std::string(text.substr(0, end));
}

std::string GetToken(std::string_view delimiter, std::string_view text, int from, int to) {
    if (IsBlank(delimiter)) delimiter = ",";
    // A longer delimiter never matches: no delimiter is counted at all.
    if (delimiter.size() != 1) return from <= 0 ? std::string(text) : std::string();
    return Token(delimiter[0], text, from, to, true);
}

std::string GetCommaToken(std::string_view text, int from, int to) {
    return Token(',', text, from, to, false);
}

std::string RightText(std::string_view text, int count) {
    if (count <= 0) return {};
    if (static_cast<size_t>(count) >= text.size()) return std::string(text);
    return std::string(text.substr(text.size() - static_cast<size_t>(count)));
}

bool IsTrailByte(std::string_view text, int position) {
    if (position < 1 || static_cast<size_t>(position) > text.size()) throw EMyLibraryError("Illegal Index");
    return IsTrailAt(text, static_cast<size_t>(position - 1));
}

std::string EncodeURL(std::string_view address) {
    std::string compact;
    for (char c : address)
        if (c != ' ') compact += c;
    size_t query = compact.find('?');
    if (query == std::string::npos) return compact;
    static const char hex[] = "0123456789ABCDEF";
    std::string result = compact.substr(0, query + 1);
    for (size_t i = query + 1; i < compact.size(); ++i) {
        unsigned char b = Byte(compact, i);
        if (b == '&') {
            result += '&';
        } else {
            result += '%';
            result += hex[b >> 4];
            result += hex[b & 0x0F];
        }
    }
    return result;
}

bool IsValidUTF8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        unsigned char b = Byte(text, i);
        if (b < 0x80) {
            ++i;
            continue;
        }
        int length;
        unsigned int lowest, codePoint;
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2, lowest = 0x80, codePoint = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3, lowest = 0x800, codePoint = b & 0x0Fu;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4, lowest = 0x10000, codePoint = b & 0x07u;
        } else {
            return false;
        }
        if (i + static_cast<size_t>(length) > text.size()) return false;
        for (int k = 1; k < length; ++k) {
            unsigned char c = Byte(text, i + static_cast<size_t>(k));
            if (!IsContinuation(c)) return false;
            codePoint = (codePoint << 6) | (c & 0x3Fu);
        }
        if (codePoint < lowest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += static_cast<size_t>(length);
    }
    return true;
}

std::string FormatDateTime(std::time_t time) {
    std::tm local{};
    if (!localtime_r(&time, &local)) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

bool ParseDateTime(std::string_view text, std::time_t& out) {
    static constexpr std::string_view pattern = "dddd/dd/dd dd:dd:dd";
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (pattern[i] == 'd' ? !digit : text[i] != pattern[i]) return false;
    }
    auto number = [&](size_t at, size_t digits) {
        int value = 0;
        for (size_t i = at; i < at + digits; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    std::tm local{};
    local.tm_year = number(0, 4) - 1900;
    local.tm_mon = number(5, 2) - 1;
    local.tm_mday = number(8, 2);
    local.tm_hour = number(11, 2);
    local.tm_min = number(14, 2);
    local.tm_sec = number(17, 2);
    local.tm_isdst = -1;
    std::time_t time = std::mktime(&local);
    // mktime normalises February 30, 25:00 and times skipped by a clock change; only an exact round trip
    // counts.
    if (FormatDateTime(time) != text) return false;
    out = time;
    return true;
}

bool ParseInteger(std::string_view text, std::int32_t& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    // from_chars takes a minus but no plus; a plus is taken here, and only one sign in all.
    if (begin != end && *begin == '+') {
        ++begin;
        if (begin != end && *begin == '-') return false;
    }
    std::int32_t parsed = 0;
    auto [stop, error] = std::from_chars(begin, end, parsed);
    if (begin == end || error != std::errc() || stop != end) return false;
    value = parsed;
    return true;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    return true;
}

std::string UpperCase(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = AsciiUpper(c);
    return result;
}

std::string LowerCase(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = AsciiLower(c);
    return result;
}

} // namespace towagi
