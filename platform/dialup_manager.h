#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <vector>

class QProcess;

namespace towagi {

// The workstation's connection manager, NetworkManager, reached through its command-line client nmcli.
// A phone-book entry is a connection profile; a dialled link is an active connection.

// nmcli's exit statuses that the launcher meets.
enum NmStatus {
    kNmSuccess = 0,
    kNmUnknownError = 1,
    kNmInvalidInput = 2,
    kNmTimeout = 3,
    kNmActivationFailed = 4,
    kNmDeactivationFailed = 5,
    kNmNotRunning = 8,
    kNmNotFound = 10,
};

// What one nmcli command answered.
struct NmReply {
    int Status = kNmSuccess;
    std::string Output;  // standard output
    std::string Message; // the first line of its error output ("Error: ..."), in the user's language
};

struct NmActiveConnection {
    std::string Name;
    std::string Device; // empty while none is assigned
    std::string State;  // "activating", "activated" or "deactivating"
    std::string Path;   // the active connection's D-Bus path: the link's handle
};

// nmcli found on PATH, or empty when the connection manager's client is not installed.
std::string FindNmcli();

// The names of all connection profiles.
NmReply ListProfileNames(std::vector<std::string>& names);
// The active connections, in the connection manager's order.
NmReply ListActiveConnections(std::vector<NmActiveConnection>& connections);
// NetworkManager's numeric state of a device (40 prepare ... 100 activated); -1 when it cannot be read.
int DeviceState(const std::string& device);
// `nmcli connection down id NAME`, given at most `limit`.
NmReply DeactivateConnection(const std::string& name, std::chrono::milliseconds limit);

// `nmcli connection up id NAME`, running while its owner watches; a command still running when the
// object goes is ended and reaped. Belongs to the thread that created it.
class NmActivation {
public:
    explicit NmActivation(const std::string& name);
    ~NmActivation();
    NmActivation(const NmActivation&) = delete;
    NmActivation& operator=(const NmActivation&) = delete;

    // Waits up to `limit` for the command to end; true once it has ended (or never started).
    bool WaitForEnd(std::chrono::milliseconds limit);
    // How it ended; only meaningful once WaitForEnd said so.
    NmReply Reply() const { return reply_; }

private:
    std::unique_ptr<QProcess> process_;
    NmReply reply_;
    bool ended_ = false;
};

// One line of nmcli's terse output split into its fields: ':' separates them, '\' escapes ':' and '\'.
std::vector<std::string> SplitTerseLine(const std::string& line);

} // namespace towagi
