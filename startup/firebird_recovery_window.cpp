#include "startup/firebird_recovery_window.h"

#include <QKeyEvent>
#include <QScreen>

namespace towagi {
namespace {

const QColor kInnerPanelColour(255, 251, 240);

QFont Mincho16(bool bold = false) {
    QFont font(QStringLiteral("ＭＳ 明朝"));
    font.setPixelSize(16);
    font.setBold(bold);
    return font;
}

// A borderless, read-only text block on the inner panel's colour. The colours are set for every state, so
// the disabled panel does not grey them.
QPlainTextEdit* Memo(QWidget* parent, const QStringList& lines, const QColor& text, bool bold) {
    auto* memo = new QPlainTextEdit(parent);
    memo->setFrameShape(QFrame::NoFrame);
    memo->setReadOnly(true);
    memo->setTextInteractionFlags(Qt::NoTextInteraction);
    memo->setFocusPolicy(Qt::NoFocus);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo->setFont(Mincho16(bold));
    QPalette palette = memo->palette();
    palette.setColor(QPalette::Base, kInnerPanelColour);
    palette.setColor(QPalette::Text, text);
    memo->setPalette(palette);
    memo->setPlainText(lines.join('\n'));
    return memo;
}

} // namespace

TFirebirdRecoveryWindow::TFirebirdRecoveryWindow(const EditionProfile& profile, QWidget* owner)
    : QDialog(owner) {
    setObjectName(QString::fromStdString(profile.FirebirdRecoveryWindowClass));
    // A fixed window whose only border icon is the close box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromStdString(profile.FirebirdRecoveryCaption));
    setFixedSize(592, 303);
    setFont(Mincho16());

    UpperPanel = new QFrame(this);
    UpperPanel->setGeometry(0, 0, 592, 239);
    UpperPanel->setEnabled(false);

    InnerPanel = new QFrame(UpperPanel);
    InnerPanel->setGeometry(18, 16, 549, 219);
    InnerPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    InnerPanel->setLineWidth(2);
    InnerPanel->setAutoFillBackground(true);
    QPalette cream = InnerPanel->palette();
    cream.setColor(QPalette::Window, kInnerPanelColour);
    InnerPanel->setPalette(cream);

    Memo1 = Memo(InnerPanel,
                 {QString::fromStdString(profile.FirebirdRecoveryFirstLine),
                  QStringLiteral("データベース接続ツール「Firebirdサービス」が削除され、"),
                  QStringLiteral("起動できない状態です。")},
                 Qt::red, true);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(18, 18, 515, 57);

    Memo2 = Memo(InnerPanel,
                 {QStringLiteral("以下の操作手順で、「Firebirdサービス」の再登録を行ってください。"), QString(),
                  QStringLiteral(" 1.「Firebirdサービス再登録開始」ボタンをクリック"),
                  QStringLiteral(" 2.「ユーザーアカウント制御」画面の「はい」ボタンをクリック"), QString(),
                  QStringLiteral("※上記内容を確認後、下の「Firebirdサービス再登録開始」ボタンを"),
                  QStringLiteral("　クリックしてください。")},
                 palette().color(QPalette::Active, QPalette::WindowText), false);
    Memo2->setObjectName(QStringLiteral("Memo2"));
    Memo2->setGeometry(18, 86, 531, 131);

    LowerPanel = new QFrame(this);
    LowerPanel->setGeometry(0, 239, 592, 64);

    Button1 = new QPushButton(QStringLiteral("Firebirdサービス再登録開始"), LowerPanel);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(178, 16, 233, 29);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);

    move(screen()->availableGeometry().center() - rect().center());
}

void TFirebirdRecoveryWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace towagi
