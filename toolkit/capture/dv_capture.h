#pragma once
// A capture object: one DV device, its capture graph (live preview, recording) or write graph
// (a file played out to the device), its transport, timecode and capabilities.

#include <atomic>
#include <memory>

#include "platform/com/com_ptr.h"
#include "platform/filters/file_output.h"
#include "platform/kernel/thread.h"
#include "platform/media/ext_device.h"
#include "toolkit/graph/direct_show.h"
#include "toolkit/capture/recording_report.h"
#include "toolkit/graph/frame_decoder.h"
#include "toolkit/graph/lock.h"
#include "toolkit/tovik.h"

enum CaptureState : std::int32_t {
    kCaptureClosed = 0,
    kCaptureOpen = 1,
    kCaptureRecording = 2,
    kCaptureWriting = 3,
    kCaptureWriteReady = 6,
};

// Error codes of a failed open.
enum CaptureError : std::int32_t {
    kErrorNone = 0,
    kErrorAlreadyOpen = 1,
    kErrorBadParams = 2,
    kErrorNoDevice = 4,
    kErrorDeviceNotConnectable = 5,
    kErrorFilterMissing = 6,
    kErrorInterfaceMissing = 7,
    kErrorPreviewNotConnectable = 8,
    kErrorFilterNotAdded = 9,
    kErrorNoGraph = 10,
};

class CDVCapture final : public CDirectShow {
  public:
    CDVCapture() = default;
    ~CDVCapture() override;

    int Open(int deviceIndex, std::uint32_t flags, const TovikOpenParams* params);
    int Close();
    std::int32_t Error() const { return m_nError; }

    int SetPreviewWindowStyle(int extended, std::int32_t style);
    int SetPreviewWindowRect(const TovikRect* rect);
    int ShowPreviewWindow(int command);

    int StartRec(const char* path, int keepPreview);
    int StopRec();
    int GetRecStatus(TovikProgress* progress);
    // Frames written, lost before them and damaged in the current (or last) recording.
    int GetRecReport(TovikRecReport* report);
    int SetWriteFile(const char* path);
    int WriteStart();
    int WriteStop();
    int GetWriteFileLength(std::int64_t* length);
    int GetWriteStatus(TovikProgress* progress);

    int Control(std::int32_t mode, std::uint32_t speed);
    int GetControlStatus();
    int GetTimecode(TovikTimecode* timecode);
    int GetCapability(TovikCapability* capability);

    int GetOneShot(void* picture, int* result);
    int SaveBmp(const char* path);

    ISampleGrabber* Grabber() const { return grabber_.Get(); }

  private:
    bool WriteMode() const { return (flags_ & TOVIK_OPEN_WRITE) != 0; }
    int Fail(std::int32_t error);
    void ReleaseBuilt();
    bool ConnectPreview();
    bool ObtainInterfaces();
    void ReleaseInterfaces();
    void EventLoop();
    // Undoes whatever a failed or finished recording left of its branch; the graph is stopped.
    void TakeDownRecordBranch();
    // Disconnects and forgets the pins of the write plan, so that another file can be loaded.
    void TakeDownWriteBranch();
    // The first error with which the record branch failed to write its file, S_OK while none;
    // *matches is set when `error` is one of the branch's errors.
    HRESULT RecordFailure(HRESULT error = S_OK, bool* matches = nullptr) const;
    void OnGraphEvent(LONG code, LONG_PTR param1);
    void Post(LONG code, LONG_PTR param1) const;
    // One raw AV/C exchange through the device filter; false when it did not take place, and
    // then *timedOut (when given) tells whether the deck left the command unanswered.
    bool RawCommand(std::uint8_t* buffer, LONG* length, bool* timedOut = nullptr);
    int Shuttle(bool reverse, std::uint32_t level);
    IBaseFilter* FilterAt(int entry) const;

    CLock transportLock_;
    HANDLE eventHandle_ = nullptr;
    platform::Thread eventThread_;
    std::unique_ptr<CFilterTable> table_;
    int filterCount_ = 0;
    std::int64_t writeLength_ = 0;
    int keepPreview_ = 1;
    std::uint32_t flags_ = 0;
    TovikOpenParams params_{};
    std::atomic<bool> run_{false};
    std::atomic<std::int32_t> state_{kCaptureClosed};
    std::atomic<bool> recordFailureReported_{false};  // for the recording begun last
    std::atomic<HRESULT> recordEnded_{S_OK};  // why the stream ended the recording, if it did

    platform::ComPtr<IMediaControl> control_;
    platform::ComPtr<IAMExtTransport> transport_;
    platform::ComPtr<IAMExtDevice> device_;
    platform::ComPtr<IMediaEvent> events_;
    platform::ComPtr<IVideoWindow> videoWindow_;
    platform::ComPtr<IIPDVDec> decoderDisplay_;
    platform::ComPtr<IFileSinkFilter2> fileSink_;
    platform::ComPtr<IMediaSeeking> writeSeeking_;
    platform::ComPtr<IMediaSeeking> recordSeeking_;
    platform::ComPtr<IVelmoraWriteStatus> muxStatus_;  // set at open, read by the event thread
    platform::ComPtr<IVelmoraWriteStatus> writerStatus_;
    platform::ComPtr<ISampleGrabber> grabber_;
    platform::ComPtr<IAMTimecodeReader> timecodeReader_;
    tovik::CFrameDecoder decoder_;  // decodes stills; built at open
    tovik::RecordingReport report_;  // the tape report of the recordings
};

// The last open error of the process (read by Tovik_GetError with a null handle).
extern std::atomic<std::int32_t> g_lastOpenError;
