#include "updater/progress_window.h"

#include <QCoreApplication>
#include <QScreen>

#include <algorithm>

namespace towagi {
namespace {

constexpr int kTitleWidth = 304;

QFont DesignFont(const char* family, int pixels) {
    QFont font(QString::fromUtf8(family));
    font.setPixelSize(pixels);
    return font;
}

QLabel* MakeLabel(QWidget* parent, const char* text, QRect geometry, const QFont& font) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setGeometry(geometry);
    label->setFont(font);
    return label;
}

} // namespace

TFQRD00FT::TFQRD00FT(QWidget* owner, const EditionProfile* profile) : QDialog(owner) {
    setObjectName("TFQRD00FT");
    // A fixed dialog without border icons: the only way out is the cancel button.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowTitle(QStringLiteral("積算『とわぎ』の起動"));
    setFixedSize(426, 136);
    setFont(DesignFont("ＭＳ Ｐゴシック", 12));
    setModal(false);

    const QFont mincho16 = DesignFont("ＭＳ 明朝", 16);
    lblTitle = MakeLabel(this, "更新情報を本社に問い合わせ中です．．．", {12, 4, kTitleWidth, 16}, mincho16);
    lblStatus = MakeLabel(this, "", {8, 24, 0, 16}, mincho16);
    lblFileName = MakeLabel(this, "しばらくお待ちください。", {128, 48, 192, 16}, mincho16);
    ProgressBar = new QProgressBar(this);
    ProgressBar->setGeometry(8, 72, 409, 9);
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    const bool baseFontMessage = profile && profile->ProgressMessageInBaseFont;
    lblMsg = MakeLabel(this, "", {16, 88, 407, 12}, baseFontMessage ? font() : DesignFont("ＭＳ 明朝", 12));
    lblMsg->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    lblPsv = MakeLabel(this, "", {413, 114, 0, 13}, DesignFont("ＭＳ 明朝", 13));
    lblPsv->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    for (QLabel* black : {lblStatus, lblPsv})
        black->setStyleSheet("color: black");
    btnCancel = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    btnCancel->setGeometry(176, 106, 89, 25);
    connect(btnCancel, &QPushButton::clicked, this, &TFQRD00FT::btnCancelClick);

    Timer2 = new QTimer(this);
    Timer2->setInterval(1000);
    connect(Timer2, &QTimer::timeout, this, &TFQRD00FT::Timer2Timer);
    Timer2->start();

    FormCreate();
    QWidget::move(screen()->availableGeometry().center() - rect().center());
}

void TFQRD00FT::FormCreate() {
    cancelled_ = false;
    reconnect_ = false;
}

void TFQRD00FT::btnCancelClick() {
    lblTitle->setText(QStringLiteral("処理を中断しています。"));
    cancelled_ = true;
}

void TFQRD00FT::Timer2Timer() {
    if (OnTimer2) OnTimer2();
}

void TFQRD00FT::FitToText(QLabel* label, bool rightAligned) {
    const int width = label->fontMetrics().horizontalAdvance(label->text());
    const QRect old = label->geometry();
    const int left = rightAligned ? lblPsvRight_ - width : old.left();
    label->setGeometry(left, old.top(), width, old.height());
}

void TFQRD00FT::SetCaption(const std::string& text) { setWindowTitle(QString::fromStdString(text)); }
void TFQRD00FT::SetTitle(const std::string& text) {
    lblTitle->setText(QString::fromStdString(text));
    // A phase text longer than the label ("更新ファイルをダウンロードしています．．．") widens it within the window.
    const int wanted = lblTitle->fontMetrics().horizontalAdvance(lblTitle->text());
    const QRect old = lblTitle->geometry();
    lblTitle->setGeometry(old.left(), old.top(), std::clamp(wanted, kTitleWidth, width() - old.left()), old.height());
}
void TFQRD00FT::SetStatus(const std::string& text) {
    lblStatus->setText(QString::fromStdString(text));
    FitToText(lblStatus, false);
}
void TFQRD00FT::SetFileName(const std::string& text) { lblFileName->setText(QString::fromStdString(text)); }
void TFQRD00FT::SetMessage(const std::string& text) {
    lblMsg->setText(QString::fromStdString(text));
    lblMsg->repaint();
}
void TFQRD00FT::SetTransferMode(const std::string& text) {
    lblPsv->setText(QString::fromStdString(text));
    FitToText(lblPsv, true);
}
std::string TFQRD00FT::TransferMode() const { return lblPsv->text().toStdString(); }

void TFQRD00FT::StartProgress(int maximum) {
    ProgressBar->setRange(0, maximum);
    ProgressBar->setValue(0);
}
void TFQRD00FT::StepProgress() {
    if (ProgressBar->value() < ProgressBar->maximum()) ProgressBar->setValue(ProgressBar->value() + 1);
}
void TFQRD00FT::SetProgressPosition(int position) { ProgressBar->setValue(position); }
void TFQRD00FT::SetCancelEnabled(bool enabled) { btnCancel->setEnabled(enabled); }

void TFQRD00FT::ProcessMessages() {
    if (isVisible()) repaint();
    QCoreApplication::processEvents();
}

} // namespace towagi
