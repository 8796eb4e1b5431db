#include "platform/filters/dv_muxer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/com/com.h"
#include "platform/dv/audio.h"
#include "platform/filters/dv_types.h"
#include "platform/kernel/debug_output.h"

namespace platform::filters {

namespace {

constexpr std::size_t kMaxQueuedFrames = 30;
constexpr std::size_t kMaxQueuedSeconds = 2;

}  // namespace

// ---- pins ----

// "Stream 0" takes the DV video, "Stream 1" the PCM that goes into its audio blocks.
class DvMuxer::InputPin final : public CBaseInputPin {
  public:
    InputPin(DvMuxer* filter, HRESULT* hr, bool video)
        : CBaseInputPin(video ? "DV muxer video" : "DV muxer audio", filter, &filter->stateLock_,
                        hr, video ? u"Stream 0" : u"Stream 1"),
          muxer_(filter),
          video_(video) {}
    HRESULT CheckMediaType(const CMediaType* type) override {
        bool accepted = video_ ? IsDvType(*type) : PcmRateOf(*type) != 0;
        return accepted ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override {
        HRESULT hr = CBaseInputPin::Receive(sample);
        if (hr != S_OK) return hr;
        return video_ ? muxer_->ReceiveVideo(sample) : muxer_->ReceiveAudio(sample);
    }
    HRESULT STDMETHODCALLTYPE EndOfStream() override {
        HRESULT hr = CheckStreaming();
        return hr == S_OK ? muxer_->EndOfStream(video_) : hr;
    }
    HRESULT STDMETHODCALLTYPE BeginFlush() override {
        CBaseInputPin::BeginFlush();
        return muxer_->BeginFlush();
    }
    HRESULT STDMETHODCALLTYPE EndFlush() override {
        HRESULT hr = muxer_->EndFlush();
        CBaseInputPin::EndFlush();
        return hr;
    }
    // The video's segment is the output's; the audio's follows it.
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop,
                                         double rate) override;

  private:
    DvMuxer* muxer_;
    bool video_;
};

class DvMuxer::OutputPin final : public CBaseOutputPin {
  public:
    OutputPin(DvMuxer* filter, HRESULT* hr)
        : CBaseOutputPin("DV muxer output", filter, &filter->stateLock_, hr, u"Output"),
          muxer_(filter) {}
    HRESULT CheckConnect(IPin* pin) override {
        if (!muxer_->video_->IsConnected()) return VFW_E_NOT_CONNECTED;
        return CBaseOutputPin::CheckConnect(pin);
    }
    HRESULT CheckMediaType(const CMediaType* type) override {
        return type->majortype == MEDIATYPE_Interleaved && type->subtype == MEDIASUBTYPE_dvsd
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
        const auto size = static_cast<LONG>(FrameSize(System()));
        request->cBuffers = std::max<LONG>(4, request->cBuffers);
        request->cbBuffer = std::max(size, request->cbBuffer);
        ALLOCATOR_PROPERTIES actual{};
        HRESULT hr = allocator->SetProperties(request, &actual);
        if (FAILED(hr)) return hr;
        return actual.cbBuffer < size ? E_FAIL : S_OK;
    }
    dv::System System() const { return SystemOf(muxer_->video_->CurrentMediaType()); }

  private:
    DvMuxer* muxer_;
};

HRESULT DvMuxer::InputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    CBasePin::NewSegment(start, stop, rate);
    if (!video_) return S_OK;
    OutputPin* out = muxer_->output_.get();
    return out->IsConnected() ? out->DeliverNewSegment(start, stop, rate) : S_OK;
}

// The stream's DVINFO: the audio packs the muxer writes (those of the first frame), or with no
// audio input those of the video's own type; the video packs of the video's type.
HRESULT DvMuxer::OutputPin::GetMediaType(int position, CMediaType* type) {
    if (!muxer_->video_->IsConnected()) return VFW_E_NOT_CONNECTED;
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    DVINFO info;
    std::memset(&info, 0xFF, sizeof(info));
    DvInfoOf(muxer_->video_->CurrentMediaType(), &info);
    if (muxer_->audio_->IsConnected()) {
        const int rate = muxer_->AudioRate();
        dv::AudioWriteFormat format{rate, dv::Quantization::Linear16, true};
        if (muxer_->twelveBit_ && rate == 32000)
            format.quantization = dv::Quantization::Nonlinear12;
        const std::size_t count = dv::LockedSamplesInFrame(System(), rate, 0);
        BYTE packs[4][4];
        if (dv::AudioPacks(format, System(), 0, count, packs[0], packs[1]) &&
            dv::AudioPacks(format, System(), 1, count, packs[2], packs[3])) {
            std::memcpy(&info.dwDVAAuxSrc, packs[0], 4);
            std::memcpy(&info.dwDVAAuxCtl, packs[1], 4);
            std::memcpy(&info.dwDVAAuxSrc1, packs[2], 4);
            std::memcpy(&info.dwDVAAuxCtl1, packs[3], 4);
        }
    }
    info.dwDVReserved[0] = info.dwDVReserved[1] = 0;
    MakeInterleavedType(type, System(), info);
    return S_OK;
}

// ---- filter ----

DvMuxer::DvMuxer(IUnknown* outer) : CBaseFilter("DV Muxer", outer, &stateLock_, CLSID_DVMux) {
    HRESULT hr = S_OK;
    video_ = std::make_unique<InputPin>(this, &hr, true);
    audio_ = std::make_unique<InputPin>(this, &hr, false);
    output_ = std::make_unique<OutputPin>(this, &hr);
}

DvMuxer::~DvMuxer() = default;

HRESULT DvMuxer::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    auto* filter = new (std::nothrow) DvMuxer(outer);
    if (!filter) return E_OUTOFMEMORY;
    filter->NonDelegatingAddRef();
    HRESULT hr = filter->NonDelegatingQueryInterface(iid, object);
    filter->NonDelegatingRelease();
    return hr;
}

CBasePin* DvMuxer::GetPin(int index) {
    switch (index) {
        case 0:
            return video_.get();
        case 1:
            return audio_.get();
        case 2:
            return output_.get();
        default:
            return nullptr;
    }
}

int DvMuxer::AudioRate() const {
    const int rate = PcmRateOf(audio_->CurrentMediaType());
    return rate ? rate : 48000;
}

void DvMuxer::SetTwelveBitAudio(bool twelveBit) {
    CAutoLock lock(&stateLock_);
    twelveBit_ = twelveBit;
}

std::int64_t DvMuxer::FramesWritten() const {
    std::lock_guard lock(mutex_);
    return frameNumber_;
}

std::int64_t DvMuxer::MissingAudioSamples() const {
    std::lock_guard lock(mutex_);
    return missing_;
}

std::int64_t DvMuxer::SurplusAudioSamples() const {
    std::lock_guard lock(mutex_);
    return surplus_;
}

HRESULT DvMuxer::Stop() {
    CAutoLock lock(&stateLock_);
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    // Decommitting the output allocator releases a delivery waiting for a buffer.
    HRESULT hr = CBaseFilter::Stop();
    std::lock_guard delivering(deliverLock_);
    std::lock_guard guard(mutex_);
    frames_.clear();
    audioQueue_.clear();
    return hr;
}

HRESULT DvMuxer::Pause() {
    CAutoLock lock(&stateLock_);
    if (IsStopped()) {
        std::lock_guard guard(mutex_);
        ResetStreaming();
        audioInUse_ = audio_->IsConnected();
        rate_ = AudioRate();
        twelveBitRun_ = twelveBit_ && rate_ == 32000;
        missing_ = surplus_ = 0;
        stopping_ = false;
    }
    return CBaseFilter::Pause();
}

void DvMuxer::ResetStreaming() {
    frames_.clear();
    audioQueue_.clear();
    videoEnded_ = audioEnded_ = endDelivered_ = false;
    frameNumber_ = 0;
}

HRESULT DvMuxer::ReceiveVideo(IMediaSample* sample) {
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || !data) return E_POINTER;
    const LONG length = std::clamp<LONG>(sample->GetActualDataLength(), 0, sample->GetSize());
    Frame frame;
    frame.data.assign(data, data + length);
    frame.timed = sample->GetTime(&frame.start, &frame.end);
    frame.discontinuity = sample->IsDiscontinuity() == S_OK;
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            return stopping_ || flushes_ > 0 || !audioInUse_ || audioEnded_ ||
                   frames_.size() < kMaxQueuedFrames;
        });
        if (stopping_ || flushes_ > 0) return S_FALSE;
        if (videoEnded_) return VFW_E_SAMPLE_REJECTED_EOS;
        frames_.push_back(std::move(frame));
    }
    return Pump();
}

HRESULT DvMuxer::ReceiveAudio(IMediaSample* sample) {
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || !data) return E_POINTER;
    const LONG length = std::clamp<LONG>(sample->GetActualDataLength(), 0, sample->GetSize());
    const auto* pcm = reinterpret_cast<const std::int16_t*>(data);
    const std::size_t values = static_cast<std::size_t>(length / 4) * 2;
    {
        std::unique_lock lock(mutex_);
        const std::size_t limit = kMaxQueuedSeconds * rate_ * 2;
        changed_.wait(lock, [&] {
            return stopping_ || flushes_ > 0 || videoEnded_ || !frames_.empty() ||
                   audioQueue_.size() < limit;
        });
        if (stopping_ || flushes_ > 0) return S_FALSE;
        if (audioEnded_) return VFW_E_SAMPLE_REJECTED_EOS;
        if (videoEnded_ && frames_.empty()) {
            surplus_ += static_cast<std::int64_t>(values / 2);
            return S_OK;
        }
        audioQueue_.insert(audioQueue_.end(), pcm, pcm + values);
    }
    return Pump();
}

HRESULT DvMuxer::EndOfStream(bool video) {
    {
        std::lock_guard lock(mutex_);
        (video ? videoEnded_ : audioEnded_) = true;
    }
    changed_.notify_all();
    return Pump();
}

// Takes the next frame whose audio is complete (or whose audio will not come) off the queue,
// with that audio. Under mutex_.
bool DvMuxer::TakeNext(Frame* frame, std::vector<std::int16_t>* pcm, std::size_t* count) {
    if (stopping_ || flushes_ > 0 || frames_.empty()) return false;
    const auto layout = dv::LayoutOf(frames_.front().data.data(), frames_.front().data.size());
    *count = 0;
    pcm->clear();
    if (audioInUse_ && layout) {
        *count =
            static_cast<std::size_t>(dv::LockedSamplesInFrame(layout->system, rate_, frameNumber_));
        if (audioQueue_.size() < 2 * *count && !audioEnded_) return false;
        const std::size_t take = std::min(audioQueue_.size(), 2 * *count);
        pcm->assign(audioQueue_.begin(), audioQueue_.begin() + static_cast<std::ptrdiff_t>(take));
        audioQueue_.erase(audioQueue_.begin(),
                          audioQueue_.begin() + static_cast<std::ptrdiff_t>(take));
        missing_ += static_cast<std::int64_t>(*count - take / 2);
    }
    *frame = std::move(frames_.front());
    frames_.pop_front();
    ++frameNumber_;
    return true;
}

HRESULT DvMuxer::Pump() {
    std::lock_guard delivering(deliverLock_);
    for (;;) {
        Frame frame;
        std::vector<std::int16_t> pcm;
        std::size_t count = 0;
        {
            std::lock_guard lock(mutex_);
            if (!TakeNext(&frame, &pcm, &count)) break;
        }
        changed_.notify_all();
        if (count > 0) {
            dv::AudioWriteFormat format{rate_, dv::Quantization::Linear16, true};
            if (twelveBitRun_) format.quantization = dv::Quantization::Nonlinear12;
            dv::WriteAudio(frame.data.data(), frame.data.size(), format, pcm.data(), pcm.size() / 2,
                           count);
        }
        HRESULT hr = DeliverFrame(frame);
        if (hr != S_OK) return hr;
    }
    DeliverEndIfDone();
    return S_OK;
}

HRESULT DvMuxer::DeliverFrame(Frame& frame) {
    if (!output_->IsConnected()) return S_OK;
    IMediaSample* out = nullptr;
    HRESULT hr = output_->GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* target = nullptr;
    out->GetPointer(&target);
    const auto length = static_cast<LONG>(std::min<std::size_t>(frame.data.size(), out->GetSize()));
    if (length > 0) std::memcpy(target, frame.data.data(), static_cast<std::size_t>(length));
    out->SetActualDataLength(length);
    if (frame.timed == S_OK)
        out->SetTime(&frame.start, &frame.end);
    else if (frame.timed == VFW_S_NO_STOP_TIME)
        out->SetTime(&frame.start, nullptr);
    out->SetSyncPoint(TRUE);
    out->SetDiscontinuity(frame.discontinuity);
    hr = output_->Deliver(out);
    out->Release();
    return hr;
}

// At the end of the video (and of the audio, when there is some), reports what could not be
// paired and passes the end of the stream on. Under deliverLock_.
void DvMuxer::DeliverEndIfDone() {
    std::int64_t missing = 0, surplus = 0;
    {
        std::lock_guard lock(mutex_);
        if (endDelivered_ || stopping_ || flushes_ > 0 || !videoEnded_ || !frames_.empty()) return;
        if (audioInUse_ && !audioEnded_) return;
        surplus_ += static_cast<std::int64_t>(audioQueue_.size() / 2);
        audioQueue_.clear();
        endDelivered_ = true;
        missing = missing_;
        surplus = surplus_;
    }
    if (missing > 0 || surplus > 0) {
        const std::string line = "DV Muxer: " + std::to_string(missing) +
                                 " audio samples missing (written as no-sample codes), " +
                                 std::to_string(surplus) + " audio samples past the last frame\n";
        OutputDebugStringA(line.c_str());
    }
    if (output_->IsConnected()) output_->DeliverEndOfStream();
}

HRESULT DvMuxer::BeginFlush() {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = flushes_++ == 0;
        if (first) ResetStreaming();
    }
    changed_.notify_all();
    return first && output_->IsConnected() ? output_->DeliverBeginFlush() : S_OK;
}

HRESULT DvMuxer::EndFlush() {
    bool last = false;
    {
        std::lock_guard lock(mutex_);
        if (flushes_ == 0) return S_OK;
        last = --flushes_ == 0;
        if (last) ResetStreaming();
    }
    return last && output_->IsConnected() ? output_->DeliverEndFlush() : S_OK;
}

namespace {
platform::BuiltinClass g_muxerClass(CLSID_DVMux, &DvMuxer::CreateInstance);
}  // namespace

}  // namespace platform::filters
