#pragma once
// A file reader: frame-exact access to a DV AVI file (NTSC DV, 720x480) through a decoding
// graph that is seeked to one frame and run until it completes for every read.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "bridge/source_bridge.h"
#include "platform/com/com_ptr.h"
#include "platform/filters/avi_format.h"
#include "platform/kernel/thread.h"
#include "toolkit/graph/direct_show.h"
#include "toolkit/graph/lock.h"
#include "toolkit/tovik.h"

namespace tovik {

inline constexpr std::uint32_t kDvFrameBytes = 120000;
inline constexpr std::uint32_t kPictureBytes = 720 * 480 * 3;
inline constexpr std::uint32_t kFrameAudioBytes = 6480;
inline constexpr std::uint32_t k32kReadBytes = 4320;
inline constexpr std::uint32_t kConverted32kBytes = 6408;
inline constexpr std::uint32_t kGetAudioBufferBytes = 6600;

inline constexpr int kOpenRender = 0x1;
inline constexpr int kOpenSyncRender = 0x4;

// What the AAUX source pack of a DV frame says about its audio.
struct FrameAudio {
    bool is32k;
    std::uint32_t samples;  // stereo pairs in the frame
};
FrameAudio ReadAudioPack(const std::uint8_t* dvFrame);

// Stretches one frame of 16-bit stereo linearly onto the destination length, end pairs aligned.
void ConvertRate(void* destination, std::uint32_t destinationBytes, const void* source,
                 std::uint32_t sourceBytes);

}  // namespace tovik

class CFileReader final : public CDirectShow {
  public:
    CFileReader() = default;
    ~CFileReader() override;

    int Open(const char* fileName, int flags);
    int Close();
    std::uint32_t GetLength() const { return opened_ ? frameCount_ : 0; }
    int GetFrame(std::uint32_t frame, void* video, void* audio, int* audioBytes);
    int GetAudio(std::uint32_t first, std::uint32_t count, void* buffer);
    std::int32_t Error() const { return m_nError; }
    // Why the last Open failed (TOVIK_FILE_ERROR_...).
    std::int32_t OpenError() const { return openError_; }

    // Render modes: the caller's procedures fill the bridges' sample buffers.
    using RenderProc = TovikRenderProc;
    using SyncRenderProc = TovikSyncRenderProc;
    int SetRenderProc(RenderProc video, void* videoUser, RenderProc audio, void* audioUser);
    int SetSyncRenderingProc(SyncRenderProc proc, void* user);
    int StartRendering(int notifyMode, std::uint32_t window, std::uint32_t message);

  private:
    bool RenderMode() const {
        return (flags_ & (tovik::kOpenRender | tovik::kOpenSyncRender)) != 0;
    }
    bool FrameAccess() const { return flags_ == 0; }
    bool AudioAccess() const {
        return flags_ != 0 && (flags_ & (tovik::kOpenRender | tovik::kOpenSyncRender)) == 0;
    }
    int OpenAccess(const char* fileName);
    int Fail();
    void ReleaseBuilt();
    bool LoadFile(const char* fileName);
    bool SetFullDecode();
    bool ConnectAccess();
    bool Is625LineFile() const;
    bool ObtainInterfaces();
    bool RunToFrame(std::uint32_t frame);
    // Copies the grabber's sample (at most capacity bytes) and says how many bytes it held.
    bool Copy(ISampleGrabber* grabber, std::uint32_t capacity, void* into,
              std::uint32_t* copied = nullptr);
    bool SamplesOfFrame(std::vector<std::uint8_t>& dvFrame, std::uint32_t* samples);
    bool ReadFrameChunks();
    bool SamplesInFile(std::uint32_t frame, std::uint32_t* samples);
    bool FillIndexUpTo(std::uint32_t first, std::uint32_t* start);
    void CopyFrameAudio(void* audio, int* audioBytes, const tovik::FrameAudio& pack);

    int OpenRender(const char* fileName);
    bool ConfigureBridge(int entry, LONG size, const AM_MEDIA_TYPE* type, BridgeRenderProc fill);
    bool ObtainRenderInterfaces();
    static LONG FillVideo(BYTE* buffer, LONG* size, void* reader);
    static LONG FillAudio(BYTE* buffer, LONG* size, void* reader);
    LONG HandOff(bool video, BYTE* buffer, LONG* size);
    void SyncLoop();
    void EventLoop();
    void EndSync();
    void StopRenderThreads();

    // One side of the synchronised hand-off: the buffer a bridge waits to have filled.
    struct Pending {
        BYTE* buffer = nullptr;
        LONG* size = nullptr;
        bool waiting = false;
    };

    std::atomic<RenderProc> videoProc_{nullptr}, audioProc_{nullptr};
    std::atomic<void*> videoUser_{nullptr}, audioUser_{nullptr};
    SyncRenderProc syncProc_ = nullptr;  // set before rendering starts, read by the synchroniser
    void* syncUser_ = nullptr;
    bool synchronised_ = false;
    std::mutex syncLock_;  // the hand-off; never held while calling the caller's procedure
    std::condition_variable syncWake_;
    Pending pendingVideo_, pendingAudio_;
    std::uint64_t syncCycles_ = 0;  // completed procedure calls
    LONG syncResult_ = 1;
    bool syncEnded_ = false;  // the procedure returned 0 or the reader is closing
    platform::Thread syncThread_;

    std::atomic<int> notifyMode_{0};
    std::atomic<std::uint32_t> notifyWindow_{0}, notifyMessage_{0};
    HANDLE eventHandle_ = nullptr;
    std::atomic<bool> eventRun_{false};
    platform::Thread eventThread_;

    CLock accessLock_;
    std::unique_ptr<CFilterTable> table_;
    int filterCount_ = 0;
    std::uint32_t frameCount_ = 0;
    std::vector<std::uint32_t> sampleIndex_;  // audio access: first sample of each frame
    // Audio access: where the frames lie in the file, read for the index on first use.
    platform::ComPtr<IAsyncReader> frameFile_;
    std::vector<platform::avi::IndexEntry> frameChunks_;
    std::uint32_t frameChunkId_ = 0;
    bool chunksRead_ = false;
    int flags_ = 0;
    bool opened_ = false;
    std::int32_t openError_ = TOVIK_FILE_ERROR_NOT_DV_AVI;

    platform::ComPtr<IMediaSeeking> seeking_;
    platform::ComPtr<ISampleGrabber> videoGrabber_;
    platform::ComPtr<ISampleGrabber> audioGrabber_;
    platform::ComPtr<ISampleGrabber> dvGrabber_;
    platform::ComPtr<IMediaEvent> events_;
    platform::ComPtr<IMediaControl> control_;
};
