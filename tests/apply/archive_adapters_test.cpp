// The archive adapters and extraction routines against a recording stand-in of the archiver libraries:
// exact command texts and arguments, failure messages, busy and version checks, loading failures, and the
// choice of archiver by extension.
#include "apply/archive_adapters.h"
#include "apply/archive_extraction.h"

#include "support/encoding.h"
#include "tests/apply/archive_test_support.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <QObject>

#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>

namespace towagi {
namespace {

namespace fs = std::filesystem;
using testing::ErrorOf;
using testing::IsLoaded;
using testing::MakeLzh;
using testing::ReadFile;
using testing::ScopedEnv;
using testing::ScopedPrompts;
using testing::TempDir;
using testing::WriteFile;

const std::string kRecorders = TOWAGI_RECORDING_ARCHIVERS;
const std::string kRecorder = kRecorders + "full/";

struct Call {
    std::string Entry;
    std::vector<std::string> Arguments;
};

// The recording library's log and answers for one test; the log is read back as UTF-8, so texts the
// adapters did not send as CP932 show up wrong.
class Recorder {
public:
    Recorder() : log_("TOWAGI_RECORDER_LOG", dir_.File("calls.log")) {}

    void Answer(const std::string& setting, const std::string& value) {
        answers_.push_back(std::make_unique<ScopedEnv>("TOWAGI_RECORDER_" + setting, value));
    }

    std::vector<Call> Calls() const {
        std::vector<Call> calls;
        if (!fs::exists(dir_.File("calls.log"))) return calls;
        std::istringstream lines(FromCP932(ReadFile(dir_.File("calls.log")), "calls.log"));
        for (std::string line; std::getline(lines, line);) {
            Call call;
            std::istringstream fields(line);
            std::getline(fields, call.Entry, '\t');
            for (std::string field; std::getline(fields, field, '\t');)
                call.Arguments.push_back(field);
            calls.push_back(call);
        }
        return calls;
    }

    std::vector<Call> Calls(const std::string& entry) const {
        std::vector<Call> matching;
        for (const auto& call : Calls())
            if (call.Entry == entry) matching.push_back(call);
        return matching;
    }

    // The command texts the command entry point received.
    std::vector<std::string> Commands(const std::string& entry = "SevenZip") const {
        std::vector<std::string> texts;
        for (const auto& call : Calls(entry))
            texts.push_back(call.Arguments.at(2));
        return texts;
    }

private:
    TempDir dir_;
    ScopedEnv log_;
    std::vector<std::unique_ptr<ScopedEnv>> answers_;
};

struct CommandCase {
    std::string Title;
    std::function<void(TArcSevenZip&)> Run;
    std::string Want;
};

TEST(TArcSevenZip, SendsTheCommandTextsPieceByPiece) {
    auto named = [](TArcSevenZip& a, const std::string& source, const std::string& dest) {
        a.SetArchiveName("A.zip");
        a.SetSourceDir(source);
        a.SetDestDir(dest);
    };
    const std::vector<CommandCase> cases = {
        {"extract, nothing optional",
         [&](TArcSevenZip& a) { named(a, "/s/in", "/d/out/"), a.Extract(nullptr, ""); },
         "x -tzip -hide \"/s/in/A.zip\" -o\"/d/out/\" "},
        {"extract with password and file specification",
         [&](TArcSevenZip& a) { named(a, "/s", "/d"), a.SetPassword("pw"), a.Extract(nullptr, "*.txt"); },
         "x -tzip -hide \"/s/A.zip\" -o\"/d/\"  -p\"pw\" \"*.txt\""},
        {"extract, blank password and file specification",
         [&](TArcSevenZip& a) { named(a, "/s", "/d"), a.SetPassword(" \t"), a.Extract(nullptr, "  "); },
         "x -tzip -hide \"/s/A.zip\" -o\"/d/\" "},
        {"extract, Japanese names go as CP932",
         [&](TArcSevenZip& a) {
             named(a, "/s/表データ", "/d/能力"), a.SetPassword("パス"), a.Extract(nullptr, "ソ*.csv");
         },
         "x -tzip -hide \"/s/表データ/A.zip\" -o\"/d/能力/\"  -p\"パス\" \"ソ*.csv\""},
        {"compress", [&](TArcSevenZip& a) { named(a, "/s", "/d"), a.Compress(nullptr); },
         "a -tzip -hide \"/d/A.zip\" \"/s/\" "},
        {"compress with options and password",
         [&](TArcSevenZip& a) {
             named(a, "/s", "/d"), a.SetOptions("-mx9 -r"), a.SetPassword("pw"), a.Compress(nullptr);
         },
         "a -tzip -hide \"/d/A.zip\" \"/s/\" -mx9 -r -p\"pw\""},
        {"update",
         [&](TArcSevenZip& a) { named(a, "/s", "/d"), a.UpdateArchive(nullptr, "/s/f.txt", "*.dat"); },
         "u -tzip -hide \"/d/A.zip\" \"/s/f.txt\" -i!\"*.dat\""},
        {"update with password",
         [&](TArcSevenZip& a) {
             named(a, "/s", "/d"), a.SetPassword("pw"), a.UpdateArchive(nullptr, "f", "i");
         },
         "u -tzip -hide \"/d/A.zip\" \"f\" -p\"pw\" -i!\"i\""},
        {"command", [&](TArcSevenZip& a) { a.Command(nullptr, "t \"/s/A.zip\" -y"); }, "t \"/s/A.zip\" -y"},
        {"command output", [&](TArcSevenZip& a) { a.CommandOutput(nullptr, "l 一覧"); }, "l 一覧"},
    };
    for (const auto& c : cases) {
        Recorder recorder;
        TArcSevenZip archiver(kArcOutputSizeEstimation, kRecorder);
        c.Run(archiver);
        EXPECT_EQ(recorder.Commands(), std::vector<std::string>{c.Want}) << c.Title;
    }
}

TEST(TArcSevenZip, FoldersGetOneTrailingSeparator) {
    struct FolderCase {
        std::string Given, Stored;
    };
    for (const auto& c :
         std::vector<FolderCase>{{"/s", "/s/"}, {"/s/", "/s/"}, {"/a b/c", "/a b/c/"}, {"", ""}}) {
        Recorder recorder;
        TArcSevenZip archiver(kArcOutputSizeEstimation, kRecorder);
        archiver.SetArchiveName("A.zip");
        archiver.SetSourceDir(c.Given);
        archiver.SetDestDir(c.Given);
        archiver.Extract(nullptr, "");
        EXPECT_EQ(recorder.Commands(),
                  std::vector<std::string>{"x -tzip -hide \"" + c.Stored + "A.zip\" -o\"" + c.Stored + "\" "})
            << c.Given;
    }
}

TEST(TArcSevenZip, PassesTheWholeOutputBufferOfItsEdition) {
    for (std::size_t size : {kArcOutputSizeEstimation, kArcOutputSizeCost}) {
        Recorder recorder;
        recorder.Answer("OUTPUT", ToCP932("展開しました", "test"));
        TArcSevenZip archiver(size, kRecorder);
        EXPECT_EQ(archiver.CommandOutput(nullptr, "x"), "展開しました");
        const auto calls = recorder.Calls("SevenZip");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].Arguments.at(0), "none");
        EXPECT_EQ(calls[0].Arguments.at(1), std::to_string(size));
    }
}

struct Operation {
    std::string Name;
    std::function<void(TArcSevenZip&)> Run;
    std::string FailureMessage;
};

const std::vector<Operation>& CommandOperations() {
    static const std::vector<Operation> operations = {
        {"Command", [](TArcSevenZip& a) { a.Command(nullptr, "x"); }, "処理に失敗しました。"},
        {"CommandOutput", [](TArcSevenZip& a) { a.CommandOutput(nullptr, "x"); }, "処理に失敗しました。"},
        {"Compress", [](TArcSevenZip& a) { a.Compress(nullptr); }, "圧縮に失敗しました。"},
        {"UpdateArchive", [](TArcSevenZip& a) { a.UpdateArchive(nullptr, "f", "*.*"); },
         "圧縮に失敗しました。"},
        {"Extract", [](TArcSevenZip& a) { a.Extract(nullptr, ""); }, "解凍に失敗しました。"},
    };
    return operations;
}

TEST(TArcSevenZip, AFailedCommandRaisesTheOperationsMessage) {
    for (const auto& op : CommandOperations()) {
        for (const char* result : {"1", "0x8003", "-1"}) {
            Recorder recorder;
            recorder.Answer("RESULT", result);
            TArcSevenZip archiver(kArcOutputSizeEstimation, kRecorder);
            EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { op.Run(archiver); }), op.FailureMessage)
                << op.Name << result;
            EXPECT_EQ(recorder.Commands().size(), 1u) << op.Name;
        }
    }
}

TEST(TArcSevenZip, ABusyLibraryStartsNothing) {
    for (const auto& op : CommandOperations()) {
        Recorder recorder;
        recorder.Answer("RUNNING", "1");
        TArcSevenZip archiver(kArcOutputSizeEstimation, kRecorder);
        EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { op.Run(archiver); }), "処理中です") << op.Name;
        EXPECT_TRUE(recorder.Commands().empty()) << op.Name;
        EXPECT_EQ(recorder.Calls("SevenZipGetRunning").size(), 1u) << op.Name;
    }
}

TEST(TArcSevenZip, OnlyTheLowByteOfTheBusyAnswerCounts) {
    struct RunningCase {
        const char* Answer;
        bool Running;
    };
    for (const auto& c : std::vector<RunningCase>{{"0", false}, {"1", true}, {"256", false}, {"257", true}}) {
        Recorder recorder;
        recorder.Answer("RUNNING", c.Answer);
        TArcSevenZip archiver(kArcOutputSizeEstimation, kRecorder);
        EXPECT_EQ(archiver.IsRunning(), c.Running) << c.Answer;
    }
}

TEST(TArcSevenZip, ABlankIncludeSpecificationIsRefusedBeforeAnyCall) {
    for (const char* include : {"", " ", "\t\r\n"}) {
        Recorder recorder;
        TArcSevenZip archiver(kArcOutputSizeEstimation, kRecorder);
        EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { archiver.UpdateArchive(nullptr, "f", include); }),
                  "オプションが設定されていません。");
        EXPECT_TRUE(recorder.Commands().empty());
    }
    // The busy test comes first.
    Recorder recorder;
    recorder.Answer("RUNNING", "1");
    TArcSevenZip archiver(kArcOutputSizeEstimation, kRecorder);
    EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { archiver.UpdateArchive(nullptr, "f", ""); }), "処理中です");
}

TEST(TArcSevenZip, ChecksTheArchiveInTheSourceFolderElseInTheDestination) {
    struct CheckCase {
        std::string Title;
        bool InSource, InDest, SourceIsFolder;
        const char* Answer;
        std::string Checked; // "s", "d" or "" for no call
        bool Want;
    };
    for (const auto& c : std::vector<CheckCase>{
             {"source only", true, false, false, "1", "s", true},
             {"destination only", false, true, false, "1", "d", true},
             {"both", true, true, false, "1", "s", true},
             {"neither", false, false, false, "1", "", false},
             {"a folder of that name does not count", false, true, true, "1", "d", true},
             {"the library finds it damaged", true, false, false, "0", "s", false},
         }) {
        TempDir dir;
        fs::create_directories(dir.File("s"));
        fs::create_directories(dir.File("d"));
        if (c.InSource) WriteFile(dir.File("s/データ.zip"), "PK");
        if (c.InDest) WriteFile(dir.File("d/データ.zip"), "PK");
        if (c.SourceIsFolder) fs::create_directories(dir.File("s/データ.zip"));
        Recorder recorder;
        recorder.Answer("CHECK", c.Answer);
        TArcSevenZip archiver(kArcOutputSizeEstimation, kRecorder);
        archiver.SetArchiveName("データ.zip");
        archiver.SetSourceDir(dir.File("s"));
        archiver.SetDestDir(dir.File("d"));
        EXPECT_EQ(archiver.CheckArchive(), c.Want) << c.Title;
        const auto calls = recorder.Calls("SevenZipCheckArchive");
        if (c.Checked.empty()) {
            EXPECT_TRUE(calls.empty()) << c.Title;
            continue;
        }
        ASSERT_EQ(calls.size(), 1u) << c.Title;
        EXPECT_EQ(calls[0].Arguments, (std::vector<std::string>{dir.File(c.Checked + "/データ.zip"), "1"}))
            << c.Title;
    }
}

TEST(TArcSevenZip, ReportsTheLibrarysVersion) {
    Recorder recorder;
    recorder.Answer("VERSION", "65535");
    TArcSevenZip archiver(kArcOutputSizeEstimation, kRecorder);
    EXPECT_EQ(archiver.GetVersion(), 65535);
}

// The base's behaviour, seen through an adapter that supplies only what every adapter must.
class MinimalAdapter : public TArcAdm {
public:
    MinimalAdapter() : TArcAdm(16) {}
    void LoadArchiver() override {}
    void FreeArchiver() override {}
    void ClearSettings() override {}
    void Compress(ArchiverWindow) override {}
    void UpdateArchive(ArchiverWindow, const std::string&, const std::string&) override {}
    void Extract(ArchiverWindow, const std::string&) override {}
};

TEST(TArcAdm, BaseOperationsAnswerNothing) {
    MinimalAdapter adapter;
    EXPECT_EQ(adapter.GetVersion(), -1);
    EXPECT_FALSE(adapter.CheckArchive());
    EXPECT_NO_THROW(adapter.Command(nullptr, "x"));
    EXPECT_EQ(adapter.CommandOutput(nullptr, "x"), "");
}

TEST(TArcSevenZip, ClearSettingsKeepsOnlyTheArchiveName) {
    Recorder recorder;
    TArcSevenZip archiver(kArcOutputSizeEstimation, kRecorder);
    archiver.SetArchiveName("A.zip");
    archiver.SetSourceDir("/s");
    archiver.SetDestDir("/d");
    archiver.SetPassword("pw");
    archiver.ClearSettings();
    EXPECT_FALSE(IsLoaded(kRecorder + "lib7-zip32.so"));
    EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { archiver.Extract(nullptr, ""); }), "DLLの読込みに失敗しました");
    archiver.LoadArchiver();
    archiver.Extract(nullptr, "");
    EXPECT_EQ(recorder.Commands(), std::vector<std::string>{"x -tzip -hide \"A.zip\" -o\"\" "});
}

TEST(TArcSevenZip, AMissingLibraryOrEntryPointFailsConstruction) {
    struct LoadCase {
        std::string Folder, Message;
    };
    TempDir empty;
    const std::vector<LoadCase> cases = {
        {empty.Dir(), "Unknon DLL 7-zip32.dll"},
        {kRecorders + "without-SevenZip/", "DLLの読込みに失敗しました"},
        {kRecorders + "without-SevenZipGetVersion/", "DLLの読込みに失敗しました"},
        {kRecorders + "without-SevenZipGetRunning/", "DLLの読込みに失敗しました"},
        {kRecorders + "without-SevenZipCheckArchive/", "DLLの読込みに失敗しました"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            ErrorOf<EMyLibraryError>([&] { TArcSevenZip archiver(kArcOutputSizeEstimation, c.Folder); }),
            c.Message)
            << c.Folder;
        EXPECT_FALSE(IsLoaded(c.Folder + "lib7-zip32.so")) << "released again: " << c.Folder;
    }
}

TEST(TArcSevenZip, HoldsTheLibraryForItsLifetime) {
    {
        TArcSevenZip archiver(kArcOutputSizeEstimation, kRecorder);
        EXPECT_TRUE(IsLoaded(kRecorder + "lib7-zip32.so"));
    }
    EXPECT_FALSE(IsLoaded(kRecorder + "lib7-zip32.so"));
}

int VersionOfTheLibraryFoundFrom(const std::string& folder) {
    TArcSevenZip archiver(kArcOutputSizeEstimation, folder);
    return archiver.GetVersion();
}

// The loader reads its search path only when a process starts, so each case runs in a fresh one.
TEST(TArcSevenZipDeathTest, LooksInTheProgramFolderFirstThenWhereTheSystemLooks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ScopedEnv version("TOWAGI_RECORDER_VERSION", "4242");
    ScopedEnv searchPath("LD_LIBRARY_PATH", kRecorder);
    EXPECT_EXIT(std::exit(VersionOfTheLibraryFoundFrom("/nonexistent/") == 4242 ? 0 : 1),
                ::testing::ExitedWithCode(0), "")
        << "not in the program folder: the system's search finds the recording library";
    EXPECT_EXIT(
        std::exit(VersionOfTheLibraryFoundFrom(TOWAGI_ARCHIVER_LIBRARIES) == kSevenZipLibraryVersion ? 0 : 1),
        ::testing::ExitedWithCode(0), "")
        << "in the program folder: that one wins";
}

TEST(TLHA, ExtractsWithoutWindowInForegroundMode) {
    Recorder recorder;
    QObject owner;
    auto* lha = new TLHA(&owner, kRecorder);
    EXPECT_NE(lha->Handle(), nullptr);
    lha->Extract("/a/マスタ.lzh", "/d/");
    const auto calls = recorder.Calls();
    std::vector<std::string> entries;
    for (const auto& call : calls)
        entries.push_back(call.Entry);
    EXPECT_EQ(entries, (std::vector<std::string>{"UnlhaSetBackGroundMode", "UnlhaSetBackGroundMode",
                                                 "UnlhaGetVersion", "Unlha"}));
    EXPECT_EQ(calls[0].Arguments, std::vector<std::string>{"1"});
    EXPECT_EQ(calls[1].Arguments, std::vector<std::string>{"0"});
    EXPECT_EQ(calls[3].Arguments,
              (std::vector<std::string>{"none", "255", "e -c1 -m1 \"/a/マスタ.lzh\" \"/d/\""}));
}

TEST(TLHA, TheOwnerFreesItAndItsLibrary) {
    auto owner = std::make_unique<QObject>();
    new TLHA(owner.get(), kRecorder);
    EXPECT_TRUE(IsLoaded(kRecorder + "libunlha32.so"));
    owner.reset();
    EXPECT_FALSE(IsLoaded(kRecorder + "libunlha32.so"));
}

TEST(TLHA, NeedsVersion47) {
    struct VersionCase {
        const char* Version;
        bool Runs;
    };
    for (const auto& c :
         std::vector<VersionCase>{{"46", false}, {"47", true}, {"0", false}, {"65535", true}}) {
        Recorder recorder;
        recorder.Answer("VERSION", c.Version);
        TLHA lha(nullptr, kRecorder);
        EXPECT_EQ(lha.Version(), std::stoi(c.Version));
        const std::string error = ErrorOf<EDLLLoadError>([&] { lha.Extract("/a/x.lzh", "/d/"); });
        EXPECT_EQ(error, c.Runs ? "(no error)" : "UNLHA.DLLのバージョンが違います。") << c.Version;
        EXPECT_EQ(recorder.Commands("Unlha").size(), c.Runs ? 1u : 0u) << c.Version;
    }
}

TEST(TLHA, AFailedCommandRaisesTheLibrarysMessage) {
    Recorder recorder;
    recorder.Answer("RESULT", "0x8003");
    recorder.Answer("OUTPUT", ToCP932("書庫が壊れています: /a/x.lzh", "test"));
    TLHA lha(nullptr, kRecorder);
    EXPECT_EQ(ErrorOf<EDLLLoadError>([&] { lha.RunCommand("e \"/a/x.lzh\""); }),
              "書庫が壊れています: /a/x.lzh");
    EXPECT_EQ(recorder.Commands("Unlha"), std::vector<std::string>{"e \"/a/x.lzh\""});
}

TEST(TLHA, MissingLibraryOrEntryPoints) {
    TempDir empty;
    EXPECT_EQ(ErrorOf<EDLLLoadError>([&] { TLHA lha(nullptr, empty.Dir()); }), "Unknown DLL UNLHA32.DLL");

    const std::string noMode = kRecorders + "without-UnlhaSetBackGroundMode/";
    EXPECT_EQ(ErrorOf<EDLLLoadError>([&] { TLHA lha(nullptr, noMode); }), "Unknown lhaSetBackGroundMode");
    EXPECT_FALSE(IsLoaded(noMode + "libunlha32.so")) << "released again";

    TLHA noVersion(nullptr, kRecorders + "without-UnlhaGetVersion/");
    EXPECT_EQ(ErrorOf<EDLLLoadError>([&] { noVersion.Version(); }), "Unknown lhaGetVersion");
    EXPECT_EQ(ErrorOf<EDLLLoadError>([&] { noVersion.Extract("/a/x.lzh", "/d/"); }), "Unknown lhaGetVersion");

    TLHA noCommand(nullptr, kRecorders + "without-Unlha/");
    EXPECT_EQ(ErrorOf<EDLLLoadError>([&] { noCommand.Extract("/a/x.lzh", "/d/"); }), "Unknown lha");
}

TEST(FindArchiveExtension, PrefersZipOverLzh) {
    struct ExtensionCase {
        std::vector<std::string> Files, Folders;
        std::string Want;
    };
    for (const auto& c : std::vector<ExtensionCase>{
             {{"m.zip"}, {}, ".zip"},
             {{"m.lzh"}, {}, ".lzh"},
             {{"m.zip", "m.lzh"}, {}, ".zip"},
             {{}, {}, ""},
             {{"m.lzh"}, {"m.zip"}, ".lzh"},
             {{"m.ZIP"}, {}, ""},
         }) {
        TempDir dir;
        for (const auto& f : c.Files)
            WriteFile(dir.File(f), "x");
        for (const auto& f : c.Folders)
            fs::create_directories(dir.File(f));
        EXPECT_EQ(FindArchiveExtension(dir.File("m")), c.Want) << ::testing::PrintToString(c.Files);
    }
}

// A program folder with the recording 7-zip32 library and a "7z.exe" that appends its arguments, one a
// line and each call ended by "--", to a file - after a pause, so a caller that did not wait would not see
// them. Its test command ("t") ends with the exit code TOWAGI_FAKE_7Z_TEST_EXIT (default 0).
struct ProgramFolder {
    TempDir Dir;
    std::string ArgumentsFile = Dir.File("7z-arguments.txt");
    ScopedEnv ArgumentsLog{"TOWAGI_FAKE_7Z_LOG", ArgumentsFile};

    ProgramFolder() {
        fs::copy_file(kRecorder + "lib7-zip32.so", Dir.File("lib7-zip32.so"));
        WriteFile(Dir.File("7z.exe"),
                  "#!/bin/sh\nsleep 0.3\n{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo --; } >> "
                  "\"$TOWAGI_FAKE_7Z_LOG\"\n"
                  "[ \"$1\" = t ] && exit \"${TOWAGI_FAKE_7Z_TEST_EXIT:-0}\"\nexit 0\n");
        fs::permissions(Dir.File("7z.exe"), fs::perms::owner_all);
    }
    // The arguments of every call, in order.
    std::vector<std::vector<std::string>> Calls() const {
        std::vector<std::vector<std::string>> calls;
        if (!fs::exists(ArgumentsFile)) return calls;
        std::istringstream text(ReadFile(ArgumentsFile));
        std::vector<std::string> call;
        for (std::string line; std::getline(text, line);) {
            if (line != "--") {
                call.push_back(line);
                continue;
            }
            calls.push_back(call);
            call.clear();
        }
        return calls;
    }
};

TEST(ExtractArchive, ChoosesTheArchiverByExtension) {
    struct RouteCase {
        std::string Name;
        bool SevenZip32, SevenZipProgram;
    };
    for (const auto& c : std::vector<RouteCase>{{"m.zip", true, false},
                                                {"m.Zip", true, false},
                                                {"m.ZIP", true, false},
                                                {"m.lzh", false, true},
                                                {"m.LZH", false, true},
                                                {"m.txt", false, false},
                                                {"m", false, false}}) {
        ProgramFolder program;
        TempDir data;
        WriteFile(data.File(c.Name), MakeLzh({{"a.txt", "a"}}, 2));
        Recorder recorder;
        ScopedPrompts prompts;
        ExtractArchive(data.File(c.Name), data.File("out/"), program.Dir.Dir());
        EXPECT_EQ(recorder.Commands().size(), c.SevenZip32 ? 1u : 0u) << c.Name;
        EXPECT_EQ(!program.Calls().empty(), c.SevenZipProgram) << c.Name;
        EXPECT_TRUE(prompts.Messages().empty()) << c.Name;
    }
}

// 7-Zip writes what it decoded before it finds a CRC error or the archive's end missing, so the archive
// is tested first and unpacked only when the test passed. An entry that would land elsewhere is seen
// before 7-Zip is started at all.
TEST(ExtractWith7zExe, TestsTheArchiveThenUnpacksWithTheProgramFolders7z) {
    struct TestExitCase {
        const char* TestExit;
        bool Unpacks;
    };
    TempDir data;
    const std::string archive = data.File("マスタ 1.lzh");
    WriteFile(archive, MakeLzh({{"KMIHINK0.TXT", "1,2"}}, 2));
    for (const auto& c : std::vector<TestExitCase>{{"0", true}, {"1", false}, {"2", false}, {"255", false}}) {
        ProgramFolder program;
        ScopedEnv testExit("TOWAGI_FAKE_7Z_TEST_EXIT", c.TestExit);
        ExtractWith7zExe(archive, "/work/展開先/", program.Dir.Dir());
        std::vector<std::vector<std::string>> want = {{"t", archive, "-y"}};
        if (c.Unpacks) want.push_back({"x", archive, "-o/work/展開先/", "-y"});
        EXPECT_EQ(program.Calls(), want) << "test exit " << c.TestExit;
    }
    ProgramFolder program;
    WriteFile(archive, MakeLzh({{"KMIHINK0.TXT", "1,2"}, {"../KMIHINK0.TXT", "3,4"}}, 2));
    ExtractWith7zExe(archive, "/work/展開先/", program.Dir.Dir());
    EXPECT_EQ(program.Calls(), std::vector<std::vector<std::string>>{});
}

TEST(ExtractWith7zExe, WithoutAnyArchiverNothingHappens) {
    TempDir program, emptyPath, data;
    ScopedEnv path("PATH", emptyPath.Path().string());
    EXPECT_NO_THROW(ExtractWith7zExe(data.File("m.lzh"), data.File("out/"), program.Dir()));
    EXPECT_FALSE(fs::exists(data.File("out")));
}

TEST(ExtractZipArchive, ShowsWhatWentWrongAndAnswersFalse) {
    struct ZipCase {
        std::string Title;
        std::string LibraryFolder; // "" = the recording library
        bool ArchiveExists;
        const char* CheckAnswer;
        const char* Result;
        bool Want;
        std::vector<std::string> Messages;
        bool Extracts; // the extract command was sent
    };
    TempDir empty;
    for (const auto& c : std::vector<ZipCase>{
             {"extracted", "", true, "1", "0", true, {}, true},
             {"damaged", "", true, "0", "0", false, {"書庫が壊れています"}, false},
             {"missing", "", false, "1", "0", false, {"書庫が壊れています"}, false},
             {"the command fails", "", true, "1", "1", false, {"解凍に失敗しました。"}, true},
             {"no library", empty.Dir(), true, "1", "0", false, {"Unknon DLL 7-zip32.dll"}, false},
             {"incomplete library",
              kRecorders + "without-SevenZipGetRunning/",
              true,
              "1",
              "0",
              false,
              {"DLLの読込みに失敗しました"},
              false},
         }) {
        TempDir data;
        if (c.ArchiveExists) WriteFile(data.File("m.zip"), "PK");
        Recorder recorder;
        recorder.Answer("CHECK", c.CheckAnswer);
        recorder.Answer("RESULT", c.Result);
        ScopedPrompts prompts;
        EXPECT_EQ(ExtractZipArchive(data.File("m.zip"), data.File("out"),
                                    c.LibraryFolder.empty() ? kRecorder : c.LibraryFolder),
                  c.Want)
            << c.Title;
        EXPECT_EQ(prompts.Messages(), c.Messages) << c.Title;
        EXPECT_EQ(recorder.Commands(),
                  c.Extracts ? std::vector<std::string>{"x -tzip -hide \"" + data.File("m.zip") + "\" -o\"" +
                                                        data.File("out/") + "\" "}
                             : std::vector<std::string>{})
            << c.Title;
    }
}

} // namespace
} // namespace towagi
