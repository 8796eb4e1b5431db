#pragma once
// The deck's device calls, on a thread of their own. Every AV/C command that a deck leaves
// unanswered costs its whole time-out, so nothing that talks to the deck runs on the window's
// thread: the window hands the calls over in the order it makes them and they run here one after
// another; the answers the window needs come back as posted window messages. The worker owns
// the capture object from its open to its close; the window borrows the handle in between for
// the calls that never reach the deck (the preview window, recording, stills).

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/kernel/thread.h"
#include "platform/user/window.h"
#include "toolkit/tovik.h"

namespace velmora::app {

// Answers posted to the window.
// The open's outcome: wParam = the open error (0 when opened), lParam = the handle or 0.
inline constexpr UINT WM_DECK_OPENED = WM_USER + 110;
// A timecode read has finished: LastTimecode() holds its result.
inline constexpr UINT WM_DECK_TIMECODE = WM_USER + 111;
// The play/pause toggle has sent its command: wParam = the transport mode sent.
inline constexpr UINT WM_DECK_TOGGLED = WM_USER + 112;

struct TimecodeReading {
    int result = 0;  // what Tovik_GetTimecode answered
    TovikTimecode timecode{};
};

class CDeckWorker {
  public:
    explicit CDeckWorker(HWND window) : window_(window) {}
    ~CDeckWorker() { Finish(); }
    CDeckWorker(const CDeckWorker&) = delete;
    CDeckWorker& operator=(const CDeckWorker&) = delete;

    // The calls, queued in this order. Call them from the window's thread.
    void Open(int deviceIndex, std::uint32_t flags, const TovikOpenParams& params);
    void GetCapability();
    void Control(std::int32_t mode, std::uint32_t speed);
    void ReadTimecode();
    // Pauses a playing tape and plays any other: the status read and the command it decides
    // run as one call, so a second press sees the first one's effect.
    void TogglePlayPause();
    void Close();

    TimecodeReading LastTimecode() const;
    // True while calls are queued or one is running.
    bool Busy() const;
    // Runs what is queued, closes the capture object if it is still open and ends the thread.
    // Window messages queued meanwhile are delivered while it waits: the owner window ignores
    // them from then on.
    void Finish();

  private:
    void Queue(std::function<void()> call);
    void Run();

    const HWND window_;
    TovikCaptureHandle capture_ = nullptr;  // the worker thread's alone

    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> calls_;
    bool callRunning_ = false;
    bool finishing_ = false;
    TimecodeReading timecode_;

    platform::Thread thread_;  // the owner's: started by the first call, joined by Finish
};

}  // namespace velmora::app
