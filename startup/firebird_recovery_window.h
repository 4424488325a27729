#pragma once
#include "model/edition_profile.h"

#include <QDialog>
#include <QFrame>
#include <QPlainTextEdit>
#include <QPushButton>

namespace towagi {

// The Firebird service recovery window (TFQRD00FB / TFPLX00FB, the object name from the profile): it tells
// the user that an OS update removed the database service and how to register it again. Button1 closes
// it with OK (Accepted); the close box closes it without (Rejected).
class TFirebirdRecoveryWindow : public QDialog {
    Q_OBJECT
public:
    explicit TFirebirdRecoveryWindow(const EditionProfile& profile, QWidget* owner = nullptr);

    QFrame* UpperPanel;  // disabled: its texts cannot be selected or edited
    QFrame* InnerPanel;  // the cream panel with a lowered double bevel
    QPlainTextEdit* Memo1; // the three red lines
    QPlainTextEdit* Memo2; // the steps
    QFrame* LowerPanel;
    QPushButton* Button1;

protected:
    // Only the button and the close box end the window; Escape does nothing, as on the suite's platform.
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace towagi
