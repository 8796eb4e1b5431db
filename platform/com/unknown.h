#pragma once
// The root interface and the class factory. Interfaces are abstract classes, methods in slot
// order; objects are destroyed through Release, never through an interface pointer.

#include "platform/com/guid.h"
#include "platform/com/hresult.h"

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000,
                                     {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000,
                                          {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid,
                                                     void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

// Associates an interface type with its identifier, so smart pointers can query for it.
template <typename Interface>
REFIID IidOf();

#define VELMORA_DECLARE_IID(Interface, Iid) \
    template <>                             \
    inline REFIID IidOf<Interface>() {      \
        return Iid;                         \
    }

VELMORA_DECLARE_IID(IUnknown, IID_IUnknown)
VELMORA_DECLARE_IID(IClassFactory, IID_IClassFactory)
