#pragma once
#include <string>

namespace towagi {

// Starts a file hidden and waits for its process; a start failure is shown as a warning and gives false.
bool ShellExecuteAndWait(const std::string& verb, const std::string& file, const std::string& parameters);

} // namespace towagi
