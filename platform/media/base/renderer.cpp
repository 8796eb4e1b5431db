#include "platform/media/base/renderer.h"

#include <chrono>

CRendererInputPin::CRendererInputPin(CBaseRenderer* renderer, HRESULT* result, LPCWSTR pinName)
    : CBaseInputPin("renderer input", renderer, renderer->StateLock(), result, pinName),
      m_pRenderer(renderer) {}

HRESULT CRendererInputPin::CheckMediaType(const CMediaType* type) {
    return m_pRenderer->CheckMediaType(type);
}

HRESULT CRendererInputPin::SetMediaType(const CMediaType* type) {
    HRESULT hr = CBasePin::SetMediaType(type);
    return FAILED(hr) ? hr : m_pRenderer->SetMediaType(type);
}

HRESULT CRendererInputPin::BreakConnect() {
    m_pRenderer->BreakConnect();
    return CBaseInputPin::BreakConnect();
}

HRESULT CRendererInputPin::CompleteConnect(IPin* receive) {
    HRESULT hr = m_pRenderer->CompleteConnect(receive);
    return FAILED(hr) ? hr : CBaseInputPin::CompleteConnect(receive);
}

HRESULT CRendererInputPin::Receive(IMediaSample* sample) {
    HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK) return hr;
    return m_pRenderer->Receive(sample);
}

HRESULT CRendererInputPin::EndOfStream() {
    HRESULT hr = CheckStreaming();
    if (hr != S_OK) return hr;
    return m_pRenderer->EndOfStream();
}

HRESULT CRendererInputPin::BeginFlush() {
    CBaseInputPin::BeginFlush();
    return m_pRenderer->BeginFlush();
}

HRESULT CRendererInputPin::EndFlush() {
    HRESULT hr = m_pRenderer->EndFlush();
    CBaseInputPin::EndFlush();
    return hr;
}

CBaseRenderer::CBaseRenderer(REFCLSID clsid, const char* name, IUnknown* outer, HRESULT* result,
                             LPCWSTR pinName)
    : CBaseFilter(name, outer, &m_InterfaceLock, clsid) {
    m_pInputPin = std::make_unique<CRendererInputPin>(this, result, pinName);
}

CBaseRenderer::~CBaseRenderer() = default;

CBasePin* CBaseRenderer::GetPin(int index) {
    return index == 0 ? m_pInputPin.get() : nullptr;
}

CRendererInputPin* CBaseRenderer::InputPin() {
    return m_pInputPin.get();
}

void CBaseRenderer::WakeAll() {
    changed_.notify_all();
}

HRESULT CBaseRenderer::Stop() {
    CAutoLock lock(&m_InterfaceLock);
    {
        std::lock_guard state(mutex_);
        m_State = State_Stopped;
        ready_ = false;
        eosReceived_ = false;
        eosSent_ = false;
        ++generation_;
    }
    WakeAll();
    if (m_pInputPin->IsConnected()) m_pInputPin->Inactive();
    // Wait for a Receive in progress to notice and leave.
    CAutoLock streaming(&m_RendererLock);
    RestoreConnectionType();
    return S_OK;
}

HRESULT CBaseRenderer::Pause() {
    CAutoLock lock(&m_InterfaceLock);
    bool wasStopped = m_State == State_Stopped;
    if (wasStopped && m_pInputPin->IsConnected()) {
        HRESULT hr = m_pInputPin->Active();
        if (FAILED(hr)) return hr;
    }
    {
        std::lock_guard state(mutex_);
        // An unconnected renderer has nothing to wait for.
        if (!m_pInputPin->IsConnected()) ready_ = true;
        m_State = State_Paused;
    }
    WakeAll();
    return S_OK;
}

HRESULT CBaseRenderer::Run(REFERENCE_TIME start) {
    CAutoLock lock(&m_InterfaceLock);
    if (m_State == State_Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr)) return hr;
    }
    bool complete = false;
    {
        std::lock_guard state(mutex_);
        m_tStart = start;
        m_State = State_Running;
        complete = eosReceived_ && !rendering_ && !eosSent_;
        if (complete) eosSent_ = true;
    }
    WakeAll();
    if (complete) NotifyEvent(EC_COMPLETE, S_OK, 0);
    return S_OK;
}

HRESULT CBaseRenderer::GetState(DWORD milliseconds, FILTER_STATE* state) {
    if (!state) return E_POINTER;
    std::unique_lock lock(mutex_);
    *state = m_State;
    if (m_State != State_Paused) return S_OK;
    bool ready = changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                   [&] { return ready_ || m_State != State_Paused; });
    *state = m_State;
    return ready ? S_OK : VFW_S_STATE_INTERMEDIATE;
}

bool CBaseRenderer::WaitForRenderTime(IMediaSample* sample, std::unique_lock<std::mutex>& lock) {
    const std::uint64_t generation = generation_;
    auto abandoned = [&] {
        return generation_ != generation || flushing_ || m_State == State_Stopped;
    };
    // Paused: hold the sample until running (or until it is no longer wanted).
    changed_.wait(lock, [&] { return abandoned() || m_State == State_Running; });
    if (abandoned()) return false;

    REFERENCE_TIME start, end;
    platform::ComPtr<IReferenceClock> clock;
    GetSyncSource(clock.Put());
    if (!clock || FAILED(sample->GetTime(&start, &end))) return true;  // present at once
    for (;;) {
        REFERENCE_TIME now = 0;
        clock->GetTime(&now);
        REFERENCE_TIME due = m_tStart + start;
        if (now >= due) return true;
        auto wait = std::chrono::microseconds((due - now) / 10 + 1);
        changed_.wait_for(lock, wait);
        if (abandoned()) return false;
        if (m_State == State_Paused) {
            // Paused while waiting: hold on until running again, then wait for the new due time.
            changed_.wait(lock, [&] { return abandoned() || m_State == State_Running; });
            if (abandoned()) return false;
        }
    }
}

HRESULT CBaseRenderer::TakeSampleType(IMediaSample* sample) {
    AM_MEDIA_TYPE* carried = nullptr;
    if (sample->GetMediaType(&carried) != S_OK || !carried) return S_OK;
    CMediaType type(*carried);
    DeleteMediaType(carried);
    if (CheckMediaType(&type) != S_OK) {
        NotifyEvent(EC_ERRORABORT, VFW_E_TYPE_NOT_ACCEPTED, 0);
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    typeChanged_ = true;
    return SetMediaType(&type);
}

void CBaseRenderer::RestoreConnectionType() {
    if (!typeChanged_ || !m_pInputPin->IsConnected()) return;
    typeChanged_ = false;
    SetMediaType(&m_pInputPin->CurrentMediaType());
}

HRESULT CBaseRenderer::Receive(IMediaSample* sample) {
    CAutoLock streaming(&m_RendererLock);
    std::unique_lock lock(mutex_);
    if (m_State == State_Stopped) return VFW_E_WRONG_STATE;
    if (flushing_) return S_FALSE;
    lock.unlock();
    if (HRESULT hr = TakeSampleType(sample); FAILED(hr)) return hr;
    lock.lock();
    rendering_ = true;
    if (m_State == State_Paused && !ready_) {
        // Ready once the sample is taken in (a video renderer shows it), unless a stop or flush
        // came meanwhile.
        const std::uint64_t generation = generation_;
        lock.unlock();
        OnReceiveFirstSample(sample);
        lock.lock();
        if (generation == generation_) {
            ready_ = true;
            changed_.notify_all();
        }
    }
    bool present = WaitForRenderTime(sample, lock);
    rendering_ = false;
    lock.unlock();
    HRESULT hr = present ? DoRenderSample(sample) : S_OK;

    lock.lock();
    bool complete = eosReceived_ && !eosSent_ && m_State == State_Running;
    if (complete) eosSent_ = true;
    lock.unlock();
    if (complete) NotifyEvent(EC_COMPLETE, S_OK, 0);
    return hr;
}

HRESULT CBaseRenderer::EndOfStream() {
    bool complete = false;
    {
        std::lock_guard lock(mutex_);
        if (m_State == State_Stopped || flushing_) return S_OK;
        eosReceived_ = true;
        ready_ = true;  // nothing more to wait for while paused
        complete = m_State == State_Running && !rendering_ && !eosSent_;
        if (complete) eosSent_ = true;
    }
    changed_.notify_all();
    if (complete) NotifyEvent(EC_COMPLETE, S_OK, 0);
    return S_OK;
}

HRESULT CBaseRenderer::BeginFlush() {
    {
        std::lock_guard lock(mutex_);
        flushing_ = true;
        ++generation_;
        eosReceived_ = false;
        eosSent_ = false;
        ready_ = false;
    }
    WakeAll();
    return S_OK;
}

HRESULT CBaseRenderer::EndFlush() {
    // Wait for a Receive that the flush released, so none straddles the new segment.
    CAutoLock streaming(&m_RendererLock);
    RestoreConnectionType();
    std::lock_guard lock(mutex_);
    flushing_ = false;
    return S_OK;
}
