// AVI Splitter: reads an AVI file through the upstream Async Reader (IAsyncReader) and delivers
// each stream's chunks on an output pin of its own, "Stream 00", "Stream 01", ... in the file's
// stream order. A type-1 DV file's 'iavs' stream goes out whole as interleaved DV; a type-2
// file's DV video stream as DV video (its DIF blocks still hold the audio), its PCM stream as
// audio. The file is parsed when the input connects: anything that is not a usable AVI file is
// refused there, and a chunk that turns out damaged while streaming ends the stream with
// EC_ERRORABORT.
//
// Each output has its own streaming thread and is positioned by its IMediaSeeking: media time,
// and frames for video. The start frame is always delivered, then frames up to (not including)
// the stop position, so a seek n..n delivers exactly frame n. A negative rate plays backwards
// from the start frame down to frame 0.

#include <cstring>
#include <memory>

#include "platform/com/com.h"
#include "platform/filters/avi_format.h"
#include "platform/filters/factory.h"
#include "platform/media/base/source.h"

namespace {

using platform::ComPtr;
namespace avi = platform::avi;

constexpr std::uint32_t kMaxChunk = 16u << 20;  // no DV or PCM chunk comes near this

// The media subtype the platform derives from a FourCC or a format tag.
GUID SubtypeFromFourCC(std::uint32_t code) {
    return GUID{code, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

std::uint32_t Lower(std::uint32_t fourcc) {
    std::uint32_t out = 0;
    for (int i = 0; i < 4; ++i) {
        std::uint32_t c = (fourcc >> (8 * i)) & 0xFF;
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        out |= c << (8 * i);
    }
    return out;
}

// How a stream's chunks map to time.
struct Timeline {
    REFERENCE_TIME frame = 0;           // video: the duration of each chunk
    std::vector<std::int64_t> offsets;  // audio: bytes before each chunk, then the total
    std::uint32_t bytesPerSecond = 0;

    std::int64_t Count() const {
        return frame ? std::int64_t(count) : std::int64_t(offsets.size()) - 1;
    }
    REFERENCE_TIME TimeOf(std::int64_t i) const {
        if (frame) return i * frame;
        return REFERENCE_TIME(offsets[std::size_t(i)] * UNITS / bytesPerSecond);
    }
    // The chunk that plays at t: the last that starts at or before it; Count() from the end on.
    std::int64_t IndexAt(REFERENCE_TIME t) const {
        if (t >= TimeOf(Count())) return Count();
        if (frame) return std::max<REFERENCE_TIME>(t, 0) / frame;
        std::int64_t lo = 0, hi = Count() - 1;
        while (lo < hi) {
            std::int64_t mid = (lo + hi + 1) / 2;
            if (TimeOf(mid) <= t)
                lo = mid;
            else
                hi = mid - 1;
        }
        return lo;
    }
    std::size_t count = 0;
};

class CAviSplitter;

class CAviStream final : public CSourceSeekingStream {
  public:
    CAviStream(CAviSplitter* filter, HRESULT* result, LPCWSTR name, ComPtr<IAsyncReader> reader,
               avi::ParsedStream stream, CMediaType type, Timeline timeline);
    HRESULT GetMediaType(CMediaType* type) override;
    using CSourceStream::GetMediaType;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT FillBuffer(IMediaSample* sample) override;
    // Lets go of the file when the pin leaves the filter (stopped and disconnected).
    void Retire() { reader_.Reset(); }

  protected:
    REFERENCE_TIME Duration() override { return timeline_.TimeOf(timeline_.Count()); }
    REFERENCE_TIME FrameDuration() override { return timeline_.frame; }
    bool CanPlayBackwards() override { return timeline_.frame > 0; }
    void OnSeek() override;
    HRESULT OnThreadStartPlay() override;

  private:
    HRESULT ReadChunk(const avi::IndexEntry& entry, IMediaSample* sample);

    ComPtr<IAsyncReader> reader_;
    avi::ParsedStream stream_;
    CMediaType type_;
    Timeline timeline_;
    std::uint32_t largest_ = 0;
    // The streaming thread's place, under m_SeekLock.
    std::int64_t next_ = 0, first_ = 0, delivered_ = 0;
};

class CAviInputPin final : public CBasePin {
  public:
    CAviInputPin(CAviSplitter* filter, CCritSec* lock);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT CompleteConnect(IPin* receive) override;
    HRESULT BreakConnect() override;
    HRESULT STDMETHODCALLTYPE BeginFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EndFlush() override { return S_OK; }

  private:
    CAviSplitter* splitter_;
};

class CAviSplitter final : public CSource {
  public:
    explicit CAviSplitter(IUnknown* outer);
    int GetPinCount() override;
    CBasePin* GetPin(int index) override;

    // Under the state lock, from the input pin.
    HRESULT Open(IAsyncReader* reader);
    void Close();

  private:
    HRESULT AddStream(int index, const ComPtr<IAsyncReader>& reader, avi::ParsedStream stream,
                      std::uint32_t microSecPerFrame);

    std::unique_ptr<CAviInputPin> input_;
    // Output pins of an earlier file: kept, unlisted, until the filter goes, because the graph
    // or an application may still hold a pointer to one.
    std::vector<std::unique_ptr<CAviStream>> retired_;
};

// ---- media types ----

HRESULT TypeOfStream(const avi::ParsedStream& s, std::uint32_t microSecPerFrame, CMediaType* type,
                     Timeline* timeline) {
    const auto& f = s.format;
    if (s.type == avi::FourCC("iavs") || s.type == avi::FourCC("vids")) {
        if (s.scale == 0 || s.rate == 0) {
            if (!microSecPerFrame) return VFW_E_INVALID_FILE_FORMAT;
            timeline->frame = REFERENCE_TIME(microSecPerFrame) * 10;
        } else {
            timeline->frame = (REFERENCE_TIME(UNITS) * s.scale + s.rate / 2) / s.rate;
        }
        if (timeline->frame <= 0) return VFW_E_INVALID_FILE_FORMAT;
        timeline->count = s.chunks.size();
    }
    if (s.type == avi::FourCC("iavs")) {
        *type = CMediaType(&MEDIATYPE_Interleaved);
        type->SetSubtype(&MEDIASUBTYPE_dvsd);
        type->SetFormatType(&FORMAT_DvInfo);
        DVINFO info{};
        std::memcpy(&info, f.data(), std::min(f.size(), sizeof info));
        if (!type->SetFormat(reinterpret_cast<const BYTE*>(&info), sizeof info))
            return E_OUTOFMEMORY;
        return S_OK;
    }
    if (s.type == avi::FourCC("vids")) {
        if (f.size() < sizeof(BITMAPINFOHEADER)) return VFW_E_INVALID_FILE_FORMAT;
        VIDEOINFOHEADER vih{};
        std::memcpy(&vih.bmiHeader, f.data(), sizeof vih.bmiHeader);
        vih.AvgTimePerFrame = timeline->frame;
        std::uint32_t code = vih.bmiHeader.biCompression;
        if (Lower(code) == avi::FourCC("dvsd")) code = avi::FourCC("dvsd");
        GUID subtype = SubtypeFromFourCC(code);
        *type = CMediaType(&MEDIATYPE_Video);
        type->SetSubtype(&subtype);
        type->SetFormatType(&FORMAT_VideoInfo);
        if (!type->SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof vih)) return E_OUTOFMEMORY;
        return S_OK;
    }
    if (s.type == avi::FourCC("auds")) {
        if (f.size() < 16) return VFW_E_INVALID_FILE_FORMAT;
        WAVEFORMATEX wave{};
        std::memcpy(&wave, f.data(), std::min(f.size(), sizeof wave));
        if (f.size() < sizeof wave) wave.cbSize = 0;
        if (wave.nAvgBytesPerSec == 0 || wave.nBlockAlign == 0) return VFW_E_INVALID_FILE_FORMAT;
        timeline->bytesPerSecond = wave.nAvgBytesPerSec;
        timeline->offsets.reserve(s.chunks.size() + 1);
        std::int64_t total = 0;
        for (const auto& chunk : s.chunks) {
            timeline->offsets.push_back(total);
            total += chunk.size;
        }
        timeline->offsets.push_back(total);
        GUID subtype = SubtypeFromFourCC(wave.wFormatTag);
        *type = CMediaType(&MEDIATYPE_Audio);
        type->SetSubtype(&subtype);
        type->SetFormatType(&FORMAT_WaveFormatEx);
        type->SetSampleSize(wave.nBlockAlign);
        if (f.size() < sizeof wave + wave.cbSize) wave.cbSize = 0;  // no room for the extra
        std::vector<BYTE> block(sizeof wave + wave.cbSize, 0);
        std::memcpy(block.data(), &wave, sizeof wave);
        if (wave.cbSize)
            std::memcpy(block.data() + sizeof wave, f.data() + sizeof wave, wave.cbSize);
        if (!type->SetFormat(block.data(), ULONG(block.size()))) return E_OUTOFMEMORY;
        return S_OK;
    }
    return VFW_E_UNSUPPORTED_STREAM;
}

// ---- output pins ----

CAviStream::CAviStream(CAviSplitter* filter, HRESULT* result, LPCWSTR name,
                       ComPtr<IAsyncReader> reader, avi::ParsedStream stream, CMediaType type,
                       Timeline timeline)
    : CSourceSeekingStream("avi stream", result, filter, name),
      reader_(std::move(reader)),
      stream_(std::move(stream)),
      type_(type),
      timeline_(std::move(timeline)) {
    for (const auto& chunk : stream_.chunks) largest_ = std::max(largest_, chunk.size);
}

HRESULT CAviStream::GetMediaType(CMediaType* type) {
    return type->Set(type_);
}

HRESULT CAviStream::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    request->cBuffers = std::max<LONG>(request->cBuffers, 4);
    request->cbBuffer =
        std::max<LONG>(request->cbBuffer, LONG(std::max<std::uint32_t>(largest_, 1)));
    request->cbAlign = std::max<LONG>(request->cbAlign, 1);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer >= LONG(largest_) ? S_OK : E_FAIL;
}

void CAviStream::OnSeek() {
    CAutoLock lock(&m_SeekLock);
    next_ = first_ = std::min(timeline_.IndexAt(m_rtStart), timeline_.Count());
    delivered_ = 0;
}

HRESULT CAviStream::OnThreadStartPlay() {
    OnSeek();
    return CSourceSeekingStream::OnThreadStartPlay();
}

// Reads one chunk into the sample, checking that the file still holds the chunk the index
// named there.
HRESULT CAviStream::ReadChunk(const avi::IndexEntry& entry, IMediaSample* sample) {
    if (entry.size > std::uint32_t(sample->GetSize())) return VFW_E_BUFFER_OVERFLOW;
    BYTE header[8];
    HRESULT hr = reader_->SyncRead(entry.position - 8, 8, header);
    if (hr != S_OK) return FAILED(hr) ? hr : VFW_E_FILE_TOO_SHORT;
    std::uint32_t id = 0, size = 0;
    std::memcpy(&id, header, 4);
    std::memcpy(&size, header + 4, 4);
    if (size != entry.size || (stream_.chunkId && (id & 0xFFFF) != (stream_.chunkId & 0xFFFF)))
        return VFW_E_INVALID_FILE_FORMAT;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    hr = entry.size ? reader_->SyncRead(entry.position, LONG(entry.size), data) : S_OK;
    if (hr != S_OK) return FAILED(hr) ? hr : VFW_E_FILE_TOO_SHORT;
    sample->SetActualDataLength(LONG(entry.size));
    return S_OK;
}

HRESULT CAviStream::FillBuffer(IMediaSample* sample) {
    std::int64_t index, first, delivered;
    double speed;
    bool backwards;
    {
        CAutoLock lock(&m_SeekLock);
        backwards = m_dRateSeeking < 0;
        const std::int64_t count = timeline_.Count();
        // The first chunk always; then forwards up to the stop, backwards down to 0.
        if (next_ < 0 || next_ >= count || !reader_) return S_FALSE;
        if (delivered_ > 0 && !backwards && timeline_.TimeOf(next_) >= CurrentStop())
            return S_FALSE;
        index = next_;
        first = first_;
        delivered = delivered_;
        speed = backwards ? -m_dRateSeeking : m_dRateSeeking;
    }
    HRESULT hr = ReadChunk(stream_.chunks[std::size_t(index)], sample);
    if (FAILED(hr)) {
        // The error goes to the graph before the end of the stream, so that waiting for
        // completion reports it; the stream then ends as any other.
        m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
        return S_FALSE;
    }
    REFERENCE_TIME offset = timeline_.TimeOf(index) - timeline_.TimeOf(first);
    REFERENCE_TIME length = timeline_.TimeOf(index + 1) - timeline_.TimeOf(index);
    REFERENCE_TIME start = REFERENCE_TIME((backwards ? -offset : offset) / speed);
    REFERENCE_TIME end = start + REFERENCE_TIME(length / speed);
    sample->SetTime(&start, &end);
    LONGLONG mediaStart = index, mediaEnd = index + 1;
    sample->SetMediaTime(&mediaStart, &mediaEnd);
    sample->SetSyncPoint(TRUE);
    sample->SetDiscontinuity(delivered == 0);
    CAutoLock lock(&m_SeekLock);
    SetCurrentPosition(timeline_.TimeOf(index));
    next_ = index + (backwards ? -1 : 1);
    ++delivered_;
    return S_OK;
}

// ---- input pin ----

CAviInputPin::CAviInputPin(CAviSplitter* filter, CCritSec* lock)
    : CBasePin("avi splitter input", filter, lock, nullptr, u"input pin", PINDIR_INPUT),
      splitter_(filter) {}

HRESULT CAviInputPin::CheckMediaType(const CMediaType* type) {
    return *type->Type() == MEDIATYPE_Stream && *type->Subtype() == MEDIASUBTYPE_Avi
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CAviInputPin::CompleteConnect(IPin* receive) {
    ComPtr<IAsyncReader> reader;
    if (FAILED(receive->QueryInterface(IID_IAsyncReader, reader.PutVoid())) || !reader)
        return VFW_E_NO_TRANSPORT;
    return splitter_->Open(reader.Get());
}

HRESULT CAviInputPin::BreakConnect() {
    splitter_->Close();
    return S_OK;
}

// ---- filter ----

CAviSplitter::CAviSplitter(IUnknown* outer)
    : CSource("avi splitter", outer, CLSID_AviSplitter),
      input_(std::make_unique<CAviInputPin>(this, &m_cStateLock)) {}

int CAviSplitter::GetPinCount() {
    return 1 + CSource::GetPinCount();
}

CBasePin* CAviSplitter::GetPin(int index) {
    return index == 0 ? input_.get() : CSource::GetPin(index - 1);
}

HRESULT CAviSplitter::Open(IAsyncReader* rawReader) {
    CAutoLock lock(&m_cStateLock);
    ComPtr<IAsyncReader> reader(rawReader);
    LONGLONG total = 0, available = 0;
    HRESULT hr = reader->Length(&total, &available);
    if (FAILED(hr)) return hr;
    avi::ParsedFile file;
    hr = avi::Parse(
        [&](std::int64_t position, std::uint32_t length, std::uint8_t* buffer) {
            return length <= 0x7FFFFFFF && reader->SyncRead(position, LONG(length), buffer) == S_OK;
        },
        available, &file);
    if (FAILED(hr)) return hr;
    for (std::size_t i = 0; i < file.streams.size(); ++i) {
        hr = AddStream(int(i), reader, std::move(file.streams[i]), file.microSecPerFrame);
        if (FAILED(hr) && i == 0) break;  // the first stream is the one that must play
        hr = S_OK;
    }
    if (FAILED(hr)) Close();
    return hr;
}

HRESULT CAviSplitter::AddStream(int index, const ComPtr<IAsyncReader>& reader,
                                avi::ParsedStream stream, std::uint32_t microSecPerFrame) {
    if (stream.chunks.empty()) return VFW_E_INVALID_FILE_FORMAT;
    for (const auto& chunk : stream.chunks)
        if (chunk.size > kMaxChunk || chunk.position < 8) return VFW_E_INVALID_FILE_FORMAT;
    CMediaType type;
    Timeline timeline;
    HRESULT hr = TypeOfStream(stream, microSecPerFrame, &type, &timeline);
    if (FAILED(hr)) return hr;
    char16_t name[] = u"Stream 00";
    name[7] = char16_t(u'0' + index / 10 % 10);
    name[8] = char16_t(u'0' + index % 10);
    hr = S_OK;
    try {
        // The pin adds itself to the filter, which owns it from then on.
        new CAviStream(this, &hr, name, reader, std::move(stream), type, std::move(timeline));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return hr;
}

void CAviSplitter::Close() {
    CAutoLock lock(&m_cStateLock);
    for (auto& pin : m_paStreams) {
        if (IPin* peer = pin->GetConnected()) {
            peer->Disconnect();
            pin->Disconnect();
        }
        auto* stream = static_cast<CAviStream*>(pin.release());  // all outputs are ours
        stream->Retire();
        retired_.emplace_back(stream);
    }
    m_paStreams.clear();
}

platform::BuiltinClass g_aviSplitterClass(CLSID_AviSplitter,
                                          &platform::filters::CreateFilter<CAviSplitter>);

}  // namespace
