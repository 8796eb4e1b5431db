// AVI Mux: writes its inputs as an AVI file through the downstream File Writer. An interleaved
// DV input on "Input 01" makes a type-1 DV AVI (one 'iavs'/'dvsd' stream whose DVINFO comes
// from the stream's own AAUX and VAUX packs); a DV video input with PCM audio on "Input 02"
// makes a type-2 file. The layout is OpenDML, so a recording has no size limit: each RIFF
// closes at the RIFF limit and an 'AVIX' continuation follows. Set to raw DV, the mux writes
// the frames of "Input 01" back to back instead, with everything else below unchanged.
//
// Every output sample carries its byte position in the file as its start time. Frames go out
// as they arrive, bit for bit; the headers are rewritten with the final counts when the stream
// ends or the filter stops. The graph stops the File Writer before the mux, so at stop the
// final writes go straight into the file the writer names when the writer no longer takes them.
//
// Before each frame the writer is asked to hold room for the frame and for everything that
// finishing the file would write after it. When the disk is full the frame is refused instead,
// so the file can always be finished with every frame that reached it and a correct index.
//
// With a splitter, every frame of the first input is shown to it as it arrives and held back
// until the splitter has seen as many later frames as it asked for; then the splitter says
// whether the frame begins a new file. If it does, the mux finishes the file it was writing,
// has the File Writer go over to the new one and begins it with that frame.

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <span>

#include "platform/com/com.h"
#include "platform/filters/avi_format.h"
#include "platform/filters/avi_mux.h"
#include "platform/filters/factory.h"
#include "platform/filters/file_io.h"
#include "platform/filters/file_output.h"
#include "platform/filters/file_sequence.h"
#include "platform/filters/mux_layout.h"
#include "platform/media/base/filter.h"

namespace {

using platform::ComPtr;
using platform::filters::ChunkFraming;
namespace avi = platform::avi;

constexpr LONG kOutputBufferSize = 256 * 1024;
constexpr LONG kOutputBuffers = 4;
constexpr std::size_t kDifBlock = 80;
constexpr std::size_t kDifSequence = 150 * kDifBlock;

// ---- the DV stream's packs ----

// The 4-byte payload of the first pack `id` in the VAUX or audio blocks of DIF sequence `seq`.
std::optional<DWORD> FindPack(const BYTE* frame, std::size_t size, int seq, bool audio, BYTE id) {
    const std::size_t base = std::size_t(seq) * kDifSequence;
    auto payload = [&](std::size_t at) -> std::optional<DWORD> {
        if (at + 5 > size || frame[at] != id) return std::nullopt;
        return DWORD(frame[at + 1]) | DWORD(frame[at + 2]) << 8 | DWORD(frame[at + 3]) << 16 |
               DWORD(frame[at + 4]) << 24;
    };
    if (audio) {
        for (int k = 0; k < 9; ++k)
            if (auto p = payload(base + (6 + 16 * k) * kDifBlock + 3)) return p;
    } else {
        for (int block = 3; block < 6; ++block)
            for (int j = 0; j < 15; ++j)
                if (auto p = payload(base + block * kDifBlock + 3 + 5 * j)) return p;
    }
    return std::nullopt;
}

bool IsPal(const BYTE* frame, std::size_t size) {
    return size >= 4 ? (frame[3] & 0x80) != 0 : false;
}

// DVINFO from a frame's packs; false when the frame has no VAUX source pack (not DV).
bool DvInfoFromFrame(const BYTE* frame, std::size_t size, DVINFO* info) {
    const int half = IsPal(frame, size) ? 6 : 5;  // the second audio channel pair's sequences
    auto vauxSrc = FindPack(frame, size, 0, false, 0x60);
    if (!vauxSrc) return false;
    *info = DVINFO{};
    info->dwDVVAuxSrc = *vauxSrc;
    info->dwDVVAuxCtl = FindPack(frame, size, 0, false, 0x61).value_or(0xFFFFFFFF);
    info->dwDVAAuxSrc = FindPack(frame, size, 0, true, 0x50).value_or(0xFFFFFFFF);
    info->dwDVAAuxCtl = FindPack(frame, size, 0, true, 0x51).value_or(0xFFFFFFFF);
    info->dwDVAAuxSrc1 = FindPack(frame, size, half, true, 0x50).value_or(0xFFFFFFFF);
    info->dwDVAAuxCtl1 = FindPack(frame, size, half, true, 0x51).value_or(0xFFFFFFFF);
    return true;
}

std::vector<std::uint8_t> BytesOf(const void* data, std::size_t size) {
    auto* p = static_cast<const std::uint8_t*>(data);
    return {p, p + size};
}

// Frame rate as rate / scale from a frame duration in 100 ns units.
void SetFrameRate(REFERENCE_TIME duration, avi::StreamFormat* f) {
    if (duration >= 333000 && duration <= 334000) {
        f->scale = 1001;
        f->rate = 30000;
    } else if (duration == 400000) {
        f->scale = 1;
        f->rate = 25;
    } else {
        f->scale = std::uint32_t(std::clamp<REFERENCE_TIME>(duration, 1, 0x7FFFFFFF));
        f->rate = std::uint32_t(UNITS);
    }
}

class CAviMux;

class CMuxInputPin final : public CBaseInputPin {
  public:
    CMuxInputPin(CAviMux* mux, CCritSec* lock, int index, LPCWSTR name);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override;
    HRESULT STDMETHODCALLTYPE EndOfStream() override;

  private:
    CAviMux* mux_;
    int index_;
};

class CMuxOutputPin final : public CBaseOutputPin {
  public:
    CMuxOutputPin(CAviMux* mux, CCritSec* lock);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
};

class CAviMux final : public CBaseFilter,
                      public IMediaSeeking,
                      public IVelmoraAviMuxSettings,
                      public IVelmoraWriteStatus,
                      public IVelmoraFileSequence,
                      public IVelmoraAviMuxTap {
  public:
    explicit CAviMux(IUnknown* outer);
    ~CAviMux() override;
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;

    int GetPinCount() override { return 3; }
    CBasePin* GetPin(int index) override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;

    // IVelmoraAviMuxSettings
    HRESULT STDMETHODCALLTYPE SetRiffLimit(ULONGLONG bytes) override;
    HRESULT STDMETHODCALLTYPE GetRiffLimit(ULONGLONG* bytes) override;
    HRESULT STDMETHODCALLTYPE SetFileFormat(VelmoraMuxFileFormat format) override;
    HRESULT STDMETHODCALLTYPE GetFileFormat(VelmoraMuxFileFormat* format) override;

    HRESULT STDMETHODCALLTYPE GetWriteFailure(HRESULT* error) override;

    // IVelmoraFileSequence
    HRESULT STDMETHODCALLTYPE SetSplitter(IVelmoraFrameSplitter* splitter, LONG lookahead) override;
    HRESULT STDMETHODCALLTYPE WriteHeldFrames() override;
    HRESULT STDMETHODCALLTYPE SetRecordingDate(LPCSTR recorded) override;
    // IVelmoraAviMuxTap
    HRESULT STDMETHODCALLTYPE SetFrameTap(VelmoraFrameTap* tap) override;

    // IMediaSeeking: the length written so far, in media time.
    HRESULT STDMETHODCALLTYPE GetCapabilities(DWORD* capabilities) override;
    HRESULT STDMETHODCALLTYPE CheckCapabilities(DWORD* capabilities) override;
    HRESULT STDMETHODCALLTYPE IsFormatSupported(const GUID* format) override;
    HRESULT STDMETHODCALLTYPE QueryPreferredFormat(GUID* format) override;
    HRESULT STDMETHODCALLTYPE GetTimeFormat(GUID* format) override;
    HRESULT STDMETHODCALLTYPE IsUsingTimeFormat(const GUID* format) override;
    HRESULT STDMETHODCALLTYPE SetTimeFormat(const GUID* format) override;
    HRESULT STDMETHODCALLTYPE GetDuration(LONGLONG* duration) override;
    HRESULT STDMETHODCALLTYPE GetStopPosition(LONGLONG* stop) override;
    HRESULT STDMETHODCALLTYPE GetCurrentPosition(LONGLONG* current) override;
    HRESULT STDMETHODCALLTYPE ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat,
                                                LONGLONG source, const GUID* sourceFormat) override;
    HRESULT STDMETHODCALLTYPE SetPositions(LONGLONG*, DWORD, LONGLONG*, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetPositions(LONGLONG* current, LONGLONG* stop) override;
    HRESULT STDMETHODCALLTYPE GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
    HRESULT STDMETHODCALLTYPE SetRate(double rate) override {
        return rate == 1.0 ? S_OK : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetRate(double* rate) override;
    HRESULT STDMETHODCALLTYPE GetPreroll(LONGLONG* preroll) override;

    // Streaming, on the upstream threads, under the streaming lock.
    CCritSec* StreamingLock() { return &streamingLock_; }
    HRESULT Write(int input, IMediaSample* sample);
    HRESULT EndOfStream(int input);
    bool AcceptsInput(int input, const CMediaType* type);

  private:
    // `sample` is null for a frame held back for the splitter.
    HRESULT WriteData(int input, const BYTE* data, LONG size, IMediaSample* sample);
    // Under the streaming lock: writes held frames until `keep` are left.
    HRESULT WriteHeld(std::size_t keep);
    HRESULT BeginNextFile(const VelmoraNextFile& next);
    HRESULT StartFile(int input, const BYTE* data, LONG size);
    HRESULT BuildFormats(const BYTE* firstFrame, LONG size, std::vector<avi::StreamFormat>* out);
    HRESULT Emit(std::int64_t position, const BYTE* data, std::size_t size);
    HRESULT EmitParts(std::int64_t position, std::initializer_list<std::span<const BYTE>> parts);
    HRESULT EmitChunk(std::int64_t position, const ChunkFraming& framing, const BYTE* data,
                      LONG size);
    HRESULT Fail(HRESULT error);
    HRESULT ReserveFor(LONG size);
    ComPtr<IBaseFilter> Downstream() const;
    platform::filters::UniqueFd OpenTarget(HRESULT* result) const;
    void TrimTarget();
    static avi::Patch ChunkPatch(std::int64_t position, const ChunkFraming& framing,
                                 const BYTE* data, LONG size);
    void FinishFile();
    // Under the streaming lock: the last indexes and final headers of the file being written.
    void CloseFile();
    HRESULT WriteDirectly(const std::vector<avi::Patch>& patches);
    LONGLONG WrittenTime() const;
    void Tap(const BYTE* data, LONG size, IMediaSample* sample);

    CCritSec stateLock_;
    CCritSec streamingLock_;
    std::unique_ptr<CMuxInputPin> inputs_[2];
    std::unique_ptr<CMuxOutputPin> output_;

    ULONGLONG riffLimit_ = avi::Writer::kDefaultRiffLimit;  // under the state lock
    VelmoraMuxFileFormat fileFormat_ = VELMORA_MUX_AVI;     // under the state lock
    ComPtr<IVelmoraFrameSplitter> splitter_;                // set while stopped, under both locks
    std::size_t lookahead_ = 0;
    std::string recorded_;  // for the 'IDIT' chunk of a file begun without a splitter
    CCritSec tapLock_;
    VelmoraFrameTap* tap_ = nullptr;  // under the tap lock

    // Under the streaming lock.
    std::unique_ptr<platform::filters::MuxLayout> layout_;  // of the file being written
    int streamOf_[2] = {-1, -1};                            // the file stream each input writes
    bool eos_[2] = {false, false};
    bool finished_ = false;
    bool downstreamStopped_ = false;
    std::vector<avi::Patch> pending_;  // what the stopped writer did not take
    HRESULT failure_ = S_OK;
    ComPtr<IVelmoraFileSpace> space_;  // the writer's, when it holds room ahead
    LONGLONG reservedEnd_ = 0;
    ULONGLONG limitInUse_ = avi::Writer::kDefaultRiffLimit;
    VelmoraMuxFileFormat formatInUse_ = VELMORA_MUX_AVI;
    std::deque<std::vector<BYTE>> held_;    // frames the splitter has yet to answer for
    std::vector<std::vector<BYTE>> spare_;  // their buffers, for reuse
    bool holding_ = true;                   // frames are held back for the splitter
    std::string nextRecorded_;              // the 'IDIT' date of the next file begun

    std::atomic<HRESULT> reportedFailure_{S_OK};  // failure_, for any thread
    std::atomic<bool> stopping_{false};
    std::atomic<LONGLONG> framesWritten_{0};
    std::atomic<LONGLONG> frameDuration_{0};
};

// ---- pins ----

CMuxInputPin::CMuxInputPin(CAviMux* mux, CCritSec* lock, int index, LPCWSTR name)
    : CBaseInputPin("avi mux input", mux, lock, nullptr, name), mux_(mux), index_(index) {}

HRESULT CMuxInputPin::CheckMediaType(const CMediaType* type) {
    return mux_->AcceptsInput(index_, type) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CMuxInputPin::Receive(IMediaSample* sample) {
    CAutoLock streaming(mux_->StreamingLock());
    HRESULT hr = CBaseInputPin::Receive(sample);
    return hr == S_OK ? mux_->Write(index_, sample) : hr;
}

HRESULT CMuxInputPin::EndOfStream() {
    CAutoLock streaming(mux_->StreamingLock());
    HRESULT hr = CheckStreaming();
    return hr == S_OK ? mux_->EndOfStream(index_) : hr;
}

CMuxOutputPin::CMuxOutputPin(CAviMux* mux, CCritSec* lock)
    : CBaseOutputPin("avi mux output", mux, lock, nullptr, u"AVI Out") {}

HRESULT CMuxOutputPin::CheckMediaType(const CMediaType* type) {
    return *type->Type() == MEDIATYPE_Stream &&
                   (*type->Subtype() == MEDIASUBTYPE_Avi || *type->Subtype() == GUID_NULL)
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CMuxOutputPin::GetMediaType(int position, CMediaType* type) {
    if (position != 0) return VFW_S_NO_MORE_ITEMS;
    *type = CMediaType(&MEDIATYPE_Stream);
    type->SetSubtype(&MEDIASUBTYPE_Avi);
    type->SetFormatType(&FORMAT_None);
    type->SetSampleSize(1);
    return S_OK;
}

HRESULT CMuxOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    request->cBuffers = std::max(request->cBuffers, kOutputBuffers);
    request->cbBuffer = std::max(request->cbBuffer, kOutputBufferSize);
    request->cbAlign = std::max<LONG>(request->cbAlign, 1);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer >= 16 ? S_OK : E_FAIL;
}

// ---- filter ----

CAviMux::CAviMux(IUnknown* outer) : CBaseFilter("avi mux", outer, &stateLock_, CLSID_AviDest) {
    inputs_[0] = std::make_unique<CMuxInputPin>(this, &stateLock_, 0, u"Input 01");
    inputs_[1] = std::make_unique<CMuxInputPin>(this, &stateLock_, 1, u"Input 02");
    output_ = std::make_unique<CMuxOutputPin>(this, &stateLock_);
}

CAviMux::~CAviMux() = default;

HRESULT CAviMux::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), object);
    if (iid == IID_IVelmoraAviMuxSettings)
        return GetInterface(static_cast<IVelmoraAviMuxSettings*>(this), object);
    if (iid == IID_IVelmoraWriteStatus)
        return GetInterface(static_cast<IVelmoraWriteStatus*>(this), object);
    if (iid == IID_IVelmoraFileSequence)
        return GetInterface(static_cast<IVelmoraFileSequence*>(this), object);
    if (iid == IID_IVelmoraAviMuxTap)
        return GetInterface(static_cast<IVelmoraAviMuxTap*>(this), object);
    return CBaseFilter::NonDelegatingQueryInterface(iid, object);
}

CBasePin* CAviMux::GetPin(int index) {
    if (index == 0 || index == 1) return inputs_[index].get();
    return index == 2 ? output_.get() : nullptr;
}

bool CAviMux::AcceptsInput(int input, const CMediaType* type) {
    const bool dv = *type->Subtype() == MEDIASUBTYPE_dvsd;
    if (input == 0) {
        if (*type->Type() == MEDIATYPE_Interleaved && dv) return true;
        return *type->Type() == MEDIATYPE_Video && dv && *type->FormatType() == FORMAT_VideoInfo &&
               type->FormatLength() >= sizeof(VIDEOINFOHEADER);
    }
    // Audio beside a DV video stream (type 2); an interleaved stream already carries its own.
    const CMediaType& first = inputs_[0]->CurrentMediaType();
    if (!inputs_[0]->IsConnected() || *first.Type() != MEDIATYPE_Video) return false;
    if (*type->Type() != MEDIATYPE_Audio || *type->Subtype() != MEDIASUBTYPE_PCM ||
        *type->FormatType() != FORMAT_WaveFormatEx || type->FormatLength() < 16)
        return false;
    WAVEFORMATEX wave{};
    std::memcpy(&wave, type->Format(), std::min<std::size_t>(type->FormatLength(), sizeof wave));
    return wave.wFormatTag == WAVE_FORMAT_PCM && wave.nBlockAlign > 0 && wave.nAvgBytesPerSec > 0;
}

HRESULT CAviMux::Pause() {
    CAutoLock lock(&stateLock_);
    if (m_State == State_Stopped) {
        CAutoLock streaming(&streamingLock_);
        layout_.reset();
        streamOf_[0] = streamOf_[1] = -1;
        eos_[0] = eos_[1] = false;
        finished_ = false;
        downstreamStopped_ = false;
        pending_.clear();
        failure_ = S_OK;
        reportedFailure_ = S_OK;
        space_.Reset();
        reservedEnd_ = 0;
        limitInUse_ = riffLimit_;
        formatInUse_ = fileFormat_;
        framesWritten_ = 0;
        for (auto& frame : held_) spare_.push_back(std::move(frame));
        held_.clear();
        holding_ = true;
        nextRecorded_ = recorded_;
    }
    return CBaseFilter::Pause();
}

HRESULT CAviMux::Stop() {
    CAutoLock lock(&stateLock_);
    stopping_ = true;  // samples that arrive from now on are refused
    {
        // Waits for a write in progress; upstream threads never take the state lock.
        CAutoLock streaming(&streamingLock_);
        // Frames still held are written (the writer downstream has stopped: directly).
        if (SUCCEEDED(failure_)) WriteHeld(0);
        FinishFile();
    }
    HRESULT hr = CBaseFilter::Stop();
    stopping_ = false;
    return hr;
}

HRESULT CAviMux::Fail(HRESULT error) {
    if (SUCCEEDED(failure_)) {
        failure_ = error;
        reportedFailure_ = error;  // before the graph hears of it, so that a reaction can ask
        NotifyEvent(EC_ERRORABORT, error, 0);
    }
    return error;
}

HRESULT CAviMux::GetWriteFailure(HRESULT* error) {
    if (!error) return E_POINTER;
    *error = reportedFailure_;
    return FAILED(*error) ? S_OK : S_FALSE;
}

// Under the streaming lock: room for a chunk of `size` bytes and for finishing after it.
HRESULT CAviMux::ReserveFor(LONG size) {
    if (!space_) return S_OK;
    const LONGLONG needed = layout_->SpaceNeeded(std::uint32_t(size));
    if (needed <= reservedEnd_) return S_OK;
    HRESULT hr = space_->Reserve(needed, &reservedEnd_);
    if (hr == S_FALSE || hr == VFW_E_WRONG_STATE) space_.Reset();  // writes will tell
    return FAILED(hr) && hr != VFW_E_WRONG_STATE ? hr : S_OK;
}

HRESULT CAviMux::BuildFormats(const BYTE* firstFrame, LONG size,
                              std::vector<avi::StreamFormat>* out) {
    const CMediaType& type = inputs_[0]->CurrentMediaType();
    avi::StreamFormat video;
    video.handler = avi::FourCC("dvsd");
    video.width = 720;
    if (*type.Type() == MEDIATYPE_Interleaved) {
        bool pal = size == 144000 || (size != 120000 && IsPal(firstFrame, std::size_t(size)));
        video.type = avi::FourCC("iavs");
        SetFrameRate(pal ? 400000 : 333667, &video);
        video.height = pal ? 576 : 480;
        DVINFO info{};
        if (!DvInfoFromFrame(firstFrame, std::size_t(size), &info) &&
            *type.FormatType() == FORMAT_DvInfo && type.FormatLength() >= sizeof info)
            std::memcpy(&info, type.Format(), sizeof info);
        video.format = BytesOf(&info, sizeof info);
    } else {
        VIDEOINFOHEADER vih{};
        std::memcpy(&vih, type.Format(), sizeof vih);
        video.type = avi::FourCC("vids");
        SetFrameRate(vih.AvgTimePerFrame > 0 ? vih.AvgTimePerFrame : 333667, &video);
        video.width = std::uint16_t(vih.bmiHeader.biWidth);
        video.height = std::uint16_t(std::abs(vih.bmiHeader.biHeight));
        video.format = BytesOf(&vih.bmiHeader, sizeof vih.bmiHeader);
    }
    frameDuration_ = (REFERENCE_TIME(UNITS) * video.scale + video.rate / 2) / video.rate;
    out->push_back(std::move(video));
    if (inputs_[1]->IsConnected()) {
        const CMediaType& audioType = inputs_[1]->CurrentMediaType();
        WAVEFORMATEX wave{};
        std::memcpy(&wave, audioType.Format(),
                    std::min<std::size_t>(audioType.FormatLength(), sizeof wave));
        wave.cbSize = 0;
        avi::StreamFormat audio;
        audio.type = avi::FourCC("auds");
        audio.handler = 0;
        audio.scale = wave.nBlockAlign;
        audio.rate = wave.nAvgBytesPerSec;
        audio.sampleSize = wave.nBlockAlign;
        audio.format = BytesOf(&wave, 16);  // PCM needs no cbSize
        out->push_back(std::move(audio));
    }
    return S_OK;
}

// Under the streaming lock: lays out the file from the connected inputs and the first sample.
HRESULT CAviMux::StartFile(int input, const BYTE* data, LONG size) {
    std::vector<avi::StreamFormat> formats;
    HRESULT hr = BuildFormats(input == 0 ? data : nullptr, input == 0 ? size : 0, &formats);
    if (FAILED(hr)) return hr;
    const bool raw = formatInUse_ == VELMORA_MUX_RAW_DV;
    if (raw)
        layout_ = platform::filters::MakeRawDvLayout();
    else
        layout_ = platform::filters::MakeAviLayout(std::move(formats), limitInUse_,
                                                   avi::DateChunkText(nextRecorded_.c_str()));
    nextRecorded_.clear();
    if (ComPtr<IBaseFilter> target = Downstream()) target.As(&space_);
    streamOf_[0] = 0;
    streamOf_[1] = inputs_[1]->IsConnected() && !raw ? 1 : -1;
    avi::Patch begin = layout_->Begin();
    hr = downstreamStopped_ ? VFW_E_WRONG_STATE
                            : Emit(begin.position, begin.bytes.data(), begin.bytes.size());
    if (hr == VFW_E_WRONG_STATE || hr == VFW_E_NOT_COMMITTED) {
        // The writer has stopped: the headers are written with the rest when this filter stops.
        pending_.push_back(std::move(begin));
        downstreamStopped_ = true;
        return S_OK;
    }
    return hr;
}

HRESULT CAviMux::Write(int input, IMediaSample* sample) {
    if (stopping_ || downstreamStopped_) return VFW_E_WRONG_STATE;
    if (FAILED(failure_)) return failure_;
    if (finished_) return VFW_E_SAMPLE_REJECTED_EOS;
    BYTE* data = nullptr;
    LONG size = sample->GetActualDataLength();
    if (FAILED(sample->GetPointer(&data)) || size < 0 || size > sample->GetSize() ||
        (size > 0 && !data))
        return Fail(E_INVALIDARG);
    if (input != 0 || !splitter_) return WriteData(input, data, size, sample);
    try {
        std::vector<BYTE> copy;
        if (!spare_.empty()) {
            copy = std::move(spare_.back());
            spare_.pop_back();
        }
        copy.assign(data, data + size);
        held_.push_back(std::move(copy));
    } catch (const std::bad_alloc&) {
        return Fail(E_OUTOFMEMORY);
    }
    splitter_->FrameArrived(data, size);
    return WriteHeld(holding_ ? lookahead_ : 0);
}

HRESULT CAviMux::WriteHeld(std::size_t keep) {
    HRESULT result = S_OK;
    while (held_.size() > keep) {
        VelmoraNextFile next{};
        splitter_->NextFrame(&next);
        HRESULT hr = S_OK;
        if (next.path) {
            hr = BeginNextFile(next);
            CoTaskMemFree(next.path);
        }
        std::vector<BYTE> frame = std::move(held_.front());
        held_.pop_front();
        if (SUCCEEDED(hr)) hr = WriteData(0, frame.data(), LONG(frame.size()), nullptr);
        spare_.push_back(std::move(frame));
        // A writer that has stopped leaves the frames to be written directly: go on.
        if (hr == VFW_E_WRONG_STATE || hr == VFW_E_NOT_COMMITTED) {
            result = hr;
            continue;
        }
        if (hr != S_OK) return hr;
    }
    return result;
}

// Under the streaming lock: the file being written is finished and the writer goes over to
// the next one; the frame written next begins it.
HRESULT CAviMux::BeginNextFile(const VelmoraNextFile& next) {
    ComPtr<IVelmoraFileSwitch> target;
    if (ComPtr<IBaseFilter> filter = Downstream()) filter.As(&target);
    if (!target) return Fail(E_NOINTERFACE);
    CloseFile();
    if (FAILED(failure_)) return failure_;
    layout_.reset();  // finished: nothing more goes into it, whatever happens next
    HRESULT hr = target->SwitchFile(next.path);
    if (FAILED(hr)) return Fail(hr);
    space_.Reset();
    reservedEnd_ = 0;
    framesWritten_ = 0;
    nextRecorded_.assign(next.recorded, strnlen(next.recorded, sizeof next.recorded));
    return S_OK;
}

HRESULT CAviMux::WriteData(int input, const BYTE* data, LONG size, IMediaSample* sample) {
    if (FAILED(failure_)) return failure_;
    try {
        if (!layout_) {
            HRESULT hr = StartFile(input, data, size);
            if (FAILED(hr)) return Fail(hr);
        }
        int stream = streamOf_[input];
        if (stream < 0) return S_OK;  // connected after the file began: not in this file
        HRESULT hr = ReserveFor(size);
        if (FAILED(hr)) return Fail(hr);
        std::vector<avi::Patch> before;
        std::int64_t position = 0;
        hr = layout_->Place(stream, std::uint32_t(size), &before, &position);
        if (FAILED(hr)) return Fail(hr);
        std::size_t sent = 0;
        while (sent < before.size() && SUCCEEDED(hr)) {
            hr = Emit(before[sent].position, before[sent].bytes.data(), before[sent].bytes.size());
            if (SUCCEEDED(hr)) ++sent;
        }
        const ChunkFraming framing = layout_->Framing(stream, std::uint32_t(size));
        if (SUCCEEDED(hr)) hr = EmitChunk(position, framing, data, size);
        if (hr == VFW_E_WRONG_STATE || hr == VFW_E_NOT_COMMITTED) {
            // The writer downstream has stopped ahead of us (the graph stops it first), or has
            // decommitted the allocator we share: what it did not take is written with the
            // rest when this filter stops.
            pending_.insert(pending_.end(), before.begin() + std::ptrdiff_t(sent), before.end());
            pending_.push_back(ChunkPatch(position, framing, data, size));
            downstreamStopped_ = true;
            if (stream == 0) {
                framesWritten_ = layout_->Chunks(0);
                Tap(data, size, sample);
            }
            return hr;
        }
        if (FAILED(hr)) {
            // The chunk did not reach the file: it is not indexed, and closing writes that did
            // not go out are written when the file is finished.
            pending_.insert(pending_.end(), before.begin() + std::ptrdiff_t(sent), before.end());
            layout_->Retract(stream, position);
            return Fail(hr);
        }
        if (stream == 0) {
            framesWritten_ = layout_->Chunks(0);
            Tap(data, size, sample);
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return Fail(E_OUTOFMEMORY);
    }
}

HRESULT CAviMux::Emit(std::int64_t position, const BYTE* data, std::size_t size) {
    return EmitParts(position, {std::span<const BYTE>(data, size)});
}

// Delivers the parts one after the other from `position`, filling each sample as far as it goes.
HRESULT CAviMux::EmitParts(std::int64_t position,
                           std::initializer_list<std::span<const BYTE>> parts) {
    auto part = parts.begin();
    std::size_t offset = 0;
    auto skipEmpty = [&] {
        while (part != parts.end() && offset == part->size()) {
            ++part;
            offset = 0;
        }
    };
    skipEmpty();
    while (part != parts.end()) {
        IMediaSample* raw = nullptr;
        HRESULT hr = output_->GetDeliveryBuffer(&raw, nullptr, nullptr, 0);
        if (FAILED(hr)) return hr;
        auto sample = ComPtr<IMediaSample>::Adopt(raw);
        BYTE* buffer = nullptr;
        sample->GetPointer(&buffer);
        const std::size_t capacity = std::size_t(sample->GetSize());
        std::size_t filled = 0;
        while (part != parts.end() && filled < capacity) {
            std::size_t n = std::min(capacity - filled, part->size() - offset);
            std::memcpy(buffer + filled, part->data() + offset, n);
            filled += n;
            offset += n;
            skipEmpty();
        }
        sample->SetActualDataLength(LONG(filled));
        REFERENCE_TIME start = position, end = position + REFERENCE_TIME(filled);
        sample->SetTime(&start, &end);
        hr = output_->Deliver(sample.Get());
        if (hr != S_OK) return FAILED(hr) ? hr : VFW_E_WRONG_STATE;
        position = end;
    }
    return S_OK;
}

// A chunk: its header, the data as it came, and its padding.
HRESULT CAviMux::EmitChunk(std::int64_t position, const ChunkFraming& framing, const BYTE* data,
                           LONG size) {
    static constexpr BYTE pad[1] = {0};
    return EmitParts(position, {std::span<const BYTE>(framing.header, framing.headerSize),
                                std::span<const BYTE>(data, std::size_t(size)),
                                std::span<const BYTE>(pad, std::min(framing.padSize, sizeof pad))});
}

avi::Patch CAviMux::ChunkPatch(std::int64_t position, const ChunkFraming& framing, const BYTE* data,
                               LONG size) {
    avi::Patch patch{position, std::vector<BYTE>(framing.headerSize + std::size_t(size) +
                                                     std::min<std::size_t>(framing.padSize, 1),
                                                 0)};
    if (framing.headerSize > 0) std::memcpy(patch.bytes.data(), framing.header, framing.headerSize);
    if (size > 0) std::memcpy(patch.bytes.data() + framing.headerSize, data, std::size_t(size));
    return patch;
}

HRESULT CAviMux::EndOfStream(int input) {
    eos_[input] = true;
    for (int i = 0; i < 2; ++i)
        if (inputs_[i]->IsConnected() && !eos_[i]) return S_OK;
    if (SUCCEEDED(failure_) && !finished_) WriteHeld(0);
    FinishFile();
    return output_->DeliverEndOfStream();
}

// Under the streaming lock: the last indexes and the final headers.
void CAviMux::FinishFile() {
    if (finished_) return;
    CloseFile();
    if (layout_) finished_ = true;
}

void CAviMux::CloseFile() {
    if (!layout_ || finished_) return;
    std::vector<avi::Patch> patches = std::move(pending_);
    pending_.clear();
    try {
        auto last = layout_->Finish();
        patches.insert(patches.end(), std::make_move_iterator(last.begin()),
                       std::make_move_iterator(last.end()));
    } catch (const std::bad_alloc&) {
        Fail(E_OUTOFMEMORY);
        return;
    }
    bool direct = downstreamStopped_;
    for (std::size_t i = 0; i < patches.size() && !direct; ++i)
        direct =
            FAILED(Emit(patches[i].position, patches[i].bytes.data(), patches[i].bytes.size()));
    if (direct) {
        // The writer has stopped already or refuses: finish the file it wrote by ourselves.
        HRESULT hr = WriteDirectly(patches);
        if (FAILED(hr)) Fail(hr);
    }
    TrimTarget();
}

ComPtr<IBaseFilter> CAviMux::Downstream() const {
    IPin* peer = output_->GetConnected();
    PIN_INFO info{};
    if (!peer || FAILED(peer->QueryPinInfo(&info))) return {};
    return ComPtr<IBaseFilter>::Adopt(info.pFilter);
}

// The file the writer downstream names, opened for writing.
platform::filters::UniqueFd CAviMux::OpenTarget(HRESULT* result) const {
    ComPtr<IBaseFilter> filter = Downstream();
    ComPtr<IFileSinkFilter> sink;
    *result = !filter ? VFW_E_NOT_CONNECTED : filter.As(&sink);
    if (FAILED(*result)) return {};
    LPOLESTR name = nullptr;
    *result = sink->GetCurFile(&name, nullptr);
    if (FAILED(*result)) return {};
    std::string path;
    *result = platform::filters::PathFromWide(name, &path);
    CoTaskMemFree(name);
    if (FAILED(*result)) return {};
    platform::filters::UniqueFd file(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!file.Valid()) *result = platform::filters::HresultFromErrno(errno);
    return file;
}

// The finished file ends where its last RIFF ends: a frame cut off by a failed write and room
// held ahead are given back.
void CAviMux::TrimTarget() {
    HRESULT hr = S_OK;
    platform::filters::UniqueFd file = OpenTarget(&hr);
    if (file.Valid()) platform::filters::TrimFile(file.Get(), layout_->End(), reservedEnd_);
    space_.Reset();
}

HRESULT CAviMux::WriteDirectly(const std::vector<avi::Patch>& patches) {
    HRESULT hr = S_OK;
    platform::filters::UniqueFd file = OpenTarget(&hr);
    if (!file.Valid()) return hr;
    for (const auto& patch : patches) {
        hr = platform::filters::WriteAt(file.Get(), patch.position, patch.bytes.data(),
                                        LONG(patch.bytes.size()));
        if (FAILED(hr)) return hr;
    }
    return file.Close();
}

HRESULT CAviMux::SetSplitter(IVelmoraFrameSplitter* splitter, LONG lookahead) {
    if (lookahead < 0 || lookahead > 16) return E_INVALIDARG;
    CAutoLock lock(&stateLock_);
    if (!IsStopped()) return VFW_E_NOT_STOPPED;
    CAutoLock streaming(&streamingLock_);
    splitter_ = ComPtr<IVelmoraFrameSplitter>(splitter);
    lookahead_ = std::size_t(lookahead);
    return S_OK;
}

HRESULT CAviMux::WriteHeldFrames() {
    CAutoLock streaming(&streamingLock_);
    holding_ = false;
    if (!splitter_ || stopping_ || downstreamStopped_ || FAILED(failure_) || finished_) return S_OK;
    HRESULT hr = WriteHeld(0);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CAviMux::SetRecordingDate(LPCSTR recorded) {
    CAutoLock lock(&stateLock_);
    try {
        recorded_ = recorded ? recorded : "";
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CAviMux::SetFrameTap(VelmoraFrameTap* tap) {
    CAutoLock lock(&tapLock_);
    tap_ = tap;
    return S_OK;
}

void CAviMux::Tap(const BYTE* data, LONG size, IMediaSample* sample) {
    CAutoLock lock(&tapLock_);
    if (tap_) tap_->OnFrameWritten(data, size, sample);
}

HRESULT CAviMux::SetRiffLimit(ULONGLONG bytes) {
    CAutoLock lock(&stateLock_);
    riffLimit_ =
        std::clamp<ULONGLONG>(bytes, avi::Writer::kMinRiffLimit, avi::Writer::kMaxRiffLimit);
    return S_OK;
}

HRESULT CAviMux::GetRiffLimit(ULONGLONG* bytes) {
    if (!bytes) return E_POINTER;
    CAutoLock lock(&stateLock_);
    *bytes = riffLimit_;
    return S_OK;
}

HRESULT CAviMux::SetFileFormat(VelmoraMuxFileFormat format) {
    if (format != VELMORA_MUX_AVI && format != VELMORA_MUX_RAW_DV) return E_INVALIDARG;
    CAutoLock lock(&stateLock_);
    if (!IsStopped()) return VFW_E_NOT_STOPPED;
    fileFormat_ = format;
    return S_OK;
}

HRESULT CAviMux::GetFileFormat(VelmoraMuxFileFormat* format) {
    if (!format) return E_POINTER;
    CAutoLock lock(&stateLock_);
    *format = fileFormat_;
    return S_OK;
}

// ---- IMediaSeeking ----

LONGLONG CAviMux::WrittenTime() const {
    return framesWritten_ * frameDuration_;
}

HRESULT CAviMux::GetCapabilities(DWORD* capabilities) {
    if (!capabilities) return E_POINTER;
    *capabilities = AM_SEEKING_CanGetDuration | AM_SEEKING_CanGetCurrentPos;
    return S_OK;
}

HRESULT CAviMux::CheckCapabilities(DWORD* capabilities) {
    if (!capabilities) return E_POINTER;
    DWORD wanted = *capabilities;
    *capabilities &= AM_SEEKING_CanGetDuration | AM_SEEKING_CanGetCurrentPos;
    if (*capabilities == wanted) return S_OK;
    return *capabilities ? S_FALSE : E_FAIL;
}

HRESULT CAviMux::IsFormatSupported(const GUID* format) {
    if (!format) return E_POINTER;
    return *format == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}

HRESULT CAviMux::QueryPreferredFormat(GUID* format) {
    return GetTimeFormat(format);
}

HRESULT CAviMux::GetTimeFormat(GUID* format) {
    if (!format) return E_POINTER;
    *format = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
}

HRESULT CAviMux::IsUsingTimeFormat(const GUID* format) {
    return IsFormatSupported(format);
}

HRESULT CAviMux::SetTimeFormat(const GUID* format) {
    if (!format) return E_POINTER;
    return *format == TIME_FORMAT_MEDIA_TIME ? S_OK : E_INVALIDARG;
}

HRESULT CAviMux::GetDuration(LONGLONG* duration) {
    if (!duration) return E_POINTER;
    *duration = WrittenTime();
    return S_OK;
}

HRESULT CAviMux::GetStopPosition(LONGLONG* stop) {
    return GetDuration(stop);
}
HRESULT CAviMux::GetCurrentPosition(LONGLONG* current) {
    return GetDuration(current);
}

HRESULT CAviMux::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                   const GUID* sourceFormat) {
    if (!target) return E_POINTER;
    bool same = (!targetFormat || *targetFormat == TIME_FORMAT_MEDIA_TIME) &&
                (!sourceFormat || *sourceFormat == TIME_FORMAT_MEDIA_TIME);
    if (!same) return E_INVALIDARG;
    *target = source;
    return S_OK;
}

HRESULT CAviMux::GetPositions(LONGLONG* current, LONGLONG* stop) {
    if (current) *current = WrittenTime();
    if (stop) *stop = WrittenTime();
    return S_OK;
}

HRESULT CAviMux::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
    if (earliest) *earliest = 0;
    if (latest) *latest = WrittenTime();
    return S_OK;
}

HRESULT CAviMux::GetRate(double* rate) {
    if (!rate) return E_POINTER;
    *rate = 1.0;
    return S_OK;
}

HRESULT CAviMux::GetPreroll(LONGLONG* preroll) {
    if (!preroll) return E_POINTER;
    *preroll = 0;
    return S_OK;
}

platform::BuiltinClass g_aviMuxClass(CLSID_AviDest, &platform::filters::CreateFilter<CAviMux>);

}  // namespace
