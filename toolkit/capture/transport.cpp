#include <array>
#include <cstring>

#include "toolkit/capture/dv_capture.h"

namespace {

constexpr LONG kModeShuttle = ED_MODE_SHUTTLE;
constexpr std::uint8_t kAvcAccepted = 0x09;
constexpr std::uint8_t kAvcImplemented = 0x0C;
constexpr std::size_t kMaxAvcFrame = 512;
// What the device filter answers when a deck leaves a command unanswered.
constexpr HRESULT kTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

int Decimal(DWORD bcd) {
    return static_cast<int>((bcd >> 4 & 0xF) * 10 + (bcd & 0xF));
}

// SPECIFIC INQUIRY commands and the capability bit each one sets, in the order they are sent.
struct Inquiry {
    std::uint8_t opcode;
    std::uint8_t operand;
    std::uint32_t bit;
};
constexpr Inquiry kInquiries[] = {
    {0xC3, 0x75, 0x0004}, {0xC4, 0x60, 0x0001}, {0xC3, 0x7D, 0x0002}, {0xC3, 0x65, 0x0008},
    {0xC3, 0x30, 0x0010}, {0xC3, 0x40, 0x0020}, {0xC4, 0x75, 0x0040}, {0xC4, 0x65, 0x0080},
    {0xC3, 0x3F, 0x0100}, {0xC3, 0x31, 0x0200}, {0xC3, 0x4F, 0x0400}, {0xC3, 0x41, 0x0800},
    {0xC2, 0x7D, 0x1000}, {0xC2, 0x75, 0x2000},
};

}  // namespace

bool CDVCapture::RawCommand(std::uint8_t* buffer, std::size_t capacity, LONG* length,
                            bool* timedOut) {
    if (timedOut) *timedOut = false;
    if (!transport_ || *length <= 0 || static_cast<std::size_t>(*length) > capacity) return false;
    // The transport writes up to the largest AV/C frame: it answers into a buffer of that size,
    // and the caller's gets the answer only when it fits.
    std::array<std::uint8_t, kMaxAvcFrame> frame{};
    std::memcpy(frame.data(), buffer, static_cast<std::size_t>(*length));
    LONG size = *length;
    HRESULT hr = transport_->GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &size,
                                                         reinterpret_cast<LPOLESTR*>(frame.data()));
    if (timedOut) *timedOut = hr == kTimedOut;
    if (FAILED(hr) || size < 0 || static_cast<std::size_t>(size) > capacity) return false;
    std::memcpy(buffer, frame.data(), static_cast<std::size_t>(size));
    *length = size;
    return true;
}

int CDVCapture::Shuttle(bool reverse, std::uint32_t level) {
    // The variable speeds of PLAY: 0x31..0x3F forward, 0x41..0x4F reverse (8 is normal speed).
    if (level < 1 || level > 15) return 0;
    std::uint8_t buffer[512] = {0x00, 0x20, 0xC3,
                                static_cast<std::uint8_t>((reverse ? 0x40 : 0x30) + level)};
    LONG length = 4;
    return RawCommand(buffer, sizeof buffer, &length) && buffer[0] == kAvcAccepted ? 1 : 0;
}

int CDVCapture::Control(std::int32_t mode, std::uint32_t speed) {
    CLockHolder hold(transportLock_);
    if (mode == TOVIK_MODE_SHUTTLE_FORWARD || mode == TOVIK_MODE_SHUTTLE_REVERSE)
        return Shuttle(mode == TOVIK_MODE_SHUTTLE_REVERSE, speed);
    if (!transport_) return 0;
    HRESULT hr = transport_->put_Mode(mode);
    if (mode == kModeShuttle) transport_->put_Rate(static_cast<double>(speed) / 10.0);
    return SUCCEEDED(hr) ? 1 : 0;
}

int CDVCapture::GetControlStatus() {
    CLockHolder hold(transportLock_);
    LONG mode = 0;
    if (!transport_ || FAILED(transport_->get_Mode(&mode))) return -1;
    return mode;
}

int CDVCapture::GetTimecode(TovikTimecode* timecode) {
    if (!timecode || timecode->size != 20) return 0;
    TIMECODE_SAMPLE sample{};
    sample.dwFlags = ED_DEVCAP_TIMECODE_READ;
    HRESULT hr;
    {
        CLockHolder hold(transportLock_);
        if (!timecodeReader_) return 0;
        hr = timecodeReader_->GetTimecode(&sample);
    }
    if (FAILED(hr)) return 0;
    WORD rate = sample.timecode.wFrameRate;
    timecode->format = rate == ED_FORMAT_SMPTE_30 ? 1 : rate == ED_FORMAT_SMPTE_25 ? 2 : 0;
    DWORD frames = sample.timecode.dwFrames;
    timecode->hours = static_cast<std::uint16_t>(Decimal(frames >> 24));
    timecode->minutes = static_cast<std::uint16_t>(Decimal(frames >> 16));
    timecode->seconds = static_cast<std::uint16_t>(Decimal(frames >> 8));
    timecode->frames = static_cast<std::uint16_t>(Decimal(frames));
    timecode->user = sample.dwUser;
    return 1;
}

// A deck that leaves one command unanswered is taken to answer none of the rest: the run stops
// at the first time-out instead of waiting out each of its sixteen exchanges, and what was not
// asked keeps its "no answer" value (unit type 31, medium -1, no transport bits).
int CDVCapture::GetCapability(TovikCapability* capability) {
    if (!capability) return 1;
    CLockHolder hold(transportLock_);
    capability->unitType = 31;
    capability->medium = -1;
    capability->transport = 0;
    LONG type = 0;
    HRESULT hr = device_ ? device_->GetCapability(ED_DEVCAP_DEVICE_TYPE, &type, nullptr) : E_FAIL;
    capability->deviceType = SUCCEEDED(hr) ? type : 4999;
    if (hr == kTimedOut) return 1;

    bool timedOut = false;
    std::uint8_t unitInfo[16] = {0x01, 0xFF, 0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    LONG length = 8;
    if (RawCommand(unitInfo, sizeof unitInfo, &length, &timedOut) && length >= 5)
        capability->unitType = unitInfo[4] >> 3;
    if (timedOut) return 1;

    std::uint8_t buffer[512] = {0x01, 0x20, 0xDA, 0x7F, 0x7F, 0xFF, 0xFF, 0xFF};
    length = 5;
    if (RawCommand(buffer, sizeof buffer, &length, &timedOut)) {
        std::uint8_t cassette = buffer[3];
        std::int32_t kind = cassette == 0x31   ? 0
                            : cassette == 0x32 ? 0x10000
                            : cassette == 0x33 ? 0x20000
                                               : -1;
        if (kind >= 0) {
            // The flags come from the tape grade and write-protect byte that follows.
            std::uint8_t grade = buffer[4];
            if (grade >= 0x40) kind |= 1 << 30;
            if (grade & 1) kind |= static_cast<std::int32_t>(1u << 31);
            capability->medium = kind;
        }
    }
    if (timedOut) return 1;

    std::memset(buffer + 4, 0, sizeof buffer - 4);
    for (const auto& inquiry : kInquiries) {
        buffer[0] = 0x02;
        buffer[1] = 0x20;
        buffer[2] = inquiry.opcode;
        buffer[3] = inquiry.operand;
        length = 4;
        if (RawCommand(buffer, sizeof buffer, &length, &timedOut) && buffer[0] == kAvcImplemented)
            capability->transport |= inquiry.bit;
        if (timedOut) return 1;
    }
    std::uint8_t timecode[512] = {0x01, 0x20, 0x51, 0x71, 0xFF, 0xFF, 0xFF, 0xFF};
    length = 8;
    if (RawCommand(timecode, sizeof timecode, &length) && timecode[0] == kAvcImplemented)
        capability->transport |= 0x4000;
    return 1;
}
