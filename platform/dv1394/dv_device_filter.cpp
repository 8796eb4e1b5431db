#include "platform/dv1394/dv_device_filter.h"

#include <algorithm>
#include <cstring>

#include "platform/com/com.h"
#include "platform/filters/dv_types.h"
#include "platform/kernel/text.h"

namespace platform::dv1394 {

namespace {

// {8F4D1E0A-6C2B-4B7E-9A31-D7E5C0A1B2C3}: our class for the device filter; it is created
// through the device enumerator, never by class identifier.
constexpr CLSID kDvDeviceClass = {
    0x8F4D1E0A, 0x6C2B, 0x4B7E, {0x9A, 0x31, 0xD7, 0xE5, 0xC0, 0xA1, 0xB2, 0xC3}};

struct ModeCommand {
    LONG mode;
    std::uint8_t opcode;
    std::uint8_t operand;
};

constexpr ModeCommand kModeCommands[] = {
    {ED_MODE_PLAY, kOpPlay, 0x75},
    {ED_MODE_STOP, kOpWind, 0x60},
    {ED_MODE_FREEZE, kOpPlay, 0x7D},
    {ED_MODE_FF, kOpWind, 0x75},
    {ED_MODE_REW, kOpWind, 0x65},
    {ED_MODE_STEP_FWD, kOpPlay, 0x30},
    {ED_MODE_STEP_REV, kOpPlay, 0x40},
    {ED_MODE_PLAY_FASTEST_FWD, kOpPlay, 0x3F},
    {ED_MODE_PLAY_FASTEST_REV, kOpPlay, 0x4F},
    {ED_MODE_PLAY_SLOWEST_FWD, kOpPlay, 0x31},
    {ED_MODE_PLAY_SLOWEST_REV, kOpPlay, 0x41},
    {ED_MODE_RECORD, kOpRecord, 0x75},
    {ED_MODE_RECORD_FREEZE, kOpRecord, 0x7D},
};

}  // namespace

bool TransportCommandForMode(LONG mode, std::uint8_t* opcode, std::uint8_t* operand) {
    for (const auto& c : kModeCommands) {
        if (c.mode == mode) {
            *opcode = c.opcode;
            *operand = c.operand;
            return true;
        }
    }
    return false;
}

LONG ModeForTransportState(std::uint8_t opcode, std::uint8_t operand) {
    if (opcode == kOpRecord) return operand == 0x7D ? ED_MODE_RECORD_FREEZE : ED_MODE_RECORD;
    if (opcode == kOpWind) {
        if (operand == 0x75) return ED_MODE_FF;
        if (operand == 0x65 || operand == 0x45) return ED_MODE_REW;
        return ED_MODE_STOP;
    }
    if (opcode != kOpPlay) return ED_MODE_STOP;
    switch (operand) {
        case 0x3F:
            return ED_MODE_PLAY_FASTEST_FWD;
        case 0x4F:
            return ED_MODE_PLAY_FASTEST_REV;
        case 0x31:
            return ED_MODE_PLAY_SLOWEST_FWD;
        case 0x41:
            return ED_MODE_PLAY_SLOWEST_REV;
        case 0x7D:
        case 0x6D:
        case 0x30:
        case 0x40:
            return ED_MODE_FREEZE;
        default:
            return ED_MODE_PLAY;
    }
}

// ---- pins ----

CDvOutputPin::CDvOutputPin(CDvDeviceFilter* filter, LPCWSTR name, bool interleaved)
    : CBaseOutputPin("dv output", filter, filter->StateLock(), nullptr, name),
      interleaved_(interleaved) {}

// The type of the unit's system. The interleaved type's DVINFO says only the system (the 50/60
// bit of its source packs): the rest comes from the stream itself.
HRESULT CDvOutputPin::GetMediaType(int position, CMediaType* type) {
    if (position != 0) return VFW_S_NO_MORE_ITEMS;
    const dv::System system = static_cast<CDvDeviceFilter*>(m_pFilter)->UnitSystem();
    if (interleaved_) {
        DVINFO info{};
        if (system == dv::System::Pal625) info.dwDVVAuxSrc = info.dwDVAAuxSrc = 0x00200000;
        filters::MakeInterleavedType(type, system, info);
    } else {
        filters::MakeDvVideoType(type, system);
    }
    return type->Format() || type->FormatLength() == 0 ? S_OK : E_OUTOFMEMORY;
}

HRESULT CDvOutputPin::CheckMediaType(const CMediaType* type) {
    const GUID& major = interleaved_ ? MEDIATYPE_Interleaved : MEDIATYPE_Video;
    return *type->Type() == major && *type->Subtype() == MEDIASUBTYPE_dvsd ? S_OK : S_FALSE;
}

HRESULT CDvOutputPin::CheckConnect(IPin* pin) {
    HRESULT hr = CBaseOutputPin::CheckConnect(pin);
    if (FAILED(hr)) return hr;
    return static_cast<CDvDeviceFilter*>(m_pFilter)->OutputPlugInUse() ? VFW_E_CANNOT_CONNECT
                                                                       : S_OK;
}

HRESULT CDvOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    request->cBuffers = std::max<LONG>(4, request->cBuffers);
    request->cbBuffer = std::max<LONG>(static_cast<LONG>(kPalFrameSize), request->cbBuffer);
    ALLOCATOR_PROPERTIES actual{};
    return allocator->SetProperties(request, &actual);
}

void CDvOutputPin::Push(const std::uint8_t* frame, std::size_t size, REFERENCE_TIME start,
                        LONGLONG number) {
    if (!IsConnected()) return;
    IMediaSample* sample = nullptr;
    // A live source never waits for downstream: a frame with no free buffer is dropped.
    if (FAILED(GetDeliveryBuffer(&sample, nullptr, nullptr, AM_GBF_NOWAIT))) {
        static_cast<CDvDeviceFilter*>(m_pFilter)->CountDropped();
        ++overruns_;
        return;
    }
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    std::size_t length = std::min<std::size_t>(size, static_cast<std::size_t>(sample->GetSize()));
    std::memcpy(data, frame, length);
    sample->SetActualDataLength(static_cast<LONG>(length));
    REFERENCE_TIME end = start + filters::FrameTime(size == kPalFrameSize ? dv::System::Pal625
                                                                          : dv::System::Ntsc525);
    sample->SetTime(&start, &end);
    LONGLONG after = number + 1;
    sample->SetMediaTime(&number, &after);
    sample->SetSyncPoint(TRUE);
    Deliver(sample);
    sample->Release();
}

CDvInputPin::CDvInputPin(CDvDeviceFilter* filter)
    : CBaseInputPin("dv input", filter, filter->StateLock(), nullptr, u"DV A/V In"),
      m_pDevice(filter) {}

// DV of the unit's own system: a deck records nothing of the other one.
HRESULT CDvInputPin::CheckMediaType(const CMediaType* type) {
    bool major = *type->Type() == MEDIATYPE_Interleaved || *type->Type() == MEDIATYPE_Video;
    if (!major || *type->Subtype() != MEDIASUBTYPE_dvsd) return S_FALSE;
    return filters::SystemOf(*type) == m_pDevice->UnitSystem() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CDvInputPin::Receive(IMediaSample* sample) {
    HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK) return hr;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    LONG length = sample->GetActualDataLength();
    if (length <= 0 || length > sample->GetSize()) return S_OK;
    if (!m_pDevice->WaitUntilRunning()) return S_FALSE;
    // Blocks while the unit is not ready for the next frame: the unit sets the pace.
    if (!m_pDevice->Unit().Transmit(data, static_cast<std::size_t>(length)))
        return VFW_E_RUNTIME_ERROR;
    return S_OK;
}

HRESULT CDvInputPin::BeginFlush() {
    HRESULT hr = CBaseInputPin::BeginFlush();
    m_pDevice->ReleaseWaiters(true);
    return hr;
}

HRESULT CDvInputPin::EndFlush() {
    m_pDevice->ReleaseWaiters(false);
    return CBaseInputPin::EndFlush();
}

HRESULT CDvInputPin::EndOfStream() {
    constexpr auto kStall = std::chrono::seconds(2);
    HRESULT hr = CheckStreaming();
    if (hr != S_OK) return hr;
    // Complete means on the unit: frames still on their way out are waited for, so that a
    // caller that stops at completion cuts none of them off. A stop ends the wait.
    m_pDevice->Unit().DrainTransmit(kStall);
    hr = CheckStreaming();
    if (hr != S_OK) return hr;
    return m_pDevice->NotifyEvent(EC_COMPLETE, S_OK, 0);
}

// ---- filter ----

CDvDeviceFilter::CDvDeviceFilter(std::shared_ptr<DvUnit> unit)
    : CBaseFilter("dv device", nullptr, &lock_, kDvDeviceClass), unit_(std::move(unit)) {
    input_ = std::make_unique<CDvInputPin>(this);
    interleavedOut_ = std::make_unique<CDvOutputPin>(this, u"DV A/V Out", true);
    videoOut_ = std::make_unique<CDvOutputPin>(this, u"DV Vid Out", false);
    unit_->SetLostHandler([this] { OnLost(); });
}

CDvDeviceFilter::~CDvDeviceFilter() {
    unit_->SetLostHandler(nullptr);
    unit_->StopReceive();
    unit_->StopTransmit();
}

HRESULT CDvDeviceFilter::Create(std::shared_ptr<DvUnit> unit, IBaseFilter** filter) {
    if (!filter || !unit) return E_POINTER;
    auto* created = new CDvDeviceFilter(std::move(unit));
    return created->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(filter));
}

HRESULT CDvDeviceFilter::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IAMExtTransport)
        return GetInterface(static_cast<IAMExtTransport*>(this), object);
    if (iid == IID_IAMExtDevice) return GetInterface(static_cast<IAMExtDevice*>(this), object);
    if (iid == IID_IAMTimecodeReader)
        return GetInterface(static_cast<IAMTimecodeReader*>(this), object);
    if (iid == IID_IVelmoraDvLinkStats)
        return GetInterface(static_cast<IVelmoraDvLinkStats*>(this), object);
    return CBaseFilter::NonDelegatingQueryInterface(iid, object);
}

CBasePin* CDvDeviceFilter::GetPin(int index) {
    switch (index) {
        case 0:
            return interleavedOut_.get();
        case 1:
            return videoOut_.get();
        case 2:
            return input_.get();
        default:
            return nullptr;
    }
}

bool CDvDeviceFilter::WaitUntilRunning() {
    std::unique_lock lock(runLock_);
    runChanged_.wait(lock, [&] { return running_ || released_; });
    return running_ && !released_;
}

void CDvDeviceFilter::ReleaseWaiters(bool release) {
    {
        std::lock_guard lock(runLock_);
        released_ = release;
    }
    runChanged_.notify_all();
}

HRESULT CDvDeviceFilter::Run(REFERENCE_TIME start) {
    CAutoLock lock(&lock_);
    HRESULT hr = CBaseFilter::Run(start);
    if (SUCCEEDED(hr)) {
        std::lock_guard run(runLock_);
        running_ = true;
    }
    runChanged_.notify_all();
    return hr;
}

HRESULT CDvDeviceFilter::Pause() {
    CAutoLock lock(&lock_);
    {
        std::lock_guard run(runLock_);
        running_ = false;
        if (m_State == State_Stopped) released_ = false;
    }
    if (m_State == State_Stopped) {
        const CBasePin* out =
            interleavedOut_->IsConnected() ? interleavedOut_.get() : videoOut_.get();
        outputFrameSize_ =
            out->IsConnected() ? filters::FrameSize(filters::SystemOf(out->CurrentMediaType())) : 0;
        systemChangeReported_ = false;
        if (input_->IsConnected() && !unit_->StartTransmit()) return VFW_E_RUNTIME_ERROR;
        if (interleavedOut_->IsConnected() || videoOut_->IsConnected()) {
            receiving_ = unit_->StartReceive(
                [this](const std::uint8_t* frame, std::size_t size) { OnFrame(frame, size); });
        }
    }
    return CBaseFilter::Pause();
}

HRESULT CDvDeviceFilter::Stop() {
    CAutoLock lock(&lock_);
    // State first, so frames still arriving are dropped; then the streams end.
    HRESULT hr = CBaseFilter::Stop();
    {
        std::lock_guard run(runLock_);
        running_ = false;
        released_ = true;
    }
    runChanged_.notify_all();
    unit_->StopReceive();
    receiving_ = false;
    unit_->StopTransmit();
    return hr;
}

HRESULT CDvDeviceFilter::GetLosses(LONGLONG* bus, LONGLONG* incomplete, LONGLONG* foreign,
                                   LONGLONG* overrun) {
    if (bus) *bus = busLosses_;
    if (incomplete) *incomplete = damaged_;
    if (foreign) *foreign = foreign_;
    if (overrun) *overrun = interleavedOut_->Overruns();
    return S_OK;
}

void CDvDeviceFilter::OnFrame(const std::uint8_t* frame, std::size_t size) {
    // Number the frame in the unit's stream, after what the link lost before it.
    const std::int64_t unitLosses = unit_->LinkLosses();
    if (unitLosses > unitLossesSeen_) {
        const std::int64_t lost = unitLosses - unitLossesSeen_;
        busLosses_ += lost;
        streamFrames_ += lost;
        NotifyEvent(EC_VELMORA_DV_FRAMES_LOST, static_cast<LONG_PTR>(lost), 0);
    }
    unitLossesSeen_ = unitLosses;
    const LONGLONG number = streamFrames_++;
    if (size != kNtscFrameSize && size != kPalFrameSize) {
        ++damaged_;
        return;
    }
    knownSystem_ = 1 + int(size == kPalFrameSize ? dv::System::Pal625 : dv::System::Ntsc525);
    if (size != outputFrameSize_) {
        // A tape whose system changes: the outputs are connected for the other one. The frame
        // is dropped whole, and the graph hears once that the stream changed.
        if (foreign_++ == 0) {
            std::lock_guard keep(foreignLock_);
            firstForeign_.assign(frame, frame + size);
            firstForeignNumber_ = number;
        }
        // Reported while running only: a graph paused for the other system is about to run.
        if (m_State == State_Running && !systemChangeReported_.exchange(true))
            NotifyEvent(EC_VELMORA_DV_SYSTEM_CHANGED, LONG(size), 0);
        return;
    }
    // A live source delivers only while running; paused, the picture is not held back for it.
    if (m_State != State_Running) return;
    REFERENCE_TIME now = 0;
    if (FAILED(StreamTime(now))) now = 0;
    interleavedOut_->Push(frame, size, now, number);
    videoOut_->Push(frame, size, now, number);
}

HRESULT CDvDeviceFilter::GetFirstForeignFrame(BYTE* buffer, LONG size, LONG* written,
                                              LONGLONG* framesSince) {
    if (!written || (size > 0 && !buffer)) return E_POINTER;
    std::lock_guard keep(foreignLock_);
    *written = LONG(firstForeign_.size());
    if (framesSince) *framesSince = firstForeign_.empty() ? 0 : streamFrames_ - firstForeignNumber_;
    if (size < *written) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    std::copy(firstForeign_.begin(), firstForeign_.end(), buffer);
    return S_OK;
}

std::string DvUnitNameOf(IUnknown* device) {
    auto ext = platform::QueryFrom<IAMExtDevice>(device);
    LPOLESTR id = nullptr;
    if (!ext || FAILED(ext->get_ExternalDeviceID(&id)) || !id) return {};
    std::string name = platform::Utf16ToUtf8(std::u16string_view(id));
    CoTaskMemFree(id);
    return name;
}

void CDvDeviceFilter::OnLost() {
    NotifyEvent(EC_DEVICE_LOST, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)), 0);
}

bool CDvDeviceFilter::OutputPlugInUse() {
    // OUTPUT PLUG SIGNAL FORMAT status of plug 0. Units that do not implement it, or do not
    // answer, are taken as free: most camcorders stream regardless.
    std::vector<std::uint8_t> response;
    plugAsked_ = true;
    AvcStatus status = Exchange(
        {kAvcStatus, kSubunitUnit, kOpOutputPlugSignalFormat, 0x00, 0xFF, 0xFF, 0xFF, 0xFF},
        &response);
    if (status != AvcStatus::kAnswered || response.empty()) return false;
    // FMT 0x80 (DVCR); the 50/60 bit of FDF marks the 625-line system.
    if (response[0] == kAvcImplemented && response.size() >= 6 && response[4] == 0x80 &&
        knownSystem_ == 0)
        knownSystem_ = 1 + int(response[5] & 0x80 ? dv::System::Pal625 : dv::System::Ntsc525);
    return response[0] == kAvcRejected;
}

dv::System CDvDeviceFilter::UnitSystem() {
    if (knownSystem_ == 0 && !plugAsked_) OutputPlugInUse();  // a silent unit is asked once
    return knownSystem_ == 1 + int(dv::System::Pal625) ? dv::System::Pal625 : dv::System::Ntsc525;
}

AvcStatus CDvDeviceFilter::Exchange(std::vector<std::uint8_t> command,
                                    std::vector<std::uint8_t>* response) {
    return unit_->Transact(command, response, kAvcTimeout);
}

HRESULT CDvDeviceFilter::put_Mode(LONG mode) {
    std::uint8_t opcode, operand;
    if (!TransportCommandForMode(mode, &opcode, &operand)) return E_INVALIDARG;
    std::vector<std::uint8_t> response;
    AvcStatus status = Exchange({kAvcControl, kSubunitTape, opcode, operand}, &response);
    if (status == AvcStatus::kTimedOut) return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    if (status != AvcStatus::kAnswered || response.empty()) return E_FAIL;
    return response[0] == kAvcAccepted ? S_OK : E_FAIL;
}

HRESULT CDvDeviceFilter::get_Mode(LONG* mode) {
    if (!mode) return E_POINTER;
    std::vector<std::uint8_t> response;
    AvcStatus status = Exchange(
        {kAvcStatus, kSubunitTape, kOpTransportState, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF}, &response);
    if (status != AvcStatus::kAnswered || response.size() < 4 || response[0] != kAvcImplemented)
        return E_FAIL;
    *mode = ModeForTransportState(response[2], response[3]);
    return S_OK;
}

HRESULT CDvDeviceFilter::GetStatus(LONG item, LONG* value) {
    if (!value) return E_POINTER;
    if (item == ED_BASE + 500) return get_Mode(value);  // ED_MODE
    return E_NOTIMPL;
}

HRESULT CDvDeviceFilter::GetTransportBasicParameters(LONG param, LONG* value, LPOLESTR* data) {
    if (param != ED_RAW_EXT_DEV_CMD) return E_NOTIMPL;
    if (!value || !data) return E_POINTER;
    if (*value <= 0 || *value > static_cast<LONG>(kMaxAvcFrame)) return E_INVALIDARG;
    auto* buffer = reinterpret_cast<std::uint8_t*>(data);
    std::vector<std::uint8_t> command(buffer, buffer + *value), response;
    AvcStatus status = Exchange(std::move(command), &response);
    if (status == AvcStatus::kTimedOut) return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    if (status != AvcStatus::kAnswered || response.empty()) return E_FAIL;
    std::size_t length = std::min(response.size(), kMaxAvcFrame);
    std::memcpy(buffer, response.data(), length);
    *value = static_cast<LONG>(length);
    return S_OK;
}

HRESULT CDvDeviceFilter::GetCapability(LONG capability, LONG* value, double*) {
    if (!value) return E_POINTER;
    if (capability != ED_DEVCAP_DEVICE_TYPE) return E_NOTIMPL;
    std::vector<std::uint8_t> response;
    AvcStatus status = Exchange(
        {kAvcStatus, kSubunitUnit, kOpSubunitInfo, 0x07, 0xFF, 0xFF, 0xFF, 0xFF}, &response);
    if (status == AvcStatus::kTimedOut) return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    if (status != AvcStatus::kAnswered || response.size() < 5 || response[0] != kAvcImplemented)
        return E_FAIL;
    bool camera = false, tape = false;
    for (std::size_t i = 4; i < response.size() && i < 8; ++i) {
        if (response[i] == 0xFF) continue;
        std::uint8_t type = response[i] >> 3;
        camera |= type == 7;
        tape |= type == 4;
    }
    *value = camera ? ED_DEVTYPE_CAMERA : tape ? ED_DEVTYPE_VCR : ED_DEVTYPE_UNKNOWN;
    return S_OK;
}

HRESULT CDvDeviceFilter::get_ExternalDeviceID(LPOLESTR* id) {
    if (!id) return E_POINTER;
    std::u16string name = platform::Utf8ToUtf16(unit_->Name());
    *id = platform::CoTaskMemString(name);
    return *id ? S_OK : E_OUTOFMEMORY;
}

HRESULT CDvDeviceFilter::get_DevicePort(LONG* port) {
    if (!port) return E_POINTER;
    *port = 8;  // DEV_PORT_1394
    return S_OK;
}

HRESULT CDvDeviceFilter::GetTimecode(TIMECODE_SAMPLE* sample) {
    if (!sample) return E_POINTER;
    std::vector<std::uint8_t> response;
    AvcStatus status =
        Exchange({kAvcStatus, kSubunitTape, kOpTimeCode, 0x71, 0xFF, 0xFF, 0xFF, 0xFF}, &response);
    if (status != AvcStatus::kAnswered || response.size() < 8 || response[0] != kAvcImplemented)
        return E_FAIL;
    // Frames, seconds, minutes, hours in binary-coded decimal; all FF: no time code.
    if (response[4] == 0xFF && response[5] == 0xFF && response[6] == 0xFF && response[7] == 0xFF)
        return E_FAIL;
    // Flag bits ride above the digits: colour frame and drop frame over the frames, a phase
    // bit over the seconds, binary group flags over the minutes and hours.
    const std::uint8_t frames = response[4] & 0x3F, seconds = response[5] & 0x7F,
                       minutes = response[6] & 0x7F, hours = response[7] & 0x3F;
    const bool dropFrame = (response[4] & 0x40) != 0;
    sample->timecode.dwFrames = static_cast<DWORD>(hours) << 24 |
                                static_cast<DWORD>(minutes) << 16 |
                                static_cast<DWORD>(seconds) << 8 | frames;
    const LONG rate = UnitSystem() == dv::System::Pal625 ? ED_FORMAT_SMPTE_25
                      : dropFrame                        ? ED_FORMAT_SMPTE_30DROP
                                                         : ED_FORMAT_SMPTE_30;
    sample->timecode.wFrameRate = static_cast<WORD>(rate);
    sample->timecode.wFrameFract = 0;
    sample->dwUser = 0;
    REFERENCE_TIME now = 0;
    sample->qwTick = SUCCEEDED(StreamTime(now)) ? now : 0;
    return S_OK;
}

}  // namespace platform::dv1394
