#pragma once
#include <QString>
#include <QStringList>
#include <QTimer>

namespace towagi::testing {

// What a modal box showed before the test answered it.
struct SeenBox {
    QString Title;
    QString Text;
    QStringList Buttons;
};

// Answers the next modal box by clicking the button with the wanted text, as a user would.
// Seen() reports what the box showed; Answered() whether a box appeared at all.
class ModalAnswer {
public:
    explicit ModalAnswer(QString buttonText);
    ModalAnswer(const ModalAnswer&) = delete;
    ModalAnswer& operator=(const ModalAnswer&) = delete;
    bool Answered() const { return answered_; }
    const SeenBox& Seen() const { return seen_; }

private:
    void Poll();
    QString buttonText_;
    bool answered_ = false;
    QTimer timer_;
    SeenBox seen_;
};

} // namespace towagi::testing
