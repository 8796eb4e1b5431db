#pragma once
// Creation of the system filters from the built-in class table.

#include <new>

#include "platform/media/base/object.h"

namespace platform::filters {

// Makes a T from the outer unknown and answers the interface asked for. Aggregated, only the
// inner IUnknown may be asked for, so the outer object can own the filter's identity.
template <typename T>
HRESULT CreateFilter(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer && iid != IID_IUnknown) return E_NOINTERFACE;
    T* filter = nullptr;
    try {
        filter = new T(outer);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    filter->NonDelegatingAddRef();
    HRESULT hr = filter->NonDelegatingQueryInterface(iid, object);
    filter->NonDelegatingRelease();
    return hr;
}

}  // namespace platform::filters
