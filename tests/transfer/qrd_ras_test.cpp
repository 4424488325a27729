#include "transfer/qrd_ras.h"

#include "support/errors.h"
#include "support/trace_log.h"
#include "tests/common/fake_network_manager.h"
#include "tests/common/test_env.h"
#include "tests/common/trace_lines.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace towagi {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using testing::FakeLink;
using testing::FakeNetworkManager;
using testing::FakeProfile;
using testing::NoNetworkManager;
using testing::ScopedEnv;
using testing::TempDir;

struct Notification {
    unsigned Message;
    int State;
    int Error;
    std::thread::id Thread;
};

// What the notifier heard, from whichever thread it was called.
class Notifications {
public:
    TRasDialNotifier Notifier() {
        return [this](unsigned message, int state, int error) {
            std::lock_guard lock(mutex_);
            seen_.push_back({message, state, error, std::this_thread::get_id()});
            changed_.notify_all();
        };
    }
    // Waits until the dial has ended: connected, or an error code.
    bool WaitForEnd(std::chrono::seconds limit = 20s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return !seen_.empty() && (seen_.back().State == RASCS_Connected || seen_.back().Error != 0);
        });
    }
    bool WaitForState(int state, std::chrono::seconds limit = 20s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return std::any_of(seen_.begin(), seen_.end(), [&](const auto& n) { return n.State == state; });
        });
    }
    std::vector<Notification> Seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Notification> seen_;
};

template <typename F> steady_clock::duration Timed(F&& f) {
    const auto start = steady_clock::now();
    f();
    return steady_clock::now() - start;
}

TEST(QrdRas, AnEntryAlreadyConnectedIsReportedAtOnce) {
    FakeNetworkManager manager({{.Name = "Office"}}, {{.Name = "Office"}});
    TQRDRAS ras;
    EXPECT_EQ(ras.EntryNames, std::vector<std::string>{"Office"});
    Notifications heard;
    std::string connection;
    EXPECT_EQ(ras.Dial("Office", 0, connection, heard.Notifier()), 0);
    const auto seen = heard.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Message, 0u);
    EXPECT_EQ(seen[0].State, RASCS_Connected);
    EXPECT_EQ(seen[0].Error, 0);
    EXPECT_EQ(seen[0].Thread, std::this_thread::get_id());
    EXPECT_EQ(connection, "/org/freedesktop/NetworkManager/ActiveConnection/1");
    EXPECT_FALSE(manager.Called("connection up id Office"));
}

TEST(QrdRas, ConnectedAfterSeveralStates) {
    FakeNetworkManager manager({{.Name = "本社VPN", .States = {40, 50, 70}, .StepSeconds = 1.2}});
    TQRDRAS ras;
    Notifications heard;
    std::string connection = "stale";
    ASSERT_EQ(ras.Dial("本社VPN", 0, connection, heard.Notifier()), 0);
    EXPECT_EQ(connection, "");
    ASSERT_TRUE(heard.WaitForEnd());
    const auto seen = heard.Seen();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.front().State, RASCS_OpenPort);
    EXPECT_EQ(seen.back().State, RASCS_Connected);
    // The device's states arrive in their order, each once, all without an error, on the dial's own thread.
    const std::vector<int> order{RASCS_OpenPort, RASCS_PortOpened, RASCS_ConnectDevice, RASCS_AuthProject,
                                 RASCS_Connected};
    auto next = order.begin();
    for (const auto& n : seen) {
        next = std::find(next, order.end(), n.State);
        ASSERT_NE(next, order.end()) << "state " << n.State << " out of order";
        ++next;
        EXPECT_EQ(n.Error, 0);
        EXPECT_EQ(n.Message, 0u);
        EXPECT_NE(n.Thread, std::this_thread::get_id());
    }
    EXPECT_TRUE(ras.IsConnected("本社VPN"));
    EXPECT_TRUE(ras.FindConnection("本社VPN").has_value());
    EXPECT_TRUE(manager.Called("connection up id 本社VPN"));
}

TEST(QrdRas, AFailedDialReportsTheConnectionManagersErrorAndText) {
    struct Case {
        std::string message;
        int exit;
        std::string want; // StateText of the error
    };
    const std::string longMessage = "エラー: " + std::string(120, 'x');
    for (const auto& c : std::vector<Case>{
             {"エラー: 接続の有効化に失敗しました: 回線がビジーです", 4,
              "エラー: 接続の有効化に失敗しました: 回線がビジーです"},
             {"Error: Connection activation failed: The line is busy", 4,
              "Error: Connection activation failed: The line is busy"},
             {"Error: Timeout expired (90 seconds)", 3, "Error: Timeout expired (90 seconds)"},
             // The system's error texts are at most 100 characters.
             {longMessage, 4, "エラー: " + std::string(95, 'x')},
         }) {
        FakeNetworkManager manager({{.Name = "Office",
                                     .States = {40, 50},
                                     .Outcome = "failed",
                                     .Exit = c.exit,
                                     .Message = c.message}});
        TQRDRAS ras;
        Notifications heard;
        std::string connection;
        ASSERT_EQ(ras.Dial("Office", 0, connection, heard.Notifier()), 0) << c.message;
        ASSERT_TRUE(heard.WaitForEnd()) << c.message;
        const Notification last = heard.Seen().back();
        EXPECT_EQ(last.Error, c.exit) << c.message;
        EXPECT_EQ(TQRDRAS::StateText(last.State, last.Error), c.want);
        EXPECT_FALSE(ras.IsConnected("Office"));
        EXPECT_FALSE(ras.FindConnection("Office").has_value());
    }
}

TEST(QrdRas, AnEntryOutsideThePhoneBookIsNotDialled) {
    FakeNetworkManager manager({{.Name = "Office"}});
    TQRDRAS ras;
    Notifications heard;
    std::string connection;
    EXPECT_EQ(ras.Dial("office", 0, connection, heard.Notifier()), 10);
    EXPECT_EQ(ras.Dial("Nowhere", 0, connection, heard.Notifier()), 10);
    EXPECT_TRUE(heard.Seen().empty());
    for (const auto& call : manager.Calls())
        EXPECT_EQ(call.find("connection up"), std::string::npos) << call;
}

TEST(QrdRas, ConnectionManagerNotRunning) {
    FakeNetworkManager manager({{.Name = "Office"}});
    ScopedEnv stopped("FAKE_NMCLI_DIR", std::nullopt);
    TQRDRAS ras;
    EXPECT_TRUE(ras.EntryNames.empty());
    Notifications heard;
    std::string connection;
    EXPECT_EQ(ras.Dial("Office", 0, connection, heard.Notifier()), 8);
    EXPECT_EQ(TQRDRAS::StateText(0, 8), "Error: NetworkManager is not running.");
    EXPECT_TRUE(heard.Seen().empty());
}

TEST(QrdRas, EntryNamesCompareExactly) {
    const std::string escaped = "本社:VPN\\2";
    FakeNetworkManager manager({{.Name = "Office"}, {.Name = escaped, .Device = "tun0"}, {.Name = "Branch"}},
                               {{.Name = "Office"},
                                {.Name = escaped, .Device = "tun0"},
                                {.Name = "Branch", .State = "activating", .Device = "ttyUSB0"}});
    TQRDRAS ras;
    EXPECT_EQ(ras.EntryNames, (std::vector<std::string>{"Office", escaped, "Branch"}));
    struct Case {
        std::string entry;
        bool connected;
        std::optional<std::string> handle;
    };
    for (const auto& c : std::vector<Case>{
             {"Office", true, "/org/freedesktop/NetworkManager/ActiveConnection/1"},
             {"office", false, std::nullopt},
             {"OFFICE", false, std::nullopt},
             {"Office ", false, std::nullopt},
             {escaped, true, "/org/freedesktop/NetworkManager/ActiveConnection/2"},
             // A link still being dialled is not up, but there is a link to hang up.
             {"Branch", false, "/org/freedesktop/NetworkManager/ActiveConnection/3"},
         }) {
        EXPECT_EQ(ras.IsConnected(c.entry), c.connected) << c.entry;
        EXPECT_EQ(ras.FindConnection(c.entry), c.handle) << c.entry;
    }
}

TEST(QrdRas, StateTexts) {
    struct Case {
        int state, error;
        std::string want;
    };
    for (const auto& c : std::vector<Case>{
             {0, 0, "Opening port"},
             {8192, 0, "Connected"},
             {8193, 0, "Disconnected"},
             {22, 0, ""},
             {4099, 0, "Password expired"},
             {9, 0, "Authentication: change password"},
             {-1, 0, ""},
             // An error code's text whatever the state; the connection manager's own meaning where it
             // gave no message, none for a code it does not use.
             {8192, 2, "接続マネージャーへの指示にエラーがあります。"},
             {3, 678, ""},
         })
        EXPECT_EQ(TQRDRAS::StateText(c.state, c.error), c.want) << c.state << ", " << c.error;
}

TEST(QrdRas, HangUp) {
    const std::string kRefused = "Error: Connection deactivation failed: Not authorized to deactivate connections.";
    struct Case {
        std::string name;
        bool linked;
        std::string down;
        double downSeconds;
        std::chrono::milliseconds atLeast, below;
        std::string wantState; // the link afterwards
        std::vector<std::string> wantTrace;
    };
    for (const auto& c : std::vector<Case>{
             {"goes at once", true, "goes", 0, 0ms, 8000ms, "", {}},
             {"goes after a second", true, "goes", 1.0, 900ms, 8000ms, "", {}},
             {"no link", false, "goes", 0, 0ms, 5000ms, "", {}},
             {"refused", true, "refused", 0, 0ms, 8000ms, "activated",
              {"HangUp ; [Office]の切断は受け付けられませんでした : " + kRefused}},
             // A link that never reports itself gone: the wait gives up after its limit.
             {"never goes", true, "stays", 0, 3000ms, 10000ms, "activated",
              {"HangUp ; [Office]の切断を3秒待ちましたが、接続が残っています"}},
             {"the hang-up command never returns", true, "hangs", 0, 3000ms, 10000ms, "activated",
              {"HangUp ; [Office]の切断を3秒待ちましたが、接続が残っています"}},
         }) {
        std::vector<FakeLink> links;
        if (c.linked) links.push_back({.Name = "Office"});
        FakeNetworkManager manager({{.Name = "Office", .Down = c.down, .DownSeconds = c.downSeconds}}, links);
        TempDir logDir;
        {
            TTraceLog log(logDir.File("trace.log"));
            TQRDRAS ras(&log);
            ras.HangUpLimit = 3s;
            int result = -1;
            const auto took = Timed([&] { result = ras.HangUp("Office"); });
            EXPECT_EQ(result, 0) << c.name;
            EXPECT_GE(took, c.atLeast) << c.name;
            EXPECT_LT(took, c.below) << c.name;
            EXPECT_EQ(manager.Called("connection down id Office"), c.linked) << c.name;
            EXPECT_EQ(manager.LinkState("Office"), c.wantState) << c.name;
        }
        auto lines = testing::ReadTraceLines(logDir.File("trace.log"));
        if (!lines.empty() && lines.back().empty()) lines.pop_back();
        EXPECT_EQ(lines, c.wantTrace) << c.name;
    }
}

TEST(QrdRas, DestroyingTheObjectEndsADialInProgress) {
    FakeNetworkManager manager({{.Name = "Office", .States = {40}, .Outcome = "hang"}});
    Notifications heard;
    const auto took = Timed([&] {
        TQRDRAS ras;
        std::string connection;
        ASSERT_EQ(ras.Dial("Office", 0, connection, heard.Notifier()), 0);
        // The link shows its first device state: the activation is under way.
        ASSERT_TRUE(heard.WaitForState(RASCS_PortOpened));
    });
    EXPECT_LT(took, 10s);
    EXPECT_TRUE(manager.Called("terminated: up Office"));
    const auto seen = heard.Seen();
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](const auto& n) { return n.Error != 0; }), 0);
}

TEST(QrdRas, WithoutAConnectionManagerTheSystemIsRefused) {
    FakeNetworkManager manager({{.Name = "Office"}}, {{.Name = "Office"}});
    TQRDRAS ras;
    NoNetworkManager none;
    try {
        TQRDRAS refused;
        ADD_FAILURE() << "created without a connection manager";
    } catch (const EUpdateError& e) {
        EXPECT_STREQ(e.what(), "ERROR_UNKNOWNTYPE_OS");
    }
    std::string connection;
    Notifications heard;
    const std::vector<std::pair<std::string, std::function<void()>>> calls{
        {"IsConnected", [&] { ras.IsConnected("Office"); }},
        {"FindConnection", [&] { ras.FindConnection("Office"); }},
        {"Dial", [&] { ras.Dial("Office", 0, connection, heard.Notifier()); }},
        {"HangUp", [&] { ras.HangUp("Office"); }},
    };
    for (const auto& [name, call] : calls) {
        try {
            call();
            ADD_FAILURE() << name << " worked without a connection manager";
        } catch (const EUpdateError& e) {
            EXPECT_STREQ(e.what(), "未知のOSです") << name;
        }
    }
    EXPECT_TRUE(heard.Seen().empty());
    EXPECT_FALSE(manager.Called("connection down id Office"));
}

} // namespace
} // namespace towagi
