#include "bridge/source_bridge_filter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/kernel/debug_output.h"

namespace tovik::bridge {

namespace {

constexpr LONG kRowBytes = kTestPictureWidth * 3;
constexpr int kTextX = 5, kTextY = 5;
constexpr BYTE kTextGrey = 0xF0;

// 5 x 7 glyphs of the decimal digits, one byte per row, bit 4 the leftmost pixel.
constexpr BYTE kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

// Draws decimal text with its top left corner at (x, y) counted from the top of the picture,
// each glyph pixel as a 2 x 2 block; rows are stored bottom-up.
void DrawText(std::vector<BYTE>& picture, const char* text, int x, int y) {
    for (; *text; ++text, x += 12) {
        if (*text < '0' || *text > '9') continue;
        const BYTE* glyph = kDigits[*text - '0'];
        for (int gy = 0; gy < 14; ++gy) {
            for (int gx = 0; gx < 10; ++gx) {
                if (!(glyph[gy / 2] & (0x10 >> (gx / 2)))) continue;
                const int px = x + gx, py = y + gy;
                if (px >= kTestPictureWidth || py >= kTestPictureHeight) continue;
                BYTE* pixel = &picture[(kTestPictureHeight - 1 - py) * kRowBytes + px * 3];
                std::fill(pixel, pixel + 3, kTextGrey);
            }
        }
    }
}

std::vector<BYTE> MakeTestPicture() {
    std::vector<BYTE> picture(kTestPictureBytes, 0);
    // The frame counter the picture shows has always been 0.
    char text[16];
    std::snprintf(text, sizeof text, "%d", 0);
    DrawText(picture, text, kTextX, kTextY);
    return picture;
}

}  // namespace

const std::vector<BYTE>& TestPicture() {
    static const std::vector<BYTE> picture = MakeTestPicture();
    return picture;
}

// ---- CSourceBridgePin ----

CSourceBridgePin::CSourceBridgePin(HRESULT* result, CSourceBridge* filter)
    : CSourceStream("source bridge output", result, filter, u"Out"), bridge_(filter) {}

HRESULT CSourceBridgePin::GetMediaType(int position, CMediaType* type) {
    if (!type) return E_POINTER;
    CAutoLock lock(m_pFilter->pStateLock());
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    return type->Set(bridge_->OfferedType());
}

HRESULT CSourceBridgePin::CheckMediaType(const CMediaType*) {
    return S_OK;
}

HRESULT CSourceBridgePin::DecideBufferSize(IMemAllocator* allocator,
                                           ALLOCATOR_PROPERTIES* request) {
    if (!allocator || !request) return E_POINTER;
    CAutoLock lock(m_pFilter->pStateLock());
    request->cBuffers = 1;
    request->cbBuffer = bridge_->BufferSize();
    if (request->cbAlign <= 0) request->cbAlign = 1;
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CSourceBridgePin::OnThreadCreate() {
    CAutoLock lock(&sharedState_);
    sampleTime_ = 0;
    frameDuration_ = kBridgeDefaultFrameDuration;
    return S_OK;
}

void CSourceBridgePin::Stamp(IMediaSample* sample) {
    REFERENCE_TIME start = sampleTime_;
    REFERENCE_TIME end = start + frameDuration_;
    sampleTime_ = end;
    sample->SetTime(&start, &end);
    sample->SetSyncPoint(TRUE);
}

void CSourceBridgePin::SendEndOfStream() {
    // On the streaming thread: no state lock here (a stopping filter holds it while it joins
    // this thread), and the connection cannot change while the pin streams.
    DeliverEndOfStream();
}

HRESULT CSourceBridgePin::FillBuffer(IMediaSample* sample) {
    OutputDebugStringA("!SBAX:FullBuffer()\n");
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || !data) return E_POINTER;
    const LONG capacity = sample->GetSize();

    if (BridgeRenderProc proc = bridge_->RenderProc()) {
        LONG size = capacity;
        const LONG more = proc(data, &size, bridge_->RenderContext());
        // A render proc that reports more than the buffer holds cannot have filled it.
        sample->SetActualDataLength(std::clamp(size, LONG{0}, capacity));
        // The stream ends with this sample: downstream hears it before the sample comes, and
        // nothing is asked of the render proc after it.
        if (more == 0) {
            SendEndOfStream();
            EndAfterThisSample();
        }
        Stamp(sample);
        return S_OK;
    }

    // No client yet: the test picture, cut to what the buffer holds.
    Stamp(sample);
    const std::vector<BYTE>& picture = TestPicture();
    std::memcpy(data, picture.data(), std::min<std::size_t>(picture.size(), capacity));
    return S_OK;
}

// ---- CSourceBridge ----

CUnknown* CSourceBridge::CreateInstance(IUnknown* outer, HRESULT* result) {
    OutputDebugStringA("!SBAX:Tovik Source Bridge filter created.\n");
    auto* filter = new (std::nothrow) CSourceBridge(outer, result);
    if (!filter && result) *result = E_OUTOFMEMORY;
    return filter;
}

CSourceBridge::CSourceBridge(IUnknown* outer, HRESULT* result)
    : ModuleObject(Module()), CSource("Tovik Source Bridge", outer, CLSID_TovikSourceBridge) {
    CAutoLock lock(&m_cStateLock);
    HRESULT hr = S_OK;
    try {
        // The pin adds itself to the filter's pin array.
        new CSourceBridgePin(&hr, this);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    if (result) *result = hr;
}

CSourceBridge::~CSourceBridge() {
    // The pins go while the module still counts the filter.
    m_paStreams.clear();
}

HRESULT CSourceBridge::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_ITovikSourceBridge)
        return GetInterface(static_cast<ITovikSourceBridge*>(this), object);
    return CSource::NonDelegatingQueryInterface(iid, object);
}

HRESULT CSourceBridge::SetRenderProc(BridgeRenderProc proc, void* context) {
    renderProc_ = proc;
    renderContext_ = context;
    OutputDebugStringA("!SBAX:Registed render proc.\n");
    return S_OK;
}

HRESULT CSourceBridge::SetMediaType(const AM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    CAutoLock lock(&m_cStateLock);
    return mediaType_.Set(*type);
}

HRESULT CSourceBridge::SetBufferSize(LONG size) {
    bufferSize_ = size;
    return S_OK;
}

}  // namespace tovik::bridge
