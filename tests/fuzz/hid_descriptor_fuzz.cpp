// libFuzzer target: arbitrary bytes as a report descriptor, the rest of the input as reports
// decoded against every collection the parser accepts.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/hid/preparsed.h"

namespace {

// The first byte says how much of the input is the descriptor.
void Exercise(PHIDP_PREPARSED_DATA pp, const std::uint8_t* data, std::size_t size) {
    HIDP_CAPS caps{};
    if (HidP_GetCaps(pp, &caps) != HIDP_STATUS_SUCCESS) return;
    const USHORT lengths[3] = {caps.InputReportByteLength, caps.OutputReportByteLength,
                               caps.FeatureReportByteLength};
    for (int t = 0; t < 3; ++t) {
        const auto type = static_cast<HIDP_REPORT_TYPE>(t);
        std::vector<char> report(lengths[t], 0);
        for (std::size_t i = 0; i < report.size() && i < size; ++i)
            report[i] = static_cast<char>(data[i]);
        const ULONG n = HidP_MaxUsageListLength(type, 0, pp);
        std::vector<USAGE_AND_PAGE> usages(n > 64 ? 64 : n);
        ULONG length = static_cast<ULONG>(usages.size());
        HidP_GetUsagesEx(type, 0, usages.data(), &length, pp, report.data(),
                         static_cast<ULONG>(report.size()));
        const USAGE page = size > 1 ? static_cast<USAGE>(data[0] | data[1] << 8) : 0xFF00;
        const USAGE usage = size > 3 ? static_cast<USAGE>(data[2] | data[3] << 8) : 0x0200;
        ULONG value = 0;
        HidP_GetUsageValue(type, page, 0, usage, &value, pp, report.data(),
                           static_cast<ULONG>(report.size()));
        HidP_SetUsageValue(type, page, 0, usage, 0x12345678, pp, report.data(),
                           static_cast<ULONG>(report.size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t descriptorSize = data[0] * 4u < size - 1 ? data[0] * 4u : size - 1;
    const std::span<const std::uint8_t> descriptor(data + 1, descriptorSize);
    auto tops = platform::hid::ParseReportDescriptor(descriptor);
    if (!tops) return 0;
    const std::uint8_t* reports = data + 1 + descriptorSize;
    const std::size_t reportsSize = size - 1 - descriptorSize;
    for (auto& top : *tops) {
        PHIDP_PREPARSED_DATA pp = platform::hid::NewPreparsedData(std::move(top));
        Exercise(pp, reports, reportsSize);
        HidD_FreePreparsedData(pp);
    }
    return 0;
}
