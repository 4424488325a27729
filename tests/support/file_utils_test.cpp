#include "support/errors.h"
#include "support/file_utils.h"

#include "tests/common/test_env.h"
#include "tests/support/support_test_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace towagi {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

void SetModified(const std::string& path, std::time_t seconds, long nanoseconds = 0) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    testing::Require(utimensat(AT_FDCWD, path.c_str(), times, 0) == 0, "file time of " + path);
}

timespec Modified(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mtim;
}

mode_t Permissions(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Every name in the folder, hidden ones included: a failed copy must leave no temporary file behind.
Names Entries(const fs::path& folder) {
    Names names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Bytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 8192) & 0xFF);
    return bytes;
}

// Runs `copy`, expects EInOutError with the message and code, and returns for further checks.
template <typename Copy> void ExpectCopyError(Copy copy, const std::string& message, int errorCode) {
    try {
        copy();
        ADD_FAILURE() << "no error, expected " << message;
    } catch (const EInOutError& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, message.size()), message);
        EXPECT_EQ(e.ErrorCode, errorCode) << e.what();
    }
}

class ScopedCurrentDir {
public:
    explicit ScopedCurrentDir(const fs::path& folder) : old_(fs::current_path()) { fs::current_path(folder); }
    ~ScopedCurrentDir() { fs::current_path(old_); }
    ScopedCurrentDir(const ScopedCurrentDir&) = delete;
    ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

private:
    fs::path old_;
};

TEST(CopyFileWithDate, CopiesEveryBlockAndTheEvenSecond) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{8191}, size_t{8192}, size_t{8193}, size_t{3 * 8192},
                        size_t{3 * 8192 + 1}}) {
        testing::TempDir dir;
        const std::string content = Bytes(size);
        testing::WriteFile(dir.File("QRD0000.EXE"), content);
        SetModified(dir.File("QRD0000.EXE"), 1700000001, 500000000);
        CopyFileWithDate(dir.File("QRD0000.EXE"), dir.File("copy.exe"));
        EXPECT_EQ(testing::ReadFile(dir.File("copy.exe")), content) << size;
        timespec modified = Modified(dir.File("copy.exe"));
        EXPECT_EQ(modified.tv_sec, 1700000000) << size;
        EXPECT_EQ(modified.tv_nsec, 0) << size;
        EXPECT_EQ(Entries(dir.Path()), (Names{"QRD0000.EXE", "copy.exe"})) << size;
    }
}

TEST(CopyFileWithDate, RoundsTheLocalSecond) {
    // Dublin's clocks ran 25:21 behind until 1916, so there an even epoch second is an odd local one.
    struct Case {
        std::string zone;
        std::time_t source, want;
    };
    for (const auto& c : std::vector<Case>{{"UTC", 1700000001, 1700000000},
                                           {"UTC", 1700000000, 1700000000},
                                           {"Asia/Tokyo", 1700000003, 1700000002},
                                           {"Europe/Dublin", -1800000000, -1800000001},
                                           {"Europe/Dublin", -1799999999, -1799999999}}) {
        testing::ScopedTimeZone zone(c.zone);
        testing::TempDir dir;
        testing::WriteFile(dir.File("a.txt"), "x");
        SetModified(dir.File("a.txt"), c.source);
        ASSERT_EQ(Modified(dir.File("a.txt")).tv_sec, c.source) << "file system keeps no such time";
        CopyFileWithDate(dir.File("a.txt"), dir.File("b.txt"));
        EXPECT_EQ(Modified(dir.File("b.txt")).tv_sec, c.want) << c.zone << " " << c.source;
    }
}

TEST(CopyFileWithDate, ReplacesAnExistingFile) {
    testing::TempDir dir;
    testing::WriteFile(dir.File("new.dat"), "short");
    SetModified(dir.File("new.dat"), 1600000000);
    testing::WriteFile(dir.File("old.dat"), Bytes(20000));
    SetModified(dir.File("old.dat"), 1700000000);
    CopyFileWithDate(dir.File("new.dat"), dir.File("old.dat"));
    EXPECT_EQ(testing::ReadFile(dir.File("old.dat")), "short");
    EXPECT_EQ(Modified(dir.File("old.dat")).tv_sec, 1600000000);
    EXPECT_EQ(Entries(dir.Path()), (Names{"new.dat", "old.dat"}));

    // Onto itself: the content survives.
    CopyFileWithDate(dir.File("new.dat"), dir.File("new.dat"));
    EXPECT_EQ(testing::ReadFile(dir.File("new.dat")), "short");
}

TEST(CopyFileWithDate, IntoAFolderUnderTheSourceName) {
    for (const std::string suffix : {"", "/", "/./"}) {
        testing::TempDir dir;
        fs::create_directory(dir.Path() / "dest");
        testing::WriteFile(dir.File("表計算.xls"), "sheet");
        SetModified(dir.File("表計算.xls"), 1700000001);
        CopyFileWithDate(dir.File("表計算.xls"), dir.File("dest") + suffix);
        EXPECT_EQ(testing::ReadFile(dir.File("dest/表計算.xls")), "sheet") << suffix;
        EXPECT_EQ(Modified(dir.File("dest/表計算.xls")).tv_sec, 1700000000) << suffix;
        EXPECT_EQ(Entries(dir.Path() / "dest"), Names{"表計算.xls"}) << suffix;
    }
}

TEST(CopyFileWithDate, RelativeNamesAreExpanded) {
    testing::TempDir dir;
    fs::create_directory(dir.Path() / "dest");
    testing::WriteFile(dir.File("a.txt"), "a");
    ScopedCurrentDir current(dir.Path());
    CopyFileWithDate("a.txt", "dest/../dest");
    EXPECT_EQ(testing::ReadFile(dir.File("dest/a.txt")), "a");
    ExpectCopyError([] { CopyFileWithDate("a.txt", "dest/../missing/b.txt"); },
                    "ファイル " + dir.File("missing/b.txt") + " を作成できません", ENOENT);
    ExpectCopyError([] { CopyFileWithDate("missing.txt", "dest"); }, "ファイル missing.txt は開けません",
                    ENOENT);
}

TEST(CopyFileWithDate, FailuresNameTheFileAndKeepTheOldDestination) {
    testing::TempDir dir;
    fs::create_directory(dir.Path() / "folder");
    fs::create_directory(dir.Path() / "src");
    testing::WriteFile(dir.File("src/folder"), "a file named like the folder");
    testing::WriteFile(dir.File("source.txt"), Bytes(20000));
    testing::WriteFile(dir.File("readonly.txt"), "old");
    chmod(dir.File("readonly.txt").c_str(), 0444);
    testing::WriteFile(dir.File("target.txt"), "old");
    fs::create_symlink("source.txt", dir.File("link.txt"));
    const Names before = Entries(dir.Path());

    struct Case {
        std::string what, source, destination, message;
        int errorCode;
        rlim_t sizeLimit;
    };
    for (const auto& c : std::vector<Case>{
             {"missing source", dir.File("none.txt"), dir.File("target.txt"),
              "ファイル " + dir.File("none.txt") + " は開けません", ENOENT, RLIM_INFINITY},
             {"source is a symbolic link", dir.File("link.txt"), dir.File("target.txt"),
              "ファイル " + dir.File("link.txt") + " は開けません", ELOOP, RLIM_INFINITY},
             {"source is a folder", dir.File("folder"), dir.File("target.txt"),
              "ファイル " + dir.File("folder") + " は開けません", EISDIR, RLIM_INFINITY},
             {"read-only destination", dir.File("source.txt"), dir.File("readonly.txt"),
              "ファイル " + dir.File("readonly.txt") + " を作成できません", EACCES, RLIM_INFINITY},
             {"missing folder", dir.File("source.txt"), dir.File("missing/target.txt"),
              "ファイル " + dir.File("missing/target.txt") + " を作成できません", ENOENT, RLIM_INFINITY},
             {"name taken by a folder", dir.File("src/folder"), dir.Dir(),
              "ファイル " + dir.File("folder") + " を作成できません", EISDIR, RLIM_INFINITY},
             {"read error", "/proc/self/mem", dir.File("target.txt"),
              "ファイル /proc/self/mem を読み込めません", EIO, RLIM_INFINITY},
             {"write error", dir.File("source.txt"), dir.File("target.txt"),
              "ファイル " + dir.File("target.txt") + " に書き込めません", EFBIG, 10000}}) {
        {
            testing::ScopedFileSizeLimit limit(c.sizeLimit);
            ExpectCopyError([&] { CopyFileWithDate(c.source, c.destination); }, c.message, c.errorCode);
        }
        EXPECT_EQ(Entries(dir.Path()), before) << c.what;
        EXPECT_EQ(testing::ReadFile(dir.File("readonly.txt")), "old") << c.what;
        EXPECT_EQ(testing::ReadFile(dir.File("target.txt")), "old") << c.what;
    }
}

TEST(CopyFileWithDate, DestinationIsAlwaysWritableAndKeepsExecuteBits) {
    struct Case {
        mode_t source, want;
    };
    for (const auto& c :
         std::vector<Case>{{0755, 0755}, {0644, 0644}, {0444, 0644}, {0500, 0700}, {04755, 0755}}) {
        testing::TempDir dir;
        testing::WriteFile(dir.File("prog"), "#!/bin/sh\n");
        chmod(dir.File("prog").c_str(), c.source);
        CopyFileWithDate(dir.File("prog"), dir.File("copy"));
        EXPECT_EQ(Permissions(dir.File("copy")), c.want) << std::oct << c.source;
    }
}

TEST(HasAttributes, AttributesOfThisPlatform) {
    testing::TempDir dir;
    testing::WriteFile(dir.File("plain.txt"), "");
    testing::WriteFile(dir.File("readonly.txt"), "");
    chmod(dir.File("readonly.txt").c_str(), 0444);
    testing::WriteFile(dir.File(".hidden"), "");
    fs::create_directory(dir.Path() / "folder");
    fs::create_directory(dir.Path() / ".config");

    struct Case {
        std::string path;
        int bits;
        bool want;
    };
    for (const auto& c : std::vector<Case>{{dir.File("plain.txt"), faArchive, true},
                                           {dir.File("plain.txt"), 0, true},
                                           {dir.File("plain.txt"), faReadOnly, false},
                                           {dir.File("plain.txt"), faArchive | faHidden, false},
                                           {dir.File("plain.txt"), faDirectory, false},
                                           {dir.File("plain.txt"), faSysFile, false},
                                           {dir.File("readonly.txt"), faReadOnly | faArchive, true},
                                           {dir.File(".hidden"), faHidden | faArchive, true},
                                           {dir.File("folder"), faDirectory, true},
                                           {dir.File("folder") + "/", faDirectory, true},
                                           {dir.File("folder"), faArchive, false},
                                           {dir.File("folder"), faHidden, false},
                                           {dir.File(".config") + "/", faDirectory | faHidden, true},
                                           {dir.Dir() + ".", faHidden, false},
                                           {dir.File("missing"), 0, false},
                                           {dir.File("missing"), faArchive, false},
                                           {"", 0, false}})
        EXPECT_EQ(HasAttributes(c.path, c.bits), c.want) << c.path << " " << c.bits;
}

TEST(DeleteFilesByMask, DeletesMatchingPlainFiles) {
    const Names all = {".hidden.txt", "B.TXT", "a.txt", "a[1].txt", "abc", "c.dat", "sub.txt"};
    struct Case {
        std::string pattern;
        Names left;
    };
    for (const auto& c :
         std::vector<Case>{{"*.txt", {".hidden.txt", "abc", "c.dat", "sub.txt"}},
                           {"?.TXT", {".hidden.txt", "a[1].txt", "abc", "c.dat", "sub.txt"}},
                           {"*.*", {".hidden.txt", "sub.txt"}},
                           {"*", {".hidden.txt", "sub.txt"}},
                           {"A*", {".hidden.txt", "B.TXT", "c.dat", "sub.txt"}},
                           {"a[1].txt", {".hidden.txt", "B.TXT", "a.txt", "abc", "c.dat", "sub.txt"}},
                           {"abc.*", {".hidden.txt", "B.TXT", "a.txt", "a[1].txt", "c.dat", "sub.txt"}},
                           {"C.DAT", {".hidden.txt", "B.TXT", "a.txt", "a[1].txt", "abc", "sub.txt"}},
                           {"none.txt", all},
                           {".hidden.txt", all},
                           {"sub.txt", all}}) {
        testing::TempDir dir;
        for (const std::string& name : all)
            if (name != "sub.txt") testing::WriteFile(dir.File(name), name);
        fs::create_directory(dir.Path() / "sub.txt");
        EXPECT_TRUE(DeleteFilesByMask(dir.Dir(), c.pattern)) << c.pattern;
        EXPECT_EQ(Entries(dir.Path()), c.left) << c.pattern;
    }
}

TEST(DeleteFilesByMask, ReadOnlyFileFailsAndStays) {
    struct Case {
        std::string pattern;
        bool want;
        Names left;
    };
    for (const auto& c : std::vector<Case>{{"KMIHIND0.TXT", false, {"KMIHIND0.TXT", "KMITANK0.TXT"}},
                                           {"kmitank0.txt", true, {"KMIHIND0.TXT"}},
                                           {"*.TXT", false, {"KMIHIND0.TXT"}}}) {
        testing::TempDir dir;
        testing::WriteFile(dir.File("KMIHIND0.TXT"), "");
        chmod(dir.File("KMIHIND0.TXT").c_str(), 0444);
        testing::WriteFile(dir.File("KMITANK0.TXT"), "");
        EXPECT_EQ(DeleteFilesByMask(dir.Dir(), c.pattern), c.want) << c.pattern;
        // With "*.TXT" the writable file may go before or after the refusal, depending on the listing's
        // order.
        Names left = Entries(dir.Path());
        EXPECT_TRUE(std::includes(left.begin(), left.end(), c.left.begin(), c.left.end())) << c.pattern;
        if (c.pattern != "*.TXT") {
            EXPECT_EQ(left, c.left) << c.pattern;
        }
    }
}

TEST(DeleteFilesByMask, DeletesTheFilesItFoundNotNamesakesElsewhere) {
    // The joined text decides where the search looks; a file of the same name beside it must stay.
    struct Case {
        std::string folder, pattern;
        Names leftTop, leftSub;
    };
    for (const auto& c : std::vector<Case>{{"", "sub/*.txt", {"a.txt", "sub", "suba.txt"}, {"keep.dat"}},
                                           {"sub", "a.txt", {"a.txt", "sub"}, {"a.txt", "keep.dat"}}}) {
        testing::TempDir dir;
        fs::create_directory(dir.Path() / "sub");
        for (const std::string name : {"a.txt", "suba.txt", "sub/a.txt", "sub/keep.dat"})
            testing::WriteFile(dir.File(name), name);
        EXPECT_TRUE(DeleteFilesByMask(dir.Dir() + c.folder, c.pattern)) << c.folder << c.pattern;
        EXPECT_EQ(Entries(dir.Path()), c.leftTop) << c.folder << c.pattern;
        EXPECT_EQ(Entries(dir.Path() / "sub"), c.leftSub) << c.folder << c.pattern;
    }
}

TEST(DeleteFilesByMask, MissingFolderHasNoMatchingFile) {
    testing::TempDir dir;
    EXPECT_TRUE(DeleteFilesByMask(dir.Dir() + "missing/", "*.TXT"));
}

TEST(FindFiles, MaskAndAttributes) {
    testing::TempDir dir;
    for (const std::string name : {"a.reg", "B.REG", ".hidden.reg", "c.txt"}) testing::WriteFile(dir.File(name), name);
    fs::create_directory(dir.Path() / "d.reg");
    struct Case {
        std::string mask;
        int attributes;
        Names want;
    };
    for (const auto& c : std::vector<Case>{{"*.reg", kAnyPlainFile, {".hidden.reg", "B.REG", "a.reg"}},
                                           {"*.reg", faArchive, {"B.REG", "a.reg"}},
                                           {"*.reg", kAnyPlainFile | faDirectory, {".hidden.reg", "B.REG", "a.reg", "d.reg"}},
                                           {"b.reg", kAnyPlainFile, {"B.REG"}},
                                           {"*.ini", kAnyPlainFile, {}}}) {
        Names found = FindFiles(dir.Dir() + c.mask, c.attributes);
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, c.want) << c.mask << " " << c.attributes;
    }
    EXPECT_TRUE(FindFiles(dir.Dir() + "missing/*", kAnyPlainFile).empty());
}

TEST(ReplaceFileContent, ReplacesWholeKeepsTheModeAndLeavesNothingBehind) {
    testing::TempDir dir;
    ReplaceFileContent(dir.File("new.log"), "first\r\n");
    EXPECT_EQ(testing::ReadFile(dir.File("new.log")), "first\r\n");
    EXPECT_EQ(Permissions(dir.File("new.log")), 0644u);
    chmod(dir.File("new.log").c_str(), 0600);
    ReplaceFileContent(dir.File("new.log"), "second");
    EXPECT_EQ(testing::ReadFile(dir.File("new.log")), "second");
    EXPECT_EQ(Permissions(dir.File("new.log")), 0600u);
    EXPECT_EQ(Entries(dir.Path()), Names{"new.log"});
    ExpectCopyError([&] { ReplaceFileContent(dir.File("missing/x.log"), "x"); },
                    "ファイル " + dir.File("missing/x.log") + " を作成できません", ENOENT);
    EXPECT_EQ(testing::ReadFile(dir.File("new.log")), "second");
}

TEST(TemporaryFilePattern, NamesTheFileAndItsWriter) {
    const std::string pattern = TemporaryFilePattern("/d/", "Qrd0000.exe");
    EXPECT_EQ(pattern, "/d/.Qrd0000.exe.towagi-" + std::to_string(getpid()) + ".XXXXXX");
    std::string name = pattern.substr(3);
    name.replace(name.size() - 6, 6, "a1B2c3");
    EXPECT_EQ(TemporaryFileOwner(name), getpid());
    // Long names are cut, so that the temporary name stays within the file system's limit.
    EXPECT_LE(TemporaryFilePattern("", std::string(300, 'n')).size(), 230u);
}

TEST(TemporaryFileOwner, OnlyTheLaunchersOwnNamesCarryAWriter) {
    struct Case {
        std::string name;
        pid_t want;
    };
    for (const auto& c : std::vector<Case>{
             {".a.dll.towagi-1234.Ab3dE9", 1234},
             {".名前 付き.txt.towagi-7.000001", 7},
             {"..towagi-7.000001", 0},          // no name before the mark
             {".a.dll.towagi-.Ab3dE9", 0},      // no process id
             {".a.dll.towagi-12x.Ab3dE9", 0},
             {".a.dll.towagi-1234.Ab3dE", 0},   // five characters
             {".a.dll.towagi-1234.Ab3d-9", 0},
             {".a.dll.towagi-1234567890.Ab3dE9", 0},
             {"a.dll.towagi-1234.Ab3dE9", 0},   // not hidden
             {".a.dll.Ab3dE9", 0},              // any other hidden file with six characters at its end
             {".profile.backup", 0},
             {".towagi-1234-5.part", 0},
         })
        EXPECT_EQ(TemporaryFileOwner(c.name), c.want) << c.name;
}

// A process that has ended: its id is free (until it is given again, which the test does not wait for).
pid_t EndedProcess() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

TEST(RemoveLeftoverTemporaries, RemovesOnlyTheLeftoversOfEndedWriters) {
    testing::TempDir dir;
    const std::string dead = std::to_string(EndedProcess());
    const std::string mine = std::to_string(getpid());
    const Names leftovers = {".a.dll.towagi-" + dead + ".Xy12Zq", ".b b.txt.towagi-" + dead + ".000003"};
    for (const std::string& name : leftovers) testing::WriteFile(dir.File(name), "half a file");
    // Still being written by this process, by a process that started before the file (init), and files
    // that are not the launcher's own.
    const Names kept = {".a.dll.towagi-" + mine + ".Xy12Zq", ".c.dll.towagi-1.Xy12Zq", ".profile.backup",
                        ".a.dll.Xy12Zq", "a.dll", "a.dll.towagi-" + dead + ".Xy12Zq"};
    for (const std::string& name : kept) testing::WriteFile(dir.File(name), "keep");
    // Named like a leftover but no plain file: a folder and a link are never touched.
    fs::create_directory(dir.File(".d.towagi-" + dead + ".Xy12Zq"));
    fs::create_symlink("a.dll", dir.File(".e.towagi-" + dead + ".Xy12Zq"));

    Names removed = RemoveLeftoverTemporaries(dir.Dir());
    std::sort(removed.begin(), removed.end());
    Names want = leftovers;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(removed, want);
    Names left = kept;
    left.push_back(".d.towagi-" + dead + ".Xy12Zq");
    left.push_back(".e.towagi-" + dead + ".Xy12Zq");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(Entries(dir.Path()), left);
    EXPECT_EQ(RemoveLeftoverTemporaries(dir.File("missing/")), Names{});
}

} // namespace
} // namespace towagi
