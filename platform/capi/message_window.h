#pragma once
// A window that is no widget: messages posted to it wait in its own queue, an eventfd polls
// readable while they do, and Dispatch hands them to the owner's procedure on the calling
// thread.

#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/capi/velmora_platform.h"
#include "platform/user/window.h"

namespace platform {

class MessageWindow final : public MessageSink {
  public:
    // Answers null when no descriptor can be made.
    static std::shared_ptr<MessageWindow> Create(VelmoraMessageProc proc, void* user);
    MessageWindow(int fd, VelmoraMessageProc proc, void* user);
    ~MessageWindow() override;
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    void Post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;
    // On the creating thread the procedure runs at once; elsewhere the message waits for a
    // Dispatch (or the window's end) like a posted one, and the sender waits with it.
    LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

    int Fd() const { return fd_; }
    int Dispatch();
    // Drops what waits and answers 0 to waiting senders; later messages are dropped too.
    void Close();

  private:
    struct Waiting {
        HWND hwnd;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        std::shared_ptr<std::promise<LRESULT>> reply;
    };
    void Queue(Waiting waiting);

    const int fd_;
    const VelmoraMessageProc proc_;
    void* const user_;
    const std::thread::id owner_ = std::this_thread::get_id();
    std::mutex lock_;
    std::deque<Waiting> queue_;
    bool closed_ = false;
};

}  // namespace platform
