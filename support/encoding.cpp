#include "support/encoding.h"

#include "support/errors.h"

#include <cerrno>
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

std::string FromUTF16LE(std::string_view utf16, const std::string& source) {
    return Converter("UTF-8", "UTF-16LE").Convert(utf16, source);
}

} // namespace towagi
