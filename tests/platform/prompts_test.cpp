#include "platform/prompts.h"

#include "tests/common/modal_answer.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace towagi {
namespace {

using testing::ModalAnswer;

struct BoxCase {
    PromptKind kind;
    QString title;
    QStringList buttons;
    QString click;
    PromptAnswer want;
};

TEST(Prompts, EachKindShowsItsTitleButtonsAndAnswer) {
    QApplication::setApplicationName("Qrd00up");
    const QStringList ok{"OK"}, yesNo{"はい(&Y)", "いいえ(&N)"};
    for (const auto& c : std::vector<BoxCase>{
             {PromptKind::Warning, "警告", ok, "OK", PromptAnswer::Ok},
             {PromptKind::Error, "エラー", ok, "OK", PromptAnswer::Ok},
             {PromptKind::InformationQuestion, "情報", yesNo, "はい(&Y)", PromptAnswer::Yes},
             {PromptKind::InformationQuestion, "情報", yesNo, "いいえ(&N)", PromptAnswer::No},
             {PromptKind::ConfirmationQuestion, "確認", yesNo, "はい(&Y)", PromptAnswer::Yes},
             {PromptKind::ConfirmationQuestion, "確認", yesNo, "いいえ(&N)", PromptAnswer::No},
             {PromptKind::Message, "Qrd00up", ok, "OK", PromptAnswer::Ok},
         }) {
        ModalAnswer answer(c.click);
        PromptAnswer got = QtPrompts().Show(c.kind, "更新しますか？");
        ASSERT_TRUE(answer.Answered()) << c.title.toStdString();
        EXPECT_EQ(got, c.want) << c.title.toStdString();
        EXPECT_EQ(answer.Seen().Title, c.title);
        EXPECT_EQ(answer.Seen().Buttons, c.buttons) << c.title.toStdString();
        EXPECT_EQ(answer.Seen().Text, QString("更新しますか？"));
    }
}

TEST(Prompts, QuestionHelpersGoThroughTheInstalledBoxes) {
    InstallPrompts(std::make_shared<QtPrompts>());
    {
        ModalAnswer answer("はい(&Y)");
        EXPECT_TRUE(AskConfirmation("続行しますか？"));
    }
    {
        ModalAnswer answer("いいえ(&N)");
        EXPECT_FALSE(AskInformation("続行しますか？"));
    }
    ModalAnswer answer("OK");
    ShowWarning("一行目\r\n二行目\r三行目");
    EXPECT_EQ(answer.Seen().Text, QString("一行目\n二行目\n三行目"));
}

// Boxes answered without a window, each with the one answer given, and kept.
struct OneAnswerPrompts : Prompts {
    explicit OneAnswerPrompts(PromptAnswer answer) : Answer(answer) {}
    PromptAnswer Show(PromptKind kind, const std::string& text) override {
        Boxes.emplace_back(kind, text);
        return Answer;
    }
    PromptAnswer Answer;
    std::vector<std::pair<PromptKind, std::string>> Boxes;
};

// The launchers' exit code: a box that reports a failure is noted, a question is not; every box is shown
// and answered as it would be without the note.
TEST(FailureNotingPrompts, NotesWarningsErrorsAndMessagesButNotQuestions) {
    struct Case {
        PromptKind kind;
        bool failure;
        PromptAnswer answer;
    };
    for (const auto& c : std::vector<Case>{
             {PromptKind::Warning, true, PromptAnswer::Ok},
             {PromptKind::Error, true, PromptAnswer::Ok},
             {PromptKind::Message, true, PromptAnswer::Ok},
             {PromptKind::InformationQuestion, false, PromptAnswer::No},
             {PromptKind::ConfirmationQuestion, false, PromptAnswer::Yes},
         }) {
        auto shown = std::make_shared<OneAnswerPrompts>(c.answer);
        FailureNotingPrompts prompts(shown);
        EXPECT_FALSE(prompts.FailureShown());
        EXPECT_EQ(prompts.Show(c.kind, "本文"), c.answer);
        EXPECT_EQ(prompts.FailureShown(), c.failure) << static_cast<int>(c.kind);
        ASSERT_EQ(shown->Boxes.size(), 1u);
        EXPECT_EQ(shown->Boxes[0], std::make_pair(c.kind, std::string("本文")));
        // A question after a failure does not take the note back.
        prompts.Show(PromptKind::InformationQuestion, "続行しますか？");
        EXPECT_EQ(prompts.FailureShown(), c.failure);
    }
}

TEST(PromptLines, CarriageReturnsStartNewLines) {
    EXPECT_EQ(PromptLines("a\r\nb\rc\nd"), "a\nb\nc\nd");
    EXPECT_EQ(PromptLines("末尾\r"), "末尾\n");
    EXPECT_EQ(PromptLines(""), "");
}

} // namespace
} // namespace towagi
