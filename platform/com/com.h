#pragma once
// The object runtime: initialisation per thread, task memory, object creation by class
// identifier. Classes come from a built-in table (the system's own components) or from
// in-process servers registered under CLSID\{...}\InprocServer32.

#include <functional>
#include <string_view>

#include "platform/com/com_ptr.h"
#include "platform/com/unknown.h"

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
inline constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | 0x10;

// S_OK the first time on a thread, S_FALSE after; RPC_E_CHANGED_MODE for a different model.
HRESULT CoInitialize(void* reserved);
HRESULT CoInitializeEx(void* reserved, DWORD flags);
void CoUninitialize();

void* CoTaskMemAlloc(SIZE_T size);
void* CoTaskMemRealloc(void* block, SIZE_T size);
void CoTaskMemFree(void* block);

namespace platform {
// A zero-terminated copy of the text in task memory (the caller frees it), or null.
WCHAR* CoTaskMemString(std::u16string_view text);
}  // namespace platform

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID iid,
                         void** object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object);
// Unloads the in-process servers that answer S_OK to DllCanUnloadNow.
void CoFreeUnusedLibraries();

// The path of a loaded module (null: the program); the number of characters written without
// the terminator, or 0 with ERROR_INSUFFICIENT_BUFFER when it does not fit.
DWORD GetModuleFileNameA(HMODULE module, LPSTR path, DWORD capacity);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD capacity);
inline constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x2;
inline constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;
// Only the from-address form: answers the module that contains the address.
BOOL GetModuleHandleExW(DWORD flags, LPCWSTR addressOrName, HMODULE* module);

namespace platform {

// Creates an object of a built-in class.
using ClassCreateFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** object);

// Adds a class to the built-in table; a later entry for the same class replaces the earlier.
void RegisterBuiltinClass(REFCLSID clsid, ClassCreateFunction create);

// Registers a built-in class when the library that defines it is loaded.
struct BuiltinClass {
    BuiltinClass(REFCLSID clsid, ClassCreateFunction create) { RegisterBuiltinClass(clsid, create); }
};

// Whether the calling thread has initialised the object runtime.
bool IsComInitialized();

// Lets tests make the task allocator fail: the predicate sees each request's size.
void SetTaskAllocatorFault(std::function<bool(SIZE_T)> shouldFail);

}  // namespace platform
