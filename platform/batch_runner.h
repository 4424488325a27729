#pragma once
#include "platform/process.h"

#include <optional>
#include <string>
#include <vector>

namespace towagi {

// The program that runs ".bat" files, installed beside the launchers.
inline constexpr const char* kBatchRunnerName = "towagi-bat";

// towagi-bat beside the running program, else the one on PATH; "" when there is none.
std::string BatchRunnerProgram();

// One service as "sc query" shows it.
struct TServiceInfo {
    std::string Name;        // without ".service"
    std::string DisplayName; // the unit's description; the name when it has none
    bool Running = false;
};

// Where the services the service manager knows are found.
struct TServiceSources {
    std::vector<std::string> UnitFolders; // systemd's unit search path, in its order
    std::string InitScriptFolder;         // SysV init scripts
    // systemd is the running service manager: only then is it asked which units it has loaded. Without it
    // systemctl can only fail, after the time it takes to find out.
    bool SystemdRunning = true;
};

// The name of the variable that tells which service manager runs, "systemd" or "none"; unset, systemd runs
// when its runtime folder exists, as sd_booted() tells.
inline constexpr const char* kServiceManagerVariable = "TOWAGI_SERVICE_MANAGER";
inline constexpr const char* kSystemdRuntimeFolder = "/run/systemd/system";

// This machine's: systemd's system unit search path ($SYSTEMD_UNIT_PATH replaces it as it does for systemd,
// an empty last component keeps the usual path behind it), /etc/init.d, and whether systemd runs.
TServiceSources SystemServiceSources();

// The services the service manager knows: the loaded service units as systemctl (from PATH) lists them
// while systemd runs, with their descriptions and whether they run; then the service unit files of the unit
// folders that are not loaded (disabled ones too); then the executable SysV init scripts that no unit
// stands for. A systemctl that is missing or fails adds nothing. The unit files are read from the folders
// rather than asked of systemctl, whose listing of unit files works out every file's enablement and costs
// more than the rest of the start-up together.
std::vector<TServiceInfo> ListServices(const TServiceSources& sources);

// One command of a batch line as the runner has read it.
struct TBatchRedirection {
    int Fd = 1;          // the descriptor redirected: 0, 1 or 2
    std::string Target;  // a file name; "" when ToFd is set
    bool Append = false; // ">>"
    int ToFd = -1;       // "2>&1": the descriptor it joins
};
struct TBatchCommand {
    std::vector<std::string> Words; // quotes and escapes removed
    std::string Text;               // as written, without its redirections
    std::vector<TBatchRedirection> Redirections;
};

// Runs batch files as the suite and the suite's tools write them. Per line: %NAME% (from the environment,
// "" when unset), %0 to %9, %* and %~dp0 are expanded first; commands are joined by "&", "&&" and "||",
// stages of a pipeline by "|", redirections are ">", ">>", "<", "2>" and "2>&1" ("nul" discards); double
// quotes group and "^" escapes one character; "@" in front of a command, "rem" and "::" lines are taken as
// the command interpreter takes them. Built in: "sc query [state= all|inactive]", "find [/i] [/v] [/c]
// [/n] "text"" (standard input only) and "echo". A command named by a Windows path ("%WINDIR%\SYSTEM32\find")
// counts by its last part; any other command runs as a program from the current folder or PATH. The
// stages of a pipeline run one after another through temporary files.
// The descriptors a run has as its standard input, output and error, and the window its programs start with.
struct TBatchConsole {
    int Input = 0;
    int Output = 1;
    int Error = 2;
    StartWindow Window = StartWindow::Normal;
};

class TBatchRunner {
public:
    explicit TBatchRunner(TServiceSources sources = SystemServiceSources(), TBatchConsole console = {});

    // Every line of the file (CP932, or UTF-8 after a byte-order mark); the exit code of the last
    // command, 1 when the file cannot be read (told on standard error).
    int RunFile(const std::string& path, const std::vector<std::string>& arguments = {});
    // One line with the run's standard input, output and error; its exit code.
    int RunLine(const std::string& line);

private:
    std::string Expand(const std::string& line) const;
    int RunPipeline(const std::vector<TBatchCommand>& pipeline);
    int RunCommand(const TBatchCommand& command, int input, int output, int error);
    int Sc(const std::vector<std::string>& words, int output, int error);
    const std::vector<TServiceInfo>& Services();

    TServiceSources sources_;
    TBatchConsole console_;
    std::string batchFile_;
    std::vector<std::string> arguments_;
    int errorLevel_ = 0; // the exit code of the last command run
    // One listing serves every "sc" of a run: the services do not change between two commands of a line.
    std::optional<std::vector<TServiceInfo>> services_;
};

} // namespace towagi
