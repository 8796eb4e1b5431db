#include "platform/kernel/thread.h"

namespace platform {

bool Thread::Start(std::function<void()> body) {
    if (thread_.joinable()) return false;
    finished_.Reset();
    thread_ = std::thread([this, body = std::move(body)] {
        body();
        finished_.Set();
    });
    return true;
}

bool Thread::Join(DWORD milliseconds) {
    if (!thread_.joinable()) return true;
    if (thread_.get_id() == std::this_thread::get_id()) return false;  // a thread cannot join itself
    if (!finished_.Wait(milliseconds)) return false;
    thread_.join();
    return true;
}

}  // namespace platform
