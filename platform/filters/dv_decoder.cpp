#include "platform/com/com.h"
#include "platform/filters/dv_codec_filters.h"
#include "platform/filters/dv_types.h"

namespace platform::filters {

namespace {

struct Offer {
    const GUID* subtype;
    WORD bits;
    DWORD compression;
    dv::PixelLayout layout;
};

constexpr DWORD kFourccYuy2 = 0x32595559;  // 'YUY2'
const Offer kOffers[] = {
    {&MEDIASUBTYPE_RGB24, 24, BI_RGB, dv::PixelLayout::Rgb24},
    {&MEDIASUBTYPE_RGB32, 32, BI_RGB, dv::PixelLayout::Rgb32},
    {&MEDIASUBTYPE_YUY2, 16, kFourccYuy2, dv::PixelLayout::Yuy2},
};

const Offer* OfferFor(const GUID& subtype) {
    for (const Offer& offer : kOffers)
        if (*offer.subtype == subtype) return &offer;
    return nullptr;
}

}  // namespace

DvVideoDecoder::DvVideoDecoder(IUnknown* outer)
    : CTransformFilter("DV Video Decoder", outer, CLSID_DVVideoCodec) {}

HRESULT DvVideoDecoder::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    auto* filter = new (std::nothrow) DvVideoDecoder(outer);
    if (!filter) return E_OUTOFMEMORY;
    filter->NonDelegatingAddRef();
    HRESULT hr = filter->NonDelegatingQueryInterface(iid, object);
    filter->NonDelegatingRelease();
    return hr;
}

HRESULT DvVideoDecoder::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IIPDVDec) return GetInterface(static_cast<IIPDVDec*>(this), object);
    return CTransformFilter::NonDelegatingQueryInterface(iid, object);
}

HRESULT DvVideoDecoder::get_IPDisplay(int* displayPixels) {
    if (!displayPixels) return E_POINTER;
    *displayPixels = resolution_;
    return S_OK;
}

HRESULT DvVideoDecoder::put_IPDisplay(int displayPixels) {
    if (displayPixels < DVRESOLUTION_FULL || displayPixels > DVRESOLUTION_DC) return E_INVALIDARG;
    CAutoLock lock(&m_csFilter);
    resolution_ = displayPixels;
    return S_OK;
}

DvVideoDecoder::Size DvVideoDecoder::SizeFor(int resolution, dv::System system) {
    const int height = PictureHeight(system);
    switch (resolution) {
        case DVRESOLUTION_HALF:
            return {360, height / 2};
        case DVRESOLUTION_QUARTER:
            return {180, height / 4};
        case DVRESOLUTION_DC:
            return {88, height / 8};
        default:
            return {720, height};
    }
}

HRESULT DvVideoDecoder::CheckInputType(const CMediaType* type) {
    return IsDvType(*type) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT DvVideoDecoder::GetMediaType(int position, CMediaType* type) {
    if (position < 0) return E_INVALIDARG;
    if (position >= static_cast<int>(std::size(kOffers))) return VFW_S_NO_MORE_ITEMS;
    const Offer& offer = kOffers[position];
    const Size size = SizeFor(resolution_, SystemOf(m_pInput->CurrentMediaType()));
    const VIDEOINFOHEADER* in = VideoInfoOf(m_pInput->CurrentMediaType());
    const REFERENCE_TIME frameTime = in && in->AvgTimePerFrame > 0
                                         ? in->AvgTimePerFrame
                                         : FrameTime(SystemOf(m_pInput->CurrentMediaType()));
    MakePictureType(type, *offer.subtype, size.width, size.height, offer.bits, offer.compression,
                    frameTime);
    return S_OK;
}

HRESULT DvVideoDecoder::CheckTransform(const CMediaType* in, const CMediaType* out) {
    if (!IsDvType(*in) || out->majortype != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
    const Offer* offer = OfferFor(out->subtype);
    const VIDEOINFOHEADER* vih = VideoInfoOf(*out);
    if (!offer || !vih) return VFW_E_TYPE_NOT_ACCEPTED;
    const BITMAPINFOHEADER& bmi = vih->bmiHeader;
    // One of the sizes the decoder makes, rows bottom-up (positive height) and packed.
    bool sizeOk = false;
    for (int r = DVRESOLUTION_FULL; r <= DVRESOLUTION_DC; ++r) {
        const Size size = SizeFor(r, SystemOf(*in));
        sizeOk = sizeOk || (bmi.biWidth == size.width && bmi.biHeight == size.height);
    }
    if (!sizeOk || bmi.biBitCount != offer->bits) return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT DvVideoDecoder::SetMediaType(PIN_DIRECTION direction, const CMediaType* type) {
    if (direction != PINDIR_OUTPUT) return S_OK;
    const VIDEOINFOHEADER* vih = VideoInfoOf(*type);
    const Offer* offer = OfferFor(type->subtype);
    if (!vih || !offer) return VFW_E_TYPE_NOT_ACCEPTED;
    CAutoLock receiving(&m_csReceive);
    layout_ = offer->layout;
    width_ = vih->bmiHeader.biWidth;
    height_ = vih->bmiHeader.biHeight;
    return S_OK;
}

HRESULT DvVideoDecoder::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    const auto size = static_cast<LONG>(dv::PictureBytes(layout_, width_, height_));
    request->cBuffers = std::max<LONG>(1, request->cBuffers);
    request->cbBuffer = std::max<LONG>(size, request->cbBuffer);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < size ? E_FAIL : S_OK;
}

HRESULT DvVideoDecoder::Transform(IMediaSample* in, IMediaSample* out) {
    BYTE* source = nullptr;
    BYTE* target = nullptr;
    if (FAILED(in->GetPointer(&source)) || FAILED(out->GetPointer(&target))) return E_POINTER;
    const LONG length = in->GetActualDataLength();
    const std::size_t picture = dv::PictureBytes(layout_, width_, height_);
    if (length <= 0 || !decoder_.Decode(source, static_cast<std::size_t>(length)) ||
        !decoder_.Convert(layout_, width_, height_, target,
                          static_cast<std::size_t>(out->GetSize()))) {
        ++dropped_;
        return S_FALSE;
    }
    out->SetActualDataLength(static_cast<LONG>(picture));
    out->SetSyncPoint(TRUE);
    return S_OK;
}

namespace {
platform::BuiltinClass g_decoderClass(CLSID_DVVideoCodec, &DvVideoDecoder::CreateInstance);
}  // namespace

}  // namespace platform::filters
