#pragma once
#include "tests/common/test_env.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace towagi::testing {

// A child process that is terminated and reaped when the object goes away.
class ServerProcess {
public:
    // Starts argv[0] with standard output on a pipe and standard error in `logFile`.
    ServerProcess(const std::vector<std::string>& argv, const std::string& logFile);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The next line of the child's standard output; "" when none arrives in time or the child ended.
    std::string ReadLine(int timeoutMilliseconds);
    // Whether the child is still running; reaps it once it has ended.
    bool Running();

private:
    int pid_ = -1;
    int output_ = -1;
    std::string pending_;
};

// What the fault-injecting server does wrong; the defaults make it an ordinary server.
struct FaultOptions {
    std::string Encoding = "utf8"; // "cp932": names in commands, replies and listings in CP932
    std::string ListingFile;       // LIST answers with the bytes of this file
    int DropConnects = 0;          // the first N connections are closed before the greeting
    int MdtmFailures = 0;          // the first N MDTM commands are answered 550
    std::vector<std::pair<std::string, int>> MdtmFail; // name -> its first N MDTM commands are answered 550
    std::string MdtmReply;         // MDTM (and MLSD) answer this instead of the file's time
    bool MdtmDrop = false;         // MDTM closes the control connection
    long long AbortAfter = -1;     // RETR: 426 and then 226 after this many bytes
    long long DropAfter = -1;      // RETR: the control connection is closed after this many bytes
    long long ShortAfter = -1;     // RETR: the file ends after this many bytes, with 226 as if whole
    long long SlowAfter = -1;      // RETR: pauses SlowSeconds after this many bytes
    double SlowSeconds = 0;
    std::string FaultFile;       // the RETR faults hit only this file ("": every file)
    int FaultyRetrs = -1;        // ... and only its first N transfers (-1: all)
    std::string DropConnections; // connections closed before the greeting, numbered from 1: "2-11,15"
    bool CutReplies = false;     // the closes above come after the first line of a multi-line reply
    // Name -> local file: the first RETR of the name finds it replaced by a copy of the file (bytes, time).
    std::vector<std::pair<std::string, std::string>> Replace;
    bool RefuseSize = false;     // SIZE is answered 502
    std::string CommandLog;      // every command received is appended to this file, one a line
    int DelayMs = 0;             // a slow link: every reply and data connection this many ms late
    bool NoMlst = false;         // no MLST/MLSD, and FEAT does not list them: time stamps by MDTM only
    int DropPipelined = 0;       // the Nth MDTM that arrives with more commands behind it closes the connection
    bool SwallowPipelined = false; // the second MDTM with more commands behind it is never answered
    // Command -> what it gets when more commands came behind it: "drop" closes the connection, "refuse" 503.
    std::vector<std::pair<std::string, std::string>> Pipelined;
};

// What the test servers share: a private folder (configuration, log), the server process and its port on
// 127.0.0.1.
class TestFtpServer {
public:
    int Port() const { return port_; }
    static constexpr const char* Host = "127.0.0.1";

protected:
    TempDir folder_;
    std::unique_ptr<ServerProcess> process_;
    int port_ = 0;
};

// tests/servers/fault_ftpd.py serving `root`.
class FaultFtpServer : public TestFtpServer {
public:
    explicit FaultFtpServer(const std::string& root, const FaultOptions& options = {});
    static constexpr const char* User = "towagi";
    static constexpr const char* Password = "secret";
};

// vsftpd in the foreground with a private configuration: anonymous and read-only on `root` (which it makes
// readable for vsftpd's unprivileged user), passive and active data connections.
class VsftpdServer : public TestFtpServer {
public:
    explicit VsftpdServer(const std::string& root);
    static constexpr const char* User = "anonymous";
    static constexpr const char* Password = "towagi@example.com";
};

// A port on 127.0.0.1 that nothing listened on at the moment of the call.
int UnusedPort();

} // namespace towagi::testing
