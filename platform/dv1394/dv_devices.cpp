// Lists the DV units (FireWire first, then virtual decks) in the video input category, each
// under the friendly name the platform gives every DV device, with its own name beside it.

#include "platform/dv1394/dv_device_filter.h"
#include "platform/kernel/text.h"
#include "platform/media/graph/devices.h"

namespace platform::dv1394 {
namespace {

std::vector<platform::DeviceEntry> ListDvDevices() {
    UnitList units = ListFirewireUnits();
    UnitList decks = ListVirtualDecks();
    units.insert(units.end(), decks.begin(), decks.end());
    std::vector<platform::DeviceEntry> entries;
    for (auto& unit : units) {
        platform::DeviceEntry entry;
        entry.friendlyName = kDvDeviceFriendlyName;
        entry.description = platform::Utf8ToUtf16(unit->Name());
        entry.displayName = platform::Utf8ToUtf16(unit->Id());
        entry.create = [unit](IBaseFilter** filter) {
            return CDvDeviceFilter::Create(unit, filter);
        };
        entries.push_back(std::move(entry));
    }
    return entries;
}

const int g_provider = platform::AddDeviceProvider(CLSID_VideoInputDeviceCategory, ListDvDevices);

}  // namespace
}  // namespace platform::dv1394
