// Default DirectSound Renderer: plays PCM through ALSA's "default" device. The base renderer
// presents each sample at its time on the graph's clock. The device is opened at the stream's
// format when the first sample arrives, opened again at the new one when a sample brings
// another format (DV audio at 32 or 44.1 kHz on a pin connected at 48 kHz), and closed when
// the filter stops. When no device can be opened, the filter is a silent sink that still
// consumes its samples in time, so graphs run on machines without sound.

#include <alsa/asoundlib.h>

#include <cstring>
#include <mutex>

#include "platform/com/com.h"
#include "platform/filters/factory.h"
#include "platform/media/base/renderer.h"

namespace {

constexpr unsigned kLatencyMicroseconds = 100000;

// ALSA reports a missing device on stderr; here that is an expected case, not news.
void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

class CDSoundRenderer final : public CBaseRenderer {
  public:
    explicit CDSoundRenderer(IUnknown* outer)
        : CBaseRenderer(CLSID_DSoundRender, "dsound renderer", outer, nullptr,
                        u"Audio Input pin (rendered)") {}
    ~CDSoundRenderer() override { CloseDevice(); }

    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT DoRenderSample(IMediaSample* sample) override;
    // Opens the device while paused, so that running starts on time.
    void OnReceiveFirstSample(IMediaSample*) override;
    HRESULT STDMETHODCALLTYPE Stop() override;

  private:
    // Opens the device at the stream's format unless it is open at it (or could not be).
    void OpenDeviceLocked();
    void CloseDeviceLocked();
    void CloseDevice();

    // Under deviceLock_, between the streaming thread and state changes.
    std::mutex deviceLock_;
    WAVEFORMATEX format_{};        // the stream's format
    WAVEFORMATEX deviceFormat_{};  // the format the device was last opened at
    bool opened_ = false;          // opening was tried at deviceFormat_ since the last stop
    snd_pcm_t* pcm_ = nullptr;     // null: silent
};

bool SameFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
    return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels &&
           a.nSamplesPerSec == b.nSamplesPerSec && a.wBitsPerSample == b.wBitsPerSample &&
           a.nBlockAlign == b.nBlockAlign;
}

HRESULT CDSoundRenderer::CheckMediaType(const CMediaType* type) {
    if (*type->Type() != MEDIATYPE_Audio || *type->Subtype() != MEDIASUBTYPE_PCM ||
        *type->FormatType() != FORMAT_WaveFormatEx || type->FormatLength() < 16)
        return VFW_E_TYPE_NOT_ACCEPTED;
    WAVEFORMATEX wave{};
    std::memcpy(&wave, type->Format(), std::min<std::size_t>(type->FormatLength(), sizeof wave));
    bool bits = wave.wBitsPerSample == 8 || wave.wBitsPerSample == 16;
    bool consistent = wave.nChannels >= 1 && wave.nChannels <= 8 &&
                      wave.nBlockAlign == wave.nChannels * wave.wBitsPerSample / 8 &&
                      wave.nSamplesPerSec >= 1000 && wave.nSamplesPerSec <= 192000;
    return wave.wFormatTag == WAVE_FORMAT_PCM && bits && consistent ? S_OK
                                                                    : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CDSoundRenderer::SetMediaType(const CMediaType* type) {
    WAVEFORMATEX format{};
    std::memcpy(&format, type->Format(),
                std::min<std::size_t>(type->FormatLength(), sizeof format));
    std::lock_guard lock(deviceLock_);
    format_ = format;
    return S_OK;
}

void CDSoundRenderer::OpenDeviceLocked() {
    if (opened_ && SameFormat(deviceFormat_, format_)) return;
    CloseDeviceLocked();
    opened_ = true;
    deviceFormat_ = format_;
    static const bool quiet = (snd_lib_error_set_handler(&IgnoreAlsaError), true);
    (void)quiet;
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return;  // silent sink
    snd_pcm_format_t sampleFormat =
        format_.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
    if (snd_pcm_set_params(pcm, sampleFormat, SND_PCM_ACCESS_RW_INTERLEAVED, format_.nChannels,
                           format_.nSamplesPerSec, 1, kLatencyMicroseconds) < 0) {
        snd_pcm_close(pcm);
        return;
    }
    pcm_ = pcm;
}

void CDSoundRenderer::CloseDeviceLocked() {
    opened_ = false;
    if (!pcm_) return;
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
}

void CDSoundRenderer::CloseDevice() {
    std::lock_guard lock(deviceLock_);
    CloseDeviceLocked();
}

void CDSoundRenderer::OnReceiveFirstSample(IMediaSample*) {
    std::lock_guard lock(deviceLock_);
    OpenDeviceLocked();
}

HRESULT CDSoundRenderer::Stop() {
    HRESULT hr = CBaseRenderer::Stop();
    CloseDevice();  // waits for a write in progress, which the device bounds by its latency
    return hr;
}

// Writes the sample's whole frames; a device that fails for good is dropped and the stream goes
// on in silence.
HRESULT CDSoundRenderer::DoRenderSample(IMediaSample* sample) {
    BYTE* data = nullptr;
    LONG length = sample->GetActualDataLength();
    if (FAILED(sample->GetPointer(&data)) || !data || length <= 0) return S_OK;
    std::lock_guard lock(deviceLock_);
    OpenDeviceLocked();
    if (!pcm_ || format_.nBlockAlign == 0) return S_OK;
    snd_pcm_uframes_t frames = snd_pcm_uframes_t(length / format_.nBlockAlign);
    while (frames > 0) {
        snd_pcm_sframes_t written = snd_pcm_writei(pcm_, data, frames);
        if (written < 0) written = snd_pcm_recover(pcm_, int(written), 1);
        if (written < 0) {
            snd_pcm_close(pcm_);
            pcm_ = nullptr;
            break;
        }
        frames -= snd_pcm_uframes_t(written);
        data += std::size_t(written) * format_.nBlockAlign;
    }
    return S_OK;
}

platform::BuiltinClass g_dsoundRendererClass(CLSID_DSoundRender,
                                             &platform::filters::CreateFilter<CDSoundRenderer>);

}  // namespace
