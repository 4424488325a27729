#include "startup/registry_import.h"

#include "apply/file_apply.h"
#include "platform/registry_file.h"
#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "support/encoding.h"
#include "support/settings.h"
#include "support/text.h"
#include "support/trace_log.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QString>

#include <algorithm>
#include <filesystem>
#include <optional>

namespace towagi {
namespace {

using testing::ReadFile;
using testing::ScopedEnv;
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

TEST(ApplyRegistryFile, AMalformedDwordWritesNothingOfTheFile) {
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
    for (const char* name : {"a", "b", "c"}) EXPECT_EQ(Stored(Hive::Machine, name), "-") << name;
}

std::time_t LocalTime(const std::string& text) {
    std::time_t time = 0;
    EXPECT_TRUE(ParseDateTime(text, time)) << text;
    return time;
}

void SetFileTime(const std::string& path, const std::string& time) {
    const std::time_t at = LocalTime(time);
    const timespec times[2] = {{at, 0}, {at, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A registry file (CP932) with the given lines in a section of the machine hive's test key, last written
// at a local time.
void WriteRegFile(const std::string& path, const std::string& entries, const std::string& time,
                  const std::string& hive = "HKEY_LOCAL_MACHINE") {
    WriteFile(path, ToCP932("Windows Registry Editor Version 5.00\r\n\r\n[" + hive + "\\" + kKey + "]\r\n" + entries,
                            path));
    SetFileTime(path, time);
}

// A program folder with its import log.
struct ImportFolder {
    ScopedHives hives;
    TempDir dir;
    TVORNReg reg{dir.Dir(), "Qrd00up_reg.log"};
    std::string Log() const { return FromCP932(ReadFile(reg.ImportLogPath()), "log"); }
};

TEST(TVORNReg, CreateMakesAnEmptyLogOnceAndFailsWhereItCannot) {
    for (const EditionProfile* profile : {&EstimationEdition(), &CostEdition()}) {
        TempDir dir;
        TVORNReg reg(dir.Dir(), profile->RegImportLogName);
        EXPECT_EQ(reg.ImportLogPath(), dir.File(profile->RegImportLogName));
        EXPECT_EQ(ReadFile(reg.ImportLogPath()), "");
        WriteFile(reg.ImportLogPath(), "2020/01/01 00:00:00|a.reg\r\n");
        TVORNReg again(dir.Dir(), profile->RegImportLogName);
        EXPECT_EQ(ReadFile(reg.ImportLogPath()), "2020/01/01 00:00:00|a.reg\r\n");
    }
    EXPECT_EQ(EstimationEdition().RegImportLogName, "Qrd00up_reg.log");
    EXPECT_EQ(CostEdition().RegImportLogName, "Plx00up_reg.log");
    TempDir dir;
    try {
        TVORNReg reg(dir.File("missing"), "Qrd00up_reg.log");
        ADD_FAILURE() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find(dir.File("missing/Qrd00up_reg.log")), std::string::npos) << e.what();
    }
}

TEST(TVORNReg, OnlyFilesWrittenAfterTheCutOffAreApplied) {
    struct Case {
        std::string time;
        bool applied;
    };
    for (const auto& c : std::vector<Case>{{"2017/10/26 23:59:59", false},
                                          {"2017/10/27 00:00:00", false},
                                          {"2017/10/27 00:00:01", true},
                                          {"2024/05/01 12:34:56", true}}) {
        ImportFolder folder;
        WriteRegFile(folder.dir.File("a.reg"), "\"v\"=\"1\"\r\n", c.time);
        folder.reg.ImportFolder(folder.dir.Dir());
        EXPECT_EQ(Stored(Hive::Machine, "v"), c.applied ? "T:1" : "-") << c.time;
        EXPECT_EQ(folder.Log(), c.applied ? c.time + "|a.reg\r\n" : "") << c.time;
    }
    EXPECT_EQ(RegistryFileCutOff(), LocalTime("2017/10/27 00:00:00"));
}

TEST(TVORNReg, EachVersionOfAFileIsAppliedOnce) {
    ImportFolder folder;
    WriteRegFile(folder.dir.File("a.reg"), "\"v\"=\"1\"\r\n", "2024/05/01 10:00:00");
    folder.reg.ImportFolder(folder.dir.Dir());
    ASSERT_TRUE(WriteMachineString("\\" + kKey, "v", "changed by the user", true));
    folder.reg.ImportFolder(folder.dir.Dir());
    EXPECT_EQ(Stored(Hive::Machine, "v"), "T:changed by the user");
    EXPECT_EQ(folder.Log(), "2024/05/01 10:00:00|a.reg\r\n");
    // Written again: a new version, applied and logged again.
    SetFileTime(folder.dir.File("a.reg"), "2024/05/02 08:00:00");
    folder.reg.ImportFolder(folder.dir.Dir());
    EXPECT_EQ(Stored(Hive::Machine, "v"), "T:1");
    EXPECT_EQ(folder.Log(), "2024/05/01 10:00:00|a.reg\r\n2024/05/02 08:00:00|a.reg\r\n");
}

TEST(TVORNReg, FilesAreAppliedOldestFirstThenByName) {
    struct Case {
        std::string name;
        std::string aTime, bTime;
        std::string wantValue, wantLog;
    };
    for (const auto& c : std::vector<Case>{
             {"the older file first", "2024/05/02 00:00:00", "2024/05/01 00:00:00", "T:a",
              "2024/05/01 00:00:00|B.reg\r\n2024/05/02 00:00:00|a.reg\r\n"},
             {"the same time: name order", "2024/05/01 00:00:00", "2024/05/01 00:00:00", "T:b",
              "2024/05/01 00:00:00|a.reg\r\n2024/05/01 00:00:00|B.reg\r\n"},
         }) {
        ImportFolder folder;
        WriteRegFile(folder.dir.File("a.reg"), "\"v\"=\"a\"\r\n", c.aTime);
        WriteRegFile(folder.dir.File("B.reg"), "\"v\"=\"b\"\r\n", c.bTime);
        folder.reg.ImportFolder(folder.dir.Dir());
        EXPECT_EQ(Stored(Hive::Machine, "v"), c.wantValue) << c.name;
        EXPECT_EQ(folder.Log(), c.wantLog) << c.name;
    }
}

TEST(TVORNReg, ImportFolderTakesEveryRegistryFileOfTheFolderOnly) {
    ImportFolder folder;
    WriteRegFile(folder.dir.File("UPPER.REG"), "\"upper\"=\"1\"\r\n", "2024/05/01 00:00:01");
    WriteRegFile(folder.dir.File(".hidden.reg"), "\"hidden\"=\"1\"\r\n", "2024/05/01 00:00:02");
    WriteRegFile(folder.dir.File("read-only.reg"), "\"readonly\"=\"1\"\r\n", "2024/05/01 00:00:03");
    chmod(folder.dir.File("read-only.reg").c_str(), 0444);
    WriteRegFile(folder.dir.File("notes.txt"), "\"text\"=\"1\"\r\n", "2024/05/01 00:00:04");
    std::filesystem::create_directories(folder.dir.File("folder.reg"));
    WriteRegFile(folder.dir.File("folder.reg/inner.reg"), "\"inner\"=\"1\"\r\n", "2024/05/01 00:00:05");
    folder.reg.ImportFolder(folder.dir.Dir());
    for (const char* name : {"upper", "hidden", "readonly"}) EXPECT_EQ(Stored(Hive::Machine, name), "T:1") << name;
    for (const char* name : {"text", "inner"}) EXPECT_EQ(Stored(Hive::Machine, name), "-") << name;
    EXPECT_EQ(folder.Log(), "2024/05/01 00:00:01|UPPER.REG\r\n2024/05/01 00:00:02|.hidden.reg\r\n"
                            "2024/05/01 00:00:03|read-only.reg\r\n");

    ImportFolder empty;
    WriteRegFile(empty.dir.File("old.reg"), "\"old\"=\"1\"\r\n", "2016/01/01 00:00:00");
    empty.reg.ImportFolder(empty.dir.Dir());
    EXPECT_EQ(empty.Log(), "");
}

TEST(TVORNReg, ValuesAreStoredAsTheSuiteReadsThem) {
    ImportFolder folder;
    ASSERT_TRUE(WriteMachineString("\\" + kKey, "empty", "kept", true));
    WriteRegFile(folder.dir.File("values.reg"),
                 "\"path\"=\"C:\\\\Program Files\\\\x\"\r\n"
                 "\"quote\"=\"say \\\"hi\\\"\"\r\n"
                 "\"ten\"=dword:0000000a\r\n"
                 "\"all\"=dword:ffffffff\r\n"
                 "\"bytes\"=hex:01,02,ff\r\n"
                 "\"empty\"=\"\"\r\n"
                 "@=\"default\"\r\n",
                 "2024/05/01 00:00:00");
    // In machine mode the user's sections land in the machine hive too, and so does any other hive.
    WriteRegFile(folder.dir.File("user.reg"), "\"user\"=\"u\"\r\n", "2024/05/01 00:00:01", "HKEY_CURRENT_USER");
    WriteRegFile(folder.dir.File("users.reg"), "\"users\"=\"o\"\r\n", "2024/05/01 00:00:02", "HKEY_USERS");
    folder.reg.ImportFolder(folder.dir.Dir());
    struct Want {
        std::string name, value;
    };
    for (const auto& w : std::vector<Want>{{"path", "T:C:\\Program Files\\x"},
                                          {"quote", "T:say \\\"hi\\\""},
                                          {"ten", "I:10"},
                                          {"all", "I:-1"},
                                          {"bytes", "T:hex:01,02,ff"},
                                          {"empty", "T:kept"},
                                          {"", "T:default"},
                                          {"user", "T:u"},
                                          {"users", "T:o"}})
        EXPECT_EQ(Stored(Hive::Machine, w.name), w.value) << w.name;
    EXPECT_FALSE(CurrentSettingsStore().OpenKey(Hive::User, kKey, false, KeyAccess::Read));
}

TEST(TVORNReg, ABadDwordChangesNothingGetsNoLineAndStopsTheFolder) {
    ImportFolder folder;
    WriteRegFile(folder.dir.File("a.reg"), "\"a\"=\"1\"\r\n", "2024/05/01 00:00:01");
    WriteRegFile(folder.dir.File("b.reg"), "\"b1\"=\"1\"\r\n\"b2\"=dword:xyz\r\n", "2024/05/01 00:00:02");
    WriteRegFile(folder.dir.File("c.reg"), "\"c\"=\"1\"\r\n", "2024/05/01 00:00:03");
    for (int start = 1; start <= 2; ++start) {
        try {
            folder.reg.ImportFolder(folder.dir.Dir());
            ADD_FAILURE() << "no error at start " << start;
        } catch (const ERegistryFileError& e) {
            EXPECT_EQ(std::string(e.what()), "レジストリファイル[" + folder.dir.File("b.reg") +
                                                 "]の値[dword:xyz]は32ビットの16進数ではありません");
        }
        EXPECT_EQ(Stored(Hive::Machine, "a"), "T:1");
        EXPECT_EQ(Stored(Hive::Machine, "b1"), "-");
        EXPECT_EQ(Stored(Hive::Machine, "c"), "-");
        EXPECT_EQ(folder.Log(), "2024/05/01 00:00:01|a.reg\r\n") << "start " << start;
    }
}

TEST(TVORNReg, Utf16AndCp932FilesAndNamesInTheLog) {
    ImportFolder folder;
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\" + kKey +
                             "]\r\n\"支店\"=\"本社①\"\r\n\"回数\"=dword:00000003\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char16_t unit : QString::fromStdString(text).toStdU16String()) {
        utf16 += static_cast<char>(unit & 0xFF);
        utf16 += static_cast<char>(unit >> 8);
    }
    WriteFile(folder.dir.File("unicode.reg"), utf16);
    SetFileTime(folder.dir.File("unicode.reg"), "2024/05/01 00:00:01");
    WriteRegFile(folder.dir.File("設定.reg"), "\"髙\"=\"ｶﾅ\"\r\n", "2024/05/01 00:00:02");
    folder.reg.ImportFolder(folder.dir.Dir());
    EXPECT_EQ(Stored(Hive::Machine, "支店"), "T:本社①");
    EXPECT_EQ(Stored(Hive::Machine, "回数"), "I:3");
    EXPECT_EQ(Stored(Hive::Machine, "髙"), "T:ｶﾅ");
    EXPECT_EQ(ReadFile(folder.reg.ImportLogPath()),
              ToCP932("2024/05/01 00:00:01|unicode.reg\r\n2024/05/01 00:00:02|設定.reg\r\n", "log"));
}

TEST(TVORNReg, TheLogIsReadAfreshAndComparedWithoutLetterCase) {
    ImportFolder folder;
    WriteRegFile(folder.dir.File("a.reg"), "\"a\"=\"1\"\r\n", "2024/05/01 00:00:01");
    WriteRegFile(folder.dir.File("b.reg"), "\"b\"=\"1\"\r\n", "2024/05/01 00:00:02");
    // Another program's lines, in other letter case and with LF only.
    WriteFile(folder.reg.ImportLogPath(), "2024/05/01 00:00:01|A.REG\n2024/05/01 00:00:02|B.Reg");
    std::string entry;
    EXPECT_FALSE(folder.reg.IsNewRegFile(folder.dir.File("a.reg"), entry));
    folder.reg.ImportFolder(folder.dir.Dir());
    EXPECT_EQ(Stored(Hive::Machine, "a"), "-");
    EXPECT_EQ(Stored(Hive::Machine, "b"), "-");
    WriteFile(folder.reg.ImportLogPath(), "");
    EXPECT_TRUE(folder.reg.IsNewRegFile(folder.dir.File("a.reg"), entry));
    EXPECT_EQ(entry, "2024/05/01 00:00:01|a.reg");
    EXPECT_FALSE(folder.reg.IsNewRegFile(folder.dir.File("missing.reg"), entry));

    std::vector<std::string> list{"kept"};
    EXPECT_EQ(folder.reg.ListNewRegFiles(folder.dir.File("*.REG"), kAnyPlainFile, list), 2);
    std::sort(list.begin() + 1, list.end());
    EXPECT_EQ(list, (std::vector<std::string>{"kept", "2024/05/01 00:00:01|a.reg", "2024/05/01 00:00:02|b.reg"}));
}

TEST(TVORNReg, ALogLineIsAddedWithoutLosingTheEarlierOnes) {
    ImportFolder folder;
    WriteFile(folder.reg.ImportLogPath(), "2020/01/01 00:00:00|old.reg\r\n2021/01/01 00:00:00|older.reg\r\n");
    chmod(folder.reg.ImportLogPath().c_str(), 0640);
    WriteRegFile(folder.dir.File("a.reg"), "\"a\"=\"1\"\r\n", "2024/05/01 00:00:01");
    folder.reg.ImportFile(folder.dir.File("a.reg"));
    const std::string log = "2020/01/01 00:00:00|old.reg\r\n2021/01/01 00:00:00|older.reg\r\n"
                            "2024/05/01 00:00:01|a.reg\r\n";
    EXPECT_EQ(folder.Log(), log);
    struct stat info {};
    ASSERT_EQ(stat(folder.reg.ImportLogPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    // Nothing but the files of the test is left in the folder.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.dir.Path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Qrd00up_reg.log", "a.reg"}));

    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    // A log that cannot be replaced raises, and the lines already there stay.
    WriteRegFile(folder.dir.File("b.reg"), "\"b\"=\"1\"\r\n", "2024/05/01 00:00:02");
    chmod(folder.dir.Path().c_str(), 0555);
    EXPECT_THROW(folder.reg.ImportFile(folder.dir.File("b.reg")), EInOutError);
    chmod(folder.dir.Path().c_str(), 0755);
    EXPECT_EQ(folder.Log(), log);
    // A log that cannot be read raises before anything is written.
    WriteRegFile(folder.dir.File("c.reg"), "\"c\"=\"1\"\r\n", "2024/05/01 00:00:03");
    chmod(folder.reg.ImportLogPath().c_str(), 0);
    EXPECT_THROW(folder.reg.ImportFile(folder.dir.File("c.reg")), EInOutError);
    EXPECT_EQ(Stored(Hive::Machine, "c"), "-");
}

TEST(TVORNReg, AFileThatIsNotThereIsPassedOver) {
    ImportFolder folder;
    EXPECT_NO_THROW(folder.reg.ImportFile(folder.dir.File("missing.reg")));
    EXPECT_EQ(folder.Log(), "");
}

// The file application's fallback import goes through the same importer, so the file is logged and a
// later start does not apply it again.
TEST(TVORNReg, TheFileApplicationFallbackIsLogged) {
    ScopedHives hives;
    TempDir root;
    ScopedEnv os("TOWAGI_OS_VERSION", "10.0");
    std::filesystem::create_directories(root.File("program"));
    std::filesystem::create_directories(root.File("staging"));
    TVORNReg reg(root.File("program"), "Qrd00up_reg.log");
    TUpdateState state;
    state.Profile = &EstimationEdition();
    state.TraceLog = std::make_unique<TTraceLog>(root.File("trace.log"));
    state.ExeDir = root.File("program") + "/"; // holds no registry tool
    state.RegImporter = &reg;
    WriteRegFile(root.File("staging/Update.reg"), "\"update\"=\"1\"\r\n", "2024/05/01 00:00:02");
    std::vector<std::string> list;
    Local_CopyDirectory(state, root.File("staging") + "/", state.ExeDir, 0, list);
    EXPECT_EQ(Stored(Hive::Machine, "update"), "T:1");
    EXPECT_EQ(FromCP932(ReadFile(reg.ImportLogPath()), "log"), "2024/05/01 00:00:02|Update.reg\r\n");
    ASSERT_TRUE(WriteMachineString("\\" + kKey, "update", "changed", true));
    reg.ImportFolder(state.ExeDir);
    EXPECT_EQ(Stored(Hive::Machine, "update"), "T:changed");
}

} // namespace
} // namespace towagi
