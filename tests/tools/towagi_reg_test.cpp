#include "platform/settings_store.h"
#include "support/encoding.h"
#include "support/settings.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

extern char** environ;

namespace towagi {
namespace {

using testing::ReadFile;
using testing::ScopedHives;
using testing::TempDir;
using testing::WriteFile;

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

// Runs the built tool with the test's environment (and so its hives); `input` is what it reads on stdin.
Outcome RunReg(const TempDir& dir, const std::vector<std::string>& args, const std::string& input = "") {
    WriteFile(dir.File("stdin.txt"), input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, dir.File("stdin.txt").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, dir.File("stdout.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, dir.File("stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all{TOWAGI_REG_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    Outcome outcome;
    pid_t child = 0;
    int spawned = posix_spawn(&child, TOWAGI_REG_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return outcome;
    int status = 0;
    waitpid(child, &status, 0);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = ReadFile(dir.File("stdout.txt"));
    outcome.err = ReadFile(dir.File("stderr.txt"));
    return outcome;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Every key below `path` with its values, to compare two states of a hive.
void Dump(Hive hive, const std::string& path, std::vector<std::string>& lines) {
    auto key = CurrentSettingsStore().OpenKey(hive, path, false, KeyAccess::Read);
    if (!key) return;
    lines.push_back("[" + path + "]");
    for (const std::string& name : key->ValueNames()) {
        std::string text;
        std::int32_t number = 0;
        if (key->ReadInteger(name, number))
            lines.push_back(name + "=I:" + std::to_string(number));
        else if (key->ReadString(name, text))
            lines.push_back(name + "=T:" + text);
    }
    for (const std::string& child : key->SubKeyNames())
        Dump(hive, path + "\\" + child, lines);
}

const std::string kUpdateKey = "Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE";

TEST(TowagiReg, ImportsACp932RegistryFile) {
    ScopedHives hives;
    TempDir dir;
    const std::string file = dir.File("更新.reg");
    WriteFile(file, ToCP932("Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_CURRENT_USER\\" +
                                kUpdateKey +
                                "]\r\n\"FTP_HOST\"=\"ftp.example.jp\"\r\n\"名前\"=\"積算『とわぎ』\"\r\n"
                                "\"PATH1\"=\"C:\\\\VORN\\\\UPDATE\\\\\"\r\n\"RETRY\"=dword:0000000a\r\n\r\n"
                                "[HKEY_LOCAL_MACHINE\\Software\\VORN\\TOWAGI\\RUVOZEZ]\r\n\"REGCURRENTUSER\"="
                                "dword:00000001\r\n",
                            "test"));
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"import", file}, std::vector<std::string>{"/s", file}}) {
        Outcome imported = RunReg(dir, command);
        EXPECT_EQ(imported.exitCode, 0) << command[0] << imported.err;
        EXPECT_EQ(imported.out.empty(), command[0] == "/s") << command[0] << imported.out;
    }
    Outcome query = RunReg(dir, {"query", "HKCU\\" + kUpdateKey});
    EXPECT_EQ(query.exitCode, 0) << query.err;
    EXPECT_EQ(query.out, "\nHKEY_CURRENT_USER\\" + kUpdateKey +
                             "\n"
                             "    FTP_HOST    REG_SZ    ftp.example.jp\n"
                             "    名前    REG_SZ    積算『とわぎ』\n"
                             "    PATH1    REG_SZ    C:\\VORN\\UPDATE\\\n"
                             "    RETRY    REG_DWORD    0xa\n\n");
    // Each section went to its own hive.
    EXPECT_EQ(RunReg(dir, {"query", "HKLM\\" + kUpdateKey}).exitCode, 1);
    Outcome machine =
        RunReg(dir, {"query", "HKEY_LOCAL_MACHINE\\software\\vorn\\towagi\\ruvozez", "/v", "regcurrentuser"});
    EXPECT_EQ(machine.exitCode, 0) << machine.err;
    EXPECT_TRUE(Contains(machine.out, "    REGCURRENTUSER    REG_DWORD    0x1\n")) << machine.out;
    // The parent keys appear as sub-keys.
    Outcome parent = RunReg(dir, {"query", "HKCU\\Software\\VORN\\TOWAGI\\RUVOZEZ"});
    EXPECT_EQ(parent.out, "\nHKEY_CURRENT_USER\\Software\\VORN\\TOWAGI\\RUVOZEZ\n\n"
                          "HKEY_CURRENT_USER\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\n");
}

TEST(TowagiReg, ImportReportsWhatItCannotWriteAndKeepsWhatCameBefore) {
    ScopedHives hives;
    TempDir dir;
    struct Case {
        std::string name, text, errorPart;
        std::vector<std::string> written, notWritten;
    };
    for (const auto& c : std::vector<Case>{
             {"other hive",
              "[HKEY_CLASSES_ROOT\\.reg]\n@=\"regfile\"\n[HKEY_CURRENT_USER\\K]\n\"a\"=\"1\"\n",
              "HKEY_CLASSES_ROOT",
              {"a"},
              {}},
             {"bad dword",
              "[HKEY_CURRENT_USER\\K]\n\"a\"=\"1\"\n\"b\"=dword:xyz\n\"c\"=\"3\"\n",
              "dword:xyz",
              {"a"},
              {"b", "c"}},
         }) {
        CurrentSettingsStore().DeleteKey(Hive::User, "K"); // each case starts without the key
        WriteFile(dir.File("bad.reg"), c.text);
        Outcome imported = RunReg(dir, {"import", dir.File("bad.reg")});
        EXPECT_EQ(imported.exitCode, 1) << c.name;
        EXPECT_TRUE(Contains(imported.err, c.errorPart)) << c.name << ": " << imported.err;
        auto key = CurrentSettingsStore().OpenKey(Hive::User, "K", false, KeyAccess::Read);
        ASSERT_TRUE(key) << c.name;
        for (const std::string& name : c.written)
            EXPECT_TRUE(key->ValueExists(name)) << c.name << " " << name;
        for (const std::string& name : c.notWritten)
            EXPECT_FALSE(key->ValueExists(name)) << c.name << " " << name;
    }
    Outcome missing = RunReg(dir, {"import", dir.File("missing.reg")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(Contains(missing.err, dir.File("missing.reg"))) << missing.err;
}

TEST(TowagiReg, AddQueryDelete) {
    ScopedHives hives;
    TempDir dir;
    const std::string key = "HKLM\\Software\\VORN\\TOWAGI";
    struct Step {
        std::vector<std::string> args;
        int exitCode;
        std::string outPart; // empty: not checked
        std::string input = "";
    };
    for (const auto& step : std::vector<Step>{
             {{"query", key}, 1, ""},
             {{"add", key + "\\Sub"}, 0, "この操作を正しく終了しました。"},
             {{"add", key, "/v", "Host", "/d", "ftp.example.jp"}, 0, ""},
             {{"add", key, "/v", "Folder", "/d", "/srv/towagi/update"}, 0, ""},
             {{"add", key, "/v", "Count", "/t", "REG_DWORD", "/d", "0xffffffff"}, 0, ""},
             {{"add", key, "/v", "Ten", "/t", "reg_dword", "/d", "10"}, 0, ""},
             {{"add", key, "/ve", "/d", "既定の値"}, 0, ""},
             {{"query", key},
              0,
              "\nHKEY_LOCAL_MACHINE\\Software\\VORN\\TOWAGI\n"
              "    Host    REG_SZ    ftp.example.jp\n"
              "    Folder    REG_SZ    /srv/towagi/update\n"
              "    Count    REG_DWORD    0xffffffff\n"
              "    Ten    REG_DWORD    0xa\n"
              "    (既定)    REG_SZ    既定の値\n"
              "\nHKEY_LOCAL_MACHINE\\Software\\VORN\\TOWAGI\\Sub\n"},
             {{"query", "hkey_local_machine\\software\\vorn\\towagi", "/v", "HOST"},
              0,
              "\nHKEY_LOCAL_MACHINE\\software\\vorn\\towagi\n    Host    REG_SZ    ftp.example.jp\n\n"},
             // An existing value is replaced only with /f or the user's Yes.
             {{"add", key, "/v", "Host", "/d", "other"}, 1, "上書きしますか", ""},
             {{"add", key, "/v", "Host", "/d", "other"}, 1, "操作は取り消されました。", "no\n"},
             {{"query", key, "/v", "Host"}, 0, "ftp.example.jp"},
             {{"add", key, "/v", "Host", "/d", "yes.example.jp"},
              0,
              "この操作を正しく終了しました。",
              "yes\n"},
             {{"add", key, "/v", "Host", "/d", "forced.example.jp", "/f"}, 0, ""},
             {{"query", key, "/v", "Host"}, 0, "forced.example.jp"},
             {{"delete", key, "/v", "Host"}, 1, "", ""},
             {{"delete", key, "/v", "Host", "/f"}, 0, ""},
             {{"query", key, "/v", "Host"}, 1, ""},
             {{"delete", key, "/v", "Host", "/f"}, 1, ""},
             {{"delete", key, "/ve", "/f"}, 0, ""},
             {{"delete", key, "/va", "/f"}, 0, ""},
             {{"query", key},
              0,
              "\nHKEY_LOCAL_MACHINE\\Software\\VORN\\TOWAGI\n\nHKEY_LOCAL_"
              "MACHINE\\Software\\VORN\\TOWAGI\\Sub\n"},
             {{"delete", "HKLM\\Software\\VORN", "/f"}, 0, ""},
             {{"query", key}, 1, ""},
             {{"query", "HKLM\\Software"}, 0, "\nHKEY_LOCAL_MACHINE\\Software\n\n"},
             {{"delete", "HKLM\\Software\\VORN", "/f"}, 1, ""},
         }) {
        std::string label;
        for (const std::string& arg : step.args)
            label += arg + " ";
        Outcome outcome = RunReg(dir, step.args, step.input);
        EXPECT_EQ(outcome.exitCode, step.exitCode) << label << outcome.err;
        if (!step.outPart.empty()) {
            bool whole = step.outPart.front() == '\n';
            if (whole)
                EXPECT_EQ(outcome.out, step.outPart) << label;
            else
                EXPECT_TRUE(Contains(outcome.out, step.outPart)) << label << outcome.out;
        }
    }
}

TEST(TowagiReg, RefusesWhatItDoesNotUnderstand) {
    ScopedHives hives;
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string errorPart;
    };
    for (const auto& c : std::vector<Case>{
             {{}, "無効な構文"},
             {{"copy", "HKLM\\A", "HKLM\\B"}, "無効な構文"},
             {{"query"}, "無効な構文"},
             {{"query", "HKLM\\A", "HKLM\\B"}, "無効な構文"},
             {{"query", "HKCR\\.reg"}, "無効なキー名"},
             {{"query", "Software\\VORN"}, "無効なキー名"},
             {{"add", "HKLM\\A", "/v"}, "無効な構文"},
             {{"add", "HKLM\\A", "/v", "x", "/ve"}, "無効な構文"},
             {{"add", "HKLM\\A", "/v", "x", "/t", "REG_BINARY", "/d", "00"}, "REG_BINARY"},
             {{"add", "HKLM\\A", "/v", "x", "/t", "REG_DWORD", "/d", "0x100000000"}, "REG_DWORD"},
             {{"add", "HKLM\\A", "/v", "x", "/t", "REG_DWORD", "/d", "ten"}, "REG_DWORD"},
             {{"delete", "HKLM", "/f"}, "無効なキー名"},
             {{"export", "HKLM\\Missing", dir.File("x.reg")}, "見つかりません"},
             {{"/s"}, "無効な構文"},
         }) {
        std::string label;
        for (const std::string& arg : c.args)
            label += arg + " ";
        Outcome outcome = RunReg(dir, c.args);
        EXPECT_EQ(outcome.exitCode, 1) << label;
        EXPECT_TRUE(Contains(outcome.err, c.errorPart)) << label << outcome.err;
    }
    EXPECT_FALSE(CurrentSettingsStore().OpenKey(Hive::Machine, "A", false, KeyAccess::Read));
    Outcome help = RunReg(dir, {"/?"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(Contains(help.out, "towagi-reg import")) << help.out;
}

// A hive the user cannot write, or one that does not exist, is named with the variable that chooses another.
TEST(TowagiReg, TheHiveFileAndItsVariableExplainARefusal) {
    ScopedHives hives;
    TempDir dir;
    const std::string unwritable = "/proc/towagi/machine.hive"; // a folder that cannot be made, also for root
    struct Case {
        std::string name;
        std::optional<std::string> machineHive; // nullopt: the default
        std::vector<std::string> args;
        std::string errorPart;
    };
    std::vector<Case> cases{
        {"add to an unwritable hive", unwritable, {"add", "HKLM\\A", "/v", "x", "/d", "1", "/f"},
         "エラー: アクセスが拒否されました。\n設定ストア[" + unwritable +
             "]に書き込めません。書き込めるファイルを環境変数TOWAGI_MACHINE_HIVEで指定するか、"
             "管理者にこのファイルへの書き込みを許可してもらってください。\n"},
        {"import into an unwritable hive", unwritable, {"import", dir.File("a.reg")},
         "エラー: キー HKEY_LOCAL_MACHINE\\A を開けません。アクセスが拒否されました。\n設定ストア[" + unwritable +
             "]に書き込めません。"},
        {"query a missing hive", unwritable, {"query", "HKLM\\A"},
         "エラー: 指定されたレジストリ キーまたは値が見つかりませんでした。\n設定ストア[" + unwritable +
             "]がありません。別のファイルは環境変数TOWAGI_MACHINE_HIVEで指定できます。\n"},
        {"query a missing key of a hive that exists", hives.MachineHive(), {"query", "HKLM\\Missing"},
         "エラー: 指定されたレジストリ キーまたは値が見つかりませんでした。\n"},
    };
    // An ordinary user and the default machine hive, which only an installation may create.
    if (geteuid() != 0 && access("/var/lib/towagi", W_OK) != 0)
        cases.push_back({"the default machine hive", std::nullopt, {"add", "HKLM\\A", "/f"},
                         "環境変数TOWAGI_MACHINE_HIVEで指定するか"});
    WriteFile(dir.File("a.reg"), "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n");
    // The hive of the last case exists.
    ASSERT_TRUE(WriteMachineString("\\B", "y", "1", true));
    for (const auto& c : cases) {
        testing::ScopedEnv machine("TOWAGI_MACHINE_HIVE", c.machineHive);
        Outcome outcome = RunReg(dir, c.args);
        EXPECT_EQ(outcome.exitCode, 1) << c.name;
        EXPECT_TRUE(Contains(outcome.err, c.errorPart)) << c.name << ": " << outcome.err;
    }
}

TEST(TowagiReg, TellsItsVersion) {
    TempDir dir;
    Outcome version = RunReg(dir, {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("towagi-reg ") + TOWAGI_VERSION + "\n");
    Outcome help = RunReg(dir, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* part : {"--version", "TOWAGI_MACHINE_HIVE", "/var/lib/towagi/machine.hive", "TOWAGI_USER_HIVE"})
        EXPECT_TRUE(Contains(help.out, part)) << part;
}

TEST(TowagiReg, ExportThenImportGivesTheSameKeys) {
    ScopedHives hives;
    TempDir dir;
    auto& store = CurrentSettingsStore();
    auto root = store.OpenKey(Hive::Machine, "Software\\VORN\\TOWAGI", true, KeyAccess::ReadWrite);
    root->WriteString("Path", "C:\\Program Files\\VORN\\");
    root->WriteString("Quote", "say \"hi\" \\\"x\\\"");
    root->WriteString("名前", "積算『とわぎ』①髙");
    root->WriteString("", "default");
    root->WriteString("Padded", "  two blanks  ");
    root->WriteString("Blank", "");
    root->WriteInteger("Minus", -1);
    root->WriteInteger("Ten", 10);
    store.OpenKey(Hive::Machine, "Software\\VORN\\TOWAGI\\Empty", true, KeyAccess::ReadWrite);
    store.OpenKey(Hive::Machine, "Software\\VORN\\TOWAGI\\Sub\\Deeper", true, KeyAccess::ReadWrite)
        ->WriteString("Folder", "/srv/towagi/");
    std::vector<std::string> before;
    Dump(Hive::Machine, "Software\\VORN", before);

    const std::string file = dir.File("export.reg");
    Outcome exported = RunReg(dir, {"export", "HKLM\\Software\\VORN", file});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    const std::string bytes = ReadFile(file);
    EXPECT_EQ(bytes.rfind(
                  "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\VORN]\r\n", 0),
              0u)
        << bytes;
    EXPECT_TRUE(Contains(bytes, ToCP932("\"名前\"=\"積算『とわぎ』①髙\"\r\n", "test")));
    EXPECT_TRUE(Contains(bytes, "\"Minus\"=dword:ffffffff\r\n"));
    EXPECT_TRUE(Contains(bytes, "\"Blank\"=\"\"\r\n"));
    EXPECT_TRUE(Contains(bytes, "\"Path\"=\"C:\\\\Program Files\\\\VORN\\\\\"\r\n"));

    // Without /y an existing file is kept unless the user agrees.
    EXPECT_EQ(RunReg(dir, {"export", "HKLM\\Software\\VORN", file}).exitCode, 1);
    EXPECT_EQ(ReadFile(file), bytes);
    EXPECT_EQ(RunReg(dir, {"export", "HKLM\\Software\\VORN", file, "/y"}).exitCode, 0);

    ASSERT_TRUE(store.DeleteKey(Hive::Machine, "Software\\VORN"));
    Outcome imported = RunReg(dir, {"import", file});
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
    std::vector<std::string> after;
    Dump(Hive::Machine, "Software\\VORN", after);
    EXPECT_EQ(after, before);
}

} // namespace
} // namespace towagi
