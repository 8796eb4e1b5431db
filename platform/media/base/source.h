#pragma once
// Push sources: a filter of output pins, each with a streaming thread that fills buffers and
// delivers them. The thread starts when the filter pauses and is joined when it stops.

#include <memory>
#include <vector>

#include "platform/kernel/thread.h"
#include "platform/media/base/filter.h"

class CSourceStream;

// An elapsed stream time that has no bound: the filter runs without a clock.
inline constexpr REFERENCE_TIME kUnboundedTime = 0x7FFFFFFFFFFFFFFF;

class CSource : public CBaseFilter {
  public:
    CSource(const char* name, IUnknown* outer, REFCLSID clsid, HRESULT* result = nullptr);
    ~CSource() override;

    int GetPinCount() override;
    CBasePin* GetPin(int index) override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    // Takes ownership of a pin; pins call this from their constructor.
    HRESULT AddPin(CSourceStream* pin);
    CCritSec* pStateLock() { return &m_cStateLock; }

    // How far the stream has played: running, the clock's time less the start of the run
    // (kUnboundedTime without a clock); paused, where it stood when it paused; stopped, 0.
    REFERENCE_TIME ElapsedStreamTime();
    // A new segment plays from stream time 0 again (the graph runs it from there).
    void RestartStreamTime() { pausedStreamTime_ = 0; }

  protected:
    CCritSec m_cStateLock;
    std::vector<std::unique_ptr<CSourceStream>> m_paStreams;

  private:
    std::atomic<REFERENCE_TIME> pausedStreamTime_{0};
};

class CSourceStream : public CBaseOutputPin {
  public:
    CSourceStream(const char* name, HRESULT* result, CSource* filter, LPCWSTR pinName);
    ~CSourceStream() override;

    // What a derived pin decides. FillBuffer: S_OK to deliver the sample, S_FALSE at the end
    // of the stream, an error to abort it.
    virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
    virtual HRESULT OnThreadCreate() { return S_OK; }
    virtual HRESULT OnThreadDestroy() { return S_OK; }
    virtual HRESULT OnThreadStartPlay() { return S_OK; }
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    virtual HRESULT GetMediaType(CMediaType* type);

    HRESULT Active() override;
    HRESULT Inactive() override;

    bool ThreadExists() const { return thread_.Joinable(); }

  protected:
    // Asks the streaming thread to stop and joins it. Buffers it may wait for must be freed by
    // the caller first (decommit or flush).
    void StopThread();
    // False when no thread could be started.
    bool StartThread();
    bool StopRequested() const { return stopRequested_; }
    // From FillBuffer: the sample being filled is the stream's last. It is delivered, and then
    // the thread idles until the pin stops instead of filling more.
    void EndAfterThisSample() { lastSample_ = true; }

    CSource* m_pFilter;

  private:
    void ThreadProc();
    void DoBufferProcessingLoop();

    platform::Thread thread_;
    std::atomic<bool> stopRequested_{false};
    bool lastSample_ = false;  // the streaming thread's own
    platform::Event stopEvent_{true};
};

// A source pin that can be positioned: media time always, frames when the stream has a frame
// duration. Changing the start while active flushes, restarts the thread and begins a new
// segment; the derived FillBuffer reads the positions under the seeking lock.
class CSourceSeekingStream : public CSourceStream, public IMediaSeeking {
  public:
    CSourceSeekingStream(const char* name, HRESULT* result, CSource* filter, LPCWSTR pinName);
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;

    HRESULT STDMETHODCALLTYPE GetCapabilities(DWORD* capabilities) override;
    HRESULT STDMETHODCALLTYPE CheckCapabilities(DWORD* capabilities) override;
    HRESULT STDMETHODCALLTYPE IsFormatSupported(const GUID* format) override;
    HRESULT STDMETHODCALLTYPE QueryPreferredFormat(GUID* format) override;
    HRESULT STDMETHODCALLTYPE GetTimeFormat(GUID* format) override;
    HRESULT STDMETHODCALLTYPE IsUsingTimeFormat(const GUID* format) override;
    HRESULT STDMETHODCALLTYPE SetTimeFormat(const GUID* format) override;
    HRESULT STDMETHODCALLTYPE GetDuration(LONGLONG* duration) override;
    HRESULT STDMETHODCALLTYPE GetStopPosition(LONGLONG* stop) override;
    HRESULT STDMETHODCALLTYPE GetCurrentPosition(LONGLONG* current) override;
    HRESULT STDMETHODCALLTYPE ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat,
                                                LONGLONG source, const GUID* sourceFormat) override;
    HRESULT STDMETHODCALLTYPE SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                           DWORD stopFlags) override;
    HRESULT STDMETHODCALLTYPE GetPositions(LONGLONG* current, LONGLONG* stop) override;
    HRESULT STDMETHODCALLTYPE GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
    HRESULT STDMETHODCALLTYPE SetRate(double rate) override;
    HRESULT STDMETHODCALLTYPE GetRate(double* rate) override;
    HRESULT STDMETHODCALLTYPE GetPreroll(LONGLONG* preroll) override;

  protected:
    // The stream's length and frame duration (0: no frames), in media time.
    virtual REFERENCE_TIME Duration() = 0;
    virtual REFERENCE_TIME FrameDuration() { return 0; }
    // Whether the stream can play backwards (negative rates).
    virtual bool CanPlayBackwards() { return false; }
    // Tells the derived pin that the stream restarts from the current start position.
    virtual void OnSeek() {}
    // The stop position in media time (the duration until one is set), under m_SeekLock.
    REFERENCE_TIME CurrentStop() { return stopSet_ ? m_rtStop : Duration(); }
    // The position of the sample being delivered, under m_SeekLock. The first of a segment is
    // the position that plays at stream time 0.
    void SetCurrentPosition(REFERENCE_TIME position);

    HRESULT OnThreadStartPlay() override;

    // Positions in media time, under m_SeekLock.
    CCritSec m_SeekLock;
    REFERENCE_TIME m_rtStart = 0;
    REFERENCE_TIME m_rtStop = 0;
    double m_dRateSeeking = 1.0;

  private:
    HRESULT ToMediaTime(LONGLONG value, const GUID& format, REFERENCE_TIME* time);
    HRESULT FromMediaTime(REFERENCE_TIME time, const GUID& format, LONGLONG* value);
    void Restart();
    // The position on show, under m_SeekLock: where the segment began plus the stream time
    // played at the rate, but never past the sample last delivered. Downstream may hold
    // samples delivered ahead (a splitter's queues), so the delivered one is not the one shown.
    REFERENCE_TIME ShownPosition();
    // A new segment from the start position: nothing of it delivered yet.
    void BeginSegment();

    GUID timeFormat_ = TIME_FORMAT_MEDIA_TIME;
    std::atomic<REFERENCE_TIME> current_{0};
    REFERENCE_TIME segmentBase_ = 0;  // the position at stream time 0, under m_SeekLock
    bool segmentStarted_ = false;     // a sample of the segment was delivered, under m_SeekLock
    bool stopSet_ = false;
};
