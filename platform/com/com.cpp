#include "platform/com/com.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/com/registry.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/text.h"

namespace {

struct Apartment {
    int count = 0;
    DWORD model = 0;
};
thread_local Apartment t_apartment;

std::mutex g_classLock;
std::unordered_map<GUID, platform::ClassCreateFunction, platform::GuidHash>& BuiltinClasses() {
    static auto* table =
        new std::unordered_map<GUID, platform::ClassCreateFunction, platform::GuidHash>;
    return *table;
}

platform::ClassCreateFunction FindBuiltin(REFCLSID clsid) {
    std::lock_guard lock(g_classLock);
    auto it = BuiltinClasses().find(clsid);
    return it == BuiltinClasses().end() ? nullptr : it->second;
}

std::mutex g_faultLock;
std::function<bool(SIZE_T)> g_allocFault;

// Class factory of a built-in class.
class BuiltinFactory final : public IClassFactory {
  public:
    explicit BuiltinFactory(platform::ClassCreateFunction create) : create_(create) {}
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
        return create_(outer, iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  private:
    ~BuiltinFactory() = default;
    platform::ClassCreateFunction create_;
    std::atomic<ULONG> refs_{1};
};

// In-process servers loaded so far, by path. Unloading holds the lock while it asks each
// module whether it may go, so no creation can slip in between the answer and the unload.
using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT (*)();

struct LoadedModule {
    void* handle = nullptr;
    GetClassObjectFn getClassObject = nullptr;
    CanUnloadNowFn canUnloadNow = nullptr;
};

std::mutex g_moduleLock;
std::map<std::string, LoadedModule>& Modules() {
    static auto* modules = new std::map<std::string, LoadedModule>;
    return *modules;
}

HRESULT LoadServer(const std::string& path, LoadedModule* out) {
    std::lock_guard lock(g_moduleLock);
    auto it = Modules().find(path);
    if (it != Modules().end()) {
        *out = it->second;
        return S_OK;
    }
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return CO_E_ERRORINDLL;
    LoadedModule module;
    module.handle = handle;
    module.getClassObject =
        reinterpret_cast<GetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
    module.canUnloadNow = reinterpret_cast<CanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
    if (!module.getClassObject) {
        ::dlclose(handle);
        return CO_E_ERRORINDLL;
    }
    Modules().emplace(path, module);
    *out = module;
    return S_OK;
}

// The folder of the modules installed with this library: `velmora/` beside it.
std::filesystem::path InstalledModuleFolder() {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&CoInitializeEx), &info) || !info.dli_fname) return {};
    return std::filesystem::path(info.dli_fname).parent_path() / "velmora";
}

// Registers the installed modules for this user the first time a class is missing from the
// registry, so that an installed library works without a registration step. Once a process.
void RegisterInstalledModulesOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::error_code ec;
        const auto folder = InstalledModuleFolder();
        if (folder.empty() || !std::filesystem::is_directory(folder, ec)) return;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (entry.path().extension() != ".so") continue;
            void* handle = ::dlopen(entry.path().c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) continue;
            using RegisterFn = HRESULT (*)();
            if (auto registerServer =
                    reinterpret_cast<RegisterFn>(::dlsym(handle, "DllRegisterServer")))
                registerServer();
            ::dlclose(handle);
        }
    });
}

std::optional<std::string> RegisteredServerPath(REFCLSID clsid) {
    std::string key = "CLSID\\" + platform::FormatGuid(clsid);
    return platform::ReadRegistryString(HKEY_CLASSES_ROOT, key + "\\InprocServer32", "");
}

HRESULT GetRegisteredClassObject(REFCLSID clsid, REFIID iid, void** object) {
    auto path = RegisteredServerPath(clsid);
    if (!path || path->empty()) {
        RegisterInstalledModulesOnce();
        path = RegisteredServerPath(clsid);
    }
    if (!path || path->empty()) return REGDB_E_CLASSNOTREG;
    LoadedModule module;
    HRESULT hr = LoadServer(*path, &module);
    if (FAILED(hr)) return hr;
    hr = module.getClassObject(clsid, iid, object);
    // A module that claims success without an object is broken: nothing to hand out.
    if (SUCCEEDED(hr) && !*object) return CO_E_ERRORINDLL;
    return hr;
}

// Runs the body of an object-creation call: whatever the registry or a module does, no
// exception crosses it.
template <typename Body>
HRESULT Shielded(void** object, Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        if (object) *object = nullptr;
        return E_OUTOFMEMORY;
    } catch (...) {
        if (object) *object = nullptr;
        return E_UNEXPECTED;
    }
}

}  // namespace

HRESULT CoInitialize(void* reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(void*, DWORD flags) {
    DWORD model = flags & COINIT_APARTMENTTHREADED;
    if (t_apartment.count > 0) {
        if (t_apartment.model != model) return RPC_E_CHANGED_MODE;
        ++t_apartment.count;
        return S_FALSE;
    }
    t_apartment.model = model;
    t_apartment.count = 1;
    return S_OK;
}

void CoUninitialize() {
    if (t_apartment.count == 0) return;
    if (--t_apartment.count == 0) CoFreeUnusedLibraries();
}

void* CoTaskMemAlloc(SIZE_T size) {
    {
        std::lock_guard lock(g_faultLock);
        if (g_allocFault && g_allocFault(size)) return nullptr;
    }
    return std::malloc(size ? size : 1);
}

void* CoTaskMemRealloc(void* block, SIZE_T size) {
    return std::realloc(block, size ? size : 1);
}

void CoTaskMemFree(void* block) {
    std::free(block);
}

WCHAR* platform::CoTaskMemString(std::u16string_view text) {
    auto* copy = static_cast<WCHAR*>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (!copy) return nullptr;
    std::copy(text.begin(), text.end(), copy);
    copy[text.size()] = 0;
    return copy;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!platform::IsComInitialized()) return CO_E_NOTINITIALIZED;
    return Shielded(object, [&] {
        if (auto create = FindBuiltin(clsid)) {
            auto* factory = new BuiltinFactory(create);
            HRESULT hr = factory->QueryInterface(iid, object);
            factory->Release();
            return hr;
        }
        if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
        return GetRegisteredClassObject(clsid, iid, object);
    });
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!platform::IsComInitialized()) return CO_E_NOTINITIALIZED;
    return Shielded(object, [&] {
        if (auto create = FindBuiltin(clsid)) return create(outer, iid, object);
        platform::ComPtr<IClassFactory> factory;
        HRESULT hr =
            CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.PutVoid());
        if (FAILED(hr)) return hr;
        hr = factory->CreateInstance(outer, iid, object);
        if (SUCCEEDED(hr) && !*object) return E_NOINTERFACE;
        return hr;
    });
}

void CoFreeUnusedLibraries() {
    std::lock_guard lock(g_moduleLock);
    auto& modules = Modules();
    for (auto it = modules.begin(); it != modules.end();) {
        const LoadedModule& m = it->second;
        if (m.canUnloadNow && m.canUnloadNow() == S_OK) {
            ::dlclose(m.handle);
            it = modules.erase(it);
        } else {
            ++it;
        }
    }
}

namespace {

std::string ModulePath(HMODULE module) {
    if (!module) {
        std::error_code ec;
        return std::filesystem::read_symlink("/proc/self/exe", ec).string();
    }
    Dl_info info{};
    if (!::dladdr(module, &info) || !info.dli_fname) return {};
    // The main program reports its name as given on the command line; make it absolute.
    std::error_code ec;
    auto absolute = std::filesystem::absolute(info.dli_fname, ec);
    return ec ? std::string(info.dli_fname) : absolute.string();
}

template <typename Char>
DWORD CopyModulePath(const std::basic_string<Char>& path, Char* out, DWORD capacity) {
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!out || capacity < path.size() + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(path.begin(), path.end(), out);
    out[path.size()] = 0;
    return static_cast<DWORD>(path.size());
}

}  // namespace

DWORD GetModuleFileNameA(HMODULE module, LPSTR path, DWORD capacity) {
    return CopyModulePath(ModulePath(module), path, capacity);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD capacity) {
    return CopyModulePath(platform::Utf8ToUtf16(ModulePath(module)), path, capacity);
}

BOOL GetModuleHandleExW(DWORD flags, LPCWSTR addressOrName, HMODULE* module) {
    if (!module || !(flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Dl_info info{};
    if (!::dladdr(addressOrName, &info) || !info.dli_fbase) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    *module = info.dli_fbase;
    return TRUE;
}

namespace platform {

void RegisterBuiltinClass(REFCLSID clsid, ClassCreateFunction create) {
    std::lock_guard lock(g_classLock);
    BuiltinClasses()[clsid] = create;
}

bool IsComInitialized() {
    return t_apartment.count > 0;
}

void SetTaskAllocatorFault(std::function<bool(SIZE_T)> shouldFail) {
    std::lock_guard lock(g_faultLock);
    g_allocFault = std::move(shouldFail);
}

}  // namespace platform
