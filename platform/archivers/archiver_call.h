#pragma once
#include "platform/archivers/command_text.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace towagi::archivers {

// Counts the commands a library runs at the moment; its "running" entry point reports it.
class RunningCount {
public:
    explicit RunningCount(std::atomic<int>& count) : count_(count), first_(count.fetch_add(1) == 0) {}
    ~RunningCount() { count_.fetch_sub(1); }
    RunningCount(const RunningCount&) = delete;
    RunningCount& operator=(const RunningCount&) = delete;
    // False when another command was already running.
    bool First() const { return first_; }

private:
    std::atomic<int>& count_;
    bool first_;
};

// A command word and the work it does; the work returns the output text.
struct CommandWord {
    const char* Word;
    std::function<std::string(CommandText&)> Work;
};

// One command through an entry point: the CP932 command text is parsed, the work of its command word
// runs in C.UTF-8, and its output text (or, on failure, the error text behind `failurePrefix`) goes back
// in CP932 into the caller's buffer, cut at a character boundary and ended by a zero byte. Nothing is ever
// thrown to the caller: the result is 0 or an ArchiverResult code.
int RunCommand(std::atomic<int>& running, const char* commandText, char* output, std::uint32_t size,
               const std::string& failurePrefix, const std::vector<CommandWord>& commands);

// Whether an archive reads to its end without damage; never throws.
bool CheckArchive(std::atomic<int>& running, const char* archivePath,
                  const std::function<void(const std::string&)>& check);

// UTF-8 text as CP932 bytes for the output buffer; a character CP932 cannot hold shows as its \xNN bytes.
std::string OutputBytes(const std::string& text);

// The CP932 password of a -p switch, or empty.
std::string Passphrase(const std::optional<std::string>& password);

} // namespace towagi::archivers
