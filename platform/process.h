#pragma once
#include <string>
#include <vector>

namespace towagi {

// How a start ended. Failures to start are results, never errors: the callers decide what the user sees.
struct StartResult {
    bool Started = false;
    int ErrorCode = 0;     // errno of a failed start
    std::string ErrorText; // the system's description of that failure
    int ExitCode = -1;     // when waited for: the exit status, or 128 + signal
};

enum class StartWindow { Normal, Hidden };
enum class StartWait { NoWait, WaitForExit };

struct StartRequest {
    std::string Verb{};     // "" = the file's default action; "runas" = with administrator rights
    std::string File{};     // a path, or a bare name found in the current folder or on PATH
    std::string Parameters{};// one command-line text, split as the suite's original shell splits it
    StartWindow Window = StartWindow::Normal;
    StartWait Wait = StartWait::NoWait;
    // Descriptors the program gets as its standard input, output and error; -1 leaves what the window
    // choice gives (hidden: nothing to read and output discarded; normal: the launcher's own).
    int Input = -1;
    int Output = -1;
    int ErrorOutput = -1;
};

// Starts a file in the launcher's current folder with its environment. A native executable or a "#!"
// script runs as it is; a Windows executable runs through wine when it is installed; a ".bat" file runs
// through the batch runner: inside the launcher when it is hidden and waited for without "runas", otherwise
// as the program towagi-bat. With "runas" and the launcher not root the command goes through
// pkexec; when waited for, pkexec's refusal (126: the user dismissed the dialog, 127: not authorised) counts
// as a start that failed.
StartResult StartFile(const StartRequest& request);

// Splits a command-line text at blanks; double quotes group blanks into one argument.
std::vector<std::string> SplitParameters(const std::string& parameters);

// The executable file of that name in the first PATH folder that has one; "" when none has.
std::string FindOnPath(const std::string& name);

// The program a name resolves to: a path with '/' as it is; a bare name from the current folder first,
// then from PATH. Empty when nothing is found.
std::string ResolveProgram(const std::string& file);

} // namespace towagi
