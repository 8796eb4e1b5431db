// An in-process server with one class, built as a loadable module for the object runtime's tests.

#include <atomic>

#include "platform/com/com.h"
#include "platform/com/registry.h"
#include "platform/kernel/text.h"
#include "tests/platform/com/test_server.h"

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

class TestObject final : public ITestValue {
  public:
    TestObject() { ++g_objects; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_ITestValue) {
            *object = static_cast<ITestValue*>(this);
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
    HRESULT STDMETHODCALLTYPE GetValue(int* value) override {
        if (!value) return E_POINTER;
        *value = 42;
        return S_OK;
    }

  private:
    ~TestObject() { --g_objects; }
    std::atomic<ULONG> refs_{1};
};

class Factory final : public IClassFactory {
  public:
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
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* instance = new TestObject;
        HRESULT hr = instance->QueryInterface(iid, object);
        instance->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? ++g_locks : --g_locks;
        return S_OK;
    }

  private:
    std::atomic<ULONG> refs_{1};
};

std::u16string ClassKey() {
    WCHAR text[40];
    StringFromGUID2(CLSID_TestServerObject, text, 40);
    return u"CLSID\\" + std::u16string(text);
}

LONG SetString(HKEY key, const char16_t* name, const std::u16string& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}

}  // namespace

extern "C" HRESULT DllCanUnloadNow() {
    return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid == CLSID_TestServerNullFactory) return S_OK;
    if (clsid != CLSID_TestServerObject) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new Factory;
    HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

extern "C" HRESULT DllRegisterServer() {
    HMODULE self = nullptr;
    WCHAR path[4096];
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&DllRegisterServer), &self) ||
        !GetModuleFileNameW(self, path, 4096))
        return E_FAIL;
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, (ClassKey() + u"\\InprocServer32").c_str(), 0,
                                  nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = SetString(key, nullptr, path);
    if (status == ERROR_SUCCESS) status = SetString(key, u"ThreadingModel", u"Both");
    RegCloseKey(key);
    return HRESULT_FROM_WIN32(status);
}

extern "C" HRESULT DllUnregisterServer() {
    return HRESULT_FROM_WIN32(RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey().c_str()));
}
