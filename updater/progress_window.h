#pragma once
#include "model/edition_profile.h"
#include "model/update_state.h"

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <functional>

namespace towagi {

// The progress window of an update: phase, detail, file, bar, message line, transfer mode and cancel.
class TFQRD00FT : public QDialog, public ProgressView {
    Q_OBJECT
public:
    // Without a profile the window has the estimation edition's layout.
    explicit TFQRD00FT(QWidget* owner, const EditionProfile* profile = nullptr);

    QLabel* lblTitle;
    QLabel* lblStatus;
    QLabel* lblFileName;
    QProgressBar* ProgressBar;
    QLabel* lblMsg;
    QLabel* lblPsv;
    QPushButton* btnCancel;
    QTimer* Timer2;

    // What the one-second timer signals: the dial-up wait sets its flag here.
    std::function<void()> OnTimer2;

    void SetCaption(const std::string& text) override;
    void SetTitle(const std::string& text) override;
    void SetStatus(const std::string& text) override;
    std::string TitleText() const override { return lblTitle->text().toStdString(); }
    std::string StatusText() const override { return lblStatus->text().toStdString(); }
    void SetFileName(const std::string& text) override;
    void SetMessage(const std::string& text) override;
    void SetTransferMode(const std::string& text) override;
    std::string TransferMode() const override;
    void StartProgress(int maximum) override;
    void StepProgress() override;
    void SetProgressPosition(int position) override;
    void SetCancelEnabled(bool enabled) override;
    bool Cancelled() const override { return cancelled_; }
    void SetCancelled() override { cancelled_ = true; }
    bool Reconnect() const override { return reconnect_; }
    void SetReconnect(bool reconnect) override { reconnect_ = reconnect; }
    void ProcessMessages() override;

public slots:
    void btnCancelClick();
    void Timer2Timer();

private:
    void FormCreate();
    void FitToText(QLabel* label, bool rightAligned);

    bool cancelled_ = false;
    bool reconnect_ = false;
    int lblPsvRight_ = 413;
};

} // namespace towagi
