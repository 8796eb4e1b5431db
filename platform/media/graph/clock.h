#pragma once
// The system reference clock: a monotonic time in 100-nanosecond units.

#include "platform/media/base/object.h"

class CSystemClock final : public CUnknown, public IReferenceClock {
public:
    CSystemClock(IUnknown* outer);
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;

    HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* time) override;
    // Timed notifications are not offered: renderers wait on their own.
    HRESULT STDMETHODCALLTYPE AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HANDLE,
                                         DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HANDLE,
                                             DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD_PTR) override { return VFW_E_NO_ADVISE_SET; }

    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object);
};
