#include "tests/support/qt_main.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace velmora::test {

bool ProcessEventsUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

}  // namespace velmora::test
