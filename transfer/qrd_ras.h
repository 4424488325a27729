#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace towagi {

class TTraceLog;

// Dial states the notifier receives.
enum TRasConnState {
    RASCS_OpenPort = 0,
    RASCS_PortOpened = 1,
    RASCS_ConnectDevice = 2,
    RASCS_DeviceConnected = 3,
    RASCS_AllDevicesConnected = 4,
    RASCS_Authenticate = 5,
    RASCS_AuthProject = 10,
    RASCS_Authenticated = 14,
    RASCS_Projected = 18,
    RASCS_LogonNetwork = 21,
    RASCS_Connected = 8192,
    RASCS_Disconnected = 8193,
};

// Called on every change of a dial's state, on a thread of the dial-up object's own (or, for a link that
// is already up, at once on the caller's thread): message, state, error code (0 while all is well).
using TRasDialNotifier = std::function<void(unsigned message, int state, int error)>;

// The dial-up connection: dials a phone-book entry with its stored settings, tells whether and under which
// handle an entry is connected, hangs it up, and turns states and error codes into texts. Entry names
// compare exactly. Where the connection manager is missing the object refuses the system.
class TQRDRAS {
public:
    // Raises "ERROR_UNKNOWNTYPE_OS" without a connection manager. The trace log, when given, records a
    // hang-up that was refused or given up.
    explicit TQRDRAS(TTraceLog* trace = nullptr);
    // A dial still in progress is no longer watched; its command is ended.
    ~TQRDRAS();
    TQRDRAS(const TQRDRAS&) = delete;
    TQRDRAS& operator=(const TQRDRAS&) = delete;

    // The phone book's entry names, read at creation.
    std::vector<std::string> EntryNames;
    // How long HangUp waits for a link to go away before it gives up.
    std::chrono::milliseconds HangUpLimit{30'000};

    // Starts dialling; 0 when dialling has started (or the entry is already connected, which the notifier
    // hears at once), else the connection manager's error code. Notifier type 0 is the only kind.
    int Dial(const std::string& entry, int notifierType, std::string& connection, TRasDialNotifier notifier);
    // Hangs up the entry's link, if there is one, and waits until it is gone. Always 0.
    int HangUp(const std::string& entry);
    // The text of a dial state, or with an error code the connection manager's text for it.
    static std::string StateText(int state, int error);
    // The entry's link is up.
    bool IsConnected(const std::string& entry) const;
    // The handle of the entry's link in whatever state it is; none when there is no link.
    std::optional<std::string> FindConnection(const std::string& entry) const;

private:
    class DialWatch;
    TTraceLog* trace_;
    std::unique_ptr<DialWatch> watch_;
};

} // namespace towagi
