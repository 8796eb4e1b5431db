#include "tests/platform/dv/dv_test_filters.h"

#include <cstring>

#include "platform/filters/dv_types.h"

namespace velmora::test::dv {

namespace {
// {A1D0F001-5E1B-4C59-9C1E-7E57F11E0D01} and following.
constexpr CLSID kBufferSource = {
    0xA1D0F001, 0x5E1B, 0x4C59, {0x9C, 0x1E, 0x7E, 0x57, 0xF1, 0x1E, 0x0D, 0x01}};
constexpr CLSID kCollectSink = {
    0xA1D0F001, 0x5E1B, 0x4C59, {0x9C, 0x1E, 0x7E, 0x57, 0xF1, 0x1E, 0x0D, 0x02}};

template <typename T>
platform::ComPtr<IBaseFilter> Wrap(T* filter) {
    platform::ComPtr<IBaseFilter> result;
    filter->NonDelegatingAddRef();
    filter->NonDelegatingQueryInterface(IID_IBaseFilter, result.PutVoid());
    filter->NonDelegatingRelease();
    return result;
}
}  // namespace

class BufferSource::Stream final : public CSourceStream {
  public:
    Stream(BufferSource* filter, const CMediaType& type, std::vector<Bytes> buffers,
           REFERENCE_TIME duration)
        : CSourceStream("buffers", nullptr, filter, u"Output"),
          type_(type),
          buffers_(std::move(buffers)),
          duration_(duration) {}
    HRESULT GetMediaType(CMediaType* type) override {
        *type = type_;
        return S_OK;
    }
    using CSourceStream::GetMediaType;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
        std::size_t largest = 16;
        for (const Bytes& b : buffers_) largest = std::max(largest, b.size());
        request->cBuffers = std::max<LONG>(2, request->cBuffers);
        request->cbBuffer = std::max<LONG>(static_cast<LONG>(largest), request->cbBuffer);
        ALLOCATOR_PROPERTIES actual{};
        return allocator->SetProperties(request, &actual);
    }
    HRESULT OnThreadStartPlay() override {
        next_ = 0;
        return S_OK;
    }
    HRESULT FillBuffer(IMediaSample* sample) override {
        if (next_ >= buffers_.size()) return S_FALSE;
        const Bytes& buffer = buffers_[next_];
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        if (!buffer.empty()) std::memcpy(data, buffer.data(), buffer.size());
        sample->SetActualDataLength(static_cast<LONG>(buffer.size()));
        if (duration_ > 0) {
            REFERENCE_TIME start = static_cast<REFERENCE_TIME>(next_) * duration_;
            REFERENCE_TIME end = start + duration_;
            sample->SetTime(&start, &end);
        }
        sample->SetSyncPoint(TRUE);
        ++next_;
        return S_OK;
    }

  private:
    CMediaType type_;
    std::vector<Bytes> buffers_;
    REFERENCE_TIME duration_;
    std::size_t next_ = 0;
};

BufferSource::BufferSource() : CSource("buffer source", nullptr, kBufferSource) {}

platform::ComPtr<IBaseFilter> BufferSource::Create(const CMediaType& type,
                                                   std::vector<Bytes> buffers,
                                                   REFERENCE_TIME duration) {
    auto* source = new BufferSource;
    new Stream(source, type, std::move(buffers), duration);  // owned by the filter
    return Wrap(source);
}

class CollectSink::Pin final : public CBaseInputPin {
  public:
    explicit Pin(CollectSink* sink)
        : CBaseInputPin("collect", sink, &sink->lock_, nullptr, u"In"), sink_(sink) {}
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override {
        HRESULT hr = CBaseInputPin::Receive(sample);
        if (hr != S_OK) return hr;
        Received r;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        r.data.assign(data, data + sample->GetActualDataLength());
        r.timed = sample->GetTime(&r.start, &r.end) == S_OK;
        r.hasMediaTime = sample->GetMediaTime(&r.mediaStart, &r.mediaEnd) == S_OK;
        r.discontinuity = sample->IsDiscontinuity() == S_OK;
        AM_MEDIA_TYPE* type = nullptr;
        if (sample->GetMediaType(&type) == S_OK && type) {
            r.newRate = platform::filters::PcmRateOf(CMediaType(*type));
            DeleteMediaType(type);
        }
        std::lock_guard lock(sink_->mutex_);
        sink_->samples_.push_back(std::move(r));
        const int refuse = sink_->refuseAfter_;
        return refuse >= 0 && static_cast<int>(sink_->samples_.size()) >= refuse ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE EndOfStream() override {
        {
            std::lock_guard lock(sink_->mutex_);
            ++sink_->eos_;
        }
        return sink_->NotifyEvent(EC_COMPLETE, S_OK, 0);
    }

  private:
    CollectSink* sink_;
};

CollectSink::CollectSink()
    : CBaseFilter("collect sink", nullptr, &lock_, kCollectSink),
      pin_(std::make_unique<Pin>(this)) {}

platform::ComPtr<IBaseFilter> CollectSink::Create(CollectSink** self) {
    auto* sink = new CollectSink;
    if (self) *self = sink;
    return Wrap(sink);
}

CBasePin* CollectSink::GetPin(int index) {
    return index == 0 ? pin_.get() : nullptr;
}

std::vector<Received> CollectSink::Samples() {
    std::lock_guard lock(mutex_);
    return samples_;
}

int CollectSink::EndOfStreams() {
    std::lock_guard lock(mutex_);
    return eos_;
}

void CollectSink::RefuseAfter(int count) {
    std::lock_guard lock(mutex_);
    refuseAfter_ = count;
}

}  // namespace velmora::test::dv
