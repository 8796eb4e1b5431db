#include "platform/media/graph/devices.h"

#include <map>
#include <mutex>

#include "platform/com/com.h"
#include "platform/kernel/text.h"
#include "platform/media/base/enumerators.h"

namespace {

struct Provider {
    GUID category;
    platform::DeviceProvider list;
};

std::mutex g_providerLock;
std::map<int, Provider>& Providers() {
    static auto* providers = new std::map<int, Provider>;
    return *providers;
}

class CPropertyBag final : public CUnknown, public IPropertyBag {
public:
    CPropertyBag(std::u16string friendlyName, std::u16string description)
        : CUnknown("property bag", nullptr),
          friendlyName_(std::move(friendlyName)),
          description_(std::move(description)) {}
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IPropertyBag) return GetInterface(static_cast<IPropertyBag*>(this), object);
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    }
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        if (!name || !value) return E_POINTER;
        std::u16string_view property(name, platform::WideLength(name));
        const std::u16string* text = property == u"FriendlyName"  ? &friendlyName_
                                     : property == u"Description" ? &description_
                                                                  : nullptr;
        if (!text || text->empty()) return E_INVALIDARG;
        if (value->vt != VT_EMPTY && value->vt != VT_BSTR) return E_FAIL;
        VariantClear(value);
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
        return value->bstrVal ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT*) override { return E_FAIL; }

private:
    std::u16string friendlyName_;
    std::u16string description_;
};

class CDeviceMoniker final : public CUnknown, public IMoniker {
public:
    explicit CDeviceMoniker(platform::DeviceEntry device)
        : CUnknown("device moniker", nullptr), device_(std::move(device)) {}
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IMoniker || iid == IID_IPersistStream || iid == IID_IPersist)
            return GetInterface(static_cast<IMoniker*>(this), object);
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    }

    HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx*, IMoniker*, REFIID iid,
                                           void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!device_.create) return E_FAIL;
        IBaseFilter* filter = nullptr;
        HRESULT hr = device_.create(&filter);
        if (FAILED(hr) || !filter) return FAILED(hr) ? hr : E_FAIL;
        hr = filter->QueryInterface(iid, object);
        filter->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx*, IMoniker*, REFIID iid,
                                            void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        auto* bag = new CPropertyBag(device_.friendlyName, device_.description);
        bag->NonDelegatingAddRef();
        HRESULT hr = bag->NonDelegatingQueryInterface(iid, object);
        bag->NonDelegatingRelease();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* name) override {
        if (!name) return E_POINTER;
        std::u16string text = u"@device:velmora:" + device_.displayName;
        *name = platform::CoTaskMemString(text);
        return *name ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(IStream*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Save(IStream*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULONGLONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker*, BOOL, IMoniker**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Enum(BOOL, IEnumMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsEqual(IMoniker* other) override {
        return other == static_cast<IMoniker*>(this) ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Hash(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx*, IMoniker*, IMoniker*) override {
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx*, IMoniker*, void*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Inverse(IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker*, IMoniker**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG*,
                                               IMoniker**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD* kind) override {
        if (kind) *kind = 0;
        return S_FALSE;
    }

private:
    platform::DeviceEntry device_;
};

// A bind context that carries nothing: device monikers need no binding options.
class CBindCtx final : public CUnknown, public IBindCtx {
public:
    CBindCtx() : CUnknown("bind context", nullptr) {}
    DECLARE_IUNKNOWN
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IBindCtx) return GetInterface(static_cast<IBindCtx*>(this), object);
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    }
    HRESULT STDMETHODCALLTYPE RegisterObjectBound(IUnknown*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RevokeObjectBound(IUnknown*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ReleaseBoundObjects() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetBindOptions(BIND_OPTS*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetBindOptions(BIND_OPTS*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRunningObjectTable(IRunningObjectTable**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RegisterObjectParam(LPOLESTR, IUnknown*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetObjectParam(LPOLESTR, IUnknown**) override { return E_FAIL; }
    HRESULT STDMETHODCALLTYPE EnumObjectParam(void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RevokeObjectParam(LPOLESTR) override { return E_NOTIMPL; }
};

}  // namespace

namespace platform {

int AddDeviceProvider(REFCLSID category, DeviceProvider provider) {
    static int next = 1;
    std::lock_guard lock(g_providerLock);
    int token = next++;
    Providers().emplace(token, Provider{category, std::move(provider)});
    return token;
}

void RemoveDeviceProvider(int token) {
    std::lock_guard lock(g_providerLock);
    Providers().erase(token);
}

}  // namespace platform

HRESULT CreateBindCtx(DWORD, IBindCtx** context) {
    if (!context) return E_POINTER;
    auto* created = new CBindCtx;
    return created->NonDelegatingQueryInterface(IID_IBindCtx, reinterpret_cast<void**>(context));
}

CSystemDeviceEnum::CSystemDeviceEnum(IUnknown* outer) : CUnknown("device enumerator", outer) {}

HRESULT CSystemDeviceEnum::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (iid == IID_ICreateDevEnum) return GetInterface(static_cast<ICreateDevEnum*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

HRESULT CSystemDeviceEnum::CreateClassEnumerator(REFCLSID category, IEnumMoniker** monikers,
                                                 DWORD) {
    if (!monikers) return E_POINTER;
    *monikers = nullptr;
    std::vector<platform::DeviceProvider> lists;
    {
        std::lock_guard lock(g_providerLock);
        for (auto& [token, provider] : Providers())
            if (provider.category == category) lists.push_back(provider.list);
    }
    // Providers run outside the lock: they may talk to devices.
    std::vector<IMoniker*> found;
    for (auto& list : lists) {
        for (auto& device : list()) {
            auto* moniker = new CDeviceMoniker(std::move(device));
            moniker->NonDelegatingAddRef();
            found.push_back(moniker);
        }
    }
    if (found.empty()) return S_FALSE;
    HRESULT hr = CEnumUnknowns<IMoniker, IEnumMoniker>::Create(found, monikers);
    for (IMoniker* m : found) m->Release();
    return hr;
}

HRESULT CSystemDeviceEnum::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (outer && iid != IID_IUnknown) return E_NOINTERFACE;
    auto* created = new CSystemDeviceEnum(outer);
    created->NonDelegatingAddRef();
    HRESULT hr = created->NonDelegatingQueryInterface(iid, object);
    created->NonDelegatingRelease();
    return hr;
}

namespace {
platform::BuiltinClass g_devEnumClass(CLSID_SystemDeviceEnum, &CSystemDeviceEnum::CreateInstance);
}
