#include "transfer/update_settings.h"

#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "support/encoding.h"
#include "support/errors.h"
#include "support/settings.h"
#include "support/settings_store.h"
#include "tests/common/test_env.h"
#include "tests/common/trace_lines.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>

namespace towagi {
namespace {

namespace fs = std::filesystem;
using testing::ReadTraceLines;
using testing::ScopedHives;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kUpdate = "\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE";

const std::vector<const EditionProfile*> kEditions{&EstimationEdition(), &CostEdition()};

// Private hives, a trace log, and a temporary current folder (where the branch table lives).
struct Workstation {
    explicit Workstation(const EditionProfile& profile) : previous(fs::current_path()) {
        fs::current_path(root.Path());
        State.Profile = &profile;
        State.TraceLog = std::make_unique<TTraceLog>(root.File("trace.log"));
    }
    ~Workstation() { fs::current_path(previous); }
    Workstation(const Workstation&) = delete;
    Workstation& operator=(const Workstation&) = delete;
    std::vector<std::string> Trace() const { return ReadTraceLines(root.File("trace.log")); }

    ScopedHives hives;
    TempDir root;
    fs::path previous;
    TUpdateState State;
};

void WriteUserString(const std::string& key, const std::string& name, const std::string& value) {
    auto opened = CurrentSettingsStore().OpenKey(Hive::User, key, true, KeyAccess::ReadWrite);
    testing::Require(opened != nullptr, "key " + key);
    opened->WriteString(name, value);
}

// What a shell command prints.
std::string CommandOutput(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    char buffer[256];
    while (pipe && fgets(buffer, sizeof buffer, pipe.get()))
        output += buffer;
    return output;
}

bool IsIPv4(const std::string& text) {
    in_addr parsed{};
    return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

TEST(GetFTPParams, ReadsTheFourValuesAndMasksThePasswordInTheTrace) {
    struct Case {
        std::string host;
        std::optional<std::int32_t> port;
        std::string wantHost;
        std::int32_t wantPort;
    };
    for (const EditionProfile* profile : kEditions) {
        for (const auto& c : std::vector<Case>{
                 {"ftp.example.jp", 21, "ftp.example.jp", 21},
                 {"ftp.example.jp:2121", 990, "ftp.example.jp", 990}, // the port comes from FTP_Port only
                 {"10.0.0.5:21:x", std::nullopt, "10.0.0.5", -1},
                 {":21", 21, "", 21},
             }) {
            Workstation w(*profile);
            // Stored as the administration screens spell it; names compare without letter case.
            WriteMachineString(kUpdate, "FTP_HOST", c.host, true);
            if (c.port) WriteMachineInteger(kUpdate, "FTP_Port", *c.port, true);
            WriteMachineString(kUpdate, "FTP_UserID", "towagi", true);
            WriteMachineString(kUpdate, "FTP_Password", "s3cret!", true);
            WriteMachineInteger(kUpdate, "FTP_ConnectMode", 1, true);

            TFTPParams params;
            GetFTPParams(w.State, params);
            EXPECT_EQ(params.Host, c.wantHost) << c.host;
            EXPECT_EQ(params.Port, c.wantPort) << c.host;
            EXPECT_EQ(params.UserID, "towagi");
            EXPECT_EQ(params.Password, "s3cret!");
            EXPECT_EQ(params.ConnectMode, 1) << profile->ProgramName;
            EXPECT_EQ(w.Trace(), (std::vector<std::string>{"GetFTPParams ; Start",
                                                           "GetFTPParams ; End : Result= Host=" + c.wantHost +
                                                               " Port=" + std::to_string(c.wantPort) +
                                                               " UserID=towagi Password=****"}))
                << profile->ProgramName << " " << c.host;
        }
    }
}

TEST(GetFTPParams, MissingValuesReadAsEmptyAndMinusOne) {
    for (const EditionProfile* profile : kEditions) {
        Workstation w(*profile);
        TFTPParams params{"stale", 21, "stale", "stale"};
        GetFTPParams(w.State, params);
        EXPECT_EQ(params.Host, "");
        EXPECT_EQ(params.Port, -1);
        EXPECT_EQ(params.UserID, "");
        EXPECT_EQ(params.Password, "");
        EXPECT_EQ(params.ConnectMode, -1);
    }
}

TEST(CheckFTPParams, RefusesTheFirstInvalidParameter) {
    struct Case {
        TFTPParams params;
        std::string message; // empty: the check passes
        std::string detail;
    };
    const std::string host = "接続に必要なパラメータ(Host)の設定が不正です。";
    const std::string port = "接続に必要なパラメータ(FTP Port)の設定が不正です。";
    const std::string user = "接続に必要なパラメータ(ユーザID)の設定が不正です。";
    for (const auto& c : std::vector<Case>{
             {{"ftp.example.jp", 21, "towagi", ""}, "", ""},
             {{"ftp.example.jp", -1, "towagi", ""}, "", ""}, // a missing port is left to the connection
             {{"", 21, "towagi", ""}, host, "Host="},
             {{" \t", 21, "towagi", ""}, host, "Host= \t"},
             {{"ftp.example.jp", 0, "towagi", ""}, port, "Port=0"},
             {{"ftp.example.jp", 21, "", ""}, user, "UserID="},
             {{"ftp.example.jp", 21, "  ", ""}, user, "UserID=  "},
             {{"", 0, "", ""}, host, "Host="},
         }) {
        Workstation w(EstimationEdition());
        const std::string label = c.params.Host + "/" + std::to_string(c.params.Port) + "/" + c.params.UserID;
        if (c.message.empty()) {
            EXPECT_NO_THROW(CheckFTPParams(w.State, c.params)) << label;
            EXPECT_EQ(w.Trace(),
                      (std::vector<std::string>{"CheckFTPParams ; Start", "CheckFTPParams ; End"}));
            continue;
        }
        try {
            CheckFTPParams(w.State, c.params);
            ADD_FAILURE() << "no error for " << label;
        } catch (const EUpdateError& e) {
            EXPECT_EQ(std::string(e.what()), c.message + "\r\n" + c.detail) << label;
        }
        EXPECT_EQ(w.Trace(),
                  (std::vector<std::string>{"CheckFTPParams ; Start", "_CheckFTPParams ; " + c.message,
                                            "_CheckFTPParams ; " + c.detail}))
            << label;
    }
}

TEST(CheckFTPParams, HostSettingThatBeginsWithAColonIsRefused) {
    Workstation w(CostEdition());
    WriteMachineString(kUpdate, "FTP_Host", ":2121", true);
    WriteMachineString(kUpdate, "FTP_UserID", "towagi", true);
    TFTPParams params;
    GetFTPParams(w.State, params);
    try {
        CheckFTPParams(w.State, params);
        ADD_FAILURE() << "no error";
    } catch (const EUpdateError& e) {
        EXPECT_EQ(std::string(e.what()), "接続に必要なパラメータ(Host)の設定が不正です。\r\nHost=");
    }
}

TEST(ReadEditionSettings, EachEditionReadsItsOwnValueNamesFromTheMachineHive) {
    for (const EditionProfile* profile : kEditions) {
        Workstation w(*profile);
        WriteMachineInteger(kUpdate, "Update_Excel", 1, true);
        WriteMachineInteger(kUpdate, "Update_Quil_Excel", 2, true);
        WriteMachineString("\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\EXCEL", "PATH1", "x|/srv/excel1", true);
        WriteMachineString("\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\EXCEL", "PATHJ", "x|/srv/excelj", true);
        WriteMachineString("\\Software\\VORN\\TOWAGI\\PATH\\UPDATE", profile->UpdatePathValue, "x|/srv/old",
                           true);
        const bool cost = profile == &CostEdition();
        EXPECT_EQ(ReadUpdateInteger(*profile, profile->UpdateExcelValue), cost ? 2 : 1);
        EXPECT_EQ(ReadEditionString(*profile, kExcelKey, profile->UpdatePathValue),
                  cost ? "x|/srv/excelj" : "x|/srv/excel1");
        // A key with a leading backslash lies outside the product root.
        EXPECT_EQ(
            ReadEditionString(*profile, "\\Software\\VORN\\TOWAGI\\PATH\\UPDATE", profile->UpdatePathValue),
            "x|/srv/old");
        EXPECT_EQ(ReadUpdateString(*profile, "Dialup_Name"), "");
        EXPECT_EQ(ReadUpdateInteger(*profile, "Dialup"), -1);
        EXPECT_EQ(ReadEditionInteger(*profile, kFrameKey, profile->UpdateFrameValue), -1);
    }
}

TEST(ReadEditionSettings, PerUserValuesDoNotCountWithoutTheControlTable) {
    for (const EditionProfile* profile : kEditions) {
        Workstation w(*profile);
        WriteMachineInteger(kProductRoot, kPerUserSwitch, 1, true);
        WriteMachineString(kUpdate, "Dialup_Name", "machine", true);
        WriteUserString(kUpdate, "Dialup_Name", "user");
        WriteUserString(kUpdate, "FTP_HOST", "user.example.jp");
        EXPECT_EQ(ReadUpdateString(*profile, "Dialup_Name"), "machine") << profile->ProgramName;
        EXPECT_EQ(ReadUpdateString(*profile, "FTP_HOST"), "") << profile->ProgramName;
    }
}

// The branch table with the offices in file order; 本社 lists one address under a lower-case key.
std::string BranchTable() {
    return ToCP932(
        "[本社]\r\nIP1=192.168.0.10\r\nip2=192.168.0.11\r\nIPADDR=192.168.0.12\r\nFR1=head.frm\r\n"
        "EX1=head.xls\r\nNAME=head office\r\n"
        "[大阪支店]\r\nIP1=192.168.0.20\r\nIP2=192.168.0.12\r\nFR=osaka.frm\r\nFRAME2=osaka2.frm\r\n",
        "branch table");
}

TEST(BranchTable, SectionsAndEntriesInFileOrderWithExactPrefixes) {
    struct Case {
        std::string section;
        std::string prefix;
        std::vector<std::string> want;
    };
    for (const EditionProfile* profile : kEditions) {
        Workstation w(*profile);
        WriteFile(profile->BranchTableFileName, BranchTable());
        EXPECT_EQ(ReadBranchSections(*profile), (std::vector<std::string>{"本社", "大阪支店"}));
        for (const auto& c : std::vector<Case>{
                 {"本社", "IP", {"192.168.0.10", "192.168.0.12"}},
                 {"本社", "ip", {"192.168.0.11"}},
                 {"本社", "FR", {"head.frm"}},
                 {"本社", "EX", {"head.xls"}},
                 {"大阪支店", "FR", {"osaka.frm", "osaka2.frm"}},
                 {"大阪支店", "EX", {}},
                 {"名古屋支店", "IP", {}},
             })
            EXPECT_EQ(ReadBranchEntries(*profile, c.section, c.prefix), c.want)
                << c.section << " " << c.prefix;
    }
}

TEST(BranchTable, FindBranchTakesTheFirstOfficeListingTheAddress) {
    struct Case {
        std::string address;
        std::string want;
    };
    for (const EditionProfile* profile : kEditions) {
        Workstation w(*profile);
        WriteFile(profile->BranchTableFileName, BranchTable());
        for (const auto& c : std::vector<Case>{
                 {"192.168.0.10", "本社"},
                 {"192.168.0.12", "本社"}, // listed under both offices
                 {"192.168.0.20", "大阪支店"},
                 {"192.168.0.11", ""}, // only under a key "ip2"
                 {"192.168.0.1", ""},
                 {"", ""},
             })
            EXPECT_EQ(FindBranch(*profile, c.address), c.want) << c.address;
    }
}

TEST(BranchTable, EachEditionReadsItsOwnFileAndAMissingFileHasNoOffices) {
    Workstation w(EstimationEdition());
    WriteFile(CostEdition().BranchTableFileName, BranchTable());
    EXPECT_TRUE(ReadBranchSections(EstimationEdition()).empty());
    EXPECT_TRUE(ReadBranchEntries(EstimationEdition(), "本社", "IP").empty());
    EXPECT_EQ(FindBranch(EstimationEdition(), "192.168.0.10"), "");
    EXPECT_EQ(FindBranch(CostEdition(), "192.168.0.10"), "本社");
}

TEST(LocalAddresses, HostNameResolvesToItsFirstIPv4Address) {
    // getent resolves the host name through the same system resolver, in another process.
    std::istringstream resolved(CommandOutput("getent ahostsv4 \"$(hostname)\""));
    std::string want;
    resolved >> want;
    const std::string got = GetLocalIPAddress();
    EXPECT_EQ(got, want);
    if (!got.empty()) {
        EXPECT_TRUE(IsIPv4(got)) << got;
    }
}

TEST(LocalAddresses, EveryInterfaceAddressInTheSystemsOrder) {
    // "ip" lists the interfaces' addresses through the kernel, as getifaddrs does.
    std::istringstream listing(CommandOutput("ip -4 -o addr show"));
    std::vector<std::string> want;
    for (std::string line; std::getline(listing, line);) {
        std::istringstream fields(line);
        std::string index, name, family, address;
        fields >> index >> name >> family >> address;
        want.push_back(address.substr(0, address.find('/')));
    }
    ASSERT_FALSE(want.empty()) << "no output from ip";
    EXPECT_EQ(GetLocalAddresses(), want);
}

} // namespace
} // namespace towagi
