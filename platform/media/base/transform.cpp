#include "platform/media/base/transform.h"

// ---- pins ----

CTransformInputPin::CTransformInputPin(const char* name, CTransformFilter* filter,
                                       HRESULT* result, LPCWSTR pinName)
    : CBaseInputPin(name, filter, filter->StateLock(), result, pinName),
      m_pTransformFilter(filter) {}

HRESULT CTransformInputPin::CheckConnect(IPin* pin) {
    HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_INPUT, pin);
    return FAILED(hr) ? hr : CBaseInputPin::CheckConnect(pin);
}

HRESULT CTransformInputPin::BreakConnect() {
    m_pTransformFilter->BreakConnect(PINDIR_INPUT);
    return CBaseInputPin::BreakConnect();
}

HRESULT CTransformInputPin::CompleteConnect(IPin* receive) {
    HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_INPUT, receive);
    return FAILED(hr) ? hr : CBaseInputPin::CompleteConnect(receive);
}

HRESULT CTransformInputPin::CheckMediaType(const CMediaType* type) {
    HRESULT hr = m_pTransformFilter->CheckInputType(type);
    if (hr != S_OK) return hr == S_FALSE ? VFW_E_TYPE_NOT_ACCEPTED : hr;
    // With the output already connected, the new input must still feed it.
    CTransformOutputPin* out = m_pTransformFilter->Output();
    if (out && out->IsConnected())
        return m_pTransformFilter->CheckTransform(type, &out->CurrentMediaType());
    return S_OK;
}

HRESULT CTransformInputPin::SetMediaType(const CMediaType* type) {
    HRESULT hr = CBasePin::SetMediaType(type);
    return FAILED(hr) ? hr : m_pTransformFilter->SetMediaType(PINDIR_INPUT, type);
}

HRESULT CTransformInputPin::GetMediaType(int, CMediaType*) { return VFW_S_NO_MORE_ITEMS; }

HRESULT CTransformInputPin::Receive(IMediaSample* sample) {
    CAutoLock lock(&m_pTransformFilter->m_csReceive);
    HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK) return hr;
    return m_pTransformFilter->Receive(sample);
}

HRESULT CTransformInputPin::EndOfStream() {
    CAutoLock lock(&m_pTransformFilter->m_csReceive);
    HRESULT hr = CheckStreaming();
    return hr == S_OK ? m_pTransformFilter->EndOfStream() : hr;
}

HRESULT CTransformInputPin::BeginFlush() {
    CAutoLock lock(m_pLock);
    if (!IsConnected()) return VFW_E_NOT_CONNECTED;
    HRESULT hr = CBaseInputPin::BeginFlush();
    return FAILED(hr) ? hr : m_pTransformFilter->BeginFlush();
}

HRESULT CTransformInputPin::EndFlush() {
    CAutoLock lock(m_pLock);
    if (!IsConnected()) return VFW_E_NOT_CONNECTED;
    HRESULT hr = m_pTransformFilter->EndFlush();
    return FAILED(hr) ? hr : CBaseInputPin::EndFlush();
}

HRESULT CTransformInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    CBasePin::NewSegment(start, stop, rate);
    return m_pTransformFilter->NewSegment(start, stop, rate);
}

CTransformOutputPin::CTransformOutputPin(const char* name, CTransformFilter* filter,
                                         HRESULT* result, LPCWSTR pinName)
    : CBaseOutputPin(name, filter, filter->StateLock(), result, pinName),
      m_pTransformFilter(filter) {}

HRESULT CTransformOutputPin::CheckConnect(IPin* pin) {
    if (!m_pTransformFilter->Input()->IsConnected()) return E_UNEXPECTED;
    HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_OUTPUT, pin);
    return FAILED(hr) ? hr : CBaseOutputPin::CheckConnect(pin);
}

HRESULT CTransformOutputPin::BreakConnect() {
    m_pTransformFilter->BreakConnect(PINDIR_OUTPUT);
    return CBaseOutputPin::BreakConnect();
}

HRESULT CTransformOutputPin::CompleteConnect(IPin* receive) {
    HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_OUTPUT, receive);
    return FAILED(hr) ? hr : CBaseOutputPin::CompleteConnect(receive);
}

HRESULT CTransformOutputPin::DecideBufferSize(IMemAllocator* allocator,
                                              ALLOCATOR_PROPERTIES* request) {
    return m_pTransformFilter->DecideBufferSize(allocator, request);
}

HRESULT CTransformOutputPin::CheckMediaType(const CMediaType* type) {
    CTransformInputPin* in = m_pTransformFilter->Input();
    if (!in->IsConnected()) return E_INVALIDARG;
    HRESULT hr = m_pTransformFilter->CheckTransform(&in->CurrentMediaType(), type);
    return hr == S_FALSE ? VFW_E_TYPE_NOT_ACCEPTED : hr;
}

HRESULT CTransformOutputPin::SetMediaType(const CMediaType* type) {
    HRESULT hr = CBasePin::SetMediaType(type);
    return FAILED(hr) ? hr : m_pTransformFilter->SetMediaType(PINDIR_OUTPUT, type);
}

HRESULT CTransformOutputPin::GetMediaType(int position, CMediaType* type) {
    if (!m_pTransformFilter->Input()->IsConnected()) return E_UNEXPECTED;
    return m_pTransformFilter->GetMediaType(position, type);
}

// ---- CTransformFilter ----

CTransformFilter::CTransformFilter(const char* name, IUnknown* outer, REFCLSID clsid)
    : CBaseFilter(name, outer, &m_csFilter, clsid) {}

CTransformFilter::~CTransformFilter() = default;

void CTransformFilter::CreatePins() {
    HRESULT hr = S_OK;
    m_pInput = std::make_unique<CTransformInputPin>("transform input", this, &hr, u"XForm In");
    m_pOutput = std::make_unique<CTransformOutputPin>("transform output", this, &hr, u"XForm Out");
}

CBasePin* CTransformFilter::GetPin(int index) {
    if (!m_pInput) {
        CAutoLock lock(&m_csFilter);
        if (!m_pInput) CreatePins();
    }
    if (index == 0) return m_pInput.get();
    if (index == 1) return m_pOutput.get();
    return nullptr;
}

HRESULT CTransformFilter::Stop() {
    CAutoLock lock(&m_csFilter);
    if (m_State == State_Stopped) return S_OK;
    GetPin(0);
    if (!m_pInput->IsConnected() || !m_pOutput->IsConnected()) {
        m_State = State_Stopped;
        m_bEOSDelivered = false;
        return S_OK;
    }
    // Unblock a Receive waiting for an output buffer, then wait for it to leave.
    m_pInput->Inactive();
    m_pOutput->Inactive();
    m_State = State_Stopped;
    CAutoLock receiving(&m_csReceive);
    HRESULT hr = StopStreaming();
    m_bEOSDelivered = false;
    return hr;
}

HRESULT CTransformFilter::Pause() {
    CAutoLock lock(&m_csFilter);
    if (m_State == State_Paused) return S_OK;
    GetPin(0);
    if (!m_pInput->IsConnected()) {
        // Nothing will arrive: tell downstream at once, so the graph can complete.
        if (m_pOutput->IsConnected() && !m_bEOSDelivered) {
            m_pOutput->DeliverEndOfStream();
            m_bEOSDelivered = true;
        }
        m_State = State_Paused;
        return S_OK;
    }
    if (!m_pOutput->IsConnected()) {
        m_State = State_Paused;
        return S_OK;
    }
    const bool starting = m_State == State_Stopped;
    if (starting) {
        CAutoLock receiving(&m_csReceive);
        HRESULT hr = StartStreaming();
        if (FAILED(hr)) return hr;
    }
    HRESULT hr = CBaseFilter::Pause();
    if (FAILED(hr) && starting) {
        CAutoLock receiving(&m_csReceive);
        StopStreaming();  // the filter stays stopped: nothing of the start is left running
    }
    return hr;
}

HRESULT CTransformFilter::Transform(IMediaSample*, IMediaSample*) { return E_UNEXPECTED; }

HRESULT CTransformFilter::InitializeOutputSample(IMediaSample* in, IMediaSample** out) {
    HRESULT hr = m_pOutput->GetDeliveryBuffer(out, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    REFERENCE_TIME start, end;
    HRESULT timed = in->GetTime(&start, &end);
    if (timed == S_OK)
        (*out)->SetTime(&start, &end);
    else if (timed == VFW_S_NO_STOP_TIME)
        (*out)->SetTime(&start, nullptr);
    (*out)->SetSyncPoint(in->IsSyncPoint() == S_OK);
    (*out)->SetPreroll(in->IsPreroll() == S_OK);
    (*out)->SetDiscontinuity(in->IsDiscontinuity() == S_OK);
    LONGLONG mediaStart, mediaEnd;
    if (in->GetMediaTime(&mediaStart, &mediaEnd) == S_OK)
        (*out)->SetMediaTime(&mediaStart, &mediaEnd);
    return S_OK;
}

HRESULT CTransformFilter::Receive(IMediaSample* sample) {
    IMediaSample* out = nullptr;
    HRESULT hr = InitializeOutputSample(sample, &out);
    if (FAILED(hr)) return hr;
    hr = Transform(sample, out);
    if (hr == S_OK) {
        hr = m_pOutput->Deliver(out);
    } else if (hr == S_FALSE) {
        hr = S_OK;  // the transform chose to drop this sample
    } else {
        NotifyEvent(EC_ERRORABORT, hr, 0);
    }
    out->Release();
    return hr;
}

HRESULT CTransformFilter::EndOfStream() {
    if (m_bEOSDelivered) return S_OK;
    m_bEOSDelivered = true;
    if (m_pOutput->IsConnected()) return m_pOutput->DeliverEndOfStream();
    // Nothing downstream: the stream ends here, and the graph counts this filter as its end.
    NotifyEvent(EC_COMPLETE, S_OK, 0);
    return S_OK;
}

HRESULT CTransformFilter::BeginFlush() {
    return m_pOutput->IsConnected() ? m_pOutput->DeliverBeginFlush() : S_OK;
}

HRESULT CTransformFilter::EndFlush() {
    m_bEOSDelivered = false;
    return m_pOutput->IsConnected() ? m_pOutput->DeliverEndFlush() : S_OK;
}

HRESULT CTransformFilter::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    return m_pOutput->IsConnected() ? m_pOutput->DeliverNewSegment(start, stop, rate) : S_OK;
}

// ---- CTransInPlaceFilter ----

CTransInPlaceFilter::CTransInPlaceFilter(const char* name, IUnknown* outer, REFCLSID clsid)
    : CTransformFilter(name, outer, clsid) {}

HRESULT CTransInPlaceFilter::Receive(IMediaSample* sample) {
    HRESULT hr = Transform(sample);
    if (hr == S_FALSE) return S_OK;
    if (FAILED(hr)) return hr;
    return m_pOutput->IsConnected() ? m_pOutput->Deliver(sample) : S_OK;
}

HRESULT CTransInPlaceFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
    return *in == *out ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CTransInPlaceFilter::DecideBufferSize(IMemAllocator* allocator,
                                              ALLOCATOR_PROPERTIES* request) {
    // Samples pass through; the output's own pool is only a formality of the connection.
    ALLOCATOR_PROPERTIES wanted = *request;
    wanted.cBuffers = std::max<LONG>(1, wanted.cBuffers);
    wanted.cbBuffer = std::max<LONG>(1, wanted.cbBuffer);
    ALLOCATOR_PROPERTIES actual{};
    return allocator->SetProperties(&wanted, &actual);
}

HRESULT CTransInPlaceFilter::GetMediaType(int position, CMediaType* type) {
    if (position != 0) return VFW_S_NO_MORE_ITEMS;
    *type = m_pInput->CurrentMediaType();
    return S_OK;
}
