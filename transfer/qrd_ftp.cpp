#include "transfer/qrd_ftp.h"

#include "support/encoding.h"
#include "support/file_utils.h"
#include "support/text.h"

#include <Poco/Exception.h>
#include <Poco/Net/DialogSocket.h>
#include <Poco/Net/FTPClientSession.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/StreamSocketImpl.h>
#include <Poco/Timespan.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace towagi {
namespace {

constexpr int kTimeStampTries = 10;
constexpr int kTimeStampRetryWait = 500;
// After ABOR a server follows its 426 with the reply that closes the transfer, sent at once; a server that
// ends a transfer with 426 on its own sends nothing more, so it is not waited for longer than this.
constexpr int kFollowingReplyWait = 1000;
// Transfers go from the socket to the file in chunks of this size; memory does not grow with the file.
constexpr size_t kTransferBuffer = 256 * 1024;
constexpr const char* kListFailed = "FTPサーバからのファイル一覧取得に失敗しました。";
constexpr const char* kTimeStampFailed = "サーバ上ファイルのタイムスタンプ取得に失敗しました。";
constexpr const char* kNotConnected = "FTPサーバに接続していません。";
// MDTM requests sent together: at most this many, and this many bytes, so that neither side's buffers
// can fill while the other is still writing.
constexpr size_t kBatchRequests = 1000;
constexpr size_t kBatchBytes = 16 * 1024;
// A reply to a request sent in a batch that does not come within this time (or the read time-out, when
// shorter) means the server did not take the batch; the names are then asked one at a time.
constexpr int kBatchReplyWait = 10000;
// What a new connection is set up with once logged in.
constexpr const char* kSetUpCommands = "TYPE I\r\nSYST\r\nFEAT\r\n";

// "No limit": POCO's active-mode accept polls with the session's time-out, where 0 would mean "at once".
Poco::Timespan TimespanOf(int milliseconds) {
    if (milliseconds > 0) return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(milliseconds) * 1000);
    return Poco::Timespan(7, 0, 0, 0, 0);
}

// A write to a connection the server has closed raises SIGPIPE, which would end the launcher. The signal
// is blocked for the calling thread while the socket is used and a pending one is taken back, so nothing
// changes for the rest of the process or the programs it starts.
class SigPipeGuard {
public:
    SigPipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    }
    ~SigPipeGuard() {
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending_ && sigismember(&pending, SIGPIPE) == 1) {
            timespec zero{};
            while (sigtimedwait(&pipe_, nullptr, &zero) == -1 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigPipeGuard(const SigPipeGuard&) = delete;
    SigPipeGuard& operator=(const SigPipeGuard&) = delete;

private:
    sigset_t pipe_;
    sigset_t previous_;
    bool wasPending_ = false;
};

std::string Wire(const std::string& text) {
    return ToCP932(text, text);
}

// Control characters (and, when asked, bytes above 0x7F) as \xNN.
std::string EscapeControls(std::string_view text, bool escapeHigh) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || (escapeHigh && c >= 0x80)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Bytes of a server name or reply made readable for a message or the trace log: control characters and
// bytes that are not CP932 appear as \xNN.
std::string Printable(std::string_view bytes, bool cp932) {
    std::string decoded;
    if (cp932) {
        try {
            decoded = FromCP932(bytes, "FTPサーバの応答");
        } catch (const EEncodingError&) {
            cp932 = false;
        }
    }
    if (!cp932) decoded.assign(bytes);
    return EscapeControls(decoded, !cp932);
}

// A name as a message shows it: control characters as \xNN, so it cannot break the line it is shown in.
std::string ShownName(std::string_view name) {
    return EscapeControls(name, false);
}

// The text around a reply as Delphi's Trim leaves it: no blanks or control characters at either end.
std::string TrimControls(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 0x20)
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 0x20)
        --end;
    return std::string(text.substr(begin, end - begin));
}

bool StartsWithCode(std::string_view line) {
    return line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) &&
           std::isdigit(static_cast<unsigned char>(line[2])) && (line[3] == ' ' || line[3] == '-');
}

// A listing's lines as a Delphi string list takes them: CR LF, LF or CR end a line; a final line end adds
// no empty line.
std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find_first_of("\r\n", begin);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(begin));
            break;
        }
        lines.emplace_back(text.substr(begin, end - begin));
        begin = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

int Digits(std::string_view text, size_t at, size_t count, bool& valid) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') valid = false;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The server closed the control connection.
class ControlConnectionClosed final : public Poco::Net::NetException {
public:
    ControlConnectionClosed() : NetException("サーバが接続を閉じました") {}
    Poco::Exception* clone() const override { return new ControlConnectionClosed(*this); }
    void rethrow() const override { throw *this; }
};

// The control connection's socket, on which the end of the stream is a failure rather than an empty read:
// POCO's reply reader waits for the last line of a multi-line reply without end (and without a time-out)
// when the server closes the connection before sending it.
class ControlSocketImpl final : public Poco::Net::StreamSocketImpl {
public:
    using StreamSocketImpl::receiveBytes;
    int receiveBytes(void* buffer, int length, int flags) override {
        int received = StreamSocketImpl::receiveBytes(buffer, length, flags);
        if (received == 0 && length > 0) throw ControlConnectionClosed();
        return received;
    }
};

} // namespace

// POCO's session with the few protected parts the client needs: our own greeting read (so that the
// edition's read time-out applies to it), the data connection as a bare socket (read in large chunks
// straight into the file), and the final reply of a transfer.
class TQrdFTP::Session final : public Poco::Net::FTPClientSession {
public:
    Session(const Poco::Net::StreamSocket& socket, const Poco::Timespan& timeout)
        : FTPClientSession(socket, false) {
        setTimeout(timeout);
        std::string greeting;
        int code = 0;
        try {
            code = _pControlSocket->receiveStatusMessage(greeting);
        } catch (const ControlConnectionClosed&) {
            // Closed before or in the middle of the greeting: not connected, which the caller may retry.
        }
        greeted_ = code != 0;
        if (greeted_ && code != 220) throw Poco::Net::FTPException("Cannot login to server", greeting, code);
    }
    // False when the server closed the connection without a greeting.
    bool Greeted() const { return greeted_; }
    int ReadReply(std::string& response) { return _pControlSocket->receiveStatusMessage(response); }
    // POCO gives the accepted socket of an active data connection no time-out of its own; the session's
    // applies to both kinds, so a stalled transfer ends alike in passive and active mode.
    Poco::Net::StreamSocket OpenData(const std::string& command, const std::string& argument) {
        Poco::Net::StreamSocket data = establishDataConnection(command, argument);
        data.setReceiveTimeout(getTimeout());
        return data;
    }
    void SayQuit() { _pControlSocket->sendMessage("QUIT"); }
    // Command lines sent together, without waiting for any reply.
    void SendLines(const std::string& lines) {
        for (size_t sent = 0; sent < lines.size();) {
            int n = _pControlSocket->sendBytes(lines.data() + sent, static_cast<int>(lines.size() - sent));
            if (n <= 0) throw ControlConnectionClosed();
            sent += static_cast<size_t>(n);
        }
    }
    // Closed first, the session's own close neither sends nor waits any more.
    void CloseControl() { _pControlSocket->close(); }

private:
    bool greeted_ = false;
};

TQrdFTP::TQrdFTP(const TFTPTimeouts& timeouts, RetryClock& clock, TTraceLog* traceLog)
    : timeouts_(timeouts), clock_(clock), traceLog_(traceLog), buffer_(kTransferBuffer) {}

TQrdFTP::~TQrdFTP() {
    Disconnect();
}

template <class Action> auto TQrdFTP::Guarded(Action&& action) {
    SigPipeGuard guard;
    try {
        return action();
    } catch (const Poco::Net::FTPException& e) {
        // Without a reply code nothing was answered: the data connection never came or the control
        // connection is gone.
        if (e.code() == 0) RaiseConnectionLost(e.message());
        std::string response = e.message();
        if (size_t colon = response.find(": "); colon != std::string::npos) response.erase(0, colon + 2);
        throw EFTPReplyError(e.code(), Printable(response, true));
    } catch (const ControlConnectionClosed& e) {
        RaiseConnectionLost(e.message());
    } catch (const Poco::TimeoutException&) {
        RaiseConnectionLost("時間切れ");
    } catch (const Poco::IOException& e) {
        RaiseConnectionLost(e.displayText());
    } catch (const Poco::Exception& e) {
        throw EUpdateError("FTPの処理に失敗しました。(" + e.displayText() + ")");
    }
}

void TQrdFTP::RaiseConnectionLost(const std::string& detail) {
    DropSession();
    throw EFTPConnectionLost("FTPサーバとの接続が切断されました。(" + detail + ")");
}

void TQrdFTP::DropSession() {
    if (!session_) return;
    SigPipeGuard guard;
    try {
        session_->CloseControl();
    } catch (const Poco::Exception&) {
        // Already closed by the failure that ends the session.
    }
    session_.reset();
}

void TQrdFTP::SetPassive(bool passive) {
    passive_ = passive;
    if (session_) session_->setPassive(passive, false);
}

void TQrdFTP::SetReadTimeout(int milliseconds) {
    readTimeout_ = milliseconds;
    if (session_) session_->setTimeout(TimespanOf(milliseconds));
}

void TQrdFTP::Connect() {
    DropSession();
    currentDir_.clear();
    plannedAnswers_.clear();
    const std::string where = "FTPサーバ[" + host_ + ":" + std::to_string(port_) + "]に接続できません。";
    if (port_ < 1 || port_ > 65535) throw EFTPConnectionLost(where + "(ポート番号が不正です)");
    std::string user = Wire(username_), password = Wire(password_);
    features_.reset();
    bool retry = false;
    try {
        Guarded([&] {
            Poco::Net::StreamSocket socket(new ControlSocketImpl);
            try {
                Poco::Net::SocketAddress address(host_, static_cast<Poco::UInt16>(port_));
                if (connectTimeout_ > 0)
                    socket.connect(address, TimespanOf(connectTimeout_));
                else
                    socket.connect(address);
            } catch (const Poco::TimeoutException&) {
                throw EFTPConnectionLost(where + "(時間切れ)");
            } catch (const Poco::Exception& e) {
                throw EFTPConnectionLost(where + "(" + e.displayText() + ")");
            }
            auto session = std::make_unique<Session>(socket, TimespanOf(readTimeout_));
            if (!session->Greeted()) return;
            session->setPassive(passive_, false);
            session_ = std::move(session);
            std::string response;
            int code = session_->sendCommand("USER", user, response);
            // Sent together, PASS goes with the set-up behind it. A server that hangs up on that is logged
            // in again one command at a time.
            const bool withPassword = code / 100 == 3 && pipelining_;
            if (withPassword) {
                try {
                    session_->SendLines("PASS " + password + "\r\n" + kSetUpCommands);
                    code = session_->ReadReply(response);
                } catch (const ControlConnectionClosed&) {
                    code = 0;
                }
                if (code == 0) {
                    pipelining_ = false;
                    retry = true;
                    return;
                }
            } else if (code / 100 == 3) {
                code = session_->sendCommand("PASS", password, response);
            }
            if (code == 0) RaiseConnectionLost("USER");
            if (code / 100 != 2) throw Poco::Net::FTPException("Login denied", response, code);
            if (!pipelining_) {
                SetUpOneByOne();
            } else if (!SetUpTogether(withPassword)) {
                // Taken apart or answered out of step: the set-up is done again on a new connection, one
                // command at a time, and nothing is sent together on this client again.
                pipelining_ = false;
                retry = true;
            }
        });
    } catch (...) {
        DropSession();
        throw;
    }
    if (retry) {
        DropSession();
        Connect();
    }
}

// TYPE I and SYST, each waited for.
void TQrdFTP::SetUpOneByOne() {
    std::string response;
    int code = session_->sendCommand("TYPE I", response);
    if (code == 0) RaiseConnectionLost("TYPE");
    if (code / 100 != 2) throw Poco::Net::FTPException("Cannot set file type", response, code);
    code = session_->sendCommand("SYST", response);
    if (code == 0) RaiseConnectionLost("SYST");
    if (code / 100 != 2 && code != 500)
        throw Poco::Net::FTPException("Cannot get remote system type", response, code);
}

// TYPE I, SYST and FEAT sent together (already, behind PASS, when `sent`), in one round trip instead of
// three; the features are kept for the catalogue. False when the server did not answer them in step (or
// hung up): any reply but the one each command is known to get one at a time counts as that, so that the
// set-up done one at a time decides.
bool TQrdFTP::SetUpTogether(bool sent) {
    std::vector<TFTPReply> replies;
    const TFTPReply before = lastReply_;
    try {
        session_->setTimeout(TimespanOf(BatchReplyWait()));
        if (!sent) session_->SendLines(kSetUpCommands);
        for (int i = 0; i < 3; ++i) {
            std::string response;
            const int code = session_->ReadReply(response);
            if (code == 0) return false;
            RecordReply(code, response);
            replies.push_back(lastReply_);
        }
        session_->setTimeout(TimespanOf(readTimeout_));
    } catch (const Poco::Exception&) {
        return false;
    }
    lastReply_ = before;
    const int type = replies[0].Code, system = replies[1].Code, feat = replies[2].Code;
    if (type / 100 != 2 || (system / 100 != 2 && system != 500) || system == 211 || feat == 215) return false;
    features_ = replies[2];
    return true;
}

int TQrdFTP::BatchReplyWait() const {
    return readTimeout_ > 0 ? std::min(readTimeout_, kBatchReplyWait) : kBatchReplyWait;
}

bool TQrdFTP::Connected() const {
    return session_ != nullptr;
}

void TQrdFTP::Disconnect() {
    if (!session_) return;
    SigPipeGuard guard;
    try {
        session_->SayQuit();
    } catch (const Poco::Exception&) {
        // The server may be gone already; the connection is closed either way.
    }
    DropSession();
}

void TQrdFTP::RecordReply(int code, const std::string& response) {
    lastReply_.Code = code;
    lastReply_.Text.clear();
    for (const std::string& line : SplitLines(response))
        lastReply_.Text.push_back(Printable(StartsWithCode(line) ? line.substr(4) : line, true));
}

std::string TQrdFTP::ReplySummary() const {
    std::string text = std::to_string(lastReply_.Code);
    for (const std::string& line : lastReply_.Text)
        text += " " + line;
    return text;
}

int TQrdFTP::SendCommand(const std::string& command) {
    if (command.find_first_of("\r\n") != std::string::npos)
        throw EUpdateError("FTPコマンドに改行は使えません : [" + Printable(command, false) + "]");
    if (!session_) throw EFTPConnectionLost(kNotConnected);
    std::string wire = Wire(command);
    return Guarded([&] {
        std::string response;
        int code = session_->sendCommand(wire, response);
        if (code == 0) RaiseConnectionLost("応答がありません");
        RecordReply(code, response);
        return code;
    });
}

void TQrdFTP::ChangeDir(const std::string& folder) {
    if (pipelining_ && std::find(folderPlan_.begin(), folderPlan_.end(), folder) != folderPlan_.end())
        AskPlannedFolders(folder);
    if (auto planned = plannedAnswers_.extract(folder)) {
        lastReply_ = planned.mapped();
        if (lastReply_.Code != 200 && lastReply_.Code != 250)
            throw EFTPReplyError(lastReply_.Code, ReplySummary());
        if (currentDir_ == folder) return;
    }
    int code = SendCommand("CWD " + folder);
    if (code != 200 && code != 250) throw EFTPReplyError(code, ReplySummary());
    currentDir_ = folder;
}

void TQrdFTP::SetFolderPlan(std::vector<std::string> folders) {
    folderPlan_ = std::move(folders);
    plannedAnswers_.clear();
}

// CWD for the planned folders from `folder` on, sent last to first so that the server ends in `folder` when
// it is there, and PWD behind them: its reply closes the batch, as no CWD gets 257. A success or a refusal
// for want of the folder (550) is kept for the folder's change; any other answer is left to the change to
// ask again. A server that answers out of step or drops the connection is asked nothing together again, the
// connection restored quietly first; one that answers 503 is asked nothing together again.
void TQrdFTP::AskPlannedFolders(const std::string& folder) {
    const std::vector<std::string> folders(std::find(folderPlan_.begin(), folderPlan_.end(), folder),
                                           folderPlan_.end());
    folderPlan_.clear();
    std::string commands;
    for (auto planned = folders.rbegin(); planned != folders.rend(); ++planned) {
        if (planned->empty() || planned->front() != '/' ||
            planned->find_first_of("\r\n") != std::string::npos)
            return; // asked alone
        try {
            commands += Wire("CWD " + *planned) + "\r\n";
        } catch (const EEncodingError&) {
            return; // the change itself reports it
        }
    }
    if (folders.size() < 2 || !session_) return;
    std::vector<TFTPReply> replies;
    const auto inStep = [](int code, bool closing) {
        return closing ? code == 257 : code != 257 && (code / 100 == 2 || code / 100 == 4 || code / 100 == 5);
    };
    if (!ReadBatchReplies(commands, folders.size(), "PWD", inStep, replies)) return;
    // Replies came last folder first.
    for (size_t i = 0; i < replies.size(); ++i) {
        const std::string& asked = folders[folders.size() - 1 - i];
        const int code = replies[i].Code;
        if (code == 200 || code == 250) currentDir_ = asked;
        if (code == 200 || code == 250 || code == 550) plannedAnswers_[asked] = replies[i];
        if (code == 503) pipelining_ = false;
    }
}

void TQrdFTP::Abort() {
    if (!session_) return;
    Guarded([&] {
        std::string response;
        int code = session_->sendCommand("ABOR", response);
        if (code == 0) RaiseConnectionLost("ABOR");
        RecordReply(code, response);
        if (code == 426 || code == 450) ReadFollowingReply();
    });
}

void TQrdFTP::FinishTransfer() {
    std::string response;
    int code = session_->ReadReply(response);
    if (code == 0) RaiseConnectionLost("転送の終了が報告されません");
    RecordReply(code, response);
    if (code == 225 || code == 226 || code == 250) return;
    const std::string text = ReplySummary();
    // An aborted transfer is followed by the reply that closes it; read it so that the next command gets
    // its own reply.
    if (code == 426 || code == 450) ReadFollowingReply();
    throw EFTPReplyError(code, text);
}

void TQrdFTP::ReadFollowingReply() {
    int wait = readTimeout_ > 0 ? std::min(readTimeout_, kFollowingReplyWait) : kFollowingReplyWait;
    session_->setTimeout(TimespanOf(wait));
    std::string response;
    int code = -1;
    try {
        code = session_->ReadReply(response);
    } catch (const Poco::TimeoutException&) {
        // Nothing more came; the connection stays usable.
    }
    if (code == 0) RaiseConnectionLost("転送の終了が報告されません");
    session_->setTimeout(TimespanOf(readTimeout_));
}

std::vector<std::string> TQrdFTP::ListLines(const std::string& command) {
    if (!session_) throw EFTPConnectionLost(kNotConnected);
    return Guarded([&] {
        Poco::Net::StreamSocket data = session_->OpenData(command, "");
        std::string listing;
        for (int received;
             (received = data.receiveBytes(buffer_.data(), static_cast<int>(buffer_.size()))) > 0;)
            listing.append(buffer_.data(), static_cast<size_t>(received));
        data.close();
        FinishTransfer();
        return SplitLines(listing);
    });
}

void TQrdFTP::GetFileNameList(std::vector<std::string>& names) {
    names.clear();
    std::map<std::string, std::uintmax_t>& sizes = listedSizes_[currentDir_];
    sizes.clear();
    std::vector<std::string> lines;
    try {
        lines = ListLines("LIST");
    } catch (const EFTPConnectionLost&) {
        throw EFTPConnectionLost(kListFailed);
    } catch (const std::exception&) {
        throw EUpdateError(kListFailed);
    }
    for (const std::string& line : lines) {
        std::string bytes;
        if (!ListedName(line, bytes)) continue;
        std::string name = FromCP932(bytes, "FTPサーバのファイル名 [" + Printable(bytes, false) + "]");
        if (!IsSafeLocalName(name)) {
            if (traceLog_)
                traceLog_->Write("GetFileNameList", "ローカルのファイル名に使えない名前を除外しました : [" +
                                                        Printable(name, false) + "]");
            continue;
        }
        if (const auto size = ListingLineSize(line, FindFieldStart(line, 9))) sizes[name] = *size;
        names.push_back(name);
    }
}

std::optional<std::uintmax_t> TQrdFTP::ListedSize(const std::string& name) const {
    const auto folder = listedSizes_.find(currentDir_);
    if (folder == listedSizes_.end()) return std::nullopt;
    if (const auto exact = folder->second.find(name); exact != folder->second.end()) return exact->second;
    // The master category asks for its names in upper case, whatever case the listing gave.
    std::optional<std::uintmax_t> found;
    for (const auto& [listed, size] : folder->second) {
        if (!SameText(listed, name)) continue;
        if (found) return std::nullopt; // two candidates: neither is known to be the one fetched
        found = size;
    }
    return found;
}

std::optional<std::uintmax_t> TQrdFTP::GetFileSize(const std::string& name) {
    if (SendCommand("SIZE " + name) != 213 || lastReply_.Text.empty()) return std::nullopt;
    const std::string text = TrimControls(lastReply_.Text.front());
    if (text.empty() || text.size() > 19 || !std::all_of(text.begin(), text.end(), [](char c) {
            return c >= '0' && c <= '9';
        }))
        return std::nullopt;
    return std::stoull(text);
}

std::string TQrdFTP::GetFileTimeStamp(const std::string& name) {
    return TimeStampAfter(name, 0);
}

// MDTM for a name whose first `failedTries` tries were answered with something else than 213 already.
std::string TQrdFTP::TimeStampAfter(const std::string& name, int failedTries) {
    if (failedTries > 0) clock_.Pause(kTimeStampRetryWait);
    for (int attempt = failedTries + 1;; ++attempt) {
        if (attempt > kTimeStampTries) throw EUpdateError(std::string(kTimeStampFailed) + " : [" + ShownName(name) + "]");
        if (SendCommand("MDTM " + name) == 213) break;
        if (attempt < kTimeStampTries) clock_.Pause(kTimeStampRetryWait);
    }
    return LastReplyTimeStamp();
}

std::string TQrdFTP::LastReplyTimeStamp() const {
    std::string text;
    for (const std::string& line : lastReply_.Text)
        text += (text.empty() ? "" : "\r\n") + line;
    return ServerTimeStampText(TrimControls(text));
}

void TQrdFTP::GetTimeStampList(const std::vector<std::string>& names, std::vector<std::string>& stamps) {
    if (names.empty()) return;
    std::map<std::string, std::string> listed;
    if (folderListing_ && names.size() > 1 && OffersModifyFact()) ListModifyTimes(listed);
    std::vector<std::string> asked, answers;
    for (const std::string& name : names)
        if (!listed.contains(name)) asked.push_back(name);
    // The names' stamps in their order, as far as the answers go; a failure ends the list where it struck.
    const auto gather = [&] {
        size_t answer = 0;
        for (const std::string& name : names) {
            if (const auto found = listed.find(name); found != listed.end())
                stamps.push_back(found->second);
            else if (answer < answers.size())
                stamps.push_back(answers[answer++]);
            else
                break;
        }
    };
    try {
        AskTimeStamps(asked, answers);
    } catch (...) {
        gather();
        throw;
    }
    gather();
}

bool TQrdFTP::OffersModifyFact() {
    if (modifyFact_) return *modifyFact_;
    const std::string folder = currentDir_;
    bool offered = false, enabled = false;
    std::string facts;
    try {
        // Asked with the log-in unless the server could not take commands sent together.
        if (!features_) {
            SendCommand("FEAT");
            features_ = lastReply_;
        }
        if (features_->Code / 100 == 2) {
            for (const std::string& line : features_->Text) {
                const std::string feature = TrimControls(line);
                if (feature.size() < 5 || !SameText(feature.substr(0, 5), "MLST ")) continue;
                for (std::string_view rest = std::string_view(feature).substr(5); !rest.empty();) {
                    const size_t end = std::min(rest.find(';'), rest.size());
                    std::string fact(rest.substr(0, end));
                    rest.remove_prefix(std::min(end + 1, rest.size()));
                    const bool on = !fact.empty() && fact.back() == '*';
                    if (on) fact.pop_back();
                    if (fact.empty()) continue;
                    if (SameText(fact, "modify")) {
                        offered = true;
                        enabled = on;
                    } else if (on) {
                        facts += fact + ";";
                    }
                }
            }
        }
        // Offered but not given unasked: ask for it beside the facts given now.
        if (offered && !enabled) enabled = SendCommand("OPTS MLST " + facts + "modify;") / 100 == 2;
    } catch (const EFTPConnectionLost& lost) {
        // A server that hangs up on FEAT is asked nothing new again.
        folderListing_ = false;
        RestoreConnection(folder, lost);
    }
    modifyFact_ = offered && enabled;
    return *modifyFact_;
}

// MLSD of the current folder: the time of every plain file that it gives with a valid modify fact, as
// MDTM's reply would give it. A listing that fails is not asked again; a name it does not give is asked
// with MDTM, which decides as it always has.
void TQrdFTP::ListModifyTimes(std::map<std::string, std::string>& stamps) {
    const std::string folder = currentDir_;
    std::vector<std::string> lines;
    try {
        lines = ListLines("MLSD");
    } catch (const EFTPConnectionLost& lost) {
        folderListing_ = false;
        RestoreConnection(folder, lost);
        return;
    } catch (const std::exception&) {
        folderListing_ = false;
        return;
    }
    for (const std::string& line : lines) {
        // "fact=value;fact=value; name": the facts hold no blank, the name may.
        const size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        std::string type, modify;
        for (std::string_view facts = std::string_view(line).substr(0, blank); !facts.empty();) {
            const size_t end = std::min(facts.find(';'), facts.size());
            const std::string_view fact = facts.substr(0, end);
            facts.remove_prefix(std::min(end + 1, facts.size()));
            const size_t equals = fact.find('=');
            if (equals == std::string_view::npos) continue;
            const std::string key(fact.substr(0, equals));
            if (SameText(key, "type")) type = fact.substr(equals + 1);
            if (SameText(key, "modify")) modify = fact.substr(equals + 1);
        }
        if (!SameText(type, "file") || modify.empty()) continue;
        try {
            stamps[FromCP932(line.substr(blank + 1), "FTPサーバのファイル名")] = ServerTimeStampText(modify);
        } catch (const EUpdateError&) {
            // A name or time this listing cannot give is asked with MDTM.
        }
    }
}

// MDTM for every name, appended in order. Names go in batches while the server keeps them in step; a
// reply other than 213 is tried again for its name alone, as the first of its ten tries.
void TQrdFTP::AskTimeStamps(const std::vector<std::string>& names, std::vector<std::string>& stamps) {
    for (size_t next = 0; next < names.size();) {
        std::string commands;
        size_t end = next;
        if (pipelining_) {
            for (; end < names.size() && end - next < kBatchRequests && commands.size() < kBatchBytes; ++end) {
                const std::string command = "MDTM " + names[end];
                // A name that cannot be sent is left to the single request, which reports it.
                if (command.find_first_of("\r\n") != std::string::npos) break;
                try {
                    commands += Wire(command) + "\r\n";
                } catch (const EEncodingError&) {
                    break;
                }
            }
        }
        std::vector<TFTPReply> replies;
        // The NOOP's reply closes the batch: coming early or late, it shows the replies are not the MDTMs'.
        const auto inStep = [](int code, bool closing) {
            return closing ? code / 100 == 2 && code != 213
                           : code == 213 || code / 100 == 4 || code / 100 == 5;
        };
        if (end - next < 2 || !ReadBatchReplies(commands, end - next, "NOOP", inStep, replies)) {
            stamps.push_back(GetFileTimeStamp(names[next++]));
            continue;
        }
        for (size_t i = 0; i < replies.size(); ++i) {
            lastReply_ = replies[i];
            stamps.push_back(lastReply_.Code == 213 ? LastReplyTimeStamp() : TimeStampAfter(names[next + i], 1));
        }
        next = end;
    }
}

// Sends the batch of `count` requests with the `closing` command behind it and reads the replies in order;
// `inStep` judges each reply code, the closing one's with `closing` true. The closing reply shows that the
// replies are the requests' own, as no request gets the reply it gets. False when the server got out of
// step or dropped the connection; the connection is then restored in the same folder and nothing is sent
// together again.
bool TQrdFTP::ReadBatchReplies(const std::string& commands, size_t count, const std::string& closing,
                               const std::function<bool(int code, bool closing)>& inStep,
                               std::vector<TFTPReply>& replies) {
    if (!session_) throw EFTPConnectionLost(kNotConnected);
    const std::string folder = currentDir_;
    bool answered = true;
    try {
        Guarded([&] {
            session_->setTimeout(TimespanOf(BatchReplyWait()));
            session_->SendLines(commands + closing + "\r\n");
            for (size_t i = 0; i <= count && answered; ++i) {
                std::string response;
                const int code = session_->ReadReply(response);
                if (code == 0) RaiseConnectionLost("応答がありません");
                RecordReply(code, response);
                answered = inStep(code, i == count);
                if (answered && i < count) replies.push_back(lastReply_);
            }
            session_->setTimeout(TimespanOf(readTimeout_));
        });
    } catch (const EFTPConnectionLost& lost) {
        RestoreConnection(folder, lost);
        return false;
    }
    if (answered) return true;
    DropSession();
    RestoreConnection(folder, EFTPConnectionLost("FTPサーバの応答が要求と合いません。"));
    return false;
}

// After a server misbehaved under requests it need not have taken (batches, FEAT, MLSD): batches are
// not sent again, and the connection, when lost, is opened again in the same folder without a word, so
// that the caller sees what one request at a time would have given. Raises `cause` when it cannot be.
void TQrdFTP::RestoreConnection(const std::string& folder, const EFTPConnectionLost& cause) {
    pipelining_ = false;
    if (Connected()) return;
    try {
        Connect();
        if (Connected() && !folder.empty()) ChangeDir(folder);
    } catch (const std::exception&) {
        DropSession();
    }
    if (!Connected()) throw cause;
}

TFetchedFile TQrdFTP::DownloadFile(const std::string& serverName, const std::string& localPath) {
    if (!IsSafeLocalName(serverName)) {
        std::string shown = Printable(serverName, false);
        if (traceLog_)
            traceLog_->Write("DownloadFile", "ローカルのファイル名に使えない名前です : [" + shown + "]");
        throw EUpdateError("ローカルのファイル名に使えない名前です : [" + shown + "]");
    }
    TFetchedFile fetched;
    {
        FileDescriptor file(open(localPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!file.IsOpen()) throw EInOutError("ファイル " + localPath + " を作成できません", errno);
        fetched.Size = Retrieve(serverName, file.Get(), localPath);
        if (int error = file.Close(); error != 0)
            throw EInOutError("ファイル " + localPath + " に書き込めません: " + SystemErrorText(error),
                              error);
    }
    FileDescriptor file(open(localPath.c_str(), O_RDWR | O_CLOEXEC));
    if (!file.IsOpen()) throw EInOutError("ファイル " + localPath + " は開けません", errno);
    fetched.Stamp = GetFileTimeStamp(serverName);
    std::time_t time = 0;
    bool stamped = ParseDateTime(fetched.Stamp, time);
    if (stamped) {
        const timespec times[2] = {{0, UTIME_OMIT}, {time, 0}};
        stamped = futimens(file.Get(), times) == 0;
    }
    if (!stamped) throw EUpdateError("変更失敗 : [" + localPath + "] : " + fetched.Stamp);
    return fetched;
}

std::uintmax_t TQrdFTP::Retrieve(const std::string& serverName, int fd, const std::string& localPath) {
    if (!session_) throw EFTPConnectionLost(kNotConnected);
    std::string wire = Wire(serverName);
    std::uintmax_t written = 0;
    Guarded([&] {
        // Set as the data connection is set up; the control connection keeps it afterwards.
        if (timeouts_.TransferRead > 0) SetReadTimeout(timeouts_.TransferRead);
        Poco::Net::StreamSocket data = session_->OpenData("RETR", wire);
        for (int received;
             (received = data.receiveBytes(buffer_.data(), static_cast<int>(buffer_.size()))) > 0;) {
            if (WriteAll(fd, buffer_.data(), static_cast<size_t>(received))) {
                written += static_cast<std::uintmax_t>(received);
                continue;
            }
            int error = errno;
            data.close();
            try {
                FinishTransfer();
            } catch (const EUpdateError&) {
                // The server's view of the broken transfer matters less than the local failure.
            } catch (const Poco::Exception&) {
                DropSession(); // the connection went with the transfer
            }
            throw EInOutError("ファイル " + localPath + " に書き込めません: " + SystemErrorText(error),
                              error);
        }
        data.close();
        FinishTransfer();
    });
    return written;
}

bool ListedName(std::string_view line, std::string& name) {
    // Each line has its own columns: a size of nine digits or a year in place of the time moves the name.
    // Positions count CP932 bytes, as the server wrote them.
    const int start = FindFieldStart(line, 9);
    if (start <= 0) {
        // The "total" line of ls is no entry; any other line of another layout is taken whole.
        const std::string_view total = "total ";
        if (line.substr(0, total.size()) == total && line.size() > total.size() &&
            std::all_of(line.begin() + static_cast<std::ptrdiff_t>(total.size()), line.end(),
                        [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        name.assign(line);
        return true;
    }
    const char kind = line[line.find_first_not_of(' ')];
    if (kind == 'd') return false; // a folder has no time stamp to ask for
    std::string_view text = line.substr(static_cast<size_t>(start - 1));
    // A link is listed as "name -> target"; its own name is the entry.
    if (kind == 'l') text = text.substr(0, text.find(" -> "));
    name.assign(text);
    return true;
}

int FindFieldStart(std::string_view line, int n) {
    int count = 0;
    for (size_t i = 0; i + 1 < line.size(); ++i) {
        if (line[i] == ' ' && line[i + 1] != ' ' && ++count == n - 1) return static_cast<int>(i) + 2;
    }
    return 0;
}

std::optional<std::uintmax_t> ListingLineSize(std::string_view line, int nameStart) {
    if (nameStart <= 1 || static_cast<size_t>(nameStart - 1) > line.size()) return std::nullopt;
    std::vector<std::string_view> fields;
    const std::string_view head = line.substr(0, static_cast<size_t>(nameStart - 1));
    // A line of another layout may have its name column elsewhere: cut inside a field, it gives no size.
    if (head.back() != ' ') return std::nullopt;
    for (size_t at = 0; at < head.size();) {
        const size_t begin = head.find_first_not_of(' ', at);
        if (begin == std::string_view::npos) break;
        const size_t end = std::min(head.find(' ', begin), head.size());
        fields.push_back(head.substr(begin, end - begin));
        at = end;
    }
    if (fields.size() != 8 || fields[0].front() != '-') return std::nullopt;
    const std::string_view size = fields[4];
    if (size.size() > 19 || !std::all_of(size.begin(), size.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoull(std::string(size));
}

TServerTime ParseServerTime(std::string_view text) {
    bool valid = text.size() >= 14;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (valid) {
        year = Digits(text, 0, 4, valid);
        month = Digits(text, 4, 2, valid);
        day = Digits(text, 6, 2, valid);
        hour = Digits(text, 8, 2, valid);
        minute = Digits(text, 10, 2, valid);
        second = Digits(text, 12, 2, valid);
    }
    using namespace std::chrono;
    const year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                              std::chrono::day(static_cast<unsigned>(day))};
    if (!valid || year < 1 || !date.ok() || hour > 23 || minute > 59 || second > 59)
        throw EUpdateError("'" + Printable(text, false) + "' は正しい日付と時刻ではありません");
    return sys_days(date) + hours(hour) + minutes(minute) + seconds(second);
}

std::string ServerTimeStampText(std::string_view replyText) {
    using namespace std::chrono;
    // The server states its own civil time; the fixed offset makes it Japanese time whatever the
    // workstation's zone.
    const TServerTime time = ParseServerTime(replyText) + hours(9);
    const sys_days date = floor<days>(time);
    const year_month_day ymd{date};
    const hh_mm_ss clock{time - date};
    char text[32];
    std::snprintf(text, sizeof text, "%04d/%02u/%02u %02d:%02d:%02d", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

bool IsSafeLocalName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F;
    });
}

} // namespace towagi
