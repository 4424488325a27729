#pragma once
#include <memory>
#include <string>
#include <utility>

namespace towagi {

// The five kinds of modal message box every step asks and reports through.
enum class PromptKind { Warning, Error, InformationQuestion, ConfirmationQuestion, Message };
enum class PromptAnswer { Ok, Yes, No };

class Prompts {
public:
    virtual ~Prompts() = default;
    virtual PromptAnswer Show(PromptKind kind, const std::string& text) = 0;
};

// Real Qt message boxes with the suite's titles, icons and button texts.
class QtPrompts : public Prompts {
public:
    PromptAnswer Show(PromptKind kind, const std::string& text) override;
};

// Passes every box on to `shown` and notes whether one told the user of a failure: a warning, an error or a
// plain message (the launchers show plain messages only for failures: a category not fetched, a damaged
// archive). Questions are not failures. The launchers' exit code comes from it.
class FailureNotingPrompts : public Prompts {
public:
    explicit FailureNotingPrompts(std::shared_ptr<Prompts> shown) : shown_(std::move(shown)) {}
    PromptAnswer Show(PromptKind kind, const std::string& text) override;
    bool FailureShown() const { return failureShown_; }

private:
    std::shared_ptr<Prompts> shown_;
    bool failureShown_ = false;
};

// The process's prompts: Qt message boxes unless another realisation was installed.
void InstallPrompts(std::shared_ptr<Prompts> prompts);
Prompts& CurrentPrompts();

void ShowWarning(const std::string& text);
void ShowError(const std::string& text);
bool AskInformation(const std::string& text);  // true for "はい(&Y)"
bool AskConfirmation(const std::string& text); // true for "はい(&Y)"
void ShowMessage(const std::string& text);

// CR LF and lone CR start new lines in a box, as they do on the suite's original platform.
std::string PromptLines(const std::string& text);

} // namespace towagi
