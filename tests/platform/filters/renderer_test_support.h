#pragma once
// Sources for the renderer tests: RGB pictures and PCM audio with times.

#include "tests/platform/filters/filter_test_support.h"

namespace renderer_test {

using namespace filter_test;

// `count` RGB24 pictures of width x height, bottom-up: the top half red, the bottom half green.
class PictureStream final : public CSourceStream {
  public:
    PictureStream(CSource* filter, HRESULT* hr, int count, LONG width, LONG height)
        : CSourceStream("pictures", hr, filter, u"Out"), count_(count), w_(width), h_(height) {}
    using CSourceStream::GetMediaType;
    HRESULT GetMediaType(CMediaType* type) override {
        VIDEOINFOHEADER vih{};
        vih.AvgTimePerFrame = 333667;
        vih.bmiHeader = {sizeof(BITMAPINFOHEADER), w_, h_, 1, 24, BI_RGB,
                         DWORD(w_ * h_ * 3),       0,  0,  0, 0};
        *type = CMediaType(&MEDIATYPE_Video);
        type->SetSubtype(&MEDIASUBTYPE_RGB24);
        type->SetFormatType(&FORMAT_VideoInfo);
        type->SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof vih);
        type->SetSampleSize(ULONG(w_ * h_ * 3));
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES wanted{2, w_ * h_ * 3, 1, 0}, actual{};
        return allocator->SetProperties(&wanted, &actual);
    }
    HRESULT FillBuffer(IMediaSample* sample) override {
        if (next_ >= count_) return S_FALSE;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        for (LONG y = 0; y < h_; ++y) {  // rows bottom-up: row 0 is the bottom one
            bool top = y >= h_ / 2;
            for (LONG x = 0; x < w_; ++x) {  // blue, green, red
                BYTE* p = data + (y * w_ + x) * 3;
                p[0] = 0;
                p[1] = top ? 0 : 255;
                p[2] = top ? 255 : 0;
            }
        }
        sample->SetActualDataLength(w_ * h_ * 3);
        REFERENCE_TIME start = next_ * 333667, end = start + 333667;
        sample->SetTime(&start, &end);
        ++next_;
        return S_OK;
    }

  private:
    int count_;
    LONG w_, h_;
    int next_ = 0;
};

// `count` blocks of 100 ms of 48 kHz 16-bit stereo silence, timed.
class PcmStream final : public CSourceStream {
  public:
    PcmStream(CSource* filter, HRESULT* hr, int count)
        : CSourceStream("pcm", hr, filter, u"Out"), count_(count) {}
    using CSourceStream::GetMediaType;
    HRESULT GetMediaType(CMediaType* type) override {
        WAVEFORMATEX wave{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
        *type = CMediaType(&MEDIATYPE_Audio);
        type->SetSubtype(&MEDIASUBTYPE_PCM);
        type->SetFormatType(&FORMAT_WaveFormatEx);
        type->SetFormat(reinterpret_cast<const BYTE*>(&wave), sizeof wave);
        type->SetSampleSize(4);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES wanted{4, kBlock, 1, 0}, actual{};
        return allocator->SetProperties(&wanted, &actual);
    }
    HRESULT FillBuffer(IMediaSample* sample) override {
        if (next_ >= count_) return S_FALSE;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::memset(data, 0, kBlock);
        sample->SetActualDataLength(kBlock);
        REFERENCE_TIME start = next_ * UNITS / 10, end = start + UNITS / 10;
        sample->SetTime(&start, &end);
        ++next_;
        return S_OK;
    }

  private:
    static constexpr LONG kBlock = 19200;
    int count_;
    int next_ = 0;
};

template <typename Stream, typename... Args>
ComPtr<IBaseFilter> MakeSource(Args... args) {
    struct Source final : CSource {
        explicit Source(Args... a) : CSource("renderer test source", nullptr, GUID_NULL) {
            HRESULT hr = S_OK;
            new Stream(this, &hr, a...);  // owned by the filter
        }
    };
    return ComPtr<IBaseFilter>(new Source(args...));
}

}  // namespace renderer_test
