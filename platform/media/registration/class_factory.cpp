#include "platform/media/registration/class_factory.h"

#include <new>
#include <string>

#include "platform/com/com.h"
#include "platform/kernel/last_error.h"
#include "platform/media/registration/registry_key.h"

namespace platform::media {

namespace {

class CClassFactory final : public ModuleObject, public IClassFactory {
  public:
    CClassFactory(ServerModule& module, const CFactoryTemplate& entry)
        : ModuleObject(module), module_(module), entry_(entry) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        // An aggregated object hands its outer object only its own inner unknown.
        if (outer && iid != IID_IUnknown) return E_NOINTERFACE;
        HRESULT hr = S_OK;
        CUnknown* created = nullptr;
        try {
            created = entry_.m_lpfnNew(outer, &hr);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
        if (!created) return FAILED(hr) ? hr : E_OUTOFMEMORY;
        if (FAILED(hr)) {
            delete created;
            return hr;
        }
        created->NonDelegatingAddRef();
        hr = created->NonDelegatingQueryInterface(iid, object);
        created->NonDelegatingRelease();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        module_.Lock(lock != FALSE);
        return S_OK;
    }

  private:
    ~CClassFactory() = default;

    ServerModule& module_;
    const CFactoryTemplate& entry_;
    std::atomic<ULONG> refs_{1};
};

// Holds a lock on the module while registration runs, so that the object runtime does not
// unload the module under its own feet when the registration frees unused libraries.
class ModuleLock {
  public:
    explicit ModuleLock(ServerModule& module) : module_(module) { module_.Lock(true); }
    ~ModuleLock() { module_.Lock(false); }
    ModuleLock(const ModuleLock&) = delete;
    ModuleLock& operator=(const ModuleLock&) = delete;

  private:
    ServerModule& module_;
};

HRESULT ModulePath(const void* address, std::u16string* path) {
    HMODULE module = nullptr;
    WCHAR buffer[4096];
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(address), &module))
        return HRESULT_FROM_WIN32(static_cast<LONG>(GetLastError()));
    DWORD length = GetModuleFileNameW(module, buffer, 4096);
    if (length == 0) return HRESULT_FROM_WIN32(static_cast<LONG>(GetLastError()));
    path->assign(buffer, length);
    return S_OK;
}

// The mapper answers "file not found" for a filter that is already gone; that is success.
HRESULT IgnoreNotFound(HRESULT hr) {
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? S_OK : hr;
}

template <typename Work>
HRESULT Guarded(Work work) noexcept {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace

ServerModule::ServerModule(std::span<const CFactoryTemplate> templates) : templates_(templates) {
    for (const auto& entry : templates_)
        if (entry.m_lpfnInit) entry.m_lpfnInit(TRUE, entry.m_ClsID);
}

ServerModule::~ServerModule() {
    for (const auto& entry : templates_)
        if (entry.m_lpfnInit) entry.m_lpfnInit(FALSE, entry.m_ClsID);
}

HRESULT ServerModule::GetClassObject(REFCLSID clsid, REFIID iid, void** object) noexcept {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    for (const auto& entry : templates_) {
        if (!entry.IsClassID(clsid)) continue;
        auto* factory = new (std::nothrow) CClassFactory(*this, entry);
        if (!factory) return E_OUTOFMEMORY;
        *object = static_cast<IClassFactory*>(factory);
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ServerModule::CanUnloadNow() const noexcept {
    return objects_ > 0 || locks_ > 0 ? S_FALSE : S_OK;
}

HRESULT ServerModule::RegisterServer() noexcept {
    ModuleLock hold(*this);
    return Guarded([&] {
        std::u16string path;
        HRESULT hr = ModulePath(this, &path);
        if (FAILED(hr)) return hr;
        hr = RegisterClasses(path);
        if (FAILED(hr)) return hr;
        return RegisterFilters(true);
    });
}

HRESULT ServerModule::UnregisterServer() noexcept {
    ModuleLock hold(*this);
    return Guarded([&] {
        HRESULT hr = RegisterFilters(false);
        if (FAILED(hr)) return hr;
        return UnregisterClasses();
    });
}

HRESULT ServerModule::RegisterClasses(const std::u16string& path) {
    for (const auto& entry : templates_) {
        const std::u16string classKey = u"CLSID\\" + BracedGuid(*entry.m_ClsID);
        RegistryKey key, server;
        LONG status = key.Create(classKey);
        if (status == ERROR_SUCCESS) status = key.SetString(nullptr, entry.m_Name);
        if (status == ERROR_SUCCESS) status = server.Create(classKey + u"\\InprocServer32");
        if (status == ERROR_SUCCESS) status = server.SetString(nullptr, path);
        if (status == ERROR_SUCCESS) status = server.SetString(u"ThreadingModel", u"Both");
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    }
    return S_OK;
}

HRESULT ServerModule::UnregisterClasses() {
    for (const auto& entry : templates_) {
        const std::u16string classKey = u"CLSID\\" + BracedGuid(*entry.m_ClsID);
        HRESULT hr =
            IgnoreNotFound(HRESULT_FROM_WIN32(RegDeleteTreeW(HKEY_CLASSES_ROOT, classKey.c_str())));
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT ServerModule::RegisterFilters(bool registering) {
    const HRESULT init = CoInitialize(nullptr);
    HRESULT hr = S_OK;
    {
        ComPtr<IFilterMapper2> mapper;
        hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IFilterMapper2, mapper.PutVoid());
        for (const auto& entry : templates_) {
            if (FAILED(hr)) break;
            const AMOVIESETUP_FILTER* setup = entry.m_pAMovieSetup_Filter;
            if (!setup) continue;
            const REGFILTER2 data{1, setup->dwMerit, setup->nPins, setup->lpPin};
            hr = registering ? mapper->RegisterFilter(*setup->clsID, setup->strName, nullptr,
                                                      &CLSID_LegacyAmFilterCategory, nullptr, &data)
                             : mapper->UnregisterFilter(&CLSID_LegacyAmFilterCategory, nullptr,
                                                        *setup->clsID);
            hr = IgnoreNotFound(hr);
        }
    }
    CoFreeUnusedLibraries();
    if (SUCCEEDED(init)) CoUninitialize();
    return hr;
}

}  // namespace platform::media
