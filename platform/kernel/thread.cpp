#include "platform/kernel/thread.h"

#include <mutex>
#include <system_error>

namespace platform {

namespace {

std::mutex g_faultLock;
std::function<bool()> g_startFault;

bool StartFails() {
    std::lock_guard lock(g_faultLock);
    return g_startFault && g_startFault();
}

}  // namespace

bool Thread::Start(std::function<void()> body) {
    if (thread_.joinable() || StartFails()) return false;
    finished_.Reset();
    try {
        thread_ = std::thread([this, body = std::move(body)] {
            body();
            finished_.Set();
        });
    } catch (const std::system_error&) {
        finished_.Set();  // nothing runs, so nothing is left to wait for
        return false;
    }
    return true;
}

void SetThreadStartFault(std::function<bool()> shouldFail) {
    std::lock_guard lock(g_faultLock);
    g_startFault = std::move(shouldFail);
}

bool Thread::Join(DWORD milliseconds) {
    if (!thread_.joinable()) return true;
    if (thread_.get_id() == std::this_thread::get_id()) return false;  // a thread cannot join itself
    if (!finished_.Wait(milliseconds)) return false;
    thread_.join();
    return true;
}

}  // namespace platform
