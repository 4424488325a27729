#include "platform/batch_runner.h"

#include "support/encoding.h"
#include "support/file_utils.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

namespace towagi {
namespace {

namespace fs = std::filesystem;

using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempDir;
using testing::WriteFile;

void WriteScript(const std::string& path, const std::string& body, mode_t mode = 0755) {
    WriteFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), mode);
}

// A folder to run batch lines in, with its own PATH: a fake systemctl that prints the listing of loaded units
// it is given and records how it was asked, and the system's own tools behind it; two unit folders and an
// init script folder of its own.
class BatchFolder {
public:
    BatchFolder() : old_(fs::current_path()), path_("PATH", dir_.File("bin") + ":/usr/bin:/bin") {
        fs::create_directories(dir_.File("bin"));
        fs::create_directories(dir_.File("init.d"));
        fs::create_directories(dir_.File("etc-units"));
        fs::create_directories(dir_.File("lib-units"));
        fs::current_path(dir_.Path());
    }
    ~BatchFolder() { fs::current_path(old_); }

    std::string File(const std::string& name) const { return dir_.File(name); }
    TServiceSources Sources() const { return {{File("etc-units"), File("missing-units"), File("lib-units")}, File("init.d")}; }
    std::string Read(const std::string& name) const { return fs::exists(File(name)) ? ReadFile(File(name)) : "(none)"; }

    void Systemctl(const std::string& units, int exitCode = 0) {
        WriteFile(File("units.txt"), units);
        WriteScript(File("bin/systemctl"), "echo \"$*\" >> '" + File("systemctl-calls.txt") + "'\n"
                                           "cat '" + File("units.txt") + "'\nexit " + std::to_string(exitCode) + "\n");
    }
    // Installed unit files: a loaded one again, a disabled one, a masked one, a template, and what is no unit.
    void UnitFiles() const {
        WriteFile(File("etc-units/cron.service"), "[Unit]\n");
        fs::create_symlink("/dev/null", File("etc-units/masked.service"));
        fs::create_directories(File("etc-units/cron.service.d"));
        WriteFile(File("lib-units/FirebirdServer_1_5.service"), "[Unit]\n");
        WriteFile(File("lib-units/cron.service"), "[Unit]\n");
        WriteFile(File("lib-units/getty@.service"), "[Unit]\n");
        WriteFile(File("lib-units/local-fs.target"), "[Unit]\n");
    }

private:
    TempDir dir_;
    fs::path old_;
    ScopedEnv path_;
};

const std::string kUnits = "cron.service     loaded active running Regular background program processing daemon\n"
                           "\xE2\x97\x8F legacy.service loaded failed failed Legacy FirebirdGuardian wrapper\n";

TEST(ListServices, UnitsUnitFilesAndInitScriptsOnce) {
    BatchFolder folder;
    folder.Systemctl(kUnits);
    folder.UnitFiles();
    WriteScript(folder.File("init.d/oldfirebird"), "");
    WriteScript(folder.File("init.d/cron"), "");
    WriteScript(folder.File("init.d/README"), "");
    WriteScript(folder.File("init.d/not-a-script"), "", 0644);
    const std::vector<TServiceInfo> services = ListServices(folder.Sources());
    std::vector<std::string> seen;
    for (const auto& s : services) seen.push_back(s.Name + "|" + s.DisplayName + "|" + (s.Running ? "run" : "stop"));
    EXPECT_EQ(seen, (std::vector<std::string>{"cron|Regular background program processing daemon|run",
                                              "legacy|Legacy FirebirdGuardian wrapper|stop",
                                              "masked|masked|stop",
                                              "FirebirdServer_1_5|FirebirdServer_1_5|stop",
                                              "oldfirebird|oldfirebird|stop"}));
    EXPECT_EQ(folder.Read("systemctl-calls.txt"), "list-units --type=service --all --no-legend --no-pager --plain\n");
}

TEST(ListServices, ASystemctlThatFailsOrIsMissingAddsNothing) {
    BatchFolder folder;
    WriteScript(folder.File("init.d/oldfirebird"), "");
    folder.Systemctl(kUnits, 1);
    folder.UnitFiles();
    std::vector<std::string> names;
    for (const auto& s : ListServices(folder.Sources())) names.push_back(s.Name);
    EXPECT_EQ(names, (std::vector<std::string>{"cron", "masked", "FirebirdServer_1_5", "oldfirebird"}));
    fs::remove(folder.File("bin/systemctl"));
    ScopedEnv path("PATH", folder.File("bin"));
    names.clear();
    for (const auto& s : ListServices({{}, folder.File("init.d")})) names.push_back(s.Name);
    EXPECT_EQ(names, std::vector<std::string>{"oldfirebird"});
}

// Without systemd running systemctl could only fail: it is not asked, and the unit files and init scripts
// are listed as ever.
TEST(ListServices, SystemctlIsAskedOnlyWhileSystemdRuns) {
    BatchFolder folder;
    folder.Systemctl(kUnits);
    folder.UnitFiles();
    WriteScript(folder.File("init.d/oldfirebird"), "");
    TServiceSources sources = folder.Sources();
    sources.SystemdRunning = false;
    std::vector<std::string> names;
    for (const auto& s : ListServices(sources)) names.push_back(s.Name);
    EXPECT_EQ(names, (std::vector<std::string>{"cron", "masked", "FirebirdServer_1_5", "oldfirebird"}));
    EXPECT_EQ(folder.Read("systemctl-calls.txt"), "(none)");
}

TEST(SystemServiceSources, UnitPathAndServiceManagerFromTheEnvironment) {
    const std::vector<std::string> usual = [] {
        ScopedEnv unset("SYSTEMD_UNIT_PATH", std::nullopt);
        return SystemServiceSources().UnitFolders;
    }();
    ASSERT_FALSE(usual.empty());
    EXPECT_EQ(usual.front(), "/etc/systemd/system.control");
    EXPECT_EQ(SystemServiceSources().InitScriptFolder, "/etc/init.d");
    struct Case {
        std::optional<std::string> unitPath;
        std::vector<std::string> before; // folders in front of the usual path
        bool usualToo;
    };
    for (const auto& c : std::vector<Case>{{"/srv/units", {"/srv/units"}, false},
                                          {"/srv/a:/srv/b", {"/srv/a", "/srv/b"}, false},
                                          {"/srv/a::/srv/b", {"/srv/a", "/srv/b"}, false},
                                          // An empty last component appends the usual path.
                                          {"/srv/a:", {"/srv/a"}, true},
                                          {"", {}, true}}) {
        ScopedEnv unitPath("SYSTEMD_UNIT_PATH", c.unitPath);
        std::vector<std::string> want = c.before;
        if (c.usualToo) want.insert(want.end(), usual.begin(), usual.end());
        EXPECT_EQ(SystemServiceSources().UnitFolders, want) << *c.unitPath;
    }
    struct Manager {
        std::optional<std::string> value;
        bool running;
    };
    const bool booted = fs::is_directory(kSystemdRuntimeFolder);
    for (const auto& m : std::vector<Manager>{
             {"systemd", true}, {"SYSTEMD", true}, {"none", false}, {std::nullopt, booted}, {"", booted}}) {
        ScopedEnv manager(kServiceManagerVariable, m.value);
        EXPECT_EQ(SystemServiceSources().SystemdRunning, m.running) << m.value.value_or("(unset)");
    }
}

TEST(TBatchRunner, ScQueryListsLikeTheServiceControlTool) {
    BatchFolder folder;
    folder.Systemctl(kUnits);
    WriteFile(folder.File("lib-units/FirebirdServer_1_5.service"), "[Unit]\n");
    TBatchRunner runner(folder.Sources());
    EXPECT_EQ(runner.RunLine("sc query state= all > all.txt & sc query > active.txt & SC.EXE query state= inactive > "
                             "inactive.txt"),
              0);
    const std::string cron = "\r\nSERVICE_NAME: cron\r\nDISPLAY_NAME: Regular background program processing daemon\r\n"
                             "        STATE              : 4  RUNNING\r\n";
    const std::string others = "\r\nSERVICE_NAME: legacy\r\nDISPLAY_NAME: Legacy FirebirdGuardian wrapper\r\n"
                               "        STATE              : 1  STOPPED\r\n"
                               "\r\nSERVICE_NAME: FirebirdServer_1_5\r\nDISPLAY_NAME: FirebirdServer_1_5\r\n"
                               "        STATE              : 1  STOPPED\r\n";
    EXPECT_EQ(folder.Read("all.txt"), cron + others);
    EXPECT_EQ(folder.Read("active.txt"), cron);
    EXPECT_EQ(folder.Read("inactive.txt"), others);
    // One listing serves the whole run.
    EXPECT_EQ(folder.Read("systemctl-calls.txt"), "list-units --type=service --all --no-legend --no-pager --plain\n");
    EXPECT_EQ(runner.RunLine("sc stop cron 2> err.txt"), 1);
    EXPECT_EQ(runner.RunLine("sc query state= running 2> err.txt"), 87);
    EXPECT_EQ(folder.Read("err.txt"), "[SC] パラメーターが正しくありません: running\r\n");
}

TEST(TBatchRunner, FindKeepsTheLinesWithTheText) {
    struct Case {
        std::string command;
        std::string wantOutput;
        int wantCode;
    };
    for (const auto& c : std::vector<Case>{
             {"find \"Fire\"", "Firebird\r\n", 0},
             {"find /i \"FIRE\"", "fire\r\nFirebird\r\n", 0},
             {"FIND /I /V \"fire\"", "Server\r\n", 0},
             {"find /c /i \"fire\"", "2\r\n", 0},
             {"find /n \"Server\"", "[3]Server\r\n", 0},
             {"find \"nothing\"", "", 1},
             {"find /x \"a\"", "", 2},
             {"find", "", 2},
             {"find \"a\" in.txt", "", 2},
         }) {
        BatchFolder folder;
        WriteFile(folder.File("in.txt"), "fire\r\nFirebird\nServer");
        TBatchRunner runner(folder.Sources());
        EXPECT_EQ(runner.RunLine(c.command + " < in.txt > out.txt 2> err.txt"), c.wantCode) << c.command;
        EXPECT_EQ(folder.Read("out.txt"), c.wantOutput) << c.command;
        EXPECT_EQ(folder.Read("err.txt").empty(), c.wantCode != 2) << c.command;
    }
}

TEST(TBatchRunner, LinesAsTheCommandInterpreterReadsThem) {
    struct Case {
        std::string line;
        std::string wantOutput; // out.txt afterwards; "(none)" when it was never made
        int wantCode;
    };
    for (const auto& c : std::vector<Case>{
             {"echo a> out.txt & echo b>> out.txt", "a\r\nb\r\n", 0},
             {"echo a>out.txt&&echo b>>out.txt", "a\r\nb\r\n", 0},
             {"sh -c \"exit 3\" && echo no> out.txt", "(none)", 3},
             {"sh -c \"exit 3\" || echo yes> out.txt", "yes\r\n", 0},
             {"nosuch 2> nul || echo failed> out.txt", "failed\r\n", 0},
             {"echo a ^& b ^| c> out.txt", "a & b | c\r\n", 0},
             {"echo \"a & b | c\" > out.txt", "\"a & b | c\"\r\n", 0},
             {"@echo off > out.txt", "", 0},
             {"echo.> out.txt", "\r\n", 0},
             {"echo> out.txt", "ECHO は <ON> です。\r\n", 0},
             {"rem echo a > out.txt", "(none)", 0},
             {":: echo a > out.txt", "(none)", 0},
             {"  @ECHO 本社> out.txt", "本社\r\n", 0},
             {"echo %TOWAGI_BATCH_TEST%> out.txt", "value\r\n", 0},
             {"echo %towagi_batch_test%> out.txt", "value\r\n", 0},
             {"echo [%TOWAGI_UNSET_XYZ%]> out.txt", "[]\r\n", 0},
             {"echo 100%%> out.txt", "100%\r\n", 0},
             {"echo Firebird| find \"Fire\" | find /c \"bird\" > out.txt", "1\r\n", 0},
             {"echo hi| cat > out.txt", "hi\r\n", 0},
             {"echo hi > nul", "(none)", 0},
             {"args.sh \"a b\" c > out.txt", "2:a b|c\n", 0},
             {"C:\\TOOLS\\args.sh x > out.txt", "1:x|\n", 0},
             {"nosuch > out.txt 2>&1", "'nosuch' は、内部コマンドまたは外部コマンド、\r\n操作可能なプログラムまたはバッチ ファイルとして認識されていません。\r\n", 9009},
             {"echo a > missing/out.txt 2> nul & echo b> out.txt", "b\r\n", 0},
             {"echo a | | find \"a\" > out.txt", "(none)", 1},
             {"echo a > ", "(none)", 1},
         }) {
        BatchFolder folder;
        WriteScript(folder.File("bin/args.sh"), "echo \"$#:$1|$2\"\n");
        ScopedEnv variable("TOWAGI_BATCH_TEST", "value");
        ScopedEnv unset("TOWAGI_UNSET_XYZ", std::nullopt);
        TBatchRunner runner(folder.Sources());
        EXPECT_EQ(runner.RunLine(c.line), c.wantCode) << c.line;
        EXPECT_EQ(folder.Read("out.txt"), c.wantOutput) << c.line;
    }
}

// The service query as the launcher writes it, with %WINDIR% set or not: the command counts by its name.
TEST(TBatchRunner, WindowsPathsNameTheBuiltInCommands) {
    for (const std::optional<std::string>& windir : {std::optional<std::string>(), std::optional<std::string>("C:\\Windows")}) {
        BatchFolder folder;
        folder.Systemctl(kUnits);
        WriteFile(folder.File("lib-units/FirebirdServer_1_5.service"), "[Unit]\n");
        ScopedEnv variable("WINDIR", windir);
        TBatchRunner runner(folder.Sources());
        runner.RunLine("sc query state= all | %WINDIR%\\SYSTEM32\\find /i \"firebirdguardian\" > out.txt & "
                       "sc query state= all | %WINDIR%\\SYSTEM32\\find /i \"FIREBIRDSERVER_1_5\" >> out.txt");
        EXPECT_EQ(folder.Read("out.txt"), "DISPLAY_NAME: Legacy FirebirdGuardian wrapper\r\n"
                                          "SERVICE_NAME: FirebirdServer_1_5\r\nDISPLAY_NAME: FirebirdServer_1_5\r\n")
            << windir.value_or("unset");
    }
}

TEST(TBatchRunner, FilesRunLineByLineWithTheirArguments) {
    BatchFolder folder;
    WriteFile(folder.File("job.bat"), ToCP932("@echo off\r\nnosuch 2> nul\r\necho %ERRORLEVEL%> level.txt\r\n"
                                              "echo 支店 %1 [%2] %*> out.txt\r\necho %0>> out.txt\r\n"
                                              "echo %~dp0>> out.txt\r\nsh -c \"exit 4\"\r\n\r\n",
                                              "job.bat"));
    TBatchRunner runner(folder.Sources());
    EXPECT_EQ(runner.RunFile(folder.File("job.bat"), {"本社", "x"}), 4);
    EXPECT_EQ(folder.Read("out.txt"), "支店 本社 [x] 本社 x\r\n" + folder.File("job.bat") + "\r\n" +
                                          folder.File("") + "\r\n");
    EXPECT_EQ(folder.Read("level.txt"), "9009\r\n");

    WriteFile(folder.File("utf8.bat"), "\xEF\xBB\xBF" "echo 髙①> out.txt\r\n");
    EXPECT_EQ(TBatchRunner(folder.Sources()).RunFile(folder.File("utf8.bat")), 0);
    EXPECT_EQ(folder.Read("out.txt"), "髙①\r\n");

    // A line that does not convert stops the file; the lines before it ran.
    WriteFile(folder.File("broken.bat"), "echo before> out.txt\r\necho \x81\r\necho after> out.txt\r\n");
    EXPECT_EQ(TBatchRunner(folder.Sources()).RunFile(folder.File("broken.bat")), 1);
    EXPECT_EQ(folder.Read("out.txt"), "before\r\n");

    EXPECT_EQ(TBatchRunner(folder.Sources()).RunFile(folder.File("missing.bat")), 1);
}

// A run inside another program reads and writes the descriptors it is given; with a hidden window the
// programs it starts have no terminal (a session of their own).
TEST(TBatchRunner, TheConsoleGivesTheStandardStreams) {
    BatchFolder folder;
    WriteFile(folder.File("in.txt"), "fire\r\nFirebird\r\n");
    WriteScript(folder.File("bin/session.sh"),
                "read -r _ _ _ _ _ sid _ < /proc/$$/stat\n[ \"$sid\" = \"$$\" ] && echo own || echo shared\n");
    for (const StartWindow window : {StartWindow::Normal, StartWindow::Hidden}) {
        FileDescriptor input(open(folder.File("in.txt").c_str(), O_RDONLY | O_CLOEXEC));
        FileDescriptor output(open(folder.File("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        FileDescriptor error(open(folder.File("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        TBatchRunner runner(folder.Sources(), {.Input = input.Get(), .Output = output.Get(), .Error = error.Get(),
                                               .Window = window});
        EXPECT_EQ(runner.RunLine("find /c \"bird\" & session.sh & nosuch"), 9009);
        EXPECT_EQ(runner.RunLine("echo a | | find \"a\""), 1);
        const bool hidden = window == StartWindow::Hidden;
        EXPECT_EQ(folder.Read("out.txt"), std::string("1\r\n") + (hidden ? "own\n" : "shared\n")) << hidden;
        EXPECT_EQ(folder.Read("err.txt"),
                  "'nosuch' は、内部コマンドまたは外部コマンド、\r\n操作可能なプログラムまたはバッチ ファイルとして認識されていません。\r\n"
                  "| の使い方が誤っています。\r\n")
            << hidden;
    }
}

} // namespace
} // namespace towagi
