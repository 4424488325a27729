#include "tests/servers/ftp_servers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace towagi::testing {
namespace {

constexpr int kStartTimeoutMs = 10000;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    }
    ~Socket() { close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool Accepts(int port) {
    Socket probe;
    sockaddr_in address = Loopback(port);
    return connect(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// vsftpd serves only what its unprivileged user may read, and only world-readable files to anonymous users.
void MakeWorldReadable(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    auto readable = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    auto enterable = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    fs::permissions(root, readable | enterable, fs::perm_options::add);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_symlink()) continue;
        fs::permissions(entry.path(), entry.is_directory() ? readable | enterable : readable,
                        fs::perm_options::add);
    }
}

} // namespace

ServerProcess::ServerProcess(const std::vector<std::string>& argv, const std::string& logFile) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int result = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (result != 0) {
        close(pipeFds[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(result));
    }
    output_ = pipeFds[0];
}

ServerProcess::~ServerProcess() {
    if (Running()) {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200 && Running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (Running()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (output_ >= 0) close(output_);
}

bool ServerProcess::Running() {
    if (pid_ < 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == 0) return true;
    pid_ = -1;
    return false;
}

std::string ServerProcess::ReadLine(int timeoutMilliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    for (;;) {
        if (auto end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        pollfd wanted{output_, POLLIN, 0};
        if (poll(&wanted, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[256];
        ssize_t got = read(output_, buffer, sizeof buffer);
        if (got <= 0) return "";
        pending_.append(buffer, static_cast<size_t>(got));
    }
}

FaultFtpServer::FaultFtpServer(const std::string& root, const FaultOptions& options) {
    std::vector<std::string> argv{"/usr/bin/python3",
                                  std::string(TOWAGI_TEST_SERVERS_DIR) + "/fault_ftpd.py"};
    auto add = [&argv](const char* name, const std::string& value) {
        argv.push_back(name);
        argv.push_back(value);
    };
    add("--root", root);
    add("--encoding", options.Encoding);
    if (!options.ListingFile.empty()) add("--listing", options.ListingFile);
    if (options.DropConnects > 0) add("--drop-connects", std::to_string(options.DropConnects));
    if (options.MdtmFailures > 0) add("--mdtm-failures", std::to_string(options.MdtmFailures));
    for (const auto& [name, count] : options.MdtmFail)
        add("--mdtm-fail", name + "=" + std::to_string(count));
    if (!options.MdtmReply.empty()) add("--mdtm-reply", options.MdtmReply);
    if (options.MdtmDrop) argv.push_back("--mdtm-drop");
    if (options.AbortAfter >= 0) add("--abort-after", std::to_string(options.AbortAfter));
    if (options.DropAfter >= 0) add("--drop-after", std::to_string(options.DropAfter));
    if (options.ShortAfter >= 0) add("--short-after", std::to_string(options.ShortAfter));
    if (options.SlowAfter >= 0) {
        add("--slow-after", std::to_string(options.SlowAfter));
        add("--slow-seconds", std::to_string(options.SlowSeconds));
    }
    if (!options.FaultFile.empty()) add("--fault-file", options.FaultFile);
    if (options.FaultyRetrs >= 0) add("--faulty-retrs", std::to_string(options.FaultyRetrs));
    if (!options.DropConnections.empty()) add("--drop-connections", options.DropConnections);
    if (options.CutReplies) argv.push_back("--cut-replies");
    for (const auto& [name, source] : options.Replace)
        add("--replace", name + "=" + source);
    if (options.RefuseSize) argv.push_back("--refuse-size");
    if (!options.CommandLog.empty()) add("--command-log", options.CommandLog);
    if (options.DelayMs > 0) add("--delay-ms", std::to_string(options.DelayMs));
    if (options.NoMlst) argv.push_back("--no-mlst");
    if (options.DropPipelined > 0) add("--drop-pipelined", std::to_string(options.DropPipelined));
    if (options.SwallowPipelined) argv.push_back("--swallow-pipelined");
    for (const auto& [command, how] : options.Pipelined)
        add("--pipelined", command + "=" + how);
    std::string log = folder_.File("fault_ftpd.log");
    process_ = std::make_unique<ServerProcess>(argv, log);
    std::string line = process_->ReadLine(kStartTimeoutMs);
    if (line.rfind("PORT ", 0) != 0)
        throw std::runtime_error("fault_ftpd.py did not start: " + line + "\n" + ReadText(log));
    port_ = std::stoi(line.substr(5));
}

VsftpdServer::VsftpdServer(const std::string& root) {
    MakeWorldReadable(root);
    std::string empty = folder_.File("empty");
    std::filesystem::create_directory(empty);
    std::string log = folder_.File("vsftpd.log");
    // The port is free when chosen but another process may take it first: then try another one.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = UnusedPort();
        std::string config = folder_.File("vsftpd.conf");
        {
            std::ofstream out(config);
            out << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port_ << "\n"
                << "background=NO\n"
                << "anonymous_enable=YES\nno_anon_password=YES\nanon_root=" << root << "\n"
                << "local_enable=NO\nwrite_enable=NO\n"
                << "pasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
                << "use_localtime=NO\ndirmessage_enable=NO\nxferlog_enable=NO\nsyslog_enable=NO\n"
                << "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\nmax_per_ip=0\nmax_clients=0\n"
                << "secure_chroot_dir=" << empty << "\n";
            // Without root there is no user to change to: the server runs as whoever started it.
            if (geteuid() != 0) out << "run_as_launching_user=YES\n";
        }
        process_ = std::make_unique<ServerProcess>(std::vector<std::string>{"/usr/sbin/vsftpd", config}, log);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
        while (process_->Running() && std::chrono::steady_clock::now() < deadline) {
            if (Accepts(port_)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        process_.reset();
    }
    throw std::runtime_error("vsftpd did not start:\n" + ReadText(log));
}

int UnusedPort() {
    Socket probe;
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    if (bind(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error(std::string("no free port: ") + std::strerror(errno));
    return ntohs(address.sin_port);
}

} // namespace towagi::testing
