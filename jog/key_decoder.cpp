#include "jog/key_decoder.h"

#include <algorithm>

#include "jog/pelko.h"

namespace pelko {

namespace {

constexpr std::array<std::uint32_t, kMaxKeys> kKeyCodes = {0x1004, 0x1002, 0x1000, 0x2001, 0x2003,
                                                           0x4000, 0x3001, 0x1003, 0x1001, 0x2000,
                                                           0x2002, 0x4001, 0x3000, 0x5000};

// The usages of a list up to its first empty slot, in ascending order.
std::span<USAGE> SortedUsages(std::span<USAGE> list) {
    const auto end = std::find(list.begin(), list.end(), USAGE{0});
    std::sort(list.begin(), end);
    return list.first(static_cast<std::size_t>(end - list.begin()));
}

void AddKeys(std::span<const USAGE> usages, bool press, Notifications& out) {
    for (USAGE usage : usages)
        if (auto key = KeyCodeOf(usage)) out.Add({*key, press});
}

}  // namespace

std::optional<std::uint32_t> KeyCodeOf(USAGE usage) {
    if (usage < 1 || usage > kMaxKeys) return std::nullopt;
    return kKeyCodes[usage - 1];
}

Notifications KeyDecoder::Decode(PHIDP_PREPARSED_DATA preparsed, std::span<std::uint8_t> report) {
    Notifications out;
    if (report.empty()) return out;
    if (report[0] == kKeyReport) return DecodeKeys(preparsed, report);
    if (report[0] == kJogReport && report.size() >= 2) {
        if (report[1] == 0x01) out.Add({PELKO_JOG_FORWARD, true});
        if (report[1] == 0xFF) out.Add({PELKO_JOG_BACKWARD, true});
    }
    return out;
}

// Every key that changed is reported, not only the first: a report may release one key and
// press another at the same moment.
Notifications KeyDecoder::DecodeKeys(PHIDP_PREPARSED_DATA preparsed,
                                     std::span<std::uint8_t> report) {
    Notifications out;
    const ULONG n = HidP_MaxUsageListLength(HidP_Input, 0, preparsed);
    if (n == 0 || n > kMaxKeys) return out;
    std::array<USAGE_AND_PAGE, kMaxKeys> down{};
    ULONG found = n;
    if (HidP_GetUsagesEx(HidP_Input, 0, down.data(), &found, preparsed,
                         reinterpret_cast<PCHAR>(report.data()),
                         static_cast<ULONG>(report.size())) != HIDP_STATUS_SUCCESS)
        return out;
    std::array<USAGE, kMaxKeys> current{};
    for (ULONG i = 0; i < found && i < n; ++i) current[i] = down[i].Usage;
    std::array<USAGE, kMaxKeys> released{};
    std::array<USAGE, kMaxKeys> pressed{};
    HidP_UsageListDifference(previous_.data(), current.data(), released.data(), pressed.data(), n);
    std::copy_n(current.begin(), n, previous_.begin());
    AddKeys(SortedUsages(released), false, out);
    AddKeys(SortedUsages(pressed), true, out);
    return out;
}

}  // namespace pelko
