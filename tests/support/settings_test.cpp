#include "support/settings.h"

#include "platform/settings_store.h"
#include "support/settings_store.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <grp.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace towagi {
namespace {

using testing::ScopedEnv;
using testing::ScopedHives;
using testing::TempDir;

const std::string kUpdateKey = std::string(kProductRoot) + "\\PATH\\UPDATE";

// What a hive holds, read past the routines under test.
std::optional<std::string> StoredText(Hive hive, const std::string& key, const std::string& name) {
    auto opened = CurrentSettingsStore().OpenKey(hive, key, false, KeyAccess::Read);
    std::string value;
    if (!opened || !opened->ReadString(name, value)) return std::nullopt;
    return value;
}

bool KeyExists(Hive hive, const std::string& key) {
    return static_cast<bool>(CurrentSettingsStore().OpenKey(hive, key, false, KeyAccess::Read));
}

void SetPerUser(std::int32_t value) {
    testing::Require(WriteMachineInteger(kProductRoot, kPerUserSwitch, value, true), kPerUserSwitch);
}

TEST(ReadMachine, FallbacksForWhatCannotBeRead) {
    ScopedHives hives;
    ASSERT_TRUE(WriteMachineString(kUpdateKey, "FTP_HOST", "ftp.example.jp", true));
    ASSERT_TRUE(WriteMachineInteger(kUpdateKey, "RETRY", 3, true));
    struct Case {
        std::string key, name, wantText;
        std::int32_t wantNumber;
    };
    for (const auto& c : std::vector<Case>{
             {kUpdateKey, "FTP_HOST", "ftp.example.jp", -1},
             {kUpdateKey, "RETRY", "", 3},
             {kUpdateKey, "ftp_host", "ftp.example.jp", -1},
             {"software\\vorn\\towagi\\ruvozez\\path\\update", "FTP_HOST", "ftp.example.jp", -1},
             {"\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE", "retry", "", 3},
             {kUpdateKey, "MISSING", "", -1},
             {std::string(kProductRoot) + "\\PATH\\MISSING", "FTP_HOST", "", -1},
         }) {
        EXPECT_EQ(ReadMachineString(c.key, c.name, false), c.wantText) << c.key << " " << c.name;
        EXPECT_EQ(ReadMachineInteger(c.key, c.name, false), c.wantNumber) << c.key << " " << c.name;
    }
    EXPECT_FALSE(KeyExists(Hive::Machine, std::string(kProductRoot) + "\\PATH\\MISSING"));
    // Only the create flag makes the missing key.
    EXPECT_EQ(ReadMachineString(std::string(kProductRoot) + "\\PATH\\NEW", "x", true), "");
    EXPECT_TRUE(KeyExists(Hive::Machine, std::string(kProductRoot) + "\\PATH\\NEW"));
}

TEST(ReadMachine, AMissingHiveIsReadWithoutCreatingIt) {
    ScopedHives hives;
    EXPECT_EQ(ReadMachineString(kUpdateKey, "FTP_HOST", false), "");
    EXPECT_EQ(ReadMachineInteger(kUpdateKey, "RETRY", false), -1);
    EXPECT_FALSE(std::filesystem::exists(hives.MachineHive()));
}

TEST(Settings, AHiveThatCannotBeOpenedGivesTheFallbacks) {
    ScopedHives hives;
    testing::WriteFile(hives.Folder().File("file"), "a file, not a folder");
    // Neither read nor created, whoever runs the test: the hive's folder is a plain file.
    ScopedEnv machine("TOWAGI_MACHINE_HIVE", hives.Folder().File("file") + "/machine.hive");
    ScopedEnv user("TOWAGI_USER_HIVE", hives.Folder().File("file") + "/user.hive");
    for (bool create : {false, true}) {
        EXPECT_EQ(ReadMachineString(kUpdateKey, "FTP_HOST", create), "") << create;
        EXPECT_EQ(ReadMachineInteger(kUpdateKey, "RETRY", create), -1) << create;
        EXPECT_EQ(ReadSettingString(kUpdateKey, "FTP_HOST", create), "") << create;
        EXPECT_FALSE(WriteMachineString(kUpdateKey, "FTP_HOST", "x", create)) << create;
        EXPECT_FALSE(WriteMachineInteger(kUpdateKey, "RETRY", 1, create)) << create;
        EXPECT_FALSE(WriteSettingString(kUpdateKey, "FTP_HOST", "x", create)) << create;
        EXPECT_FALSE(WriteSettingInteger(kUpdateKey, "RETRY", 1, create)) << create;
    }
    EXPECT_FALSE(IsPerUserMode());
}

// Runs `body` in a child process that may read but not write the hives: as root the child becomes
// "nobody", whom file permissions bind; otherwise the permissions alone refuse the writes.
int RunWithoutWriteAccess(const ScopedHives& hives, const std::function<int()>& body) {
    std::filesystem::permissions(hives.MachineHive(), std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::group_read |
                                                          std::filesystem::perms::others_read);
    std::filesystem::permissions(
        hives.Folder().Path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                   std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
                                   std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(100);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(Settings, AMachineHiveThatCannotBeWrittenStillReads) {
    ScopedHives hives;
    ASSERT_TRUE(WriteMachineString(kUpdateKey, "FTP_HOST", "ftp.example.jp", true));
    ASSERT_TRUE(WriteMachineInteger(kUpdateKey, "RETRY", 3, true));
    SetPerUser(1);
    int failed = RunWithoutWriteAccess(hives, [] {
        int failures = 0;
        auto check = [&failures](bool ok, int bit) { failures |= ok ? 0 : bit; };
        check(ReadMachineString(kUpdateKey, "FTP_HOST", false) == "ftp.example.jp", 1);
        check(ReadMachineString(kUpdateKey, "FTP_HOST", true) == "ftp.example.jp", 2);
        check(ReadMachineInteger(kUpdateKey, "RETRY", true) == 3, 4);
        check(!WriteMachineString(kUpdateKey, "FTP_HOST", "other", false), 8);
        check(!WriteMachineInteger(kUpdateKey, "NEW", 1, true), 16);
        check(IsPerUserMode(), 32);
        check(ReadSettingString(kUpdateKey, "FTP_HOST", false) == "ftp.example.jp", 64);
        return failures;
    });
    EXPECT_EQ(failed, 0) << "bit mask of the failed checks";
    EXPECT_EQ(ReadMachineString(kUpdateKey, "FTP_HOST", false), "ftp.example.jp");
    EXPECT_EQ(ReadMachineInteger(kUpdateKey, "NEW", false), -1);
}

TEST(PerUserSwitch, OnlyExactlyOneMeansPerUser) {
    struct Case {
        std::string name;
        std::function<void()> setup;
        bool perUser;
    };
    for (const auto& c : std::vector<Case>{
             {"missing", [] {}, false},
             {"0", [] { SetPerUser(0); }, false},
             {"2", [] { SetPerUser(2); }, false},
             {"-1", [] { SetPerUser(-1); }, false},
             {"text 1", [] { WriteMachineString(kProductRoot, kPerUserSwitch, "1", true); }, false},
             {"1", [] { SetPerUser(1); }, true},
             {"1 under other letter case",
              [] { WriteMachineInteger("software\\vorn\\towagi\\ruvozez", "regcurrentuser", 1, true); },
              true},
             {"1 in the user hive only",
              [] {
                  CurrentSettingsStore()
                      .OpenKey(Hive::User, kProductRoot, true, KeyAccess::ReadWrite)
                      ->WriteInteger(kPerUserSwitch, 1);
              },
              false},
         }) {
        ScopedHives hives;
        c.setup();
        EXPECT_EQ(IsPerUserMode(), c.perUser) << c.name;
        ASSERT_TRUE(WriteSettingString(kUpdateKey, "FTP_HOST", "written", true)) << c.name;
        ASSERT_TRUE(WriteSettingInteger(kUpdateKey, "RETRY", 4, true)) << c.name;
        Hive written = c.perUser ? Hive::User : Hive::Machine;
        Hive untouched = c.perUser ? Hive::Machine : Hive::User;
        EXPECT_EQ(StoredText(written, kUpdateKey, "FTP_HOST"), "written") << c.name;
        EXPECT_FALSE(KeyExists(untouched, kUpdateKey)) << c.name;
    }
}

TEST(PerUserSwitch, ReadingItCreatesTheProductRoot) {
    ScopedHives hives;
    EXPECT_FALSE(IsPerUserMode());
    EXPECT_TRUE(KeyExists(Hive::Machine, kProductRoot));
    EXPECT_FALSE(KeyExists(Hive::User, kProductRoot));
}

TEST(WriteSetting, PerUserModeCreatesTheUserKeyAndLeavesTheMachineHiveAlone) {
    ScopedHives hives;
    SetPerUser(1);
    EXPECT_FALSE(WriteSettingString(kUpdateKey, "FTP_HOST", "x", false)); // no key, no create flag
    EXPECT_FALSE(KeyExists(Hive::User, kUpdateKey));
    EXPECT_TRUE(WriteSettingString(kUpdateKey, "FTP_HOST", "ftp.user.jp", true));
    EXPECT_EQ(StoredText(Hive::User, kUpdateKey, "FTP_HOST"), "ftp.user.jp");
    EXPECT_FALSE(KeyExists(Hive::Machine, kUpdateKey));
    auto root = CurrentSettingsStore().OpenKey(Hive::Machine, kProductRoot, false, KeyAccess::Read);
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->SubKeyNames().empty());
    EXPECT_EQ(root->ValueNames(), std::vector<std::string>{kPerUserSwitch});
}

TEST(ReadSettingString, UserHiveFirstInPerUserMode) {
    struct Case {
        std::string name;
        bool perUser;
        std::optional<std::string> user, machine;
        bool userHoldsInteger;
        std::string want;
    };
    for (const auto& c : std::vector<Case>{
             {"per-user, machine only", true, std::nullopt, "machine", false, "machine"},
             {"per-user, both", true, "user", "machine", false, "user"},
             {"per-user, user only", true, "user", std::nullopt, false, "user"},
             {"per-user, user value an integer", true, std::nullopt, "machine", true, ""},
             {"per-user, neither", true, std::nullopt, std::nullopt, false, ""},
             {"machine mode, both", false, "user", "machine", false, "machine"},
             {"machine mode, user only", false, "user", std::nullopt, false, ""},
         }) {
        ScopedHives hives;
        SetPerUser(c.perUser ? 1 : 0);
        auto user = CurrentSettingsStore().OpenKey(Hive::User, kUpdateKey, true, KeyAccess::ReadWrite);
        if (c.user) user->WriteString("PATHJ", *c.user);
        if (c.userHoldsInteger) user->WriteInteger("PATHJ", 1);
        if (c.machine) WriteMachineString(kUpdateKey, "PATHJ", *c.machine, true);
        EXPECT_EQ(ReadSettingString(kUpdateKey, "pathj", false), c.want) << c.name;
    }
}

// A store whose every operation fails, to see which routines let the failure through.
class BrokenKey : public SettingsKey {
public:
    bool ReadString(const std::string&, std::string&) override { throw ESettingsError("broken"); }
    bool ReadInteger(const std::string&, std::int32_t&) override { throw ESettingsError("broken"); }
    void WriteString(const std::string&, const std::string&) override { throw ESettingsError("broken"); }
    void WriteInteger(const std::string&, std::int32_t) override { throw ESettingsError("broken"); }
    bool ValueExists(const std::string&) override { throw ESettingsError("broken"); }
    ValueKind KindOf(const std::string&) override { throw ESettingsError("broken"); }
    std::vector<std::string> SubKeyNames() override { throw ESettingsError("broken"); }
    std::vector<std::string> ValueNames() override { throw ESettingsError("broken"); }
    bool DeleteValue(const std::string&) override { throw ESettingsError("broken"); }
};

class BrokenStore : public SettingsStore {
public:
    explicit BrokenStore(bool failOpen) : failOpen_(failOpen) {}
    std::unique_ptr<SettingsKey> OpenKey(Hive, const std::string&, bool, KeyAccess) override {
        if (failOpen_) throw ESettingsError("broken");
        return std::make_unique<BrokenKey>();
    }
    bool DeleteKey(Hive, const std::string&) override { throw ESettingsError("broken"); }

private:
    bool failOpen_;
};

struct RestoreStore {
    ~RestoreStore() { InstallSettingsStore(std::make_shared<SqliteSettingsStore>()); }
};

TEST(Settings, ReadsSwallowStoreFailuresAndWritesRaiseThem) {
    RestoreStore restore;
    for (bool failOpen : {false, true}) {
        InstallSettingsStore(std::make_shared<BrokenStore>(failOpen));
        EXPECT_EQ(ReadMachineString(kUpdateKey, "FTP_HOST", true), "") << failOpen;
        EXPECT_EQ(ReadMachineInteger(kUpdateKey, "RETRY", true), -1) << failOpen;
        EXPECT_EQ(ReadSettingString(kUpdateKey, "FTP_HOST", true), "") << failOpen;
        EXPECT_FALSE(IsPerUserMode()) << failOpen;
        EXPECT_THROW(WriteMachineString(kUpdateKey, "FTP_HOST", "x", true), ESettingsError) << failOpen;
        EXPECT_THROW(WriteMachineInteger(kUpdateKey, "RETRY", 1, true), ESettingsError) << failOpen;
    }
    InstallSettingsStore(nullptr);
    EXPECT_THROW(CurrentSettingsStore(), ESettingsError);
    EXPECT_EQ(ReadMachineString(kUpdateKey, "FTP_HOST", false), "");
    EXPECT_THROW(WriteMachineString(kUpdateKey, "FTP_HOST", "x", false), ESettingsError);
}

TEST(Folders, ProgramDirHoldsTheRunningProgram) {
    std::string folder = GetProgramDir();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.front(), '/');
    EXPECT_EQ(folder.back(), '/');
    EXPECT_TRUE(std::filesystem::is_regular_file(folder + "support_tests"));
}

TEST(Folders, LoginUserNameIsTheEffectiveUser) {
    passwd* entry = getpwuid(geteuid());
    ASSERT_TRUE(entry);
    EXPECT_EQ(GetLoginUserName(), entry->pw_name);
}

// One test for everything that touches the program folder's TEMP, so parallel test runs do not race.
TEST(Folders, TempDirIsSharedOrPerUserAndReturnedEvenWhenItCannotBeMade) {
    ScopedHives hives;
    const std::string temp = GetProgramDir() + "TEMP/";
    const bool existed = std::filesystem::exists(GetProgramDir() + "TEMP");
    struct Cleanup {
        bool existed;
        std::string temp;
        ~Cleanup() {
            std::error_code ignored;
            if (!existed) std::filesystem::remove_all(temp.substr(0, temp.size() - 1), ignored);
        }
    } cleanup{existed, temp};

    EXPECT_EQ(GetTempDir(), temp);
    EXPECT_TRUE(std::filesystem::is_directory(temp));
    SetPerUser(1);
    const std::string perUser = temp + GetLoginUserName() + "/";
    EXPECT_EQ(GetTempDir(), perUser);
    EXPECT_TRUE(std::filesystem::is_directory(perUser));

    if (existed) return; // never replace a TEMP folder this test did not make
    std::filesystem::remove_all(temp);
    testing::WriteFile(GetProgramDir() + "TEMP", "a file where the folder belongs");
    EXPECT_EQ(GetTempDir(), perUser);
    EXPECT_FALSE(std::filesystem::is_directory(perUser));
}

TEST(DriveFreeBytes, OnlyAbsolutePathsHaveADrive) {
    TempDir dir;
    struct Case {
        std::string path;
        bool hasDrive;
    };
    for (const auto& c : std::vector<Case>{{"", false},
                                           {"relative/folder", false},
                                           {"./x", false},
                                           {"//server/share/x", false},
                                           {"\\\\server\\share", false},
                                           {"C:\\Program Files", false},
                                           {"/", true},
                                           {dir.Dir(), true},
                                           {dir.Dir() + "missing/deeper/file.txt", true}}) {
        std::int64_t bytes = GetPathDriveFreeBytes(c.path);
        EXPECT_EQ(bytes >= 0, c.hasDrive) << c.path << " " << bytes;
        EXPECT_LE(bytes, 2000000000) << c.path;
        EXPECT_EQ(IsDriveReady(c.path), c.hasDrive) << c.path;
    }
    // A path that does not exist yet counts on its nearest existing parent's file system.
    EXPECT_EQ(GetPathDriveFreeBytes(dir.Dir() + "missing/deeper/"), GetPathDriveFreeBytes(dir.Dir()));
    EXPECT_GE(GetDriveFreeBytes(0), 0);
    for (int drive : {1, 3, 26, -1})
        EXPECT_EQ(GetDriveFreeBytes(drive), -1) << drive;
}

TEST(DriveFreeBytes, LargeFreeSpaceIsCapped) {
    TempDir dir;
    struct statvfs info {};
    ASSERT_EQ(statvfs(dir.Path().c_str(), &info), 0);
    if (static_cast<long double>(info.f_bavail) * info.f_frsize < 3e9L)
        GTEST_SKIP() << "the temporary folder's file system has less than 3 GB free";
    EXPECT_EQ(GetPathDriveFreeBytes(dir.Dir()), 2000000000);
}

} // namespace
} // namespace towagi
