#include "transfer/qrd_ftp.h"

#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "support/text.h"
#include "tests/common/recording_views.h"
#include "tests/common/test_env.h"
#include "tests/common/trace_lines.h"
#include "tests/servers/ftp_servers.h"
#include "tests/support/support_test_helpers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <optional>
#include <sys/stat.h>

namespace towagi {
namespace {

using testing::FaultFtpServer;
using testing::FaultOptions;
using testing::ReadFile;
using testing::ReadTraceLines;
using testing::RecordingClock;
using testing::TempDir;
using testing::VsftpdServer;
using testing::WriteFile;

constexpr const char* kListFailed = "FTPサーバからのファイル一覧取得に失敗しました。";
constexpr const char* kTimeStampFailed = "サーバ上ファイルのタイムスタンプ取得に失敗しました。";

// 2024-01-31 23:59:59 UTC, the time the server files carry; the client shows it nine hours later.
constexpr const char* kServerStamp = "2024/02/01 08:59:59";

void SetUtcTime(const std::string& path) {
    std::tm utc{};
    utc.tm_year = 2024 - 1900;
    utc.tm_mon = 0;
    utc.tm_mday = 31;
    utc.tm_hour = 23;
    utc.tm_min = 59;
    utc.tm_sec = 59;
    const timespec times[2] = {{timegm(&utc), 0}, {timegm(&utc), 0}};
    testing::Require(utimensat(AT_FDCWD, path.c_str(), times, 0) == 0, "file time of " + path);
}

void ServerFile(const TempDir& root, const std::string& name, const std::string& bytes) {
    WriteFile(root.File(name), bytes);
    SetUtcTime(root.File(name));
}

std::time_t ModifiedTime(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mtime;
}

std::time_t LocalTime(const std::string& text) {
    std::time_t time = 0;
    EXPECT_TRUE(ParseDateTime(text, time)) << text;
    return time;
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7919 + i / 251) & 0xFF);
    return bytes;
}

// A folder on the fault server, a local folder, and a client logged in to the server. The client's
// pauses are recorded instead of slept.
class Site {
public:
    explicit Site(const FaultOptions& options = {}, EditionProfile profile = EstimationEdition())
        : profile_(std::move(profile)) {
        server_ = std::make_unique<FaultFtpServer>(Root.Path().string(), options);
        log_ = std::make_unique<TTraceLog>(Local.File("trace.log"));
        Client = std::make_unique<TQrdFTP>(profile_.FtpTimeouts, Clock, log_.get());
        Client->SetHost(FaultFtpServer::Host);
        Client->SetPort(server_->Port());
        Client->SetUsername(FaultFtpServer::User);
        Client->SetPassword(FaultFtpServer::Password);
        Client->SetPassive(true);
        Client->Connect();
    }
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;
    std::vector<std::string> Trace() const { return ReadTraceLines(Local.File("trace.log")); }

    TempDir Root, Local;
    RecordingClock Clock;
    std::unique_ptr<TQrdFTP> Client;

private:
    EditionProfile profile_;
    std::unique_ptr<FaultFtpServer> server_;
    std::unique_ptr<TTraceLog> log_;
};

std::vector<std::string> Names(TQrdFTP& client) {
    std::vector<std::string> names;
    client.GetFileNameList(names);
    return names;
}

TEST(FindFieldStart, PositionOfTheNthBlankSeparatedField) {
    struct Case {
        std::string line;
        int n, want;
    };
    for (const auto& c : std::vector<Case>{
             {"-rw-r--r--   1 towagi   towagi          5 Jan 31 23:59 my file.txt", 9, 56},
             {"-rw-r--r-- 1 a b 5 Jan 31 23:59 x", 9, 33},
             {"total 2", 9, 0},
             {"a b", 2, 3},
             {"  a b", 2, 3}, // leading blanks: the first change from blank to text counts as a field start
             {"  a b", 3, 5},
             {"a b ", 3, 0}, // a trailing blank starts nothing
             {"", 9, 0},
         })
        EXPECT_EQ(FindFieldStart(c.line, c.n), c.want) << "[" << c.line << "] " << c.n;
}

TEST(ServerTimeStampText, ServerTimePlusNineHours) {
    struct Case {
        std::string reply, want;
    };
    for (const auto& c : std::vector<Case>{
             {"20240131235959", kServerStamp},
             {"20240131235959.123", kServerStamp},
             {"20231231150000", "2024/01/01 00:00:00"},
             {"20240228200000", "2024/02/29 05:00:00"},
             {"20230228200000", "2023/03/01 05:00:00"},
         })
        EXPECT_EQ(ServerTimeStampText(c.reply), c.want) << c.reply;
}

TEST(ServerTimeStampText, TextThatIsNoDateAndTimeFails) {
    for (const std::string reply :
         {"", "2024013123595", "20240230120000", "20241301000000", "20240131245959", "20240131236059",
          "2024013123x959", "00000101000000", "Jan 31 2024 23:59"})
        EXPECT_THROW(ServerTimeStampText(reply), EUpdateError) << reply;
}

TEST(IsSafeLocalName, RefusesNamesThatLeaveTheFolderOrHaveControlCharacters) {
    for (const std::string name : {"KMIHIND0.LZH", "my file.txt", "更新データ.txt", ".hidden", "a..b"})
        EXPECT_TRUE(IsSafeLocalName(name)) << name;
    for (const std::string& name :
         std::vector<std::string>{"", ".", "..", "../x", "a/b", "a\\b", "/etc/passwd", "a\nb",
                                  std::string("a\x01", 2), std::string("a\x7F", 2), std::string("a\0b", 3)})
        EXPECT_FALSE(IsSafeLocalName(name)) << name;
}

TEST(GetFileNameList, EachLineGivesTheNameOfItsOwnNinthField) {
    struct Case {
        std::string listing;
        std::vector<std::string> want;
    };
    for (const auto& c : std::vector<Case>{
             // Every line has its own columns: a size of nine digits, a year or another layout moves the name.
             {"-rw-r--r--   1 towagi   towagi   100000000 Jan 31 23:59 KMIHIND0.LZH\r\n"
              "-rw-r--r--   1 towagi   towagi          5 Jan 31 23:59 my file.txt\r\n"
              "-rw-r--r--   1 towagi   towagi    1048576 Feb  1  2024 Qrd0000.exe\r\n"
              "-rw-r--r-- 1 ftp ftp 12 Feb 1 2024 a name written in another layout\r\n",
              {"KMIHIND0.LZH", "my file.txt", "Qrd0000.exe", "a name written in another layout"}},
             // Folders are left out; a link is its own name.
             {"drwxr-xr-x   2 towagi   towagi       4096 Jan 31 23:59 sub folder\r\n"
              "lrwxrwxrwx   1 towagi   towagi          5 Jan 31 23:59 Qrd0000.lnk -> Qrd0000.exe\r\n"
              "-rw-r--r--   1 towagi   towagi          5 Jan 31 23:59 Qrd0000.exe\r\n",
              {"Qrd0000.lnk", "Qrd0000.exe"}},
             // The summary line of ls names no file; a line of fewer than nine fields is kept whole.
             {"total 2\r\n-rw-r--r-- 1 a b 5 Jan 31 23:59 x.txt\r\n01-31-24  11:59PM  5 y.txt\r\n",
              {"x.txt", "01-31-24  11:59PM  5 y.txt"}},
             // Bare LF line ends and a last line without one.
             {"-rw-r--r-- 1 a b 5 Jan 31 23:59 one\n-rw-r--r-- 1 a b 5 Jan 31 23:59 two", {"one", "two"}},
         }) {
        TempDir folder;
        WriteFile(folder.File("listing"), c.listing);
        FaultOptions options;
        options.ListingFile = folder.File("listing");
        Site site(options);
        EXPECT_EQ(Names(*site.Client), c.want) << c.listing;
    }
    // The sizes that go with the names come from each line's own columns too.
    TempDir folder;
    WriteFile(folder.File("listing"), "-rw-r--r-- 1 a b 5 Jan 31 23:59 small\r\n"
                                      "-rw-r--r-- 1 a b 123456789 Jan 31 23:59 large\r\n");
    FaultOptions options;
    options.ListingFile = folder.File("listing");
    Site site(options);
    EXPECT_EQ(Names(*site.Client), (std::vector<std::string>{"small", "large"}));
    EXPECT_EQ(site.Client->ListedSize("small"), 5u);
    EXPECT_EQ(site.Client->ListedSize("large"), 123456789u);
}

TEST(GetFileNameList, RealServerListingOfAFolderWithABigFileASubFolderAndALink) {
    Site site;
    ServerFile(site.Root, "a.exe", "a");
    std::filesystem::create_directory(site.Root.Path() / "sub");
    std::filesystem::create_symlink("a.exe", site.Root.Path() / "a.lnk");
    // Sparse: listed with nine digits of size without taking the space.
    { std::ofstream(site.Root.File("MASTER.LZH")); }
    std::filesystem::resize_file(site.Root.File("MASTER.LZH"), 123456789);
    ServerFile(site.Root, "z.txt", "z");
    EXPECT_EQ(Names(*site.Client), (std::vector<std::string>{"MASTER.LZH", "a.exe", "a.lnk", "z.txt"}));
}

TEST(GetFileNameList, RealServerListingsKeepBlanksAndConvertCP932) {
    for (const std::string encoding : {"utf8", "cp932"}) {
        FaultOptions options;
        options.Encoding = encoding;
        Site site(options);
        ServerFile(site.Root, "my file.txt", "x");
        ServerFile(site.Root, "KMIHIND0.LZH", "y");
        if (encoding == "cp932") ServerFile(site.Root, "更新データ.txt", "z");
        std::vector<std::string> want{"KMIHIND0.LZH", "my file.txt"};
        if (encoding == "cp932") want.push_back("更新データ.txt");
        EXPECT_EQ(Names(*site.Client), want) << encoding;
    }
}

TEST(GetFileNameList, EmptyFolderGivesNoNames) {
    Site site;
    std::vector<std::string> names{"left over"};
    site.Client->GetFileNameList(names);
    EXPECT_TRUE(names.empty());
}

TEST(GetFileNameList, HostileNamesAreLeftOutWithATraceLine) {
    TempDir folder;
    std::string listing;
    for (const std::string name : {".", "..", "a/b", "..\\b", "x\x01y", "ok.txt"})
        listing += "-rw-r--r-- 1 a b 5 Jan 31 23:59 " + name + "\r\n";
    WriteFile(folder.File("listing"), listing);
    FaultOptions options;
    options.ListingFile = folder.File("listing");
    Site site(options);
    EXPECT_EQ(Names(*site.Client), std::vector<std::string>{"ok.txt"});
    const std::string refused = "GetFileNameList ; ローカルのファイル名に使えない名前を除外しました : ";
    EXPECT_EQ(site.Trace(), (std::vector<std::string>{refused + "[.]", refused + "[..]", refused + "[a/b]",
                                                      refused + "[..\\b]", refused + "[x\\x01y]"}));
}

TEST(GetFileNameList, NameThatIsNotCP932IsAnErrorNamingIt) {
    TempDir folder;
    WriteFile(folder.File("listing"), "-rw-r--r-- 1 a b 5 Jan 31 23:59 ok.txt\r\n"
                                      "-rw-r--r-- 1 a b 5 Jan 31 23:59 bad\x81\x7F.txt\r\n");
    FaultOptions options;
    options.ListingFile = folder.File("listing");
    Site site(options);
    try {
        Names(*site.Client);
        FAIL() << "a name that is not CP932 was taken";
    } catch (const EEncodingError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "文字コードを変換できません: FTPサーバのファイル名 [bad\\x81\\x7F.txt] (位置 3)");
    }
}

TEST(GetFileNameList, FailureOfTheListingHasTheFixedText) {
    Site site;
    site.Client->Disconnect();
    std::vector<std::string> names{"left over"};
    try {
        site.Client->GetFileNameList(names);
        FAIL() << "listing without a connection succeeded";
    } catch (const EUpdateError& e) {
        EXPECT_STREQ(e.what(), kListFailed);
    }
    EXPECT_TRUE(names.empty());
}

TEST(ListingLineSize, PlainFilesOfTheUnixLayoutOnly) {
    struct Case {
        std::string line;
        std::optional<std::uintmax_t> want;
        std::string firstLine = ""; // where the name column is found; "" for the line itself
    };
    const std::string head = "-rw-r--r--   1 towagi   towagi    ";
    for (const auto& c : std::vector<Case>{
             {head + "   200000 Jan 31 23:59 a.exe", 200000},
             {head + "        0 Jan 31 23:59 empty.dat", 0},
             {head + "5368709120 Feb  1  2024 big name.lzh", 5368709120ULL},
             {"drwxr-xr-x   2 towagi   towagi        4096 Jan 31 23:59 folder", std::nullopt},
             {"lrwxrwxrwx   1 towagi   towagi           5 Jan 31 23:59 link", std::nullopt},
             {"-rw-r--r--   1 towagi   towagi         12x Jan 31 23:59 a.exe", std::nullopt},
             {"-rw-r--r-- 1 ftp 12 Feb 1 2024 seven.fields", std::nullopt},
             {"-rw-r--r-- 1 ftp ftp 12 Feb 1 2024 own layout", 12},
             // The same line under another line's name column.
             {"-rw-r--r-- 1 ftp ftp 12 Feb 1 2024 a name written in another layout", std::nullopt,
              head + "   200000 Jan 31 23:59 a.exe"},
         }) {
        const int start = FindFieldStart(c.firstLine.empty() ? c.line : c.firstLine, 9);
        EXPECT_EQ(ListingLineSize(c.line, start), c.want) << c.line;
    }
    EXPECT_EQ(ListingLineSize("total 2", 0), std::nullopt);
    // Cut inside a field: the name column does not fit this line.
    EXPECT_EQ(ListingLineSize("-rw-r--r-- 1 a b 5 Jan 31 23:59 x", 31), std::nullopt);
}

TEST(ListedSize, SizesOfTheLastListingOfTheCurrentFolder) {
    Site site;
    std::filesystem::create_directories(site.Root.Path() / "UPDATE");
    std::filesystem::create_directories(site.Root.Path() / "MAST");
    ServerFile(site.Root, "UPDATE/a.exe", Pattern(200000));
    ServerFile(site.Root, "UPDATE/empty.dat", "");
    ServerFile(site.Root, "MAST/BR01.ZIP", "zip");
    // Nothing listed yet: the listing's data is not at hand.
    site.Client->ChangeDir("/UPDATE/");
    EXPECT_EQ(site.Client->ListedSize("a.exe"), std::nullopt);
    Names(*site.Client);
    EXPECT_EQ(site.Client->CurrentDir(), "/UPDATE/");
    EXPECT_EQ(site.Client->ListedSize("a.exe"), 200000u);
    EXPECT_EQ(site.Client->ListedSize("empty.dat"), 0u);
    EXPECT_EQ(site.Client->ListedSize("A.EXE"), 200000u); // the master category asks in upper case
    EXPECT_EQ(site.Client->ListedSize("missing"), std::nullopt);
    // Another folder has its own listing; coming back finds the first one again.
    site.Client->ChangeDir("/MAST/");
    EXPECT_EQ(site.Client->ListedSize("a.exe"), std::nullopt);
    Names(*site.Client);
    EXPECT_EQ(site.Client->ListedSize("BR01.ZIP"), 3u);
    site.Client->ChangeDir("/UPDATE/");
    EXPECT_EQ(site.Client->ListedSize("a.exe"), 200000u);
    // A new connection starts in the log-in folder.
    site.Client->Connect();
    EXPECT_EQ(site.Client->CurrentDir(), "");
    EXPECT_EQ(site.Client->ListedSize("a.exe"), std::nullopt);
}

TEST(ListedSize, TwoNamesThatDifferInCaseOnlyAreNotGuessedBetween) {
    Site site;
    ServerFile(site.Root, "br01.zip", "lower");
    ServerFile(site.Root, "BR01.zip", "mixed case");
    Names(*site.Client);
    EXPECT_EQ(site.Client->ListedSize("br01.zip"), 5u);
    EXPECT_EQ(site.Client->ListedSize("BR01.ZIP"), std::nullopt);
}

TEST(GetFileSize, TheSizeReplyOrNone) {
    for (bool refused : {false, true}) {
        FaultOptions options;
        options.RefuseSize = refused;
        Site site(options);
        ServerFile(site.Root, "a.exe", Pattern(1234));
        ServerFile(site.Root, "empty.dat", "");
        EXPECT_EQ(site.Client->GetFileSize("a.exe"), refused ? std::nullopt : std::optional<std::uintmax_t>(1234));
        EXPECT_EQ(site.Client->GetFileSize("empty.dat"), refused ? std::nullopt : std::optional<std::uintmax_t>(0));
        EXPECT_EQ(site.Client->GetFileSize("missing"), std::nullopt);
        EXPECT_TRUE(site.Client->Connected());
    }
}

TEST(GetFileTimeStamp, RetriesUntil213) {
    struct Case {
        int failures;
        std::string reply; // "" : the file's own time
        bool succeeds;
        size_t pauses;
    };
    for (const auto& c : std::vector<Case>{
             {0, "", true, 0},
             {0, "20240131235959", true, 0},
             {0, "20240131235959.123", true, 0},
             {9, "", true, 9},
             {10, "", false, 9},
         }) {
        FaultOptions options;
        options.MdtmFailures = c.failures;
        options.MdtmReply = c.reply;
        Site site(options);
        ServerFile(site.Root, "a.txt", "x");
        if (c.succeeds) {
            EXPECT_EQ(site.Client->GetFileTimeStamp("a.txt"), kServerStamp) << c.failures << " " << c.reply;
        } else {
            try {
                site.Client->GetFileTimeStamp("a.txt");
                FAIL() << "ten failed MDTM replies succeeded";
            } catch (const EUpdateError& e) {
                EXPECT_EQ(std::string(e.what()), std::string(kTimeStampFailed) + " : [a.txt]");
            }
        }
        EXPECT_EQ(site.Clock.Pauses, std::vector<int>(c.pauses, 500)) << c.failures;
    }
}

TEST(GetFileTimeStamp, DroppedConnectionFailsAtOnce) {
    // Closed without a reply, or after the first line of a multi-line one.
    for (bool cut : {false, true}) {
        FaultOptions options;
        options.MdtmDrop = true;
        options.CutReplies = cut;
        Site site(options);
        ServerFile(site.Root, "a.txt", "x");
        EXPECT_THROW(site.Client->GetFileTimeStamp("a.txt"), EFTPConnectionLost) << cut;
        EXPECT_TRUE(site.Clock.Pauses.empty()) << cut;
        EXPECT_FALSE(site.Client->Connected()) << cut;
    }
}

TEST(GetTimeStampList, FirstFailureEndsWithTheStampsGathered) {
    Site site;
    ServerFile(site.Root, "a.txt", "x");
    ServerFile(site.Root, "b.txt", "y");
    std::vector<std::string> stamps;
    site.Client->GetTimeStampList({"a.txt", "b.txt"}, stamps);
    EXPECT_EQ(stamps, (std::vector<std::string>{kServerStamp, kServerStamp}));
    EXPECT_THROW(site.Client->GetTimeStampList({"a.txt", "missing.txt", "b.txt"}, stamps), EUpdateError);
    EXPECT_EQ(stamps.size(), 3u);
}

// Server files one minute apart from 2024-01-31 00:00:00 UTC, so that a stamp given to the wrong name
// shows; returns what the client must give for each (nine hours later).
std::vector<std::string> FilesMinutesApart(const std::string& folder, const std::vector<std::string>& names) {
    std::vector<std::string> stamps;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::time_t time = 1706659200 + static_cast<std::time_t>(i) * 60;
        const std::string path = folder + "/" + names[i];
        WriteFile(path, names[i]);
        const timespec times[2] = {{time, 0}, {time, 0}};
        testing::Require(utimensat(AT_FDCWD, path.c_str(), times, 0) == 0, "file time of " + path);
        const std::time_t shown = time + 9 * 3600;
        std::tm parts{};
        gmtime_r(&shown, &parts);
        char text[32];
        std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &parts);
        stamps.push_back(text);
    }
    return stamps;
}

std::vector<std::string> ManyNames(size_t count) {
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i)
        names.push_back("file " + std::to_string(1000 + i) + ".dat");
    return names;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream text(ReadFile(path));
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind(prefix, 0) == 0;
    }));
}

// The stamps, the waits and the failure are those of one MDTM per name in turn, whichever way the server
// lets them be asked: MLSD (pyftpdlib), MDTM in batches (a server without MLSD), or one at a time.
TEST(GetTimeStampList, TheSameAsOneRequestPerNameOnEveryServer) {
    enum class Way { Listing, Batches, OneAtATime };
    for (const Way way : {Way::Listing, Way::Batches, Way::OneAtATime}) {
        TempDir logs;
        FaultOptions options;
        options.Encoding = "cp932";
        options.NoMlst = way != Way::Listing;
        options.CommandLog = logs.File("commands");
        // Two names answered 550 at first: each is tried again alone, 500 ms later.
        options.MdtmFail = {{"b.txt", 2}, {"更新 データ.txt", 1}};
        Site site(options);
        std::filesystem::create_directory(site.Root.Path() / "UPDATE");
        std::vector<std::string> names{"a.txt", "b.txt", "更新 データ.txt", "my file.txt"};
        for (const std::string& name : ManyNames(850))
            names.push_back(name);
        const std::vector<std::string> want = FilesMinutesApart(site.Root.File("UPDATE"), names);
        site.Client->ChangeDir("/UPDATE/");
        if (way == Way::OneAtATime) site.Client->AskOneAtATime();
        std::vector<std::string> stamps;
        site.Client->GetTimeStampList(names, stamps);
        EXPECT_EQ(stamps, want);
        const auto commands = ReadLines(logs.File("commands"));
        if (way == Way::Listing) {
            // The listing gave every time: the names that failed MDTM were never asked.
            EXPECT_EQ(site.Clock.Pauses, std::vector<int>{});
            EXPECT_EQ(CountLines(commands, "MLSD"), 1u);
            EXPECT_EQ(CountLines(commands, "MDTM "), 0u);
        } else {
            EXPECT_EQ(site.Clock.Pauses, std::vector<int>(3, 500));
            EXPECT_EQ(CountLines(commands, "MDTM "), names.size() + 3);
            EXPECT_EQ(CountLines(commands, "NOOP"), way == Way::Batches ? 2u : 0u);
        }
        EXPECT_TRUE(site.Client->Connected());
        EXPECT_EQ(site.Client->PipelinesTimeStamps(), way != Way::OneAtATime);

        // A name that is not there fails after ten tries and names itself; the stamps before it stay.
        site.Clock.Pauses.clear();
        stamps.clear();
        try {
            site.Client->GetTimeStampList({"a.txt", "my file.txt", "missing.txt", "b.txt"}, stamps);
            FAIL() << "a missing file got a time stamp";
        } catch (const EUpdateError& e) {
            EXPECT_EQ(std::string(e.what()), std::string(kTimeStampFailed) + " : [missing.txt]");
        }
        EXPECT_EQ(stamps, (std::vector<std::string>{want[0], want[3]}));
        EXPECT_EQ(site.Clock.Pauses, std::vector<int>(9, 500));
    }
}

TEST(GetTimeStampList, MdtmDecidesForANameTheListingDoesNotGiveAsAsked) {
    // The master category asks in upper case; this server's names are case-sensitive.
    Site site;
    const std::vector<std::string> want = FilesMinutesApart(site.Root.Dir(), {"BR01.ZIP", "br02.zip"});
    std::vector<std::string> stamps;
    EXPECT_THROW(site.Client->GetTimeStampList({"BR01.ZIP", "BR02.ZIP"}, stamps), EUpdateError);
    EXPECT_EQ(stamps, (std::vector<std::string>{want[0]}));
    EXPECT_EQ(site.Clock.Pauses, std::vector<int>(9, 500));
    EXPECT_TRUE(site.Client->ListsTimeStamps());
}

// A server that drops the connection in the middle of a batch, or answers a batch out of step, is asked
// again one name at a time over a new connection in the same folder, and never given a batch again.
TEST(GetTimeStampList, AServerThatCannotTakeBatchesIsAskedOneNameAtATime) {
    for (const bool drop : {true, false}) {
        TempDir logs;
        FaultOptions options;
        options.NoMlst = true;
        options.DropPipelined = drop ? 5 : 0;
        options.SwallowPipelined = !drop;
        options.CommandLog = logs.File("commands");
        Site site(options);
        std::filesystem::create_directory(site.Root.Path() / "UPDATE");
        const std::vector<std::string> names = ManyNames(40);
        const std::vector<std::string> want = FilesMinutesApart(site.Root.File("UPDATE"), names);
        site.Client->ChangeDir("UPDATE");
        std::vector<std::string> stamps;
        site.Client->GetTimeStampList(names, stamps);
        EXPECT_EQ(stamps, want) << drop;
        EXPECT_FALSE(site.Client->PipelinesTimeStamps()) << drop;
        EXPECT_TRUE(site.Client->Connected()) << drop;
        EXPECT_EQ(site.Client->CurrentDir(), "UPDATE") << drop;
        EXPECT_EQ(CountLines(ReadLines(logs.File("commands")), "USER "), 2u) << drop;
        EXPECT_TRUE(site.Clock.Pauses.empty()) << drop;
        const size_t sent = CountLines(ReadLines(logs.File("commands")), "MDTM ");
        stamps.clear();
        site.Client->GetTimeStampList(names, stamps);
        EXPECT_EQ(stamps, want) << drop;
        const auto commands = ReadLines(logs.File("commands"));
        EXPECT_EQ(CountLines(commands, "MDTM "), sent + names.size()) << drop;
        // The batch's closing NOOP never reached the server that hung up.
        EXPECT_EQ(CountLines(commands, "NOOP"), drop ? 0u : 1u) << drop;
    }
}

// PASS, TYPE I, SYST and FEAT go together after USER. A server that hangs up on them, or answers them
// with anything but what each gets alone, is logged in again one command at a time; FEAT is then asked
// when the catalogue needs it, and nothing is sent together on that client again.
TEST(Connect, AServerThatCannotTakeTheSetUpSentTogetherIsSetUpOneCommandAtATime) {
    const std::vector<std::string> together{"USER towagi", "PASS", "TYPE I", "SYST", "FEAT"};
    const std::vector<std::string> alone{"USER towagi", "PASS", "TYPE I", "SYST"};
    struct Case {
        std::string command, how;
        std::vector<std::vector<std::string>> logIns;
    } cases[] = {
        {"", "", {together}},
        {"TYPE", "drop", {{"USER towagi", "PASS", "TYPE I"}, alone}},
        {"TYPE", "refuse", {together, alone}},
        {"PASS", "drop", {{"USER towagi", "PASS"}, alone}},
    };
    for (const Case& c : cases) {
        TempDir logs;
        FaultOptions options;
        if (!c.how.empty()) options.Pipelined = {{c.command, c.how}};
        options.CommandLog = logs.File("commands");
        Site site(options);
        EXPECT_TRUE(site.Client->Connected()) << c.command << c.how;
        std::vector<std::string> want;
        for (const auto& logIn : c.logIns)
            want.insert(want.end(), logIn.begin(), logIn.end());
        EXPECT_EQ(ReadLines(logs.File("commands")), want) << c.command << c.how;
        EXPECT_EQ(site.Client->PipelinesTimeStamps(), c.how.empty()) << c.command << c.how;

        // The times still come from one MLSD; FEAT is asked for them where the set-up went one at a time.
        const std::vector<std::string> names{"a.txt", "b.txt", "c.txt"};
        const std::vector<std::string> stamps = FilesMinutesApart(site.Root.Dir(), names);
        std::vector<std::string> got;
        site.Client->GetTimeStampList(names, got);
        EXPECT_EQ(got, stamps) << c.command << c.how;
        const auto commands = ReadLines(logs.File("commands"));
        EXPECT_EQ(CountLines(commands, "FEAT"), CountLines(want, "FEAT") + (c.how.empty() ? 0u : 1u))
            << c.command << c.how;
        EXPECT_EQ(CountLines(commands, "MLSD"), 1u) << c.command << c.how;
        EXPECT_EQ(CountLines(commands, "MDTM"), 0u) << c.command << c.how;
    }
}

// The outcome of changing to each folder in turn: the reply code (or the refusal's code and text), the
// folder the client says it is in, and where the server says it stands.
std::vector<std::string> ChangeThrough(TQrdFTP& client, const std::vector<std::string>& folders) {
    std::vector<std::string> outcome;
    for (const std::string& folder : folders) {
        try {
            client.ChangeDir(folder);
            outcome.push_back(folder + " -> " + std::to_string(client.LastReply().Code));
        } catch (const EFTPReplyError& e) {
            outcome.push_back(folder + " -> " + std::to_string(e.ReplyCode) + " " + e.what());
        }
        EXPECT_EQ(client.SendCommand("PWD"), 257);
        outcome.push_back("in [" + client.CurrentDir() + "] " + client.LastReply().Text.at(0));
    }
    return outcome;
}

// The CWDs of the planned folders go together at the first change, and every change ends as it would
// alone: the same refusals with the same text, the same folder, the server standing where the client says.
// A relative folder in the plan, or a server that cannot take the CWDs together, gets one CWD at a time.
TEST(ChangeDir, PlannedFoldersAreAskedTogetherWithTheSameOutcome) {
    const std::vector<std::string> plan{"/A/", "/B/", "/C/", "/D/"};
    struct Case {
        std::string how;
        std::vector<std::string> plan;
        bool together, pipelines;
        size_t logIns;
    } cases[] = {
        {"", {}, false, true, 1},
        {"", plan, true, true, 1},
        {"", {"/A/", "B", "/C/", "/D/"}, false, true, 1},
        {"drop", plan, false, false, 2},
        {"refuse", plan, false, false, 1},
    };
    std::vector<std::string> alone;
    for (const Case& c : cases) {
        TempDir logs;
        FaultOptions options;
        if (!c.how.empty()) options.Pipelined = {{"CWD", c.how}};
        options.CommandLog = logs.File("commands");
        Site site(options);
        for (const char* folder : {"A", "C", "A/B"})
            std::filesystem::create_directory(site.Root.Path() / folder);
        site.Client->SetFolderPlan(c.plan);
        const std::vector<std::string> folders = c.plan.empty() ? plan : c.plan;
        const std::vector<std::string> outcome = ChangeThrough(*site.Client, folders);
        if (c.plan.empty()) {
            alone = outcome;
        } else if (c.plan == plan) {
            EXPECT_EQ(outcome, alone) << c.how;
        }
        const auto commands = ReadLines(logs.File("commands"));
        EXPECT_EQ(CountLines(commands, "USER "), c.logIns) << c.how;
        EXPECT_EQ(site.Client->PipelinesTimeStamps(), c.pipelines) << c.how;
        const size_t first = static_cast<size_t>(
            std::find_if(commands.begin(), commands.end(),
                         [](const std::string& line) { return line.rfind("CWD ", 0) == 0; }) -
            commands.begin());
        const std::vector<std::string> sent(commands.begin() + static_cast<std::ptrdiff_t>(first),
                                            commands.begin() + static_cast<std::ptrdiff_t>(first + 5));
        if (c.together) {
            // Last folder first, so that the server ends in the first; only /C/ is asked again.
            EXPECT_EQ(sent, (std::vector<std::string>{"CWD /D/", "CWD /C/", "CWD /B/", "CWD /A/", "PWD"}));
            EXPECT_EQ(CountLines(commands, "CWD "), 5u);
        } else {
            EXPECT_EQ(CountLines(commands, "CWD "), c.how == "refuse" ? 8u
                                                    : c.how == "drop" ? 5u
                                                                      : 4u)
                << c.how;
        }
    }
    // Against the folders as they are: A and C there, B and D refused with the server's own text.
    ASSERT_EQ(alone.size(), 8u);
    EXPECT_EQ(alone[0], "/A/ -> 250");
    EXPECT_EQ(alone[2].rfind("/B/ -> 550 550 ", 0), 0u) << alone[2];
    EXPECT_EQ(alone[3].rfind("in [/A/] \"/A\"", 0), 0u) << alone[3];
    EXPECT_EQ(alone[6].rfind("/D/ -> 550 ", 0), 0u) << alone[6];
    EXPECT_EQ(alone[7].rfind("in [/C/] \"/C\"", 0), 0u) << alone[7];
}

TEST(GetTimeStampList, ReconnectThatFailsGivesTheLostConnection) {
    // The server drops the batch's connection and refuses every later one.
    FaultOptions options;
    options.NoMlst = true;
    options.DropPipelined = 1;
    options.DropConnections = "2-100";
    Site site(options);
    const std::vector<std::string> names = ManyNames(5);
    FilesMinutesApart(site.Root.Dir(), names);
    std::vector<std::string> stamps;
    EXPECT_THROW(site.Client->GetTimeStampList(names, stamps), EFTPConnectionLost);
    EXPECT_FALSE(site.Client->Connected());
}

// The test server's slow link: each reply comes the given time after its command.
TEST(FaultServer, DelaysEveryReply) {
    FaultOptions options;
    options.DelayMs = 150;
    Site site(options);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(site.Client->SendCommand("NOOP"), 200);
    EXPECT_EQ(site.Client->SendCommand("PWD"), 257);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST(DownloadFile, ReplacesALongerLocalFileAndSetsTheServerTime) {
    Site site;
    ServerFile(site.Root, "a.txt", "new contents");
    WriteFile(site.Local.File("a.txt"), std::string(4096, 'o'));
    const TFetchedFile fetched = site.Client->DownloadFile("a.txt", site.Local.File("a.txt"));
    EXPECT_EQ(ReadFile(site.Local.File("a.txt")), "new contents");
    EXPECT_EQ(ModifiedTime(site.Local.File("a.txt")), LocalTime(kServerStamp));
    EXPECT_EQ(fetched.Size, 12u);
    EXPECT_EQ(fetched.Stamp, kServerStamp);
}

// A transfer that ends early with a success reply looks whole to the protocol; only its size tells.
TEST(DownloadFile, ATransferThatEndsEarlyWith226ReportsWhatArrived) {
    for (bool passive : {true, false}) {
        FaultOptions options;
        options.ShortAfter = 1000;
        Site site(options);
        site.Client->SetPassive(passive);
        ServerFile(site.Root, "a.exe", Pattern(200000));
        const TFetchedFile fetched = site.Client->DownloadFile("a.exe", site.Local.File("a.exe"));
        EXPECT_EQ(fetched.Size, 1000u) << passive;
        EXPECT_EQ(ReadFile(site.Local.File("a.exe")), Pattern(200000).substr(0, 1000)) << passive;
        EXPECT_EQ(site.Client->LastReply().Code, 213) << passive; // the time stamp was asked after the 226
        EXPECT_TRUE(site.Client->Connected());
    }
}

TEST(DownloadFile, CP932NamesTravelBothWays) {
    FaultOptions options;
    options.Encoding = "cp932";
    Site site(options);
    ServerFile(site.Root, "マスタ 一覧.txt", "マスタ");
    site.Client->DownloadFile("マスタ 一覧.txt", site.Local.File("local.txt"));
    EXPECT_EQ(ReadFile(site.Local.File("local.txt")), "マスタ");
    EXPECT_EQ(ModifiedTime(site.Local.File("local.txt")), LocalTime(kServerStamp));
}

TEST(DownloadFile, ErrorReplyKeepsTheConnection) {
    struct Case {
        FaultOptions options;
        std::string name;
        int code;
        std::string partial;
    };
    FaultOptions aborting;
    aborting.AbortAfter = 1000;
    const std::string big = Pattern(200 * 1024);
    for (const auto& c : std::vector<Case>{
             {aborting, "big.bin", 426, big.substr(0, 1000)},
             {FaultOptions{}, "missing.bin", 550, ""},
         }) {
        Site site(c.options);
        ServerFile(site.Root, "big.bin", big);
        try {
            site.Client->DownloadFile(c.name, site.Local.File("big.bin"));
            FAIL() << c.name << " arrived";
        } catch (const EFTPReplyError& e) {
            EXPECT_EQ(e.ReplyCode, c.code) << e.what();
        }
        EXPECT_EQ(ReadFile(site.Local.File("big.bin")), c.partial) << c.name;
        // The reply that closed the transfer was read: the next command gets its own answer.
        ASSERT_TRUE(site.Client->Connected());
        EXPECT_EQ(site.Client->GetFileTimeStamp("big.bin"), kServerStamp);
    }
}

TEST(DownloadFile, LocalWriteFailureNamesTheFileAndKeepsTheConnection) {
    Site site;
    ServerFile(site.Root, "big.bin", Pattern(512 * 1024));
    {
        testing::ScopedFileSizeLimit limit(1000);
        try {
            site.Client->DownloadFile("big.bin", site.Local.File("big.bin"));
            FAIL() << "a file larger than the limit was written";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.ErrorCode, EFBIG);
            EXPECT_NE(std::string(e.what()).find(site.Local.File("big.bin")), std::string::npos) << e.what();
        }
    }
    ASSERT_TRUE(site.Client->Connected());
    EXPECT_EQ(site.Client->GetFileTimeStamp("big.bin"), kServerStamp);
}

TEST(DownloadFile, ControlConnectionDroppedDuringTheTransferIsAConnectionLoss) {
    FaultOptions options;
    options.DropAfter = 64 * 1024;
    Site site(options);
    ServerFile(site.Root, "big.bin", Pattern(1024 * 1024));
    EXPECT_THROW(site.Client->DownloadFile("big.bin", site.Local.File("big.bin")), EFTPConnectionLost);
    EXPECT_FALSE(site.Client->Connected());
    EXPECT_LT(ReadFile(site.Local.File("big.bin")).size(), 1024u * 1024u);
}

TEST(DownloadFile, ReadTimeOutOfTheEdition) {
    struct Case {
        const EditionProfile* edition;
        int transferTimeout;
        bool passive;
        bool arrives;
    };
    for (const auto& c : std::vector<Case>{
             // A stalled transfer ends after the edition's time-out, on either kind of data connection.
             {&EstimationEdition(), 300, true, false},
             {&EstimationEdition(), 300, false, false},
             {&CostEdition(), 0, true, true}, // no limit: the transfer waits for the server
             {&CostEdition(), 0, false, true},
         }) {
        FaultOptions options;
        options.SlowAfter = 1000;
        options.SlowSeconds = 1.0;
        EditionProfile profile = *c.edition;
        profile.FtpTimeouts.TransferRead = c.transferTimeout;
        Site site(options, profile);
        site.Client->SetPassive(c.passive);
        ServerFile(site.Root, "slow.bin", Pattern(4000));
        const auto start = std::chrono::steady_clock::now();
        if (c.arrives) {
            site.Client->DownloadFile("slow.bin", site.Local.File("slow.bin"));
            EXPECT_EQ(ReadFile(site.Local.File("slow.bin")), Pattern(4000));
        } else {
            EXPECT_THROW(site.Client->DownloadFile("slow.bin", site.Local.File("slow.bin")),
                         EFTPConnectionLost);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900)) << c.passive;
        }
        EXPECT_EQ(site.Client->ReadTimeout(), c.transferTimeout);
    }
}

TEST(DownloadFile, FailedTimeStampLeavesTheFetchedFile) {
    struct Case {
        FaultOptions options;
        std::string error; // "{}" stands for the local path
    };
    FaultOptions noStamp, beyondDates;
    noStamp.MdtmFailures = 10;
    // Nine hours after the server's last second of 9999 there is no local date-time to set.
    beyondDates.MdtmReply = "99991231200000";
    for (const auto& c : std::vector<Case>{
             {noStamp, std::string(kTimeStampFailed) + " : [a.txt]"},
             {beyondDates, "変更失敗 : [{}] : 10000/01/01 05:00:00"},
         }) {
        Site site(c.options);
        ServerFile(site.Root, "a.txt", "new contents");
        const std::string local = site.Local.File("a.txt");
        WriteFile(local, "old");
        std::string want = c.error;
        if (size_t at = want.find("{}"); at != std::string::npos) want.replace(at, 2, local);
        try {
            site.Client->DownloadFile("a.txt", local);
            FAIL() << want << ": no failure";
        } catch (const EUpdateError& e) {
            EXPECT_EQ(std::string(e.what()), want);
        }
        EXPECT_EQ(ReadFile(local), "new contents") << want;
        EXPECT_NE(ModifiedTime(local), LocalTime(kServerStamp)) << want;
        EXPECT_TRUE(site.Client->Connected()) << want;
    }
}

TEST(DownloadFile, NameThatCP932CannotHoldIsAnErrorNamingIt) {
    Site site;
    ServerFile(site.Root, "a.txt", "x");
    try {
        site.Client->DownloadFile("更新\U0001F600.txt", site.Local.File("out.txt"));
        FAIL() << "a name outside CP932 was sent";
    } catch (const EEncodingError& e) {
        EXPECT_EQ(std::string(e.what()), "文字コードを変換できません: 更新\U0001F600.txt (位置 6)");
    }
    // Nothing was sent: the conversation is still in step.
    EXPECT_EQ(site.Client->GetFileTimeStamp("a.txt"), kServerStamp);
}

TEST(DownloadFile, HostileServerNameIsNeverALocalFile) {
    Site site;
    ServerFile(site.Root, "a.txt", "x");
    for (const std::string name : {"../a.txt", "..", "sub/a.txt", "a\\b"}) {
        EXPECT_THROW(site.Client->DownloadFile(name, site.Local.File("out.txt")), EUpdateError) << name;
        EXPECT_FALSE(std::filesystem::exists(site.Local.File("out.txt"))) << name;
    }
    EXPECT_EQ(site.Trace().size(), 4u);
    EXPECT_EQ(site.Trace().front(), "DownloadFile ; ローカルのファイル名に使えない名前です : [../a.txt]");
}

TEST(SendCommand, ReturnsTheReplyCodeWhateverItIs) {
    Site site;
    ServerFile(site.Root, "a.txt", "x");
    EXPECT_EQ(site.Client->SendCommand("MDTM a.txt"), 213);
    EXPECT_EQ(site.Client->LastReply().Text, std::vector<std::string>{"20240131235959"});
    EXPECT_EQ(site.Client->SendCommand("MDTM missing.txt"), 550);
    EXPECT_THROW(site.Client->SendCommand("MDTM a.txt\r\nDELE a.txt"), EUpdateError);
    EXPECT_THROW(site.Client->ChangeDir("no such folder"), EFTPReplyError);
    // ABOR between transfers is answered and leaves the conversation in step.
    site.Client->Abort();
    EXPECT_EQ(site.Client->LastReply().Code / 100, 2);
    EXPECT_EQ(site.Client->SendCommand("MDTM a.txt"), 213);
}

// vsftpd: an independent server implementation, with passive and active data connections.
TEST(Vsftpd, ListsStampsAndDownloadsInBothModes) {
    for (const auto* edition : {&EstimationEdition(), &CostEdition()}) {
        for (bool passive : {true, false}) {
            TempDir root, local;
            std::filesystem::create_directory(root.Path() / "UPDATE");
            std::filesystem::create_directory(root.Path() / "MANY");
            ServerFile(root, "UPDATE/my file.txt", "blank in the name");
            ServerFile(root, "UPDATE/KMIHIND0.LZH", Pattern(3 * 1024 * 1024 + 17));
            VsftpdServer server(root.Path().string());
            TQrdFTP client(edition->FtpTimeouts, SleepingClock());
            client.SetHost(VsftpdServer::Host);
            client.SetPort(server.Port());
            client.SetUsername(VsftpdServer::User);
            client.SetPassword(VsftpdServer::Password);
            client.SetPassive(passive);
            client.Connect();
            ASSERT_TRUE(client.Connected());
            client.ChangeDir("UPDATE");
            std::vector<std::string> names;
            client.GetFileNameList(names);
            ASSERT_EQ(names, (std::vector<std::string>{"KMIHIND0.LZH", "my file.txt"})) << passive;
            // vsftpd's listing gives the sizes the download is checked against.
            EXPECT_EQ(client.ListedSize("KMIHIND0.LZH"), 3u * 1024 * 1024 + 17);
            EXPECT_EQ(client.ListedSize("my file.txt"), 17u);
            EXPECT_EQ(client.GetFileSize("KMIHIND0.LZH"), 3u * 1024 * 1024 + 17);
            std::vector<std::string> stamps;
            client.GetTimeStampList(names, stamps);
            EXPECT_EQ(stamps, (std::vector<std::string>{kServerStamp, kServerStamp}));
            // vsftpd offers no MLSD: its MDTM replies come in batches, in order.
            const std::vector<std::string> many = ManyNames(450);
            const std::vector<std::string> want = FilesMinutesApart(root.File("MANY"), many);
            client.ChangeDir("../MANY"); // vsftpd run by an ordinary user does not chroot
            stamps.clear();
            client.GetTimeStampList(many, stamps);
            EXPECT_EQ(stamps, want);
            EXPECT_TRUE(client.PipelinesTimeStamps());
            EXPECT_FALSE(client.ListsTimeStamps());
            client.ChangeDir("../UPDATE");
            client.GetFileNameList(names); // the sizes are the listing's of the folder as it was named
            for (const std::string& name : names) {
                EXPECT_EQ(client.DownloadFile(name, local.File(name)).Size, client.ListedSize(name)) << name;
                EXPECT_EQ(ReadFile(local.File(name)), ReadFile(root.File("UPDATE/" + name)))
                    << name << passive;
                EXPECT_EQ(ModifiedTime(local.File(name)), LocalTime(kServerStamp)) << name;
            }
            EXPECT_EQ(client.ReadTimeout(), edition->FtpTimeouts.TransferRead);
            // vsftpd takes planned CWDs together: a refused folder is refused with its own text.
            ASSERT_EQ(client.SendCommand("PWD"), 257);
            const std::string pwd = client.LastReply().Text.at(0);
            const std::string top = pwd.substr(1, pwd.find('"', 1) - 1) + "/..";
            client.SetFolderPlan({top + "/UPDATE/", top + "/MISSING/", top + "/MANY/"});
            client.ChangeDir(top + "/UPDATE/");
            try {
                client.ChangeDir(top + "/MISSING/");
                ADD_FAILURE() << "a missing folder was entered";
            } catch (const EFTPReplyError& e) {
                EXPECT_EQ(e.ReplyCode, 550);
                EXPECT_NE(std::string(e.what()).find("Failed to change directory"), std::string::npos)
                    << e.what();
            }
            client.ChangeDir(top + "/MANY/");
            ASSERT_EQ(client.SendCommand("PWD"), 257);
            EXPECT_NE(client.LastReply().Text.at(0).find("/MANY\""), std::string::npos);
            EXPECT_TRUE(client.PipelinesTimeStamps());
            client.Disconnect();
            EXPECT_FALSE(client.Connected());
        }
    }
}

} // namespace
} // namespace towagi
