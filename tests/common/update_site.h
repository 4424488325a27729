#pragma once
#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "support/settings.h"
#include "tests/common/recording_views.h"
#include "tests/common/test_env.h"
#include "tests/common/trace_lines.h"
#include "tests/servers/ftp_servers.h"
#include "tests/support/support_test_helpers.h"
#include "transfer/ftp_connection.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace towagi::testing {

inline const std::string kUpdateSettings = std::string(kProductRoot) + "\\PATH\\UPDATE";
inline const std::string kSlotSettings = std::string(kProductRoot) + "\\PATH\\DB_DATA";

// 2024-03-01 10:00:00 Japanese time: what the server's files carry unless a test says otherwise.
inline constexpr std::time_t kServerTime = 1709254800;

inline void SetModifiedTime(const std::string& path, std::time_t time) {
    const timespec times[2] = {{time, 0}, {time, 0}};
    Require(utimensat(AT_FDCWD, path.c_str(), times, 0) == 0, "file time of " + path);
}

inline std::time_t ModifiedTime(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return -1;
    return info.st_mtime;
}

inline bool Exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// A workstation and its update server: program folder (the current folder, as when the launcher runs),
// update folder, installed Excel and Frame folders, private hives, the update's state with a recording
// progress window and clock, prompts that answer as told, and the fault-injecting server on the "server"
// folder.
// Local time is Japanese, so a staged file carries the very time the server's file has.
class UpdateSite {
public:
    explicit UpdateSite(const EditionProfile& edition = EstimationEdition())
        : Profile(edition), previous_(std::filesystem::current_path()) {
        for (const char* folder : {"program", "update", "server", "program/EXCEL", "program/FRAME"})
            std::filesystem::create_directories(root_.File(folder));
        ExeDir = root_.Dir() + "program/";
        UpdateDir = root_.Dir() + "update/";
        ServerDir = root_.Dir() + "server/";
        std::filesystem::current_path(ExeDir);
        WriteMachineString(kUpdateSettings, Profile.UpdatePathValue, "|" + UpdateDir, true);
        WriteMachineString(std::string(kProductRoot) + "\\PATH\\EXCEL", Profile.UpdatePathValue,
                           "|" + ExeDir + "EXCEL", true);
        WriteMachineString(std::string(kProductRoot) + "\\PATH\\FRAME", Profile.UpdatePathValue,
                           "|" + ExeDir + "FRAME", true);
        State.Profile = &Profile;
        State.TraceLog = std::make_unique<TTraceLog>(root_.File("trace.log"));
        State.ProgressWindow = &Progress;
        State.MainWindow = &Main;
        State.Clock = &Clock;
        State.ExeName = Profile.ProgramName;
        State.ExeDir = ExeDir;
        State.UpdateDir = UpdateDir;
    }
    ~UpdateSite() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
    }
    UpdateSite(const UpdateSite&) = delete;
    UpdateSite& operator=(const UpdateSite&) = delete;

    // A file below the server folder ("towagi/UPDATE/a.exe"), with the given time.
    void ServerFile(const std::string& path, const std::string& bytes, std::time_t time = kServerTime) {
        LocalFile(ServerDir + path, bytes, time);
    }
    void LocalFile(const std::string& path, const std::string& bytes, std::time_t time = kServerTime) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        WriteFile(path, bytes);
        SetModifiedTime(path, time);
    }
    void Switch(const std::string& name, int value) { WriteMachineInteger(kUpdateSettings, name, value, true); }
    void Slot(int number, const std::string& value) {
        WriteMachineString(kSlotSettings, "PATH" + std::to_string(number), value, true);
    }

    // Starts the server (again) and stores its connection settings.
    void StartServer(const FaultOptions& options = {}) {
        Server.reset();
        Server = std::make_unique<FaultFtpServer>(ServerDir, options);
        WriteMachineString(kUpdateSettings, "FTP_HOST", FaultFtpServer::Host, true);
        WriteMachineInteger(kUpdateSettings, "FTP_Port", Server->Port(), true);
        WriteMachineString(kUpdateSettings, "FTP_UserID", FaultFtpServer::User, true);
        WriteMachineString(kUpdateSettings, "FTP_Password", FaultFtpServer::Password, true);
    }
    // Starts the server and connects the client to it.
    void Start(const FaultOptions& options = {}) {
        StartServer(options);
        Client = CreateFTPClient(State);
        Client->SetHost(FaultFtpServer::Host);
        Client->SetPort(Server->Port());
        Client->SetUsername(FaultFtpServer::User);
        Client->SetPassword(FaultFtpServer::Password);
        Client->Connect();
        Require(Client->Connected(), "connected to the test server");
    }

    std::vector<std::string> Trace() const { return ReadTraceLines(root_.File("trace.log")); }
    // The texts of one operation's lines, in order.
    std::vector<std::string> TraceOf(const std::string& operation) const {
        std::vector<std::string> texts;
        for (const std::string& line : Trace())
            if (line.rfind(operation + " ; ", 0) == 0) texts.push_back(line.substr(operation.size() + 3));
        return texts;
    }
    bool Traced(const std::string& line) const {
        for (const std::string& written : Trace())
            if (written == line) return true;
        return false;
    }

private:
    ScopedTimeZone zone_{"JST-9"};
    ScopedHives hives_;
    TempDir root_;

public:
    EditionProfile Profile;
    std::string ExeDir, UpdateDir, ServerDir;
    TUpdateState State;
    RecordingProgressView Progress;
    RecordingUpdaterView Main;
    ScopedRecordingPrompts Prompts;
    RecordingClock Clock;
    std::unique_ptr<FaultFtpServer> Server;
    std::unique_ptr<TQrdFTP> Client;

private:
    std::filesystem::path previous_;
};

} // namespace towagi::testing
