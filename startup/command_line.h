#pragma once
#include "model/edition_profile.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace towagi {

// Exit codes of the launchers, besides 0 for a run that went as it should.
inline constexpr int kExitFailureShown = 1; // the run told the user of a failure, also when it went on
inline constexpr int kExitCannotStart = 2;  // a wrong argument or no display: nothing was done

// The launchers take no arguments for their work. "--help" and "--version" answer on `out` and end the
// program (0); any other argument is refused on `err` (kExitCannotStart). Empty: go on and run.
// `args` is the whole command line, the program itself first.
std::optional<int> HandleCommandLine(const EditionProfile& profile, const std::vector<std::string>& args,
                                     std::ostream& out, std::ostream& err);

// Why the windows cannot be shown, told before Qt tries: no platform chosen (QT_QPA_PLATFORM) and neither an
// X nor a Wayland display in the environment. "" when there is one.
std::string MissingDisplay();

// While it lives, a fatal error of Qt (its platform plug-in cannot reach the display, say) ends the process
// with a message on standard error and kExitCannotStart instead of an abort. Qt's other messages are
// handled as before.
class DisplayFailureGuard {
public:
    explicit DisplayFailureGuard(const std::string& programName);
    ~DisplayFailureGuard();
    DisplayFailureGuard(const DisplayFailureGuard&) = delete;
    DisplayFailureGuard& operator=(const DisplayFailureGuard&) = delete;
};

} // namespace towagi
