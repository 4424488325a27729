#include "platform/prompts.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <mutex>

namespace towagi {
namespace {

std::mutex promptsGuard;
std::shared_ptr<Prompts> installedPrompts;

struct BoxStyle {
    QMessageBox::Icon Icon;
    QString Title;
    bool Question;
};

BoxStyle StyleOf(PromptKind kind) {
    switch (kind) {
    case PromptKind::Warning: return {QMessageBox::Warning, QStringLiteral("警告"), false};
    case PromptKind::Error: return {QMessageBox::Critical, QStringLiteral("エラー"), false};
    case PromptKind::InformationQuestion: return {QMessageBox::Information, QStringLiteral("情報"), true};
    case PromptKind::ConfirmationQuestion: return {QMessageBox::Question, QStringLiteral("確認"), true};
    case PromptKind::Message: break;
    }
    return {QMessageBox::NoIcon, QApplication::applicationName(), false};
}

} // namespace

std::string PromptLines(const std::string& text) {
    std::string lines;
    lines.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            lines += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            lines += text[i];
        }
    }
    return lines;
}

PromptAnswer QtPrompts::Show(PromptKind kind, const std::string& text) {
    const BoxStyle style = StyleOf(kind);
    QMessageBox box(style.Icon, style.Title, QString::fromStdString(PromptLines(text)), QMessageBox::NoButton,
                    QApplication::activeWindow());
    if (!style.Question) {
        box.setDefaultButton(box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
        box.exec();
        return PromptAnswer::Ok;
    }
    QPushButton* yes = box.addButton(QStringLiteral("はい(&Y)"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("いいえ(&N)"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes ? PromptAnswer::Yes : PromptAnswer::No;
}

PromptAnswer FailureNotingPrompts::Show(PromptKind kind, const std::string& text) {
    if (kind == PromptKind::Warning || kind == PromptKind::Error || kind == PromptKind::Message)
        failureShown_ = true;
    return shown_->Show(kind, text);
}

void InstallPrompts(std::shared_ptr<Prompts> prompts) {
    std::lock_guard lock(promptsGuard);
    installedPrompts = std::move(prompts);
}

Prompts& CurrentPrompts() {
    std::lock_guard lock(promptsGuard);
    if (!installedPrompts) installedPrompts = std::make_shared<QtPrompts>();
    return *installedPrompts;
}

void ShowWarning(const std::string& text) { CurrentPrompts().Show(PromptKind::Warning, text); }
void ShowError(const std::string& text) { CurrentPrompts().Show(PromptKind::Error, text); }
bool AskInformation(const std::string& text) {
    return CurrentPrompts().Show(PromptKind::InformationQuestion, text) == PromptAnswer::Yes;
}
bool AskConfirmation(const std::string& text) {
    return CurrentPrompts().Show(PromptKind::ConfirmationQuestion, text) == PromptAnswer::Yes;
}
void ShowMessage(const std::string& text) { CurrentPrompts().Show(PromptKind::Message, text); }

} // namespace towagi
