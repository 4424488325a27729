#pragma once
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace towagi::archivers {

// A command or an archive failed; the text goes to the caller's output buffer, the code is its result.
class EArchiverError : public std::runtime_error {
public:
    EArchiverError(int code, const std::string& message) : std::runtime_error(message), Code(code) {}
    int Code;
};

// One command text as the adapters send it: a command word, then arguments and switches in any order.
// Blanks separate words; double quotes group blanks and are dropped, also inside a word (-o"D/").
// A word that begins with '-' outside quotes is a switch; a quoted "-name" is an argument.
class CommandText {
public:
    // Raises EArchiverError for an empty text, a missing command word or an unbalanced quote.
    explicit CommandText(std::string_view text);

    // The command word in lower case.
    const std::string& Command() const { return command_; }
    const std::vector<std::string>& Arguments() const { return arguments_; }

    // Switch names compare without regard to letter case. A switch given twice is refused, so that a
    // second -o cannot send the output somewhere else.
    bool TakeFlag(std::string_view name);
    // The rest of the switch that begins with the name ("o" for -o"D/" gives "D/").
    std::optional<std::string> TakeValue(std::string_view name);
    // Every switch that begins with the name (-i! may be given several times).
    std::vector<std::string> TakeAll(std::string_view name);
    // Raises for the first switch nobody took.
    void RefuseOthers() const;

private:
    struct Switch {
        std::string Text; // without the leading '-'
        bool Taken = false;
    };
    std::vector<Switch*> Matching(std::string_view name, bool exact);

    std::string command_;
    std::vector<std::string> arguments_;
    std::vector<Switch> switches_;
};

} // namespace towagi::archivers
