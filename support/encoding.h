#pragma once
#include <string>
#include <string_view>

namespace towagi {

// Every byte format shared with the rest of the suite or the update server is CP932; inside the program
// text is UTF-8. `source` names the file or server name in the error when bytes do not convert.
std::string FromCP932(std::string_view cp932, const std::string& source);
std::string ToCP932(std::string_view utf8, const std::string& source);

// Text made safe for one trace-log line or a message: control characters, bytes that are not UTF-8 and
// characters that CP932 cannot hold appear as \xNN, byte by byte, so a file name can neither break a line
// of the log nor stop it from being written.
std::string PrintableText(std::string_view text);

// UTF-16LE bytes (without byte-order mark) to UTF-8, for registry files saved as Unicode.
std::string FromUTF16LE(std::string_view utf16, const std::string& source);

} // namespace towagi
