#include "support/encoding.h"

#include "support/errors.h"
#include "support/text.h"

#include <cerrno>
#include <cstdio>
#include <iconv.h>

namespace towagi {
namespace {

class Converter {
public:
    Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {
        if (handle_ == reinterpret_cast<iconv_t>(-1))
            throw EEncodingError(std::string("文字コード変換を準備できません: ") + from + " -> " + to);
    }
    ~Converter() { iconv_close(handle_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    std::string Convert(std::string_view input, const std::string& source) {
        std::string output;
        output.resize(input.size() * 2 + 16);
        char* in = const_cast<char*>(input.data());
        size_t inLeft = input.size();
        char* out = output.data();
        size_t outLeft = output.size();
        while (inLeft > 0) {
            if (iconv(handle_, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1)) continue;
            if (errno == E2BIG) {
                size_t used = static_cast<size_t>(out - output.data());
                output.resize(output.size() * 2);
                out = output.data() + used;
                outLeft = output.size() - used;
                continue;
            }
            // Never drop or replace a byte silently: the file's text would change behind the user's back.
            throw EEncodingError("文字コードを変換できません: " + source + " (位置 " +
                                 std::to_string(input.size() - inLeft) + ")");
        }
        output.resize(static_cast<size_t>(out - output.data()));
        return output;
    }

private:
    iconv_t handle_;
};

} // namespace

std::string FromCP932(std::string_view cp932, const std::string& source) {
    return Converter("UTF-8", "CP932").Convert(cp932, source);
}

std::string ToCP932(std::string_view utf8, const std::string& source) {
    return Converter("CP932", "UTF-8").Convert(utf8, source);
}

std::string PrintableText(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        if (byte >= 0xC2 && byte <= 0xDF)
            length = 2;
        else if (byte >= 0xE0 && byte <= 0xEF)
            length = 3;
        else if (byte >= 0xF0 && byte <= 0xF4)
            length = 4;
        bool kept = false;
        if (byte >= 0x20 && byte < 0x7F) {
            kept = true;
        } else if (length > 1 && i + length <= text.size() && IsValidUTF8(text.substr(i, length))) {
            try {
                ToCP932(text.substr(i, length), "");
                kept = true;
            } catch (const EEncodingError&) {
                // Shown byte by byte below.
            }
        }
        if (kept) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", byte);
        out += hex;
        ++i;
    }
    return out;
}

std::string FromUTF16LE(std::string_view utf16, const std::string& source) {
    return Converter("UTF-8", "UTF-16LE").Convert(utf16, source);
}

} // namespace towagi
