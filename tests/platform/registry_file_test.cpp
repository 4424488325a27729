#include "platform/registry_file.h"

#include "support/encoding.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <iconv.h>

namespace towagi {
namespace {

using testing::TempDir;

// One line per section ("[hive|key path|CU or other]") and per entry ("name=T:text" / "name=I:number").
std::vector<std::string> Describe(const RegistryFile& file) {
    std::vector<std::string> lines;
    for (const RegistrySection& section : file.Sections()) {
        lines.push_back("[" + section.HiveName + "|" + section.KeyPath + "|" +
                        (section.IsCurrentUser ? "CU" : "other") + "]");
        for (const RegistryEntry& entry : section.Entries) {
            RegistryValue value = file.Decode(entry);
            lines.push_back(entry.ValueName() + "=" +
                            (value.Kind == ValueKind::Integer ? "I:" + std::to_string(value.Integer)
                                                              : "T:" + value.Text));
        }
    }
    return lines;
}

RegistryFile LoadBytes(const TempDir& dir, const std::string& bytes) {
    testing::WriteFile(dir.File("test.reg"), bytes);
    return RegistryFile::Load(dir.File("test.reg"));
}

std::string Utf16le(const std::string& utf8) {
    iconv_t handle = iconv_open("UTF-16LE", "UTF-8");
    std::string out(utf8.size() * 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* outPointer = out.data();
    size_t outLeft = out.size();
    iconv(handle, &in, &inLeft, &outPointer, &outLeft);
    iconv_close(handle);
    out.resize(out.size() - outLeft);
    return out;
}

const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

TEST(RegistryFile, ReadsSectionsAndEntriesAsTheLauncherAlwaysHas) {
    struct Case {
        std::string name, text;
        std::vector<std::string> want;
    };
    for (const auto& c : std::vector<Case>{
             {"sections name their hive",
              "[HKEY_CURRENT_USER\\Software\\VORN\\TOWAGI]\r\n\"A\"=\"1\"\r\n[HKEY_LOCAL_"
              "MACHINE\\SOFTWARE\\X]\r\n"
              "\"B\"=\"2\"\r\n[HKEY_CLASSES_ROOT\\.reg]\r\n[HKEY_CURRENT_USER]\r\n",
              {"[HKEY_CURRENT_USER|Software\\VORN\\TOWAGI|CU]", "A=T:1",
               "[HKEY_LOCAL_MACHINE|SOFTWARE\\X|other]", "B=T:2", "[HKEY_CLASSES_ROOT|.reg|other]",
               "[HKEY_CURRENT_USER||CU]"}},
             {"default value and quoted names",
              "[HKEY_CURRENT_USER\\K]\n@=\"default\"\n\"Path\"=\"p\"\n\"\"=\"quoted empty "
              "name\"\n\"@\"=\"at\"\n",
              {"[HKEY_CURRENT_USER|K|CU]", "=T:default", "Path=T:p", "=T:quoted empty name", "@=T:at"}},
             {"dwords keep 32 bits",
              "[HKEY_CURRENT_USER\\K]\n\"a\"=dword:0000000a\n\"b\"=dword:ffffffff\n\"c\"=dword:00000000\n"
              "\"d\"=dword:7FFFFFFF\n\"e\"=dword:80000000\n\"f\"=dword:000000000001\n\"g\"=dword:1\n",
              {"[HKEY_CURRENT_USER|K|CU]", "a=I:10", "b=I:-1", "c=I:0", "d=I:2147483647", "e=I:-2147483648",
               "f=I:1", "g=I:1"}},
             {"doubled backslashes stand for one; a backslash before a quote stays",
              "[HKEY_CURRENT_USER\\K]\n\"p\"=\"C:\\\\Program Files\\\\x\"\n\"three\"=\"a\\\\\\b\"\n"
              "\"q\"=\"say \\\"hi\\\"\"\n\"single\"=\"a\\b\"\n",
              {"[HKEY_CURRENT_USER|K|CU]", "p=T:C:\\Program Files\\x", "three=T:a\\\\b", "q=T:say \\\"hi\\\"",
               "single=T:a\\b"}},
             {"other types stay text as written",
              "[HKEY_CURRENT_USER\\K]\n\"h\"=hex:01,02,ff\n\"e\"=hex(2):25,00,41,00\n\"u\"=unquoted text\n"
              "\"eq\"=\"a=b\"\n",
              {"[HKEY_CURRENT_USER|K|CU]", "h=T:hex:01,02,ff", "e=T:hex(2):25,00,41,00", "u=T:unquoted text",
               "eq=T:a=b"}},
             {"deletions, comments and stray lines are left out; empty values are kept",
              "\"outside\"=\"x\"\n[-HKEY_CURRENT_USER\\Old]\n\"in deleted\"=\"x\"\n[HKEY_CURRENT_USER\\K]\n"
              "\"gone\"=-\n\"dash\"=\"-\"\n\"empty\"=\"\"\n\"bare\"=\n;\"comment\"=\"x\"\nno equals "
              "sign\n\"kept\"=\"y\"\n",
              {"[HKEY_CURRENT_USER|K|CU]", "dash=T:-", "empty=T:", "bare=T:", "kept=T:y"}},
             {"the first entry and the first section of a name win, in any letter case",
              "[HKEY_CURRENT_USER\\K]\n\"A\"=\"first\"\n\"a\"=\"second\"\n\"E\"=\"\"\n\"e\"=\"later\"\n"
              "[hkey_current_user\\k]\n\"B\"=\"ignored\"\n[HKEY_CURRENT_USER\\K\\Sub]\n\"A\"=\"sub\"\n",
              {"[HKEY_CURRENT_USER|K|CU]", "A=T:first", "E=T:", "[HKEY_CURRENT_USER|K\\Sub|CU]", "A=T:sub"}},
             {"blanks around names and values are trimmed, inside quotes kept",
              "  [HKEY_CURRENT_USER\\K]  \r\n  \"Sp\"  =   \"  padded  \"  \r\n\t\"tab\"\t=\tvalue\t\r\n",
              {"[HKEY_CURRENT_USER|K|CU]", "Sp=T:  padded  ", "tab=T:value"}},
             {"key names with brackets",
              "[HKEY_CURRENT_USER\\K\\[x]]\n\"v\"=\"1\"\n",
              {"[HKEY_CURRENT_USER|K\\[x]|CU]", "v=T:1"}},
         }) {
        EXPECT_EQ(Describe(RegistryFile::Parse(kHeader + c.text, "test.reg")), c.want) << c.name;
    }
}

TEST(RegistryFile, MalformedDwordsNameTheFileAndTheText) {
    for (const std::string value : {"dword:", "dword:xyz", "dword:123456789", "dword:-1", "dword: 1",
                                    "dword:0x10", "dword:1g", "text with dword:here"}) {
        try {
            DecodeRegistryValue(value, "/srv/update/QRD.reg");
            ADD_FAILURE() << value << " decoded";
        } catch (const ERegistryFileError& error) {
            EXPECT_NE(std::string(error.what()).find("/srv/update/QRD.reg"), std::string::npos)
                << error.what();
            EXPECT_NE(std::string(error.what()).find(value), std::string::npos) << error.what();
        }
    }
}

TEST(RegistryFile, ValuesAreDecodedOneByOne) {
    RegistryFile file =
        RegistryFile::Parse("[HKEY_CURRENT_USER\\K]\n\"a\"=\"1\"\n\"b\"=dword:zz\n\"c\"=dword:3\n", "x.reg");
    ASSERT_EQ(file.Sections().size(), 1u);
    const auto& entries = file.Sections()[0].Entries;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(file.Decode(entries[0]).Text, "1");
    EXPECT_THROW(file.Decode(entries[1]), ERegistryFileError);
    EXPECT_EQ(file.Decode(entries[2]).Integer, 3);
    EXPECT_EQ(entries[1].Name, "\"b\"");
    EXPECT_EQ(entries[1].Value, "dword:zz");
}

TEST(RegistryFile, EncodingsAreRecognised) {
    TempDir dir;
    const std::string text = kHeader +
                             "[HKEY_CURRENT_USER\\Software\\積算とわぎ]\r\n\"名前\"=\"①髙橋\\\\表示\"\r\n"
                             "\"件数\"=dword:0000000a\r\n";
    const std::vector<std::string> want = {"[HKEY_CURRENT_USER|Software\\積算とわぎ|CU]",
                                           "名前=T:①髙橋\\表示", "件数=I:10"};
    struct Case {
        std::string name, bytes;
    };
    for (const auto& c : std::vector<Case>{{"CP932", ToCP932(text, "test")},
                                           {"UTF-16LE with byte-order mark", "\xFF\xFE" + Utf16le(text)},
                                           {"UTF-8 with byte-order mark", "\xEF\xBB\xBF" + text}})
        EXPECT_EQ(Describe(LoadBytes(dir, c.bytes)), want) << c.name;
}

TEST(RegistryFile, BytesThatDoNotConvertNameTheFile) {
    TempDir dir;
    for (const std::string& bytes :
         {std::string("[HKEY_CURRENT_USER\\K]\r\n\"a\"=\"\x81\x20\"\r\n"),
          std::string("\xEF\xBB\xBF[HKEY_CURRENT_USER\\K]\r\n\"a\"=\"\xFF\"\r\n"),
          std::string("\xEF\xBB\xBF\"a\"=\"\xC3\"\r\n"), std::string("\xFF\xFE[\0K\0]", 7)}) {
        try {
            LoadBytes(dir, bytes);
            ADD_FAILURE() << "loaded";
        } catch (const EEncodingError& error) {
            EXPECT_NE(std::string(error.what()).find(dir.File("test.reg")), std::string::npos)
                << error.what();
        }
    }
}

TEST(RegistryFile, AMissingFileIsAnInOutError) {
    TempDir dir;
    EXPECT_THROW(RegistryFile::Load(dir.File("missing.reg")), EInOutError);
}

} // namespace
} // namespace towagi
