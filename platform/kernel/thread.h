#pragma once
// A thread with one owner. The owner asks the body to stop by its own means (a flag, an event,
// a cancelled read), then joins; the destructor joins too, so a thread never outlives its owner.

#include <functional>
#include <thread>

#include "platform/kernel/sync.h"

namespace platform {

class Thread {
public:
    Thread() = default;
    explicit Thread(std::function<void()> body) { Start(std::move(body)); }
    ~Thread() { Join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the body; false when a thread is already running (it is not replaced) or when the
    // system cannot create one.
    bool Start(std::function<void()> body);
    // Waits up to the time for the body to return, then joins. True when no thread is left.
    bool Join(DWORD milliseconds = INFINITE);
    bool Joinable() const { return thread_.joinable(); }
    // An event handle that is signalled once the body has returned, for multi-object waits.
    HANDLE FinishedHandle() const { return finished_.Handle(); }

private:
    std::thread thread_;
    Event finished_{true};
};

// For tests: while shouldFail answers true, Start fails as it does when the system has no
// thread to give. An empty function ends that.
void SetThreadStartFault(std::function<bool()> shouldFail);

}  // namespace platform
