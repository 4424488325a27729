#include "transfer/ftp_connection.h"

#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "support/settings.h"
#include "tests/common/recording_views.h"
#include "tests/common/test_env.h"
#include "tests/common/trace_lines.h"
#include "tests/servers/ftp_servers.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace towagi {
namespace {

using testing::FaultFtpServer;
using testing::FaultOptions;
using testing::ReadTraceLines;
using testing::RecordingClock;
using testing::RecordingProgressView;
using testing::RecordingUpdaterView;
using testing::ScopedHives;
using testing::TempDir;
using testing::UnusedPort;

constexpr const char* kConnectFailed = "本社サーバとの接続に失敗しました。";

// The update's state as the updater window hands it down: private hives, a trace log, recording windows
// and a clock that records the pauses instead of sleeping.
class Updater {
public:
    explicit Updater(const EditionProfile& edition = EstimationEdition()) : profile_(edition) {
        State.Profile = &profile_;
        State.TraceLog = std::make_unique<TTraceLog>(folder_.File("trace.log"));
        State.ProgressWindow = &Progress;
        State.MainWindow = &Main;
        State.Clock = &Clock;
        Client = CreateFTPClient(State);
    }
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;
    std::vector<std::string> Trace() const { return ReadTraceLines(folder_.File("trace.log")); }

    // The settings source the update settings would be: fixed parameters, a check that may refuse them.
    TFTPParamsSource Source(const TFTPParams& stored, bool refuse = false) {
        return {[stored](TFTPParams& params) { params = stored; },
                [refuse](const TFTPParams&) {
                    if (refuse) throw EUpdateError("接続に必要なパラメータ(Host)の設定が不正です。\r\nHost=");
                }};
    }

private:
    ScopedHives hives_;
    TempDir folder_;
    EditionProfile profile_;

public:
    TUpdateState State;
    RecordingProgressView Progress;
    RecordingUpdaterView Main;
    RecordingClock Clock;
    std::unique_ptr<TQrdFTP> Client;
};

TFTPParams FaultServerParams(const FaultFtpServer& server) {
    return {FaultFtpServer::Host, server.Port(), FaultFtpServer::User, FaultFtpServer::Password};
}

TEST(ApplyConnectionSettings, OnlyConnectModeOneIsPassive) {
    struct Case {
        std::optional<int> connectMode;
        bool passive;
        std::string label;
    };
    for (const auto& c : std::vector<Case>{{std::nullopt, false, "Active"},
                                           {0, false, "Active"},
                                           {1, true, "Passive"},
                                           {2, false, "Active"}}) {
        Updater updater;
        ApplyConnectionSettings(updater.State,
                                {"ftp.example.jp", 2121, "user", "pass", c.connectMode.value_or(-1)},
                                *updater.Client);
        EXPECT_EQ(updater.Client->Passive(), c.passive) << c.connectMode.value_or(-1);
        EXPECT_EQ(updater.Progress.Mode, c.label);
        EXPECT_EQ(updater.Client->Host(), "ftp.example.jp");
        EXPECT_EQ(updater.Client->Port(), 2121);
        EXPECT_EQ(updater.Client->Username(), "user");
        EXPECT_EQ(updater.Client->Password(), "pass");
    }
}

TEST(ConnectToServer, ShowsTheServerAndConnectsInEitherEdition) {
    struct Case {
        const EditionProfile* edition;
        std::string caption;
        int readTimeout, connectTimeout;
    };
    TempDir root;
    FaultFtpServer server(root.Path().string());
    for (const auto& c :
         std::vector<Case>{{&EstimationEdition(), "積算『とわぎ』の起動 (127.0.0.1)", 60000, 60000},
                           {&CostEdition(), "原価『とわぎ』の起動 (127.0.0.1)", 0, 0}}) {
        Updater updater(*c.edition);
        TFTPParams params;
        ConnectToServer(updater.State, *updater.Client, params, updater.Source(FaultServerParams(server)));
        EXPECT_TRUE(updater.Client->Connected());
        EXPECT_EQ(params.Port, server.Port());
        EXPECT_EQ(updater.Main.Text, c.caption);
        EXPECT_EQ(updater.Progress.Title, "サーバに接続しています．．．");
        EXPECT_EQ(updater.Progress.Status, "");
        EXPECT_EQ(updater.Progress.FileName, "");
        EXPECT_EQ(updater.Progress.Maximum, 9);
        EXPECT_EQ(updater.Progress.Position, 0);
        EXPECT_GE(updater.Progress.Repaints, 1);
        EXPECT_EQ(updater.Client->ReadTimeout(), c.readTimeout);
        EXPECT_EQ(updater.Client->ConnectTimeout(), c.connectTimeout);
        EXPECT_EQ(updater.Trace(),
                  (std::vector<std::string>{"FTP_IdConnectServer ; Start",
                                            "FTP_IdConnectServer ; FTPサーバに接続しました"}));
    }
}

TEST(ConnectToServer, EveryFailureBecomesTheOneConnectError) {
    struct Case {
        std::string what;
        bool refuseSettings;
        bool refusedPort;
    };
    TempDir root;
    FaultFtpServer server(root.Path().string());
    for (const auto& c : std::vector<Case>{{"bad setting", true, false}, {"refused connect", false, true}}) {
        Updater updater;
        TFTPParams stored = FaultServerParams(server);
        if (c.refusedPort) stored.Port = UnusedPort();
        TFTPParams params;
        try {
            ConnectToServer(updater.State, *updater.Client, params, updater.Source(stored, c.refuseSettings));
            FAIL() << c.what << ": connected";
        } catch (const EUpdateError& e) {
            EXPECT_STREQ(e.what(), kConnectFailed) << c.what;
        }
        EXPECT_FALSE(updater.Client->Connected());
        ASSERT_FALSE(updater.Trace().empty());
        EXPECT_EQ(updater.Trace().back(), std::string("Execute ; ") + kConnectFailed) << c.what;
        EXPECT_TRUE(updater.Clock.Pauses.empty()) << c.what;
    }
}

TEST(FTP_IdConnectServer, CancelBeforeTheFirstAttemptReturnsUnconnected) {
    TempDir root;
    FaultFtpServer server(root.Path().string());
    Updater updater;
    ApplyConnectionSettings(updater.State, FaultServerParams(server), *updater.Client);
    updater.Progress.CancelPressed = true;
    FTP_IdConnectServer(updater.State, *updater.Client);
    EXPECT_FALSE(updater.Client->Connected());
    EXPECT_EQ(updater.Trace(), std::vector<std::string>{"FTP_IdConnectServer ; Start"});
    EXPECT_TRUE(updater.Clock.Pauses.empty());
}

TEST(FTP_IdConnectServer, AFailingConnectEndsTheAttemptsAtOnce) {
    TempDir root;
    FaultFtpServer server(root.Path().string());
    struct Case {
        std::string what;
        int port;
        std::string password;
    };
    for (const auto& c : std::vector<Case>{{"refused", UnusedPort(), FaultFtpServer::Password},
                                           {"log-in rejected", server.Port(), "wrong"}}) {
        Updater updater;
        ApplyConnectionSettings(
            updater.State, {FaultFtpServer::Host, c.port, FaultFtpServer::User, c.password}, *updater.Client);
        EXPECT_THROW(FTP_IdConnectServer(updater.State, *updater.Client), EUpdateError) << c.what;
        EXPECT_FALSE(updater.Client->Connected());
        EXPECT_EQ(updater.Trace(), std::vector<std::string>{"FTP_IdConnectServer ; Start"}) << c.what;
        EXPECT_TRUE(updater.Clock.Pauses.empty()) << c.what;
    }
}

TEST(FTP_IdConnectServer, ServerThatHangsUpBeforeItsGreetingIsTriedTenTimes) {
    const std::string op = "FTP_IdConnectServer ; ";
    struct Case {
        int dropped;
        bool cut; // closed after the first line of a multi-line greeting
        bool connects;
        std::vector<std::string> trace, shown;
        std::vector<int> positions;
        size_t pauses;
    };
    for (const auto& c : std::vector<Case>{
             {2,
              false,
              true,
              {op + "Start", op + "Retry(0)", op + "Retry(1)", op + "FTPサーバに接続しました"},
              {"Retry(1/9)", "Retry(2/9)"},
              {1, 2},
              2},
             {2,
              true,
              true,
              {op + "Start", op + "Retry(0)", op + "Retry(1)", op + "FTPサーバに接続しました"},
              {"Retry(1/9)", "Retry(2/9)"},
              {1, 2},
              2},
             {10,
              false,
              false,
              {op + "Start", op + "Retry(0)", op + "Retry(1)", op + "Retry(2)", op + "Retry(3)",
               op + "Retry(4)", op + "Retry(5)", op + "Retry(6)", op + "Retry(7)", op + "Retry(8)"},
              {"Retry(1/9)", "Retry(2/9)", "Retry(3/9)", "Retry(4/9)", "Retry(5/9)", "Retry(6/9)",
               "Retry(7/9)", "Retry(8/9)", "Retry(9/9)"},
              {1, 2, 3, 4, 5, 6, 7, 8, 9},
              9},
         }) {
        TempDir root;
        FaultOptions options;
        options.DropConnects = c.dropped;
        options.CutReplies = c.cut;
        FaultFtpServer server(root.Path().string(), options);
        Updater updater;
        ApplyConnectionSettings(updater.State, FaultServerParams(server), *updater.Client);
        if (c.connects) {
            FTP_IdConnectServer(updater.State, *updater.Client);
            EXPECT_TRUE(updater.Client->Connected());
        } else {
            try {
                FTP_IdConnectServer(updater.State, *updater.Client);
                FAIL() << "connected";
            } catch (const EUpdateError& e) {
                EXPECT_STREQ(e.what(), kConnectFailed);
            }
        }
        EXPECT_EQ(updater.Trace(), c.trace) << c.dropped << c.cut;
        EXPECT_EQ(updater.Progress.FileNames, c.shown) << c.dropped << c.cut;
        EXPECT_EQ(updater.Progress.Positions, c.positions) << c.dropped << c.cut;
        EXPECT_EQ(updater.Clock.Pauses, std::vector<int>(c.pauses, 2000)) << c.dropped << c.cut;
    }
}

} // namespace
} // namespace towagi
