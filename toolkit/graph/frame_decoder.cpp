#include "toolkit/graph/frame_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "toolkit/graph/message_box.h"

namespace tovik {

namespace {

// Pin arrays of the constant table; only working copies are ever written.
PinEntry g_bridgePins[] = {{"Out", nullptr}};
PinEntry g_decoderPins[] = {{"XForm In", nullptr}, {"XForm Out", nullptr}};
PinEntry g_grabberPins[] = {{"Input", nullptr}, {"Output", nullptr}};
PinEntry g_rendererPins[] = {{"In", nullptr}};

constexpr int kBridge = 0, kDecoder = 1, kGrabber = 2;
constexpr int kFilterCount = 4;

const FilterEntry kFilters[kFilterCount] = {
    {kCreateByClass, {&CLSID_TovikSourceBridge}, "SoueceBridge", nullptr, 1, g_bridgePins},
    {kCreateByClass, {&CLSID_DVVideoCodec}, "DV Video Decoder", nullptr, 2, g_decoderPins},
    {kCreateByClass, {&CLSID_SampleGrabber}, "Sample Grabber", nullptr, 2, g_grabberPins},
    {kCreateByClass, {&CLSID_NullRenderer}, "Null Renderer", nullptr, 1, g_rendererPins},
};

// Bridge to decoder with the bridge's own (DV) type, and the pins the second plan needs.
const ConnectStep kFirstPlan[] = {
    {kStepFindPin, 0, 0, 0, 0, nullptr}, {kStepFindPin, 1, 0, 0, 0, nullptr},
    {kStepConnect, 0, 0, 1, 0, nullptr}, {kStepFindPin, 1, 1, 0, 0, nullptr},
    {kStepFindPin, 2, 0, 0, 0, nullptr},
};

// Decoder to grabber to renderer with the picture type, which is chosen per still. Each
// still fills in its own copy, so decoders on different threads share nothing.
std::array<ConnectStep, 4> SecondPlan(const AM_MEDIA_TYPE* picture) {
    return {{
        {kStepConnect, 1, 1, 2, 0, picture},
        {kStepFindPin, 2, 1, 0, 0, nullptr},
        {kStepFindPin, 3, 0, 0, 0, nullptr},
        {kStepConnect, 2, 1, 3, 0, picture},
    }};
}

// The stream ends right after the single frame; this bounds the wait for its end, so that a
// chain that fails inside never hangs the caller.
constexpr LONG kCompletionWaitMs = 10000;

bool IsPictureType(const AM_MEDIA_TYPE& type) {
    if (type.formattype != FORMAT_VideoInfo || !type.pbFormat ||
        type.cbFormat < sizeof(VIDEOINFOHEADER))
        return false;
    VIDEOINFOHEADER header;
    std::memcpy(&header, type.pbFormat, sizeof header);
    return header.bmiHeader.biBitCount == 24;
}


}  // namespace

CFrameDecoder::~CFrameDecoder() {
    Teardown();
}

int CFrameDecoder::Build() {
    if (built_) return 0;
    table_ = CopyTable(kFilters, kFilterCount);
    if (!table_ || !CreateGraph()) {
        ReleaseAll();
        return 0;
    }
    try {
        CreateFilters(table_->Entries(), kFilterCount);
    } catch (const _tagDXM_EXPECT& failure) {
        if (failure.index == kBridge) ShowMessageBox(kBridgeNotFoundMessage, MessageIcon::kError);
        ReleaseAll();
        return 0;
    }
    if (!AddFilters(table_->Entries(), kFilterCount) || !QueryInterfaces()) {
        ReleaseAll();
        return 0;
    }
    built_ = 1;
    return 1;
}

bool CFrameDecoder::QueryInterfaces() {
    auto dv = platform::QueryFrom<IIPDVDec>((*table_)[kDecoder].filter);
    if (!dv) return false;
    dv->put_IPDisplay(DVRESOLUTION_FULL);

    grabber_ = platform::QueryFrom<ISampleGrabber>((*table_)[kGrabber].filter);
    if (!grabber_) return false;
    grabber_->SetBufferSamples(TRUE);
    grabber_->SetOneShot(TRUE);

    bridge_ = platform::QueryFrom<ITovikSourceBridge>((*table_)[kBridge].filter);
    if (!bridge_) return false;
    bridge_->SetBufferSize(kDvFrameBytes625);  // room for a frame of either system
    bridge_->SetRenderProc(&CFrameDecoder::RenderProc, this);

    events_ = platform::QueryFrom<IMediaEvent>(m_pGraph);
    control_ = platform::QueryFrom<IMediaControl>(m_pGraph);
    return events_ && control_;
}

// The frame goes out as a sample with more to follow, so that the end of the stream travels
// behind it: a picture that the grabber keeps ends the stream there (the one-shot grabber
// refuses more and completes the graph). The render proc is only asked again when the decoder
// passed the frame over, and then ends the stream with an empty sample.
LONG CFrameDecoder::RenderProc(BYTE* buffer, LONG* size, void* context) {
    auto* self = static_cast<CFrameDecoder*>(context);
    if (self->frameSent_ || !self->currentFrame_) {
        *size = 0;
        return 0;
    }
    // Never more than the bridge's buffer holds, nor than the frame has.
    const LONG bytes = std::clamp(*size, LONG{0}, self->currentFrameBytes_);
    std::memcpy(buffer, self->currentFrame_, static_cast<std::size_t>(bytes));
    *size = bytes;
    self->frameSent_ = true;
    return 1;
}

int CFrameDecoder::Decode(const AM_MEDIA_TYPE* dvType, const BYTE* dvFrame, LONG frameBytes,
                          BYTE* picture, LONG pictureBytes, std::int32_t* out) {
    if (!built_ || !dvType || !dvFrame || !picture || frameBytes <= 0 ||
        frameBytes > kDvFrameBytes625)
        return 0;
    currentFrame_ = dvFrame;
    currentFrameBytes_ = frameBytes;
    frameSent_ = false;
    bridge_->SetMediaType(dvType);
    // Forget the picture of the last still, so only this run's picture can be taken.
    grabber_->SetBufferSamples(FALSE);
    grabber_->SetBufferSamples(TRUE);
    if (!ConnectChain()) {
        DisconnectAll(table_->Entries(), kFilterCount);
        currentFrame_ = nullptr;
        return 0;
    }
    if (SUCCEEDED(control_->Run())) {
        LONG code = 0;
        events_->WaitForCompletion(kCompletionWaitMs, &code);
    }
    control_->Stop();
    if (TakePicture(picture, pictureBytes) && out) *out = 0;
    DisconnectAll(table_->Entries(), kFilterCount);
    currentFrame_ = nullptr;
    return 1;
}

bool CFrameDecoder::ConnectChain() {
    try {
        Connect(table_->Entries(), kFilterCount, kFirstPlan, std::size(kFirstPlan));
        CMediaType pictureType;
        if (!ChoosePictureType(&pictureType)) return false;
        const auto plan = SecondPlan(&pictureType);
        Connect(table_->Entries(), kFilterCount, plan.data(), static_cast<int>(plan.size()));
    } catch (const _tagDXM_EXPECT&) {
        return false;
    }
    return true;
}

bool CFrameDecoder::ChoosePictureType(CMediaType* type) {
    IPin* output = (*table_)[kDecoder].pins[1].pin;
    platform::ComPtr<IEnumMediaTypes> types;
    if (!output || FAILED(output->EnumMediaTypes(types.Put())) || !types) return false;
    types->Reset();
    AM_MEDIA_TYPE* offered = nullptr;
    while (types->Next(1, &offered, nullptr) == S_OK) {
        const bool found = IsPictureType(*offered) && SUCCEEDED(type->Set(*offered));
        DeleteMediaType(offered);
        if (found) return true;
    }
    return false;
}

bool CFrameDecoder::TakePicture(BYTE* picture, LONG bytes) {
    LONG needed = 0;
    if (FAILED(grabber_->GetCurrentBuffer(&needed, nullptr)) || needed != bytes) return false;
    LONG size = bytes;
    return SUCCEEDED(grabber_->GetCurrentBuffer(&size, reinterpret_cast<LONG*>(picture)));
}

int CFrameDecoder::Teardown() {
    if (!built_) return 0;
    ReleaseAll();
    return 1;
}

void CFrameDecoder::ReleaseAll() {
    events_.Reset();
    control_.Reset();
    grabber_.Reset();
    bridge_.Reset();
    if (table_) CDirectShow::Teardown(table_->Entries(), table_->Count());
    ReleaseGraph();
    FreeTable(table_);
    built_ = 0;
}

}  // namespace tovik
