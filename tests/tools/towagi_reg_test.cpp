#include "platform/settings_store.h"
#include "support/encoding.h"
#include "support/settings.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

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
    // A tool that hangs (on a FIFO, a lock) fails the test instead of holding it.
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
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
    const std::vector<std::string> children = key->SubKeyNames();
    key.reset(); // one open key at a time, however deep the tree
    for (const std::string& child : children)
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

std::vector<std::string> DumpHive(Hive hive) {
    std::vector<std::string> lines;
    Dump(hive, "", lines);
    return lines;
}

// Every feature of the registry editor's format, and what each line leaves in the store.
TEST(TowagiReg, ReadsRegistryFilesAsTheRegistryEditorDoes) {
    ScopedHives hives;
    TempDir dir;
    auto old = CurrentSettingsStore().OpenKey(Hive::User, "Old\\Deep", true, KeyAccess::ReadWrite);
    old->WriteString("x", "1");
    old.reset();
    WriteFile(dir.File("all.reg"), "REGEDIT4\r\n"
                                   "; a comment\r\n"
                                   "\r\n"
                                   "[HKEY_CURRENT_USER\\K]\r\n"
                                   "@=\"default\"\r\n"
                                   "\"quote\"=\"say \\\"hi\\\" \\\\ end\"\r\n"
                                   "\"s\"=\"see dword:12\"\r\n"
                                   "\"n\"=dword:0000000a\r\n"
                                   "\"short\"=DWORD:ff\r\n"
                                   "\"bin\"=hex:01,02,\\\r\n"
                                   "  03\r\n"
                                   "\"multi\"=hex(7):41,00, 00,00\r\n"
                                   "\"empty\"=hex:\r\n"
                                   "\"a=b \\\"q\\\"\"=\"name with = and quotes\"\r\n"
                                   "  \"indented\" = \"blanks around =\"  \r\n"
                                   "\"gone\"=\"1\"\r\n"
                                   "\"gone\"=-\r\n"
                                   "\"twice\"=\"first\"\r\n"
                                   "\"twice\"=\"second\"\r\n"
                                   "\"blank\"=\"\"\r\n"
                                   "\r\n"
                                   "[HKEY_CURRENT_USER\\K\\Sub]\r\n"
                                   "[-HKEY_CURRENT_USER\\Old]\r\n"
                                   "[hkey_local_machine\\M]\r\n"
                                   "\"m\"=dword:ffffffff\r\n");
    Outcome imported = RunReg(dir, {"import", dir.File("all.reg")});
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_EQ(DumpHive(Hive::User),
              (std::vector<std::string>{"[]", "[\\K]", "=T:default", "quote=T:say \"hi\" \\ end",
                                        "s=T:see dword:12", "n=I:10", "short=I:255", "bin=T:hex:01,02,03",
                                        "multi=T:hex(7):41,00,00,00", "empty=T:hex:",
                                        "a=b \"q\"=T:name with = and quotes", "indented=T:blanks around =",
                                        "twice=T:second", "blank=T:", "[\\K\\Sub]"}));
    EXPECT_EQ(DumpHive(Hive::Machine), (std::vector<std::string>{"[]", "[\\M]", "m=I:-1"}));
}

// A bad line anywhere refuses the whole file: what came before it is not written either.
TEST(TowagiReg, AMalformedFileIsRefusedWithItsLineAndChangesNothing) {
    ScopedHives hives;
    TempDir dir;
    auto key = CurrentSettingsStore().OpenKey(Hive::User, "K", true, KeyAccess::ReadWrite);
    key->WriteString("keep", "old");
    CurrentSettingsStore().OpenKey(Hive::User, "Old\\Deep", true, KeyAccess::ReadWrite)->WriteInteger("x", 1);
    key.reset();
    const std::vector<std::string> before = DumpHive(Hive::User);
    // Changes that a refused file must not leave behind, then the line under test as line 6.
    const std::string valid = "Windows Registry Editor Version 5.00\n\n[-HKEY_CURRENT_USER\\Old]\n"
                              "[HKEY_CURRENT_USER\\K]\n\"keep\"=\"new\"\n";
    struct Case {
        std::string text, errorPart;
    };
    for (const auto& c : std::vector<Case>{
             {valid + "[HKEY_CURRENT_USER\\K]\nabc=\"v\"\n", "7行目"},
             {valid + "\"b\"=\"ab\n", "6行目が正しくありません: 文字列が \" で閉じられていません"},
             {valid + "\"a\"=dword:xyz\n", "6行目が正しくありません: dword:"},
             {valid + "\"a\"=dword:123456789\n", "6行目"},
             {valid + "\"a\"=dword:\n", "6行目"},
             {valid + "[HKEY_CURRENT_USER\\K]\n\"a\"=\"x\" junk\n", "7行目が正しくありません: 文字列を閉じる"},
             {valid + "[HKEY_CURRENT_USER\\K]\n\"a\"=\"C:\\temp\"\n", "7行目が正しくありません: \"\\t\" は使えません"},
             {valid + "[HKEY_CURRENT_USER\\K]\n\"a\"=\n", "7行目"},
             {valid + "[HKEY_CURRENT_USER\\K]\n\"a\" \"b\"\n", "7行目が正しくありません: 値の名前の後に = がありません"},
             {valid + "[HKEY_CURRENT_USER\\K]\n\"a\"=hex:0g\n", "7行目"},
             {valid + "[HKEY_CURRENT_USER\\K]\n\"a\"=hex:01,,02\n", "7行目"},
             {valid + "[HKEY_CURRENT_USER\\K]\n\"a\"=hex(z):01\n", "7行目"},
             {valid + "[HKEY_CURRENT_USER\\K]\n\"a\"=hex:01,\\\n", "7行目が正しくありません: 行末の \\ の後に続きの行がありません"},
             {valid + "[HKEY_CURRENT_USER\\K\n", "6行目が正しくありません: キーの行が ] で終わっていません"},
             {valid + "[HKEY_CLASSES_ROOT\\.reg]\n", "6行目が正しくありません: ハイブ HKEY_CLASSES_ROOT には書き込めません"},
             {valid + "[HKCU\\K]\n", "ハイブ HKCU には"},
             {valid + "[-HKEY_CURRENT_USER]\n", "6行目が正しくありません: ハイブ全体は削除できません"},
             {valid + "[-HKEY_CURRENT_USER\\K]\n\"a\"=\"1\"\n", "7行目が正しくありません: 削除するキー"},
             {valid + "[HKEY_CURRENT_USER\\New\\Key]\n\"a\"=\"1\"\nabc\n", "8行目"},

             {"REGEDIT4\n\"a\"=\"1\"\n[HKEY_CURRENT_USER\\K]\n", "2行目が正しくありません: 値の行の前にキーの行"},
             {"garbage", "はレジストリファイルではありません"},
             {"", "はレジストリファイルではありません"},
             {"\n" + valid, "はレジストリファイルではありません"},
             {"[HKEY_CURRENT_USER\\K]\n\"keep\"=\"new\"\n", "はレジストリファイルではありません"},
             {"REGEDIT4\n\n; only a comment\n", "にはキーの行([...])が一つもありません"},
         }) {
        WriteFile(dir.File("bad.reg"), c.text);
        Outcome imported = RunReg(dir, {"import", dir.File("bad.reg")});
        EXPECT_EQ(imported.exitCode, 1) << c.text;
        EXPECT_TRUE(imported.out.empty()) << c.text << imported.out;
        EXPECT_TRUE(Contains(imported.err, "レジストリファイル[" + dir.File("bad.reg") + "]")) << imported.err;
        EXPECT_TRUE(Contains(imported.err, c.errorPart)) << c.text << "\n" << imported.err;
        EXPECT_TRUE(Contains(imported.err, "設定は何も変更されていません")) << imported.err;
        EXPECT_EQ(DumpHive(Hive::User), before) << c.text;
    }
    // The silent import refuses in the same words.
    WriteFile(dir.File("bad.reg"), valid + "\"a\"=dword:xyz\n");
    Outcome silent = RunReg(dir, {"/s", dir.File("bad.reg")});
    EXPECT_EQ(silent.exitCode, 1);
    EXPECT_TRUE(Contains(silent.err, "6行目が正しくありません: dword:")) << silent.err;
    EXPECT_EQ(DumpHive(Hive::User), before);
    EXPECT_FALSE(std::filesystem::exists(hives.MachineHive()));
    Outcome missing = RunReg(dir, {"import", dir.File("missing.reg")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(Contains(missing.err, dir.File("missing.reg"))) << missing.err;
}

// What Linux editors write: UTF-8 without a byte-order mark. CP932 and the marked forms still read.
TEST(TowagiReg, RecognisesTheTextEncodingOfARegistryFile) {
    ScopedHives hives;
    TempDir dir;
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\設定]\r\n"
                             "\"名前\"=\"積算『とわぎ』\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"x\"=\"y\"\r\n")) {
        utf16 += c;
        utf16 += '\0';
    }
    struct Case {
        std::string name, bytes, key, value, data;
    };
    for (const auto& c : std::vector<Case>{{"utf8", text, "設定", "名前", "積算『とわぎ』"},
                                           {"bom", "\xEF\xBB\xBF" + text, "設定", "名前", "積算『とわぎ』"},
                                           {"cp932", ToCP932(text, "test"), "設定", "名前", "積算『とわぎ』"},
                                           {"utf16", utf16, "A", "x", "y"}}) {
        CurrentSettingsStore().DeleteKey(Hive::User, c.key);
        WriteFile(dir.File(c.name + ".reg"), c.bytes);
        Outcome imported = RunReg(dir, {"import", dir.File(c.name + ".reg")});
        ASSERT_EQ(imported.exitCode, 0) << c.name << imported.err;
        std::vector<std::string> lines;
        Dump(Hive::User, c.key, lines);
        EXPECT_EQ(lines, (std::vector<std::string>{"[" + c.key + "]", c.value + "=T:" + c.data})) << c.name;
    }
}

// Folders, FIFOs, devices and oversized files are refused before a byte is read, and the tool does not hang.
TEST(TowagiReg, OnlyPlainFilesOfASaneSizeAreImported) {
    ScopedHives hives;
    TempDir dir;
    std::filesystem::create_directory(dir.File("folder.reg"));
    ASSERT_EQ(mkfifo(dir.File("fifo.reg").c_str(), 0600), 0);
    {
        // Sparse: one byte over the limit without writing it.
        WriteFile(dir.File("huge.reg"), "REGEDIT4\n[HKEY_CURRENT_USER\\Huge]\n");
        std::filesystem::resize_file(dir.File("huge.reg"), 64ULL * 1024 * 1024 + 1);
    }
    struct Case {
        std::string path, errorPart;
    };
    for (const auto& c : std::vector<Case>{{dir.File("folder.reg"), "はフォルダです"},
                                           {dir.File("fifo.reg"), "は通常のファイルではありません"},
                                           {"/dev/null", "は通常のファイルではありません"},
                                           {dir.File("huge.reg"), "は大きすぎます(67108865バイト)。読み込めるのは64MBまでです"}}) {
        Outcome imported = RunReg(dir, {"import", c.path});
        EXPECT_EQ(imported.exitCode, 1) << c.path;
        EXPECT_TRUE(Contains(imported.err, "レジストリファイル[" + c.path + "]" + c.errorPart)) << imported.err;
        EXPECT_TRUE(imported.out.empty()) << imported.out;
    }
    EXPECT_EQ(DumpHive(Hive::User), std::vector<std::string>{});
}

// Deeper than SQLite's limit for nested cascades: imported, exported, deleted by a file and by the command.
TEST(TowagiReg, KeysOfAnyDepthAreImportedExportedAndDeleted) {
    ScopedHives hives;
    TempDir dir;
    constexpr int kDepth = 1500;
    std::string path = "Deep";
    for (int i = 1; i < kDepth; ++i) path += "\\k";
    auto bottomValue = [&] {
        std::int32_t value = 0;
        auto key = CurrentSettingsStore().OpenKey(Hive::User, path, false, KeyAccess::Read);
        return key && key->ReadInteger("bottom", value) ? value : 0;
    };
    const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
    WriteFile(dir.File("deep.reg"), header + "[HKEY_CURRENT_USER\\" + path + "]\r\n\"bottom\"=dword:00000007\r\n");
    ASSERT_EQ(RunReg(dir, {"import", dir.File("deep.reg")}).exitCode, 0);
    EXPECT_EQ(bottomValue(), 7);

    Outcome exported = RunReg(dir, {"export", "HKCU\\Deep", dir.File("export.reg")});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    const std::string bytes = ReadFile(dir.File("export.reg"));
    EXPECT_TRUE(Contains(bytes, "[HKEY_CURRENT_USER\\" + path + "]\r\n\"bottom\"=dword:00000007\r\n"));
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '['), kDepth);

    WriteFile(dir.File("delete.reg"), header + "[-HKEY_CURRENT_USER\\Deep]\r\n");
    Outcome deleted = RunReg(dir, {"import", dir.File("delete.reg")});
    EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
    EXPECT_EQ(DumpHive(Hive::User), std::vector<std::string>{"[]"});

    ASSERT_EQ(RunReg(dir, {"import", dir.File("export.reg")}).exitCode, 0);
    EXPECT_EQ(bottomValue(), 7);
    Outcome command = RunReg(dir, {"delete", "HKCU\\Deep", "/f"});
    EXPECT_EQ(command.exitCode, 0) << command.err;
    EXPECT_EQ(DumpHive(Hive::User), std::vector<std::string>{"[]"});
}

// An export that fails keeps the file it would have replaced, and leaves nothing else behind.
TEST(TowagiReg, AnExportAppearsWholeOrNotAtAll) {
    ScopedHives hives;
    TempDir dir;
    std::filesystem::create_directory(dir.File("out"));
    const std::string file = dir.File("out/keys.reg");
    WriteFile(file, "the previous export");
    auto& store = CurrentSettingsStore();
    store.OpenKey(Hive::User, "K\\A", true, KeyAccess::ReadWrite)->WriteString("fine", "ok");
    // No CP932 form: the export fails at this key, after the first one was written.
    store.OpenKey(Hive::User, "K\\B", true, KeyAccess::ReadWrite)->WriteString("emoji", "\xF0\x9F\x98\x80");
    Outcome failed = RunReg(dir, {"export", "HKCU\\K", file, "/y"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_TRUE(Contains(failed.err, "エラー: ")) << failed.err;
    EXPECT_EQ(ReadFile(file), "the previous export");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("out")), {}), 1);

    store.DeleteKey(Hive::User, "K\\B");
    chmod(file.c_str(), 0600);
    Outcome exported = RunReg(dir, {"export", "HKCU\\K", file, "/y"});
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(ReadFile(file), "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n\r\n"
                              "[HKEY_CURRENT_USER\\K\\A]\r\n\"fine\"=\"ok\"\r\n\r\n");
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u); // the replaced file's permissions stay
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("out")), {}), 1);
    Outcome folder = RunReg(dir, {"export", "HKCU\\K", dir.File("out"), "/y"});
    EXPECT_EQ(folder.exitCode, 1);
    EXPECT_TRUE(Contains(folder.err, "はフォルダです")) << folder.err;
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
    // The user's section could be written, but the file is imported whole or not at all.
    WriteFile(dir.File("a.reg"), "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Before]\n\"y\"=\"1\"\n"
                                 "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n");
    // The hive of the last case exists.
    ASSERT_TRUE(WriteMachineString("\\B", "y", "1", true));
    for (const auto& c : cases) {
        testing::ScopedEnv machine("TOWAGI_MACHINE_HIVE", c.machineHive);
        Outcome outcome = RunReg(dir, c.args);
        EXPECT_EQ(outcome.exitCode, 1) << c.name;
        EXPECT_TRUE(Contains(outcome.err, c.errorPart)) << c.name << ": " << outcome.err;
    }
    EXPECT_FALSE(CurrentSettingsStore().OpenKey(Hive::User, "Before", false, KeyAccess::Read));
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
