#include "platform/media/base/source.h"

#include <algorithm>
#include <cmath>

// ---- CSource ----

CSource::CSource(const char* name, IUnknown* outer, REFCLSID clsid, HRESULT* result)
    : CBaseFilter(name, outer, &m_cStateLock, clsid) {
    if (result) *result = S_OK;
}

CSource::~CSource() = default;

int CSource::GetPinCount() {
    CAutoLock lock(&m_cStateLock);
    return static_cast<int>(m_paStreams.size());
}

CBasePin* CSource::GetPin(int index) {
    CAutoLock lock(&m_cStateLock);
    if (index < 0 || index >= static_cast<int>(m_paStreams.size())) return nullptr;
    return m_paStreams[index].get();
}

HRESULT CSource::Pause() {
    CAutoLock lock(&m_cStateLock);
    if (m_State == State_Running)
        pausedStreamTime_ = ElapsedStreamTime();
    else if (m_State == State_Stopped)
        pausedStreamTime_ = 0;
    return CBaseFilter::Pause();
}

REFERENCE_TIME CSource::ElapsedStreamTime() {
    switch (State()) {
        case State_Running: {
            REFERENCE_TIME now = 0;
            return SUCCEEDED(StreamTime(now)) ? std::max<REFERENCE_TIME>(now, 0) : kUnboundedTime;
        }
        case State_Paused:
            return pausedStreamTime_;
        default:
            return 0;
    }
}

HRESULT CSource::AddPin(CSourceStream* pin) {
    CAutoLock lock(&m_cStateLock);
    m_paStreams.emplace_back(pin);
    return S_OK;
}

// ---- CSourceStream ----

CSourceStream::CSourceStream(const char* name, HRESULT* result, CSource* filter, LPCWSTR pinName)
    : CBaseOutputPin(name, filter, filter->pStateLock(), result, pinName), m_pFilter(filter) {
    HRESULT hr = filter->AddPin(this);
    if (result) *result = hr;
}

CSourceStream::~CSourceStream() {
    StopThread();
}

HRESULT CSourceStream::CheckMediaType(const CMediaType* type) {
    CMediaType mine;
    if (FAILED(GetMediaType(&mine))) return E_FAIL;
    return mine == *type ? S_OK : E_FAIL;
}

HRESULT CSourceStream::GetMediaType(int position, CMediaType* type) {
    if (position != 0) return VFW_S_NO_MORE_ITEMS;
    return GetMediaType(type);
}

HRESULT CSourceStream::GetMediaType(CMediaType*) {
    return E_UNEXPECTED;
}

HRESULT CSourceStream::Active() {
    CAutoLock lock(m_pLock);
    if (m_pFilter->IsActive()) return S_FALSE;
    if (!IsConnected()) return S_OK;
    HRESULT hr = CBaseOutputPin::Active();
    if (FAILED(hr)) return hr;
    if (!StartThread()) {
        // Without its thread the pin would never stream: it does not become active at all.
        CBaseOutputPin::Inactive();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CSourceStream::Inactive() {
    CAutoLock lock(m_pLock);
    if (!IsConnected()) return S_OK;
    // Decommitting first releases a thread that waits for a buffer.
    HRESULT hr = CBaseOutputPin::Inactive();
    StopThread();
    return hr;
}

bool CSourceStream::StartThread() {
    stopRequested_ = false;
    stopEvent_.Reset();
    return thread_.Start([this] { ThreadProc(); });
}

void CSourceStream::StopThread() {
    stopRequested_ = true;
    stopEvent_.Set();
    thread_.Join();
}

void CSourceStream::ThreadProc() {
    HRESULT hr = OnThreadCreate();
    if (SUCCEEDED(hr)) {
        DoBufferProcessingLoop();
    } else {
        m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
    }
    OnThreadDestroy();
}

void CSourceStream::DoBufferProcessingLoop() {
    lastSample_ = false;
    OnThreadStartPlay();
    while (!stopRequested_) {
        IMediaSample* sample = nullptr;
        HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
        if (FAILED(hr)) break;  // decommitted: we are being stopped
        hr = stopRequested_ ? S_FALSE : FillBuffer(sample);
        if (hr == S_OK) {
            hr = Deliver(sample);
            sample->Release();
            if (hr != S_OK || lastSample_) break;  // refused (flushing, stopping, done) or ended
            continue;
        }
        sample->Release();
        if (stopRequested_) break;
        DeliverEndOfStream();
        if (FAILED(hr)) m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
        break;
    }
    // Idle until asked to stop, as the thread belongs to the active pin until then.
    stopEvent_.Wait();
}

// ---- CSourceSeekingStream ----

CSourceSeekingStream::CSourceSeekingStream(const char* name, HRESULT* result, CSource* filter,
                                           LPCWSTR pinName)
    : CSourceStream(name, result, filter, pinName) {}

HRESULT CSourceSeekingStream::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), object);
    return CSourceStream::NonDelegatingQueryInterface(iid, object);
}

HRESULT CSourceSeekingStream::GetCapabilities(DWORD* capabilities) {
    if (!capabilities) return E_POINTER;
    *capabilities = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                    AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetCurrentPos |
                    AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration |
                    (CanPlayBackwards() ? AM_SEEKING_CanPlayBackwards : 0);
    return S_OK;
}

HRESULT CSourceSeekingStream::CheckCapabilities(DWORD* capabilities) {
    if (!capabilities) return E_POINTER;
    DWORD mine = 0;
    GetCapabilities(&mine);
    DWORD wanted = *capabilities;
    *capabilities &= mine;
    if (*capabilities == wanted) return S_OK;
    return *capabilities ? S_FALSE : E_FAIL;
}

HRESULT CSourceSeekingStream::IsFormatSupported(const GUID* format) {
    if (!format) return E_POINTER;
    if (*format == TIME_FORMAT_MEDIA_TIME) return S_OK;
    if (*format == TIME_FORMAT_FRAME && FrameDuration() > 0) return S_OK;
    return S_FALSE;
}

HRESULT CSourceSeekingStream::QueryPreferredFormat(GUID* format) {
    if (!format) return E_POINTER;
    *format = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
}

HRESULT CSourceSeekingStream::GetTimeFormat(GUID* format) {
    if (!format) return E_POINTER;
    CAutoLock lock(&m_SeekLock);
    *format = timeFormat_;
    return S_OK;
}

HRESULT CSourceSeekingStream::IsUsingTimeFormat(const GUID* format) {
    if (!format) return E_POINTER;
    CAutoLock lock(&m_SeekLock);
    return *format == timeFormat_ ? S_OK : S_FALSE;
}

HRESULT CSourceSeekingStream::SetTimeFormat(const GUID* format) {
    if (!format) return E_POINTER;
    if (IsFormatSupported(format) != S_OK) return E_INVALIDARG;
    CAutoLock lock(&m_SeekLock);
    timeFormat_ = *format;
    return S_OK;
}

HRESULT CSourceSeekingStream::ToMediaTime(LONGLONG value, const GUID& format,
                                          REFERENCE_TIME* time) {
    if (format == TIME_FORMAT_MEDIA_TIME) {
        *time = value;
        return S_OK;
    }
    REFERENCE_TIME frame = FrameDuration();
    if (format != TIME_FORMAT_FRAME || frame <= 0) return E_INVALIDARG;
    // A frame number whose time does not fit is no position of this stream.
    return __builtin_mul_overflow(value, frame, time) ? E_INVALIDARG : S_OK;
}

HRESULT CSourceSeekingStream::FromMediaTime(REFERENCE_TIME time, const GUID& format,
                                            LONGLONG* value) {
    if (format == TIME_FORMAT_MEDIA_TIME) {
        *value = time;
        return S_OK;
    }
    REFERENCE_TIME frame = FrameDuration();
    if (format != TIME_FORMAT_FRAME || frame <= 0) return E_INVALIDARG;
    *value = time / frame;
    return S_OK;
}

HRESULT CSourceSeekingStream::GetDuration(LONGLONG* duration) {
    if (!duration) return E_POINTER;
    CAutoLock lock(&m_SeekLock);
    return FromMediaTime(Duration(), timeFormat_, duration);
}

HRESULT CSourceSeekingStream::GetStopPosition(LONGLONG* stop) {
    if (!stop) return E_POINTER;
    CAutoLock lock(&m_SeekLock);
    return FromMediaTime(CurrentStop(), timeFormat_, stop);
}

HRESULT CSourceSeekingStream::GetCurrentPosition(LONGLONG* current) {
    if (!current) return E_POINTER;
    CAutoLock lock(&m_SeekLock);
    return FromMediaTime(ShownPosition(), timeFormat_, current);
}

void CSourceSeekingStream::SetCurrentPosition(REFERENCE_TIME position) {
    current_ = position;
    if (segmentStarted_) return;
    segmentStarted_ = true;
    segmentBase_ = position;
}

void CSourceSeekingStream::BeginSegment() {
    CAutoLock lock(&m_SeekLock);
    current_ = segmentBase_ = m_rtStart;
    segmentStarted_ = false;
}

REFERENCE_TIME CSourceSeekingStream::ShownPosition() {
    const REFERENCE_TIME elapsed = m_pFilter->ElapsedStreamTime();
    const REFERENCE_TIME delivered = current_;
    // Without a clock nothing waits for its time: what is delivered is shown.
    if (elapsed == kUnboundedTime) return delivered;
    const double played = static_cast<double>(elapsed) * m_dRateSeeking;
    const double reached = static_cast<double>(segmentBase_) + played;
    if (m_dRateSeeking > 0)
        return reached >= static_cast<double>(delivered) ? delivered
                                                         : static_cast<REFERENCE_TIME>(reached);
    return reached <= static_cast<double>(delivered) ? delivered
                                                     : static_cast<REFERENCE_TIME>(reached);
}

HRESULT CSourceSeekingStream::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat,
                                                LONGLONG source, const GUID* sourceFormat) {
    if (!target) return E_POINTER;
    CAutoLock lock(&m_SeekLock);
    REFERENCE_TIME time = 0;
    HRESULT hr = ToMediaTime(source, sourceFormat ? *sourceFormat : timeFormat_, &time);
    if (FAILED(hr)) return hr;
    return FromMediaTime(time, targetFormat ? *targetFormat : timeFormat_, target);
}

HRESULT CSourceSeekingStream::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                           DWORD stopFlags) {
    DWORD currentMode = currentFlags & AM_SEEKING_PositioningBitsMask;
    DWORD stopMode = stopFlags & AM_SEEKING_PositioningBitsMask;
    if ((currentMode && !current) || (stopMode && !stop)) return E_POINTER;
    bool restart = false;
    {
        CAutoLock lock(&m_SeekLock);
        REFERENCE_TIME duration = Duration();
        REFERENCE_TIME newStart = m_rtStart;
        REFERENCE_TIME newStop = CurrentStop();
        REFERENCE_TIME value = 0;
        if (currentMode) {
            HRESULT hr = ToMediaTime(*current, timeFormat_, &value);
            if (FAILED(hr)) return hr;
            if (currentMode == AM_SEEKING_AbsolutePositioning)
                newStart = value;
            else if (__builtin_add_overflow(newStart, value, &newStart))
                return E_INVALIDARG;
        }
        if (stopMode) {
            HRESULT hr = ToMediaTime(*stop, timeFormat_, &value);
            if (FAILED(hr)) return hr;
            const REFERENCE_TIME base =
                stopMode == AM_SEEKING_RelativePositioning ? newStop : newStart;
            if (stopMode == AM_SEEKING_AbsolutePositioning)
                newStop = value;
            else if (__builtin_add_overflow(base, value, &newStop))
                return E_INVALIDARG;
        }
        if (newStart < 0 || newStart > duration || newStop < 0) return E_INVALIDARG;
        newStop = std::min(newStop, duration);
        m_rtStart = newStart;
        m_rtStop = newStop;
        stopSet_ = true;
        if (currentMode) current_ = newStart;
        restart = currentMode != AM_SEEKING_NoPositioning;
        if (currentFlags & AM_SEEKING_ReturnTime) FromMediaTime(newStart, timeFormat_, current);
        if (stopFlags & AM_SEEKING_ReturnTime) FromMediaTime(newStop, timeFormat_, stop);
    }
    if (restart) Restart();
    return S_OK;
}

void CSourceSeekingStream::Restart() {
    CAutoLock lock(m_pLock);
    m_pFilter->RestartStreamTime();
    if (!ThreadExists()) {
        BeginSegment();
        OnSeek();
        return;
    }
    // Downstream lets go of our buffers, so the thread can be joined; then a fresh start. The
    // old thread may have reported a later position meanwhile: the stream is at the start now.
    DeliverBeginFlush();
    StopThread();
    BeginSegment();
    DeliverEndFlush();
    OnSeek();
    // A stream that cannot go on says so, rather than leaving the graph waiting for it.
    if (!StartThread()) m_pFilter->NotifyEvent(EC_ERRORABORT, E_OUTOFMEMORY, 0);
}

HRESULT CSourceSeekingStream::OnThreadStartPlay() {
    BeginSegment();
    REFERENCE_TIME start, stop;
    double rate;
    {
        CAutoLock lock(&m_SeekLock);
        start = m_rtStart;
        stop = CurrentStop();
        rate = m_dRateSeeking;
    }
    return DeliverNewSegment(start, stop, rate);
}

HRESULT CSourceSeekingStream::GetPositions(LONGLONG* current, LONGLONG* stop) {
    if (current) GetCurrentPosition(current);
    if (stop) GetStopPosition(stop);
    return S_OK;
}

HRESULT CSourceSeekingStream::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
    CAutoLock lock(&m_SeekLock);
    if (earliest) *earliest = 0;
    if (latest) FromMediaTime(Duration(), timeFormat_, latest);
    return S_OK;
}

HRESULT CSourceSeekingStream::SetRate(double rate) {
    if (rate == 0.0 || !std::isfinite(rate) || (rate < 0 && !CanPlayBackwards()))
        return E_INVALIDARG;
    {
        CAutoLock lock(&m_SeekLock);
        if (rate == m_dRateSeeking) return S_OK;
        m_rtStart = ShownPosition();
        m_dRateSeeking = rate;
    }
    Restart();  // a new segment with the new rate, from where the stream is now
    return S_OK;
}

HRESULT CSourceSeekingStream::GetRate(double* rate) {
    if (!rate) return E_POINTER;
    CAutoLock lock(&m_SeekLock);
    *rate = m_dRateSeeking;
    return S_OK;
}

HRESULT CSourceSeekingStream::GetPreroll(LONGLONG* preroll) {
    if (!preroll) return E_POINTER;
    *preroll = 0;
    return S_OK;
}
