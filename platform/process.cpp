#include "platform/process.h"

#include "platform/batch_runner.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/settings.h"
#include "support/text.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

extern char** environ;

namespace towagi {
namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string SearchPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path) return {};
    std::string folders = path;
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        // An empty PATH entry means the current folder.
        std::string candidate = (end > start ? folders.substr(start, end - start) : std::string(".")) + "/" + name;
        if (IsExecutableFile(candidate) && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

bool StartsWithMZ(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::array<char, 2> magic{};
    ssize_t got = read(fd, magic.data(), magic.size());
    close(fd);
    return got == 2 && magic[0] == 'M' && magic[1] == 'Z';
}

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* Get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

bool IsBatchFile(const std::string& path) {
    return path.size() >= 4 && SameText(path.substr(path.size() - 4), ".bat");
}

// pkexec's own exit codes for a refusal.
constexpr int kConsentDismissed = 126;
constexpr int kNotAuthorised = 127;

// The descriptor replaces a standard one in the started program.
void Redirect(posix_spawn_file_actions_t* actions, int from, int to) {
    if (from >= 0 && from != to) posix_spawn_file_actions_adddup2(actions, from, to);
}

StartResult Failed(int errorCode) {
    StartResult result;
    result.ErrorCode = errorCode;
    result.ErrorText = SystemErrorText(errorCode);
    return result;
}

// A hidden batch file the launcher waits for runs inside it, through the same runner: no process of the
// runner's own to start and load, which the service query at every start would otherwise pay for. As in a
// runner process of its own, standard input is empty, output is discarded and the programs it starts have no
// terminal; the exit code is what the process's would be.
StartResult RunHiddenBatch(const StartRequest& request, const std::string& program) {
    FileDescriptor nothing(request.Input >= 0 ? -1 : open("/dev/null", O_RDONLY | O_CLOEXEC));
    FileDescriptor discard(request.Output >= 0 && request.ErrorOutput >= 0
                               ? -1
                               : open("/dev/null", O_WRONLY | O_CLOEXEC));
    if ((request.Input < 0 && !nothing.IsOpen()) ||
        ((request.Output < 0 || request.ErrorOutput < 0) && !discard.IsOpen()))
        return Failed(errno);
    TBatchRunner runner(SystemServiceSources(), {.Input = request.Input >= 0 ? request.Input : nothing.Get(),
                                                 .Output = request.Output >= 0 ? request.Output : discard.Get(),
                                                 .Error = request.ErrorOutput >= 0 ? request.ErrorOutput
                                                                                   : discard.Get(),
                                                 .Window = StartWindow::Hidden});
    StartResult result;
    result.Started = true;
    try {
        result.ExitCode = runner.RunFile(program, SplitParameters(request.Parameters)) & 0xFF;
    } catch (const std::exception&) {
        result.ExitCode = 1;
    }
    return result;
}

} // namespace

std::vector<std::string> SplitParameters(const std::string& parameters) {
    std::vector<std::string> arguments;
    std::string current;
    bool inQuotes = false, inArgument = false;
    for (char c : parameters) {
        if (c == '"') {
            inQuotes = !inQuotes;
            inArgument = true;
        } else if ((c == ' ' || c == '\t') && !inQuotes) {
            if (inArgument) arguments.push_back(current);
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument) arguments.push_back(current);
    return arguments;
}

std::string FindOnPath(const std::string& name) {
    return SearchPath(name);
}

std::string ResolveProgram(const std::string& file) {
    if (file.empty()) return {};
    if (file.find('/') != std::string::npos) return IsExecutableFile(file) ? file : std::string();
    if (IsExecutableFile(file)) return "./" + file;
    return SearchPath(file);
}

std::string BatchRunnerProgram() {
    const std::string beside = GetProgramDir() + kBatchRunnerName;
    if (IsExecutableFile(beside) && access(beside.c_str(), X_OK) == 0) return beside;
    return SearchPath(kBatchRunnerName);
}

StartResult StartFile(const StartRequest& request) {
    const std::string program = ResolveProgram(request.File);
    if (program.empty()) return Failed(ENOENT);

    std::vector<std::string> arguments;
    if (IsBatchFile(program) && request.Verb != "runas" && request.Window == StartWindow::Hidden &&
        request.Wait == StartWait::WaitForExit)
        return RunHiddenBatch(request, program);
    if (IsBatchFile(program)) {
        const std::string runner = BatchRunnerProgram();
        if (runner.empty()) return Failed(ENOEXEC);
        arguments.push_back(runner);
    } else if (StartsWithMZ(program)) {
        // Windows programs of the suite run through wine where it is installed.
        const std::string wine = SearchPath("wine");
        if (wine.empty()) return Failed(ENOEXEC);
        arguments.push_back(wine);
    } else if (access(program.c_str(), X_OK) != 0) {
        return Failed(errno == EACCES ? ENOEXEC : errno);
    }
    arguments.push_back(program);
    for (auto& parameter : SplitParameters(request.Parameters)) arguments.push_back(parameter);
    const bool throughPkexec = request.Verb == "runas" && geteuid() != 0;
    if (throughPkexec) {
        const std::string pkexec = SearchPath("pkexec");
        if (pkexec.empty()) return Failed(EPERM);
        arguments.insert(arguments.begin(), pkexec);
    }

    SpawnActions actions;
    SpawnAttributes attributes;
    if (request.Window == StartWindow::Hidden) {
        // Hidden: no terminal, output discarded.
        posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(actions.Get(), 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(actions.Get(), 2, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_setflags(attributes.Get(), POSIX_SPAWN_SETSID);
    }
    Redirect(actions.Get(), request.Input, 0);
    Redirect(actions.Get(), request.Output, 1);
    Redirect(actions.Get(), request.ErrorOutput, 2);

    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    int error = posix_spawn(&pid, argv[0], actions.Get(), attributes.Get(), argv.data(), environ);
    if (error != 0) return Failed(error);

    StartResult result;
    result.Started = true;
    if (request.Wait == StartWait::NoWait) return result;

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return result;
    }
    if (WIFEXITED(status))
        result.ExitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.ExitCode = 128 + WTERMSIG(status);
    // A refused consent is a start that failed, as the platform's own elevation reports it.
    if (throughPkexec && result.ExitCode == kConsentDismissed) return Failed(ECANCELED);
    if (throughPkexec && result.ExitCode == kNotAuthorised) return Failed(EACCES);
    return result;
}

} // namespace towagi
