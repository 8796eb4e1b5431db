#include "toolkit/file/file_reader.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/filters/dv_types.h"
#include "platform/kernel/sync.h"
#include "platform/kernel/text.h"
#include "platform/media/formats.h"
#include "platform/media/media_type.h"
#include "platform/user/window.h"
#include "toolkit/file/file_tables.h"

namespace tovik {
namespace {

using platform::QueryFrom;

// The AAUX source pack lies in DIF block 54 (byte 4320), the fourth audio block of sequence 0,
// after the block's 3-byte ID and the pack header: its byte 1 holds AF_SIZE, its byte 4 the
// sample-frequency code.
constexpr std::size_t kAfSizeByte = 4324;
constexpr std::size_t kFrequencyByte = 4327;

// PCM, 2 channels, 48000 Hz, 16 bit: the type of the audio branch.
void BuildPcmType(CMediaType* type) {
    *type = CMediaType(&MEDIATYPE_Audio);
    type->SetSubtype(&MEDIASUBTYPE_PCM);
    type->SetFormatType(&FORMAT_WaveFormatEx);
    auto* wave = reinterpret_cast<WAVEFORMATEX*>(type->AllocFormatBuffer(sizeof(WAVEFORMATEX)));
    if (!wave) return;
    wave->wFormatTag = WAVE_FORMAT_PCM;
    wave->nChannels = 2;
    wave->nSamplesPerSec = 48000;
    wave->nAvgBytesPerSec = 192000;
    wave->nBlockAlign = 4;
    wave->wBitsPerSample = 16;
    wave->cbSize = 0;
}

bool Is24BitPicture(const AM_MEDIA_TYPE& type) {
    if (type.formattype != FORMAT_VideoInfo || type.cbFormat < sizeof(VIDEOINFOHEADER) ||
        !type.pbFormat)
        return false;
    VIDEOINFOHEADER header;
    std::memcpy(&header, type.pbFormat, sizeof header);
    return header.bmiHeader.biBitCount == 24;
}

// The first 24-bit picture type the pin offers; false when it offers none.
bool FindRgb24(IPin* pin, CMediaType* found) {
    IEnumMediaTypes* types = nullptr;
    if (!pin || FAILED(pin->EnumMediaTypes(&types)) || !types) return false;
    types->Reset();
    AM_MEDIA_TYPE* type = nullptr;
    bool match = false;
    while (!match && types->Next(1, &type, nullptr) == S_OK) {
        match = Is24BitPicture(*type);
        if (match) *found = *type;
        DeleteMediaType(type);
    }
    types->Release();
    return match;
}

}  // namespace

FrameAudio ReadAudioPack(const std::uint8_t* dvFrame) {
    const std::uint32_t afSize = dvFrame[kAfSizeByte] & 0x3F;
    const bool is32k = (dvFrame[kFrequencyByte] & 0x38) == 0x10;
    return {is32k, (is32k ? 1053u : 1580u) + afSize};
}

void ConvertRate(void* destination, std::uint32_t destinationBytes, const void* source,
                 std::uint32_t sourceBytes) {
    const std::uint32_t nd = destinationBytes / 4, ns = sourceBytes / 4;
    auto* out = static_cast<std::int16_t*>(destination);
    const auto* in = static_cast<const std::int16_t*>(source);
    if (ns == 0) {
        std::memset(destination, 0, destinationBytes);
        return;
    }
    for (std::uint32_t i = 0; i < nd; ++i) {
        const double x = nd > 1 ? double(i) / double(nd - 1) * double(ns - 1) : 0.0;
        const auto k = static_cast<std::uint32_t>(x);
        const double w0 = 1.0 - (x - k), w1 = 1.0 - w0;
        for (int c = 0; c < 2; ++c) {
            const std::int16_t a = in[2 * k + c];
            out[2 * i + c] = w1 > 0.01 && k + 1 < ns
                                 ? static_cast<std::int16_t>(a * w0 + in[2 * (k + 1) + c] * w1)
                                 : a;
        }
    }
}

}  // namespace tovik

using namespace tovik;

CFileReader::~CFileReader() {
    Close();
}

int CFileReader::Open(const char* fileName, int flags) {
    flags_ = flags;
    if (!fileName) return 0;
    return RenderMode() ? OpenRender(fileName) : OpenAccess(fileName);
}

int CFileReader::Fail() {
    ReleaseBuilt();
    return 0;
}

void CFileReader::ReleaseBuilt() {
    eventHandle_ = nullptr;
    seeking_.Reset();
    videoGrabber_.Reset();
    audioGrabber_.Reset();
    dvGrabber_.Reset();
    events_.Reset();
    control_.Reset();
    frameFile_.Reset();
    if (table_) Teardown(table_->Entries(), filterCount_);
    ReleaseGraph();
    FreeTable(table_);
    filterCount_ = 0;
    sampleIndex_.clear();
    frameChunks_.clear();
    frameChunkId_ = 0;
    chunksRead_ = false;
}

int CFileReader::OpenAccess(const char* fileName) {
    filterCount_ = kAccessFilterCount;
    table_ = CopyTable(kAccessFilters, filterCount_);
    if (!table_ || !CreateGraph()) return Fail();
    try {
        CreateFilters(table_->Entries(), filterCount_);
    } catch (const _tagDXM_EXPECT&) {
        return Fail();
    }
    if (!AddFilters(table_->Entries(), filterCount_)) return Fail();
    // The null renderers take what comes at once: reads wait for data, never for the clock.
    (*table_)[kAccessVideoNull].filter->SetSyncSource(nullptr);
    (*table_)[kAccessAudioNull].filter->SetSyncSource(nullptr);
    if (!LoadFile(fileName) || !SetFullDecode() || !ConnectAccess()) return Fail();
    if (Is625LineFile()) {
        // Its frames and pictures would not fit the 720x480 buffers this reader fills.
        openError_ = TOVIK_FILE_ERROR_625_LINES;
        return Fail();
    }
    if (!ObtainInterfaces()) return Fail();
    LONGLONG duration = 0;
    seeking_->GetDuration(&duration);
    frameCount_ = static_cast<std::uint32_t>(duration);
    if (AudioAccess()) sampleIndex_.assign(std::size_t{frameCount_} + 1, 0);
    opened_ = true;
    return 1;
}

bool CFileReader::Is625LineFile() const {
    IPin* stream = (*table_)[kAccessAviSplitter].pins[1].pin;
    AM_MEDIA_TYPE type{};
    if (!stream || FAILED(stream->ConnectionMediaType(&type))) return false;
    CMediaType connected;
    const bool copied = SUCCEEDED(connected.Set(type));
    FreeMediaType(type);
    return copied && platform::filters::SystemOf(connected) == platform::dv::System::Pal625;
}

bool CFileReader::LoadFile(const char* fileName) {
    platform::ComPtr<IFileSourceFilter> source;
    if (FAILED(QueryFrom((*table_)[kAccessReader].filter, &source))) return false;
    WCHAR wide[260] = {};
    MultiByteToWideChar(CP_ACP, 0, fileName, -1, wide, 260);
    wide[259] = 0;
    // A missing or unreadable file shows up as a refused first connection.
    source->Load(wide, nullptr);
    return true;
}

bool CFileReader::SetFullDecode() {
    platform::ComPtr<IIPDVDec> decoder;
    if (FAILED(QueryFrom((*table_)[kAccessDecoder].filter, &decoder))) return false;
    decoder->put_IPDisplay(DVRESOLUTION_FULL);
    return true;
}

bool CFileReader::ConnectAccess() {
    CMediaType pcm, rgb;
    BuildPcmType(&pcm);
    ConnectStep plan[kAccessPlanSteps];
    std::copy(kAccessPlan, kAccessPlan + kAccessPlanSteps, plan);
    plan[kPlanAudioStart + 2].type = &pcm;
    plan[kPlanAudioStart + 5].type = &pcm;
    FilterEntry* entries = table_->Entries();
    try {
        if (FrameAccess()) {
            Connect(entries, filterCount_, plan, kPlanDecoderToGrabber + 2);
            // No 24-bit picture from the decoder: the reader cannot deliver its pictures.
            if (!FindRgb24((*table_)[kAccessDecoder].pins[1].pin, &rgb)) return false;
            plan[kPlanDecoderToGrabber + 2].type = &rgb;
            plan[kPlanDecoderToGrabber + 5].type = &rgb;
            Connect(entries, filterCount_, plan + kPlanDecoderToGrabber + 2,
                    kAccessPlanSteps - kPlanDecoderToGrabber - 2);
        } else {
            Connect(entries, filterCount_, plan, kPlanStreamEnd);
            Connect(entries, filterCount_, plan + kPlanAudioStart, 6);
        }
    } catch (const _tagDXM_EXPECT&) {
        return false;
    }
    return true;
}

bool CFileReader::ObtainInterfaces() {
    if (FAILED(QueryFrom(m_pGraph, &events_)) || FAILED(QueryFrom(m_pGraph, &control_)) ||
        FAILED(QueryFrom(m_pGraph, &seeking_)))
        return false;
    if (seeking_->IsFormatSupported(&TIME_FORMAT_FRAME) == S_OK)
        seeking_->SetTimeFormat(&TIME_FORMAT_FRAME);
    auto grab = [this](int entry, platform::ComPtr<ISampleGrabber>* out) {
        if (FAILED(QueryFrom((*table_)[entry].filter, out))) return false;
        (*out)->SetBufferSamples(TRUE);
        (*out)->SetOneShot(TRUE);  // each run ends after its one frame
        return true;
    };
    if (!grab(kAccessDvGrabber, &dvGrabber_)) return false;
    if (FrameAccess() && !grab(kAccessVideoGrabber, &videoGrabber_)) return false;
    return grab(kAccessAudioGrabber, &audioGrabber_);
}

int CFileReader::Close() {
    if (!opened_) return 0;
    EndSync();  // no bridge waits for a hand-off any more
    control_->Stop();
    StopRenderThreads();
    ReleaseBuilt();
    opened_ = false;
    return 1;
}

bool CFileReader::RunToFrame(std::uint32_t frame) {
    // The grabbers start empty, so that a frame that produced nothing gives nothing back.
    for (ISampleGrabber* grabber : {dvGrabber_.Get(), videoGrabber_.Get(), audioGrabber_.Get()}) {
        if (!grabber) continue;
        grabber->SetBufferSamples(FALSE);
        grabber->SetBufferSamples(TRUE);
    }
    LONGLONG start = frame, stop = frame;
    seeking_->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                           AM_SEEKING_AbsolutePositioning);
    const HRESULT run = control_->Run();
    if (SUCCEEDED(run)) {
        LONG code = 0;
        events_->WaitForCompletion(static_cast<LONG>(INFINITE), &code);
    }
    control_->Stop();
    return SUCCEEDED(run);
}

bool CFileReader::Copy(ISampleGrabber* grabber, std::uint32_t capacity, void* into,
                       std::uint32_t* copied) {
    LONG size = static_cast<LONG>(capacity);
    if (copied) *copied = 0;
    if (FAILED(grabber->GetCurrentBuffer(&size, static_cast<LONG*>(into)))) return false;
    if (copied) *copied = std::min(static_cast<std::uint32_t>(std::max<LONG>(size, 0)), capacity);
    return true;
}

int CFileReader::GetFrame(std::uint32_t frame, void* video, void* audio, int* audioBytes) {
    if (!opened_ || !FrameAccess() || frame >= frameCount_) return 0;
    if (audio && !audioBytes) return 0;
    CLockHolder hold(accessLock_);
    std::vector<std::uint8_t> dvFrame(kDvFrameBytes, 0);
    // The whole frame: the grabber refuses a smaller copy, and the pack lies inside it. A frame
    // that did not arrive or did not decode is a failed read.
    if (!RunToFrame(frame) || !Copy(dvGrabber_.Get(), kDvFrameBytes, dvFrame.data())) return 0;
    const FrameAudio pack = ReadAudioPack(dvFrame.data());
    if (video && !Copy(videoGrabber_.Get(), kPictureBytes, video)) return 0;
    if (audio) CopyFrameAudio(audio, audioBytes, pack);
    return 1;
}

// A frame without sound gives 0 bytes and leaves the buffer alone. The pack's sample count is
// only a claim of the file: what is reported and converted never goes beyond the pairs that
// the frame really delivered.
void CFileReader::CopyFrameAudio(void* audio, int* audioBytes, const FrameAudio& pack) {
    *audioBytes = 0;
    std::uint32_t copied = 0;
    if (!pack.is32k) {
        if (Copy(audioGrabber_.Get(), kFrameAudioBytes, audio, &copied))
            *audioBytes = static_cast<int>(std::min(pack.samples * 4, copied / 4 * 4));
        return;
    }
    std::vector<std::uint8_t> read(k32kReadBytes, 0);
    if (!Copy(audioGrabber_.Get(), k32kReadBytes, read.data(), &copied) || copied < 4) return;
    ConvertRate(audio, kConverted32kBytes, read.data(), std::min(pack.samples * 4, copied));
    *audioBytes = static_cast<int>(kConverted32kBytes);
}

// False when the frame did not arrive whole enough to hold its AAUX source pack.
bool CFileReader::SamplesOfFrame(std::vector<std::uint8_t>& dvFrame, std::uint32_t* samples) {
    std::uint32_t copied = 0;
    if (!Copy(dvGrabber_.Get(), kDvFrameBytes, dvFrame.data(), &copied) || copied <= kAfSizeByte)
        return false;
    // The audio access mode reads 48 kHz files: every frame counts 1580 + AF_SIZE samples.
    *samples = 1580u + (dvFrame[kAfSizeByte] & 0x3F);
    return true;
}

// Finds where each frame of the file lies, from the same AVI index the AVI splitter reads, so
// that chunk n of the first stream is the frame that a run to frame n delivers. Read once, on
// the first index fill, through the graph's own file reader.
bool CFileReader::ReadFrameChunks() {
    if (chunksRead_) return !frameChunks_.empty();
    chunksRead_ = true;
    platform::ComPtr<IAsyncReader> file;
    if (FAILED(QueryFrom((*table_)[kAccessReader].pins[0].pin, &file))) return false;
    LONGLONG total = 0, available = 0;
    if (FAILED(file->Length(&total, &available))) return false;
    platform::avi::ParsedFile parsed;
    const HRESULT hr = platform::avi::Parse(
        [&file](std::int64_t position, std::uint32_t length, std::uint8_t* into) {
            return length <= 0x7FFFFFFF &&
                   file->SyncRead(position, static_cast<LONG>(length), into) == S_OK;
        },
        available, &parsed);
    if (FAILED(hr) || parsed.streams.empty()) return false;
    frameFile_ = std::move(file);
    frameChunkId_ = parsed.streams[0].chunkId;
    frameChunks_ = std::move(parsed.streams[0].chunks);
    return !frameChunks_.empty();
}

// The samples of one frame, from its AAUX source pack read straight from the file: the same
// byte a run to the frame hands the DV-stream grabber, without reading the rest of the frame or
// extracting its audio. False for a frame that the AVI splitter would refuse to deliver (its
// chunk header disagrees with the index, or the file is cut short) and for a frame too short
// to hold the pack.
bool CFileReader::SamplesInFile(std::uint32_t frame, std::uint32_t* samples) {
    if (frame >= frameChunks_.size()) return false;
    const platform::avi::IndexEntry& chunk = frameChunks_[frame];
    if (chunk.size <= kAfSizeByte || chunk.position < 8) return false;
    BYTE header[8];
    if (frameFile_->SyncRead(chunk.position - 8, sizeof header, header) != S_OK) return false;
    std::uint32_t id = 0, size = 0;
    std::memcpy(&id, header, 4);
    std::memcpy(&size, header + 4, 4);
    if (size != chunk.size || (frameChunkId_ && (id & 0xFFFF) != (frameChunkId_ & 0xFFFF)))
        return false;
    BYTE afSize = 0;
    if (frameFile_->SyncRead(chunk.position + static_cast<LONGLONG>(kAfSizeByte), 1, &afSize) !=
        S_OK)
        return false;
    // The audio access mode reads 48 kHz files: every frame counts 1580 + AF_SIZE samples.
    *samples = 1580u + (afSize & 0x3F);
    return true;
}

// Fills the index up to the frame that holds sample `first`; false when a frame on the way
// cannot be read or the sample lies beyond the end of the file. Entry i counts the samples of
// frames 0 to i - 1.
bool CFileReader::FillIndexUpTo(std::uint32_t first, std::uint32_t* start) {
    for (std::uint32_t i = 1; i <= frameCount_; ++i) {
        if (sampleIndex_[i] == 0) {
            std::uint32_t samples = 0;
            if (!ReadFrameChunks() || !SamplesInFile(i - 1, &samples)) return false;
            sampleIndex_[i] = sampleIndex_[i - 1] + samples;
        }
        if (sampleIndex_[i] > first) {
            *start = i - 1;
            return true;
        }
    }
    return false;
}

int CFileReader::GetAudio(std::uint32_t first, std::uint32_t count, void* buffer) {
    if (!opened_ || !buffer || !AudioAccess()) return 0;
    CLockHolder hold(accessLock_);
    std::uint32_t frame = 0;
    if (!FillIndexUpTo(first, &frame)) return 0;
    std::vector<std::uint8_t> dvFrame(kDvFrameBytes, 0), audio(kGetAudioBufferBytes, 0);
    auto* out = static_cast<std::uint8_t*>(buffer);
    const std::uint64_t end = std::uint64_t{first} + count;
    std::uint64_t at = first;  // next sample to append
    for (; frame < frameCount_ && at < end; ++frame) {
        if (!RunToFrame(frame)) return 0;
        // Pairs the frame's pack counts but the frame did not deliver read as silence, never
        // as an earlier frame's sound.
        std::uint32_t copied = 0;
        Copy(audioGrabber_.Get(), kGetAudioBufferBytes, audio.data(), &copied);
        std::fill(audio.begin() + copied, audio.end(), std::uint8_t{0});
        std::uint32_t samples = 0;
        if (!SamplesOfFrame(dvFrame, &samples)) return 0;
        sampleIndex_[frame + 1] = sampleIndex_[frame] + samples;
        const std::uint64_t s = sampleIndex_[frame], e = sampleIndex_[frame + 1];
        const std::uint64_t upTo = std::min(e, end);
        // A frame that reads differently now than when the index was filled (a changing or
        // damaged file) must not move the copy outside either buffer.
        if (at < s || upTo < at || (upTo - s) * 4 > audio.size()) return 0;
        std::memcpy(out, audio.data() + (at - s) * 4, (upTo - at) * 4);
        out += (upTo - at) * 4;
        at = upTo;
    }
    return 1;
}

// ---- Render modes ----

namespace {

// RGB24 720x480 bottom-up pictures, one a frame.
void BuildPictureType(CMediaType* type) {
    *type = CMediaType(&MEDIATYPE_Video);
    type->SetSubtype(&MEDIASUBTYPE_RGB24);
    type->SetFormatType(&FORMAT_VideoInfo);
    auto* info =
        reinterpret_cast<VIDEOINFOHEADER*>(type->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    if (!info) return;
    *info = VIDEOINFOHEADER{};
    info->rcSource = info->rcTarget = RECT{0, 0, 720, 480};
    info->dwBitRate = 248832000;
    info->AvgTimePerFrame = 334;
    info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info->bmiHeader.biWidth = 720;
    info->bmiHeader.biHeight = 480;
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biBitCount = 24;
    info->bmiHeader.biCompression = BI_RGB;
    info->bmiHeader.biSizeImage = kPictureBytes;
}

}  // namespace

int CFileReader::OpenRender(const char* fileName) {
    filterCount_ = kRenderFilterCount;
    table_ = CopyTable(kRenderFilters, filterCount_);
    if (!table_ || !CreateGraph()) return Fail();
    try {
        CreateFilters(table_->Entries(), filterCount_);  // the bridges must be registered
    } catch (const _tagDXM_EXPECT&) {
        return Fail();
    }
    if (!AddFilters(table_->Entries(), filterCount_)) return Fail();
    CMediaType picture, pcm;
    BuildPictureType(&picture);
    BuildPcmType(&pcm);
    platform::ComPtr<IFileSinkFilter> sink;
    if (SUCCEEDED(QueryFrom((*table_)[kRenderWriter].filter, &sink))) {
        WCHAR wide[260] = {};
        MultiByteToWideChar(CP_ACP, 0, fileName, -1, wide, 260);
        wide[259] = 0;
        sink->SetFileName(wide, nullptr);
        platform::ComPtr<IFileSinkFilter2> mode;
        if (SUCCEEDED(QueryFrom(sink.Get(), &mode))) mode->SetMode(AM_FILE_OVERWRITE);
    }
    if (!ConfigureBridge(kRenderVideoBridge, kPictureBytes, &picture, &FillVideo) ||
        !ConfigureBridge(kRenderAudioBridge, kFrameAudioBytes, &pcm, &FillAudio))
        return Fail();
    try {
        Connect(table_->Entries(), filterCount_, kRenderPlan, kRenderPlanSteps);
    } catch (const _tagDXM_EXPECT&) {
        return Fail();
    }
    if (!ObtainRenderInterfaces()) return Fail();
    synchronised_ = (flags_ & kOpenSyncRender) != 0;
    if (synchronised_) flags_ = kOpenRender;
    eventRun_ = true;
    eventThread_.Start([this] { EventLoop(); });
    opened_ = true;
    return 1;
}

bool CFileReader::ConfigureBridge(int entry, LONG size, const AM_MEDIA_TYPE* type,
                                  BridgeRenderProc fill) {
    platform::ComPtr<ITovikSourceBridge> bridge;
    if (FAILED(QueryFrom((*table_)[entry].filter, &bridge))) return false;
    bridge->SetBufferSize(size);
    bridge->SetMediaType(type);
    bridge->SetRenderProc(fill, this);
    return true;
}

bool CFileReader::ObtainRenderInterfaces() {
    if (FAILED(QueryFrom(m_pGraph, &events_))) return false;
    OAEVENT handle = 0;
    if (FAILED(events_->GetEventHandle(&handle))) return false;
    eventHandle_ = reinterpret_cast<HANDLE>(handle);
    if (FAILED(QueryFrom(m_pGraph, &control_))) return false;
    platform::ComPtr<IMediaSeeking> seeking;
    if (FAILED(QueryFrom(m_pGraph, &seeking))) return false;
    if (seeking->IsFormatSupported(&TIME_FORMAT_FRAME) == S_OK)
        seeking->SetTimeFormat(&TIME_FORMAT_FRAME);
    return true;
}

int CFileReader::SetRenderProc(RenderProc video, void* videoUser, RenderProc audio,
                               void* audioUser) {
    videoUser_ = videoUser;
    audioUser_ = audioUser;
    videoProc_ = video;
    audioProc_ = audio;
    return 1;
}

int CFileReader::SetSyncRenderingProc(SyncRenderProc proc, void* user) {
    if (!opened_ || !synchronised_) return 0;
    std::lock_guard hold(syncLock_);
    syncProc_ = proc;
    syncUser_ = user;
    return 1;
}

int CFileReader::StartRendering(int notifyMode, std::uint32_t window, std::uint32_t message) {
    if (!opened_ || !RenderMode() || syncThread_.Joinable() || eventRun_ == false) return 0;
    notifyWindow_ = window;
    notifyMessage_ = message;
    notifyMode_ = notifyMode;
    if (synchronised_) syncThread_.Start([this] { SyncLoop(); });
    if (FAILED(control_->Run())) {
        // Nothing will be asked for or posted (a target that cannot be written, for one).
        control_->Stop();
        EndSync();
        syncThread_.Join();
        std::lock_guard hold(syncLock_);
        syncEnded_ = false;  // as before the call, so that it can be tried again
        return 0;
    }
    return 1;
}

LONG CFileReader::FillVideo(BYTE* buffer, LONG* size, void* reader) {
    auto* self = static_cast<CFileReader*>(reader);
    if (self->synchronised_) return self->HandOff(true, buffer, size);
    RenderProc proc = self->videoProc_;
    return proc ? proc(buffer, size, self->videoUser_) : 0;
}

LONG CFileReader::FillAudio(BYTE* buffer, LONG* size, void* reader) {
    auto* self = static_cast<CFileReader*>(reader);
    if (self->synchronised_) return self->HandOff(false, buffer, size);
    RenderProc proc = self->audioProc_;
    return proc ? proc(buffer, size, self->audioUser_) : 0;
}

// A bridge's request in synchronised mode: wait until the synchroniser has filled this buffer
// together with the other bridge's; 0 at once when the synchroniser has ended.
LONG CFileReader::HandOff(bool video, BYTE* buffer, LONG* size) {
    std::unique_lock hold(syncLock_);
    Pending& mine = video ? pendingVideo_ : pendingAudio_;
    if (syncEnded_) return 0;
    mine = {buffer, size, true};
    const std::uint64_t cycle = syncCycles_;
    syncWake_.notify_all();
    syncWake_.wait(hold, [&] { return syncCycles_ != cycle || syncEnded_; });
    if (syncCycles_ == cycle) {  // ended before this buffer was filled
        mine.waiting = false;
        return 0;
    }
    return syncResult_;
}

void CFileReader::SyncLoop() {
    std::unique_lock hold(syncLock_);
    for (;;) {
        syncWake_.wait(
            hold, [&] { return syncEnded_ || (pendingVideo_.waiting && pendingAudio_.waiting); });
        if (syncEnded_) return;
        const Pending video = pendingVideo_, audio = pendingAudio_;
        const SyncRenderProc proc = syncProc_;
        void* user = syncUser_;
        hold.unlock();
        const LONG result =
            proc ? proc(video.buffer, video.size, audio.buffer, audio.size, user) : 0;
        hold.lock();
        syncResult_ = result;
        pendingVideo_.waiting = pendingAudio_.waiting = false;
        ++syncCycles_;
        if (result == 0) syncEnded_ = true;
        syncWake_.notify_all();
        if (syncEnded_) return;
    }
}

void CFileReader::EndSync() {
    std::lock_guard hold(syncLock_);
    syncEnded_ = true;
    syncWake_.notify_all();
}

void CFileReader::EventLoop() {
    PumpGraphEvents(eventRun_, eventHandle_, events_.Get(), [this](LONG code, LONG_PTR, LONG_PTR) {
        if (notifyMode_ == 1)
            PostMessage(notifyWindow_, notifyMessage_, static_cast<WPARAM>(code), 0);
    });
}

void CFileReader::StopRenderThreads() {
    syncThread_.Join();
    if (eventRun_.exchange(false)) eventThread_.Join();
}
