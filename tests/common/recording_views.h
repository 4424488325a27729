#pragma once
#include "model/update_state.h"
#include "platform/prompts.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace towagi::testing {

// The progress window as the transfer steps see it, keeping what they showed.
class RecordingProgressView : public ProgressView {
public:
    void SetCaption(const std::string& text) override { Caption = text; }
    void SetTitle(const std::string& text) override { Title = text; }
    void SetStatus(const std::string& text) override { Status = text; }
    std::string TitleText() const override { return Title; }
    std::string StatusText() const override { return Status; }
    void SetFileName(const std::string& text) override {
        FileName = text;
        FileNames.push_back(text);
    }
    void SetMessage(const std::string& text) override { Message = text; }
    void SetTransferMode(const std::string& text) override { Mode = text; }
    std::string TransferMode() const override { return Mode; }
    void StartProgress(int maximum) override {
        Maximum = maximum;
        Position = 0;
    }
    void StepProgress() override { ++Position; }
    void SetProgressPosition(int position) override {
        Position = position;
        Positions.push_back(position);
    }
    void SetCancelEnabled(bool enabled) override { CancelEnabled = enabled; }
    bool Cancelled() const override { return CancelPressed; }
    void SetCancelled() override { CancelPressed = true; }
    bool Reconnect() const override { return ReconnectSet; }
    void SetReconnect(bool reconnect) override { ReconnectSet = reconnect; }
    void ProcessMessages() override {
        ++Repaints;
        if (OnProcessMessages) OnProcessMessages(*this);
    }
    // What a user does while the window takes messages, such as pressing cancel at a certain file.
    std::function<void(RecordingProgressView&)> OnProcessMessages;

    std::string Caption, Title = "unset", Status = "unset", FileName = "unset", Message, Mode;
    std::vector<std::string> FileNames;
    std::vector<int> Positions;
    int Maximum = -1, Position = -1, Repaints = 0;
    bool CancelEnabled = true, CancelPressed = false, ReconnectSet = false;
};

// The retry pauses, recorded instead of slept.
class RecordingClock : public RetryClock {
public:
    void Pause(int milliseconds) override {
        Pauses.push_back(milliseconds);
        if (OnPause) OnPause(milliseconds);
    }
    std::vector<int> Pauses;
    // What happens while a pause passes, such as the user pressing cancel.
    std::function<void(int milliseconds)> OnPause;
};

class RecordingUpdaterView : public UpdaterView {
public:
    void SetCaption(const std::string& text) override { Text = text; }
    std::string Caption() const override { return Text; }
    std::string Text = "積算『とわぎ』の起動";
};

// Message boxes answered without a window: each question takes the next answer (Yes when none is left),
// and every box is recorded.
class RecordingPrompts : public Prompts {
public:
    struct Box {
        PromptKind Kind;
        std::string Text;
    };
    PromptAnswer Show(PromptKind kind, const std::string& text) override {
        Boxes.push_back({kind, text});
        if (kind != PromptKind::InformationQuestion && kind != PromptKind::ConfirmationQuestion)
            return PromptAnswer::Ok;
        if (Answers.empty()) return PromptAnswer::Yes;
        const PromptAnswer answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
    std::vector<std::string> Texts(PromptKind kind) const {
        std::vector<std::string> texts;
        for (const Box& box : Boxes)
            if (box.Kind == kind) texts.push_back(box.Text);
        return texts;
    }
    std::vector<Box> Boxes;
    std::deque<PromptAnswer> Answers;
};

// Installs recording prompts for one test and puts the real message boxes back afterwards.
class ScopedRecordingPrompts {
public:
    ScopedRecordingPrompts() { InstallPrompts(Boxes); }
    ~ScopedRecordingPrompts() { InstallPrompts(std::make_shared<QtPrompts>()); }
    ScopedRecordingPrompts(const ScopedRecordingPrompts&) = delete;
    ScopedRecordingPrompts& operator=(const ScopedRecordingPrompts&) = delete;
    RecordingPrompts* operator->() const { return Boxes.get(); }
    std::shared_ptr<RecordingPrompts> Boxes = std::make_shared<RecordingPrompts>();
};

} // namespace towagi::testing
