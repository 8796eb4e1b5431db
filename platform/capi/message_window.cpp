#include "platform/capi/message_window.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

std::shared_ptr<MessageWindow> MessageWindow::Create(VelmoraMessageProc proc, void* user) {
    if (!proc) return nullptr;
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    return std::make_shared<MessageWindow>(fd, proc, user);
}

MessageWindow::MessageWindow(int fd, VelmoraMessageProc proc, void* user)
    : fd_(fd), proc_(proc), user_(user) {}

MessageWindow::~MessageWindow() {
    Close();
    ::close(fd_);
}

void MessageWindow::Close() {
    std::deque<Waiting> dropped;
    {
        std::lock_guard lock(lock_);
        closed_ = true;
        dropped.swap(queue_);
    }
    for (Waiting& waiting : dropped)
        if (waiting.reply) waiting.reply->set_value(0);
}

void MessageWindow::Queue(Waiting waiting) {
    {
        std::lock_guard lock(lock_);
        if (closed_) {
            if (waiting.reply) waiting.reply->set_value(0);
            return;
        }
        queue_.push_back(std::move(waiting));
    }
    const std::uint64_t one = 1;
    // A full counter still polls readable, so a failed write loses no wake-up.
    [[maybe_unused]] ssize_t written = ::write(fd_, &one, sizeof one);
}

void MessageWindow::Post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Queue({hwnd, message, wParam, lParam, nullptr});
}

LRESULT MessageWindow::Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (std::this_thread::get_id() == owner_) {
        proc_(hwnd, message, wParam, lParam, user_);
        return 0;
    }
    auto reply = std::make_shared<std::promise<LRESULT>>();
    auto answer = reply->get_future();
    Queue({hwnd, message, wParam, lParam, std::move(reply)});
    return answer.get();
}

int MessageWindow::Dispatch() {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(fd_, &count, sizeof count);
    std::deque<Waiting> taken;
    {
        std::lock_guard lock(lock_);
        taken.swap(queue_);
    }
    // The procedure runs outside the lock: it may post to this window again.
    for (Waiting& waiting : taken) {
        proc_(waiting.hwnd, waiting.message, waiting.wParam, waiting.lParam, user_);
        if (waiting.reply) waiting.reply->set_value(0);
    }
    return static_cast<int>(taken.size());
}

}  // namespace platform
