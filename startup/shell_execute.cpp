#include "startup/shell_execute.h"

#include "platform/process.h"
#include "platform/prompts.h"

#include <exception>

namespace towagi {

bool ShellExecuteAndWait(const std::string& verb, const std::string& file, const std::string& parameters) {
    const std::string failure = "ShellExecuteInfoの実行に失敗しました。";
    try {
        StartResult result = StartFile({.Verb = verb,
                                        .File = file,
                                        .Parameters = parameters,
                                        .Window = StartWindow::Hidden,
                                        .Wait = StartWait::WaitForExit});
        if (!result.Started) {
            ShowWarning(failure + "\r" + result.ErrorText);
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        ShowWarning(failure + "\r" + e.what());
        return false;
    }
}

} // namespace towagi
