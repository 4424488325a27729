// The linked design-breakdown system's update with real archives and the project's archiver library in
// the program folder, as an installation has it: ZEROVEZO beside the program folder, the archive staged in
// the update folder.
#include "apply/linked_system.h"

#include "apply/update_run.h"
#include "support/encoding.h"
#include "support/file_utils.h"
#include "tests/apply/archive_test_support.h"
#include "tests/common/update_site.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace towagi {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveItem;
using testing::EntryKind;
using testing::Exists;
using testing::MakeZip;
using testing::ModifiedTime;
using testing::ReadFile;
using testing::TempDir;
using testing::Tree;
using testing::UpdateSite;
using testing::WriteFile;

using Files = std::map<std::string, std::string>;

const std::string kLibraries = TOWAGI_ARCHIVER_LIBRARIES;
constexpr const char* kWarning = "設計内訳連動システムのプログラムの更新に失敗しました。";
constexpr const char* kUnpacking = "設計内訳連動システムの更新ファイルを解凍しています。";
// An odd second: the kept copy keeps times at two-second resolution only.
constexpr std::time_t kArchiveTime = 1709254801;

std::string Cp(const std::string& utf8) {
    return ToCP932(utf8, "test");
}

// What the linked system's archive holds: programs and data in folders, the explorer's thumbnail caches,
// and folders that are never installed.
std::vector<ArchiveItem> DeliveredItems() {
    return {{"ZVMAIN.EXE", "main"},
            {"Thumbs.db", "thumbs"},
            {"DATA/a.dat", "a"},
            {"DATA/THUMBS.DB", "thumbs"},
            {"DATA/SUB/b.dat", "b"},
            {"DOCS", "", EntryKind::Folder},
            {"TEMP/t.dat", "t"},
            {"UPDATE/u.dat", "u"},
            {Cp("中間ファイル/m.dat"), "m"},
            {Cp("DATA/作業中間ファイル/w.dat"), "w"},
            {Cp("図面/図.dat"), "zu"}};
}

// The installation after the delivered archive was copied, without the kept copy and the unpack folder.
const Files kInstalled = {{"ZVMAIN.EXE", "main"}, {"DATA/", ""},        {"DATA/a.dat", "a"}, {"DATA/SUB/", ""},
                          {"DATA/SUB/b.dat", "b"}, {"DOCS/", ""},       {"図面/", ""},       {"図面/図.dat", "zu"}};

// A workstation with the linked system: UpdateSite's program folder with the archiver library in it, and
// ZEROVEZO beside it.
struct LinkedSite {
    explicit LinkedSite(bool withLinkedSystem = true) {
        fs::copy_file(kLibraries + "lib7-zip32.so", Site.ExeDir + "lib7-zip32.so");
        if (withLinkedSystem) fs::create_directory(Base);
        Site.Progress.Title = "ファイルを反映しています．．．";
        Site.Progress.Status = "前の状態";
        Site.Main.Text = "積算『とわぎ』の起動";
    }

    void Stage(const std::string& bytes, std::time_t time = kArchiveTime) { Site.LocalFile(Archive, bytes, time); }

    // LinkedSystemUpdate and, when it answers true, LinkedSystemCopy, as the update run calls them.
    bool Run(bool downloaded) {
        const bool unpacked = LinkedSystemUpdate(Site.State, Site.ExeDir);
        if (unpacked) LinkedSystemCopy(Site.State, downloaded);
        return unpacked;
    }

    // The installation without the unpack folder and the kept copy.
    Files Installed() const {
        Files files = Tree(Base);
        for (auto it = files.begin(); it != files.end();)
            it = it->first.rfind("TEMP/", 0) == 0 || it->first.rfind("UPDATE/", 0) == 0 ? files.erase(it)
                                                                                         : std::next(it);
        return files;
    }
    // The plain files below the unpack folder.
    std::vector<std::string> UnpackedFiles() const {
        std::vector<std::string> files;
        for (const auto& [name, content] : Tree(Base + "TEMP/"))
            if (name.back() != '/') files.push_back(name);
        return files;
    }
    std::vector<std::string> Boxes(PromptKind kind) const { return Site.Prompts->Texts(kind); }

    UpdateSite Site;
    std::string Base = fs::path(Site.ExeDir + "../ZEROVEZO/").lexically_normal().string();
    std::string Archive = Site.UpdateDir + "ZEROVEZO";
    std::string KeptCopy = Base + "UPDATE/ZEROVEZO";
};

TEST(LinkedSystemUpdate, NothingHappensWithoutTheFolderOrWithoutAnArchive) {
    struct Case {
        std::string title;
        bool linkedSystem, staged;
        std::string stagingSetting; // "" keeps the site's
    };
    for (const auto& c : std::vector<Case>{{"no ZEROVEZO folder, an archive staged", false, true, ""},
                                           {"nothing staged", true, false, ""},
                                           {"a blank staging setting", true, true, "| "}}) {
        LinkedSite linked(c.linkedSystem);
        if (c.staged) linked.Stage(MakeZip(DeliveredItems()));
        if (!c.stagingSetting.empty())
            WriteMachineString(testing::kUpdateSettings, "PATH1", c.stagingSetting, true);
        EXPECT_TRUE(linked.Run(true)) << c.title;
        EXPECT_EQ(Exists(linked.Base), c.linkedSystem) << c.title;
        if (c.linkedSystem) {
            EXPECT_EQ(Tree(linked.Base), Files{}) << c.title;
        }
        EXPECT_TRUE(linked.Site.Prompts->Boxes.empty()) << c.title;
        EXPECT_EQ(linked.Site.Main.Text, "積算『とわぎ』の起動") << c.title;
        // A workstation without the linked system finds no trace of it in the log.
        EXPECT_EQ(linked.Site.TraceOf("LinkedSystemUpdate").empty(), !c.linkedSystem) << c.title;
    }
}

TEST(LinkedSystemUpdate, ANewArchiveIsUnpackedAndCopiedWithItsSubFolders) {
    for (const bool downloaded : {true, false}) {
        LinkedSite linked;
        const std::string archive = MakeZip(DeliveredItems());
        linked.Stage(archive);
        // A kept copy of an earlier archive, and what an earlier run left in the unpack folder.
        linked.Site.LocalFile(linked.KeptCopy, "earlier archive", kArchiveTime - 3600);
        linked.Site.LocalFile(linked.Base + "UPDATE/old.txt", "old");
        linked.Site.LocalFile(linked.Base + "TEMP/DATA/left.dat", "left");
        // Installed files that the archive does not hold stay; the others are replaced.
        linked.Site.LocalFile(linked.Base + "own.ini", "own");
        linked.Site.LocalFile(linked.Base + "DATA/a.dat", "old a", kArchiveTime - 3600);
        std::vector<std::tuple<std::string, std::string, std::string>> shown;
        linked.Site.Progress.OnProcessMessages = [&](testing::RecordingProgressView& progress) {
            shown.emplace_back(progress.Status, progress.Title, linked.Site.Main.Text);
        };

        EXPECT_TRUE(linked.Run(downloaded));

        Files want = kInstalled;
        want["own.ini"] = "own";
        EXPECT_EQ(linked.Installed(), want) << downloaded;
        for (const char* never : {"Thumbs.db", "DATA/THUMBS.DB", "TEMP/t.dat", "UPDATE/u.dat", "中間ファイル/",
                                  "DATA/作業中間ファイル/"})
            EXPECT_FALSE(Exists(linked.Base + never)) << never;
        EXPECT_EQ(ReadFile(linked.KeptCopy), archive);
        EXPECT_EQ(ModifiedTime(linked.KeptCopy), EvenLocalSecond(kArchiveTime));
        EXPECT_FALSE(Exists(linked.Base + "UPDATE/old.txt"));
        EXPECT_EQ(ModifiedTime(linked.Base + "DATA/SUB/b.dat"), testing::FixtureTime());
        // Downloaded in this run: the unpacked files go, the folders stay. Without a server they stay
        // where they are, the folders left out of the copy included.
        const std::vector<std::string> unpacked = linked.UnpackedFiles();
        if (downloaded) {
            EXPECT_EQ(std::set<std::string>(unpacked.begin(), unpacked.end()),
                      (std::set<std::string>{"TEMP/t.dat", "UPDATE/u.dat", "中間ファイル/m.dat",
                                             "DATA/作業中間ファイル/w.dat"}));
            for (const char* gone : {"ZVMAIN.EXE", "DATA/a.dat", "DATA/SUB/b.dat", "図面/図.dat"})
                EXPECT_FALSE(Exists(linked.Base + "TEMP/" + gone)) << gone;
            EXPECT_TRUE(fs::is_directory(linked.Base + "TEMP/DATA/SUB"));
        } else {
            for (const char* kept : {"ZVMAIN.EXE", "DATA/a.dat", "DATA/SUB/b.dat", "図面/図.dat"})
                EXPECT_TRUE(Exists(linked.Base + "TEMP/" + kept)) << kept;
        }
        EXPECT_FALSE(Exists(linked.Base + "TEMP/DATA/left.dat"));
        for (const char* thumbs : {"TEMP/Thumbs.db", "TEMP/DATA/THUMBS.DB"})
            EXPECT_FALSE(Exists(linked.Base + thumbs)) << thumbs;

        // The unpacking was shown, and the earlier texts came back.
        EXPECT_NE(std::find(shown.begin(), shown.end(),
                            std::make_tuple(std::string(kUnpacking), std::string(), std::string("積算『とわぎ』"))),
                  shown.end());
        EXPECT_EQ(linked.Site.Progress.Status, "前の状態");
        EXPECT_EQ(linked.Site.Progress.Title, "ファイルを反映しています．．．");
        EXPECT_EQ(linked.Site.Main.Text, "積算『とわぎ』の起動");
        EXPECT_TRUE(linked.Site.Prompts->Boxes.empty());
        EXPECT_TRUE(linked.Site.State.LinkedSubFolders.empty());
        EXPECT_EQ(linked.Site.TraceOf("LinkedSystemUpdate"),
                  (std::vector<std::string>{"Start", "from[" + linked.Archive + "] to[" + linked.Base + "TEMP/]",
                                            "End : Result=true"}));
    }
}

TEST(LinkedSystemUpdate, AnUnchangedArchiveEmptiesTheUnpackFolderAndCopiesNothing) {
    // The kept copy's time is the archive's to two seconds, whichever second the archive has.
    for (const std::time_t time : {kArchiveTime, kArchiveTime + 1}) {
        LinkedSite linked;
        linked.Stage(MakeZip(DeliveredItems()), time);
        ASSERT_TRUE(linked.Run(false));
        ASSERT_EQ(linked.Installed(), kInstalled);
        // The user changed an installed file since; an older run's files lie in the unpack folder.
        linked.Site.LocalFile(linked.Base + "ZVMAIN.EXE", "changed", time - 3600);
        linked.Site.LocalFile(linked.Base + "TEMP/DATA/left.dat", "left");
        const std::time_t keptTime = ModifiedTime(linked.KeptCopy);
        linked.Site.Progress.Repaints = 0;

        EXPECT_TRUE(linked.Run(true)) << time;

        EXPECT_EQ(linked.UnpackedFiles(), std::vector<std::string>{}) << time;
        EXPECT_EQ(ReadFile(linked.Base + "ZVMAIN.EXE"), "changed") << time;
        EXPECT_EQ(ModifiedTime(linked.KeptCopy), keptTime) << time;
        EXPECT_FALSE(Exists(linked.Base + "DATA/left.dat")) << time;
        EXPECT_EQ(linked.Site.Main.Text, "積算『とわぎ』の起動");
        EXPECT_TRUE(linked.Site.Prompts->Boxes.empty()) << time;
        // Emptying and scanning the unpack folder kept the window alive.
        EXPECT_GT(linked.Site.Progress.Repaints, 0) << time;
    }
}

// A damaged or unsafe archive is told, unpacks nothing, keeps the kept copy of the archive installed
// before, and is taken up again at the next run.
TEST(LinkedSystemUpdate, AnArchiveThatDoesNotUnpackIsToldAndTriedAgain) {
    const std::vector<ArchiveItem> good = {{"ZVMAIN.EXE", "main"}, {"DATA/a.dat", "the data"}};
    std::string crcError = MakeZip(good);
    const std::size_t at = crcError.find("the data") + 1;
    crcError[at] = static_cast<char>(crcError[at] ^ 0x01);
    struct Case {
        std::string title, archive;
    };
    for (const auto& c : std::vector<Case>{
             {"CRC error", crcError},
             {"cut short", MakeZip(good).substr(0, 60)},
             {"no archive at all", "not an archive"},
             {"an entry outside the unpack folder", MakeZip({{"ZVMAIN.EXE", "main"}, {"../../evil.txt", "e"}})},
             {"an absolute name", MakeZip({{"ZVMAIN.EXE", "main"}, {"/tmp/evil.txt", "e"}})},
             {"a link", MakeZip({{"ZVMAIN.EXE", "main"}, {"link", "../..", EntryKind::Link}})}}) {
        LinkedSite linked;
        linked.Site.LocalFile(linked.KeptCopy, "earlier archive", kArchiveTime - 3600);
        linked.Stage(c.archive);

        EXPECT_FALSE(LinkedSystemUpdate(linked.Site.State, linked.Site.ExeDir)) << c.title;

        EXPECT_EQ(linked.Boxes(PromptKind::Message), std::vector<std::string>{"書庫が壊れています"}) << c.title;
        EXPECT_EQ(linked.Boxes(PromptKind::Warning), std::vector<std::string>{kWarning}) << c.title;
        EXPECT_EQ(ReadFile(linked.KeptCopy), "earlier archive") << c.title;
        EXPECT_EQ(Tree(linked.Base + "TEMP/"), Files{}) << c.title;
        EXPECT_FALSE(Exists(linked.Base + "../evil.txt")) << c.title;
        EXPECT_EQ(linked.Site.Progress.Status, "前の状態") << c.title;
        EXPECT_EQ(linked.Site.Main.Text, "積算『とわぎ』の起動") << c.title;

        // The next run, with the archive mended under the same time, installs it.
        linked.Stage(MakeZip(good));
        linked.Site.Prompts->Boxes.clear();
        EXPECT_TRUE(linked.Run(true)) << c.title;
        EXPECT_EQ(linked.Installed(), (Files{{"ZVMAIN.EXE", "main"}, {"DATA/", ""}, {"DATA/a.dat", "the data"}}))
            << c.title;
        EXPECT_TRUE(linked.Site.Prompts->Boxes.empty()) << c.title;
    }
}

TEST(LinkedSystemUpdate, AFailedCopyLeavesTheArchiveToBeInstalledAgain) {
    LinkedSite linked;
    linked.Stage(MakeZip(DeliveredItems()));
    // An installed file that cannot be replaced, as a read-only one on the suite's home system.
    linked.Site.LocalFile(linked.Base + "DATA/a.dat", "old a", kArchiveTime - 3600);
    fs::permissions(linked.Base + "DATA/a.dat", fs::perms::owner_read);

    EXPECT_THROW(linked.Run(true), EInOutError);
    EXPECT_FALSE(Exists(linked.KeptCopy));
    EXPECT_EQ(ReadFile(linked.Base + "DATA/a.dat"), "old a");

    // The next start, with the file writable again and a fresh work list.
    fs::permissions(linked.Base + "DATA/a.dat", fs::perms::owner_read | fs::perms::owner_write);
    linked.Site.State.UpdateFiles.clear();
    EXPECT_TRUE(linked.Run(true));
    EXPECT_EQ(linked.Installed(), kInstalled);
    EXPECT_TRUE(Exists(linked.KeptCopy));
}

TEST(ScanSubFolders, DepthFirstWithoutTheFoldersNeverInstalled) {
    UpdateSite site;
    const std::string src = site.ExeDir + "TEMP/";
    for (const char* folder : {"A/B/C", "A/D", "TEMP/E", "UPDATE", "中間ファイル/F", "X中間ファイル", "temp", "update",
                               ".hidden", "A/B/中間ファイル2"})
        fs::create_directories(src + folder);
    WriteFile(src + "file", "f");
    fs::create_directory_symlink(src + "A", src + "link");
    site.State.LinkedSubFolders = {"earlier"};

    ScanSubFolders(site.State, src);

    std::vector<std::string>& found = site.State.LinkedSubFolders;
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found.front(), "earlier");
    found.erase(found.begin());
    std::set<std::string> names;
    for (const std::string& path : found) names.insert(path.substr(src.size()));
    EXPECT_EQ(names, (std::set<std::string>{"A", "A/B", "A/B/C", "A/D", "temp", "update", ".hidden"}));
    EXPECT_EQ(names.size(), found.size());
    // Each folder comes before the folders below it.
    for (const char* child : {"A/B", "A/B/C", "A/D"}) {
        const std::string parent = fs::path(child).parent_path().string();
        EXPECT_LT(std::find(found.begin(), found.end(), src + parent),
                  std::find(found.begin(), found.end(), src + child))
            << child;
    }
    // Every entry of every folder scanned: 10 in the unpack folder, 2 in A, 2 in A/B.
    EXPECT_EQ(site.Progress.Repaints, 14);
}

TEST(DeleteTreeFiles, DeletesEveryFileButNoFolderAndFollowsNoLink) {
    UpdateSite site;
    TempDir outside;
    WriteFile(outside.File("precious"), "p");
    const std::string folder = site.ExeDir + "TEMP/";
    for (const char* file : {"a", ".hidden", "sub/b", "sub/deeper/c"}) site.LocalFile(folder + file, "x");
    fs::create_directory(folder + "empty");
    site.LocalFile(folder + "read-only", "r");
    fs::permissions(folder + "read-only", fs::perms::owner_read);
    fs::create_directory_symlink(outside.Dir(), folder + "link");

    DeleteTreeFiles(site.State, folder);

    EXPECT_EQ(Tree(folder), (Files{{"empty/", ""}, {"sub/", ""}, {"sub/deeper/", ""}}));
    EXPECT_EQ(ReadFile(outside.File("precious")), "p");
    // a, .hidden, read-only, link, empty, sub; sub/b, sub/deeper; sub/deeper/c.
    EXPECT_EQ(site.Progress.Repaints, 9);
}

// The update run calls the linked system first in its apply phase; the staged archive is also a program
// file and is installed as one.
TEST(Execute, UpdatesTheLinkedSystemFirstInTheApplyPhase) {
    LinkedSite linked;
    UpdateSite& site = linked.Site;
    linked.Stage(MakeZip(DeliveredItems()));
    site.LocalFile(site.UpdateDir + "a.exe", "a");
    WriteMachineString(testing::kUpdateSettings, "FTP_HOST", "0.0.0.0", true);
    site.Switch("Update_Program", 1);

    Execute(site.State);

    EXPECT_EQ(linked.Installed(), kInstalled);
    EXPECT_EQ(ReadFile(site.ExeDir + "a.exe"), "a");
    EXPECT_TRUE(Exists(site.ExeDir + "ZEROVEZO"));
    const std::vector<std::string> trace = site.Trace();
    const auto at = [&](const std::string& text) {
        return std::find_if(trace.begin(), trace.end(),
                            [&](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    EXPECT_LT(at("Execute ; ■ 開始：ファイルの反映"), at("LinkedSystemUpdate ; Start"));
    EXPECT_LT(at("LinkedSystemCopy ; End"), at("from[" + site.UpdateDir + "a.exe]"));
    EXPECT_NE(at("Execute ; End"), trace.end());
}

TEST(Execute, AnArchiveThatDoesNotUnpackSkipsOnlyTheLinkedSystemsCopy) {
    LinkedSite linked;
    UpdateSite& site = linked.Site;
    linked.Stage("not an archive");
    site.LocalFile(site.UpdateDir + "a.exe", "a");
    WriteMachineString(testing::kUpdateSettings, "FTP_HOST", "0.0.0.0", true);
    site.Switch("Update_Program", 1);

    Execute(site.State);

    EXPECT_EQ(linked.Boxes(PromptKind::Warning), std::vector<std::string>{kWarning});
    EXPECT_TRUE(site.TraceOf("LinkedSystemCopy").empty());
    EXPECT_EQ(ReadFile(site.ExeDir + "a.exe"), "a");
    EXPECT_EQ(site.TraceOf("Execute").back(), "End");
}

} // namespace
} // namespace towagi
