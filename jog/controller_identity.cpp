#include "jog/controller_identity.h"

#include <vector>

namespace pelko {

bool IsJogController(PHIDP_PREPARSED_DATA preparsed) {
    HIDP_CAPS caps{};
    if (!preparsed || HidP_GetCaps(preparsed, &caps) != HIDP_STATUS_SUCCESS) return false;
    if (caps.UsagePage != kConsumerPage || caps.Usage != kConsumerControl) return false;
    // The LED value can be placed into a feature report exactly when the descriptor has it.
    std::vector<char> report(caps.FeatureReportByteLength, 0);
    return !report.empty() &&
           HidP_SetUsageValue(HidP_Feature, kLedPage, 0, kLedUsage, 0, preparsed, report.data(),
                              static_cast<ULONG>(report.size())) == HIDP_STATUS_SUCCESS;
}

}  // namespace pelko
