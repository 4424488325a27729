#include "support/encoding.h"
#include "support/errors.h"
#include "support/ini_file.h"

#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace towagi {
namespace {

using Lines = std::vector<std::string>;

// One file that exercises every reading rule; written in each form the suite's files come in.
const std::string Sample = "; comment before any section\n"
                           "orphan=outside any section\n"
                           "[FTP]\n"
                           "Host = ftp.example.jp \t\n"
                           "  Port=21\n"
                           "host=the first key of a name wins\n"
                           "Path=\"/towagi/ PROG/\"\n"
                           "Quoted='single'\n"
                           "Half=\"open\n"
                           "Mismatch=\"a'\n"
                           "Lone=\"\n"
                           "Empty=\n"
                           "Eq=a=b\n"
                           "  ;Commented=1\n"
                           "no equals sign here\n"
                           "=no name\n"
                           " [ Time ]  text after the bracket\n"
                           "DIAL=30\n"
                           "\n"
                           "[ftp]\n"
                           "Host=from a later section of the same name\n"
                           "Extra=1\n"
                           "[支店 東京]\n"
                           "IP1=192.168.0.10\n"
                           "表示=ソフト表\n"
                           "[TIME]\n"
                           "DIAL=99\n";

std::string WithCRLF(const std::string& text) {
    std::string result;
    for (char c : text)
        result += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return result;
}

struct FileForm {
    const char* name;
    std::string bytes;
};

std::vector<FileForm> SampleForms() {
    return {{"CP932 CR LF", WithCRLF(ToCP932(Sample, "sample"))},
            {"CP932 LF", ToCP932(Sample, "sample")},
            {"UTF-8 with BOM", "\xEF\xBB\xBF" + WithCRLF(Sample)}};
}

TEST(TIniFile, ReadsValuesByProfileRules) {
    struct Case {
        std::string section, key, want;
    };
    const std::vector<Case> cases = {
        {"FTP", "Host", "ftp.example.jp"},
        {"ftp", "HOST", "ftp.example.jp"},
        {"FTP", "Port", "21"},
        {"FTP", "Path", "/towagi/ PROG/"},
        {"FTP", "Quoted", "single"},
        {"FTP", "Half", "\"open"},
        {"FTP", "Mismatch", "\"a'"},
        {"FTP", "Lone", "\""},
        {"FTP", "Empty", ""},
        {"FTP", "Eq", "a=b"},
        {"FTP", ";Commented", "<default>"},
        {"FTP", "Commented", "<default>"},
        {"FTP", "no equals sign here", "<default>"},
        {"FTP", "", "<default>"},
        {"FTP", "Extra", "<default>"},
        {"", "orphan", "<default>"},
        {"Time", "DIAL", "30"},
        {"TIME", "dial", "30"},
        {"支店 東京", "表示", "ソフト表"},
        {"支店 東京", "IP1", "192.168.0.10"},
        {"Missing", "Host", "<default>"},
    };
    for (const FileForm& form : SampleForms()) {
        testing::TempDir dir;
        testing::WriteFile(dir.File("QRD0000.INI"), form.bytes);
        TIniFile ini(dir.File("QRD0000.INI"));
        for (const Case& c : cases) {
            EXPECT_EQ(ini.ReadString(c.section, c.key, "<default>"), c.want)
                << form.name << " [" << c.section << "] " << c.key;
            EXPECT_EQ(ini.ValueExists(c.section, c.key), c.want != "<default>")
                << form.name << " [" << c.section << "] " << c.key;
        }
    }
}

TEST(TIniFile, ListsSectionsAndKeysInFileOrder) {
    for (const FileForm& form : SampleForms()) {
        testing::TempDir dir;
        testing::WriteFile(dir.File("a.ini"), form.bytes);
        TIniFile ini(dir.File("a.ini"));
        EXPECT_EQ(ini.ReadSections(), (Lines{"FTP", "Time", "支店 東京"})) << form.name;
        EXPECT_EQ(ini.ReadSection("ftp"),
                  (Lines{"Host", "Port", "Path", "Quoted", "Half", "Mismatch", "Lone", "Empty", "Eq"}))
            << form.name;
        EXPECT_EQ(ini.ReadSectionValues("FTP"),
                  (Lines{"Host=ftp.example.jp", "Port=21", "Path=/towagi/ PROG/", "Quoted=single",
                         "Half=\"open", "Mismatch=\"a'", "Lone=\"", "Empty=", "Eq=a=b"}))
            << form.name;
        EXPECT_EQ(ini.ReadSectionValues("支店 東京"), (Lines{"IP1=192.168.0.10", "表示=ソフト表"}))
            << form.name;
        EXPECT_EQ(ini.ReadSection("Missing"), Lines{}) << form.name;
        EXPECT_EQ(ini.ReadSectionValues("Missing"), Lines{}) << form.name;
        EXPECT_TRUE(ini.SectionExists("time")) << form.name;
        EXPECT_FALSE(ini.SectionExists("Missing")) << form.name;
        EXPECT_FALSE(ini.SectionExists("")) << form.name;
    }
}

TEST(TIniFile, ReadsCP932BytesAsTheSuiteWritesThem) {
    testing::TempDir dir;
    // [東京] / 名前=ソフト表示 in CP932; ソ and 表 end in 0x5C, the byte of a backslash.
    testing::WriteFile(dir.File("b.ini"),
                       "[\x93\x8C\x8B\x9E]\r\n\x96\xBC\x91\x4F=\x83\x5C\x83\x74\x83\x67\x95\x5C\x8E\xA6\r\n"
                       "Path=C:\\TOWAGI\\\r\n");
    TIniFile ini(dir.File("b.ini"));
    EXPECT_EQ(ini.ReadSections(), Lines{"東京"});
    EXPECT_EQ(ini.ReadString("東京", "名前", ""), "ソフト表示");
    EXPECT_EQ(ini.ReadString("東京", "Path", ""), "C:\\TOWAGI\\");
}

TEST(TIniFile, MissingFileReadsAsEmpty) {
    testing::TempDir dir;
    for (const std::string& path : {dir.File("missing.ini"), dir.Dir()}) {
        TIniFile ini(path);
        EXPECT_EQ(ini.ReadString("TIME", "DIAL", "90"), "90") << path;
        EXPECT_EQ(ini.ReadInteger("TIME", "DIAL", 90), 90) << path;
        EXPECT_EQ(ini.ReadSections(), Lines{}) << path;
        EXPECT_FALSE(ini.SectionExists("TIME")) << path;
    }
}

TEST(TIniFile, BytesThatDoNotConvertNameTheFileAndLine) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    for (const auto& c :
         std::vector<Case>{{"undefined CP932 byte", "[A]\r\nk=\x80\r\n"},
                           {"lead byte without trail", "[A]\r\nk=\x82\r\n"},
                           {"bad trail byte", "[A]\nk=\x82\x20x\n"},
                           {"invalid UTF-8 after BOM", "\xEF\xBB\xBF[A]\r\nk=\x82\xA0\r\n"}}) {
        testing::TempDir dir;
        const std::string path = dir.File("bad.ini");
        testing::WriteFile(path, c.bytes);
        try {
            TIniFile ini(path);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const EEncodingError& e) {
            EXPECT_NE(std::string(e.what()).find(path + " の 2 行目"), std::string::npos)
                << c.what << ": " << e.what();
        }
    }
}

TEST(TIniFile, ReadErrorNamesTheFile) {
    // Reading this file fails at its first byte.
    try {
        TIniFile ini("/proc/self/mem");
        ADD_FAILURE() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find("ファイル /proc/self/mem を読み込めません"), std::string::npos)
            << e.what();
    }
}

TEST(TIniFile, ReadIntegerTakesTheLeadingNumber) {
    testing::TempDir dir;
    testing::WriteFile(dir.File("n.ini"),
                       ToCP932("[N]\n"
                               "dec=42\nneg=-17\nplus=+5\nspaced=  8  \nquoted=\"7\"\n"
                               "lead=12abc\nnone=abc\nempty=\nsign=-\n"
                               "hex=0x1F\nhexUpper=0XfF\nhexAll=0xFFFFFFFF\nhexOver=0x100000000\nbareX=0x\n"
                               "max=2147483647\nmin=-2147483648\nover=2147483648\nunder=-2147483649\n"
                               "fullWidth=１２\n",
                               "n.ini"));
    TIniFile ini(dir.File("n.ini"));
    struct Case {
        std::string key;
        int want;
    };
    for (const auto& c :
         std::vector<Case>{{"dec", 42},      {"neg", -17},   {"plus", 5},         {"spaced", 8},
                           {"quoted", 7},    {"lead", 12},   {"none", -99},       {"empty", -99},
                           {"sign", -99},    {"hex", 31},    {"hexUpper", 255},   {"hexAll", -1},
                           {"hexOver", -99}, {"bareX", 0},   {"max", 2147483647}, {"min", -2147483647 - 1},
                           {"over", -99},    {"under", -99}, {"fullWidth", -99},  {"missing", -99}})
        EXPECT_EQ(ini.ReadInteger("n", c.key, -99), c.want) << c.key;
}

} // namespace
} // namespace towagi
