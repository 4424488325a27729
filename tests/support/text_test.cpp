#include "support/errors.h"
#include "support/text.h"

#include "tests/common/test_env.h"
#include "tests/support/support_test_helpers.h"

#include <gtest/gtest.h>

#include <ctime>
#include <vector>

namespace towagi {
namespace {

TEST(IsBlank, OnlyBytesUpTo32AreBlank) {
    struct Case {
        std::string text;
        bool want;
    };
    for (const auto& c : std::vector<Case>{{"", true},
                                           {" ", true},
                                           {"\t\r\n \x01\x1f", true},
                                           {" a ", false},
                                           {"\x7f", false},
                                           {"\xE3\x80\x80", false}}) // full-width blank is text
        EXPECT_EQ(IsBlank(c.text), c.want) << ::testing::PrintToString(c.text);
}

TEST(SplitAtFirst, SplitsAtTheFirstOfAnyDelimiter) {
    struct Case {
        std::string text, delimiters, before;
        char found;
        std::string after;
    };
    for (const auto& c : std::vector<Case>{{"key=value=x", "=", "key", '=', "value=x"},
                                           {"a;b,c", ",;", "a", ';', "b,c"},
                                           {"=x", "=", "", '=', "x"},
                                           {"x=", "=", "x", '=', ""},
                                           {"abc", "=", "abc", '\0', ""},
                                           {"", "=", "", '\0', ""},
                                           {"abc", "", "abc", '\0', ""},
                                           // byte by byte: a delimiter byte inside a character splits it
                                           {"表", "\xA1", "\xE8", '\xA1', "\xA8"}}) {
        TSplitText split = SplitAtFirst(c.text, c.delimiters);
        EXPECT_EQ(split.Before, c.before) << c.text;
        EXPECT_EQ(split.Found, c.found) << c.text;
        EXPECT_EQ(split.After, c.after) << c.text;
    }
}

struct TokenCase {
    std::string delimiter, text;
    int from, to;
    std::string want;
};

TEST(GetToken, FieldsBetweenDelimiters) {
    for (const auto& c : std::vector<TokenCase>{{"|", "a|b|c", 0, 1, "a"},
                                                {"|", "a|b|c", 1, 2, "b"},
                                                {"|", "a|b|c", 2, 3, "c"},
                                                {"|", "a|b|c", 3, 4, ""},
                                                {"|", "a|b|c", 1, 0, "b|c"},
                                                {"|", "a|b|c", 0, 0, "a|b|c"},
                                                {"|", "a|b|c", 1, 1, ""},
                                                {"|", "a|b|c", 2, 1, ""},
                                                {"|", "a||c", 1, 2, ""},
                                                {"|", "a||c", 2, 3, "c"},
                                                {"|", "|a", 0, 1, ""},
                                                {"|", "a|", 1, 2, ""},
                                                {"|", "", 0, 1, ""},
                                                {"|", "abc", 0, 1, "abc"},
                                                {"|", "abc", 1, 2, ""}})
        EXPECT_EQ(GetToken(c.delimiter, c.text, c.from, c.to), c.want)
            << c.text << " " << c.from << "," << c.to;
}

TEST(GetToken, BlankDelimiterMeansCommaAndLongerOnesNeverMatch) {
    for (const auto& c : std::vector<TokenCase>{{" ", "a b,c d", 1, 2, "c d"},
                                                {"", "x,y", 0, 1, "x"},
                                                {"\t", "x\ty,z", 0, 1, "x\ty"},
                                                {"||", "a||b", 0, 1, "a||b"},
                                                {"||", "a||b", 1, 2, ""}})
        EXPECT_EQ(GetToken(c.delimiter, c.text, c.from, c.to), c.want)
            << ::testing::PrintToString(c.delimiter) << " " << c.text << " " << c.from << "," << c.to;
}

TEST(GetToken, NeverSplitsAMultiByteCharacter) {
    // 表 = E8 A1 A8, 𠮷 = F0 A0 AE B7: delimiters equal to their inner bytes must not cut them, while the
    // same byte standing alone still counts.
    for (const auto& c : std::vector<TokenCase>{{"|", "表|x", 0, 1, "表"},
                                                {"|", "表|x", 1, 2, "x"},
                                                {"\xA1", "表", 0, 1, "表"},
                                                {"\xA8", "表表", 1, 2, ""},
                                                {"\xA1", "表\xA1x", 0, 1, "表"},
                                                {"\xA1", "表\xA1x", 1, 2, "x"},
                                                {"\xB7", "a𠮷\xB7z", 0, 1, "a𠮷"},
                                                {"\xAE", "a𠮷\xAEz", 1, 0, "z"}})
        EXPECT_EQ(GetToken(c.delimiter, c.text, c.from, c.to), c.want)
            << ::testing::PrintToString(c.text) << " " << c.from << "," << c.to;
}

TEST(GetCommaToken, SplitsAtCommasOnly) {
    struct Case {
        std::string text;
        int from, to;
        std::string want;
    };
    for (const auto& c : std::vector<Case>{{"a,b,c", 1, 2, "b"},
                                           {"a|b,c", 0, 1, "a|b"},
                                           {"単価,数量", 1, 2, "数量"},
                                           {",", 0, 1, ""},
                                           {"a,b", 2, 3, ""}})
        EXPECT_EQ(GetCommaToken(c.text, c.from, c.to), c.want) << c.text << " " << c.from << "," << c.to;
}

TEST(RightText, LastBytes) {
    struct Case {
        std::string text;
        int count;
        std::string want;
    };
    for (const auto& c : std::vector<Case>{{"abcdef", 2, "ef"},
                                           {"abc", 3, "abc"},
                                           {"abc", 5, "abc"},
                                           {"abc", 0, ""},
                                           {"abc", -1, ""},
                                           {"", 1, ""}})
        EXPECT_EQ(RightText(c.text, c.count), c.want) << c.text << " " << c.count;
}

TEST(IsTrailByte, NonFirstBytesOfMultiByteCharacters) {
    const std::string text = "a表𠮷\xA1\xE8\xA1"; // stray continuation byte, then a cut-off character
    const std::vector<bool> want = {false, false, true, true, false, true, true, true, false, false, true};
    ASSERT_EQ(text.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(IsTrailByte(text, static_cast<int>(i + 1)), want[i]) << "position " << i + 1;
}

TEST(IsTrailByte, PositionOutsideTheTextIsAnError) {
    struct Case {
        std::string text;
        int position;
    };
    for (const auto& c : std::vector<Case>{{"abc", 0}, {"abc", 4}, {"abc", -1}, {"", 1}, {"表", 4}}) {
        try {
            IsTrailByte(c.text, c.position);
            ADD_FAILURE() << "no error for " << c.text << " " << c.position;
        } catch (const EMyLibraryError& e) {
            EXPECT_STREQ(e.what(), "Illegal Index");
        }
    }
}

TEST(EncodeURL, RemovesBlanksAndEncodesTheQuery) {
    struct Case {
        std::string address, want;
    };
    for (const auto& c : std::vector<Case>{{"x?a=1&b", "x?%61%3D%31&%62"},
                                           {"http://host/a b.cgi?k=v w", "http://host/ab.cgi?%6B%3D%76%77"},
                                           {"http://host/p a t h", "http://host/path"},
                                           {"a?b?c", "a?%62%3F%63"},
                                           {"a?", "a?"},
                                           {"a?&&", "a?&&"},
                                           {"?表", "?%E8%A1%A8"},
                                           {"", ""}})
        EXPECT_EQ(EncodeURL(c.address), c.want) << c.address;
}

TEST(IsValidUTF8, AcceptsOnlyWellFormedText) {
    struct Case {
        std::string text;
        bool want;
    };
    for (const auto& c : std::vector<Case>{{"", true},
                                           {"abc", true},
                                           {"表①髙𠮷", true},
                                           {"\xE8\xA1", false},         // cut off
                                           {"\xA1", false},             // stray continuation
                                           {"\xC0\xAF", false},         // overlong "/"
                                           {"\xED\xA0\x80", false},     // surrogate
                                           {"\xF4\x90\x80\x80", false}, // above U+10FFFF
                                           {"\x82\xA0", false}})        // CP932 あ
        EXPECT_EQ(IsValidUTF8(c.text), c.want) << ::testing::PrintToString(c.text);
}

TEST(FormatDateTime, LocalTimeZeroPadded) {
    struct Case {
        std::string zone;
        std::time_t time;
        std::string want;
    };
    for (const auto& c : std::vector<Case>{{"Asia/Tokyo", 0, "1970/01/01 09:00:00"},
                                           {"Asia/Tokyo", 1700000000, "2023/11/15 07:13:20"},
                                           {"UTC", 1700000000, "2023/11/14 22:13:20"},
                                           {"UTC", 946684799, "1999/12/31 23:59:59"},
                                           {"Europe/Berlin", 1719792000, "2024/07/01 02:00:00"}}) {
        testing::ScopedTimeZone zone(c.zone);
        EXPECT_EQ(FormatDateTime(c.time), c.want) << c.zone << " " << c.time;
    }
}

TEST(ParseDateTime, ConvertsBackExactly) {
    for (const std::string zone : {"Asia/Tokyo", "UTC", "Europe/Berlin"}) {
        testing::ScopedTimeZone scoped(zone);
        for (std::time_t time : {std::time_t{0}, std::time_t{1700000001}, std::time_t{1711846799},
                                 std::time_t{1711846800}, std::time(nullptr)}) {
            std::time_t parsed = -5;
            ASSERT_TRUE(ParseDateTime(FormatDateTime(time), parsed)) << zone << " " << FormatDateTime(time);
            EXPECT_EQ(parsed, time) << zone << " " << FormatDateTime(time);
        }
    }
}

TEST(ParseDateTime, RefusesOtherTexts) {
    testing::ScopedTimeZone zone("Europe/Berlin");
    for (const std::string text :
         {"", "2023/02/29 00:00:00", "2023/04/31 12:00:00", "2023/13/01 00:00:00", "2023/01/05 24:00:00",
          "2023/01/05 00:60:00", "2023/01/05 00:00:60", "2023/1/05 00:00:00", "2023-01-05 00:00:00",
          "2023/01/05T00:00:00", "2023/01/05 00:00:00 ", " 2023/01/05 00:00:00", "2023/01/05 0a:00:00",
          "2024/03/31 02:30:00"}) { // skipped by the clock change
        std::time_t out = 42;
        EXPECT_FALSE(ParseDateTime(text, out)) << text;
        EXPECT_EQ(out, 42) << text;
    }
    std::time_t leapDay = 0;
    EXPECT_TRUE(ParseDateTime("2024/02/29 23:59:59", leapDay));
    EXPECT_EQ(FormatDateTime(leapDay + 1), "2024/03/01 00:00:00");
}

TEST(SameText, IgnoresAsciiLetterCaseOnly) {
    struct Case {
        std::string a, b;
        bool want;
    };
    for (const auto& c : std::vector<Case>{{"Update_Mast", "UPDATE_MAST", true},
                                           {"ftp", "FTP", true},
                                           {"ftp", "ftp ", false},
                                           {"", "", true},
                                           {"表a", "表A", true},
                                           {"ａ", "Ａ", false}, // full-width letters keep their case
                                           {"[", "{", false}})
        EXPECT_EQ(SameText(c.a, c.b), c.want) << c.a << " " << c.b;
    EXPECT_EQ(UpperCase("abc-xyz_表ａ"), "ABC-XYZ_表ａ");
    EXPECT_EQ(LowerCase("ABC-XYZ_表Ａ"), "abc-xyz_表Ａ");
}

} // namespace
} // namespace towagi
