// TovikSrcBrdg: the in-process server of the Tovik Source Bridge filter, its registration data
// and its four entry points.

#include "bridge/source_bridge_filter.h"

namespace tovik::bridge {

namespace {

const AMOVIESETUP_MEDIATYPE kPinTypes[] = {{&MEDIATYPE_Video, &GUID_NULL}};

const AMOVIESETUP_PIN kPins[] = {{
    u"Output",    // registered name of the pin "Out"
    FALSE,        // not rendered
    TRUE,         // output
    FALSE,        // zero instances not allowed
    FALSE,        // many instances not allowed
    &CLSID_NULL,  // connects to any filter
    nullptr,      // and to any pin
    1,
    kPinTypes,
}};

// Graph building never picks the filter on its own: clients create it by class identifier.
const AMOVIESETUP_FILTER kFilter = {&CLSID_TovikSourceBridge, u"Tovik Source Bridge",
                                    MERIT_DO_NOT_USE, 1, kPins};

const CFactoryTemplate kTemplates[] = {{u"Tovik Source Bridge", &CLSID_TovikSourceBridge,
                                        &CSourceBridge::CreateInstance, nullptr, &kFilter}};

platform::media::ServerModule g_module(kTemplates);

// The module's version block: how media tools tell a filter module from other libraries.
[[gnu::used, gnu::section(".velmora_version")]] const char kVersionBlock[] =
    "ActiveMovie=Filter dll\0FileDescription=Tovik Source Bridge Filter";

}  // namespace

platform::media::ServerModule& Module() {
    return g_module;
}

}  // namespace tovik::bridge

extern "C" HRESULT DllCanUnloadNow() {
    return tovik::bridge::g_module.CanUnloadNow();
}

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return tovik::bridge::g_module.GetClassObject(clsid, iid, object);
}

extern "C" HRESULT DllRegisterServer() {
    return tovik::bridge::g_module.RegisterServer();
}

extern "C" HRESULT DllUnregisterServer() {
    return tovik::bridge::g_module.UnregisterServer();
}
