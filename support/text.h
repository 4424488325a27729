#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace towagi {

// True when nothing but bytes up to 32 (blanks and control characters) is left after trimming both ends.
bool IsBlank(std::string_view text);

// Without the bytes up to 32 (blanks and control characters) at its end.
std::string TrimRight(std::string_view text);

struct TSplitText {
    std::string Before;
    char Found = '\0'; // the delimiter met, '\0' when none occurs
    std::string After;
};

// Splits at the first byte that is one of `delimiters`, byte by byte (multi-byte characters are not
// protected here); without a delimiter Before is the whole text.
TSplitText SplitAtFirst(std::string_view text, std::string_view delimiters);

// The text between the from-th and the to-th delimiter (counted from 1; 0 means the start, a count never
// reached means the end). A blank delimiter means ","; only a one-byte delimiter ever matches. A byte inside
// a multi-byte UTF-8 character is never taken for a delimiter.
std::string GetToken(std::string_view delimiter, std::string_view text, int from, int to);

// GetToken with "," and without the multi-byte rule.
std::string GetCommaToken(std::string_view text, int from, int to);

// The last `count` bytes; the whole text when count is not smaller than its length.
std::string RightText(std::string_view text, int count);

// Whether the byte at the 1-based position is a non-first byte of a multi-byte UTF-8 character.
// Raises EMyLibraryError("Illegal Index") for a position outside 1..length.
bool IsTrailByte(std::string_view text, int position);

// Removes every blank, then writes each byte behind the first "?" as %XX, except "&".
std::string EncodeURL(std::string_view address);

// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsValidUTF8(std::string_view text);

// Date-time text of the trace log and the import log: "yyyy/mm/dd hh:nn:ss", local time, 24-hour.
std::string FormatDateTime(std::time_t time);
// The exact inverse of FormatDateTime; false for any other text or a local time that does not exist.
bool ParseDateTime(std::string_view text, std::time_t& out);

// A whole number as the suite's settings hold them: an optional sign and decimal digits that fit 32 bits,
// nothing else (no blanks). False, with `value` unchanged, for any other text.
bool ParseInteger(std::string_view text, std::int32_t& value);

// ASCII letters only: the suite's names (sections, keys, file names) compare this way.
bool SameText(std::string_view a, std::string_view b);
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);

} // namespace towagi
