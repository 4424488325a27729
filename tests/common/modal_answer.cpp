#include "tests/common/modal_answer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace towagi::testing {

ModalAnswer::ModalAnswer(QString buttonText) : buttonText_(std::move(buttonText)) {
    // The timer dies with this object, so a box that never comes leaves nothing behind.
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(20);
}

void ModalAnswer::Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (answered_ || !box) return;
    timer_.stop();
    seen_.Title = box->windowTitle();
    seen_.Text = box->text();
    for (QAbstractButton* button : box->buttons()) seen_.Buttons << button->text();
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == buttonText_) {
            answered_ = true;
            button->click();
            return;
        }
    }
    // No such button: close the box so the test ends with a failure instead of hanging.
    answered_ = true;
    box->reject();
}

} // namespace towagi::testing
