#include "apply/file_apply.h"

#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "support/errors.h"
#include "support/settings.h"
#include "support/text.h"
#include "transfer/update_settings.h"
#include "tests/common/modal_answer.h"
#include "tests/common/test_env.h"
#include "tests/common/trace_lines.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

namespace towagi {
namespace {

namespace fs = std::filesystem;
using testing::ModalAnswer;
using testing::ReadFile;
using testing::ReadTraceLines;
using testing::ScopedEnv;
using testing::ScopedHives;
using testing::TempDir;
using testing::WriteFile;

// An even local second well in the past: the cost edition compares at two-second resolution.
const std::time_t kBase = EvenLocalSecond(std::time(nullptr) - 100000);

void SetFileTime(const std::string& path, std::time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    testing::Require(utimensat(AT_FDCWD, path.c_str(), times, 0) == 0, "file time of " + path);
}

std::time_t FileTime(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mtim.tv_sec : -1;
}

std::string WithoutSeparator(const std::string& folder) {
    return folder.substr(0, folder.size() - 1);
}

bool HasLine(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

// A staging folder, an installed folder and a program folder (names with blanks, as users have them),
// private hives and the update's state with its trace log.
struct Workplace {
    explicit Workplace(const EditionProfile& profile) {
        for (const std::string& folder : {Staging(), Installed(), Program()})
            fs::create_directories(folder);
        State.Profile = &profile;
        State.TraceLog = std::make_unique<TTraceLog>(root.File("trace.log"));
        State.ExeName = profile.ProgramName;
        State.ExeDir = Program();
    }
    std::string Staging() const { return root.Dir() + "staging area/"; }
    std::string Installed() const { return root.Dir() + "installed files/"; }
    std::string Program() const { return root.Dir() + "program folder/"; }
    std::vector<std::string> Trace() const { return ReadTraceLines(root.File("trace.log")); }
    // A staged file and, when `installedTime` is not -1, an installed copy of it.
    void Stage(const std::string& name, std::time_t stagedTime, std::time_t installedTime = -1) const {
        WriteFile(Staging() + name, "new " + name);
        SetFileTime(Staging() + name, stagedTime);
        if (installedTime == -1) return;
        WriteFile(Installed() + name, "old " + name);
        SetFileTime(Installed() + name, installedTime);
    }

    ScopedHives hives;
    TempDir root;
    ScopedEnv os{"TOWAGI_OS_VERSION", "10.0"};
    TUpdateState State;
};

class RecordingImporter : public RegistryFileImporter {
public:
    void ImportFile(const std::string& path) override { Paths.push_back(path); }
    std::vector<std::string> Paths;
};

// Records what the copy shows in the progress window.
class RecordingProgress : public ProgressView {
public:
    void SetCaption(const std::string&) override {}
    void SetTitle(const std::string&) override {}
    void SetStatus(const std::string&) override {}
    std::string TitleText() const override { return ""; }
    std::string StatusText() const override { return ""; }
    void SetFileName(const std::string& text) override { FileNames.push_back(text); }
    void SetMessage(const std::string&) override {}
    void SetTransferMode(const std::string&) override {}
    std::string TransferMode() const override { return ""; }
    void StartProgress(int) override {}
    void StepProgress() override {}
    void SetProgressPosition(int) override {}
    void SetCancelEnabled(bool) override {}
    bool Cancelled() const override { return false; }
    void SetCancelled() override {}
    bool Reconnect() const override { return false; }
    void SetReconnect(bool) override {}
    void ProcessMessages() override { ++Repaints; }
    std::vector<std::string> FileNames;
    int Repaints = 0;
};

TEST(GetPathFileList, AttributesAndMaskChooseTheEntries) {
    struct Case {
        std::string mask;
        int attributes;
        std::vector<std::string> want;
    };
    for (const auto& c : std::vector<Case>{
             {"*", kAnyPlainFile, {".hidden", "B.TXT", "a.txt", "prog"}},
             {"*", faArchive, {"B.TXT", "a.txt", "prog"}},
             {"*.txt", kAnyPlainFile, {"B.TXT", "a.txt"}},
             {"*.*", faArchive, {"B.TXT", "a.txt", "prog"}},
             {"*", kAnyPlainFile | faDirectory, {".hidden", "B.TXT", "a.txt", "prog", "sub"}},
             {"?.txt", faArchive, {"B.TXT", "a.txt"}},
             {"A*", faArchive, {"a.txt"}},
         }) {
        Workplace w(EstimationEdition());
        for (const char* name : {"a.txt", "B.TXT", ".hidden", "prog"})
            WriteFile(w.Staging() + name, "x");
        fs::create_directory(w.Staging() + "sub");
        std::vector<std::string> list{"kept"};
        const int added = GetPathFileList(w.State, w.Staging() + c.mask, c.attributes, list);
        EXPECT_EQ(added, static_cast<int>(c.want.size())) << c.mask;
        ASSERT_FALSE(list.empty());
        EXPECT_EQ(list.front(), "kept");
        std::vector<std::string> got(list.begin() + 1, list.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, c.want) << c.mask << " " << c.attributes;
        EXPECT_EQ(w.Trace(),
                  (std::vector<std::string>{"GetPathFileList ; Start", "GetPathFileList ; End : Result=" +
                                                                           std::to_string(c.want.size())}));
    }
}

TEST(GetPathFileList, MissingFolderAddsNothing) {
    Workplace w(EstimationEdition());
    std::vector<std::string> list;
    EXPECT_EQ(GetPathFileList(w.State, w.root.Dir() + "missing/*", kAnyPlainFile, list), 0);
    EXPECT_TRUE(list.empty());
}

TEST(CopyUpdateFile, EstimationEditionFiveSecondRulePerCode) {
    struct Case {
        int stagedOffset; // seconds against the installed copy
        int code;
        bool installed;
        bool want;
    };
    for (const auto& c : std::vector<Case>{
             {3, 0, true, false},
             {5, 0, true, false},
             {6, 0, true, true},
             {-5, 0, true, false},
             {-6, 0, true, true},
             {-6, 3, true, false},
             {6, 3, true, true},
             {-6, 4, true, false},
             {-6, 5, true, true},
             {-6, 8, true, true},
             {-6, 9, true, false},
             {-100, 3, false, true},
         }) {
        Workplace w(EstimationEdition());
        w.Stage("Prog.dll", kBase + c.stagedOffset, c.installed ? kBase : -1);
        std::vector<std::string> list{"earlier"};
        // Folders without their separator: the step adds it.
        const int added = CopyUpdateFile(w.State, WithoutSeparator(w.Staging()),
                                         WithoutSeparator(w.Installed()), c.code, list);
        const std::string label = std::to_string(c.stagedOffset) + "s code " + std::to_string(c.code);
        EXPECT_EQ(added, c.want ? 1 : 0) << label;
        const std::vector<std::string> want =
            c.want ? std::vector<std::string>{"earlier", "Prog.dll"} : std::vector<std::string>{"earlier"};
        EXPECT_EQ(list, want) << label;
        EXPECT_EQ(w.Trace(),
                  (std::vector<std::string>{"CopyUpdateFile ; Start", "GetPathFileList ; Start",
                                            "GetPathFileList ; End : Result=1",
                                            "CopyUpdateFile ; End : Result=" + std::to_string(added)}))
            << label;
    }
}

TEST(CopyUpdateFile, CostEditionCopiesWhenTheInstalledFileIsOlderInTwoSecondSteps) {
    struct Case {
        std::time_t staged;
        std::time_t installed; // -1: no installed copy
        bool want;
    };
    for (const auto& c : std::vector<Case>{
             {kBase + 1, kBase, false}, // the same two-second step
             {kBase + 2, kBase, true},
             {kBase + 2, kBase + 1, true},
             {kBase + 3, kBase + 2, false},
             {kBase, kBase + 1, false}, // older staged files never go back
             {kBase, kBase + 6, false},
             {kBase - 100, -1, true},
         }) {
        Workplace w(CostEdition());
        w.Stage("Prog.dll", c.staged, c.installed);
        std::vector<std::string> list;
        // The code does not matter to the cost edition.
        EXPECT_EQ(CopyUpdateFile(w.State, w.Staging(), w.Installed(), 0, list), c.want ? 1 : 0)
            << c.staged - kBase << " " << c.installed - kBase;
        EXPECT_EQ(list.size(), c.want ? 1u : 0u);
    }
}

TEST(CopyUpdateFile, EmptyStagingFolderEndsWithoutResult) {
    Workplace w(EstimationEdition());
    fs::create_directory(w.Staging() + "folders are not files");
    std::vector<std::string> list;
    EXPECT_EQ(CopyUpdateFile(w.State, w.Staging(), w.Installed(), 0, list), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(w.Trace(), (std::vector<std::string>{"CopyUpdateFile ; Start", "GetPathFileList ; Start",
                                                   "GetPathFileList ; End : Result=0"}));
}

TEST(CopyUpdateFile, UnreadableInstalledFileTimeFailsTheStep) {
    Workplace w(EstimationEdition());
    // A link to itself: the name is there, its time cannot be read.
    fs::create_symlink("f.dll", w.Installed() + "f.dll");
    WriteFile(w.Staging() + "f.dll", "readable");
    std::vector<std::string> list;
    try {
        CopyUpdateFile(w.State, w.Staging(), w.Installed(), 0, list);
        ADD_FAILURE() << "no error";
    } catch (const EUpdateError& e) {
        EXPECT_EQ(std::string(e.what()), "ローカルファイル(コピー先)の日時取得に失敗しました。");
    }
    EXPECT_TRUE(list.empty());
}

// A link in an update folder is never followed: what it points to (a file outside the folder, nothing, or
// itself) is never installed and never stops the rest. A FIFO is left out the same way.
TEST(Local_CopyDirectory, LinksAndOtherNonFilesAreLeftOutWithATraceLine) {
    for (const EditionProfile* profile : {&EstimationEdition(), &CostEdition()}) {
        Workplace w(*profile);
        WriteFile(w.root.File("secret.txt"), "outside the update folder");
        SetFileTime(w.root.File("secret.txt"), kBase + 100);
        fs::create_symlink(w.root.File("secret.txt"), w.Staging() + "outside.txt");
        fs::create_symlink("nowhere.dll", w.Staging() + "dangling.dll");
        fs::create_symlink("self.dll", w.Staging() + "self.dll");
        ASSERT_EQ(mkfifo((w.Staging() + "pipe").c_str(), 0600), 0);
        w.Stage("a.dll", kBase + 10, kBase);
        w.Stage("b.txt", kBase + 10);
        std::vector<std::string> list;
        Local_CopyDirectory(w.State, w.Staging(), w.Installed(), 0, list);

        EXPECT_EQ(ReadFile(w.Installed() + "a.dll"), "new a.dll");
        EXPECT_EQ(ReadFile(w.Installed() + "b.txt"), "new b.txt");
        for (const char* name : {"outside.txt", "dangling.dll", "self.dll", "pipe"})
            EXPECT_FALSE(fs::exists(fs::symlink_status(w.Installed() + name))) << name;
        const auto trace = w.Trace();
        for (const char* name : {"outside.txt", "dangling.dll", "self.dll"})
            EXPECT_TRUE(HasLine(trace, "CopyUpdateFile ; シンボリックリンクは反映しません : [" + w.Staging() + name + "]"))
                << name;
        EXPECT_TRUE(HasLine(trace, "CopyUpdateFile ; 通常のファイルでないものは反映しません : [" + w.Staging() + "pipe]"));
        EXPECT_EQ(trace.back(), "Local_CopyDirectory ; End");
    }
}

// A name cannot forge trace lines: its control characters appear as \xNN, as those of server names do.
TEST(Local_CopyDirectory, ControlCharactersOfNamesAreEscapedInTheTrace) {
    Workplace w(EstimationEdition());
    RecordingProgress progress;
    w.State.ProgressWindow = &progress;
    // A file name holds no "/", so the forged date has other separators.
    const std::string name = "evil\r\n2024.01.01 00:00:00 ; Execute ; forged\x01.txt";
    w.Stage(name, kBase + 10);
    std::vector<std::string> list;
    Local_CopyDirectory(w.State, w.Staging(), w.Installed(), 0, list);

    EXPECT_EQ(ReadFile(w.Installed() + name), "new " + name);
    const std::string shown = "evil\\x0D\\x0A2024.01.01 00:00:00 ; Execute ; forged\\x01.txt";
    const auto trace = w.Trace();
    EXPECT_TRUE(HasLine(trace, "Local_CopyDirectory ; from[" + w.Staging() + shown + "] to[" + w.Installed() + shown + "]"));
    // Every line is one of the copy's own: none begins where the name would have broken the line.
    for (const std::string& line : trace)
        EXPECT_TRUE(line.rfind("Local_CopyDirectory ; ", 0) == 0 || line.rfind("CopyUpdateFile ; ", 0) == 0 ||
                    line.rfind("GetPathFileList ; ", 0) == 0)
            << line;
    EXPECT_EQ(progress.FileNames, std::vector<std::string>{shown});
}

// What a launcher killed during the apply left behind goes at the next start; nothing else does.
TEST(RemoveLeftoverTemporaryFiles, ClearsTheProgramFolderAndTheApplyDestinations) {
    Workplace w(EstimationEdition());
    const std::string excel = w.root.Dir() + "excel/", frame = w.root.Dir() + "frame/";
    for (const std::string& folder : {excel, frame, w.Program() + "HELP_HTML/_images/", w.Program() + "HELP/",
                                      w.Program() + "TEMP/"})
        fs::create_directories(folder);
    WriteMachineString(std::string(kProductRoot) + "\\PATH\\EXCEL", "PATH1", "|" + excel, true);
    WriteMachineString(std::string(kProductRoot) + "\\PATH\\FRAME", "PATH1", "|" + frame, true);
    // A writer that has ended: a child process of this test.
    const pid_t child = fork();
    if (child == 0) _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    const std::string dead = std::to_string(child);
    const std::vector<std::string> leftovers = {
        w.Program() + ".Qrd0000.exe.towagi-" + dead + ".a1b2c3", w.Program() + "HELP_HTML/_images/.logo.png.towagi-" + dead + ".000001",
        w.Program() + "HELP/.manual.hlp.towagi-" + dead + ".zZ9yY8", w.Program() + "TEMP/.KMIHIND0.txt.towagi-" + dead + ".000000",
        excel + ".見積書.xls.towagi-" + dead + ".Qq1Ww2", frame + ".ZFRM0001.frm.towagi-" + dead + ".Ee3Rr4"};
    for (const std::string& path : leftovers) WriteFile(path, "half");
    const std::vector<std::string> kept = {w.Program() + ".Qrd0000.exe.a1b2c3", w.Program() + ".config",
                                           w.Program() + "Qrd0000.exe",
                                           w.Program() + ".a.dll.towagi-" + std::to_string(getpid()) + ".a1b2c3"};
    for (const std::string& path : kept) WriteFile(path, "keep");

    RemoveLeftoverTemporaryFiles(w.State);
    for (const std::string& path : leftovers) {
        EXPECT_FALSE(fs::exists(path)) << path;
        EXPECT_TRUE(HasLine(w.Trace(), "RemoveLeftoverTemporaryFiles ; 中断された更新の一時ファイルを削除しました : [" + path + "]"))
            << path;
    }
    for (const std::string& path : kept) EXPECT_EQ(ReadFile(path), "keep") << path;
}

TEST(Local_CopyDirectory, CopiesTheChosenFilesButNeverTheLauncher) {
    for (const EditionProfile* profile : {&EstimationEdition(), &CostEdition()}) {
        Workplace w(*profile);
        RecordingProgress progress;
        w.State.ProgressWindow = &progress;
        const std::string launcher = UpperCase(profile->ProgramName);
        w.Stage(launcher, kBase + 100, kBase);
        w.Stage("a.dll", kBase + 10, kBase);
        w.Stage("same.txt", kBase, kBase);
        std::vector<std::string> list;
        Local_CopyDirectory(w.State, w.Staging(), w.Installed(), 0, list);

        EXPECT_TRUE(list.empty());
        EXPECT_EQ(ReadFile(w.Installed() + "a.dll"), "new a.dll");
        EXPECT_EQ(FileTime(w.Installed() + "a.dll"), kBase + 10);
        EXPECT_EQ(ReadFile(w.Installed() + launcher), "old " + launcher);
        EXPECT_EQ(ReadFile(w.Installed() + "same.txt"), "old same.txt");
        EXPECT_EQ(progress.FileNames, std::vector<std::string>{"a.dll"});
        EXPECT_EQ(progress.Repaints, 1);
        const auto trace = w.Trace();
        EXPECT_TRUE(HasLine(trace, "Local_CopyDirectory ; from[" + w.Staging() + "a.dll] to[" +
                                       w.Installed() + "a.dll]"));
        EXPECT_FALSE(HasLine(trace, "from[" + w.Staging() + launcher + "]"));
        EXPECT_EQ(trace.front(), "Local_CopyDirectory ; Start");
        EXPECT_EQ(trace.back(), "Local_CopyDirectory ; End");
    }
}

TEST(Local_CopyDirectory, MissingDestinationFailsBeforeCopying) {
    Workplace w(EstimationEdition());
    w.Stage("a.dll", kBase);
    const std::string missing = w.root.Dir() + "no such folder";
    std::vector<std::string> list;
    try {
        Local_CopyDirectory(w.State, w.Staging(), missing, 0, list);
        ADD_FAILURE() << "no error";
    } catch (const EUpdateError& e) {
        EXPECT_EQ(std::string(e.what()), "ディレクトリ[" + missing + "]が存在しません");
    }
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(w.Trace(), (std::vector<std::string>{"Local_CopyDirectory ; Start",
                                                   "Local_CopyDirectory : ディレクトリ[" + missing +
                                                       "]が存在しません ; Start"}));
}

TEST(Local_CopyDirectory, NothingToCopyWritesNoCopyLineAndNoEnd) {
    struct Case {
        std::vector<std::string> staged;
        std::vector<std::string> wantTrace;
    };
    const std::vector<std::string> head{"Local_CopyDirectory ; Start", "CopyUpdateFile ; Start",
                                        "GetPathFileList ; Start"};
    for (const auto& c : std::vector<Case>{
             {{}, {"GetPathFileList ; End : Result=0"}},
             {{"qrd00UP"}, {"GetPathFileList ; End : Result=1", "CopyUpdateFile ; End : Result=1"}},
         }) {
        Workplace w(EstimationEdition());
        for (const auto& name : c.staged)
            w.Stage(name, kBase);
        std::vector<std::string> list;
        Local_CopyDirectory(w.State, w.Staging(), w.Installed(), 0, list);
        std::vector<std::string> want = head;
        want.insert(want.end(), c.wantTrace.begin(), c.wantTrace.end());
        EXPECT_EQ(w.Trace(), want);
        EXPECT_TRUE(list.empty());
        EXPECT_TRUE(fs::is_empty(w.Installed()));
    }
}

// The registry tool in the program folder is the real towagi-reg: the values must reach the settings store.
TEST(Local_CopyDirectory, RegistryFilesGoToTheRegistryTool) {
    struct Case {
        std::string osVersion;
        std::string command;
    };
    for (const auto& c : std::vector<Case>{{"10.0", "Regedit.exe /s "}, {"6.1", "Reg import "}}) {
        Workplace w(EstimationEdition());
        ScopedEnv os("TOWAGI_OS_VERSION", c.osVersion);
        fs::copy_file(TOWAGI_REG_BINARY, w.Program() + "towagi-reg");
        chmod((w.Program() + "towagi-reg").c_str(), 0755);
        RecordingImporter importer;
        w.State.RegImporter = &importer;
        WriteFile(w.Staging() + "ABC.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\TEST]\r\n"
                                           "\"Imported\"=\"" +
                                               c.osVersion + "\"\r\n");
        std::vector<std::string> list;
        Local_CopyDirectory(w.State, w.Staging(), w.Installed(), 0, list);

        const std::string installed = w.Installed() + "ABC.reg";
        EXPECT_TRUE(fs::exists(installed));
        EXPECT_TRUE(HasLine(w.Trace(), "Local_CopyDirectory ; 拡張子 .REG :[ " + installed +
                                           "]:Do=" + c.command + "\"" + installed + "\""))
            << c.osVersion;
        // The tool runs on its own; wait for its import.
        std::string value;
        for (int i = 0; i < 600 && value.empty(); ++i) {
            value = ReadMachineString("\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\TEST", "Imported", false);
            if (value.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(value, c.osVersion);
        EXPECT_TRUE(importer.Paths.empty());
    }
}

TEST(Local_CopyDirectory, RegistryToolThatCannotStartLeavesTheImportToTheImporter) {
    struct Case {
        bool toolPresent; // present but not executable
        bool withImporter;
    };
    for (const auto& c : std::vector<Case>{{false, true}, {true, true}, {false, false}}) {
        Workplace w(CostEdition());
        if (c.toolPresent) WriteFile(w.Program() + "towagi-reg", "#!/bin/sh\nexit 0\n");
        RecordingImporter importer;
        if (c.withImporter) w.State.RegImporter = &importer;
        w.Stage("abc.Reg", kBase);
        std::vector<std::string> list;
        Local_CopyDirectory(w.State, w.Staging(), w.Installed(), 0, list);
        EXPECT_EQ(ReadFile(w.Installed() + "abc.Reg"), "new abc.Reg");
        const std::vector<std::string> want =
            c.withImporter ? std::vector<std::string>{w.Installed() + "abc.Reg"} : std::vector<std::string>{};
        EXPECT_EQ(importer.Paths, want);
        EXPECT_EQ(w.Trace().back(), "Local_CopyDirectory ; End");
    }
}

// A file the in-process import refuses is named in the trace before the error ends the copy.
TEST(Local_CopyDirectory, AFallbackImportThatFailsIsTracedAndEndsTheCopy) {
    class RefusingImporter : public RegistryFileImporter {
    public:
        void ImportFile(const std::string& path) override {
            throw EMyLibraryError("レジストリファイル[" + path + "]の値[dword:x]は32ビットの16進数ではありません");
        }
    };
    Workplace w(EstimationEdition());
    RefusingImporter importer;
    w.State.RegImporter = &importer;
    w.Stage("abc.reg", kBase);
    w.Stage("def.txt", kBase);
    std::vector<std::string> list;
    EXPECT_THROW(Local_CopyDirectory(w.State, w.Staging(), w.Installed(), 0, list), EMyLibraryError);
    const std::string message = "レジストリファイル[" + w.Installed() + "abc.reg]の値[dword:x]は32ビットの16進数ではありません";
    EXPECT_EQ(w.Trace().back(), "Local_CopyDirectory ; " + message);
}

TEST(Local_CopyDirectory, VornRegFilesAlsoGoToTheProgramFolderInTheEstimationEdition) {
    for (const EditionProfile* profile : {&EstimationEdition(), &CostEdition()}) {
        Workplace w(*profile);
        w.Stage("ABC.vornreg", kBase);
        std::vector<std::string> list;
        Local_CopyDirectory(w.State, w.Staging(), w.Installed(), 0, list);
        EXPECT_EQ(ReadFile(w.Installed() + "ABC.vornreg"), "new ABC.vornreg");
        const std::string second = w.Program() + "VORNREG/ABC.vornreg";
        EXPECT_EQ(fs::exists(second), profile->CopyVornRegFiles) << profile->ProgramName;
        if (profile->CopyVornRegFiles) {
            EXPECT_EQ(ReadFile(second), "new ABC.vornreg");
            EXPECT_EQ(FileTime(second), kBase);
        }
        EXPECT_TRUE(list.empty());
    }
}

TEST(Local_CopyDirectory, VornRegFolderThatCannotBeMadeEndsTheStepQuietly) {
    Workplace w(EstimationEdition());
    WriteFile(w.Program() + "VORNREG", "a file in the way");
    w.Stage("ABC.VORNREG", kBase);
    std::vector<std::string> list;
    Local_CopyDirectory(w.State, w.Staging(), w.Installed(), 0, list);
    EXPECT_TRUE(fs::exists(w.Installed() + "ABC.VORNREG"));
    EXPECT_EQ(list, std::vector<std::string>{"ABC.VORNREG"});
    EXPECT_NE(w.Trace().back(), "Local_CopyDirectory ; End");
}

TEST(DeleteFiles, DeletesFilesButSparesTheNamedOneAndFolders) {
    struct Case {
        std::string keep;
        std::vector<std::string> wantLeft;
    };
    for (const auto& c : std::vector<Case>{
             {"QRD00UP", {"Qrd00up", "read-only.txt", "sub"}},
             {"", {"read-only.txt", "sub"}},
         }) {
        Workplace w(EstimationEdition());
        for (const char* name : {"Qrd00up", "a.txt", ".hidden", "read-only.txt"})
            WriteFile(w.Staging() + name, "x");
        chmod((w.Staging() + "read-only.txt").c_str(), 0444);
        fs::create_directory(w.Staging() + "sub");
        WriteFile(w.Staging() + "sub/inner.txt", "x");
        DeleteFiles(w.State, w.Staging(), c.keep);
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(w.Staging()))
            left.push_back(entry.path().filename().string());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, c.wantLeft) << c.keep;
        EXPECT_TRUE(fs::exists(w.Staging() + "sub/inner.txt"));
        EXPECT_EQ(w.Trace(), (std::vector<std::string>{"DeleteFiles ; Start", "DeleteFiles ; End"}));
    }
}

TEST(DeleteFiles, MissingFolderIsNoError) {
    Workplace w(EstimationEdition());
    EXPECT_NO_THROW(DeleteFiles(w.State, w.root.Dir() + "missing/", "Qrd00up"));
    EXPECT_EQ(w.Trace(), (std::vector<std::string>{"DeleteFiles ; Start", "DeleteFiles ; End"}));
}

TEST(CreateHtmlHelpFolders, CreatesTheFoldersAndWarnsAtTheFirstFailure) {
    struct Case {
        std::string blocker; // a file where a folder should go
        std::string warning;
        int wantFolders; // HELP_HTML, _images, _sources, _static: how many of them, in order, exist after
    };
    for (const auto& c : std::vector<Case>{
             {"", "", 4},
             {"HELP_HTML", "HTMLヘルプフォルダの作成に失敗しました。", 0},
             {"HELP_HTML/_images", "_images フォルダの作成に失敗しました。", 1},
             {"HELP_HTML/_sources", "_sources フォルダの作成に失敗しました。", 2},
             {"HELP_HTML/_static", "_static フォルダの作成に失敗しました。", 3},
         }) {
        Workplace w(EstimationEdition());
        if (!c.blocker.empty()) {
            fs::create_directories(fs::path(w.Program() + c.blocker).parent_path());
            WriteFile(w.Program() + c.blocker, "in the way");
        }
        ModalAnswer answer("OK");
        CreateHtmlHelpFolders(w.State);
        EXPECT_EQ(answer.Answered(), !c.warning.empty()) << c.blocker;
        if (answer.Answered()) {
            EXPECT_EQ(answer.Seen().Title.toStdString(), "警告");
            EXPECT_EQ(answer.Seen().Text.toStdString(), c.warning);
        }
        const std::vector<std::string> folders{"HELP_HTML", "HELP_HTML/_images", "HELP_HTML/_sources",
                                               "HELP_HTML/_static"};
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(fs::is_directory(w.Program() + folders[i]), i < c.wantFolders)
                << c.blocker << " " << folders[i];
    }
}

TEST(CreateHtmlHelpFolders, ExistingFoldersAreKept) {
    Workplace w(CostEdition());
    fs::create_directories(w.Program() + "HELP_HTML/_static");
    WriteFile(w.Program() + "HELP_HTML/_static/page.css", "kept");
    ModalAnswer answer("OK");
    CreateHtmlHelpFolders(w.State);
    EXPECT_FALSE(answer.Answered());
    EXPECT_EQ(ReadFile(w.Program() + "HELP_HTML/_static/page.css"), "kept");
    EXPECT_TRUE(fs::is_directory(w.Program() + "HELP_HTML/_images"));
}

} // namespace
} // namespace towagi
