#pragma once
// The DV camera/VCR device filter: one per DV unit. "DV A/V Out" and "DV Vid Out" are live
// outputs of what the unit sends; "DV A/V In" sends frames to the unit and ends a stream like a
// renderer. The transport, device and timecode interfaces speak AV/C to the unit.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/dv/dif.h"
#include "platform/dv1394/dv_link_stats.h"
#include "platform/dv1394/dv_unit.h"
#include "platform/media/base/filter.h"
#include "platform/media/ext_device.h"

namespace platform::dv1394 {

class CDvDeviceFilter;

class CDvOutputPin final : public CBaseOutputPin {
  public:
    CDvOutputPin(CDvDeviceFilter* filter, LPCWSTR name, bool interleaved);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT CheckConnect(IPin* pin) override;
    // Delivers one frame from the unit, unless no buffer is free at once (then it is dropped).
    // `number` is the frame's place in the unit's stream, its media time.
    void Push(const std::uint8_t* frame, std::size_t size, REFERENCE_TIME start, LONGLONG number);
    long Overruns() const { return overruns_; }

  private:
    bool interleaved_;
    std::atomic<long> overruns_{0};
};

class CDvInputPin final : public CBaseInputPin {
  public:
    explicit CDvInputPin(CDvDeviceFilter* filter);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
    HRESULT STDMETHODCALLTYPE EndOfStream() override;
    HRESULT STDMETHODCALLTYPE BeginFlush() override;
    HRESULT STDMETHODCALLTYPE EndFlush() override;

  private:
    CDvDeviceFilter* m_pDevice;
};

class CDvDeviceFilter final : public CBaseFilter,
                              public IAMExtTransport,
                              public IAMExtDevice,
                              public IAMTimecodeReader,
                              public IVelmoraDvLinkStats {
  public:
    explicit CDvDeviceFilter(std::shared_ptr<DvUnit> unit);
    ~CDvDeviceFilter() override;
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;
    static HRESULT Create(std::shared_ptr<DvUnit> unit, IBaseFilter** filter);

    int GetPinCount() override { return 3; }
    CBasePin* GetPin(int index) override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;

    // IAMExtTransport
    HRESULT STDMETHODCALLTYPE GetCapability(LONG capability, LONG* value, double* d) override;
    HRESULT STDMETHODCALLTYPE put_MediaState(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_MediaState(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_LocalControl(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_LocalControl(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStatus(LONG item, LONG* value) override;
    HRESULT STDMETHODCALLTYPE GetTransportBasicParameters(LONG param, LONG* value,
                                                          LPOLESTR* data) override;
    HRESULT STDMETHODCALLTYPE SetTransportBasicParameters(LONG, LONG, LPCOLESTR) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetTransportVideoParameters(LONG, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetTransportVideoParameters(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTransportAudioParameters(LONG, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetTransportAudioParameters(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Mode(LONG mode) override;
    HRESULT STDMETHODCALLTYPE get_Mode(LONG* mode) override;
    HRESULT STDMETHODCALLTYPE put_Rate(double) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Rate(double*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetChase(LONG*, LONG*, HANDLE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetChase(LONG, LONG, HANDLE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBump(LONG*, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetBump(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_AntiClogControl(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_AntiClogControl(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetEditPropertySet(LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEditPropertySet(LONG*, LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetEditProperty(LONG, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEditProperty(LONG, LONG, LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_EditStart(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_EditStart(LONG) override { return E_NOTIMPL; }

    // IAMExtDevice (GetCapability is shared with the transport's)
    HRESULT STDMETHODCALLTYPE get_ExternalDeviceID(LPOLESTR* id) override;
    HRESULT STDMETHODCALLTYPE get_ExternalDeviceVersion(LPOLESTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_DevicePower(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_DevicePower(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Calibrate(HANDLE, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_DevicePort(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_DevicePort(LONG* port) override;

    // IAMTimecodeReader
    HRESULT STDMETHODCALLTYPE GetTCRMode(LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetTCRMode(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_VITCLine(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_VITCLine(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTimecode(TIMECODE_SAMPLE* sample) override;

    // IVelmoraDvLinkStats
    HRESULT STDMETHODCALLTYPE GetLosses(LONGLONG* bus, LONGLONG* incomplete, LONGLONG* foreign,
                                        LONGLONG* overrun) override;
    HRESULT STDMETHODCALLTYPE GetFirstForeignFrame(BYTE* buffer, LONG size, LONG* written,
                                                   LONGLONG* framesSince) override;

    DvUnit& Unit() { return *unit_; }
    // Holds a frame for the unit until the filter runs: a paused graph already delivers its
    // first frame, but a deck told to record afterwards must not miss it. False when the wait
    // ends without running (stopped or flushed).
    bool WaitUntilRunning();
    void ReleaseWaiters(bool release);
    // True when the unit refuses to tell the format of its output plug: another connection
    // holds the plug, so a receiver connected now would get nothing. The answer also tells the
    // unit's system.
    bool OutputPlugInUse();
    // The DV system of the unit: as its stream last showed, else as its output plug says (asked
    // once), else the 525-line system.
    dv::System UnitSystem();
    // Frames the outputs could not pass on, frames that arrived damaged (short), and whole
    // frames of the other DV system than the outputs are connected for (never cut to fit).
    long DroppedFrames() const { return dropped_; }
    long DamagedFrames() const { return damaged_; }
    void CountDropped() { ++dropped_; }

  private:
    // One AV/C exchange with the time bound every call here keeps.
    AvcStatus Exchange(std::vector<std::uint8_t> command, std::vector<std::uint8_t>* response);
    void OnFrame(const std::uint8_t* frame, std::size_t size);
    void OnLost();

    CCritSec lock_;
    std::shared_ptr<DvUnit> unit_;
    std::unique_ptr<CDvInputPin> input_;
    std::unique_ptr<CDvOutputPin> interleavedOut_;
    std::unique_ptr<CDvOutputPin> videoOut_;
    std::atomic<long> dropped_{0};
    std::atomic<long> damaged_{0};
    std::atomic<long> foreign_{0};
    mutable std::mutex foreignLock_;
    std::vector<std::uint8_t> firstForeign_;  // under foreignLock_
    std::int64_t firstForeignNumber_ = 0;     // its number in the stream, under foreignLock_
    // The unit's stream as counted here: every frame heard of, the link's losses included,
    // and how many of those losses the unit had reported at its last frame.
    std::atomic<std::int64_t> streamFrames_{0};
    std::atomic<std::int64_t> busLosses_{0};
    std::int64_t unitLossesSeen_ = 0;  // the receive thread's
    // What is known of the unit's system: 0 nothing yet, else 1 + the system.
    std::atomic<int> knownSystem_{0};
    std::atomic<std::size_t> outputFrameSize_{0};  // of the connected outputs, set on pause
    std::atomic<bool> systemChangeReported_{false};
    std::atomic<bool> plugAsked_{false};
    std::atomic<bool> receiving_{false};

    std::mutex runLock_;
    std::condition_variable runChanged_;
    bool running_ = false;
    bool released_ = false;  // stopped or flushing: waiting frames are dropped
};

// The AV/C transport command for a mode (opcode, operand); false for a mode without one.
bool TransportCommandForMode(LONG mode, std::uint8_t* opcode, std::uint8_t* operand);
// The mode for a transport state answer (opcode, operand); ED_MODE_STOP for unknown states.
LONG ModeForTransportState(std::uint8_t opcode, std::uint8_t operand);

inline constexpr auto kAvcTimeout = std::chrono::milliseconds(400);
inline constexpr char16_t kDvDeviceFriendlyName[] = u"Microsoft DV Camera and VCR";

}  // namespace platform::dv1394
