#include "support/encoding.h"
#include "support/errors.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace towagi {
namespace {

TEST(CP932, ConvertsBothWays) {
    struct Case {
        std::string utf8, cp932;
    };
    for (const auto& c : std::vector<Case>{{"", ""},
                                           {"abc\r\n", "abc\r\n"},
                                           {"C:\\TOWAGI\\", "C:\\TOWAGI\\"}, // 0x5C stays a backslash
                                           {"~", "~"},
                                           {"表示", "\x95\x5C\x8E\xA6"},
                                           {"ソフト", "\x83\x5C\x83\x74\x83\x67"},
                                           {"①", "\x87\x40"},
                                           {"髙", "\xFB\xFC"},
                                           {"ｱｲ", "\xB1\xB2"},
                                           {"～", "\x81\x60"}}) {
        EXPECT_EQ(ToCP932(c.utf8, "test"), c.cp932) << c.utf8;
        EXPECT_EQ(FromCP932(c.cp932, "test"), c.utf8) << c.utf8;
    }
}

TEST(CP932, LongTextGrowsTheOutput) {
    // One byte of half-width katakana becomes three bytes of UTF-8.
    const std::string cp932(10000, '\xB1');
    std::string utf8;
    for (int i = 0; i < 10000; ++i)
        utf8 += "ｱ";
    EXPECT_EQ(FromCP932(cp932, "test"), utf8);
    EXPECT_EQ(ToCP932(utf8, "test"), cp932);
}

TEST(CP932, BytesThatDoNotConvertNameTheSource) {
    using Convert = std::function<std::string(std::string_view, const std::string&)>;
    struct Case {
        const char* what;
        Convert convert;
        std::string input, position;
    };
    for (const auto& c :
         std::vector<Case>{{"undefined byte", FromCP932, "a\x80", "(位置 1)"},
                           {"undefined lead byte", FromCP932, "\xFD\x40", "(位置 0)"},
                           {"lead byte at the end", FromCP932, "ab\x82", "(位置 2)"},
                           {"bad trail byte", FromCP932, "\x82\x20", "(位置 0)"},
                           {"character outside CP932", ToCP932, "ab🙂", "(位置 2)"},
                           {"accented letter", ToCP932, "caf\xC3\xA9", "(位置 3)"},
                           {"invalid UTF-8", ToCP932, "\xFF", "(位置 0)"},
                           {"cut-off UTF-8", ToCP932, "x\xE8\xA1", "(位置 1)"},
                           {"odd UTF-16 length", FromUTF16LE, "\x42\x30\x42", "(位置 2)"},
                           {"lone low surrogate", FromUTF16LE, std::string("\xB7\xDF", 2), "(位置 0)"}}) {
        try {
            c.convert(c.input, "/srv/towagi/KMISID00.INI");
            ADD_FAILURE() << c.what << ": no error";
        } catch (const EEncodingError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "文字コードを変換できません: /srv/towagi/KMISID00.INI " + c.position)
                << c.what;
        }
    }
}

TEST(UTF16LE, ConvertsToUTF8) {
    struct Case {
        std::string utf16, utf8;
    };
    for (const auto& c : std::vector<Case>{{"", ""},
                                           {std::string("W\0i\0n\0", 6), "Win"},
                                           {"\x42\x30\x68\x88", "あ表"},
                                           {"\x42\xD8\xB7\xDF", "𠮷"}}) // surrogate pair
        EXPECT_EQ(FromUTF16LE(c.utf16, "test"), c.utf8) << c.utf8;
}

TEST(PrintableText, ControlCharactersAndUnconvertibleBytesAreShownAsHex) {
    struct Case {
        std::string text, want;
    };
    for (const auto& c : std::vector<Case>{
             {"plain 名前.txt", "plain 名前.txt"},
             {"a\r\n2024/01/01 00:00:00 ; Execute ; forged", "a\\x0D\\x0A2024/01/01 00:00:00 ; Execute ; forged"},
             {std::string("nul\0tab\tdel\x7F", 12), "nul\\x00tab\\x09del\\x7F"},
             {"bad \xFF\xC3 utf8", "bad \\xFF\\xC3 utf8"},
             {"cut \xE5\x90", "cut \\xE5\\x90"},
             // Characters CP932 cannot hold would stop the trace log from being written.
             {"\xF0\x9F\x98\x80.txt", "\\xF0\\x9F\\x98\\x80.txt"},
             {"", ""},
         })
        EXPECT_EQ(PrintableText(c.text), c.want) << c.want;
}

} // namespace
} // namespace towagi
