#pragma once
// The registry's classes root, kept on disk: keys are folders, values are files beside them
// ("@" for a key's default value, "@name" for a named one). Key names compare without regard
// to ASCII case, as on the original platform. The tree lives under $VELMORA_REGISTRY, else
// $XDG_DATA_HOME/velmora/registry, else ~/.local/share/velmora/registry.

#include <filesystem>
#include <optional>
#include <string>

#include "platform/com/hresult.h"

struct HKEY__;
using HKEY = HKEY__*;
using REGSAM = DWORD;
struct SECURITY_ATTRIBUTES;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000));

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// All answer ERROR_SUCCESS or a system error code. Sub-key paths use '\' between names.
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                     REGSAM access, SECURITY_ATTRIBUTES* attributes, HKEY* result,
                     DWORD* disposition);
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, SECURITY_ATTRIBUTES* attributes, HKEY* result,
                     DWORD* disposition);
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, HKEY* result);
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, HKEY* result);
LONG RegCloseKey(HKEY key);
// REG_SZ data is a zero-terminated string in the function's character width.
LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
// With data null, answers the size needed; with a buffer too small, ERROR_MORE_DATA and the
// size needed.
LONG RegQueryValueExW(HKEY key, LPCWSTR name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);
LONG RegQueryValueExA(HKEY key, LPCSTR name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);
LONG RegDeleteValueW(HKEY key, LPCWSTR name);
// Deletes the sub-key with everything below it; with no sub-key, empties the key itself.
LONG RegDeleteTreeW(HKEY key, LPCWSTR subKey);
LONG RegDeleteTreeA(HKEY key, LPCSTR subKey);
// Names of sub-keys in order of their names; ERROR_NO_MORE_ITEMS past the last.
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameLength, DWORD* reserved,
                   LPWSTR keyClass, DWORD* classLength, void* lastWriteTime);

namespace platform {

// The folder that holds the classes root.
std::filesystem::path RegistryRoot();

// Reads a string value; nullopt when the key or the value is missing or not a string.
std::optional<std::string> ReadRegistryString(HKEY key, const std::string& subKey,
                                              const std::string& name);

}  // namespace platform
