#include "platform/media/graph/clock.h"

#include <chrono>

#include "platform/com/com.h"

CSystemClock::CSystemClock(IUnknown* outer) : CUnknown("system clock", outer) {}

HRESULT CSystemClock::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_IReferenceClock) return GetInterface(static_cast<IReferenceClock*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

HRESULT CSystemClock::GetTime(REFERENCE_TIME* time) {
    if (!time) return E_POINTER;
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    *time = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    return S_OK;
}

HRESULT CSystemClock::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (outer && iid != IID_IUnknown) return E_NOINTERFACE;
    auto* clock = new CSystemClock(outer);
    clock->NonDelegatingAddRef();
    HRESULT hr = clock->NonDelegatingQueryInterface(iid, object);
    clock->NonDelegatingRelease();
    return hr;
}

namespace {
platform::BuiltinClass g_clockClass(CLSID_SystemClock, &CSystemClock::CreateInstance);
}
