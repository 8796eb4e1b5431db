#pragma once
// The system device enumerator: categories of devices, each device a moniker that binds to a
// property bag ("FriendlyName") and to its filter. Device backends plug in as providers.

#include <functional>
#include <string>
#include <vector>

#include "platform/media/base/object.h"

namespace platform {

struct DeviceEntry {
    std::u16string friendlyName;
    std::u16string displayName;  // unique within the category
    // Creates the device's filter, with one reference.
    std::function<HRESULT(IBaseFilter** filter)> create;
    std::u16string description;  // the device's own name, as property "Description"
};

// Lists the devices present now, in a stable order.
using DeviceProvider = std::function<std::vector<DeviceEntry>()>;

// Adds a provider to a category; answers a token for RemoveDeviceProvider.
int AddDeviceProvider(REFCLSID category, DeviceProvider provider);
void RemoveDeviceProvider(int token);

}  // namespace platform

class CSystemDeviceEnum final : public CUnknown, public ICreateDevEnum {
public:
    explicit CSystemDeviceEnum(IUnknown* outer);
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;
    // S_FALSE and no enumerator when the category has no device, as the platform answers.
    HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID category, IEnumMoniker** monikers,
                                                    DWORD flags) override;
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);
};
