#include "app/deck_worker.h"

#include "platform/com/com.h"
#include "platform/media/ext_device.h"

namespace velmora::app {

void CDeckWorker::Queue(std::function<void()> call) {
    {
        std::lock_guard hold(lock_);
        calls_.push_back(std::move(call));
    }
    wake_.notify_one();
    if (!thread_.Joinable()) thread_.Start([this] { Run(); });
}

void CDeckWorker::Run() {
    // The toolkit needs COM on every thread that calls it.
    CoInitialize(nullptr);
    for (;;) {
        std::function<void()> call;
        {
            std::unique_lock hold(lock_);
            wake_.wait(hold, [this] { return !calls_.empty() || finishing_; });
            if (calls_.empty()) break;
            call = std::move(calls_.front());
            calls_.pop_front();
            callRunning_ = true;
        }
        call();
        std::lock_guard hold(lock_);
        callRunning_ = false;
    }
    if (capture_) Tovik_Close(capture_);
    capture_ = nullptr;
    CoUninitialize();
}

void CDeckWorker::Finish() {
    if (!thread_.Joinable()) return;
    {
        std::lock_guard hold(lock_);
        finishing_ = true;
    }
    wake_.notify_one();
    // Opening a deck places its picture window through calls that run on the window's thread
    // (this one) and wait for it; they are let through while the worker is waited for.
    while (!thread_.Join(10)) platform::DispatchQueuedMessages();
    std::lock_guard hold(lock_);
    finishing_ = false;
}

bool CDeckWorker::Busy() const {
    std::lock_guard hold(lock_);
    return callRunning_ || !calls_.empty();
}

TimecodeReading CDeckWorker::LastTimecode() const {
    std::lock_guard hold(lock_);
    return timecode_;
}

void CDeckWorker::Open(int deviceIndex, std::uint32_t flags, const TovikOpenParams& params) {
    Queue([this, deviceIndex, flags, params] {
        if (!capture_) capture_ = Tovik_Open(deviceIndex, flags, &params);
        const int error = capture_ ? 0 : Tovik_GetError(nullptr);
        PostMessage(window_, WM_DECK_OPENED, static_cast<WPARAM>(error),
                    reinterpret_cast<LPARAM>(capture_));
    });
}

void CDeckWorker::GetCapability() {
    Queue([this] {
        TovikCapability capability{};
        capability.size = sizeof(capability);
        Tovik_GetCapability(capture_, &capability);
    });
}

void CDeckWorker::Control(std::int32_t mode, std::uint32_t speed) {
    Queue([this, mode, speed] { Tovik_Control(capture_, mode, speed); });
}

void CDeckWorker::ReadTimecode() {
    Queue([this] {
        TimecodeReading reading;
        reading.timecode.size = sizeof(reading.timecode);
        reading.result = Tovik_GetTimecode(capture_, &reading.timecode);
        {
            std::lock_guard hold(lock_);
            timecode_ = reading;
        }
        PostMessage(window_, WM_DECK_TIMECODE, 0, 0);
    });
}

void CDeckWorker::TogglePlayPause() {
    Queue([this] {
        const std::int32_t mode =
            Tovik_GetControlStatus(capture_) == ED_MODE_PLAY ? ED_MODE_FREEZE : ED_MODE_PLAY;
        Tovik_Control(capture_, mode, 0);
        PostMessage(window_, WM_DECK_TOGGLED, static_cast<WPARAM>(mode), 0);
    });
}

void CDeckWorker::Close() {
    Queue([this] {
        if (capture_) Tovik_Close(capture_);
        capture_ = nullptr;
    });
}

}  // namespace velmora::app
