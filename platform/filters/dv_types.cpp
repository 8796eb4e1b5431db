#include "platform/filters/dv_types.h"

#include <cstring>

namespace platform::filters {

bool IsDvType(const CMediaType& type) {
    return (type.majortype == MEDIATYPE_Interleaved || type.majortype == MEDIATYPE_Video) &&
           type.subtype == MEDIASUBTYPE_dvsd;
}

bool DvInfoOf(const CMediaType& type, DVINFO* info) {
    if (type.formattype != FORMAT_DvInfo || !type.pbFormat || type.cbFormat < sizeof(DVINFO))
        return false;
    std::memcpy(info, type.pbFormat, sizeof(DVINFO));
    return true;
}

const VIDEOINFOHEADER* VideoInfoOf(const CMediaType& type) {
    if (type.formattype != FORMAT_VideoInfo || !type.pbFormat ||
        type.cbFormat < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
}

const WAVEFORMATEX* WaveFormatOf(const CMediaType& type) {
    if (type.formattype != FORMAT_WaveFormatEx || !type.pbFormat ||
        type.cbFormat < sizeof(WAVEFORMATEX))
        return nullptr;
    return reinterpret_cast<const WAVEFORMATEX*>(type.pbFormat);
}

dv::System SystemOf(const CMediaType& type) {
    DVINFO info;
    if (DvInfoOf(type, &info)) {
        // The 50/60 bit is bit 5 of the third payload byte of both source packs.
        for (DWORD pack : {info.dwDVVAuxSrc, info.dwDVAAuxSrc}) {
            if (pack == 0xFFFFFFFFu || pack == 0) continue;
            return (pack >> 16) & 0x20 ? dv::System::Pal625 : dv::System::Ntsc525;
        }
    }
    if (const VIDEOINFOHEADER* vih = VideoInfoOf(type)) {
        const LONG height =
            vih->bmiHeader.biHeight < 0 ? -vih->bmiHeader.biHeight : vih->bmiHeader.biHeight;
        if (height == 576) return dv::System::Pal625;
    }
    return dv::System::Ntsc525;
}

int PictureHeight(dv::System system) {
    return system == dv::System::Pal625 ? 576 : 480;
}

std::size_t FrameSize(dv::System system) {
    return system == dv::System::Pal625 ? dv::kFrameSize625 : dv::kFrameSize525;
}

REFERENCE_TIME FrameTime(dv::System system) {
    return system == dv::System::Pal625 ? kFrameTime625 : kFrameTime525;
}

namespace {

VIDEOINFOHEADER* NewVideoInfo(CMediaType* type) {
    auto* vih =
        reinterpret_cast<VIDEOINFOHEADER*>(type->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    if (vih) std::memset(vih, 0, sizeof(VIDEOINFOHEADER));
    return vih;
}

void FillVideoInfo(VIDEOINFOHEADER* vih, int width, int height, WORD bits, DWORD compression,
                   DWORD imageSize, REFERENCE_TIME frameTime) {
    vih->rcSource = RECT{0, 0, width, height};
    vih->rcTarget = vih->rcSource;
    vih->AvgTimePerFrame = frameTime;
    vih->dwBitRate = static_cast<DWORD>(imageSize * 8.0 * 10000000.0 / frameTime);
    vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih->bmiHeader.biWidth = width;
    vih->bmiHeader.biHeight = height;
    vih->bmiHeader.biPlanes = 1;
    vih->bmiHeader.biBitCount = bits;
    vih->bmiHeader.biCompression = compression;
    vih->bmiHeader.biSizeImage = imageSize;
}

}  // namespace

void MakeDvVideoType(CMediaType* type, dv::System system) {
    *type = CMediaType(&MEDIATYPE_Video);
    type->SetSubtype(&MEDIASUBTYPE_dvsd);
    type->SetFormatType(&FORMAT_VideoInfo);
    const auto size = static_cast<ULONG>(FrameSize(system));
    type->SetSampleSize(size);
    type->SetTemporalCompression(FALSE);
    if (VIDEOINFOHEADER* vih = NewVideoInfo(type))
        FillVideoInfo(vih, 720, PictureHeight(system), 24, kFourccDvsd, size, FrameTime(system));
}

void MakeInterleavedType(CMediaType* type, dv::System system, const DVINFO& info) {
    *type = CMediaType(&MEDIATYPE_Interleaved);
    type->SetSubtype(&MEDIASUBTYPE_dvsd);
    type->SetFormatType(&FORMAT_DvInfo);
    type->SetSampleSize(static_cast<ULONG>(FrameSize(system)));
    type->SetTemporalCompression(FALSE);
    type->SetFormat(reinterpret_cast<const BYTE*>(&info), sizeof(info));
}

void MakePictureType(CMediaType* type, const GUID& subtype, int width, int height, WORD bits,
                     DWORD compression, REFERENCE_TIME frameTime) {
    *type = CMediaType(&MEDIATYPE_Video);
    type->SetSubtype(&subtype);
    type->SetFormatType(&FORMAT_VideoInfo);
    const auto size = static_cast<ULONG>(width * (bits / 8) * height);
    type->SetSampleSize(size);
    type->SetTemporalCompression(FALSE);
    if (VIDEOINFOHEADER* vih = NewVideoInfo(type))
        FillVideoInfo(vih, width, height, bits, compression, size, frameTime);
}

void MakePcmType(CMediaType* type, int sampleRate) {
    *type = CMediaType(&MEDIATYPE_Audio);
    type->SetSubtype(&MEDIASUBTYPE_PCM);
    type->SetFormatType(&FORMAT_WaveFormatEx);
    type->SetSampleSize(4);
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = 2;
    wave.nSamplesPerSec = static_cast<DWORD>(sampleRate);
    wave.nBlockAlign = 4;
    wave.nAvgBytesPerSec = wave.nSamplesPerSec * 4;
    wave.wBitsPerSample = 16;
    wave.cbSize = 0;
    type->SetFormat(reinterpret_cast<const BYTE*>(&wave), sizeof(wave));
}

int PcmRateOf(const CMediaType& type) {
    if (type.majortype != MEDIATYPE_Audio || type.subtype != MEDIASUBTYPE_PCM) return 0;
    const WAVEFORMATEX* wave = WaveFormatOf(type);
    if (!wave || wave->wFormatTag != WAVE_FORMAT_PCM || wave->nChannels != 2 ||
        wave->wBitsPerSample != 16 || wave->nBlockAlign != 4)
        return 0;
    const DWORD rate = wave->nSamplesPerSec;
    return rate == 48000 || rate == 44100 || rate == 32000 ? static_cast<int>(rate) : 0;
}

}  // namespace platform::filters
