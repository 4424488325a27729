#include "transfer/qrd_ras.h"

#include "platform/dialup_manager.h"
#include "support/errors.h"
#include "support/trace_log.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace towagi {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How often a dial in progress looks at the link's state, and a hang-up at whether the link is gone.
constexpr milliseconds kDialPoll{250};
constexpr milliseconds kHangUpPoll{500};
constexpr size_t kErrorTextLength = 100; // characters

void RefuseUnknownSystem() {
    if (FindNmcli().empty()) throw EUpdateError("未知のOSです");
}

struct StateName {
    int State;
    const char* Text;
};
constexpr StateName kStateTexts[] = {
    {0, "Opening port"},
    {1, "Port opened"},
    {2, "Connecting device"},
    {3, "Device connected"},
    {4, "All devices connected"},
    {5, "Start authenticating"},
    {6, "Authentication: notify"},
    {7, "Authentication: retry"},
    {8, "Authentication: callback"},
    {9, "Authentication: change password"},
    {10, "Authentication: projecting"},
    {11, "Authentication: link speed"},
    {12, "Authentication: acknowledge"},
    {13, "Authentication: reauthenticate"},
    {14, "Authenticated"},
    {15, "Preparing for callback"},
    {16, "Waiting for modem reset"},
    {17, "Waiting for callback"},
    {18, "Projected"},
    {19, "Start authentication"},
    {20, "Callback complete"},
    {21, "Logging on network"},
    {4096, "Interactive"},
    {4097, "Retry Authentication"},
    {4098, "Callback set by caller"},
    {4099, "Password expired"},
    {8192, "Connected"},
    {8193, "Disconnected"},
};

// What the connection manager means by its error codes when it gave no message of its own.
std::string DefaultErrorText(int error) {
    switch (error) {
    case kNmUnknownError:
        return "接続マネージャーでエラーが発生しました。";
    case kNmInvalidInput:
        return "接続マネージャーへの指示にエラーがあります。";
    case kNmTimeout:
        return "接続マネージャーの処理がタイムアウトしました。";
    case kNmActivationFailed:
        return "接続に失敗しました。";
    case kNmDeactivationFailed:
        return "切断に失敗しました。";
    case kNmNotRunning:
        return "接続マネージャー(NetworkManager)が動作していません。";
    case kNmNotFound:
        return "指定の接続先がありません。";
    default:
        return {};
    }
}

// The connection manager's last message for each error code, as the system keeps its error texts: for
// every dial-up object of the process alike.
std::mutex& ErrorTextsMutex() {
    static std::mutex mutex;
    return mutex;
}
std::map<int, std::string>& ErrorTexts() {
    static std::map<int, std::string> texts;
    return texts;
}

void RememberErrorText(const NmReply& reply) {
    if (reply.Status == kNmSuccess || reply.Message.empty()) return;
    std::lock_guard lock(ErrorTextsMutex());
    ErrorTexts()[reply.Status] = reply.Message;
}

// At most `count` characters of UTF-8 text.
std::string FirstCharacters(const std::string& text, size_t count) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && characters++ == count)
            return text.substr(0, i);
    }
    return text;
}

// The dial state a device's state in NetworkManager stands for; -1 for states that say nothing new.
int DialStateOfDevice(int deviceState) {
    switch (deviceState) {
    case 40:
        return RASCS_PortOpened; // prepare
    case 50:
        return RASCS_ConnectDevice; // config: the modem dials, the tunnel is set up
    case 60:
        return RASCS_Authenticate; // need-auth
    case 70:
        return RASCS_AuthProject; // ip-config: the network protocols are negotiated
    case 80:
        return RASCS_Projected; // ip-check
    case 90:
        return RASCS_LogonNetwork; // secondaries
    default:
        return -1;
    }
}

const NmActiveConnection* FindLink(const std::vector<NmActiveConnection>& links, const std::string& entry) {
    auto it = std::find_if(links.begin(), links.end(), [&](const auto& link) { return link.Name == entry; });
    return it == links.end() ? nullptr : &*it;
}

// The dial state the entry's link shows now; -1 when it shows none.
int ObservedDialState(const std::string& entry) {
    std::vector<NmActiveConnection> links;
    if (ListActiveConnections(links).Status != kNmSuccess) return -1;
    const NmActiveConnection* link = FindLink(links, entry);
    if (!link) return -1;
    if (link->State == "activated") return RASCS_Connected;
    // A VPN's device is the link it runs over, which is up before the VPN is: only an activating
    // connection's device tells the dial's progress, and never "Connected".
    if (link->State != "activating" || link->Device.empty()) return -1;
    return DialStateOfDevice(DeviceState(link->Device));
}

} // namespace

// Watches one dial on a thread of its own: starts the connection manager's activation, reports its
// progress to the notifier and its end (connected, or the error code).
class TQRDRAS::DialWatch {
public:
    DialWatch(std::string entry, TRasDialNotifier notifier)
        : entry_(std::move(entry)), notifier_(std::move(notifier)), thread_([this] { Run(); }) {}
    ~DialWatch() {
        stop_ = true;
        thread_.join();
    }
    DialWatch(const DialWatch&) = delete;
    DialWatch& operator=(const DialWatch&) = delete;

private:
    void Report(int state, int error) {
        if (error == 0 && state == last_) return;
        last_ = state;
        notifier_(0, state, error);
    }

    void Run() {
        try {
            NmActivation up(entry_);
            Report(RASCS_OpenPort, 0);
            while (!up.WaitForEnd(kDialPoll)) {
                if (stop_) return;
                const int state = ObservedDialState(entry_);
                if (state >= 0) Report(state, 0);
            }
            if (stop_) return;
            const NmReply reply = up.Reply();
            if (reply.Status == kNmSuccess) {
                Report(RASCS_Connected, 0);
            } else {
                RememberErrorText(reply);
                Report(last_, reply.Status);
            }
        } catch (...) {
            // Nothing may leave the thread; the waiting side still hears that the dial ended.
            if (!stop_) notifier_(0, std::max(last_, 0), kNmUnknownError);
        }
    }

    std::string entry_;
    TRasDialNotifier notifier_;
    std::atomic<bool> stop_{false};
    int last_ = -1;      // the state last reported; none yet
    std::thread thread_; // last: it starts once everything above is in place
};

TQRDRAS::TQRDRAS(TTraceLog* trace) : trace_(trace) {
    if (FindNmcli().empty()) throw EUpdateError("ERROR_UNKNOWNTYPE_OS");
    // An unreadable phone book leaves the list empty; nothing depends on it.
    ListProfileNames(EntryNames);
}

TQRDRAS::~TQRDRAS() = default;

int TQRDRAS::Dial(const std::string& entry, int notifierType, std::string& connection,
                  TRasDialNotifier notifier) {
    if (IsConnected(entry)) {
        connection = FindConnection(entry).value_or("");
        notifier(0, RASCS_Connected, 0);
        return 0;
    }
    if (notifierType != 0) return kNmInvalidInput;
    // An entry that is not in the phone book is not dialled.
    std::vector<std::string> names;
    const NmReply reply = ListProfileNames(names);
    if (reply.Status != kNmSuccess) {
        RememberErrorText(reply);
        return reply.Status;
    }
    if (std::find(names.begin(), names.end(), entry) == names.end()) return kNmNotFound;
    // The link's handle exists only once the connection manager has taken the dial on.
    connection.clear();
    watch_.reset();
    watch_ = std::make_unique<DialWatch>(entry, std::move(notifier));
    return 0;
}

int TQRDRAS::HangUp(const std::string& entry) {
    if (!FindConnection(entry)) return 0;
    auto trace = [&](const std::string& text) {
        if (!trace_) return;
        try {
            trace_->Write("HangUp", text);
        } catch (const std::exception&) {
            // The hang-up goes on without its trace line.
        }
    };
    const auto deadline = steady_clock::now() + HangUpLimit;
    // A link that never reports itself gone must not keep the launcher from closing.
    auto giveUp = [&] {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(HangUpLimit).count();
        trace("[" + entry + "]の切断を" + std::to_string(seconds) + "秒待ちましたが、接続が残っています");
        return 0;
    };
    const NmReply reply = DeactivateConnection(entry, HangUpLimit);
    // nmcli waits for the link to go down itself; running out of time there is the same wait given up.
    if (reply.Status == kNmTimeout) return giveUp();
    if (reply.Status != kNmSuccess) {
        RememberErrorText(reply);
        trace("[" + entry + "]の切断は受け付けられませんでした : " + reply.Message);
        return 0;
    }
    while (FindConnection(entry)) {
        const auto now = steady_clock::now();
        if (now >= deadline) return giveUp();
        std::this_thread::sleep_for(std::min<steady_clock::duration>(kHangUpPoll, deadline - now));
    }
    return 0;
}

std::string TQRDRAS::StateText(int state, int error) {
    if (error != 0) {
        std::string text = DefaultErrorText(error);
        {
            std::lock_guard lock(ErrorTextsMutex());
            auto it = ErrorTexts().find(error);
            if (it != ErrorTexts().end()) text = it->second;
        }
        return FirstCharacters(text, kErrorTextLength);
    }
    for (const auto& name : kStateTexts)
        if (name.State == state) return name.Text;
    return {};
}

bool TQRDRAS::IsConnected(const std::string& entry) const {
    RefuseUnknownSystem();
    std::vector<NmActiveConnection> links;
    if (ListActiveConnections(links).Status != kNmSuccess) return false;
    const NmActiveConnection* link = FindLink(links, entry);
    return link && link->State == "activated";
}

std::optional<std::string> TQRDRAS::FindConnection(const std::string& entry) const {
    RefuseUnknownSystem();
    std::vector<NmActiveConnection> links;
    if (ListActiveConnections(links).Status != kNmSuccess) return std::nullopt;
    const NmActiveConnection* link = FindLink(links, entry);
    if (!link) return std::nullopt;
    return link->Path;
}

} // namespace towagi
