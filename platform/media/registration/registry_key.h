#pragma once
// A registry key that closes itself, and the few writes the registration code needs.

#include <string>
#include <utility>

#include "platform/com/registry.h"

namespace platform::media {

class RegistryKey {
  public:
    RegistryKey() = default;
    ~RegistryKey() { Close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Creates the key (and the keys above it) under the classes root; a system error code.
    LONG Create(const std::u16string& path) {
        Close();
        return RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_WRITE, nullptr, &key_, nullptr);
    }
    LONG SetString(const char16_t* name, const std::u16string& value) {
        return RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
    }
    LONG SetBinary(const char16_t* name, const BYTE* data, DWORD size) {
        return RegSetValueExW(key_, name, 0, REG_BINARY, data, size);
    }
    LONG SetDword(const char16_t* name, DWORD value) {
        return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                              sizeof value);
    }
    void Close() {
        if (key_) RegCloseKey(std::exchange(key_, nullptr));
    }

  private:
    HKEY key_ = nullptr;
};

// The braced upper-case form of an identifier, as the registry's key names use it.
inline std::u16string BracedGuid(REFGUID guid) {
    WCHAR text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

}  // namespace platform::media
