#pragma once
#include "support/update_state.h"

#include <string>
#include <vector>

namespace towagi::testing {

// The progress window as the transfer steps see it, keeping what they showed.
class RecordingProgressView : public ProgressView {
public:
    void SetCaption(const std::string& text) override { Caption = text; }
    void SetTitle(const std::string& text) override { Title = text; }
    void SetStatus(const std::string& text) override { Status = text; }
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
    void ProcessMessages() override { ++Repaints; }

    std::string Caption, Title = "unset", Status = "unset", FileName = "unset", Message, Mode;
    std::vector<std::string> FileNames;
    std::vector<int> Positions;
    int Maximum = -1, Position = -1, Repaints = 0;
    bool CancelEnabled = true, CancelPressed = false, ReconnectSet = false;
};

class RecordingUpdaterView : public UpdaterView {
public:
    void SetCaption(const std::string& text) override { Text = text; }
    std::string Caption() const override { return Text; }
    std::string Text = "積算『とわぎ』の起動";
};

} // namespace towagi::testing
