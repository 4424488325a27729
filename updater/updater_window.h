#pragma once
#include "database/control_settings.h"
#include "model/edition_profile.h"
#include "model/update_state.h"
#include "transfer/qrd_ras.h"

#include <QLabel>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace towagi {

class TFQRD00FT;

// Process-wide state of the dial-up connection.
struct DialupState {
    int DialTimeout = 90; // seconds
    int DialupMode = -1;  // dial-up is used only when greater than 0
    std::string DialupName;
    std::unique_ptr<TQRDRAS> DialConnection; // only after a dial attempt
    std::string DialStatus;
    bool DialAborted = false;
    bool DialFailed = false;
    // How long the close step waits for a hung-up link to go away.
    std::chrono::milliseconds HangUpLimit{30'000};
};

class TLHA;

// The launcher's main window, one class for both editions; its object name is the profile's
// UpdaterWindowClass. Everything between start-up and the start of the main program happens in its
// handlers: creation, show (the update), idle (a deferred LAN copy) and close (start the main program).
class TUpdaterWindow : public QWidget, public UpdaterView {
    Q_OBJECT
public:
    // `programFile` is the running launcher's full path; empty means this process's own file.
    TUpdaterWindow(const EditionProfile& profile, RegistryFileImporter* regImporter,
                   const std::string& programFile = {});
    ~TUpdaterWindow() override;

    QLabel* lblTitle;
    QLabel* lblStatus;
    QLabel* lblFileName;

    TUpdateState& State() { return state_; }
    // The cost edition's LZH archiver, for the master import; null in the estimation edition and when its
    // library could not be loaded.
    TLHA* Lha() const { return lha_.get(); }
    DialupState& Dialup() { return dialup_; }
    // The update run of FTP mode; the show step calls it with the progress window shown. Tests put their
    // own run in its place.
    std::function<void(TUpdateState&)> Execute;

    void SetCaption(const std::string& text) override;
    std::string Caption() const override;

    bool ConnectDialup();
    // Runs on the user-interface thread, whichever thread the dial-up object reported from.
    void DialNotify(unsigned message, int state, int error);
    void ShowDialStatus(const std::string& text);

signals:
    // The window has closed and every prompt of its last step has been answered: the application ends.
    void Finished();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void FormShow();
    void ApplicationIdle();
    void FormClose();
    void FormDestroy();

    bool ShowStep();
    void RunFtpMode();
    bool RunLanMode();
    void ReadDialTimeout();
    void RunPreUpdateProgram();
    void HangUpDialup();

    const EditionProfile& profile_;
    std::string programFile_;
    std::string programDir_;
    TUpdateState state_;
    DialupState dialup_;
    std::unique_ptr<TFQRD00FT> progress_;
    std::unique_ptr<TLHA> lha_; // also a child of the window, which it leaves when freed
    // The cost edition reads every setting through its control table; one attachment serves all the
    // window's reads instead of one per value.
    std::optional<TControlTableAttachment> controlTable_;
    bool shown_ = false;
    bool closed_ = false;
};

} // namespace towagi
