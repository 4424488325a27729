#pragma once
#include "model/edition_profile.h"
#include "model/retry_clock.h"
#include "support/errors.h"
#include "support/trace_log.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace towagi {

// The connection to the server is gone: reset, closed by the server, or a wait that timed out. The
// client is disconnected afterwards; the download engine reconnects.
class EFTPConnectionLost : public EUpdateError {
public:
    using EUpdateError::EUpdateError;
};

// The server answered a command with a negative reply; the connection is still usable.
class EFTPReplyError : public EUpdateError {
public:
    EFTPReplyError(int replyCode, const std::string& text) : EUpdateError(text), ReplyCode(replyCode) {}
    int ReplyCode;
};

// The reply to the last command: its code and its text lines without the codes.
struct TFTPReply {
    int Code = 0;
    std::vector<std::string> Text;
};

// What one retrieval brought: the bytes written to the local file and the server's time stamp read after
// the transfer (the one the file was given).
struct TFetchedFile {
    std::uintmax_t Size = 0;
    std::string Stamp;
};

// The update engine's FTP client: one control connection, one data connection per transfer, binary
// transfers, PASV or PORT. Names are UTF-8 here and CP932 on the wire. Failures raise EFTPConnectionLost,
// EFTPReplyError, EInOutError (local file), EEncodingError (a name CP932 cannot hold) or EUpdateError.
class TQrdFTP {
public:
    // The edition's time-outs: the transfer read time-out is set as each download starts, the connect ones
    // are the caller's to set. The MDTM retries pause on `clock`. Refused server names are written to
    // `traceLog` when one is given.
    TQrdFTP(const TFTPTimeouts& timeouts, RetryClock& clock, TTraceLog* traceLog = nullptr);
    ~TQrdFTP();
    TQrdFTP(const TQrdFTP&) = delete;
    TQrdFTP& operator=(const TQrdFTP&) = delete;

    void SetHost(const std::string& host) { host_ = host; }
    const std::string& Host() const { return host_; }
    void SetPort(int port) { port_ = port; }
    int Port() const { return port_; }
    void SetUsername(const std::string& username) { username_ = username; }
    const std::string& Username() const { return username_; }
    void SetPassword(const std::string& password) { password_ = password; }
    const std::string& Password() const { return password_; }
    // Passive (PASV) or active (PORT) data connections; active until set.
    void SetPassive(bool passive);
    bool Passive() const { return passive_; }
    // Longest wait for data on the control and data connections; 0 means no limit.
    void SetReadTimeout(int milliseconds);
    int ReadTimeout() const { return readTimeout_; }
    // Longest wait for a connect; 0 leaves it to the system.
    void SetConnectTimeout(int milliseconds) { connectTimeout_ = milliseconds; }
    int ConnectTimeout() const { return connectTimeout_; }
    const TFTPReply& LastReply() const { return lastReply_; }
    const TFTPTimeouts& Timeouts() const { return timeouts_; }

    // Connects and logs in: greeting 220, USER (and PASS), then TYPE I, SYST and FEAT sent together (one
    // at a time, without FEAT, on a server that cannot take that). A server that closes the connection
    // before its greeting leaves the client unconnected without a failure; every other failure (refused,
    // timed out, log-in rejected) raises.
    void Connect();
    bool Connected() const;
    // Says QUIT without waiting for the answer and closes the control connection.
    void Disconnect();
    // CWD; any answer but 200 or 250 raises EFTPReplyError. For a folder of the plan the answer may come
    // from the CWDs sent together at the first change to one of them (see SetFolderPlan).
    void ChangeDir(const std::string& folder);
    // The folders the caller will change to next, in this order. Over a slow link a round trip per folder
    // is what costs, so at the first ChangeDir to one of them a CWD for it and for every one after it go
    // together, the asked folder last, and their answers are kept for the later changes: a refused folder
    // is refused again without a round trip, and the folder the server already stands in is not asked
    // again. Only a plan of folders from the root is asked so (a relative folder depends on where the
    // server stands); a server that cannot take the CWDs together is asked one at a time from then on.
    // A new plan (none: empty) forgets the answers kept for the last one.
    void SetFolderPlan(std::vector<std::string> folders);
    // The folder of the last successful CWD since the connect, as it was given; "" before the first.
    const std::string& CurrentDir() const { return currentDir_; }
    // Sends one command line and returns the reply code, whatever it is (LastReply holds the reply).
    int SendCommand(const std::string& command);
    // ABOR when connected; the reply is not judged.
    void Abort();

    // The file names of the current server folder, taken from the detailed listing (LIST) line by line
    // (ListedName). Names that must not become local file names are left out with a trace line. The sizes that the listing's lines give are kept for ListedSize.
    void GetFileNameList(std::vector<std::string>& names);
    // The size the last listing of the current folder gave for the name (or, failing an exact match, for
    // the one name that differs from it in letter case only); none when that listing gave none or there was
    // no listing of this folder on this client. No round trip.
    std::optional<std::uintmax_t> ListedSize(const std::string& name) const;
    // SIZE (binary, as the transfers are); none when the server answers anything but 213 with a number.
    std::optional<std::uintmax_t> GetFileSize(const std::string& name);
    // MDTM, tried ten times 500 ms apart; the server's time plus nine hours as date-time text.
    std::string GetFileTimeStamp(const std::string& name);
    // Appends one time stamp per name of the current folder, the same as GetFileTimeStamp gives for each in
    // turn; the first failure ends it with the stamps gathered so far. Over a slow link a round trip per
    // name is what costs, so the times come in as few as the server allows: one MLSD of the folder when its
    // FEAT offers the modify fact (a name it does not list with a time is asked with MDTM), otherwise MDTM
    // requests sent in batches and their replies read in order. A server that gets a batch out of step or
    // drops the connection under it is asked one name at a time for the rest of this client's life (the
    // connection is restored quietly first); so is a server whose MLSD fails, without MLSD.
    void GetTimeStampList(const std::vector<std::string>& names, std::vector<std::string>& stamps);
    // From now on MDTM for one name after the other, as for a server that misbehaved.
    void AskOneAtATime() { pipelining_ = folderListing_ = false; }
    // Whether MDTM requests still go in batches, and whether MLSD is still asked, on this client.
    bool PipelinesTimeStamps() const { return pipelining_; }
    bool ListsTimeStamps() const { return folderListing_ && modifyFact_ != false; }
    // RETR into the local file (replaced, never resumed), then the server's time stamp on it. Judges nothing
    // about what arrived: the caller compares it with what the server said before.
    TFetchedFile DownloadFile(const std::string& serverName, const std::string& localPath);

private:
    class Session;
    template <class Action> auto Guarded(Action&& action);
    std::uintmax_t Retrieve(const std::string& serverName, int fd, const std::string& localPath);
    std::string TimeStampAfter(const std::string& name, int failedTries);
    std::string LastReplyTimeStamp() const;
    void SetUpOneByOne();
    bool SetUpTogether(bool sent);
    void AskPlannedFolders(const std::string& folder);
    int BatchReplyWait() const;
    bool OffersModifyFact();
    void ListModifyTimes(std::map<std::string, std::string>& stamps);
    void AskTimeStamps(const std::vector<std::string>& names, std::vector<std::string>& stamps);
    bool ReadBatchReplies(const std::string& commands, size_t count, const std::string& closing,
                          const std::function<bool(int code, bool closing)>& inStep,
                          std::vector<TFTPReply>& replies);
    void RestoreConnection(const std::string& folder, const EFTPConnectionLost& cause);
    std::vector<std::string> ListLines(const std::string& command); // LIST or MLSD of the current folder
    void FinishTransfer();
    void ReadFollowingReply();
    void RecordReply(int code, const std::string& response);
    std::string ReplySummary() const; // "code text..." of the last reply
    [[noreturn]] void RaiseConnectionLost(const std::string& detail);
    void DropSession();

    TFTPTimeouts timeouts_;
    RetryClock& clock_;
    TTraceLog* traceLog_;
    std::string host_;
    int port_ = 21;
    std::string username_;
    std::string password_;
    bool passive_ = false;
    int readTimeout_ = 0;
    int connectTimeout_ = 0;
    TFTPReply lastReply_;
    std::string currentDir_;
    std::vector<std::string> folderPlan_;
    // The CWD answers of planned folders, kept until the change to each; of this connection only.
    std::map<std::string, TFTPReply> plannedAnswers_;
    // Per folder (as given to CWD), the sizes its last listing gave, by name.
    std::map<std::string, std::map<std::string, std::uintmax_t>> listedSizes_;
    // Found out once per client: whether FEAT offers MLST with the modify fact (none: not asked yet).
    std::optional<bool> modifyFact_;
    // The FEAT reply of this connection, when it was asked with the log-in.
    std::optional<TFTPReply> features_;
    bool folderListing_ = true;
    bool pipelining_ = true;
    std::unique_ptr<Session> session_;
    std::vector<char> buffer_;
};

// The name a listing line gives: its ninth blank-separated field to the end of the line (blanks kept), a
// link's own name without " -> target", the whole line when it has fewer fields. False for a folder and for
// the "total" line of a Unix listing, which name no file.
bool ListedName(std::string_view line, std::string& name);

// The 1-based position where blank-separated field n of the line begins; 0 when the line has fewer fields.
int FindFieldStart(std::string_view line, int n);

// The size a Unix-style listing line gives for a plain file, from the eight fields before its name column
// (`nameStart`, 1-based): permissions beginning with "-", links, owner, group, size, month, day, time or
// year. None for any other line: folders, links, or a layout the name column does not fit.
std::optional<std::uintmax_t> ListingLineSize(std::string_view line, int nameStart);

// A civil date and time without time zone, as the server's MDTM reply states it.
using TServerTime = std::chrono::sys_seconds;
// Bytes 1-4 year, 5-6 month, 7-8 day, 9-10 hour, 11-12 minutes, 13-14 seconds; anything after is ignored.
// Raises EUpdateError when they do not form a valid date and time.
TServerTime ParseServerTime(std::string_view text);
// The MDTM reply text as the workstation's date-time text: the server's time plus exactly nine hours.
std::string ServerTimeStampText(std::string_view replyText);

// Whether a server name may become a local file name: not empty, not "." or "..", no "/" or "\", no
// control characters.
bool IsSafeLocalName(std::string_view name);

} // namespace towagi
