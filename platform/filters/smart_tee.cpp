// Smart Tee: one input, a Capture output that gets the input samples as they are and a Preview
// output that gets copies without time stamps, so that a preview renderer shows them at once.
// The preview never holds capture back: when it has no free buffer the frame is not previewed.
// An unconnected output is skipped; with both free, the stream ends at the tee.

#include <algorithm>
#include <cstring>

#include "platform/com/com.h"
#include "platform/filters/factory.h"
#include "platform/media/base/filter.h"

namespace {

class CSmartTee;

class CTeeInputPin final : public CBaseInputPin {
  public:
    CTeeInputPin(CSmartTee* tee, CCritSec* lock);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
    HRESULT STDMETHODCALLTYPE EndOfStream() override;
    HRESULT STDMETHODCALLTYPE BeginFlush() override;
    HRESULT STDMETHODCALLTYPE EndFlush() override;
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop,
                                         double rate) override;
    // The buffer size the upstream pool hands out, 0 when unknown.
    LONG UpstreamBufferSize();

  private:
    CSmartTee* tee_;
};

class CTeeOutputPin final : public CBaseOutputPin {
  public:
    CTeeOutputPin(CSmartTee* tee, CCritSec* lock, LPCWSTR name, bool preview);
    HRESULT CheckConnect(IPin* pin) override;
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    // Sends a copy without time stamps, when a buffer is free at once.
    HRESULT DeliverCopy(IMediaSample* sample);

  private:
    CSmartTee* tee_;
    bool preview_;
};

class CSmartTee final : public CBaseFilter {
  public:
    explicit CSmartTee(IUnknown* outer);

    int GetPinCount() override { return 3; }
    CBasePin* GetPin(int index) override;
    HRESULT STDMETHODCALLTYPE Stop() override;

    CTeeInputPin* Input() { return input_.get(); }
    bool AnyOutputConnected() const { return capture_->IsConnected() || preview_->IsConnected(); }
    CCritSec* StreamingLock() { return &streamingLock_; }

    // Streaming, on the upstream thread under the streaming lock.
    HRESULT Deliver(IMediaSample* sample);
    HRESULT DeliverEndOfStream();
    void DeliverBeginFlush();
    void DeliverEndFlush();
    void DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

  private:
    CCritSec stateLock_;
    CCritSec streamingLock_;
    std::unique_ptr<CTeeInputPin> input_;
    std::unique_ptr<CTeeOutputPin> capture_;
    std::unique_ptr<CTeeOutputPin> preview_;
    bool completeSent_ = false;  // under the streaming lock
};

// ---- input ----

CTeeInputPin::CTeeInputPin(CSmartTee* tee, CCritSec* lock)
    : CBaseInputPin("tee input", tee, lock, nullptr, u"Input"), tee_(tee) {}

HRESULT CTeeInputPin::CheckMediaType(const CMediaType* type) {
    // Connected outputs carry the input's type: a new input must keep it.
    for (int i = 1; i < 3; ++i) {
        CBasePin* out = tee_->GetPin(i);
        if (out->IsConnected() && out->CurrentMediaType() != *type) return VFW_E_TYPE_NOT_ACCEPTED;
    }
    return S_OK;
}

LONG CTeeInputPin::UpstreamBufferSize() {
    ALLOCATOR_PROPERTIES props{};
    if (!m_pAllocator || FAILED(m_pAllocator->GetProperties(&props))) return 0;
    return props.cbBuffer;
}

HRESULT CTeeInputPin::Receive(IMediaSample* sample) {
    CAutoLock streaming(tee_->StreamingLock());
    HRESULT hr = CBaseInputPin::Receive(sample);
    return hr == S_OK ? tee_->Deliver(sample) : hr;
}

HRESULT CTeeInputPin::EndOfStream() {
    CAutoLock streaming(tee_->StreamingLock());
    HRESULT hr = CheckStreaming();
    return hr == S_OK ? tee_->DeliverEndOfStream() : hr;
}

HRESULT CTeeInputPin::BeginFlush() {
    CBaseInputPin::BeginFlush();
    tee_->DeliverBeginFlush();  // unblocks a Receive waiting downstream
    return S_OK;
}

HRESULT CTeeInputPin::EndFlush() {
    // The flush released any Receive in progress; wait for it to leave first.
    CAutoLock streaming(tee_->StreamingLock());
    tee_->DeliverEndFlush();
    return CBaseInputPin::EndFlush();
}

HRESULT CTeeInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    CBasePin::NewSegment(start, stop, rate);
    tee_->DeliverNewSegment(start, stop, rate);
    return S_OK;
}

// ---- outputs ----

CTeeOutputPin::CTeeOutputPin(CSmartTee* tee, CCritSec* lock, LPCWSTR name, bool preview)
    : CBaseOutputPin("tee output", tee, lock, nullptr, name), tee_(tee), preview_(preview) {}

HRESULT CTeeOutputPin::CheckConnect(IPin* pin) {
    if (!tee_->Input()->IsConnected()) return VFW_E_NOT_CONNECTED;
    return CBaseOutputPin::CheckConnect(pin);
}

HRESULT CTeeOutputPin::CheckMediaType(const CMediaType* type) {
    CTeeInputPin* in = tee_->Input();
    if (!in->IsConnected()) return VFW_E_NOT_CONNECTED;
    return in->CurrentMediaType() == *type ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CTeeOutputPin::GetMediaType(int position, CMediaType* type) {
    CTeeInputPin* in = tee_->Input();
    if (!in->IsConnected()) return VFW_E_NOT_CONNECTED;
    if (position != 0) return VFW_S_NO_MORE_ITEMS;
    return type->Set(in->CurrentMediaType());
}

HRESULT CTeeOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    ALLOCATOR_PROPERTIES wanted = *request;
    wanted.cbAlign = std::max<LONG>(1, wanted.cbAlign);
    if (preview_) {
        // Copies of the input samples: buffers as big as the upstream ones, two so that one
        // can be shown while the next is filled.
        LONG fixed = static_cast<LONG>(
            std::min<ULONG>(tee_->Input()->CurrentMediaType().GetSampleSize(), 0x7FFFFFFF));
        wanted.cBuffers = std::max<LONG>(2, wanted.cBuffers);
        wanted.cbBuffer =
            std::max({wanted.cbBuffer, tee_->Input()->UpstreamBufferSize(), fixed, LONG{1}});
    } else {
        // Capture passes the input samples themselves: its own pool is a formality.
        wanted.cBuffers = std::max<LONG>(1, wanted.cBuffers);
        wanted.cbBuffer = std::max<LONG>(1, wanted.cbBuffer);
    }
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(&wanted, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < wanted.cbBuffer ? E_FAIL : S_OK;
}

HRESULT CTeeOutputPin::DeliverCopy(IMediaSample* sample) {
    BYTE* source = nullptr;
    LONG length = sample->GetActualDataLength();
    if (FAILED(sample->GetPointer(&source)) || length < 0 || length > sample->GetSize())
        return S_OK;  // nothing sound to copy: skip the preview of this one
    IMediaSample* raw = nullptr;
    if (FAILED(GetDeliveryBuffer(&raw, nullptr, nullptr, AM_GBF_NOWAIT))) return S_OK;
    auto copy = platform::ComPtr<IMediaSample>::Adopt(raw);
    BYTE* target = nullptr;
    if (FAILED(copy->GetPointer(&target)) || length > copy->GetSize()) return S_OK;
    if (length > 0) std::memcpy(target, source, static_cast<size_t>(length));
    copy->SetActualDataLength(length);
    copy->SetTime(nullptr, nullptr);
    copy->SetSyncPoint(sample->IsSyncPoint() == S_OK);
    copy->SetDiscontinuity(sample->IsDiscontinuity() == S_OK);
    AM_MEDIA_TYPE* changed = nullptr;
    if (sample->GetMediaType(&changed) == S_OK && changed) {
        copy->SetMediaType(changed);
        DeleteMediaType(changed);
    }
    return Deliver(copy.Get());
}

// ---- filter ----

CSmartTee::CSmartTee(IUnknown* outer)
    : CBaseFilter("smart tee", outer, &stateLock_, CLSID_SmartTee),
      input_(std::make_unique<CTeeInputPin>(this, &stateLock_)),
      capture_(std::make_unique<CTeeOutputPin>(this, &stateLock_, u"Capture", false)),
      preview_(std::make_unique<CTeeOutputPin>(this, &stateLock_, u"Preview", true)) {}

CBasePin* CSmartTee::GetPin(int index) {
    switch (index) {
        case 0:
            return input_.get();
        case 1:
            return capture_.get();
        case 2:
            return preview_.get();
        default:
            return nullptr;
    }
}

HRESULT CSmartTee::Stop() {
    CAutoLock lock(&stateLock_);
    HRESULT hr = CBaseFilter::Stop();  // decommits, so nothing new starts
    // Downstream stopped first and released any Receive it held: wait for it to leave.
    CAutoLock streaming(&streamingLock_);
    completeSent_ = false;
    return hr;
}

HRESULT CSmartTee::Deliver(IMediaSample* sample) {
    HRESULT capture = capture_->IsConnected() ? capture_->Deliver(sample) : S_OK;
    HRESULT preview = preview_->IsConnected() ? preview_->DeliverCopy(sample) : S_OK;
    // Capture decides whether upstream goes on, unless it failed (a recording whose file could
    // not be written): the picture goes on as long as the preview takes it.
    if (!capture_->IsConnected()) return preview;
    return SUCCEEDED(capture) || !preview_->IsConnected() ? capture : preview;
}

HRESULT CSmartTee::DeliverEndOfStream() {
    if (capture_->IsConnected()) capture_->DeliverEndOfStream();
    if (preview_->IsConnected()) preview_->DeliverEndOfStream();
    if (!AnyOutputConnected() && !completeSent_) {
        // The stream ends here: the graph counts the tee as its end.
        completeSent_ = true;
        NotifyEvent(EC_COMPLETE, S_OK, 0);
    }
    return S_OK;
}

void CSmartTee::DeliverBeginFlush() {
    if (capture_->IsConnected()) capture_->DeliverBeginFlush();
    if (preview_->IsConnected()) preview_->DeliverBeginFlush();
}

void CSmartTee::DeliverEndFlush() {
    completeSent_ = false;
    if (capture_->IsConnected()) capture_->DeliverEndFlush();
    if (preview_->IsConnected()) preview_->DeliverEndFlush();
}

void CSmartTee::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    if (capture_->IsConnected()) capture_->DeliverNewSegment(start, stop, rate);
    if (preview_->IsConnected()) preview_->DeliverNewSegment(start, stop, rate);
}

platform::BuiltinClass g_smartTeeClass(CLSID_SmartTee, &platform::filters::CreateFilter<CSmartTee>);

}  // namespace
