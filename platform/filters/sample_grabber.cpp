// Sample Grabber: passes its input on unchanged and lets the application look at the samples:
// a copy of the latest one (SetBufferSamples), a callback per sample, and a one-shot mode that
// ends the stream after the first sample.

#include <cstring>
#include <vector>

#include "platform/com/com.h"
#include "platform/filters/factory.h"
#include "platform/media/base/transform.h"

namespace {

using platform::ComPtr;

constexpr LONG kSampleCallback = 0;
constexpr LONG kBufferCallback = 1;

class CSampleGrabber final : public CTransInPlaceFilter, public ISampleGrabber {
public:
    explicit CSampleGrabber(IUnknown* outer)
        : CTransInPlaceFilter("sample grabber", outer, CLSID_SampleGrabber) {}
    DECLARE_IUNKNOWN

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override {
        if (iid == IID_ISampleGrabber)
            return GetInterface(static_cast<ISampleGrabber*>(this), object);
        return CTransInPlaceFilter::NonDelegatingQueryInterface(iid, object);
    }

    // ISampleGrabber
    HRESULT STDMETHODCALLTYPE SetOneShot(BOOL oneShot) override;
    HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE GetConnectedMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE SetBufferSamples(BOOL buffer) override;
    HRESULT STDMETHODCALLTYPE GetCurrentBuffer(LONG* size, LONG* buffer) override;
    HRESULT STDMETHODCALLTYPE GetCurrentSample(IMediaSample** sample) override;
    HRESULT STDMETHODCALLTYPE SetCallback(ISampleGrabberCB* callback, LONG which) override;

    // The filter
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT CheckInputType(const CMediaType* type) override;
    HRESULT Transform(IMediaSample*) override { return S_OK; }
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndFlush() override;

protected:
    void CreatePins() override;

private:
    HRESULT KeepCopy(IMediaSample* sample);
    void CallBack(IMediaSample* sample);

    CMediaType acceptedType_;  // under the state lock; GUID_NULL fields match anything
    std::atomic<bool> oneShot_{false};
    std::atomic<bool> oneShotDone_{false};  // the one sample has passed: refuse the rest

    std::mutex bufferLock_;  // the kept copy; never held while calling out
    bool bufferSamples_ = false;
    bool buffered_ = false;
    std::vector<BYTE> buffer_;

    std::mutex callbackLock_;
    ComPtr<ISampleGrabberCB> callback_;
    LONG callbackKind_ = kSampleCallback;
};

void CSampleGrabber::CreatePins() {
    HRESULT hr = S_OK;
    m_pInput = std::make_unique<CTransformInputPin>("grabber input", this, &hr, u"Input");
    m_pOutput = std::make_unique<CTransformOutputPin>("grabber output", this, &hr, u"Output");
}

HRESULT CSampleGrabber::SetOneShot(BOOL oneShot) {
    oneShot_ = oneShot != FALSE;
    return S_OK;
}

HRESULT CSampleGrabber::SetMediaType(const AM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    CAutoLock lock(&m_csFilter);
    HRESULT hr = acceptedType_.Set(*type);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CSampleGrabber::GetConnectedMediaType(AM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    CAutoLock lock(&m_csFilter);
    GetPin(0);
    if (!m_pInput->IsConnected()) return VFW_E_NOT_CONNECTED;
    return CopyMediaType(type, &m_pInput->CurrentMediaType());
}

HRESULT CSampleGrabber::SetBufferSamples(BOOL buffer) {
    std::lock_guard lock(bufferLock_);
    bufferSamples_ = buffer != FALSE;
    if (!bufferSamples_) {
        buffered_ = false;
        std::vector<BYTE>().swap(buffer_);
    }
    return S_OK;
}

HRESULT CSampleGrabber::GetCurrentBuffer(LONG* size, LONG* buffer) {
    if (!size) return E_POINTER;
    std::lock_guard lock(bufferLock_);
    if (!bufferSamples_) return E_INVALIDARG;
    if (!buffered_) return VFW_E_WRONG_STATE;
    const LONG needed = static_cast<LONG>(buffer_.size());
    if (!buffer) {
        *size = needed;
        return S_OK;
    }
    if (*size < needed) return E_OUTOFMEMORY;  // nothing copied, the size left as given
    if (needed > 0) std::memcpy(buffer, buffer_.data(), buffer_.size());
    *size = needed;
    return S_OK;
}

HRESULT CSampleGrabber::GetCurrentSample(IMediaSample** sample) {
    // Not offered by the platform either: holding a sample would starve the upstream pool.
    if (sample) *sample = nullptr;
    return E_NOTIMPL;
}

HRESULT CSampleGrabber::SetCallback(ISampleGrabberCB* callback, LONG which) {
    if (which != kSampleCallback && which != kBufferCallback) return E_INVALIDARG;
    ComPtr<ISampleGrabberCB> replacement(callback);
    {
        std::lock_guard lock(callbackLock_);
        callback_.Swap(replacement);
        callbackKind_ = which;
    }
    return S_OK;  // the old callback is released here, outside the lock
}

HRESULT CSampleGrabber::Pause() {
    CAutoLock lock(&m_csFilter);
    if (m_State == State_Stopped) oneShotDone_ = false;  // a new run grabs a new sample
    return CTransInPlaceFilter::Pause();
}

HRESULT CSampleGrabber::CheckInputType(const CMediaType* type) {
    if (!type) return E_POINTER;
    return type->MatchesPartial(&acceptedType_) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CSampleGrabber::KeepCopy(IMediaSample* sample) {
    BYTE* data = nullptr;
    LONG length = sample->GetActualDataLength();
    if (FAILED(sample->GetPointer(&data)) || length < 0 || length > sample->GetSize() ||
        (length > 0 && !data))
        return E_INVALIDARG;
    std::lock_guard lock(bufferLock_);
    if (!bufferSamples_) return S_OK;
    try {
        buffer_.assign(data, data + length);
    } catch (const std::bad_alloc&) {
        buffered_ = false;
        return E_OUTOFMEMORY;
    }
    buffered_ = true;
    return S_OK;
}

void CSampleGrabber::CallBack(IMediaSample* sample) {
    ComPtr<ISampleGrabberCB> callback;
    LONG kind;
    {
        std::lock_guard lock(callbackLock_);
        callback = callback_;
        kind = callbackKind_;
    }
    if (!callback) return;
    REFERENCE_TIME start = 0, end = 0;
    double time = FAILED(sample->GetTime(&start, &end)) ? 0.0
                                                         : static_cast<double>(start) / UNITS;
    if (kind == kSampleCallback) {
        callback->SampleCB(time, sample);
        return;
    }
    BYTE* data = nullptr;
    LONG length = sample->GetActualDataLength();
    if (SUCCEEDED(sample->GetPointer(&data)) && length >= 0 && length <= sample->GetSize())
        callback->BufferCB(time, data, length);
}

// On the upstream thread, under the streaming lock.
HRESULT CSampleGrabber::Receive(IMediaSample* sample) {
    if (oneShotDone_) return S_FALSE;
    HRESULT hr = KeepCopy(sample);
    if (FAILED(hr)) {
        NotifyEvent(EC_ERRORABORT, hr, 0);
        return hr;
    }
    CallBack(sample);
    hr = m_pOutput->IsConnected() ? m_pOutput->Deliver(sample) : S_OK;
    if (!oneShot_) return hr;
    // One shot: this sample ends the stream; upstream is told to stop sending.
    oneShotDone_ = true;
    EndOfStream();
    return FAILED(hr) ? hr : S_FALSE;
}

HRESULT CSampleGrabber::EndFlush() {
    oneShotDone_ = false;
    return CTransInPlaceFilter::EndFlush();
}

platform::BuiltinClass g_sampleGrabberClass(CLSID_SampleGrabber,
                                            &platform::filters::CreateFilter<CSampleGrabber>);

}  // namespace
