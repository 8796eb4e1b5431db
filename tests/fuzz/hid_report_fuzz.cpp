// libFuzzer target over the jog controller's input reports as Pelko decodes them: the input is
// a run of reports (a length byte, then the report) decoded one after the other by one decoder,
// against the controller's own descriptor or, when the first byte is odd, a descriptor that the
// input brings first (a length byte in units of 2, then the descriptor).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "jog/key_decoder.h"
#include "platform/hid/preparsed.h"

namespace {

// The controller's report descriptor: Consumer Control; report 1, buttons 1-14 and padding;
// report 2, a signed jog step; feature report 3, the LED value.
const std::vector<std::uint8_t> kController = {
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x05, 0x09, 0x19, 0x01, 0x29, 0x0E,
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x0E, 0x81, 0x02, 0x75, 0x02, 0x95, 0x01,
    0x81, 0x03, 0x85, 0x02, 0x05, 0x01, 0x09, 0x37, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08,
    0x95, 0x01, 0x81, 0x06, 0x85, 0x03, 0x06, 0x00, 0xFF, 0x0A, 0x00, 0x02, 0x15, 0x00,
    0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x01, 0xB1, 0x02, 0xC0};

struct Preparsed {
    PHIDP_PREPARSED_DATA data = nullptr;
    ~Preparsed() {
        if (data) HidD_FreePreparsedData(data);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t at = 1;
    std::span<const std::uint8_t> descriptor(kController);
    if (data[0] & 1) {
        if (size < 2) return 0;
        const std::size_t length = std::min<std::size_t>(data[1] * 2u, size - 2);
        descriptor = std::span<const std::uint8_t>(data + 2, length);
        at = 2 + length;
    }
    auto tops = platform::hid::ParseReportDescriptor(descriptor);
    if (!tops || tops->empty()) return 0;
    Preparsed preparsed{platform::hid::NewPreparsedData(std::move(tops->front()))};
    HIDP_CAPS caps{};
    if (HidP_GetCaps(preparsed.data, &caps) != HIDP_STATUS_SUCCESS) return 0;
    pelko::KeyDecoder decoder;
    std::vector<std::uint8_t> report;
    while (at < size) {
        // Reports as the reader hands them over: exactly the input report length, as read.
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        report.assign(data + at + 1, data + at + 1 + length);
        at += 1 + length;
        report.resize(caps.InputReportByteLength);
        for (const pelko::Notification& n : decoder.Decode(preparsed.data, report))
            if (n.key == 0) __builtin_trap();
    }
    return 0;
}
