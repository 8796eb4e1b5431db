#include "platform/com/com.h"
#include "platform/filters/dv_codec_filters.h"
#include "platform/filters/dv_types.h"

namespace platform::filters {

DvVideoEncoder::DvVideoEncoder(IUnknown* outer)
    : CTransformFilter("DV Video Encoder", outer, CLSID_DVVideoEnc) {}

HRESULT DvVideoEncoder::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    auto* filter = new (std::nothrow) DvVideoEncoder(outer);
    if (!filter) return E_OUTOFMEMORY;
    filter->NonDelegatingAddRef();
    HRESULT hr = filter->NonDelegatingQueryInterface(iid, object);
    filter->NonDelegatingRelease();
    return hr;
}

HRESULT DvVideoEncoder::CheckInputType(const CMediaType* type) {
    if (type->majortype != MEDIATYPE_Video || type->subtype != MEDIASUBTYPE_RGB24)
        return VFW_E_TYPE_NOT_ACCEPTED;
    const VIDEOINFOHEADER* vih = VideoInfoOf(*type);
    if (!vih) return VFW_E_TYPE_NOT_ACCEPTED;
    const BITMAPINFOHEADER& bmi = vih->bmiHeader;
    if (bmi.biWidth != dv::DvEncoder::kWidth || bmi.biHeight != dv::DvEncoder::kHeight ||
        bmi.biBitCount != 24 || bmi.biCompression != BI_RGB)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return encoder_.IsOpen() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT DvVideoEncoder::GetMediaType(int position, CMediaType* type) {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    MakeDvVideoType(type, dv::System::Ntsc525);
    return S_OK;
}

HRESULT DvVideoEncoder::CheckTransform(const CMediaType*, const CMediaType* out) {
    if (out->majortype != MEDIATYPE_Video || out->subtype != MEDIASUBTYPE_dvsd)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return SystemOf(*out) == dv::System::Ntsc525 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT DvVideoEncoder::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    const auto size = static_cast<LONG>(dv::kFrameSize525);
    request->cBuffers = std::max<LONG>(2, request->cBuffers);
    request->cbBuffer = std::max<LONG>(size, request->cbBuffer);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < size ? E_FAIL : S_OK;
}

HRESULT DvVideoEncoder::Transform(IMediaSample* in, IMediaSample* out) {
    BYTE* source = nullptr;
    BYTE* target = nullptr;
    if (FAILED(in->GetPointer(&source)) || FAILED(out->GetPointer(&target))) return E_POINTER;
    const LONG length = in->GetActualDataLength();
    // A picture shorter than 720x480x3 cannot be encoded: that is a fault of the stream.
    if (length < 0) return VFW_E_INVALIDMEDIATYPE;
    const std::size_t written = encoder_.Encode(source, static_cast<std::size_t>(length), target,
                                                static_cast<std::size_t>(out->GetSize()));
    if (written == 0) return VFW_E_INVALIDMEDIATYPE;
    out->SetActualDataLength(static_cast<LONG>(written));
    out->SetSyncPoint(TRUE);  // every DV frame stands alone
    return S_OK;
}

namespace {
platform::BuiltinClass g_encoderClass(CLSID_DVVideoEnc, &DvVideoEncoder::CreateInstance);
}  // namespace

}  // namespace platform::filters
