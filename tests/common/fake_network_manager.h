#pragma once
#include "tests/common/test_env.h"

#include <string>
#include <vector>

namespace towagi::testing {

// A connection profile of the fake connection manager and how dialling it goes.
struct FakeProfile {
    std::string Name;
    std::string Device = "ppp0";
    std::vector<int> States{};         // device states the dial passes through (40 prepare ... 90)
    double StepSeconds = 0.1;          // time in each of them
    std::string Outcome = "activated"; // "activated", "failed" or "hang" (never ends by itself)
    int Exit = 4;                      // nmcli's exit status of a failed dial
    std::string Message{};             // the error line of a failed dial
    std::string Down = "goes";         // hang-up: "goes", "stays" (never reported gone), "hangs"
                                      // (the command never returns) or "refused"
    double DownSeconds = 0;            // how long a hung-up link stays "deactivating"
};

// A link that is up (or in another state) before the test starts.
struct FakeLink {
    std::string Name;
    std::string State = "activated";
    std::string Device = "ppp0";
};

// NetworkManager as the fake nmcli (tests/servers/nmcli) plays it: first on PATH for the test's life, its
// state in a private folder.
class FakeNetworkManager {
public:
    explicit FakeNetworkManager(const std::vector<FakeProfile>& profiles,
                                const std::vector<FakeLink>& links = {});
    // The folder to put first on PATH, and the state folder for FAKE_NMCLI_DIR.
    static std::string ProgramFolder();
    const std::string& StateFolder() const { return folder_; }
    // Every nmcli call so far, its arguments joined by blanks.
    std::vector<std::string> Calls() const;
    bool Called(const std::string& call) const;
    // The state of the named link now ("activating", "activated", "deactivating"); empty when it is gone.
    std::string LinkState(const std::string& name) const;

private:
    TempDir dir_;
    std::string folder_;
    ScopedEnv path_;
    ScopedEnv state_;
};

// A PATH without nmcli: the connection manager is not installed.
class NoNetworkManager {
public:
    NoNetworkManager();

private:
    TempDir empty_;
    ScopedEnv path_;
};

} // namespace towagi::testing
