#pragma once
#include <QApplication>
#include <QCursor>

namespace towagi {

// The hourglass while a long step runs; the previous cursor comes back on every path out of the step.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

} // namespace towagi
