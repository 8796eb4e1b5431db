#pragma once
// The preparsed data behind PHIDP_PREPARSED_DATA: one top-level collection as the parser
// described it. Only the HID layer sees inside.

#include "platform/hid/hid.h"
#include "platform/hid/report_descriptor.h"

struct _HIDP_PREPARSED_DATA {
    static constexpr std::uint64_t kMagic = 0x48696450204B4452ull;
    std::uint64_t magic = kMagic;
    platform::hid::TopLevelCollection collection;
};

namespace platform::hid {

// Hands out preparsed data for the collection; HidD_FreePreparsedData takes it back.
PHIDP_PREPARSED_DATA NewPreparsedData(TopLevelCollection collection);

}  // namespace platform::hid
