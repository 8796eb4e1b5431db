#pragma once
// Helpers for tests that need Qt's event loop.

#include <chrono>
#include <functional>

namespace velmora::test {

// Runs the Qt event loop until the condition holds or the time is up; answers the condition.
bool ProcessEventsUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace velmora::test
