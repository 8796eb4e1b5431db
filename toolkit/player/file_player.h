#pragma once
// A file player: one DV AVI file played into a video window inside the caller's window, with
// sound, driven like a tape transport. Positions, lengths and ranges are frame numbers.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/com/com_ptr.h"
#include "platform/kernel/thread.h"
#include "toolkit/graph/direct_show.h"
#include "toolkit/graph/frame_decoder.h"
#include "toolkit/tovik.h"

enum PlayerState : std::int32_t { kPlayerClosed = 0, kPlayerOpen = 2 };

// Causes of a failed open (the capture family's numbers where they mean the same). Copying
// the table, loading the file and connecting have no code of their own and leave 0.
enum PlayerError : std::int32_t {
    kPlayErrorNone = 0,
    kPlayErrorNoCode = 0,
    kPlayErrorAlreadyOpen = -1,
    kPlayErrorBadParams = 2,
    kPlayErrorFilterMissing = 6,
    kPlayErrorInterfaceMissing = 7,
    kPlayErrorFilterNotAdded = 9,
    kPlayErrorNoGraph = 10,
};

class CFilePlayer final : public CDirectShow {
  public:
    CFilePlayer() = default;
    ~CFilePlayer() override;

    int Open(const TovikPlayParams* params, const char* fileName);
    int Close();
    std::int32_t Error() const { return m_nError; }
    bool IsOpen() const { return state_ == kPlayerOpen; }

    int Control(int command);
    int GetCurrentPos(std::int64_t* position);
    int SetCurrentPos(std::int64_t position);
    int SetPlayRange(std::int64_t first, std::int64_t last);
    int GetLength(std::int64_t* length);
    int SetCallback(TovikWindow window, std::uint32_t message, int flags);
    int SetLoop(int loop);

    int ShowWindow(int windowState);
    int SetWindowRect(const TovikRect* rect);
    int SetWindowStyle(int which, int style);

    int GetOneShot(void* picture, int* out);
    int SaveBmp(const char* fileName);

  private:
    int Fail(std::int32_t error);
    std::int32_t BuildGraph(const TovikPlayParams& params, const char* fileName);
    void LeaveOwner();
    void ReleaseInterfaces();
    bool LoadFile(const char* fileName);
    bool ObtainInterfaces(const TovikPlayParams& params);
    void EventLoop();
    // Starts the play range again at the rate last set, unless Close has begun: Close waits for
    // a restart under way, and none starts after it, so none runs the graph Close stopped.
    void RestartRange();
    // Seeks current to the frame given and stop to just after the frame last, so that last is
    // the final frame shown (the platform's stop position is the first frame not delivered).
    HRESULT Seek(std::int64_t current, std::int64_t last);
    // A paused graph is settled once its renderers hold the frame to show: waiting for that
    // after a pause or seek keeps the next seek from being overtaken by the position of a frame
    // still on its way. A running graph does not wait.
    void Settle();
    void PauseAndSettle();
    std::int64_t Current();
    IBaseFilter* FilterAt(int entry) const;

    std::unique_ptr<CFilterTable> table_;
    TovikPlayParams params_{};
    // Written by the exports, read by the graph event thread.
    std::atomic<int> loop_{0};
    std::atomic<std::int64_t> rangeFirst_{0};
    std::atomic<std::int64_t> rangeLast_{0};
    std::atomic<TovikWindow> notifyWindow_{0};
    std::atomic<std::uint32_t> notifyMessage_{0};

    platform::ComPtr<IMediaControl> control_;
    platform::ComPtr<IMediaEvent> events_;
    platform::ComPtr<IVideoWindow> videoWindow_;
    platform::ComPtr<IMediaSeeking> seeking_;
    platform::ComPtr<ISampleGrabber> grabber_;
    std::int64_t duration_ = 0;
    HANDLE eventHandle_ = nullptr;
    std::atomic<bool> run_{false};
    std::mutex restartLock_;  // a loop restart against Close
    bool closing_ = false;    // under restartLock_
    std::atomic<std::int32_t> state_{kPlayerClosed};
    platform::Thread eventThread_;  // after everything its body touches: it goes first
    tovik::CFrameDecoder decoder_;  // decodes stills; built at open
};

// The cause of the last failed TovikPlay_Open (0 after a successful one).
extern std::atomic<std::int32_t> g_lastPlayOpenError;
