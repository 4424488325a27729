#include "startup/registry_import.h"

#include "platform/registry_file.h"
#include "support/encoding.h"
#include "support/settings.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <optional>

namespace towagi {
namespace {

using testing::ScopedHives;
using testing::TempDir;
using testing::WriteFile;

const std::string kKey = "Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE";

// "T:text", "I:number" or "-" for a value the hive does not hold.
std::string Stored(Hive hive, const std::string& name) {
    auto key = CurrentSettingsStore().OpenKey(hive, kKey, false, KeyAccess::Read);
    std::string text;
    std::int32_t number = 0;
    if (key && key->ReadInteger(name, number)) return "I:" + std::to_string(number);
    if (key && key->ReadString(name, text)) return "T:" + text;
    return "-";
}

TEST(ApplyRegistryFile, SectionsGoToTheirHiveByTheSwitch) {
    const std::string file = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_CURRENT_USER\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE]\r\n"
                             "\"PATH1\"=\"本社|C:\\\\VORN\\\\UPDATE\"\r\n"
                             "\"RETRY\"=dword:ffffffff\r\n"
                             "\"FTP_HOST\"=\"\"\r\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE]\r\n"
                             "\"Machine\"=\"m\"\r\n"
                             "[HKEY_USERS\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE]\r\n"
                             "\"Other\"=dword:0000000a\r\n";
    struct Case {
        std::string name;
        bool perUser;
        Hive userSections;
    };
    for (const auto& c :
         std::vector<Case>{{"machine mode", false, Hive::Machine}, {"per-user mode", true, Hive::User}}) {
        ScopedHives hives;
        TempDir dir;
        ASSERT_TRUE(WriteMachineInteger(kProductRoot, kPerUserSwitch, c.perUser ? 1 : 0, true));
        // An empty value in the file leaves the stored one as it is.
        CurrentSettingsStore()
            .OpenKey(c.userSections, kKey, true, KeyAccess::ReadWrite)
            ->WriteString("FTP_HOST", "kept");
        WriteFile(dir.File("QRD.reg"), ToCP932(file, "test"));
        ApplyRegistryFile(dir.File("QRD.reg"));
        EXPECT_EQ(Stored(c.userSections, "PATH1"), "T:本社|C:\\VORN\\UPDATE") << c.name;
        EXPECT_EQ(Stored(c.userSections, "RETRY"), "I:-1") << c.name;
        EXPECT_EQ(Stored(c.userSections, "FTP_HOST"), "T:kept") << c.name;
        EXPECT_EQ(Stored(Hive::Machine, "Machine"), "T:m") << c.name;
        EXPECT_EQ(Stored(Hive::Machine, "Other"), "I:10") << c.name;
        EXPECT_EQ(Stored(Hive::User, "Machine"), "-") << c.name;
        if (!c.perUser) {
            EXPECT_FALSE(CurrentSettingsStore().OpenKey(Hive::User, kKey, false, KeyAccess::Read)) << c.name;
        }
    }
}

TEST(ApplyRegistryFile, AMalformedDwordStopsWithTheValuesBeforeItWritten) {
    ScopedHives hives;
    TempDir dir;
    WriteFile(dir.File("bad.reg"), "[HKEY_LOCAL_MACHINE\\" + kKey +
                                       "]\r\n\"a\"=\"1\"\r\n\"b\"=dword:123456789\r\n\"c\"=\"3\"\r\n");
    try {
        ApplyRegistryFile(dir.File("bad.reg"));
        ADD_FAILURE() << "no error";
    } catch (const ERegistryFileError& e) {
        EXPECT_NE(std::string(e.what()).find(dir.File("bad.reg")), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("dword:123456789"), std::string::npos) << e.what();
    }
    EXPECT_EQ(Stored(Hive::Machine, "a"), "T:1");
    EXPECT_EQ(Stored(Hive::Machine, "b"), "-");
    EXPECT_EQ(Stored(Hive::Machine, "c"), "-");
}

} // namespace
} // namespace towagi
