// tovik-regsvr: registers an in-process server module (its DllRegisterServer) or, with -u,
// unregisters it (DllUnregisterServer). Every failure names the module and the failing step.

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/com/com.h"

namespace {

enum ExitCode { kOk = 0, kUsage = 1, kNotFound = 2, kLoadFailed = 3, kNoEntry = 4, kFailed = 5 };

constexpr const char* kUsageText =
    "usage: tovik-regsvr MODULE       register the module's classes\n"
    "       tovik-regsvr -u MODULE    unregister them\n"
    "The registry is $VELMORA_REGISTRY, else $XDG_DATA_HOME/velmora/registry\n"
    "(~/.local/share/velmora/registry).\n";

int Usage() {
    std::fputs(kUsageText, stderr);
    return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    const char* module = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsageText, stdout);
            return kOk;
        }
        if (std::strcmp(argv[i], "-u") == 0 && !unregister) {
            unregister = true;
        } else if (!module && argv[i][0] != '-') {
            module = argv[i];
        } else {
            return Usage();
        }
    }
    if (!module) return Usage();

    std::error_code ec;
    std::filesystem::path path = std::filesystem::absolute(module, ec);
    if (ec || !std::filesystem::is_regular_file(path, ec)) {
        std::fprintf(stderr, "tovik-regsvr: %s: module not found\n", module);
        return kNotFound;
    }
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "tovik-regsvr: %s: cannot load the module: %s\n", module, ::dlerror());
        return kLoadFailed;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto function = reinterpret_cast<HRESULT (*)()>(::dlsym(handle, entry));
    if (!function) {
        std::fprintf(stderr, "tovik-regsvr: %s: the module has no %s entry point\n", module, entry);
        ::dlclose(handle);
        return kNoEntry;
    }
    CoInitialize(nullptr);
    HRESULT hr = function();
    CoUninitialize();
    ::dlclose(handle);
    if (FAILED(hr)) {
        std::fprintf(stderr, "tovik-regsvr: %s: %s failed with 0x%08X\n", module, entry,
                     static_cast<unsigned>(hr));
        return kFailed;
    }
    std::printf("tovik-regsvr: %s: %s succeeded\n", module, entry);
    return kOk;
}
