#include "platform/filters/dv_splitter.h"

#include <cstring>

#include "platform/com/com.h"
#include "platform/dv/audio.h"
#include "platform/filters/dv_types.h"
#include "platform/media/base/output_queue.h"

namespace platform::filters {

namespace {

constexpr int kMaxPairs = 1944;  // the most a 625-line frame carries

// The audio rate a DV type announces in its DVINFO; 48 kHz when it does not say.
int AnnouncedRate(const CMediaType& type) {
    DVINFO info;
    if (!DvInfoOf(type, &info) || info.dwDVAAuxSrc == 0xFFFFFFFFu) return 48000;
    switch ((info.dwDVAAuxSrc >> 27) & 0x07) {
        case 1:
            return 44100;
        case 2:
            return 32000;
        default:
            return 48000;
    }
}

void CopyTimes(IMediaSample* from, IMediaSample* to) {
    REFERENCE_TIME start = 0, end = 0;
    const HRESULT timed = from->GetTime(&start, &end);
    if (timed == S_OK)
        to->SetTime(&start, &end);
    else if (timed == VFW_S_NO_STOP_TIME)
        to->SetTime(&start, nullptr);
    to->SetPreroll(from->IsPreroll() == S_OK);
}

HRESULT SetBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request, LONG count, LONG size) {
    request->cBuffers = std::max(count, request->cBuffers);
    request->cbBuffer = std::max(size, request->cbBuffer);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < size ? E_FAIL : S_OK;
}

}  // namespace

// ---- pins ----

class DvSplitter::InputPin final : public CBaseInputPin {
  public:
    InputPin(DvSplitter* filter, HRESULT* hr)
        : CBaseInputPin("DV splitter input", filter, &filter->stateLock_, hr, u"Input"),
          splitter_(filter) {}
    HRESULT CheckMediaType(const CMediaType* type) override {
        return IsDvType(*type) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override {
        return splitter_->Receive(sample);
    }
    HRESULT STDMETHODCALLTYPE EndOfStream() override { return splitter_->EndOfStream(); }
    HRESULT STDMETHODCALLTYPE BeginFlush() override {
        CAutoLock lock(m_pLock);
        CBaseInputPin::BeginFlush();
        return splitter_->BeginFlush();
    }
    HRESULT STDMETHODCALLTYPE EndFlush() override {
        CAutoLock lock(m_pLock);
        HRESULT hr = splitter_->EndFlush();
        CBaseInputPin::EndFlush();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop,
                                         double rate) override {
        CBasePin::NewSegment(start, stop, rate);
        return splitter_->NewSegment(start, stop, rate);
    }
    using CBaseInputPin::Receive;

  private:
    DvSplitter* splitter_;
};

// An output fed through a queue of its own while active: the input's thread only hands samples
// over, so a paused renderer that holds the video frame it shows never keeps the audio renderer
// from getting the audio of that frame (and the other way round).
class DvSplitter::QueuedPin : public CBaseOutputPin {
  public:
    QueuedPin(const char* name, DvSplitter* filter, HRESULT* hr, LPCWSTR pinName)
        : CBaseOutputPin(name, filter, &filter->stateLock_, hr, pinName), queue_(this) {}
    HRESULT Active() override {
        HRESULT hr = CBaseOutputPin::Active();
        if (SUCCEEDED(hr)) queue_.Start();
        return hr;
    }
    // Decommitting first releases an input thread that waits for a buffer.
    HRESULT Inactive() override {
        HRESULT hr = CBaseOutputPin::Inactive();
        queue_.Stop();
        return hr;
    }
    COutputQueue& Queue() { return queue_; }

  private:
    COutputQueue queue_;
};

class DvSplitter::VideoPin final : public QueuedPin {
  public:
    VideoPin(DvSplitter* filter, HRESULT* hr)
        : QueuedPin("DV splitter video", filter, hr, u"DVVidOut0"), splitter_(filter) {}
    HRESULT CheckConnect(IPin* pin) override {
        if (!splitter_->input_->IsConnected()) return VFW_E_NOT_CONNECTED;
        return CBaseOutputPin::CheckConnect(pin);
    }
    HRESULT CheckMediaType(const CMediaType* type) override {
        return type->majortype == MEDIATYPE_Video && type->subtype == MEDIASUBTYPE_dvsd
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (!splitter_->input_->IsConnected()) return VFW_E_NOT_CONNECTED;
        if (position < 0) return E_INVALIDARG;
        if (position > 0) return VFW_S_NO_MORE_ITEMS;
        MakeDvVideoType(type, SystemOf(splitter_->input_->CurrentMediaType()));
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
        const auto size = FrameSize(SystemOf(splitter_->input_->CurrentMediaType()));
        return SetBuffers(allocator, request, 2, static_cast<LONG>(size));
    }

  private:
    DvSplitter* splitter_;
};

class DvSplitter::AudioPin final : public QueuedPin {
  public:
    AudioPin(DvSplitter* filter, HRESULT* hr)
        : QueuedPin("DV splitter audio", filter, hr, u"AudOut00"), splitter_(filter) {}
    HRESULT CheckConnect(IPin* pin) override {
        if (!splitter_->input_->IsConnected()) return VFW_E_NOT_CONNECTED;
        return CBaseOutputPin::CheckConnect(pin);
    }
    // Any of the DV rates: the rate of a stream is only sure once its frames arrive.
    HRESULT CheckMediaType(const CMediaType* type) override {
        return PcmRateOf(*type) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (!splitter_->input_->IsConnected()) return VFW_E_NOT_CONNECTED;
        if (position < 0) return E_INVALIDARG;
        if (position > 0) return VFW_S_NO_MORE_ITEMS;
        MakePcmType(type, AnnouncedRate(splitter_->input_->CurrentMediaType()));
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
        return SetBuffers(allocator, request, 4, kMaxPairs * 4);
    }

  private:
    DvSplitter* splitter_;
};

// ---- filter ----

DvSplitter::DvSplitter(IUnknown* outer)
    : CBaseFilter("DV Splitter", outer, &stateLock_, CLSID_DVSplitter), pcm_(2 * kMaxPairs) {
    HRESULT hr = S_OK;
    input_ = std::make_unique<InputPin>(this, &hr);
    video_ = std::make_unique<VideoPin>(this, &hr);
    audio_ = std::make_unique<AudioPin>(this, &hr);
}

DvSplitter::~DvSplitter() = default;

HRESULT DvSplitter::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    auto* filter = new (std::nothrow) DvSplitter(outer);
    if (!filter) return E_OUTOFMEMORY;
    filter->NonDelegatingAddRef();
    HRESULT hr = filter->NonDelegatingQueryInterface(iid, object);
    filter->NonDelegatingRelease();
    return hr;
}

CBasePin* DvSplitter::GetPin(int index) {
    switch (index) {
        case 0:
            return input_.get();
        case 1:
            return video_.get();
        case 2:
            return audio_.get();
        default:
            return nullptr;
    }
}

HRESULT DvSplitter::Stop() {
    CAutoLock lock(&stateLock_);
    // Decommitting the allocators releases a Receive waiting for a buffer; then wait for it.
    HRESULT hr = CBaseFilter::Stop();
    CAutoLock receiving(&receiveLock_);
    ResetStreaming();
    return hr;
}

HRESULT DvSplitter::Pause() {
    CAutoLock lock(&stateLock_);
    if (IsStopped()) {
        CAutoLock receiving(&receiveLock_);
        ResetStreaming();
    }
    return CBaseFilter::Pause();
}

void DvSplitter::ResetStreaming() {
    videoDone_ = audioDone_ = audioGap_ = false;
    audioRate_ = 0;
    audioPosition_ = 0;
}

HRESULT DvSplitter::Receive(IMediaSample* sample) {
    CAutoLock receiving(&receiveLock_);
    HRESULT hr = input_->CBaseInputPin::Receive(sample);
    if (hr != S_OK) return hr;
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || !data) return E_POINTER;
    const LONG length = std::max<LONG>(0, sample->GetActualDataLength());
    if (video_->IsConnected() && !videoDone_)
        videoDone_ = DeliverVideo(sample, data, length) != S_OK;
    if (audio_->IsConnected() && !audioDone_)
        audioDone_ = DeliverAudio(sample, data, length) != S_OK;
    const bool videoWants = video_->IsConnected() && !videoDone_;
    const bool audioWants = audio_->IsConnected() && !audioDone_;
    return videoWants || audioWants ? S_OK : S_FALSE;
}

HRESULT DvSplitter::DeliverVideo(IMediaSample* in, const BYTE* data, LONG length) {
    IMediaSample* out = nullptr;
    HRESULT hr = video_->GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* target = nullptr;
    out->GetPointer(&target);
    const LONG copied = std::min(length, out->GetSize());
    std::memcpy(target, data, static_cast<std::size_t>(copied));
    out->SetActualDataLength(copied);
    CopyTimes(in, out);
    out->SetSyncPoint(TRUE);
    out->SetDiscontinuity(in->IsDiscontinuity() == S_OK);
    LONGLONG mediaStart = 0, mediaEnd = 0;
    if (in->GetMediaTime(&mediaStart, &mediaEnd) == S_OK) out->SetMediaTime(&mediaStart, &mediaEnd);
    hr = video_->Queue().Receive(out);
    out->Release();
    return hr;
}

HRESULT DvSplitter::DeliverAudio(IMediaSample* in, const BYTE* data, LONG length) {
    dv::AudioFormat format;
    const std::size_t pairs =
        dv::ExtractAudio(data, static_cast<std::size_t>(length), pcm_.data(), kMaxPairs, &format);
    if (pairs == 0) {
        audioGap_ = true;
        return S_OK;
    }
    IMediaSample* out = nullptr;
    HRESULT hr = audio_->GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* target = nullptr;
    out->GetPointer(&target);
    const auto bytes = static_cast<LONG>(std::min<std::size_t>(pairs * 4, out->GetSize()));
    std::memcpy(target, pcm_.data(), static_cast<std::size_t>(bytes));
    out->SetActualDataLength(bytes);
    const int connected = PcmRateOf(audio_->CurrentMediaType());
    if (format.sampleRate != (audioRate_ ? audioRate_ : connected)) {
        CMediaType changed;
        MakePcmType(&changed, format.sampleRate);
        out->SetMediaType(&changed);
    }
    audioRate_ = format.sampleRate;
    CopyTimes(in, out);
    out->SetSyncPoint(TRUE);
    out->SetDiscontinuity(audioGap_ || in->IsDiscontinuity() == S_OK);
    LONGLONG mediaStart = audioPosition_, mediaEnd = audioPosition_ + bytes / 4;
    out->SetMediaTime(&mediaStart, &mediaEnd);
    audioPosition_ = mediaEnd;
    audioGap_ = false;
    hr = audio_->Queue().Receive(out);
    out->Release();
    return hr;
}

HRESULT DvSplitter::EndOfStream() {
    CAutoLock receiving(&receiveLock_);
    HRESULT hr = input_->CheckStreaming();
    if (hr != S_OK) return hr;
    if (video_->IsConnected()) video_->Queue().EndOfStream();
    if (audio_->IsConnected()) audio_->Queue().EndOfStream();
    return S_OK;
}

HRESULT DvSplitter::BeginFlush() {
    if (video_->IsConnected()) video_->Queue().BeginFlush();
    if (audio_->IsConnected()) audio_->Queue().BeginFlush();
    return S_OK;
}

HRESULT DvSplitter::EndFlush() {
    {
        CAutoLock receiving(&receiveLock_);
        ResetStreaming();
    }
    if (video_->IsConnected()) video_->Queue().EndFlush();
    if (audio_->IsConnected()) audio_->Queue().EndFlush();
    return S_OK;
}

HRESULT DvSplitter::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    {
        CAutoLock receiving(&receiveLock_);
        audioPosition_ = 0;
    }
    if (video_->IsConnected()) video_->Queue().NewSegment(start, stop, rate);
    if (audio_->IsConnected()) audio_->Queue().NewSegment(start, stop, rate);
    return S_OK;
}

namespace {
platform::BuiltinClass g_splitterClass(CLSID_DVSplitter, &DvSplitter::CreateInstance);
}  // namespace

}  // namespace platform::filters
