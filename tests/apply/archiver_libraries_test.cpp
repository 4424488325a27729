// The project's archiver libraries (lib7-zip32.so, libunlha32.so) doing real work through the adapters:
// ZIP and LZH archives with CP932 names and folders, packing and updating, damaged and cut archives, and
// archives whose entries point outside the destination. Debian's 7-Zip serves the archiver program route.
#include "apply/archive_adapters.h"
#include "apply/archive_extraction.h"
#include "apply/library_handle.h"

#include "platform/archivers/archive_reader.h"
#include "platform/archivers/command_text.h"
#include "platform/process.h"
#include "support/encoding.h"
#include "tests/apply/archive_test_support.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace towagi {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveItem;
using testing::EntryKind;
using testing::ErrorOf;
using testing::FixtureTime;
using testing::IsLoaded;
using testing::MakeLzh;
using testing::MakeZip;
using testing::ReadFile;
using testing::ScopedPrompts;
using testing::TempDir;
using testing::Tree;
using testing::WriteFile;

using Files = std::map<std::string, std::string>;

const std::string kLibraries = TOWAGI_ARCHIVER_LIBRARIES;
const std::string kFixtures = TOWAGI_TEST_FIXTURES;

std::string Cp(const std::string& utf8) {
    return ToCP932(utf8, "test");
}

std::time_t ModificationTime(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mtime : -1;
}

void SetModificationTime(const std::string& path, std::time_t time) {
    const timespec times[2] = {{time, 0}, {time, 0}};
    testing::Require(utimensat(AT_FDCWD, path.c_str(), times, 0) == 0, "file time of " + path);
}

// Names with 0x5C as the second byte of a CP932 character (表, ソ, 能), in folders.
const std::vector<ArchiveItem>& JapaneseItems() {
    static const std::vector<ArchiveItem> items = {
        {"readme.txt", "hello\r\n"},
        {Cp("データ/表.txt"), Cp("表の中身")},
        {Cp("ソ連/能力/予定.csv"), "1,2\r\n3,4\r\n"},
        {Cp("空フォルダ"), "", EntryKind::Folder},
    };
    return items;
}

const Files kJapaneseTree = {
    {"readme.txt", "hello\r\n"},
    {"データ/", ""},
    {"データ/表.txt", Cp("表の中身")},
    {"ソ連/", ""},
    {"ソ連/能力/", ""},
    {"ソ連/能力/予定.csv", "1,2\r\n3,4\r\n"},
    {"空フォルダ/", ""},
};

TEST(ArchiverLibraries, ReportTheirVersions) {
    TArcSevenZip archiver(kArcOutputSizeEstimation, kLibraries);
    EXPECT_EQ(archiver.GetVersion(), kSevenZipLibraryVersion);
    TLHA lha(nullptr, kLibraries);
    EXPECT_EQ(lha.Version(), kUnlhaLibraryVersion);
    EXPECT_GE(lha.Version(), kUnlhaMinimumVersion);
}

TEST(ArchiverLibraries, AreUnloadedWhenTheAdapterGoes) {
    {
        TArcSevenZip archiver(kArcOutputSizeEstimation, kLibraries);
        TLHA lha(nullptr, kLibraries);
        EXPECT_TRUE(IsLoaded(kLibraries + "lib7-zip32.so"));
        EXPECT_TRUE(IsLoaded(kLibraries + "libunlha32.so"));
    }
    EXPECT_FALSE(IsLoaded(kLibraries + "lib7-zip32.so"));
    EXPECT_FALSE(IsLoaded(kLibraries + "libunlha32.so"));
}

TEST(SevenZip32Library, ExtractsZipWithFoldersAndJapaneseNames) {
    struct ZipCase {
        std::string Title;
        std::vector<ArchiveItem> Items;
        bool Utf8Names;
        Files Want;
    };
    for (const auto& c : std::vector<ZipCase>{
             {"CP932 names", JapaneseItems(), false, kJapaneseTree},
             {"names flagged as UTF-8",
              {{"Ünïcode/naïve.txt", "x"}},
              true,
              {{"Ünïcode/", ""}, {"Ünïcode/naïve.txt", "x"}}},
             {"\".\" steps are dropped", {{"./d/./x.txt", "x"}}, false, {{"d/", ""}, {"d/x.txt", "x"}}},
         }) {
        TempDir dir;
        WriteFile(dir.File("マスタ.zip"), MakeZip(c.Items, c.Utf8Names));
        ScopedPrompts prompts;
        EXPECT_TRUE(ExtractZipArchive(dir.File("マスタ.zip"), dir.File("展開先"), kLibraries)) << c.Title;
        EXPECT_TRUE(prompts.Messages().empty()) << c.Title;
        EXPECT_EQ(Tree(dir.File("展開先")), c.Want) << c.Title;
    }
}

TEST(SevenZip32Library, KeepsTheEntriesTimes) {
    TempDir dir;
    WriteFile(dir.File("m.zip"), MakeZip(JapaneseItems()));
    ScopedPrompts prompts;
    ASSERT_TRUE(ExtractZipArchive(dir.File("m.zip"), dir.File("out"), kLibraries));
    EXPECT_EQ(ModificationTime(dir.File("out/データ/表.txt")), FixtureTime());
    EXPECT_EQ(ModificationTime(dir.File("out/readme.txt")), FixtureTime());
}

// A folder to pack: Japanese names, a sub-folder, an empty folder, known times.
void FillSource(const std::string& source) {
    fs::create_directories(source + "データ/空");
    WriteFile(source + "readme.txt", "hello");
    WriteFile(source + "データ/表.txt", "表");
    for (const char* name : {"readme.txt", "データ/表.txt"})
        SetModificationTime(source + name, FixtureTime());
}

TEST(SevenZip32Library, PacksWhatItUnpacksAgain) {
    for (const std::string password : {"", "秘密"}) {
        TempDir dir;
        FillSource(dir.File("src/"));
        TArcSevenZip archiver(kArcOutputSizeEstimation, kLibraries);
        archiver.SetArchiveName("パック.zip");
        archiver.SetSourceDir(dir.File("src"));
        archiver.SetDestDir(dir.File("zip"));
        fs::create_directories(dir.File("zip"));
        archiver.SetPassword(password);
        archiver.Compress(nullptr);

        // Names are stored in CP932, as the suite's archivers store them.
        const std::string bytes = ReadFile(dir.File("zip/パック.zip"));
        EXPECT_NE(bytes.find(Cp("データ/表.txt")), std::string::npos) << password;
        EXPECT_EQ(bytes.find("データ"), std::string::npos) << password;

        archiver.SetSourceDir(dir.File("zip"));
        archiver.SetDestDir(dir.File("out"));
        if (!password.empty()) {
            archiver.SetPassword("");
            EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { archiver.Extract(nullptr, ""); }),
                      "解凍に失敗しました。");
            archiver.SetPassword(password);
        }
        archiver.Extract(nullptr, "");
        EXPECT_EQ(
            Tree(dir.File("out")),
            (Files{{"readme.txt", "hello"}, {"データ/", ""}, {"データ/空/", ""}, {"データ/表.txt", "表"}}))
            << password;
        EXPECT_EQ(ModificationTime(dir.File("out/データ/表.txt")), FixtureTime()) << password;
    }
}

TEST(SevenZip32Library, APackThatFailsLeavesTheOldArchiveAsItWas) {
    struct PackCase {
        std::string Title;
        std::function<void(const std::string& source)> Spoil;
    };
    for (const auto& c : std::vector<PackCase>{
             {"a link among the files",
              [](const std::string& source) { fs::create_symlink("/etc/passwd", source + "link"); }},
             {"a name CP932 cannot hold",
              [](const std::string& source) { WriteFile(source + "Ünïcode.txt", "u"); }},
         }) {
        TempDir dir;
        FillSource(dir.File("src/"));
        TArcSevenZip archiver(kArcOutputSizeEstimation, kLibraries);
        archiver.SetArchiveName("m.zip");
        archiver.SetSourceDir(dir.File("src"));
        archiver.SetDestDir(dir.Dir());
        archiver.Compress(nullptr);
        const std::string before = ReadFile(dir.File("m.zip"));
        c.Spoil(dir.File("src/"));
        EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { archiver.Compress(nullptr); }), "圧縮に失敗しました。")
            << c.Title;
        EXPECT_EQ(ReadFile(dir.File("m.zip")), before) << c.Title;
        for (const auto& [name, content] : Tree(dir.Dir()))
            EXPECT_EQ(name.find(".part"), std::string::npos) << c.Title << ": " << name;
    }
}

TEST(SevenZip32Library, WhatItPacksIsReadBy7Zip) {
    TempDir dir;
    fs::create_directories(dir.File("src/data"));
    WriteFile(dir.File("src/data/table.csv"), std::string(5000, 'x'));
    TArcSevenZip archiver(kArcOutputSizeEstimation, kLibraries);
    archiver.SetArchiveName("packed.zip");
    archiver.SetSourceDir(dir.File("src"));
    archiver.SetDestDir(dir.Dir());
    archiver.Compress(nullptr);
    StartRequest test;
    test.File = ResolveProgram("7zz").empty() ? "7z" : "7zz";
    test.Parameters = "x \"" + dir.File("packed.zip") + "\" -o\"" + dir.File("by7zip") + "\" -y";
    test.Window = StartWindow::Hidden;
    test.Wait = StartWait::WaitForExit;
    const StartResult result = StartFile(test);
    ASSERT_TRUE(result.Started) << "Debian's 7-Zip (7zip) is needed: " << result.ErrorText;
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(ReadFile(dir.File("by7zip/data/table.csv")), std::string(5000, 'x'));
}

TEST(SevenZip32Library, UpdateAddsIncludedFilesAndReplacesOnlyOlderEntries) {
    TempDir dir;
    const std::string source = dir.File("src/");
    fs::create_directories(source);
    WriteFile(source + "a.txt", "version 1");
    SetModificationTime(source + "a.txt", FixtureTime());
    TArcSevenZip archiver(kArcOutputSizeEstimation, kLibraries);
    archiver.SetArchiveName("u.zip");
    archiver.SetSourceDir(source);
    archiver.SetDestDir(dir.Dir());
    archiver.Compress(nullptr);

    auto extracted = [&](const std::string& folder) {
        TArcSevenZip reader(kArcOutputSizeEstimation, kLibraries);
        reader.SetArchiveName("u.zip");
        reader.SetSourceDir(dir.Dir());
        reader.SetDestDir(dir.File(folder));
        reader.Extract(nullptr, "");
        return Tree(dir.File(folder));
    };

    // A newer a.txt replaces the entry; the include specification adds b.dat.
    WriteFile(source + "a.txt", "version 2");
    SetModificationTime(source + "a.txt", FixtureTime() + 60);
    WriteFile(source + "b.dat", "data");
    WriteFile(source + "c.txt", "not included");
    archiver.UpdateArchive(nullptr, source + "a.txt", source + "*.dat");
    EXPECT_EQ(extracted("first"), (Files{{"a.txt", "version 2"}, {"b.dat", "data"}}));

    // An older a.txt does not.
    WriteFile(source + "a.txt", "version 0");
    SetModificationTime(source + "a.txt", FixtureTime() - 60);
    archiver.UpdateArchive(nullptr, source + "a.txt", source + "*.dat");
    EXPECT_EQ(extracted("second"), (Files{{"a.txt", "version 2"}, {"b.dat", "data"}}));

    // Nothing matching the include specification: the archive stays as it was.
    EXPECT_EQ(ErrorOf<EMyLibraryError>(
                  [&] { archiver.UpdateArchive(nullptr, source + "a.txt", source + "*.none"); }),
              "圧縮に失敗しました。");
    EXPECT_EQ(extracted("third"), (Files{{"a.txt", "version 2"}, {"b.dat", "data"}}));
    EXPECT_EQ(Tree(dir.Dir()).count("u.zip"), 1u);
}

struct DamageCase {
    std::string Title;
    std::function<std::string(const std::string& archive)> Damage;
};

// The second entry's data is the one damaged; its name already holds a good file in the destination.
std::string FlipByteOf(const std::string& archive, const std::string& data) {
    std::string damaged = archive;
    const size_t at = damaged.find(data);
    damaged[at + 1] = static_cast<char>(damaged[at + 1] ^ 0x01);
    return damaged;
}

std::string CutInside(const std::string& archive, const std::string& data) {
    return archive.substr(0, archive.find(data) + 2);
}

const std::string kGoodText = "good, already installed";

// Whether only what may appear did: the first entry, and the destination's own file unchanged.
void ExpectNothingDamagedWritten(const std::string& dest, const std::string& title) {
    for (const auto& [name, content] : Tree(dest)) {
        const Files allowed = {{"readme.txt", "hello\r\n"}, {"データ/", ""}, {"データ/表.txt", kGoodText}};
        const auto it = allowed.find(name);
        EXPECT_TRUE(it != allowed.end() && it->second == content) << title << ": " << name;
    }
    EXPECT_EQ(ReadFile(dest + "データ/表.txt"), kGoodText) << title;
}

TEST(SevenZip32Library, ADamagedZipIsReportedAndLeavesNoPartialFile) {
    const std::string damagedData = Cp("表の中身");
    const std::string zip = MakeZip(JapaneseItems());
    const size_t directory = zip.find("PK\x01\x02");
    for (const auto& c : std::vector<DamageCase>{
             {"CRC error", [&](const std::string& a) { return FlipByteOf(a, damagedData); }},
             {"cut inside the data", [&](const std::string& a) { return CutInside(a, damagedData); }},
             {"cut before the central directory",
              [&](const std::string& a) { return a.substr(0, directory); }},
             {"cut inside the end record", [](const std::string& a) { return a.substr(0, a.size() - 5); }},
             {"not an archive", [](const std::string&) { return std::string("hello, world"); }},
             {"empty", [](const std::string&) { return std::string(); }},
             {"a name that is not CP932",
              [](const std::string&) {
                  return MakeZip({{"readme.txt", "hello\r\n"}, {"\x81\x20.txt", "x"}});
              }},
         }) {
        TempDir dir;
        WriteFile(dir.File("m.zip"), c.Damage(zip));
        fs::create_directories(dir.File("out/データ"));
        WriteFile(dir.File("out/データ/表.txt"), kGoodText);

        TArcSevenZip archiver(kArcOutputSizeEstimation, kLibraries);
        archiver.SetArchiveName("m.zip");
        archiver.SetSourceDir(dir.Dir());
        archiver.SetDestDir(dir.File("out"));
        EXPECT_FALSE(archiver.CheckArchive()) << c.Title;
        EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { archiver.Extract(nullptr, ""); }), "解凍に失敗しました。")
            << c.Title;
        ExpectNothingDamagedWritten(dir.File("out/"), c.Title);

        ScopedPrompts prompts;
        EXPECT_FALSE(ExtractZipArchive(dir.File("m.zip"), dir.File("out"), kLibraries)) << c.Title;
        EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"書庫が壊れています"}) << c.Title;
    }
}

TEST(UnlhaLibrary, ExtractsEveryHeaderLevelIntoOneFolder) {
    for (int level : {0, 1, 2}) {
        TempDir dir;
        WriteFile(dir.File("マスタ.lzh"), MakeLzh(JapaneseItems(), level));
        TLHA lha(nullptr, kLibraries);
        lha.Extract(dir.File("マスタ.lzh"), dir.File("展開先/"));
        EXPECT_EQ(
            Tree(dir.File("展開先")),
            (Files{{"readme.txt", "hello\r\n"}, {"表.txt", Cp("表の中身")}, {"予定.csv", "1,2\r\n3,4\r\n"}}))
            << "level " << level;
        EXPECT_EQ(ModificationTime(dir.File("展開先/表.txt")), FixtureTime()) << "level " << level;
    }
}

// The texts inside tests/fixtures/lh5_level2.lzh (see tests/fixtures/README.md).
Files FixtureTexts(const std::string& folder) {
    std::string readme, table;
    char line[64];
    for (int i = 0; i < 12; ++i) {
        std::snprintf(line, sizeof line, "line %02d: master data for the update test\n", i);
        readme += line;
    }
    for (int i = 0; i < 40; ++i) {
        std::snprintf(line, sizeof line, "%04d,ITEM%04d,100,200\n", i, i);
        table += line;
    }
    if (folder.empty()) return {{"readme.txt", readme}, {"table.csv", table}};
    return {{"readme.txt", readme}, {folder + "/", ""}, {folder + "/table.csv", table}};
}

TEST(UnlhaLibrary, ExtractsCompressedEntriesOfARealLhaWriter) {
    TempDir dir;
    TLHA lha(nullptr, kLibraries);
    lha.Extract(kFixtures + "lh5_level2.lzh", dir.File("out/"));
    EXPECT_EQ(Tree(dir.File("out")), FixtureTexts(""));
}

TEST(UnlhaLibrary, SwitchesAndCommands) {
    struct UnlhaCase {
        std::string Title;
        std::string Switches; // between the command word and the archive
        std::string Command;
        std::time_t ExistingTime; // of an "予定.csv" already in the destination
        std::string FileSpec;
        Files Want;
    };
    const std::time_t older = FixtureTime() - 3600, newer = FixtureTime() + 3600;
    const std::string archived = "1,2\r\n3,4\r\n", existing = "existing";
    for (const auto& c : std::vector<UnlhaCase>{
             {"-c1 overwrites a newer file", "-c1 -m1", "e", newer, "", {}},
             {"without -c1 a newer file stays", "-m1", "e", newer, "", {}},
             {"without -c1 an older file is replaced", "", "e", older, "", {}},
             {"-c0 keeps the time check", "-c0", "e", newer, "", {}},
             {"x keeps the folders", "-c1", "x", older, "", {}},
             {"file specification", "-c1", "e", older, "*.csv", {}},
         }) {
        TempDir dir;
        WriteFile(dir.File("m.lzh"), MakeLzh(JapaneseItems(), 2));
        fs::create_directories(dir.File("out"));
        WriteFile(dir.File("out/予定.csv"), existing);
        SetModificationTime(dir.File("out/予定.csv"), c.ExistingTime);
        TLHA lha(nullptr, kLibraries);
        lha.RunCommand(c.Command + " " + c.Switches + " \"" + dir.File("m.lzh") + "\" \"" + dir.File("out/") +
                       "\"" + (c.FileSpec.empty() ? "" : " \"" + c.FileSpec + "\""));
        const bool replaced = c.Switches.find("-c1") != std::string::npos || c.ExistingTime < FixtureTime();
        Files want = {{"予定.csv", replaced && c.Command == "e" ? archived : existing}};
        if (c.Command == "x") {
            want.insert({{"readme.txt", "hello\r\n"},
                         {"データ/", ""},
                         {"データ/表.txt", Cp("表の中身")},
                         {"ソ連/", ""},
                         {"ソ連/能力/", ""},
                         {"ソ連/能力/予定.csv", archived},
                         {"空フォルダ/", ""}});
        } else if (c.FileSpec.empty()) {
            want.insert({{"readme.txt", "hello\r\n"}, {"表.txt", Cp("表の中身")}});
        }
        EXPECT_EQ(Tree(dir.File("out")), want) << c.Title;
    }
}

TEST(UnlhaLibrary, ADamagedArchiveRaisesTheLibrarysMessageAndLeavesNoPartialFile) {
    const std::string damagedData = Cp("表の中身");
    for (int level : {0, 1, 2}) {
        const std::string lzh = MakeLzh(JapaneseItems(), level);
        for (const auto& c : std::vector<DamageCase>{
                 {"CRC error", [&](const std::string& a) { return FlipByteOf(a, damagedData); }},
                 {"cut inside the data", [&](const std::string& a) { return CutInside(a, damagedData); }},
                 {"cut at an entry boundary", [](const std::string& a) { return a.substr(0, a.size() - 1); }},
                 {"header damaged", [](const std::string& a) { return FlipByteOf(a, "-lh0-"); }},
                 {"not an archive", [](const std::string&) { return std::string("hello, world"); }},
                 {"empty", [](const std::string&) { return std::string(); }},
             }) {
            const std::string title = c.Title + ", level " + std::to_string(level);
            TempDir dir;
            WriteFile(dir.File("m.lzh"), c.Damage(lzh));
            fs::create_directories(dir.File("out/データ"));
            WriteFile(dir.File("out/データ/表.txt"), kGoodText);
            TLHA lha(nullptr, kLibraries);
            const std::string error =
                ErrorOf<EDLLLoadError>([&] { lha.Extract(dir.File("m.lzh"), dir.File("out/データ/")); });
            EXPECT_EQ(error.rfind("書庫が壊れています: " + dir.File("m.lzh"), 0), 0u)
                << title << ": " << error;
            // Flattened into the folder that holds the good file.
            for (const auto& [name, content] : Tree(dir.File("out/データ")))
                EXPECT_TRUE((name == "表.txt" && content == kGoodText) ||
                            (name == "readme.txt" && content == "hello\r\n"))
                    << title << ": " << name;
        }
    }
}

// A destination without its trailing '/' that is no folder yet is taken for a file specification, as the
// library's command rules say; it matches nothing, and that fails instead of unpacking nothing at all.
TEST(UnlhaLibrary, ADestinationThatIsNoFolderFailsInsteadOfUnpackingNothing) {
    TempDir dir;
    WriteFile(dir.File("m.lzh"), MakeLzh(JapaneseItems(), 2));
    TLHA lha(nullptr, kLibraries);
    EXPECT_EQ(ErrorOf<EDLLLoadError>([&] { lha.Extract(dir.File("m.lzh"), dir.File("new")); }),
              "ファイルが見つかりません: " + dir.File("new"));
    EXPECT_EQ(ErrorOf<EDLLLoadError>([&] {
                  lha.RunCommand("e -c1 \"" + dir.File("m.lzh") + "\" \"" + dir.File("out/") +
                                 "\" *.csv *.none");
              }),
              "ファイルが見つかりません: *.none");
    EXPECT_EQ(Tree(dir.Dir()), (Files{{"m.lzh", ReadFile(dir.File("m.lzh"))}})) << "nothing written";
    fs::create_directories(dir.File("new"));
    lha.Extract(dir.File("m.lzh"), dir.File("new"));
    EXPECT_EQ(Tree(dir.File("new")).size(), 3u) << "an existing folder is the destination";
}

struct EscapeCase {
    std::string Title;
    std::vector<ArchiveItem> Items; // names relative to nothing; "<outside>" stands for an absolute path
};

// Every way out of the destination an archive can try. The first entry is harmless: an unsafe archive is
// refused before anything at all is written.
std::vector<EscapeCase> EscapeCases(const std::string& outside, bool zip) {
    std::vector<EscapeCase> cases = {
        {"parent folder", {{"good.txt", "g"}, {"../../evil.txt", "e"}}},
        {"parent folder after a folder", {{"good.txt", "g"}, {"sub/../../../evil.txt", "e"}}},
        {"absolute path", {{"good.txt", "g"}, {outside + "abs.txt", "e"}}},
        {"symbolic link", {{"good.txt", "g"}, {"link", "../../outside", EntryKind::Link}}},
        {"file through a symbolic link",
         {{"good.txt", "g"}, {"link", "../../outside", EntryKind::Link}, {"link/evil.txt", "e"}}},
    };
    if (zip) {
        cases.push_back({"parent folder with backslashes", {{"good.txt", "g"}, {"..\\..\\evil.txt", "e"}}});
        cases.push_back({"drive letter", {{"good.txt", "g"}, {"C:\\evil.txt", "e"}}});
    }
    return cases;
}

// Files and links below the test's root: none may appear, not even the harmless first entry.
std::vector<std::string> FilesBelow(const std::string& root) {
    std::vector<std::string> found;
    for (const auto& [name, content] : Tree(root))
        if (name.back() != '/') found.push_back(name);
    return found;
}

TEST(SevenZip32Library, NeverWritesOutsideTheDestination) {
    TempDir root;
    const std::string outside = root.File("outside/"), dest = root.File("a/b/dest/");
    for (const auto& c : EscapeCases(outside, true)) {
        fs::create_directories(outside);
        fs::create_directories(dest);
        WriteFile(root.File("m.zip"), MakeZip(c.Items));
        TArcSevenZip archiver(kArcOutputSizeEstimation, kLibraries);
        archiver.SetArchiveName("m.zip");
        archiver.SetSourceDir(root.Dir());
        archiver.SetDestDir(dest);
        EXPECT_FALSE(archiver.CheckArchive()) << c.Title;
        EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { archiver.Extract(nullptr, ""); }), "解凍に失敗しました。")
            << c.Title;
        fs::remove(root.File("m.zip"));
        EXPECT_EQ(FilesBelow(root.Dir()), std::vector<std::string>{}) << c.Title;
        fs::remove_all(root.File("a"));
    }
}

TEST(UnlhaLibrary, NeverWritesOutsideTheDestination) {
    TempDir root;
    const std::string outside = root.File("outside/"), dest = root.File("a/b/dest/");
    for (int level : {0, 1, 2}) {
        for (const auto& c : EscapeCases(outside, false)) {
            // Level 0 headers have no room for a link; its names separate folders with '\'.
            const bool withLink = std::any_of(c.Items.begin(), c.Items.end(), [](const ArchiveItem& item) {
                return item.Kind == EntryKind::Link;
            });
            if (level == 0 && withLink) continue;
            fs::create_directories(outside);
            fs::create_directories(dest);
            WriteFile(root.File("m.lzh"), MakeLzh(c.Items, level));
            for (const std::string command : {"e", "x"}) {
                TLHA lha(nullptr, kLibraries);
                const std::string error = ErrorOf<EDLLLoadError>([&] {
                    lha.RunCommand(command + " -c1 -m1 \"" + root.File("m.lzh") + "\" \"" + dest + "\"");
                });
                EXPECT_EQ(error.rfind("書庫が壊れています", 0) == 0 ||
                              error.rfind("展開先の外を指す名前があります", 0) == 0 ||
                              error.rfind("ファイルでもフォルダでもない項目があります", 0) == 0,
                          true)
                    << c.Title << ", level " << level << ": " << error;
            }
            fs::remove(root.File("m.lzh"));
            EXPECT_EQ(FilesBelow(root.Dir()), std::vector<std::string>{}) << c.Title << ", level " << level;
            fs::remove_all(root.File("a"));
        }
    }
}

// A link that already lies in the destination is not followed either.
TEST(ArchiverLibraries, DoNotFollowALinkAlreadyInTheDestination) {
    for (const std::string command : {"7-zip32", "unlha32 x", "unlha32 e"}) {
        TempDir root;
        const std::string dest = root.File("dest/");
        fs::create_directories(root.File("outside"));
        fs::create_directories(dest);
        fs::create_directory_symlink(root.File("outside"), dest + "sub");
        const std::vector<ArchiveItem> items = {{"sub/evil.txt", "e"}};
        if (command == "7-zip32") {
            WriteFile(root.File("m.zip"), MakeZip(items));
            TArcSevenZip archiver(kArcOutputSizeEstimation, kLibraries);
            archiver.SetArchiveName("m.zip");
            archiver.SetSourceDir(root.Dir());
            archiver.SetDestDir(dest);
            EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { archiver.Extract(nullptr, ""); }),
                      "解凍に失敗しました。");
        } else {
            WriteFile(root.File("m.lzh"), MakeLzh(items, 2));
            TLHA lha(nullptr, kLibraries);
            const std::string error = ErrorOf<EDLLLoadError>([&] {
                lha.RunCommand(command.substr(8) + " -c1 \"" + root.File("m.lzh") + "\" \"" + dest + "\"");
            });
            EXPECT_EQ(error.rfind("書き込めません: " + dest + "sub", 0) == 0, command == "unlha32 x")
                << error;
        }
        // "e" puts the file directly into the destination, beside the link.
        EXPECT_EQ(Tree(root.File("outside")), Files{}) << command;
        EXPECT_EQ(fs::exists(dest + "evil.txt"), command == "unlha32 e") << command;
    }
}

// Calls straight into a library, to see its result codes and output texts.
struct DirectCase {
    std::string Title;
    std::string Library; // "7-zip32" or "unlha32"
    std::string Command; // CP932 bytes
    int Result;
    std::string Output; // UTF-8, compared after conversion
};

TEST(ArchiverLibraries, AnswerBadCommandsWithACodeAndAText) {
    TempDir dir;
    const std::string zip = dir.File("a.zip");
    WriteFile(zip, MakeZip({{"a.txt", "a"}}));
    fs::create_directories(dir.File("odd"));
    WriteFile(dir.File("odd/Ü.txt"), "u");
    for (const auto& c : std::vector<DirectCase>{
             {"unknown command", "7-zip32", "z \"" + zip + "\"", kArchiverBadCommand,
              "ERROR: コマンドが違います: z"},
             {"unknown switch", "7-zip32", "x -q \"" + zip + "\"", kArchiverBadCommand,
              "ERROR: このスイッチは使えません: -q"},
             {"second -o", "7-zip32", "x \"" + zip + "\" -o\"/a/\" -o\"/b/\"", kArchiverBadCommand,
              "ERROR: スイッチが重複しています: -o"},
             {"open quote", "7-zip32", "x \"" + zip, kArchiverBadCommand,
              "ERROR: 引用符が閉じていません: x \"" + zip},
             {"other type", "7-zip32", "x -tlzh \"" + zip + "\"", kArchiverBadCommand,
              "ERROR: この形式は扱えません: lzh"},
             {"no archive", "7-zip32", "x -tzip -hide", kArchiverBadCommand, "ERROR: 書庫の指定がありません"},
             {"nothing to pack", "7-zip32", "a \"" + dir.File("n.zip") + "\"", kArchiverBadCommand,
              "ERROR: 圧縮するファイルの指定がありません"},
             {"missing archive", "7-zip32", "x \"" + dir.File("none.zip") + "\" -o\"" + dir.File("o/") + "\"",
              kArchiverCannotOpen, "ERROR: 書庫を開けません: " + dir.File("none.zip")},
             {"folder as archive", "7-zip32", "x \"" + dir.Dir() + "\" -o\"" + dir.File("o/") + "\"",
              kArchiverCannotOpen, "ERROR: 書庫を開けません: " + dir.Dir()},
             {"nothing matches", "7-zip32", "a \"" + dir.File("n.zip") + "\" \"" + dir.File("*.none") + "\"",
              kArchiverNotFound, "ERROR: ファイルが見つかりません: " + dir.File("*.none")},
             {"unknown command", "unlha32", "q \"" + zip + "\"", kArchiverBadCommand,
              "コマンドが違います: q"},
             {"bad -c", "unlha32", "e -c2 \"" + zip + "\"", kArchiverBadCommand,
              "このスイッチは使えません: -c2"},
             {"not CP932", "unlha32", "e \"\x81\x20\"", kArchiverBadCommand,
              "文字コードを変換できません: コマンド (位置 3)"},
             {"names CP932 cannot hold are shown as bytes", "7-zip32",
              "a \"" + dir.File("u.zip") + "\" \"" + dir.File("odd/") + "\"", kArchiverCannotWrite,
              "ERROR: 書庫を作成できません: " + dir.File("u.zip") +
                  " : \\xC3\\x9C.txt (Can't translate Pathname '\\xC3\\x9C.txt' to CP932)"},
             {"a file specification that matches nothing", "7-zip32",
              "x \"" + zip + "\" -o\"" + dir.File("nm/") + "\" \"a.txt\" \"*.none\"", kArchiverNotFound,
              "ERROR: ファイルが見つかりません: *.none"},
             {"success lists the files", "7-zip32", "x \"" + zip + "\" -o\"" + dir.File("ok/") + "\"",
              kArchiverOk, "Extracting  a.txt\nEverything is Ok\n"},
         }) {
        LibraryHandle library = LibraryHandle::Load("lib" + c.Library + ".so", kLibraries);
        ASSERT_TRUE(library.IsLoaded());
        const auto command = library.Entry<SevenZipEntry>(c.Library == "7-zip32" ? "SevenZip" : "Unlha");
        const auto running = library.Entry<SevenZipGetRunningEntry>("SevenZipGetRunning");
        std::vector<char> output(1024, 'X');
        EXPECT_EQ(command(nullptr, c.Command.c_str(), output.data(), 1024), c.Result) << c.Title;
        EXPECT_EQ(FromCP932(output.data(), "output"), c.Output) << c.Title;
        if (running) {
            EXPECT_EQ(running(), 0) << c.Title;
        }
    }
}

// The busy answer is what the adapter's "処理中です" relies on: non-zero while a command runs (here packing
// data that compresses slowly), and a second command meanwhile is refused rather than run alongside.
TEST(ArchiverLibraries, ReportBusyWhileACommandRunsAndRefuseASecond) {
    TempDir dir;
    std::string noise(4 << 20, '\0');
    std::uint32_t seed = 12345;
    for (char& c : noise)
        c = static_cast<char>((seed = seed * 1664525 + 1013904223) >> 24);
    fs::create_directories(dir.File("src"));
    WriteFile(dir.File("src/noise.bin"), noise);
    WriteFile(dir.File("small.zip"), MakeZip({{"a.txt", "a"}}));
    LibraryHandle library = LibraryHandle::Load("lib7-zip32.so", kLibraries);
    const auto check = library.Entry<SevenZipCheckArchiveEntry>("SevenZipCheckArchive");
    const auto running = library.Entry<SevenZipGetRunningEntry>("SevenZipGetRunning");
    const auto command = library.Entry<SevenZipEntry>("SevenZip");
    ASSERT_TRUE(check && running && command);
    EXPECT_EQ(running(), 0);

    std::atomic<bool> done{false};
    int packed = -1, second = -1, checked = -1;
    std::vector<char> output(256, 'X'), packOutput(256, 'X');
    std::thread worker([&] {
        const std::string pack =
            "a -tzip -hide \"" + dir.File("big.zip") + "\" \"" + dir.File("src/") + "\" -mx9";
        packed =
            command(nullptr, pack.c_str(), packOutput.data(), static_cast<std::uint32_t>(packOutput.size()));
        done = true;
    });
    while (!done && second == -1) {
        if (!running()) continue;
        const std::string extract = "x \"" + dir.File("small.zip") + "\" -o\"" + dir.File("out/") + "\"";
        second = command(nullptr, extract.c_str(), output.data(), static_cast<std::uint32_t>(output.size()));
        checked = check(dir.File("small.zip").c_str(), 1);
    }
    worker.join();
    EXPECT_EQ(packed, kArchiverOk) << packOutput.data();
    ASSERT_NE(second, -1) << "the pack ended before the busy answer was seen";
    EXPECT_EQ(second, kArchiverAlreadyRunning);
    EXPECT_EQ(FromCP932(output.data(), "output"), "ERROR: 他の処理を実行中です");
    EXPECT_EQ(checked, 0) << "no check alongside either";
    EXPECT_FALSE(fs::exists(dir.File("out")));
    EXPECT_EQ(running(), 0);
}

TEST(ArchiverLibraries, CutTheirOutputAtACharacterBoundary) {
    LibraryHandle library = LibraryHandle::Load("libunlha32.so", kLibraries);
    const auto command = library.Entry<UnlhaEntry>("Unlha");
    // "コマンドが違います: q" in CP932: two bytes a character up to the colon.
    for (const auto& [size, want] : std::vector<std::pair<std::uint32_t, std::string>>{
             {1, ""}, {2, ""}, {3, "コ"}, {4, "コ"}, {5, "コマ"}, {64, "コマンドが違います: q"}}) {
        std::vector<char> output(size + 1, 'X');
        command(nullptr, "q", output.data(), size);
        EXPECT_EQ(std::string(output.data()), Cp(want)) << size;
        EXPECT_EQ(output[size], 'X') << "nothing written beyond the size " << size;
    }
}

TEST(ExtractWith7zExe, UnpacksLzhWithDebians7ZipKeepingFolders) {
    ASSERT_FALSE(ResolveProgram("7zz").empty() && ResolveProgram("7z").empty())
        << "Debian's 7-Zip (7zip) is needed";
    TempDir program, dir;
    WriteFile(dir.File("stored.lzh"), MakeLzh({{"readme.txt", "hello"}, {"data/table.csv", "1,2"}}, 2));
    ExtractWith7zExe(kFixtures + "lh5_level2.lzh", dir.File("out/"), program.Dir());
    ExtractWith7zExe(dir.File("stored.lzh"), dir.File("stored/"), program.Dir());
    EXPECT_EQ(Tree(dir.File("out")), FixtureTexts("data"));
    EXPECT_EQ(Tree(dir.File("stored")),
              (Files{{"readme.txt", "hello"}, {"data/", ""}, {"data/table.csv", "1,2"}}));
}

// 7-Zip writes what it decoded before it sees a CRC error or the archive's end missing; the test that runs
// first keeps every file of a damaged archive out, and a good file already there stays as it was.
TEST(ExtractWith7zExe, ADamagedArchiveLeavesNoFileBehind) {
    const std::string table = "1,2\r\n3,4\r\n";
    const std::string stored = MakeLzh({{"readme.txt", "hello\r\n"}, {"data/table.csv", table}}, 2);
    const std::string compressed = ReadFile(kFixtures + "lh5_level2.lzh");
    for (const auto& c : std::vector<DamageCase>{
             {"CRC error", [&](const std::string&) { return FlipByteOf(stored, table); }},
             {"cut inside the data", [&](const std::string&) { return CutInside(stored, table); }},
             {"compressed data damaged",
              [&](const std::string&) {
                  std::string damaged = compressed;
                  damaged[damaged.size() - 28] = static_cast<char>(damaged[damaged.size() - 28] ^ 0x10);
                  return damaged;
              }},
             {"compressed data cut",
              [&](const std::string&) { return compressed.substr(0, compressed.size() - 60); }},
             {"not an archive", [](const std::string&) { return std::string("hello, world"); }},
         }) {
        TempDir program, dir;
        WriteFile(dir.File("m.lzh"), c.Damage(""));
        fs::create_directories(dir.File("out/data"));
        WriteFile(dir.File("out/data/table.csv"), kGoodText);
        ExtractWith7zExe(dir.File("m.lzh"), dir.File("out/"), program.Dir());
        EXPECT_EQ(Tree(dir.File("out")), (Files{{"data/", ""}, {"data/table.csv", kGoodText}})) << c.Title;
    }
}

// 7-Zip would drop ".." steps and leading slashes and unpack links; an archive with any such entry counts as
// damaged and unpacks nothing, not even its harmless first file. 7-Zip goes by the content, not the name, so
// a ZIP archive under an ".lzh" name is checked (and, when harmless, unpacked) as well.
TEST(ExtractWith7zExe, NeverWritesOutsideTheDestination) {
    TempDir program, root;
    const std::string outside = root.File("outside/"), dest = root.File("a/b/dest/");
    for (const bool zip : {false, true}) {
        auto cases = EscapeCases(outside, zip);
        cases.push_back({"link to an absolute path",
                         {{"good.txt", "g"}, {"link", outside, EntryKind::Link}, {"link/evil.txt", "e"}}});
        for (const auto& c : cases) {
            const std::string title = c.Title + (zip ? ", ZIP" : ", LZH");
            fs::create_directories(outside);
            WriteFile(root.File("m.lzh"), zip ? MakeZip(c.Items) : MakeLzh(c.Items, 2));
            ExtractWith7zExe(root.File("m.lzh"), dest, program.Dir());
            fs::remove(root.File("m.lzh"));
            EXPECT_EQ(FilesBelow(root.Dir()), std::vector<std::string>{}) << title;
            fs::remove_all(root.File("a"));
        }
        WriteFile(root.File("m.lzh"), zip ? MakeZip({{"good.txt", "g"}}) : MakeLzh({{"good.txt", "g"}}, 2));
        ExtractWith7zExe(root.File("m.lzh"), dest, program.Dir());
        EXPECT_EQ(Tree(dest), (Files{{"good.txt", "g"}})) << (zip ? "ZIP" : "LZH");
        fs::remove_all(root.File("a"));
    }
}

// An archive whose files would fill the disk is refused by every route before a byte is written, with a
// Japanese message where the route shows one. The headers declare an exbibyte; the data is a few bytes.
TEST(ArchiverLibraries, AnArchiveThatWouldNotFitIsRefusedBeforeAnythingIsWritten) {
    const std::string kNoSpace = "展開先の空き容量が足りません";
    TempDir program, dir;
    WriteFile(dir.File("huge.zip"),
              MakeZip({{"readme.txt", "hello"}, {"data/huge.bin", "small data", EntryKind::File, 1LL << 60}}));
    const std::string dest = dir.File("a/dest/");

    TArcSevenZip archiver(kArcOutputSizeEstimation, kLibraries);
    archiver.SetArchiveName("huge.zip");
    archiver.SetSourceDir(dir.Dir());
    archiver.SetDestDir(dest);
    EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { archiver.Extract(nullptr, ""); }), "解凍に失敗しました。");
    EXPECT_FALSE(fs::exists(dir.File("a")));

    {
        ScopedPrompts prompts;
        EXPECT_FALSE(ExtractZipArchive(dir.File("huge.zip"), dest, kLibraries));
        ASSERT_EQ(prompts.Messages().size(), 1u);
        EXPECT_EQ(prompts.Messages()[0].rfind(kNoSpace, 0), 0u) << prompts.Messages()[0];
        EXPECT_NE(prompts.Messages()[0].find(dest), std::string::npos) << prompts.Messages()[0];
    }
    EXPECT_FALSE(fs::exists(dir.File("a")));

    // 7-Zip takes a ZIP archive under any name; it is never started for this one.
    fs::copy_file(dir.File("huge.zip"), dir.File("huge.lzh"));
    {
        ScopedPrompts prompts;
        ExtractWith7zExe(dir.File("huge.lzh"), dest, program.Dir());
        ASSERT_EQ(prompts.Messages().size(), 1u);
        EXPECT_EQ(prompts.Messages()[0].rfind(kNoSpace, 0), 0u) << prompts.Messages()[0];
    }
    EXPECT_FALSE(fs::exists(dir.File("a")));
}

TEST(CheckFreeSpace, ComparesTheDeclaredSizesInWholeBlocksWithTheFreeSpace) {
    TempDir dir;
    struct statvfs info {};
    ASSERT_EQ(statvfs(dir.Dir().c_str(), &info), 0);
    const long long block = static_cast<long long>(info.f_frsize);
    const long long free = static_cast<long long>(info.f_bavail) * block;
    // The destination does not exist yet: its nearest existing parent is asked.
    const std::string dest = dir.File("not/yet/");
    EXPECT_NO_THROW(archivers::CheckFreeSpace({}, "m.zip", dest));
    EXPECT_NO_THROW(archivers::CheckFreeSpace({-1, 0, 1, block}, "m.zip", dest));
    // Each file takes whole blocks: the figure needed counts a one-byte file and one a byte over a block as
    // one and two blocks. (Twice the free space leaves room for what other programs free meanwhile.)
    const long long big = (2 * free + block - 1) / block * block;
    const std::string error = ErrorOf<archivers::EArchiverError>(
        [&] { archivers::CheckFreeSpace({big, 1, 1, block + 1}, "m.zip", dest); });
    EXPECT_EQ(error.rfind("展開先の空き容量が足りません: m.zip を " + dest + " に展開するには " +
                              std::to_string(big + 4 * block) + " バイト必要ですが、空きは ",
                          0),
              0u)
        << error;
    EXPECT_EQ(archivers::CheckEntries(archivers::ArchiveFormat::Zip, [&] {
                  WriteFile(dir.File("m.zip"), MakeZip({{"a", "abc"}, {"f", "", EntryKind::Folder}, {"b", "x", EntryKind::File, 7}}));
                  return dir.File("m.zip");
              }()),
              (std::vector<long long>{3, 7}));
}

// The declared sizes are what the free-space check trusts: an entry with more data than its header
// declares is damage, and nothing of it is written.
TEST(SevenZip32Library, AnEntryLargerThanItsHeaderSaysIsRefused) {
    TempDir dir;
    WriteFile(dir.File("m.zip"), MakeZip({{"lie.txt", "0123456789", EntryKind::File, 4}}));
    TArcSevenZip archiver(kArcOutputSizeEstimation, kLibraries);
    archiver.SetArchiveName("m.zip");
    archiver.SetSourceDir(dir.Dir());
    archiver.SetDestDir(dir.File("out"));
    EXPECT_EQ(ErrorOf<EMyLibraryError>([&] { archiver.Extract(nullptr, ""); }), "解凍に失敗しました。");
    EXPECT_EQ(Tree(dir.File("out")), Files{});
}

TEST(ExtractArchive, UnpacksZipAndLzhForReal) {
    TempDir program, dir;
    fs::copy_file(kLibraries + "lib7-zip32.so", program.File("lib7-zip32.so"));
    WriteFile(dir.File("m.Zip"), MakeZip(JapaneseItems()));
    ScopedPrompts prompts;
    ExtractArchive(dir.File("m.Zip"), dir.File("zip/"), program.Dir());
    ExtractArchive(kFixtures + "lh5_level2.lzh", dir.File("lzh/"), program.Dir());
    EXPECT_EQ(Tree(dir.File("zip")), kJapaneseTree);
    EXPECT_EQ(Tree(dir.File("lzh")), FixtureTexts("data"));
    EXPECT_TRUE(prompts.Messages().empty());
}

} // namespace
} // namespace towagi
