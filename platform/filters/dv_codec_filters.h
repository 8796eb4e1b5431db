#pragma once
// The DV Video Decoder and DV Video Encoder system filters.

#include <atomic>

#include "platform/dv/codec.h"
#include "platform/dv/dif.h"
#include "platform/media/base/transform.h"

namespace platform::filters {

// DV frames (interleaved or video only) in; pictures out: RGB24 bottom-up first, then RGB32
// and YUY2, at the size IIPDVDec's display setting gives (full, half, quarter or DC). A frame
// FFmpeg can make nothing of is dropped and counted; it never stops the stream.
class DvVideoDecoder final : public CTransformFilter, public IIPDVDec {
  public:
    explicit DvVideoDecoder(IUnknown* outer);
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;

    // The display setting applies to the output types offered from then on, that is to the
    // next connection of "XForm Out"; the connected type decides what is delivered.
    HRESULT STDMETHODCALLTYPE get_IPDisplay(int* displayPixels) override;
    HRESULT STDMETHODCALLTYPE put_IPDisplay(int displayPixels) override;

    HRESULT CheckInputType(const CMediaType* type) override;
    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT SetMediaType(PIN_DIRECTION direction, const CMediaType* type) override;
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override;

    // Frames dropped because FFmpeg could not decode them.
    long DroppedFrames() const { return dropped_; }

  private:
    struct Size {
        int width, height;
    };
    static Size SizeFor(int resolution, dv::System system);

    std::atomic<int> resolution_{1000};
    dv::DvDecoder decoder_;  // used on the streaming thread only
    dv::PixelLayout layout_ = dv::PixelLayout::Rgb24;
    int width_ = 720, height_ = 480;
    std::atomic<long> dropped_{0};
};

// Bottom-up RGB24 720x480 pictures in; 120000-byte NTSC DV frames out (MEDIATYPE_Video/dvsd).
class DvVideoEncoder final : public CTransformFilter {
  public:
    explicit DvVideoEncoder(IUnknown* outer);
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);

    HRESULT CheckInputType(const CMediaType* type) override;
    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override;

  private:
    dv::DvEncoder encoder_;
};

}  // namespace platform::filters
