#include "toolkit/capture/dv_capture.h"

#include <cstring>

#include "platform/media/formats.h"
#include "platform/user/window.h"
#include "toolkit/capture/capture_tables.h"

std::atomic<std::int32_t> g_lastOpenError{0};

namespace {

using platform::QueryFrom;

// PCM, 2 channels, 32000 Hz, 16 bit: what the preview's sound renderer is connected with.
void BuildPreviewAudioType(CMediaType* type) {
    *type = CMediaType(&MEDIATYPE_Audio);
    type->SetSubtype(&MEDIASUBTYPE_PCM);
    type->SetFormatType(&FORMAT_WaveFormatEx);
    type->SetSampleSize(1);
    type->SetTemporalCompression(FALSE);
    auto* wave = reinterpret_cast<WAVEFORMATEX*>(type->AllocFormatBuffer(sizeof(WAVEFORMATEX)));
    if (!wave) return;
    wave->wFormatTag = WAVE_FORMAT_PCM;
    wave->nChannels = 2;
    wave->nSamplesPerSec = 32000;
    wave->nAvgBytesPerSec = 128000;
    wave->nBlockAlign = 4;
    wave->wBitsPerSample = 16;
    wave->cbSize = 0;
}

}  // namespace

CDVCapture::~CDVCapture() {
    Close();
}

IBaseFilter* CDVCapture::FilterAt(int entry) const {
    return table_ && entry < filterCount_ ? (*table_)[entry].filter : nullptr;
}

int CDVCapture::Fail(std::int32_t error) {
    m_nError = error;
    ReleaseBuilt();
    return 0;
}

void CDVCapture::ReleaseBuilt() {
    if (table_) Teardown(table_->Entries(), filterCount_);
    ReleaseGraph();
    FreeTable(table_);
    filterCount_ = 0;
    state_ = kCaptureClosed;
}

int CDVCapture::Open(int deviceIndex, std::uint32_t flags, const TovikOpenParams* params) {
    if (state_ != kCaptureClosed) {
        m_nError = kErrorAlreadyOpen;
        return 0;
    }
    // Preview and write together would apply the preview plan to the write table.
    if (!params || params->size != 28 || (flags & 3) == 3) {
        m_nError = kErrorBadParams;
        return 0;
    }
    flags_ = flags;
    params_ = *params;
    const FilterEntry* constant = WriteMode() ? kWriteFilters : kCaptureFilters;
    filterCount_ = WriteMode() ? kWriteFilterCount : kCaptureFilterCount;
    table_ = CopyTable(constant, filterCount_);
    if (!table_) return Fail(kErrorFilterMissing);
    (*table_)[kEntryDevice].cls.deviceIndex = deviceIndex;

    if (!CreateGraph()) return Fail(kErrorNoGraph);
    try {
        CreateFilters(table_->Entries(), filterCount_);
    } catch (const _tagDXM_EXPECT& e) {
        return Fail(e.index == kEntryDevice ? kErrorNoDevice : kErrorFilterMissing);
    }
    int inGraph = WriteMode() ? kWriteFilterCount : kCaptureFiltersInGraph;
    if (!AddFilters(table_->Entries(), inGraph)) return Fail(kErrorFilterNotAdded);
    if ((flags & TOVIK_OPEN_PREVIEW) && !ConnectPreview()) return 0;  // error already set

    state_ = kCaptureOpen;
    if (!ObtainInterfaces()) {
        Close();
        m_nError = kErrorInterfaceMissing;
        state_ = kCaptureClosed;
        return 0;
    }
    // Without the bridge, stills fail later; the decoder has told the user why.
    if (!WriteMode()) decoder_.Build();
    run_ = true;
    eventThread_.Start([this] { EventLoop(); });
    if (!WriteMode()) control_->Run();
    return 1;
}

bool CDVCapture::ConnectPreview() {
    try {
        Connect(table_->Entries(), filterCount_, kPreviewPlan, 15);
    } catch (const _tagDXM_EXPECT& e) {
        Fail(e.index == kPreviewDeviceStep ? kErrorDeviceNotConnectable
                                           : kErrorPreviewNotConnectable);
        return false;
    }
    CMediaType audio;
    BuildPreviewAudioType(&audio);
    ConnectStep plan[3] = {kAudioPlan[0], kAudioPlan[1], kAudioPlan[2]};
    plan[2].type = &audio;
    try {
        Connect(table_->Entries(), filterCount_, plan, 3);
    } catch (const _tagDXM_EXPECT&) {
        Fail(kErrorPreviewNotConnectable);
        return false;
    }
    return true;
}

bool CDVCapture::ObtainInterfaces() {
    IBaseFilter* device = FilterAt(kEntryDevice);
    if (FAILED(QueryFrom(device, &transport_)) || FAILED(QueryFrom(device, &device_)) ||
        FAILED(QueryFrom(m_pGraph, &events_)))
        return false;
    OAEVENT handle = 0;
    if (FAILED(events_->GetEventHandle(&handle))) return false;
    eventHandle_ = reinterpret_cast<HANDLE>(handle);
    if (FAILED(QueryFrom(m_pGraph, &control_))) return false;
    if (WriteMode()) return true;

    if (FAILED(QueryFrom(FilterAt(kEntryVideoRenderer), &videoWindow_))) return false;
    videoWindow_->put_AutoShow(OAFALSE);
    videoWindow_->put_Owner(static_cast<OAHWND>(params_.ownerWindow));
    if (FAILED(QueryFrom(FilterAt(kEntryDecoder), &decoderDisplay_))) return false;
    decoderDisplay_->put_IPDisplay(DVRESOLUTION_FULL);
    if (FAILED(QueryFrom(FilterAt(kEntryFileWriter), &fileSink_))) return false;
    fileSink_->SetMode(AM_FILE_OVERWRITE);
    if (FAILED(QueryFrom(FilterAt(kEntryFileWriter), &writerStatus_)) ||
        FAILED(QueryFrom(FilterAt(kEntryAviMux), &muxStatus_)))
        return false;
    if (FAILED(QueryFrom(FilterAt(kEntryGrabber), &grabber_))) return false;
    grabber_->SetBufferSamples(TRUE);
    return SUCCEEDED(QueryFrom(device, &timecodeReader_));
}

void CDVCapture::EventLoop() {
    PumpGraphEvents(run_, eventHandle_, events_.Get(),
                    [this](LONG code, LONG_PTR param1, LONG_PTR) { OnGraphEvent(code, param1); });
}

void CDVCapture::Post(LONG code, LONG_PTR param1) const {
    if (params_.notifyFlags & 1)
        PostMessage(params_.notifyWindow, params_.notifyMessage, static_cast<WPARAM>(code),
                    static_cast<LPARAM>(param1));
}

// On the event thread. An abort of the record branch ends the recording, not the connection:
// the caller hears once that the recording stopped and why, and keeps its device.
void CDVCapture::OnGraphEvent(LONG code, LONG_PTR param1) {
    bool fromRecording = false;
    HRESULT why = S_OK;
    if (code == EC_VELMORA_DV_SYSTEM_CHANGED) {
        // The tape went over to the other DV system: none of it reaches the file, which ends
        // with the last frame of the first one.
        if (state_ != kCaptureRecording) return;
        recordEnded_ = VFW_E_INVALIDMEDIATYPE;
        why = VFW_E_INVALIDMEDIATYPE;
        fromRecording = true;
    }
    if (code == EC_ERRORABORT) why = RecordFailure(static_cast<HRESULT>(param1), &fromRecording);
    if (!fromRecording) {
        Post(code, param1);
    } else if (!recordFailureReported_.exchange(true)) {
        Post(TOVIK_EC_RECORDING_STOPPED, static_cast<LONG_PTR>(why));
    }
}

HRESULT CDVCapture::RecordFailure(HRESULT error, bool* matches) const {
    HRESULT first = S_OK;
    for (IVelmoraWriteStatus* status : {muxStatus_.Get(), writerStatus_.Get()}) {
        HRESULT failure = S_OK;
        if (!status || status->GetWriteFailure(&failure) != S_OK) continue;
        if (SUCCEEDED(first)) first = failure;
        if (matches && failure == error) *matches = true;
    }
    return first;
}

void CDVCapture::ReleaseInterfaces() {
    control_.Reset();
    videoWindow_.Reset();
    decoderDisplay_.Reset();
    transport_.Reset();
    events_.Reset();
    fileSink_.Reset();
    writeSeeking_.Reset();
    recordSeeking_.Reset();
    muxStatus_.Reset();
    writerStatus_.Reset();
    timecodeReader_.Reset();
    device_.Reset();
    grabber_.Reset();
}

int CDVCapture::Close() {
    if (state_ == kCaptureClosed) return 0;
    if (state_ == kCaptureRecording) StopRec();
    if (control_) control_->Stop();
    if (events_) {
        LONG code = 0;
        events_->WaitForCompletion(1000, &code);
    }
    if (run_.exchange(false)) eventThread_.Join();
    state_ = kCaptureClosed;
    ReleaseInterfaces();
    eventHandle_ = nullptr;
    decoder_.Teardown();
    ReleaseBuilt();
    return 0;
}

int CDVCapture::SetPreviewWindowStyle(int extended, std::int32_t style) {
    if (!videoWindow_) return 0;
    HRESULT hr =
        extended ? videoWindow_->put_WindowStyleEx(style) : videoWindow_->put_WindowStyle(style);
    return SUCCEEDED(hr) ? 1 : 0;
}

int CDVCapture::SetPreviewWindowRect(const TovikRect* rect) {
    if (!videoWindow_ || !rect) return 0;
    // Moving the window needs no restart while recording: a restart would begin the file anew.
    bool restart = state_ != kCaptureRecording && control_;
    if (restart) control_->Stop();
    HRESULT hr = videoWindow_->SetWindowPosition(rect->left, rect->top, rect->right - rect->left,
                                                 rect->bottom - rect->top);
    if (restart) control_->Run();
    return SUCCEEDED(hr) ? 1 : 0;
}

int CDVCapture::ShowPreviewWindow(int command) {
    if (!videoWindow_) return 0;
    return SUCCEEDED(videoWindow_->put_WindowState(command)) ? 1 : 0;
}
