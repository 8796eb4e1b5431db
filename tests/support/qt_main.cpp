#include "tests/support/qt_main.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace velmora::test {

bool ProcessEventsUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // A ticking timer wakes the wait below, so the loop sleeps between events instead of
    // spinning.
    QTimer tick;
    tick.start(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace velmora::test
