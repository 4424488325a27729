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
    std::string out;
    for (unsigned char c : decoded) {
        if (c < 0x20 || c == 0x7F || (!cp932 && c >= 0x80)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
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
    const std::string where = "FTPサーバ[" + host_ + ":" + std::to_string(port_) + "]に接続できません。";
    if (port_ < 1 || port_ > 65535) throw EFTPConnectionLost(where + "(ポート番号が不正です)");
    std::string user = Wire(username_), password = Wire(password_);
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
            session_->login(user, password); // USER, PASS when asked for, TYPE I
            std::string response;
            int code = session_->sendCommand("SYST", response);
            if (code == 0) RaiseConnectionLost("SYST");
            if (code / 100 != 2 && code != 500)
                throw Poco::Net::FTPException("Cannot get remote system type", response, code);
        });
    } catch (...) {
        DropSession();
        throw;
    }
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
    int code = SendCommand("CWD " + folder);
    if (code != 200 && code != 250) throw EFTPReplyError(code, ReplySummary());
    currentDir_ = folder;
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

std::vector<std::string> TQrdFTP::ListLines() {
    if (!session_) throw EFTPConnectionLost(kNotConnected);
    return Guarded([&] {
        Poco::Net::StreamSocket data = session_->OpenData("LIST", "");
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
        lines = ListLines();
    } catch (const EFTPConnectionLost&) {
        throw EFTPConnectionLost(kListFailed);
    } catch (const std::exception&) {
        throw EUpdateError(kListFailed);
    }
    if (lines.empty()) return;
    // Positions count CP932 bytes, as the server aligned its columns.
    const int start = FindFieldStart(lines.front(), 9);
    for (const std::string& line : lines) {
        std::string bytes = start <= 0                                     ? line
                            : static_cast<size_t>(start - 1) < line.size() ? line.substr(start - 1)
                                                                           : "";
        std::string name = FromCP932(bytes, "FTPサーバのファイル名 [" + Printable(bytes, false) + "]");
        if (!IsSafeLocalName(name)) {
            if (traceLog_)
                traceLog_->Write("GetFileNameList", "ローカルのファイル名に使えない名前を除外しました : [" +
                                                        Printable(name, false) + "]");
            continue;
        }
        if (const auto size = ListingLineSize(line, start)) sizes[name] = *size;
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
    for (int attempt = 1;; ++attempt) {
        if (SendCommand("MDTM " + name) == 213) break;
        if (attempt == kTimeStampTries) throw EUpdateError(kTimeStampFailed);
        clock_.Pause(kTimeStampRetryWait);
    }
    std::string text;
    for (const std::string& line : lastReply_.Text)
        text += (text.empty() ? "" : "\r\n") + line;
    return ServerTimeStampText(TrimControls(text));
}

void TQrdFTP::GetTimeStampList(const std::vector<std::string>& names, std::vector<std::string>& stamps) {
    for (const std::string& name : names)
        stamps.push_back(GetFileTimeStamp(name));
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
